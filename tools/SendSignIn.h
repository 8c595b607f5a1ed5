// The sign-in of quorvel-send for runs without a keyring.
#pragma once

#include "mailing/MailingJob.h"

#include <QString>

// Signs in through the browser at the provider of job's OAuth login (its client secret, when not given, from the
// keyring) and keeps the refresh token in path, readable by its owner only. The exit code of quorvel-send: 0 signed in,
// 2 the settings do not allow it, 4 refused.
int SendSignIn(TMailingJob job, const QString& path);
