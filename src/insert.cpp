// Insertion: the tag that holds an id after the call, taking one over when
// the id is not held.
//
//   1. Hash once; the set is hash & set_mask.
//   2. Search the set's in-use list.  A hit moves to the front, unchanged.
//   3. On a miss choose a tag: the front of the free list, else the first
//      tag from the FRONT of the in-use list that is neither dirty nor
//      locked (the most recently used eligible one).  None: return null,
//      having changed nothing.
//   4. Store the id (default mapping only), the set, flags 0, and move the
//      tag to the front of the in-use list.
#include "core.h"

using namespace tovrick_core;

namespace {

// Step 3: the tag an id new to set `set` takes, or null.  Free tags are
// clean and unlocked by invariant, so their flags are not consulted.
tovrick_tag *choose_tag(tovrick_cache *cache, uint32_t set)
{
    tovrick_list *free_head = &cache->free_lists[set];
    if (free_head->next != free_head)
        return as_tag(free_head->next);
    tovrick_list *used_head = &cache->used_lists[set];
    for (tovrick_list *n = used_head->next; n != used_head; n = n->next)
        if ((as_tag(n)->flags & kPinned) == 0)
            return as_tag(n);
    return nullptr;
}

// Small ids are copied inline; other sizes through memcpy.
void store_id(const tovrick_cache *cache, tovrick_tag *tag, const void *id)
{
    unsigned char *slot = id_slot(cache, tag);
    switch (cache->id_size) {
    case 4: std::memcpy(slot, id, 4); break;
    case 8: std::memcpy(slot, id, 8); break;
    case 16: std::memcpy(slot, id, 16); break;
    default: std::memcpy(slot, id, cache->id_size); break;
    }
}

// Steps 3 and 4, apart from the hit path so that it stays short.
tovrick_tag *place_new_id(tovrick_cache *cache, const void *id, uint32_t set)
{
    tovrick_tag *tag = choose_tag(cache, set); // 3
    if (!tag)
        return nullptr;
    if (cache->ids) // 4
        store_id(cache, tag, id);
    tag->set = static_cast<uint16_t>(set);
    tag->flags = 0;
    move_to_front(&cache->used_lists[set], &tag->link);
    return tag;
}

} // namespace

extern "C" TOVRICK_API tovrick_tag *tovrick_insert(tovrick_cache *cache, const void *id)
{
    const uint32_t set = set_of(cache, cache->hash_fn(id)); // 1
    tovrick_tag *tag = find_in_set(cache, id, set);         // 2
    if (!tag)
        return place_new_id(cache, id, set);
    move_to_front(&cache->used_lists[set], &tag->link);
    return tag;
}
