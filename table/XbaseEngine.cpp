// The engine component: first record and moves of the linked table, and new table files.
#include "table/XbaseEngine.h"

#include "table/DataSource.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/engine/XbEngine.h"

namespace {
const char* const CreationAlias = "XXXXXXXXXX";
}

TXbaseEngine::TXbaseEngine(QObject* owner) : QObject(owner) {
    xb_SetStringType(1);
}

TXbaseEngine::~TXbaseEngine() = default;

TDataSource* TXbaseEngine::DataSource() const {
    return FDataSource.data();
}

void TXbaseEngine::SetDataSource(TDataSource* source) {
    FDataSource = source;
    FDataSet = nullptr;
}

TTable* TXbaseEngine::LinkedTable() {
    if (!FDataSet && FDataSource)
        FDataSet = FDataSource->DataSet();
    return FDataSet.data();
}

// Remembers the selected area so that the engine calls of one operation leave the selection as it was.
void TXbaseEngine::BeginBracket() {
    TTable* table = LinkedTable();
    if (!FDataSource || !table)
        FBracketArea = xb_WorkArea(nullptr);
    else if (table->Active())
        FBracketArea = xb_Select(table->Cursor());
    else
        FBracketArea = xb_WorkArea(nullptr);
}

void TXbaseEngine::EndBracket() {
    TTable* table = LinkedTable();
    const int own = table && table->Active() ? table->Cursor() : 0;
    if (FBracketArea != 0 && FBracketArea != own && !xb_Alias(FBracketArea).empty())
        xb_Select(FBracketArea);
}

void TXbaseEngine::GoTop() {
    TTable* table = LinkedTable();
    if (!table || !table->Active())
        throw EDatabaseError("Cannot perform this operation on a closed dataset");
    BeginBracket();
    if (table->State() != dsBrowse)
        table->Post();
    xb_Select(table->Cursor());
    xb_GoTop();
    table->Resync();
    EndBracket();
}

int TXbaseEngine::MoveBy(int n) {
    TTable* table = LinkedTable();
    if (!table)
        return 0;
    return table->MoveBy(n);
}

bool TXbaseEngine::CreateNew(std::string_view fileName, int driver, int fieldCount) {
    BeginBracket();
    // A definition left unfinished by an earlier CreateNew is dropped.
    if (FCreateArea != 0 && xb_Alias(FCreateArea) == CreationAlias) {
        xb_Select(FCreateArea);
        xb_Close();
    }
    FCreateArea = xb_CreateNew(fileName, CreationAlias, driver, fieldCount);
    FCreateError = FCreateArea == 0 ? xb_ErrorText() : std::string();
    EndBracket();
    return FCreateArea != 0;
}

void TXbaseEngine::CreateField(std::string_view name, std::string_view typeLetter, int width, int decimals) {
    BeginBracket();
    if (FCreateArea >= 1)
        xb_Select(FCreateArea);
    xb_CreateField(name, typeLetter, width, decimals);
    EndBracket();
}

bool TXbaseEngine::CreateExec() {
    BeginBracket();
    if (FCreateArea < 1 || xb_Alias(FCreateArea) != CreationAlias) {
        FCreateError = "no new table is being defined";
        EndBracket();
        return false;
    }
    xb_Select(FCreateArea);
    const bool done = xb_CreateExec() != 0;
    FCreateError = done ? std::string() : xb_ErrorText();
    xb_Close();
    FCreateArea = 0;
    EndBracket();
    return done;
}
