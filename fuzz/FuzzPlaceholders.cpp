// libFuzzer target for the placeholders and the wrapped body feed. The input is a template, a NUL and a value (at
// most one NUL read). Every placeholder and {FIELD} gets the value: it must go in literally, never expanded again
// (the same template with a marker for the value, the marker replaced afterwards, gives the same text). The HTML
// version must not crash, and the feed over the personalised text must end, with no line over 998 bytes.
#include "mailing/MessageText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

std::string Replaced(std::string text, const std::string& marker, const std::string& value) {
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t at = text.find(marker, start);
        out += text.substr(start, at == std::string::npos ? std::string::npos : at - start);
        if (at == std::string::npos)
            return out;
        out += value;
        start = at + marker.size();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string source = input.substr(0, split);
    const std::string value = split == std::string::npos ? std::string() : input.substr(split + 1);
    // A marker that is no blank, as the value is none: {FIELD|text} takes text for a blank value.
    const std::string marker = "\x7f";
    const bool blank =
        std::all_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) <= 32; });
    if (source.find(marker) != std::string::npos || blank)
        return 0;
    const auto with = [](const std::string& v) {
        return std::make_pair(
            MessageText::FieldLookup([v](char) { return v; }),
            MessageText::NamedLookup([v](std::string_view) { return std::optional<std::string>(v); }));
    };
    const auto [field, named] = with(value);
    const auto [markField, markNamed] = with(marker);
    Check(MessageText::Personalise(source, field, named) ==
              Replaced(MessageText::Personalise(source, markField, markNamed), marker, value),
          "a value was expanded again");
    Check(MessageText::ExpandFields(source, named) ==
              Replaced(MessageText::ExpandFields(source, markNamed), marker, value),
          "a value was expanded again by ExpandFields");
    std::string problem;
    MessageText::PersonaliseHtml(source, field, named, problem);
    MessageText::UnquotedAttributeFields(source);

    const std::string text = MessageText::Personalise(source, field, named) + "\r\n";
    const int width = size > 0 ? data[0] % 100 : 80;
    std::size_t pos = 0;
    bool more = true;
    for (std::size_t calls = 0; more; ++calls) {
        const std::string line = MessageText::NextBodyLine(text, pos, width, 998, more);
        Check(line.size() <= 998, "a body line over 998 bytes");
        Check(calls <= text.size() + 1, "the body feed does not advance");
    }
    Check(pos == text.size(), "the feed stopped before the end");
    return 0;
}
