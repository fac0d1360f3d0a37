// Cache creation with the standard allocator.
#include <cstdlib>

#include "core.h"

namespace {

void *stdlib_memalloc__(void *, uint32_t size)
{
    return std::malloc(size);
}

void stdlib_memfree__(void *, void *block)
{
    std::free(block);
}

} // namespace

extern "C" TOVRICK_API tovrick_cache *
tovrick_create(uint32_t num_sets, uint32_t num_ways, uint32_t id_size, uint32_t tag_size,
               tovrick_tag_id_fn tag_id_fn, tovrick_hash_fn hash_fn, tovrick_cmp_fn cmp_fn)
{
    return tovrick_core::create_cache(num_sets, num_ways, id_size, tag_size, tag_id_fn,
                                      hash_fn, cmp_fn, nullptr, stdlib_memalloc__,
                                      stdlib_memfree__);
}
