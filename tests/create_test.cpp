// Creation: refusals, the block's exact size and layout, the state of a new
// cache, the default mapping, and destruction.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using th::AllocLog;
using th::Record;

uint64_t round_up(uint64_t n, uint64_t to)
{
    return (n + to - 1) / to * to;
}

tovrick_cache *create_logged(AllocLog &log, uint32_t sets, uint32_t ways, uint32_t id_size,
                             uint32_t tag_size, bool caller_mapping)
{
    return tovrick_create2(sets, ways, id_size, tag_size,
                           caller_mapping ? th::record_key : nullptr, th::hash_key,
                           th::cmp_key, &log, th::log_alloc, th::log_free);
}

struct Geometry {
    uint32_t sets, ways, id_size, tag_size;
    bool caller_mapping;
};

class LayoutTest : public ::testing::TestWithParam<Geometry> {};

TEST_P(LayoutTest, BlockIsExactlyTheSumOfItsRegions)
{
    const Geometry g = GetParam();
    AllocLog log;
    tovrick_cache *c = create_logged(log, g.sets, g.ways, g.id_size, g.tag_size, g.caller_mapping);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(log.allocs, 1);
    EXPECT_EQ(static_cast<void *>(c), log.block);

    const uint64_t heads = round_up(uint64_t{g.sets} * 2 * sizeof(void *), 64);
    const uint64_t counters = round_up(uint64_t{g.sets} * 4, 8);
    const uint64_t tag_stride = round_up(g.tag_size, 8), id_stride = round_up(g.id_size, 8);
    const uint64_t n = uint64_t{g.sets} * g.ways;
    const uint64_t tags_at = 128 + 2 * heads + counters;
    const uint64_t ids_at = tags_at + n * tag_stride;
    const uint64_t total = ids_at + (g.caller_mapping ? 0 : n * id_stride);

    auto at = [&](const void *p) {
        return uint64_t(static_cast<const char *>(p) - static_cast<const char *>(log.block));
    };
    EXPECT_EQ(log.size, total);
    EXPECT_EQ(at(c->used_lists), 128u);
    EXPECT_EQ(at(c->free_lists), 128 + heads);
    EXPECT_EQ(at(c->dirty_per_set), 128 + 2 * heads);
    EXPECT_EQ(at(c->tags), tags_at);
    EXPECT_EQ(c->tag_stride, tag_stride);
    EXPECT_EQ(c->id_stride, id_stride);
    EXPECT_EQ(c->id_size, g.id_size);
    EXPECT_EQ(c->num_sets, g.sets);
    EXPECT_EQ(c->num_ways, g.ways);
    EXPECT_EQ(c->set_mask, g.sets - 1);
    if (g.caller_mapping) {
        EXPECT_EQ(c->ids, nullptr);
        EXPECT_EQ(c->tag_id_fn, th::record_key);
    } else {
        EXPECT_EQ(at(c->ids), ids_at);
    }
    EXPECT_EQ(c->hash_fn, th::hash_key);
    EXPECT_EQ(c->cmp_fn, th::cmp_key);
    EXPECT_EQ(c->alloc_fn, th::log_alloc);
    EXPECT_EQ(c->free_fn, th::log_free);
    EXPECT_EQ(c->alloc_ctx, &log);
    tovrick_destroy(c);
}

INSTANTIATE_TEST_SUITE_P(Geometries, LayoutTest,
                         ::testing::Values(Geometry{4, 2, 4, sizeof(tovrick_tag) + 4, false},
                                           Geometry{4, 2, 4, sizeof(tovrick_tag) + 4, true},
                                           Geometry{1, 1, 1, sizeof(tovrick_tag), false},
                                           Geometry{8, 2, 5, sizeof(Record), false},
                                           Geometry{64, 64, 8, sizeof(Record) + 3, false},
                                           Geometry{65536, 1, 8, sizeof(Record), true}),
                         [](const auto &info) {
                             const Geometry &g = info.param;
                             return std::to_string(g.sets) + "x" + std::to_string(g.ways) + "_id" +
                                    std::to_string(g.id_size) + "_tag" + std::to_string(g.tag_size) +
                                    (g.caller_mapping ? "_caller" : "_default");
                         });

// Where pointers are 4 bytes wide the figures are fixed by the contract.
TEST(Layout, FiguresForFourBytePointers)
{
    if (sizeof(void *) != 4)
        GTEST_SKIP() << "only meaningful in a 32-bit build";
    EXPECT_EQ(sizeof(tovrick_tag), 16u);
    AllocLog log;
    tovrick_cache *c = create_logged(log, 4, 2, 4, 20, false);
    ASSERT_NE(c, nullptr);
    auto at = [&](const void *p) { return static_cast<const char *>(p) - static_cast<const char *>(log.block); };
    EXPECT_EQ(log.size, 528u);
    EXPECT_EQ(at(c->used_lists), 128);
    EXPECT_EQ(at(c->free_lists), 192);
    EXPECT_EQ(at(c->dirty_per_set), 256);
    EXPECT_EQ(at(c->tags), 272);
    EXPECT_EQ(c->tag_stride, 24u);
    EXPECT_EQ(at(c->ids), 464);
    EXPECT_EQ(c->id_stride, 8u);
    tovrick_destroy(c);

    c = create_logged(log, 4, 2, 4, 20, true);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(log.size, 464u);
    EXPECT_EQ(c->ids, nullptr);
    tovrick_destroy(c);

    c = create_logged(log, 1, 1, 1, 16, false);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(log.size, 288u);
    tovrick_destroy(c);
}

struct Refusal {
    const char *why;
    uint32_t sets, ways, id_size, tag_size;
    bool caller_mapping = false;
    bool null_hash = false, null_cmp = false, null_alloc = false, null_free = false;
};

class RefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusalTest, RefusedWithoutAllocating)
{
    const Refusal r = GetParam();
    AllocLog log;
    tovrick_cache *c = tovrick_create2(
        r.sets, r.ways, r.id_size, r.tag_size, r.caller_mapping ? th::record_key : nullptr,
        r.null_hash ? nullptr : th::hash_key, r.null_cmp ? nullptr : th::cmp_key, &log,
        r.null_alloc ? nullptr : th::log_alloc, r.null_free ? nullptr : th::log_free);
    EXPECT_EQ(c, nullptr) << r.why;
    EXPECT_EQ(log.allocs, 0) << r.why;
    EXPECT_TRUE(th::calls().empty()) << r.why;
}

constexpr uint32_t kRec = sizeof(Record);
constexpr uint32_t kHdr = sizeof(tovrick_tag);

INSTANTIATE_TEST_SUITE_P(
    EachRuleAlone, RefusalTest,
    ::testing::Values(
        Refusal{"no sets", 0, 1, 8, kRec},
        Refusal{"no ways", 4, 0, 8, kRec},
        Refusal{"more ways than sets", 2, 4, 8, kRec},
        Refusal{"empty id", 4, 2, 0, kRec},
        Refusal{"empty id, caller mapping", 4, 2, 0, kRec, true},
        Refusal{"tag smaller than its header", 4, 2, 8, kHdr - 1},
        Refusal{"3 sets", 3, 1, 8, kRec},
        Refusal{"6 sets", 6, 2, 8, kRec},
        Refusal{"null hash", 4, 2, 8, kRec, false, true},
        Refusal{"null cmp", 4, 2, 8, kRec, false, false, true},
        Refusal{"null alloc", 4, 2, 8, kRec, false, false, false, true},
        Refusal{"null free", 4, 2, 8, kRec, false, false, false, false, true},
        Refusal{"more sets than a tag's set field can name", 131072, 1, 8, kRec},
        Refusal{"tag stride past 32 bits", 4, 2, 8, 0xFFFFFFFFu},
        Refusal{"id stride past 32 bits", 4, 2, 0xFFFFFFFFu, kRec},
        Refusal{"id stride past 32 bits, caller mapping", 4, 2, 0xFFFFFFFFu, kRec, true},
        Refusal{"tag array past 32 bits", 65536, 65536, 8, kHdr},
        Refusal{"tag array of exactly 4 GiB", 65536, 4096, 8, kHdr},
        Refusal{"id array past 32 bits", 65536, 16, 4096, kHdr},
        Refusal{"total just past 32 bits", 65536, 1, 8, 0xFFF8, true},
        Refusal{"huge tags", 16, 16, 8, 0x10000000}),
    [](const auto &info) { return th::param_name(info.param.why); });

TEST(Create, AcceptsTheBoundaryGeometries)
{
    const Geometry ok[] = {{4, 4, 8, kRec, false},
                           {8, 2, 8, kRec, false},
                           {1, 1, 1, kHdr, false},
                           {65536, 1, 1, kHdr, true}};
    for (const Geometry &g : ok) {
        AllocLog log;
        tovrick_cache *c = create_logged(log, g.sets, g.ways, g.id_size, g.tag_size, g.caller_mapping);
        ASSERT_NE(c, nullptr) << g.sets << "x" << g.ways;
        tovrick_destroy(c);
        EXPECT_EQ(log.frees, 1);
    }
}

TEST(Create, FailedAllocationReturnsNullAndFreesNothing)
{
    AllocLog log;
    log.fail = true;
    EXPECT_EQ(create_logged(log, 4, 2, 8, kRec, false), nullptr);
    EXPECT_EQ(log.allocs, 1);
    EXPECT_EQ(log.frees, 0);
}

TEST(Create, NewCacheIsZeroedWithEveryTagFreeInAddressOrder)
{
    for (auto mapping : {th::Cache::Default, th::Cache::Caller}) {
        th::Cache c(8, 4, mapping);
        ASSERT_NE(c.get(), nullptr);
        EXPECT_TRUE(th::invariants_hold(c.get()));
        EXPECT_EQ(c->num_dirty, 0u);
        for (uint32_t s = 0; s < 8; ++s) {
            EXPECT_TRUE(th::used_order(c.get(), s).empty());
            std::vector<tovrick_tag *> expected;
            for (uint32_t w = 0; w < 4; ++w)
                expected.push_back(&c.tag(s * 4 + w)->hdr);
            EXPECT_EQ(th::free_order(c.get(), s), expected);
            EXPECT_EQ(c->dirty_per_set[s], 0u);
        }
        for (uint32_t k = 0; k < 32; ++k) {
            const Record *r = c.tag(k);
            EXPECT_EQ(r->hdr.refcount, 0u);
            EXPECT_EQ(r->hdr.flags, 0u);
            EXPECT_EQ(r->hdr.set, k / 4);
            EXPECT_EQ(r->key, 0u);
            EXPECT_EQ(r->payload, 0u);
        }
        if (mapping == th::Cache::Default) {
            const auto *ids = static_cast<const unsigned char *>(c->ids);
            for (uint32_t i = 0; i < 32 * c->id_stride; ++i)
                ASSERT_EQ(ids[i], 0) << "id byte " << i;
        }
    }
}

TEST(Create, DefaultMappingMapsTagKToIdSlotK)
{
    th::Cache c(4, 2, th::Cache::Default, 5);
    ASSERT_NE(c->ids, nullptr);
    ASSERT_NE(c->tag_id_fn, nullptr);
    EXPECT_EQ(c->id_stride, 8u);
    for (uint32_t k = 0; k < 8; ++k)
        EXPECT_EQ(c->tag_id_fn(c.get(), &c.tag(k)->hdr),
                  static_cast<const char *>(c->ids) + k * c->id_stride);
}

TEST(Destroy, ReleasesTheBlockOnceWithTheCreationContext)
{
    AllocLog log;
    tovrick_cache *c = create_logged(log, 4, 2, 8, kRec, false);
    ASSERT_NE(c, nullptr);
    th::Key key = 7;
    ASSERT_NE(tovrick_insert(c, &key), nullptr);
    tovrick_destroy(c);
    EXPECT_EQ(log.frees, 1);
    EXPECT_EQ(log.freed_ctx, &log);
    EXPECT_EQ(log.freed_block, log.block);
}

TEST(Create, StandardAllocatorVariantUsesMallocAndFree)
{
    tovrick_cache *c = tovrick_create(4, 2, 8, kRec, nullptr, th::hash_key, th::cmp_key);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->alloc_fn, nullptr);
    EXPECT_NE(c->free_fn, nullptr);
    EXPECT_EQ(c->alloc_ctx, nullptr);
    EXPECT_TRUE(th::invariants_hold(c));
    tovrick_destroy(c); // a mismatched release shows under the sanitizers and valgrind
    EXPECT_EQ(tovrick_create(3, 1, 8, kRec, nullptr, th::hash_key, th::cmp_key), nullptr);
}

TEST(Version, ConstantsName080)
{
    EXPECT_STREQ(tovrick_version_str, "0.8.0");
    EXPECT_EQ(tovrick_version, 0x00080000u);
    EXPECT_EQ(tovrick_version, uint32_t{TOVRICK_VERSION_NUMBER});
}

} // namespace
