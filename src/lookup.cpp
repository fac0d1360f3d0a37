// Lookups: find the tag in use that holds an id.  They change nothing.
#include "core.h"

using namespace tovrick_core;

extern "C" {

TOVRICK_API tovrick_tag *tovrick_lookup__impl(tovrick_cache *cache, const void *id,
                                              uint32_t hash)
{
    return find_in_set(cache, id, set_of(cache, hash));
}

TOVRICK_API tovrick_tag *tovrick_lookup(tovrick_cache *cache, const void *id)
{
    return find_in_set(cache, id, set_of(cache, cache->hash_fn(id)));
}

} // extern "C"
