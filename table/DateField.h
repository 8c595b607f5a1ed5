// Date fields (yyyymmdd) in the program-wide short date format; datetimes (T) add the time of day.
#pragma once

#include "table/Field.h"

class TDateField : public TField {
public:
    using TField::TField;

protected:
    void Format(std::string& text) const override;
};
