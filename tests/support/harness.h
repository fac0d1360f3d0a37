// Test harness: callbacks that record how they are called, an allocator
// that records what it is asked for, small cache fixtures, list readers and
// the invariant checker every test can run after a sequence of calls.
#ifndef TOVRICK_TEST_HARNESS_H
#define TOVRICK_TEST_HARNESS_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tovrick.h"
#include "invariants.h"

namespace th {

// Ids in tests are 64-bit keys.  The hash is the key's low 32 bits, so
// key % num_sets is the key's set: key(set, n) names the n-th id of a set.
using Key = uint64_t;
inline Key key_in_set(uint32_t set, uint32_t n, uint32_t num_sets)
{
    return set + Key{n} * num_sets;
}

// The caller's tag record: the header first, then the caller's fields.
// Under the caller mapping `key` holds the tag's id.
struct Record {
    tovrick_tag hdr;
    Key key;
    uint64_t payload;
};

// One callback call, as recorded.
struct Call {
    enum Kind { Hash, TagId, Cmp } kind;
    const void *a; // hash: the id; tag_id: the tag; cmp: the stored id
    const void *b; // cmp: the caller's id; otherwise null
};

// Every call of the callbacks below since the last clear(), in order.
// Thread-local, so caches on distinct threads record apart.
std::vector<Call> &calls();
size_t count(Call::Kind kind);

uint32_t hash_key(const void *id);
int cmp_key(const void *stored, const void *id);
// Caller mapping: the id is the record's `key`.
const void *record_key(const tovrick_cache *cache, const tovrick_tag *tag);

// An allocator that counts calls and keeps the last request.
struct AllocLog {
    int allocs = 0;
    int frees = 0;
    uint32_t size = 0;
    void *block = nullptr;
    void *freed_block = nullptr;
    void *freed_ctx = nullptr;
    bool fail = false;  // make allocations return null
    bool poison = true; // fill new blocks with garbage, so zeroing is proven
};
void *log_alloc(void *ctx, uint32_t size);
void log_free(void *ctx, void *block);

// Owns a cache made with the recording callbacks and allocator.
class Cache {
public:
    enum Mapping { Default, Caller };
    Cache(uint32_t num_sets, uint32_t num_ways, Mapping mapping = Default,
          uint32_t id_size = sizeof(Key), uint32_t tag_size = sizeof(Record));
    ~Cache();
    Cache(const Cache &) = delete;
    Cache &operator=(const Cache &) = delete;

    tovrick_cache *get() const { return cache_; }
    tovrick_cache *operator->() const { return cache_; }
    Record *tag(uint32_t index) const; // tag `index` of the tag array
    uint32_t index_of(const tovrick_tag *tag) const;

    // Insertion that also stores the key under the caller mapping, as a
    // caller filling a returned tag would.
    Record *insert(Key key);
    Record *lookup(Key key);
    Key key_in_set(uint32_t set, uint32_t n) const { return th::key_in_set(set, n, cache_->num_sets); }

    AllocLog alloc;

private:
    tovrick_cache *cache_ = nullptr;
    Mapping mapping_;
};

// A GoogleTest parameter name from a description: letters and digits kept,
// anything else '_', up to the first ':' (the rest is commentary).
std::string param_name(const char *description);

// Tags on a set's in-use or free list, front to back.
std::vector<tovrick_tag *> used_order(const tovrick_cache *cache, uint32_t set);
std::vector<tovrick_tag *> free_order(const tovrick_cache *cache, uint32_t set);

// Checks every structural invariant of a cache: each tag on exactly one
// list of its own set with consistent links, `set` fields right, dirty
// counts equal to the dirty flags, the locked flag set exactly when the
// count is non-zero, free tags clean and unlocked, no unknown flag bits.
::testing::AssertionResult invariants_hold(const tovrick_cache *cache);

} // namespace th

#endif
