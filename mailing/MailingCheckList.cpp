// The check of what bulk mail needs beyond a message: the list headers, the suppression list and DKIM signing.
#include "mailing/MailingCheck.h"

#include "framework/core/FileTrust.h"
#include "framework/core/Text.h"
#include "mailing/ListHeaders.h"
#include "mailing/SuppressionList.h"
#include "smtp/DkimError.h"
#include "smtp/DkimSigner.h"
#include "table/Table.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace {

// Why the unsubscribe link template cannot be used; empty when it can.
QString LinkProblem(const QString& link) {
    if (link.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        return QStringLiteral("The unsubscribe link must start with https://, not http://: mailbox providers only "
                              "offer one-click unsubscribe over an encrypted link, and a plain one shows who "
                              "left the list to anyone on the way.");
    if (!link.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return QStringLiteral("The unsubscribe link must be a web address starting with https://, such as "
                              "https://example.org/unsubscribe?email=%E.");
    // The placeholders are replaced before the link is used: judge the rest.
    QString bare = link;
    bare.replace(QLatin1String("%E"), QLatin1String("x")).replace(QLatin1String("%N"), QLatin1String("x"));
    bare.replace(QRegularExpression(QStringLiteral("\\{[^{}]*\\}")), QStringLiteral("x"));
    const QUrl url(bare, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || bare.contains(QLatin1Char(' ')) || bare.contains(QLatin1Char('<')) ||
        bare.contains(QLatin1Char('>')) || bare.contains(QLatin1Char('{')) || bare.contains(QLatin1Char('}')))
        return QStringLiteral("The unsubscribe link is not a valid web address: %1").arg(link);
    return {};
}

bool Ascii(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// The address part of "Name <address>" or a bare address.
std::string AddressPart(const std::string& value) {
    const size_t open = value.rfind('<');
    const size_t close = value.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open)
        return Text::Trim(value.substr(open + 1, close - open - 1));
    return Text::Trim(value);
}

} // namespace

QString TMailingCheck::List() {
    FList.reset();
    FSuppressed.reset();
    FDkim.reset();
    const QString link = Text::Trim(FJob.UnsubscribeUrl);
    if (!link.isEmpty())
        if (QString problem = LinkProblem(link); !problem.isEmpty())
            return problem;
    const QString address = Text::Trim(FJob.UnsubscribeAddress);
    if (!address.isEmpty())
        if (const std::string fault = TMailingRun::AddressProblem(address.toStdString());
            !fault.empty() || !Ascii(address))
            return QStringLiteral("Invalid unsubscribe address: %1 (%2).")
                .arg(address, QString::fromStdString(fault.empty() ? "it must be plain ASCII" : fault));
    const QString listId = Text::Trim(FJob.ListId);
    if (!listId.isEmpty())
        if (const std::string fault = TListHeaders::ListIdProblem(listId.toStdString()); !fault.empty())
            return QStringLiteral("Invalid list name: %1.").arg(QString::fromStdString(fault));
    const QString replyTo = Text::Trim(FJob.ReplyTo);
    if (!replyTo.isEmpty())
        if (const std::string fault = TMailingRun::AddressProblem(AddressPart(replyTo.toStdString())); !fault.empty())
            return QStringLiteral("Invalid reply-to address: %1 (%2).").arg(replyTo, QString::fromStdString(fault));
    auto list = std::make_shared<TListHeaders>(link.toStdString(), address.toStdString(), listId.toStdString(),
                                               replyTo.toStdString(), Text::ToLatin1(FJob.NameField));
    if (!list->Empty())
        FList = std::move(list);

    if (const QString path = Text::Trim(FJob.SuppressionList); !path.isEmpty()) {
        try {
            FSuppressed = std::make_shared<const TSuppressionList>(path);
        } catch (const ESuppressionListError& error) {
            return QString::fromStdString(error.what());
        }
    }

    const QString domain = Text::Trim(FJob.DkimDomain);
    const QString selector = Text::Trim(FJob.DkimSelector);
    const QString keyFile = Text::Trim(FJob.DkimKeyFile);
    if (domain.isEmpty() && selector.isEmpty() && keyFile.isEmpty())
        return {};
    if (domain.isEmpty() || selector.isEmpty() || keyFile.isEmpty())
        return QStringLiteral("DKIM signing needs all three: the domain, the selector and the private key file.");
    // Whoever can change the key signs as the domain.
    if (QString problem = FileTrust::ChangeableByOthers(keyFile, QStringLiteral("The DKIM key file"));
        !problem.isEmpty())
        return problem;
    try {
        FDkim = std::make_shared<const TDkimSigner>(domain.toStdString(), selector.toStdString(),
                                                    QFile::encodeName(keyFile).toStdString());
    } catch (const EDkimError& error) {
        return QString::fromStdString(error.Message());
    }
    return {};
}

QString TMailingCheck::LinkFieldProblem(TTable& recipients) {
    if (!FList)
        return {};
    for (const std::string& field : MessageText::FieldNames(FList->Link()))
        if (!recipients.FindField(Text::UpperAscii(field)))
            return QStringLiteral("The unsubscribe link names the field {%1}, which the recipient table does not "
                                  "have.")
                .arg(QString::fromStdString(field));
    return {};
}

QString TMailingCheck::DkimDnsRecord(const TMailingJob& job) {
    const TDkimSigner signer(Text::Trim(job.DkimDomain).toStdString(), Text::Trim(job.DkimSelector).toStdString(),
                             QFile::encodeName(Text::Trim(job.DkimKeyFile)).toStdString());
    return QString::fromStdString(signer.DnsRecord().ZoneLine());
}
