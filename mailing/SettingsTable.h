// The settings of a mailing declared once: each row names its section, its ident, its default and the part of
// the job it fills, and loading and saving both walk the same rows.
#pragma once

#include "mailing/MailingJob.h"

class TSettingsStore;

namespace SettingsTable {

// The store's key under the user's profile, the same for the window and quorvel-send.
extern const char* const Key;

// A job holding every default.
TMailingJob Defaults();
// Reads every stored setting; a missing or unreadable value gives its default. The password is never read.
TMailingJob Load(const TSettingsStore& store);
// Writes every setting of the job; the password and the run's choice of records are never written.
void Save(TSettingsStore& store, const TMailingJob& job);

} // namespace SettingsTable
