// The record layer: cursors over engine work areas, the alias rule, driver codes and result codes.
#include "table/RecordLayer.h"

#include "table/AreaGuard.h"
#include "table/engine/DbfLayout.h"
#include "table/engine/FileHandle.h"
#include "table/engine/XbEngine.h"

#include <array>
#include <memory>
#include <sys/stat.h>

namespace RecordLayer {

namespace {

struct TState {
    bool Started = false;
    int StartCode = 0;
    std::string WorkingPath = "./";
    std::array<std::unique_ptr<TWorkArea>, 256> Areas; // by area number; slot 0 unused
};

TState TheState;

TState& State() {
    return TheState;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string WithoutExtension(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of("/\\:");
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(0, dot) : path;
}

bool HoldsPath(std::string_view name) {
    return name.find_first_of("/\\:") != std::string_view::npos;
}

// The dataset's kind follows from what the bytes hold; only numbers and memos look at more.
TFieldKind KindOf(const TDbfField& field, bool flagged) {
    switch (field.Meaning.Form) {
    case TFieldForm::Text:
        return field.Meaning.VarLength || flagged ? TFieldKind::VarText : TFieldKind::Text;
    case TFieldForm::Number:
        return field.Decimals == 0 && field.Width < 5 ? TFieldKind::Smallint : TFieldKind::Float;
    case TFieldForm::Integer:
        return TFieldKind::Smallint;
    case TFieldForm::Currency:
    case TFieldForm::Double:
        return TFieldKind::Float;
    case TFieldForm::Date:
        return TFieldKind::Date;
    case TFieldForm::DateTime:
        return TFieldKind::DateTime;
    case TFieldForm::Logical:
        return TFieldKind::Logical;
    case TFieldForm::Memo:
        return field.Meaning.BinaryData ? TFieldKind::Blob : TFieldKind::Memo;
    case TFieldForm::Bytes:
    case TFieldForm::NullFlags:
        break;
    }
    return TFieldKind::Blob;
}

// By position: a lookup by name would give a second field of the same name the first one's bytes.
std::vector<TFieldDesc> ReadFieldDescs() {
    std::vector<TFieldDesc> fields;
    int flagsOffset = -1;
    int flagsWidth = 0;
    xb_NullFlags(flagsOffset, flagsWidth);
    for (int i = 1; i <= xb_FieldCount(); ++i) {
        const TDbfField* field = xb_FieldDescriptor(i);
        if (!field)
            break;
        TFieldDesc d;
        d.Number = i;
        d.Name = field->Name;
        d.Offset = field->Offset;
        const bool flagged = field->Meaning.Form == TFieldForm::Text && xb_SysProp(xbPropFlaggedField, i) != 0;
        d.Type = flagged ? 'V' : field->Type;
        d.Meaning = field->Meaning;
        d.Width = field->Width;
        d.Decimals = field->Decimals;
        d.Kind = KindOf(*field, flagged);
        d.NullFlagsOffset = flagsOffset;
        d.NullFlagsWidth = flagsWidth;
        d.VarBit = field->VarBit;
        d.NullBit = field->NullBit;
        fields.push_back(std::move(d));
    }
    return fields;
}

} // namespace

bool VersionAccepted(std::string_view version) {
    const std::string_view kept = version.substr(0, 8);
    return !kept.empty() && kept >= std::string_view("2.40.00");
}

int EngineStart() {
    TState& s = State();
    if (s.Started)
        return s.StartCode;
    s.Started = true;
    xb_SetStringType(1);
    xb_ErrorLevel(1);
    s.WorkingPath = "./";
    s.StartCode = VersionAccepted(xb_Version()) ? rcOk : rcEngineStart;
    return s.StartCode;
}

std::string DatabaseFolder(std::string_view databaseName) {
    if (databaseName.empty())
        return "./";
    std::string folder(databaseName);
    if (folder.back() != '/' && folder.back() != '\\' && folder.back() != ':')
        folder.push_back('/');
    return folder;
}

const std::string& WorkingPath() {
    return State().WorkingPath;
}

int DriverCode(std::string_view driverName, const std::string& path) {
    if (driverName == "XBNTX")
        return 1;
    if (driverName == "XBNSX")
        return 3;
    if (!driverName.empty())
        return 2;
    unsigned char first = 0;
    TFileHandle file; // refuses pipes and devices without waiting on them
    if (file.Open(path, false))
        file.ReadAt(0, &first, 1);
    const std::string base = WithoutExtension(path);
    switch (first) {
    case 0x03:
    case 0x06: {
        int code = 2;
        if (FileExists(base + ".nsx") || FileExists(base + ".NSX"))
            code = 3;
        if (FileExists(base + ".cdx") || FileExists(base + ".CDX"))
            code = 2;
        return code;
    }
    case 0x83:
    case 0x86:
        return 1;
    case 0xE5:
    case 0xE6:
        return 3;
    default:
        return 2;
    }
}

std::string FreeAlias(std::string_view tableName) {
    std::string base(tableName.substr(
        tableName.find_last_of("/\\:") == std::string_view::npos ? 0 : tableName.find_last_of("/\\:") + 1));
    base = WithoutExtension(base).substr(0, 8);
    for (char& c : base)
        if (c == '~' || c == '-' || c == ' ')
            c = '_';
    std::string alias = base;
    for (int suffix = 1; xb_WorkArea(alias.c_str()) != 0; ++suffix)
        alias = base + "_" + std::to_string(suffix);
    return alias;
}

std::string TablePath(std::string_view folder, std::string_view tableName) {
    if (HoldsPath(tableName))
        return std::string(tableName.substr(0, 255));
    return std::string(folder) + std::string(tableName);
}

int EngineMode(int openMode, int shareMode) {
    int mode = 2;
    if (shareMode == 0)
        mode = 0;
    if (openMode == 1)
        mode = 1;
    return mode;
}

int OpenCursor(std::string_view folder, std::string_view tableName, std::string_view driverName, int openMode,
               int shareMode, int& cursor, std::string& reason) {
    cursor = 0;
    State().WorkingPath = std::string(folder);
    const std::string path = TablePath(folder, tableName);
    const int driver = DriverCode(driverName, path);
    xb_SetStringType(1);
    TAreaGuard guard(xb_WorkArea(nullptr));
    const std::string alias = FreeAlias(tableName);
    const int area = xb_Use(path, alias, EngineMode(openMode, shareMode), driver);
    if (area == 0) {
        reason = xb_ErrorText();
        return rcOpenError;
    }
    auto record = std::make_unique<TWorkArea>();
    record->Alias = alias;
    record->TableName = std::string(tableName);
    record->FullPath = path;
    record->Driver = driver;
    record->OpenMode = openMode;
    record->ShareMode = shareMode;
    record->Area = area;
    record->RecordSize = xb_RecSize();
    record->Fields = ReadFieldDescs();
    State().Areas[static_cast<std::size_t>(area)] = std::move(record);
    cursor = area;
    return rcOk;
}

int CloseCursor(int cursor) {
    TAreaGuard guard(cursor);
    if (!guard.Valid())
        return rcNoCursor;
    xb_Close();
    State().Areas[static_cast<std::size_t>(cursor)].reset();
    return rcOk;
}

const TWorkArea* WorkAreaOf(int cursor) {
    return cursor >= 1 && cursor <= 255 ? State().Areas[static_cast<std::size_t>(cursor)].get() : nullptr;
}

int SetToBegin(int cursor) {
    TAreaGuard guard(cursor);
    if (!guard.Valid())
        return rcNoCursor;
    xb_GoTop();
    xb_Skip(-1);
    return rcOk;
}

namespace {

// After a move, a read or a count of the selected area: rcReadError when it met a record it could not read,
// else code.
int ReadChecked(int code) {
    return xb_ReadError().empty() ? code : rcReadError;
}

} // namespace

int FetchNext(int cursor, std::string& image, long& recNo) {
    if (!WorkAreaOf(cursor))
        return rcNoCursor;
    xb_Select(cursor);
    if (xb_Bof())
        xb_GoTop();
    else
        xb_Skip(1);
    recNo = xb_RecNo();
    if (xb_Eof())
        return ReadChecked(rcEndOfTable);
    xb_GetRecord(image);
    return ReadChecked(rcOk);
}

int CurrentRecord(int cursor, std::string& image, long& recNo) {
    if (!WorkAreaOf(cursor))
        return rcNoCursor;
    xb_Select(cursor);
    recNo = xb_RecNo();
    if (xb_Eof())
        return ReadChecked(rcEndOfTable); // the move made outside may have stopped at a missing record
    xb_GetRecord(image);
    return ReadChecked(rcOk);
}

int FetchPrior(int cursor, long recNo, std::string& image, long& newRecNo, bool& atStart) {
    if (!WorkAreaOf(cursor))
        return rcNoCursor;
    xb_Select(cursor);
    xb_Goto(recNo);
    xb_Skip(-1);
    atStart = xb_Bof();
    newRecNo = xb_RecNo();
    if (xb_Eof())
        return ReadChecked(rcEndOfTable);
    xb_GetRecord(image);
    return ReadChecked(rcOk);
}

std::string ReadError(int cursor) {
    TAreaGuard guard(cursor);
    return guard.Valid() ? xb_ReadError() : std::string();
}

int BlankRecord(int cursor, std::string& image) {
    TAreaGuard guard(cursor);
    if (!guard.Valid() || !xb_BlankRecord(image))
        return rcNoCursor;
    return rcOk;
}

int InsertRecord(int cursor, std::string_view image, long& recNo, std::string& reason) {
    if (!WorkAreaOf(cursor))
        return rcNoCursor;
    xb_Select(cursor);
    static constexpr std::array<int, 7> codes = {rcOk,      rcLockRefused, rcAppend2, rcAppend3,
                                                 rcAppend4, rcAppend5,     rcNoCursor};
    const int result = xb_AppendEx();
    const int code = result >= 1 && result <= 6 ? codes[static_cast<std::size_t>(result)] : rcOk;
    if (code != rcOk) {
        reason = xb_ErrorText();
        return code;
    }
    if (!xb_PutRecord(image)) {
        reason = xb_ErrorText();
        return rcAppend2;
    }
    recNo = xb_RecNo();
    return rcOk;
}

int UpdateRecord(int cursor, long recNo, std::string_view image, std::string& reason) {
    if (!WorkAreaOf(cursor))
        return rcNoCursor;
    xb_Select(cursor);
    xb_Goto(recNo);
    if (xb_RecNo() != recNo || !xb_PutRecord(image)) {
        reason = xb_ErrorText();
        return rcAppend2;
    }
    return rcOk;
}

int SetSoleWriter(int cursor, bool value) {
    TAreaGuard guard(cursor);
    return guard.Valid() && xb_SetSoleWriter(value) ? rcOk : rcNoCursor;
}

int RecordCount(int cursor, int& count) {
    if (!WorkAreaOf(cursor))
        return rcNoCursor;
    xb_Select(cursor);
    count = static_cast<int>(xb_Count());
    return ReadChecked(rcOk);
}

int FileRecordCount(int cursor, int& count) {
    if (!WorkAreaOf(cursor))
        return rcNoCursor;
    xb_Select(cursor);
    count = static_cast<int>(xb_RecCount());
    return rcOk;
}

int LanguageDriver(int cursor, int& languageDriver) {
    TAreaGuard guard(cursor);
    if (!guard.Valid())
        return rcNoCursor;
    languageDriver = xb_LanguageDriver();
    return rcOk;
}

int ReadMemo(int cursor, std::string_view fieldBytes, std::string& text, std::string& reason) {
    TAreaGuard guard(cursor);
    if (!guard.Valid())
        return rcNoCursor;
    if (!xb_MemoText(fieldBytes, text)) {
        reason = xb_ErrorText();
        return rcMemoError;
    }
    return rcOk;
}

} // namespace RecordLayer
