#include "harness.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

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

std::string param_name(const char *description)
{
    std::string name;
    for (const char *p = description; *p && *p != ':'; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

namespace {

std::vector<tovrick_tag *> list_order(const tovrick_list *head, uint32_t bound)
{
    std::vector<tovrick_tag *> out;
    for (tovrick_list *n = head->next; n != head && out.size() <= bound; n = n->next)
        out.push_back(reinterpret_cast<tovrick_tag *>(n));
    return out;
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

::testing::AssertionResult invariants_hold(const tovrick_cache *cache)
{
    std::string fault = check_invariants(cache);
    if (fault.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << fault;
}

} // namespace th
