// The meaning of each field type letter per table family, and the decoding of the values that depend on it.
#include "table/engine/FieldCodec.h"
#include "table/engine/FieldType.h"

#include <QtTest>

namespace {

// The table family comes from the version byte, as when a table is opened.
std::string Text(char letter, std::string_view bytes, int version) {
    std::string text = "stale";
    FieldCodec::NumberText(FieldTypeOf(letter, FamilyOf(static_cast<std::uint8_t>(version))), bytes, text);
    return text;
}

} // namespace

class TFieldTypeTest : public QObject {
    Q_OBJECT

private slots:
    // Numbers read as text keep every digit they hold; blanks and GIS nulls read as empty; dBase 7 integers
    // are big-endian with the sign bit flipped; a B of Visual FoxPro is a double.
    void numberText_data() {
        QTest::addColumn<char>("letter");
        QTest::addColumn<int>("version");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("16-digit customer number")
            << 'N' << 0x03 << QByteArray("    1234567890123456") << "1234567890123456";
        QTest::newRow("20 digits") << 'N' << 0x03 << QByteArray("12345678901234567890") << "12345678901234567890";
        QTest::newRow("padding zeros go") << 'N' << 0x03 << QByteArray(" -0012.500") << "-12.5";
        QTest::newRow("fraction only") << 'N' << 0x03 << QByteArray("   .50") << "0.5";
        QTest::newRow("negative zero") << 'N' << 0x03 << QByteArray(" -0.00") << "0";
        QTest::newRow("plus sign") << 'F' << 0x03 << QByteArray("   +7") << "7";
        QTest::newRow("exponent") << 'F' << 0x03 << QByteArray("  1.5E3") << "1500";
        QTest::newRow("blank") << 'N' << 0x03 << QByteArray("     ") << "";
        QTest::newRow("GDAL null") << 'N' << 0x03 << QByteArray("**********") << "";
        QTest::newRow("not a number") << 'N' << 0x03 << QByteArray(" 12,5") << "12,5";
        QTest::newRow("integer") << 'I' << 0x30 << QByteArray("\xFE\xFF\xFF\xFF", 4) << "-2";
        QTest::newRow("currency keeps its decimals")
            << 'Y' << 0x30 << QByteArray("\x11\xFE\x5E\x32\xAE\x37\xF0\x6B", 8) << "777777777777777.0001";
        QTest::newRow("negative currency")
            << 'Y' << 0x30 << QByteArray("\xCE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8) << "-0.005";
        QTest::newRow("double") << 'B' << 0x30 << QByteArray("\0\0\0\0\0\0\xF8\x3F", 8) << "1.5";
        QTest::newRow("dBase 7 integer") << 'I' << 0x8C << QByteArray("\x80\x00\x00\x05", 4) << "5";
        QTest::newRow("dBase 7 negative") << 'I' << 0x8C << QByteArray("\x7F\xFF\xFF\xFF", 4) << "-1";
    }

    void numberText() {
        QFETCH(char, letter);
        QFETCH(int, version);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(Text(letter, bytes.toStdString(), version)), text);
    }

    // Text loses trailing blanks and NULs, eight bytes at a time; what lies inside stays.
    void trimRight_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("blanks only") << QByteArray(17, ' ') << QByteArray();
        QTest::newRow("last byte kept") << QByteArray("abcdefghijklmnop") << QByteArray("abcdefghijklmnop");
        QTest::newRow("word boundary") << QByteArray("abcdefgh        ") << QByteArray("abcdefgh");
        QTest::newRow("NUL padding") << QByteArray("name\0\0 \0\0\0\0\0\0\0", 14) << QByteArray("name");
        QTest::newRow("blank and NUL inside") << QByteArray("a \0b\0 c       ", 14) << QByteArray("a \0b\0 c", 7);
        QTest::newRow("high bytes") << QByteArray("\xE4\xF6\xFC\x80\xFF       ") << QByteArray("\xE4\xF6\xFC\x80\xFF");
    }

    void trimRight() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, text);
        const std::string_view trimmed = FieldCodec::TrimRight(std::string_view(bytes.constData(), bytes.size()));
        QCOMPARE(QByteArray(trimmed.data(), static_cast<int>(trimmed.size())), text);
    }

    void dates() {
        QVERIFY(FieldCodec::NullDate("00000000"));
        QVERIFY(FieldCodec::NullDate("        "));
        QVERIFY(!FieldCodec::NullDate("20240229"));
        QVERIFY(!FieldCodec::Date(TFieldForm::Date, "00000000"));
        QVERIFY(!FieldCodec::Date(TFieldForm::Date, "20230229"));
        QCOMPARE(FieldCodec::Date(TFieldForm::Date, "20240229")->Day, 29);
        QVERIFY(!FieldCodec::Date(TFieldForm::DateTime, std::string(8, '\0'))); // an empty datetime
    }
};

QTEST_GUILESS_MAIN(TFieldTypeTest)
#include "tst_fieldtype.moc"
