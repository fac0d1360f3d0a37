/*
 * quickstart.c - the library in one page.
 *
 * A cache of 4 sets x 2 ways indexes "pages" by a 32-bit page number.  We
 * place a few pages, find them again, fill one set so that a new page
 * takes a tag over, and destroy the cache.
 */
#include <stdio.h>
#include <string.h>

#include "tovrick.h"

/* Our tag record: the library's header first, then whatever we keep. */
struct page {
    tovrick_tag hdr;
    char text[16];
};

/* The hash's LOW bits choose the set, so mix them in.  Page numbers are
 * small here; a multiplicative mix spreads them over the sets. */
static uint32_t hash_page(const void *id)
{
    uint32_t n;
    memcpy(&n, id, sizeof n);
    return n * 2654435761u >> 16;
}

static int cmp_page(const void *stored, const void *id)
{
    return memcmp(stored, id, sizeof(uint32_t));
}

static struct page *get(tovrick_cache *cache, uint32_t n)
{
    /* Insertion returns the tag holding n, giving it one if needed. */
    struct page *p = (struct page *)tovrick_insert(cache, &n);
    if (p && p->text[0] == '\0')
        snprintf(p->text, sizeof p->text, "page %u", (unsigned)n);
    return p;
}

int main(void)
{
    /* No tag-to-id callback: the cache keeps a copy of each page number. */
    tovrick_cache *cache = tovrick_create(4, 2, sizeof(uint32_t), sizeof(struct page), NULL,
                                          hash_page, cmp_page);
    uint32_t n, in_set[3], found = 0;
    struct page *p;

    if (!cache) {
        fprintf(stderr, "cannot create the cache\n");
        return 1;
    }
    printf("libtovrick %s: %u sets x %u ways\n", tovrick_version_str,
           (unsigned)cache->num_sets, (unsigned)cache->num_ways);

    for (n = 1; n <= 3; n++) {
        p = get(cache, n);
        printf("insert %u -> tag in set %u holding \"%s\"\n", (unsigned)n, (unsigned)p->hdr.set,
               p->text);
    }
    n = 2;
    p = (struct page *)tovrick_lookup(cache, &n);
    printf("lookup 2 -> %s\n", p ? p->text : "not held");

    /* Find three pages of one set: the third finds the set full. */
    for (n = 100; found < 3; n++)
        if ((hash_page(&n) & cache->set_mask) == 0)
            in_set[found++] = n;
    get(cache, in_set[0]);
    get(cache, in_set[1]);
    printf("set 0 holds pages %u and %u\n", (unsigned)in_set[0], (unsigned)in_set[1]);
    p = (struct page *)tovrick_lookup(cache, &in_set[1]);
    memset(p->text, 0, sizeof p->text); /* the tag is about to change hands */
    p = get(cache, in_set[2]);
    printf("insert %u -> took over the tag of page %u (the most recently used clean tag)\n",
           (unsigned)in_set[2], (unsigned)in_set[1]);
    printf("lookup %u -> %s\n", (unsigned)in_set[1],
           tovrick_lookup(cache, &in_set[1]) ? "held" : "not held");
    printf("lookup %u -> %s\n", (unsigned)in_set[0],
           tovrick_lookup(cache, &in_set[0]) ? "held" : "not held");

    tovrick_destroy(cache);
    return 0;
}
