// The xb_* calls: the area table, the selected area, the settings and the last error text.
#include "table/engine/XbEngine.h"

#include "table/engine/FieldCodec.h"
#include "table/engine/FormatError.h"
#include "table/engine/XbArea.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

namespace {

constexpr int MaxAreas = 255;

struct TEngine {
    std::array<std::unique_ptr<TXbArea>, MaxAreas + 1> Areas; // slot 0 unused
    int Selected = 1;
    std::string LastError;
    bool Deleted = false;
    bool Exact = false;
    bool SoftSeek = false;
    bool Century = false;
    int Epoch = 1900;
    int DateFormat = 99;
    int LockTimeout = 1;
    int MemoBlockSize = 64;
};

TEngine TheEngine;

TEngine& Engine() {
    return TheEngine;
}

TXbArea* Area(int n) {
    return n >= 1 && n <= MaxAreas ? Engine().Areas[static_cast<std::size_t>(n)].get() : nullptr;
}

// The selected area when it holds an open table (not one being created).
TXbArea* Table() {
    TXbArea* area = Area(Engine().Selected);
    return area && area->File() ? area : nullptr;
}

int FreeArea() {
    for (int n = 1; n <= MaxAreas; ++n)
        if (!Area(n))
            return n;
    return 0;
}

bool Fail(std::string text) {
    Engine().LastError = std::move(text);
    return false;
}

// The visible field of that name in the selected open table, nullptr when there is none.
const TDbfField* NamedField(std::string_view name) {
    const TXbArea* area = Table();
    return area ? area->FieldByName(name) : nullptr;
}

std::string FieldBytes(std::string_view name, const TDbfField** field = nullptr) {
    const TDbfField* f = NamedField(name);
    if (field)
        *field = f;
    if (!f)
        return {};
    return std::string(
        Table()->Current().substr(static_cast<std::size_t>(f->Offset), static_cast<std::size_t>(f->Width)));
}

} // namespace

std::string xb_Version() {
    return "2.40.00";
}
void xb_SetStringType(int) {}
void xb_ErrorLevel(int) {}
std::string xb_ErrorText() {
    return Engine().LastError;
}

void xb_CloseAll() {
    for (int n = 1; n <= MaxAreas; ++n) {
        if (TXbArea* area = Area(n); area && area->File())
            area->CommitPending();
        Engine().Areas[static_cast<std::size_t>(n)].reset();
    }
    Engine().Selected = 1;
}

int xb_Use(std::string_view path, std::string_view alias, int mode, int driver) {
    if (driver < 1 || driver > 3 || mode < 0 || mode > 2)
        return Fail("unknown open mode or driver"), 0;
    if (!alias.empty() && xb_WorkArea(std::string(alias).c_str()) != 0)
        return Fail("the alias " + std::string(alias) + " is in use"), 0;
    const int n = FreeArea();
    if (n == 0)
        return Fail("all 255 work areas are in use"), 0;
    try {
        auto file = std::make_unique<TDbfFile>(std::string(path), mode);
        file->SetLockTimeout(Engine().LockTimeout);
        Engine().Areas[static_cast<std::size_t>(n)] = std::make_unique<TXbArea>(std::move(file), std::string(alias));
    } catch (const EFormatError& e) {
        return Fail(e.what()), 0;
    } catch (const std::bad_alloc&) {
        return Fail("not enough memory to open the table"), 0;
    }
    Engine().Selected = n;
    return n;
}

int xb_Select(int area) {
    const int previous = Engine().Selected;
    if (area >= 1 && area <= MaxAreas)
        Engine().Selected = area;
    return previous;
}

int xb_WorkArea(const char* alias) {
    if (!alias)
        return Engine().Selected;
    for (int n = 1; n <= MaxAreas; ++n)
        if (const TXbArea* area = Area(n); area && SameNameNoCase(area->Alias(), alias))
            return n;
    return 0;
}

std::string xb_Alias(int area) {
    const TXbArea* a = Area(area);
    return a ? a->Alias() : std::string();
}

void xb_Close() {
    if (TXbArea* area = Area(Engine().Selected)) {
        if (area->File())
            area->CommitPending();
        Engine().Areas[static_cast<std::size_t>(Engine().Selected)].reset();
    }
}

long xb_SysProp(int code, long n) {
    if (code == xbPropAreaOpen)
        return Area(static_cast<int>(n)) != nullptr ? 1 : 0;
    // No field needs the typed path, and there is no save area to copy.
    return 0;
}

void xb_GoTop() {
    if (TXbArea* area = Table())
        area->GoTop(Engine().Deleted);
}

void xb_GoBottom() {
    if (TXbArea* area = Table())
        area->GoBottom(Engine().Deleted);
}

void xb_Goto(long recNo) {
    if (TXbArea* area = Table())
        area->Goto(recNo < 0 ? 0 : static_cast<std::uint32_t>(std::min<long>(recNo, 0xFFFFFFFFL)));
}

long xb_Skip(long n) {
    TXbArea* area = Table();
    return area ? area->Skip(n, Engine().Deleted) : 0;
}

bool xb_Bof() {
    const TXbArea* area = Table();
    return !area || area->Bof();
}

bool xb_Eof() {
    const TXbArea* area = Table();
    return !area || area->Eof();
}

long xb_RecNo() {
    const TXbArea* area = Table();
    return area ? static_cast<long>(area->RecNo()) : 0;
}

bool xb_Deleted() {
    TXbArea* area = Table();
    return area && area->Deleted();
}

long xb_Count() {
    TXbArea* area = Table();
    return area ? static_cast<long>(area->Count(Engine().Deleted)) : 0;
}

long xb_RecCount() {
    TXbArea* area = Table();
    return area ? static_cast<long>(area->Count(false)) : 0;
}

std::string xb_ReadError() {
    const TXbArea* area = Table();
    return area ? area->ReadError() : std::string();
}

int xb_RecSize() {
    const TXbArea* area = Table();
    return area ? static_cast<int>(area->File()->Layout().RecordLength) : 0;
}

bool xb_GetRecord(std::string& image) {
    TXbArea* area = Table();
    if (!area)
        return Fail("no table is open in the selected area");
    image.assign(area->Current()); // keeps the caller's buffer
    return true;
}

bool xb_PutRecord(std::string_view image) {
    TXbArea* area = Table();
    if (!area)
        return Fail("no table is open in the selected area");
    if (!area->File()->Writable())
        return Fail("the table is open for reading only");
    return area->Put(image) || Fail(area->File()->LastError());
}

int xb_AppendEx() {
    TXbArea* area = Table();
    if (!area)
        return Fail("no table is open in the selected area"), 6;
    if (!area->File()->Writable())
        return Fail("the table is open for reading only"), 3;
    area->StartAppend();
    return -1;
}

bool xb_SetSoleWriter(bool value) {
    TXbArea* area = Table();
    if (!area)
        return Fail("no table is open in the selected area");
    area->File()->SetSoleWriter(value);
    return true;
}

bool xb_Rlock(long) {
    return Table() != nullptr;
}
bool xb_Unlock(long) {
    return Table() != nullptr;
}

int xb_FieldCount() {
    const TXbArea* area = Table();
    return area ? area->FieldCount() : 0;
}

std::string xb_FieldName(int fieldNo) {
    const TXbArea* area = Table();
    const TDbfField* f = area ? area->Field(fieldNo) : nullptr;
    return f ? f->Name : std::string();
}

char xb_FieldType(std::string_view name) {
    const TDbfField* f = NamedField(name);
    return f ? f->Type : '\0';
}

int xb_FieldWidth(std::string_view name) {
    const TDbfField* f = NamedField(name);
    return f ? f->Width : 0;
}

int xb_FieldDecimals(std::string_view name) {
    const TDbfField* f = NamedField(name);
    return f ? f->Decimals : 0;
}

int xb_FieldOffset(std::string_view name) {
    const TDbfField* f = NamedField(name);
    return f ? f->Offset + 1 : 0;
}

bool xb_NullFlags(int& flagsOffset, int& flagsWidth) {
    const TXbArea* area = Table();
    if (!area)
        return false;
    flagsOffset = area->File()->Layout().NullFlagsOffset;
    flagsWidth = area->File()->Layout().NullFlagsWidth;
    return true;
}

const TDbfField* xb_FieldDescriptor(int fieldNo) {
    const TXbArea* area = Table();
    return area ? area->Field(fieldNo) : nullptr;
}

bool xb_BlankRecord(std::string& image) {
    const TXbArea* area = Table();
    if (!area)
        return Fail("no table is open in the selected area");
    image = BlankRecord(area->File()->Layout());
    return true;
}

int xb_TableVersion() {
    const TXbArea* area = Table();
    return area ? area->File()->Layout().Version : 0;
}

int xb_LanguageDriver() {
    const TXbArea* area = Table();
    return area ? area->File()->Layout().CodePage : 0;
}

std::string xb_GetString(std::string_view name) {
    const TDbfField* f = nullptr;
    const std::string bytes = FieldBytes(name, &f);
    if (!f)
        return {};
    switch (f->Meaning.Form) {
    case TFieldForm::Text:
    case TFieldForm::Number:
    case TFieldForm::Date:
    case TFieldForm::Logical:
        return bytes;
    case TFieldForm::Memo: {
        std::string text;
        xb_MemoText(bytes, text);
        return text;
    }
    default: {
        std::string text;
        FieldCodec::NumberText(f->Meaning, bytes, text);
        return text;
    }
    }
}

std::string xb_GetTrimString(std::string_view name) {
    return std::string(FieldCodec::TrimRight(xb_GetString(name)));
}

std::string xb_GetDateString(std::string_view name) {
    const TDbfField* f = nullptr;
    const std::string bytes = FieldBytes(name, &f);
    const auto date = f ? FieldCodec::Date(f->Meaning.Form, bytes) : std::nullopt;
    if (!date)
        return std::string(8, ' ');
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d", date->Year, date->Month, date->Day);
    return text;
}

bool xb_GetLogical(std::string_view name) {
    return FieldCodec::Logical(FieldBytes(name)).value_or(false);
}

bool xb_Replace(std::string_view name, int maxLength, std::string_view value) {
    const TDbfField* f = NamedField(name);
    if (!f)
        return Fail("no field " + std::string(name));
    std::string image(Table()->Current());
    std::string text(value.substr(0, static_cast<std::size_t>(std::max(0, maxLength))));
    text.resize(static_cast<std::size_t>(f->Width), ' ');
    image.replace(static_cast<std::size_t>(f->Offset), text.size(), text);
    return xb_PutRecord(image);
}

bool xb_MemoText(std::string_view fieldBytes, std::string& text) {
    TXbArea* area = Table();
    if (!area)
        return Fail("no table is open in the selected area");
    try {
        text = area->File()->ReadMemo(fieldBytes);
        return true;
    } catch (const EFormatError& e) {
        text.clear();
        return Fail(e.what());
    } catch (const std::bad_alloc&) {
        text.clear();
        return Fail("not enough memory to read a memo");
    }
}

int xb_CreateNew(std::string_view path, std::string_view alias, int driver, int fieldCount) {
    if (driver < 1 || driver > 3 || fieldCount < 0 || fieldCount > 2046 || path.empty())
        return Fail("a new table needs a file name, a driver of 1 to 3 and 0 to 2046 fields"), 0;
    const int n = FreeArea();
    if (n == 0)
        return Fail("all 255 work areas are in use"), 0;
    Engine().Areas[static_cast<std::size_t>(n)] =
        std::make_unique<TXbArea>(std::make_unique<TDbfCreator>(std::string(path), fieldCount), std::string(alias));
    Engine().Selected = n;
    return n;
}

bool xb_CreateField(std::string_view name, std::string_view type, int width, int decimals) {
    TXbArea* area = Area(Engine().Selected);
    if (!area || !area->Creator() || type.empty())
        return Fail("no new table is being defined in the selected area");
    area->Creator()->AddField(name, type[0], width, decimals);
    return true;
}

int xb_CreateExec() {
    TXbArea* area = Area(Engine().Selected);
    if (!area || !area->Creator())
        return Fail("no new table is being defined in the selected area"), 0;
    try {
        area->Creator()->Write(Engine().MemoBlockSize);
        return 1;
    } catch (const EFormatError& e) {
        return Fail(e.what()), 0;
    }
}

void xb_SetDeleted(int on) {
    Engine().Deleted = on != 0;
}
void xb_SetExact(int on) {
    Engine().Exact = on != 0;
}
void xb_SetSoftSeek(int on) {
    Engine().SoftSeek = on != 0;
}
void xb_SetCentury(int on) {
    Engine().Century = on != 0;
}
void xb_SetEpoch(int year) {
    Engine().Epoch = year;
}
void xb_SetDateFormat(int code) {
    Engine().DateFormat = code;
}
void xb_SetLockTimeout(int seconds) {
    Engine().LockTimeout = seconds;
    for (int n = 1; n <= MaxAreas; ++n)
        if (TXbArea* area = Area(n); area && area->File())
            area->File()->SetLockTimeout(seconds);
}
void xb_SetMemoBlockSize(int size) {
    Engine().MemoBlockSize = size;
}
