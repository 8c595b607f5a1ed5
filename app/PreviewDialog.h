// The preview window: the message of one record of the scope as it goes out, decoded for reading.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Ui {
class PreviewDialog;
}

class TPreviewDialog : public QDialog {
    Q_OBJECT
public:
    // The lines after DATA of a record number, or none with problem saying why it gets no message.
    using TSource = std::function<std::vector<std::string>(int recNo, std::string& problem)>;

    // Records first to last (record numbers) can be shown; body lines are wrapped at wrapColumn.
    TPreviewDialog(int first, int last, int wrapColumn, TSource source, QWidget* parent = nullptr);
    ~TPreviewDialog() override;

    // Shows the record (kept inside first..last).
    void ShowRecord(int recNo);
    int RecordNumber() const { return FRecNo; }
    // The shown text without its ruler line.
    QString MessageText() const;

    // A ruler for the wrap column: "----+----1----+----2..." up to the column, then "|".
    static QString Ruler(int wrapColumn);

private:
    std::unique_ptr<Ui::PreviewDialog> ui;
    int FFirst;
    int FLast;
    int FWrapColumn;
    TSource FSource;
    int FRecNo = 0;
    QString FText;
};
