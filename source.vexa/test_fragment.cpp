// Range-set exercise of the "test" applet: merging, splitting, allocation and the text
// form; an operand, when given, is parsed and must survive a round trip.
#include "test_exercises.h"

#include "fragment.h"
#include "heap.h"

#include <cstring>

namespace tarvik::test {

int exercise_fragment(const char *operand);

namespace {

bool text_is(const tarvik_fragment_t *fragment, const char *expected)
{
    char *text = tarvik_fragment_to_string(fragment);
    bool same = text != nullptr && strcmp(text, expected) == 0;
    tarvik_free_tag(text, __func__, static_cast<unsigned long>(__LINE__));
    return same;
}

void check_ranges(Checker &check)
{
    tarvik_fragment_t set;
    tarvik_init_fragment(&set);
    tarvik_add_fragment(&set, 0, 4);
    tarvik_add_fragment(&set, 4, 4);
    EXPECT(check, text_is(&set, "0-7"));
    EXPECT(check, tarvik_is_complete_fragment(&set) == 0);
    tarvik_del_fragment(&set, 2, 1);
    EXPECT(check, text_is(&set, "0-1|3-7"));
    EXPECT(check, tarvik_check_fragment(&set, 3, 5) == 0);
    EXPECT(check, tarvik_check_fragment(&set, 1, 2) == -1);
    uint64_t offset = 0;
    EXPECT(check, tarvik_alloc_fragment(&set, 1, &offset) == 0 && offset == 2);
    EXPECT(check, text_is(&set, "0-7"));
    tarvik_uninit_fragment(&set);
}

void check_text(Checker &check, const char *operand)
{
    const char *input = operand != nullptr && operand[0] != '\0' ? operand : "x=0-1|4,y=2";
    tarvik_fragment_t *parsed = tarvik_string_to_fragment(nullptr, input, 0);
    EXPECT(check, parsed != nullptr);
    if (parsed == nullptr) {
        return;
    }
    char *once = tarvik_fragment_to_string(parsed);
    EXPECT(check, once != nullptr);
    if (once != nullptr) {
        tarvik_fragment_t *again = tarvik_string_to_fragment(nullptr, once, 0);
        EXPECT(check, again != nullptr && text_is(again, once));
        tarvik_close_fragment(again);
        if (operand == nullptr || operand[0] == '\0') {
            EXPECT(check, strcmp(once, "x=0-1|4,y=2") == 0);
        } else {
            tarvik_printf("%s\n", once);
        }
        tarvik_free_tag(once, __func__, static_cast<unsigned long>(__LINE__));
    }
    tarvik_close_fragment(parsed);
}

} // namespace

int exercise_fragment(const char *operand)
{
    Checker check("fragment");
    check_ranges(check);
    check_text(check, operand);
    return check.status();
}

} // namespace tarvik::test
