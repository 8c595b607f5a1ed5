// Runs Python's email package over messages and reads back what it decoded.
#include "tests/servers/ParsedMail.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// One list per message, in the order of TParsedMail's fields.
const char* const Parse = R"(
import email, email.policy, json, sys
out = []
for path in sys.argv[1:]:
    raw = open(path, 'rb').read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    defects = [repr(d) for d in msg.defects]
    def mailbox(name):
        if msg[name] is None:
            return ['', '']
        defects.extend(repr(d) for d in msg[name].defects)
        return [msg[name].addresses[0].display_name, msg[name].addresses[0].addr_spec]
    text = lambda name: str(msg[name] or '')
    out.append(mailbox('From') + mailbox('To') + [text('Subject'), text('Organization'),
               msg.get_content().replace('\r\n', '\n'), text('Message-ID'), msg.get_content_charset() or '',
               text('Content-Transfer-Encoding'), max(len(line) for line in raw.split(b'\r\n')), ' '.join(defects)])
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
        const QJsonArray f = value.toArray();
        parsed << TParsedMail{f[0].toString(), f[1].toString(), f[2].toString(), f[3].toString(),
                              f[4].toString(), f[5].toString(), f[6].toString(), f[7].toString(),
                              f[8].toString(), f[9].toString(), f[10].toInt(),   f[11].toString()};
    }
    return parsed;
}
