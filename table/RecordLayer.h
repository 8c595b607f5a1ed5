// The record layer: cursors are engine work areas; every operation answers a result code (0 = success).
#pragma once

#include "table/WorkArea.h"

#include <string>
#include <string_view>
#include <vector>

namespace RecordLayer {

constexpr int rcOk = 0;
constexpr int rcEndOfTable = 8706;
constexpr int rcAppend4 = 8965;
constexpr int rcAppend3 = 9218;
constexpr int rcNoCursor = 9990;
constexpr int rcAppend2 = 10243;
constexpr int rcLockRefused = 10245;
constexpr int rcAppend5 = 10763;
constexpr int rcOpenError = 11011;
constexpr int rcEngineStart = 99;
constexpr int rcMemoError = 12033; // a memo pointer or length past the memo file
constexpr int rcReadError = 8450;  // a record the header counts is missing: the file was cut short

// Starts the engine once per program: 0, or 99 when its version is older than 2.40.00 (or empty).
int EngineStart();
// Only the version test, for a given version text.
bool VersionAccepted(std::string_view version);

// The folder a database name stands for: empty = "./"; a slash is appended when missing.
std::string DatabaseFolder(std::string_view databaseName);
// The working path the last open loaded.
const std::string& WorkingPath();

// "XBNTX" 1, "XBFOX" 2, "XBNSX" 3, any other name 2; an empty name reads the code from the file.
int DriverCode(std::string_view driverName, const std::string& path);
// The alias a table name gets: base name cut to 8, "~", "-" and blanks as "_", then _1, _2 ... while taken.
std::string FreeAlias(std::string_view tableName);
// Where the engine finds the table: names holding a path are used as they are.
std::string TablePath(std::string_view folder, std::string_view tableName);
// 2 exclusive, 0 shared, 1 read-only (read-only wins).
int EngineMode(int openMode, int shareMode);

// Opens a cursor; on failure answers rcOpenError with the engine's explanation in reason.
int OpenCursor(std::string_view folder, std::string_view tableName, std::string_view driverName, int openMode,
               int shareMode, int& cursor, std::string& reason);
int CloseCursor(int cursor);
// The work-area record of an open cursor, nullptr when there is none.
const TWorkArea* WorkAreaOf(int cursor);

// Positions before the first record.
int SetToBegin(int cursor);
// One step forward (or back): fills image, recNo and answers rcEndOfTable at the end. A record that cannot
// be read answers rcReadError (see ReadError); so do the other record reads and the record count.
int FetchNext(int cursor, std::string& image, long& recNo);
// The record the engine stands on (after a move made outside the layer).
int CurrentRecord(int cursor, std::string& image, long& recNo);
int FetchPrior(int cursor, long recNo, std::string& image, long& newRecNo, bool& atStart);
// Why the cursor's last operation answered rcReadError, in the engine's words.
std::string ReadError(int cursor);
// The image of a new record: each field holds the empty value of its type.
int BlankRecord(int cursor, std::string& image);
// Appends image as a new record; answers the append codes.
int InsertRecord(int cursor, std::string_view image, long& recNo, std::string& reason);
// Writes image over record recNo (a row that now says more than when it was appended).
int UpdateRecord(int cursor, long recNo, std::string_view image, std::string& reason);
// The caller keeps every other writer of the table away while it appends: appends take no lock.
int SetSoleWriter(int cursor, bool value);
int RecordCount(int cursor, int& count);
// Every record of the file, deleted ones included.
int FileRecordCount(int cursor, int& count);
// The language-driver byte of the cursor's file (the code page its header declares, 0 = none).
int LanguageDriver(int cursor, int& languageDriver);
// Memo text for a memo field's bytes.
int ReadMemo(int cursor, std::string_view fieldBytes, std::string& text, std::string& reason);

} // namespace RecordLayer
