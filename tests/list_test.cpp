// The list primitives: the links each leaves behind.
#include <vector>

#include <gtest/gtest.h>

#include "tovrick.h"

namespace {

struct ListFixture : ::testing::Test {
    tovrick_list h, k, a, b, c;
    void SetUp() override
    {
        tovrick_list__init(&h);
        tovrick_list__init(&k);
    }
    // Nodes from the front, checking that prev mirrors next on the way.
    static std::vector<tovrick_list *> scan(tovrick_list *head)
    {
        std::vector<tovrick_list *> out;
        for (tovrick_list *n = head->next; n != head; n = n->next) {
            EXPECT_EQ(n->prev->next, n);
            out.push_back(n);
        }
        EXPECT_EQ(head->prev, out.empty() ? head : out.back());
        return out;
    }
    using Nodes = std::vector<tovrick_list *>;
};

TEST_F(ListFixture, InitMakesHeadPointAtItself)
{
    EXPECT_EQ(h.next, &h);
    EXPECT_EQ(h.prev, &h);
}

TEST_F(ListFixture, FirstNodeLinksBothWaysWithHeadFromEitherEnd)
{
    for (auto insert : {tovrick_list__insert_head, tovrick_list__insert_tail}) {
        tovrick_list__init(&h);
        insert(&h, &a);
        EXPECT_EQ(h.next, &a);
        EXPECT_EQ(h.prev, &a);
        EXPECT_EQ(a.next, &h);
        EXPECT_EQ(a.prev, &h);
    }
}

TEST_F(ListFixture, HeadInsertionsScanInReverseTailInsertionsInOrder)
{
    tovrick_list__insert_head(&h, &a);
    tovrick_list__insert_head(&h, &b);
    tovrick_list__insert_head(&h, &c);
    EXPECT_EQ(scan(&h), (Nodes{&c, &b, &a}));

    tovrick_list__insert_tail(&k, &a);
    tovrick_list__insert_tail(&k, &b);
    tovrick_list__insert_tail(&k, &c);
    EXPECT_EQ(scan(&k), (Nodes{&a, &b, &c}));
}

TEST_F(ListFixture, RemovingOnlyNodeEmptiesListAndKeepsNodeLinks)
{
    tovrick_list__insert_head(&h, &a);
    tovrick_list__remove(&a);
    EXPECT_EQ(h.next, &h);
    EXPECT_EQ(h.prev, &h);
    EXPECT_EQ(a.next, &h);
    EXPECT_EQ(a.prev, &h);
}

TEST_F(ListFixture, RemovingMiddleNodeJoinsNeighbours)
{
    for (tovrick_list *n : {&a, &b, &c})
        tovrick_list__insert_tail(&h, n);
    tovrick_list__remove(&b);
    EXPECT_EQ(scan(&h), (Nodes{&a, &c}));
    EXPECT_EQ(b.prev, &a);
    EXPECT_EQ(b.next, &c);
}

TEST_F(ListFixture, LruUpdateMovesBackToFrontAndLeavesFrontAlone)
{
    for (tovrick_list *n : {&a, &b, &c})
        tovrick_list__insert_tail(&h, n);
    tovrick_list__lru_update(&h, &c);
    EXPECT_EQ(scan(&h), (Nodes{&c, &a, &b}));

    tovrick_list__lru_update(&h, &c);
    EXPECT_EQ(scan(&h), (Nodes{&c, &a, &b}));
    EXPECT_EQ(c.prev, &h);
    EXPECT_EQ(c.next, &a);
    EXPECT_EQ(h.prev, &b);
}

TEST_F(ListFixture, LruUpdateOfOnlyNodeKeepsList)
{
    tovrick_list__insert_head(&h, &a);
    tovrick_list__lru_update(&h, &a);
    EXPECT_EQ(scan(&h), (Nodes{&a}));
}

TEST_F(ListFixture, LruUpdateMovesNodeBetweenLists)
{
    tovrick_list d;
    for (tovrick_list *n : {&a, &b, &c})
        tovrick_list__insert_tail(&h, n);
    tovrick_list__insert_tail(&k, &d);
    tovrick_list__lru_update(&k, &b);
    EXPECT_EQ(scan(&h), (Nodes{&a, &c}));
    EXPECT_EQ(scan(&k), (Nodes{&b, &d}));
}

} // namespace
