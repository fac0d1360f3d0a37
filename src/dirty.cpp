// Marking tags dirty and clean.
//
// The dirty flag, the tag's set counter and num_dirty change together, by
// one, and only when the flag changes: that keeps every counter equal to
// the number of dirty tags it counts.  Marking is also a use of the tag, so
// both operations move it to the front of its in-use list whatever its
// state.  The locked flag is left alone.
#include "core.h"

using namespace tovrick_core;

extern "C" {

TOVRICK_API void tovrick_set_dirty(tovrick_cache *cache, tovrick_tag *tag)
{
    const uint32_t set = tag->set;
    if (!(tag->flags & TOVRICK_DIRTY)) {
        tag->flags = static_cast<uint16_t>(tag->flags | TOVRICK_DIRTY);
        ++cache->dirty_per_set[set];
        ++cache->num_dirty;
    }
    move_to_front(&cache->used_lists[set], &tag->link);
}

TOVRICK_API void tovrick_clear_dirty(tovrick_cache *cache, tovrick_tag *tag)
{
    const uint32_t set = tag->set;
    if (tag->flags & TOVRICK_DIRTY) {
        tag->flags = static_cast<uint16_t>(tag->flags & ~TOVRICK_DIRTY);
        --cache->dirty_per_set[set];
        --cache->num_dirty;
    }
    move_to_front(&cache->used_lists[set], &tag->link);
}

TOVRICK_API int tovrick_is_dirty(const tovrick_tag *tag)
{
    return tag->flags & TOVRICK_DIRTY;
}

} // extern "C"
