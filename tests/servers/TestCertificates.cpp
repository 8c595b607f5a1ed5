// Runs openssl req, x509 and ca to make the certificates of the TLS tests.
#include "tests/servers/TestCertificates.h"

#include <QFile>
#include <QProcess>

namespace {

const QString LocalNames = QStringLiteral("DNS:localhost,IP:127.0.0.1");

} // namespace

bool TestCertificates::Write(const QString& name, const QString& text) {
    QFile file(Path(name));
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0;
}

bool TestCertificates::Run(const QStringList& arguments) {
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        FError = QStringLiteral("openssl %1: %2").arg(arguments.join(' '), QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}

// A key and a request, then the CA signs it; "openssl ca" because only it can date a certificate in the past.
bool TestCertificates::Signed(const char* name, const QString& altNames, const QStringList& validity) {
    const QString extensions = QString::fromLatin1(name) + ".ext";
    if (!Write(extensions, QStringLiteral("subjectAltName=%1\nbasicConstraints=CA:FALSE\n").arg(altNames)))
        return false;
    const QString request = Path(QString::fromLatin1(name) + ".csr");
    return Run({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", Key(name), "-out", request, "-subj",
                QStringLiteral("/CN=%1").arg(QString::fromLatin1(name))}) &&
           Run(QStringList{"ca", "-batch", "-config", Path("ca.cnf"), "-in", request, "-out", Certificate(name),
                           "-extfile", Path(extensions), "-notext"} +
               validity);
}

bool TestCertificates::Make() {
    if (!FDir.isValid()) {
        FError = QStringLiteral("no temporary folder");
        return false;
    }
    const bool written =
        Write("ca.cnf",
              QStringLiteral("[ca]\ndefault_ca=test\n"
                             "[test]\ndir=%1\ndatabase=$dir/index.txt\nserial=$dir/serial\nnew_certs_dir=$dir\n"
                             "certificate=$dir/ca.pem\nprivate_key=$dir/ca.key\ndefault_md=sha256\n"
                             "policy=anything\nunique_subject=no\ncopy_extensions=none\n"
                             "[anything]\ncommonName=supplied\n")
                  .arg(FDir.path())) &&
        Write("index.txt", "") && Write("serial", "1000\n");
    return written &&
           Run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", Path("ca.key"), "-out", Ca(), "-days", "30",
                "-subj", "/CN=Quorvel Test CA"}) &&
           Signed(Good, LocalNames, {"-days", "30"}) &&
           Signed(OtherHost, QStringLiteral("DNS:mail.other.example,IP:10.9.9.9"), {"-days", "30"}) &&
           Signed(Expired, LocalNames, {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"}) &&
           Run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", Key(SelfSigned), "-out",
                Certificate(SelfSigned), "-days", "30", "-subj", "/CN=self", "-addext",
                QStringLiteral("subjectAltName=%1").arg(LocalNames)});
}
