// Certificates for the TLS tests, made with the openssl command in a temporary folder: a CA and server
// certificates signed by it (valid, for another host, expired, with the name only in the subject, with a partial
// and a whole-label wildcard), and a self-signed one.
#pragma once

#include <QString>
#include <QTemporaryDir>

class TestCertificates {
public:
    // Makes them all; false with ErrorText() when openssl failed.
    bool Make();
    QString ErrorText() const { return FError; }

    // The CA's certificate, to be trusted by the client.
    QString Ca() const { return Path("ca.pem"); }
    // Each server certificate's PEM file; its key is Key(name).
    static constexpr const char* Good = "good";       // localhost and 127.0.0.1, signed by the CA
    static constexpr const char* OtherHost = "other"; // mail.other.example and 10.9.9.9, signed by the CA
    static constexpr const char* Expired = "expired"; // localhost and 127.0.0.1, valid in 2020 only
    static constexpr const char* SelfSigned = "self"; // localhost and 127.0.0.1, signed by itself
    static constexpr const char* CnOnly = "cnonly";     // subject CN mail.example.org, no alternative names
    static constexpr const char* Partial = "partial";   // m*.example.org, signed by the CA
    static constexpr const char* Wildcard = "wildcard"; // *.example.org, signed by the CA
    QString Certificate(const char* name) const { return Path(QString::fromLatin1(name) + ".pem"); }
    QString Key(const char* name) const { return Path(QString::fromLatin1(name) + ".key"); }

private:
    QString Path(const QString& name) const { return FDir.filePath(name); }

    QTemporaryDir FDir;
    QString FError;
};
