/* A small non-validating XML scanner: every piece of a document (tag, text, CDATA,
 * comment, DOCTYPE, processing instruction) is reported as an event of byte ranges, and
 * a tree of nodes over the same ranges is built for search by path. No entity is decoded. */
#ifndef TARVIK_XML_H
#define TARVIK_XML_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Piece types. */
#define TARVIK_XML_ELEMENT 1u
#define TARVIK_XML_TEXT 2u /* text or CDATA */
#define TARVIK_XML_COMMENT 3u
#define TARVIK_XML_DOCTYPE 4u
#define TARVIK_XML_INSTRUCTION 5u

/* Piece flags. */
#define TARVIK_XML_START 0x1u /* start tag (with TARVIK_XML_END: an empty element) */
#define TARVIK_XML_END 0x2u
#define TARVIK_XML_CDATA 0x4u
#define TARVIK_XML_ROOT 0x100u     /* the pseudo-node that owns the document copy */
#define TARVIK_XML_ANOMALY 0x8000u /* more end tags than start tags, text at the top, ... */

/* One attribute of a tag: ranges into the document. */
typedef struct tarvik_xml_attribute_s {
    struct tarvik_xml_attribute_s *m_next;
    size_t m_name_offset;
    size_t m_name_length;
    size_t m_value_offset; /* inside the quotes */
    size_t m_value_length;
} tarvik_xml_attribute_t;

/* A node: seventeen words, ranges into the document copy held by the root. */
typedef struct tarvik_xml_node_s {
    struct tarvik_xml_node_s *m_parent;
    struct tarvik_xml_node_s *m_first_child;
    struct tarvik_xml_node_s *m_last_child;
    struct tarvik_xml_node_s *m_previous;
    struct tarvik_xml_node_s *m_next;
    const char *m_document;
    size_t m_document_length;
    intptr_t m_depth;
    uintptr_t m_type;
    uintptr_t m_flags;
    size_t m_outer_offset; /* the whole piece, markers included */
    size_t m_outer_length;
    size_t m_inner_offset; /* an element's content; a leaf's text between its markers */
    size_t m_inner_length;
    size_t m_name_offset;
    size_t m_name_length;
    tarvik_xml_attribute_t *m_attribute;
} tarvik_xml_node_t;

struct tarvik_xml_event_s;
/* Called for every piece; non-zero stops the scan. */
typedef int (*tarvik_xml_handler_t)(struct tarvik_xml_event_s *event);

typedef struct tarvik_xml_event_s {
    const char *m_document; /* the scanned text (UTF-8, also for UTF-16 input) */
    size_t m_document_size;
    void *m_context;
    int32_t m_depth;    /* 0 at the top level */
    const char *m_path; /* "/" or "/a/b/c": the open elements */
    uint32_t m_type;
    uint32_t m_flags;
    size_t m_outer_offset;
    size_t m_outer_length;
    size_t m_inner_offset; /* a tag's name; trimmed text; content between markers */
    size_t m_inner_length;
    tarvik_xml_node_t *m_node;           /* the element being built, or a leaf's parent */
    tarvik_xml_attribute_t *m_attribute; /* of a start tag */
    tarvik_xml_handler_t m_handler;
} tarvik_xml_event_t;

/* Scans size bytes with handler (null: the dump handler) and drops the tree; 0, or -1 for
 * null data, size 0 or no memory. Malformed input is flagged, never refused. */
TARVIK_API int tarvik_xml_parser(const void *data, size_t size, void *context,
                                 tarvik_xml_handler_t handler);
/* Tree of size bytes (copied, UTF-16 with a byte-order mark converted to UTF-8), or null
 * for null data, size 0 or no memory. Close it. */
TARVIK_API tarvik_xml_node_t *tarvik_open_xml(const void *data, size_t size);
/* Frees the whole tree that node belongs to (null accepted); returns null. */
TARVIK_API tarvik_xml_node_t *tarvik_close_xml(tarvik_xml_node_t *node);
/* The element reached from node by a "/"- or "\"-separated path of names (the root
 * stands for its top level); node itself for an empty path; null when none. */
TARVIK_API tarvik_xml_node_t *tarvik_xml_node_search(tarvik_xml_node_t *node, const char *path);
/* New string with the node's name, null for an empty name or no memory. Caller frees. */
TARVIK_API char *tarvik_get_xml_node_name(const tarvik_xml_node_t *node);
/* New string with the node's text and child elements in document order (no comments,
 * DOCTYPE or instructions); null when empty or no memory. Caller frees. */
TARVIK_API char *tarvik_get_xml_node_value(const tarvik_xml_node_t *node);
/* Prints one line per event; returns 0. */
TARVIK_API int tarvik_xml_parser_dump_handler(tarvik_xml_event_t *event);

TARVIK_END_DECLS

#endif
