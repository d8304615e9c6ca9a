// INI parser: rows of input and the tree they give (whole, byte by byte and at random
// split points), substitution, includes, limits, search, encoding, save and dump.
#include "tarvik_test.hpp"

#include "capture.hpp"
#include "detail/list.hpp"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class IniTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        char pattern[] = "/tmp/ini_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_directory = pattern;
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + m_directory + "'";
        EXPECT_EQ(system(command.c_str()), 0);
        TarvikTest::TearDown();
    }
    std::string write_file(const std::string &name, const std::string &text)
    {
        std::string path = m_directory + "/" + name;
        FILE *file = fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
        return path;
    }

    std::string m_directory;
};

std::string show(const char *text) { return text != nullptr ? text : "~"; }

std::string flags_of(uint32_t flags)
{
    std::string out;
    out += (flags & TARVIK_INI_VARIABLE) != 0 ? "v" : "";
    out += (flags & TARVIK_INI_SUBSTITUTED) != 0 ? "s" : "";
    out += (flags & TARVIK_INI_MARKED) != 0 ? "m" : "";
    return out.empty() ? out : "{" + out + "}";
}

// The tree as text: one line per section, then one per line group of its nodes, e.g.
// "[net:eth0]@1" and "2| a=1, b{v}". Also checks every list invariant on the way.
std::string render(tarvik_ini_t *ini)
{
    tarvik_ini_data_t *data = ini->m_data;
    EXPECT_TRUE((tarvik::detail::SinglyLinked<tarvik_ini_section_t>(&data->m_section_head,
                                                                    &data->m_section_tail)
                     .validate()));
    EXPECT_TRUE(
        (tarvik::detail::SinglyLinked<tarvik_ini_node_t>(&data->m_node_head, &data->m_node_tail)
             .validate()));
    EXPECT_TRUE(
        (tarvik::detail::SinglyLinked<tarvik_ini_node_t>(&data->m_env_head, &data->m_env_tail)
             .validate()));
    std::string out;
    size_t in_sections = 0;
    for (tarvik_ini_section_t *section = data->m_section_head; section != nullptr;
         section = section->m_next) {
        out += "[" + show(section->m_name) +
               (section->m_value != nullptr ? ":" + std::string(section->m_value) : "") + "]" +
               flags_of(section->m_flags) + "@" + std::to_string(section->m_line) + "\n";
        tarvik_ini_node_t *previous = nullptr;
        for (tarvik_ini_node_t *node = section->m_node; node != nullptr;
             node = node->m_next_in_section, ++in_sections) {
            EXPECT_EQ(node->m_section, section);
            bool same_line = previous != nullptr && previous->m_line == node->m_line;
            if (same_line) {
                out += ", ";
            } else {
                out += (previous != nullptr ? "\n" : "") + std::to_string(node->m_line) + "| ";
            }
            out += std::string(node->m_name) + flags_of(node->m_flags) +
                   (node->m_value != nullptr ? "=" + std::string(node->m_value) : "");
            previous = node;
        }
        if (previous != nullptr) {
            out += "\n";
        }
    }
    size_t in_list = 0;
    for (tarvik_ini_node_t *node = data->m_node_head; node != nullptr; node = node->m_next) {
        ++in_list;
        if (node->m_next_in_line != nullptr) {
            EXPECT_EQ(node->m_next_in_line->m_line, node->m_line);
        }
    }
    EXPECT_EQ(in_list, in_sections) << "every node sits in exactly one section chain";
    return out;
}

struct Parsed {
    std::string m_tree;
    int m_result; // worst push result: -1 if any push failed, else the end push's result
    uint32_t m_lines;
};

// Pushes the text in pieces cut at the given points, then the end of input.
Parsed parse_split(const std::string &text, const std::vector<size_t> &cuts, int substitute = 0)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    EXPECT_NE(ini, nullptr);
    ini->m_option->m_substitute = substitute;
    int result = 0;
    size_t from = 0;
    for (size_t cut : cuts) {
        if (cut > from && cut < text.size()) {
            if (tarvik_ini_push(ini, text.data() + from, cut - from) < 0) {
                result = -1;
            }
            from = cut;
        }
    }
    if (from < text.size() && tarvik_ini_push(ini, text.data() + from, text.size() - from) < 0) {
        result = -1;
    }
    int end = tarvik_ini_push(ini, nullptr, 0);
    Parsed parsed = {render(ini), result < 0 ? -1 : end, ini->m_data->m_line_count};
    EXPECT_EQ(tarvik_ini_push(ini, nullptr, 0), 1) << "a second end signal";
    tarvik_close_ini(ini);
    return parsed;
}

Parsed parse_whole(const std::string &text, int substitute = 0)
{
    return parse_split(text, {}, substitute);
}

Parsed parse_bytewise(const std::string &text, int substitute = 0)
{
    std::vector<size_t> cuts;
    for (size_t i = 1; i < text.size(); ++i) {
        cuts.push_back(i);
    }
    return parse_split(text, cuts, substitute);
}

struct Row {
    const char *m_name;
    std::string m_text;
    std::string m_tree;
    int m_result;
};

const std::vector<Row> &rows()
{
    static const std::vector<Row> table = {
        {"two items, comma and blank quoted", "a = 1 , b = 'x, y' # note\n",
         "[~]@0\n1| a=1, b=x, y\n", 1},
        {"section with value", "[net:eth0]\n", "[net:eth0]@1\n", 1},
        {"section without value", "[net]\nk=v\n", "[net]@1\n2| k=v\n", 1},
        {"unclosed section kept, line fails", "[net\nk=v\n", "[net]@1\n2| k=v\n", -1},
        {"blanks inside brackets", "[ net : eth0 ]", "[net:eth0]@1\n", 1},
        {"flag and empty name", "flag\n=v\n", "[~]@0\n1| flag\n2| =v\n", 1},
        {"multibyte value end", "k = caf\xc3\xa9\n", "[~]@0\n1| k=caf\xc3\xa9\n", 1},
        {"escaped line break continues the value", "a=x\\\ny\nb=2\n", "[~]@0\n1| a=x\ny\n3| b=2\n",
         1},
        {"escaped CR LF", "a=x\\\r\ny\r\nb=2\r\n", "[~]@0\n1| a=x\r\ny\n3| b=2\n", 1},
        {"lone CR and LF CR line ends", "a=1\rb=2\n\rc=3", "[~]@0\n1| a=1\n2| b=2\n3| c=3\n", 1},
        {"blank lines and comments", "\n\n; c\n  # c\n a=1 ; c\n", "[~]@0\n5| a=1\n", 1},
        {"include as a plain node without depth", "include = other.ini\n",
         "[~]@0\n1| include=other.ini\n", 1},
        {"prefixes", "$ v=1, !m=2, $!x, \\$y=3\n", "[~]@0\n1| v{v}=1, m{m}=2, !x{v}, $y=3\n", 1},
        {"quotes hide separators", "\"a=b\"='#;,]', k=\"it's\"\n", "[~]@0\n1| a=b=#;,], k=it's\n",
         1},
        {"blanks kept inside, dropped before stops", "a b = c d ,e\n", "[~]@0\n1| a b=c d, e\n", 1},
        {"colon and bracket outside brackets", "a:b=c]d=e:f\n", "[~]@0\n1| a:b=c]d=e:f\n", 1},
        {"bracket spans items", "[a,b]\n", "[a]@1\n1| b\n", 1},
        {"section and items on one line", "[s:v] a=1, b\n", "[s:v]@1\n1| a=1, b\n", 1},
        {"unterminated quote keeps the item", "a=\"x\n", "[~]@0\n1| a=x\n", -1},
        {"dangling escape at the end of input", "a=1\nb=x\\", "[~]@0\n1| a=1\n2| b=x\n", -1},
        {"cut multibyte at the end of input", "a=\xe3\x81", "[~]@0\n1| a=\n", -1},
        {"invalid byte swallows the line feed", "a=\x80\nb=1\n", "[~]@0\n1| a=\x80\nb=1\n", 1},
        {"lead byte without continuation pairs",
         "a=\xe3"
         "A\n",
         "[~]@0\n1| a=\xe3"
         "A\n",
         1},
        {"NUL fails the line", std::string("a=1\nb=x\0y\nc=3\n", 14),
         "[~]@0\n1| a=1\n2| b=x\n3| c=3\n", -1},
        {"two bad lines, later lines still parsed", "a=\"1\nb='2\nc=3\n",
         "[~]@0\n1| a=1\n2| b=2\n3| c=3\n", -1},
        {"env braces without entries stay", "a=${HOME}/x\n", "[~]@0\n1| a=${HOME}/x\n", 1},
        {"digest header line",
         "username=\"Mufasa\", realm=\"testrealm@host.com\", "
         "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
         "nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
         "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
         "[~]@0\n1| username=Mufasa, realm=testrealm@host.com, "
         "nonce=dcd98b7102dd2f0e8b11d0f600bfb0c093, uri=/dir/index.html, qop=auth, "
         "nc=00000001, cnonce=0a4f113b, response=6629fae49393a05397450978507c4ef1, "
         "opaque=5ccc069c403ebaf9f0171e9517f40e41\n",
         1},
    };
    return table;
}

TEST_F(IniTest, RowsWholeAndByteByByte)
{
    for (const Row &row : rows()) {
        Parsed whole = parse_whole(row.m_text);
        EXPECT_EQ(whole.m_tree, row.m_tree) << row.m_name;
        EXPECT_EQ(whole.m_result, row.m_result) << row.m_name;
        Parsed bytewise = parse_bytewise(row.m_text);
        EXPECT_EQ(bytewise.m_tree, whole.m_tree) << row.m_name;
        EXPECT_EQ(bytewise.m_lines, whole.m_lines) << row.m_name;
        EXPECT_EQ(bytewise.m_result, whole.m_result) << row.m_name;
    }
}

TEST_F(IniTest, RandomSplitsGiveTheSameTree)
{
    std::string text;
    for (const Row &row : rows()) {
        text += row.m_text + "\n";
    }
    Parsed whole = parse_whole(text);
    std::mt19937 random(4);
    for (int round = 0; round < 40; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = random() % 7; at < text.size(); at += 1 + random() % 9) {
            cuts.push_back(at);
        }
        Parsed split = parse_split(text, cuts);
        EXPECT_EQ(split.m_tree, whole.m_tree);
        EXPECT_EQ(split.m_lines, whole.m_lines);
    }
}

TEST_F(IniTest, LineCountsAndNumbers)
{
    Parsed parsed = parse_whole("a=1\r\n\\\n\\\r\nb=2\n\nc\\\n=3");
    EXPECT_EQ(parsed.m_tree, "[~]@0\n1| a=1\n2| b=2\n6| c\n=3\n");
    EXPECT_EQ(parsed.m_lines, 7u);
}

TEST_F(IniTest, Substitution)
{
    struct {
        const char *m_text;
        int m_substitute;
        const char *m_tree;
    } rows[] = {
        {"$home=/root\ndir=$(home)/bin\n", 1, "[~]@0\n1| home{v}=/root\n2| dir{s}=/root/bin\n"},
        {"$home=/root\ndir=$(home)/bin\n", 0, "[~]@0\n1| home{v}=/root\n2| dir=$(home)/bin\n"},
        {"$v=1\n$v=2\nx=$v.$(v)\n", 1, "[~]@0\n1| v{v}=1\n2| v{v}=2\n3| x{s}=2.2\n"},
        {"$h=1\nx=$hx\n", 1, "[~]@0\n1| h{v}=1\n2| x{s}=1x\n"},
        {"[s:val]\nn=${CURRENT_section_NAME}/$ {current_name}/${current_section_value}\n", 1,
         "[s:val]@1\n2| n{s}=s/$ {current_name}/val\n"},
        {"[s]\nn=${current_name}\n", 0, "[s]@1\n2| n=${current_name}\n"},
        // Only definitions of the global section or the current one are seen.
        {"[a]\n$x=1\n[b]\ny=$x\n[a]\nz=$x\n", 1,
         "[a]@1\n2| x{v}=1\n[b]@3\n4| y=$x\n[a]@5\n6| z=$x\n"},
        {"$x=1\n[b]\ny=$x\n", 1, "[~]@0\n1| x{v}=1\n[b]@2\n3| y{s}=1\n"},
        {"x=\\$(y)\n$y=1\n", 1, "[~]@0\n1| x=$(y)\n2| y{v}=1\n"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(parse_whole(row.m_text, row.m_substitute).m_tree, row.m_tree) << row.m_text;
        EXPECT_EQ(parse_bytewise(row.m_text, row.m_substitute).m_tree, row.m_tree) << row.m_text;
    }
}

TEST_F(IniTest, EnvironmentEntries)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    ASSERT_NE(ini, nullptr);
    EXPECT_EQ(tarvik_ini_set_env(ini, "HOME", "/home/x"), 0);
    EXPECT_EQ(tarvik_ini_set_env(ini, "HOME", "/root"), 0); // replaced, not appended
    EXPECT_EQ(tarvik_ini_set_env_line(ini, "  OPTS= a=b c\nrest"), 0);
    EXPECT_EQ(tarvik_ini_set_env_line(ini, "BARE"), 0);
    EXPECT_EQ(tarvik_ini_set_env(ini, "NULLED", nullptr), 0);
    tarvik_ini_node_t *entry = ini->m_data->m_env_head;
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->m_name, "HOME");
    EXPECT_STREQ(entry->m_value, "/root");
    EXPECT_EQ(entry->m_flags, TARVIK_INI_VARIABLE);
    EXPECT_EQ(entry->m_section, nullptr);
    ASSERT_NE(entry->m_next, nullptr);
    EXPECT_STREQ(entry->m_next->m_name, "OPTS");
    EXPECT_STREQ(entry->m_next->m_value, "a=b c");
    EXPECT_EQ(entry->m_next->m_next->m_value, nullptr);

    // Environment substitution does not depend on m_substitute.
    EXPECT_EQ(tarvik_ini_push(ini, "a=${HOME}/bin:${OPTS}:${NULLED}\n", 32), 0);
    EXPECT_EQ(tarvik_ini_push(ini, nullptr, 0), 1);
    EXPECT_EQ(render(ini), "[~]@0\n1| a{s}=/root/bin:a=b c:\n");
    EXPECT_EQ(tarvik_close_ini(ini), 0);

    setenv("INI_TEST_VARIABLE", "from the process", 1);
    ini = tarvik_open_ini();
    EXPECT_EQ(tarvik_ini_load_env(ini), 0);
    tarvik_ini_printf(ini, "v=${INI_TEST_VARIABLE}\n%s", "");
    tarvik_ini_printf(ini, "%s", "");
    EXPECT_STREQ(tarvik_ini_get_value(ini, nullptr, "v", nullptr), "from the process");
    tarvik_close_ini(ini);
    unsetenv("INI_TEST_VARIABLE");
}

TEST_F(IniTest, SearchAndGetters)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    ASSERT_NE(ini, nullptr);
    tarvik_ini_printf(ini, "top=0\n[eth0]\nmtu=1500\nhex=0x1F\nneg= -12\n[eth1:up]\nmtu=9000\n"
                           "flag\n[wlan0]\nmtu=x\n");
    tarvik_ini_push(ini, nullptr, 0);
    EXPECT_STREQ(tarvik_ini_get_value(ini, "eth*", "mtu", "none"), "1500");
    EXPECT_STREQ(tarvik_ini_get_value(ini, "wlan*|eth1", "mtu", "none"), "9000");
    EXPECT_STREQ(tarvik_ini_get_value(ini, "ETH*", "mtu", "none"), "none"); // case-sensitive
    EXPECT_STREQ(tarvik_ini_get_value(ini, nullptr, "MTU", "none"), "none");
    EXPECT_EQ(tarvik_ini_get_value(ini, "eth1", "flag", "none"), nullptr);
    // The implicit section's null name reads as empty.
    EXPECT_STREQ(tarvik_ini_get_value(ini, "|x", "top", "none"), "0");

    std::vector<std::string> seen;
    tarvik_ini_node_t **start = nullptr;
    for (tarvik_ini_node_t *node; (node = tarvik_ini_search_node(ini, start, "*", "mtu"));
         start = &node->m_next) {
        seen.push_back(node->m_value);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1500", "9000", "x"}));

    int value = 7;
    EXPECT_EQ(tarvik_ini_get_int(ini, "eth0", "hex", &value, 3), 0);
    EXPECT_EQ(value, 31);
    EXPECT_EQ(tarvik_ini_get_int(ini, "eth0", "neg", nullptr, 3), -12);
    EXPECT_EQ(tarvik_ini_get_int(ini, "eth0", "missing", &value, 3), -1);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(tarvik_ini_get_int(ini, "eth0", "missing", nullptr, 5), 5);
    EXPECT_EQ(tarvik_ini_get_int(nullptr, nullptr, "x", nullptr, 5), 5);
    tarvik_close_ini(ini);
}

TEST_F(IniTest, ValueEncoding)
{
    size_t size = 99;
    char *encoded = tarvik_ini_value_encode_ex(nullptr, "a'b\"c\nd\re\0f", 11, &size);
    ASSERT_NE(encoded, nullptr);
    EXPECT_EQ(std::string(encoded, size), std::string("a\\'b\\\"c\\\nd\\\re\\\0f", 16));
    tarvik_free_tag(encoded, "test", 0);
    encoded = tarvik_ini_value_encode_ex("x", "axb", 3, &size);
    EXPECT_STREQ(encoded, "a\\xb");
    EXPECT_EQ(size, 4u);
    tarvik_free_tag(encoded, "test", 0);
    encoded = tarvik_ini_value_encode("it's \\ \"q\"");
    EXPECT_STREQ(encoded, "it\\'s \\ \\\"q\\\"");
    tarvik_free_tag(encoded, "test", 0);
    EXPECT_EQ(tarvik_ini_value_encode(nullptr), nullptr);
    EXPECT_EQ(tarvik_ini_value_encode_ex(nullptr, nullptr, 0, &size), nullptr);
    EXPECT_EQ(size, 0u);
}

// Names and values of every node, in order, with their line grouping.
std::string nodes_of(tarvik_ini_t *ini)
{
    std::string out;
    for (tarvik_ini_section_t *s = ini->m_data->m_section_head; s != nullptr; s = s->m_next) {
        out += "[" + show(s->m_name) + "|" + show(s->m_value) + "]";
        for (tarvik_ini_node_t *node = s->m_node; node != nullptr; node = node->m_next_in_section) {
            out += "<" + std::string(node->m_name) + "|" + show(node->m_value) + ">";
            out += node->m_next_in_line != nullptr ? "," : ";";
        }
    }
    return out;
}

TEST_F(IniTest, SaveThenLoadGivesTheSameNodes)
{
    const std::string text = "top = 1\n"
                             "a = 1 , b = 'x, y' # note\n"
                             "[net:eth0]\n"
                             "multi = one\\\ntwo, crlf = \"x\\\r\\\ny\"\n"
                             "quotes = \"it's\" , other = 'say \"hi\"'\n"
                             "back = a\\\\b\\\\, dollar = \\$(x)\n"
                             "\"a,b\" = \"#;\", \" lead\" = \" trail \", \\$v = 1, \\!m\n"
                             "bytes = \\\x80x\\\xc3, utf8 = caf\xc3\xa9\n"
                             "\"\"\\\nname = 1, =empty, \"\"\n"
                             // A name ending in CR, longer than its column: its escaped CR
                             // must not take the saved line's own break as its pair.
                             "\"a name longer than thirty columns\\\r\"\n"
                             "[\"]\":\\:]\n"
                             "k = v\n";
    tarvik_ini_t *ini = tarvik_open_ini();
    ASSERT_NE(ini, nullptr);
    EXPECT_EQ(tarvik_ini_push(ini, text.data(), text.size()), 0);
    EXPECT_EQ(tarvik_ini_push(ini, nullptr, 0), 1);
    std::string before = nodes_of(ini);
    EXPECT_NE(before.find("<multi|one\ntwo>,<crlf|x\r\ny>;"), std::string::npos) << before;
    EXPECT_NE(before.find("<back|a\\b\\>,<dollar|$(x)>;"), std::string::npos) << before;
    EXPECT_NE(before.find("<bytes|\x80x\xc3>"), std::string::npos) << before;
    EXPECT_NE(before.find("[]|:]<k|v>;"), std::string::npos) << before;
    EXPECT_NE(before.find("<a name longer than thirty columns\r|~>;"), std::string::npos) << before;

    std::string path = m_directory + "/saved.ini";
    EXPECT_EQ(tarvik_ini_save_file(ini, path.c_str()), 0);
    tarvik_close_ini(ini);

    ini = tarvik_open_ini();
    EXPECT_EQ(tarvik_ini_load_file(ini, path.c_str()), 0);
    EXPECT_EQ(nodes_of(ini), before);
    tarvik_close_ini(ini);

    // The saved form itself: header, groups on one line, names in 30 columns.
    ini = tarvik_open_ini();
    tarvik_ini_printf(ini, "a = 1 , b = 'x, y' # note\nflag\n[net]\nk=q\n");
    tarvik_ini_push(ini, nullptr, 0);
    EXPECT_EQ(tarvik_ini_save_file(ini, path.c_str()), 0);
    tarvik_close_ini(ini);
    FILE *file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char saved[512] = {};
    fread(saved, 1, sizeof(saved) - 1, file);
    fclose(file);
    const std::string pad(29, ' ');
    EXPECT_EQ(std::string(saved), "# INI SAVE (RE-FORM)\n\n"
                                  "a" +
                                      pad + " = \"1\", b" + pad +
                                      " = \"x, y\"\n"
                                      "flag" +
                                      pad.substr(3) +
                                      "\n"
                                      "\n[net]\n"
                                      "k" +
                                      pad +
                                      " = \"q\"\n"
                                      "\n# END OF INI\n");
    EXPECT_EQ(tarvik_ini_save_file(nullptr, path.c_str()), -1);
    ini = tarvik_open_ini();
    EXPECT_EQ(tarvik_ini_save_file(ini, "/nonexistent/dir/file.ini"), -1);
    tarvik_close_ini(ini);
}

TEST_F(IniTest, Includes)
{
    std::string child = write_file("child.ini", "[inc]\nc=${E}\n$w=9\n");
    std::string parent = write_file(
        "parent.ini", "a=1\ninclude = " + child + "\nb=$w\n-include=" + m_directory +
                          "/missing.ini\nINCLUDE=" + m_directory + "/missing.ini\nz=1\n");
    tarvik_ini_t *ini = tarvik_open_ini();
    ASSERT_NE(ini, nullptr);
    ini->m_option->m_include_depth = 1;
    ini->m_option->m_substitute = 1;
    tarvik_ini_set_env(ini, "E", "env");
    std::string errors =
        capture_stderr([&] { EXPECT_EQ(tarvik_ini_load_file(ini, parent.c_str()), 0); });
    EXPECT_NE(errors.find("malformed line"), std::string::npos) << errors; // the missing include
    EXPECT_NE(errors.find("cannot include"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("missing.ini\", line=4"), std::string::npos) << "-include is quiet";
    // Included nodes keep their own line numbers and continue the current section (the
    // rendering groups equal line numbers).
    EXPECT_EQ(render(ini), "[~]@0\n1| a=1\n[inc]@1\n2| c{s}=env\n3| w{v}=9, b{s}=9\n6| z=1\n");
    EXPECT_EQ(ini->m_data->m_node_tail->m_next_in_line, nullptr);
    tarvik_close_ini(ini);

    // Depth 0 (the default) makes include lines ordinary nodes.
    ini = tarvik_open_ini();
    EXPECT_EQ(tarvik_ini_load_file(ini, parent.c_str()), 0);
    EXPECT_STREQ(tarvik_ini_get_value(ini, nullptr, "include", nullptr), child.c_str());
    tarvik_close_ini(ini);
}

TEST_F(IniTest, IncludeCyclesEnd)
{
    std::string self = write_file("self.ini", "s=1\ninclude=" + m_directory + "/self.ini\n");
    write_file("one.ini", "one=1\n-include=" + m_directory + "/two.ini\n");
    std::string two = write_file("two.ini", "two=2\ninclude=" + m_directory + "/./one.ini\n");
    for (int depth : {-1, 3}) {
        tarvik_ini_t *ini = tarvik_open_ini();
        ini->m_option->m_include_depth = depth;
        std::string errors =
            capture_stderr([&] { EXPECT_EQ(tarvik_ini_load_file(ini, self.c_str()), 0); });
        size_t nodes = 0;
        for (tarvik_ini_node_t *node = ini->m_data->m_node_head; node; node = node->m_next) {
            ++nodes;
        }
        EXPECT_EQ(nodes, 1u) << errors;
        EXPECT_NE(errors.find("include cycle"), std::string::npos);
        tarvik_close_ini(ini);

        ini = tarvik_open_ini();
        ini->m_option->m_include_depth = depth;
        errors = capture_stderr([&] { EXPECT_EQ(tarvik_ini_load_file(ini, two.c_str()), 0); });
        // The child's own top section comes along as a second nameless section.
        EXPECT_EQ(render(ini), "[~]@0\n1| two=2\n[~]@0\n1| one=1\n");
        EXPECT_NE(errors.find("include cycle"), std::string::npos);
        tarvik_close_ini(ini);
    }
}

TEST_F(IniTest, IncludeDepthLimitStopsANonCyclicChain)
{
    for (int i = 0; i < 5; ++i) {
        write_file("chain" + std::to_string(i) + ".ini",
                   "n" + std::to_string(i) + "=1\ninclude=" + m_directory + "/chain" +
                       std::to_string(i + 1) + ".ini\n");
    }
    write_file("chain5.ini", "end=1\n");
    tarvik_ini_t *ini = tarvik_open_ini();
    ini->m_option->m_include_depth = 2;
    EXPECT_EQ(tarvik_ini_load_file(ini, (m_directory + "/chain0.ini").c_str()), 0);
    // Two levels are followed; the third include line is an ordinary node.
    EXPECT_EQ(render(ini), "[~]@0\n1| n0=1\n[~]@0\n1| n1=1\n[~]@0\n1| n2=1\n2| include=" +
                               m_directory + "/chain3.ini\n");
    tarvik_close_ini(ini);
}

TEST_F(IniTest, PushLimits)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    ASSERT_NE(ini, nullptr);
    ini->m_option->m_max_size = 64;
    std::string line(64, 'x');
    line[0] = 'k';
    line[1] = '=';
    EXPECT_EQ(tarvik_ini_push(ini, line.data(), line.size()), 0); // exactly at the limit
    EXPECT_EQ(tarvik_ini_push(ini, "\0", 1), -1);                 // one more is refused
    EXPECT_EQ(tarvik_get_buffer_size(ini->m_data->m_queue), 64u);
    char *handed = static_cast<char *>(tarvik_alloc_tag(4, "test", 0));
    memcpy(handed, "\n", 2);
    EXPECT_EQ(tarvik_ini_push_ex(ini, handed, 1, TARVIK_BUFFER_HAND_OVER), -1); // freed
    EXPECT_EQ(tarvik_ini_push(ini, nullptr, 0), 1);
    EXPECT_EQ(std::string(tarvik_ini_get_value(ini, nullptr, "k", "")), line.substr(2));
    // A reference push is copied: the unfinished line outlives the caller's bytes.
    tarvik_ini_t *other = tarvik_open_ini();
    std::string pending = "ref=1";
    EXPECT_EQ(tarvik_ini_push_ex(other, pending.data(), pending.size(), TARVIK_BUFFER_REFERENCE),
              0);
    pending = "xxxxx";
    EXPECT_EQ(tarvik_ini_push(other, nullptr, 0), 1);
    EXPECT_STREQ(tarvik_ini_get_value(other, nullptr, "ref", nullptr), "1");
    tarvik_close_ini(other);
    EXPECT_EQ(tarvik_get_buffer_size(ini->m_data->m_queue), 0u);
    // Pushes after the end are still parsed, the rest at once.
    EXPECT_EQ(tarvik_ini_push(ini, "late=1", 6), 1);
    EXPECT_STREQ(tarvik_ini_get_value(ini, nullptr, "late", nullptr), "1");
    tarvik_close_ini(ini);
}

// 16 MiB without a line break, in 64 KiB blocks: refused at the limit, memory bounded, and
// the pushes that are accepted cost a scan of the new bytes only.
TEST_F(IniTest, HugeLineIsRefusedAtTheLimit)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    ASSERT_NE(ini, nullptr);
    std::string block(65536, 'v');
    size_t before = tarvik_get_alloc_bytes();
    int refused = 0;
    for (int i = 0; i < 260; ++i) {
        refused += tarvik_ini_push(ini, block.data(), block.size()) == -1 ? 1 : 0;
    }
    EXPECT_EQ(refused, 4);
    EXPECT_EQ(tarvik_get_buffer_size(ini->m_data->m_queue), 16u << 20);
    EXPECT_LT(tarvik_get_alloc_bytes() - before, (16u << 20) + (1u << 20));
    EXPECT_EQ(tarvik_ini_push(ini, nullptr, 0), 1);
    EXPECT_EQ(ini->m_data->m_node_head->m_name[0], 'v');
    tarvik_close_ini(ini);
}

TEST_F(IniTest, SelfReferencingSubstitutionIsBounded)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    ini->m_option->m_substitute = 1;
    ini->m_option->m_max_size = 1 << 16;
    tarvik_ini_printf(ini, "$a=xxxxxxxxxxxxxxxx\n");
    int failed = 0;
    for (int i = 0; i < 20; ++i) {
        failed += tarvik_ini_printf(ini, "$a=$a$a\n") == -1 ? 1 : 0;
    }
    tarvik_ini_push(ini, nullptr, 0);
    EXPECT_GT(failed, 0);
    size_t longest = 0;
    for (tarvik_ini_node_t *node = ini->m_data->m_node_head; node; node = node->m_next) {
        longest = std::max(longest, strlen(node->m_value));
    }
    EXPECT_LE(longest, (1u << 16) + 16);                 // the limit, plus literal text of the line
    EXPECT_EQ(tarvik_ini_printf(ini, "$b=$(b)$b\n"), 1); // not yet defined: literal
    EXPECT_STREQ(tarvik_ini_get_value(ini, nullptr, "b", nullptr), "$(b)$b");
    tarvik_close_ini(ini);
}

TEST_F(IniTest, FormattedPushesAndParseLine)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    ASSERT_NE(ini, nullptr);
    EXPECT_EQ(tarvik_ini_set_value(ini, "name", "a b"), 0);
    EXPECT_EQ(tarvik_ini_set_value(ini, nullptr, nullptr), 0);
    EXPECT_EQ(tarvik_ini_printf(ini, "%s=%d\n", "n", 5), 0);
    EXPECT_EQ(tarvik_ini_do_parse_line(ini, "x=1, y=2\r\n", 10), 0);
    EXPECT_EQ(tarvik_ini_do_parse_line(ini, "bad=\"", 5), -1);
    EXPECT_EQ(tarvik_ini_printf(ini, "%s", ""), 1); // an empty text ends the input
    // Direct lines go first: the pushed "n=5" waits for the byte after its line feed.
    EXPECT_EQ(render(ini), "[~]@0\n1| name=a b\n2| =\n3| x=1, y=2\n4| bad=\n5| n=5\n");
    EXPECT_EQ(tarvik_ini_push(nullptr, "a", 1), -1);
    EXPECT_EQ(tarvik_ini_push(ini, nullptr, 3), -1);
    EXPECT_EQ(tarvik_ini_load_file(ini, "/nonexistent/file.ini"), -1);
    tarvik_close_ini(ini);
    EXPECT_EQ(tarvik_close_ini(nullptr), 0);
    EXPECT_EQ(tarvik_ini_free_node(nullptr), 0);
    EXPECT_EQ(tarvik_ini_free_section(nullptr), 0);
}

std::string s_printed;
int collect(const char *text)
{
    s_printed += text;
    return static_cast<int>(strlen(text));
}

TEST_F(IniTest, Dump)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    ini->m_option->m_substitute = 1;
    tarvik_ini_set_env(ini, "E", "e");
    tarvik_ini_printf(ini, "$v=1, !m, p=$v\n[s:x]\nq\n");
    tarvik_ini_push(ini, nullptr, 0);
    tarvik_puts_handler_t old = nullptr;
    s_printed.clear();
    tarvik_set_puts_handler(collect, &old);
    EXPECT_EQ(tarvik_ini_dump(ini, "> "), 0);
    tarvik_set_puts_handler(old, nullptr);
    const std::string q = "\033[0;31m\"";
    EXPECT_EQ(s_printed, "> " + q + "\033[1;32mE" + q + "\033[0m=" + q + "\033[0me" + q +
                             "\033[0m\n" + "> " + q + "\033[1;32mv" + q + "\033[0m=" + q +
                             "\033[0m1" + q + "\033[0m, " + q + "\033[1;36mm" + q + "\033[0m, " +
                             q + "\033[0mp" + q + "\033[0m=" + q + "\033[1;35m1" + q + "\033[0m\n" +
                             "> [" + q + "\033[1;33ms" + q + "\033[0m:" + q + "\033[1;37mx" + q +
                             "\033[0m]\n" + "> " + q + "\033[0mq" + q + "\033[0m\n");
    tarvik_close_ini(ini);
}

} // namespace
