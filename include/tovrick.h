/*
 * tovrick.h - a fixed-capacity, set-associative index of cache tags.
 *
 * A program that keeps copies of objects in a fixed number of slots uses
 * libtovrick to decide which slot (tag) holds which object (id), which tag a
 * new id takes over, which tags hold unwritten changes (dirty) and which are
 * held by the caller and must stay (locked).  The library never touches the
 * cached objects and does no I/O.
 *
 * The model, in brief:
 *   - A cache has num_sets sets (a power of two, at most 65536) of num_ways
 *     tags each.  An id's set is hash(id) & set_mask: only the LOW bits of the
 *     caller's hash choose the set, so the hash must mix into its low bits.
 *   - Each set keeps two circular lists of its own tags: the in-use list
 *     (tags holding an id, most recently used at the front) and the free
 *     list (tags holding none).  Every tag is on exactly one of them.
 *   - The caller defines its own tag record whose FIRST member is a
 *     tovrick_tag; the rest of the record is the caller's.
 *   - Ids are opaque byte strings of id_size bytes, reached only through the
 *     caller's hash and comparison callbacks and, optionally, a tag-to-id
 *     callback.  Without one (the default mapping) the cache keeps a copy of
 *     every tag's id in its own id array.
 *
 * Memory: creation obtains one block from the caller's allocator (or malloc)
 * and destruction releases it.  No other call allocates, and no call fails
 * for lack of memory after creation.
 *
 * Errors: creation is the only call that tests its arguments; it refuses by
 * returning NULL.  Calls that may refuse return 0 on success and -1 on
 * refusal.  A NULL cache or tag, or a tag of another cache, passed to any
 * other call is the caller's fault and is not detected.
 *
 * Threads: no call locks or waits.  Distinct caches may be used from
 * distinct threads at once; one cache is used by one thread at a time.
 * A tag's "lock" is a reference count, not a lock between threads.
 *
 * Callbacks run synchronously inside the call that uses them.  A callback
 * must not move or remove tags of the cache whose call invoked it, nor
 * destroy that cache.
 */
#ifndef TOVRICK_H
#define TOVRICK_H

#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(TOVRICK_BUILDING_SHARED)
#    define TOVRICK_API __declspec(dllexport)
#  elif defined(TOVRICK_SHARED)
#    define TOVRICK_API __declspec(dllimport)
#  else
#    define TOVRICK_API
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define TOVRICK_API __attribute__((visibility("default")))
#else
#  define TOVRICK_API
#endif

/*
 * Version of this header.  tovrick_version encodes the same numbers as
 * (major << 24) | (minor << 16) | (patch << 8).
 */
#define TOVRICK_VERSION_MAJOR 0
#define TOVRICK_VERSION_MINOR 8
#define TOVRICK_VERSION_PATCH 0
#define TOVRICK_VERSION_NUMBER                                                 \
    ((TOVRICK_VERSION_MAJOR << 24) | (TOVRICK_VERSION_MINOR << 16) |           \
     (TOVRICK_VERSION_PATCH << 8))

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A link of a circular, doubly linked list, and with the same shape a list
 * head.  An empty list is a head whose next and prev point to the head.
 * The front of a list is head->next, the back is head->prev.
 */
typedef struct tovrick_list {
    struct tovrick_list *next; /* one step towards the back; the last node's leads to the head */
    struct tovrick_list *prev; /* one step towards the front; the first node's leads to the head */
} tovrick_list;

/*
 * The tag header: the first member of every caller tag record, so a tag's
 * address, its header's and its link's are the same.  Owned by the library;
 * read it, never write it.
 */
typedef struct tovrick_tag {
    tovrick_list link; /* the tag's place on its set's in-use or free list */
    uint32_t refcount; /* lock references held; 0 when not locked */
    uint16_t flags;    /* TOVRICK_DIRTY | TOVRICK_LOCKED; 0 when the tag takes a new id */
    uint16_t set;      /* index of the set whose lists hold the tag; never changes */
} tovrick_tag;

/* Flag bits of tovrick_tag.flags. */
#define TOVRICK_DIRTY 1u  /* holds changes not yet written back */
#define TOVRICK_LOCKED 2u /* refcount is at least 1: never taken over or removed */

typedef struct tovrick_cache tovrick_cache;

/* Returns the address of the id_size bytes of the id that the tag holds. */
typedef const void *(*tovrick_tag_id_fn)(const tovrick_cache *cache, const tovrick_tag *tag);
/* Returns a 32-bit hash of the id; its low bits choose the set. */
typedef uint32_t (*tovrick_hash_fn)(const void *id);
/* Returns 0 when the stored id (first) equals the caller's id (second). */
typedef int (*tovrick_cmp_fn)(const void *stored_id, const void *id);
/* Returns a block of at least size bytes, aligned for pointers, or NULL. */
typedef void *(*tovrick_alloc_fn)(void *ctx, uint32_t size);
/* Releases a block that the matching tovrick_alloc_fn returned. */
typedef void (*tovrick_free_fn)(void *ctx, void *block);
/* Non-zero accepts the dirty tag on offer to tovrick_flush_if. */
typedef int (*tovrick_flush_pred_fn)(void *ctx, tovrick_tag *tag);
/* Called once per tag in use by tovrick_visit_tags; its result is ignored. */
typedef int (*tovrick_visit_fn)(void *ctx, tovrick_cache *cache, tovrick_tag *tag, const void *id);

/*
 * The cache record, at the start of the cache's block; a pointer to it is
 * the cache handle.  Every field but num_dirty keeps its creation value for
 * the life of the cache.  Read-only for the caller.
 */
struct tovrick_cache {
    uint32_t num_sets;         /* a power of two, 1 to 65536 */
    uint32_t num_ways;         /* tags per set, 1 to num_sets */
    uint32_t set_mask;         /* num_sets - 1 */
    uint32_t tag_stride;       /* tag_size rounded up to a multiple of 8 */
    uint32_t id_size;          /* bytes in an id */
    uint32_t id_stride;        /* id_size rounded up to a multiple of 8 */
    void *ids;                 /* id array under the default mapping, else NULL */
    tovrick_list *used_lists;  /* num_sets in-use list heads */
    tovrick_list *free_lists;  /* num_sets free list heads */
    uint32_t num_dirty;        /* dirty tags in the cache: the sum of dirty_per_set */
    uint32_t *dirty_per_set;   /* num_sets counters: dirty tags of each set */
    tovrick_tag_id_fn tag_id_fn; /* the caller's, or the library's default mapping */
    tovrick_hash_fn hash_fn;
    tovrick_cmp_fn cmp_fn;
    tovrick_alloc_fn alloc_fn; /* obtained the block */
    tovrick_free_fn free_fn;   /* releases it in tovrick_destroy */
    void *alloc_ctx;           /* handed back to alloc_fn and free_fn */
    void *tags;                /* the tag array, num_sets * num_ways tags tag_stride apart */
};

/* "0.8.0", NUL-terminated. */
TOVRICK_API extern const char tovrick_version_str[];
/* 0x00080000: major in bits 24-31, minor in 16-23, patch in 8-15; bits 0-7 zero. */
TOVRICK_API extern const uint32_t tovrick_version;

/* ------------------------------------------------------------------------
 * Life cycle
 * ------------------------------------------------------------------------ */

/*
 * Creates a cache in one block obtained from alloc_fn(alloc_ctx, size) and
 * zeroed; every tag starts free, clean and unlocked, each set's free list
 * holding its tags in ascending address order.
 *
 * tag_size is the size of the caller's tag record (tovrick_tag first).
 * tag_id_fn may be NULL: the cache then keeps a copy of every tag's id
 * (the default mapping).  With a tag_id_fn the caller stores ids itself.
 *
 * Returns the cache, or NULL without calling any callback when:
 *   num_sets is 0, not a power of two, or above 65536; num_ways is 0 or
 *   above num_sets; id_size is 0; tag_size is below sizeof(tovrick_tag);
 *   hash_fn, cmp_fn, alloc_fn or free_fn is NULL; or the block would not
 *   fit in 32 bits.  Returns NULL also when alloc_fn returns NULL.
 * Calls alloc_fn exactly once when the arguments are accepted.
 * Cost: one allocation, one zeroing pass, one list insertion per tag.
 */
TOVRICK_API tovrick_cache *tovrick_create2(uint32_t num_sets, uint32_t num_ways,
                                           uint32_t id_size, uint32_t tag_size,
                                           tovrick_tag_id_fn tag_id_fn,
                                           tovrick_hash_fn hash_fn, tovrick_cmp_fn cmp_fn,
                                           void *alloc_ctx, tovrick_alloc_fn alloc_fn,
                                           tovrick_free_fn free_fn);

/* tovrick_create2 with malloc and free as the allocator (context NULL). */
TOVRICK_API tovrick_cache *tovrick_create(uint32_t num_sets, uint32_t num_ways,
                                          uint32_t id_size, uint32_t tag_size,
                                          tovrick_tag_id_fn tag_id_fn,
                                          tovrick_hash_fn hash_fn, tovrick_cmp_fn cmp_fn);

/*
 * Releases the cache's block with one call of its free_fn, whatever its tags
 * hold: dirty tags are not reported, locks do not hold it back.  Every
 * pointer into the cache is invalid afterwards.  Calls free_fn once and
 * nothing else; constant time.
 */
TOVRICK_API void tovrick_destroy(tovrick_cache *cache);

/* ------------------------------------------------------------------------
 * List primitives.  Each is a fixed handful of pointer writes; none tests
 * anything.  Where a head and a node are passed, the head comes first.
 * ------------------------------------------------------------------------ */

/* Makes head an empty list (next and prev point to head). */
TOVRICK_API void tovrick_list__init(tovrick_list *head);
/* Puts node, which is on no list, at the front of head's list. */
TOVRICK_API void tovrick_list__insert_head(tovrick_list *head, tovrick_list *node);
/* Puts node, which is on no list, at the back of head's list. */
TOVRICK_API void tovrick_list__insert_tail(tovrick_list *head, tovrick_list *node);
/*
 * Unlinks node from its list.  The node's own next and prev still point at
 * its former neighbours afterwards.
 */
TOVRICK_API void tovrick_list__remove(tovrick_list *node);
/*
 * Moves node, which is on some list (head's or another), to the front of
 * head's list.  A node already at the front stays where it is.
 */
TOVRICK_API void tovrick_list__lru_update(tovrick_list *head, tovrick_list *node);

/* ------------------------------------------------------------------------
 * Lookup and insertion
 * ------------------------------------------------------------------------ */

/*
 * Returns the tag in use that holds id, or NULL.  Changes nothing.
 * Calls hash_fn once, then tag_id_fn and cmp_fn for each tag of the id's
 * set examined, from the front of its in-use list.  (Under the default
 * mapping the library finds its own copy of the id without a call.)
 * Cost: at most num_ways comparisons.
 */
TOVRICK_API tovrick_tag *tovrick_lookup(tovrick_cache *cache, const void *id);

/*
 * tovrick_lookup with the id's hash given: hash_fn is not called.  Only
 * hash & set_mask counts, so the set index itself serves as well.
 */
TOVRICK_API tovrick_tag *tovrick_lookup__impl(tovrick_cache *cache, const void *id,
                                              uint32_t hash);

/*
 * Returns the tag that holds id after the call, or NULL.
 *   - id held: its tag, moved to the front, flags untouched.
 *   - not held: the front tag of the set's free list; when that is empty,
 *     the clean, unlocked tag NEAREST THE FRONT of the in-use list (the
 *     most recently used one) is taken over and its old id dropped.  The
 *     tag gets flags 0, moves to the front, and under the default mapping
 *     a copy of id.  Under a caller mapping the caller stores id itself.
 *   - NULL when the id is not held and every tag of its set is dirty or
 *     locked; nothing changes.  tovrick_purge then names a tag to write
 *     back and mark clean, after which the same insertion takes that tag.
 * The result does not tell a found tag from a newly given one.
 * Calls hash_fn once, then tag_id_fn and cmp_fn as tovrick_lookup does;
 * choosing a tag to take over calls nothing.
 * Cost: at most num_ways comparisons plus num_ways flag reads.
 */
TOVRICK_API tovrick_tag *tovrick_insert(tovrick_cache *cache, const void *id);

/* ------------------------------------------------------------------------
 * Removal: the tag leaves its in-use list for the front of its set's free
 * list, so it is the next tag that set gives out.  A removed tag keeps its
 * flags, refcount and stored id bytes; no lookup finds it.
 * ------------------------------------------------------------------------ */

/*
 * Removes id.  Returns 0 on success; -1, changing nothing, when no tag in
 * use holds id or its tag is dirty or locked.  Calls hash_fn once, then
 * tag_id_fn and cmp_fn as tovrick_lookup does.  Cost: one search of a set.
 */
TOVRICK_API int tovrick_remove_id(tovrick_cache *cache, const void *id);

/*
 * Removes tag.  Returns 0 on success; -1, changing nothing, when the tag is
 * locked or dirty: removal never drops changes that are not written back.
 * A tag already free (and clean, unlocked) is put back at the front of its
 * free list and 0 is returned.  Calls no callback; constant time.
 */
TOVRICK_API int tovrick_remove_tag(tovrick_cache *cache, tovrick_tag *tag);

/* ------------------------------------------------------------------------
 * Dirty tracking and write-back selection.  The selections only name a tag;
 * the library never writes back or removes anything on its own.
 * ------------------------------------------------------------------------ */

/*
 * Marks tag dirty and moves it to the front of its in-use list; the counts
 * rise by one only when the flag was clear.  The tag must be in use (a
 * tag on a free list is not detected).  Constant time, no callback.
 */
TOVRICK_API void tovrick_set_dirty(tovrick_cache *cache, tovrick_tag *tag);

/*
 * The mirror of tovrick_set_dirty: marks tag clean and moves it to the
 * front; the counts fall by one only when the flag was set.
 */
TOVRICK_API void tovrick_clear_dirty(tovrick_cache *cache, tovrick_tag *tag);

/* Returns 1 when tag is dirty, else 0 (also for a locked tag). */
TOVRICK_API int tovrick_is_dirty(const tovrick_tag *tag);

/* Returns the number of dirty tags in the cache; constant time. */
TOVRICK_API uint32_t tovrick_num_dirty(const tovrick_cache *cache);

/*
 * Returns a dirty tag, locked or not, or NULL when there is none: the first
 * one met walking sets in ascending order, each in-use list from the front.
 * Sets with no dirty tag are skipped by their counter.  Changes nothing and
 * calls no callback, so it names the same tag until that tag is cleared.
 * Cost: one read when nothing is dirty; otherwise a scan of the per-set
 * counters (many at a time) up to the first dirty set, and a walk of its
 * in-use list.
 */
TOVRICK_API tovrick_tag *tovrick_flush(tovrick_cache *cache);

/*
 * As tovrick_flush, returning the first dirty tag for which pred(ctx, tag)
 * is non-zero, or NULL.  pred is called once per dirty tag met, in walk
 * order, until one is accepted; never for a clean tag.  A NULL pred makes
 * this tovrick_flush.  pred must not insert, remove, mark or destroy in
 * this cache.  Cost: as tovrick_flush, up to the accepted tag.
 */
TOVRICK_API tovrick_tag *tovrick_flush_if(tovrick_cache *cache, tovrick_flush_pred_fn pred,
                                          void *ctx);

/*
 * Returns the dirty, unlocked tag nearest the front of the in-use list of
 * id's set, or NULL.  It need not hold id: it is the tag to write back and
 * mark clean when tovrick_insert(id) has returned NULL.  NULL here too
 * means every tag of the set is locked.  Calls hash_fn once and nothing
 * else; changes nothing.  Cost: at most num_ways flag reads.
 */
TOVRICK_API tovrick_tag *tovrick_purge(tovrick_cache *cache, const void *id);

/* ------------------------------------------------------------------------
 * Locking and enumeration.  A locked tag is never taken over, removed or
 * named by tovrick_purge; lookups, tovrick_flush and the walk still see it.
 * ------------------------------------------------------------------------ */

/*
 * Takes one lock reference on tag; the locked flag is set on the first.
 * Returns 0, or -1 changing nothing when the tag already holds 2^31 - 1
 * references.  The tag must be in use: a lock on a free tag protects
 * nothing and is not detected.  Constant time; the cache is not read.
 */
TOVRICK_API int tovrick_lock_tag(tovrick_cache *cache, tovrick_tag *tag);

/*
 * Drops one lock reference; the locked flag is cleared with the last.
 * Returns 0, or -1 changing nothing when the tag holds none.  Constant
 * time; the cache is not read.
 */
TOVRICK_API int tovrick_unlock_tag(tovrick_cache *cache, tovrick_tag *tag);

/* Returns the number of lock references held on tag; the cache is not needed. */
TOVRICK_API uint32_t tovrick_get_refcount(const tovrick_tag *tag);

/*
 * Calls visit(ctx, cache, tag, id) once for every tag in use, sets in
 * ascending order and each in-use list from the front, id being what the
 * cache's tag-to-id mapping gives for the tag.  Free tags are not visited.
 * visit must not be NULL; its result is ignored.  It may lock, unlock and
 * query, but must not insert, remove, mark or destroy in this cache.
 * Cost: one pass over the num_sets in-use lists; under a caller mapping one
 * tag_id_fn call per tag visited.
 */
TOVRICK_API void tovrick_visit_tags(tovrick_cache *cache, tovrick_visit_fn visit, void *ctx);

#ifdef __cplusplus
}
#endif

#endif /* TOVRICK_H */
