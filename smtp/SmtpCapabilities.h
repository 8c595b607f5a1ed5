// The service extensions a server announced in its EHLO reply (RFC 5321 4.1.1.1).
#pragma once

#include <map>
#include <string>
#include <vector>

class TSmtpCapabilities {
public:
    // The lines of a 250 reply to EHLO; the first line greets and announces nothing.
    void Parse(const std::vector<std::string>& lines);
    void Clear() { FKeywords.clear(); }
    bool Empty() const { return FKeywords.empty(); }
    // keyword in any case.
    bool Has(const std::string& keyword) const;
    // The words after keyword, as announced.
    std::vector<std::string> Params(const std::string& keyword) const;
    // The login mechanisms, upper case, from "AUTH ..." and the older form "AUTH=...".
    std::vector<std::string> AuthMechanisms() const;

private:
    std::map<std::string, std::vector<std::string>> FKeywords;
};
