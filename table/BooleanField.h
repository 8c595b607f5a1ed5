// Logical fields: only "T" reads as true.
#pragma once

#include "table/Field.h"

class TBooleanField : public TField {
public:
    using TField::TField;

protected:
    void Format(std::string& text) const override;
};
