// Shared pieces of the "test" applet: the expectation checker, and the exercises that
// live in their own files (one per library area), listed in the table of test_main.cpp.
#pragma once

#include "console.h"

namespace tarvik::test {

// Counts failed expectations and names each one on the error output.
class Checker {
  public:
    explicit Checker(const char *exercise) : m_exercise(exercise) {}

    void expect(bool condition, const char *what, int line)
    {
        if (!condition) {
            ++m_failures;
            tarvik_error_printf("test %s: [ERROR] \033[1;31mcheck failed\033[0m (%s, line=%d)\n",
                                m_exercise, what, line);
        }
    }

    int status() const { return m_failures == 0 ? 0 : 1; }

  private:
    const char *m_exercise;
    int m_failures = 0;
};

#define EXPECT(checker, condition) (checker).expect((condition), #condition, __LINE__)

// Exercises kept in files of their own; each returns 0 when every check passed.
int exercise_lock(const char *operand);
int exercise_timer(const char *operand);
int exercise_buffer(const char *operand);
int exercise_service(const char *operand);
int exercise_regular(const char *operand);
int exercise_fragment(const char *operand);
int exercise_inet(const char *operand);
int exercise_cgi(const char *operand);
int exercise_socket(const char *operand);
int exercise_xml(const char *operand);
int exercise_uri(const char *operand);
int exercise_event(const char *operand);
int exercise_udev(const char *operand);

} // namespace tarvik::test
