// The "udev" exercise of the test applet: prints every kernel device event as it arrives and
// keeps the list of present devices, for <seconds> or until SIGINT or SIGTERM; the list is
// printed at the end.
#include "test_exercises.h"

#include "event.h"
#include "scan.h"
#include "udev.h"

#include <signal.h>

namespace tarvik::test {

namespace {

constexpr int SIGNALS[] = {SIGINT, SIGTERM};

struct Listener {
    tarvik_udev_event_t *m_devices;
    uint32_t m_count;
};

uint32_t count_devices(const tarvik_udev_event_t *head)
{
    uint32_t count = 0;
    for (; head != nullptr; head = head->m_next) {
        ++count;
    }
    return count;
}

int32_t print_event(tarvik_event_t *, int fd, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_read) == 0) {
        return 0;
    }
    tarvik_udev_event_t *event = tarvik_udev_get_event(fd, 0);
    if (event == nullptr) {
        return 0;
    }
    auto *listener = static_cast<Listener *>(context);
    tarvik_printf("%s\n", event->m_header);
    for (uint32_t i = 0; i < event->m_count; ++i) {
        tarvik_printf("  %s=%s\n", event->m_key[i], event->m_value[i]);
    }
    listener->m_devices = tarvik_udev_update_event(listener->m_devices, event);
    listener->m_count = count_devices(listener->m_devices);
    tarvik_printf("[%lu devices]\n", static_cast<unsigned long>(listener->m_count));
    tarvik_puts(nullptr);
    return 0;
}

} // namespace

int exercise_udev(const char *operand)
{
    const int fd = tarvik_open_udev();
    tarvik_event_base_t *base = fd >= 0 ? tarvik_new_event_base() : nullptr;
    if (base == nullptr) {
        tarvik_error_printf("udev: cannot open the device-event channel\n");
        tarvik_close_udev(fd);
        return 1;
    }
    Listener listener = {nullptr, 0};
    tarvik_event_t *reader = tarvik_new_event(
        base, fd, def_tarvik_event_read | def_tarvik_event_persist, print_event, &listener);
    tarvik_add_event(reader, -1);
    for (int number : SIGNALS) {
        tarvik_add_event(tarvik_new_event(base, number,
                                          def_tarvik_event_signal | def_tarvik_event_persist,
                                          tarvik_event_default_handler_exit, nullptr),
                         -1);
    }
    const int seconds = operand != nullptr ? tarvik_atoi(operand) : 0;
    if (seconds > 0) {
        tarvik_event_base_exit_loop(base, seconds * 1000);
    }
    tarvik_printf("udev: listening\n");
    tarvik_puts(nullptr);
    while (tarvik_event_base_get_exit(base) == 0) {
        tarvik_event_base_dispatch(base);
    }
    tarvik_printf("udev: %lu devices listed\n", static_cast<unsigned long>(listener.m_count));
    for (const tarvik_udev_event_t *event = listener.m_devices; event != nullptr;
         event = event->m_next) {
        tarvik_printf("  %s\n", event->m_devpath);
    }
    tarvik_udev_free_event(listener.m_devices);
    tarvik_free_event_base(base);
    tarvik_close_udev(fd);
    return 0;
}

} // namespace tarvik::test
