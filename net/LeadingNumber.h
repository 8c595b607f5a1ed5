// The number a text of the socket layer starts with, as port and protocol numbers and wait counts are read.
#pragma once

#include <climits>
#include <string_view>

namespace Net {

// Leading blanks skipped, then decimal digits up to the first other character; no sign; 0 without digits.
// Digits naming more than the largest int give the largest int, never a wrapped value.
inline int LeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    long long n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        n = n * 10 + (text[i] - '0');
        if (n > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(n);
}

} // namespace Net
