// String-keyed hash tables: fixed bucket count, chained collisions appended
// at the tail, iteration in bucket order. Entries live until the table is
// freed or re-initialised. Finding goes through the index by key and
// appending through the chain's tail, so neither walks a chain.
#include "foundation/tbx_hash.h"

#include <cstring>
#include <new>

#include "foundation/tbx_msg.h"

namespace qzr {

tbx_hash::~tbx_hash()
{
    tbx_hash_free(*this);
}

void tbx_hash_free(tbx_hash& table)
{
    for (tbx_hash_entry* head : table.buckets) {
        while (head) {
            tbx_hash_entry* next = head->next;
            delete head;
            head = next;
        }
    }
    table.buckets.clear();
    table.tails.clear();
    table.index.clear();
    table.n = table.flags = table.count = table.iterBucket = table.collisions = 0;
    table.iterEntry = nullptr;
}

void tbx_hash_init(tbx_hash& table, unsigned n)
{
    // The bucket formula divides by n - 1; the toolbox names itself as the
    // module of its own reports.
    if (n < 2) tbx_error(nullptr, TBX_ERR_INTERNAL, "n>=2", "TOOLBOX/Tbx_hash", __LINE__);
    tbx_hash_free(table);
    table.n = n;
    table.buckets.assign(n, nullptr);
    table.tails.assign(n, nullptr);
}

unsigned tbx_hash_bucket(const char* key, unsigned n)
{
    std::size_t len = std::strlen(key);
    if (len > 64) len = 64;
    const auto* k = reinterpret_cast<const unsigned char*>(key);
    std::uint32_t h = 0;
    for (std::size_t i = 0; i < len / 2; ++i) {
        std::uint32_t w = static_cast<std::uint32_t>(k[2 * i]) | (static_cast<std::uint32_t>(k[2 * i + 1]) << 8);
        h ^= w << i;
    }
    if (len % 2) h ^= k[len - 1];
    return ((h & 0x7FFFu) % (n - 1)) + 1;
}

tbx_hash_entry* tbx_hash_lookup(const tbx_hash& table, const char* key)
{
    const auto found = table.index.find(std::string_view(key));
    return found == table.index.end() ? nullptr : found->second;
}

tbx_hash_entry* tbx_hash_find(tbx_hash& table, const char* key)
{
    if (table.n < 2) return nullptr;
    if (tbx_hash_entry* e = tbx_hash_lookup(table, key)) return e;
    if (table.flags & TBX_HASH_FIND_ONLY) return nullptr;

    const unsigned b = tbx_hash_bucket(key, table.n);
    tbx_hash_entry* entry = nullptr;
    try {
        entry = new tbx_hash_entry;
        entry->key = key;
        table.index.emplace(entry->key, entry);
    } catch (const std::bad_alloc&) {
        delete entry;
        tbx_error(nullptr, TBX_ERR_NO_MEMORY, "TOOLBOX/Tbx_hash", __LINE__);
        return nullptr;
    }
    if (table.tails[b]) {
        table.tails[b]->next = entry;
        ++table.collisions;
    } else {
        table.buckets[b] = entry;
    }
    table.tails[b] = entry;
    ++table.count;
    return entry;
}

void tbx_hash_rewind(tbx_hash& table)
{
    table.iterBucket = 0;
    table.iterEntry = nullptr;
}

tbx_hash_entry* tbx_hash_next(tbx_hash& table)
{
    if (table.iterEntry) table.iterEntry = table.iterEntry->next;
    if (table.iterEntry) return table.iterEntry;
    ++table.iterBucket;
    while (table.iterBucket < table.n && !table.buckets[table.iterBucket]) ++table.iterBucket;
    if (table.iterBucket >= table.n) {
        table.iterBucket = table.n;
        table.iterEntry = nullptr;
        return nullptr;
    }
    table.iterEntry = table.buckets[table.iterBucket];
    return table.iterEntry;
}

}  // namespace qzr
