// Cache-wide write-back selection: name a dirty tag, changing nothing.
//
// The walk goes set by set in ascending order and along each in-use list
// from the front.  It leans on the dirty counters: with num_dirty at 0 it
// reads nothing else, and a set whose counter is 0 costs a share of one
// wide read, its list untouched.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core.h"

using namespace tovrick_core;

namespace {

constexpr uint32_t kGroup = 16; // counters tested at once: 64 bytes

// True when the kGroup counters from `counters` on are all 0.  The
// counters are only 4-byte aligned, so every load is unaligned.
bool group_is_clean(const uint32_t *counters)
{
#if defined(__SSE2__)
    auto load = [counters](int i) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(counters + 4 * i));
    };
    const __m128i any = _mm_or_si128(_mm_or_si128(load(0), load(1)), _mm_or_si128(load(2), load(3)));
    return _mm_movemask_epi8(_mm_cmpeq_epi32(any, _mm_setzero_si128())) == 0xFFFF;
#else
    uint64_t w[kGroup / 2];
    std::memcpy(w, counters, sizeof w);
    uint64_t any = 0;
    for (uint64_t word : w)
        any |= word;
    return any == 0;
#endif
}

// The first set from `set` on whose counter is non-zero, or num_sets.
uint32_t next_dirty_set(const tovrick_cache *cache, uint32_t set)
{
    const uint32_t *counters = cache->dirty_per_set;
    const uint32_t end = cache->num_sets;
    for (; set % kGroup != 0 && set < end; ++set)
        if (counters[set])
            return set;
    while (set + kGroup <= end && group_is_clean(counters + set))
        set += kGroup;
    for (; set < end; ++set)
        if (counters[set])
            return set;
    return end;
}

// The first dirty tag in walk order that `accept` takes (any, when null).
// A tag's successor is read only after the predicate for it has returned.
tovrick_tag *select_dirty(tovrick_cache *cache, tovrick_flush_pred_fn accept, void *ctx)
{
    if (cache->num_dirty == 0)
        return nullptr;
    for (uint32_t set = next_dirty_set(cache, 0); set < cache->num_sets;
         set = next_dirty_set(cache, set + 1)) {
        tovrick_list *head = &cache->used_lists[set];
        for (tovrick_list *n = head->next; n != head; n = n->next) {
            tovrick_tag *tag = as_tag(n);
            if ((tag->flags & TOVRICK_DIRTY) && (!accept || accept(ctx, tag)))
                return tag;
        }
    }
    return nullptr;
}

} // namespace

extern "C" {

TOVRICK_API tovrick_tag *tovrick_flush(tovrick_cache *cache)
{
    return select_dirty(cache, nullptr, nullptr);
}

TOVRICK_API tovrick_tag *tovrick_flush_if(tovrick_cache *cache, tovrick_flush_pred_fn pred,
                                          void *ctx)
{
    return select_dirty(cache, pred, ctx);
}

} // extern "C"
