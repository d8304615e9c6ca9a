// Build and platform facts: what the library reports must be what this very build and
// machine are, and the processor count must follow the affinity mask.
#include "tarvik_test.hpp"

#include "capture.hpp"

#include <clocale>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

class VersionTest : public TarvikTest {};

std::string unpack(uint32_t version)
{
    return std::to_string(version >> 24) + "." + std::to_string((version >> 16) & 0xFF) + "." +
           std::to_string((version >> 8) & 0xFF) + "." + std::to_string(version & 0xFF);
}

TEST_F(VersionTest, LibraryVersionIsPackedAndSpelledOut)
{
    EXPECT_EQ(tarvik_get_version(), 0x05000200u);
    EXPECT_STREQ(tarvik_get_version_string(), "5.0.2.0");
    EXPECT_EQ(tarvik_get_version_string(), tarvik_get_version_string()) << "cached, static";
}

TEST_F(VersionTest, CompilerIsTheOneThatBuiltTheLibrary)
{
    // The tests are compiled by the same compiler as the library.
#if defined(__clang__)
    EXPECT_STREQ(tarvik_get_compiler_name(), "clang");
    EXPECT_EQ(unpack(tarvik_get_compiler_version()),
              std::to_string(__clang_major__) + "." + std::to_string(__clang_minor__) + "." +
                  std::to_string(__clang_patchlevel__) + ".0");
#else
    EXPECT_STREQ(tarvik_get_compiler_name(), "gcc");
    EXPECT_EQ(unpack(tarvik_get_compiler_version()),
              std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__) + "." +
                  std::to_string(__GNUC_PATCHLEVEL__) + ".0");
#endif
    EXPECT_NE(tarvik_get_compiler_version(), 0x04030000u) << "not a fixed claim";
}

TEST_F(VersionTest, LibcIsTheOneCompiledAgainst)
{
    EXPECT_STREQ(tarvik_get_libc_name(), "glibc");
    EXPECT_EQ(tarvik_get_libc_version(), (static_cast<uint32_t>(__GLIBC__) << 24) |
                                             (static_cast<uint32_t>(__GLIBC_MINOR__) << 16));
}

TEST_F(VersionTest, ArchitecturesAreCompiledAndRunning)
{
#if defined(__x86_64__)
    EXPECT_STREQ(tarvik_get_architecture(), "x86_64");
#elif defined(__mips__) && defined(__MIPSEL__)
    EXPECT_STREQ(tarvik_get_architecture(), "mipsel");
#endif
    struct utsname name;
    ASSERT_EQ(uname(&name), 0);
    EXPECT_STREQ(tarvik_get_runtime_architecture(), name.machine);
    EXPECT_STREQ(tarvik_get_os_name(), name.sysname);
    EXPECT_STREQ(tarvik_get_os_version_string(), name.release);
}

TEST_F(VersionTest, BuildFactsAreFilledIn)
{
    EXPECT_EQ(strlen(tarvik_get_build_date()), 11u) << "\"Mmm dd yyyy\"";
    EXPECT_EQ(strlen(tarvik_get_build_time()), 8u) << "\"hh:mm:ss\"";
    EXPECT_STRNE(tarvik_get_build_host(), "");
    EXPECT_STRNE(tarvik_get_build_profile(), "");
    EXPECT_STRNE(tarvik_get_company_string(), "");
    EXPECT_STRNE(tarvik_get_copyright_string(), "");
}

TEST_F(VersionTest, PageSizeIsTheSystemOne)
{
    EXPECT_EQ(tarvik_get_page_size(), static_cast<unsigned long>(sysconf(_SC_PAGESIZE)));
}

TEST_F(VersionTest, CodesetLeavesTheProcessLocaleAlone)
{
    std::string before = setlocale(LC_CTYPE, nullptr);
    const char *codeset = tarvik_get_langinfo_codeset();
    EXPECT_EQ(before, setlocale(LC_CTYPE, nullptr));
    ASSERT_NE(codeset, nullptr) << "the C locale at least names its codeset";
    EXPECT_STRNE(codeset, "");
    EXPECT_EQ(codeset, tarvik_get_langinfo_codeset()) << "a static copy";
}

TEST_F(VersionTest, CpuCountFollowsTheAffinityMask)
{
    cpu_set_t mask;
    CPU_ZERO(&mask);
    ASSERT_EQ(sched_getaffinity(0, sizeof(mask), &mask), 0);
    int expected = CPU_COUNT(&mask);
    EXPECT_EQ(tarvik_get_cpu_count_ex(-1), expected);
    EXPECT_EQ(tarvik_get_cpu_count_ex(0), expected);
    EXPECT_EQ(tarvik_get_cpu_count_ex(static_cast<int>(getpid())), expected);
    EXPECT_EQ(tarvik_get_cpu_count_ex(-2), -1);
    EXPECT_EQ(tarvik_get_cpu_count_ex(0x3FFFFFFF), -1) << "no such process";
}

TEST_F(VersionTest, CpuCountShrinksWithTheMask)
{
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof(saved), &saved), 0);
    int first = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE && first < 0; ++cpu) {
        if (CPU_ISSET(cpu, &saved)) {
            first = cpu;
        }
    }
    ASSERT_GE(first, 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
    int count = tarvik_get_cpu_count_ex(-1);
    ASSERT_EQ(sched_setaffinity(0, sizeof(saved), &saved), 0);
    EXPECT_EQ(count, 1);
}

std::string version_document(const char *name)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    EXPECT_EQ(tarvik_push_version_xml(buffer, name), 0);
    std::string text(tarvik_get_buffer_size(buffer), '\0');
    tarvik_pop_buffer(buffer, text.data(), text.size());
    tarvik_close_buffer(buffer);
    return text;
}

std::string element(const std::string &document, const std::string &name)
{
    size_t start = document.find("<" + name + ">");
    size_t end = document.find("</" + name + ">", start);
    if (start == std::string::npos || end == std::string::npos) {
        return "<missing " + name + ">";
    }
    return document.substr(start + name.size() + 2, end - start - name.size() - 2);
}

TEST_F(VersionTest, DocumentCarriesTheBuildAndRuntimeFacts)
{
    std::string document = version_document(nullptr);
    EXPECT_EQ(document.rfind("<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n", 0), 0u);
    EXPECT_NE(document.find("\n<!-- glibc v" + std::to_string(__GLIBC__) + "." +
                            std::to_string(__GLIBC_MINOR__) + " (_POSIX_VERSION=" +
                            std::to_string(_POSIX_VERSION) + ") -->\n<application>\n"),
              std::string::npos)
        << document;
    EXPECT_EQ(document.size() - document.rfind("</application>\n<!-- end of version.xml -->\n"),
              strlen("</application>\n<!-- end of version.xml -->\n"));
    EXPECT_EQ(element(document, "name"),
              "<![CDATA[" + std::string(tarvik_get_company_string()) + "]]>");
    EXPECT_EQ(element(document, "string"), "5.0.2.0");
    EXPECT_EQ(element(document, "extra"), "2");
    EXPECT_EQ(element(document, "word_size"), std::to_string(sizeof(void *) * 8));
    EXPECT_NE(document.find("    <architecture>" + std::string(tarvik_get_architecture()) +
                            "</architecture>\n    <word_size>"),
              std::string::npos);
    struct utsname name;
    ASSERT_EQ(uname(&name), 0);
    // The release as numbers: "6.1.0-18-amd64" shows 6.1, "4.19.306" all three parts.
    unsigned parts[4] = {};
    int count = sscanf(name.release, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    while (count > 2 && parts[count - 1] == 0) {
        --count;
    }
    std::string release = std::to_string(parts[0]) + "." + std::to_string(parts[1]);
    for (int index = 2; index < count; ++index) {
        release += "." + std::to_string(parts[index]);
    }
    EXPECT_EQ(element(document, "os_version"), "<![CDATA[" + release + "]]>");
    EXPECT_GE(std::stoul(element(document, "peak")), std::stoul(element(document, "size")));
}

TEST_F(VersionTest, DocumentStaysWellFormedWhateverTheName)
{
    std::string document = version_document("a]]>b\x01\xff\xc3\xa9");
    EXPECT_EQ(element(document, "name"), "<![CDATA[a]]]]><![CDATA[>b??\xc3\xa9]]>");
}

TEST_F(VersionTest, DocumentWithoutQueueIsPrinted)
{
    std::string queued = version_document("name");
    Captured printed = run_in_child([] { return tarvik_push_version_xml(nullptr, "name"); });
    EXPECT_EQ(printed.status, 0);
    // Only the heap figures may differ: the queue itself is a heap block.
    EXPECT_EQ(printed.out.substr(0, printed.out.find("<heap>")),
              queued.substr(0, queued.find("<heap>")));
    EXPECT_NE(printed.out.find("<!-- end of version.xml -->\n"), std::string::npos);
}

TEST_F(VersionTest, SignatureNamesTheLibraryVersion)
{
    EXPECT_NE(std::string(tarvik_get_qvl_sign()).find("5.0.2.0"), std::string::npos);
}

} // namespace
