// One message as it goes to a server: the envelope, the header values and a body that can be read more than once.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TDkimSigner;
class TMessageFile;

struct TMailMessage {
    // A header field besides those the composer writes itself ("Organization", "Reply-To", "List-Id", ...).
    struct TField {
        std::string Name;
        std::string Value; // UTF-8: the composer encodes and folds it
    };
    // Hands out the next body line of UTF-8 text into line; a CR or LF inside it starts a new line. False at the
    // end of the body, when line is not part of it.
    using TLineReader = std::function<bool(std::string& line)>;
    // Reads the body from its first line. Every call starts again, so the body can be read twice: once for a
    // hash or a look-ahead, once on the wire.
    using TBodySource = std::function<TLineReader()>;

    // The envelope: the return path of MAIL FROM and the addresses of RCPT TO, each sent trimmed.
    std::string ReturnPath;
    std::vector<std::string> Recipients;
    // The values of "From: ", "To: ", "Cc: " and "Subject: " (UTF-8). An empty Cc sends no "Cc:" line.
    std::string From;
    std::string To;
    std::string Cc;
    std::string Subject;
    // Further fields, in this order, behind "From:".
    std::vector<TField> Fields;
    // Unset: an empty body.
    TBodySource Body;
    // Signs the message as it is composed (a DKIM-Signature before the header block); unset: not signed.
    std::shared_ptr<const TDkimSigner> Signer;

    // A file that goes with the message.
    struct TAttachment {
        std::string Path;        // read as the message goes out
        std::string Name;        // as the reader sees it (UTF-8); empty takes the last part of Path
        std::string ContentType; // "application/pdf"; empty sends application/octet-stream
        // The file already in base64 (no line breaks), for a file every message of a run carries: encoded once
        // and shared. Unset: Path is read and encoded in pieces while the message streams out.
        std::shared_ptr<const std::string> Base64;
        // The file opened and checked when the record was read: read through it, never opened again by Path.
        std::shared_ptr<const TMessageFile> File;
    };
    // Turn the message into multipart/mixed: the text first, then these files in order.
    std::vector<TAttachment> Attachments;
    // An HTML version of the body (UTF-8): the text becomes multipart/alternative, plain first. Unset: none.
    TBodySource Html;
};
