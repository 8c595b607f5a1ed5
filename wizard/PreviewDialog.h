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
    // The readable message (header, blank line, text) of the record with the table's record number recNo, or none
    // with problem saying why it gets no message. A number that names no shown record (a deleted one) moves on in the direction of the step
    // and recNo is set to the record shown.
    using TSource = std::function<std::vector<std::string>(int& recNo, std::string& problem)>;

    // Sends the record's message as a test; the one line that tells how it went (empty: a box told already).
    using TTestSender = std::function<QString(int recNo)>;

    // Records first to last (the table's record numbers) can be shown; body lines are wrapped at wrapColumn.
    TPreviewDialog(int first, int last, int wrapColumn, TSource source, QWidget* parent = nullptr);
    ~TPreviewDialog() override;

    // Shows the record (kept inside first..last).
    void ShowRecord(int recNo);
    // "Send a test to me" sends through sender; the window stays open and shows it is busy until it returns.
    void SetTestSender(TTestSender sender);
    void SendTest();
    bool Busy() const { return FBusy; }
    int RecordNumber() const { return FRecNo; }
    // The shown text without its ruler line.
    QString MessageText() const;

    // A ruler for the wrap column: "----+----1----+----2..." up to the column, then "|".
    static QString Ruler(int wrapColumn);

    // A test under way cannot be walked away from: the window waits for its end (its timeouts bound that).
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void SetBusy(bool busy);

    std::unique_ptr<Ui::PreviewDialog> ui;
    int FFirst;
    int FLast;
    int FWrapColumn;
    TSource FSource;
    int FRecNo = 0;
    QString FText;
    TTestSender FTestSender;
    bool FBusy = false;
    bool FHasMessage = false;
};
