// Build and platform facts: the library version, what the program was compiled with and
// for, and what it runs on. Every string is static; run-time facts are read once and
// cached under a short lock.
#include "version.h"

#include "detail/common.hpp"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#ifndef TARVIK_BUILD_HOST
#define TARVIK_BUILD_HOST "unknown"
#endif
#ifndef TARVIK_BUILD_PROFILE
#define TARVIK_BUILD_PROFILE "unknown"
#endif

namespace {

constexpr uint32_t LIBRARY_VERSION = 0x05000200u;

constexpr uint32_t pack_version(unsigned major, unsigned minor, unsigned patch, unsigned build)
{
    return ((major & 0xFFu) << 24) | ((minor & 0xFFu) << 16) | ((patch & 0xFFu) << 8) |
           (build & 0xFFu);
}

// The compiler and libc are named from the predefined macros of this very compilation,
// so the banner cannot claim a toolchain the program was not built with. clang also
// defines __GNUC__ (as an old gcc), so it is tested first.
#if defined(__clang__)
constexpr const char *COMPILER_NAME = "clang";
constexpr uint32_t COMPILER_VERSION =
    pack_version(__clang_major__, __clang_minor__, __clang_patchlevel__, 0);
#elif defined(__GNUC__)
constexpr const char *COMPILER_NAME = "gcc";
constexpr uint32_t COMPILER_VERSION = pack_version(__GNUC__, __GNUC_MINOR__,
#if defined(__GNUC_PATCHLEVEL__)
                                                   __GNUC_PATCHLEVEL__,
#else
                                                   0,
#endif
                                                   0);
#else
constexpr const char *COMPILER_NAME = "unknown";
constexpr uint32_t COMPILER_VERSION = 0;
#endif

// uClibc pretends to be an old glibc; musl announces nothing.
#if defined(__UCLIBC__)
constexpr const char *LIBC_NAME = "uClibc";
constexpr uint32_t LIBC_VERSION =
    pack_version(__UCLIBC_MAJOR__, __UCLIBC_MINOR__, __UCLIBC_SUBLEVEL__, 0);
#elif defined(__GLIBC__)
constexpr const char *LIBC_NAME = "glibc";
constexpr uint32_t LIBC_VERSION = pack_version(__GLIBC__, __GLIBC_MINOR__, 0, 0);
#else
constexpr const char *LIBC_NAME = "libc";
constexpr uint32_t LIBC_VERSION = 0;
#endif

#if defined(__mips__)
#if defined(__mips64)
#if defined(__MIPSEL__)
constexpr const char *ARCHITECTURE = "mips64el";
#else
constexpr const char *ARCHITECTURE = "mips64";
#endif
#elif defined(__MIPSEL__)
constexpr const char *ARCHITECTURE = "mipsel";
#else
constexpr const char *ARCHITECTURE = "mips";
#endif
#elif defined(__x86_64__)
constexpr const char *ARCHITECTURE = "x86_64";
#elif defined(__i386__)
constexpr const char *ARCHITECTURE = "i386";
#elif defined(__aarch64__)
constexpr const char *ARCHITECTURE = "aarch64";
#elif defined(__arm__)
constexpr const char *ARCHITECTURE = "arm";
#elif defined(__riscv) && __riscv_xlen == 64
constexpr const char *ARCHITECTURE = "riscv64";
#elif defined(__riscv)
constexpr const char *ARCHITECTURE = "riscv32";
#elif defined(__powerpc64__)
constexpr const char *ARCHITECTURE = "ppc64";
#elif defined(__powerpc__)
constexpr const char *ARCHITECTURE = "ppc";
#else
constexpr const char *ARCHITECTURE = "unknown";
#endif

constexpr size_t FACT_SIZE = 80; // a utsname field is at most 65 bytes on Linux

struct Facts {
    int m_ready; // 0 until the first read, then 1
    char m_version[32];
    char m_machine[FACT_SIZE];
    char m_os_name[FACT_SIZE];
    char m_os_release[FACT_SIZE];
    int m_codeset_ready;
    char m_codeset[FACT_SIZE];
    const char *m_codeset_result; // m_codeset, or null when the locale gave none
};

tarvik_short_lock_t s_facts_lock;
Facts s_facts;

void copy_fact(char *to, const char *from)
{
    snprintf(to, FACT_SIZE, "%s", from != nullptr ? from : "");
}

// Caller holds s_facts_lock.
void read_facts_nolock()
{
    if (s_facts.m_ready != 0) {
        return;
    }
    snprintf(s_facts.m_version, sizeof(s_facts.m_version), "%lu.%lu.%lu.%lu",
             static_cast<unsigned long>((LIBRARY_VERSION >> 24) & 0xFFu),
             static_cast<unsigned long>((LIBRARY_VERSION >> 16) & 0xFFu),
             static_cast<unsigned long>((LIBRARY_VERSION >> 8) & 0xFFu),
             static_cast<unsigned long>(LIBRARY_VERSION & 0xFFu));
    struct utsname name;
    if (uname(&name) == 0) {
        copy_fact(s_facts.m_machine, name.machine);
        copy_fact(s_facts.m_os_name, name.sysname);
        copy_fact(s_facts.m_os_release, name.release);
    } else {
        copy_fact(s_facts.m_machine, ARCHITECTURE);
        copy_fact(s_facts.m_os_name, "Linux");
        copy_fact(s_facts.m_os_release, "");
    }
    s_facts.m_ready = 1;
}

const Facts &facts()
{
    tarvik::detail::ShortLockGuard lock(&s_facts_lock);
    read_facts_nolock();
    return s_facts;
}

// Caller holds s_facts_lock. The process locale is switched to the environment's only
// for the query and put back, so the rest of the program keeps the "C" rules it expects.
void read_codeset_nolock()
{
    if (s_facts.m_codeset_ready != 0) {
        return;
    }
    s_facts.m_codeset_ready = 1;
    s_facts.m_codeset_result = nullptr;
    char previous[256];
    const char *current = setlocale(LC_CTYPE, nullptr);
    if (current == nullptr || strlen(current) >= sizeof(previous)) {
        return;
    }
    memcpy(previous, current, strlen(current) + 1);
    if (setlocale(LC_CTYPE, "") != nullptr) {
        const char *codeset = nl_langinfo(CODESET);
        if (codeset != nullptr && codeset[0] != '\0') {
            copy_fact(s_facts.m_codeset, codeset);
            s_facts.m_codeset_result = s_facts.m_codeset;
        }
    }
    setlocale(LC_CTYPE, previous);
}

} // namespace

extern "C" {

TARVIK_API uint32_t tarvik_get_version(void) { return LIBRARY_VERSION; }

TARVIK_API const char *tarvik_get_version_string(void) { return facts().m_version; }

TARVIK_API const char *tarvik_get_build_date(void) { return __DATE__; }

TARVIK_API const char *tarvik_get_build_time(void) { return __TIME__; }

TARVIK_API const char *tarvik_get_build_host(void) { return TARVIK_BUILD_HOST; }

TARVIK_API const char *tarvik_get_build_profile(void) { return TARVIK_BUILD_PROFILE; }

TARVIK_API const char *tarvik_get_company_string(void) { return "Tarvik"; }

TARVIK_API const char *tarvik_get_copyright_string(void)
{
    return "Copyright (C) the Tarvik developers. All rights reserved.";
}

TARVIK_API const char *tarvik_get_architecture(void) { return ARCHITECTURE; }

TARVIK_API const char *tarvik_get_runtime_architecture(void) { return facts().m_machine; }

TARVIK_API uint32_t tarvik_get_compiler_version(void) { return COMPILER_VERSION; }

TARVIK_API const char *tarvik_get_compiler_name(void) { return COMPILER_NAME; }

TARVIK_API uint32_t tarvik_get_libc_version(void) { return LIBC_VERSION; }

TARVIK_API const char *tarvik_get_libc_name(void) { return LIBC_NAME; }

TARVIK_API const char *tarvik_get_os_name(void) { return facts().m_os_name; }

TARVIK_API const char *tarvik_get_os_version_string(void) { return facts().m_os_release; }

TARVIK_API unsigned long tarvik_get_page_size(void)
{
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<unsigned long>(size) : 4096ul;
}

TARVIK_API const char *tarvik_get_langinfo_codeset(void)
{
    tarvik::detail::ShortLockGuard lock(&s_facts_lock);
    read_codeset_nolock();
    return s_facts.m_codeset_result;
}

} // extern "C"
