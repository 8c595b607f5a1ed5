// A file as a base64 MIME part, streamed from the disk.
#include "smtp/AttachmentPart.h"

#include "framework/core/Text.h"
#include "smtp/MessageFile.h"

#include <QList>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace {

// Bytes read at a time: a multiple of 3, so that only the file's last piece has padding.
constexpr size_t PieceBytes = 57 * 1024;

// A longer name= or filename= line would need folding inside its quotes: the name goes as filename* pieces.
constexpr size_t MaxPlainName = 200;

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsPlainAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126)
            return false;
    return true;
}

// The characters RFC 2231 lets stand for themselves in an extended value; every other byte is %XX.
bool IsAttributeChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$&+-.^_`|~", c) != nullptr;
}

std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

// filename* in pieces of at most 60 characters (RFC 2231 3 and 4). A character's %XX triplets stay in one piece:
// readers decode each piece on its own.
std::vector<std::string> ExtendedFilename(std::string_view name) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::vector<std::string> pieces{"UTF-8''"};
    for (size_t pos = 0; pos < name.size();) {
        std::string token;
        for (const size_t end = pos + Text::CharacterBytes(name, pos); pos < end; ++pos) {
            const auto c = static_cast<unsigned char>(name[pos]);
            if (IsAttributeChar(c))
                token += static_cast<char>(c);
            else
                token += std::string{'%', Hex[c >> 4], Hex[c & 15]};
        }
        if (pieces.back().size() + token.size() > 60)
            pieces.emplace_back();
        pieces.back() += token;
    }
    std::vector<std::string> lines;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::string attribute = pieces.size() == 1 ? "filename*=" : "filename*" + std::to_string(i) + "*=";
        lines.push_back(" " + attribute + pieces[i] + (i + 1 < pieces.size() ? ";" : ""));
    }
    return lines;
}

// Letters without a decomposition that readers still expect in a Latin spelling.
const char* LatinSpelling(char32_t c) {
    switch (c) {
    case U'ß':
        return "ss";
    case U'æ':
        return "ae";
    case U'Æ':
        return "AE";
    case U'œ':
        return "oe";
    case U'Œ':
        return "OE";
    case U'ø':
        return "o";
    case U'Ø':
        return "O";
    case U'ł':
        return "l";
    case U'Ł':
        return "L";
    case U'đ':
        return "d";
    case U'Đ':
        return "D";
    default:
        return "_";
    }
}

// The name in printable ASCII for name=, which older readers show: accents dropped, other characters "_"; a long
// name keeps its start and its extension. filename* carries the name as it is.
std::string AsciiName(std::string_view name) {
    std::string ascii;
    for (const char32_t c : QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()))
                                .normalized(QString::NormalizationForm_KD)
                                .toUcs4()) {
        if (c >= 32 && c < 127)
            ascii += static_cast<char>(c);
        else if (!QChar::isMark(c))
            ascii += LatinSpelling(c);
    }
    if (ascii.size() <= MaxPlainName)
        return ascii;
    const size_t dot = ascii.rfind('.');
    const std::string extension = dot != std::string::npos && ascii.size() - dot <= 10 ? ascii.substr(dot) : "";
    return ascii.substr(0, MaxPlainName - extension.size()) + extension;
}

} // namespace

std::string TAttachmentPart::DisplayName(const TMailMessage::TAttachment& attachment) {
    if (!attachment.Name.empty())
        return attachment.Name;
    return std::filesystem::path(attachment.Path).filename().string();
}

bool TAttachmentPart::Open(const TMailMessage::TAttachment& attachment) {
    FAttachment = attachment;
    FFile.reset();
    FOffset = 0;
    FPending.clear();
    FPendingPos = 0;
    FFailed = false;
    FError.clear();
    if (attachment.Base64)
        return true;
    FFile = attachment.File;
    if (!FFile) {
        std::string problem;
        errno = 0;
        FFile = TMessageFile::Open(attachment.Path, problem);
        if (!FFile) {
            FError = errno == ENOENT ? "attachment not found: " + attachment.Path
                                     : "attachment cannot be read: " + attachment.Path + " (" + problem + ")";
            return false;
        }
    }
    FFileSize = FFile->Size();
    return true;
}

std::vector<std::string> TAttachmentPart::HeaderLines() const {
    std::string name = DisplayName(FAttachment);
    const std::string type = FAttachment.ContentType.empty() ? "application/octet-stream" : FAttachment.ContentType;
    std::vector<std::string> lines;
    if (IsPlainAscii(name) && name.size() <= MaxPlainName) {
        lines = {"Content-Type: " + type + ";", " name=" + Quoted(name), "Content-Transfer-Encoding: base64",
                 "Content-Disposition: attachment;", " filename=" + Quoted(name)};
        return lines;
    }
    // Control characters have no place in a name; a reader would show them as boxes, or cut the name there.
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '_';
    // Current readers read filename* (RFC 2231); name= stays plain ASCII, as an encoded-word inside its quotes
    // would be no encoded-word at all (RFC 2047 5).
    lines = {"Content-Type: " + type + ";", " name=" + Quoted(AsciiName(name)), "Content-Transfer-Encoding: base64",
             "Content-Disposition: attachment;"};
    for (std::string& line : ExtendedFilename(name))
        lines.push_back(std::move(line));
    return lines;
}

bool TAttachmentPart::Refill() {
    FPending.erase(0, FPendingPos);
    FPendingPos = 0;
    if (!FFile)
        return false;
    std::string piece(PieceBytes, '\0');
    const long long read = FFile->ReadAt(FOffset, piece.data(), piece.size());
    if (read < static_cast<long long>(piece.size())) {
        FFailed = read < 0;
        FFile.reset();
    }
    if (read <= 0)
        return false;
    FOffset += static_cast<uint64_t>(read);
    AppendBase64(std::string_view(piece.data(), static_cast<size_t>(read)), FPending);
    return true;
}

bool TAttachmentPart::NextLine(std::string& line) {
    if (FAttachment.Base64) {
        const std::string& all = *FAttachment.Base64;
        if (FPendingPos >= all.size())
            return false;
        line.assign(all, FPendingPos, LineLength);
        FPendingPos += line.size();
        return true;
    }
    if (FPending.size() - FPendingPos < LineLength && FFile)
        Refill();
    if (FFailed || FPendingPos >= FPending.size())
        return false;
    line.assign(FPending, FPendingPos, LineLength);
    FPendingPos += line.size();
    return true;
}

uint64_t TAttachmentPart::WireSize() const {
    const uint64_t encoded = FAttachment.Base64 ? FAttachment.Base64->size() : (FFileSize + 2) / 3 * 4;
    return encoded + (encoded + LineLength - 1) / LineLength * 2;
}

void TAttachmentPart::AppendBase64(std::string_view bytes, std::string& out) {
    out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += Alphabet[n >> 18];
        out += Alphabet[(n >> 12) & 63];
        out += Alphabet[(n >> 6) & 63];
        out += Alphabet[n & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                           (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0);
        out += Alphabet[n >> 18];
        out += Alphabet[(n >> 12) & 63];
        out += two ? Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
}

std::shared_ptr<const std::string> TAttachmentPart::EncodeFile(const std::string& path) {
    TAttachmentPart part;
    if (!part.Open({path, {}, {}, nullptr, nullptr}))
        throw std::runtime_error(part.Error());
    auto encoded = std::make_shared<std::string>();
    encoded->reserve(part.WireSize());
    while (part.Refill()) {
        encoded->append(part.FPending);
        part.FPending.clear();
    }
    if (part.FFailed)
        throw std::runtime_error("attachment cannot be read: " + path);
    return encoded;
}
