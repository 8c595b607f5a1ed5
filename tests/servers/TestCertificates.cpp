// Runs openssl req and ca to make the certificates of the TLS tests.
#include "tests/servers/TestCertificates.h"

#include <QProcess>

namespace {

// In the folder given: a CA, then certificates it signs ("openssl ca", because only it can date a certificate in
// the past), and a self-signed one.
const char* const Script = R"(set -e
cd "$1"
local=DNS:localhost,IP:127.0.0.1
printf '[ca]\ndefault_ca=test\n[test]\ndir=.\ndatabase=index.txt\nserial=serial\nnew_certs_dir=.\n'\
'certificate=ca.pem\nprivate_key=ca.key\ndefault_md=sha256\npolicy=any\nunique_subject=no\ncopy_extensions=none\n'\
'[any]\ncommonName=supplied\n' > ca.cnf
: > index.txt
echo 1000 > serial
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Quorvel Test CA"
signed() {
    name=$1 names=$2 subject=${3:-$1}
    shift 3
    printf 'basicConstraints=CA:FALSE\n' > "$name.ext"
    [ -z "$names" ] || printf 'subjectAltName=%s\n' "$names" >> "$name.ext"
    openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$subject"
    openssl ca -batch -config ca.cnf -in "$name.csr" -out "$name.pem" -extfile "$name.ext" -notext "$@"
}
signed good $local good -days 30
signed other DNS:mail.other.example,IP:10.9.9.9 other -days 30
signed expired $local expired -startdate 20200101000000Z -enddate 20200201000000Z
signed cnonly "" mail.example.org -days 30
signed partial "DNS:m*.example.org" partial -days 30
signed wildcard "DNS:*.example.org" wildcard -days 30
openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 30 -subj /CN=self \
    -addext subjectAltName=$local
)";

} // namespace

bool TestCertificates::Make() {
    QProcess shell;
    shell.setProcessChannelMode(QProcess::MergedChannels);
    shell.start(QStringLiteral("/bin/sh"), {"-c", QString::fromLatin1(Script), "sh", FDir.path()});
    if (FDir.isValid() && shell.waitForFinished(60000) && shell.exitStatus() == QProcess::NormalExit &&
        shell.exitCode() == 0)
        return true;
    FError = QStringLiteral("openssl: %1").arg(QString::fromLocal8Bit(shell.readAll()));
    return false;
}
