// Logical fields: True, False, or empty when unknown ("?") or blank.
#pragma once

#include "table/Field.h"

class TBooleanField : public TField {
public:
    using TField::TField;

protected:
    void Format(std::string& text) const override;
};
