// The intrusive lists, differentially: random operations on a list with and without a
// tail against a std::list model, with validate() after every step.
#include "tarvik_test.hpp"

#include "detail/common.hpp"

#include <algorithm>
#include <list>
#include <random>
#include <vector>

namespace {

using tarvik::detail::DoublyLinked;
using tarvik::detail::SinglyLinked;

struct Node {
    Node *m_next;
    Node *m_prev;
    int m_key;
};

// The list under test next to its model; every step is checked against the model.
template <typename List> struct Harness {
    Node *m_head = nullptr;
    Node *m_tail = nullptr;
    bool m_with_tail;
    std::list<Node *> m_model;

    explicit Harness(bool with_tail) : m_with_tail(with_tail) {}
    List list() { return List(&m_head, m_with_tail ? &m_tail : nullptr); }
    void check()
    {
        ASSERT_TRUE(list().validate(m_model.size()));
        std::vector<Node *> seen;
        for (Node *node = m_head; node != nullptr; node = node->m_next) {
            seen.push_back(node);
        }
        ASSERT_EQ(seen, std::vector<Node *>(m_model.begin(), m_model.end()));
        ASSERT_EQ(list().count(), m_model.size());
        ASSERT_EQ(list().back(), m_model.empty() ? nullptr : m_model.back());
        ASSERT_EQ(list().empty(), m_model.empty());
    }
    // Where insert_sorted must put node: behind every key that is not larger.
    std::list<Node *>::iterator sorted_place(const Node *node)
    {
        return std::find_if(m_model.begin(), m_model.end(),
                            [node](const Node *other) { return node->m_key < other->m_key; });
    }
};

auto by_key = [](const Node *left, const Node *right) { return left->m_key < right->m_key; };

TEST(ListTest, DoublyLinkedMatchesItsModel)
{
    for (bool with_tail : {true, false}) {
        std::mt19937 random(with_tail ? 7 : 11);
        std::vector<Node> nodes(64);
        Harness<DoublyLinked<Node>> harness(with_tail);
        std::vector<Node *> free_nodes;
        for (Node &node : nodes) {
            free_nodes.push_back(&node);
        }
        for (int step = 0; step < 4000; ++step) {
            int operation = static_cast<int>(random() % 7);
            auto &model = harness.m_model;
            if (operation < 5 && !free_nodes.empty()) {
                Node *node = free_nodes.back();
                free_nodes.pop_back();
                node->m_key = static_cast<int>(random() % 10);
                Node *at =
                    model.empty() ? nullptr : *std::next(model.begin(), random() % model.size());
                auto position = std::find(model.begin(), model.end(), at);
                switch (operation) {
                case 0:
                    harness.list().push_back(node);
                    model.push_back(node);
                    break;
                case 1:
                    harness.list().push_front(node);
                    model.push_front(node);
                    break;
                case 2:
                    harness.list().insert_before(at, node);
                    model.insert(position, node);
                    break;
                case 3:
                    harness.list().insert_after(at, node);
                    model.insert(at == nullptr ? model.begin() : std::next(position), node);
                    break;
                default:
                    // Sorted insertion is only meaningful on a sorted list.
                    model.sort(by_key);
                    harness.m_head = nullptr;
                    harness.m_tail = nullptr;
                    for (Node *each : model) {
                        harness.list().push_back(each);
                    }
                    model.insert(harness.sorted_place(node), node);
                    harness.list().insert_sorted(node, by_key);
                    break;
                }
            } else if (!model.empty()) {
                Node *node = operation == 5 ? harness.list().pop_front()
                                            : *std::next(model.begin(), random() % model.size());
                if (operation == 5) {
                    ASSERT_EQ(node, model.front());
                } else {
                    harness.list().remove(node);
                }
                model.remove(node);
                EXPECT_EQ(node->m_next, nullptr);
                EXPECT_EQ(node->m_prev, nullptr);
                free_nodes.push_back(node);
            }
            harness.check();
            if (testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST(ListTest, SinglyLinkedMatchesItsModel)
{
    for (bool with_tail : {true, false}) {
        std::mt19937 random(with_tail ? 3 : 5);
        std::vector<Node> nodes(64);
        Harness<SinglyLinked<Node>> harness(with_tail);
        std::vector<Node *> free_nodes;
        for (Node &node : nodes) {
            free_nodes.push_back(&node);
        }
        for (int step = 0; step < 4000; ++step) {
            int operation = static_cast<int>(random() % 5);
            auto &model = harness.m_model;
            if (operation < 3 && !free_nodes.empty()) {
                Node *node = free_nodes.back();
                free_nodes.pop_back();
                node->m_key = static_cast<int>(random() % 10);
                if (operation == 0) {
                    harness.list().push_back(node);
                    model.push_back(node);
                } else if (operation == 1) {
                    harness.list().push_front(node);
                    model.push_front(node);
                } else {
                    model.sort(by_key);
                    harness.m_head = nullptr;
                    harness.m_tail = nullptr;
                    for (Node *each : model) {
                        harness.list().push_back(each);
                    }
                    model.insert(harness.sorted_place(node), node);
                    harness.list().insert_sorted(node, by_key);
                }
            } else if (!model.empty()) {
                Node *node = operation == 3 ? harness.list().pop_front()
                                            : *std::next(model.begin(), random() % model.size());
                if (operation == 3) {
                    ASSERT_EQ(node, model.front());
                } else {
                    ASSERT_TRUE(harness.list().remove(node));
                    ASSERT_FALSE(harness.list().remove(node)); // no longer there
                }
                model.remove(node);
                EXPECT_EQ(node->m_next, nullptr);
                free_nodes.push_back(node);
            }
            harness.check();
            if (testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST(ListTest, ValidateCatchesBrokenLinks)
{
    Node a{}, b{}, c{};
    Node *head = nullptr;
    Node *tail = nullptr;
    DoublyLinked<Node> list(&head, &tail);
    list.push_back(&a);
    list.push_back(&b);
    list.push_back(&c);
    ASSERT_TRUE(list.validate());
    EXPECT_FALSE(list.validate(2)); // longer than the limit: a cycle would look like this
    b.m_prev = &c;
    EXPECT_FALSE(list.validate());
    b.m_prev = &a;
    tail = &b;
    EXPECT_FALSE(list.validate());
    tail = &c;
    c.m_next = &a; // a cycle
    EXPECT_FALSE(list.validate(10));
    c.m_next = nullptr;
    EXPECT_TRUE(list.contains(&b));
    list.remove(&b);
    EXPECT_FALSE(list.contains(&b));
    EXPECT_TRUE(list.validate());
}

class ListHeapTest : public TarvikTest {};

TEST_F(ListHeapTest, ChainsAreReleasedWholeFromTheHead)
{
    Node *head = nullptr;
    Node *tail = nullptr;
    SinglyLinked<Node> list(&head, &tail);
    for (int i = 0; i < 5; ++i) {
        auto *node = static_cast<Node *>(tarvik_alloc_tag(sizeof(Node), "chain", 1));
        ASSERT_NE(node, nullptr);
        node->m_key = i;
        list.push_back(node);
    }
    // The back half is cut off and released; a release may clear the link (the walk read
    // it already) and free the node.
    Node *back_half = head->m_next->m_next;
    head->m_next->m_next = nullptr;
    std::vector<int> order;
    tarvik::detail::release_all(back_half, [&order](Node *node) {
        order.push_back(node->m_key);
        node->m_next = nullptr;
        tarvik_free_tag(node, "chain", 2);
    });
    EXPECT_EQ(order, (std::vector<int>{2, 3, 4}));
    tarvik::detail::free_chain_tag(head, "chain", 3); // the base fixture checks the heap
}

} // namespace
