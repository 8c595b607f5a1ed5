// Links a table to the components that work on it.
#include "table/DataSource.h"

#include "table/Table.h"

TDataSource::TDataSource(QObject* owner) : QObject(owner) {}

TDataSource::~TDataSource() = default;

TTable* TDataSource::DataSet() const {
    return FDataSet.data();
}

void TDataSource::SetDataSet(TTable* dataSet) {
    FDataSet = dataSet;
}
