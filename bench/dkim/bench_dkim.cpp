// CPU seconds per 1,000 signed 1 KB messages, and the CPU time and peak memory of signing one large message
// whose body is made line by line as it goes out. Usage: bench_dkim KEYFILE [COUNT [MEBIBYTES]]. Prints lines
// for bench/run-dkim.sh to set beside its peer's.
#include "bench/CpuTime.h"
#include "smtp/DkimSigner.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> Header{"From: Sender <sender@example.org>",
                                      "To: Rcpt <rcpt@example.org>",
                                      "Subject: Benchmark",
                                      "Date: Mon, 07 Dec 2026 11:00:43 +0100",
                                      "Message-ID: <bench.1@example.org>",
                                      "Mime-Version: 1.0",
                                      "Content-Type: text/plain; charset=\"us-ascii\"",
                                      "Content-Transfer-Encoding: 7bit"};

// Peak resident memory of this process so far, in KiB.
long PeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_dkim KEYFILE [COUNT [MEBIBYTES]]\n");
        return 2;
    }
    const int count = argc > 2 ? std::stoi(argv[2]) : 2000;
    const long mebibytes = argc > 3 ? std::stol(argv[3]) : 64;
    const TDkimSigner signer("example.org", "bench", argv[1]);
    size_t sent = 0;
    const auto sink = [&sent](std::string_view line) { sent += line.size() + 2; };

    // The body of the smtp benchmark: 16 lines of 62 characters, 1 KB with their line ends.
    const auto small = [](const TDkimSigner::TLineSink& put) {
        for (int i = 0; i < 16; ++i)
            put(std::string(2, static_cast<char>('a' + i)) + std::string(60, 'x'));
    };
    const double cpuStarted = CpuSeconds();
    for (int i = 0; i < count; ++i)
        signer.PutSigned(Header, small, sink, 1796641243);
    const double cpu = CpuSeconds() - cpuStarted;
    std::printf("TDkimSigner %-8s %6d messages of 1 KB  %7.3f CPU s per 1000 messages\n", signer.Key().Algorithm(),
                count, cpu * 1000.0 / count);

    // A large body made as it goes out, as the composer streams one; read twice, held never.
    const long lines = mebibytes * 1024 * 1024 / 64;
    const auto large = [lines](const TDkimSigner::TLineSink& put) {
        std::string line(62, 'y');
        for (long i = 0; i < lines; ++i) {
            line.replace(0, 13, std::to_string(1000000000000 + i));
            put(line);
        }
    };
    const long peakBefore = PeakKiB();
    const double bigStarted = CpuSeconds();
    sent = 0;
    signer.PutSigned(Header, large, sink, 1796641243);
    std::printf("TDkimSigner %-8s %6ld MiB body  %7.3f CPU s  peak memory grew by %ld KiB (%zu bytes out)\n",
                signer.Key().Algorithm(), mebibytes, CpuSeconds() - bigStarted, PeakKiB() - peakBefore, sent);
    return 0;
}
