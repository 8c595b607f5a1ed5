// Benchmark of the pre-flight summary: summarises a recipient table (as bench_table generates it) with every
// field mapped and a personalised body, and prints the time it took and the figures it found.
#include "mailing/PreflightSummary.h"
#include "bench/CpuTime.h"
#include "table/XbaseEnv.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_preflight FILE\n");
        return 2;
    }
    TXbaseEnv env;
    env.SetDeleted(true);
    TPreflightMailing mailing;
    mailing.TablePath = argv[1];
    mailing.CodePage = "CP1252"; // every field converted, as the wizard reads a table
    mailing.NameField = "NAME";
    mailing.OrganizationField = "ORG";
    mailing.EmailField = "EMAIL";
    mailing.DearField = "DEAR";
    mailing.Subject = "Autumn news for %O";
    mailing.Body = "%D %N,\r\n\r\nthe autumn catalogue of %O is out, and we would like to send it to you at %E.\r\n"
                   "Reply to this message and it is on its way.\r\n\r\nKind regards,\r\nAnna Berg";
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    const TPreflightSummary summary(mailing);
    const double cpu = CpuSeconds() - cpuStart;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("records=%d wall_seconds=%.3f cpu_seconds=%.3f duplicates=%d longest=%d\n", summary.Records(), seconds,
                cpu, summary.Duplicates(), summary.LongestLine());
    return 0;
}
