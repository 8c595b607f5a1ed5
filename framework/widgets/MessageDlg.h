// The program's message boxes: a warning with "OK" and a confirmation with "&Yes", "&No" and optionally "Cancel".
#pragma once

#include <QString>

class QWidget;

enum class TConfirmAnswer { Yes, No, Cancel };

namespace MessageDlg {

// A modal box titled "Warning" with the single button "OK". The text is shown as plain text.
void Warning(QWidget* parent, const QString& text);

// A modal box titled "Confirm" with "&Yes" and "&No", plus "Cancel" when withCancel is set. Yes is the default
// button; Escape answers Cancel, or No when there is no Cancel button.
TConfirmAnswer Confirm(QWidget* parent, const QString& text, bool withCancel = false);

// Line breaks of the 8-bit texts (CR LF) as the box shows them.
QString DisplayText(const QString& text);

} // namespace MessageDlg
