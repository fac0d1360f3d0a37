// Cache creation with a caller-supplied allocator, and the default
// tag-to-id mapping.
//
// A cache is one block, obtained by a single alloc_fn call and zeroed.  Its
// regions follow each other in this order (offsets from the block's start):
//
//   0          +--------------------------------+
//              | header: tovrick_cache record   |  128 bytes, zero after the record
//   128        +--------------------------------+
//              | in-use list heads [num_sets]   |  num_sets * sizeof(tovrick_list),
//              |                                |  rounded up to 64
//   +L         +--------------------------------+
//              | free list heads [num_sets]     |  the same length L
//   +2L        +--------------------------------+
//              | dirty counters [num_sets]      |  4 * num_sets, rounded up to 8
//              +--------------------------------+
//              | tags [num_sets * num_ways]     |  tag_stride apart, set after set
//              +--------------------------------+
//              | ids  [num_sets * num_ways]     |  id_stride apart; default mapping only
//              +--------------------------------+
//
// The heads and counters start 64-byte aligned relative to the block, every
// tag and id slot 8-byte aligned.  Keeping the heads apart from the tags
// makes a set's two heads and its counter one short, dense run per set;
// the cost is one extra cache line touched per operation.
//
// The size arithmetic is done in 64 bits and every figure must fit in 32:
// a geometry whose block would not is refused, never wrapped into a block
// smaller than its layout.
#include <cstdint>
#include <cstring>

#include "core.h"

using namespace tovrick_core;

namespace {

constexpr uint64_t kHeaderBytes = 128;
constexpr uint64_t kMaxSets = 65536; // a tag's 16-bit `set` holds indices up to 65535

static_assert(sizeof(tovrick_cache) <= kHeaderBytes, "cache record must fit its header region");

// Byte offsets of the regions and the block's total size.
struct block_layout {
    uint32_t tag_stride;
    uint32_t id_stride;
    uint32_t used_lists;
    uint32_t free_lists;
    uint32_t counters;
    uint32_t tags;
    uint32_t ids; // the id array's offset; equals `total` without one
    uint32_t total;
};

uint64_t round_up(uint64_t n, uint64_t to)
{
    return (n + to - 1) / to * to;
}

bool is_power_of_two(uint32_t n)
{
    return (n & (n - 1)) == 0;
}

bool arguments_acceptable(uint32_t num_sets, uint32_t num_ways, uint32_t id_size,
                          uint32_t tag_size, tovrick_hash_fn hash_fn, tovrick_cmp_fn cmp_fn,
                          tovrick_alloc_fn alloc_fn, tovrick_free_fn free_fn)
{
    return num_sets != 0 && num_ways != 0 && num_ways <= num_sets && id_size != 0 &&
           tag_size >= sizeof(tovrick_tag) && is_power_of_two(num_sets) &&
           num_sets <= kMaxSets && hash_fn && cmp_fn && alloc_fn && free_fn;
}

// Lays the regions out; false when any figure would not fit 32 bits.
// With num_sets <= 2^16 and num_ways <= num_sets, num_tags <= 2^32 and every
// product below stays under 2^64.
bool plan_layout(uint32_t num_sets, uint32_t num_ways, uint32_t id_size, uint32_t tag_size,
                 bool with_ids, block_layout *out)
{
    const uint64_t num_tags = uint64_t{num_sets} * num_ways;
    const uint64_t tag_stride = round_up(tag_size, 8);
    const uint64_t id_stride = round_up(id_size, 8);
    const uint64_t heads = round_up(uint64_t{num_sets} * sizeof(tovrick_list), 64);
    const uint64_t counters = round_up(uint64_t{num_sets} * sizeof(uint32_t), 8);
    const uint64_t tags = num_tags * tag_stride;
    const uint64_t ids = with_ids ? num_tags * id_stride : 0;
    if (tag_stride > UINT32_MAX || id_stride > UINT32_MAX || tags > UINT32_MAX ||
        ids > UINT32_MAX)
        return false;
    const uint64_t tags_at = kHeaderBytes + 2 * heads + counters;
    const uint64_t ids_at = tags_at + tags;
    const uint64_t total = ids_at + ids;
    if (total > UINT32_MAX)
        return false;
    out->tag_stride = static_cast<uint32_t>(tag_stride);
    out->id_stride = static_cast<uint32_t>(id_stride);
    out->used_lists = static_cast<uint32_t>(kHeaderBytes);
    out->free_lists = static_cast<uint32_t>(kHeaderBytes + heads);
    out->counters = static_cast<uint32_t>(kHeaderBytes + 2 * heads);
    out->tags = static_cast<uint32_t>(tags_at);
    out->ids = static_cast<uint32_t>(ids_at);
    out->total = static_cast<uint32_t>(total);
    return true;
}

// The default mapping: tag k's id lives in slot k of the cache's id array.
const void *tag_id(const tovrick_cache *cache, const tovrick_tag *tag)
{
    return id_slot(cache, tag);
}

// Every tag onto its set's free list, in ascending address order, so the
// set's first insertion takes its lowest-addressed tag.
void build_free_lists(tovrick_cache *cache)
{
    auto *tag_bytes = static_cast<unsigned char *>(cache->tags);
    for (uint32_t s = 0; s < cache->num_sets; ++s) {
        list_init(&cache->used_lists[s]);
        list_init(&cache->free_lists[s]);
        for (uint32_t w = 0; w < cache->num_ways; ++w) {
            size_t k = size_t{s} * cache->num_ways + w;
            auto *tag = reinterpret_cast<tovrick_tag *>(tag_bytes + k * cache->tag_stride);
            tag->set = static_cast<uint16_t>(s);
            list_insert_tail(&cache->free_lists[s], &tag->link);
        }
    }
}

} // namespace

tovrick_cache *tovrick_core::create_cache(uint32_t num_sets, uint32_t num_ways,
                                          uint32_t id_size, uint32_t tag_size,
                                          tovrick_tag_id_fn tag_id_fn, tovrick_hash_fn hash_fn,
                                          tovrick_cmp_fn cmp_fn, void *alloc_ctx,
                                          tovrick_alloc_fn alloc_fn, tovrick_free_fn free_fn)
{
    if (!arguments_acceptable(num_sets, num_ways, id_size, tag_size, hash_fn, cmp_fn, alloc_fn,
                              free_fn))
        return nullptr;
    block_layout layout;
    if (!plan_layout(num_sets, num_ways, id_size, tag_size, tag_id_fn == nullptr, &layout))
        return nullptr;

    void *block = alloc_fn(alloc_ctx, layout.total);
    if (!block)
        return nullptr;
    std::memset(block, 0, layout.total);

    auto *base = static_cast<unsigned char *>(block);
    auto *cache = static_cast<tovrick_cache *>(block);
    cache->num_sets = num_sets;
    cache->num_ways = num_ways;
    cache->set_mask = num_sets - 1;
    cache->tag_stride = layout.tag_stride;
    cache->id_size = id_size;
    cache->id_stride = layout.id_stride;
    cache->ids = tag_id_fn ? nullptr : base + layout.ids;
    cache->used_lists = reinterpret_cast<tovrick_list *>(base + layout.used_lists);
    cache->free_lists = reinterpret_cast<tovrick_list *>(base + layout.free_lists);
    cache->dirty_per_set = reinterpret_cast<uint32_t *>(base + layout.counters);
    cache->tag_id_fn = tag_id_fn ? tag_id_fn : tag_id;
    cache->hash_fn = hash_fn;
    cache->cmp_fn = cmp_fn;
    cache->alloc_fn = alloc_fn;
    cache->free_fn = free_fn;
    cache->alloc_ctx = alloc_ctx;
    cache->tags = base + layout.tags;
    build_free_lists(cache);
    return cache;
}

extern "C" TOVRICK_API tovrick_cache *
tovrick_create2(uint32_t num_sets, uint32_t num_ways, uint32_t id_size, uint32_t tag_size,
                tovrick_tag_id_fn tag_id_fn, tovrick_hash_fn hash_fn, tovrick_cmp_fn cmp_fn,
                void *alloc_ctx, tovrick_alloc_fn alloc_fn, tovrick_free_fn free_fn)
{
    return tovrick_core::create_cache(num_sets, num_ways, id_size, tag_size, tag_id_fn,
                                      hash_fn, cmp_fn, alloc_ctx, alloc_fn, free_fn);
}
