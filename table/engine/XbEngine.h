// The xBase engine: numbered work areas 1..255 over .dbf files, one of them selected; every call acts on
// the selected area. Single-threaded, like the rest of the table layer.
#pragma once

#include <string>
#include <string_view>

struct TDbfField;

// Engine properties of xb_SysProp.
constexpr int xbPropRecordImage = 65000;
constexpr int xbPropAreaOpen = 65002;
constexpr int xbPropShutdown = 65005;
constexpr int xbPropSaveArea = 65008;
constexpr int xbPropSaveAreaSize = 65010;
constexpr int xbPropFlaggedField = 65012;

// Start and end.
std::string xb_Version();
void xb_SetStringType(int type);
void xb_ErrorLevel(int level);
void xb_CloseAll();
// Why the last failing call failed, in words for the user (our addition: the result codes alone say little).
std::string xb_ErrorText();

// Areas. mode 0 shared read/write, 1 read-only, 2 exclusive; driver 1 NTX, 2 FoxPro, 3 NSX.
int xb_Use(std::string_view path, std::string_view alias, int mode, int driver);
int xb_Select(int area);
// The area using alias (compared without regard to case), 0 = none; a null alias gives the selected area.
int xb_WorkArea(const char* alias);
std::string xb_Alias(int area);
void xb_Close();
long xb_SysProp(int code, long n);

// Moves of the selected area. With xb_SetDeleted(1) deleted records are never current.
void xb_GoTop();
void xb_GoBottom();
// Our addition: positions on a record number (past the end = end of table).
void xb_Goto(long recNo);
long xb_Skip(long n);
bool xb_Bof();
bool xb_Eof();
long xb_RecNo();
bool xb_Deleted();
long xb_Count();
// Our addition: every record of the file, those marked deleted included, whatever xb_SetDeleted says.
long xb_RecCount();
// Our addition: why the selected area's last move, count or record read met a record it could not read (the
// file was cut short by another program while it was read); empty when it met none. A move that stopped there
// also sets xb_Eof, so callers that only test xb_Eof would take it for the end of the table.
std::string xb_ReadError();

// Records.
int xb_RecSize();
bool xb_GetRecord(std::string& image);
bool xb_PutRecord(std::string_view image);
// Starts a new blank record; xb_PutRecord then writes it. -1 = done; 1..6 = failure kinds.
int xb_AppendEx();
// The caller keeps every other writer of the selected table away (see TDbfFile::SetSoleWriter).
bool xb_SetSoleWriter(bool value);
bool xb_Rlock(long recNo);
bool xb_Unlock(long recNo);

// Structure (hidden system fields are not counted).
int xb_FieldCount();
std::string xb_FieldName(int fieldNo);
char xb_FieldType(std::string_view name);
int xb_FieldWidth(std::string_view name);
int xb_FieldDecimals(std::string_view name);
int xb_FieldOffset(std::string_view name);
// Our addition: where the Visual FoxPro _NullFlags bytes lie in the record (-1 = none).
bool xb_NullFlags(int& flagsOffset, int& flagsWidth);
// Our addition: everything about visible field fieldNo (from 1) at once, nullptr when there is none. Fields
// are read by position: two fields may share a name.
const TDbfField* xb_FieldDescriptor(int fieldNo);
// Our addition: the image of a new record, each field holding the empty value of its type.
bool xb_BlankRecord(std::string& image);
// Our addition: the version byte of the selected area's file.
int xb_TableVersion();
// Our addition: the language-driver byte (header byte 29) of the selected area's file: its code page.
int xb_LanguageDriver();

// Typed access to the current record.
std::string xb_GetTrimString(std::string_view name);
std::string xb_GetString(std::string_view name);
std::string xb_GetDateString(std::string_view name);
bool xb_GetLogical(std::string_view name);
bool xb_Replace(std::string_view name, int maxLength, std::string_view value);
// Our addition: the memo text that the bytes of a memo field point to, read from the selected area's memo
// file; false (see xb_ErrorText) when the pointer is bad.
bool xb_MemoText(std::string_view fieldBytes, std::string& text);

// New tables.
int xb_CreateNew(std::string_view path, std::string_view alias, int driver, int fieldCount);
bool xb_CreateField(std::string_view name, std::string_view type, int width, int decimals);
int xb_CreateExec();

// Settings.
void xb_SetDeleted(int on);
void xb_SetExact(int on);
void xb_SetSoftSeek(int on);
void xb_SetCentury(int on);
void xb_SetEpoch(int year);
void xb_SetDateFormat(int code);
// How long an append waits for another program's lock before it fails, in seconds.
void xb_SetLockTimeout(int seconds);
void xb_SetMemoBlockSize(int size);
