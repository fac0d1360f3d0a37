// bench - libtovrick against the alternatives a program would use, on the
// same pre-generated operation streams.
//
// Every stream is generated once per workload and size; each round runs it
// through every implementation in turn (the order rotates from round to
// round), so all implementations see the same machine state, and the
// median of the rounds is reported.
//
//   bench [--rounds N] [--ops N] [--quick]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "tovrick.h"
#include "tovrick.hpp"

#ifdef TOVRICK_BENCH_SQLITE
#include <sqlite3.h>
#endif

// ---- Heap accounting, for memory per entry. --------------------------------

static size_t g_heap_bytes = 0;

void *operator new(size_t n)
{
    g_heap_bytes += n;
    if (void *p = std::malloc(n))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t n) noexcept
{
    g_heap_bytes -= n;
    std::free(p);
}

namespace {

using Key = uint64_t;

uint32_t mix(Key z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return uint32_t(z ^ (z >> 31));
}

uint32_t hash_key(const void *id)
{
    Key k;
    std::memcpy(&k, id, sizeof k);
    return mix(k);
}

int cmp_key(const void *a, const void *b)
{
    Key x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return x != y;
}

// ---- The implementations, behind one small interface. ----------------------

struct Impl {
    virtual ~Impl() = default;
    virtual const char *name() const = 0;
    // Places or finds key; returns true on a hit.  With `dirty` the entry
    // is marked dirty.  A full set of dirty entries is written back first.
    virtual bool access(Key key, bool dirty) = 0;
    // Writes back (marks clean) every dirty entry.
    virtual void drain() = 0;
    virtual uint32_t num_dirty() const = 0;
    // Finds one dirty entry; false when the implementation cannot.
    virtual bool find_dirty() { return false; }
    // Visits every entry; false when the implementation cannot.
    virtual bool walk(uint64_t &) { return false; }
    virtual double bytes_per_entry() const = 0;
    virtual bool supports_dirty() const { return true; }
};

struct Rec {
    tovrick_tag hdr;
    Key key; // the id under the caller mapping; under the default, what the tag holds
};

class Tovrick : public Impl {
public:
    Tovrick(uint32_t sets, uint32_t ways, bool caller_mapping) : caller_(caller_mapping)
    {
        c_ = tovrick_create(sets, ways, sizeof(Key), sizeof(Rec),
                            caller_mapping ? rec_key : nullptr, hash_key, cmp_key);
    }
    ~Tovrick() override { tovrick_destroy(c_); }
    const char *name() const override
    {
        return caller_ ? "libtovrick, caller mapping" : "libtovrick, default mapping";
    }
    bool access(Key key, bool dirty) override
    {
        auto *r = reinterpret_cast<Rec *>(tovrick_insert(c_, &key));
        if (!r) { // every tag of the set is dirty: write one back
            tovrick_tag *victim = tovrick_purge(c_, &key);
            tovrick_clear_dirty(c_, victim);
            r = reinterpret_cast<Rec *>(tovrick_insert(c_, &key));
        }
        bool hit = r->key == key;
        r->key = key;
        if (dirty)
            tovrick_set_dirty(c_, &r->hdr);
        return hit;
    }
    void drain() override
    {
        while (tovrick_tag *t = tovrick_flush(c_))
            tovrick_clear_dirty(c_, t);
    }
    uint32_t num_dirty() const override { return tovrick_num_dirty(c_); }
    bool find_dirty() override { return tovrick_flush(c_) != nullptr; }
    bool walk(uint64_t &sum) override
    {
        tovrick_visit_tags(c_, visit, &sum);
        return true;
    }
    double bytes_per_entry() const override
    {
        uint64_t block = uint64_t(static_cast<char *>(c_->tags) - reinterpret_cast<char *>(c_)) +
                         uint64_t(c_->num_sets) * c_->num_ways * (c_->tag_stride + (c_->ids ? c_->id_stride : 0));
        return double(block) / (double(c_->num_sets) * c_->num_ways);
    }
    tovrick_cache *raw() { return c_; }

private:
    static const void *rec_key(const tovrick_cache *, const tovrick_tag *t)
    {
        return &reinterpret_cast<const Rec *>(t)->key;
    }
    static int visit(void *ctx, tovrick_cache *, tovrick_tag *, const void *id)
    {
        Key k;
        std::memcpy(&k, id, sizeof k);
        *static_cast<uint64_t *>(ctx) += k;
        return 0;
    }
    tovrick_cache *c_;
    bool caller_;
};

// The C++ wrapper over the same calls: it must cost nothing extra.
struct MixHash {
    uint32_t operator()(const Key &k) const noexcept { return mix(k); }
};

class TovrickCpp : public Impl {
public:
    TovrickCpp(uint32_t sets, uint32_t ways) : c_(Cache::create(sets, ways)) {}
    const char *name() const override { return "libtovrick via tovrick.hpp"; }
    bool access(Key key, bool dirty) override
    {
        Rec *r = c_.insert(key);
        if (!r) {
            c_.clear_dirty(c_.purge(key));
            r = c_.insert(key);
        }
        bool hit = r->key == key;
        r->key = key;
        if (dirty)
            c_.set_dirty(r);
        return hit;
    }
    void drain() override
    {
        while (Rec *r = c_.flush())
            c_.clear_dirty(r);
    }
    uint32_t num_dirty() const override { return c_.num_dirty(); }
    double bytes_per_entry() const override { return 0; }

private:
    using Cache = tovrick::cache<Key, Rec, MixHash>;
    Cache c_;
};

// What most programs write: a hash map and a list, least recently used out.
class StdLru : public Impl {
public:
    explicit StdLru(size_t capacity) : capacity_(capacity)
    {
        size_t before = g_heap_bytes;
        map_.reserve(capacity);
        for (size_t i = 0; i < capacity; ++i)
            access(Key(1) << 62 | i, false);
        bytes_ = double(g_heap_bytes - before) / double(capacity);
    }
    const char *name() const override { return "std::unordered_map + std::list LRU"; }
    bool access(Key key, bool dirty) override
    {
        auto it = map_.find(key);
        bool hit = it != map_.end();
        if (hit) {
            list_.splice(list_.begin(), list_, it->second);
        } else {
            if (map_.size() == capacity_) { // the least recently used goes, written back if dirty
                Entry &victim = list_.back();
                dirty_ -= victim.dirty;
                map_.erase(victim.key);
                list_.pop_back();
            }
            list_.push_front({key, false});
            it = map_.emplace(key, list_.begin()).first;
        }
        if (dirty && !it->second->dirty) {
            it->second->dirty = true;
            ++dirty_;
        }
        return hit;
    }
    void drain() override
    {
        for (Entry &e : list_)
            e.dirty = false;
        dirty_ = 0;
    }
    uint32_t num_dirty() const override { return dirty_; }
    bool walk(uint64_t &sum) override
    {
        for (const Entry &e : list_)
            sum += e.key;
        return true;
    }
    double bytes_per_entry() const override { return bytes_; }

private:
    struct Entry {
        Key key;
        bool dirty;
    };
    size_t capacity_;
    std::list<Entry> list_;
    std::unordered_map<Key, std::list<Entry>::iterator> map_;
    uint32_t dirty_ = 0;
    double bytes_ = 0;
};

// The floor: the same geometry and victim rule, keys inline, no callbacks,
// no lists.  Recency is a per-way stamp; the victim is the clean way with
// the newest stamp, as libtovrick takes the clean tag nearest the front.
class Flat : public Impl {
public:
    Flat(uint32_t sets, uint32_t ways)
        : sets_(sets), ways_(ways), keys_(size_t{sets} * ways), stamps_(size_t{sets} * ways),
          dirty_flags_(size_t{sets} * ways), counters_(sets)
    {
    }
    const char *name() const override { return "flat set-associative array (floor)"; }
    bool access(Key key, bool dirty) override
    {
        const size_t base = size_t(mix(key) & (sets_ - 1)) * ways_;
        size_t way = ways_, victim = ways_;
        uint32_t victim_stamp = 0;
        for (size_t w = 0; w < ways_; ++w) {
            if (stamps_[base + w] && keys_[base + w] == key) {
                way = w;
                break;
            }
            if (!stamps_[base + w]) { // a free way beats any used one
                if (victim == ways_ || stamps_[base + victim])
                    victim = w, victim_stamp = UINT32_MAX;
            } else if (!dirty_flags_[base + w] && stamps_[base + w] > victim_stamp) {
                victim = w, victim_stamp = stamps_[base + w];
            }
        }
        bool hit = way != ways_;
        if (!hit) {
            if (victim == ways_) { // all dirty: write back the newest
                for (size_t w = 0; w < ways_; ++w)
                    if (victim == ways_ || stamps_[base + w] > stamps_[base + victim])
                        victim = w;
                clear(base + victim);
            }
            way = victim;
            keys_[base + way] = key;
        }
        stamps_[base + way] = ++clock_;
        if (dirty && !dirty_flags_[base + way]) {
            dirty_flags_[base + way] = 1;
            ++counters_[base / ways_];
            ++total_dirty_;
        }
        return hit;
    }
    void drain() override
    {
        for (size_t i = 0; i < keys_.size(); ++i)
            if (dirty_flags_[i])
                clear(i);
    }
    uint32_t num_dirty() const override { return total_dirty_; }
    // The counters are scanned eight at a time, as four 64-bit words: a
    // plain wide scan, with no vector instructions.
    bool find_dirty() override
    {
        if (!total_dirty_)
            return false;
        uint32_t s = 0;
        for (; s + 8 <= sets_; s += 8) {
            uint64_t w[4];
            std::memcpy(w, &counters_[s], sizeof w);
            if (w[0] | w[1] | w[2] | w[3])
                break;
        }
        for (; s < sets_; ++s)
            if (counters_[s])
                for (uint32_t w = 0; w < ways_; ++w)
                    if (dirty_flags_[size_t{s} * ways_ + w])
                        return true;
        return false;
    }
    bool walk(uint64_t &sum) override
    {
        for (size_t i = 0; i < keys_.size(); ++i)
            if (stamps_[i])
                sum += keys_[i];
        return true;
    }
    double bytes_per_entry() const override
    {
        return double(sizeof(Key) + sizeof(uint32_t) + 1) + 4.0 / ways_;
    }

private:
    void clear(size_t i)
    {
        dirty_flags_[i] = 0;
        --counters_[i / ways_];
        --total_dirty_;
    }
    uint32_t sets_, ways_;
    std::vector<Key> keys_;
    std::vector<uint32_t> stamps_; // 0: free
    std::vector<uint8_t> dirty_flags_;
    std::vector<uint32_t> counters_;
    uint32_t total_dirty_ = 0, clock_ = 0;
};

#ifdef TOVRICK_BENCH_SQLITE
// SQLite's own page cache, used standalone: a trusted fixed-capacity
// pinning cache (least recently unpinned out).  It has no dirty state.
class Sqlite : public Impl {
public:
    explicit Sqlite(uint32_t capacity)
    {
        static sqlite3_pcache_methods2 methods = [] {
            sqlite3_pcache_methods2 m{};
            sqlite3_config(SQLITE_CONFIG_GETPCACHE2, &m); // before initialization
            sqlite3_initialize();                          // which initializes the cache
            return m;
        }();
        m_ = &methods;
        sqlite3_int64 before = sqlite3_memory_used();
        cache_ = m_->xCreate(8, sizeof(Key), 1);
        m_->xCachesize(cache_, int(capacity));
        for (uint32_t i = 0; i < capacity; ++i)
            access(Key(1) << 31 | i, false);
        bytes_ = double(sqlite3_memory_used() - before) / capacity;
    }
    ~Sqlite() override { m_->xDestroy(cache_); }
    const char *name() const override { return "SQLite page cache (pcache1)"; }
    bool access(Key key, bool) override
    {
        const unsigned page = unsigned(key) + 1; // page numbers start at 1
        sqlite3_pcache_page *p = m_->xFetch(cache_, page, 2);
        if (!p)
            return false;
        Key *held = static_cast<Key *>(p->pExtra); // key + 1: a new page's extra starts at 0
        bool hit = *held == key + 1;
        *held = key + 1;
        m_->xUnpin(cache_, p, 0);
        return hit;
    }
    void drain() override {}
    uint32_t num_dirty() const override { return 0; }
    double bytes_per_entry() const override { return bytes_; }
    bool supports_dirty() const override { return false; }

private:
    sqlite3_pcache_methods2 *m_;
    sqlite3_pcache *cache_;
    double bytes_ = 0;
};
#endif

using Factory = std::function<std::unique_ptr<Impl>(uint32_t sets, uint32_t ways)>;

std::vector<Factory> implementations()
{
    std::vector<Factory> f = {
        [](uint32_t s, uint32_t w) { return std::make_unique<Tovrick>(s, w, false); },
        [](uint32_t s, uint32_t w) { return std::make_unique<Tovrick>(s, w, true); },
        [](uint32_t s, uint32_t w) { return std::make_unique<TovrickCpp>(s, w); },
        [](uint32_t s, uint32_t w) { return std::make_unique<StdLru>(size_t{s} * w); },
#ifdef TOVRICK_BENCH_SQLITE
        [](uint32_t s, uint32_t w) { return std::make_unique<Sqlite>(s * w); },
#endif
        [](uint32_t s, uint32_t w) { return std::make_unique<Flat>(s, w); },
    };
    return f;
}

// ---- Workloads. -------------------------------------------------------------

struct Stream {
    std::vector<Key> keys;
    std::vector<uint8_t> dirty;
};

// Keys [0, n) drawn by Zipf(s), by inverse transform over the CDF.
std::vector<Key> zipf_keys(size_t count, size_t n, double s, std::mt19937_64 &rng)
{
    std::vector<double> cdf(n);
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        cdf[i] = sum += 1.0 / std::pow(double(i + 1), s);
    std::uniform_real_distribution<double> u(0, sum);
    std::vector<Key> keys(count);
    for (Key &k : keys)
        k = Key(std::lower_bound(cdf.begin(), cdf.end(), u(rng)) - cdf.begin()) * 2654435761u;
    return keys;
}

enum class Kind { Hits, Misses, Zipf, WriteBack, Flush, Walk };

struct Workload {
    const char *name;
    Kind kind;
};

const Workload kWorkloads[] = {
    {"all hits", Kind::Hits},
    {"all misses (every access takes a tag over)", Kind::Misses},
    {"Zipf 0.99 over 16x the capacity", Kind::Zipf},
    {"write-back cycle (a fifth dirty, drain at half)", Kind::WriteBack},
    {"find the one dirty tag of 65536 sets (ns per call)", Kind::Flush},
    {"walk every entry (ns per entry)", Kind::Walk},
};

struct Result {
    std::vector<double> ns;
    double hit_ratio = -1;
    bool supported = true;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

using Clock = std::chrono::steady_clock;

// One timed pass of a workload through an implementation; ns per unit.
// Returns a negative number when the implementation has no such operation.
double run_once(Impl &impl, Kind kind, const Stream &s, uint64_t &hits)
{
    const auto start = Clock::now();
    size_t units = s.keys.size();
    switch (kind) {
    case Kind::Hits:
    case Kind::Misses:
    case Kind::Zipf:
        for (Key k : s.keys)
            hits += impl.access(k, false);
        break;
    case Kind::WriteBack: {
        if (!impl.supports_dirty())
            return -1;
        const uint32_t limit = uint32_t(s.keys.size() / 64); // capacity / 2
        for (size_t i = 0; i < s.keys.size(); ++i) {
            hits += impl.access(s.keys[i], s.dirty[i]);
            if (impl.num_dirty() >= limit)
                impl.drain();
        }
        break;
    }
    case Kind::Flush:
        units = 1000;
        for (size_t i = 0; i < units; ++i)
            if (!impl.find_dirty())
                return -1;
        break;
    case Kind::Walk: {
        uint64_t sum = 0;
        for (int i = 0; i < 20; ++i)
            if (!impl.walk(sum))
                return -1;
        units = 20 * s.keys.size(); // the stream's length is the entry count here
        hits += sum & 1;
        break;
    }
    }
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()) /
           double(units);
}

// Draining many dirty tags: a flush call per tag rescans the counters from
// set 0 each time; one walk that collects the dirty tags reads each once.
int collect_dirty(void *ctx, tovrick_cache *, tovrick_tag *tag, const void *)
{
    if (tovrick_is_dirty(tag))
        static_cast<std::vector<tovrick_tag *> *>(ctx)->push_back(tag);
    return 0;
}

void drain_comparison(int rounds)
{
    const uint32_t sets = 16384, ways = 4;
    Tovrick t(sets, ways, false);
    tovrick_cache *c = t.raw();
    for (Key k = 0; k < uint64_t{sets} * ways * 4; ++k)
        t.access(k, false);
    auto mark = [&] { // the tags of every fifth key that is held
        uint32_t n = 0;
        for (Key k = 0; k < uint64_t{sets} * ways * 4; k += 5)
            if (tovrick_tag *tag = tovrick_lookup(c, &k)) {
                tovrick_set_dirty(c, tag);
                ++n;
            }
        return n;
    };
    std::vector<double> by_flush, by_walk;
    uint32_t dirty = 0;
    std::vector<tovrick_tag *> found;
    for (int r = 0; r < rounds; ++r) {
        dirty = mark();
        auto start = Clock::now();
        while (tovrick_tag *tag = tovrick_flush(c))
            tovrick_clear_dirty(c, tag);
        by_flush.push_back(double((Clock::now() - start).count()) / dirty);
        mark();
        start = Clock::now();
        found.clear();
        tovrick_visit_tags(c, collect_dirty, &found);
        for (tovrick_tag *tag : found)
            tovrick_clear_dirty(c, tag);
        by_walk.push_back(double((Clock::now() - start).count()) / dirty);
    }
    std::printf("draining %u dirty tags of %u sets x %u ways (ns per tag):\n", dirty, sets, ways);
    std::printf("  %-40s %8.1f ns\n", "tovrick_flush + clear, until none", median(by_flush));
    std::printf("  %-40s %8.1f ns\n", "one tovrick_visit_tags, then clear each", median(by_walk));
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 7;
    size_t ops = 200000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (a == "--ops" && i + 1 < argc)
            ops = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--quick")
            rounds = 3, ops = 50000;
        else {
            std::fprintf(stderr, "usage: bench [--rounds N] [--ops N] [--quick]\n");
            return 2;
        }
    }
    const std::vector<Factory> factories = implementations();
    const struct {
        uint32_t sets, ways;
    } sizes[] = {{256, 4}, {16384, 4}};

    std::printf("libtovrick %s benchmark: median of %d rounds, %zu operations a stream\n\n",
                tovrick_version_str, rounds, ops);
    for (const Workload &w : kWorkloads) {
        for (const auto &size : sizes) {
            uint32_t sets = size.sets, ways = size.ways;
            if (w.kind == Kind::Flush)
                sets = 65536, ways = 1;
            if (w.kind == Kind::Flush && size.sets != 256)
                continue; // one size is the point of this workload
            const size_t capacity = size_t{sets} * ways;
            std::mt19937_64 rng(sets * 31 + unsigned(w.kind));

            // Fresh implementations, warmed: full of the keys [0, capacity).
            std::vector<std::unique_ptr<Impl>> impls;
            for (const Factory &f : factories) {
                impls.push_back(f(sets, ways));
                for (Key k = 0; k < capacity * 4; ++k)
                    impls.back()->access(k % capacity, false);
            }
            // Warm keys may not all be held (sets fill unevenly): a hit
            // stream uses only keys that every implementation holds.
            Stream s;
            if (w.kind == Kind::Hits) {
                std::vector<Key> held;
                for (Key k = 0; k < capacity; ++k) {
                    bool all = true;
                    for (auto &impl : impls)
                        all = all && impl->access(k, false);
                    if (all)
                        held.push_back(k);
                }
                for (size_t i = 0; i < ops; ++i)
                    s.keys.push_back(held[rng() % held.size()]);
            } else if (w.kind == Kind::Zipf) { // long enough to cycle the capacity
                s.keys = zipf_keys(std::max(ops, capacity * 16), capacity * 16, 0.99, rng);
            } else if (w.kind == Kind::WriteBack) {
                for (size_t i = 0; i < capacity * 64; ++i) {
                    s.keys.push_back(rng() % (capacity * 4));
                    s.dirty.push_back(rng() % 5 == 0);
                }
            } else if (w.kind == Kind::Walk) {
                s.keys.assign(capacity, 0);
            } else if (w.kind == Kind::Flush) {
                // One dirty entry, in the last set.
                Key k = 0;
                while ((mix(k) & (sets - 1)) != sets - 1)
                    ++k;
                for (auto &impl : impls)
                    impl->access(k, true);
            }
            std::vector<Result> results(impls.size());
            for (int r = 0; r < rounds; ++r) {
                if (w.kind == Kind::Misses) { // new keys every round, below 2^32 for SQLite
                    s.keys.clear();
                    for (size_t i = 0; i < ops; ++i)
                        s.keys.push_back(0x80000000u + Key(r) * ops + i);
                }
                for (size_t j = 0; j < impls.size(); ++j) {
                    size_t i = (j + size_t(r)) % impls.size();
                    uint64_t hits = 0;
                    double ns = run_once(*impls[i], w.kind, s, hits);
                    if (ns < 0)
                        results[i].supported = false;
                    results[i].ns.push_back(ns);
                    if (w.kind == Kind::Zipf && r == 0) // later rounds replay what is cached
                        results[i].hit_ratio = double(hits) / double(s.keys.size());
                }
            }
            std::printf("%s, %u sets x %u ways:\n", w.name, sets, ways);
            const double base = median(results[0].ns);
            for (size_t i = 0; i < impls.size(); ++i) {
                if (!results[i].supported) {
                    std::printf("  %-40s %10s\n", impls[i]->name(), "n/a");
                    continue;
                }
                double m = median(results[i].ns);
                std::printf("  %-40s %8.1f ns  %5.2fx", impls[i]->name(), m, m / base);
                if (results[i].hit_ratio >= 0)
                    std::printf("  hit ratio %.3f", results[i].hit_ratio);
                std::printf("\n");
            }
            std::printf("\n");
        }
    }
    drain_comparison(rounds);
    std::printf("memory per entry, 16384 sets x 4 ways (8-byte ids, 32-byte tag records):\n");
    for (const Factory &f : factories) {
        auto impl = f(16384, 4);
        if (impl->bytes_per_entry() > 0)
            std::printf("  %-40s %8.1f bytes\n", impl->name(), impl->bytes_per_entry());
    }
    return 0;
}
