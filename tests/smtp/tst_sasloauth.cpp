// The OAuth SASL strings against the published examples: RFC 7628 4.1 and 3.2.2, and the XOAUTH2 example of
// its author's documentation.
#include "smtp/SaslOAuth.h"

#include <QTest>

class tst_sasloauth : public QObject {
    Q_OBJECT

private slots:
    void responses();
    void tokenError();
    void choice();
};

void tst_sasloauth::responses() {
    QCOMPARE(SaslOAuth::OAuthBearerResponse("user@example.com", "server.example.com", 143,
                                            "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
             std::string("bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVhcmVyIH"
                         "ZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB"));
    QCOMPARE(SaslOAuth::XOAuth2Response("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
             std::string("dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSF"
                         "JoZG1semRHRXVZMjl0Q2cBAQ=="));
    // A "," or "=" in the address would end the GS2 header early (RFC 5801 4).
    QCOMPARE(QByteArray::fromBase64(QByteArray::fromStdString(SaslOAuth::OAuthBearerResponse("a,b=c@x", "h", 25, "t"))),
             QByteArray("n,a=a=2Cb=3Dc@x,\x01host=h\x01port=25\x01"
                        "auth=Bearer t\x01\x01"));
}

void tst_sasloauth::tokenError() {
    SaslOAuth::TTokenError error;
    QVERIFY(SaslOAuth::ReadTokenError("eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJleGFtcGxlX3Njb3BlIiwib3BlbmlkLWN"
                                      "vbmZpZ3VyYXRpb24iOiJodHRwczovL2V4YW1wbGUuY29tLy53ZWxsLWtub3duL29wZW5pZC1jb25m"
                                      "aWd1cmF0aW9uIn0=",
                                      error));
    QCOMPARE(SaslOAuth::Describe(error), std::string("status invalid_token, scope example_scope"));
    // XOAUTH2's form: {"status":"401","schemes":"bearer","scope":"https://mail.google.com/"}
    QVERIFY(
        SaslOAuth::ReadTokenError("eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2"
                                  "xlLmNvbS8ifQ==",
                                  error));
    QCOMPARE(error.Status, std::string("401"));
    QCOMPARE(error.Schemes, std::string("bearer"));
    QVERIFY(!SaslOAuth::ReadTokenError("bm90IGpzb24=", error)); // "not json"
    QVERIFY(!SaslOAuth::ReadTokenError("Go ahead", error));
    QCOMPARE(SaslOAuth::ErrorChallengeAnswer(SaslOAuth::TMechanism::XOAuth2), std::string());
    QCOMPARE(SaslOAuth::ErrorChallengeAnswer(SaslOAuth::TMechanism::OAuthBearer), std::string("AQ=="));
}

void tst_sasloauth::choice() {
    using SaslOAuth::TMechanism;
    QCOMPARE(SaslOAuth::Choose({"PLAIN", "XOAUTH2", "OAUTHBEARER"}), TMechanism::OAuthBearer);
    QCOMPARE(SaslOAuth::Choose({"LOGIN", "XOAUTH2"}), TMechanism::XOAuth2);
    QCOMPARE(SaslOAuth::Choose({"PLAIN", "LOGIN"}), TMechanism::None);
}

QTEST_MAIN(tst_sasloauth)
#include "tst_sasloauth.moc"
