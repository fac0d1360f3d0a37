/*
 * tovrick-demo - runs a workload through a write-back block cache over a
 * real file and verifies the file byte for byte against an in-memory
 * shadow of every write.
 *
 * Every read is also checked against the shadow as it happens, so a stale
 * buffer is caught at once; the final check catches lost write-backs.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "blockcache.h"

#define EXIT_USAGE 2

static const char usage[] =
    "usage: tovrick-demo [options]\n"
    "\n"
    "Runs a skewed mix of block reads and writes through a write-back block\n"
    "cache indexed by libtovrick, closes it, and verifies the file byte for\n"
    "byte against a shadow copy of every write.\n"
    "\n"
    "  --file PATH         file to use; it is overwritten (default: a temporary file)\n"
    "  --size BYTES        file size; K, M, G suffixes allowed (default 4M)\n"
    "  --block-size BYTES  block size (default 4096)\n"
    "  --sets N            sets of the index, a power of two (default 64)\n"
    "  --ways N            buffers per set, at most --sets (default 4)\n"
    "  --ops N             operations of the built-in workload (default 200000)\n"
    "  --write-ratio R     share of writes, 0 to 1 (default 0.3)\n"
    "  --hold N            blocks held locked across operations at most (default 2)\n"
    "  --seed N            workload seed (default 1)\n"
    "  --mapping M         'caller' (the block number lives in the tag record) or\n"
    "                      'default' (the index keeps its own copy) (default caller)\n"
    "  --trace PATH        replay a trace instead: one operation per line, 'R n' or\n"
    "                      'W n' for block n; blank lines and '#' comments skipped\n"
    "  --skip-writeback    lose every write-back (shows that verification fails)\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 verified, 1 verification or I/O failure, 2 bad usage.\n";

struct options {
    const char *file;
    uint64_t size;
    uint64_t block_size;
    uint64_t sets, ways, ops, hold, seed;
    double write_ratio;
    enum bc_mapping mapping;
    const char *trace;
    int skip_writeback;
};

struct op {
    char kind; /* 'R' or 'W' */
    uint64_t block;
};

static void die_usage(const char *fmt, const char *arg)
{
    fprintf(stderr, "tovrick-demo: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\ntry 'tovrick-demo --help'\n");
    exit(EXIT_USAGE);
}

/* A whole number with an optional K/M/G suffix, or exit 2. */
static uint64_t parse_count(const char *name, const char *text, int suffixes)
{
    char *end;
    unsigned long long v;
    uint64_t scale = 1;
    errno = 0;
    if (text[0] < '0' || text[0] > '9')
        die_usage("%s needs a whole number", name);
    v = strtoull(text, &end, 10);
    if (suffixes && *end) {
        switch (*end++) {
        case 'K': case 'k': scale = 1ULL << 10; break;
        case 'M': case 'm': scale = 1ULL << 20; break;
        case 'G': case 'g': scale = 1ULL << 30; break;
        default: die_usage("%s: unknown size suffix", name);
        }
    }
    if (errno || *end || v > UINT64_MAX / scale)
        die_usage("%s needs a whole number", name);
    return (uint64_t)v * scale;
}

static void parse_options(int argc, char **argv, struct options *o)
{
    int i;
    for (i = 1; i < argc; i++) {
        const char *name = argv[i];
        const char *value = NULL;
        if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
            fputs(usage, stdout);
            exit(0);
        }
        if (strcmp(name, "--skip-writeback") == 0) {
            o->skip_writeback = 1;
            continue;
        }
        if (strncmp(name, "--", 2) != 0)
            die_usage("unexpected argument '%s'", name);
        if (i + 1 >= argc)
            die_usage("%s needs a value", name);
        value = argv[++i];
        if (strcmp(name, "--file") == 0) o->file = value;
        else if (strcmp(name, "--trace") == 0) o->trace = value;
        else if (strcmp(name, "--size") == 0) o->size = parse_count(name, value, 1);
        else if (strcmp(name, "--block-size") == 0) o->block_size = parse_count(name, value, 1);
        else if (strcmp(name, "--sets") == 0) o->sets = parse_count(name, value, 0);
        else if (strcmp(name, "--ways") == 0) o->ways = parse_count(name, value, 0);
        else if (strcmp(name, "--ops") == 0) o->ops = parse_count(name, value, 0);
        else if (strcmp(name, "--hold") == 0) o->hold = parse_count(name, value, 0);
        else if (strcmp(name, "--seed") == 0) o->seed = parse_count(name, value, 0);
        else if (strcmp(name, "--write-ratio") == 0) {
            char *end;
            o->write_ratio = strtod(value, &end);
            if (*end || end == value || !(o->write_ratio >= 0 && o->write_ratio <= 1))
                die_usage("--write-ratio needs a number from 0 to 1, not '%s'", value);
        } else if (strcmp(name, "--mapping") == 0) {
            if (strcmp(value, "caller") == 0) o->mapping = BC_CALLER_MAPPING;
            else if (strcmp(value, "default") == 0) o->mapping = BC_DEFAULT_MAPPING;
            else die_usage("--mapping is 'caller' or 'default', not '%s'", value);
        } else
            die_usage("unknown option '%s'", name);
    }
    if (o->block_size == 0 || o->block_size > (1u << 26))
        die_usage("%s must be from 1 to 64M", "--block-size");
    if (o->size < o->block_size || o->size % o->block_size)
        die_usage("%s must be a non-zero multiple of the block size", "--size");
    if (o->sets == 0 || o->sets > 65536 || (o->sets & (o->sets - 1)))
        die_usage("%s must be a power of two from 1 to 65536", "--sets");
    if (o->ways == 0 || o->ways > o->sets)
        die_usage("%s must be from 1 to --sets", "--ways");
    if (o->sets * o->ways * o->block_size > (1ULL << 32))
        die_usage("%s: the buffers would take more than 4 GiB", "--ways");
}

/* xorshift64*: a small, seedable generator for the workload and data. */
static uint64_t next_random(uint64_t *state)
{
    uint64_t x = *state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    *state = x;
    return x * 0x2545F4914F6CDD1DULL;
}

static double uniform(uint64_t *state)
{
    return (double)(next_random(state) >> 11) * (1.0 / 9007199254740992.0);
}

static void fill_random(unsigned char *p, size_t n, uint64_t seed)
{
    uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1, r = 0;
    size_t i;
    for (i = 0; i < n; i++) {
        if (i % 8 == 0)
            r = next_random(&state);
        p[i] = (unsigned char)(r >> (8 * (i % 8)));
    }
}

/* The built-in workload: a skewed mix, low block numbers hottest. */
static struct op *make_workload(const struct options *o, uint64_t blocks)
{
    struct op *ops = malloc(o->ops * sizeof *ops);
    uint64_t state = o->seed * 2 + 1, i;
    if (!ops)
        return NULL;
    for (i = 0; i < o->ops; i++) {
        double u = uniform(&state);
        ops[i].block = (uint64_t)(u * u * u * (double)blocks);
        if (ops[i].block >= blocks)
            ops[i].block = blocks - 1;
        ops[i].kind = uniform(&state) < o->write_ratio ? 'W' : 'R';
    }
    return ops;
}

static struct op *read_trace(const char *path, uint64_t blocks, uint64_t *count)
{
    FILE *f = fopen(path, "r");
    char line[256];
    struct op *ops = NULL;
    uint64_t n = 0, cap = 0, lineno = 0;
    if (!f) {
        fprintf(stderr, "tovrick-demo: cannot open trace %s: %s\n", path, strerror(errno));
        exit(EXIT_USAGE);
    }
    while (fgets(line, sizeof line, f)) {
        char kind, extra;
        unsigned long long block;
        int fields;
        lineno++;
        if (line[strspn(line, " \t\r\n")] == '\0' || line[strspn(line, " \t")] == '#')
            continue;
        fields = sscanf(line, " %c %llu %c", &kind, &block, &extra);
        if (fields != 2 || (kind != 'R' && kind != 'W') || block >= blocks) {
            fprintf(stderr, "tovrick-demo: %s:%" PRIu64 ": expected 'R n' or 'W n' with n below %" PRIu64 "\n",
                    path, lineno, blocks);
            exit(EXIT_USAGE);
        }
        if (n == cap) {
            struct op *grown;
            cap = cap ? cap * 2 : 1024;
            grown = realloc(ops, cap * sizeof *ops);
            if (!grown) {
                perror("tovrick-demo");
                exit(1);
            }
            ops = grown;
        }
        ops[n].kind = kind;
        ops[n].block = block;
        n++;
    }
    fclose(f);
    *count = n;
    return ops;
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int write_all(int fd, const unsigned char *p, uint64_t n)
{
    uint64_t done = 0;
    while (done < n) {
        ssize_t w = pwrite(fd, p + done, (size_t)(n - done), (off_t)done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return -1;
        done += (uint64_t)w;
    }
    return 0;
}

static void fail_io(const char *what)
{
    fprintf(stderr, "tovrick-demo: %s: %s\n", what, strerror(errno));
    exit(1);
}

/* Blocks held locked across operations, oldest first. */
struct held {
    bc_block **blocks;
    uint64_t count, max;
};

static void release_oldest(blockcache *bc, struct held *h)
{
    bc_release(bc, h->blocks[0]);
    memmove(h->blocks, h->blocks + 1, (size_t)(h->count - 1) * sizeof *h->blocks);
    h->count--;
}

int main(int argc, char **argv)
{
    struct options o = {NULL, 4u << 20, 4096, 64, 4, 200000, 2, 1, 0.3, BC_CALLER_MAPPING,
                        NULL, 0};
    char temp_path[] = "/tmp/tovrick-demo-XXXXXX";
    const char *path;
    uint64_t blocks, count, i, reads = 0, writes = 0, hold_state;
    unsigned char *shadow, *disk;
    struct op *ops;
    struct held held = {NULL, 0, 0};
    blockcache *bc;
    const bc_stats *st;
    double started, last_progress, elapsed;
    int fd, progress = 0;

    parse_options(argc, argv, &o);
    blocks = o.size / o.block_size;
    ops = o.trace ? read_trace(o.trace, blocks, &count) : make_workload(&o, blocks);
    if (!o.trace)
        count = o.ops;
    shadow = malloc(o.size);
    disk = malloc(o.size);
    held.max = o.hold;
    held.blocks = malloc((o.hold + 1) * sizeof *held.blocks);
    if (!shadow || !disk || !held.blocks || (!ops && count)) {
        fprintf(stderr, "tovrick-demo: out of memory\n");
        return 1;
    }

    if (o.file) {
        path = o.file;
        fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    } else {
        path = temp_path;
        fd = mkstemp(temp_path);
    }
    if (fd < 0)
        fail_io(path);
    fill_random(shadow, o.size, o.seed ^ 0xF11EULL);
    if (write_all(fd, shadow, o.size) != 0)
        fail_io("writing the initial file");

    bc = bc_open(fd, (uint32_t)o.block_size, (uint32_t)o.sets, (uint32_t)o.ways, o.mapping);
    if (!bc) {
        fprintf(stderr, "tovrick-demo: cannot create the cache\n");
        return 1;
    }
    bc_skip_writeback(bc, o.skip_writeback);

    printf("tovrick-demo: libtovrick %s\n", tovrick_version_str);
    printf("file:     %s, %" PRIu64 " blocks of %" PRIu64 " bytes%s\n", path, blocks,
           o.block_size, o.file ? "" : " (temporary)");
    printf("cache:    %" PRIu64 " sets x %" PRIu64 " ways = %" PRIu64 " buffers, %s mapping\n",
           o.sets, o.ways, o.sets * o.ways, o.mapping == BC_CALLER_MAPPING ? "caller" : "default");
    if (o.trace)
        printf("workload: trace %s, %" PRIu64 " operations, up to %" PRIu64 " blocks held\n",
               o.trace, count, o.hold);
    else
        printf("workload: %" PRIu64 " operations, %.0f%% writes, seed %" PRIu64
               ", up to %" PRIu64 " blocks held\n",
               count, o.write_ratio * 100, o.seed, o.hold);
    fflush(stdout);

    hold_state = o.seed * 4 + 3;
    started = last_progress = now();
    for (i = 0; i < count; i++) {
        enum bc_status status;
        bc_block *b = bc_acquire(bc, ops[i].block, &status);
        unsigned char *want = shadow + ops[i].block * o.block_size;
        if (!b && status == BC_SET_LOCKED) {
            /* Every buffer of the set is held: give ours back and retry. */
            while (held.count)
                release_oldest(bc, &held);
            b = bc_acquire(bc, ops[i].block, &status);
        }
        if (!b) {
            if (status == BC_IO_ERROR)
                fail_io("block I/O");
            fprintf(stderr, "tovrick-demo: block %" PRIu64 " could not be placed\n", ops[i].block);
            return 1;
        }
        if (ops[i].kind == 'W') {
            fill_random(want, o.block_size, o.seed * 1000003 + i);
            memcpy(b->data, want, o.block_size);
            bc_mark_dirty(bc, b);
            writes++;
        } else {
            if (memcmp(b->data, want, o.block_size) != 0) {
                fprintf(stderr, "tovrick-demo: operation %" PRIu64 ": read of block %" PRIu64
                                " returned stale data\n", i, ops[i].block);
                return 1;
            }
            reads++;
        }
        if (o.hold && next_random(&hold_state) % 8 == 0) {
            if (held.count == held.max)
                release_oldest(bc, &held);
            held.blocks[held.count++] = b;
        } else {
            bc_release(bc, b);
        }
        if ((i & 4095) == 0 && isatty(2) && now() - last_progress > 1 && now() - started > 2) {
            last_progress = now();
            fprintf(stderr, "\r%" PRIu64 " / %" PRIu64 " operations", i, count);
            progress = 1;
        }
    }
    while (held.count)
        release_oldest(bc, &held);
    elapsed = now() - started;
    if (progress)
        fprintf(stderr, "\r%*s\r", 40, "");

    st = bc_get_stats(bc);
    printf("ran:      %" PRIu64 " reads, %" PRIu64 " writes in %.3f s (%.0f ops/s)\n", reads,
           writes, elapsed, elapsed > 0 ? (double)count / elapsed : 0.0);
    printf("hits:     %" PRIu64 " of %" PRIu64 " (%.1f%%), %" PRIu64 " blocks read from the file\n",
           st->hits, st->hits + st->misses,
           st->hits + st->misses ? 100.0 * (double)st->hits / (double)(st->hits + st->misses) : 0.0,
           st->misses);
    if (bc_flush(bc) != BC_OK)
        fail_io("flushing the cache");
    printf("writes:   %" PRIu64 " write-backs to free a full set, %" PRIu64
           " at close; a set was full of held blocks %" PRIu64 " times\n",
           st->purges, st->flushes, st->set_locked);
    if (bc_close(bc) != BC_OK)
        fail_io("closing the cache");

    for (i = 0; i < o.size;) {
        ssize_t n = pread(fd, disk + i, (size_t)(o.size - i), (off_t)i);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail_io("reading the file back");
        i += (uint64_t)n;
    }
    close(fd);
    if (!o.file)
        unlink(temp_path);
    for (i = 0; i < blocks; i++) {
        if (memcmp(disk + i * o.block_size, shadow + i * o.block_size, o.block_size) != 0) {
            printf("FAILED:   block %" PRIu64 " differs from what was written\n", i);
            return 1;
        }
    }
    printf("verified: %" PRIu64 " blocks match the shadow copy byte for byte\n", blocks);
    free(ops);
    free(shadow);
    free(disk);
    free(held.blocks);
    return 0;
}
