// Where a value lands in HTML being written: text, a tag, or an attribute's value (quoted or not). Enough of the
// HTML tokenizer to escape a record's value for its place and to judge the links it makes.
#pragma once

#include <string>
#include <string_view>

class THtmlScanner {
public:
    // Reads the text written since the last call (text only grows between calls).
    void Advance(const std::string& text);
    // The value as it may go where the text stands now: HTML-escaped, and where no quotes close an attribute
    // (or inside a tag) blanks, "=" and "`" as character references too. Notes it for the link check.
    std::string PlaceValue(std::string_view value);
    // The end of the text: an unquoted value still open ends here.
    void Finish(const std::string& text);

    bool InUnquotedValue() const { return FState == TState::ValueUnquoted || FState == TState::BeforeValue; }
    const std::string& AttributeName() const { return FAttribute; }
    // Why a link made with a value is refused (its scheme is not http, https or mailto); empty when none is.
    const std::string& Problem() const { return FProblem; }

private:
    enum class TState {
        Data,
        TagOpen,
        TagName,
        BeforeName,
        Name,
        AfterName,
        BeforeValue,
        ValueDouble,
        ValueSingle,
        ValueUnquoted,
        Comment
    };

    void Step(const std::string& text, size_t pos);
    void EndValue(const std::string& text, size_t end);

    TState FState = TState::Data;
    size_t FPos = 0;
    std::string FAttribute; // lower case
    size_t FValueStart = 0;
    bool FValueHolds = false; // a value was placed into the attribute's value
    std::string FProblem;
};
