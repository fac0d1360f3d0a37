// Lock references on tags.
//
// A tag's lock is a count of references held by the caller, not a lock
// between threads.  The locked flag is what the other operations consult;
// it is set with every lock and cleared when the count returns to 0, so it
// is set exactly when the count is at least 1 (setting a flag that is set
// already costs less than testing for the count's first step).  The count
// is capped at 2^31 - 1:
// a lock past the cap is refused, so the count can never wrap to 0 while
// the flag says locked.  These calls touch the tag header alone.
#include <cstdint>

#include "core.h"

namespace {

constexpr uint32_t kMaxLocks = INT32_MAX;

} // namespace

extern "C" {

TOVRICK_API int tovrick_lock_tag(tovrick_cache *, tovrick_tag *tag)
{
    const uint32_t held = tag->refcount;
    if (held >= kMaxLocks)
        return -1;
    tag->refcount = held + 1;
    tag->flags = static_cast<uint16_t>(tag->flags | TOVRICK_LOCKED);
    return 0;
}

TOVRICK_API int tovrick_unlock_tag(tovrick_cache *, tovrick_tag *tag)
{
    const uint32_t held = tag->refcount;
    if (held == 0)
        return -1;
    tag->refcount = held - 1;
    if (held == 1)
        tag->flags = static_cast<uint16_t>(tag->flags & ~TOVRICK_LOCKED);
    return 0;
}

TOVRICK_API uint32_t tovrick_get_refcount(const tovrick_tag *tag)
{
    return tag->refcount;
}

} // extern "C"
