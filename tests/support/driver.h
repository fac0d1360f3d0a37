// Drives the library and the reference model through the same operations
// and reports the first point where they part.  Used by the model-based
// test (random sequences) and the fuzz target (sequences from bytes).
#ifndef TOVRICK_TEST_DRIVER_H
#define TOVRICK_TEST_DRIVER_H

#include <cstdint>
#include <random>
#include <string>

#include "model.h"
#include "tovrick.h"

namespace th {

enum class OpKind : uint8_t {
    Insert, Lookup, LookupImpl, RemoveId, RemoveTag, SetDirty, ClearDirty,
    Lock, Unlock, Flush, FlushIf, Purge, Visit,
    Count
};

struct Op {
    OpKind kind;
    uint64_t key;  // the id, for operations that take one
    uint32_t pick; // chooses the tag, for operations that take one
    uint32_t salt; // varies the predicate of FlushIf and the hash given to LookupImpl
};

struct DriverGeometry {
    uint32_t sets, ways;
    bool caller_mapping;
    bool one_set_hash; // a hostile hash: every id goes to set 0
    uint32_t key_space;
    uint32_t tag_padding; // bytes of caller data after the header and key
};

class Driver {
public:
    explicit Driver(const DriverGeometry &g);
    ~Driver();
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    bool created() const { return cache_ != nullptr; }
    // Applies op to the library and the model; an empty result when both
    // agree on the result and on the whole state afterwards.
    std::string apply(const Op &op);
    Op random_op(std::mt19937_64 &rng) const;
    static Op decode(const uint8_t *bytes); // 4 bytes
    static std::string describe(const Op &op);

private:
    std::string compare_state() const;
    uint32_t hash(uint64_t key) const;
    int index_of(const tovrick_tag *tag) const;
    tovrick_tag *tag_at(int index) const;
    int pick_in_use(uint32_t pick) const;
    std::string run(const Op &op);

    DriverGeometry g_;
    tovrick_cache *cache_ = nullptr;
    Model model_;
};

} // namespace th

#endif
