// One file of a message as a MIME part: its header lines and its content in base64 lines of 76, read from the
// file in pieces so that a large file is never held whole.
#pragma once

#include "smtp/MailMessage.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TAttachmentPart {
public:
    // Characters of base64 on a line (RFC 2045 6.8).
    static constexpr size_t LineLength = 76;

    // Opens the file (or takes its shared base64); false with Error() set when it cannot be read.
    bool Open(const TMailMessage::TAttachment& attachment);
    const std::string& Error() const { return FError; }

    // Content-Type, Content-Transfer-Encoding and Content-Disposition, folded and ASCII only.
    std::vector<std::string> HeaderLines() const;
    // The next line of base64; false at the end, or when reading failed (Failed() tells).
    bool NextLine(std::string& line);
    bool Failed() const { return FFailed; }
    // Bytes the part's content takes on the wire, line breaks included.
    uint64_t WireSize() const;

    // The whole file in base64 without line breaks, for a file shared by every message; throws
    // std::runtime_error naming the file when it cannot be read.
    static std::shared_ptr<const std::string> EncodeFile(const std::string& path);
    // Appends the base64 of bytes (a multiple of 3 bytes except at the end) to out.
    static void AppendBase64(std::string_view bytes, std::string& out);
    // The name a reader sees: Name, or the last part of Path.
    static std::string DisplayName(const TMailMessage::TAttachment& attachment);

private:
    bool Refill();

    TMailMessage::TAttachment FAttachment;
    // The file being read (null at its end) and where the next piece starts in it.
    std::shared_ptr<const TMessageFile> FFile;
    uint64_t FOffset = 0;
    uint64_t FFileSize = 0;
    // Base64 not yet handed out, and where the next line starts in it.
    std::string FPending;
    size_t FPendingPos = 0;
    bool FFailed = false;
    std::string FError;
};
