/*
 * values.h: the typed reading of stored texts for quarn export. FileMaker
 * keeps every value as text, dates and times in the notation of the system
 * that entered them ("5/7/2003", "14/10/1999 12:55", "10:45:06 AM"); these
 * functions tell which texts are numbers as FileMaker reads them (and
 * write those canonically), and turn dates, times and timestamps into ISO
 * 8601, given the file's date order. They know nothing of files or output
 * formats.
 */
#ifndef QUARN_EXPORT_VALUES_H
#define QUARN_EXPORT_VALUES_H

#include <optional>
#include <string>
#include <string_view>

namespace qexport {

/* The number a number field's text spells, as FileMaker reads one: an
 * optional sign (+ or -), digits with a decimal point anywhere in them
 * (".3", "5.", "007"), and an optional exponent ("1e3", "2.5E-4"). Returns
 * it in a canonical form that JSON, SQL, PostgreSQL's numeric and a
 * spreadsheet all read back as the same number: no "+", leading zeros
 * dropped but one before the point ("-.25" -> "-0.25", "007" -> "7"), no
 * point without digits after it ("5." -> "5"), the fraction's digits as
 * stored, the exponent as "e", its sign when negative and its digits
 * without leading zeros ("2.5E-04" -> "2.5e-4"). No float conversion, so
 * no digit is lost. nullopt for any other text ("1,5", "12 kg", ".", "e5",
 * "1e", " 1"). */
std::optional<std::string> canonical_number(std::string_view text);

/* canonical_number in place: true, with text in the canonical form, for a
 * number; false, text unchanged, for anything else. A text already in
 * that form (most are: "12", "-3.25") is only looked at. */
bool make_canonical_number(std::string &text);

/* Significant digits of a canonical number, its exponent not counted
 * ("0.0012" has 2, "120" has 3, "1.50e9" has 3). */
int significant_digits(std::string_view text);

/* Turns each CR LF and each lone CR of text into LF: files of the
 * earlier generation store a line break as CR, and the later ones give LF
 * for the same text. */
void unify_line_breaks(std::string &text);

/* Which number comes first in a date written with two small numbers and a
 * year. */
enum class DateOrder { unknown, month_day, day_month, conflicting };

/* What the values of a file say about its date order: every date (or the
 * date part of a timestamp) whose first number is above 12 counts for
 * day/month, whose second is above 12 for month/day. */
class DateOrderEvidence {
  public:
    /* Looks at one stored date or timestamp text. */
    void add(std::string_view text);
    /* unknown without evidence, conflicting with evidence both ways. */
    DateOrder order() const;
    /* Merges what another collection saw. */
    void merge(const DateOrderEvidence &other);

  private:
    bool month_day_ = false;
    bool day_month_ = false;
};

/* A calendar date, a time of day, or both. */
struct DateTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0;
    /* the digits after the decimal point of the seconds, as stored */
    std::string fraction;
};

/* The kinds of typed value. */
enum class Temporal { date, time, timestamp };

/* Why a text did not convert, for the warning line; empty when it did. */
struct ParseResult {
    bool ok = false;
    DateTime value;
    std::string why; /* "could be month/day or day/month", ... */
};

/* Reads text as a value of the kind in the given date order. Dates are
 * three numbers separated by "/", "." or "-" (month/day/year or
 * day/month/year with a four-digit year), or year-month-day; times are
 * hours:minutes[:seconds[.fraction]] with an optional AM/PM (12 AM is
 * midnight), hours 0 to 23; a timestamp is a date, a space, and a time. A
 * date whose two small numbers are equal or one of them above 12 reads the
 * same in both orders, so needs no order. */
ParseResult parse_temporal(std::string_view text, Temporal kind, DateOrder order);

/* ISO 8601 text of a parsed value: "2003-05-07", "13:19:34",
 * "2003-05-07T13:19:34" (with ".fraction" when there was one). */
std::string iso_text(const DateTime &value, Temporal kind);

} // namespace qexport

#endif
