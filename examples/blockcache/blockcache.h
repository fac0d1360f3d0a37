/*
 * blockcache.h - a write-back cache of fixed-size file blocks, indexed by
 * libtovrick.
 *
 * The cache keeps copies of blocks of one file in a fixed number of
 * buffers.  libtovrick decides which buffer (tag) holds which block, which
 * buffer a new block takes over, which buffers must be written back first
 * (dirty) and which are in the caller's hands (locked).
 */
#ifndef BLOCKCACHE_H
#define BLOCKCACHE_H

#include <stdint.h>

#include "tovrick.h"

/* Our tag record: the library's header first. */
typedef struct bc_block {
    tovrick_tag hdr;
    uint64_t number;     /* block whose contents `data` holds; under the caller
                            mapping also the tag's id */
    int valid;           /* `data` holds block `number` */
    unsigned char *data; /* block_size bytes */
} bc_block;

enum bc_mapping {
    BC_CALLER_MAPPING,  /* the id is bc_block.number */
    BC_DEFAULT_MAPPING, /* the index keeps its own copy of each id */
};

enum bc_status {
    BC_OK = 0,
    BC_SET_LOCKED, /* every buffer of the block's set is held: release one */
    BC_IO_ERROR,   /* a read or write of the file failed; see errno */
    BC_NO_MEMORY,
};

typedef struct bc_stats {
    uint64_t hits;       /* acquisitions that found the block cached */
    uint64_t misses;     /* acquisitions that read the block from the file */
    uint64_t purges;     /* write-backs to free a set full of dirty buffers */
    uint64_t flushes;    /* write-backs at bc_flush or bc_close */
    uint64_t set_locked; /* acquisitions refused: set full of held buffers */
} bc_stats;

typedef struct blockcache blockcache;

/* Opens a cache of num_sets x num_ways buffers over the file open on fd.
 * Returns NULL when the geometry is refused or memory is short. */
blockcache *bc_open(int fd, uint32_t block_size, uint32_t num_sets, uint32_t num_ways,
                    enum bc_mapping mapping);

/* Returns block `number`, read from the file if it is not cached, and
 * locked until bc_release: it stays in its buffer meanwhile.  Returns NULL
 * with *status set when the set is full of held buffers or I/O fails. */
bc_block *bc_acquire(blockcache *bc, uint64_t number, enum bc_status *status);

/* Records that the caller changed the block's data. */
void bc_mark_dirty(blockcache *bc, bc_block *block);

/* Gives a block back; it may be written back and reused from now on. */
void bc_release(blockcache *bc, bc_block *block);

/* Writes back every dirty buffer and syncs the file. */
enum bc_status bc_flush(blockcache *bc);

/* Flushes, then frees the cache whatever the result. */
enum bc_status bc_close(blockcache *bc);

const bc_stats *bc_get_stats(const blockcache *bc);

/* Test hook: when set, write-backs are skipped (the data is lost), so a
 * verifier can show that it catches lost writes. */
void bc_skip_writeback(blockcache *bc, int skip);

#endif
