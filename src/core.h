// Internal helpers shared by the operation units.
//
// Everything here is inline and private to the library (hidden visibility):
// the units call these instead of each other's exported functions, so no
// call between the library's own operations goes through the PLT or through
// a pointer.  The only indirect calls on the hot paths are the caller's
// callbacks.
//
// Invariants the helpers rely on (kept by the units that change the state):
//   - every tag is on exactly one of the two lists of its own set, and its
//     `set` field names that set;
//   - a tag on a free list is clean and unlocked;
//   - dirty_per_set[s] counts the dirty tags of set s, num_dirty their sum;
//   - the locked flag is set exactly when refcount is at least 1;
//   - `ids` is non-null exactly under the default mapping, where tag_id_fn
//     is the library's own mapping and never the caller's.
#ifndef TOVRICK_CORE_H
#define TOVRICK_CORE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tovrick.h"

namespace tovrick_core {

// ---- List primitives: the only code that writes links. ----------------

inline void list_init(tovrick_list *head)
{
    head->next = head;
    head->prev = head;
}

inline void list_insert_head(tovrick_list *head, tovrick_list *node)
{
    tovrick_list *front = head->next;
    node->prev = head;
    node->next = front;
    front->prev = node;
    head->next = node;
}

inline void list_insert_tail(tovrick_list *head, tovrick_list *node)
{
    tovrick_list *back = head->prev;
    node->next = head;
    node->prev = back;
    back->next = node;
    head->prev = node;
}

// Leaves node's own links pointing at its former neighbours.
inline void list_remove(tovrick_list *node)
{
    node->prev->next = node->next;
    node->next->prev = node->prev;
}

// Unlink first, then read the front: a node already at the front (or alone)
// ends up exactly where it was.
inline void list_lru_update(tovrick_list *head, tovrick_list *node)
{
    list_remove(node);
    list_insert_head(head, node);
}

// The cache operations' way of moving a tag to the front of a list: a tag
// that is there already is left alone, without the six link writes.
inline void move_to_front(tovrick_list *head, tovrick_list *node)
{
    if (head->next != node)
        list_lru_update(head, node);
}

// ---- Tags and ids. ------------------------------------------------------

// The flags that keep a tag in use: it is neither taken over nor removed.
constexpr uint16_t kPinned = TOVRICK_DIRTY | TOVRICK_LOCKED;

// A tag's link is its first member, so a node on a cache list is its tag.
inline tovrick_tag *as_tag(tovrick_list *node)
{
    return reinterpret_cast<tovrick_tag *>(node);
}

// Index of a tag in the tag array.  The block is under 4 GiB (creation
// refuses larger ones), so the byte offset fits 32 bits.
inline uint32_t tag_index(const tovrick_cache *cache, const tovrick_tag *tag)
{
    const char *base = static_cast<const char *>(cache->tags);
    auto offset = static_cast<uint32_t>(reinterpret_cast<const char *>(tag) - base);
    return offset / cache->tag_stride;
}

// The id slot of a tag under the default mapping.  The id array is under
// 4 GiB too, so the slot's offset fits 32 bits.
inline unsigned char *id_slot(const tovrick_cache *cache, const tovrick_tag *tag)
{
    return static_cast<unsigned char *>(cache->ids) + tag_index(cache, tag) * cache->id_stride;
}

// What the cache's tag-to-id mapping gives for a tag.  Under the default
// mapping the slot is computed here rather than through the library's own
// callback: the result is the same, without an indirect call.
inline const void *stored_id(const tovrick_cache *cache, const tovrick_tag *tag)
{
    if (cache->ids)
        return id_slot(cache, tag);
    return cache->tag_id_fn(cache, tag);
}

inline uint32_t set_of(const tovrick_cache *cache, uint32_t hash)
{
    return hash & cache->set_mask;
}

// ---- Search: the first tag of set s's in-use list, from the front, whose
// stored id compares equal to id; null when none does.  Writes nothing. ----

// The callbacks are read from the record at each call rather than kept in
// registers: that leaves more registers for the walk itself.
inline tovrick_tag *find_in_set(tovrick_cache *cache, const void *id, uint32_t set)
{
    tovrick_list *head = &cache->used_lists[set];
    if (cache->ids) {
        for (tovrick_list *n = head->next; n != head; n = n->next)
            if (cache->cmp_fn(id_slot(cache, as_tag(n)), id) == 0)
                return as_tag(n);
        return nullptr;
    }
    for (tovrick_list *n = head->next; n != head; n = n->next)
        if (cache->cmp_fn(cache->tag_id_fn(cache, as_tag(n)), id) == 0)
            return as_tag(n);
    return nullptr;
}

// Takes a tag out of use: to the front of its set's free list, where
// insertion takes the set's next tag.  The caller has checked that the tag
// is clean and unlocked, which every tag on a free list must be.
inline void release_tag(tovrick_cache *cache, tovrick_tag *tag)
{
    list_remove(&tag->link);
    list_insert_head(&cache->free_lists[tag->set], &tag->link);
}

// Creation proper, behind both creation calls; defined in create2.cpp,
// beside the default mapping.
tovrick_cache *create_cache(uint32_t num_sets, uint32_t num_ways, uint32_t id_size,
                            uint32_t tag_size, tovrick_tag_id_fn tag_id_fn,
                            tovrick_hash_fn hash_fn, tovrick_cmp_fn cmp_fn, void *alloc_ctx,
                            tovrick_alloc_fn alloc_fn, tovrick_free_fn free_fn);

} // namespace tovrick_core

#endif // TOVRICK_CORE_H
