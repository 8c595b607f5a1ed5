// The suppression list: reading it in any of its three forms, appending hard bounces, judging a bounce.
#include "mailing/SuppressionList.h"

#include "framework/core/Text.h"
#include "table/DatabaseError.h"
#include "table/Field.h"
#include "table/Table.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <optional>

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

std::vector<std::string> FileLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ESuppressionListError("Can't read the suppression list:\r\n" + path.toStdString());
    std::vector<std::string> lines;
    while (!file.atEnd()) {
        std::string line = file.readLine().toStdString();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
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

} // namespace

TSuppressionList::TSuppressionList(const QString& path) {
    if (Extension(path, "dbf"))
        ReadTable(path);
    else if (Extension(path, "csv"))
        ReadCsv(path);
    else
        ReadText(path);
}

std::string TSuppressionList::Key(std::string_view address) {
    return Lower(Text::Trim(address));
}

bool TSuppressionList::Contains(std::string_view address) const {
    return FAddresses.count(Key(address)) > 0;
}

void TSuppressionList::Add(std::string_view address) {
    std::string key = Key(address);
    if (!key.empty())
        FAddresses.insert(std::move(key));
}

void TSuppressionList::ReadText(const QString& path) {
    for (const std::string& line : FileLines(path))
        Add(std::string_view(line).substr(0, line.find('#')));
}

void TSuppressionList::ReadCsv(const QString& path) {
    const std::vector<std::string> lines = FileLines(path);
    if (lines.empty())
        return;
    const char separator = lines.front().find(';') != std::string::npos && lines.front().find(',') == std::string::npos
                               ? ';'
                               : ',';
    const std::vector<std::string> names = CsvCells(lines.front(), separator);
    const auto column = std::find_if(names.begin(), names.end(), [](const std::string& n) { return EmailName(n); });
    if (column == names.end())
        throw ESuppressionListError(NoEmailField(path));
    const size_t index = static_cast<size_t>(column - names.begin());
    for (size_t i = 1; i < lines.size(); ++i)
        if (const std::vector<std::string> cells = CsvCells(lines[i], separator); index < cells.size())
            Add(cells[index]);
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
        throw ESuppressionListError("Can't read the suppression list:\r\n" + path.toStdString() + "\r\n" +
                                    error.what());
    }
}

int TSuppressionList::AppendTo(const QString& path, const std::vector<std::string>& addresses) {
    const TSuppressionList present = QFileInfo::exists(path) ? TSuppressionList(path) : TSuppressionList();
    std::vector<std::string> missing;
    TSuppressionList adding;
    for (const std::string& address : addresses)
        if (!present.Contains(address) && !adding.Contains(address) && !Key(address).empty()) {
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
    // A CSV row holds the address in the e-mail column, the other cells empty.
    size_t column = 0;
    size_t columns = 1;
    char separator = ',';
    if (Extension(path, "csv") && QFileInfo::exists(path)) {
        const std::vector<std::string> lines = FileLines(path);
        if (!lines.empty()) {
            separator = lines.front().find(';') != std::string::npos && lines.front().find(',') == std::string::npos
                            ? ';'
                            : ',';
            const std::vector<std::string> names = CsvCells(lines.front(), separator);
            columns = names.size();
            column = static_cast<size_t>(
                std::find_if(names.begin(), names.end(), [](const std::string& n) { return EmailName(n); }) -
                names.begin());
        }
    }
    QFile file(path);
    const bool created = !file.exists();
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append))
        throw ESuppressionListError("Can't add to the suppression list:\r\n" + path.toStdString());
    // A last line without its line break would run into the first address added.
    std::string text;
    if (file.size() > 0) {
        file.seek(file.size() - 1);
        if (file.read(1) != "\n")
            text += "\n";
    }
    if (created && Extension(path, "csv"))
        text += "email\n";
    for (const std::string& address : missing) {
        std::string row(column, separator);
        row += address;
        row += std::string(columns - std::min(columns, column + 1), separator);
        text += row + "\n";
    }
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.flush())
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
