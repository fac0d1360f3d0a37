// Write-back selection within one id's set: the dirty, unlocked tag nearest
// the front, the one to write back when insertion of that id found every
// tag of the set dirty or locked.  It looks for no id and changes nothing.
#include "core.h"

using namespace tovrick_core;

extern "C" TOVRICK_API tovrick_tag *tovrick_purge(tovrick_cache *cache, const void *id)
{
    tovrick_list *head = &cache->used_lists[set_of(cache, cache->hash_fn(id))];
    for (tovrick_list *n = head->next; n != head; n = n->next)
        if ((as_tag(n)->flags & (TOVRICK_DIRTY | TOVRICK_LOCKED)) == TOVRICK_DIRTY)
            return as_tag(n);
    return nullptr;
}
