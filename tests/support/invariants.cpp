#include "invariants.h"

#include <cstdint>
#include <vector>

namespace th {

namespace {

uint32_t num_tags(const tovrick_cache *cache)
{
    return cache->num_sets * cache->num_ways;
}

// The fault of one tag met on a list of set `set`, or null.  Marks the tag
// seen.
const char *tag_fault(const tovrick_cache *cache, const tovrick_tag *tag, uint32_t index,
                      uint32_t set, bool is_free, std::vector<int> &seen)
{
    if (index / cache->num_ways != set)
        return "is on a list of another set";
    if (tag->set != set)
        return "has a wrong set field";
    if (seen[index]++)
        return "is on more than one list";
    if (tag->flags & ~uint32_t{TOVRICK_DIRTY | TOVRICK_LOCKED})
        return "has unknown flag bits";
    if (((tag->flags & TOVRICK_LOCKED) != 0) != (tag->refcount != 0))
        return "has a locked flag that disagrees with its count";
    if (is_free && (tag->flags != 0 || tag->refcount != 0))
        return "is free but dirty or locked";
    return nullptr;
}

// Walks one list of set `set`, marking each tag seen and counting the dirty
// ones; returns a description of the first fault, or an empty string.
std::string check_list(const tovrick_cache *cache, const tovrick_list *head, uint32_t set,
                       bool is_free, std::vector<int> &seen, uint32_t &dirty)
{
    auto where = [&] { return "set " + std::to_string(set) + (is_free ? " free list" : " in-use list"); };
    const auto *base = static_cast<const unsigned char *>(cache->tags);
    uint32_t steps = 0;
    const tovrick_list *prev = head;
    for (const tovrick_list *n = head->next; n != head; prev = n, n = n->next) {
        if (++steps > cache->num_ways)
            return where() + " is longer than num_ways";
        auto offset = reinterpret_cast<const unsigned char *>(n) - base;
        if (offset < 0 || offset % cache->tag_stride != 0 ||
            uint64_t(offset) / cache->tag_stride >= num_tags(cache))
            return where() + " holds a node that is not a tag of the cache";
        if (n->prev != prev)
            return where() + ": a prev link does not lead back";
        auto index = static_cast<uint32_t>(offset / cache->tag_stride);
        const auto *tag = reinterpret_cast<const tovrick_tag *>(n);
        if (const char *fault = tag_fault(cache, tag, index, set, is_free, seen))
            return where() + ": tag " + std::to_string(index) + " " + fault;
        dirty += tag->flags & TOVRICK_DIRTY;
    }
    if (head->prev != prev)
        return where() + ": the head's prev is not the last node";
    return {};
}

} // namespace

std::string check_invariants(const tovrick_cache *cache)
{
    std::vector<int> seen(num_tags(cache));
    uint64_t dirty_total = 0;
    for (uint32_t s = 0; s < cache->num_sets; ++s) {
        uint32_t dirty = 0;
        std::string fault = check_list(cache, &cache->used_lists[s], s, false, seen, dirty);
        if (fault.empty())
            fault = check_list(cache, &cache->free_lists[s], s, true, seen, dirty);
        if (!fault.empty())
            return fault;
        if (cache->dirty_per_set[s] != dirty)
            return "set " + std::to_string(s) + ": counter " +
                   std::to_string(cache->dirty_per_set[s]) + ", dirty tags " + std::to_string(dirty);
        dirty_total += dirty;
    }
    for (uint32_t k = 0; k < num_tags(cache); ++k)
        if (!seen[k])
            return "tag " + std::to_string(k) + " is on no list";
    if (cache->num_dirty != dirty_total)
        return "num_dirty " + std::to_string(cache->num_dirty) + ", dirty tags " +
               std::to_string(dirty_total);
    return {};
}

} // namespace th
