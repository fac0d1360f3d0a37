// Lookup and insertion: which tag an id gets, which tag a new id takes over,
// and exactly which callbacks run, in which order.
#include <cctype>
#include <cstring>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using th::Cache;
using th::Call;
using th::Key;
using th::Record;

class LookupInsert : public ::testing::TestWithParam<Cache::Mapping> {
protected:
    Cache::Mapping mapping() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(BothMappings, LookupInsert,
                         ::testing::Values(Cache::Default, Cache::Caller),
                         [](const auto &info) {
                             return info.param == Cache::Default ? "DefaultMapping" : "CallerMapping";
                         });

TEST_P(LookupInsert, LookupInNewCacheHashesOnceAndComparesNothing)
{
    Cache c(4, 2, mapping());
    EXPECT_EQ(c.lookup(5), nullptr);
    ASSERT_EQ(th::calls().size(), 1u);
    EXPECT_EQ(th::calls()[0].kind, Call::Hash);
}

TEST_P(LookupInsert, FirstIdsOfASetTakeItsTagsInAddressOrder)
{
    Cache c(4, 4, mapping());
    for (uint32_t n = 0; n < 4; ++n) {
        Key key = c.key_in_set(2, n);
        Record *r = c.insert(key);
        ASSERT_EQ(r, c.tag(2 * 4 + n));
        EXPECT_EQ(r->hdr.flags, 0u);
        EXPECT_EQ(r->hdr.refcount, 0u);
        EXPECT_EQ(r->hdr.set, 2u);
        if (mapping() == Cache::Default) {
            EXPECT_EQ(std::memcmp(c->tag_id_fn(c.get(), &r->hdr), &key, sizeof key), 0);
        }
    }
    for (uint32_t n = 0; n < 4; ++n)
        EXPECT_EQ(c.lookup(c.key_in_set(2, n)), c.tag(2 * 4 + n));
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

// With a full set of 2 ways, which tag the new id C takes after a prelude.
struct Takeover {
    const char *name;
    std::vector<char> prelude; // 'A'/'B' insert, 'a'/'b' look up
    char victim;               // whose tag C takes
    char survivor;
};

class TakeoverTest : public ::testing::TestWithParam<std::tuple<Takeover, Cache::Mapping>> {};

TEST_P(TakeoverTest, NewIdTakesTheCleanTagNearestTheFront)
{
    const auto &[t, mapping] = GetParam();
    Cache c(4, 2, mapping);
    auto key = [&](char name) { return c.key_in_set(1, uint32_t(std::tolower(name) - 'a')); };
    Record *tag_of[3] = {};
    for (char step : t.prelude) {
        if (std::isupper(step))
            tag_of[step - 'A'] = c.insert(key(step));
        else
            ASSERT_NE(c.lookup(key(step)), nullptr);
    }
    Record *c_tag = c.insert(key('C'));
    EXPECT_EQ(c_tag, tag_of[t.victim - 'A']) << t.name;
    EXPECT_EQ(th::used_order(c.get(), 1).front(), &c_tag->hdr);
    EXPECT_EQ(c.lookup(key(t.victim)), nullptr) << t.name;
    EXPECT_EQ(c.lookup(key(t.survivor)), tag_of[t.survivor - 'A']) << t.name;
    EXPECT_EQ(c.lookup(key('C')), c_tag);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TakeoverTest,
    ::testing::Combine(::testing::Values(Takeover{"A B C", {'A', 'B'}, 'B', 'A'},
                                         Takeover{"A B A C: the hit moves A", {'A', 'B', 'A'}, 'A', 'B'},
                                         Takeover{"A B lookup(A) C: lookups keep order", {'A', 'B', 'a'}, 'B', 'A'}),
                       ::testing::Values(Cache::Default, Cache::Caller)));

TEST_P(LookupInsert, InsertingAHeldIdReturnsItsTagMovedToTheFrontUnchanged)
{
    Cache c(4, 4, mapping());
    Record *a = c.insert(c.key_in_set(0, 0));
    c.insert(c.key_in_set(0, 1));
    c.insert(c.key_in_set(0, 2));
    a->payload = 42;
    EXPECT_EQ(c.insert(c.key_in_set(0, 0)), a);
    EXPECT_EQ(th::used_order(c.get(), 0).front(), &a->hdr);
    EXPECT_EQ(c.insert(c.key_in_set(0, 0)), a);
    EXPECT_EQ(a->hdr.flags, 0u);
    EXPECT_EQ(a->payload, 42u);
    EXPECT_EQ(th::free_order(c.get(), 0).size(), 1u);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

TEST_P(LookupInsert, SearchCallsTagIdThenCmpPerTagFromTheFront)
{
    Cache c(4, 4, mapping());
    Record *a = c.insert(c.key_in_set(3, 0));
    Record *b = c.insert(c.key_in_set(3, 1));
    Record *d = c.insert(c.key_in_set(3, 2)); // order: d, b, a
    th::calls().clear();
    Key key = c.key_in_set(3, 0);
    ASSERT_EQ(tovrick_lookup(c.get(), &key), &a->hdr);

    std::vector<Call::Kind> kinds;
    std::vector<const void *> stored;
    for (const Call &call : th::calls()) {
        kinds.push_back(call.kind);
        if (call.kind == Call::Cmp) {
            stored.push_back(call.a);
            EXPECT_EQ(call.b, &key) << "the caller's id comes second";
        }
    }
    std::vector<const void *> expected_stored;
    for (Record *r : {d, b, a})
        expected_stored.push_back(c->tag_id_fn(c.get(), &r->hdr));
    EXPECT_EQ(stored, expected_stored);
    if (mapping() == Cache::Caller)
        EXPECT_EQ(kinds, (std::vector<Call::Kind>{Call::Hash, Call::TagId, Call::Cmp, Call::TagId,
                                                  Call::Cmp, Call::TagId, Call::Cmp}));
    else // the library's own mapping is not a caller callback
        EXPECT_EQ(kinds, (std::vector<Call::Kind>{Call::Hash, Call::Cmp, Call::Cmp, Call::Cmp}));
}

TEST_P(LookupInsert, InsertHashesOnceAndLookupImplNever)
{
    Cache c(8, 2, mapping());
    Key key = c.key_in_set(5, 1);
    ASSERT_NE(c.insert(key), nullptr);
    EXPECT_EQ(th::count(Call::Hash), 1u);
    th::calls().clear();
    tovrick_tag *full = tovrick_lookup__impl(c.get(), &key, uint32_t(key));
    tovrick_tag *masked = tovrick_lookup__impl(c.get(), &key, 5);
    EXPECT_NE(full, nullptr);
    EXPECT_EQ(full, masked);
    EXPECT_EQ(tovrick_lookup__impl(c.get(), &key, 0xFFFFFFF8u | 5u), full) << "high bits ignored";
    EXPECT_EQ(th::count(Call::Hash), 0u);
    EXPECT_EQ(tovrick_lookup__impl(c.get(), &key, 4), nullptr) << "another set is searched alone";
}

TEST(Insert, StoresExactlyIdSizeBytesUnderTheDefaultMapping)
{
    Cache c(4, 2, Cache::Default, 5);
    const unsigned char id[8] = {1, 2, 3, 4, 5, 0xEE, 0xEE, 0xEE}; // hash sees 0x0504030201 -> set 1
    tovrick_tag *t = tovrick_insert(c.get(), id);
    ASSERT_NE(t, nullptr);
    const auto *slot = static_cast<const unsigned char *>(c->tag_id_fn(c.get(), t));
    EXPECT_EQ(std::memcmp(slot, id, 5), 0);
    EXPECT_EQ(slot[5], 0);
    EXPECT_EQ(slot[6], 0);
    EXPECT_EQ(slot[7], 0);
}

TEST(Insert, CallerMappingWritesOnlyTagHeadersAndListHeads)
{
    Cache c(4, 2, Cache::Caller);
    const size_t size = c.alloc.size;
    const auto *block = static_cast<const unsigned char *>(static_cast<void *>(c.get()));
    std::vector<unsigned char> before(block, block + size);
    for (Key k : {Key{1}, Key{5}, Key{9}, Key{2}}) // three ids of set 1: a takeover too
        ASSERT_NE(tovrick_insert(c.get(), &k), nullptr);

    const auto *heads_begin = reinterpret_cast<const unsigned char *>(c->used_lists);
    const auto *heads_end = reinterpret_cast<const unsigned char *>(c->dirty_per_set);
    for (size_t i = 0; i < size; ++i) {
        if (block[i] == before[i])
            continue;
        const unsigned char *p = block + i;
        bool in_heads = p >= heads_begin && p < heads_end;
        auto tag_offset = size_t(p - static_cast<const unsigned char *>(c->tags)) % c->tag_stride;
        bool in_header = p >= static_cast<const unsigned char *>(c->tags) && tag_offset < sizeof(tovrick_tag);
        EXPECT_TRUE(in_heads || in_header) << "byte " << i << " of the block changed";
    }
}

// Callbacks that make the comparison hostile: sign and equality.
thread_local int g_mismatch = -1;
int cmp_signed(const void *stored, const void *id)
{
    return std::memcmp(stored, id, sizeof(Key)) == 0 ? 0 : g_mismatch;
}
int cmp_always_equal(const void *, const void *) { return 0; }

TEST(Lookup, AnyNonZeroComparisonIsAMismatch)
{
    for (int mismatch : {-1, 1, -1000000, 1000000, INT32_MIN, INT32_MAX}) {
        g_mismatch = mismatch;
        tovrick_cache *c = tovrick_create(2, 2, sizeof(Key), sizeof(Record), nullptr, th::hash_key, cmp_signed);
        Key a = 0, b = 2, other = 4;
        tovrick_tag *ta = tovrick_insert(c, &a);
        tovrick_tag *tb = tovrick_insert(c, &b);
        EXPECT_NE(ta, tb);
        EXPECT_EQ(tovrick_lookup(c, &a), ta) << mismatch;
        EXPECT_EQ(tovrick_lookup(c, &b), tb) << mismatch;
        EXPECT_EQ(tovrick_lookup(c, &other), nullptr) << mismatch;
        tovrick_destroy(c);
    }
}

TEST(Lookup, OfTwoEqualIdsTheOneNearerTheFrontIsFound)
{
    tovrick_cache *c = tovrick_create(2, 2, sizeof(Key), sizeof(Record), nullptr, th::hash_key, th::cmp_key);
    Key a = 0, b = 2;
    tovrick_tag *ta = tovrick_insert(c, &a);
    tovrick_tag *tb = tovrick_insert(c, &b);
    // Rewrite a's stored id so both tags hold b: the front one (tb) wins,
    // and after a hit on ta moves it forward, ta does.
    std::memcpy(const_cast<void *>(c->tag_id_fn(c, ta)), &b, sizeof b);
    EXPECT_EQ(tovrick_lookup(c, &b), tb);
    tovrick_list__lru_update(&c->used_lists[0], &ta->link);
    EXPECT_EQ(tovrick_lookup(c, &b), ta);
    tovrick_destroy(c);
}

TEST(Insert, AComparisonThatAlwaysSaysEqualMakesEveryIdOfASetOneTag)
{
    tovrick_cache *c = tovrick_create(4, 4, sizeof(Key), sizeof(Record), nullptr, th::hash_key, cmp_always_equal);
    Key a = 1, b = 5, other_set = 2;
    tovrick_tag *t = tovrick_insert(c, &a);
    EXPECT_EQ(tovrick_insert(c, &b), t);
    EXPECT_NE(tovrick_insert(c, &other_set), t);
    EXPECT_TRUE(th::invariants_hold(c));
    tovrick_destroy(c);
}

} // namespace
