// Build and platform facts: the library version, what the program was compiled with and
// for, and what it runs on, alone or as the version XML document. Every string is static;
// run-time facts are read once and cached under a short lock.
#include "version.h"

#include "buffer.h"
#include "detail/common.hpp"
#include "utf8.h"

#include <climits>
#include <clocale>
#include <cstdarg>
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

// The language level this module was compiled at, for the document's compiler comment.
#if defined(__STDC_VERSION__)
constexpr const char *LANGUAGE_MACRO = "__STDC_VERSION__";
constexpr unsigned long LANGUAGE_LEVEL = __STDC_VERSION__;
#else
constexpr const char *LANGUAGE_MACRO = "__cplusplus";
constexpr unsigned long LANGUAGE_LEVEL = __cplusplus;
#endif

struct Facts {
    int m_ready; // 0 until the first read, then 1
    char m_version[32];
    char m_sign[160];
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
    snprintf(s_facts.m_sign, sizeof(s_facts.m_sign), "Tarvik library v%s (%s %s, %s, %s)",
             s_facts.m_version, __DATE__, __TIME__, TARVIK_BUILD_HOST, TARVIK_BUILD_PROFILE);
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

// Where the document goes: a queue, or standard output when the caller gave none.
struct Sink {
    tarvik_buffer_t *m_buffer;
    bool m_failed;
};

void emit(Sink *sink, const char *format, ...) TARVIK_PRINTF(2, 3);
void emit(Sink *sink, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (sink->m_buffer == nullptr) {
        tarvik_vprintf(format, arguments);
    } else if (tarvik_push_vprintf(sink->m_buffer, format, arguments) == 0) {
        sink->m_failed = true;
    }
    va_end(arguments);
}

void element(Sink *sink, int depth, const char *name, unsigned long value)
{
    emit(sink, "%*s<%s>%lu</%s>\n", 2 * depth, "", name, value, name);
}

void text_element(Sink *sink, int depth, const char *name, const char *value)
{
    emit(sink, "%*s<%s>%s</%s>\n", 2 * depth, "", name, value, name);
}

// Text from outside (the caller's name, uname fields, the locale) stays well-formed: bytes
// that are no UTF-8 character and control characters become "?", and "]]>" is split across
// two sections.
void cdata_element(Sink *sink, int depth, const char *name, const char *value)
{
    size_t length = strlen(value);
    char *text = static_cast<char *>(tarvik_alloc_tag(length * 5 + 1, TARVIK_TAG));
    if (text == nullptr) {
        sink->m_failed = true;
        return;
    }
    tarvik::detail::Writer writer(text, length * 5 + 1);
    for (size_t at = 0; at < length;) {
        uint32_t scalar = 0;
        size_t bytes = tarvik_utf8_character_decode(value + at, length - at, &scalar);
        if (bytes == 0 || (scalar < 0x20 && scalar != '\t' && scalar != '\n')) {
            writer.put('?');
            at += bytes == 0 ? 1 : bytes;
        } else if (strncmp(value + at, "]]>", 3) == 0) {
            writer.puts("]]]]><![CDATA[>");
            at += 3;
        } else {
            writer.write(value + at, bytes);
            at += bytes;
        }
    }
    emit(sink, "%*s<%s><![CDATA[%s]]></%s>\n", 2 * depth, "", name, text, name);
    tarvik_free_tag(text, TARVIK_TAG);
}

// The kernel release as up to four numbers ("6.1.0-18-amd64" gives 6.1), trailing zero parts
// left out but never the minor one.
void os_version_text(const char *release, char *out, size_t size)
{
    unsigned long parts[4] = {};
    tarvik::detail::Cursor cursor = tarvik::detail::Cursor::of(release);
    size_t count = 0;
    uint64_t number = 0;
    while (count < 4 && cursor.decimal(&number, ULONG_MAX)) {
        parts[count++] = static_cast<unsigned long>(number);
        if (!cursor.take_if('.')) {
            break;
        }
    }
    while (count > 2 && parts[count - 1] == 0) {
        --count;
    }
    tarvik::detail::Writer writer(out, size);
    writer.decimal(parts[0]);
    for (size_t index = 1; index < (count > 2 ? count : 2); ++index) {
        writer.put('.').decimal(parts[index]);
    }
}

void push_version_document(Sink *sink, const char *name)
{
    uint32_t compiler = tarvik_get_compiler_version();
    uint32_t libc = tarvik_get_libc_version();
    emit(sink, "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n");
    emit(sink, "<!-- %s v%lu.%lu (%s=%lu)-->\n", COMPILER_NAME,
         static_cast<unsigned long>(compiler >> 24),
         static_cast<unsigned long>(compiler >> 16 & 0xFFu), LANGUAGE_MACRO, LANGUAGE_LEVEL);
    emit(sink, "<!-- %s v%lu.%lu (_POSIX_VERSION=%lu) -->\n", LIBC_NAME,
         static_cast<unsigned long>(libc >> 24), static_cast<unsigned long>(libc >> 16 & 0xFFu),
         static_cast<unsigned long>(_POSIX_VERSION));
    emit(sink, "<application>\n");
    cdata_element(sink, 1, "name", name != nullptr ? name : tarvik_get_company_string());
    emit(sink, "  <version>\n");
    text_element(sink, 2, "string", tarvik_get_version_string());
    static constexpr const char *BYTES[] = {"major", "minor", "extra", "build"};
    for (unsigned index = 0; index < 4; ++index) {
        element(sink, 2, BYTES[index], LIBRARY_VERSION >> (24 - 8 * index) & 0xFFu);
    }
    text_element(sink, 2, "date", __DATE__);
    text_element(sink, 2, "time", __TIME__);
    cdata_element(sink, 2, "host", TARVIK_BUILD_HOST);
    cdata_element(sink, 2, "profile", TARVIK_BUILD_PROFILE);
    text_element(sink, 2, "architecture", ARCHITECTURE);
    element(sink, 2, "word_size", sizeof(void *) * CHAR_BIT);
    cdata_element(sink, 2, "company", tarvik_get_company_string());
    cdata_element(sink, 2, "copyright", tarvik_get_copyright_string());
    emit(sink, "  </version>\n  <runtime>\n");
    text_element(sink, 2, "architecture", tarvik_get_runtime_architecture());
    cdata_element(sink, 2, "os", tarvik_get_os_name());
    char release[64];
    os_version_text(tarvik_get_os_version_string(), release, sizeof(release));
    cdata_element(sink, 2, "os_version", release);
    const char *codeset = tarvik_get_langinfo_codeset();
    cdata_element(sink, 2, "codeset", codeset != nullptr ? codeset : "");
    size_t count = 0;
    size_t size = 0;
    size_t peak = 0;
    tarvik_get_alloc_info(&count, &size, &peak);
    emit(sink, "  </runtime>\n  <heap>\n");
    element(sink, 2, "count", count);
    element(sink, 2, "size", size);
    element(sink, 2, "peak", peak);
    emit(sink, "  </heap>\n</application>\n<!-- end of version.xml -->\n");
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

extern "C" {

TARVIK_API const char *tarvik_get_qvl_sign(void) { return facts().m_sign; }

TARVIK_API int tarvik_push_version_xml(struct tarvik_buffer_s *buffer, const char *name)
{
    Sink sink{buffer, false};
    push_version_document(&sink, name);
    if (buffer == nullptr) {
        tarvik_puts(nullptr);
    }
    return sink.m_failed ? -1 : 0;
}

} // extern "C"
