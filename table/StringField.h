// Text fields (C) and variable text (V): the stored bytes without trailing blanks.
#pragma once

#include "table/Field.h"

class TStringField : public TField {
public:
    using TField::TField;

    std::string_view AsText() const override;

protected:
    void Format(std::string& text) const override;
};
