// Links a table to the components that work on it (the engine component reaches its table through one).
#pragma once

#include <QObject>
#include <QPointer>

class TTable;

class TDataSource : public QObject {
public:
    explicit TDataSource(QObject* owner = nullptr);
    ~TDataSource() override;

    // Not owned: the link becomes empty when the table is destroyed.
    TTable* DataSet() const;
    void SetDataSet(TTable* dataSet);

private:
    QPointer<TTable> FDataSet;
};
