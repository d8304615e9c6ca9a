// Regular-expression exercises of the "test" applet: captures of each delivery kind,
// greedy and lazy repeats, sets, the case flag, compile errors and the matcher's bounds.
#include "test_exercises.h"

#include "detail/common.hpp"
#include "heap.h"
#include "regular.h"

#include <cstring>

namespace tarvik::test {

// Also listed with the other exercises in test_exercises.h.
int exercise_regular(const char *operand);

namespace {

// For patterns without groups (each group would need its capture triple).
int match(const char *pattern, const char *subject, int flags = 0)
{
    return tarvik_regular(flags, pattern, subject, strlen(subject));
}

void check_captures(Checker &check)
{
    int32_t number = 0;
    char name[8] = "";
    EXPECT(check, tarvik_regular(0, "^(\\d+)-(\\S+)$", "12-ab", 5, 2, 4, &number, 1,
                                 static_cast<int>(sizeof(name)), name) == 0);
    EXPECT(check, number == 12 && strcmp(name, "ab") == 0);
    char *copy = nullptr;
    EXPECT(check, tarvik_regular(0, "(a.*?b)", "aXbYb", 5, 3, 0, &copy) == 0);
    EXPECT(check, copy != nullptr && strcmp(copy, "aXb") == 0);
    tarvik_check_free_tag(copy, TARVIK_TAG);
    copy = nullptr;
    EXPECT(check, tarvik_regular(0, "(a.*b)", "aXbYb", 5, 3, 0, &copy) == 0);
    EXPECT(check, copy != nullptr && strcmp(copy, "aXbYb") == 0);
    tarvik_check_free_tag(copy, TARVIK_TAG);
    EXPECT(check,
           tarvik_regular(0, "(\\S+)", "toolong", 7, 1, 4, name) == TARVIK_REGULAR_TOO_SMALL);
    EXPECT(check, tarvik_regular(0, "(\\S+)", "ab", 2, 2, 4, &number) == TARVIK_REGULAR_BAD_NUMBER);
    EXPECT(check, tarvik_regular(0, "(\\S+)", "12", 2, 2, 3, &number) == TARVIK_REGULAR_BAD_SIZE);
}

void check_syntax(Checker &check)
{
    EXPECT(check, match("[-x]+$", "a-x-") == 0);
    EXPECT(check, match("^[^\\d\\s]+$", "ab c") == TARVIK_REGULAR_NO_MATCH);
    char stem[8] = "";
    EXPECT(check, tarvik_regular(0, "^(eth|wlan)\\d$", "wlan0", 5, 1,
                                 static_cast<int>(sizeof(stem)), stem) == 0);
    EXPECT(check, strcmp(stem, "wlan") == 0);
    EXPECT(check, match("ETH", "xeth0", TARVIK_REGULAR_IGNORE_CASE) == 0);
    EXPECT(check, match("ETH", "xeth0") == TARVIK_REGULAR_NO_MATCH);
    EXPECT(check, match("[abc", "a") == TARVIK_REGULAR_BAD_SET);
    EXPECT(check, match("(a", "a") == TARVIK_REGULAR_SYNTAX);
    char dots[300];
    memset(dots, '.', sizeof(dots) - 1);
    dots[sizeof(dots) - 1] = '\0';
    EXPECT(check, match(dots, "a") == TARVIK_REGULAR_CODE_TOO_LONG);
}

// A long run against a pattern that backtracks once per byte, and an exponential one:
// both must end with their error codes at once rather than exhaust the stack.
void check_bounds(Checker &check)
{
    size_t length = 1u << 20;
    auto *subject = static_cast<char *>(tarvik_alloc_tag(length, TARVIK_TAG));
    EXPECT(check, subject != nullptr);
    if (subject == nullptr) {
        return;
    }
    memset(subject, 'a', length);
    EXPECT(check, tarvik_regular(0, "^a*$", subject, length) == 0);
    EXPECT(check, tarvik_regular(0, "(a|b)*c", subject, length) == TARVIK_REGULAR_TOO_DEEP);
    EXPECT(check, tarvik_regular(0, "(a*)*b", subject, 40) == TARVIK_REGULAR_TOO_SLOW);
    tarvik_free_tag(subject, TARVIK_TAG);
}

} // namespace

int exercise_regular(const char *)
{
    Checker check("regular");
    check_captures(check);
    check_syntax(check);
    check_bounds(check);
    return check.status();
}

} // namespace tarvik::test
