#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "foundation/tbx_hash.h"
#include "foundation/tbx_msg.h"
#include "support/test_window.h"

using namespace qzr;

namespace {

std::vector<std::string> iterate(tbx_hash& t)
{
    std::vector<std::string> keys;
    tbx_hash_rewind(t);
    while (tbx_hash_entry* e = tbx_hash_next(t)) keys.push_back(e->key);
    return keys;
}

// Two different keys of the same bucket in a table of n slots.
std::pair<std::string, std::string> collidingKeys(unsigned n)
{
    std::map<unsigned, std::string> seen;
    for (int i = 0;; ++i) {
        std::string k = "K" + std::to_string(i);
        unsigned b = tbx_hash_bucket(k.c_str(), n);
        auto [it, fresh] = seen.emplace(b, k);
        if (!fresh) return {it->second, k};
    }
}

}  // namespace

TEST(TbxHash, BucketFormula)
{
    EXPECT_EQ(tbx_hash_bucket("A", 70), 66u);  // 65 % 69 + 1
    // "AB": word 0x4241 = 16961; 16961 % 69 = 56.
    EXPECT_EQ(tbx_hash_bucket("AB", 70), 57u);
    // "ABC": 0x4241 ^ 'C' (67) = 16898; 16898 % 84 = 14.
    EXPECT_EQ(tbx_hash_bucket("ABC", 85), 15u);
    // "ABCD": 0x4241 ^ (0x4443 << 1) = 0x4241 ^ 0x8886 = 0xCAC7 -> & 0x7FFF = 0x4AC7 = 19143.
    EXPECT_EQ(tbx_hash_bucket("ABCD", 70), 19143u % 69 + 1);
    // Bytes above 0x7F hash as unsigned characters.
    EXPECT_EQ(tbx_hash_bucket("\xE9", 5), (0xE9u % 4) + 1);
    for (unsigned n : {2u, 5u, 70u, 85u}) {
        unsigned b = tbx_hash_bucket("NETWORK", n);
        EXPECT_GE(b, 1u);
        EXPECT_LT(b, n);
    }
}

TEST(TbxHash, FindInsertsOnceAndCountsCollisions)
{
    tbx_hash t;
    tbx_hash_init(t, 70);
    tbx_hash_entry* a = tbx_hash_find(t, "OFFICE");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->data[0], 0);
    a->data[0] = 7;
    EXPECT_EQ(tbx_hash_find(t, "OFFICE"), a);
    EXPECT_EQ(t.count, 1u);
    EXPECT_EQ(t.collisions, 0u);

    auto [first, second] = collidingKeys(70);
    tbx_hash_find(t, first.c_str());
    tbx_hash_find(t, second.c_str());
    EXPECT_EQ(t.collisions, 1u);
    EXPECT_EQ(t.count, 3u);
    unsigned b = tbx_hash_bucket(first.c_str(), 70);
    ASSERT_NE(t.buckets[b], nullptr);
    EXPECT_EQ(t.buckets[b]->key, first);
    ASSERT_NE(t.buckets[b]->next, nullptr);
    EXPECT_EQ(t.buckets[b]->next->key, second);
}

TEST(TbxHash, IterationFollowsBucketsThenInsertionOrder)
{
    tbx_hash t;
    tbx_hash_init(t, 70);
    EXPECT_TRUE(iterate(t).empty());
    auto [first, second] = collidingKeys(70);
    std::vector<std::string> keys = {"ZETA", second, "A", first, "BETA"};
    for (const auto& k : keys) tbx_hash_find(t, k.c_str());
    std::vector<std::pair<unsigned, std::string>> expected;
    for (const auto& k : keys) expected.emplace_back(tbx_hash_bucket(k.c_str(), 70), k);
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::string> order;
    for (const auto& e : expected) order.push_back(e.second);
    EXPECT_EQ(iterate(t), order);
    // A second iteration visits every entry again, exactly once.
    EXPECT_EQ(iterate(t), order);
}

TEST(TbxHash, FindOnlyTableInsertsNothing)
{
    tbx_hash t;
    tbx_hash_init(t, 85);
    tbx_hash_find(t, "KEY");
    t.flags |= TBX_HASH_FIND_ONLY;
    EXPECT_EQ(tbx_hash_find(t, "OTHER"), nullptr);
    EXPECT_NE(tbx_hash_find(t, "KEY"), nullptr);
    EXPECT_EQ(t.count, 1u);
}

TEST(TbxHash, KeysAreExactAndWhole)
{
    tbx_hash t;
    tbx_hash_init(t, 70);
    EXPECT_NE(tbx_hash_find(t, "key"), tbx_hash_find(t, "KEY"));
    std::string base(64, 'p');
    std::string k1 = base + "one", k2 = base + "two";
    EXPECT_EQ(tbx_hash_bucket(k1.c_str(), 70), tbx_hash_bucket(k2.c_str(), 70));
    tbx_hash_entry* e1 = tbx_hash_find(t, k1.c_str());
    tbx_hash_entry* e2 = tbx_hash_find(t, k2.c_str());
    EXPECT_NE(e1, e2);
    EXPECT_EQ(e2->key, k2);
    EXPECT_EQ(t.count, 4u);
}

TEST(TbxHash, ReinitialisingEmptiesTheTable)
{
    tbx_hash t;
    tbx_hash_init(t, 5);
    tbx_hash_find(t, "A");
    tbx_hash_init(t, 5);
    EXPECT_EQ(t.count, 0u);
    EXPECT_TRUE(iterate(t).empty());
    // The old entry is found nowhere any more, and comes back as a new one.
    EXPECT_EQ(tbx_hash_lookup(t, "A"), nullptr);
    tbx_hash_entry* again = tbx_hash_find(t, "A");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->data[0], 0);
    EXPECT_EQ(t.count, 1u);
    EXPECT_EQ(t.collisions, 0u);
}

TEST(TbxHash, LookupNeverInserts)
{
    tbx_hash t;
    EXPECT_EQ(tbx_hash_lookup(t, "KEY"), nullptr);  // never created
    tbx_hash_init(t, 70);
    EXPECT_EQ(tbx_hash_lookup(t, "KEY"), nullptr);
    EXPECT_EQ(t.count, 0u);
    tbx_hash_entry* e = tbx_hash_find(t, "KEY");
    EXPECT_EQ(tbx_hash_lookup(t, "KEY"), e);
    EXPECT_EQ(tbx_hash_lookup(t, "key"), nullptr);
    EXPECT_EQ(tbx_hash_lookup(t, "KE"), nullptr);
    EXPECT_EQ(t.count, 1u);
    EXPECT_EQ(iterate(t), std::vector<std::string>{"KEY"});
}

// Thousands of keys in few buckets: every key is found as itself, chains
// keep their insertion order and the counts are those of the chains.
TEST(TbxHash, LongChainsKeepOrderAndCounts)
{
    for (unsigned n : {2u, 70u}) {
        SCOPED_TRACE(n);
        tbx_hash t;
        tbx_hash_init(t, n);
        std::vector<std::string> keys;
        for (int i = 0; i < 5000; ++i) keys.push_back("K" + std::to_string(i * 7919 % 100000));
        std::vector<tbx_hash_entry*> entries;
        for (const auto& k : keys) entries.push_back(tbx_hash_find(t, k.c_str()));
        for (std::size_t i = 0; i < keys.size(); ++i) {
            ASSERT_NE(entries[i], nullptr);
            EXPECT_EQ(entries[i]->key, keys[i]);
            EXPECT_EQ(tbx_hash_find(t, keys[i].c_str()), entries[i]);
            EXPECT_EQ(tbx_hash_lookup(t, keys[i].c_str()), entries[i]);
        }
        EXPECT_EQ(t.count, keys.size());
        std::vector<std::pair<unsigned, std::string>> expected;
        for (const auto& k : keys) expected.emplace_back(tbx_hash_bucket(k.c_str(), n), k);
        std::stable_sort(expected.begin(), expected.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
        std::vector<std::string> order;
        unsigned usedBuckets = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            order.push_back(expected[i].second);
            if (i == 0 || expected[i].first != expected[i - 1].first) ++usedBuckets;
        }
        EXPECT_EQ(iterate(t), order);
        EXPECT_EQ(t.collisions, keys.size() - usedBuckets);
    }
}

TEST(TbxHash, TooFewSlotsIsReportedByTheToolboxAndFindsNothing)
{
    tbx_reset_errors();
    test::TestWindow window;
    tbx_hash t;
    tbx_hash_init(t, 1);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text.rfind("%F-0200: Internal error n>=2 (module:TOOLBOX/Tbx_hash line:", 0), 0u)
        << window.boxes[0].text;
    EXPECT_EQ(window.quits.size(), 1u);
    // Such a table neither finds nor inserts, and iterates nothing.
    EXPECT_EQ(tbx_hash_find(t, "KEY"), nullptr);
    EXPECT_EQ(t.count, 0u);
    tbx_hash_rewind(t);
    EXPECT_EQ(tbx_hash_next(t), nullptr);
    tbx_reset_errors();
}
