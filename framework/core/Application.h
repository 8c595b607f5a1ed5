// The application object's few duties: its title, its version and processing pending messages.
#pragma once

#include <QString>

namespace Application {

// The application title, separate from any window caption (Qt would append a display name to every title).
QString Title();
void SetTitle(const QString& title);

// The program's version ("1.2"), the project's version as the build configured it.
QString Version();

// Dispatches every pending event without blocking; the run and the client call it between steps.
void ProcessMessages();

} // namespace Application
