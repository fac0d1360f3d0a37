/*
 * tovrick-demo - runs a workload through a write-back block cache over a
 * real file and verifies the file byte for byte against an in-memory
 * shadow of every write.
 *
 * Every read is also checked against the shadow as it happens, so a stale
 * buffer is caught at once; the final check catches lost write-backs.
 */
#define _POSIX_C_SOURCE 200809L
#define _FILE_OFFSET_BITS 64

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

static int read_all(int fd, unsigned char *p, uint64_t n)
{
    uint64_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, p + done, (size_t)(n - done), (off_t)done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        done += (uint64_t)r;
    }
    return 0;
}

static int io_failure(const char *what)
{
    fprintf(stderr, "tovrick-demo: %s: %s\n", what, strerror(errno));
    return 1;
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

static void release_all(blockcache *bc, struct held *h)
{
    while (h->count)
        release_oldest(bc, h);
}

/* Everything one run owns, released in one place. */
struct run {
    struct options o;
    uint64_t blocks, count;
    struct op *ops;
    unsigned char *shadow; /* what the file must hold */
    struct held held;
    blockcache *bc;
    int fd;
};

/* Runs the operations through the cache, checking every read against the
 * shadow and applying every write to it.  Returns 0, or 1 on a failure. */
static int run_workload(struct run *r)
{
    const struct options *o = &r->o;
    uint64_t i, reads = 0, writes = 0, hold_state = o->seed * 4 + 3;
    double started = now(), last_progress = started, elapsed;
    int progress = 0;
    const bc_stats *st;

    for (i = 0; i < r->count; i++) {
        enum bc_status status;
        const struct op *op = &r->ops[i];
        unsigned char *want = r->shadow + op->block * o->block_size;
        bc_block *b = bc_acquire(r->bc, op->block, &status);
        if (!b && status == BC_SET_LOCKED) {
            /* Every buffer of the set is held: give ours back and retry. */
            release_all(r->bc, &r->held);
            b = bc_acquire(r->bc, op->block, &status);
        }
        if (!b) {
            if (status == BC_IO_ERROR)
                return io_failure("block I/O");
            fprintf(stderr, "tovrick-demo: block %" PRIu64 " could not be placed\n", op->block);
            return 1;
        }
        if (op->kind == 'W') {
            fill_random(want, o->block_size, o->seed * 1000003 + i);
            memcpy(b->data, want, o->block_size);
            bc_mark_dirty(r->bc, b);
            writes++;
        } else {
            if (memcmp(b->data, want, o->block_size) != 0) {
                printf("FAILED:   operation %" PRIu64 ": read of block %" PRIu64
                       " returned stale data\n", i, op->block);
                bc_release(r->bc, b);
                return 1;
            }
            reads++;
        }
        if (o->hold && next_random(&hold_state) % 8 == 0) {
            if (r->held.count == r->held.max)
                release_oldest(r->bc, &r->held);
            r->held.blocks[r->held.count++] = b;
        } else {
            bc_release(r->bc, b);
        }
        if ((i & 4095) == 0 && isatty(2) && now() - last_progress > 1 && now() - started > 2) {
            last_progress = now();
            fprintf(stderr, "\r%" PRIu64 " / %" PRIu64 " operations", i, r->count);
            progress = 1;
        }
    }
    release_all(r->bc, &r->held);
    elapsed = now() - started;
    if (progress)
        fprintf(stderr, "\r%*s\r", 40, "");

    st = bc_get_stats(r->bc);
    printf("ran:      %" PRIu64 " reads, %" PRIu64 " writes in %.3f s (%.0f ops/s)\n", reads,
           writes, elapsed, elapsed > 0 ? (double)r->count / elapsed : 0.0);
    printf("hits:     %" PRIu64 " of %" PRIu64 " (%.1f%%), %" PRIu64 " blocks read from the file\n",
           st->hits, st->hits + st->misses,
           st->hits + st->misses ? 100.0 * (double)st->hits / (double)(st->hits + st->misses) : 0.0,
           st->misses);
    if (bc_flush(r->bc) != BC_OK)
        return io_failure("flushing the cache");
    printf("writes:   %" PRIu64 " write-backs to free a full set, %" PRIu64
           " at close; a set was full of held blocks %" PRIu64 " times\n",
           st->purges, st->flushes, st->set_locked);
    return 0;
}

/* Compares the file with the shadow, block by block. */
static int verify(const struct run *r)
{
    const uint64_t bs = r->o.block_size;
    unsigned char *disk = malloc(r->o.size);
    uint64_t i;
    int failed = 0;
    if (!disk) {
        fprintf(stderr, "tovrick-demo: out of memory\n");
        return 1;
    }
    if (read_all(r->fd, disk, r->o.size) != 0) {
        free(disk);
        return io_failure("reading the file back");
    }
    for (i = 0; i < r->blocks && !failed; i++) {
        if (memcmp(disk + i * bs, r->shadow + i * bs, bs) != 0) {
            printf("FAILED:   block %" PRIu64 " differs from what was written\n", i);
            failed = 1;
        }
    }
    if (!failed)
        printf("verified: %" PRIu64 " blocks match the shadow copy byte for byte\n", r->blocks);
    free(disk);
    return failed;
}

static void print_setup(const struct run *r, const char *path)
{
    const struct options *o = &r->o;
    printf("tovrick-demo: libtovrick %s\n", tovrick_version_str);
    printf("file:     %s, %" PRIu64 " blocks of %" PRIu64 " bytes%s\n", path, r->blocks,
           o->block_size, o->file ? "" : " (temporary)");
    printf("cache:    %" PRIu64 " sets x %" PRIu64 " ways = %" PRIu64 " buffers, %s mapping\n",
           o->sets, o->ways, o->sets * o->ways,
           o->mapping == BC_CALLER_MAPPING ? "caller" : "default");
    if (o->trace)
        printf("workload: trace %s, %" PRIu64 " operations, up to %" PRIu64 " blocks held\n",
               o->trace, r->count, o->hold);
    else
        printf("workload: %" PRIu64 " operations, %.0f%% writes, seed %" PRIu64
               ", up to %" PRIu64 " blocks held\n",
               r->count, o->write_ratio * 100, o->seed, o->hold);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    struct run r;
    char temp_path[] = "/tmp/tovrick-demo-XXXXXX";
    const char *path;
    int status = 1;

    memset(&r, 0, sizeof r);
    r.fd = -1;
    r.o = (struct options){NULL, 4u << 20, 4096, 64, 4, 200000, 2, 1, 0.3, BC_CALLER_MAPPING,
                           NULL, 0};
    parse_options(argc, argv, &r.o);
    r.blocks = r.o.size / r.o.block_size;
    r.count = r.o.ops;
    r.ops = r.o.trace ? read_trace(r.o.trace, r.blocks, &r.count) : make_workload(&r.o, r.blocks);
    r.shadow = malloc(r.o.size);
    r.held.max = r.o.hold;
    r.held.blocks = malloc((r.o.hold + 1) * sizeof *r.held.blocks);
    if (!r.shadow || !r.held.blocks || (!r.ops && r.count)) {
        fprintf(stderr, "tovrick-demo: out of memory\n");
        goto done;
    }

    path = r.o.file ? r.o.file : temp_path;
    r.fd = r.o.file ? open(path, O_RDWR | O_CREAT | O_TRUNC, 0644) : mkstemp(temp_path);
    if (r.fd < 0) {
        io_failure(path);
        goto done;
    }
    if (!r.o.file)
        unlink(temp_path); /* gone with the descriptor, whatever happens */
    fill_random(r.shadow, r.o.size, r.o.seed ^ 0xF11EULL);
    if (write_all(r.fd, r.shadow, r.o.size) != 0) {
        io_failure("writing the initial file");
        goto done;
    }
    r.bc = bc_open(r.fd, (uint32_t)r.o.block_size, (uint32_t)r.o.sets, (uint32_t)r.o.ways,
                   r.o.mapping);
    if (!r.bc) {
        fprintf(stderr, "tovrick-demo: cannot create the cache\n");
        goto done;
    }
    bc_skip_writeback(r.bc, r.o.skip_writeback);
    print_setup(&r, path);

    status = run_workload(&r);
    release_all(r.bc, &r.held);
    if (bc_close(r.bc) != BC_OK && status == 0)
        status = io_failure("closing the cache");
    r.bc = NULL;
    if (status == 0)
        status = verify(&r);
done:
    if (r.fd >= 0)
        close(r.fd);
    free(r.ops);
    free(r.shadow);
    free(r.held.blocks);
    return status;
}
