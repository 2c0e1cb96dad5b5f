#include "common/runtime/CircularListNode.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

// Nodes by index: 0 and 1 are the sentinels of lists A and B, 2 to 4 the
// elements, named by the digit of their index in the expected orders.
constexpr int kSentinelA = 0;
constexpr int kSentinelB = 1;
constexpr int kNone = -1;

enum class Op { After, Before, Unlink, Destroy };

struct Step {
    Op op;
    int node;
    int at;      // After/Before: the node to link to; kNone passes null
    int result;  // the node returned (Unlink: the node itself); kNone = null
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::string listA;  // elements of A from sentinel.next onwards
    std::string listB;
};

const Case kCases[] = {
    {"BeforeSentinelAppends",
     {{Op::Before, 2, kSentinelA, kSentinelA},
      {Op::Before, 3, kSentinelA, 2},
      {Op::Before, 4, kSentinelA, 3}},
     "234",
     ""},
    {"AfterSentinelPrepends",
     {{Op::After, 2, kSentinelA, kSentinelA},
      {Op::After, 3, kSentinelA, 2},
      {Op::After, 4, kSentinelA, 3}},
     "432",
     ""},
    {"AfterAndBeforeAnElement",
     {{Op::Before, 2, kSentinelA, kSentinelA},
      {Op::After, 4, 2, kSentinelA},
      {Op::Before, 3, 4, 2}},
     "234",
     ""},
    {"DestroyedElementLeavesListConsistent",
     {{Op::Before, 2, kSentinelA, kSentinelA},
      {Op::Before, 3, kSentinelA, 2},
      {Op::Before, 4, kSentinelA, 3},
      {Op::Destroy, 3, kNone, kNone}},
     "24",
     ""},
    {"DestroyFirstAndLast",
     {{Op::Before, 2, kSentinelA, kSentinelA},
      {Op::Before, 3, kSentinelA, 2},
      {Op::Before, 4, kSentinelA, 3},
      {Op::Destroy, 2, kNone, kNone},
      {Op::Destroy, 4, kNone, kNone}},
     "3",
     ""},
    {"UnlinkThenReinsert",
     {{Op::Before, 2, kSentinelA, kSentinelA},
      {Op::Before, 3, kSentinelA, 2},
      {Op::Unlink, 2, kNone, 2},
      {Op::Before, 2, kSentinelA, 3}},
     "32",
     ""},
    {"UnlinkAloneChangesNothing",
     {{Op::Unlink, 2, kNone, 2}, {Op::Unlink, kSentinelA, kNone, kSentinelA}},
     "",
     ""},
    {"NullAtReturnsNullAndLeavesNodeAlone",
     {{Op::Before, 2, kSentinelA, kSentinelA},
      {Op::After, 3, kNone, kNone},
      {Op::Before, 4, kNone, kNone}},
     "2",
     ""},
    // Moving an element without unlinking it first must not leave the old
    // list pointing at it.
    {"MoveBetweenListsWithoutUnlink",
     {{Op::Before, 2, kSentinelA, kSentinelA},
      {Op::Before, 3, kSentinelA, 2},
      {Op::Before, 2, kSentinelB, kSentinelB},
      {Op::After, 3, kSentinelB, 2}},
     "",
     "32"},
    {"NullAtTakesElementOutOfItsList",
     {{Op::Before, 2, kSentinelA, kSentinelA},
      {Op::Before, 3, kSentinelA, 2},
      {Op::After, 2, kNone, kNone}},
     "3",
     ""},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class CircularListCase : public testing::TestWithParam<Case> {
  protected:
    CircularListNode* Node(int i) { return i == kNone ? nullptr : nodes_[i].get(); }

    // Walks forwards from the sentinel, checking every back link on the way,
    // and names the elements met.
    std::string Walk(int sentinel) {
        std::string names;
        CircularListNode* head = Node(sentinel);
        CircularListNode* prev = head;
        for (CircularListNode* n = head->Next(); n != head; n = n->Next()) {
            EXPECT_EQ(n->Prev(), prev);
            names += Name(n);
            prev = n;
            if (names.size() > nodes_.size()) {
                ADD_FAILURE() << "list does not lead back to its sentinel";
                break;
            }
        }
        EXPECT_EQ(head->Prev(), prev);
        return names;
    }

    std::string Name(CircularListNode* n) {
        for (size_t i = 0; i < nodes_.size(); ++i) {
            if (nodes_[i].get() == n) {
                return std::to_string(i);
            }
        }
        return "?";
    }

    std::vector<std::unique_ptr<CircularListNode>> nodes_;
};

TEST_P(CircularListCase, Steps) {
    for (int i = 0; i < 5; ++i) {
        nodes_.push_back(std::make_unique<CircularListNode>());
    }
    const Case& c = GetParam();
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const Step& s = c.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        CircularListNode* result = nullptr;
        switch (s.op) {
            case Op::After:
                result = Node(s.node)->InsertAfter(Node(s.at));
                break;
            case Op::Before:
                result = Node(s.node)->InsertBefore(Node(s.at));
                break;
            case Op::Unlink:
                result = Node(s.node)->Unlink();
                break;
            case Op::Destroy:
                nodes_[s.node].reset();
                continue;
        }
        EXPECT_EQ(result, Node(s.result));
    }
    EXPECT_EQ(Walk(kSentinelA), c.listA);
    EXPECT_EQ(Walk(kSentinelB), c.listB);
    // Elements in neither list point to themselves.
    for (int i = 2; i < 5; ++i) {
        CircularListNode* n = Node(i);
        if (n != nullptr && c.listA.find(Name(n)) == std::string::npos &&
            c.listB.find(Name(n)) == std::string::npos) {
            EXPECT_TRUE(n->IsAlone()) << "node " << i;
            EXPECT_EQ(n->Prev(), n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CircularListCase, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(CircularListNodeTest, ConstructorLinksAfterGivenNode) {
    CircularListNode head;
    CircularListNode first(&head);
    CircularListNode second(&head);
    CircularListNode alone(nullptr);
    EXPECT_EQ(head.Next(), &second);
    EXPECT_EQ(second.Next(), &first);
    EXPECT_EQ(first.Next(), &head);
    EXPECT_TRUE(alone.IsAlone());
}

// An element that derives from the node, as the owners' elements do; a loop
// that deletes the current element takes its successor first.
TEST(CircularListNodeTest, DeletingWhileIterating) {
    struct Item : CircularListNode {
        explicit Item(int v) : value(v) {}
        int value;
    };
    CircularListNode head;
    for (int i = 0; i < 6; ++i) {
        (new Item(i))->InsertBefore(&head);
    }
    std::string kept;
    for (CircularListNode* n = head.Next(); n != &head;) {
        CircularListNode* next = n->Next();
        Item* item = static_cast<Item*>(n);
        if (item->value % 2 == 0) {
            delete item;
        }
        n = next;
    }
    while (!head.IsAlone()) {
        Item* item = static_cast<Item*>(head.Next());
        kept += std::to_string(item->value);
        delete item;
    }
    EXPECT_EQ(kept, "135");
}

}  // namespace
