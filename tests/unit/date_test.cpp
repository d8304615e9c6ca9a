// Calendar arithmetic, names, strftime against the system library's, the fixed styles and
// the date-text parser. The process runs in the C locale with TZ=UTC.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// The real-time clock at full resolution: time() reads a coarse copy that may lag a tick.
time_t now_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

class UtcEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        setlocale(LC_ALL, "C");
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

::testing::Environment *const s_utc = ::testing::AddGlobalTestEnvironment(new UtcEnvironment);

class DateTest : public TarvikTest {};

std::string ours(const char *format, const struct tm &tm, size_t size = 512)
{
    std::vector<char> buffer(size);
    size_t n = tarvik_strftime(buffer.data(), buffer.size(), format, &tm);
    EXPECT_EQ(n, strlen(buffer.data())) << format;
    return std::string(buffer.data(), n);
}

std::string theirs(const char *format, const struct tm &tm)
{
    char buffer[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    size_t n = strftime(buffer, sizeof(buffer), format, &tm);
#pragma GCC diagnostic pop
    return std::string(buffer, n);
}

// Every conversion with every flag and a few widths, plus the E and O modifiers (the
// system library has no %+; it is checked on its own).
std::vector<std::string> all_formats()
{
    const std::string letters = "aAbBcCdDeFgGhHIjklmMnpPrRsStTuUVwWxXyYzZ%q";
    const char *flags[] = {"", "_", "-", "0", "^", "#", "^#", "_^"};
    const char *widths[] = {"", "1", "3", "6", "13"};
    std::vector<std::string> formats;
    for (char letter : letters) {
        for (const char *flag : flags) {
            for (const char *width : widths) {
                formats.push_back(std::string("%") + flag + width + letter);
            }
        }
        formats.push_back(std::string("%E") + letter);
        formats.push_back(std::string("%O") + letter);
        formats.push_back(std::string("%_4E") + letter);
    }
    for (const char *odd : {"%", "%5", "%E", "%_", "%^5", "%EOd", "%E5d", "x%", "%%%", "a%-b%"}) {
        formats.push_back(odd);
    }
    formats.push_back("%Y-%m-%dT%H:%M:%S %z (%Z) week %V/%G day %j %A");
    return formats;
}

// Days worth sweeping in a year: the first week and last week (ISO week edges), the leap
// day and its neighbours, and one day in mid-year; hours vary over the sweep.
std::vector<struct tm> sweep_dates(int first_year, int last_year)
{
    std::vector<struct tm> dates;
    int step = 0;
    for (int year = first_year; year <= last_year; ++year) {
        const int days[][2] = {{1, 1},   {1, 2},   {1, 3},   {1, 4},   {1, 5},
                               {1, 7},   {2, 28},  {2, 29},  {3, 1},   {6, 15},
                               {12, 25}, {12, 28}, {12, 29}, {12, 30}, {12, 31}};
        for (const auto &day : days) {
            struct tm tm {};
            tm.tm_year = year - 1900;
            tm.tm_mon = day[0] - 1;
            tm.tm_mday = day[1];
            tm.tm_hour = (step * 5) % 24;
            tm.tm_min = (step * 7) % 60;
            tm.tm_sec = (step * 11) % 61 == 60 ? 59 : (step * 11) % 61;
            ++step;
            time_t t = timegm(&tm);
            struct tm normal {};
            gmtime_r(&t, &normal);
            dates.push_back(normal);
        }
    }
    return dates;
}

TEST_F(DateTest, StrftimeAgreesWithSystemLibraryOverSweep)
{
    const std::vector<std::string> formats = all_formats();
    const std::vector<struct tm> dates = sweep_dates(1970, 2100);
    int weekdays_seen = 0;
    size_t mismatches = 0;
    for (size_t i = 0; i < dates.size(); ++i) {
        weekdays_seen |= 1 << dates[i].tm_wday;
        // Every format on every fifth date, the composite line on all of them.
        for (size_t k = (i % 5 == 0 ? 0 : formats.size() - 1); k < formats.size(); ++k) {
            const std::string expected = theirs(formats[k].c_str(), dates[i]);
            const std::string got = ours(formats[k].c_str(), dates[i]);
            if (got != expected && ++mismatches < 20) {
                ADD_FAILURE() << "format \"" << formats[k] << "\" on " << theirs("%F %T", dates[i])
                              << ": got \"" << got << "\", expected \"" << expected << "\"";
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(weekdays_seen, 0x7F);
}

TEST_F(DateTest, StrftimeAgreesOnZonesAndOddFields)
{
    const std::vector<std::string> formats = all_formats();
    struct tm base {};
    time_t t = 1709644029; // 2024-03-05 13:07:09
    localtime_r(&t, &base);
    struct Odd {
        int year, mon, mday, hour, wday, yday, isdst;
        long gmtoff;
        const char *zone;
    } rows[] = {
        {124, 2, 5, 13, 2, 64, 0, -19800, nullptr}, // %z of -05:30, zone from the cache
        {124, 2, 5, 0, 2, 64, 1, 3600, nullptr},    // daylight name
        {124, 2, 5, 12, 2, 64, -1, 0, nullptr},     // unknown daylight: no %z, no %Z
        {124, 2, 5, 12, 2, 64, 2, 0, ""},           // beyond the names: "?"
        {124, 13, 5, 25, 9, 400, 0, 0, "ABC"},      // names out of range
        {-1905, 0, 1, 11, 0, 0, 0, 0, "UTC"},       // negative year
        {-3, 11, 31, 23, 6, 364, 0, 0, "UTC"},      // year 1897
        {10000, 5, 30, 7, 1, 180, 0, 0, "UTC"},     // year 11900
    };
    for (const Odd &row : rows) {
        struct tm tm = base;
        tm.tm_year = row.year;
        tm.tm_mon = row.mon;
        tm.tm_mday = row.mday;
        tm.tm_hour = row.hour;
        tm.tm_wday = row.wday;
        tm.tm_yday = row.yday;
        tm.tm_isdst = row.isdst;
        tm.tm_gmtoff = row.gmtoff;
        tm.tm_zone = row.zone;
        for (const std::string &format : formats) {
            EXPECT_EQ(ours(format.c_str(), tm), theirs(format.c_str(), tm))
                << "format \"" << format << "\" year " << row.year + 1900 << " month " << row.mon;
        }
    }
}

// Offsets at the ends of the long range: the sign, then hours and minutes of the magnitude.
TEST_F(DateTest, StrftimeZoneOffsetAtTheEndsOfItsRange)
{
    for (long offset : {LONG_MIN, LONG_MIN + 1, LONG_MAX, -1L, -59L, -60L, 86399L}) {
        struct tm tm {};
        tm.tm_isdst = 0;
        tm.tm_gmtoff = offset;
        const unsigned long long magnitude = offset < 0
                                                 ? 0ull - static_cast<unsigned long long>(offset)
                                                 : static_cast<unsigned long long>(offset);
        const unsigned long long minutes = magnitude / 60;
        char expected[32];
        snprintf(expected, sizeof(expected), "%c%04llu", offset < 0 ? '-' : '+',
                 minutes / 60 * 100 + minutes % 60);
        EXPECT_EQ(ours("%z", tm), expected) << offset;
    }
}

TEST_F(DateTest, StrftimePlusTruncationAndNulls)
{
    struct tm tm {};
    time_t t = 1709644029;
    gmtime_r(&t, &tm);
    EXPECT_EQ(ours("%+", tm), "Tue Mar  5 13:07:09 GMT 2024");
    EXPECT_EQ(ours("%^+", tm), "TUE MAR  5 13:07:09 GMT 2024");
    EXPECT_EQ(ours("%30+", tm), "  Tue Mar  5 13:07:09 GMT 2024");

    // Output stops at size - 1 characters, always terminated, and says what it stored.
    const std::string whole = ours("%A %B %e %Y %H:%M:%S", tm);
    for (size_t size = 1; size <= whole.size() + 2; ++size) {
        char buffer[64];
        memset(buffer, 'X', sizeof(buffer));
        size_t n = tarvik_strftime(buffer, size, "%A %B %e %Y %H:%M:%S", &tm);
        size_t expected = size - 1 < whole.size() ? size - 1 : whole.size();
        ASSERT_EQ(n, expected) << size;
        EXPECT_EQ(std::string(buffer, n), whole.substr(0, n));
        EXPECT_EQ(buffer[n], '\0');
        EXPECT_EQ(buffer[size], 'X') << "wrote past size " << size;
    }
    // A huge width fills what fits and stops.
    char wide[16];
    EXPECT_EQ(tarvik_strftime(wide, sizeof(wide), "%2147483647d|%999999999999Y", &tm), 15u);
    EXPECT_EQ(std::string(wide), "000000000000000");

    char buffer[8] = "keep";
    EXPECT_EQ(tarvik_strftime(buffer, 0, "%Y", &tm), 0u);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(tarvik_strftime(nullptr, 8, "%Y", &tm), 0u);
    EXPECT_EQ(tarvik_strftime(buffer, sizeof(buffer), nullptr, &tm), 0u);
    EXPECT_STREQ(buffer, "");

    // Null tm is now, local.
    char now_text[32];
    time_t before = now_seconds();
    ASSERT_GT(tarvik_strftime(now_text, sizeof(now_text), "%s", nullptr), 0u);
    time_t stamped = static_cast<time_t>(atoll(now_text));
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, now_seconds());
}

TEST_F(DateTest, AsctimeStyles)
{
    struct tm tm {};
    time_t t = 1709644029; // Tue 2024-03-05 13:07:09 UTC
    gmtime_r(&t, &tm);
    char buffer[64];
    const struct {
        int style;
        const char *text;
    } rows[] = {
        {1, "Tue Mar 5 13:07:09 2024\n"}, {2, "20240305130709"},
        {3, "2024/03/05 13:07:09"},       {4, "Tue, 5 Mar 2024 13:07:09 GMT"},
        {5, "2024-03-05 13:07:09"},       {6, "2024-03-05T13:07:09"},
        {0, "Tue Mar 5 13:07:09 2024"},   {7, "Tue Mar 5 13:07:09 2024"},
        {-1, "Tue Mar 5 13:07:09 2024"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik_asctime(buffer, sizeof(buffer), &tm, row.style), buffer);
        EXPECT_STREQ(buffer, row.text) << "style " << row.style;
    }
    // Each style's text reads back to the same second (style 4 names its zone).
    for (int style : {1, 2, 3, 4, 5, 6, 0}) {
        tarvik_asctime(buffer, sizeof(buffer), &tm, style);
        EXPECT_EQ(tarvik_parse_asctime(buffer, 0, 0), static_cast<uint64_t>(t)) << buffer;
    }

    tm.tm_hour = 24;
    EXPECT_STREQ(tarvik_asctime(buffer, sizeof(buffer), &tm, 5), "ERR(tm)");
    tm.tm_hour = 23;
    tm.tm_mday = 0;
    EXPECT_STREQ(tarvik_asctime(buffer, sizeof(buffer), &tm, 5), "ERR(tm)");
    char small[4];
    EXPECT_STREQ(tarvik_asctime(small, sizeof(small), &tm, 5), "ERR");
    tm.tm_mday = 5;
    EXPECT_STREQ(tarvik_asctime(small, sizeof(small), &tm, 5), "202");

    // Null tm: now, local (UTC here).
    time_t before = now_seconds();
    tarvik_asctime(buffer, sizeof(buffer), nullptr, 2);
    uint64_t parsed = tarvik_parse_asctime(buffer, 0, 0);
    EXPECT_GE(parsed, static_cast<uint64_t>(before));
    EXPECT_LE(parsed, static_cast<uint64_t>(now_seconds()));
}

TEST_F(DateTest, CheckTmStruct)
{
    struct tm good {};
    good.tm_mday = 1;
    EXPECT_EQ(tarvik_check_tm_struct(&good), 0);
    EXPECT_EQ(tarvik_check_tm_struct(nullptr), -1);
    struct Row {
        int tm::*field;
        int bad;
        int edge_ok;
    } rows[] = {
        {&tm::tm_sec, 61, 60},   {&tm::tm_sec, -1, 0},  {&tm::tm_min, 60, 59},
        {&tm::tm_hour, 24, 23},  {&tm::tm_hour, -1, 0}, {&tm::tm_mday, 0, 1},
        {&tm::tm_mday, 32, 31},  {&tm::tm_mon, 12, 11}, {&tm::tm_mon, -1, 0},
        {&tm::tm_year, -1, 0},   {&tm::tm_wday, 7, 6},  {&tm::tm_wday, -1, 0},
        {&tm::tm_yday, -1, 365},
    };
    for (const Row &row : rows) {
        struct tm tm = good;
        tm.*row.field = row.bad;
        EXPECT_EQ(tarvik_check_tm_struct(&tm), -1) << row.bad;
        tm.*row.field = row.edge_ok;
        EXPECT_EQ(tarvik_check_tm_struct(&tm), 0) << row.edge_ok;
    }
}

TEST_F(DateTest, LeapYears)
{
    EXPECT_EQ(tarvik_is_leap_year(2000), 1);
    EXPECT_EQ(tarvik_is_leap_year(2016), 1);
    EXPECT_EQ(tarvik_is_leap_year(1900), 0);
    EXPECT_EQ(tarvik_is_leap_year(2017), 0);
    EXPECT_EQ(tarvik_is_leap_year(2400), 1);
    EXPECT_EQ(tarvik_is_leap_year(2100), 0);
    EXPECT_EQ(tarvik_is_leap_year(0), 1);
    EXPECT_EQ(tarvik_is_leap_year(-4), 1);
    EXPECT_EQ(tarvik_is_leap_year(-100), 0);
}

// Years the system's timegm can represent (a 32-bit time_t spans 1901-2038).
bool timegm_reaches(int year) { return sizeof(time_t) >= 8 || (year > 1901 && year < 2038); }

TEST_F(DateTest, DateToTimeAgreesWithTimegm)
{
    for (int year = 1582; year <= 2600; year += 1) {
        if (!timegm_reaches(year) || !timegm_reaches(year - 1) || !timegm_reaches(year + 1)) {
            continue;
        }
        for (int month = -1; month <= 14; month += 3) {
            int day = 1 + (year * 7 + month) % 31;
            int hour = (year + month) % 25;
            struct tm tm {};
            tm.tm_year = year - 1900;
            tm.tm_mon = month - 1;
            tm.tm_mday = day;
            tm.tm_hour = hour;
            tm.tm_min = 59;
            tm.tm_sec = 60;
            int64_t expected = static_cast<int64_t>(timegm(&tm));
            ASSERT_EQ(tarvik_date_to_time(year, month, day, hour, 59, 60), expected)
                << year << "-" << month << "-" << day << " " << hour;
        }
    }
    // Every day across two 400-year cycle edges and the epoch.
    for (int year : {1599, 1600, 1969, 1970, 1999, 2000, 2001, 2399, 2400}) {
        if (!timegm_reaches(year)) {
            continue;
        }
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= 31; ++day) {
                struct tm tm {};
                tm.tm_year = year - 1900;
                tm.tm_mon = month - 1;
                tm.tm_mday = day;
                ASSERT_EQ(tarvik_date_to_time(year, month, day, 0, 0, 0),
                          static_cast<int64_t>(timegm(&tm)))
                    << year << "-" << month << "-" << day;
            }
        }
    }
    EXPECT_EQ(tarvik_date_to_time(1970, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(tarvik_date_to_time(2038, 1, 19, 3, 14, 8), INT64_C(2147483648));
    EXPECT_EQ(tarvik_date_to_time(1970, 1, 1, 0, 0, -1), -1);
    EXPECT_EQ(tarvik_date_to_time(1970, 1, 0, 0, 0, 0), -86400);
}

TEST_F(DateTest, NamesAndIndexes)
{
    EXPECT_STREQ(tarvik_short_week_name(0), "Sun");
    EXPECT_STREQ(tarvik_short_week_name(6), "Sat");
    EXPECT_STREQ(tarvik_long_week_name(3), "Wednesday");
    EXPECT_STREQ(tarvik_short_month_name(0), "Jan");
    EXPECT_STREQ(tarvik_short_month_name(11), "Dec");
    EXPECT_STREQ(tarvik_long_month_name(8), "September");
    for (int bad : {-1, 7, 12, 1000, INT32_MIN}) {
        EXPECT_STREQ(tarvik_short_week_name(bad), "???");
        EXPECT_STREQ(tarvik_long_week_name(bad), "???");
        if (bad != 7) {
            EXPECT_STREQ(tarvik_short_month_name(bad), "???");
            EXPECT_STREQ(tarvik_long_month_name(bad), "???");
        }
    }
    EXPECT_STREQ(tarvik_short_month_name(7), "Aug");

    EXPECT_EQ(tarvik_month_index("Jan"), 0);
    EXPECT_EQ(tarvik_month_index("december"), 11);
    EXPECT_EQ(tarvik_month_index("MAY"), 4);
    EXPECT_EQ(tarvik_week_index("Sun"), 0);
    EXPECT_EQ(tarvik_week_index("saturday"), 6);
    for (const char *bad :
         std::vector<const char *>{"", "Ja", "Janu", "Janvier", "Sunday ", "Mo", nullptr}) {
        EXPECT_EQ(tarvik_month_index(bad), -1) << (bad ? bad : "null");
        EXPECT_EQ(tarvik_week_index(bad), -1) << (bad ? bad : "null");
    }
}

TEST_F(DateTest, WallClockWrappers)
{
    time_t seconds = 0;
    uint32_t milliseconds = 1000;
    time_t before = now_seconds();
    uint64_t stamp = tarvik_time_ex(&seconds, &milliseconds);
    EXPECT_LT(milliseconds, 1000u);
    EXPECT_EQ(stamp, static_cast<uint64_t>(seconds) * 1000u + milliseconds);
    EXPECT_GE(seconds, before);
    EXPECT_LE(tarvik_time(nullptr), now_seconds());
    EXPECT_GE(tarvik_time(nullptr), seconds);

    struct tm tm {};
    EXPECT_EQ(tarvik_gmtime(86400 * 365, &tm), &tm);
    EXPECT_EQ(tm.tm_year, 71);
    EXPECT_EQ(tm.tm_yday, 0);
    EXPECT_EQ(tarvik_mktime(&tm), 86400 * 365);
    EXPECT_EQ(tarvik_mktime(nullptr), static_cast<time_t>(-1));
    EXPECT_EQ(tarvik_localtime(0, &tm), &tm);
    EXPECT_GE(tm.tm_year, 124);
    EXPECT_EQ(tarvik_localtime(0, nullptr), nullptr);
    EXPECT_EQ(tarvik_gmtime(0, nullptr), nullptr);

    const char *standard = nullptr;
    const char *summer = nullptr;
    int daylight_flag = -1;
    EXPECT_EQ(tarvik_get_timezone(&standard, &summer, &daylight_flag), 0);
    EXPECT_STREQ(standard, "UTC");
    EXPECT_NE(summer, nullptr);
    EXPECT_EQ(daylight_flag, 0);
    EXPECT_EQ(tarvik_get_timezone(nullptr, nullptr, nullptr), 0);
}

// Seconds of a UTC date, for the expectations below: the system's timegm where its time_t
// reaches (date_to_time is checked against it above).
uint64_t utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    if (sizeof(time_t) < 8) {
        return static_cast<uint64_t>(tarvik_date_to_time(year, month, day, hour, minute, second));
    }
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<uint64_t>(timegm(&tm));
}

constexpr uint64_t NONE = static_cast<uint64_t>(-1);

TEST_F(DateTest, ParserAcceptsEachForm)
{
    const struct {
        const char *text;
        uint64_t start_of_day;
        uint64_t end_of_day;
    } rows[] = {
        // numeric
        {"2024-03-05 13:07:09", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"2024/03/05 13:07:09", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"2024-03-05T13:07:09", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"2024-03-05t13:07:09Z", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"2024-03-05-13-07-09", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"2024-3-5\t13:7:9", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"  2024-03-05 13:07:09.250  \r\n", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"2024-03-05", utc(2024, 3, 5), utc(2024, 3, 5, 23, 59, 59)},
        {"2024/03/05 13", utc(2024, 3, 5, 13), utc(2024, 3, 5, 13, 59, 59)},
        {"2024-03-05 13:07", utc(2024, 3, 5, 13, 7), utc(2024, 3, 5, 13, 7, 59)},
        {"24-03-05", utc(2024, 3, 5), utc(2024, 3, 5, 23, 59, 59)},
        {"70/01/01", 0, 86399},
        {"99-12-31 23:59:59", utc(1999, 12, 31, 23, 59, 59), utc(1999, 12, 31, 23, 59, 59)},
        {"00-02-29", utc(2000, 2, 29), utc(2000, 2, 29, 23, 59, 59)},
        {"2024-03-05 13:07:09+01:00", utc(2024, 3, 5, 12, 7, 9), utc(2024, 3, 5, 12, 7, 9)},
        {"2024-03-05T13:07-0530", utc(2024, 3, 5, 18, 37), utc(2024, 3, 5, 18, 37, 59)},
        {"2024-03-05 13:07:09 GMT", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        // compact
        {"20240305130709", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"202403051307", utc(2024, 3, 5, 13, 7), utc(2024, 3, 5, 13, 7, 59)},
        {"20240305", utc(2024, 3, 5), utc(2024, 3, 5, 23, 59, 59)},
        {"20240305T1307Z", utc(2024, 3, 5, 13, 7), utc(2024, 3, 5, 13, 7, 59)},
        // asctime
        {"Tue Mar  5 13:07:09 2024", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"tuesday MARCH 5 13:07:09 2024", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"Tue Mar  5 13:07:09 UTC 2024", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"Mar 5 13:07 2024", utc(2024, 3, 5, 13, 7), utc(2024, 3, 5, 13, 7, 59)},
        {"Sun Nov  6 08:49:37 1994", utc(1994, 11, 6, 8, 49, 37), utc(1994, 11, 6, 8, 49, 37)},
        // weekday with a comma, day first
        {"Sun, 06 Nov 1994 08:49:37 GMT", utc(1994, 11, 6, 8, 49, 37), utc(1994, 11, 6, 8, 49, 37)},
        {"Tue, 5 Mar 2024 13:07:09 +0100", utc(2024, 3, 5, 12, 7, 9), utc(2024, 3, 5, 12, 7, 9)},
        {"Tue, 5 Mar 2024", utc(2024, 3, 5), utc(2024, 3, 5, 23, 59, 59)},
        // day-month-year with "-" (RFC 850 and plain), and the log style
        {"Sunday, 06-Nov-94 08:49:37 GMT", utc(1994, 11, 6, 8, 49, 37),
         utc(1994, 11, 6, 8, 49, 37)},
        {"05-Mar-2024 13:07:09", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"05-mar-2024", utc(2024, 3, 5), utc(2024, 3, 5, 23, 59, 59)},
        {"05/Mar/2024:13:07:09 +0000", utc(2024, 3, 5, 13, 7, 9), utc(2024, 3, 5, 13, 7, 9)},
        {"5 March 2024 13:07", utc(2024, 3, 5, 13, 7), utc(2024, 3, 5, 13, 7, 59)},
        // edges of the ranges
        {"2024-02-29 23:59:59", utc(2024, 2, 29, 23, 59, 59), utc(2024, 2, 29, 23, 59, 59)},
        {"9999-12-31 23:59:59", utc(9999, 12, 31, 23, 59, 59), utc(9999, 12, 31, 23, 59, 59)},
        {"1970-01-01 00:00:00", 0, 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik_parse_asctime(row.text, 0, 0), row.start_of_day)
            << "\"" << row.text << "\"";
        EXPECT_EQ(tarvik_parse_asctime(row.text, 1, 0), row.end_of_day) << "\"" << row.text << "\"";
        // TZ is UTC here: local time changes nothing.
        EXPECT_EQ(tarvik_parse_asctime(row.text, 0, 1), row.start_of_day)
            << "\"" << row.text << "\"";
    }
}

TEST_F(DateTest, ParserRejectsBadFieldsAndShapes)
{
    const char *rows[] = {
        // out of range
        "2024-13-05 00:00:00",
        "2024-00-05",
        "2024-03-00",
        "2024-03-32",
        "2023-02-29",
        "2024-04-31",
        "2024-03-05 24:00:00",
        "2024-03-05 13:60:00",
        "2024-03-05 13:07:60",
        "1969-12-31 23:59:59",
        "0999-01-01",
        "Tue Mar 32 13:07:09 2024",
        "Tue Mar  5 25:07:09 2024",
        "Tue, 5 Mar 1969 13:07:09 GMT",
        "05-Mar-2024 13:61",
        "2024-03-05 13:07:09+24:00",
        "2024-03-05 13:07:09+01:60",
        "2024-03-05 13:07:09+01:",
        "2024-03-05 13:07:09+010",
        // shapes
        "",
        "   ",
        "2024",
        "2024-03",
        "2024-03-05 x",
        "2024-03/05",
        "2024.03.05",
        "124-03-05",
        "12024-03-05",
        "2024-003-05",
        "2024-03-05 13:07:09 CET",
        "2024-03-05 13:07:09 +1",
        "2024-03-05 130:07",
        "202403051",
        "2024030513",
        "20240305T13",
        "Tue Foo 5 13:07:09 2024",
        "Foo, 5 Mar 2024",
        "Tue Mar 5 2024",
        "Tue Mar 5 13:07:09",
        "Tue, 5-Mar 2024",
        "5 Mar-2024",
        "Mar",
        "Tue,",
        "-2024-03-05",
        "2024-03-05 13:07:09 GMT GMT",
        "2024-03-05T",
        "2024--03-05",
        "2024-03-05 13::07",
    };
    for (const char *text : rows) {
        EXPECT_EQ(tarvik_parse_asctime(text, 0, 0), NONE) << "\"" << text << "\"";
        EXPECT_EQ(tarvik_parse_asctime(text, 1, 1), NONE) << "\"" << text << "\"";
    }
    EXPECT_EQ(tarvik_parse_asctime(nullptr, 0, 0), NONE);
}

TEST_F(DateTest, ParserLocalTimeFollowsDaylightSaving)
{
    // In a child: the zone is process-wide.
    Captured run = run_in_child([] {
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
        int failures = 0;
        failures += tarvik_parse_asctime("2024-01-15 12:00:00", 0, 1) != utc(2024, 1, 15, 11);
        failures += tarvik_parse_asctime("2024-07-01 12:00:00", 0, 1) != utc(2024, 7, 1, 10);
        failures += tarvik_parse_asctime("Mon Jul  1 12:00:00 2024", 1, 1) != utc(2024, 7, 1, 10);
        // A zone in the text wins over the flag.
        failures += tarvik_parse_asctime("2024-07-01 12:00:00 GMT", 0, 1) != utc(2024, 7, 1, 12);
        // The first local second of 1970 lies before the epoch in UTC.
        failures += tarvik_parse_asctime("1970-01-01 00:00:00", 0, 1) != NONE;
        return failures;
    });
    EXPECT_EQ(run.status, 0);
}

} // namespace
