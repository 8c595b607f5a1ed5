// The lines after DATA: header values offered line by line, the charset and transfer encoding chosen from the
// whole message, the body read ahead and then streamed.
#include "smtp/MessageComposer.h"

#include "framework/core/Text.h"
#include "smtp/DkimSigner.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <random>

namespace {

// Where the first CR or LF of text stands, or its size. Two scans with memchr, which takes many bytes a step,
// beat one loop that tests every byte for both.
size_t LineBreak(std::string_view text) {
    const auto* lf = static_cast<const char*>(std::memchr(text.data(), '\n', text.size()));
    const size_t end = lf != nullptr ? static_cast<size_t>(lf - text.data()) : text.size();
    const auto* cr = static_cast<const char*>(std::memchr(text.data(), '\r', end));
    return cr != nullptr ? static_cast<size_t>(cr - text.data()) : end;
}

// The length of the line break at the start of text (CR LF, CR or LF).
size_t BreakLength(std::string_view text) {
    return text.substr(0, 2) == "\r\n" ? 2 : 1;
}

// A header value with something in it besides blanks and control characters.
bool HasText(std::string_view value) {
    return std::any_of(value.begin(), value.end(), [](char ch) { return static_cast<unsigned char>(ch) > 32; });
}

} // namespace

void TMessageComposer::Compose(const TMailMessage& message, const TLineSink& put) {
    Begin(message);
    PutMessage(put);
}

void TMessageComposer::PutMessage(const TLineSink& put) {
    if (!FSigner) {
        PutHeaderBlock(put);
        put("");
        PutBody(put);
        return;
    }
    // The signature covers the header lines exactly as they go on the wire, folded lines included.
    std::vector<std::string> header;
    PutHeaderBlock([&header](std::string_view line) { header.emplace_back(line); });
    FSigner->PutSigned(header, [this](const TLineSink& body) { PutBody(body); }, put, std::time(nullptr));
}

// The charset depends on the whole message, so the body is read before the header block is made.
void TMessageComposer::Begin(const TMailMessage& message) {
    FBodySource = message.Body;
    FSigner = message.Signer;
    FReader = FBodySource ? FBodySource() : nullptr;
    FBodyPut = false;
    FProblem.clear();
    ReadAhead();
    FHtmlSource = message.Html;
    FAttachments = message.Attachments;
    BeginParts();

    FHeaderLines.Clear();
    OfferHeaderLine("From: ", message.From, true);
    for (const TMailMessage::TField& field : message.Fields)
        OfferHeaderLine(field.Name + ": ", field.Value, field.Name == "Reply-To" || field.Name == "Sender");
    OfferHeaderLine("To: ", message.To, true);
    // An empty Cc line is no header at all (RFC 5322 3.6.3 wants at least one address after "Cc:").
    if (HasText(message.Cc))
        OfferHeaderLine("Cc: ", message.Cc, true);
    OfferHeaderLine("Subject: ", message.Subject, false);
    // RFC 5322 3.6 requires Date; providers refuse or penalise mail without a Message-ID.
    const std::time_t now = std::time(nullptr);
    if (now != FDateMoment) {
        FDateValue = Mime::DateValue(now);
        FDateMoment = now;
    }
    OfferHeaderLine("Date: ", FDateValue, false);
    FMessageId = Mime::NewMessageId(Text::EnvelopeAddress(message.ReturnPath));
    OfferHeaderLine("Message-ID: ", FMessageId, false);
    OfferHeaderLine("Mime-Version: 1.0", {}, false);
    ChooseEncoding();
    if (Multipart()) {
        ChooseBoundaries();
        OfferHeaderLine(FAttachments.empty() ? "Content-Type: multipart/alternative; boundary=\""
                                             : "Content-Type: multipart/mixed; boundary=\"",
                        (FAttachments.empty() ? FAlternativeBoundary : FMixedBoundary) + "\"", false);
    } else {
        OfferHeaderLine("Content-Type: text/plain; charset=\"", std::string(Mime::CharsetName(FCharset)) + "\"",
                        false);
        OfferHeaderLine("Content-Transfer-Encoding: ", EncodingName(FBodyEncoding), false);
    }
    for (size_t i = 0; i < FHeaderLines.Size(); ++i)
        FSizeEstimate += FHeaderLines[i].size() + 2;
    for (size_t i = 0; i < FBody.Size(); ++i)
        FSizeEstimate += FBody[i].size() + 2;
}

const char* TMessageComposer::EncodingName(TBodyEncoding encoding) {
    return encoding == TBodyEncoding::SevenBit ? "7bit" : encoding == TBodyEncoding::EightBit ? "8bit" : "quoted-printable";
}

void TMessageComposer::ChooseEncoding() {
    Mime::TCharset charset = Mime::TCharset::UsAscii;
    for (size_t i = 0; i < FHeaderLines.Size(); ++i)
        charset = Mime::Wider(charset, Mime::CharsetOf(FHeaderLines[i]));
    bool shortLines = true;
    for (size_t i = 0; i < FBody.Size(); ++i) {
        charset = Mime::Wider(charset, Mime::CharsetOf(FBody[i]));
        shortLines = shortLines && FBody[i].size() <= MaxWireLine;
    }
    // The rest of a body longer than the look-ahead is unknown: UTF-8 holds whatever it brings.
    if (!FBodyComplete)
        charset = Mime::TCharset::Utf8;
    FCharset = charset;
    // Quoted-printable unless the whole body is known to fit as it is.
    FBodyEncoding = TBodyEncoding::QuotedPrintable;
    if (FBodyComplete && charset == Mime::TCharset::UsAscii && shortLines)
        FBodyEncoding = TBodyEncoding::SevenBit;
    else if (FBodyComplete && FEightBit && EncodedLinesFit())
        FBodyEncoding = TBodyEncoding::EightBit;
}

// The header lines in the message's charset, encoded and folded where they need it.
void TMessageComposer::PutHeaderBlock(const TLineSink& put) const {
    for (size_t i = 0; i < FHeaderLines.Size(); ++i) {
        const std::string_view line = FHeaderLines[i];
        if (Mime::FitsAsItIs(line))
            put(line);
        else
            for (const std::string& folded : Mime::FoldHeader(Mime::EncodeHeaderLine(line, FCharset)))
                put(folded);
    }
}

void TMessageComposer::OfferHeaderLine(std::string_view head, std::string_view value, bool address) {
    // Built straight in the buffer the handler sees, with room for the lines it may add. An address value goes
    // whole: cut, it would lose its address or the ">" that lets its display name be encoded; encoding and folding
    // keep its lines under the wire's limit. Any other value too long for the handler's line is cut at its end,
    // never inside a character. CR and LF become blanks, as in every value that goes into a line; so do NUL (which
    // would end the value for the handler and cut a quoted name) and the other control characters.
    const size_t total = head.size() + value.size();
    const auto byteAt = [&](size_t i) {
        return static_cast<unsigned char>(i < head.size() ? head[i] : value[i - head.size()]);
    };
    size_t length = address ? total : std::min(total, static_cast<size_t>(MaxLineLength));
    while (length > 0 && length < total && (byteAt(length) & 0xC0) == 0x80)
        --length;
    FHeaderBuffer.assign(length < static_cast<size_t>(LineBufferSize) ? LineBufferSize : length + LineBufferSize, '\0');
    const size_t fromHead = std::min(length, head.size());
    std::memcpy(FHeaderBuffer.data(), head.data(), fromHead);
    for (size_t i = fromHead; i < length; ++i) {
        const char ch = value[i - head.size()];
        const auto byte = static_cast<unsigned char>(ch);
        FHeaderBuffer[i] = (byte < 32 && ch != '\t') || byte == 127 ? ' ' : ch;
    }
    if (OnHeaderLine)
        OnHeaderLine(FHeaderBuffer.data(), static_cast<int>(FHeaderBuffer.size()));
    // Lines the handler appended after CR LF are header lines of their own.
    std::string_view rest(FHeaderBuffer.data(), strnlen(FHeaderBuffer.data(), FHeaderBuffer.size()));
    while (!rest.empty()) {
        const size_t end = LineBreak(rest);
        if (end > 0)
            FHeaderLines.Append(rest.substr(0, end));
        rest.remove_prefix(std::min(rest.size(), end + BreakLength(rest.substr(end))));
    }
}

bool TMessageComposer::ReadLine() {
    if (!FReader || (Proceed && !Proceed()))
        return false;
    bool more = false;
    try {
        more = FReader(FLine);
    } catch (...) {
        more = false; // a failing source ends the body; the final dot and its reply decide
    }
    if (!more)
        return false;
    // A CR or LF inside a line starts a new line here, so each piece is dot-stuffed on its own and a lone "."
    // from the source can never end the message early (RFC 5321 4.5.2). A NUL ends the line: none goes out.
    std::string_view rest(FLine.c_str());
    for (;;) {
        const size_t end = LineBreak(rest);
        FBody.Append(rest.substr(0, end));
        if (end == rest.size())
            break;
        rest.remove_prefix(end + BreakLength(rest.substr(end)));
    }
    return true;
}

void TMessageComposer::ReadAhead() {
    FBody.Clear();
    FBodyComplete = false;
    size_t bytes = 0;
    while (bytes < BodyLookAhead) {
        const size_t before = FBody.Size();
        if (!ReadLine()) {
            FBodyComplete = true;
            return;
        }
        for (size_t i = before; i < FBody.Size(); ++i)
            bytes += FBody[i].size() + 2;
    }
}

bool TMessageComposer::EncodedLinesFit() const {
    for (size_t i = 0; i < FBody.Size(); ++i)
        if (Mime::Encode(FBody[i], FCharset).size() > MaxWireLine)
            return false;
    return true;
}

void TMessageComposer::PutText(const TLineSink& put) {
    bool complete = FBodyComplete;
    if (FBodyPut) {
        // Read once already: from the first line again, in the charset and encoding chosen at Begin.
        FBody.Clear();
        FReader = FBodySource ? FBodySource() : nullptr;
        complete = false;
    }
    FBodyPut = true;
    // The lines read ahead, then the rest of a body longer than the look-ahead as the source hands it out.
    for (size_t i = 0;; ++i) {
        if (i == FBody.Size()) {
            FBody.Clear();
            i = 0;
            if (complete || !ReadLine())
                break;
        }
        if (Proceed && !Proceed())
            break;
        if (FBodyEncoding == TBodyEncoding::QuotedPrintable) {
            for (const std::string& piece : Mime::QuotedPrintable(Mime::Encode(FBody[i], FCharset)))
                put(piece);
        } else if (FBodyEncoding == TBodyEncoding::SevenBit) {
            put(FBody[i]); // ASCII throughout: its bytes are its encoding
        } else {
            put(Mime::Encode(FBody[i], FCharset));
        }
    }
    FBody.Clear();
}
