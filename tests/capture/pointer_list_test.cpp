#include "capture/pointer_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace korvane {
namespace {

// An element that counts its destructions, so the tests see what a list destroys.
class Counted {
  public:
    Counted(int v, int& destroyed) : value(v), destroyed_(destroyed) {}
    virtual ~Counted() { ++destroyed_; }
    int value;

  private:
    int& destroyed_;
};

template <typename List>
std::vector<int> Walk(List& list) {
    std::vector<int> values;
    list.StartWalk();
    while (Counted* c = list.NextInWalk()) {
        values.push_back(c->value);
    }
    return values;
}

class PointerListTest : public ::testing::Test {
  protected:
    // Puts 1..n into an owning list, 1 at the front; returns them in that order.
    std::vector<Counted*> Fill(OwningPointerList<Counted>& list, int n) {
        std::vector<Counted*> added;
        for (int v = n; v >= 1; --v) {
            added.insert(added.begin(), list.AddFront(std::make_unique<Counted>(v, destroyed_)));
        }
        return added;
    }
    int destroyed_ = 0;
};

TEST_F(PointerListTest, AddFrontIgnoresNullAndPutsTheNewestFirst) {
    int unused = 0;
    Counted a(1, unused), b(2, unused), c(3, unused);
    PointerList<Counted> list;
    EXPECT_EQ(list.AddFront(nullptr), nullptr);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.Front(), nullptr);
    EXPECT_EQ(list.NextInWalk(), nullptr);
    EXPECT_EQ(list.AddFront(&a), &a);
    list.AddFront(&b);
    list.AddFront(nullptr);
    list.AddFront(&c);
    EXPECT_EQ(list.count(), 3u);
    EXPECT_EQ(list.Front(), &c);
    EXPECT_EQ(Walk(list), (std::vector<int>{3, 2, 1}));

    OwningPointerList<Counted> owning;
    EXPECT_EQ(owning.AddFront(nullptr), nullptr);
    EXPECT_EQ(owning.count(), 0u);
}

TEST_F(PointerListTest, RemoveTakesTheFirstMatchFromTheFront) {
    int unused = 0;
    Counted a(1, unused), b(2, unused), other(9, unused);
    PointerList<Counted> list;
    list.AddFront(&a);
    list.AddFront(&b);
    list.AddFront(&a);  // a, b, a
    EXPECT_TRUE(list.Remove(&a));
    EXPECT_EQ(Walk(list), (std::vector<int>{2, 1}));
    EXPECT_FALSE(list.Remove(&other));
    EXPECT_FALSE(list.Remove(nullptr));
    EXPECT_EQ(list.count(), 2u);

    OwningPointerList<Counted> owning;
    std::vector<Counted*> e = Fill(owning, 3);
    EXPECT_TRUE(owning.Remove(e[1]));
    EXPECT_EQ(destroyed_, 1);
    EXPECT_EQ(Walk(owning), (std::vector<int>{1, 3}));
}

TEST_F(PointerListTest, RemoveFrontHandsTheElementOver) {
    OwningPointerList<Counted> owning;
    EXPECT_EQ(owning.RemoveFront(), nullptr);
    Fill(owning, 2);
    std::unique_ptr<Counted> front = owning.RemoveFront();
    ASSERT_NE(front, nullptr);
    EXPECT_EQ(front->value, 1);
    EXPECT_EQ(destroyed_, 0);
    EXPECT_EQ(Walk(owning), (std::vector<int>{2}));
    front.reset();
    EXPECT_EQ(destroyed_, 1);

    int unused = 0;
    Counted a(1, unused);
    PointerList<Counted> plain;
    plain.AddFront(&a);
    EXPECT_EQ(plain.RemoveFront(), &a);
    EXPECT_TRUE(plain.empty());
    EXPECT_EQ(plain.RemoveFront(), nullptr);
}

TEST_F(PointerListTest, WalkGoesOnAfterTheReturnedElementIsRemoved) {
    OwningPointerList<Counted> owning;
    Fill(owning, 6);
    std::vector<int> seen;
    owning.StartWalk();
    while (Counted* c = owning.NextInWalk()) {
        seen.push_back(c->value);
        if (c->value % 2 == 0 || c->value == 1) {
            owning.Remove(c);
        }
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(destroyed_, 4);
    EXPECT_EQ(Walk(owning), (std::vector<int>{3, 5}));
}

TEST_F(PointerListTest, RemovingTheNodeUnderTheCursorMovesItOn) {
    OwningPointerList<Counted> owning;
    std::vector<Counted*> e = Fill(owning, 4);
    owning.StartWalk();
    EXPECT_EQ(owning.NextInWalk(), e[0]);  // the cursor is on 2 now
    EXPECT_TRUE(owning.Remove(e[1]));
    EXPECT_EQ(owning.NextInWalk(), e[2]);  // and on 4, the last node
    EXPECT_TRUE(owning.Remove(e[3]));
    EXPECT_EQ(owning.NextInWalk(), nullptr);
    EXPECT_EQ(destroyed_, 2);
    EXPECT_EQ(Walk(owning), (std::vector<int>{1, 3}));
}

TEST_F(PointerListTest, ClearDestroysOnlyOwnedElements) {
    {
        OwningPointerList<Counted> owning;
        Fill(owning, 3);
        owning.StartWalk();
        owning.NextInWalk();
        owning.Clear();
        EXPECT_EQ(destroyed_, 3);
        EXPECT_TRUE(owning.empty());
        EXPECT_EQ(owning.NextInWalk(), nullptr);  // a walk under way ends
        Fill(owning, 2);
        EXPECT_EQ(Walk(owning), (std::vector<int>{1, 2}));
    }
    EXPECT_EQ(destroyed_, 5);  // the owning list's end destroys what it still holds

    destroyed_ = 0;
    Counted a(1, destroyed_), b(2, destroyed_);
    {
        PointerList<Counted> plain;
        plain.AddFront(&a);
        plain.AddFront(&b);
        plain.Clear();
        EXPECT_TRUE(plain.empty());
        plain.AddFront(&a);
        EXPECT_TRUE(plain.Remove(&a));
        plain.AddFront(&b);
    }
    EXPECT_EQ(destroyed_, 0);
}

TEST_F(PointerListTest, TakeAndRemoveBackHandElementsOverWithoutDestroyingThem) {
    OwningPointerList<Counted> list;
    std::vector<Counted*> added = Fill(list, 4);
    list.StartWalk();
    list.NextInWalk();  // the cursor on 2, which is taken next
    std::unique_ptr<Counted> taken = list.Take(added[1]);
    EXPECT_EQ(taken.get(), added[1]);
    EXPECT_EQ(list.NextInWalk(), added[2]);
    EXPECT_EQ(list.Take(added[1]), nullptr);
    std::unique_ptr<Counted> oldest = list.RemoveBack();
    EXPECT_EQ(oldest->value, 4);
    EXPECT_EQ(Walk(list), (std::vector<int>{1, 3}));
    EXPECT_EQ(destroyed_, 0);
    list.RemoveBack();
    list.RemoveBack();
    EXPECT_EQ(list.RemoveBack(), nullptr);
    EXPECT_EQ(destroyed_, 2);
}

}  // namespace
}  // namespace korvane
