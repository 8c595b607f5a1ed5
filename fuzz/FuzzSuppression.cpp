// libFuzzer target for the suppression list: a file of any bytes as a text or CSV list (byte 0 picks the form, and
// a UTF-16 mark in front), then addresses appended to it. What was appended must be found by the next read, and
// appending the same again adds nothing. Input: a mode byte, a length byte, that many bytes of
// file, then the addresses one a line.
#include "framework/core/Text.h"
#include "mailing/AddressSyntax.h"
#include "mailing/SuppressionList.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const int mode = data[0];
    const std::size_t fileBytes = std::min<std::size_t>(data[1], size - 2);
    std::string file(reinterpret_cast<const char*>(data + 2), fileBytes);
    if (mode & 2)
        file.insert(0, "\xFF\xFE"); // a UTF-16 file: its own bytes follow the mark
    const std::string rest(reinterpret_cast<const char*>(data + 2 + fileBytes), size - 2 - fileBytes);
    std::vector<std::string> addresses;
    for (std::size_t start = 0; start <= rest.size();) {
        const std::size_t end = std::min(rest.find('\n', start), rest.size());
        addresses.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    const QString path = QStringLiteral("/tmp/fuzz-suppression-%1.%2").arg(::getpid()).arg(mode & 1 ? "csv" : "txt");
    {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        out.write(file.data(), static_cast<qint64>(file.size()));
    }
    try {
        TSuppressionList::AppendTo(path, addresses);
    } catch (const ESuppressionListError&) {
        return 0; // a file the reader refuses is not appended to
    }
    try {
        const TSuppressionList list(path);
        // Every ASCII address goes in; one of other letters may not fit a Windows-1252 list and is left out, but
        // one written and not read back would be appended again below.
        for (const std::string& address : addresses)
            if (AddressSyntax::Problem(Text::Trim(address)).empty() && !list.Contains(address) &&
                std::all_of(address.begin(), address.end(), [](char c) { return c > 0; })) {
                std::fprintf(stderr, "appended but not found: [%s]\n", address.c_str());
                std::abort();
            }
        if (TSuppressionList::AppendTo(path, addresses) != 0) {
            std::fprintf(stderr, "appended twice\n");
            std::abort();
        }
    } catch (const ESuppressionListError& error) {
        std::fprintf(stderr, "the list refuses what was appended to it: %s\n", error.what());
        std::abort();
    }
    return 0;
}
