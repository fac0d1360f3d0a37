// Cache destruction: the block goes back in one call, whatever it holds.
#include "core.h"

extern "C" TOVRICK_API void tovrick_destroy(tovrick_cache *cache)
{
    cache->free_fn(cache->alloc_ctx, cache);
}
