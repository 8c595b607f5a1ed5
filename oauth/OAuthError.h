// The one exception class of the OAuth layer: a sentence for the user, and whether only a new sign-in helps.
#pragma once

#include <QString>

#include <stdexcept>

class EOAuthError : public std::runtime_error {
public:
    enum class TKind {
        Failed,      // the endpoint, the network or the setup failed; a later try may work
        SignInAgain, // the stored sign-in is gone or refused: nothing helps until the user signs in again
    };

    EOAuthError(TKind kind, const QString& message) : std::runtime_error(message.toStdString()), FKind(kind) {}

    TKind Kind() const { return FKind; }
    bool SignInAgain() const { return FKind == TKind::SignInAgain; }
    QString Message() const { return QString::fromUtf8(what()); }

private:
    TKind FKind;
};
