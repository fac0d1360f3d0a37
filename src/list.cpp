// The exported list primitives.  They are the same code the cache
// operations use inline (core.h): one definition, two ways in.
#include "core.h"

using namespace tovrick_core;

extern "C" {

TOVRICK_API void tovrick_list__init(tovrick_list *head)
{
    list_init(head);
}

TOVRICK_API void tovrick_list__insert_head(tovrick_list *head, tovrick_list *node)
{
    list_insert_head(head, node);
}

TOVRICK_API void tovrick_list__insert_tail(tovrick_list *head, tovrick_list *node)
{
    list_insert_tail(head, node);
}

TOVRICK_API void tovrick_list__remove(tovrick_list *node)
{
    list_remove(node);
}

TOVRICK_API void tovrick_list__lru_update(tovrick_list *head, tovrick_list *node)
{
    list_lru_update(head, node);
}

} // extern "C"
