// The meaning of each field type letter per table family, and the decoding of the values that depend on it.
#include "table/engine/FieldCodec.h"
#include "table/engine/FieldType.h"

#include <QtTest>

Q_DECLARE_METATYPE(TFieldForm)
Q_DECLARE_METATYPE(TTableFamily)

namespace {

std::string Text(char letter, std::string_view bytes, TTableFamily family = TTableFamily::DBase) {
    std::string text = "stale";
    FieldCodec::NumberText(FieldTypeOf(letter, family), bytes, text);
    return text;
}

} // namespace

class TFieldTypeTest : public QObject {
    Q_OBJECT

private slots:
    void letters_data() {
        QTest::addColumn<char>("letter");
        QTest::addColumn<TTableFamily>("family");
        QTest::addColumn<TFieldForm>("form");
        QTest::addColumn<int>("width");
        QTest::addColumn<char>("blank");
        QTest::addColumn<bool>("creatable");
        const auto dBase = TTableFamily::DBase;
        const auto vfp = TTableFamily::VisualFoxPro;
        QTest::newRow("C") << 'C' << dBase << TFieldForm::Text << 20 << ' ' << true;
        QTest::newRow("V") << 'V' << vfp << TFieldForm::Text << 10 << ' ' << false;
        QTest::newRow("N") << 'N' << dBase << TFieldForm::Number << 10 << ' ' << true;
        QTest::newRow("F") << 'F' << dBase << TFieldForm::Number << 10 << ' ' << true;
        QTest::newRow("D") << 'D' << dBase << TFieldForm::Date << 8 << ' ' << true;
        QTest::newRow("L") << 'L' << dBase << TFieldForm::Logical << 1 << ' ' << true;
        QTest::newRow("M of dBase, digits") << 'M' << dBase << TFieldForm::Memo << 10 << ' ' << true;
        QTest::newRow("M of Visual FoxPro, binary") << 'M' << vfp << TFieldForm::Memo << 4 << '\0' << true;
        QTest::newRow("I") << 'I' << vfp << TFieldForm::Integer << 4 << '\0' << false;
        QTest::newRow("Y") << 'Y' << vfp << TFieldForm::Currency << 8 << '\0' << false;
        QTest::newRow("B of Visual FoxPro, double") << 'B' << vfp << TFieldForm::Double << 8 << '\0' << false;
        QTest::newRow("B of dBase, memo") << 'B' << dBase << TFieldForm::Memo << 10 << ' ' << false;
        QTest::newRow("O") << 'O' << TTableFamily::DBase7 << TFieldForm::Double << 8 << '\0' << false;
        QTest::newRow("T") << 'T' << vfp << TFieldForm::DateTime << 8 << '\0' << false;
        QTest::newRow("G") << 'G' << vfp << TFieldForm::Memo << 4 << '\0' << false;
        QTest::newRow("Q") << 'Q' << vfp << TFieldForm::Bytes << 10 << '\0' << false;
        QTest::newRow("0") << '0' << vfp << TFieldForm::NullFlags << 1 << '\0' << false;
        QTest::newRow("unknown letter") << 'X' << dBase << TFieldForm::Bytes << 5 << ' ' << false;
    }

    void letters() {
        QFETCH(char, letter);
        QFETCH(TTableFamily, family);
        QFETCH(TFieldForm, form);
        QFETCH(int, width);
        QFETCH(char, blank);
        QFETCH(bool, creatable);
        const TFieldType type = FieldTypeOf(letter, family);
        QCOMPARE(type.Form, form);
        QCOMPARE(BlankByteOf(type, width), blank);
        QCOMPARE(type.Creatable, creatable);
    }

    void families() {
        QCOMPARE(FamilyOf(0x03), TTableFamily::DBase);
        QCOMPARE(FamilyOf(0xF5), TTableFamily::DBase);
        QCOMPARE(FamilyOf(0x30), TTableFamily::VisualFoxPro);
        QCOMPARE(FamilyOf(0x32), TTableFamily::VisualFoxPro);
        QCOMPARE(FamilyOf(0x8C), TTableFamily::DBase7);
        QVERIFY(FieldTypeOf('I', TTableFamily::DBase7).BigEndian);
        QVERIFY(!FieldTypeOf('I', TTableFamily::VisualFoxPro).BigEndian);
    }

    // Numbers read as text keep every digit they hold; blanks and GIS nulls read as empty.
    void numberText_data() {
        QTest::addColumn<char>("letter");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("16-digit customer number") << 'N' << QByteArray("    1234567890123456") << "1234567890123456";
        QTest::newRow("20 digits") << 'N' << QByteArray("12345678901234567890") << "12345678901234567890";
        QTest::newRow("padding zeros go") << 'N' << QByteArray(" -0012.500") << "-12.5";
        QTest::newRow("fraction only") << 'N' << QByteArray("   .50") << "0.5";
        QTest::newRow("negative zero") << 'N' << QByteArray(" -0.00") << "0";
        QTest::newRow("plus sign") << 'F' << QByteArray("   +7") << "7";
        QTest::newRow("exponent") << 'F' << QByteArray("  1.5E3") << "1500";
        QTest::newRow("blank") << 'N' << QByteArray("     ") << "";
        QTest::newRow("GDAL null") << 'N' << QByteArray("**********") << "";
        QTest::newRow("not a number") << 'N' << QByteArray(" 12,5") << "12,5";
        QTest::newRow("integer") << 'I' << QByteArray("\xFE\xFF\xFF\xFF", 4) << "-2";
        QTest::newRow("currency keeps its decimals")
            << 'Y' << QByteArray("\x11\xFE\x5E\x32\xAE\x37\xF0\x6B", 8) << "777777777777777.0001";
        QTest::newRow("negative currency") << 'Y' << QByteArray("\xCE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8) << "-0.005";
    }

    void numberText() {
        QFETCH(char, letter);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(Text(letter, bytes.toStdString(), TTableFamily::VisualFoxPro)), text);
    }

    void bigEndianIntegersOfDBase7() {
        QCOMPARE(Text('I', std::string("\x80\x00\x00\x05", 4), TTableFamily::DBase7), std::string("5"));
        QCOMPARE(Text('I', std::string("\x7F\xFF\xFF\xFF", 4), TTableFamily::DBase7), std::string("-1"));
    }

    // Text loses trailing blanks and NULs, eight bytes at a time; what lies inside stays.
    void trimRight_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("blanks only") << QByteArray(17, ' ') << QByteArray();
        QTest::newRow("short") << QByteArray("ab  ") << QByteArray("ab");
        QTest::newRow("last byte kept") << QByteArray("abcdefghijklmnop") << QByteArray("abcdefghijklmnop");
        QTest::newRow("word boundary") << QByteArray("abcdefgh        ") << QByteArray("abcdefgh");
        QTest::newRow("inside a word") << QByteArray("Recipient Number 123456       ")
                                       << QByteArray("Recipient Number 123456");
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
