// Fuzzes the device-event message parser: any bytes give nothing or a record whose header,
// keys and values all lie inside its own copy of the message; keeping it in a device list
// and freeing the list leaves the heap as it was.
#include "detail/udev.hpp"
#include "heap.h"
#include "udev.h"

#include <cstdlib>
#include <cstring>

namespace {

bool inside(const tarvik_udev_event_t *event, const char *text)
{
    const char *first = event->m_message;
    return text >= first && text + strlen(text) <= first + event->m_size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t blocks = tarvik_get_alloc_count();
    tarvik_udev_event_t *event = tarvik::detail::udev_parse_message(data, size);
    if (event != nullptr) {
        if (event->m_size != size || strlen(event->m_header) < 4 ||
            !inside(event, event->m_header)) {
            abort();
        }
        for (uint32_t i = 0; i < event->m_count; ++i) {
            if (!inside(event, event->m_key[i]) || !inside(event, event->m_value[i]) ||
                strchr(event->m_key[i], '=') != nullptr || strchr(event->m_value[i], '\n')) {
                abort();
            }
        }
        if (event->m_action != tarvik_udev_event_value(event, "action") ||
            event->m_devpath != tarvik_udev_event_value(event, "devpath")) {
            abort();
        }
        // Twice into a list: an "add" with a path is kept once, anything else is freed.
        tarvik_udev_event_t *again = tarvik::detail::udev_parse_message(data, size);
        tarvik_udev_event_t *head = tarvik_udev_update_event(nullptr, event);
        head = tarvik_udev_update_event(head, again);
        if (head != nullptr && head->m_next != nullptr) {
            abort();
        }
        tarvik_udev_free_event(head);
    }
    if (tarvik_get_alloc_count() != blocks) {
        abort();
    }
    return 0;
}
