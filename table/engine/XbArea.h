// One work area of the engine: an open table with its position, or a table being defined for creation.
#pragma once

#include "table/engine/DbfCreator.h"
#include "table/engine/DbfFile.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TXbArea {
public:
    // An open table.
    TXbArea(std::unique_ptr<TDbfFile> file, std::string alias);
    // A table being defined (xb_CreateNew).
    TXbArea(std::unique_ptr<TDbfCreator> creator, std::string alias);

    const std::string& Alias() const { return FAlias; }
    TDbfFile* File() const { return FFile.get(); }
    TDbfCreator* Creator() const { return FCreator.get(); }

    // Moves; hideDeleted skips records marked deleted.
    void GoTop(bool hideDeleted);
    void GoBottom(bool hideDeleted);
    void Goto(std::uint32_t recNo);
    long Skip(long n, bool hideDeleted);
    bool Bof() const { return FBof; }
    bool Eof() const { return FEof; }
    std::uint32_t RecNo() const { return FRecNo; }
    bool Deleted();
    std::uint32_t Count(bool hideDeleted);
    // Why the last move or count stopped before the end of the table, or the current record could not be read:
    // a record the header counts is missing (another program cut the file short). Empty when none was.
    const std::string& ReadError() const { return FReadError; }

    // The current record image: the pending new record, the record read from the file, or blanks at
    // the end of the table.
    std::string_view Current();
    bool Put(std::string_view image);
    // A new blank record that Put writes; moving away or closing writes it blank.
    void StartAppend();
    bool CommitPending();

    // Visible fields (the hidden _NullFlags left out), from 1.
    int FieldCount() const { return static_cast<int>(FVisible.size()); }
    const TDbfField* Field(int fieldNo) const;
    const TDbfField* FieldByName(std::string_view name) const;

private:
    bool Visible(std::uint32_t recNo, bool hideDeleted);
    // The image of record recNo; empty, with the reason kept in FReadError, when it cannot be read.
    std::string_view Read(std::uint32_t recNo);
    std::uint32_t NextVisible(std::uint32_t from, bool hideDeleted);
    std::uint32_t PriorVisible(std::uint32_t from, bool hideDeleted);

    std::unique_ptr<TDbfFile> FFile;
    std::unique_ptr<TDbfCreator> FCreator;
    std::string FAlias;
    std::vector<const TDbfField*> FVisible;
    std::uint32_t FRecNo = 0;
    bool FBof = true;
    bool FEof = true;
    bool FPending = false;
    std::string FPendingImage;
    std::string FBlank; // the image shown at the end of the table: every field empty
    std::optional<std::uint32_t> FVisibleCount;
    std::string FReadError;
};
