// A message body of lines fixed in advance, read from its first line at every reading.
#pragma once

#include "smtp/MailMessage.h"

#include <memory>
#include <string>
#include <vector>

inline TMailMessage::TBodySource BodyLines(std::vector<std::string> lines) {
    // Shared by every reading, so a caller's temporary list may go.
    return [shared = std::make_shared<const std::vector<std::string>>(std::move(lines))] {
        return TMailMessage::TLineReader([shared, next = size_t(0)](std::string& line) mutable {
            if (next == shared->size())
                return false;
            line = (*shared)[next++];
            return true;
        });
    };
}
