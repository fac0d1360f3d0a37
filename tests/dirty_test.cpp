// Dirty tracking and write-back selection: the counts, the order in which
// dirty tags are named, the predicate's calls, purge, and the write-back
// cycle that frees a full set.
#include <random>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using th::Cache;
using th::Call;
using th::Key;
using th::Record;

tovrick_tag *hdr(Record *r) { return &r->hdr; }

// Snapshot of everything marking and selection may change.
struct State {
    std::vector<std::vector<tovrick_tag *>> used, free;
    std::vector<uint16_t> flags;
    std::vector<uint32_t> counters;
    uint32_t num_dirty;
    bool operator==(const State &o) const
    {
        return used == o.used && free == o.free && flags == o.flags && counters == o.counters &&
               num_dirty == o.num_dirty;
    }
};

State snapshot(const Cache &c)
{
    State s;
    for (uint32_t set = 0; set < c->num_sets; ++set) {
        s.used.push_back(th::used_order(c.get(), set));
        s.free.push_back(th::free_order(c.get(), set));
        s.counters.push_back(c->dirty_per_set[set]);
    }
    for (uint32_t k = 0; k < c->num_sets * c->num_ways; ++k)
        s.flags.push_back(c.tag(k)->hdr.flags);
    s.num_dirty = c->num_dirty;
    return s;
}

int never(void *ctx, tovrick_tag *tag)
{
    static_cast<std::vector<tovrick_tag *> *>(ctx)->push_back(tag);
    return 0;
}

TEST(Dirty, NewCacheHasNothingToSelect)
{
    Cache c(8, 2);
    std::vector<tovrick_tag *> offered;
    EXPECT_EQ(tovrick_num_dirty(c.get()), 0u);
    EXPECT_EQ(tovrick_flush(c.get()), nullptr);
    EXPECT_EQ(tovrick_flush_if(c.get(), never, &offered), nullptr);
    EXPECT_TRUE(offered.empty());
    Key key = 3;
    EXPECT_EQ(tovrick_purge(c.get(), &key), nullptr);
    EXPECT_EQ(th::calls().size(), 1u);
    EXPECT_EQ(th::count(Call::Hash), 1u);
}

struct Marking {
    const char *name;
    bool start_dirty;
    bool mark_dirty; // else mark clean
    int delta;
};

class MarkingTest : public ::testing::TestWithParam<Marking> {};

TEST_P(MarkingTest, CountsChangeOnlyWithTheFlagAndTheTagMovesToTheFront)
{
    const Marking m = GetParam();
    Cache c(4, 4);
    Record *t = c.insert(c.key_in_set(2, 0));
    Record *other = c.insert(c.key_in_set(2, 1)); // in front of t
    tovrick_set_dirty(c.get(), hdr(other));
    if (m.start_dirty)
        tovrick_set_dirty(c.get(), hdr(t));
    tovrick_list__lru_update(&c->used_lists[2], &other->hdr.link);
    const uint32_t before = c->num_dirty;
    th::calls().clear();

    (m.mark_dirty ? tovrick_set_dirty : tovrick_clear_dirty)(c.get(), hdr(t));

    EXPECT_EQ(int64_t{c->num_dirty} - before, m.delta) << m.name;
    EXPECT_EQ(tovrick_is_dirty(hdr(t)), m.mark_dirty ? 1 : 0);
    EXPECT_EQ(th::used_order(c.get(), 2), (std::vector<tovrick_tag *>{hdr(t), hdr(other)}));
    EXPECT_TRUE(th::calls().empty()) << "marking calls no callback";
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

INSTANTIATE_TEST_SUITE_P(Table, MarkingTest,
                         ::testing::Values(Marking{"clean, set dirty", false, true, 1},
                                           Marking{"dirty, set dirty", true, true, 0},
                                           Marking{"dirty, clear", true, false, -1},
                                           Marking{"clean, clear", false, false, 0}));

TEST(Flush, NamesTheDirtyTagNearestTheFrontAndKeepsNamingItUntilCleared)
{
    Cache c(4, 4);
    Record *a = c.insert(c.key_in_set(1, 0));
    Record *b = c.insert(c.key_in_set(1, 1));
    tovrick_set_dirty(c.get(), hdr(a));
    tovrick_set_dirty(c.get(), hdr(b)); // b in front of a
    EXPECT_EQ(tovrick_flush(c.get()), hdr(b));
    EXPECT_EQ(tovrick_flush(c.get()), hdr(b));
    tovrick_set_dirty(c.get(), hdr(a)); // no count changes, but a moves up
    EXPECT_EQ(c->num_dirty, 2u);
    EXPECT_EQ(tovrick_flush(c.get()), hdr(a));
}

TEST(Flush, DrainsSetsInAscendingOrderEachFromTheFront)
{
    Cache c(8, 4);
    Record *set5 = c.insert(c.key_in_set(5, 0));
    Record *b = c.insert(c.key_in_set(2, 0));
    Record *a = c.insert(c.key_in_set(2, 1));
    Record *clean = c.insert(c.key_in_set(2, 2));
    tovrick_set_dirty(c.get(), hdr(set5));
    tovrick_set_dirty(c.get(), hdr(b));
    tovrick_set_dirty(c.get(), hdr(a));
    tovrick_list__lru_update(&c->used_lists[2], &clean->hdr.link); // set 2: clean, a, b

    std::vector<tovrick_tag *> drained;
    while (tovrick_tag *t = tovrick_flush(c.get())) {
        drained.push_back(t);
        tovrick_clear_dirty(c.get(), t);
        ASSERT_LE(drained.size(), 3u);
    }
    EXPECT_EQ(drained, (std::vector<tovrick_tag *>{hdr(a), hdr(b), hdr(set5)}));
    EXPECT_EQ(c->num_dirty, 0u);
    EXPECT_EQ(c->dirty_per_set[2], 0u);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

// The counter scan reads counters in groups; a lone dirty set must be
// found wherever it stands relative to the groups and the end.
TEST(Flush, FindsALoneDirtySetAnywhere)
{
    for (uint32_t sets : {1u, 2u, 8u, 16u, 64u, 1024u}) {
        for (uint32_t dirty_set : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 1023u}) {
            if (dirty_set >= sets)
                continue;
            Cache c(sets, 1);
            Record *t = c.insert(c.key_in_set(dirty_set, 0));
            tovrick_set_dirty(c.get(), hdr(t));
            EXPECT_EQ(tovrick_flush(c.get()), hdr(t)) << sets << " sets, dirty set " << dirty_set;
        }
    }
}

TEST(FlushIf, NullPredicateIsFlush)
{
    Cache c(8, 2);
    Record *t = c.insert(c.key_in_set(6, 0));
    tovrick_set_dirty(c.get(), hdr(t));
    EXPECT_EQ(tovrick_flush_if(c.get(), nullptr, nullptr), tovrick_flush(c.get()));
    EXPECT_EQ(tovrick_flush_if(c.get(), nullptr, nullptr), hdr(t));
}

TEST(FlushIf, OffersEachDirtyTagOnceInWalkOrderAndChangesNothing)
{
    Cache c(32, 2);
    std::vector<tovrick_tag *> expected;
    for (uint32_t set : {3u, 9u, 30u}) {
        Record *back = c.insert(c.key_in_set(set, 0));
        Record *front = c.insert(c.key_in_set(set, 1));
        tovrick_set_dirty(c.get(), hdr(back));
        tovrick_set_dirty(c.get(), hdr(front));
        expected.push_back(hdr(front));
        expected.push_back(hdr(back));
    }
    c.insert(c.key_in_set(9, 2)); // set 9 is full of dirty tags: refused, no change
    const State before = snapshot(c);
    std::vector<tovrick_tag *> offered;
    EXPECT_EQ(tovrick_flush_if(c.get(), never, &offered), nullptr);
    EXPECT_EQ(offered, expected);
    EXPECT_TRUE(snapshot(c) == before);
}

TEST(FlushIf, ReturnsTheFirstAcceptedTagAndStopsAsking)
{
    Cache c(16, 2);
    std::vector<Record *> dirty;
    for (uint32_t set : {1u, 12u, 13u}) {
        dirty.push_back(c.insert(c.key_in_set(set, 0)));
        tovrick_set_dirty(c.get(), hdr(dirty.back()));
    }
    struct Ctx {
        tovrick_tag *wanted;
        int calls;
    } ctx{hdr(dirty[1]), 0};
    auto accept_wanted = [](void *p, tovrick_tag *tag) {
        auto *x = static_cast<Ctx *>(p);
        ++x->calls;
        return tag == x->wanted ? 7 : 0; // any non-zero accepts
    };
    EXPECT_EQ(tovrick_flush_if(c.get(), accept_wanted, &ctx), hdr(dirty[1]));
    EXPECT_EQ(ctx.calls, 2);
}

TEST(Purge, NamesTheFrontDirtyTagOfTheIdsSetWithoutComparingIds)
{
    Cache c(4, 4);
    Record *far = c.insert(c.key_in_set(3, 0));
    Record *near = c.insert(c.key_in_set(3, 1));
    c.insert(c.key_in_set(3, 2)); // clean, at the front; one tag still free
    tovrick_set_dirty(c.get(), hdr(far));
    tovrick_set_dirty(c.get(), hdr(near));
    c.insert(c.key_in_set(3, 2));
    Record *other_set = c.insert(c.key_in_set(1, 0));
    tovrick_set_dirty(c.get(), hdr(other_set));
    th::calls().clear();

    Key not_held = c.key_in_set(3, 9);
    EXPECT_EQ(tovrick_purge(c.get(), &not_held), hdr(near));
    ASSERT_EQ(th::calls().size(), 1u);
    EXPECT_EQ(th::calls()[0].kind, Call::Hash);
    Key in_set0 = c.key_in_set(0, 0);
    EXPECT_EQ(tovrick_purge(c.get(), &in_set0), nullptr);
}

TEST(Insert, PassesOverDirtyTagsWhenTheSetIsFull)
{
    Cache c(4, 2);
    Record *second = c.insert(c.key_in_set(0, 0));
    Record *front = c.insert(c.key_in_set(0, 1));
    tovrick_set_dirty(c.get(), hdr(front));
    Record *taken = c.insert(c.key_in_set(0, 2));
    EXPECT_EQ(taken, second);
    EXPECT_EQ(th::used_order(c.get(), 0), (std::vector<tovrick_tag *>{hdr(second), hdr(front)}));
    EXPECT_EQ(c.lookup(c.key_in_set(0, 1)), front);
    EXPECT_EQ(tovrick_is_dirty(hdr(front)), 1);
    // A hit on a dirty tag returns it unchanged.
    EXPECT_EQ(c.insert(c.key_in_set(0, 1)), front);
    EXPECT_EQ(front->hdr.flags, TOVRICK_DIRTY);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

TEST(WriteBackCycle, FullSetOfDirtyTagsIsFreedByPurgeAndClear)
{
    for (auto mapping : {Cache::Default, Cache::Caller}) {
        Cache c(4, 4, mapping);
        for (uint32_t n = 0; n < 4; ++n)
            tovrick_set_dirty(c.get(), hdr(c.insert(c.key_in_set(1, n))));
        const State before = snapshot(c);
        const Key newcomer = c.key_in_set(1, 4);
        EXPECT_EQ(c.insert(newcomer), nullptr);
        EXPECT_TRUE(snapshot(c) == before) << "a refused insertion changes nothing";

        tovrick_tag *victim = tovrick_purge(c.get(), &newcomer);
        ASSERT_EQ(victim, th::used_order(c.get(), 1).front());
        tovrick_clear_dirty(c.get(), victim); // written back by the caller
        Record *got = c.insert(newcomer);
        EXPECT_EQ(hdr(got), victim);
        EXPECT_EQ(got->hdr.flags, 0u);
        EXPECT_EQ(c->num_dirty, 3u);
        EXPECT_EQ(c.lookup(newcomer), got);
        EXPECT_TRUE(th::invariants_hold(c.get()));
    }
}

TEST(Dirty, CountsMatchFlagsAfterAnySequenceOfMarking)
{
    Cache c(16, 4);
    std::vector<Record *> tags;
    for (uint32_t k = 0; k < 64; ++k)
        tags.push_back(c.insert(k));
    std::mt19937 rng(12345);
    for (int step = 0; step < 5000; ++step) {
        Record *t = tags[rng() % tags.size()];
        (rng() % 2 ? tovrick_set_dirty : tovrick_clear_dirty)(c.get(), hdr(t));
        if (step % 97 == 0) {
            ASSERT_TRUE(th::invariants_hold(c.get())) << "step " << step;
        }
    }
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

} // namespace
