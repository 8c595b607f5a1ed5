// The "List..." dialog of the server page: what bulk mail needs to reach the inbox and to let people leave:
// unsubscribe link and address, list name, reply-to, the suppression list and DKIM signing.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

namespace Ui {
class ListDialog;
}
class QLineEdit;
struct TMailingJob;

class TListDialog : public QDialog {
    Q_OBJECT
public:
    explicit TListDialog(QWidget* parent = nullptr);
    ~TListDialog() override;

    const Ui::ListDialog& Controls() const { return *ui; }
    // The dialog's part of a job, both ways.
    void FillJob(TMailingJob& job) const;
    void ShowJob(const TMailingJob& job);

    // Shows the dialog modally; true on OK. Cancel puts every value back as it was.
    bool Edit();
    // The DNS record the DKIM settings ask for, as text to show: the record or why there is none.
    QString DnsRecordText() const;

private:
    void btnDnsRecordClick();
    void BrowseFile(const QString& caption, const QStringList& filters, bool existing, QLineEdit* edit);

    std::unique_ptr<Ui::ListDialog> ui;
};
