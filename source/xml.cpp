// The XML scanner and its tree. A tree is one record (the root) plus the document copy and
// chunks that hold every other node and attribute record, so closing a tree of any depth
// frees a handful of blocks and walks nothing; searches go by parent links, never by
// recursion. Every range is an offset into the root's copy (the converted text for
// UTF-16 input). A tree belongs to one thread at a time.
#include "xml.h"

#include "console.h"
#include "detail/common.hpp"
#include "heap.h"
#include "utf8.h"

#include <cstring>

namespace {

using tarvik::detail::is_space;

constexpr uint32_t ELEMENT = TARVIK_XML_ELEMENT;
constexpr uint32_t TEXT = TARVIK_XML_TEXT;
constexpr uint32_t COMMENT = TARVIK_XML_COMMENT;
constexpr uint32_t DOCTYPE = TARVIK_XML_DOCTYPE;
constexpr uint32_t INSTRUCTION = TARVIK_XML_INSTRUCTION;
constexpr uint32_t START = TARVIK_XML_START;
constexpr uint32_t END = TARVIK_XML_END;
constexpr uint32_t CDATA = TARVIK_XML_CDATA;
constexpr uint32_t ANOMALY = TARVIK_XML_ANOMALY;

constexpr size_t FIRST_CHUNK = 16u << 10;
constexpr size_t LARGEST_CHUNK = 1u << 20;
constexpr size_t PATH_STEP = 64;
constexpr size_t PRINT_PIECE = 4096;

static_assert(sizeof(tarvik_xml_node_t) == 17 * sizeof(void *), "a node is seventeen words");

// Records are carved from chunks; a chunk is never freed before its tree.
struct alignas(8) Chunk {
    Chunk *m_next;
    size_t m_used;
    size_t m_capacity;
};

struct Tree {
    tarvik_xml_node_t m_root; // first: the root's address is the tree's
    Chunk *m_chunks;
    char *m_copy;
};

void *carve(Tree *tree, size_t size)
{
    size = (size + 7u) & ~static_cast<size_t>(7u);
    Chunk *chunk = tree->m_chunks;
    if (chunk == nullptr || chunk->m_capacity - chunk->m_used < size) {
        size_t capacity = chunk == nullptr ? FIRST_CHUNK : chunk->m_capacity * 2;
        capacity = capacity > LARGEST_CHUNK ? LARGEST_CHUNK : capacity;
        capacity = capacity < size ? size : capacity;
        auto *fresh = static_cast<Chunk *>(tarvik_alloc_tag(sizeof(Chunk) + capacity, TARVIK_TAG));
        if (fresh == nullptr) {
            return nullptr;
        }
        fresh->m_next = chunk;
        fresh->m_used = 0;
        fresh->m_capacity = capacity;
        tree->m_chunks = chunk = fresh;
    }
    void *record = reinterpret_cast<char *>(chunk + 1) + chunk->m_used;
    chunk->m_used += size;
    return record;
}

void free_tree(Tree *tree)
{
    for (Chunk *chunk = tree->m_chunks; chunk != nullptr;) {
        Chunk *next = chunk->m_next;
        tarvik_free_tag(chunk, TARVIK_TAG);
        chunk = next;
    }
    tarvik_check_free_tag(tree->m_copy, TARVIK_TAG);
    tarvik_free_tag(tree, TARVIK_TAG);
}

// ---- input ------------------------------------------------------------------------------

// UTF-16 after its byte-order mark, as UTF-8; a lone surrogate or odd byte becomes U+FFFD.
size_t convert_utf16(const uint8_t *data, size_t size, bool big_endian, char *out)
{
    size_t length = 0;
    auto unit = [&](size_t i) {
        return big_endian ? static_cast<uint32_t>(data[i] << 8 | data[i + 1])
                          : static_cast<uint32_t>(data[i + 1] << 8 | data[i]);
    };
    for (size_t i = 0; i < size; i += 2) {
        uint32_t scalar = 0xFFFD;
        if (i + 1 < size) {
            scalar = unit(i);
            if (scalar >= 0xD800 && scalar < 0xDC00 && i + 3 < size && unit(i + 2) >= 0xDC00 &&
                unit(i + 2) < 0xE000) {
                scalar = 0x10000 + ((scalar - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
                i += 2;
            } else if (scalar >= 0xD800 && scalar < 0xE000) {
                scalar = 0xFFFD;
            }
        }
        length += tarvik_utf8_character_encode(scalar, out + length, 4);
    }
    out[length] = '\0';
    return length;
}

Tree *new_tree(const void *data, size_t size)
{
    auto *tree = static_cast<Tree *>(tarvik_alloc_tag(sizeof(Tree), TARVIK_TAG));
    if (tree == nullptr) {
        return nullptr;
    }
    memset(tree, 0, sizeof(Tree));
    auto *bytes = static_cast<const uint8_t *>(data);
    bool big = size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF;
    bool little = size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    size_t capacity = big || little ? (size - 2) / 2 * 3 + 4 : size;
    tree->m_copy = static_cast<char *>(tarvik_alloc_tag(capacity + 1, TARVIK_TAG));
    if (tree->m_copy == nullptr) {
        free_tree(tree);
        return nullptr;
    }
    size_t length = size;
    if (big || little) {
        length = convert_utf16(bytes + 2, size - 2, big, tree->m_copy);
    } else {
        memcpy(tree->m_copy, data, size);
        tree->m_copy[size] = '\0';
    }
    tarvik_xml_node_t *root = &tree->m_root;
    root->m_document = tree->m_copy;
    root->m_document_length = length;
    root->m_depth = -1;
    root->m_flags = TARVIK_XML_ROOT;
    root->m_outer_length = length;
    root->m_inner_length = length;
    return tree;
}

// ---- the scan -------------------------------------------------------------------------

struct Range {
    size_t m_offset;
    size_t m_length;
    size_t end() const { return m_offset + m_length; }
};

class Scanner {
  public:
    Scanner(Tree *tree, void *context, tarvik_xml_handler_t handler)
        : m_tree(tree), m_doc(tree->m_copy), m_size(tree->m_root.m_document_length),
          m_current(&tree->m_root)
    {
        memset(&m_event, 0, sizeof(m_event));
        m_event.m_document = m_doc;
        m_event.m_document_size = m_size;
        m_event.m_context = context;
        m_event.m_handler = handler;
    }
    ~Scanner() { tarvik_check_free_tag(m_path, TARVIK_TAG); }
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    // false only when memory ran out.
    bool run();

  private:
    bool starts_with(size_t at, const char *marker) const
    {
        size_t length = strlen(marker);
        return length <= m_size - at && memcmp(m_doc + at, marker, length) == 0;
    }
    // Offset of marker at or after from, or m_size when absent.
    size_t find(size_t from, const char *marker) const
    {
        const void *found = memmem(m_doc + from, m_size - from, marker, strlen(marker));
        return found != nullptr ? static_cast<size_t>(static_cast<const char *>(found) - m_doc)
                                : m_size;
    }
    size_t skip_space(size_t at) const
    {
        while (at < m_size && is_space(m_doc[at])) {
            ++at;
        }
        return at;
    }
    bool ends_name(char c) const { return is_space(c) || c == '/' || c == '>'; }

    bool text(size_t start, size_t end, bool closed);
    bool markup(size_t *at, const char *opener, const char *closer, uint32_t type, uint32_t flags);
    bool doctype(size_t *at);
    bool tag(size_t *at);
    bool attributes(size_t *at, tarvik_xml_attribute_t **list, bool *empty);
    bool piece(uint32_t type, uint32_t flags, Range outer, Range inner,
               tarvik_xml_attribute_t *attributes);
    bool new_node(uint32_t type, uint32_t flags, Range outer, Range inner,
                  tarvik_xml_attribute_t *attributes);
    bool push_path(Range name);
    void pop_path();

    Tree *m_tree;
    const char *m_doc;
    size_t m_size;
    tarvik_xml_node_t *m_current;
    int32_t m_depth = 0;
    char *m_path = nullptr;
    size_t m_path_length = 0;
    size_t m_path_capacity = 0;
    bool m_stopped = false;
    tarvik_xml_event_t m_event;
};

bool Scanner::run()
{
    size_t at = 0;
    while (at < m_size && !m_stopped) {
        auto *lt = static_cast<const char *>(memchr(m_doc + at, '<', m_size - at));
        size_t end = lt != nullptr ? static_cast<size_t>(lt - m_doc) : m_size;
        if (end > at && !text(at, end, lt != nullptr)) {
            return false;
        }
        if (lt == nullptr || m_stopped) {
            break;
        }
        at = end;
        bool ok = true;
        if (starts_with(at, "<!--")) {
            ok = markup(&at, "<!--", "-->", COMMENT, 0);
        } else if (starts_with(at, "<![CDATA[")) {
            ok = markup(&at, "<![CDATA[", "]]>", TEXT, START | END | CDATA);
        } else if (starts_with(at, "<!DOCTYPE")) {
            ok = doctype(&at);
        } else if (starts_with(at, "<?")) {
            ok = markup(&at, "<?", "?>", INSTRUCTION, 0);
        } else {
            ok = tag(&at);
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Text between pieces: outer as it stands, inner without surrounding white space.
bool Scanner::text(size_t start, size_t end, bool closed)
{
    size_t first = skip_space(start);
    size_t last = end;
    while (last > first && is_space(m_doc[last - 1])) {
        --last;
    }
    Range inner = {first, last - first};
    // White space between top-level pieces is allowed; other text at the top, and text
    // that no "<" follows inside an element, is not.
    bool odd = (m_depth == 0 && inner.m_length > 0) || (!closed && m_depth != 0);
    return piece(TEXT, odd ? ANOMALY : 0, Range{start, end - start}, inner, nullptr);
}

bool Scanner::markup(size_t *at, const char *opener, const char *closer, uint32_t type,
                     uint32_t flags)
{
    size_t inner = *at + strlen(opener);
    size_t close = find(inner, closer);
    if (close == m_size) {
        m_stopped = true; // unterminated: everything before it has been reported
        return true;
    }
    if (type == COMMENT && find(inner, "--") < close) {
        flags |= ANOMALY;
    }
    size_t end = close + strlen(closer);
    Range outer = {*at, end - *at};
    *at = end;
    return piece(type, flags, outer, Range{inner, close - inner}, nullptr);
}

bool Scanner::doctype(size_t *at)
{
    size_t inner = skip_space(*at + strlen("<!DOCTYPE"));
    size_t close = inner;
    while (close < m_size && m_doc[close] != '>') {
        if (m_doc[close] == '[') {
            auto *bracket = static_cast<const char *>(memchr(m_doc + close, ']', m_size - close));
            close = bracket != nullptr ? static_cast<size_t>(bracket - m_doc) : m_size;
            if (close == m_size) {
                break;
            }
        }
        ++close;
    }
    if (close >= m_size) {
        m_stopped = true;
        return true;
    }
    size_t last = close;
    while (last > inner && is_space(m_doc[last - 1])) {
        --last;
    }
    Range outer = {*at, close + 1 - *at};
    *at = close + 1;
    return piece(DOCTYPE, 0, outer, Range{inner, last - inner}, nullptr);
}

bool Scanner::tag(size_t *at)
{
    size_t name = *at + 1;
    size_t q = name;
    while (q < m_size && !ends_name(m_doc[q])) {
        ++q;
    }
    if (q == name && q < m_size && m_doc[q] == '/') {
        auto *gt = static_cast<const char *>(memchr(m_doc + q, '>', m_size - q));
        if (gt == nullptr) {
            m_stopped = true;
            return true;
        }
        size_t close = static_cast<size_t>(gt - m_doc);
        Range outer = {*at, close + 1 - *at};
        *at = close + 1;
        return piece(ELEMENT, END, outer, Range{q + 1, close - q - 1}, nullptr);
    }
    Range name_range = {name, q - name};
    tarvik_xml_attribute_t *list = nullptr;
    bool empty = false;
    size_t end = q;
    if (!attributes(&end, &list, &empty)) {
        return false;
    }
    if (m_stopped) {
        return true;
    }
    Range outer = {*at, end - *at};
    *at = end;
    return piece(ELEMENT, empty ? START | END : START, outer, name_range, list);
}

// Attributes up to ">" or "/>"; an unterminated tag or quote stops the scan.
bool Scanner::attributes(size_t *at, tarvik_xml_attribute_t **list, bool *empty)
{
    tarvik_xml_attribute_t **tail = list;
    size_t q = *at;
    for (;;) {
        q = skip_space(q);
        if (q >= m_size) {
            m_stopped = true;
            return true;
        }
        if (m_doc[q] == '>') {
            *at = q + 1;
            return true;
        }
        if (m_doc[q] == '/') {
            if (q + 1 < m_size && m_doc[q + 1] == '>') {
                *empty = true;
                *at = q + 2;
                return true;
            }
            ++q;
            continue;
        }
        size_t name = q;
        while (q < m_size && !ends_name(m_doc[q]) && m_doc[q] != '=') {
            ++q;
        }
        Range name_range = {name, q - name};
        Range value = {q, 0};
        size_t after = skip_space(q);
        if (after < m_size && m_doc[after] == '=') {
            q = skip_space(after + 1);
            if (q < m_size && (m_doc[q] == '"' || m_doc[q] == '\'')) {
                auto *quote =
                    static_cast<const char *>(memchr(m_doc + q + 1, m_doc[q], m_size - q - 1));
                if (quote == nullptr) {
                    m_stopped = true;
                    return true;
                }
                size_t close = static_cast<size_t>(quote - m_doc);
                value = {q + 1, close - q - 1};
                q = close + 1;
            } else {
                size_t start = q;
                while (q < m_size && !ends_name(m_doc[q])) {
                    ++q;
                }
                value = {start, q - start};
            }
        }
        auto *attribute =
            static_cast<tarvik_xml_attribute_t *>(carve(m_tree, sizeof(tarvik_xml_attribute_t)));
        if (attribute == nullptr) {
            return false;
        }
        *attribute = {nullptr, name_range.m_offset, name_range.m_length, value.m_offset,
                      value.m_length};
        *tail = attribute;
        tail = &attribute->m_next;
    }
}

bool Scanner::push_path(Range name)
{
    size_t needed = m_path_length + 1 + name.m_length + 1;
    if (needed > m_path_capacity) {
        // Grown in whole steps, doubling, so that a deep document costs linear time.
        size_t capacity = (needed + PATH_STEP - 1) / PATH_STEP * PATH_STEP;
        capacity = capacity < 2 * m_path_capacity ? 2 * m_path_capacity : capacity;
        auto *grown = static_cast<char *>(tarvik_realloc_tag(m_path, capacity, TARVIK_TAG));
        if (grown == nullptr) {
            return false;
        }
        m_path = grown;
        m_path_capacity = capacity;
    }
    m_path[m_path_length++] = '/';
    memcpy(m_path + m_path_length, m_doc + name.m_offset, name.m_length);
    m_path_length += name.m_length;
    m_path[m_path_length] = '\0';
    return true;
}

void Scanner::pop_path()
{
    if (m_path_length == 0) {
        return;
    }
    // Backwards by hand: the cost is the last name, never the whole path.
    do {
        --m_path_length;
    } while (m_path_length > 0 && m_path[m_path_length] != '/');
    m_path[m_path_length] = '\0';
}

bool Scanner::new_node(uint32_t type, uint32_t flags, Range outer, Range inner,
                       tarvik_xml_attribute_t *attributes)
{
    auto *node = static_cast<tarvik_xml_node_t *>(carve(m_tree, sizeof(tarvik_xml_node_t)));
    if (node == nullptr) {
        return false;
    }
    *node = {};
    node->m_parent = m_current;
    node->m_previous = m_current->m_last_child;
    if (m_current->m_last_child != nullptr) {
        m_current->m_last_child->m_next = node;
    } else {
        m_current->m_first_child = node;
    }
    m_current->m_last_child = node;
    node->m_document = m_doc;
    node->m_document_length = m_size;
    node->m_depth = m_depth;
    node->m_type = type;
    node->m_flags = flags;
    node->m_outer_offset = outer.m_offset;
    node->m_outer_length = outer.m_length;
    node->m_inner_offset = inner.m_offset;
    node->m_inner_length = inner.m_length;
    node->m_name_offset = inner.m_offset;
    node->m_name_length = inner.m_length;
    node->m_attribute = attributes;
    if (type == ELEMENT) {
        // An element's inner range is its content: it starts behind the start tag.
        node->m_inner_offset = outer.end();
        node->m_inner_length = 0;
    }
    m_event.m_node = type == ELEMENT ? node : m_current;
    if (type == ELEMENT && (flags & END) == 0) {
        m_current = node;
    }
    return true;
}

bool Scanner::piece(uint32_t type, uint32_t flags, Range outer, Range inner,
                    tarvik_xml_attribute_t *attributes)
{
    bool start = type == ELEMENT && (flags & START) != 0;
    bool end_only = type == ELEMENT && flags == END;
    if (end_only) {
        --m_depth;
    }
    if (m_depth < 0) {
        flags |= ANOMALY;
    }
    if (start) {
        if (!push_path(inner) || !new_node(type, flags, outer, inner, attributes)) {
            return false;
        }
    } else if (end_only) {
        m_event.m_node = m_current;
        if (m_current != &m_tree->m_root) {
            m_current->m_outer_length = outer.end() - m_current->m_outer_offset;
            m_current->m_inner_length = outer.m_offset - m_current->m_inner_offset;
            m_current->m_flags |= END;
        }
    } else if (type == TEXT && flags == 0 && inner.m_length == 0) {
        // White space between pieces is not kept as a node: a value reads it back from
        // the gaps between children, and a tree of indented markup is far smaller.
        m_event.m_node = m_current;
    } else if (!new_node(type, flags, outer, inner, nullptr)) {
        return false;
    }
    if (m_event.m_handler != nullptr) {
        m_event.m_depth = m_depth;
        m_event.m_path = m_path_length > 0 ? m_path : "/";
        m_event.m_type = type;
        m_event.m_flags = flags;
        m_event.m_outer_offset = outer.m_offset;
        m_event.m_outer_length = outer.m_length;
        m_event.m_inner_offset = inner.m_offset;
        m_event.m_inner_length = inner.m_length;
        m_event.m_attribute = attributes;
        m_stopped = m_event.m_handler(&m_event) != 0;
    }
    if (type == ELEMENT && (flags & END) != 0) {
        pop_path();
        if (end_only && m_current != &m_tree->m_root) {
            m_current = m_current->m_parent;
        }
    } else if (start) {
        ++m_depth;
    }
    return true;
}

Tree *parse(const void *data, size_t size, void *context, tarvik_xml_handler_t handler)
{
    if (data == nullptr || size == 0) {
        return nullptr;
    }
    Tree *tree = new_tree(data, size);
    if (tree == nullptr) {
        return nullptr;
    }
    Scanner scanner(tree, context, handler);
    if (!scanner.run()) {
        free_tree(tree);
        return nullptr;
    }
    return tree;
}

// ---- reading the tree -------------------------------------------------------------------

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The next path component at or after from; false when there is none.
bool next_component(const char *from, const char **start, size_t *length)
{
    while (is_separator(*from)) {
        ++from;
    }
    if (*from == '\0') {
        return false;
    }
    const char *end = from;
    while (*end != '\0' && !is_separator(*end)) {
        ++end;
    }
    *start = from;
    *length = static_cast<size_t>(end - from);
    return true;
}

// The component before the one at start (which is not the first).
const char *previous_component(const char *path, const char *start, size_t *length)
{
    const char *end = start;
    while (end > path && is_separator(end[-1])) {
        --end;
    }
    const char *begin = end;
    while (begin > path && !is_separator(begin[-1])) {
        --begin;
    }
    *length = static_cast<size_t>(end - begin);
    return begin;
}

bool is_named(const tarvik_xml_node_t *node, const char *name, size_t length)
{
    return node->m_type == ELEMENT && node->m_name_length == length &&
           memcmp(node->m_document + node->m_name_offset, name, length) == 0;
}

// The ranges that make up an element's value, in document order: its text children
// (outer, CDATA inner) and child elements (outer), and the white space between them.
class Pieces {
  public:
    explicit Pieces(const tarvik_xml_node_t *node)
        : m_child(node->m_first_child), m_cursor(node->m_inner_offset),
          m_gaps(node->m_type == ELEMENT || (node->m_flags & TARVIK_XML_ROOT) != 0),
          m_end(closed(node) ? node->m_inner_offset + node->m_inner_length : 0)
    {
        if (!m_gaps) {
            m_child = nullptr;
        }
    }

    bool next(Range *piece)
    {
        while (m_child != nullptr) {
            const tarvik_xml_node_t *child = m_child;
            if (child->m_outer_offset > m_cursor) {
                *piece = {m_cursor, child->m_outer_offset - m_cursor};
                m_cursor = child->m_outer_offset;
                return true;
            }
            m_child = child->m_next;
            m_cursor = child->m_outer_offset + child->m_outer_length;
            if (child->m_type == TEXT && (child->m_flags & CDATA) != 0) {
                *piece = {child->m_inner_offset, child->m_inner_length};
                return true;
            }
            if (child->m_type == TEXT || child->m_type == ELEMENT) {
                *piece = {child->m_outer_offset, child->m_outer_length};
                return true;
            }
        }
        if (m_gaps && m_end > m_cursor) {
            *piece = {m_cursor, m_end - m_cursor};
            m_cursor = m_end;
            return true;
        }
        return false;
    }

  private:
    static bool closed(const tarvik_xml_node_t *node)
    {
        return (node->m_flags & TARVIK_XML_ROOT) != 0 ||
               (node->m_type == ELEMENT && (node->m_flags & END) != 0);
    }

    const tarvik_xml_node_t *m_child;
    size_t m_cursor;
    bool m_gaps;
    size_t m_end;
};

void print_range(const char *data, size_t length)
{
    while (length > 0) {
        size_t piece = length < PRINT_PIECE ? length : PRINT_PIECE;
        tarvik_printf("%.*s", static_cast<int>(piece), data);
        data += piece;
        length -= piece;
    }
}

const char *type_tag(uint32_t type)
{
    switch (type) {
    case ELEMENT:
        return "[T]";
    case TEXT:
        return "[B]";
    case COMMENT:
        return "[C]";
    case DOCTYPE:
        return "[D]";
    case INSTRUCTION:
        return "[P]";
    default:
        return "[?]";
    }
}

void dump_element(const tarvik_xml_event_t *event)
{
    tarvik_printf("<%s\033[1;36m", event->m_flags == END ? "/" : "");
    print_range(event->m_document + event->m_inner_offset, event->m_inner_length);
    tarvik_printf("%s\033[0m", (event->m_flags & (START | END)) == (START | END) ? " /" : "");
    for (const tarvik_xml_attribute_t *attribute = event->m_attribute; attribute != nullptr;
         attribute = attribute->m_next) {
        tarvik_printf(" \033[1;32m");
        print_range(event->m_document + attribute->m_name_offset, attribute->m_name_length);
        tarvik_printf("\033[0m=\"\033[1;31m");
        print_range(event->m_document + attribute->m_value_offset, attribute->m_value_length);
        tarvik_printf("\033[0m\"");
    }
    tarvik_printf(">\n");
}

} // namespace

TARVIK_API int tarvik_xml_parser(const void *data, size_t size, void *context,
                                 tarvik_xml_handler_t handler)
{
    Tree *tree =
        parse(data, size, context, handler != nullptr ? handler : tarvik_xml_parser_dump_handler);
    if (tree == nullptr) {
        return -1;
    }
    free_tree(tree);
    return 0;
}

TARVIK_API tarvik_xml_node_t *tarvik_open_xml(const void *data, size_t size)
{
    Tree *tree = parse(data, size, nullptr, nullptr);
    return tree != nullptr ? &tree->m_root : nullptr;
}

TARVIK_API tarvik_xml_node_t *tarvik_close_xml(tarvik_xml_node_t *node)
{
    while (node != nullptr && node->m_parent != nullptr) {
        node = node->m_parent;
    }
    if (node != nullptr && TARVIK_CHECK((node->m_flags & TARVIK_XML_ROOT) != 0)) {
        free_tree(reinterpret_cast<Tree *>(node));
    }
    return nullptr;
}

TARVIK_API tarvik_xml_node_t *tarvik_xml_node_search(tarvik_xml_node_t *node, const char *path)
{
    const char *component = nullptr;
    size_t length = 0;
    if (node == nullptr || path == nullptr || !next_component(path, &component, &length)) {
        return node;
    }
    // Depth first over the siblings that match each component in turn, so that a later
    // sibling of the same name is tried when an earlier one lacks the rest of the path.
    tarvik_xml_node_t *at = (node->m_flags & TARVIK_XML_ROOT) != 0 ? node->m_first_child : node;
    tarvik_xml_node_t *above = nullptr; // the node whose children are being tried
    size_t level = 0;
    for (;;) {
        while (at != nullptr && !is_named(at, component, length)) {
            at = at->m_next;
        }
        if (at != nullptr) {
            const char *next = nullptr;
            size_t next_length = 0;
            if (!next_component(component + length, &next, &next_length)) {
                return at;
            }
            if (at->m_first_child != nullptr) {
                above = at;
                at = at->m_first_child;
                component = next;
                length = next_length;
                ++level;
                continue;
            }
            at = at->m_next;
            continue;
        }
        if (level == 0) {
            return nullptr;
        }
        at = above->m_next;
        above = above->m_parent;
        component = previous_component(path, component, &length);
        --level;
    }
}

TARVIK_API char *tarvik_get_xml_node_name(const tarvik_xml_node_t *node)
{
    if (node == nullptr || node->m_name_length == 0) {
        return nullptr;
    }
    auto *name = static_cast<char *>(tarvik_alloc_tag(node->m_name_length + 1, TARVIK_TAG));
    if (name != nullptr) {
        memcpy(name, node->m_document + node->m_name_offset, node->m_name_length);
        name[node->m_name_length] = '\0';
    }
    return name;
}

TARVIK_API char *tarvik_get_xml_node_value(const tarvik_xml_node_t *node)
{
    if (node == nullptr) {
        return nullptr;
    }
    Pieces pieces(node);
    size_t total = 0;
    for (Range piece; pieces.next(&piece);) {
        total += piece.m_length;
    }
    if (total == 0) {
        return nullptr;
    }
    auto *value = static_cast<char *>(tarvik_alloc_tag(total + 1, TARVIK_TAG));
    if (value == nullptr) {
        return nullptr;
    }
    char *out = value;
    Pieces again(node);
    for (Range piece; again.next(&piece);) {
        memcpy(out, node->m_document + piece.m_offset, piece.m_length);
        out += piece.m_length;
    }
    *out = '\0';
    return value;
}

TARVIK_API int tarvik_xml_parser_dump_handler(tarvik_xml_event_t *event)
{
    if (event == nullptr) {
        return 0;
    }
    uint32_t flags = event->m_flags;
    if (event->m_type == TEXT && event->m_inner_length == 0) {
        return 0; // white space between pieces
    }
    tarvik_printf("%s[%s%s%s%s][%d][%-48s] ", type_tag(event->m_type),
                  (flags & START) != 0 ? "S" : " ", (flags & END) != 0 ? "E" : " ",
                  (flags & CDATA) != 0 ? "C" : " ", (flags & ANOMALY) != 0 ? "!" : " ",
                  static_cast<int>(event->m_depth), event->m_path);
    for (int32_t level = 0; level < event->m_depth; ++level) {
        tarvik_puts("    ");
    }
    const char *inner = event->m_document + event->m_inner_offset;
    size_t length = event->m_inner_length;
    switch (event->m_type) {
    case COMMENT:
        tarvik_printf("<!--\033[1;34m");
        print_range(inner, length);
        tarvik_printf("\033[0m-->\n");
        break;
    case DOCTYPE:
        tarvik_printf("<!\033[1;33mDOCTYPE \033[0m");
        print_range(inner, length);
        tarvik_printf(">\n");
        break;
    case INSTRUCTION:
        tarvik_printf("<?\033[1;32m");
        print_range(inner, length);
        tarvik_printf("\033[0m?>\n");
        break;
    case TEXT:
        tarvik_printf("{");
        print_range(inner, length);
        tarvik_printf("}\n");
        break;
    case ELEMENT:
        dump_element(event);
        break;
    default:
        tarvik_printf("#");
        print_range(event->m_document + event->m_outer_offset, event->m_outer_length);
        tarvik_printf("#\n");
        break;
    }
    return 0;
}
