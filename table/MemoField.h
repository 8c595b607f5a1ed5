// Memo fields: the text held in the table's .fpt or .dbt file.
#pragma once

#include "table/Field.h"

class TMemoField : public TField {
public:
    using TField::TField;

protected:
    void Format(std::string& text) const override;
};
