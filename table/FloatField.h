// Numbers with decimals or of width 5 or more, and the floating kinds (F, B, Y).
#pragma once

#include "table/Field.h"

class TFloatField : public TField {
public:
    using TField::TField;

protected:
    void Format(std::string& text) const override;
};
