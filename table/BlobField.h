// Binary and OLE blobs: their text is the stored bytes.
#pragma once

#include "table/Field.h"

class TBlobField : public TField {
public:
    using TField::TField;

protected:
    void Format(std::string& text) const override;
};
