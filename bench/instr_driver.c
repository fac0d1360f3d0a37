/*
 * instr_driver.c - fixed-count operation loops for instruction counting.
 *
 * Run under `valgrind --tool=callgrind --collect-atstart=no
 * --toggle-collect=measure`; bench/instructions.sh divides the
 * instructions spent inside libtovrick (callbacks excluded: they live in
 * this program) by the operation count.
 *
 *   instr_driver SCENARIO
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tovrick.h"

#define SETS 256u
#define WAYS 4u
#define OPS 100000u
#define FLUSH_SETS 65536u
#define FLUSH_CALLS 200u

struct rec {
    tovrick_tag hdr;
    uint64_t key;
};

static uint32_t hash_key(const void *id)
{
    uint64_t z;
    memcpy(&z, id, sizeof z);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return (uint32_t)(z ^ (z >> 31));
}

static int cmp_key(const void *a, const void *b)
{
    uint64_t x, y;
    memcpy(&x, a, 8);
    memcpy(&y, b, 8);
    return x != y;
}

static uint64_t rng_state = 88172645463325252ULL;
static uint64_t next_random(void)
{
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 7;
    rng_state ^= rng_state << 17;
    return rng_state;
}

static uint64_t *keys;     /* the keys the cache holds, one stream entry per op */
static tovrick_tag **tags; /* their tags */
static uint64_t *fresh;    /* keys the cache has never seen */
static volatile uintptr_t sink;

/* Fills every set of a 256x4 cache: inserts fresh keys until each set is full. */
static tovrick_cache *full_cache(uint64_t *held, uint32_t *count)
{
    tovrick_cache *c = tovrick_create(SETS, WAYS, 8, sizeof(struct rec), NULL, hash_key, cmp_key);
    uint64_t k = 1;
    *count = 0;
    while (*count < SETS * WAYS) {
        uint64_t key = k++;
        uint32_t set = hash_key(&key) & (SETS - 1);
        tovrick_list *free_head = &c->free_lists[set];
        if (free_head->next == free_head)
            continue;
        tovrick_insert(c, &key);
        held[(*count)++] = key;
    }
    return c;
}

static void prepare_streams(const uint64_t *held, uint32_t count, tovrick_cache *c)
{
    uint32_t i;
    for (i = 0; i < OPS; i++) {
        keys[i] = held[next_random() % count];
        tags[i] = tovrick_lookup(c, &keys[i]);
        fresh[i] = 0x100000000ULL + i;
    }
}

/* The measured loops: everything inside is collected. */
void measure(const char *scenario, tovrick_cache *c);
void measure(const char *scenario, tovrick_cache *c)
{
    uint32_t i;
    if (strcmp(scenario, "insert_hit") == 0)
        for (i = 0; i < OPS; i++) sink = (uintptr_t)tovrick_insert(c, &keys[i]);
    else if (strcmp(scenario, "insert_hit_front") == 0)
        for (i = 0; i < OPS; i++) sink = (uintptr_t)tovrick_insert(c, &keys[0]);
    else if (strcmp(scenario, "lookup_hit_front") == 0)
        for (i = 0; i < OPS; i++) sink = (uintptr_t)tovrick_lookup(c, &keys[0]);
    else if (strcmp(scenario, "insert_miss") == 0)
        for (i = 0; i < OPS; i++) sink = (uintptr_t)tovrick_insert(c, &fresh[i]);
    else if (strcmp(scenario, "lookup_hit") == 0)
        for (i = 0; i < OPS; i++) sink = (uintptr_t)tovrick_lookup(c, &keys[i]);
    else if (strcmp(scenario, "lookup_miss") == 0)
        for (i = 0; i < OPS; i++) sink = (uintptr_t)tovrick_lookup(c, &fresh[i]);
    else if (strcmp(scenario, "remove_insert") == 0)
        for (i = 0; i < OPS; i++) {
            sink = (uintptr_t)tovrick_remove_id(c, &keys[i]);
            sink = (uintptr_t)tovrick_insert(c, &keys[i]);
        }
    else if (strcmp(scenario, "dirty_clear") == 0)
        for (i = 0; i < OPS; i++) {
            tovrick_set_dirty(c, tags[i]);
            tovrick_clear_dirty(c, tags[i]);
        }
    else if (strcmp(scenario, "lock_unlock") == 0)
        for (i = 0; i < OPS; i++) {
            sink = (uintptr_t)tovrick_lock_tag(c, tags[i]);
            sink = (uintptr_t)tovrick_unlock_tag(c, tags[i]);
        }
    else if (strcmp(scenario, "flush_scan") == 0)
        for (i = 0; i < FLUSH_CALLS; i++) sink = (uintptr_t)tovrick_flush(c);
}

int main(int argc, char **argv)
{
    uint64_t held[SETS * WAYS];
    uint32_t count;
    tovrick_cache *c;
    if (argc != 2) {
        fprintf(stderr, "usage: instr_driver SCENARIO\n");
        return 2;
    }
    keys = malloc(OPS * sizeof *keys);
    tags = malloc(OPS * sizeof *tags);
    fresh = malloc(OPS * sizeof *fresh);
    if (strcmp(argv[1], "flush_scan") == 0) { /* one dirty tag, in the last set */
        uint64_t key = 0;
        c = tovrick_create(FLUSH_SETS, 1, 8, sizeof(struct rec), NULL, hash_key, cmp_key);
        while ((hash_key(&key) & (FLUSH_SETS - 1)) != FLUSH_SETS - 1)
            key++;
        tovrick_set_dirty(c, tovrick_insert(c, &key));
    } else {
        c = full_cache(held, &count);
        prepare_streams(held, count, c);
        tovrick_insert(c, &keys[0]); /* the *_front scenarios find it at the front */
    }
    measure(argv[1], c);
    tovrick_destroy(c);
    free(keys);
    free(tags);
    free(fresh);
    return 0;
}
