// Addresses never to mail: people who asked to leave, and mailboxes that do not exist. Read from a text file
// (one address a line, "#" starts a comment), or from a .dbf or .csv table with an e-mail field.
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
    // Reads the file; throws ESuppressionListError when it cannot be read or a table has no e-mail field.
    explicit TSuppressionList(const QString& path);

    // Compared without regard to case, after trimming blanks.
    bool Contains(std::string_view address) const;
    size_t Size() const { return FAddresses.size(); }

    // Appends the addresses the list does not hold yet to the file at path (created as a text file when missing),
    // in the file's own form; returns how many were added. Throws ESuppressionListError.
    static int AppendTo(const QString& path, const std::vector<std::string>& addresses);
    // True for a permanent "mailbox does not exist" reply: enhanced status 5.1.1, 5.1.10 or 5.1.2 (RFC 3463),
    // or a 550 that says so in words. Such an address will never take mail.
    static bool HardBounce(int code, std::string_view reply);
    // The form an address is compared in.
    static std::string Key(std::string_view address);

private:
    void ReadText(const QString& path);
    void ReadCsv(const QString& path);
    void ReadTable(const QString& path);
    void Add(std::string_view address);

    std::unordered_set<std::string> FAddresses;
};
