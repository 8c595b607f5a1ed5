// The About box and the routine that opens its links.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class OKBottomDlg;
}

// Asks the desktop to open a document or link; a failure (result 32 or less) is explained in a warning box.
// An empty FileName does nothing and returns 0.
int OpenDocument(const QString& FileName, const QString& Params);
// The explanation of a shell result.
QString OpenDocumentMessage(int result);

class TOKBottomDlg : public QDialog {
    Q_OBJECT
public:
    explicit TOKBottomDlg(QWidget* parent = nullptr);
    ~TOKBottomDlg() override;

    void FormShow(QObject* Sender);
    void lblURLClick(QObject* Sender);
    void lblEmailClick(QObject* Sender);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::unique_ptr<Ui::OKBottomDlg> ui;
};
