/* Resource locators "protocol[@subtype]://[user[:password]@]host[:port][/path][?options]"
 * split into one record, "&"-separated option lists, and percent encoding and decoding. */
#ifndef TARVIK_URI_H
#define TARVIK_URI_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Percent coding flag: "+" stands for a blank. */
#define TARVIK_PERCENT_PLUS 0x1u

/* One option: a single heap block, its strings stored behind the fields. */
typedef struct tarvik_uri_option_s {
    struct tarvik_uri_option_s *m_next;
    char *m_option;        /* the whole item */
    char *m_name;          /* text before the first "=" */
    char *m_value;         /* text after it ("" without "=") */
    char *m_decoded_name;  /* null when the name does not decode (it would hold a NUL) */
    char *m_decoded_value; /* null when the value does not decode */
} tarvik_uri_option_t;

/* A split locator: a single heap block, its strings stored behind the fields; a missing
 * part is null. */
typedef struct tarvik_uri_s {
    char *m_uri;                   /* the whole input */
    char *m_protocol;              /* text before "://" */
    char *m_username;              /* user information up to ":" */
    char *m_password;              /* after it ("" when the user part ends with ":") */
    char *m_host;                  /* without the brackets of an IPv6 literal */
    char *m_port_string;           /* decimal text after the last usable ":" */
    char *m_path;                  /* from the first "/" after "://" to the end, options included */
    char *m_type;                  /* m_protocol up to "@" */
    char *m_sub_type;              /* m_protocol after "@" */
    int32_t m_port;                /* value of m_port_string, 0 when absent or negative */
    char *m_alt_path;              /* everything after "://" (the whole input without it) */
    char *m_only_path;             /* m_path up to "?" */
    char *m_decoded_path;          /* m_only_path percent-decoded ("/" without a path); null when
                                      it would hold a NUL byte, so it can never name a shorter path */
    char *m_option_text;           /* raw text after "?" */
    tarvik_uri_option_t *m_option; /* the options of m_option_text */
} tarvik_uri_t;

/* Record of text, or null for null text or no memory; close it. */
TARVIK_API tarvik_uri_t *tarvik_open_uri(const char *text);
/* Frees the record and its options (null accepted); returns null. */
TARVIK_API tarvik_uri_t *tarvik_close_uri(tarvik_uri_t *uri);

/* Appends one option per non-empty "&"-separated item of text (leading white space
 * skipped) to list; returns the head (list itself when nothing was added). */
TARVIK_API tarvik_uri_option_t *tarvik_parse_uri_option(tarvik_uri_option_t *list, const char *text,
                                                        uint32_t decode_flags);
/* One option record of the whole text, or null (null text, no memory); free it. */
TARVIK_API tarvik_uri_option_t *tarvik_new_uri_option(const char *text, uint32_t decode_flags);
/* Frees the whole chain (null accepted); returns null. */
TARVIK_API tarvik_uri_option_t *tarvik_free_uri_option(tarvik_uri_option_t *list);
/* First option whose decoded name (raw when undecodable) matches a "|"-separated pattern,
 * ignoring case; null when none. The record stays the list's. */
TARVIK_API tarvik_uri_option_t *tarvik_search_uri_option_node(tarvik_uri_option_t *list,
                                                              const char *patterns);
/* Decoded value (raw when undecodable) of that option, or null; owned by the list. */
TARVIK_API const char *tarvik_get_uri_option_value(tarvik_uri_option_t *list, const char *patterns);
/* Raw value of that option, or null; owned by the list. */
TARVIK_API const char *tarvik_get_uri_option_raw_value(tarvik_uri_option_t *list,
                                                       const char *patterns);

/* Decoded copy that ends at the first decoded NUL; null for null text or no memory. */
TARVIK_API char *tarvik_decode_percent_string_ex(const char *text, uint32_t flags);
TARVIK_API char *tarvik_decode_percent_string(const char *text);
/* Decoded copy of every byte (NUL bytes included, a NUL after the last); the count in
 * length_out (may be null). Null for null text or no memory. Caller frees. */
TARVIK_API char *tarvik_decode_percent_string_length(const char *text, uint32_t flags,
                                                     size_t *length_out);
/* Encoded copy (letters, digits, "-._~" and the bytes of keep stay; the rest "%XX");
 * null for null text or no memory. Caller frees. */
TARVIK_API char *tarvik_encode_percent_string_ex(const char *text, uint32_t flags,
                                                 const char *keep);
TARVIK_API char *tarvik_encode_percent_string(const char *text);

TARVIK_END_DECLS

#endif
