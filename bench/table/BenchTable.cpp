// Benchmark of the table layer: generates a recipient table through the engine, or walks one with a
// table reading four fields as text, and prints records per second and the peak memory.
#include "bench/CpuTime.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"
#include "table/engine/XbEngine.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace {

std::string Padded(const std::string& text, std::size_t width) {
    std::string value = text.substr(0, width);
    value.resize(width, ' ');
    return value;
}

// The header comes from the engine's create; the records are then written in one stream, which is what
// a bulk import would do (a million single appends would time the disk, not the reader).
int Generate(const std::string& path, long count) {
    if (xb_CreateNew(path, "XXXXXXXXXX", 2, 4) == 0)
        return 1;
    xb_CreateField("NAME", "C", 30, 0);
    xb_CreateField("ORG", "C", 40, 0);
    xb_CreateField("EMAIL", "C", 50, 0);
    xb_CreateField("DEAR", "C", 20, 0);
    if (xb_CreateExec() == 0) {
        std::fprintf(stderr, "%s\n", xb_ErrorText().c_str());
        return 1;
    }
    xb_Close();
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    const std::streamoff header = 32 + 4 * 32 + 1;
    file.seekp(header);
    std::string block;
    for (long i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        block += ' ';
        block += Padded("Recipient Number " + n, 30);
        block += Padded("Organisation " + std::to_string(i % 977), 40);
        block += Padded("recipient" + n + "@example.org", 50);
        block += Padded(i % 2 ? "Dear Ms" : "Dear Mr", 20);
        if (block.size() > (1 << 20) || i == count) {
            file.write(block.data(), static_cast<std::streamsize>(block.size()));
            block.clear();
        }
    }
    file.put('\x1A');
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(count & 0xFF), static_cast<unsigned char>(count >> 8 & 0xFF),
        static_cast<unsigned char>(count >> 16 & 0xFF), static_cast<unsigned char>(count >> 24 & 0xFF)};
    file.seekp(4);
    file.write(reinterpret_cast<const char*>(bytes), 4);
    return file.good() ? 0 : 1;
}

// Rates are per CPU second: the machine is shared, and wall time would measure the neighbours.
int Walk(const std::string& path) {
    TXbaseEnv env;
    env.SetDeleted(true);
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    TTable table;
    table.SetTableName(path);
    table.SetTableType(ttXbFOX);
    table.SetReadOnly(true);
    table.SetActive(true);
    long records = 0;
    std::size_t bytes = 0;
    // The wizard holds the mapped field names as texts, as here.
    const std::string names[] = {"NAME", "ORG", "EMAIL", "DEAR"};
    for (; !table.Eof(); table.Next(), ++records)
        for (const std::string& name : names)
            bytes += table.FieldByName(name).AsString().size();
    const double cpu = CpuSeconds() - cpuStart;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("records=%ld wall_seconds=%.3f cpu_seconds=%.3f rate=%.0f peak_kb=%ld text_bytes=%zu\n", records,
                seconds, cpu, records / cpu, usage.ru_maxrss, bytes);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "generate") == 0)
        return Generate(argv[2], std::stol(argv[3]));
    if (argc == 3 && std::strcmp(argv[1], "walk") == 0)
        return Walk(argv[2]);
    std::fprintf(stderr, "usage: bench_table generate FILE COUNT | bench_table walk FILE\n");
    return 2;
}
