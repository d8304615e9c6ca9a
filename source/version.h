/* Build and platform facts: library version, compiler, libc, OS, page size, codeset.
 * Every string returned is static; the version XML document. */
#ifndef TARVIK_VERSION_H
#define TARVIK_VERSION_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Packed library version: major in bits 31-24, minor 23-16, extra 15-8, build 7-0. */
TARVIK_API uint32_t tarvik_get_version(void);
/* "%lu.%lu.%lu.%lu" of the packed version. */
TARVIK_API const char *tarvik_get_version_string(void);
TARVIK_API const char *tarvik_get_build_date(void);
TARVIK_API const char *tarvik_get_build_time(void);
TARVIK_API const char *tarvik_get_build_host(void);
TARVIK_API const char *tarvik_get_build_profile(void);
TARVIK_API const char *tarvik_get_company_string(void);
TARVIK_API const char *tarvik_get_copyright_string(void);
/* Architecture the program was compiled for, e.g. "mipsel" or "x86_64". */
TARVIK_API const char *tarvik_get_architecture(void);
/* Machine field of uname, or the compiled architecture when uname fails. */
TARVIK_API const char *tarvik_get_runtime_architecture(void);
/* Packed like the library version; 0 when unknown. */
TARVIK_API uint32_t tarvik_get_compiler_version(void);
TARVIK_API const char *tarvik_get_compiler_name(void);
TARVIK_API uint32_t tarvik_get_libc_version(void);
TARVIK_API const char *tarvik_get_libc_name(void);
/* uname system name and release ("Linux" / "" when uname fails). */
TARVIK_API const char *tarvik_get_os_name(void);
TARVIK_API const char *tarvik_get_os_version_string(void);
TARVIK_API unsigned long tarvik_get_page_size(void);
/* Codeset of the environment's LC_CTYPE, or null. */
TARVIK_API const char *tarvik_get_langinfo_codeset(void);
/* The library's signature: name, version, build date and host (static). */
TARVIK_API const char *tarvik_get_qvl_sign(void);

struct tarvik_buffer_s;

/* Appends the version XML document (application name, default the company) to buffer, or
 * prints it when buffer is null; 0, or -1 when the document cannot be queued. */
TARVIK_API int tarvik_push_version_xml(struct tarvik_buffer_s *buffer, const char *name);

TARVIK_END_DECLS

#endif
