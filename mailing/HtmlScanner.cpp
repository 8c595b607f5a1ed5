// A small HTML tokenizer (the states of a start tag's attributes) run over the HTML as it is personalised.
#include "mailing/HtmlScanner.h"

#include "mailing/MessageText.h"

#include <algorithm>
#include <array>

namespace {

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Attributes whose value a reader's program follows or loads as a URL.
bool UrlAttribute(std::string_view name) {
    static constexpr std::array<std::string_view, 20> Names{
        "href",   "src",    "action", "formaction", "background", "cite", "poster",   "data", "codebase", "longdesc",
        "usemap", "lowsrc", "dynsrc", "srcset",     "xlink:href", "ping", "manifest", "icon", "classid",  "archive"};
    return std::find(Names.begin(), Names.end(), name) != Names.end();
}

// Only links a reader can follow without harm: web pages and mail addresses.
bool SafeLink(std::string_view value) {
    while (!value.empty() && static_cast<unsigned char>(value.front()) <= 32)
        value.remove_prefix(1);
    std::string start;
    for (size_t i = 0; i < value.size() && i < 8; ++i)
        start += Lower(value[i]);
    return value.empty() || start.starts_with("http://") || start.starts_with("https://") ||
           start.starts_with("mailto:");
}

} // namespace

void THtmlScanner::Advance(const std::string& text) {
    for (; FPos < text.size(); ++FPos)
        Step(text, FPos);
}

void THtmlScanner::Step(const std::string& text, size_t pos) {
    const char c = text[pos];
    switch (FState) {
    case TState::Data:
        if (c == '<')
            FState = TState::TagOpen;
        break;
    case TState::TagOpen:
        if (text.compare(pos, 3, "!--") == 0)
            FState = TState::Comment;
        else
            FState = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '/' ? TState::TagName : TState::Data;
        break;
    case TState::TagName:
        FState = c == '>' ? TState::Data : Blank(c) || c == '/' ? TState::BeforeName : TState::TagName;
        break;
    case TState::BeforeName:
    case TState::AfterName:
        if (c == '>')
            FState = TState::Data;
        else if (c == '=' && FState == TState::AfterName)
            FState = TState::BeforeValue;
        else if (!Blank(c) && c != '/') {
            FAttribute.assign(1, Lower(c));
            FState = TState::Name;
        }
        break;
    case TState::Name:
        if (c == '=')
            FState = TState::BeforeValue;
        else if (c == '>')
            FState = TState::Data;
        else if (Blank(c) || c == '/')
            FState = TState::AfterName;
        else
            FAttribute += Lower(c);
        break;
    case TState::BeforeValue:
        if (c == '"' || c == '\'') {
            FState = c == '"' ? TState::ValueDouble : TState::ValueSingle;
            FValueStart = pos + 1;
        } else if (c == '>') {
            FState = TState::Data;
        } else if (!Blank(c)) {
            FState = TState::ValueUnquoted;
            FValueStart = pos;
        }
        break;
    case TState::ValueDouble:
    case TState::ValueSingle:
        if (c == (FState == TState::ValueDouble ? '"' : '\'')) {
            EndValue(text, pos);
            FState = TState::BeforeName;
        }
        break;
    case TState::ValueUnquoted:
        if (Blank(c) || c == '>') {
            EndValue(text, pos);
            FState = c == '>' ? TState::Data : TState::BeforeName;
        }
        break;
    case TState::Comment:
        if (pos >= 2 && text.compare(pos - 2, 3, "-->") == 0)
            FState = TState::Data;
        break;
    }
}

std::string THtmlScanner::PlaceValue(std::string_view value) {
    std::string placed = MessageText::HtmlEscape(value);
    if (FState == TState::BeforeValue) {
        // The value starts an attribute's value without quotes.
        FState = TState::ValueUnquoted;
        FValueStart = FPos;
    }
    FValueHolds = FValueHolds || FState == TState::ValueDouble || FState == TState::ValueSingle ||
                  FState == TState::ValueUnquoted;
    if (FState == TState::Data || FState == TState::Comment || FState == TState::ValueDouble ||
        FState == TState::ValueSingle)
        return placed;
    std::string safe;
    for (const char c : placed)
        safe += Blank(c) || c == '=' || c == '`' ? "&#" + std::to_string(static_cast<int>(c)) + ";" : std::string(1, c);
    return safe;
}

void THtmlScanner::Finish(const std::string& text) {
    if (FState == TState::ValueUnquoted || FState == TState::ValueDouble || FState == TState::ValueSingle)
        EndValue(text, text.size());
}

void THtmlScanner::EndValue(const std::string& text, size_t end) {
    if (FValueHolds && FProblem.empty() && UrlAttribute(FAttribute)) {
        const std::string value = text.substr(FValueStart, end - FValueStart);
        if (!SafeLink(value))
            FProblem = "link in " + FAttribute + "= is no http, https or mailto address: " + value.substr(0, 60);
    }
    FValueHolds = false;
}
