// The table dataset over the record layer: open and close, moves, fields, append and post.
#include "table/Table.h"

#include "table/BlobField.h"
#include "table/BooleanField.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/DateField.h"
#include "table/FloatField.h"
#include "table/MemoField.h"
#include "table/RecordLayer.h"
#include "table/SmallintField.h"
#include "table/StringField.h"
#include "table/engine/FileHandle.h"

#include "framework/core/Text.h"

namespace {

const char* const OpenDataset = "Cannot perform this operation on an open dataset";
const char* const ClosedDataset = "Cannot perform this operation on a closed dataset";

bool EndsWithNoCase(std::string_view text, std::string_view ending) {
    return text.size() >= ending.size() && Text::SameTextAscii(text.substr(text.size() - ending.size()), ending);
}

std::string DriverName(TTableType type, std::string_view tableName) {
    switch (type) {
    case ttDefault:
        if (EndsWithNoCase(tableName, ".DBF"))
            return "XBFOX";
        if (EndsWithNoCase(tableName, ".TXT"))
            return "ASCIIDRV";
        return "PARADOX";
    case ttParadox:
        return "PARADOX";
    case ttDBase:
        return "DBASE";
    case ttASCII:
        return "ASCIIDRV";
    case ttXbNTX:
        return "XBNTX";
    case ttXbFOX:
        return "XBFOX";
    case ttXbNSX:
        return "XBNSX";
    }
    return "XBFOX";
}

std::unique_ptr<TField> MakeField(TTable& table, const TFieldDesc& desc) {
    switch (desc.Kind) {
    case TFieldKind::Text:
    case TFieldKind::VarText:
        return std::make_unique<TStringField>(table, desc);
    case TFieldKind::Float:
        return std::make_unique<TFloatField>(table, desc);
    case TFieldKind::Smallint:
        return std::make_unique<TSmallintField>(table, desc);
    case TFieldKind::Date:
    case TFieldKind::DateTime:
        return std::make_unique<TDateField>(table, desc);
    case TFieldKind::Logical:
        return std::make_unique<TBooleanField>(table, desc);
    case TFieldKind::Memo:
        return std::make_unique<TMemoField>(table, desc);
    case TFieldKind::Blob:
        break;
    }
    return std::make_unique<TBlobField>(table, desc);
}

void CheckStart() {
    if (RecordLayer::EngineStart() != RecordLayer::rcOk)
        throw EDBEngineError(RecordLayer::rcEngineStart,
                             "the engine library xbengine version 2.40.00 or later is required");
}

} // namespace

TTable::TTable(QObject* owner) : QObject(owner) {}

TTable::~TTable() {
    if (FCursor != 0)
        CloseCursor();
}

void TTable::CheckInactive() const {
    if (Active())
        throw EDatabaseError(OpenDataset);
}

void TTable::CheckActive() const {
    if (!Active())
        throw EDatabaseError(ClosedDataset);
}

void TTable::SetTableName(std::string_view name) {
    CheckInactive();
    FTableName = name;
}

void TTable::SetDatabaseName(std::string_view folder) {
    CheckInactive();
    FDatabaseName = folder;
}

void TTable::SetTableType(TTableType type) {
    CheckInactive();
    FTableType = type;
}

void TTable::SetReadOnly(bool value) {
    CheckInactive();
    FReadOnly = value;
}

void TTable::SetExclusive(bool value) {
    CheckInactive();
    FExclusive = value;
}

void TTable::SetActive(bool value) {
    if (value == Active())
        return;
    if (!value) {
        FFields.clear();
        CloseCursor();
        FState = dsInactive;
        FEof = FBof = true;
        FRecNo = 0;
        return;
    }
    OpenCursor();
    try {
        CreateFields();
    } catch (...) {
        CloseCursor();
        throw;
    }
    FState = dsBrowse;
    First();
}

void TTable::OpenCursor() {
    CheckStart();
    int cursor = 0;
    std::string reason;
    const int code = RecordLayer::OpenCursor(RecordLayer::DatabaseFolder(FDatabaseName), FTableName,
                                             DriverName(FTableType, FTableName), FReadOnly ? 1 : 0, FExclusive ? 1 : 0,
                                             cursor, reason);
    if (code != RecordLayer::rcOk)
        throw EDBEngineError(code, reason);
    if (cursor == 0)
        throw EDatabaseError("Error creating cursor handle");
    FCursor = cursor;
}

void TTable::CloseCursor() {
    RecordLayer::CloseCursor(FCursor);
    FCursor = 0;
}

void TTable::CreateFields() {
    FFields.clear();
    const TWorkArea* area = RecordLayer::WorkAreaOf(FCursor);
    if (!area)
        throw EDatabaseError("Error creating cursor handle");
    FShadowed.clear();
    for (const TFieldDesc& desc : area->Fields) {
        bool shadowed = false;
        for (const auto& earlier : FFields)
            shadowed = shadowed || Text::SameTextAscii(earlier->FieldName(), desc.Name);
        FShadowed.push_back(shadowed);
        FFields.push_back(MakeField(*this, desc));
    }
    FBuffer.assign(static_cast<std::size_t>(area->RecordSize), ' ');
}

void TTable::GetFieldNames(std::vector<std::string>& list) {
    list.clear();
    if (Active()) {
        for (const auto& field : FFields)
            list.push_back(field->FieldName());
        return;
    }
    OpenCursor();
    if (const TWorkArea* area = RecordLayer::WorkAreaOf(FCursor))
        for (const TFieldDesc& desc : area->Fields)
            list.push_back(desc.Name);
    CloseCursor();
}

int TTable::AskLayer(int (*ask)(int cursor, int& value)) const {
    CheckActive();
    int value = 0;
    const int code = ask(FCursor, value);
    if (code != RecordLayer::rcOk)
        RaiseLayerError(code);
    return value;
}

void TTable::RaiseLayerError(int code) const {
    throw EDBEngineError(code, code == RecordLayer::rcReadError ? RecordLayer::ReadError(FCursor) : std::string());
}

int TTable::RecordCount() {
    return AskLayer(RecordLayer::RecordCount);
}

int TTable::FileRecordCount() {
    return AskLayer(RecordLayer::FileRecordCount);
}

int TTable::LanguageDriver() const {
    return AskLayer(RecordLayer::LanguageDriver);
}

std::string TTable::CodePageFile() const {
    const TWorkArea* area = RecordLayer::WorkAreaOf(FCursor);
    std::string path =
        area ? area->FullPath : RecordLayer::TablePath(RecordLayer::DatabaseFolder(FDatabaseName), FTableName);
    const std::size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && path.find_first_of("/\\", dot) == std::string::npos)
        path.resize(dot);
    // Through the table's own file handle, which refuses a named pipe instead of waiting on it.
    for (const char* extension : {".cpg", ".CPG"}) {
        TFileHandle file;
        char text[64];
        const long long read = file.Open(path + extension, false) ? file.ReadAt(0, text, sizeof text) : -1;
        if (read > 0) {
            const std::string line(text, static_cast<std::size_t>(read));
            return line.substr(0, line.find('\n'));
        }
    }
    return {};
}

std::string TTable::DeclaredCodePage() const {
    std::string name = TCodePage::ForLanguageDriver(LanguageDriver());
    if (name.empty())
        name = TCodePage::ForCpgText(CodePageFile());
    return name;
}

TField& TTable::Fields(int index) const {
    if (index < 0 || index >= FieldCount())
        throw EDatabaseError("Field index out of range");
    return *FFields[static_cast<std::size_t>(index)];
}

// Callers read the same fields in the same order for every record, so the field after the last one
// found is tried first. A name that two fields share finds the first of them: later ones are skipped.
TField* TTable::FindField(std::string_view name) const {
    const std::size_t count = FFields.size();
    std::size_t i = FLookupHint < count ? FLookupHint : 0;
    for (std::size_t n = 0; n < count; ++n, i = i + 1 < count ? i + 1 : 0) {
        if (!FShadowed[i] && FFields[i]->FieldName() == name) {
            FLookupHint = i + 1;
            return FFields[i].get();
        }
    }
    for (const auto& field : FFields)
        if (Text::SameTextAscii(field->FieldName(), name))
            return field.get();
    return nullptr;
}

TField& TTable::FieldByName(std::string_view name) const {
    if (TField* field = FindField(name))
        return *field;
    throw EDatabaseError("Field '" + std::string(name) + "' not found");
}

void TTable::First() {
    CheckActive();
    if (FState != dsBrowse)
        Post();
    const int code = RecordLayer::SetToBegin(FCursor);
    if (code != RecordLayer::rcOk)
        throw EDBEngineError(code);
    FBof = true;
    FEof = false;
    FRecNo = 0;
    FBuffer.assign(FBuffer.size(), ' ');
    if (FetchForward() == 0)
        FEof = true;
}

// Fetches the next record into the buffer: 1 when it moved, 0 at the end (the last record stays current).
int TTable::FetchForward() {
    long recNo = 0;
    // The buffer is only written when a record was found.
    const int code = RecordLayer::FetchNext(FCursor, FBuffer, recNo);
    if (code == RecordLayer::rcEndOfTable)
        return 0;
    if (code == RecordLayer::rcReadError)
        FEof = true; // the table ends there, and not quietly: a loop up to Eof that goes on after the error ends
    if (code != RecordLayer::rcOk)
        RaiseLayerError(code);
    FRecNo = static_cast<int>(recNo);
    return 1;
}

int TTable::FetchBackward() {
    std::string image;
    long recNo = 0;
    bool atStart = false;
    const int code = RecordLayer::FetchPrior(FCursor, FRecNo, image, recNo, atStart);
    if (code == RecordLayer::rcReadError)
        RaiseLayerError(code);
    if (atStart || code == RecordLayer::rcEndOfTable)
        return 0;
    if (code != RecordLayer::rcOk)
        RaiseLayerError(code);
    FBuffer = std::move(image);
    FRecNo = static_cast<int>(recNo);
    return 1;
}

int TTable::MoveBy(int n) {
    CheckActive();
    if (FState != dsBrowse)
        Post();
    int moved = 0;
    if (n > 0) {
        if (FEof)
            return 0;
        while (moved < n) {
            if (FetchForward() == 0) {
                FEof = true;
                break;
            }
            FBof = false;
            ++moved;
        }
    } else if (n < 0) {
        if (FRecNo == 0)
            return 0;
        while (moved > n) {
            if (FetchBackward() == 0) {
                FBof = true;
                break;
            }
            FEof = false;
            --moved;
        }
    }
    return moved;
}

bool TTable::RecordDeleted() const {
    return !FBuffer.empty() && FBuffer[0] == '*';
}

void TTable::Append() {
    CheckActive();
    if (FReadOnly)
        throw EDatabaseError("Cannot modify a read-only dataset");
    if (FState != dsBrowse)
        Post();
    std::string blank;
    const int code = RecordLayer::BlankRecord(FCursor, blank);
    if (code != RecordLayer::rcOk)
        throw EDBEngineError(code);
    FSavedBuffer = std::move(FBuffer);
    FBuffer = std::move(blank);
    FState = dsInsert;
}

void TTable::Post() {
    CheckActive();
    if (FState == dsInsert) {
        long recNo = 0;
        std::string reason;
        const int code = RecordLayer::InsertRecord(FCursor, FBuffer, recNo, reason);
        if (code != RecordLayer::rcOk)
            throw EDBEngineError(code, reason);
        FRecNo = static_cast<int>(recNo);
        FState = dsBrowse;
        FEof = FBof = false;
    }
}

void TTable::PostOver(int recNo) {
    CheckActive();
    if (FState != dsInsert)
        throw EDatabaseError("Dataset not in edit or insert mode");
    std::string reason;
    const int code = RecordLayer::UpdateRecord(FCursor, recNo, FBuffer, reason);
    if (code != RecordLayer::rcOk)
        throw EDBEngineError(code, reason);
    FRecNo = recNo;
    FState = dsBrowse;
    FEof = FBof = false;
}

void TTable::SetSoleWriter(bool value) {
    CheckActive();
    if (RecordLayer::SetSoleWriter(FCursor, value) != RecordLayer::rcOk)
        throw EDatabaseError("Error creating cursor handle");
}

void TTable::Cancel() {
    if (FState == dsInsert || FState == dsEdit) {
        FBuffer = FSavedBuffer;
        FState = dsBrowse;
    }
}

void TTable::Resync() {
    CheckActive();
    std::string image;
    long recNo = 0;
    const int code = RecordLayer::CurrentRecord(FCursor, image, recNo);
    FBof = true;
    FEof = code == RecordLayer::rcEndOfTable || code == RecordLayer::rcReadError;
    if (code != RecordLayer::rcOk && code != RecordLayer::rcEndOfTable)
        RaiseLayerError(code);
    if (!FEof) {
        FBuffer = std::move(image);
        FRecNo = static_cast<int>(recNo);
    }
}
