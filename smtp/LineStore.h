// Lines kept in one buffer: a message's lines are collected and handed out again for every message, so the
// room they need is found once, not one allocation per line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class TLineStore {
public:
    void Append(std::string_view line);
    // Forgets the lines and keeps their room.
    void Clear();
    std::size_t Size() const { return FEnds.size(); }
    // Line i, valid until the next Append or Clear.
    std::string_view operator[](std::size_t i) const;

private:
    std::string FText;
    std::vector<std::size_t> FEnds;
};
