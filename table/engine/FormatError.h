// A table or memo file whose bytes cannot be trusted; the message says what is wrong in the user's words.
#pragma once

#include <stdexcept>
#include <string>

class EFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
