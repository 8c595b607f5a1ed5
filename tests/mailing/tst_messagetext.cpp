// Personalisation, the wrapped body feed and the mailbox, without a window.
#include "mailing/MessageText.h"

#include <QTest>

#include <random>

using namespace MessageText;

namespace {

std::string Lookup(char c) {
    switch (c) {
    case 'N':
        return "Smith";
    case 'D':
        return "Mr.";
    case 'E':
        return "smith@example.org";
    default:
        return {}; // organisation not mapped
    }
}

// Every line the feed hands out, the final one (with more false) included.
std::vector<std::string> Feed(std::string_view text, int width) {
    std::vector<std::string> lines;
    size_t pos = 0;
    bool more = true;
    while (more) {
        lines.push_back(NextBodyLine(text, pos, width, 1023, more));
        if (lines.size() > text.size() + 2)
            break; // the feed stopped making progress
    }
    return lines;
}

QStringList Q(const std::vector<std::string>& lines) {
    QStringList result;
    for (const auto& l : lines)
        result << QString::fromStdString(l);
    return result;
}

} // namespace

class tst_MessageText : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void placeholders_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");
        QTest::newRow("dear") << "Dear %D %N,"
                              << "Dear Mr. Smith,";
        QTest::newRow("mail") << "<%E>"
                              << "<smith@example.org>";
        QTest::newRow("trailing percent") << "100%"
                                          << "100";
        QTest::newRow("double percent") << "50%% off"
                                        << "50%% off";
        QTest::newRow("unknown letter") << "%X"
                                        << "%X";
        QTest::newRow("small letter") << "%n"
                                      << "%n";
        QTest::newRow("unmapped") << "[%O]"
                                  << "[]";
        QTest::newRow("percent before placeholder") << "%%N"
                                                    << "%%N";
    }
    void placeholders() {
        QFETCH(QString, source);
        QFETCH(QString, expected);
        const std::string result = ReplaceVariables(source.toStdString(), Lookup);
        QCOMPARE(QString::fromStdString(result), expected + QString::fromStdString(Footer()));
    }

    void footerText() {
        QCOMPARE(QString::fromStdString(Footer()),
                 QStringLiteral("\r\n\r\nDelivered to you by Quorvel Mailer - get free e-mail software at: "
                                "https://quorvel.example/mailer\r\n"));
    }

    void wrap_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("width");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("words") << "hello world again" << 10 << QStringList{"hello", "world", "again"};
        QTest::newRow("hyphen") << "well-known words" << 8 << QStringList{"well-", "known", "words"};
        QTest::newRow("word ends at column") << "well-known words" << 10 << QStringList{"well-known", "words"};
        QTest::newRow("hyphen after column") << "abcde-fgh" << 5 << QStringList{"abcde", "-fgh"};
        QTest::newRow("indented") << "   indented" << 80 << QStringList{"indented"};
        QTest::newRow("line breaks") << "Hi\r\n\r\nBye\r\n" << 80 << QStringList{"Hi", "", "Bye", ""};
        QTest::newRow("exact width line") << "hello\r\nworld" << 5 << QStringList{"hello", "world"};
        QTest::newRow("long word cut") << "abcdefghij" << 4 << QStringList{"abcd", "efgh", "ij"};
        QTest::newRow("no wrap") << "a b c d e f" << 0 << QStringList{"a b c d e f"};
        QTest::newRow("control becomes blank") << QString("a\x01"
                                                          "b")
                                               << 80 << QStringList{"a b"};
        QTest::newRow("tab kept inside") << "a\tb" << 80 << QStringList{"a\tb"};
        // Links move whole to the next line, never broken at their hyphens nor cut at the column.
        QTest::newRow("link moves whole")
            << "see https://a.example/x-y-z now" << 12 << QStringList{"see", "https://a.example/x-y-z", "now"};
        QTest::newRow("link fits") << "go www.a-b.example" << 20 << QStringList{"go www.a-b.example"};
        QTest::newRow("no link without prefix") << "see a.example/x-y" << 12 << QStringList{"see", "a.example/x-", "y"};
        QTest::newRow("signature separator") << "Bye\r\n-- \r\nAnna" << 80 << QStringList{"Bye", "-- ", "Anna"};
        // A character of several bytes counts once and is never split.
        QTest::newRow("utf-8 counts characters")
            << QStringLiteral("Grüße an Zoë") << 5 << QStringList{QStringLiteral("Grüße"), "an", QStringLiteral("Zoë")};
        // A lone LF or CR ends a line as CR LF does: words of two lines are never glued.
        QTest::newRow("lf alone") << "Dear X,\nyour page" << 80 << QStringList{"Dear X,", "your page"};
        QTest::newRow("lf at column") << "hello\nworld" << 5 << QStringList{"hello", "world"};
        QTest::newRow("mixed breaks") << "a\n\nb\r\rc\r\n" << 80 << QStringList{"a", "", "b", "", "c", ""};
        QTest::newRow("utf-8 long word cut")
            << QStringLiteral("ЖЖЖЖЖЖ") << 4 << QStringList{QStringLiteral("ЖЖЖЖ"), QStringLiteral("ЖЖ")};
    }
    void wrap() {
        QFETCH(QString, text);
        QFETCH(int, width);
        QFETCH(QStringList, lines);
        const std::string bytes = text.toStdString();
        QStringList got = Q(Feed(bytes, width));
        // The last call returns what is left of the text with more false.
        QCOMPARE(got.join(QLatin1Char('|')), lines.join(QLatin1Char('|')));
    }

    // No body line is longer than the wire allows: a wrap of 0 or above 998 means 998, links included.
    void wrapIsCappedAt998() {
        for (int width : {0, 998, 999, 5000}) {
            const QStringList got = Q(Feed(std::string(2500, 'a'), width));
            QCOMPARE(got, (QStringList{QString(998, 'a'), QString(998, 'a'), QString(504, 'a')}));
        }
        const std::string link = "https://example.org/" + std::string(1200, 'p');
        QCOMPARE(Q(Feed("x " + link, 40)).mid(0, 2), (QStringList{"x", QString::fromStdString(link.substr(0, 998))}));
        // 998 characters of two bytes each would be 1996 bytes: the line stops at 998 bytes.
        for (const std::string& line : Feed(QString(700, QChar(0x0416)).toStdString(), 0))
            QVERIFY(line.size() <= 998);
    }

    // Bytes that are no UTF-8 (a run of continuation bytes) still move the feed on, whatever the room.
    void invalidUtf8Progresses() {
        const std::string junk(1000, '\x99');
        for (const int maxLen : {1023, 2, 1}) {
            size_t pos = 0;
            bool more = true;
            int calls = 0;
            while (more && ++calls <= 1001)
                QVERIFY(NextBodyLine(junk, pos, 80, maxLen, more).size() <= size_t(std::min(maxLen, 998)));
            QCOMPARE(pos, junk.size());
        }
    }

    void subjectRule() { QCOMPARE(Personalise("News for %N (%O) 100%", Lookup), std::string("News for Smith () 100")); }

    // {FIELD} next to the four letters, in one pass: a value is never expanded again, a name the table lacks
    // stays visible, and escaping touches values only.
    void anyField_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");
        QTest::newRow("field and letter") << "{CITY}: %N" << "Berlin: Smith";
        QTest::newRow("any case") << "{city}" << "Berlin";
        QTest::newRow("default for blank") << "Hi {NICK|friend}, {CITY|nowhere}" << "Hi friend, Berlin";
        QTest::newRow("literal braces") << "{{CITY}} and }}{{" << "{CITY} and }{";
        QTest::newRow("unknown stays") << "{ZIP} {ZIP|0}" << "{ZIP} {ZIP|0}";
        QTest::newRow("not a reference") << "{ a } {1X} {CITY" << "{ a } {1X} {CITY";
        QTest::newRow("value not expanded again") << "{TRICK}" << "%N {CITY}";
        QTest::newRow("markup kept") << "<b>{TRICK}</b>%E" << "<b>%N {CITY}</b>smith@example.org";
    }
    void anyField() {
        QFETCH(QString, source);
        QFETCH(QString, expected);
        const NamedLookup named = [](std::string_view name) -> std::optional<std::string> {
            const std::string upper = QString::fromUtf8(name.data(), qsizetype(name.size())).toUpper().toStdString();
            if (upper == "CITY")
                return "Berlin";
            if (upper == "NICK")
                return "   ";
            if (upper == "TRICK")
                return "%N {CITY}";
            return std::nullopt;
        };
        QCOMPARE(QString::fromStdString(Personalise(source.toStdString(), Lookup, named)), expected);
        // Without a field lookup braces are plain text, as before.
        QCOMPARE(Personalise("{CITY}", Lookup), std::string("{CITY}"));
        QCOMPARE(FieldNames("{{A}} {B|x} {C} {B}"), (std::vector<std::string>{"B", "C"}));
        const ValueEscaper html = HtmlEscape;
        const NamedLookup quote = [](std::string_view) -> std::optional<std::string> { return "<a & \"b\" 'c'>"; };
        QCOMPARE(Personalise("<p>{X}</p>", Lookup, quote, html),
                 std::string("<p>&lt;a &amp; &quot;b&quot; &#39;c&#39;&gt;</p>"));
        QCOMPARE(ExpandFields("a%20b/{X|y}", [](std::string_view) { return std::optional<std::string>(""); }),
                 std::string("a%20b/y"));
    }

    // A value in the HTML version: escaped for where it lands; a link it makes must be http, https or mailto, else
    // the record is refused with the reason.
    void htmlValues_data() {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("result"); // the HTML, or "refused: " and the start of the problem
        QTest::newRow("web link") << "<a href=\"{U}\">x</a>"
                                  << "https://a.example/?q=1&r=2"
                                  << "<a href=\"https://a.example/?q=1&amp;r=2\">x</a>";
        QTest::newRow("mail link") << "<a href='{U}'>"
                                   << "MAILTO:a@example.org"
                                   << "<a href='MAILTO:a@example.org'>";
        QTest::newRow("javascript")
            << "<a href=\"{U}\">x</a>"
            << "javascript:alert(1)"
            << "refused: link in href= is no http, https or mailto address: javascript:alert(1)";
        QTest::newRow("data in src") << "<img alt=\"a>b\" SRC=\" {U}\">"
                                     << "data:text/html,x"
                                     << "refused: link in src=";
        QTest::newRow("blank before scheme") << "<form action=\"{U}\">"
                                             << " \tjavascript:x"
                                             << "refused: link in action=";
        QTest::newRow("fixed scheme") << "<a href=\"https://shop.example/{U}\">"
                                      << "javascript:x"
                                      << "<a href=\"https://shop.example/javascript:x\">";
        QTest::newRow("unquoted") << "<a href={U}>x</a>"
                                  << "https://a.example x onmouseover=alert(1)"
                                  << "<a href=https://a.example&#32;x&#32;onmouseover&#61;alert(1)>x</a>";
        QTest::newRow("unquoted javascript") << "<a href={U}>"
                                             << "javascript:x"
                                             << "refused: link in href=";
        QTest::newRow("text and title") << "<p title=\"{U}\">{U}</p><!-- <a href=\"{U}\"> -->"
                                        << "javascript:\"x\""
                                        << "<p title=\"javascript:&quot;x&quot;\">javascript:&quot;x&quot;</p>"
                                           "<!-- <a href=\"javascript:&quot;x&quot;\"> -->";
        QTest::newRow("empty link") << "<a href=\"{U}\">"
                                    << ""
                                    << "<a href=\"\">";
    }
    void htmlValues() {
        QFETCH(QString, html);
        QFETCH(QString, value);
        QFETCH(QString, result);
        const NamedLookup named = [&value](std::string_view) {
            return std::optional<std::string>(value.toStdString());
        };
        std::string problem;
        const std::string out = PersonaliseHtml(html.toStdString(), Lookup, named, problem);
        if (result.startsWith("refused: "))
            QVERIFY2(problem.starts_with(result.mid(9).toStdString()), problem.c_str());
        else
            QCOMPARE(QString::fromStdString(problem.empty() ? out : problem), result);
        QCOMPARE(UnquotedAttributeFields(html.toStdString()),
                 html.contains("={U}") ? std::vector<std::string>{"href"} : std::vector<std::string>{});
    }

    // A whole message as the client pulls it: every text line, then the footer, then an empty last line.
    void wholeMessageAtDefaultWidth() {
        const std::string text = ReplaceVariables("Dear %D %N,\r\n.\r\nBye", Lookup);
        const QStringList got = Q(Feed(text, 80));
        const QStringList expected{"Dear Mr. Smith,",
                                   ".",
                                   "Bye",
                                   "",
                                   "Delivered to you by Quorvel Mailer - get free e-mail software at:",
                                   "https://quorvel.example/mailer",
                                   ""};
        QCOMPARE(got, expected);
    }

    // Whatever the text and width: lines never exceed the width and the feed always reaches the end.
    void feedAlwaysProgresses() {
        std::mt19937 random(7);
        const std::string alphabet = "abc  de-f\t\r\n\x02xyz-";
        for (int round = 0; round < 300; ++round) {
            std::string text;
            const int length = static_cast<int>(random() % 200);
            for (int i = 0; i < length; ++i)
                text += alphabet[random() % alphabet.size()];
            const int width = 1 + static_cast<int>(random() % 12);
            size_t pos = 0;
            bool more = true;
            int calls = 0;
            while (more) {
                const size_t before = pos;
                const std::string line = NextBodyLine(text, pos, width, 1023, more);
                QVERIFY2(static_cast<int>(line.size()) <= width, line.c_str());
                QVERIFY(pos > before || !more || calls == 0 || before < text.size());
                QVERIFY2(++calls <= length + 1, "feed does not progress");
            }
            QCOMPARE(pos, text.size());
        }
    }

    // A display name that would read as more than one address, or as a group, goes out quoted.
    void mailbox_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "Anna Berg"
                               << "Anna Berg <a@example.org>";
        QTest::newRow("dots") << "Dr. A. Berg"
                              << "Dr. A. Berg <a@example.org>";
        QTest::newRow("last, first") << "Berg, Anna"
                                     << "\"Berg, Anna\" <a@example.org>";
        QTest::newRow("group colon") << "Sales: Anna"
                                     << "\"Sales: Anna\" <a@example.org>";
        QTest::newRow("address as name") << "anna@example.org"
                                         << "\"anna@example.org\" <a@example.org>";
        QTest::newRow("quote and backslash") << "Anna \"Ann\" B\\"
                                             << "\"Anna \\\"Ann\\\" B\\\\\" <a@example.org>";
        QTest::newRow("latin-1") << QString::fromLatin1("J\xfcrgen (Sales)")
                                 << QString::fromLatin1("\"J\xfcrgen (Sales)\" <a@example.org>");
    }
    void mailbox() {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const std::string box = Mailbox(name.toLatin1().toStdString(), "a@example.org");
        QCOMPARE(QString::fromLatin1(box.data(), qsizetype(box.size())), expected);
    }
};

QTEST_GUILESS_MAIN(tst_MessageText)
#include "tst_messagetext.moc"
