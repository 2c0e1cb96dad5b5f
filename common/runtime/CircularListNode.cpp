#include "common/runtime/CircularListNode.h"

CircularListNode::CircularListNode(CircularListNode* at) {
    InsertAfter(at);
}

CircularListNode::~CircularListNode() {
    Unlink();
}

// Both inserts first take the node out of any list it is still in: linking a
// node that another list still points to would leave that list with a link
// to wherever the node goes next, and a dangling one once it is destroyed.

CircularListNode* CircularListNode::InsertAfter(CircularListNode* at) {
    Unlink();
    if (at == nullptr || at == this) {
        return at == nullptr ? nullptr : next_;
    }
    next_ = at->next_;
    prev_ = at;
    next_->prev_ = this;
    at->next_ = this;
    return next_;
}

CircularListNode* CircularListNode::InsertBefore(CircularListNode* at) {
    Unlink();
    if (at == nullptr || at == this) {
        return at == nullptr ? nullptr : prev_;
    }
    next_ = at;
    prev_ = at->prev_;
    prev_->next_ = this;
    at->prev_ = this;
    return prev_;
}

CircularListNode* CircularListNode::Unlink() {
    prev_->next_ = next_;
    next_->prev_ = prev_;
    next_ = this;
    prev_ = this;
    return this;
}
