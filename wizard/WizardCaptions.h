// The button captions and roles that carry the wizard's state, shared by the page flow and the run.
#pragma once

#include <QString>

namespace WizardCaptions {

inline const QString Next = QStringLiteral("&Next >");
inline const QString Stop = QStringLiteral("&Stop");
inline const QString Close = QStringLiteral("&Close");

// The dynamic property that makes a button answer Escape; the run takes it from Close after its first run.
inline constexpr const char* CancelRole = "cancel";

} // namespace WizardCaptions
