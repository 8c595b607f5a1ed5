// The engine component: moves the table linked through a data source and creates new table files.
#pragma once

#include <QObject>
#include <QPointer>
#include <string>
#include <string_view>

class TDataSource;
class TTable;

class TXbaseEngine : public QObject {
public:
    explicit TXbaseEngine(QObject* owner = nullptr);
    ~TXbaseEngine() override;

    TDataSource* DataSource() const;
    void SetDataSource(TDataSource* source);
    const std::string& Filter() const { return FFilter; }
    void SetFilter(std::string_view filter) { FFilter = filter; }
    const std::string& ExtraIndexes() const { return FExtraIndexes; }
    void SetExtraIndexes(std::string_view indexes) { FExtraIndexes = indexes; }
    bool TurboRead() const { return FTurboRead; }
    void SetTurboRead(bool value) { FTurboRead = value; }

    // Makes the first visible record of the linked table current.
    void GoTop();
    // Moves the linked table by n records; returns the signed count moved.
    int MoveBy(int n);

    // A new table file: CreateNew, then one CreateField per field in order, then CreateExec writes it.
    // Driver 2 writes a FoxPro-compatible table. An existing file of that name is replaced.
    bool CreateNew(std::string_view fileName, int driver, int fieldCount);
    void CreateField(std::string_view name, std::string_view typeLetter, int width, int decimals);
    bool CreateExec();
    // Why the last CreateNew or CreateExec failed, in words for the user.
    const std::string& CreateError() const { return FCreateError; }

private:
    TTable* LinkedTable();
    void BeginBracket();
    void EndBracket();

    QPointer<TDataSource> FDataSource;
    QPointer<TTable> FDataSet;
    std::string FFilter;
    std::string FExtraIndexes;
    bool FTurboRead = false;
    int FCreateArea = 0;
    int FBracketArea = 0;
    std::string FCreateError;
};
