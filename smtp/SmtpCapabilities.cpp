// EHLO reply lines to keywords (upper case) and their parameters.
#include "smtp/SmtpCapabilities.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char ch) { return std::toupper(ch); });
    return text;
}

} // namespace

void TSmtpCapabilities::Parse(const std::vector<std::string>& lines) {
    FKeywords.clear();
    for (size_t i = 1; i < lines.size(); ++i) {
        // "250-KEYWORD params" or "250 KEYWORD params": the text starts after the code and its separator.
        const std::string& line = lines[i];
        if (line.size() < 5)
            continue;
        std::istringstream words(line.substr(4));
        std::string keyword;
        if (!(words >> keyword))
            continue;
        std::vector<std::string> params;
        // Some servers still announce "AUTH=LOGIN PLAIN" beside or instead of "AUTH LOGIN PLAIN".
        if (const size_t equals = keyword.find('='); equals != std::string::npos) {
            params.push_back(keyword.substr(equals + 1));
            keyword.resize(equals);
        }
        for (std::string word; words >> word;)
            params.push_back(word);
        std::vector<std::string>& known = FKeywords[Upper(keyword)];
        known.insert(known.end(), params.begin(), params.end());
    }
}

bool TSmtpCapabilities::Has(const std::string& keyword) const {
    return FKeywords.count(Upper(keyword)) != 0;
}

std::vector<std::string> TSmtpCapabilities::Params(const std::string& keyword) const {
    const auto found = FKeywords.find(Upper(keyword));
    return found == FKeywords.end() ? std::vector<std::string>() : found->second;
}

std::vector<std::string> TSmtpCapabilities::AuthMechanisms() const {
    std::vector<std::string> mechanisms;
    for (const std::string& param : Params("AUTH")) {
        const std::string name = Upper(param);
        if (!name.empty() && std::find(mechanisms.begin(), mechanisms.end(), name) == mechanisms.end())
            mechanisms.push_back(name);
    }
    return mechanisms;
}
