// The C++ wrapper: ownership, typed calls, and callables through the
// context trampolines.
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/invariants.h"
#include "tovrick.hpp"

namespace {

struct BlockId { // no padding: equality is byte equality
    uint32_t device;
    uint32_t block;
};

struct Page {
    tovrick_tag hdr;
    int payload;
};

using Cache = tovrick::cache<BlockId, Page>;

TEST(CppWrapper, RefusedCreationIsEmptyAndMovingTransfersOwnership)
{
    EXPECT_FALSE(Cache::create(3, 1));
    Cache a = Cache::create(8, 2);
    ASSERT_TRUE(a);
    tovrick_cache *raw = a.get();
    Cache b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), raw);
    Cache c;
    c = std::move(b);
    EXPECT_EQ(c.get(), raw);
    c = Cache::create(4, 4); // the old cache is destroyed, the new one owned
    EXPECT_NE(c.get(), nullptr);
}

TEST(CppWrapper, TypedCallsReachTheSameTags)
{
    Cache cache = Cache::create(8, 2);
    Page *p = cache.insert({1, 42});
    ASSERT_NE(p, nullptr);
    p->payload = 7;
    EXPECT_EQ(cache.lookup({1, 42}), p);
    EXPECT_EQ(cache.lookup({2, 42}), nullptr);
    EXPECT_EQ(cache.insert({1, 42}), p);

    cache.set_dirty(p);
    EXPECT_TRUE(Cache::is_dirty(p));
    EXPECT_EQ(cache.num_dirty(), 1u);
    EXPECT_EQ(cache.flush(), p);
    EXPECT_FALSE(cache.remove(BlockId{1, 42})) << "dirty";
    cache.clear_dirty(p);
    EXPECT_TRUE(cache.lock(p));
    EXPECT_EQ(Cache::refcount(p), 1u);
    EXPECT_FALSE(cache.remove(p)) << "locked";
    EXPECT_TRUE(cache.unlock(p));
    EXPECT_FALSE(cache.unlock(p));
    EXPECT_TRUE(cache.remove(p));
    EXPECT_EQ(cache.lookup({1, 42}), nullptr);
    EXPECT_EQ(th::check_invariants(cache.get()), "");
}

TEST(CppWrapper, CallablesSeeRecordsAndIds)
{
    Cache cache = Cache::create(4, 4);
    std::vector<Page *> pages;
    for (uint32_t n = 0; n < 6; ++n) {
        pages.push_back(cache.insert({0, n}));
        pages.back()->payload = int(n);
        cache.set_dirty(pages.back());
    }
    int wanted = 3, offered = 0;
    Page *got = cache.flush_if([&](Page &p) {
        ++offered;
        return p.payload == wanted;
    });
    EXPECT_EQ(got, pages[3]);
    EXPECT_GT(offered, 0);
    const BlockId in_set = {0, 0};
    EXPECT_EQ(cache.purge(in_set), reinterpret_cast<Page *>(tovrick_purge(cache.get(), &in_set)));
    EXPECT_NE(cache.purge(in_set), nullptr);

    std::vector<uint32_t> blocks;
    cache.visit([&](Page &p, const BlockId &id) {
        EXPECT_EQ(uint32_t(p.payload), id.block);
        blocks.push_back(id.block);
    });
    EXPECT_EQ(blocks.size(), 6u);
}

} // namespace
