// C++-only intrusive lists: the links live in the nodes (fields named by member
// pointers, m_next and m_prev by default), the list is a head and an optional tail kept
// wherever the owner keeps them. Nothing allocates; the caller locks.
#pragma once

#include <cstddef>

namespace tarvik::detail {

// What both kinds share: the owner's head and optional tail (null: appends walk to the end).
template <typename Node, Node *Node::*Next> class ListBase {
  public:
    ListBase(Node **head, Node **tail) : m_head(head), m_tail(tail) {}

    Node *front() const { return *m_head; }
    bool empty() const { return *m_head == nullptr; }
    Node *back() const
    {
        if (m_tail != nullptr) {
            return *m_tail;
        }
        Node *node = *m_head;
        while (node != nullptr && node->*Next != nullptr) {
            node = node->*Next;
        }
        return node;
    }
    size_t count() const
    {
        size_t count = 0;
        for (Node *node = *m_head; node != nullptr; node = node->*Next) {
            ++count;
        }
        return count;
    }
    bool contains(const Node *wanted) const
    {
        for (Node *node = *m_head; node != nullptr; node = node->*Next) {
            if (node == wanted) {
                return true;
            }
        }
        return false;
    }

  protected:
    // The walk ends within limit nodes and the tail is the last node; previous_ok(node,
    // previous) checks each backward link. For tests.
    template <typename Check> bool walk_is_sound(size_t limit, Check previous_ok) const
    {
        Node *previous = nullptr;
        size_t seen = 0;
        for (Node *node = *m_head; node != nullptr; previous = node, node = node->*Next) {
            if (++seen > limit || !previous_ok(node, previous)) {
                return false;
            }
        }
        return m_tail == nullptr || *m_tail == previous;
    }
    // The first node that does not order before node (less(node, other) true), or null.
    template <typename Less> Node *first_after(Node *node, Less less, Node **previous) const
    {
        Node *at = *m_head;
        for (*previous = nullptr; at != nullptr && !less(node, at); at = at->*Next) {
            *previous = at;
        }
        return at;
    }

    Node **m_head;
    Node **m_tail;
};

// Doubly linked list over the owner's head and tail fields.
template <typename Node, Node *Node::*Next = &Node::m_next, Node *Node::*Prev = &Node::m_prev>
class DoublyLinked : public ListBase<Node, Next> {
    using Base = ListBase<Node, Next>;
    using Base::m_head;
    using Base::m_tail;

  public:
    DoublyLinked(Node **head, Node **tail) : Base(head, tail) {}

    void push_back(Node *node) { insert_after(this->back(), node); }
    void push_front(Node *node) { insert_after(nullptr, node); }

    // Inserts node before at; a null at appends.
    void insert_before(Node *at, Node *node)
    {
        insert_after(at != nullptr ? at->*Prev : this->back(), node);
    }
    // Inserts node after at; a null at puts it first.
    void insert_after(Node *at, Node *node)
    {
        Node *next = at != nullptr ? at->*Next : *m_head;
        node->*Prev = at;
        node->*Next = next;
        (at != nullptr ? at->*Next : *m_head) = node;
        if (next != nullptr) {
            next->*Prev = node;
        } else if (m_tail != nullptr) {
            *m_tail = node;
        }
    }
    // Inserts node after every node that does not order after it (less(node, other) is
    // false), so equal keys keep their arrival order.
    template <typename Less> void insert_sorted(Node *node, Less less)
    {
        Node *previous = nullptr;
        this->first_after(node, less, &previous);
        insert_after(previous, node);
    }

    void remove(Node *node)
    {
        ((node->*Prev) != nullptr ? (node->*Prev)->*Next : *m_head) = node->*Next;
        if (node->*Next != nullptr) {
            (node->*Next)->*Prev = node->*Prev;
        } else if (m_tail != nullptr) {
            *m_tail = node->*Prev;
        }
        node->*Next = nullptr;
        node->*Prev = nullptr;
    }
    Node *pop_front()
    {
        Node *node = *m_head;
        if (node != nullptr) {
            remove(node);
        }
        return node;
    }

    // The invariants: the first node has no predecessor, every link is mirrored, the
    // tail is the last node, and the walk ends (at most limit nodes). For tests.
    bool validate(size_t limit = static_cast<size_t>(-1)) const
    {
        return this->walk_is_sound(
            limit, [](Node *node, Node *previous) { return node->*Prev == previous; });
    }
};

// Singly linked list over the owner's head and optional tail fields.
template <typename Node, Node *Node::*Next = &Node::m_next>
class SinglyLinked : public ListBase<Node, Next> {
    using Base = ListBase<Node, Next>;
    using Base::m_head;
    using Base::m_tail;

  public:
    SinglyLinked(Node **head, Node **tail) : Base(head, tail) {}

    void push_front(Node *node) { link_after(nullptr, node); }
    void push_back(Node *node) { link_after(this->back(), node); }
    template <typename Less> void insert_sorted(Node *node, Less less)
    {
        Node *previous = nullptr;
        this->first_after(node, less, &previous);
        link_after(previous, node);
    }
    // Unlinks node; false when it is not in the list.
    bool remove(Node *node)
    {
        Node *previous = nullptr;
        for (Node *at = *m_head; at != nullptr; previous = at, at = at->*Next) {
            if (at == node) {
                (previous != nullptr ? previous->*Next : *m_head) = node->*Next;
                if (m_tail != nullptr && *m_tail == node) {
                    *m_tail = previous;
                }
                node->*Next = nullptr;
                return true;
            }
        }
        return false;
    }
    Node *pop_front()
    {
        Node *node = *m_head;
        if (node != nullptr) {
            remove(node);
        }
        return node;
    }
    bool validate(size_t limit = static_cast<size_t>(-1)) const
    {
        return this->walk_is_sound(limit, [](Node *, Node *) { return true; });
    }

  private:
    // Links node behind previous (null: first).
    void link_after(Node *previous, Node *node)
    {
        Node *&link = previous != nullptr ? previous->*Next : *m_head;
        node->*Next = link;
        link = node;
        if (node->*Next == nullptr && m_tail != nullptr) {
            *m_tail = node;
        }
    }
};

// Hands every node of a chain to release, head to tail; each next link is read first.
template <typename Node, Node *Node::*Next = &Node::m_next, typename Release>
void release_all(Node *node, Release release)
{
    while (node != nullptr) {
        Node *next = node->*Next;
        release(node);
        node = next;
    }
}

} // namespace tarvik::detail
