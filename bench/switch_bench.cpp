// The load of the redirection rules (reading qzrredir.dat, the switch
// tables and the rules report), as the driver does it before its first
// request, and the lookup of one request's office and carrier once they are
// loaded.
//
// The rule files hold N one-pair rules: each names one office and one
// carrier of its own, so the sets of offices and carriers grow with the file.
// The report goes to a printer that drops it.
#include "foundation/runtime.h"
#include "redirect/switch_table.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The i-th office: 4 characters of digits and capitals, all different.
std::string office(int i)
{
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string o(4, '0');
    for (int k = 3; k >= 0; --k, i /= 36) o[static_cast<std::size_t>(k)] = digits[i % 36];
    return o;
}

// The i-th carrier: 6 digits, all different, in no particular order.
std::string carrier(int i)
{
    char c[16];
    std::snprintf(c, sizeof c, "%06ld", (static_cast<long>(i) * 7919L + 13L) % 1000000L);
    return c;
}

// A rule file of `rules` one-pair rules over 16 target networks; returns
// its path.
std::string writeRules(int rules)
{
    std::string tmpl = (fs::temp_directory_path() / "qzr-bench-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    const std::string path = std::string(buf.data()) + "/qzrredir.dat";
    std::ofstream out(path, std::ios::binary);
    out << "version = \"bench\"\n";
    for (int i = 0; i < rules; ++i)
        out << "redirect to \"NET" << i % 16 << "\" groups = \"" << office(i) << "\" and carriers = \""
            << carrier(i) << "\"\n";
    return path;
}

void removeRules(const std::string& path)
{
    std::error_code ec;
    fs::remove_all(fs::path(path).parent_path(), ec);
}

void dropReport(const char*) {}

void BM_loadSwitchTable(benchmark::State& state)
{
    const int rules = static_cast<int>(state.range(0));
    const std::string path = writeRules(rules);
    qzr::switch_report_printer = dropReport;
    for (auto _ : state) {
        benchmark::DoNotOptimize(qzr::loadSwitchTable(path.c_str()));
    }
    if (qzr::switchTable.count != static_cast<unsigned>(rules)) state.SkipWithError("rules missing");
    qzr::switch_report_printer = nullptr;
    removeRules(path);
    state.counters["rules"] = rules;
}
BENCHMARK(BM_loadSwitchTable)->Arg(1000)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

void BM_lookupSwitchTable(benchmark::State& state)
{
    const int rules = static_cast<int>(state.range(0));
    const std::string path = writeRules(rules);
    qzr::switch_report_printer = dropReport;
    (void)qzr::loadSwitchTable(path.c_str());
    qzr::switch_report_printer = nullptr;
    removeRules(path);
    int i = 0;
    for (auto _ : state) {
        // A named pair, then a pair no rule names.
        const std::string o = office(i % rules), c = carrier(i % rules), other = carrier(i % rules + 1);
        int code = 0;
        benchmark::DoNotOptimize(qzr::lookupSwitchTable(o.c_str(), c.c_str(), code));
        if (code != qzr::REDIR_OFFICE_CARRIER) state.SkipWithError("rule not found");
        benchmark::DoNotOptimize(qzr::lookupSwitchTable(o.c_str(), other.c_str(), code));
        ++i;
    }
}
BENCHMARK(BM_lookupSwitchTable)->Arg(1000)->Arg(50000);

}  // namespace
