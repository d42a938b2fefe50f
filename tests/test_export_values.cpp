/*
 * The pieces of quarn export that decide what a value and a name become:
 * numbers as FileMaker reads them, dates, times and timestamps in the
 * file's date order, the evidence for that order, safe and unique file,
 * sheet and column names, and the columns of a flat table under a column
 * limit.
 */
#include "format.h"
#include "names.h"
#include "values.h"

#include <gtest/gtest.h>

namespace {

using qexport::DateOrder;
using qexport::Temporal;

TEST(ExportValues, NumbersAsFileMakerReadsThem) {
    const struct {
        const char *text;
        const char *number; /* canonical form; nullptr: stays text */
    } cases[] = {
        {"0", "0"},
        {"7", "7"},
        {"-3", "-3"},
        {"12.50", "12.50"},
        {"-0.001", "-0.001"},
        {"123456789012345678901234567890", "123456789012345678901234567890"},
        {".3", "0.3"},
        {".5", "0.5"},
        {"-.25", "-0.25"},
        {"-0.25", "-0.25"},
        {"5.", "5"},
        {"1.", "1"},
        {"+5", "5"},
        {"+.5", "0.5"},
        {"+1", "1"},
        {"007", "7"},
        {"00.5", "0.5"},
        {"000", "0"},
        {"0.000", "0.000"},
        {"1e3", "1e3"},
        {"1E3", "1e3"},
        {"2.5E-04", "2.5e-4"},
        {"2.5e+4", "2.5e4"},
        {"-.5e-0", "-0.5e-0"},
        {"1e007", "1e7"},
        {"", nullptr},
        {"-", nullptr},
        {"+", nullptr},
        {".", nullptr},
        {"-.", nullptr},
        {"e5", nullptr},
        {".e5", nullptr},
        {"1e", nullptr},
        {"1e+", nullptr},
        {"1e3.5", nullptr},
        {"1,5", nullptr},
        {"12 kg", nullptr},
        {" 1", nullptr},
        {"1 ", nullptr},
        {"1.2.3", nullptr},
        {"--1", nullptr},
        {"+-1", nullptr},
        {"NaN", nullptr},
        {"inf", nullptr},
        {"0x1A", nullptr},
        {"½", nullptr},
    };
    for (const auto &c : cases) {
        const std::optional<std::string> number = qexport::canonical_number(c.text);
        if (c.number) {
            ASSERT_TRUE(number) << '"' << c.text << "\" stayed text";
            EXPECT_EQ(*number, c.number) << '"' << c.text << '"';
            EXPECT_EQ(qexport::canonical_number(*number), *number) << "the canonical form is its own";
        } else {
            EXPECT_FALSE(number) << '"' << c.text << "\" read as " << *number;
        }
        /* in place, the same answer; a text that is no number stays */
        std::string in_place = c.text;
        EXPECT_EQ(qexport::make_canonical_number(in_place), c.number != nullptr) << '"' << c.text << '"';
        EXPECT_EQ(in_place, c.number ? c.number : c.text) << '"' << c.text << '"';
    }
}

TEST(ExportValues, SignificantDigits) {
    EXPECT_EQ(qexport::significant_digits("0.0012"), 2);
    EXPECT_EQ(qexport::significant_digits("120"), 3);
    EXPECT_EQ(qexport::significant_digits("-10.50"), 4);
    EXPECT_EQ(qexport::significant_digits("1234567890123456"), 16);
    EXPECT_EQ(qexport::significant_digits("1.50e9"), 3) << "the exponent's digits are not the number's";
    EXPECT_EQ(qexport::significant_digits("2.5e-400"), 2);
}

TEST(ExportValues, LineBreaksBecomeLf) {
    const struct {
        std::string stored, unified;
    } cases[] = {{"", ""},
                 {"no break", "no break"},
                 {"a\rb", "a\nb"},
                 {"a\r\nb", "a\nb"},
                 {"a\nb", "a\nb"},
                 {"\r\r\n\n\r", "\n\n\n\n"},
                 {"end\r", "end\n"},
                 {"\n\r", "\n\n"},
                 {std::string("nul\0\r", 5), std::string("nul\0\n", 5)}};
    for (const auto &c : cases) {
        std::string text = c.stored;
        qexport::unify_line_breaks(text);
        EXPECT_EQ(text, c.unified) << testing::PrintToString(c.stored);
    }
}

TEST(ExportValues, TemporalTexts) {
    const struct {
        const char *text;
        Temporal kind;
        DateOrder order;
        const char *iso; /* nullptr: keeps its text */
    } cases[] = {
        {"5/7/2003", Temporal::date, DateOrder::month_day, "2003-05-07"},
        {"5/7/2003", Temporal::date, DateOrder::day_month, "2003-07-05"},
        {"5/7/2003", Temporal::date, DateOrder::unknown, nullptr},
        {"5/7/2003", Temporal::date, DateOrder::conflicting, nullptr},
        {"7/7/2003", Temporal::date, DateOrder::unknown, "2003-07-07"},
        {"14/10/1999", Temporal::date, DateOrder::unknown, "1999-10-14"},
        {"14/10/1999", Temporal::date, DateOrder::day_month, "1999-10-14"},
        {"14/10/1999", Temporal::date, DateOrder::month_day, nullptr},
        {"10/14/1999", Temporal::date, DateOrder::month_day, "1999-10-14"},
        {"14.10.1999", Temporal::date, DateOrder::day_month, "1999-10-14"},
        {"2017-06-18", Temporal::date, DateOrder::unknown, "2017-06-18"},
        {"2/29/2004", Temporal::date, DateOrder::month_day, "2004-02-29"},
        {"2/29/2003", Temporal::date, DateOrder::month_day, nullptr},
        {"13/13/2003", Temporal::date, DateOrder::unknown, nullptr},
        {"5/7/03", Temporal::date, DateOrder::month_day, nullptr},
        {"5/7-2003", Temporal::date, DateOrder::month_day, nullptr},
        {"today", Temporal::date, DateOrder::month_day, nullptr},
        {"10:45:06 AM", Temporal::time, DateOrder::unknown, "10:45:06"},
        {"3:51:38 PM", Temporal::time, DateOrder::unknown, "15:51:38"},
        {"12:00:00 AM", Temporal::time, DateOrder::unknown, "00:00:00"},
        {"12:30 PM", Temporal::time, DateOrder::unknown, "12:30:00"},
        {"11:53:56", Temporal::time, DateOrder::unknown, "11:53:56"},
        {"23:59:59.25", Temporal::time, DateOrder::unknown, "23:59:59.25"},
        {"13:00 PM", Temporal::time, DateOrder::unknown, nullptr},
        {"24:00:00", Temporal::time, DateOrder::unknown, nullptr},
        {"25:10", Temporal::time, DateOrder::unknown, nullptr},
        {"9:5", Temporal::time, DateOrder::unknown, nullptr},
        {"14/10/1999 12:55", Temporal::timestamp, DateOrder::day_month, "1999-10-14T12:55:00"},
        {"6/8/2025 3:43:26 PM", Temporal::timestamp, DateOrder::month_day, "2025-06-08T15:43:26"},
        {"6/8/2025 3:43:26 PM", Temporal::timestamp, DateOrder::unknown, nullptr},
        {"6/6/2025 9:56:17 AM", Temporal::timestamp, DateOrder::unknown, "2025-06-06T09:56:17"},
        {"6/6/2025", Temporal::timestamp, DateOrder::unknown, nullptr},
    };
    for (const auto &c : cases) {
        const qexport::ParseResult result = qexport::parse_temporal(c.text, c.kind, c.order);
        if (c.iso) {
            ASSERT_TRUE(result.ok) << c.text << ": " << result.why;
            EXPECT_EQ(qexport::iso_text(result.value, c.kind), c.iso) << c.text;
        } else {
            EXPECT_FALSE(result.ok) << c.text << " read as " << qexport::iso_text(result.value, c.kind);
            EXPECT_FALSE(result.why.empty()) << c.text;
        }
    }
}

TEST(ExportValues, DateOrderFromTheValues) {
    const struct {
        std::vector<const char *> texts;
        DateOrder order;
    } cases[] = {
        {{}, DateOrder::unknown},
        {{"01/09/2018", "5/5/2001", "2017-06-18", "garbage"}, DateOrder::unknown},
        {{"01/09/2018", "12/31/2001"}, DateOrder::month_day},
        {{"01/09/2018", "31/12/2001 10:00"}, DateOrder::day_month},
        {{"12/31/2001", "31/12/2001"}, DateOrder::conflicting},
        {{"13/13/2001"}, DateOrder::unknown},
    };
    for (const auto &c : cases) {
        qexport::DateOrderEvidence evidence;
        for (const char *text : c.texts) evidence.add(text);
        EXPECT_EQ(evidence.order(), c.order) << c.texts.size() << " texts";
    }
    qexport::DateOrderEvidence a, b;
    a.add("12/31/2001");
    b.add("31/12/2001");
    a.merge(b);
    EXPECT_EQ(a.order(), DateOrder::conflicting);
}

TEST(ExportNames, SafeFileNames) {
    EXPECT_EQ(qexport::safe_file_name("Customers", "x"), "Customers");
    EXPECT_EQ(qexport::safe_file_name("a/b\\c:d*e?f\"g<h>i|j", "x"), "a_b_c_d_e_f_g_h_i_j");
    EXPECT_EQ(qexport::safe_file_name(std::string("tab\tnew\nline\x01", 14), "x"), "tab_new_line__") << "NUL too";
    EXPECT_EQ(qexport::safe_file_name("..", "fallback"), "fallback");
    EXPECT_EQ(qexport::safe_file_name(" .hidden. ", "x"), "hidden");
    EXPECT_EQ(qexport::safe_file_name("", "table 3"), "table 3");
    EXPECT_EQ(qexport::safe_file_name("日本語", "x"), "日本語");
    const std::string long_name = qexport::safe_file_name(std::string(150, 'a') + std::string(60, '\xC3') , "x");
    EXPECT_LE(long_name.size(), 200u);
    const std::string cut = qexport::safe_file_name(std::string(199, 'a') + "é", "x");
    EXPECT_EQ(cut, std::string(199, 'a')) << "a character is never cut in two";
}

TEST(ExportNames, SheetNames) {
    EXPECT_EQ(qexport::sheet_name("Orders [2024]: a*b?c/d\\e", "S"), "Orders _2024__ a_b_c_d_e");
    EXPECT_EQ(qexport::sheet_name("'quoted'", "S"), "quoted");
    EXPECT_EQ(qexport::sheet_name("", "Table 4"), "Table 4");
    EXPECT_EQ(qexport::character_count(qexport::sheet_name(std::string(40, 'x'), "S")), 31u);
    EXPECT_EQ(qexport::sheet_name("ÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖÜäöüß", "S"), "ÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖÜ");

    qexport::UniqueNames sheets(" (", ")", 31);
    EXPECT_EQ(sheets.take("Data"), "Data");
    EXPECT_EQ(sheets.take("DATA"), "DATA (2)");
    EXPECT_EQ(sheets.take("data"), "data (3)");
    const std::string long_sheet(31, 'y');
    EXPECT_EQ(sheets.take(long_sheet), long_sheet);
    EXPECT_EQ(sheets.take(long_sheet), std::string(27, 'y') + " (2)");
}

TEST(ExportNames, UniqueFileNamesKeepTheExtension) {
    qexport::UniqueNames files;
    EXPECT_EQ(files.take("a_b", ".csv"), "a_b.csv");
    EXPECT_EQ(files.take("A_B", ".csv"), "A_B (2).csv");
    files.reserve("x.csv");
    EXPECT_EQ(files.take("x", ".csv"), "x (2).csv");
}

qexport::TablePlan plan_of(const std::vector<int> &used, bool record_id = false) {
    qexport::TablePlan plan;
    plan.record_id = record_id;
    for (size_t i = 0; i < used.size(); i++) {
        qexport::FieldPlan field;
        field.name = "F" + std::to_string(i + 1);
        field.used_repetitions = used[i];
        plan.fields.push_back(field);
    }
    return plan;
}

TEST(ExportColumns, RepetitionsBecomeColumns) {
    std::vector<qexport::FlatColumn> columns;
    std::vector<std::string> overflowed;
    ASSERT_TRUE(qexport::flat_columns(plan_of({1, 3, 1}, true), 0, &columns, &overflowed));
    std::vector<std::string> names;
    for (const auto &c : columns) names.push_back(c.name);
    EXPECT_EQ(names, (std::vector<std::string>{"record_id", "F1", "F2", "F2[2]", "F2[3]", "F3"}));
    EXPECT_TRUE(overflowed.empty());
}

TEST(ExportColumns, PastTheLimitOneOverflowColumn) {
    std::vector<qexport::FlatColumn> columns;
    std::vector<std::string> overflowed;
    /* limit 6: F1 and F3 need a column each, F2 gets four: three plain and
     * the rest from repetition 4 on in one column */
    ASSERT_TRUE(qexport::flat_columns(plan_of({1, 10, 1}), 6, &columns, &overflowed));
    ASSERT_EQ(columns.size(), 6u);
    EXPECT_EQ(columns[3].name, "F2[3]");
    EXPECT_EQ(columns[4].name, "F2[4\u2026]");
    EXPECT_TRUE(columns[4].overflow);
    EXPECT_EQ(columns[4].repetition, 4);
    EXPECT_EQ(columns[5].name, "F3");
    EXPECT_EQ(overflowed, std::vector<std::string>{"F2"});
    /* at a sheet's width */
    ASSERT_TRUE(qexport::flat_columns(plan_of({20000}), 16384, &columns, &overflowed));
    EXPECT_EQ(columns.size(), 16384u);
    EXPECT_EQ(columns.back().name, "F1[16384\u2026]");
    /* more fields than columns */
    EXPECT_FALSE(qexport::flat_columns(plan_of({1, 1, 1}), 2, &columns, &overflowed));
}

TEST(ExportColumns, OverflowJson) {
    std::vector<qexport::Cell> cells(4);
    cells[1].type = qexport::CellType::number;
    cells[1].text = "2.5";
    cells[2].type = qexport::CellType::text;
    cells[2].text = "a \"b\"";
    EXPECT_EQ(qexport::overflow_json(cells, 2), "[2.5,\"a \\\"b\\\"\",null]");
}

} // namespace
