// Build and platform facts: what the library reports must be what this very build and
// machine are, and the processor count must follow the affinity mask.
#include "tarvik_test.hpp"

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

} // namespace
