// A field object of a table: reads and writes one field of the current record as text.
#pragma once

#include "table/WorkArea.h"

#include <string>
#include <string_view>

class TTable;

// The base of the field classes. The table owns its field objects; they live while it is open.
class TField {
public:
    TField(TTable& table, const TFieldDesc& desc);
    virtual ~TField();
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;

    const std::string& FieldName() const { return FDesc.Name; }
    // The engine's one-letter type ("C", "N", ...), its width and decimals.
    char TypeLetter() const { return FDesc.Type; }
    int Size() const { return FDesc.Width; }
    int Decimals() const { return FDesc.Decimals; }
    int FieldNo() const { return FDesc.Number; }
    const TFieldDesc& Desc() const { return FDesc; }

    // True when every byte of the field in the current record is a blank.
    bool IsNull() const;
    // The field of the current record as text; blank fields read as an empty text. The text is kept in the
    // field object (reading a million records allocates nothing) and stays valid until this field is read
    // again or the table closes: copy it to keep it.
    const std::string& AsString() const;
    // The same text as AsString, without a copy where the stored bytes are the text (text fields): valid
    // until the table moves or this field is read again. For readers of every field of every record.
    virtual std::string_view AsText() const { return AsString(); }
    // Stores text into the record buffer: cut to the field width and padded with blanks.
    virtual void SetAsString(std::string_view text);
    // Value reads and writes as AsString does: the wizard passes every value as text.
    std::string Value() const { return AsString(); }
    void SetValue(std::string_view text) { SetAsString(text); }

protected:
    // Writes the field's text into text, reusing its capacity.
    virtual void Format(std::string& text) const;
    // The field's bytes in the table's current record image.
    std::string_view RawBytes() const;
    TTable& FTable;
    TFieldDesc FDesc;
    mutable std::string FText;
};
