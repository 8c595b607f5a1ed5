// The box that shows the pre-flight summary of a mailing: the user continues to "Start!" or goes back.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class PreflightDialog;
}
class TPreflightSummary;

class TPreflightDialog : public QDialog {
    Q_OBJECT
public:
    // The summary must outlive the dialog.
    explicit TPreflightDialog(const TPreflightSummary& summary, QWidget* parent = nullptr);
    ~TPreflightDialog() override;

    // The choice for the recipients who already got this message: send it to them again (else pass them over).
    bool SendAgain() const;

    // Shows or hides the records to look at.
    void btnShowListClick(QObject* Sender);
    // Puts the records to look at on the clipboard.
    void btnCopyClick(QObject* Sender);
    // Every record to look at, one line each, columns separated by tabs under a line of headings.
    QString ListText() const;

    // At most this many records are listed; a last row says how many more there are.
    static constexpr int ListLimit = 10000;

private:
    void FillSummary();
    void ShowToSend();
    void FillList();
    // Widens the list to its columns, within the screen.
    void FitList();

    const TPreflightSummary& FSummary;
    std::unique_ptr<Ui::PreflightDialog> ui;
    bool FListFilled = false;
};
