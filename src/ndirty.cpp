// The number of dirty tags in a cache.
#include "core.h"

extern "C" TOVRICK_API uint32_t tovrick_num_dirty(const tovrick_cache *cache)
{
    return cache->num_dirty;
}
