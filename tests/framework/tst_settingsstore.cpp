// The settings store: the stored text of each kind, integer parsing, defaults, and where the values live.
#include "framework/core/SettingsStore.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestSettingsStore : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    const QString FKey = QStringLiteral("Software\\Quorvel Software Systems\\QuorvelMailer");

    // The same values as an independent reader sees them.
    QSettings Raw() const {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvel Software Systems"),
                         QStringLiteral("QuorvelMailer"));
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(FDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, FDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, FDir.path());
    }

    void init() { Raw().clear(); }

    void keyPathNamesOrganisationAndApplication() {
        TSettingsStore store(FKey);
        QCOMPARE(store.Location(), FDir.path() + QStringLiteral("/Quorvel Software Systems/QuorvelMailer.conf"));
    }

    void everyValueIsStoredAsText() {
        {
            TSettingsStore store(FKey);
            store.WriteInteger("Settings", "Timeout", 35);
            store.WriteBool("Settings", "Limit Scope", true);
            store.WriteBool("Settings", "Clear Error Log", false);
            store.WriteString("Message", "Text", "line one\r\n\r\nline three, with a comma");
            QVERIFY(store.Flush());
        }
        QSettings raw = Raw();
        QCOMPARE(raw.value("Settings/Timeout").typeId(), QMetaType::QString);
        QCOMPARE(raw.value("Settings/Timeout").toString(), QStringLiteral("35"));
        QCOMPARE(raw.value("Settings/Limit Scope").toString(), QStringLiteral("1"));
        QCOMPARE(raw.value("Settings/Clear Error Log").toString(), QStringLiteral("0"));

        TSettingsStore again(FKey);
        QCOMPARE(again.ReadString("Message", "Text", "x"), QStringLiteral("line one\r\n\r\nline three, with a comma"));
        QCOMPARE(again.ReadInteger("Settings", "Timeout", 20), 35);
        QVERIFY(again.ReadBool("Settings", "Limit Scope", false));
        QVERIFY(!again.ReadBool("Settings", "Clear Error Log", true));
    }

    void missingValuesTakeTheDefault() {
        TSettingsStore store(FKey);
        QCOMPARE(store.ReadString("Nowhere", "Nothing", "fallback"), QStringLiteral("fallback"));
        QCOMPARE(store.ReadInteger("Settings", "Timeout", 20), 20);
        QVERIFY(store.ReadBool("Settings", "Limit Scope", true));
        QVERIFY(!store.ReadBool("Settings", "Limit Scope", false));
    }

    void unreadableNumbersTakeTheDefault() {
        {
            QSettings raw = Raw();
            raw.setValue("Settings/Timeout", "twenty");
            raw.setValue("Settings/Limit Scope", "yes");
        }
        TSettingsStore store(FKey);
        QCOMPARE(store.ReadInteger("Settings", "Timeout", 20), 20);
        QVERIFY(store.ReadBool("Settings", "Limit Scope", true));
        QVERIFY(!store.ReadBool("Settings", "Limit Scope", false));
    }

    void integerText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<int>("value");
        QTest::newRow("decimal") << "42" << true << 42;
        QTest::newRow("negative") << "-7" << true << -7;
        QTest::newRow("hex lower") << "0x1f" << true << 31;
        QTest::newRow("hex upper prefix") << "0X10" << true << 16;
        QTest::newRow("blanks around") << " 12 " << true << 12;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("prefix only") << "0x" << false << 0;
        QTest::newRow("trailing letters") << "12a" << false << 0;
        QTest::newRow("bad hex digit") << "0xZZ" << false << 0;
        QTest::newRow("double sign") << "--3" << false << 0;
        QTest::newRow("beyond int") << "99999999999" << false << 0;
    }

    void integerText() {
        QFETCH(QString, text);
        QFETCH(bool, readable);
        QFETCH(int, value);
        int parsed = 0;
        QCOMPARE(TSettingsStore::ParseInteger(text, parsed), readable);
        if (readable)
            QCOMPARE(parsed, value);
    }
};

QTEST_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
