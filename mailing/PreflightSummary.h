// What a mailing is about to do, read from its recipient table in one walk before the first message goes out.
#pragma once

#include "mailing/MessageText.h"
#include "mailing/SuppressionList.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// The prepared mailing as far as the summary needs it. Text is UTF-8, as the run sends it.
struct TPreflightMailing : MessageText::TFieldMapping {
    std::string TablePath;
    // The code page the table's text is read in (an iconv name); empty takes the bytes as they are.
    std::string CodePage;
    // The scope in record numbers as the wizard counts them (visible records, from 1); ScopeTo 0 = whole table.
    int ScopeFrom = 1;
    int ScopeTo = 0;
    std::string Subject;
    // The body before personalisation, lines separated by CR LF.
    std::string Body;
    // The wrap column; 0 or less sends lines unwrapped (bounded by the longest line a message may hold).
    int WrapColumn = 80;
    // The records (by record number) a resumed or retrying run takes; unset takes every one.
    std::function<bool(int recNo)> Take;
    // Records that already got this very message (the ledger's SENT rows).
    std::set<int> AlreadySent;
    // Addresses the run passes over; none when unset.
    std::shared_ptr<const TSuppressionList> Suppressed;
    // For the warnings about bulk mail: whether messages carry an https unsubscribe link, the domain of the
    // return address and the DKIM domain (empty when messages are not signed).
    bool UnsubscribeLink = false;
    std::string FromDomain;
    std::string DkimDomain;
    // The program's footer under the body; one message per address (a later duplicate gets none).
    bool AddFooter = true;
    bool OncePerAddress = false;
    // The field naming each record's own files and their folder; the HTML version; the bytes the files for
    // everyone take in each message.
    std::string AttachmentField;
    std::string AttachmentFolder;
    std::string Html;
    uint64_t SharedFileBytes = 0;
    // Warnings the check found in the settings (a DKIM key others can read), shown with the summary's own.
    std::vector<std::string> Warnings;
};

// A record the user may want to look at before sending, and why.
struct TPreflightRecord {
    int RecNo = 0; // the table's own record number, deleted records counted, as dBase tools show it
    std::string Name;
    std::string Address;
    std::string Reason;
};

class TPreflightSummary {
public:
    // Walks the scope of the mailing's table once (records marked deleted hidden, as the wizard sets the
    // engine). Table errors reach the caller.
    explicit TPreflightSummary(const TPreflightMailing& mailing);

    int Records() const { return FRecords; }
    int DeletedSkipped() const { return FDeleted; }
    int WithoutAddress() const { return FWithoutAddress; }
    int Malformed() const { return FMalformed; }
    int Duplicates() const { return FDuplicates; }
    int Undecodable() const { return FUndecodable; }
    // Records with a usable address that is on the suppression list.
    int Suppressed() const { return FSuppressed; }
    // Lines of the suppression list that hold no address.
    int ListNotAddresses() const { return FListNotAddresses; }
    // Addresses with letters beyond ASCII before the "@": only a server that offers SMTPUTF8 takes them.
    int NonAsciiAddresses() const { return FNonAscii; }
    // Records whose own file is not there, and the largest message in bytes, about.
    int MissingFiles() const { return FMissingFiles; }
    // Records whose own file is refused: outside the attachment folder, or no regular file.
    int RefusedFiles() const { return FRefusedFiles; }
    uint64_t LargestMessage() const { return FLargestMessage; }
    // Records of the scope the run passes over because of "Resume the last run" or "Retry failed".
    int NotTaken() const { return FNotTaken; }
    // Records the run takes, with a usable address, that already got this message.
    int AlreadySent() const { return FAlreadySent; }
    // The messages the run will hand to the server: every record it takes with a usable address, without those
    // that already got it unless they are to get it again, and without those skipped for a missing file.
    int ToSend(bool sendAgain) const {
        return FRecords - FNotTaken - FWithoutAddress - FMalformed - FSuppressed - (sendAgain ? 0 : FAlreadySent) -
               (FOncePerAddress ? (sendAgain ? FDuplicates : FDuplicatesNotSent) : 0) -
               (sendAgain ? FMissingFiles + FRefusedFiles : FMissingNotSent);
    }
    // Placeholders whose field is not mapped, as "%O in the body"; they are left out of every message.
    const std::vector<std::string>& UnmappedPlaceholders() const { return FUnmapped; }
    // The longest body line after personalisation, wrapping and footer, in characters (not bytes).
    int LongestLine() const { return FLongestLine; }
    int WrapColumn() const { return FWrapColumn; }
    // Records worth a look, in table order; a record may appear once per reason.
    const std::vector<TPreflightRecord>& ToLookAt() const { return FToLookAt; }

    // Warnings that do not stop a run: many messages without an unsubscribe link, a DKIM domain that is not the
    // sender's.
    std::vector<std::string> Warnings(bool sendAgain) const;
    // The summary as the user reads it: one caption and one value per line.
    std::vector<std::pair<std::string, std::string>> Lines(bool sendAgain) const;

private:
    void FindUnmapped(const TPreflightMailing& mailing);
    void Walk(const TPreflightMailing& mailing);
    // Counts and lists what is wrong with a record's address; false when it has none (the run passes it over).
    bool CheckAddress(int recNo, const std::string& name, const std::string& address,
                      const TSuppressionList* suppressed);
    // Notes an address the run sends to; one noted before is counted and listed as a duplicate (true).
    bool NoteAddress(int recNo, const std::string& name, const std::string& address,
                     std::unordered_map<std::string, int>& seen);
    // The record's own files counted into size; false when one is missing or refused (counted and listed).
    bool CheckFiles(const TPreflightMailing& mailing, const MessageText::NamedLookup& named, int recNo,
                    const std::string& name, const std::string& address, uint64_t& size);
    void Add(int recNo, const std::string& name, const std::string& address, std::string reason);

    int FRecords = 0;
    int FDeleted = 0;
    int FNotTaken = 0;
    int FAlreadySent = 0;
    int FWithoutAddress = 0;
    int FMalformed = 0;
    int FDuplicates = 0;
    int FDuplicatesNotSent = 0; // duplicates that did not get this message before
    bool FOncePerAddress = false;
    int FUndecodable = 0;
    int FSuppressed = 0;
    bool FListed = false;
    int FListNotAddresses = 0;
    int FNonAscii = 0; // addresses with letters beyond ASCII before the "@": they need SMTPUTF8
    bool FUnsubscribeLink = false;
    std::string FFromDomain;
    std::string FDkimDomain;
    int FLongestLine = 0;
    int FWrapColumn = 80;
    std::vector<std::string> FUnmapped;
    std::vector<std::string> FCheckWarnings;
    std::vector<std::string> FUnquoted; // attributes of the HTML version holding a field without quotes
    int FMissingFiles = 0;
    int FRefusedFiles = 0;
    int FMissingNotSent = 0; // of those missing or refused, records that did not get this message before
    bool FRecordFiles = false;
    uint64_t FPlainSize = 0;
    uint64_t FLargestMessage = 0;
    std::vector<TPreflightRecord> FToLookAt;
};
