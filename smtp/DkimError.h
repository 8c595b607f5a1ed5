// The exception of DKIM signing: a key, domain or selector that cannot sign, in words for the user.
#pragma once

#include <stdexcept>
#include <string>

// A DKIM failure; its message is a sentence meant for a person.
class EDkimError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string Message() const { return what(); }
};
