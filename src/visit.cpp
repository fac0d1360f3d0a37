// The walk over every tag in use: sets in ascending order, each in-use list
// from the front.  A tag's successor is read only after the visitor for it
// has returned, so a visitor may lock, unlock and query, though it must not
// move or remove tags of this cache.
#include "core.h"

using namespace tovrick_core;

extern "C" TOVRICK_API void tovrick_visit_tags(tovrick_cache *cache, tovrick_visit_fn visit,
                                               void *ctx)
{
    for (uint32_t set = 0; set < cache->num_sets; ++set) {
        tovrick_list *head = &cache->used_lists[set];
        for (tovrick_list *n = head->next; n != head; n = n->next) {
            tovrick_tag *tag = as_tag(n);
            visit(ctx, cache, tag, stored_id(cache, tag));
        }
    }
}
