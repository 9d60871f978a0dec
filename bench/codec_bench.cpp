// Throughput of the codec (compress, decompress, scramble) and of the
// request read on messages of about 10 MB, the largest a request can be.
//
// The messages look like claims: printable text with runs of blanks and
// zeros of every length. Each benchmark reports bytes per second of the
// message it works on.
#include "engine/request_file.h"
#include "foundation/codec.h"
#include "foundation/runtime.h"
#include "foundation/status.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t MESSAGE_SIZE = 9'999'999;  // the longest length A07 can declare

// A claim-like message: a version 04 code 09 header, then text with runs.
std::string makeMessage(std::size_t length)
{
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> kind(0, 19), runLen(1, 40), printable(33, 126);
    std::string m;
    m.reserve(length);
    char head[64];
    std::snprintf(head, sizeof head, "123456789012000123040961000000 2%07zu", length);
    m = head;
    m.resize(44, 'x');
    m += "PROV00001OFF1";
    while (m.size() < length) {
        int k = kind(rng);
        if (k == 0) {
            m.append(static_cast<std::size_t>(runLen(rng)), ' ');
        } else if (k == 1) {
            m.append(static_cast<std::size_t>(runLen(rng)), '0');
        } else {
            m.push_back(static_cast<char>(printable(rng)));
        }
    }
    m.resize(length);
    return m;
}

// A private directory for the benchmark's files, removed at exit.
struct Scratch {
    std::string dir;
    Scratch()
    {
        std::string tmpl = (fs::temp_directory_path() / "qzr-bench-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) std::abort();
        dir = buf.data();
    }
    ~Scratch()
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

Scratch& scratch()
{
    static Scratch s;
    return s;
}

void BM_cda_compress(benchmark::State& state)
{
    const std::string original = makeMessage(MESSAGE_SIZE);
    std::vector<char> buf(original.begin(), original.end());
    int packed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(buf.data(), original.data(), original.size());
        state.ResumeTiming();
        packed = qzr::cda_compress(buf.data(), static_cast<int>(buf.size()));
        benchmark::DoNotOptimize(packed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(original.size()));
    state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(original.size());
}
BENCHMARK(BM_cda_compress)->Unit(benchmark::kMillisecond);

void BM_cda_decompress(benchmark::State& state)
{
    const std::string original = makeMessage(MESSAGE_SIZE);
    std::string packed = original;
    packed.resize(static_cast<std::size_t>(qzr::cda_compress(packed.data(), static_cast<int>(packed.size()))));
    std::vector<char> buf(original.size() + 1);
    int length = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(buf.data(), packed.data(), packed.size());
        state.ResumeTiming();
        char* start = nullptr;
        int sts = qzr::cda_decompress(buf, static_cast<int>(packed.size()), &start, &length);
        if (sts != qzr::STS_OK) state.SkipWithError("decompression failed");
        benchmark::DoNotOptimize(start);
    }
    if (std::memcmp(buf.data() + 1, original.data(), original.size()) != 0) state.SkipWithError("round trip differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BM_cda_decompress)->Unit(benchmark::kMillisecond);

void BM_cda_encrypt(benchmark::State& state)
{
    qzr::ExeDir = scratch().dir;
    {
        std::ofstream mixer(scratch().dir + "/CDA-ZAVI.CFG", std::ios::binary);
        for (int i = 0; i < 256; ++i) mixer.put(static_cast<char>(i * 37 + 11));
    }
    std::string msg = makeMessage(MESSAGE_SIZE);
    for (auto _ : state) {
        int sts = qzr::cda_encrypt(msg.data(), static_cast<int>(msg.size()));
        if (sts != qzr::STS_OK) state.SkipWithError("mixer missing");
        benchmark::DoNotOptimize(msg.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(msg.size()));
}
BENCHMARK(BM_cda_encrypt)->Unit(benchmark::kMillisecond);

void BM_file_read(benchmark::State& state)
{
    const std::string path = scratch().dir + "/REQ.001";
    const std::string msg = makeMessage(MESSAGE_SIZE);
    {
        std::ofstream out(path, std::ios::binary);
        out << msg << "\r\n";
    }
    qzr::RequestFile requestFp;
    if (requestFp.open(path.c_str()) != 0) {
        state.SkipWithError("cannot open the request");
        return;
    }
    std::vector<char> buf(qzr::REQ_TEXT_SIZE);
    for (auto _ : state) {
        qzr::transInfo ti;
        int sts = qzr::file_read(requestFp, path.c_str(), buf, true, &ti);
        if (sts != qzr::STS_OK) state.SkipWithError("request refused");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(msg.size()));
}
BENCHMARK(BM_file_read)->Unit(benchmark::kMillisecond);

}  // namespace
