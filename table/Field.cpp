// The field classes: each turns its bytes of the current record into text, and text into bytes.
#include "table/Field.h"

#include "table/BlobField.h"
#include "table/BooleanField.h"
#include "table/DatabaseError.h"
#include "table/DateField.h"
#include "table/FloatField.h"
#include "table/MemoField.h"
#include "table/RecordLayer.h"
#include "table/SmallintField.h"
#include "table/StringField.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"
#include "table/engine/FieldCodec.h"

#include <algorithm>
#include <cstdio>

namespace {

// Formats a date with the program-wide short date format: d, dd, m, mm, yy, yyyy; "/" stands for the
// date separator; any other character is copied.
std::string FormatDate(const FieldCodec::TDateTime& date) {
    const std::string format = TXbaseEnv::ShortDateFormat();
    std::string out;
    char number[8];
    for (std::size_t i = 0; i < format.size();) {
        const char c = static_cast<char>(format[i] | 0x20);
        std::size_t run = 1;
        while (i + run < format.size() && static_cast<char>(format[i + run] | 0x20) == c &&
               (c == 'd' || c == 'm' || c == 'y'))
            ++run;
        if (c == 'y') {
            std::snprintf(number, sizeof number, run >= 3 ? "%04d" : "%02d", run >= 3 ? date.Year : date.Year % 100);
            out += number;
        } else if (c == 'm' || c == 'd') {
            std::snprintf(number, sizeof number, run >= 2 ? "%02d" : "%d", c == 'm' ? date.Month : date.Day);
            out += number;
        } else {
            out += format[i] == '/' ? TXbaseEnv::DateSeparator() : format[i];
        }
        i += run;
    }
    return out;
}

} // namespace

TField::TField(TTable& table, const TFieldDesc& desc) : FTable(table), FDesc(desc) {}

TField::~TField() = default;

std::string_view TField::RawBytes() const {
    const std::string_view image = FTable.RecordImage();
    if (static_cast<std::size_t>(FDesc.Offset) + static_cast<std::size_t>(FDesc.Width) > image.size())
        return {};
    std::string_view bytes =
        image.substr(static_cast<std::size_t>(FDesc.Offset), static_cast<std::size_t>(FDesc.Width));
    // A variable-length value keeps its length in its last byte.
    if (FDesc.VarBit >= 0 && FieldCodec::BitSet(image, FDesc.NullFlagsOffset, FDesc.NullFlagsWidth, FDesc.VarBit) &&
        !bytes.empty())
        bytes = bytes.substr(0, std::min<std::size_t>(static_cast<std::uint8_t>(bytes.back()), bytes.size() - 1));
    return bytes;
}

bool TField::IsNull() const {
    return FieldCodec::BitSet(FTable.RecordImage(), FDesc.NullFlagsOffset, FDesc.NullFlagsWidth, FDesc.NullBit) ||
           FieldCodec::IsBlank(RawBytes());
}

const std::string& TField::AsString() const {
    Format(FText);
    return FText;
}

void TField::Format(std::string& text) const {
    text.assign(FieldCodec::Trim(RawBytes()));
}

void TField::SetAsString(std::string_view text) {
    if (FTable.State() != dsInsert && FTable.State() != dsEdit)
        throw EDatabaseError("Dataset not in edit or insert mode");
    const TFieldForm form = FDesc.Meaning.Form;
    const bool number = form == TFieldForm::Number;
    if (form != TFieldForm::Text && !number && form != TFieldForm::Date && form != TFieldForm::Logical)
        throw EDatabaseError("Field '" + FDesc.Name + "' cannot be written as text");
    const std::size_t width = static_cast<std::size_t>(FDesc.Width);
    std::string value(text.substr(0, width));
    // Numbers stand right-aligned in their field, everything else left-aligned.
    value = number ? std::string(width - value.size(), ' ') + value : value + std::string(width - value.size(), ' ');
    std::string& buffer = FTable.EditBuffer();
    if (static_cast<std::size_t>(FDesc.Offset) + width <= buffer.size())
        buffer.replace(static_cast<std::size_t>(FDesc.Offset), width, value);
}

// Blanks only trim to an empty text, so the blank test needs no scan of its own.
std::string_view TStringField::AsText() const {
    if (FDesc.NullBit >= 0 &&
        FieldCodec::BitSet(FTable.RecordImage(), FDesc.NullFlagsOffset, FDesc.NullFlagsWidth, FDesc.NullBit))
        return {};
    return FieldCodec::TrimRight(RawBytes());
}

void TStringField::Format(std::string& text) const {
    text.assign(AsText());
}

namespace {

void FormatNumber(const TFieldDesc& desc, std::string_view bytes, std::string& text) {
    FieldCodec::NumberText(desc.Meaning, bytes, text);
}

} // namespace

void TFloatField::Format(std::string& text) const {
    text.clear();
    if (!IsNull())
        FormatNumber(FDesc, RawBytes(), text);
}

void TSmallintField::Format(std::string& text) const {
    text.clear();
    if (!IsNull())
        FormatNumber(FDesc, RawBytes(), text);
}

void TDateField::Format(std::string& text) const {
    text.clear();
    if (IsNull())
        return;
    const std::string_view bytes = RawBytes();
    const std::optional<FieldCodec::TDateTime> date = FieldCodec::Date(FDesc.Meaning.Form, bytes);
    if (!date) {
        // A date field holding something else than a date or the zeros of a null shows what it holds.
        if (FDesc.Meaning.Form == TFieldForm::Date && !FieldCodec::NullDate(bytes))
            text.assign(FieldCodec::Trim(bytes));
        return;
    }
    text = FormatDate(*date);
    if (FDesc.Kind == TFieldKind::DateTime) {
        char time[16];
        std::snprintf(time, sizeof time, " %02d:%02d:%02d", date->Hour, date->Minute, date->Second);
        text += time;
    }
}

void TBooleanField::Format(std::string& text) const {
    const std::optional<bool> value = IsNull() ? std::nullopt : FieldCodec::Logical(RawBytes());
    if (value)
        text = *value ? "True" : "False";
    else
        text.clear();
}

namespace {

void ReadMemoText(const TTable& table, std::string_view bytes, std::string& text) {
    std::string reason;
    const int code = RecordLayer::ReadMemo(table.Cursor(), bytes, text, reason);
    if (code != RecordLayer::rcOk)
        throw EDBEngineError(code, reason);
}

} // namespace

void TMemoField::Format(std::string& text) const {
    text.clear();
    if (!FieldCodec::BitSet(FTable.RecordImage(), FDesc.NullFlagsOffset, FDesc.NullFlagsWidth, FDesc.NullBit))
        ReadMemoText(FTable, RawBytes(), text);
}

void TBlobField::Format(std::string& text) const {
    if (FDesc.Meaning.Form == TFieldForm::Memo)
        ReadMemoText(FTable, RawBytes(), text);
    else
        text.assign(FieldCodec::TrimRight(RawBytes()));
}
