// The table dataset: opens a .dbf file, lists its fields, walks its records, reads and appends them.
#pragma once

#include "table/Field.h"
#include "table/WorkArea.h"

#include <QObject>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum TTableType { ttDefault, ttParadox, ttDBase, ttASCII, ttXbNTX, ttXbFOX, ttXbNSX };
enum TDataSetState { dsInactive, dsBrowse, dsInsert, dsEdit };

class TTable : public QObject {
public:
    explicit TTable(QObject* owner = nullptr);
    // A table still open is closed first.
    ~TTable() override;

    // Changing these on an open table raises "Cannot perform this operation on an open dataset".
    const std::string& TableName() const { return FTableName; }
    void SetTableName(std::string_view name);
    // A folder that prefixes table names holding no path; empty = the current directory.
    const std::string& DatabaseName() const { return FDatabaseName; }
    void SetDatabaseName(std::string_view folder);
    TTableType TableType() const { return FTableType; }
    void SetTableType(TTableType type);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool value);
    bool Exclusive() const { return FExclusive; }
    void SetExclusive(bool value);

    // Active = true opens (the first visible record becomes current); a failure leaves the table closed
    // and raises EDBEngineError ("File Open Error" when the file cannot be opened as a table).
    bool Active() const { return FState != dsInactive; }
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSetState State() const { return FState; }

    // The field names in table order; a closed table reads them from the file and stays closed.
    void GetFieldNames(std::vector<std::string>& list);
    // The number of records the engine reports (visible ones when deleted records are hidden).
    int RecordCount();
    // Every record of the file, those marked deleted included.
    int FileRecordCount();

    // The language-driver byte of the open table's header (0 when it declares no code page).
    int LanguageDriver() const;
    // The first line of the .cpg file beside the table (as GIS tools write it), empty when there is none.
    std::string CodePageFile() const;
    // The code page the table declares: its language-driver byte, else its .cpg file; empty when neither says.
    std::string DeclaredCodePage() const;

    int FieldCount() const { return static_cast<int>(FFields.size()); }
    TField& Fields(int index) const;
    // Compared without regard to case; none raises "Field '<name>' not found".
    TField& FieldByName(std::string_view name) const;
    TField* FindField(std::string_view name) const;

    // Also set when a forward move met a record that cannot be read (the file was cut short by another program
    // while it was read): that move raises EDBEngineError with the engine's sentence.
    bool Eof() const { return FEof; }
    bool Bof() const { return FBof; }
    void First();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    // Moves up to n records forward (n > 0) or back (n < 0); returns the signed count moved.
    int MoveBy(int n);
    // The engine's number of the current record (from 1); 0 when there is none.
    int RecNo() const { return FRecNo; }
    // True when the current record carries the deletion mark (seen only while deleted records are shown).
    bool RecordDeleted() const;

    // Insert state with a fresh blank record; nothing reaches the file before Post.
    void Append();
    // Writes the record of insert or edit state and returns to browse state; in browse state it does nothing.
    void Post();
    // Writes the record of insert state over record recNo instead of appending it; the table stands there after.
    void PostOver(int recNo);
    void Cancel();
    // For a caller that keeps every other writer away for as long as it appends (a lock of its own around the whole
    // job): each appended record then costs two writes, no lock and no look at the count on disk.
    void SetSoleWriter(bool value);

    // The engine area of the open table (0 when closed).
    int Cursor() const { return FCursor; }
    // The current record image: the deletion flag, then every field's bytes.
    std::string_view RecordImage() const { return FBuffer; }
    std::string& EditBuffer() { return FBuffer; }
    // Re-reads the current record from the engine's position (after the engine moved the table).
    void Resync();

private:
    void CheckInactive() const;
    void CheckActive() const;
    // One number the record layer keeps for the open table; its error codes raise.
    int AskLayer(int (*ask)(int cursor, int& value)) const;
    // Raises the record layer's error code, with the engine's sentence for a record that cannot be read.
    [[noreturn]] void RaiseLayerError(int code) const;
    void OpenCursor();
    void CloseCursor();
    void CreateFields();
    int FetchForward();
    int FetchBackward();

    std::string FTableName;
    std::string FDatabaseName;
    TTableType FTableType = ttDefault;
    bool FReadOnly = false;
    bool FExclusive = false;
    TDataSetState FState = dsInactive;
    int FCursor = 0;
    bool FEof = true;
    bool FBof = true;
    int FRecNo = 0;
    std::string FBuffer;
    std::string FSavedBuffer;
    std::vector<std::unique_ptr<TField>> FFields;
    std::vector<bool> FShadowed; // the field's name, in any case, belongs to an earlier field too
    mutable std::size_t FLookupHint = 0;
};
