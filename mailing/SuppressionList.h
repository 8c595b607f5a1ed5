// Addresses never to mail: people who asked to leave, and mailboxes that do not exist. Read from a text file
// (one address a line, "#" starts a comment, "\#" is a "#" of the address), or from a .dbf or .csv table with an
// e-mail field. Text is UTF-8 (a byte-order mark allowed), UTF-16 with a byte-order mark, or else Windows-1252.
#pragma once

#include <QString>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// A suppression list that cannot be read or written; the message is a sentence for the user.
class ESuppressionListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TSuppressionList {
public:
    TSuppressionList() = default;
    // Reads the file; throws ESuppressionListError when it cannot be read, is no regular file, is larger than
    // MaxBytes, holds no text, a table has no e-mail field, or it holds lines but not one address.
    explicit TSuppressionList(const QString& path);

    // Compared without regard to case, after trimming blanks.
    bool Contains(std::string_view address) const;
    size_t Size() const { return FAddresses.size(); }
    // Lines (rows, records) that hold something other than an address: they suppress nobody.
    int NotAddresses() const { return FNotAddresses; }

    // Appends the addresses the list does not hold yet to the file at path (created as a text file when missing),
    // in the file's own form and encoding; what is no address, or cannot be written in that encoding, is left
    // out. Returns how many were added. Throws
    // ESuppressionListError.
    static int AppendTo(const QString& path, const std::vector<std::string>& addresses);
    // True for a permanent "mailbox does not exist" reply: enhanced status 5.1.1, 5.1.10 or 5.1.2 (RFC 3463),
    // or a 550 that says so in words. Such an address will never take mail.
    static bool HardBounce(int code, std::string_view reply);
    // The form an address is compared in.
    static std::string Key(std::string_view address);

    // A text or CSV list is read whole: a larger file is refused.
    static constexpr long long MaxBytes = 256LL * 1024 * 1024;

private:
    enum class TEncoding { Utf8, Utf16Le, Utf16Be, Windows1252 };

    void ReadText(const QString& path);
    void ReadCsv(const QString& path);
    void ReadTable(const QString& path);
    // The file's lines as UTF-8; its encoding and line breaks are kept for appending.
    std::vector<std::string> Lines(const QString& path);
    void Add(std::string_view address);
    // The text that appends addresses to this list's file.
    std::string AppendText(const std::vector<std::string>& addresses, bool csv) const;
    // The address can be written in the file's encoding (a Windows-1252 list holds no Cyrillic, say).
    bool Writable(const std::string& address) const;

    std::unordered_set<std::string> FAddresses;
    int FNotAddresses = 0;
    TEncoding FEncoding = TEncoding::Utf8;
    bool FCrLf = false;
    // The file's text ends without a line break.
    bool FOpenEnd = false;
    // A CSV list's header line, separator and the column of its addresses.
    bool FHeader = false;
    char FSeparator = ',';
    size_t FColumn = 0;
    size_t FColumns = 1;
};
