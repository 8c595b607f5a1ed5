// Where an SMTP login gets its access token: the stored OAuth sign-in or the user's token command.
#pragma once

#include <QByteArray>

class TAccessTokenSource {
public:
    virtual ~TAccessTokenSource() = default;

    // A token to log in with now; throws EOAuthError when none can be had. Call it before each new connection.
    QByteArray AccessToken();
    // The server refused the token it was given: true when the next AccessToken() brings a fresh one worth one more
    // try; false when the refused token was itself fetched after a refusal (then its age is not the fault, and the
    // caller gives up).
    bool Rejected();
    // The last AccessToken() failed in a way only a new sign-in mends (the provider refused the stored sign-in).
    bool SignInRefused() const { return FSignInRefused; }

protected:
    // The token; fresh is true when the last one was refused and must not be handed out again.
    virtual QByteArray Take(bool fresh) = 0;

private:
    bool FRefusedOne = false;        // the last token handed out was refused
    bool FTakenAfterRefusal = false; // the last token handed out was fetched because of a refusal
    bool FSignInRefused = false;
};
