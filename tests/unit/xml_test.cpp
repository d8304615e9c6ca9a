// XML scanner: the events of documents as rows, the tree and its search, values, UTF-16
// input, malformed documents, a million nested elements, and the dump handler.
#include "tarvik_test.hpp"

#include <string>
#include <vector>

namespace {

class XmlTest : public TarvikTest {};

std::string range(const tarvik_xml_event_t *event, size_t offset, size_t length)
{
    return std::string(event->m_document + offset, length);
}

// Each event as "T SE!1/a/b <outer>|inner" with the attributes after the tag.
int record(tarvik_xml_event_t *event)
{
    auto *out = static_cast<std::vector<std::string> *>(event->m_context);
    const char *types = "?TBCDP";
    uint32_t flags = event->m_flags;
    std::string line;
    line += types[event->m_type <= 5 ? event->m_type : 0];
    line += " ";
    line += (flags & TARVIK_XML_START) != 0 ? "S" : "";
    line += (flags & TARVIK_XML_END) != 0 ? "E" : "";
    line += (flags & TARVIK_XML_CDATA) != 0 ? "C" : "";
    line += (flags & TARVIK_XML_ANOMALY) != 0 ? "!" : "";
    line += std::to_string(event->m_depth) + event->m_path + " " +
            range(event, event->m_outer_offset, event->m_outer_length) + "|" +
            range(event, event->m_inner_offset, event->m_inner_length);
    for (tarvik_xml_attribute_t *a = event->m_attribute; a != nullptr; a = a->m_next) {
        line += " " + range(event, a->m_name_offset, a->m_name_length) + "=" +
                range(event, a->m_value_offset, a->m_value_length);
    }
    // Every range lies inside the document.
    EXPECT_LE(event->m_outer_offset + event->m_outer_length, event->m_document_size);
    EXPECT_LE(event->m_inner_offset + event->m_inner_length, event->m_document_size);
    out->push_back(line);
    return 0;
}

std::vector<std::string> events_of(const std::string &document)
{
    std::vector<std::string> events;
    EXPECT_EQ(tarvik_xml_parser(document.data(), document.size(), &events, record), 0);
    return events;
}

struct Row {
    const char *m_name;
    std::string m_document;
    std::vector<std::string> m_events;
};

TEST_F(XmlTest, EventRows)
{
    const Row rows[] = {
        {"end tags close whatever is open",
         "<a><b>x</c></a>",
         {"T S0/a <a>|a", "T S1/a/b <b>|b", "B 2/a/b x|x", "T E1/a/b </c>|c", "T E0/a </a>|a"}},
        {"text keeps its blanks outside",
         "<r>  hi  </r>",
         {"T S0/r <r>|r", "B 1/r   hi  |hi", "T E0/r </r>|r"}},
        {"text before the first tag", "lead<a/>", {"B !0/ lead|lead", "T SE0/a <a/>|a"}},
        {"comment with a double dash",
         "<!-- a -- b --><a/>",
         {"C !0/ <!-- a -- b -->| a -- b ", "T SE0/a <a/>|a"}},
        {"prolog, doctype with a subset, instruction, CDATA",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE  r [ <!ELEMENT r ANY> ]  >\n<r><![CDATA[<x>]]><?pi "
         "d?></r>\n",
         {"P 0/ <?xml version=\"1.0\"?>|xml version=\"1.0\"", "B 0/ \n|",
          "D 0/ <!DOCTYPE  r [ <!ELEMENT r ANY> ]  >|r [ <!ELEMENT r ANY> ]", "B 0/ \n|",
          "T S0/r <r>|r", "B SEC1/r <![CDATA[<x>]]>|<x>", "P 1/r <?pi d?>|pi d", "T E0/r </r>|r",
          "B 0/ \n|"}},
        {"attributes of every form",
         "<a x=\"1\" y='2 3' z=4 w = \"5\" flag/><b k=v/>",
         {"T SE0/a <a x=\"1\" y='2 3' z=4 w = \"5\" flag/>|a x=1 y=2 3 z=4 w=5 flag=",
          "T SE0/b <b k=v/>|b k=v"}},
        {"more end tags than start tags",
         "<a></a></b></c>",
         {"T S0/a <a>|a", "T E0/a </a>|a", "T E!-1/ </b>|b", "T E!-2/ </c>|c"}},
        {"text at the top",
         "<a/>stray<b/>",
         {"T SE0/a <a/>|a", "B !0/ stray|stray", "T SE0/b <b/>|b"}},
        {"unterminated comment", "<a><!-- open", {"T S0/a <a>|a"}},
        {"unterminated CDATA", "<a>x<![CDATA[ open", {"T S0/a <a>|a", "B 1/a x|x"}},
        {"unterminated quote", "<a><b c=\"open>", {"T S0/a <a>|a"}},
        {"unterminated tag", "<a><b c=1", {"T S0/a <a>|a"}},
        {"unterminated end tag", "<a></a", {"T S0/a <a>|a"}},
        {"text without a following tag", "<a>tail", {"T S0/a <a>|a", "B !1/a tail|tail"}},
        {"empty names", "<>x</>", {"T S0/ <>|", "B 1/ x|x", "T E0/ </>|"}},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(events_of(row.m_document), row.m_events) << row.m_name;
    }
    EXPECT_EQ(tarvik_xml_parser(nullptr, 3, nullptr, record), -1);
    EXPECT_EQ(tarvik_xml_parser("x", 0, nullptr, record), -1);
    EXPECT_EQ(tarvik_open_xml(nullptr, 1), nullptr);
}

int stop_at_second(tarvik_xml_event_t *event)
{
    return ++*static_cast<int *>(event->m_context) == 2 ? 1 : 0;
}

TEST_F(XmlTest, HandlerStopsTheScan)
{
    int calls = 0;
    EXPECT_EQ(tarvik_xml_parser("<a><b/><c/></a>", 15, &calls, stop_at_second), 0);
    EXPECT_EQ(calls, 2);
}

std::string text_of(const tarvik_xml_node_t *node, size_t offset, size_t length)
{
    return std::string(node->m_document + offset, length);
}

std::string owned(char *text)
{
    std::string copy = text != nullptr ? text : "(null)";
    tarvik_check_free_tag(text, "test", 0);
    return copy;
}

TEST_F(XmlTest, TreeSearchAndValues)
{
    const std::string document =
        "<?xml version=\"1.0\"?>\n"
        "<testroot>\n"
        "  <config a=\"1\">\n"
        "    <complextag>in <b>bold</b><!-- no --> <![CDATA[<raw>]]></complextag>\n"
        "  </config>\n"
        "  <config><other/></config>\n"
        "</testroot>\n";
    tarvik_xml_node_t *root = tarvik_open_xml(document.data(), document.size());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->m_flags & TARVIK_XML_ROOT, TARVIK_XML_ROOT);
    EXPECT_NE(root->m_document, document.data()); // the root holds a copy

    tarvik_xml_node_t *tag = tarvik_xml_node_search(root, "/testroot/config/complextag");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(owned(tarvik_get_xml_node_name(tag)), "complextag");
    EXPECT_EQ(text_of(tag, tag->m_inner_offset, tag->m_inner_length),
              "in <b>bold</b><!-- no --> <![CDATA[<raw>]]>");
    EXPECT_EQ(text_of(tag, tag->m_outer_offset, tag->m_outer_length),
              "<complextag>in <b>bold</b><!-- no --> <![CDATA[<raw>]]></complextag>");
    EXPECT_EQ(owned(tarvik_get_xml_node_value(tag)), "in <b>bold</b> <raw>");
    EXPECT_EQ(tag->m_depth, 2);
    EXPECT_EQ(tag->m_flags, TARVIK_XML_START | TARVIK_XML_END);
    tarvik_xml_node_t *config = tag->m_parent;
    ASSERT_NE(config->m_attribute, nullptr);
    EXPECT_EQ(
        text_of(config, config->m_attribute->m_value_offset, config->m_attribute->m_value_length),
        "1");

    // Separators of either kind, empty components, relative starts.
    EXPECT_EQ(tarvik_xml_node_search(root, "\\testroot//config\\complextag/"), tag);
    EXPECT_EQ(tarvik_xml_node_search(config, "config/complextag"), tag);
    EXPECT_EQ(tarvik_xml_node_search(tag, ""), tag);
    EXPECT_EQ(tarvik_xml_node_search(root, "/testroot/config/missing"), nullptr);
    EXPECT_EQ(tarvik_xml_node_search(root, "/testroot/complextag"), nullptr);
    // The second config is tried when the first lacks the rest of the path.
    tarvik_xml_node_t *other = tarvik_xml_node_search(root, "/testroot/config/other");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(owned(tarvik_get_xml_node_name(other)), "other");
    // Text nodes never match a name, whatever their content.
    EXPECT_EQ(tarvik_xml_node_search(tag, "complextag/in"), nullptr);
    EXPECT_EQ(tarvik_get_xml_node_value(other), nullptr);
    EXPECT_EQ(tarvik_get_xml_node_name(nullptr), nullptr);

    EXPECT_EQ(tarvik_close_xml(root), nullptr);
    EXPECT_EQ(tarvik_close_xml(nullptr), nullptr);
}

TEST_F(XmlTest, ClosingAnyNodeFreesTheTree)
{
    tarvik_xml_node_t *root = tarvik_open_xml("<a><b/></a>", 11);
    ASSERT_NE(root, nullptr);
    tarvik_close_xml(tarvik_xml_node_search(root, "a/b"));
}

std::string utf16(const std::u16string &text, bool big_endian)
{
    std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        char high = static_cast<char>(unit >> 8);
        char low = static_cast<char>(unit & 0xFF);
        out += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

// UTF-16 input is scanned as its UTF-8 copy: every range, in events and nodes, points
// into that copy, never into the 16-bit text.
TEST_F(XmlTest, Utf16RangesReferToTheConvertedCopy)
{
    const std::u16string text = u"<r k=\"\u00e9\"><n\u00e4me>\u4e2d\U0001F600</n\u00e4me></r>";
    const std::string expected =
        "<r k=\"\xc3\xa9\"><n\xc3\xa4me>\xe4\xb8\xad\xf0\x9f\x98\x80</n\xc3\xa4me></r>";
    for (bool big : {false, true}) {
        std::string input = utf16(text, big);
        std::vector<std::string> events;
        ASSERT_EQ(tarvik_xml_parser(input.data(), input.size(), &events, record), 0);
        EXPECT_EQ(events, events_of(expected));

        tarvik_xml_node_t *root = tarvik_open_xml(input.data(), input.size());
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(std::string(root->m_document, root->m_document_length), expected);
        tarvik_xml_node_t *name = tarvik_xml_node_search(root, "r/n\xc3\xa4me");
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(owned(tarvik_get_xml_node_value(name)), "\xe4\xb8\xad\xf0\x9f\x98\x80");
        EXPECT_EQ(text_of(name, name->m_outer_offset, name->m_outer_length),
                  "<n\xc3\xa4me>\xe4\xb8\xad\xf0\x9f\x98\x80</n\xc3\xa4me>");
        tarvik_close_xml(root);
    }
    // A lone surrogate and an odd last byte become U+FFFD.
    std::string odd =
        utf16(u"<a>", false) + std::string("\x00\xD8", 2) + utf16(u"</a>", false).substr(2) + "x";
    tarvik_xml_node_t *root = tarvik_open_xml(odd.data(), odd.size());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(std::string(root->m_document, root->m_document_length),
              "<a>\xef\xbf\xbd</a>\xef\xbf\xbd");
    tarvik_close_xml(root);
}

// A million nested elements: parse, search to the bottom, collect, close, all without
// recursion.
TEST_F(XmlTest, MillionNestedElements)
{
    constexpr size_t DEPTH = 1000000;
    std::string document;
    document.reserve(DEPTH * 7 + 8);
    for (size_t i = 0; i < DEPTH; ++i) {
        document += "<a>";
    }
    document += "end";
    for (size_t i = 0; i < DEPTH; ++i) {
        document += "</a>";
    }
    tarvik_xml_node_t *root = tarvik_open_xml(document.data(), document.size());
    ASSERT_NE(root, nullptr);
    std::string path;
    path.reserve(DEPTH * 2);
    for (size_t i = 0; i < DEPTH; ++i) {
        path += "/a";
    }
    tarvik_xml_node_t *bottom = tarvik_xml_node_search(root, path.c_str());
    ASSERT_NE(bottom, nullptr);
    EXPECT_EQ(bottom->m_depth, static_cast<intptr_t>(DEPTH - 1));
    EXPECT_EQ(owned(tarvik_get_xml_node_value(bottom)), "end");
    EXPECT_EQ(tarvik_xml_node_search(root, (path + "/a").c_str()), nullptr);
    char *whole = tarvik_get_xml_node_value(root);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(strlen(whole), document.size());
    tarvik_free_tag(whole, "test", 0);
    tarvik_close_xml(bottom);
}

// The process table's own XML reads back as elements with the texts it was built from.
TEST_F(XmlTest, ProcessTableDocument)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(tarvik_push_ps_xml(buffer), 0);
    size_t size = tarvik_get_buffer_size(buffer);
    void *text = tarvik_alloc_pop_buffer(buffer, size);
    tarvik_close_buffer(buffer);
    ASSERT_NE(text, nullptr);
    std::vector<std::string> events;
    EXPECT_EQ(tarvik_xml_parser(text, size, &events, record), 0);
    size_t starts = 0;
    size_t ends = 0;
    for (const std::string &event : events) {
        std::string letters = event.substr(2, event.find_first_of("-0123456789", 2) - 2);
        EXPECT_EQ(letters.find('!'), std::string::npos) << event;
        starts += event.compare(0, 3, "T S") == 0 ? 1 : 0;
        ends += event.compare(0, 3, "T E") == 0 || event.compare(0, 4, "T SE") == 0 ? 1 : 0;
    }
    EXPECT_GT(starts, 1u);
    EXPECT_EQ(starts, ends);
    tarvik_free_tag(text, "test", 0);
}

std::string s_printed;
int collect(const char *text)
{
    s_printed += text;
    return 0;
}

TEST_F(XmlTest, DumpHandler)
{
    const std::string document = "<a x=\"1\"><!--c--><b/> t </a>";
    tarvik_puts_handler_t old = nullptr;
    s_printed.clear();
    tarvik_set_puts_handler(collect, &old);
    EXPECT_EQ(tarvik_xml_parser(document.data(), document.size(), nullptr, nullptr), 0);
    tarvik_set_puts_handler(old, nullptr);
    auto head = [](const char *tag, const char *letters, int depth, const char *path) {
        char line[128];
        snprintf(line, sizeof(line), "%s[%s][%d][%-48s] ", tag, letters, depth, path);
        return std::string(line) + std::string(4 * static_cast<size_t>(depth), ' ');
    };
    EXPECT_EQ(s_printed, head("[T]", "S   ", 0, "/a") +
                             "<\033[1;36ma\033[0m \033[1;32mx\033[0m=\"\033[1;31m1" +
                             "\033[0m\">\n" + head("[C]", "    ", 1, "/a") +
                             "<!--\033[1;34mc\033[0m-->\n" + head("[T]", "SE  ", 1, "/a/b") +
                             "<\033[1;36mb /\033[0m>\n" + head("[B]", "    ", 1, "/a") + "{t}\n" +
                             head("[T]", " E  ", 0, "/a") + "</\033[1;36ma\033[0m>\n");
}

} // namespace
