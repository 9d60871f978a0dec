// The transaction prefix (A01) that replaces the first 12 characters of every
// request before it is sent.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "config/config.h"
#include "engine/process.h"
#include "support/version_texts.h"

using namespace qzr;
using qzr::test::defaultPrefix;

TEST(TransactionPrefix, NetworkPrefixZarOrDefault)
{
    // `zar` as the reader sets it for the network ZAR (and for no other name).
    struct {
        const char* network;
        bool zar;
        std::optional<std::string> prefix;
        std::string a01;
    } cases[] = {
        {"CDANET", false, std::nullopt, defaultPrefix()},
        {"ZAR", true, std::nullopt, "HD*         "},
        {"ZAR", true, "CDN", "CDN         "},  // a prefix of its own wins
        {"CDANET", false, "CDN", "CDN         "},
        {"CDANET", false, "", "            "},
        {"CDANET", false, "ABCDEFGHIJKL", "ABCDEFGHIJKL"},
        {"CDANET", false, "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKL"},  // never past A01
        {"ZAR2", false, std::nullopt, defaultPrefix()},
    };
    for (const auto& c : cases) {
        NetworkDef net;
        net.networkName = c.network;
        net.zar = c.zar;
        net.prefix = c.prefix;
        std::string text = "CLAIM-TEST  0000010401000001";
        process_setPrefix(text.data(), &net);
        EXPECT_EQ(text, std::string(c.a01) + "0000010401000001") << c.network << " " << c.prefix.value_or("(unset)");
    }
}
