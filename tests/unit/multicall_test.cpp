// The applet registry: record layout, name matching (prefixes, suffixes, letter case,
// directories with either separator), search order, release, and the usage listing.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/utsname.h>
#include <vector>

namespace {

constexpr const char *PREFIXES = "|v|vexa|vexa_|tarvik|qx";
constexpr const char *SUFFIXES = "|0|1|.exe|.EXE";

int entry_one(int, char **) { return 1; }
int entry_two(int, char **) { return 2; }

class MulticallTest : public TarvikTest {
  protected:
    void TearDown() override
    {
        m_list = tarvik_free_multicall(m_list);
        TarvikTest::TearDown();
    }

    tarvik_multicall_t *add(const char *name, tarvik_main_entry_t entry = entry_one,
                            uint32_t flags = 0)
    {
        m_list = tarvik_add_multicall(m_list, flags, entry, name, PREFIXES, SUFFIXES, "/usr/bin");
        return m_list;
    }

    tarvik_multicall_t *m_list = nullptr;
};

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

struct CompareRow {
    const char *m_name;
    const char *m_program;
    int m_expected;
};

TEST_F(MulticallTest, ProgramNamesSelectTheirApplet)
{
    const CompareRow rows[] = {
        {"md5", "md5", 0},
        {"md5", "MD5", 0},
        {"md5", "/usr/bin/md5", 0},
        {"md5", "/usr/bin/vexa_md5", 0},
        {"md5", "/usr/bin/VEXA_MD5", 0},
        {"md5", "vmd5", 0},
        {"md5", "tarvikmd5", 0},
        {"md5", "QXMD5.EXE", 0},
        {"md5", "qxmd5.exe", 0},
        {"md5", "md51", 0},
        {"md5", "md50", 0},
        {"md5", "vexamd51", 0},
        {"md5", "C:\\bin\\md5.exe", 0},
        {"md5", "bin\\tools/md5", 0},
        {"md5", "md5/", 0},
        {"md5", "/usr/bin/md5//", 0},
        {"md5", "md5\\\\", 0},
        {"ps", "qxps.EXE", 0},
        {"ps", "/usr/bin/VEXA_ps", 0},
        {"ps", "telnetd.exe", -1},
        {"ps", "ps2", -1},
        {"ps", "ps.ex", -1},
        {"ps", "xps", -1},
        {"ps", "vexa_ps_", -1},
        {"ps", "vexa", -1},
        {"ps", "ps/x", -1},
        {"ps", "", -1},
        {"ps", "/", -1},
        {"ps", "\\\\", -1},
        {"ps.cgi", "ps.cgi", 0},
        {"ps.cgi", "ps_cgi", -1},
        {"ps.cgi", "PS.CGI.exe", 0},
    };
    for (const CompareRow &row : rows) {
        add(row.m_name);
        EXPECT_EQ(tarvik_compare_multicall(m_list, row.m_program), row.m_expected)
            << "applet " << row.m_name << ", program name \"" << row.m_program << "\"";
        m_list = tarvik_free_multicall(m_list);
    }
}

TEST_F(MulticallTest, WildcardsInTheProgramNameAreJustText)
{
    add("md5");
    for (const char *program : {"*", "?", "md*", "*md5", "?d5", "\\*", "[md5]", "md5\\*", "v*"}) {
        EXPECT_EQ(tarvik_compare_multicall(m_list, program), -1) << program;
    }
    std::string long_name(20000, '*');
    EXPECT_EQ(tarvik_compare_multicall(m_list, long_name.c_str()), -1);
    long_name.assign(20000, 'a');
    EXPECT_EQ(tarvik_compare_multicall(m_list, (long_name + "/md5").c_str()), 0);
}

TEST_F(MulticallTest, EmptyAffixListsLeaveOnlyTheBareName)
{
    m_list = tarvik_add_multicall(nullptr, 0, entry_one, "md5", nullptr, "", nullptr);
    EXPECT_EQ(tarvik_compare_multicall(m_list, "/bin/Md5"), 0);
    EXPECT_EQ(tarvik_compare_multicall(m_list, "vmd5"), -1);
    EXPECT_EQ(tarvik_compare_multicall(m_list, "md51"), -1);
}

TEST_F(MulticallTest, NullArgumentsNeverMatch)
{
    add("md5");
    EXPECT_EQ(tarvik_compare_multicall(nullptr, "md5"), -1);
    EXPECT_EQ(tarvik_compare_multicall(m_list, nullptr), -1);
    EXPECT_EQ(tarvik_search_multicall(nullptr, "md5"), nullptr);
    EXPECT_EQ(tarvik_search_multicall(m_list, nullptr), nullptr);
}

TEST_F(MulticallTest, RecordIsOneBlockWithItsStringsBehindIt)
{
    size_t count = tarvik_get_alloc_count();
    m_list = tarvik_add_multicall(nullptr, 0x3, entry_two, "md5", "|v", nullptr, "/usr/bin");
    ASSERT_NE(m_list, nullptr);
    EXPECT_EQ(tarvik_get_alloc_count(), count + 1);
    EXPECT_EQ(m_list->m_next, nullptr);
    EXPECT_EQ(m_list->m_flags, 0x1u) << "the plugin flag is not the caller's to set";
    EXPECT_EQ(m_list->m_plugin, -1);
    EXPECT_EQ(m_list->m_entry, entry_two);
    const char *strings = reinterpret_cast<const char *>(m_list + 1);
    EXPECT_EQ(m_list->m_name, strings);
    EXPECT_EQ(m_list->m_prefixes, strings + 4);
    EXPECT_EQ(m_list->m_suffixes, strings + 7);
    EXPECT_EQ(m_list->m_path, strings + 8);
    EXPECT_STREQ(m_list->m_name, "md5");
    EXPECT_STREQ(m_list->m_prefixes, "|v");
    EXPECT_STREQ(m_list->m_suffixes, "") << "null is stored as the empty string";
    EXPECT_STREQ(m_list->m_path, "/usr/bin");
}

TEST_F(MulticallTest, RecordsAreAppendedAndTheFirstMatchWins)
{
    tarvik_multicall_t *head = add("a1", entry_one);
    EXPECT_EQ(add("a", entry_two), head) << "the head stays";
    EXPECT_EQ(add("a", entry_one), head);
    ASSERT_NE(head->m_next, nullptr);
    ASSERT_NE(head->m_next->m_next, nullptr);
    EXPECT_STREQ(head->m_next->m_name, "a");
    EXPECT_EQ(head->m_next->m_next->m_next, nullptr);

    EXPECT_EQ(tarvik_search_multicall(m_list, "a1"), head) << "registered first";
    EXPECT_EQ(tarvik_search_multicall(m_list, "A"), head->m_next) << "first of the two";
    EXPECT_EQ(tarvik_search_multicall(m_list, "b"), nullptr);
}

TEST_F(MulticallTest, NullEntryTakesThePluginsMainOrNothing)
{
    tarvik_multicall_t *head = add("md5");
    size_t count = tarvik_get_alloc_count();
    // A plugin file that is not there (not beside the test program): nothing registered.
    EXPECT_EQ(tarvik_add_multicall_ex(m_list, 0, "tarvik_plugin_zlib.so", nullptr, "gzip", PREFIXES,
                                      SUFFIXES, "/usr/bin"),
              head);
    EXPECT_EQ(tarvik_get_alloc_count(), count);
    EXPECT_EQ(head->m_next, nullptr);
    // No plugin path: the program's own built-in plugin, whose main entry is taken.
    tarvik_multicall_t *own = tarvik_add_multicall_ex(nullptr, 0x1, nullptr, nullptr, "self",
                                                      PREFIXES, SUFFIXES, "/usr/bin");
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->m_flags, 0x7u) << "hidden as asked, from a plugin, built in";
    EXPECT_GE(own->m_plugin, 0);
    EXPECT_EQ(own->m_entry, tarvik_plugin_get_main_entry(own->m_plugin));
    EXPECT_EQ(tarvik_plugin_search(own->m_plugin)->m_used_count, 1u);
    const int plugin = own->m_plugin;
    EXPECT_EQ(tarvik_free_multicall(own), nullptr);
    EXPECT_EQ(tarvik_plugin_search(plugin), nullptr) << "the record held the only use";
    EXPECT_EQ(tarvik_get_alloc_count(), count);
}

TEST_F(MulticallTest, FreeReleasesEveryRecordAndReturnsNull)
{
    size_t count = tarvik_get_alloc_count();
    add("one");
    add("two");
    add("three");
    EXPECT_EQ(tarvik_get_alloc_count(), count + 3);
    m_list = tarvik_free_multicall(m_list);
    EXPECT_EQ(m_list, nullptr);
    EXPECT_EQ(tarvik_get_alloc_count(), count);
    EXPECT_EQ(tarvik_free_multicall(nullptr), nullptr);
}

// The listing's terminal width and colour decisions are made once per process, so each
// listing is printed by a fresh child with its own COLUMNS.
Captured print_in_child(const char *columns,
                        const std::vector<std::pair<const char *, uint32_t>> &names, bool usage)
{
    return run_in_child([&]() {
        setenv("COLUMNS", columns, 1);
        tarvik_multicall_t *list = nullptr;
        for (const auto &[name, flags] : names) {
            list =
                tarvik_add_multicall(list, flags, entry_one, name, PREFIXES, SUFFIXES, "/usr/bin");
        }
        if (usage) {
            tarvik_usage_multicall("vexa", list);
        } else {
            tarvik_print_multicall(list);
        }
        tarvik_puts(nullptr);
        tarvik_free_multicall(list);
        return 0;
    });
}

TEST_F(MulticallTest, HiddenAppletsAreLeftOutOfThePlainListing)
{
    Captured result = print_in_child(
        "80", {{"alpha", 0}, {"beta", TARVIK_MULTICALL_HIDDEN}, {"gamma", 0}, {"delta", 0x5}},
        false);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "    alpha, gamma")
        << "no colour escapes on a pipe, no newline at the end";
}

const std::vector<std::pair<const char *, uint32_t>> &applet_names()
{
    static const std::vector<std::pair<const char *, uint32_t>> names = {
        {"adler", 0},      {"base64", 0},
        {"cat", 0},        {"clear", 0},
        {"cpuusage", 0},   {"crc", 0},
        {"daemon", 1},     {"daemonize", 0},
        {"df", 0},         {"do_update", 1},
        {"dump", 0},       {"false", 0},
        {"fbclear", 0},    {"fbclock", 0},
        {"fbcolorbar", 0}, {"fbinfo", 0},
        {"fbruler", 0},    {"ftp", 0},
        {"ftpd", 0},       {"ftpget", 0},
        {"hertz", 0},      {"ifconfig", 0},
        {"ldd", 0},        {"libdepend", 0},
        {"md5", 0},        {"meminfo", 0},
        {"kelmor", 1},     {"mtunnel", 0},
        {"netspeed", 0},   {"netstat", 0},
        {"plugin", 0},     {"poweroff", 0},
        {"ps", 0},         {"quoted_printable", 0},
        {"reboot", 0},     {"reset", 0},
        {"route", 0},      {"setcpu", 0},
        {"sha1", 0},       {"sha256", 0},
        {"stat", 0},       {"telnetd", 0},
        {"test", 0},       {"true", 0},
        {"update", 1},     {"uptime", 0},
        {"uuid", 0},       {"version", 0},
        {"wol", 0},        {"cputick.cgi", 0},
        {"ps.cgi", 0},     {"version.cgi", 0}};
    return names;
}

TEST_F(MulticallTest, ListingWrapsWithinFortyColumns)
{
    Captured result = print_in_child("40", applet_names(), false);
    ASSERT_EQ(result.status, 0);
    std::vector<std::string> lines = split_lines(result.out);
    ASSERT_GT(lines.size(), 5u);
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        EXPECT_LE(line.size(), 40u) << "line " << i << ": \"" << line << "\"";
        EXPECT_EQ(line.compare(0, 4, "    "), 0) << "line " << i << " is indented";
        EXPECT_NE(line[4], ' ') << "line " << i;
        if (i + 1 < lines.size()) {
            EXPECT_EQ(line.substr(line.size() - 2), ", ") << "line " << i;
            // The next name would not have fitted on this line.
            size_t next = lines[i + 1].find(',');
            size_t next_length = (next == std::string::npos ? lines[i + 1].size() : next) - 4;
            EXPECT_GE(line.size() + next_length + 1, 40u) << "line " << i << " broke early";
        }
        joined += line.substr(4);
    }
    std::string expected;
    for (const auto &[name, flags] : applet_names()) {
        if ((flags & TARVIK_MULTICALL_HIDDEN) == 0) {
            expected += expected.empty() ? "" : ", ";
            expected += name;
        }
    }
    EXPECT_EQ(joined, expected);
}

TEST_F(MulticallTest, UsageEndsWithThePlatformLine)
{
    // Trailing zero parts of a version are left out: gcc 12.2.0 reads "v12.2".
    Captured result = print_in_child("80", {{"true", 0}, {"false", 0}}, true);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.out.find('\033'), std::string::npos);
    EXPECT_NE(result.out.find("    true, false\n\nEnd of vexa. ("), std::string::npos)
        << result.out;
    struct utsname name;
    ASSERT_EQ(uname(&name), 0);
    std::string platform =
        std::string("End of vexa. (") + name.machine + ", gcc v" + std::to_string(__GNUC__) + "." +
        std::to_string(__GNUC_MINOR__) +
        (__GNUC_PATCHLEVEL__ != 0 ? "." + std::to_string(__GNUC_PATCHLEVEL__) : std::string()) +
        ", glibc v" + std::to_string(__GLIBC__) + "." + std::to_string(__GLIBC_MINOR__) + ", " +
        name.sysname + " v" + name.release +
        ", page_size=" + std::to_string(tarvik_get_page_size()) + ", CPU x " +
        std::to_string(tarvik_get_cpu_count_ex(-1));
#if !defined(__clang__)
    EXPECT_NE(result.out.find(platform), std::string::npos) << result.out;
#endif
    EXPECT_EQ(result.out.substr(result.out.size() - 2), ")\n");
    EXPECT_NE(result.out.find("v5.0.2.0"), std::string::npos) << "the banner names the version";
}

} // namespace
