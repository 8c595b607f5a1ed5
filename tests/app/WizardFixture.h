// Shared set-up of the wizard tests: settings in a temporary folder, a shown window, its controls by name.
#pragma once

#include "app/MailWizard.h"
#include "framework/Application.h"

#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// Points every settings store of the process to a temporary folder: tests never touch the user's settings.
inline void UseTemporarySettings(const QTemporaryDir& dir)
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    Application::SetTitle(QStringLiteral("Quorvel Mailer 1.2"));
}

// The wizard's store, read and written independently of the window.
inline QSettings RawSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvel Software Systems"),
                     QStringLiteral("QuorvelMailer"));
}

// A shown and active wizard window.
inline std::unique_ptr<TMailWizardForm> ShowWizard()
{
    auto form = std::make_unique<TMailWizardForm>();
    form->show();
    QApplication::setActiveWindow(form.get());
    if (!QTest::qWaitForWindowActive(form.get()))
        qWarning("wizard window did not become active");
    return form;
}

template <typename T> T* Find(QWidget& form, const char* name)
{
    T* control = form.findChild<T*>(QString::fromLatin1(name));
    if (!control)
        qFatal("no control named %s", name);
    return control;
}
