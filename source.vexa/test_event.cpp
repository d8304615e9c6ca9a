// The "event" exercise of the test applet: a socket pair, a periodic timer on a lower level, a
// one-shot event added from a service thread while the loop waits, and SIGINT through the
// default exit handler, all on one base. With "signal" it waits for SIGINT, SIGQUIT, SIGSEGV
// or SIGTERM the way the monitor applets do.
#include "test_exercises.h"

#include "event.h"
#include "service.h"
#include "socket.h"
#include "time.h"

#include <cstring>
#include <signal.h>
#include <unistd.h>

namespace tarvik::test {

namespace {

constexpr int SIGNALS[] = {SIGINT, SIGQUIT, SIGSEGV, SIGTERM};
constexpr int LOOP_CALLS = 100;

struct Exercise {
    tarvik_event_base_t *m_base;
    tarvik_event_t m_reader;
    tarvik_event_t m_ticker;
    tarvik_event_t m_interrupt;
    uint32_t m_bytes;
    uint32_t m_ticks;
    uint32_t m_fired;
};

int32_t read_bytes(tarvik_event_t *, int fd, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_read) != 0) {
        char bytes[16];
        const ssize_t got = tarvik_recv(fd, bytes, sizeof(bytes), 0);
        static_cast<Exercise *>(context)->m_bytes += got > 0 ? static_cast<uint32_t>(got) : 0u;
    }
    return 0;
}

int32_t tick(tarvik_event_t *event, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_timeout) != 0 &&
        ++static_cast<Exercise *>(context)->m_ticks >= 3) {
        tarvik_del_event(event);
    }
    return 0;
}

int32_t interrupt(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_timeout) != 0) {
        ++static_cast<Exercise *>(context)->m_fired;
        raise(SIGINT);
    }
    return 0;
}

// Adds the one-shot event from another thread while the loop waits in select.
int add_later(tarvik_service_t *service, void *context)
{
    auto *exercise = static_cast<Exercise *>(context);
    tarvik_ack_service(service);
    tarvik_sleep_wait(0, 50000);
    tarvik_event_base_once(exercise->m_base, -1, 0, interrupt, exercise, 0);
    return 0;
}

// Dispatches until the exit flag is set: a signal arriving in select ends one call early.
int run_until_exit(tarvik_event_base_t *base)
{
    int calls = 0;
    while (tarvik_event_base_get_exit(base) == 0 && calls++ < LOOP_CALLS) {
        tarvik_event_base_dispatch(base);
    }
    return tarvik_event_base_get_exit(base) == 1 ? 0 : 1;
}

int wait_for_signal()
{
    tarvik_event_base_t *base = tarvik_new_event_base();
    if (base == nullptr) {
        return 1;
    }
    // Persistent, so that the base's teardown frees them whichever one fired.
    for (int number : SIGNALS) {
        tarvik_add_event(tarvik_new_event(base, number,
                                          def_tarvik_event_signal | def_tarvik_event_persist,
                                          tarvik_event_default_handler_exit, nullptr),
                         -1);
    }
    tarvik_printf("event: waiting for a signal\n");
    tarvik_puts(nullptr);
    while (tarvik_event_base_get_exit(base) == 0) {
        tarvik_event_base_dispatch(base);
    }
    tarvik_printf("event: loop ended by a signal\n");
    tarvik_free_event_base(base);
    return 0;
}

} // namespace

int exercise_event(const char *operand)
{
    if (operand != nullptr && strcmp(operand, "signal") == 0) {
        return wait_for_signal();
    }
    Checker check("event");
    Exercise exercise;
    memset(&exercise, 0, sizeof(exercise));
    exercise.m_base = tarvik_new_event_base();
    int pair[2] = {-1, -1};
    EXPECT(check,
           exercise.m_base != nullptr && tarvik_socket_pair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
    if (exercise.m_base == nullptr || pair[0] < 0) {
        tarvik_free_event_base(exercise.m_base);
        return 1;
    }
    tarvik_event_base_t *base = exercise.m_base;
    EXPECT(check, tarvik_event_base_init_priority(base, 2) == 0);
    EXPECT(check, tarvik_assign_event(base, &exercise.m_reader, pair[0],
                                      def_tarvik_event_read | def_tarvik_event_persist, read_bytes,
                                      &exercise) == 0);
    EXPECT(check, tarvik_event_set_priority(&exercise.m_reader, 0) == 0);
    EXPECT(check, tarvik_assign_event(base, &exercise.m_ticker, -1, def_tarvik_event_persist, tick,
                                      &exercise) == 0);
    EXPECT(check, tarvik_assign_event(base, &exercise.m_interrupt, SIGINT, def_tarvik_event_signal,
                                      tarvik_event_default_handler_exit, nullptr) == 0);
    EXPECT(check, tarvik_add_event(&exercise.m_reader, -1) == 0);
    EXPECT(check, tarvik_add_event(&exercise.m_ticker, 10) == 0);
    EXPECT(check, tarvik_add_event(&exercise.m_interrupt, -1) == 0);
    EXPECT(check, tarvik_send(pair[1], "abc", 3, 1000) == 3);
    tarvik_service_t *service = tarvik_open_service("event exercise", add_later, &exercise);
    EXPECT(check, service != nullptr);
    EXPECT(check, run_until_exit(base) == 0);
    tarvik_close_service(service);
    EXPECT(check, exercise.m_bytes == 3);
    EXPECT(check, exercise.m_ticks == 3);
    EXPECT(check, exercise.m_fired == 1);
    // Served and deleted: the signal's disposition is back to what it was.
    EXPECT(check, exercise.m_interrupt.m_signal_node == nullptr);
    EXPECT(check, base->m_event_count == 2); // the notify event and the reader
    tarvik_unassign_event(&exercise.m_reader);
    tarvik_unassign_event(&exercise.m_ticker);
    tarvik_unassign_event(&exercise.m_interrupt);
    tarvik_free_event_base(base);
    tarvik_close_socket(pair[0]);
    tarvik_close_socket(pair[1]);
    return check.status();
}

} // namespace tarvik::test
