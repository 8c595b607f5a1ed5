// Runs Python's email package over messages and reads back what it decoded.
#include "tests/servers/ParsedMail.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const char* const Parse = R"(
import email, email.policy, json, sys
out = []
for path in sys.argv[1:]:
    raw = open(path, 'rb').read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    defects = [repr(d) for d in msg.defects]
    def mailbox(name):
        header = msg[name]
        if header is None:
            return '', ''
        defects.extend(repr(d) for d in header.defects)
        box = header.addresses[0]
        return box.display_name, box.addr_spec
    from_name, from_addr = mailbox('From')
    to_name, to_addr = mailbox('To')
    date = msg['Date']
    out.append({
        'from_name': from_name, 'from_addr': from_addr, 'to_name': to_name, 'to_addr': to_addr,
        'subject': str(msg['Subject'] or ''), 'organization': str(msg['Organization'] or ''),
        'body': msg.get_content().replace('\r\n', '\n'),
        'date_ok': date is not None and date.datetime is not None,
        'message_id': str(msg['Message-ID'] or ''), 'charset': msg.get_content_charset() or '',
        'cte': str(msg['Content-Transfer-Encoding'] or ''), 'has_cc': msg['Cc'] is not None,
        'longest': max(len(line) for line in raw.split(b'\r\n')), 'defects': ' '.join(defects)})
print(json.dumps(out))
)";

} // namespace

QList<TParsedMail> ParseMails(const QList<QByteArray>& messages) {
    QTemporaryDir dir;
    QStringList args{"-c", QString::fromLatin1(Parse)};
    for (int i = 0; i < messages.size(); ++i) {
        QFile file(dir.filePath(QString::number(i) + ".eml"));
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(messages[i]);
        args << file.fileName();
    }
    QProcess python;
    python.start(qEnvironmentVariable("PYTHON", "/usr/bin/python3"), args);
    if (!python.waitForFinished(60000) || python.exitCode() != 0) {
        qWarning("email parser failed: %s", python.readAllStandardError().constData());
        return {};
    }
    QList<TParsedMail> parsed;
    for (const QJsonValue& value : QJsonDocument::fromJson(python.readAllStandardOutput()).array()) {
        const QJsonObject o = value.toObject();
        TParsedMail mail;
        mail.FromName = o["from_name"].toString();
        mail.FromAddress = o["from_addr"].toString();
        mail.ToName = o["to_name"].toString();
        mail.ToAddress = o["to_addr"].toString();
        mail.Subject = o["subject"].toString();
        mail.Organization = o["organization"].toString();
        mail.Body = o["body"].toString();
        mail.DateParses = o["date_ok"].toBool();
        mail.MessageId = o["message_id"].toString();
        mail.Charset = o["charset"].toString();
        mail.TransferEncoding = o["cte"].toString();
        mail.HasCc = o["has_cc"].toBool();
        mail.LongestLine = o["longest"].toInt();
        mail.Defects = o["defects"].toString();
        parsed << mail;
    }
    return parsed;
}
