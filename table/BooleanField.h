// Logical fields: only "T" reads as true.
#pragma once

#include "table/Field.h"

class TBooleanField : public TField {
public:
    using TField::TField;
    std::string AsString() const override;
};
