// String-keyed hash tables of the toolbox.
//
// A table of n slots has n-1 buckets (slot 0 is the header in the original
// layout); keys hash by their first 64 characters into bucket
// ((h & 0x7FFF) % (n-1)) + 1 and collide by appending to the bucket's chain.
// Entries carry four data words owned by the user and are never removed one
// by one. Iteration walks buckets 1..n-1, each chain in insertion order.
//
// Beside the buckets, which give the iteration order and the collision count,
// an index by key and the tail of every chain make finding and inserting cost
// the same however many entries a table holds. The index points into the
// entries' own keys, so a key never changes once its entry is in a table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qzr {

enum : unsigned {
    TBX_HASH_FIND_ONLY = 1,       // a lookup of an absent key inserts nothing
    TBX_HASH_CASE_SENSITIVE = 2,  // keyword tables: keywords kept as written
};

struct tbx_hash_entry {
    std::string key;
    std::intptr_t data[4] = {0, 0, 0, 0};
    std::string value;  // a text of the user's (a variable's value, a target)
    tbx_hash_entry* next = nullptr;
};

struct tbx_hash {
    unsigned n = 0;            // slot count including the header slot
    unsigned flags = 0;
    unsigned count = 0;        // entries
    unsigned iterBucket = 0;
    unsigned collisions = 0;   // entries inserted into a non-empty bucket
    tbx_hash_entry* iterEntry = nullptr;
    std::vector<tbx_hash_entry*> buckets;  // index 1..n-1; index 0 unused
    std::vector<tbx_hash_entry*> tails;    // the last entry of each bucket's chain
    std::unordered_map<std::string_view, tbx_hash_entry*> index;  // every entry by its key

    tbx_hash() = default;
    tbx_hash(const tbx_hash&) = delete;
    tbx_hash& operator=(const tbx_hash&) = delete;
    ~tbx_hash();
};

// Empties the table (freeing its entries) and gives it n slots (n >= 2).
void tbx_hash_init(tbx_hash& table, unsigned n);
// Frees every entry; the table has no buckets afterwards.
void tbx_hash_free(tbx_hash& table);
// The bucket (1..n-1) of a key in a table of n slots.
unsigned tbx_hash_bucket(const char* key, unsigned n);
// Finds the key; when absent, inserts it unless the table is find-only.
// Returns the entry, or null (absent in a find-only table, out of memory).
tbx_hash_entry* tbx_hash_find(tbx_hash& table, const char* key);
// Finds the key and never inserts it, locked table or not. Returns the
// entry, or null when it is absent (or the table was never created).
tbx_hash_entry* tbx_hash_lookup(const tbx_hash& table, const char* key);
// Starts an iteration (iteration bucket 0, no entry).
void tbx_hash_rewind(tbx_hash& table);
// The next entry of the iteration, or null at its end.
tbx_hash_entry* tbx_hash_next(tbx_hash& table);

}  // namespace qzr
