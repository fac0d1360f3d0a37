// Removal by id and by tag: which states are refused, what a removal moves,
// and that a removed tag is the next one its set gives out.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using th::Cache;
using th::Call;
using th::Key;
using th::Record;

enum class Op { ById, ByTag };
enum class Start { NotHeld, Clean, Dirty, Locked, DirtyLocked, Free };

struct Row {
    const char *name;
    Op op;
    Start start;
    int result;
};

// Set 2 of a 4x4 cache holds three ids, the subject in the middle; one tag
// of the set is still free.
class RemovalTable : public ::testing::TestWithParam<Row> {
protected:
    Cache c{4, 4};
    Record *subject = nullptr;
    Key subject_key = 0;

    void SetUp() override
    {
        c.insert(c.key_in_set(2, 0));
        subject_key = c.key_in_set(2, 1);
        subject = c.insert(subject_key);
        c.insert(c.key_in_set(2, 2));
        subject->payload = 77;
    }

    void enter(Start start)
    {
        switch (start) {
        case Start::NotHeld:
            subject_key = c.key_in_set(2, 9);
            break;
        case Start::Clean:
            break;
        case Start::Dirty:
            tovrick_set_dirty(c.get(), &subject->hdr);
            break;
        case Start::Locked:
            tovrick_lock_tag(c.get(), &subject->hdr);
            break;
        case Start::DirtyLocked:
            tovrick_set_dirty(c.get(), &subject->hdr);
            tovrick_lock_tag(c.get(), &subject->hdr);
            break;
        case Start::Free:
            ASSERT_EQ(tovrick_remove_tag(c.get(), &subject->hdr), 0);
            ASSERT_EQ(tovrick_remove_tag(c.get(), &c.lookup(c.key_in_set(2, 0))->hdr), 0);
            ASSERT_EQ(th::free_order(c.get(), 2)[1], &subject->hdr); // free, not at the front
            break;
        }
    }
};

TEST_P(RemovalTable, RefusesOrMovesTheTagToTheFrontOfItsFreeList)
{
    const Row row = GetParam();
    enter(row.start);
    const auto used_before = th::used_order(c.get(), 2);
    const auto free_before = th::free_order(c.get(), 2);
    const tovrick_tag header_before = subject->hdr;
    const uint32_t dirty_before = c->num_dirty;
    std::vector<unsigned char> id_before(8);
    std::memcpy(id_before.data(), c->tag_id_fn(c.get(), &subject->hdr), 8);
    th::calls().clear();

    int result = row.op == Op::ById ? tovrick_remove_id(c.get(), &subject_key)
                                    : tovrick_remove_tag(c.get(), &subject->hdr);
    EXPECT_EQ(result, row.result) << row.name;

    if (row.op == Op::ById)
        EXPECT_EQ(th::count(Call::Hash), 1u);
    else
        EXPECT_TRUE(th::calls().empty()) << "removal by tag calls no callback";

    if (result != 0) {
        EXPECT_EQ(th::used_order(c.get(), 2), used_before) << row.name;
        EXPECT_EQ(th::free_order(c.get(), 2), free_before) << row.name;
    } else {
        auto used_after = used_before, free_after = free_before;
        used_after.erase(std::remove(used_after.begin(), used_after.end(), &subject->hdr), used_after.end());
        free_after.erase(std::remove(free_after.begin(), free_after.end(), &subject->hdr), free_after.end());
        free_after.insert(free_after.begin(), &subject->hdr);
        EXPECT_EQ(th::used_order(c.get(), 2), used_after) << row.name;
        EXPECT_EQ(th::free_order(c.get(), 2), free_after) << row.name;
        EXPECT_EQ(c.lookup(subject_key), nullptr);
    }
    // Either way the tag keeps its flags, count, id bytes and caller data.
    EXPECT_EQ(subject->hdr.flags, header_before.flags);
    EXPECT_EQ(subject->hdr.refcount, header_before.refcount);
    EXPECT_EQ(std::memcmp(c->tag_id_fn(c.get(), &subject->hdr), id_before.data(), 8), 0);
    EXPECT_EQ(subject->payload, 77u);
    EXPECT_EQ(c->num_dirty, dirty_before);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

INSTANTIATE_TEST_SUITE_P(
    States, RemovalTable,
    ::testing::Values(Row{"by id, not held", Op::ById, Start::NotHeld, -1},
                      Row{"by id, dirty", Op::ById, Start::Dirty, -1},
                      Row{"by id, locked", Op::ById, Start::Locked, -1},
                      Row{"by id, dirty and locked", Op::ById, Start::DirtyLocked, -1},
                      Row{"by id, clean and unlocked", Op::ById, Start::Clean, 0},
                      Row{"by tag, locked", Op::ByTag, Start::Locked, -1},
                      Row{"by tag, dirty and locked", Op::ByTag, Start::DirtyLocked, -1},
                      Row{"by tag, dirty: never drops unwritten changes", Op::ByTag, Start::Dirty, -1},
                      Row{"by tag, clean and unlocked", Op::ByTag, Start::Clean, 0},
                      Row{"by tag, already free", Op::ByTag, Start::Free, 0}),
    [](const auto &info) { return th::param_name(info.param.name); });

TEST(Remove, SameIdTwiceSucceedsThenIsRefused)
{
    Cache c(4, 2);
    Key key = c.key_in_set(1, 0);
    c.insert(key);
    th::calls().clear();
    EXPECT_EQ(tovrick_remove_id(c.get(), &key), 0);
    EXPECT_EQ(th::count(Call::Hash), 1u);
    EXPECT_EQ(tovrick_remove_id(c.get(), &key), -1);
    EXPECT_EQ(th::count(Call::Hash), 2u);
}

TEST(Remove, RemovedTagIsTheNextOneItsSetGivesOut)
{
    for (auto mapping : {Cache::Default, Cache::Caller}) {
        Cache c(4, 4, mapping);
        Key a = c.key_in_set(0, 0);
        EXPECT_EQ(c.insert(a), c.tag(0));
        EXPECT_EQ(c.insert(c.key_in_set(0, 1)), c.tag(1));
        ASSERT_EQ(tovrick_remove_id(c.get(), &a), 0);
        EXPECT_EQ(c.insert(c.key_in_set(0, 2)), c.tag(0)) << "ahead of tags never used";
        EXPECT_EQ(c.insert(c.key_in_set(0, 3)), c.tag(2));
    }
}

TEST(Remove, InAFullSetTheRemovedTagIsTakenAndNoOther)
{
    Cache c(4, 2);
    Record *a = c.insert(c.key_in_set(3, 0));
    Record *b = c.insert(c.key_in_set(3, 1));
    ASSERT_EQ(tovrick_remove_tag(c.get(), &a->hdr), 0);
    EXPECT_EQ(c.insert(c.key_in_set(3, 2)), a);
    EXPECT_EQ(c.lookup(c.key_in_set(3, 1)), b);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

TEST(Remove, RemovingTheOnlyTagLeavesALookupWithNothingToCompare)
{
    Cache c(4, 2, Cache::Caller);
    Key key = c.key_in_set(2, 0);
    c.insert(key);
    ASSERT_EQ(tovrick_remove_id(c.get(), &key), 0);
    th::calls().clear();
    EXPECT_EQ(c.lookup(key), nullptr);
    EXPECT_EQ(th::count(Call::TagId), 0u);
    EXPECT_EQ(th::count(Call::Cmp), 0u);
}

TEST(Remove, DirtyTagBecomesRemovableOnceCleared)
{
    Cache c(4, 2);
    Key key = c.key_in_set(0, 0);
    Record *t = c.insert(key);
    tovrick_set_dirty(c.get(), &t->hdr);
    EXPECT_EQ(tovrick_remove_id(c.get(), &key), -1);
    EXPECT_EQ(tovrick_remove_tag(c.get(), &t->hdr), -1);
    EXPECT_EQ(c->dirty_per_set[0], 1u);
    tovrick_clear_dirty(c.get(), &t->hdr);
    EXPECT_EQ(tovrick_remove_id(c.get(), &key), 0);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

} // namespace
