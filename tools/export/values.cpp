/*
 * values.cpp: numbers as FileMaker reads them, and dates, times and timestamps read
 * from the stored texts in the file's date order (values.h).
 */
#include "values.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

namespace qexport {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

/* Reads 1 to max_digits digits at text[pos]; advances pos. */
std::optional<int> read_number(std::string_view text, size_t &pos, size_t max_digits,
                               size_t *digits_read = nullptr) {
    size_t start = pos;
    int value = 0;
    while (pos < text.size() && digit(text[pos]) && pos - start < max_digits) {
        value = value * 10 + (text[pos] - '0');
        pos++;
    }
    if (pos == start || (pos < text.size() && digit(text[pos]))) return std::nullopt;
    if (digits_read) *digits_read = pos - start;
    return value;
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : days[month - 1];
}

bool valid_date(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= days_in_month(year, month);
}

/* The shape of a date: its three numbers as written. */
struct DateShape {
    bool iso = false; /* year-month-day */
    int a = 0, b = 0, year = 0;
};

std::optional<DateShape> date_shape(std::string_view text) {
    size_t pos = 0;
    size_t width = 0;
    const auto first = read_number(text, pos, 4, &width);
    if (!first || pos >= text.size()) return std::nullopt;
    const char separator = text[pos];
    if (separator != '/' && separator != '.' && separator != '-') return std::nullopt;
    pos++;
    const auto second = read_number(text, pos, 2);
    if (!second || pos >= text.size() || text[pos] != separator) return std::nullopt;
    pos++;
    size_t year_width = 0;
    const auto third = read_number(text, pos, 4, &year_width);
    if (!third || pos != text.size()) return std::nullopt;
    DateShape shape;
    if (width == 4) {
        if (separator != '-' || year_width > 2) return std::nullopt;
        shape.iso = true;
        shape.year = *first;
        shape.a = *second;
        shape.b = *third;
        return shape;
    }
    if (width > 2 || year_width != 4) return std::nullopt;
    shape.a = *first;
    shape.b = *second;
    shape.year = *third;
    return shape;
}

/* Splits a timestamp into its date and its time at the first space. */
std::string_view date_part(std::string_view text) {
    const size_t space = text.find(' ');
    return space == std::string_view::npos ? text : text.substr(0, space);
}

ParseResult fail(std::string why) {
    ParseResult result;
    result.why = std::move(why);
    return result;
}

ParseResult parse_date(std::string_view text, DateOrder order) {
    const auto shape = date_shape(text);
    if (!shape) return fail("is not a date of the forms month/day/year, day/month/year or year-month-day");
    ParseResult result;
    DateTime &v = result.value;
    if (shape->iso) {
        v.year = shape->year, v.month = shape->a, v.day = shape->b;
    } else if (shape->a == shape->b || shape->a > 12 || shape->b > 12) {
        /* reads the same in both orders, or only in one */
        const bool day_first = shape->a > 12;
        v.year = shape->year;
        v.month = day_first ? shape->b : shape->a;
        v.day = day_first ? shape->a : shape->b;
        if (order == DateOrder::month_day && day_first) return fail("has a month above 12 in the file's month/day order");
        if (order == DateOrder::day_month && shape->b > 12) return fail("has a month above 12 in the file's day/month order");
    } else if (order == DateOrder::month_day || order == DateOrder::day_month) {
        const bool day_first = order == DateOrder::day_month;
        v.year = shape->year;
        v.month = day_first ? shape->b : shape->a;
        v.day = day_first ? shape->a : shape->b;
    } else if (order == DateOrder::conflicting) {
        return fail("could be month/day or day/month, and the file's dates are written both ways");
    } else {
        return fail("could be month/day or day/month, and no date of the file tells which");
    }
    if (!valid_date(v.year, v.month, v.day)) return fail("is not a day of the calendar");
    result.ok = true;
    return result;
}

ParseResult parse_time(std::string_view text) {
    size_t pos = 0;
    ParseResult result;
    DateTime &v = result.value;
    const auto hour = read_number(text, pos, 2);
    if (!hour || pos >= text.size() || text[pos] != ':') return fail("is not a time of the form hours:minutes[:seconds]");
    pos++;
    size_t width = 0;
    const auto minute = read_number(text, pos, 2, &width);
    if (!minute || width != 2) return fail("is not a time of the form hours:minutes[:seconds]");
    int second = 0;
    if (pos < text.size() && text[pos] == ':') {
        pos++;
        const auto s = read_number(text, pos, 2, &width);
        if (!s || width != 2) return fail("is not a time of the form hours:minutes[:seconds]");
        second = *s;
        if (pos < text.size() && text[pos] == '.') {
            pos++;
            const size_t start = pos;
            while (pos < text.size() && digit(text[pos])) pos++;
            if (pos == start) return fail("is not a time of the form hours:minutes[:seconds]");
            v.fraction = std::string(text.substr(start, pos - start));
        }
    }
    int h = *hour;
    std::string_view rest = text.substr(pos);
    if (!rest.empty()) {
        if (rest.front() == ' ') rest.remove_prefix(1);
        if (rest.size() != 2 || (rest[1] != 'M' && rest[1] != 'm') ||
            (rest[0] != 'A' && rest[0] != 'a' && rest[0] != 'P' && rest[0] != 'p'))
            return fail("is not a time of the form hours:minutes[:seconds]");
        if (h < 1 || h > 12) return fail("has an hour outside 1 to 12 before AM or PM");
        const bool pm = rest[0] == 'P' || rest[0] == 'p';
        h = h % 12 + (pm ? 12 : 0);
    }
    if (h > 23 || *minute > 59 || second > 59) return fail("is not a time of day");
    v.hour = h, v.minute = *minute, v.second = second;
    result.ok = true;
    return result;
}

} // namespace

/* True for a text canonical_number would give back unchanged that needs no
 * exponent: an optional minus, digits without a leading zero (a lone 0
 * is one), and optionally a point followed by digits. */
static bool is_canonical_plain(std::string_view text) {
    size_t pos = 0;
    if (pos < text.size() && text[pos] == '-') pos++;
    const size_t start = pos;
    while (pos < text.size() && digit(text[pos])) pos++;
    const size_t digits = pos - start;
    if (digits == 0 || (digits > 1 && text[start] == '0')) return false;
    if (pos == text.size()) return true;
    if (text[pos] != '.') return false;
    pos++;
    const size_t fraction = pos;
    while (pos < text.size() && digit(text[pos])) pos++;
    return pos > fraction && pos == text.size();
}

bool make_canonical_number(std::string &text) {
    if (is_canonical_plain(text)) return true;
    std::optional<std::string> number = canonical_number(text);
    if (!number) return false;
    text = std::move(*number);
    return true;
}

std::optional<std::string> canonical_number(std::string_view text) {
    size_t pos = 0;
    const bool negative = pos < text.size() && text[pos] == '-';
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) pos++;
    const size_t whole = pos;
    while (pos < text.size() && digit(text[pos])) pos++;
    std::string_view integer = text.substr(whole, pos - whole), fraction;
    if (pos < text.size() && text[pos] == '.') {
        const size_t start = ++pos;
        while (pos < text.size() && digit(text[pos])) pos++;
        fraction = text.substr(start, pos - start);
    }
    if (integer.empty() && fraction.empty()) return std::nullopt;
    std::string exponent;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        pos++;
        const bool below = pos < text.size() && text[pos] == '-';
        if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) pos++;
        const size_t start = pos;
        while (pos < text.size() && digit(text[pos])) pos++;
        if (pos == start) return std::nullopt;
        std::string_view digits = text.substr(start, pos - start);
        while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
        exponent = std::string("e") + (below ? "-" : "") + std::string(digits);
    }
    if (pos != text.size()) return std::nullopt;
    while (integer.size() > 1 && integer.front() == '0') integer.remove_prefix(1);
    std::string out = negative ? "-" : "";
    out += integer.empty() ? "0" : std::string(integer);
    if (!fraction.empty()) out += "." + std::string(fraction);
    return out + exponent;
}

int significant_digits(std::string_view text) {
    text = text.substr(0, std::min(text.find('e'), text.size()));
    int count = 0, zeros_pending = 0;
    bool started = false;
    for (char c : text) {
        if (!digit(c)) continue;
        if (c == '0') {
            if (started) zeros_pending++;
            continue;
        }
        started = true;
        count += zeros_pending + 1;
        zeros_pending = 0;
    }
    /* trailing zeros of an integer part count ("120": 3); those after a
     * decimal point do too, as they were stored */
    count += zeros_pending;
    return count;
}

void unify_line_breaks(std::string &text) {
    size_t at = text.find('\r');
    if (at == std::string::npos) return;
    size_t out = at;
    for (; at < text.size(); at++) {
        if (text[at] != '\r') {
            text[out++] = text[at];
            continue;
        }
        text[out++] = '\n';
        if (at + 1 < text.size() && text[at + 1] == '\n') at++;
    }
    text.resize(out);
}

void DateOrderEvidence::add(std::string_view text) {
    const auto shape = date_shape(date_part(text));
    if (!shape || shape->iso) return;
    if (shape->a > 12 && shape->b <= 12) day_month_ = true;
    if (shape->b > 12 && shape->a <= 12) month_day_ = true;
}

DateOrder DateOrderEvidence::order() const {
    if (month_day_ && day_month_) return DateOrder::conflicting;
    if (month_day_) return DateOrder::month_day;
    if (day_month_) return DateOrder::day_month;
    return DateOrder::unknown;
}

void DateOrderEvidence::merge(const DateOrderEvidence &other) {
    month_day_ = month_day_ || other.month_day_;
    day_month_ = day_month_ || other.day_month_;
}

ParseResult parse_temporal(std::string_view text, Temporal kind, DateOrder order) {
    switch (kind) {
    case Temporal::date: return parse_date(text, order);
    case Temporal::time: return parse_time(text);
    case Temporal::timestamp: {
        const size_t space = text.find(' ');
        if (space == std::string_view::npos) return fail("is not a date and a time");
        ParseResult date = parse_date(text.substr(0, space), order);
        if (!date.ok) return date;
        ParseResult time = parse_time(text.substr(space + 1));
        if (!time.ok) return time;
        time.value.year = date.value.year;
        time.value.month = date.value.month;
        time.value.day = date.value.day;
        return time;
    }
    }
    return fail("has no known kind");
}

std::string iso_text(const DateTime &v, Temporal kind) {
    char text[64];
    switch (kind) {
    case Temporal::date: snprintf(text, sizeof text, "%04d-%02d-%02d", v.year, v.month, v.day); break;
    case Temporal::time: snprintf(text, sizeof text, "%02d:%02d:%02d", v.hour, v.minute, v.second); break;
    case Temporal::timestamp:
        snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", v.year, v.month, v.day, v.hour,
                 v.minute, v.second);
        break;
    }
    std::string out = text;
    if (kind != Temporal::date && !v.fraction.empty()) out += "." + v.fraction;
    return out;
}

} // namespace qexport
