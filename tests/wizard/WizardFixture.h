// Shared set-up of the wizard tests: settings in a temporary folder, a shown window, its controls by name.
#pragma once

#include "wizard/MailWizard.h"
#include "framework/core/Application.h"
#include "tests/wizard/PreflightAnswer.h"
#include "tests/framework/ModalAnswer.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// Points every settings store of the process to a temporary folder: tests never touch the user's settings.
inline void UseTemporarySettings(const QTemporaryDir& dir) {
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    Application::SetTitle(QStringLiteral("Quorvel Mailer 1.2"));
}

// The wizard's store, read and written independently of the window.
inline QSettings RawSettings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvel Software Systems"),
                     QStringLiteral("QuorvelMailer"));
}

// A shown and active wizard window. Its pre-flight summaries are answered with Continue (see Preflight()).
inline std::unique_ptr<TMailWizardForm> ShowWizard() {
    auto form = std::make_unique<TMailWizardForm>();
    AnswerPreflight(*form);
    form->show();
    QApplication::setActiveWindow(form.get());
    if (!QTest::qWaitForWindowActive(form.get()))
        qWarning("wizard window did not become active");
    return form;
}

// The answerer of the form's pre-flight summaries.
inline TPreflightAnswerer* Preflight(QWidget& form) {
    // Without a meta-object of its own the answerer is found by its name.
    return static_cast<TPreflightAnswerer*>(
        form.findChild<QObject*>(QStringLiteral("PreflightAnswerer"), Qt::FindDirectChildrenOnly));
}

template <typename T> T* Find(QWidget& form, const char* name) {
    T* control = form.findChild<T*>(QString::fromLatin1(name));
    if (!control)
        qFatal("no control named %s", name);
    return control;
}

// Types a table path into page 4 as the user would: the edit is marked modified, so leaving it takes the path.
inline QLineEdit* SetTable(QWidget& form, const QString& path) {
    QLineEdit* table = Find<QLineEdit>(form, "edtTable");
    table->setText(path);
    table->setModified(true);
    return table;
}

// A shown wizard with every setting valid for a run of the table's NAME and EMAIL fields against the server,
// its log in logFolder; Next is clicked nexts times (3 reach page 4).
inline std::unique_ptr<TMailWizardForm> FilledWizard(const QString& logFolder, const QString& table,
                                                     const QString& server, int nexts = 3) {
    auto form = ShowWizard();
    form->LogFolder = logFolder;
    Find<QLineEdit>(*form, "edtSubject")->setText("Autumn news");
    Find<QPlainTextEdit>(*form, "memMessage")->setPlainText("Dear %N,\n\nnews.");
    Find<QLineEdit>(*form, "edtSMTPServer")->setText(server);
    Find<QLineEdit>(*form, "edtName")->setText("Anna Berg");
    Find<QLineEdit>(*form, "edtReturnAddress")->setText("anna@example.org");
    SetTable(*form, table);
    Find<QComboBox>(*form, "cmbName")->setEditText("NAME");
    Find<QComboBox>(*form, "cmbEmail")->setEditText("EMAIL");
    for (int i = 0; i < nexts; ++i)
        Find<QPushButton>(*form, "btnNext")->click();
    return form;
}

// Next on page 4: the text of the check's warning box, empty when the check passed.
inline QString CheckWarning(QWidget& form) {
    auto seen = AnswerNextBox("OK");
    Find<QPushButton>(form, "btnNext")->click();
    return seen->Shown ? seen->Text : QString();
}

// Limits the scope to the records from and to.
inline void SetScope(QWidget& form, const QString& from, const QString& to) {
    Find<QCheckBox>(form, "chbLimit")->setChecked(true);
    Find<QLineEdit>(form, "edtScopeFrom")->setText(from);
    Find<QLineEdit>(form, "edtScopeTo")->setText(to);
}

// Runs a Python snippet with the system interpreter (python3-dbf and python3-dbfread); its standard output.
inline QByteArray RunPython(const QString& script, const QStringList& args = {}) {
    QProcess python;
    python.start(qEnvironmentVariable("PYTHON", "/usr/bin/python3"), QStringList{"-c", script} + args);
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        qWarning("python failed: %s", python.readAllStandardError().constData());
    return python.readAllStandardOutput();
}

// Writes a dBase III table with an independent writer; the rows listed in deleted carry the deletion mark.
inline void MakeTable(const QString& path, const QString& fields, const QList<QStringList>& rows,
                      const QList<int>& deleted = {}, const QString& codePage = QStringLiteral("cp1252")) {
    QJsonArray jsonRows;
    for (const QStringList& row : rows)
        jsonRows.append(QJsonArray::fromStringList(row));
    QJsonArray jsonDeleted;
    for (int index : deleted)
        jsonDeleted.append(index);
    RunPython(QStringLiteral("import dbf, json, sys\n"
                             "t = dbf.Table(sys.argv[1], sys.argv[2], codepage=sys.argv[5], dbf_type='db3')\n"
                             "t.open(mode=dbf.READ_WRITE)\n"
                             "for row in json.loads(sys.argv[3]): t.append(tuple(row))\n"
                             "for i in json.loads(sys.argv[4]): dbf.delete(t[i])\n"
                             "t.close()\n"),
              {path, fields, QString::fromUtf8(QJsonDocument(jsonRows).toJson(QJsonDocument::Compact)),
               QString::fromUtf8(QJsonDocument(jsonDeleted).toJson(QJsonDocument::Compact)), codePage});
}

// Rows for MakeTable written as one string each, fields separated by '|'.
inline QList<QStringList> Rows(const QStringList& lines) {
    QList<QStringList> rows;
    for (const QString& line : lines)
        rows << line.split('|');
    return rows;
}

// The rows of a table as an independent reader sees them: one line per record, fields joined by '|'.
inline QStringList ReadTable(const QString& path) {
    const QByteArray out = RunPython(QStringLiteral("import dbfread, sys\n"
                                                    "t = dbfread.DBF(sys.argv[1], encoding='latin-1')\n"
                                                    "print(';'.join('%s:%s:%d' % (f.name, f.type, f.length) "
                                                    "for f in t.fields))\n"
                                                    "for r in t: print('|'.join(str(v) for v in r.values()))\n"),
                                     {path});
    return QString::fromLatin1(out).split('\n', Qt::SkipEmptyParts);
}
