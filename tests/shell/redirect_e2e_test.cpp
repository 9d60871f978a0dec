// The real driver with a large redirection file: the rules are loaded and
// reported before the first request is served, in a time that stays short
// however many rules the file holds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "driver_fixture.h"
#include "support/version_texts.h"

using namespace qzr::test;

namespace {

// The i-th office: 4 characters of digits and capitals, all different.
std::string office(int i)
{
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string o(4, '0');
    for (int k = 3; k >= 0; --k, i /= 36) o[static_cast<std::size_t>(k)] = digits[i % 36];
    return o;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr auto LOAD_BOUND = std::chrono::seconds(20);
#else
constexpr auto LOAD_BOUND = std::chrono::seconds(3);
#endif

}  // namespace

// 5000 one-pair rules, each with an office and a carrier of its own; the
// last one redirects the request's pair. One pass of the driver loads them,
// prints the report and serves the request on the rule's network.
TEST_F(DriverTest, FiveThousandRulesLoadAndReportInWellUnderASecond)
{
    writeIni(std::string(TEST_NETWORK) + "[OFFICE]\ncomdev = \"COM7\"\nconnectionMode = direct\n");
    linkDevice("com1", "/dev/ptmx");
    constexpr int RULES = 5000;
    std::string rules = "version = \"many\"\n";
    for (int i = 0; i < RULES - 1; ++i) {
        char rule[128];
        std::snprintf(rule, sizeof rule, "redirect to \"TEST\" groups = \"%s\" and carriers = \"%06d\"\n",
                      office(i).c_str(), 100000 + i);
        rules += rule;
    }
    rules += "redirect to \"TEST\" groups = \"9998\" and carriers = \"000001\"\n";
    dir.write("qzrredir.dat", rules);
    const std::string c = claim(21);
    request("OFFICE", "REQ.001", c);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run({}, 120000), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, LOAD_BOUND) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";

    EXPECT_EQ(dir.read("OFFICE/RSP.001"), "21,0,001," + defaultPrefix() + c.substr(12));
    EXPECT_NE(log().find("Transaction redirection required to TEST"), std::string::npos);
    const std::string out = dir.read("stdout.txt");
    EXPECT_EQ(count(out, "  Office "), RULES);
    EXPECT_EQ(count(out, "Carrier"), RULES);
    EXPECT_NE(out.find("  Office 0000  Carrier 100000:   -> TEST\n"), std::string::npos);
    EXPECT_NE(out.find("  Office 9998  Carrier 000001:   -> TEST\n"), std::string::npos);
    EXPECT_NE(out.find("* END of Report *\n"), std::string::npos);
}
