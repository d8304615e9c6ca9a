/* tarvik_plugin_curl.so: HTTP and HTTPS read streams on libcurl. The program's base plugin
 * loads this file when it is present; it then serves "application/qvl_stream*" contexts
 * whose "src" is an http:// or https:// URL (every other source it passes on to the next
 * plugin with "not supported"), so that every stream-reading applet and
 * tarvik_ctx_simple_http_get take HTTP URLs. Options read: "src" (or "source"), "mode"
 * (reading only), "httpheader" (each one a request header line), "debug" (libcurl's trace).
 *
 * The transfer runs on the caller's thread through libcurl's multi interface: a read drives
 * it until some body bytes are buffered, so nothing is fetched ahead of the reader by more
 * than what one round of the network brings. The open waits for the response head, so a
 * refused connection or an HTTP error (400 and above) fails the open. */
#define _GNU_SOURCE
#include "ctx.h"

#include <curl/curl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#define EXPORT __attribute__((visibility("default")))
#define CONNECT_TIMEOUT_MS 16000L
#define WAIT_STEP_MS 1000

struct http_stream {
    CURL *m_easy;
    CURLM *m_multi;
    struct curl_slist *m_headers;
    char *m_buffer; /* body bytes received and not read yet: m_buffer[m_start .. m_end) */
    size_t m_start;
    size_t m_end;
    size_t m_capacity;
    int m_done;   /* the transfer ended */
    int m_failed; /* ... with an error */
    int m_out_of_memory;
};

static size_t on_body(char *data, size_t size, size_t count, void *context)
{
    struct http_stream *stream = context;
    size_t length = size * count;
    if (stream->m_start == stream->m_end)
        stream->m_start = stream->m_end = 0;
    if (stream->m_capacity - stream->m_end < length) {
        size_t capacity = stream->m_capacity != 0 ? stream->m_capacity : 65536;
        while (capacity - stream->m_end < length)
            capacity *= 2;
        char *grown = realloc(stream->m_buffer, capacity);
        if (grown == NULL) {
            stream->m_out_of_memory = 1;
            return 0; /* ends the transfer with an error */
        }
        stream->m_buffer = grown;
        stream->m_capacity = capacity;
    }
    memcpy(stream->m_buffer + stream->m_end, data, length);
    stream->m_end += length;
    return length;
}

static struct http_stream *stream_of(int ctx)
{
    tarvik_ctx_t *record = tarvik_get_valid_ctx(ctx);
    return record != NULL ? record->m_plugin_pointer : NULL;
}

/* One round of the transfer: waits up to timeout_ms for the network, moves what came. */
static void drive(struct http_stream *stream, int timeout_ms)
{
    int running = 0;
    CURLMsg *message;
    int left = 0;
    if (stream->m_done)
        return;
    curl_multi_perform(stream->m_multi, &running);
    if (running != 0 && stream->m_start == stream->m_end) {
        curl_multi_poll(stream->m_multi, NULL, 0, timeout_ms, NULL);
        curl_multi_perform(stream->m_multi, &running);
    }
    while ((message = curl_multi_info_read(stream->m_multi, &left)) != NULL) {
        if (message->msg == CURLMSG_DONE) {
            stream->m_done = 1;
            stream->m_failed = message->data.result != CURLE_OK;
        }
    }
    if (running == 0)
        stream->m_done = 1;
}

/* Waits until body bytes are buffered or the transfer ended; timeout_ms < 0: no limit.
 * 1 when either happened, 0 after the time-out. */
static int wait_body(struct http_stream *stream, int timeout_ms)
{
    long waited = 0;
    while (stream->m_start == stream->m_end && !stream->m_done) {
        int step = WAIT_STEP_MS;
        if (timeout_ms >= 0) {
            if (waited >= timeout_ms)
                return 0;
            if (timeout_ms - waited < step)
                step = (int)(timeout_ms - waited);
        }
        drive(stream, step);
        waited += step;
    }
    return 1;
}

static void free_stream(struct http_stream *stream)
{
    if (stream == NULL)
        return;
    if (stream->m_multi != NULL && stream->m_easy != NULL)
        curl_multi_remove_handle(stream->m_multi, stream->m_easy);
    if (stream->m_easy != NULL)
        curl_easy_cleanup(stream->m_easy);
    if (stream->m_multi != NULL)
        curl_multi_cleanup(stream->m_multi);
    curl_slist_free_all(stream->m_headers);
    free(stream->m_buffer);
    free(stream);
}

static int is_http(const char *source)
{
    return source != NULL &&
           (strncasecmp(source, "http://", 7) == 0 || strncasecmp(source, "https://", 8) == 0);
}

static int curl_open(int ctx)
{
    tarvik_ctx_t *record = tarvik_get_valid_ctx(ctx);
    const char *source = tarvik_ctx_get_option_string(ctx, "src");
    const char *mode = tarvik_ctx_get_option_string_ex(ctx, "mode", "r");
    const char *debug = tarvik_ctx_get_option_string_ex(ctx, "debug", "0");
    struct http_stream *stream;
    const tarvik_ctx_option_t *option;
    long code = 0;
    if (source == NULL)
        source = tarvik_ctx_get_option_string(ctx, "source");
    if (record == NULL || !is_http(source) ||
        strncmp(record->m_mime_type, "application/qvl_stream", 22) != 0 ||
        strpbrk(mode, "wa+") != NULL) {
        tarvik_ctx_set_error(ctx, TARVIK_CTX_ERROR_NOT_SUPPORTED);
        return -1;
    }
    stream = calloc(1, sizeof(*stream));
    if (stream == NULL) {
        tarvik_ctx_set_error(ctx, TARVIK_CTX_ERROR_NO_MEMORY);
        return -1;
    }
    for (option = tarvik_ctx_get_option(ctx, "httpheader"); option != NULL;
         option = option->m_next) {
        if (strcasecmp(option->m_name, "httpheader") != 0 || option->m_value_size == 0)
            continue;
        struct curl_slist *grown = curl_slist_append(stream->m_headers, (const char *)option->m_value);
        if (grown == NULL) {
            free_stream(stream);
            tarvik_ctx_set_error(ctx, TARVIK_CTX_ERROR_NO_MEMORY);
            return -1;
        }
        stream->m_headers = grown;
    }
    stream->m_easy = curl_easy_init();
    stream->m_multi = curl_multi_init();
    if (stream->m_easy == NULL || stream->m_multi == NULL) {
        free_stream(stream);
        tarvik_ctx_set_error(ctx, TARVIK_CTX_ERROR_NO_MEMORY);
        return -1;
    }
    curl_easy_setopt(stream->m_easy, CURLOPT_URL, source);
    curl_easy_setopt(stream->m_easy, CURLOPT_HTTPHEADER, stream->m_headers);
    curl_easy_setopt(stream->m_easy, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(stream->m_easy, CURLOPT_WRITEDATA, stream);
    curl_easy_setopt(stream->m_easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(stream->m_easy, CURLOPT_MAXREDIRS, 8L);
    curl_easy_setopt(stream->m_easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(stream->m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(stream->m_easy, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    curl_easy_setopt(stream->m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(stream->m_easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(stream->m_easy, CURLOPT_VERBOSE, atoi(debug) != 0 ? 1L : 0L);
    curl_multi_add_handle(stream->m_multi, stream->m_easy);
    /* The response head (or the failure) before the open returns. */
    while (!stream->m_done && code == 0) {
        drive(stream, WAIT_STEP_MS);
        curl_easy_getinfo(stream->m_easy, CURLINFO_RESPONSE_CODE, &code);
    }
    if (stream->m_failed || code >= 400 || (stream->m_done && code == 0)) {
        free_stream(stream);
        tarvik_ctx_set_error(ctx, TARVIK_CTX_ERROR_NETWORK);
        return -1;
    }
    record->m_plugin_pointer = stream;
    return 0;
}

static int curl_close(int ctx)
{
    tarvik_ctx_t *record = tarvik_get_valid_ctx(ctx);
    if (record != NULL) {
        free_stream(record->m_plugin_pointer);
        record->m_plugin_pointer = NULL;
    }
    return 0;
}

static int curl_is_readable(int ctx, int timeout_ms)
{
    struct http_stream *stream = stream_of(ctx);
    return stream != NULL ? wait_body(stream, timeout_ms) : -1;
}

static ssize_t curl_read(int ctx, void *buffer, size_t size)
{
    struct http_stream *stream = stream_of(ctx);
    size_t count;
    if (stream == NULL)
        return -1;
    wait_body(stream, -1);
    count = stream->m_end - stream->m_start;
    if (count == 0) {
        if (stream->m_failed || stream->m_out_of_memory) {
            tarvik_ctx_set_error(ctx, TARVIK_CTX_ERROR_NETWORK);
            return -1;
        }
        return 0;
    }
    if (count > size)
        count = size;
    memcpy(buffer, stream->m_buffer + stream->m_start, count);
    stream->m_start += count;
    return (ssize_t)count;
}

static tarvik_ctx0_v1_interface_t s_interface;

EXPORT int tarvik_plugin_initialize(const char **hint, const void **interface, uint32_t *size);
EXPORT int tarvik_plugin_uninitialize(void);

int tarvik_plugin_initialize(const char **hint, const void **interface, uint32_t *size)
{
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return -1;
    memset(&s_interface, 0, sizeof(s_interface));
    s_interface.m_v0.m_type = TARVIK_INTERFACE_TYPE_CTX0;
    s_interface.m_v0.m_size = sizeof(s_interface);
    s_interface.m_v0.m_version = TARVIK_CTX0_VERSION_1;
    s_interface.m_v0.m_open = curl_open;
    s_interface.m_v0.m_close = curl_close;
    s_interface.m_v0.m_is_readable = curl_is_readable;
    s_interface.m_v0.m_read = curl_read;
    *hint = "application/qvl_stream*";
    *interface = &s_interface;
    *size = sizeof(s_interface);
    return 0;
}

int tarvik_plugin_uninitialize(void)
{
    curl_global_cleanup();
    return 0;
}
