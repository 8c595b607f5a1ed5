// Personalisation of the body and the feed of its lines to the SMTP client.
#include "app/MailWizard.h"

#include "app/MessageText.h"
#include "framework/Text.h"
#include "ui_MailWizard.h"

#include <algorithm>
#include <cstring>

void TMailWizardForm::ReplaceVariables(const std::string& Source, std::string& Dest) {
    Dest = MessageText::ReplaceVariables(Source, [this](char placeholder) {
        const QComboBox* mapping = placeholder == 'N'   ? static_cast<const QComboBox*>(ui->cmbName)
                                   : placeholder == 'O' ? ui->cmbOrganization
                                   : placeholder == 'E' ? ui->cmbEmail
                                                        : ui->cmbDear;
        return MappedField(mapping);
    });
}

std::string TMailWizardForm::PersonalSubject() const {
    return MessageText::Personalise(FSubject, [this](char placeholder) {
        const QComboBox* mapping = placeholder == 'N'   ? static_cast<const QComboBox*>(ui->cmbName)
                                   : placeholder == 'O' ? ui->cmbOrganization
                                   : placeholder == 'E' ? ui->cmbEmail
                                                        : ui->cmbDear;
        return MappedField(mapping);
    });
}

void TMailWizardForm::SmtpClientGetData(QObject* /*Sender*/, int /*LineNum*/, char* MsgLine, int MaxLen, bool& More) {
    bool ok = false;
    const int width = ui->edtWrapLines->text().toInt(&ok);
    if (!ok) {
        // An unreadable wrap column ends the body rather than sending it unwrapped.
        MsgLine[0] = '\0';
        More = false;
        return;
    }
    const std::string line = MessageText::NextBodyLine(MsgText, MsgPos, width, MaxLen, More);
    const size_t length = std::min(line.size(), static_cast<size_t>(std::max(MaxLen, 0)));
    std::memcpy(MsgLine, line.data(), length);
    MsgLine[length] = '\0';
}

void TMailWizardForm::SmtpClientHeaderLine(QObject* /*Sender*/, char* Msg, int Size) {
    MessageText::AddOrganizationHeader(Msg, Size, Text::Trim(ui->edtOrganization->text()).toStdString());
}
