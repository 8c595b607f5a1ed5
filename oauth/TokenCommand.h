// Access tokens from the user's own command: its first output line is the token, for people who get their tokens
// from another tool.
#pragma once

#include "oauth/AccessTokenSource.h"

#include <QString>

class TTokenCommand : public TAccessTokenSource {
public:
    // command runs through /bin/sh -c, as the user typed it.
    explicit TTokenCommand(QString command, int timeoutMs = 30000);

    // Runs the command once and returns its token; throws EOAuthError with a sentence for the user.
    QByteArray Run() const;

protected:
    // Runs the command for every connection: the tool keeps its own cache and knows when a token expires.
    QByteArray Take(bool) override { return Run(); }

private:
    QString FCommand;
    int FTimeoutMs;
};
