// Lines kept end to end in one buffer, with where each ends.
#include "smtp/LineStore.h"

void TLineStore::Append(std::string_view line) {
    FText.append(line);
    FEnds.push_back(FText.size());
}

void TLineStore::Clear() {
    FText.clear();
    FEnds.clear();
}

std::string_view TLineStore::operator[](std::size_t i) const {
    const std::size_t start = i == 0 ? 0 : FEnds[i - 1];
    return std::string_view(FText).substr(start, FEnds[i] - start);
}
