// A node of an intrusive, circular, doubly linked list with a sentinel head:
// the owner of a list keeps a CircularListNode member as the sentinel, and the
// elements derive from CircularListNode. The list owns nothing; destroying an
// element takes it out of its list. No locking: each list is guarded by its
// owner.
#pragma once

class CircularListNode {
  public:
    // A node in no list points to itself both ways.
    CircularListNode() = default;
    // Links the node directly after `at`; null leaves it alone.
    explicit CircularListNode(CircularListNode* at);
    virtual ~CircularListNode();
    // Copying would duplicate links that the list does not know about.
    CircularListNode(const CircularListNode&) = delete;
    CircularListNode& operator=(const CircularListNode&) = delete;

    // Links this node directly after `at` (first, when `at` is the sentinel)
    // and returns the node that now follows it. A null `at` leaves the node
    // alone and returns null.
    CircularListNode* InsertAfter(CircularListNode* at);
    // Links this node directly before `at` (last, when `at` is the sentinel)
    // and returns the node that now precedes it. A null `at` as above.
    CircularListNode* InsertBefore(CircularListNode* at);
    // Takes the node out of its list, if any; returns this.
    CircularListNode* Unlink();

    CircularListNode* Next() const { return next_; }
    CircularListNode* Prev() const { return prev_; }
    // For a sentinel: the list is empty. For an element: it is in no list.
    bool IsAlone() const { return next_ == this; }

  private:
    CircularListNode* next_ = this;
    CircularListNode* prev_ = this;
};
