/*
 * blockcache.c - the write-back block cache.
 *
 * Reading or writing a block:
 *   1. tovrick_insert(block number) gives the buffer holding the block, or a
 *      buffer given to it now (whose contents belong to another block).
 *   2. When insertion returns NULL, every buffer of the set is dirty or
 *      locked: tovrick_purge names a dirty unlocked one, which is written
 *      back, marked clean, and taken by the same insertion again.  When
 *      purge names none, every buffer of the set is held: BC_SET_LOCKED.
 *   3. A buffer given to a new block is filled from the file.
 *   4. The buffer is locked until the caller releases it.
 * Closing drains every dirty buffer with tovrick_flush, then syncs.
 */
#define _POSIX_C_SOURCE 200809L
#define _FILE_OFFSET_BITS 64

#include "blockcache.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct blockcache {
    tovrick_cache *index;
    int fd;
    uint32_t block_size;
    int skip_writeback;
    unsigned char *buffers;
    bc_stats stats;
};

/* The index chooses a set by the hash's low bits: mix the whole number
 * into them (the finalizer of splitmix64). */
static uint32_t hash_block(const void *id)
{
    uint64_t z;
    memcpy(&z, id, sizeof z);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return (uint32_t)(z ^ (z >> 31));
}

static int cmp_block(const void *stored, const void *id)
{
    return memcmp(stored, id, sizeof(uint64_t));
}

static const void *block_id(const tovrick_cache *cache, const tovrick_tag *tag)
{
    (void)cache;
    return &((const bc_block *)(const void *)tag)->number;
}

static bc_block *as_block(tovrick_tag *tag)
{
    return (bc_block *)(void *)tag;
}

static off_t block_offset(const blockcache *bc, uint64_t number)
{
    return (off_t)(number * bc->block_size);
}

/* Reads a block; past the end of the file it reads as zeroes. */
static enum bc_status fill(blockcache *bc, bc_block *b, uint64_t number)
{
    size_t done = 0;
    while (done < bc->block_size) {
        ssize_t n = pread(bc->fd, b->data + done, bc->block_size - done,
                          block_offset(bc, number) + (off_t)done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return BC_IO_ERROR;
        if (n == 0)
            break;
        done += (size_t)n;
    }
    memset(b->data + done, 0, bc->block_size - done);
    b->number = number;
    b->valid = 1;
    return BC_OK;
}

/* Writes a dirty block back and marks it clean. */
static enum bc_status write_back(blockcache *bc, bc_block *b)
{
    size_t done = 0;
    while (!bc->skip_writeback && done < bc->block_size) {
        ssize_t n = pwrite(bc->fd, b->data + done, bc->block_size - done,
                           block_offset(bc, b->number) + (off_t)done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return BC_IO_ERROR;
        done += (size_t)n;
    }
    tovrick_clear_dirty(bc->index, &b->hdr);
    return BC_OK;
}

blockcache *bc_open(int fd, uint32_t block_size, uint32_t num_sets, uint32_t num_ways,
                    enum bc_mapping mapping)
{
    blockcache *bc = calloc(1, sizeof *bc);
    uint32_t k, total;
    if (!bc || block_size == 0)
        goto fail;
    bc->fd = fd;
    bc->block_size = block_size;
    bc->index = tovrick_create(num_sets, num_ways, sizeof(uint64_t), sizeof(bc_block),
                               mapping == BC_CALLER_MAPPING ? block_id : NULL, hash_block,
                               cmp_block);
    if (!bc->index)
        goto fail;
    total = num_sets * num_ways;
    bc->buffers = malloc((size_t)total * block_size);
    if (!bc->buffers)
        goto fail;
    for (k = 0; k < total; k++) {
        bc_block *b = (bc_block *)(void *)((char *)bc->index->tags +
                                           (size_t)k * bc->index->tag_stride);
        b->data = bc->buffers + (size_t)k * block_size;
    }
    return bc;
fail:
    if (bc && bc->index)
        tovrick_destroy(bc->index);
    free(bc);
    return NULL;
}

bc_block *bc_acquire(blockcache *bc, uint64_t number, enum bc_status *status)
{
    tovrick_tag *tag = tovrick_insert(bc->index, &number); /* 1 */
    bc_block *b;
    if (!tag) { /* 2 */
        tovrick_tag *victim = tovrick_purge(bc->index, &number);
        if (!victim) {
            bc->stats.set_locked++;
            *status = BC_SET_LOCKED;
            return NULL;
        }
        if ((*status = write_back(bc, as_block(victim))) != BC_OK)
            return NULL;
        bc->stats.purges++;
        tag = tovrick_insert(bc->index, &number);
    }
    b = as_block(tag);
    if (b->valid && b->number == number) {
        bc->stats.hits++;
    } else { /* 3 */
        bc->stats.misses++;
        if ((*status = fill(bc, b, number)) != BC_OK) {
            b->valid = 0;
            return NULL;
        }
    }
    tovrick_lock_tag(bc->index, tag); /* 4 */
    *status = BC_OK;
    return b;
}

void bc_mark_dirty(blockcache *bc, bc_block *block)
{
    tovrick_set_dirty(bc->index, &block->hdr);
}

void bc_release(blockcache *bc, bc_block *block)
{
    tovrick_unlock_tag(bc->index, &block->hdr);
}

enum bc_status bc_flush(blockcache *bc)
{
    tovrick_tag *tag;
    while ((tag = tovrick_flush(bc->index)) != NULL) {
        enum bc_status st = write_back(bc, as_block(tag));
        if (st != BC_OK)
            return st;
        bc->stats.flushes++;
    }
    return fsync(bc->fd) == 0 ? BC_OK : BC_IO_ERROR;
}

enum bc_status bc_close(blockcache *bc)
{
    enum bc_status st = bc_flush(bc);
    tovrick_destroy(bc->index);
    free(bc->buffers);
    free(bc);
    return st;
}

const bc_stats *bc_get_stats(const blockcache *bc)
{
    return &bc->stats;
}

void bc_skip_writeback(blockcache *bc, int skip)
{
    bc->skip_writeback = skip;
}
