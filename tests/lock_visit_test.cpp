// Locking and the walk over tags in use.
#include <cstring>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using th::Cache;
using th::Call;
using th::Key;
using th::Record;

struct LockStep {
    bool lock; // else unlock
    int result;
    uint32_t count;
};

// From an unlocked tag, one step after another.
const LockStep kLockTable[] = {
    {false, -1, 0}, // unlocked: nothing to drop
    {true, 0, 1},   // the first lock sets the flag
    {true, 0, 2},
    {false, 0, 1},  // the flag stays while references remain
    {false, 0, 0},  // the last unlock clears it
    {false, -1, 0},
};

TEST(Lock, StateTableOnCleanAndDirtyTags)
{
    for (bool dirty : {false, true}) {
        Cache c(4, 4);
        Record *t = c.insert(c.key_in_set(1, 0));
        c.insert(c.key_in_set(1, 1));
        if (dirty)
            tovrick_set_dirty(c.get(), &t->hdr);
        c.insert(c.key_in_set(1, 1));
        const auto order = th::used_order(c.get(), 1);
        const uint32_t dirty_count = c->num_dirty;
        int step = 0;
        for (const LockStep &s : kLockTable) {
            int result = s.lock ? tovrick_lock_tag(c.get(), &t->hdr) : tovrick_unlock_tag(c.get(), &t->hdr);
            EXPECT_EQ(result, s.result) << "step " << step;
            EXPECT_EQ(tovrick_get_refcount(&t->hdr), s.count) << "step " << step;
            EXPECT_EQ((t->hdr.flags & TOVRICK_LOCKED) != 0, s.count != 0) << "step " << step;
            EXPECT_EQ(tovrick_is_dirty(&t->hdr), dirty ? 1 : 0) << "step " << step;
            EXPECT_EQ(th::used_order(c.get(), 1), order) << "locking never moves a tag";
            EXPECT_EQ(c->num_dirty, dirty_count);
            EXPECT_TRUE(th::invariants_hold(c.get()));
            ++step;
        }
    }
}

TEST(Lock, EveryTagOfANewCacheIsUnlocked)
{
    Cache c(4, 2);
    for (uint32_t k = 0; k < 8; ++k) {
        EXPECT_EQ(tovrick_get_refcount(&c.tag(k)->hdr), 0u);
        EXPECT_EQ(tovrick_unlock_tag(c.get(), &c.tag(k)->hdr), -1);
        EXPECT_EQ(c.tag(k)->hdr.flags, 0u);
    }
}

TEST(Lock, CountStopsAtItsBoundWithoutWrapping)
{
    Cache c(4, 2);
    Record *t = c.insert(1);
    t->hdr.refcount = 0x7FFFFFFEu; // as if locked 2^31 - 2 times
    t->hdr.flags |= TOVRICK_LOCKED;
    EXPECT_EQ(tovrick_lock_tag(c.get(), &t->hdr), 0);
    EXPECT_EQ(tovrick_get_refcount(&t->hdr), 0x7FFFFFFFu);
    EXPECT_EQ(tovrick_lock_tag(c.get(), &t->hdr), -1);
    EXPECT_EQ(tovrick_get_refcount(&t->hdr), 0x7FFFFFFFu);
    EXPECT_EQ(t->hdr.flags, TOVRICK_LOCKED);
    EXPECT_EQ(tovrick_unlock_tag(c.get(), &t->hdr), 0);
    EXPECT_EQ(tovrick_get_refcount(&t->hdr), 0x7FFFFFFEu);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

TEST(Lock, LockedAndDirtyTagsAreNeverTakenOverUntilOneIsFreed)
{
    Cache c(4, 3);
    Record *locked = c.insert(c.key_in_set(2, 0));
    Record *dirty = c.insert(c.key_in_set(2, 1));
    Record *both = c.insert(c.key_in_set(2, 2));
    tovrick_lock_tag(c.get(), &locked->hdr);
    tovrick_lock_tag(c.get(), &locked->hdr);
    tovrick_set_dirty(c.get(), &dirty->hdr);
    tovrick_set_dirty(c.get(), &both->hdr);
    tovrick_lock_tag(c.get(), &both->hdr);
    const auto order = th::used_order(c.get(), 2);

    const Key newcomer = c.key_in_set(2, 3);
    EXPECT_EQ(c.insert(newcomer), nullptr);
    EXPECT_EQ(th::used_order(c.get(), 2), order);
    EXPECT_EQ(tovrick_purge(c.get(), &newcomer), &dirty->hdr) << "passes over the locked ones";

    tovrick_unlock_tag(c.get(), &locked->hdr);
    EXPECT_EQ(c.insert(newcomer), nullptr) << "one reference is still held";
    tovrick_unlock_tag(c.get(), &locked->hdr);
    EXPECT_EQ(c.insert(newcomer), locked);
    EXPECT_EQ(c.lookup(c.key_in_set(2, 0)), nullptr);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

TEST(Lock, LockedTagIsFoundAndMovedButKeepsItsId)
{
    Cache c(4, 2);
    Key key = c.key_in_set(0, 0);
    Record *t = c.insert(key);
    Record *other = c.insert(c.key_in_set(0, 1));
    tovrick_lock_tag(c.get(), &t->hdr);
    EXPECT_EQ(c.lookup(key), t);
    EXPECT_EQ(c.insert(key), t);
    EXPECT_EQ(th::used_order(c.get(), 0).front(), &t->hdr);
    EXPECT_EQ(t->hdr.refcount, 1u);
    EXPECT_EQ(c.insert(c.key_in_set(0, 2)), other) << "the locked tag is passed over";
    EXPECT_EQ(c.lookup(key), t);
}

TEST(Lock, FlushNamesALockedDirtyTagThatPurgePassesOver)
{
    Cache c(4, 2);
    Key key = c.key_in_set(3, 0);
    Record *t = c.insert(key);
    tovrick_set_dirty(c.get(), &t->hdr);
    tovrick_lock_tag(c.get(), &t->hdr);
    EXPECT_EQ(tovrick_is_dirty(&t->hdr), 1);
    EXPECT_EQ(tovrick_flush(c.get()), &t->hdr);
    EXPECT_EQ(tovrick_purge(c.get(), &key), nullptr);
    tovrick_clear_dirty(c.get(), &t->hdr);
    EXPECT_EQ(tovrick_is_dirty(&t->hdr), 0);
    EXPECT_EQ(t->hdr.flags, TOVRICK_LOCKED) << "clearing dirty keeps the lock";
    EXPECT_EQ(tovrick_remove_tag(c.get(), &t->hdr), -1);
    tovrick_unlock_tag(c.get(), &t->hdr);
    EXPECT_EQ(tovrick_remove_tag(c.get(), &t->hdr), 0);
}

// What a visitor saw.
struct Visit {
    void *ctx;
    tovrick_cache *cache;
    tovrick_tag *tag;
    const void *id;
};

struct Walk {
    std::vector<Visit> visits;
    int result = 0; // what the visitor returns
};

int record_visit(void *ctx, tovrick_cache *cache, tovrick_tag *tag, const void *id)
{
    auto *walk = static_cast<Walk *>(ctx);
    walk->visits.push_back({ctx, cache, tag, id});
    th::calls().push_back({Call::Hash, nullptr, nullptr}); // marks the visit in the call log
    return walk->result;
}

std::vector<tovrick_tag *> tags_of(const Walk &w)
{
    std::vector<tovrick_tag *> out;
    for (const Visit &v : w.visits)
        out.push_back(v.tag);
    return out;
}

TEST(Visit, NewCacheCallsNothing)
{
    Cache c(8, 2, Cache::Caller);
    Walk walk;
    tovrick_visit_tags(c.get(), record_visit, &walk);
    EXPECT_TRUE(walk.visits.empty());
    EXPECT_TRUE(th::calls().empty());
}

TEST(Visit, SetsInAscendingOrderEachFromTheFrontEveryStateOnce)
{
    for (auto mapping : {Cache::Default, Cache::Caller}) {
        Cache c(4, 4, mapping);
        Record *s3 = c.insert(c.key_in_set(3, 0));
        Record *first = c.insert(c.key_in_set(0, 0));
        Record *removed = c.insert(c.key_in_set(0, 1));
        Record *last = c.insert(c.key_in_set(0, 2));
        tovrick_set_dirty(c.get(), &first->hdr);
        tovrick_lock_tag(c.get(), &s3->hdr);
        tovrick_list__lru_update(&c->used_lists[0], &last->hdr.link);
        ASSERT_EQ(tovrick_remove_tag(c.get(), &removed->hdr), 0);

        Walk walk;
        walk.result = 1; // a non-zero result does not end the walk
        th::calls().clear();
        tovrick_visit_tags(c.get(), record_visit, &walk);
        const std::vector<Call> log = th::calls();
        EXPECT_EQ(tags_of(walk), (std::vector<tovrick_tag *>{&last->hdr, &first->hdr, &s3->hdr}));
        if (mapping == Cache::Caller) { // tag_id, then the visitor, once per tag
            std::vector<Call::Kind> kinds;
            for (const Call &call : log)
                kinds.push_back(call.kind);
            EXPECT_EQ(kinds, (std::vector<Call::Kind>{Call::TagId, Call::Hash, Call::TagId, Call::Hash,
                                                      Call::TagId, Call::Hash}));
        }
        for (const Visit &v : walk.visits) {
            EXPECT_EQ(v.ctx, &walk);
            EXPECT_EQ(v.cache, c.get());
            EXPECT_EQ(v.id, c->tag_id_fn(c.get(), v.tag));
            EXPECT_EQ(tovrick_lookup(c.get(), v.id), v.tag) << "the id handed over is the tag's";
        }
    }
}

TEST(Visit, DefaultMappingHandsOverTheCacheCopyOfEachId)
{
    Cache c(4, 2);
    Key key = c.key_in_set(1, 5);
    c.insert(key);
    Walk walk;
    tovrick_visit_tags(c.get(), record_visit, &walk);
    ASSERT_EQ(walk.visits.size(), 1u);
    const auto *ids = static_cast<const char *>(c->ids);
    const auto *id = static_cast<const char *>(walk.visits[0].id);
    EXPECT_GE(id, ids);
    EXPECT_LT(id, ids + 8 * c->id_stride);
    EXPECT_NE(walk.visits[0].id, static_cast<const void *>(&key));
    EXPECT_EQ(std::memcmp(id, &key, sizeof key), 0);
}

TEST(Visit, NullContextArrivesFirst)
{
    Cache c(4, 2);
    c.insert(1);
    static int seen = 0;
    static void *ctx_seen = &seen;
    tovrick_visit_tags(
        c.get(),
        [](void *ctx, tovrick_cache *, tovrick_tag *, const void *) {
            ctx_seen = ctx;
            ++seen;
            return 0;
        },
        nullptr);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(ctx_seen, nullptr);
}

// A visitor that locks, unlocks, looks up and queries: all allowed.
int busy_visitor(void *ctx, tovrick_cache *cache, tovrick_tag *tag, const void *id)
{
    tovrick_lock_tag(cache, tag);
    tovrick_lookup(cache, id);
    tovrick_is_dirty(tag);
    tovrick_num_dirty(cache);
    tovrick_flush(cache);
    tovrick_purge(cache, id);
    tovrick_unlock_tag(cache, tag);
    static_cast<std::vector<tovrick_tag *> *>(ctx)->push_back(tag);
    return 0;
}

TEST(Visit, VisitorThatLocksAndQueriesLeavesTheWalkUnchanged)
{
    Cache c(8, 4);
    for (Key k = 0; k < 20; ++k) {
        Record *t = c.insert(k);
        if (k % 3 == 0)
            tovrick_set_dirty(c.get(), &t->hdr);
    }
    Walk plain;
    tovrick_visit_tags(c.get(), record_visit, &plain);
    std::vector<tovrick_tag *> busy;
    tovrick_visit_tags(c.get(), busy_visitor, &busy);
    EXPECT_EQ(busy, tags_of(plain));
    EXPECT_EQ(busy.size(), 20u);
    EXPECT_TRUE(th::invariants_hold(c.get()));
}

} // namespace
