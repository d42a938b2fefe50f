/*
 * quarn-to-xlsx end to end: database files made by the test writer are
 * converted, and the workbook is read back as the zip of XML parts it is,
 * through the unzip program: sheet names in order, the frozen header row,
 * cells by position, inline strings. Also the command line, every failure
 * with its message and status, values and names the sheet refuses, a
 * workbook that cannot be written, and the real files of the corpus.
 */
#include <gtest/gtest.h>

#include "process.h"
#include "writer.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using qw::Generation;

const char kFrozenHeaderPane[] =
    "<pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" state=\"frozen\"/>";

std::string tool() { return qt::tool_path("quarn-to-xlsx"); }

qt::RunResult convert(const std::string &input, const std::string &output) {
    return qt::run(tool(), {input, output});
}

/* The unzip program from the search path; "" when there is none. */
std::string unzip_program() {
    for (const char *dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        const std::string path = std::string(dir) + "/unzip";
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

/* One part of a workbook, through "unzip -p"; nullopt when unzip fails
 * (no such part, or not a zip). */
std::optional<std::string> part(const std::string &xlsx, const std::string &name) {
    const qt::RunResult r = qt::run(unzip_program(), {"-p", xlsx, name});
    if (r.status != 0) return std::nullopt;
    return r.out;
}

/* "unzip -l": the listing, or nullopt when unzip finds fault with the zip. */
std::optional<std::string> listing(const std::string &xlsx) {
    const qt::RunResult r = qt::run(unzip_program(), {"-l", xlsx});
    if (r.status != 0) return std::nullopt;
    return r.out;
}

void append_utf8(std::string &out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

/* XML text as a spreadsheet reader sees it: the five entities and the
 * _xHHHH_ escapes that stand for control characters. */
std::string unescape(const std::string &xml) {
    static const std::pair<const char *, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < xml.size();) {
        bool matched = false;
        for (const auto &[entity, c] : entities) {
            const std::string e = entity;
            if (xml.compare(i, e.size(), e) == 0) {
                out += c;
                i += e.size();
                matched = true;
                break;
            }
        }
        if (matched) continue;
        if (xml.compare(i, 2, "_x") == 0 && i + 7 <= xml.size() && xml[i + 6] == '_' &&
            xml.substr(i + 2, 4).find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos) {
            append_utf8(out, uint32_t(std::stoul(xml.substr(i + 2, 4), nullptr, 16)));
            i += 7;
            continue;
        }
        out += xml[i++];
    }
    return out;
}

/* The sheet names of xl/workbook.xml, in order. */
std::vector<std::string> sheet_names(const std::string &workbook_xml) {
    std::vector<std::string> names;
    const std::string tag = "<sheet name=\"";
    for (size_t pos = workbook_xml.find(tag); pos != std::string::npos;
         pos = workbook_xml.find(tag, pos)) {
        pos += tag.size();
        const size_t end = workbook_xml.find('"', pos);
        names.push_back(unescape(workbook_xml.substr(pos, end - pos)));
    }
    return names;
}

struct Cell {
    std::string type; /* the t attribute */
    std::string text; /* the inline string, unescaped */
};

/* What a worksheet part holds: its row numbers in order and its cells by
 * reference. Read by plain string search: values may be 32K long, too long
 * for a backtracking regex. */
struct Sheet {
    std::string xml;
    std::vector<int> rows;
    std::map<std::string, Cell> cells;
};

Sheet parse_sheet(const std::string &xml) {
    Sheet sheet;
    sheet.xml = xml;
    for (size_t pos = xml.find("<row r=\""); pos != std::string::npos;
         pos = xml.find("<row r=\"", pos + 1))
        sheet.rows.push_back(std::stoi(xml.substr(pos + 8, 12)));
    for (size_t pos = xml.find("<c r=\""); pos != std::string::npos;
         pos = xml.find("<c r=\"", pos + 1)) {
        const size_t ref_end = xml.find('"', pos + 6);
        const std::string ref = xml.substr(pos + 6, ref_end - pos - 6);
        const size_t open_end = xml.find('>', ref_end);
        const std::string attributes = xml.substr(ref_end + 1, open_end - ref_end - 1);
        Cell cell;
        const size_t t = attributes.find("t=\"");
        if (t != std::string::npos)
            cell.type = attributes.substr(t + 3, attributes.find('"', t + 3) - t - 3);
        if (xml[open_end - 1] != '/') {
            const size_t close = xml.find("</c>", open_end);
            const std::string inner = xml.substr(open_end + 1, close - open_end - 1);
            const size_t text_start = inner.find("<t");
            if (text_start != std::string::npos) {
                const size_t text_open_end = inner.find('>', text_start);
                const size_t text_end = inner.find("</t>", text_open_end);
                cell.text = unescape(inner.substr(text_open_end + 1, text_end - text_open_end - 1));
            }
        }
        sheet.cells[ref] = cell;
    }
    return sheet;
}

/* A converted workbook read back: its sheet names and sheets, in order. */
struct Workbook {
    std::vector<std::string> names;
    std::vector<Sheet> sheets;
    std::string listing;
};

/* Reads the workbook at path; fails the test when it is not a sound zip or
 * lacks a part. */
Workbook read_workbook(const std::string &path) {
    Workbook book;
    const auto list = listing(path);
    EXPECT_TRUE(list.has_value()) << path << " does not list as a zip";
    if (!list) return book;
    book.listing = *list;
    const auto workbook_xml = part(path, "xl/workbook.xml");
    EXPECT_TRUE(workbook_xml.has_value()) << "no xl/workbook.xml";
    if (!workbook_xml) return book;
    book.names = sheet_names(*workbook_xml);
    for (size_t i = 1; i <= book.names.size(); i++) {
        const std::string name = "xl/worksheets/sheet" + std::to_string(i) + ".xml";
        const auto xml = part(path, name);
        EXPECT_TRUE(xml.has_value()) << "no " << name;
        book.sheets.push_back(parse_sheet(xml.value_or("")));
    }
    return book;
}

/* Cell texts by reference, for comparing whole sheets. */
std::map<std::string, std::string> texts(const Sheet &sheet) {
    std::map<std::string, std::string> out;
    for (const auto &[ref, cell] : sheet.cells) out[ref] = cell.text;
    return out;
}

/* Every cell is an inline string: constant-memory mode writes no shared
 * string table. */
void expect_inline_strings(const Workbook &book) {
    EXPECT_EQ(book.listing.find("sharedStrings"), std::string::npos);
    for (size_t i = 0; i < book.sheets.size(); i++)
        for (const auto &[ref, cell] : book.sheets[i].cells)
            EXPECT_EQ(cell.type, "inlineStr") << "sheet " << i + 1 << ", cell " << ref;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void expect_clean_run(const qt::RunResult &r) {
    EXPECT_LT(r.status, 128) << "killed by a signal";
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
}

class ToXlsx : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(unzip_program().empty())
            << "the unzip program is needed to read workbooks back (scripts/install-deps.sh)";
    }

    /* Writes the database into the test's directory as file_name. */
    std::string write_database(const qw::Database &database, const std::string &file_name) {
        const std::string path = dir.file(file_name);
        qw::write_file(path, qw::build_database(database));
        return path;
    }

    qt::TempDir dir;
};

qw::Database database_of(Generation generation, std::vector<qw::Table> tables) {
    qw::Database database;
    database.header.generation = generation;
    database.tables = std::move(tables);
    return database;
}

/* A table with one column per name, numbered 1, 2, 3... */
qw::Table simple_table(const std::string &name, const std::vector<std::string> &columns) {
    qw::Table table;
    table.name = name;
    for (const auto &column : columns) table.columns.push_back({column});
    return table;
}

const char *generation_name(Generation generation) {
    switch (generation) {
    case Generation::early: return "early";
    case Generation::v7: return "7";
    case Generation::v12: return "12";
    }
    return "?";
}

/* ------------------------------------------------------------------ */
/* Workbooks of every generation                                       */
/* ------------------------------------------------------------------ */

class ToXlsxGenerations : public ToXlsx, public testing::WithParamInterface<Generation> {};

INSTANTIATE_TEST_SUITE_P(ToXlsx, ToXlsxGenerations,
                         testing::Values(Generation::early, Generation::v7, Generation::v12),
                         [](const auto &info) { return std::string("gen_") + generation_name(info.param); });

/* Columns numbered 1, 2 and 5 with rows of short, long and escaped values;
 * for later generations a second table without records follows. */
TEST_P(ToXlsxGenerations, SheetsHeaderRowsAndCellsByPosition) {
    const Generation generation = GetParam();
    const std::string long_text = std::string(1500, 'x') + " \xC3\xA9nd";

    qw::Table people;
    people.name = "People";
    people.columns = {{"Name", 1}, {"City", 2}, {"Note", 5}};
    people.records = {
        {0, {{1, "Ann"}, {2, "Oslo"}, {5, "first"}}},
        {0, {{1, "Bob"}, {5, long_text, true, 100}}},
        {0, {{2, "Z\xC3\xBCrich & <co> \"q\""}}},
    };
    std::vector<qw::Table> tables = {people};
    if (generation != Generation::early) tables.push_back(simple_table("R&D plans", {"Goal", "Due"}));

    /* Earlier files name their one table after the file. */
    const std::string input = write_database(database_of(generation, tables), "People.fp5");
    const std::string output = dir.file("out.xlsx");
    const qt::RunResult r = convert(input, output);
    expect_clean_run(r);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");

    const Workbook book = read_workbook(output);
    const std::vector<std::string> expected_names =
        generation == Generation::early ? std::vector<std::string>{"People"}
                                        : std::vector<std::string>{"People", "R&D plans"};
    ASSERT_EQ(book.names, expected_names);
    expect_inline_strings(book);

    const Sheet &sheet = book.sheets[0];
    EXPECT_NE(sheet.xml.find(kFrozenHeaderPane), std::string::npos) << sheet.xml.substr(0, 600);
    EXPECT_EQ(sheet.rows, (std::vector<int>{1, 2, 3, 4}));
    const std::map<std::string, std::string> expected = {
        {"A1", "Name"}, {"B1", "City"}, {"E1", "Note"},
        {"A2", "Ann"},  {"B2", "Oslo"}, {"E2", "first"},
        {"A3", "Bob"},  {"E3", long_text},
        {"B4", "Z\xC3\xBCrich & <co> \"q\""},
    };
    EXPECT_EQ(texts(sheet), expected);

    if (generation != Generation::early) {
        const Sheet &empty = book.sheets[1];
        EXPECT_NE(empty.xml.find(kFrozenHeaderPane), std::string::npos);
        EXPECT_EQ(empty.rows, std::vector<int>{1});
        EXPECT_EQ(texts(empty), (std::map<std::string, std::string>{{"A1", "Goal"}, {"B1", "Due"}}));
    }
}

/* libxlsxwriter adds a default sheet when a workbook is closed without any:
 * a file without tables gives a workbook with one empty "Sheet1". */
TEST_F(ToXlsx, FileWithoutTablesGivesTheDefaultEmptySheet) {
    const std::string input = write_database(database_of(Generation::v12, {}), "empty.fmp12");
    const std::string output = dir.file("out.xlsx");
    const qt::RunResult r = convert(input, output);
    expect_clean_run(r);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const Workbook book = read_workbook(output);
    EXPECT_EQ(book.names, std::vector<std::string>{"Sheet1"});
    ASSERT_EQ(book.sheets.size(), 1u);
    EXPECT_TRUE(book.sheets[0].rows.empty());
    EXPECT_TRUE(book.sheets[0].cells.empty());
}

/* ------------------------------------------------------------------ */
/* Sheet names                                                         */
/* ------------------------------------------------------------------ */

TEST_F(ToXlsx, RefusedTableNamesEndTheRunWithoutAWorkbook) {
    struct Case {
        const char *name;
        std::vector<std::string> tables;
        std::string refused;
    };
    const std::string long_name(32, 'n');
    const std::vector<Case> cases = {
        {"32 characters", {"Fine", long_name}, long_name},
        {"[", {"a[b"}, "a[b"},
        {"]", {"a]b"}, "a]b"},
        {":", {"a:b"}, "a:b"},
        {"*", {"a*b"}, "a*b"},
        {"?", {"a?b"}, "a?b"},
        {"/", {"a/b"}, "a/b"},
        {"backslash", {"a\\b"}, "a\\b"},
        {"leading apostrophe", {"'a"}, "'a"},
        {"duplicate", {"Same", "Same"}, "Same"},
        {"duplicate in other case", {"Same", "SAME"}, "SAME"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<qw::Table> tables;
        for (const auto &name : c.tables) tables.push_back(simple_table(name, {"A"}));
        tables.front().records = {{0, {{1, "value"}}}};
        const std::string input = write_database(database_of(Generation::v7, tables), "in.fp7");
        const std::string output = dir.file("refused.xlsx");
        const qt::RunResult r = convert(input, output);
        expect_clean_run(r);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Error adding workbook named " + c.refused + "\n"), std::string::npos)
            << r.err;
        EXPECT_FALSE(exists(output));
    }
}

/* A sheet cannot be unnamed: a table without a name takes the default
 * sheet name, and its values come out. */
TEST_F(ToXlsx, TableWithoutANameGetsTheDefaultSheetName) {
    std::vector<qw::Table> tables = {simple_table("Fine", {"A"}), simple_table("", {"A"})};
    tables.back().records = {{0, {{1, "kept"}}}};
    const std::string input = write_database(database_of(Generation::v7, tables), "in.fp7");
    const std::string output = dir.file("out.xlsx");
    const qt::RunResult r = convert(input, output);
    expect_clean_run(r);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto book = read_workbook(output);
    EXPECT_EQ(book.names, (std::vector<std::string>{"Fine", "Sheet2"}));
    ASSERT_EQ(book.sheets.size(), 2u);
    EXPECT_EQ(texts(book.sheets[1]), (std::map<std::string, std::string>{{"A1", "A"}, {"A2", "kept"}}));
}

TEST_F(ToXlsx, ThirtyOneCharactersAndPunctuationAreAccepted) {
    const std::string name_31(31, 'n');
    const std::string multibyte_31 = [] {
        std::string s;
        for (int i = 0; i < 31; i++) s += "\xC3\xA9";
        return s;
    }();
    const std::vector<std::string> names = {name_31, multibyte_31, "a&b <c> 'd' (e)"};
    std::vector<qw::Table> tables;
    for (const auto &name : names) tables.push_back(simple_table(name, {"A"}));
    const std::string input = write_database(database_of(Generation::v7, tables), "in.fp7");
    const std::string output = dir.file("out.xlsx");
    const qt::RunResult r = convert(input, output);
    expect_clean_run(r);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_workbook(output).names, names);
}

/* ------------------------------------------------------------------ */
/* Values and names the sheet refuses                                  */
/* ------------------------------------------------------------------ */

/* Text over 32,767 characters and columns past the sheet's last column
 * (16,384) are skipped with one warning each; the rest of the table is
 * written and the run succeeds. Column 65,537 would land in sheet column 0
 * if its number were only cut to 16 bits: it must not overwrite column 1. */
TEST_F(ToXlsx, RefusedValuesAreSkippedWithAWarningEach) {
    std::string accented_max; /* 32,767 characters in 65,534 bytes */
    for (int i = 0; i < 32767; i++) accented_max += "\xC3\xA9";
    const std::string over(32768, 'a');

    qw::Table table;
    table.name = "T";
    table.columns = {{"Name", 1}, {"Big", 2}, {"Max", 3}, {"Far", 16385}, {"Wrapped", 65537}};
    table.records = {
        {0, {{1, "one"}, {2, over, true}, {3, accented_max, true}, {16385, "far one"},
             {65537, "wrapped one", true}}},
        {0, {{1, "two"}, {2, "small"}}},
    };
    const std::string input = write_database(database_of(Generation::v7, {table}), "in.fp7");
    const std::string output = dir.file("out.xlsx");
    const qt::RunResult r = convert(input, output);
    expect_clean_run(r);
    ASSERT_EQ(r.status, 0) << r.err;

    /* Each warning line, in the order met: header cells, then values. */
    const std::vector<std::string> prefixes = {
        "Warning: column name skipped in table \"T\", column \"Far\": ",
        "Warning: column name skipped in table \"T\", column \"Wrapped\": ",
        "Warning: value skipped in table \"T\", row 1, column \"Big\": ",
        "Warning: value skipped in table \"T\", row 1, column \"Far\": ",
        "Warning: value skipped in table \"T\", row 1, column \"Wrapped\": ",
    };
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < r.err.size();) {
        const size_t end = r.err.find('\n', pos);
        lines.push_back(r.err.substr(pos, end - pos));
        pos = end == std::string::npos ? r.err.size() : end + 1;
    }
    ASSERT_EQ(lines.size(), prefixes.size()) << r.err;
    for (size_t i = 0; i < lines.size(); i++) {
        EXPECT_EQ(lines[i].rfind(prefixes[i], 0), 0u) << lines[i];
        EXPECT_GT(lines[i].size(), prefixes[i].size()) << "no reason given: " << lines[i];
    }

    const Workbook book = read_workbook(output);
    ASSERT_EQ(book.sheets.size(), 1u);
    const std::map<std::string, std::string> expected = {
        {"A1", "Name"}, {"B1", "Big"},   {"C1", "Max"}, {"A2", "one"},
        {"C2", accented_max}, {"A3", "two"}, {"B3", "small"},
    };
    EXPECT_EQ(texts(book.sheets[0]), expected);
}

/* ------------------------------------------------------------------ */
/* A workbook that cannot be written                                   */
/* ------------------------------------------------------------------ */

qw::Database small_database() {
    qw::Table table = simple_table("T", {"A", "B"});
    for (int i = 0; i < 200; i++)
        table.records.push_back({0, {{1, "row " + std::to_string(i)}, {2, std::string(40, 'b')}}});
    return database_of(Generation::v7, {table});
}

TEST_F(ToXlsx, CloseFailureIsReportedAndLeavesNothing) {
    const std::string input = write_database(small_database(), "in.fp7");
    const std::string missing_dir = dir.file("missing/out.xlsx");
    const std::string a_directory = dir.file("a_directory");
    fs::create_directory(a_directory);

    struct Case {
        const char *name;
        std::string output;
    };
    std::vector<Case> cases = {{"directory that does not exist", missing_dir},
                               {"output is a directory", a_directory}};
    struct stat st;
    const bool have_dev_full = stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode);
    if (have_dev_full) cases.push_back({"full device", "/dev/full"});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const qt::RunResult r = convert(input, c.output);
        expect_clean_run(r);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Error writing workbook to " + c.output + ": "), std::string::npos)
            << r.err;
    }
    EXPECT_FALSE(exists(missing_dir));
    EXPECT_TRUE(fs::is_directory(a_directory));
    if (have_dev_full) {
        ASSERT_EQ(stat("/dev/full", &st), 0) << "/dev/full is gone";
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/full is no longer a device";
    }
}

/* A disk that fills up while the zip is written, made with a file size
 * limit: the cut file is removed, whether this run created it or truncated
 * an older one. */
TEST_F(ToXlsx, WorkbookCutShortByAFullDiskIsRemoved) {
    const std::string input = write_database(small_database(), "in.fp7");
    for (const bool existed : {false, true}) {
        SCOPED_TRACE(existed ? "older file truncated" : "new file");
        const std::string output = dir.file("cut.xlsx");
        if (existed) qw::write_file(output, qw::Bytes(10, 'o'));
        /* SIGXFSZ ignored: writes past the limit fail with EFBIG instead. */
        const qt::RunResult r =
            qt::run("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 4 && exec \"$0\" \"$1\" \"$2\"",
                                tool(), input, output});
        expect_clean_run(r);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("Error writing workbook to " + output + ": "), std::string::npos)
            << r.err;
        EXPECT_FALSE(exists(output));
    }
}

/* ------------------------------------------------------------------ */
/* Command line and library failures                                   */
/* ------------------------------------------------------------------ */

TEST_F(ToXlsx, CommandLine) {
    const std::string usage = "Usage: quarn-to-xlsx [input file] [output file]\n";
    const std::string argv0 = "/some/dir/quarn-to-xlsx";
    const std::string output = dir.file("never.xlsx");
    struct Case {
        const char *name;
        std::vector<std::string> args;
        bool version;
    };
    const std::vector<Case> cases = {
        {"no arguments", {}, false},
        {"one argument", {output}, false},
        {"three arguments", {"a", output, "c"}, false},
        {"--version", {"--version"}, true},
        {"--version among three", {"--version", "a", output}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const qt::RunResult r = qt::run(tool(), c.args, argv0);
        expect_clean_run(r);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        if (c.version) {
            ASSERT_EQ(r.out.rfind("QUARN Tools version 0.2.2\n", 0), 0u) << r.out;
            /* version, copyright, web address, empty line, usage */
            const size_t empty_line = r.out.find("\n\n");
            ASSERT_NE(empty_line, std::string::npos) << r.out;
            EXPECT_EQ(std::count(r.out.begin(), r.out.begin() + empty_line, '\n'), 2) << r.out;
            EXPECT_EQ(r.out.substr(empty_line + 2), usage);
        } else {
            EXPECT_EQ(r.out, usage);
        }
        EXPECT_FALSE(exists(output));
    }
}

/* Two arguments, the first "--version": an input path like any other. */
TEST_F(ToXlsx, VersionWithTwoArgumentsIsAnInputPath) {
    const std::string output = dir.file("out.xlsx");
    const qt::RunResult r = qt::run(tool(), {"--version", output});
    expect_clean_run(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error code: 1\n");
    EXPECT_FALSE(exists(output));
}

TEST_F(ToXlsx, LibraryFailuresPrintTheirNumber) {
    qw::Bytes not_a_database(8192, 0x41);

    /* A v7 file whose last block holds the unknown code 0x18: every walk,
     * the table list first, stops with 11. */
    qw::FileLayout bad_v7 = qw::database_layout(small_database());
    qw::append(bad_v7.blocks.back().payload, {0x18});

    /* An earlier file whose last block ends in a field cut short (7). The
     * table list of such a file reads no block, so the column list meets the
     * error first; the block keeps the chunks decoded before the cut, and
     * the read that follows takes them without a word, so the column list's
     * error is the only report of it. */
    qw::Table early_table = simple_table("", {"A"});
    early_table.records = {{0, {{1, "one"}}}, {0, {{1, "two"}}}};
    qw::FileLayout bad_early = qw::database_layout(database_of(Generation::early, {early_table}));
    qw::append(bad_early.blocks.back().payload, {0x41, 0x05, 'd'});

    struct Case {
        const char *name;
        std::optional<qw::Bytes> input; /* nullopt: no file at all */
        std::string message;
    };
    const std::vector<Case> cases = {
        {"missing input", std::nullopt, "Error code: 1\n"},
        {"not a database", not_a_database, "Error code: 6\n"},
        {"unknown code in a later file", qw::build_file(bad_v7), "Error code: 11\n"},
        {"cut field in an earlier file", qw::build_file(bad_early), "Error code: 7\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input = dir.file("input.fp7");
        fs::remove(input);
        if (c.input) qw::write_file(input, *c.input);
        for (const bool existed : {false, true}) {
            SCOPED_TRACE(existed ? "older output present" : "no older output");
            const std::string output = dir.file("out.xlsx");
            fs::remove(output);
            if (existed) qw::write_file(output, qw::Bytes{'o', 'l', 'd'});
            const qt::RunResult r = convert(input, output);
            expect_clean_run(r);
            EXPECT_EQ(r.status, 1);
            const size_t at = r.err.find(c.message);
            EXPECT_NE(at, std::string::npos) << r.err;
            EXPECT_EQ(at + c.message.size(), r.err.size()) << "the error line is not the last:\n"
                                                            << r.err;
            /* Nothing was written: an older file stays as it was. */
            if (existed) {
                EXPECT_TRUE(qt::read_file(output) == "old") << "the older output changed";
            } else {
                EXPECT_FALSE(exists(output));
            }
        }
    }
}

/* ------------------------------------------------------------------ */
/* Real files                                                          */
/* ------------------------------------------------------------------ */

TEST_F(ToXlsx, CorpusFilesConvertOrFailCleanly) {
    const auto files = qt::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus folder at " << qt::corpus_dir() << "../shared/corpus";
    for (const auto &file : files) {
        SCOPED_TRACE(file);
        const std::string output = dir.file(fs::path(file).filename().string() + ".xlsx");
        const qt::RunResult r = convert(file, output);
        expect_clean_run(r);
        if (r.status == 0) {
            const Workbook book = read_workbook(output);
            EXPECT_FALSE(book.names.empty());
            expect_inline_strings(book);
            for (const Sheet &sheet : book.sheets)
                EXPECT_NE(sheet.xml.find(kFrozenHeaderPane), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("Error code: "), std::string::npos) << r.err;
            EXPECT_FALSE(exists(output));
        }
    }
}

/* The same book list saved by three generations. Generations 7 and 12 give
 * the same sheet. The earlier file agrees cell for cell once its line
 * breaks (CR, kept as stored, where the later files' text decoding gives
 * LF) are read alike, except for the container column, whose stored
 * reference differs in form between generations. */
TEST_F(ToXlsx, BookListAgreesAcrossGenerations) {
    const std::string corpus = qt::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus folder";
    std::map<std::string, Workbook> books;
    for (const char *name : {"book_list.fp5", "book_list.fp7", "book_list.fmp12"}) {
        const std::string input = corpus + "/" + name;
        if (!exists(input)) GTEST_SKIP() << "no " << input;
        const std::string output = dir.file(std::string(name) + ".xlsx");
        const qt::RunResult r = convert(input, output);
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        books[name] = read_workbook(output);
        ASSERT_EQ(books[name].sheets.size(), 1u) << name;
    }
    EXPECT_EQ(books["book_list.fp5"].names, std::vector<std::string>{"book_list"});
    EXPECT_EQ(books["book_list.fp7"].names, std::vector<std::string>{"Book_List"});
    EXPECT_EQ(books["book_list.fmp12"].names, std::vector<std::string>{"Book_List"});

    const auto later = texts(books["book_list.fp7"].sheets[0]);
    EXPECT_EQ(texts(books["book_list.fmp12"].sheets[0]), later);

    auto early = texts(books["book_list.fp5"].sheets[0]);
    ASSERT_EQ(early.size(), later.size());
    /* The column letters of a cell reference, and its row number. */
    const auto column_of = [](const std::string &ref) { return ref.substr(0, ref.find_first_of("0123456789")); };
    const auto row_of = [](const std::string &ref) { return std::stoi(ref.substr(ref.find_first_of("0123456789"))); };
    std::string container_column = "?";
    for (const auto &[ref, text] : later)
        if (row_of(ref) == 1 && text == "cover_art") container_column = column_of(ref);
    ASSERT_NE(container_column, "?") << "no cover_art column";
    for (auto &[ref, text] : early) {
        SCOPED_TRACE(ref);
        ASSERT_TRUE(later.count(ref));
        if (row_of(ref) > 1 && column_of(ref) == container_column) continue;
        std::replace(text.begin(), text.end(), '\r', '\n');
        EXPECT_EQ(text, later.at(ref));
    }
}

} // namespace
