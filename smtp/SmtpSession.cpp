// The SMTP client after the greeting: HELO, or EHLO with its extensions, STARTTLS (RFC 3207) and the login
// (RFC 4954).
#include "smtp/SmtpClient.h"

#include "framework/core/Text.h"
#include "smtp/SaslOAuth.h"
#include "smtp/SmtpAuth.h"

#include <arpa/inet.h>

namespace {

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// Bytes that arrive before the client asks for the next reply are a reply to nothing: read later, they would
// pass for the server's answer to a command it has not seen yet.
const char* const DataBeforeTls =
    "The server sent data before the secure connection started; the connection was closed for safety.";
const char* const DataAfterLogin =
    "The server sent more than its reply to the login; the connection was closed for safety.";
const char* const DataAfterGreeting =
    "The server sent more than its greeting before it was greeted; the connection was closed for safety.";

} // namespace

std::string TSmtpClient::DefaultSignOn() {
    // RFC 5321 4.1.4: a fully-qualified name, else the address literal of this end of the connection.
    const std::string name = GetLocalHostName();
    if (name.find('.') != std::string::npos)
        return name;
    const std::string address = FSocket->GetLocalAddress();
    if (address.empty())
        return name;
    // An IPv6 literal is tagged (RFC 5321 4.1.3).
    return address.find(':') != std::string::npos ? "[IPv6:" + address + "]" : "[" + address + "]";
}

bool TSmtpClient::HasCapability(const std::string& keyword) const {
    return FCapabilities.Has(keyword);
}

bool TSmtpClient::Encrypted() const {
    return FSocket->TlsActive();
}

bool TSmtpClient::Refuse(const std::string& text, bool serverReply) {
    FSecurityFailure = true;
    if (!serverReply)
        FLastResponse.clear();
    if (FErrorMessage.empty())
        FErrorMessage = text;
    Display(text);
    CloseSocket();
    return false;
}

bool TSmtpClient::Greet() {
    // Read later, such bytes would pass for the reply to EHLO.
    if (Unasked()) {
        Fault(TReplyFault::Astray, {});
        FErrorMessage = DataAfterGreeting;
        Display(FErrorMessage);
        return false;
    }
    const std::string signOn = Text::OneLine(FSignOn.empty() ? DefaultSignOn() : FSignOn);
    const bool needed = FSecurity != TSmtpSecurity::None || !FUserName.empty();
    if (!needed && !FExtended) {
        SendCommand("HELO " + signOn);
        return !CheckResponse({250}, true);
    }
    if (!Ehlo(signOn, needed))
        return false;
    if (FSecurity == TSmtpSecurity::StartTls) {
        if (!HasCapability("STARTTLS"))
            return Refuse("The server does not offer STARTTLS");
        SendCommand("STARTTLS");
        const int code = ReadResponse();
        if (code != 220 || FLastReplyCode == 0) {
            if (FLastReplyCode >= 400 && FLastReplyCode <= 499)
                return Refuse("The server cannot start a secure connection at the moment; try again later, or ask "
                              "its administrator: " + FLastResponse, true);
            if (FLastReplyCode != 0)
                return Refuse("The server refused to start a secure connection: " + FLastResponse, true);
            NoteFailure();
            FSecurityFailure = true;
            CloseSocket();
            return false;
        }
        // RFC 3207 4.2: what the server announced in clear text is forgotten and asked for again.
        FCapabilities.Clear();
        if (!Secure() || !Ehlo(signOn, true))
            return false;
    }
    if (!FUserName.empty() && !Login())
        return false;
    // The server's next reply must answer the next command: nothing may have come after the 235.
    if (!FUserName.empty() && Unasked())
        return Refuse(DataAfterLogin);
    return true;
}

bool TSmtpClient::Ehlo(const std::string& signOn, bool needed) {
    SendCommand("EHLO " + signOn);
    const int code = ReadResponse();
    if (code == 250) {
        FCapabilities.Parse(FReplyLines);
        return true;
    }
    // RFC 5321 3.2: a server of the first generation knows HELO only.
    if ((code == 500 || code == 502) && !needed) {
        SendCommand("HELO " + signOn);
        return !CheckResponse({250}, true);
    }
    if (code == 500 || code == 502)
        return Refuse(
            "The server does not support EHLO, which the secure connection or the login needs: " + FLastResponse, true);
    NoteFailure();
    CloseSocket();
    return false;
}

bool TSmtpClient::Secure() {
    try {
        FSocket->StartTls(FHost, FTrustedCertificate);
    } catch (const ESocketException& error) {
        return Refuse(error.what());
    }
    if (FSocket->WaitTls(FTimeOut)) {
        Display("Secure connection established");
        return true;
    }
    std::string why = FSocket->TlsError();
    // Clear text after the server's go-ahead to STARTTLS: STARTTLS was chosen, only the server did not follow.
    if (FSecurity == TSmtpSecurity::StartTls && FSocket->TlsPlainText())
        why = DataBeforeTls;
    if (FStatusTimeOut)
        why = "The server did not complete the secure connection in time";
    else if (why.empty())
        why = "The secure connection could not be set up";
    return Refuse(why);
}

bool TSmtpClient::Login() {
    const bool encrypted = FSocket->TlsActive();
    if (!encrypted && !FAllowClearPassword)
        return Refuse(std::string("The connection is not encrypted, so the ") +
                      (OnAccessToken ? "access token" : "password") +
                      " was not sent (choose STARTTLS or SSL/TLS, or allow the password over an unencrypted "
                      "connection)");
    const std::vector<std::string> offered = FCapabilities.AuthMechanisms();
    if (offered.empty())
        return Refuse("The server does not offer a login (AUTH)");
    if (OnAccessToken)
        return TokenLogin(offered);
    const SmtpAuth::TMechanism mechanism = SmtpAuth::Choose(offered, encrypted);
    const std::string hidden = "********";
    int code = 0;
    switch (mechanism) {
    case SmtpAuth::TMechanism::None:
        return Refuse("The server offers no login method this program knows: " + Joined(offered));
    case SmtpAuth::TMechanism::Plain:
        SendCommand("AUTH PLAIN " + SmtpAuth::PlainResponse(FUserName, FPassword), "AUTH PLAIN " + hidden);
        code = ReadResponse();
        break;
    case SmtpAuth::TMechanism::Login:
        SendCommand("AUTH LOGIN");
        if ((code = ReadResponse()) != 334)
            break;
        SendCommand(SmtpAuth::Base64(FUserName));
        if ((code = ReadResponse()) != 334)
            break;
        SendCommand(SmtpAuth::Base64(FPassword), hidden);
        code = ReadResponse();
        break;
    case SmtpAuth::TMechanism::CramMd5: {
        SendCommand("AUTH CRAM-MD5");
        if ((code = ReadResponse()) != 334)
            break;
        const std::string response = SmtpAuth::CramMd5Response(FUserName, FPassword, FLastResponse.substr(4));
        const bool cancelled = response == SmtpAuth::Cancel;
        SendCommand(response, cancelled ? response : hidden);
        code = ReadResponse();
        if (cancelled)
            return Refuse("The server's login challenge is not valid, so the login was cancelled: " + FLastResponse,
                          true);
        break;
    }
    }
    if (code == 235)
        return true;
    if (FState == smtpDisconnected && FLastResponse.rfind("554 ", 0) == 0)
        return Refuse("The server closed the connection during the login: " + FLastResponse, true);
    return Refuse("The server refused the user name or password: " + FLastResponse, true);
}

bool TSmtpClient::TokenLogin(const std::vector<std::string>& offered) {
    const SaslOAuth::TMechanism mechanism = SaslOAuth::Choose(offered);
    if (mechanism == SaslOAuth::TMechanism::None)
        return Refuse("The server offers no login with an access token (XOAUTH2 or OAUTHBEARER), only: " +
                      Joined(offered));
    const std::string command = std::string("AUTH ") + SaslOAuth::Name(mechanism) + " ";
    for (;;) {
        std::string token;
        std::string error;
        if (!OnAccessToken(this, token, error))
            return Refuse(error);
        // Getting the token may have waited for the provider while the server closed the connection.
        if (FState == smtpDisconnected)
            return Refuse("The server closed the connection while the access token was fetched");
        SendCommand(command + (mechanism == SaslOAuth::TMechanism::XOAuth2
                                   ? SaslOAuth::XOAuth2Response(FUserName, token)
                                   : SaslOAuth::OAuthBearerResponse(FUserName, FHost, FSocket->PortNumber(), token)),
                    command + "********");
        int code = ReadResponse();
        std::string why;
        if (code == 334) {
            // The refusal comes as a challenge with the reason; the answer to it brings the final reply.
            SaslOAuth::TTokenError tokenError;
            if (SaslOAuth::ReadTokenError(FLastResponse.substr(4), tokenError))
                why = " (" + SaslOAuth::Describe(tokenError) + ")";
            SendCommand(SaslOAuth::ErrorChallengeAnswer(mechanism));
            code = ReadResponse();
        }
        if (code == 235)
            return true;
        if (FState == smtpDisconnected)
            return Refuse("The server closed the connection during the login: " + FLastResponse, true);
        if (code >= 500 && OnTokenRejected && OnTokenRejected(this)) {
            Display("The server rejected the access token; trying a fresh one");
            continue;
        }
        return Refuse("The server refused the access token: " + FLastResponse + why, true);
    }
}
