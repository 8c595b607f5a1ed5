// The suppression list: reading it in any of its three forms, appending hard bounces, judging a bounce.
#include "mailing/SuppressionList.h"

#include "framework/core/Text.h"
#include "mailing/AddressSyntax.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Field.h"
#include "table/Table.h"
#include "table/engine/FileHandle.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <array>

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return lower;
}

bool Extension(const QString& path, const char* extension) {
    return QFileInfo(path).suffix().compare(QLatin1String(extension), Qt::CaseInsensitive) == 0;
}

// The field of a table or column of a CSV file that holds the addresses: "EMAIL", "E-mail", "E_MAIL", "Mail"...
bool EmailName(std::string_view name) {
    std::string letters;
    for (const char c : Lower(Text::Trim(name)))
        if (c >= 'a' && c <= 'z')
            letters += c;
    return letters == "email" || letters == "mail" || letters == "emailaddress" || letters == "address";
}

// One line of a CSV file (RFC 4180), comma- or semicolon-separated as spreadsheets write it; quotes allowed.
std::vector<std::string> CsvCells(std::string_view line, char separator) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"')
            cells.back() += line[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (c == separator && !quoted)
            cells.emplace_back();
        else
            cells.back() += c;
    }
    return cells;
}

// A cell as CsvCells reads it back: quoted when it holds a quote, either separator or a blank at either end.
std::string CsvCell(std::string_view value) {
    if (value.find_first_of("\",;") == std::string_view::npos && Text::Trim(value) == value)
        return std::string(value);
    std::string cell = "\"";
    for (const char c : value)
        cell += c == '"' ? std::string("\"\"") : std::string(1, c);
    return cell + "\"";
}

// A text line up to its comment; "\#" stands for a "#" of the address.
std::string Uncommented(std::string_view line) {
    std::string text;
    for (size_t i = 0; i < line.size() && line[i] != '#'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '#')
            ++i;
        text += line[i];
    }
    return text;
}

std::string CantRead(const QString& path) {
    return "Can't read the suppression list:\r\n" + path.toStdString();
}

// The whole file, read without blocking on a pipe or device and without trusting its size (a /proc file reads 0).
std::string FileBytes(const QString& path) {
    TFileHandle file;
    std::string kind;
    if (!file.Open(QFile::encodeName(path).toStdString(), false, &kind))
        throw ESuppressionListError(kind.empty() ? CantRead(path)
                                                 : "The suppression list " + path.toStdString() + " is " + kind +
                                                       ", not a file: choose a text, CSV or .dbf file.");
    std::string bytes;
    for (;;) {
        const size_t start = bytes.size();
        bytes.resize(start + 65536);
        const long long got = file.ReadAt(start, bytes.data() + start, 65536);
        if (got < 0)
            throw ESuppressionListError(CantRead(path));
        bytes.resize(start + static_cast<size_t>(got));
        if (got == 0)
            return bytes;
        if (static_cast<long long>(bytes.size()) > TSuppressionList::MaxBytes)
            throw ESuppressionListError("The suppression list " + path.toStdString() +
                                        " is larger than 256 MB: split it, or keep it as a .dbf table.");
    }
}

std::string NoEmailField(const QString& path) {
    return "The suppression list " + path.toStdString() +
           " has no e-mail field: name one column EMAIL (or E-mail, E_MAIL, Mail).";
}

TField* EmailField(const TTable& table) {
    for (int i = 0; i < table.FieldCount(); ++i)
        if (EmailName(table.Fields(i).FieldName()))
            return &table.Fields(i);
    return nullptr;
}

bool IsAddress(std::string_view text) {
    return AddressSyntax::Problem(Text::Trim(text)).empty();
}

} // namespace

TSuppressionList::TSuppressionList(const QString& path) {
    if (Extension(path, "dbf"))
        ReadTable(path);
    else if (Extension(path, "csv"))
        ReadCsv(path);
    else
        ReadText(path);
    // A list saved in a form nobody reads as addresses would let everyone on it be mailed.
    if (FAddresses.empty() && FNotAddresses > 0)
        throw ESuppressionListError("The suppression list " + path.toStdString() + " holds no e-mail address in its " +
                                    std::to_string(FNotAddresses) +
                                    " lines: choose the right file, with one address a line (or a table with an "
                                    "e-mail field).");
}

std::string TSuppressionList::Key(std::string_view address) {
    return Lower(Text::Trim(address));
}

bool TSuppressionList::Contains(std::string_view address) const {
    return FAddresses.count(Key(address)) > 0;
}

void TSuppressionList::Add(std::string_view address) {
    if (Text::Trim(address).empty())
        return;
    if (IsAddress(address))
        FAddresses.insert(Key(address));
    else
        ++FNotAddresses;
}

std::vector<std::string> TSuppressionList::Lines(const QString& path) {
    std::string bytes = FileBytes(path);
    const auto starts = [&bytes](std::string_view mark) { return std::string_view(bytes).starts_with(mark); };
    std::string text;
    if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
        FEncoding = starts("\xFF\xFE") ? TEncoding::Utf16Le : TEncoding::Utf16Be;
        QStringDecoder decoder(FEncoding == TEncoding::Utf16Le ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                               QStringConverter::Flag::Stateless);
        const QString decoded = decoder(QByteArrayView(bytes).sliced(2));
        if (decoder.hasError() || bytes.size() % 2 != 0)
            throw ESuppressionListError("The suppression list " + path.toStdString() +
                                        " does not read as UTF-16 text: save it again as text.");
        text = decoded.toStdString();
    } else {
        text = starts("\xEF\xBB\xBF") ? bytes.substr(3) : std::move(bytes);
        QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        [[maybe_unused]] const QString decoded = utf8.decode(QByteArrayView(text));
        // Not UTF-8: a list saved by an older program in the Windows code page.
        size_t badAt = 0;
        std::string converted;
        if (utf8.hasError() && !TCodePage("CP1252").ToUtf8(text, converted, badAt))
            throw ESuppressionListError("The suppression list " + path.toStdString() +
                                        " does not read as text: save it as UTF-8 text.");
        if (utf8.hasError()) {
            FEncoding = TEncoding::Windows1252;
            text = std::move(converted);
        }
    }
    // NUL and other control characters: a binary file, or text in a form without a byte-order mark.
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return c >= 0 && c < 32 && c != '\t' && c != '\n' && c != '\r' && c != '\f'; }))
        throw ESuppressionListError("The suppression list " + path.toStdString() +
                                    " is no text file (it holds control characters): save it as text, one address "
                                    "a line.");
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find_first_of("\r\n", start), text.size());
        lines.push_back(text.substr(start, end - start));
        FCrLf = FCrLf || text.compare(end, 2, "\r\n") == 0;
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    FOpenEnd = !text.empty() && text.back() != '\n' && text.back() != '\r';
    return lines;
}

void TSuppressionList::ReadText(const QString& path) {
    for (const std::string& line : Lines(path))
        Add(Uncommented(line));
}

void TSuppressionList::ReadCsv(const QString& path) {
    const std::vector<std::string> lines = Lines(path);
    auto line = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !Text::Trim(l).empty(); });
    if (line == lines.end())
        return;
    FSeparator = line->find(';') != std::string::npos && line->find(',') == std::string::npos ? ';' : ',';
    const std::vector<std::string> names = CsvCells(*line, FSeparator);
    const auto column = std::find_if(names.begin(), names.end(), [](const std::string& n) { return EmailName(n); });
    if (column == names.end())
        throw ESuppressionListError(NoEmailField(path));
    FHeader = true;
    FColumn = static_cast<size_t>(column - names.begin());
    FColumns = names.size();
    for (++line; line != lines.end(); ++line) {
        const std::vector<std::string> cells = CsvCells(*line, FSeparator);
        const std::string cell = FColumn < cells.size() ? cells[FColumn] : std::string();
        // A row with other cells but no address in its column suppresses nobody either.
        const bool content =
            std::any_of(cells.begin(), cells.end(), [](const auto& c) { return !Text::Trim(c).empty(); });
        if (Text::Trim(cell).empty() && content)
            ++FNotAddresses;
        Add(cell);
    }
}

void TSuppressionList::ReadTable(const QString& path) {
    try {
        TTable table;
        table.SetReadOnly(true);
        table.SetTableType(ttXbFOX);
        table.SetTableName(QFile::encodeName(path).toStdString());
        table.Open();
        const TField* field = EmailField(table);
        if (!field)
            throw ESuppressionListError(NoEmailField(path));
        for (; !table.Eof(); table.Next())
            Add(field->AsString());
    } catch (const EDatabaseError& error) {
        throw ESuppressionListError(CantRead(path) + "\r\n" + error.what());
    }
}

bool TSuppressionList::Writable(const std::string& address) const {
    if (FEncoding != TEncoding::Windows1252)
        return true;
    const TCodePage codePage("CP1252");
    std::string back;
    size_t badAt = 0;
    return codePage.ToUtf8(codePage.FromUtf8(address), back, badAt) && back == address;
}

std::string TSuppressionList::AppendText(const std::vector<std::string>& addresses, bool csv) const {
    const std::string lineBreak = FCrLf ? "\r\n" : "\n";
    // A last line without its line break would run into the first address added.
    std::string text = FOpenEnd ? lineBreak : std::string();
    if (csv && !FHeader)
        text += "email" + lineBreak;
    for (const std::string& address : addresses) {
        if (csv) {
            // A row holds the address in the e-mail column, the other cells empty.
            text += std::string(FHeader ? FColumn : 0, FSeparator) + CsvCell(address) +
                    std::string(FHeader ? FColumns - std::min(FColumns, FColumn + 1) : 0, FSeparator);
        } else {
            for (const char c : address)
                text += c == '#' ? std::string("\\#") : std::string(1, c);
        }
        text += lineBreak;
    }
    if (FEncoding == TEncoding::Utf8)
        return text;
    if (FEncoding == TEncoding::Windows1252)
        return TCodePage("CP1252").FromUtf8(text);
    QStringEncoder encoder(FEncoding == TEncoding::Utf16Le ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
    const QByteArray encoded = encoder(QString::fromStdString(text));
    return encoded.toStdString();
}

int TSuppressionList::AppendTo(const QString& path, const std::vector<std::string>& addresses) {
    const TSuppressionList present = QFileInfo::exists(path) ? TSuppressionList(path) : TSuppressionList();
    std::vector<std::string> missing;
    TSuppressionList adding;
    for (const std::string& address : addresses)
        if (IsAddress(address) && present.Writable(Text::Trim(address)) && !present.Contains(address) &&
            !adding.Contains(address)) {
            adding.Add(address);
            missing.push_back(Text::Trim(address));
        }
    if (missing.empty())
        return 0;
    if (Extension(path, "dbf")) {
        try {
            TTable table;
            table.SetTableType(ttXbFOX);
            table.SetTableName(QFile::encodeName(path).toStdString());
            table.Open();
            TField& field = *EmailField(table);
            for (const std::string& address : missing) {
                table.Append();
                field.SetValue(address);
                table.Post();
            }
            table.Close();
        } catch (const EDatabaseError& error) {
            throw ESuppressionListError("Can't add to the suppression list:\r\n" + path.toStdString() + "\r\n" +
                                        error.what());
        }
        return static_cast<int>(missing.size());
    }
    const std::string text = present.AppendText(missing, Extension(path, "csv"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) ||
        file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) || !file.flush())
        throw ESuppressionListError("Can't add to the suppression list:\r\n" + path.toStdString());
    return static_cast<int>(missing.size());
}

bool TSuppressionList::HardBounce(int code, std::string_view reply) {
    if (code < 500 || code > 599)
        return false;
    // The enhanced status code follows the reply code (RFC 2034 3): "550 5.1.1 <x>: unknown".
    const std::string text = Lower(reply);
    const size_t start = std::min<size_t>(text.size(), 4);
    const size_t end = text.find(' ', start);
    const std::string status = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (status == "5.1.1" || status == "5.1.10" || status == "5.1.2")
        return true;
    if (code != 550 || (status.size() >= 2 && status.compare(0, 2, "5.") == 0))
        return false; // another enhanced status says what the refusal is: a policy, a full mailbox...
    static const std::array<const char*, 9> Words{"does not exist", "doesn't exist", "no such user", "user unknown",
                                                  "unknown user",   "no such mailbox", "mailbox not found",
                                                  "unknown recipient", "recipient unknown"};
    return std::any_of(Words.begin(), Words.end(), [&](const char* w) { return text.find(w) != std::string::npos; });
}
