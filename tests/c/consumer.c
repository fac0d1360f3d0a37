/* A plain C99 program using the library through its header: it must
 * compile without warnings and link without the C++ runtime. */
#include <stdio.h>
#include <string.h>

#include "tovrick.h"

struct block_tag {
    tovrick_tag hdr; /* first member: the library's header */
    unsigned payload;
};

static uint32_t hash_u32(const void *id)
{
    uint32_t v;
    memcpy(&v, id, sizeof v);
    return v;
}

static int cmp_u32(const void *stored, const void *id)
{
    return memcmp(stored, id, sizeof(uint32_t));
}

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,   \
                    #cond);                                                    \
            return 1;                                                          \
        }                                                                      \
    } while (0)

int main(void)
{
    tovrick_cache *cache = tovrick_create(4, 2, sizeof(uint32_t), sizeof(struct block_tag),
                                          NULL, hash_u32, cmp_u32);
    uint32_t a = 1, b = 5, c = 9;
    struct block_tag *ta, *tb, *tc;

    CHECK(cache != NULL);
    CHECK(strcmp(tovrick_version_str, "0.8.0") == 0);
    CHECK(tovrick_version == TOVRICK_VERSION_NUMBER);
    ta = (struct block_tag *)tovrick_insert(cache, &a);
    tb = (struct block_tag *)tovrick_insert(cache, &b);
    CHECK(ta != NULL && tb != NULL && ta != tb);
    ta->payload = 100;
    CHECK(tovrick_lookup(cache, &a) == &ta->hdr);
    tc = (struct block_tag *)tovrick_insert(cache, &c); /* set 1 is full: b's tag goes */
    CHECK(tc == tb);
    CHECK(tovrick_lookup(cache, &b) == NULL);
    CHECK(((struct block_tag *)tovrick_lookup(cache, &a))->payload == 100);
    tovrick_destroy(cache);
    puts("c99 consumer: ok");
    return 0;
}
