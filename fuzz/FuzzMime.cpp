// libFuzzer target for the header encoder and the composer. The input is a display name, a subject and an
// attachment name, separated by NULs (more NULs stay in the values). The composed message must keep every line
// within 998 octets, hold no CR or LF inside a line, and have no encoded-word longer than 75 characters; a header
// line encoded and folded on its own the same.
#include "smtp/MessageComposer.h"
#include "smtp/Mime.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

void CheckLine(std::string_view line) {
    bool bad = line.size() > 998 || line.find_first_of("\r\n") != std::string_view::npos;
    for (std::size_t start = line.find("=?"); !bad && start != std::string_view::npos;
         start = line.find("=?", start + 2)) {
        // An encoded-word: =?charset?Q?text?= (the charset and encoding hold no "?").
        const std::size_t q1 = line.find('?', start + 2);
        const std::size_t q2 = q1 == std::string_view::npos ? q1 : line.find('?', q1 + 1);
        const std::size_t end = q2 == std::string_view::npos ? q2 : line.find("?=", q2 + 1);
        if (end == std::string_view::npos || q2 - q1 != 2 ||
            line.substr(start, end - start).find(' ') != std::string_view::npos)
            continue;
        bad = end + 2 - start > 75;
        start = end;
    }
    if (bad) {
        std::fprintf(stderr, "bad line (%zu bytes): %.*s\n", line.size(),
                     static_cast<int>(std::min<std::size_t>(line.size(), 200)), line.data());
        std::abort();
    }
}

const std::string& AttachedFile() {
    static const std::string path = [] {
        const std::string p = "/tmp/fuzz-mime-" + std::to_string(::getpid());
        if (std::FILE* f = std::fopen(p.c_str(), "wb")) {
            std::fputs("x", f);
            std::fclose(f);
        }
        return p;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t a = input.find('\0');
    const std::size_t b = a == std::string::npos ? a : input.find('\0', a + 1);
    const std::string name = input.substr(0, a);
    const std::string subject = a == std::string::npos ? std::string() : input.substr(a + 1, b - a - 1);
    const std::string file = b == std::string::npos ? std::string() : input.substr(b + 1);

    for (const std::string& line : {"Subject: " + subject, "To: " + name + " <anna@example.org>"})
        for (const Mime::TCharset charset : {Mime::TCharset::UsAscii, Mime::TCharset::Latin1, Mime::TCharset::Utf8})
            if (line.find_first_of("\r\n") == std::string::npos)
                for (const std::string& folded : Mime::FoldHeader(Mime::EncodeHeaderLine(line, charset)))
                    CheckLine(folded);

    TMailMessage message;
    message.ReturnPath = "news@example.org";
    message.Recipients = {"anna@example.org"};
    message.From = "News <news@example.org>";
    message.To = name + " <anna@example.org>";
    message.Subject = subject;
    message.Fields = {{"Organization", subject}};
    message.Body = [] {
        return [done = false](std::string& line) mutable {
            line = "Hello";
            return !std::exchange(done, true);
        };
    };
    if (!file.empty())
        message.Attachments = {{AttachedFile(), file, "application/pdf", nullptr}};
    TMessageComposer composer;
    composer.Compose(message, [](std::string_view line) { CheckLine(line); });
    return 0;
}
