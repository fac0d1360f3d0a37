// Removal: a tag leaves use for the front of its set's free list, the
// place insertion takes the set's next tag from.
//
// Removal never writes back and never drops changes: a dirty tag is
// refused by either call, so no dirty tag ever stands on a free list (where
// insertion would hand it out without looking at its flags).  A locked tag
// is refused too.  A removed tag keeps its flags, count and stored id
// bytes; no search finds it, since searches read in-use lists only.
#include "core.h"

using namespace tovrick_core;

extern "C" {

TOVRICK_API int tovrick_remove_id(tovrick_cache *cache, const void *id)
{
    tovrick_tag *tag = find_in_set(cache, id, set_of(cache, cache->hash_fn(id)));
    if (!tag || (tag->flags & kPinned))
        return -1;
    release_tag(cache, tag);
    return 0;
}

TOVRICK_API int tovrick_remove_tag(tovrick_cache *cache, tovrick_tag *tag)
{
    if (tag->flags & kPinned)
        return -1;
    release_tag(cache, tag);
    return 0;
}

} // extern "C"
