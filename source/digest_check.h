/* Lines of digest check files as the GNU and BSD sum tools write them. */
#ifndef TARVIK_DIGEST_CHECK_H
#define TARVIK_DIGEST_CHECK_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Splits one line (no line break) of a check file for the digest named tag ("MD5") of digits
 * hex digits: "HASH  NAME", "HASH *NAME" or "TAG (NAME) = HASH", each possibly led by "\" when
 * the name holds escaped backslashes, "\n" or "\r". 0 with the hash (digits + 1 bytes) in
 * hash_out and the unescaped name in name_out (a heap string the caller frees); -1 when the
 * line is none of these or memory runs out. */
TARVIK_API int tarvik_parse_digest_check_line(const char *line, const char *tag, size_t digits,
                                              char *hash_out, char **name_out);

TARVIK_END_DECLS

#endif
