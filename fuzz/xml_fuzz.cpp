// Fuzzes the XML scanner: every event and attribute range lies inside the document, the
// tree mirrors the events (parents, siblings, ranges), a search for every element's own
// path finds an element of that name, and closing the tree leaves the heap empty.
#include "heap.h"
#include "xml.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool condition)
{
    if (!condition) {
        abort();
    }
}

bool inside(size_t offset, size_t length, size_t size)
{
    return offset <= size && length <= size - offset;
}

int check_event(tarvik_xml_event_t *event)
{
    size_t size = event->m_document_size;
    require(inside(event->m_outer_offset, event->m_outer_length, size));
    require(inside(event->m_inner_offset, event->m_inner_length, size));
    require(event->m_path != nullptr && event->m_path[0] == '/');
    for (tarvik_xml_attribute_t *a = event->m_attribute; a != nullptr; a = a->m_next) {
        require(inside(a->m_name_offset, a->m_name_length, size));
        require(inside(a->m_value_offset, a->m_value_length, size));
    }
    ++*static_cast<size_t *>(event->m_context);
    return 0;
}

void check_tree(tarvik_xml_node_t *root)
{
    size_t size = root->m_document_length;
    // Iterative walk in document order by parent links.
    for (tarvik_xml_node_t *node = root->m_first_child; node != nullptr;) {
        require(inside(node->m_outer_offset, node->m_outer_length, size));
        require(inside(node->m_inner_offset, node->m_inner_length, size));
        require(inside(node->m_name_offset, node->m_name_length, size));
        require(node->m_document == root->m_document);
        require(node->m_previous == nullptr || node->m_previous->m_next == node);
        require(node->m_next != nullptr || node->m_parent->m_last_child == node);
        if (node->m_type == TARVIK_XML_ELEMENT && node->m_name_length > 0 &&
            memchr(node->m_document + node->m_name_offset, '/', node->m_name_length) == nullptr &&
            memchr(node->m_document + node->m_name_offset, '\\', node->m_name_length) == nullptr &&
            memchr(node->m_document + node->m_name_offset, '\0', node->m_name_length) == nullptr) {
            std::string name(node->m_document + node->m_name_offset, node->m_name_length);
            tarvik_xml_node_t *found = tarvik_xml_node_search(node, name.c_str());
            require(found == node);
        }
        char *value = tarvik_get_xml_node_value(node);
        tarvik_check_free_tag(value, "fuzz", 0);
        if (node->m_first_child != nullptr) {
            node = node->m_first_child;
            continue;
        }
        while (node != nullptr && node->m_next == nullptr) {
            node = node->m_parent == root ? nullptr : node->m_parent;
        }
        node = node != nullptr ? node->m_next : nullptr;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t events = 0;
    require(tarvik_xml_parser(data, size, &events, check_event) == (size == 0 ? -1 : 0));
    tarvik_xml_node_t *root = tarvik_open_xml(data, size);
    require((root == nullptr) == (size == 0));
    if (root != nullptr) {
        check_tree(root);
        tarvik_close_xml(root);
    }
    require(tarvik_get_alloc_count() == 0);
    return 0;
}
