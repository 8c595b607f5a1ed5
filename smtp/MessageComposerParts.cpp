// The multipart body of a message with an HTML version or files: the text, the HTML and each file as a part.
#include "smtp/MessageComposer.h"

#include <random>

namespace {

// "=_" occurs in neither base64 nor quoted-printable, so only parts that go unencoded need to be looked at.
std::string NewBoundary() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char Hex[] = "0123456789abcdef";
    std::string boundary = "=_qm";
    for (uint64_t bits = random(), i = 0; i < 16; ++i, bits >>= 4)
        boundary += Hex[bits & 15];
    return boundary;
}

bool Occurs(const TLineStore& lines, const std::string& boundary) {
    for (size_t i = 0; i < lines.Size(); ++i)
        if (lines[i].substr(0, 2) == "--" && lines[i].find(boundary) != std::string_view::npos)
            return true;
    return false;
}

} // namespace

std::string TMessageComposer::SizeText(uint64_t bytes) {
    if (bytes < 1024)
        return std::to_string(bytes) + " bytes";
    if (bytes < 1024 * 1024)
        return std::to_string((bytes + 1023) / 1024) + " KB";
    const uint64_t tenths = (bytes * 10 + 1024 * 1024 - 1) / (1024 * 1024);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

void TMessageComposer::BeginParts() {
    FHtml.Clear();
    FSizeEstimate = 0;
    if (FHtmlSource) {
        const TMailMessage::TLineReader reader = FHtmlSource();
        std::string line;
        bool shortLines = true;
        FHtmlCharset = Mime::TCharset::UsAscii;
        while (reader && reader(line)) {
            // A line break inside a line starts a new one, as in the text.
            for (size_t start = 0;;) {
                const size_t end = line.find_first_of("\r\n", start);
                const std::string_view piece = std::string_view(line).substr(start, end - start);
                FHtml.Append(piece);
                FHtmlCharset = Mime::Wider(FHtmlCharset, Mime::CharsetOf(piece));
                shortLines = shortLines && piece.size() <= MaxWireLine;
                FSizeEstimate += piece.size() + 2;
                if (end == std::string::npos)
                    break;
                start = end + (line.compare(end, 2, "\r\n") == 0 ? 2 : 1);
            }
        }
        FHtmlEncoding = FHtmlCharset == Mime::TCharset::UsAscii && shortLines ? TBodyEncoding::SevenBit
                                                                              : TBodyEncoding::QuotedPrintable;
    }
    for (const TMailMessage::TAttachment& attachment : FAttachments) {
        TAttachmentPart part;
        if (!part.Open(attachment)) {
            if (FProblem.empty())
                FProblem = part.Error();
            continue;
        }
        FSizeEstimate += part.WireSize() + 300; // its boundary and header lines
    }
}

void TMessageComposer::ChooseBoundaries() {
    const auto fresh = [this] {
        for (;;) {
            std::string boundary = NewBoundary();
            if ((FBodyEncoding == TBodyEncoding::QuotedPrintable || !Occurs(FBody, boundary)) &&
                (FHtmlEncoding == TBodyEncoding::QuotedPrintable || !Occurs(FHtml, boundary)))
                return boundary;
        }
    };
    FMixedBoundary = fresh();
    FAlternativeBoundary = fresh();
}

void TMessageComposer::PutBody(const TLineSink& put) {
    if (!Multipart()) {
        PutText(put);
        return;
    }
    // Shown by a reader that knows no MIME.
    put("This is a message in MIME format.");
    put("");
    const bool mixed = !FAttachments.empty();
    if (mixed && FHtmlSource) {
        put("--" + FMixedBoundary);
        put("Content-Type: multipart/alternative; boundary=\"" + FAlternativeBoundary + "\"");
        put("");
    }
    put("--" + (FHtmlSource ? FAlternativeBoundary : FMixedBoundary));
    put(std::string("Content-Type: text/plain; charset=\"") + Mime::CharsetName(FCharset) + "\"");
    put(std::string("Content-Transfer-Encoding: ") + EncodingName(FBodyEncoding));
    put("");
    PutText(put);
    if (FHtmlSource) {
        put("--" + FAlternativeBoundary);
        put(std::string("Content-Type: text/html; charset=\"") + Mime::CharsetName(FHtmlCharset) + "\"");
        put(std::string("Content-Transfer-Encoding: ") + EncodingName(FHtmlEncoding));
        put("");
        PutHtml(put);
        put("--" + FAlternativeBoundary + "--");
    }
    for (const TMailMessage::TAttachment& attachment : FAttachments) {
        if ((Proceed && !Proceed()) || !FProblem.empty())
            return;
        put("--" + FMixedBoundary);
        PutAttachment(attachment, put);
    }
    if (mixed)
        put("--" + FMixedBoundary + "--");
}

void TMessageComposer::PutHtml(const TLineSink& put) {
    for (size_t i = 0; i < FHtml.Size(); ++i) {
        if (Proceed && !Proceed())
            return;
        if (FHtmlEncoding == TBodyEncoding::SevenBit)
            put(FHtml[i]);
        else
            for (const std::string& piece : Mime::QuotedPrintable(Mime::Encode(FHtml[i], FHtmlCharset)))
                put(piece);
    }
}

void TMessageComposer::PutAttachment(const TMailMessage::TAttachment& attachment, const TLineSink& put) {
    TAttachmentPart part;
    if (!part.Open(attachment)) {
        FProblem = part.Error();
        return;
    }
    for (const std::string& line : part.HeaderLines())
        put(line);
    put("");
    std::string line;
    while (part.NextLine(line)) {
        if (Proceed && !Proceed())
            return;
        put(line);
    }
    if (part.Failed())
        FProblem = "attachment could not be read to its end: " + attachment.Path;
}
