// The decoding of field values whose meaning depends on the type letter and the table family.
#include "table/engine/FieldCodec.h"
#include "table/engine/FieldType.h"

#include <QtTest>

using namespace std::literals;

class TFieldTypeTest : public QObject {
    Q_OBJECT

private slots:
    // Numbers read as text keep every digit they hold; GIS nulls read as empty; dBase 7 integers are big-endian
    // with the sign bit flipped; a B of Visual FoxPro is a double.
    void numberText() {
        const struct {
            char Letter;
            std::uint8_t Version; // the family comes from it, as when a table is opened
            std::string_view Bytes;
        } fields[] = {{'N', 0x03, "    1234567890123456"},
                      {'N', 0x03, " -0012.500"},
                      {'N', 0x03, "   .50"},
                      {'N', 0x03, " -0.00"},
                      {'F', 0x03, "  1.5E3"},
                      {'N', 0x03, "**********"},
                      {'N', 0x03, " 12,5"},
                      {'I', 0x30, "\xFE\xFF\xFF\xFF"sv},
                      {'Y', 0x30, "\x11\xFE\x5E\x32\xAE\x37\xF0\x6B"sv},
                      {'Y', 0x30, "\xCE\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv},
                      {'B', 0x30, "\0\0\0\0\0\0\xF8\x3F"sv},
                      {'I', 0x8C, "\x7F\xFF\xFF\xFF"sv}};
        QStringList texts;
        for (const auto& field : fields) {
            std::string text = "stale";
            FieldCodec::NumberText(FieldTypeOf(field.Letter, FamilyOf(field.Version)), field.Bytes, text);
            texts << QString::fromStdString(text);
        }
        QCOMPARE(texts.join('|'), "1234567890123456|-12.5|0.5|0|1500||12,5|-2|777777777777777.0001|-0.005|1.5|-1");
    }

    // Text loses trailing blanks and NULs, eight bytes at a time; what lies inside stays.
    void trimRight() {
        QByteArrayList texts;
        for (const std::string_view bytes :
             {"                 "sv, "abcdefghijklmnop"sv, "a \0b\0 c       "sv, "\xE4\xF6\xFC\x80\xFF       "sv}) {
            const std::string_view text = FieldCodec::TrimRight(bytes);
            texts << QByteArray(text.data(), static_cast<qsizetype>(text.size()));
        }
        const std::string_view expected = "|abcdefghijklmnop|a \0b\0 c|\xE4\xF6\xFC\x80\xFF"sv;
        QCOMPARE(texts.join('|'), QByteArray(expected.data(), static_cast<qsizetype>(expected.size())));
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
