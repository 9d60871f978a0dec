// The transaction prefix (A01) that replaces the first 12 characters of every
// request before it is sent.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "config/config.h"
#include "engine/process.h"

using namespace qzr;

TEST(TransactionPrefix, NetworkPrefixZarOrDefault)
{
    struct {
        const char* network;
        std::optional<std::string> prefix;
        const char* a01;
    } cases[] = {
        {"CDANET", std::nullopt, "11401111    "},
        {"ZAR", std::nullopt, "HD*         "},
        {"ZAR", "CDN", "CDN         "},  // a prefix of its own wins
        {"CDANET", "CDN", "CDN         "},
        {"CDANET", "", "            "},
        {"CDANET", "ABCDEFGHIJKL", "ABCDEFGHIJKL"},
        {"CDANET", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKL"},  // never past A01
        {"ZAR2", std::nullopt, "11401111    "},
    };
    for (const auto& c : cases) {
        NetworkDef net;
        net.networkName = c.network;
        net.prefix = c.prefix;
        std::string text = "CLAIM-TEST  0000010401000001";
        process_setPrefix(text.data(), &net);
        EXPECT_EQ(text, std::string(c.a01) + "0000010401000001") << c.network << " " << c.prefix.value_or("(unset)");
    }
}
