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

#include <bit>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <type_traits>

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

static_assert([] {
    int v = 0;
    return read_digits("2021", 4, v) && v == 2021;
}());
static_assert([] {
    int v = 0;
    return read_digits("09", 2, v) && v == 9;
}());
static_assert([] {
    int v = 0;
    return read_digits("1982", 4, v) && v == 1982;
}());
static_assert([] {
    int v = 0;
    return !read_digits("2:21", 4, v) && !read_digits("1/", 2, v);
}());

// The first sixteen characters, YYYY-MM-DD?HH:MM, are checked eight at a time: each group
// read as one machine word and compared with a layout of eight characters, where 'd' stands
// for an ASCII digit and '?' for any character.
struct Layout {
    std::uint64_t fixed_mask = 0, fixed_value = 0;  // the bytes of the layout's own characters
    std::uint64_t digit_mask = 0;                   // 0xFF at each digit
};

constexpr Layout layout_of(const char (&characters)[9]) noexcept {
    Layout layout;
    for (int i = 0; i < 8; ++i) {
        // Byte i of the text is byte i of the word counted from its lowest on a
        // little-endian machine, from its highest on a big-endian one.
        const int shift = 8 * (std::endian::native == std::endian::little ? i : 7 - i);
        const auto c = static_cast<unsigned char>(characters[i]);
        if (c == 'd') {
            layout.digit_mask |= std::uint64_t{0xFF} << shift;
        } else if (c != '?') {
            layout.fixed_mask |= std::uint64_t{0xFF} << shift;
            layout.fixed_value |= std::uint64_t{c} << shift;
        }
    }
    return layout;
}

constexpr Layout date_layout = layout_of("dddd-dd-");
constexpr Layout time_layout = layout_of("dd?dd:dd");

constexpr std::uint64_t in_every_byte(std::uint8_t byte) noexcept {
    return std::uint64_t{0x0101010101010101} * byte;
}

// Whether the eight characters at `text` follow `layout`.  A byte is an ASCII digit (0x30
// to 0x39) when its high half is 3 and still is with 6 added; adding 6 to bytes whose high
// half is 3 carries into no other byte, and where a high half is not 3 the answer is no
// whatever a carry did.
constexpr bool follows(const char* text, const Layout& layout) noexcept {
    std::uint64_t word = 0;
    if (std::is_constant_evaluated()) {
        for (int i = 0; i < 8; ++i) {
            const int shift = 8 * (std::endian::native == std::endian::little ? i : 7 - i);
            word |= std::uint64_t{static_cast<unsigned char>(text[i])} << shift;
        }
    } else {
        std::memcpy(&word, text, sizeof word);
    }
    const std::uint64_t high_halves = layout.digit_mask & in_every_byte(0xF0);
    const std::uint64_t threes = layout.digit_mask & in_every_byte(0x30);
    const std::uint64_t sixes = layout.digit_mask & in_every_byte(0x06);
    return (word & layout.fixed_mask) == layout.fixed_value && (word & high_halves) == threes &&
           ((word + sixes) & high_halves) == threes;
}

static_assert(follows("2021-06-", date_layout) && follows("10T15:00", time_layout) &&
              follows("10 15:00", time_layout));
static_assert(!follows("2021/06-", date_layout) && !follows("202:-06-", date_layout) &&
              !follows("2021-0/-", date_layout) && !follows("10T15:0?", time_layout) &&
              !follows("1@T15:00", time_layout) && !follows("10T15-00", time_layout));

// The number written by two or four ASCII digits at `text`, already checked.
constexpr int two_digits_at(const char* text) noexcept {
    return (text[0] - '0') * 10 + (text[1] - '0');
}
constexpr int four_digits_at(const char* text) noexcept {
    return two_digits_at(text) * 100 + two_digits_at(text + 2);
}

constexpr bool is_leap_year(int year) noexcept {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr int days_in_month(int year, int month) noexcept {
    return month == 2 && is_leap_year(year) ? 29 : days_in_month_common[month - 1];
}

// Day of the week, 0 for Monday, of a valid date of the proleptic Gregorian calendar
// (1 January of year 1 was a Monday).
constexpr int weekday(int year, int month, int day) noexcept {
    const auto y = static_cast<unsigned>(year - 1);
    unsigned ordinal = y * 365 + y / 4 - y / 100 + y / 400 +
                       static_cast<unsigned>(days_before_month[month - 1] + day);
    if (month > 2 && is_leap_year(year)) ++ordinal;
    return static_cast<int>((ordinal + 6) % 7);
}

static_assert(weekday(1, 1, 1) == 0);       // Monday
static_assert(weekday(2021, 6, 1) == 1);    // Tuesday
static_assert(weekday(2000, 2, 29) == 1);   // Tuesday
static_assert(weekday(1970, 1, 1) == 3);    // Thursday
static_assert(weekday(9999, 12, 31) == 4);  // Friday

}  // namespace

bool time_locale_is_c() noexcept {
    const char* name = std::setlocale(LC_TIME, nullptr);
    return name != nullptr && (std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0);
}

bool render_in_c_locale(const char* iso, std::size_t length, char (&out)[16]) noexcept {
    // YYYY-MM-DD?HH:MM is the shortest layout taken.
    if (iso == nullptr || length < 16) return false;

    if (!follows(iso, date_layout) || !follows(iso + 8, time_layout) ||
        (iso[10] != 'T' && iso[10] != ' '))
        return false;
    const int year = four_digits_at(iso), month = two_digits_at(iso + 5),
              day = two_digits_at(iso + 8), hour = two_digits_at(iso + 11),
              minute = two_digits_at(iso + 14);

    std::size_t pos = 16;
    if (pos < length && iso[pos] == ':') {
        int second;
        if (length - pos < 3 || !read_digits(iso + pos + 1, 2, second) || second > 59) return false;
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
    std::memcpy(out + 4, iso + 8, 2);  // the day, hour and minute as written: two digits each
    out[6] = ' ';
    std::memcpy(out + 7, month_names[month - 1], 3);
    out[10] = ' ';
    std::memcpy(out + 11, iso + 11, 2);
    out[13] = ':';
    std::memcpy(out + 14, iso + 14, 2);
    return true;
}

}  // namespace tavimo::display_time
