// Messages as a mail reader sees them: parsed by Python's email package (policy=default), not by our code.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

struct TParsedMail {
    QString FromName;
    QString FromAddress;
    QString ToName;
    QString ToAddress;
    QString Subject;
    QString Organization;
    QString Body; // decoded, line ends as LF
    QString MessageId;
    QString Charset;
    QString TransferEncoding;
    int LongestLine = 0; // in bytes, CR LF not counted, over the whole message
    QString Defects;     // what the parser found wrong, empty when nothing
};

// Parses each message (bytes as a recipient gets them) in one run of the system's Python.
QList<TParsedMail> ParseMails(const QList<QByteArray>& messages);
