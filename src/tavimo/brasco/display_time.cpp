// Native rendering of display times; see display_time.hpp.
//
// What datetime.fromisoformat of Python 3.8 to 3.10 accepts, for the layouts handled here (3.11
// and later accept these with the same results, and more layouts besides, left to them;
// 3.14 and 3.15 are stricter in places, never for a text taken here):
//
//   - the date is exactly YYYY-MM-DD with ASCII digits;
//   - one character separates date and time (any character; only 'T' and ' ' are taken here);
//   - the time is HH:MM, HH:MM:SS or HH:MM:SS followed by '.' and exactly 3 or 6 digits;
//   - an offset, if any, starts at the first '+' or '-' of the time part; +HH:MM is taken
//     here (the interpreter also takes +HH:MM:SS[.ffffff], left to it).  Up to 3.14 its
//     digits are not range-checked one by one (+05:99 is 6:39), from 3.15 minutes past 59
//     raise ValueError: only minutes 00 to 59 are taken here, the rest is left to the host.
//     The offset as a whole must lie strictly within one day, or building the time zone
//     raises ValueError;
//   - then the datetime constructor checks year 1..9999, month 1..12, the day against the
//     month (leap years by the Gregorian rules, applied back to year 1), hour 0..23,
//     minute and second 0..59.
//
// Anything else returns false: the hour alone, a date alone, a fraction after the minutes,
// fractions of other lengths, other separators, longer offsets, trailing characters.
#include "tavimo/brasco/display_time.hpp"

#include <clocale>
#include <cstring>

namespace tavimo::display_time {

namespace {

constexpr char weekday_names[7][3] = {
    {'M', 'o', 'n'}, {'T', 'u', 'e'}, {'W', 'e', 'd'}, {'T', 'h', 'u'},
    {'F', 'r', 'i'}, {'S', 'a', 't'}, {'S', 'u', 'n'},
};

constexpr char month_names[12][3] = {
    {'J', 'a', 'n'}, {'F', 'e', 'b'}, {'M', 'a', 'r'}, {'A', 'p', 'r'},
    {'M', 'a', 'y'}, {'J', 'u', 'n'}, {'J', 'u', 'l'}, {'A', 'u', 'g'},
    {'S', 'e', 'p'}, {'O', 'c', 't'}, {'N', 'o', 'v'}, {'D', 'e', 'c'},
};

// Days before the first of each month in a common year.
constexpr int days_before_month[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int days_in_month_common[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// The value of an ASCII digit, or 10 or more for any other character.
constexpr unsigned digit(char c) noexcept { return static_cast<unsigned char>(c) - unsigned{'0'}; }

constexpr bool is_digit(char c) noexcept { return digit(c) <= 9; }

// Reads `count` (2 or 4) ASCII digits at `p` into `value`; false if any of them is not a
// digit.
constexpr bool read_digits(const char* p, int count, int& value) noexcept {
    const unsigned tens = digit(p[0]), ones = digit(p[1]);
    if (count == 2) {
        value = static_cast<int>(tens * 10 + ones);
        return tens <= 9 && ones <= 9;
    }
    const unsigned hundreds = digit(p[2]), units = digit(p[3]);
    value = static_cast<int>(((tens * 10 + ones) * 10 + hundreds) * 10 + units);
    return tens <= 9 && ones <= 9 && hundreds <= 9 && units <= 9;
}

static_assert([] { int v = 0; return read_digits("2021", 4, v) && v == 2021; }());
static_assert([] { int v = 0; return read_digits("09", 2, v) && v == 9; }());
static_assert([] { int v = 0; return read_digits("1982", 4, v) && v == 1982; }());
static_assert([] { int v = 0; return !read_digits("2:21", 4, v) && !read_digits("1/", 2, v); }());

constexpr bool is_leap_year(int year) noexcept {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr int days_in_month(int year, int month) noexcept {
    return month == 2 && is_leap_year(year) ? 29 : days_in_month_common[month - 1];
}

// Day of the week, 0 for Monday, of a valid date of the proleptic Gregorian calendar
// (1 January of year 1 was a Monday).
constexpr int weekday(int year, int month, int day) noexcept {
    const int y = year - 1;
    int ordinal = y * 365 + y / 4 - y / 100 + y / 400 + days_before_month[month - 1] + day;
    if (month > 2 && is_leap_year(year)) ++ordinal;
    return (ordinal + 6) % 7;
}

static_assert(weekday(1, 1, 1) == 0);        // Monday
static_assert(weekday(2021, 6, 1) == 1);     // Tuesday
static_assert(weekday(2000, 2, 29) == 1);    // Tuesday
static_assert(weekday(1970, 1, 1) == 3);     // Thursday
static_assert(weekday(9999, 12, 31) == 4);   // Friday

void put_two_digits(char* p, int value) noexcept {
    p[0] = static_cast<char>('0' + value / 10);
    p[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

bool time_locale_is_c() noexcept {
    const char* name = std::setlocale(LC_TIME, nullptr);
    return name != nullptr && (std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0);
}

bool render_in_c_locale(const char* iso, std::size_t length, char (&out)[16]) noexcept {
    // YYYY-MM-DD?HH:MM is the shortest layout taken.
    if (iso == nullptr || length < 16) return false;

    int year, month, day, hour, minute;
    if (!read_digits(iso, 4, year) || iso[4] != '-' || !read_digits(iso + 5, 2, month) ||
        iso[7] != '-' || !read_digits(iso + 8, 2, day))
        return false;
    if (iso[10] != 'T' && iso[10] != ' ') return false;
    if (!read_digits(iso + 11, 2, hour) || iso[13] != ':' || !read_digits(iso + 14, 2, minute))
        return false;

    std::size_t pos = 16;
    if (pos < length && iso[pos] == ':') {
        int second;
        if (length - pos < 3 || !read_digits(iso + pos + 1, 2, second) || second > 59)
            return false;
        pos += 3;
        if (pos < length && iso[pos] == '.') {
            ++pos;
            std::size_t digits = 0;
            while (pos + digits < length && is_digit(iso[pos + digits])) ++digits;
            if (digits != 3 && digits != 6) return false;
            pos += digits;
        }
    }
    if (pos < length && (iso[pos] == '+' || iso[pos] == '-')) {
        int offset_hours, offset_minutes;
        if (length - pos != 6 || !read_digits(iso + pos + 1, 2, offset_hours) ||
            iso[pos + 3] != ':' || !read_digits(iso + pos + 4, 2, offset_minutes))
            return false;
        if (offset_minutes > 59 || offset_hours * 60 + offset_minutes >= 24 * 60) return false;
        pos += 6;
    }
    if (pos != length) return false;

    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        hour > 23 || minute > 59)
        return false;

    // "Tue 01 Jun 10:15"
    std::memcpy(out, weekday_names[weekday(year, month, day)], 3);
    out[3] = ' ';
    put_two_digits(out + 4, day);
    out[6] = ' ';
    std::memcpy(out + 7, month_names[month - 1], 3);
    out[10] = ' ';
    put_two_digits(out + 11, hour);
    out[13] = ':';
    put_two_digits(out + 14, minute);
    return true;
}

}  // namespace tavimo::display_time
