// Numbers without decimals narrower than 5 digits, and the integer kinds (I, +).
#pragma once

#include "table/Field.h"

class TSmallintField : public TField {
public:
    using TField::TField;

protected:
    void Format(std::string& text) const override;
};
