// Text-format exercises of the "test" applet. "xml" checks a built-in document and the
// process table's XML, dumps a file given as operand, or prints the process table's XML
// for "@ps"; "uri" checks built-in locators or prints the parts of one given as operand.
#include "test_exercises.h"

#include "buffer.h"
#include "console.h"
#include "ctype.h"
#include "heap.h"
#include "process.h"
#include "uri.h"
#include "xml.h"

#include <cstring>

namespace tarvik::test {

int exercise_xml(const char *operand);
int exercise_uri(const char *operand);

namespace {

bool same_text(char *text, const char *expected)
{
    bool same = text != nullptr && strcmp(text, expected) == 0;
    tarvik_check_free_tag(text, __func__, static_cast<unsigned long>(__LINE__));
    return same;
}

struct Balance {
    int m_open;
    int m_anomalies;
};

int count_tags(tarvik_xml_event_t *event)
{
    auto *balance = static_cast<Balance *>(event->m_context);
    if (event->m_type == TARVIK_XML_ELEMENT && event->m_flags == TARVIK_XML_START) {
        ++balance->m_open;
    } else if (event->m_type == TARVIK_XML_ELEMENT && event->m_flags == TARVIK_XML_END) {
        --balance->m_open;
    }
    balance->m_anomalies += (event->m_flags & TARVIK_XML_ANOMALY) != 0 ? 1 : 0;
    return 0;
}

void check_document(Checker &check)
{
    const char document[] = "<?xml version=\"1.0\"?><testroot><config><complextag a=\"1\">"
                            "in <b>x</b><![CDATA[<y>]]><!-- c --></complextag></config></testroot>";
    tarvik_xml_node_t *root = tarvik_open_xml(document, strlen(document));
    EXPECT(check, root != nullptr);
    tarvik_xml_node_t *tag = tarvik_xml_node_search(root, "/testroot/config/complextag");
    EXPECT(check, tag != nullptr);
    if (tag != nullptr) {
        EXPECT(check, same_text(tarvik_get_xml_node_name(tag), "complextag"));
        EXPECT(check, same_text(tarvik_get_xml_node_value(tag), "in <b>x</b><y>"));
        EXPECT(check, tag->m_attribute != nullptr && tag->m_attribute->m_value_length == 1);
    }
    tarvik_close_xml(root);
}

void check_process_table(Checker &check)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    EXPECT(check, buffer != nullptr && tarvik_push_ps_xml(buffer) == 0);
    size_t size = tarvik_get_buffer_size(buffer);
    void *text = tarvik_alloc_pop_buffer(buffer, size);
    tarvik_close_buffer(buffer);
    Balance balance = {0, 0};
    EXPECT(check, text != nullptr && tarvik_xml_parser(text, size, &balance, count_tags) == 0);
    EXPECT(check, balance.m_open == 0 && balance.m_anomalies == 0);
    tarvik_check_free_tag(text, __func__, static_cast<unsigned long>(__LINE__));
}

int dump_file(const char *path)
{
    size_t size = 0;
    void *text = tarvik_alloc_buffer_from_file(path, 0, 0, &size);
    if (text == nullptr) {
        tarvik_error_printf("test xml: cannot read \"%s\"\n", path);
        return 1;
    }
    int result = size == 0 ? 0 : tarvik_xml_parser(text, size, nullptr, nullptr);
    tarvik_free_tag(text, __func__, static_cast<unsigned long>(__LINE__));
    return result == 0 ? 0 : 1;
}

int print_process_table() { return tarvik_push_ps_xml(nullptr) == 0 ? 0 : 1; }

void print_part(const char *name, const char *value)
{
    tarvik_printf("%-13s %s%s%s\n", name, value != nullptr ? "\"" : "",
                  tarvik_check_string_ex(value, "(none)"), value != nullptr ? "\"" : "");
}

int print_uri(const char *text)
{
    tarvik_uri_t *uri = tarvik_open_uri(text);
    if (uri == nullptr) {
        return 1;
    }
    print_part("protocol", uri->m_protocol);
    print_part("type", uri->m_type);
    print_part("sub_type", uri->m_sub_type);
    print_part("username", uri->m_username);
    print_part("password", uri->m_password);
    print_part("host", uri->m_host);
    print_part("port_string", uri->m_port_string);
    tarvik_printf("%-13s %d\n", "port", static_cast<int>(uri->m_port));
    print_part("path", uri->m_path);
    print_part("only_path", uri->m_only_path);
    print_part("decoded_path", uri->m_decoded_path);
    for (tarvik_uri_option_t *option = uri->m_option; option != nullptr; option = option->m_next) {
        print_part("option", option->m_option);
    }
    tarvik_close_uri(uri);
    return 0;
}

} // namespace

int exercise_xml(const char *operand)
{
    if (operand != nullptr) {
        return strcmp(operand, "@ps") == 0 ? print_process_table() : dump_file(operand);
    }
    Checker check("xml");
    check_document(check);
    check_process_table(check);
    return check.status();
}

int exercise_uri(const char *operand)
{
    if (operand != nullptr) {
        return print_uri(operand);
    }
    Checker check("uri");
    tarvik_uri_t *uri = tarvik_open_uri("svc@passive://user:pw@[::1]:2121/d%20f?x=1");
    EXPECT(check, uri != nullptr);
    if (uri != nullptr) {
        EXPECT(check, strcmp(uri->m_sub_type, "passive") == 0 && uri->m_port == 2121);
        EXPECT(check, strcmp(uri->m_host, "::1") == 0 && strcmp(uri->m_decoded_path, "/d f") == 0);
        EXPECT(check, strcmp(tarvik_get_uri_option_value(uri->m_option, "X"), "1") == 0);
    }
    tarvik_close_uri(uri);
    EXPECT(check, same_text(tarvik_encode_percent_string_ex("a b/c", 1, "/"), "a+b/c"));
    return check.status();
}

} // namespace tarvik::test
