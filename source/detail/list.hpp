// C++-only intrusive lists: the links live in the nodes (fields named by member
// pointers, m_next and m_prev by default), the list is a head and an optional tail kept
// wherever the owner keeps them. Nothing allocates; the caller locks.
#pragma once

#include <cstddef>

namespace tarvik::detail {

// Doubly linked list over the owner's head and tail fields. With a null tail pointer
// the list has no tail and appends walk to the end.
template <typename Node, Node *Node::*Next = &Node::m_next, Node *Node::*Prev = &Node::m_prev>
class DoublyLinked {
  public:
    DoublyLinked(Node **head, Node **tail) : m_head(head), m_tail(tail) {}

    Node *front() const { return *m_head; }
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
    bool empty() const { return *m_head == nullptr; }

    void push_back(Node *node) { insert_after(back(), node); }
    void push_front(Node *node) { insert_before(*m_head, node); }

    // Inserts node before at; a null at appends.
    void insert_before(Node *at, Node *node)
    {
        if (at == nullptr) {
            insert_after(back(), node);
            return;
        }
        node->*Next = at;
        node->*Prev = at->*Prev;
        if (at->*Prev != nullptr) {
            (at->*Prev)->*Next = node;
        } else {
            *m_head = node;
        }
        at->*Prev = node;
    }
    // Inserts node after at; a null at puts it first.
    void insert_after(Node *at, Node *node)
    {
        if (at == nullptr) {
            node->*Prev = nullptr;
            node->*Next = *m_head;
            if (*m_head != nullptr) {
                (*m_head)->*Prev = node;
            } else if (m_tail != nullptr) {
                *m_tail = node;
            }
            *m_head = node;
            return;
        }
        node->*Prev = at;
        node->*Next = at->*Next;
        if (at->*Next != nullptr) {
            (at->*Next)->*Prev = node;
        } else if (m_tail != nullptr) {
            *m_tail = node;
        }
        at->*Next = node;
    }
    // Inserts node after every node that does not order after it (less(node, other) is
    // false), so equal keys keep their arrival order.
    template <typename Less> void insert_sorted(Node *node, Less less)
    {
        Node *at = *m_head;
        while (at != nullptr && !less(node, at)) {
            at = at->*Next;
        }
        insert_before(at, node);
    }

    void remove(Node *node)
    {
        if (node->*Prev != nullptr) {
            (node->*Prev)->*Next = node->*Next;
        } else {
            *m_head = node->*Next;
        }
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

    // The invariants: the first node has no predecessor, every link is mirrored, the
    // tail is the last node, and the walk ends (at most limit nodes). For tests.
    bool validate(size_t limit = static_cast<size_t>(-1)) const
    {
        Node *previous = nullptr;
        size_t seen = 0;
        for (Node *node = *m_head; node != nullptr; node = node->*Next) {
            if (node->*Prev != previous || ++seen > limit) {
                return false;
            }
            previous = node;
        }
        return m_tail == nullptr || *m_tail == previous;
    }

  private:
    Node **m_head;
    Node **m_tail;
};

// Singly linked list over the owner's head and optional tail fields.
template <typename Node, Node *Node::*Next = &Node::m_next> class SinglyLinked {
  public:
    SinglyLinked(Node **head, Node **tail) : m_head(head), m_tail(tail) {}

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

    void push_front(Node *node)
    {
        node->*Next = *m_head;
        if (*m_head == nullptr && m_tail != nullptr) {
            *m_tail = node;
        }
        *m_head = node;
    }
    void push_back(Node *node)
    {
        node->*Next = nullptr;
        Node *last = back();
        if (last != nullptr) {
            last->*Next = node;
        } else {
            *m_head = node;
        }
        if (m_tail != nullptr) {
            *m_tail = node;
        }
    }
    template <typename Less> void insert_sorted(Node *node, Less less)
    {
        Node *previous = nullptr;
        Node *at = *m_head;
        while (at != nullptr && !less(node, at)) {
            previous = at;
            at = at->*Next;
        }
        node->*Next = at;
        if (previous != nullptr) {
            previous->*Next = node;
        } else {
            *m_head = node;
        }
        if (at == nullptr && m_tail != nullptr) {
            *m_tail = node;
        }
    }
    // Unlinks node; false when it is not in the list.
    bool remove(Node *node)
    {
        Node *previous = nullptr;
        for (Node *at = *m_head; at != nullptr; previous = at, at = at->*Next) {
            if (at != node) {
                continue;
            }
            if (previous != nullptr) {
                previous->*Next = at->*Next;
            } else {
                *m_head = at->*Next;
            }
            if (m_tail != nullptr && *m_tail == node) {
                *m_tail = previous;
            }
            node->*Next = nullptr;
            return true;
        }
        return false;
    }
    Node *pop_front()
    {
        Node *node = *m_head;
        if (node != nullptr) {
            *m_head = node->*Next;
            if (*m_head == nullptr && m_tail != nullptr) {
                *m_tail = nullptr;
            }
            node->*Next = nullptr;
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
    bool validate(size_t limit = static_cast<size_t>(-1)) const
    {
        Node *last = nullptr;
        size_t seen = 0;
        for (Node *node = *m_head; node != nullptr; node = node->*Next) {
            if (++seen > limit) {
                return false;
            }
            last = node;
        }
        return m_tail == nullptr || *m_tail == last;
    }

  private:
    Node **m_head;
    Node **m_tail;
};

} // namespace tarvik::detail
