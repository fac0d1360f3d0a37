#include "harness.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace th {

std::vector<Call> &calls()
{
    thread_local std::vector<Call> log;
    return log;
}

size_t count(Call::Kind kind)
{
    size_t n = 0;
    for (const Call &c : calls())
        n += c.kind == kind;
    return n;
}

uint32_t hash_key(const void *id)
{
    calls().push_back({Call::Hash, id, nullptr});
    Key k;
    std::memcpy(&k, id, sizeof k);
    return static_cast<uint32_t>(k);
}

int cmp_key(const void *stored, const void *id)
{
    calls().push_back({Call::Cmp, stored, id});
    return std::memcmp(stored, id, sizeof(Key));
}

const void *record_key(const tovrick_cache *, const tovrick_tag *tag)
{
    calls().push_back({Call::TagId, tag, nullptr});
    return &reinterpret_cast<const Record *>(tag)->key;
}

void *log_alloc(void *ctx, uint32_t size)
{
    auto *log = static_cast<AllocLog *>(ctx);
    ++log->allocs;
    log->size = size;
    log->block = log->fail ? nullptr : std::malloc(size);
    if (log->block && log->poison)
        std::memset(log->block, 0xA5, size);
    return log->block;
}

void log_free(void *ctx, void *block)
{
    auto *log = static_cast<AllocLog *>(ctx);
    ++log->frees;
    log->freed_ctx = ctx;
    log->freed_block = block;
    std::free(block);
}

Cache::Cache(uint32_t num_sets, uint32_t num_ways, Mapping mapping, uint32_t id_size,
             uint32_t tag_size)
    : mapping_(mapping)
{
    cache_ = tovrick_create2(num_sets, num_ways, id_size, tag_size,
                             mapping == Caller ? record_key : nullptr, hash_key, cmp_key,
                             &alloc, log_alloc, log_free);
    calls().clear();
}

Cache::~Cache()
{
    if (cache_)
        tovrick_destroy(cache_);
    calls().clear();
}

Record *Cache::tag(uint32_t index) const
{
    auto *base = static_cast<unsigned char *>(cache_->tags);
    return reinterpret_cast<Record *>(base + size_t{index} * cache_->tag_stride);
}

uint32_t Cache::index_of(const tovrick_tag *tag) const
{
    auto offset = reinterpret_cast<const unsigned char *>(tag) -
                  static_cast<const unsigned char *>(cache_->tags);
    return static_cast<uint32_t>(offset / cache_->tag_stride);
}

Record *Cache::insert(Key key)
{
    auto *rec = reinterpret_cast<Record *>(tovrick_insert(cache_, &key));
    if (rec && mapping_ == Caller)
        rec->key = key;
    return rec;
}

Record *Cache::lookup(Key key)
{
    return reinterpret_cast<Record *>(tovrick_lookup(cache_, &key));
}

namespace {

std::vector<tovrick_tag *> list_order(const tovrick_list *head, uint32_t bound)
{
    std::vector<tovrick_tag *> out;
    for (tovrick_list *n = head->next; n != head && out.size() <= bound; n = n->next)
        out.push_back(reinterpret_cast<tovrick_tag *>(n));
    return out;
}

uint32_t num_tags(const tovrick_cache *cache)
{
    return cache->num_sets * cache->num_ways;
}

} // namespace

std::vector<tovrick_tag *> used_order(const tovrick_cache *cache, uint32_t set)
{
    return list_order(&cache->used_lists[set], cache->num_ways);
}

std::vector<tovrick_tag *> free_order(const tovrick_cache *cache, uint32_t set)
{
    return list_order(&cache->free_lists[set], cache->num_ways);
}

namespace {

// Walks one list of set `set`, marking each tag seen; returns a
// description of the first fault, or an empty string.
std::string check_list(const tovrick_cache *cache, const tovrick_list *head, uint32_t set,
                       bool is_free, std::vector<int> &seen, uint32_t &dirty)
{
    std::ostringstream err;
    const auto *base = static_cast<const unsigned char *>(cache->tags);
    uint32_t steps = 0;
    const tovrick_list *prev = head;
    for (const tovrick_list *n = head->next; n != head; prev = n, n = n->next) {
        if (++steps > cache->num_ways) {
            err << "set " << set << (is_free ? " free" : " in-use") << " list longer than num_ways";
            return err.str();
        }
        auto offset = reinterpret_cast<const unsigned char *>(n) - base;
        if (offset < 0 || offset % cache->tag_stride != 0 ||
            uint64_t(offset) / cache->tag_stride >= num_tags(cache)) {
            err << "set " << set << ": node " << n << " is not a tag of the cache";
            return err.str();
        }
        uint32_t index = static_cast<uint32_t>(offset / cache->tag_stride);
        const auto *tag = reinterpret_cast<const tovrick_tag *>(n);
        if (n->prev != prev)
            err << "tag " << index << ": prev link does not lead back";
        else if (index / cache->num_ways != set)
            err << "tag " << index << " of set " << index / cache->num_ways << " is on a list of set " << set;
        else if (tag->set != set)
            err << "tag " << index << ": set field " << tag->set << ", expected " << set;
        else if (seen[index]++)
            err << "tag " << index << " is on more than one list";
        else if (tag->flags & ~uint32_t{TOVRICK_DIRTY | TOVRICK_LOCKED})
            err << "tag " << index << ": unknown flag bits " << tag->flags;
        else if (((tag->flags & TOVRICK_LOCKED) != 0) != (tag->refcount != 0))
            err << "tag " << index << ": locked flag and refcount " << tag->refcount << " disagree";
        else if (is_free && (tag->flags != 0 || tag->refcount != 0))
            err << "tag " << index << " is free but dirty or locked";
        if (!err.str().empty())
            return err.str();
        dirty += tag->flags & TOVRICK_DIRTY;
    }
    if (head->prev != prev)
        err << "set " << set << ": head's prev is not the last node";
    return err.str();
}

} // namespace

::testing::AssertionResult invariants_hold(const tovrick_cache *cache)
{
    std::vector<int> seen(num_tags(cache));
    uint64_t dirty_total = 0;
    for (uint32_t s = 0; s < cache->num_sets; ++s) {
        uint32_t dirty = 0;
        std::string fault = check_list(cache, &cache->used_lists[s], s, false, seen, dirty);
        if (fault.empty())
            fault = check_list(cache, &cache->free_lists[s], s, true, seen, dirty);
        if (!fault.empty())
            return ::testing::AssertionFailure() << fault;
        if (cache->dirty_per_set[s] != dirty)
            return ::testing::AssertionFailure()
                   << "set " << s << ": counter " << cache->dirty_per_set[s] << ", dirty tags "
                   << dirty;
        dirty_total += dirty;
    }
    for (uint32_t k = 0; k < num_tags(cache); ++k)
        if (!seen[k])
            return ::testing::AssertionFailure() << "tag " << k << " is on no list";
    if (cache->num_dirty != dirty_total)
        return ::testing::AssertionFailure()
               << "num_dirty " << cache->num_dirty << ", dirty tags " << dirty_total;
    return ::testing::AssertionSuccess();
}

} // namespace th
