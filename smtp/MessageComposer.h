// Turns a message value into the lines that follow DATA: the header block (Date, Message-ID, the MIME headers,
// encoded-words, folding), a blank line and the body in the narrowest charset and a transfer encoding that fits.
#pragma once

#include "smtp/AttachmentPart.h"
#include "smtp/LineStore.h"
#include "smtp/MailMessage.h"
#include "smtp/Mime.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

class TMessageComposer {
public:
    // One line without its CR LF, before dot-stuffing.
    using TLineSink = std::function<void(std::string_view line)>;
    // The buffer a header line is offered in: 1023 characters and the terminating NUL.
    static constexpr int LineBufferSize = 1024;
    static constexpr int MaxLineLength = LineBufferSize - 1;
    // No line on the wire is longer than this, CR LF not counted (RFC 5321 4.5.3.1.6).
    static constexpr size_t MaxWireLine = 998;

    // Sees each header line in a buffer of size bytes (at least LineBufferSize; From, To and Cc values are never
    // cut, so theirs may be larger); may change it, append CR LF and further header lines, or empty it to
    // suppress the line.
    std::function<void(char* line, int size)> OnHeaderLine;
    // Asked before each body line is read and before each goes out: false ends the body there (the connection
    // it was going to is gone).
    std::function<bool()> Proceed;

    // The server takes 8-bit bodies as they are (it offered 8BITMIME, RFC 6152): a body that needs no
    // quoted-printable goes as 8bit. Off by default, as for a message that is only looked at.
    void SetEightBit(bool value) { FEightBit = value; }

    // The whole message into put: header block, blank line, body.
    void Compose(const TMailMessage& message, const TLineSink& put);
    // The same in two steps, for a caller that needs the header block before the body (a signature): Begin
    // reads the body ahead and fixes charset, encoding, Date and Message-ID; PutHeaderBlock and PutBody may then
    // be called in any order, PutBody more than once (it reads the body again).
    void Begin(const TMailMessage& message);
    void PutHeaderBlock(const TLineSink& put) const;
    void PutBody(const TLineSink& put);
    // After Begin: header block, blank line and body, with a DKIM-Signature first when the message has a signer
    // (its body is then read twice: once for the body hash, once on the wire).
    void PutMessage(const TLineSink& put);

    // The Message-ID value of the message last begun ("<...>").
    const std::string& MessageId() const { return FMessageId; }
    // Why the message last begun cannot go as it is ("attachment not found: ..."), or why its body broke off
    // (a file that could not be read to its end); empty when it can. A message with a problem must not be sent.
    const std::string& Problem() const { return FProblem; }
    // The bytes the message last begun takes after DATA, about: exact for attachments, text lines counted
    // before encoding.
    uint64_t SizeEstimate() const { return FSizeEstimate; }
    // A size as a reader says it: "812 bytes", "35 KB", "2.4 MB".
    static std::string SizeText(uint64_t bytes);

private:
    enum class TBodyEncoding { SevenBit, EightBit, QuotedPrintable };

    bool Multipart() const { return FHtmlSource || !FAttachments.empty(); }
    // The plain text, encoded as chosen; the HTML version; one file.
    void PutText(const TLineSink& put);
    void PutHtml(const TLineSink& put);
    void PutAttachment(const TMailMessage::TAttachment& attachment, const TLineSink& put);
    // Reads the HTML version whole and picks its encoding; opens every file to learn it can be read and its size.
    void BeginParts();
    // Boundaries no line that goes out unencoded contains.
    void ChooseBoundaries();
    static const char* EncodingName(TBodyEncoding encoding);

    void OfferHeaderLine(std::string_view head, std::string_view value, bool address);
    // Reads the body into FBody up to BodyLookAhead bytes.
    void ReadAhead();
    // Reads one line (more when it holds line breaks) into FBody; false at the end of the body.
    bool ReadLine();
    void ChooseEncoding();
    bool EncodedLinesFit() const;

    // How much body is read before the header block is made. A longer body streams on in UTF-8.
    static constexpr size_t BodyLookAhead = 1 << 20;

    bool FEightBit = false;
    std::shared_ptr<const TDkimSigner> FSigner;
    TMailMessage::TBodySource FBodySource;
    TMailMessage::TLineReader FReader;
    // The body was read from FReader since Begin: the next PutBody starts it again.
    bool FBodyPut = false;
    std::string FLine;
    // The header line offered to OnHeaderLine.
    std::string FHeaderBuffer;
    // The header lines (UTF-8, before encoding) and the body lines read ahead.
    TLineStore FHeaderLines;
    TLineStore FBody;
    // The whole body was read before the header block: its charset is exact.
    bool FBodyComplete = false;
    Mime::TCharset FCharset = Mime::TCharset::UsAscii;
    TBodyEncoding FBodyEncoding = TBodyEncoding::SevenBit;
    std::string FMessageId;
    // The HTML version and the files of a multipart message.
    TMailMessage::TBodySource FHtmlSource;
    TLineStore FHtml;
    Mime::TCharset FHtmlCharset = Mime::TCharset::UsAscii;
    TBodyEncoding FHtmlEncoding = TBodyEncoding::SevenBit;
    std::vector<TMailMessage::TAttachment> FAttachments;
    std::string FMixedBoundary;
    std::string FAlternativeBoundary;
    std::string FProblem;
    uint64_t FSizeEstimate = 0;
    // The Date value of the second it was made for: messages of the same second share it.
    std::time_t FDateMoment = -1;
    std::string FDateValue;
};
