/*
 * quarn export end to end: the typed fixture of every generation through
 * the built program into each of the five formats, each output read back by
 * a real reader (SQLite's API, YAJL, an RFC 4180 reader, the XLSX zip and
 * sheet XML): types, repetitions, containers byte for byte, the warnings
 * of damaged containers and of fields that keep their text, names made
 * safe, the column limit, --text, --record-id, --tables, --containers. Then
 * the shared real files: every one in every format, book_list's JPEGs the
 * same bytes from all three generations in every format, every record
 * the file holds a row or object of its table in every format,
 * repeating's five used repetitions as five columns and five-item arrays.
 */
#include "export.h"
#include "names.h"
#include "quarn_support.h"
#include "record_directories.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace qq;

class ExportGenerations : public ::testing::TestWithParam<Generation> {
  protected:
    /* The fixture written as Things.<ext>, so early files name their table
     * "Things" too. */
    std::string input() { return write_input(dir, "Things", typed_database(GetParam())); }
    bool v7() const { return qw::is_v7(GetParam()); }
    qt::TempDir dir;
};

const char kDamaged[] = ": table \"Things\", field \"Picture\", row 4: the container is damaged and was skipped\n";
/* "n/a" in a number field: one warning at the end of the table */
const char kNotNumber[] = ": table \"Things\", field \"Amount\": 1 value is not a number and stayed text (first: \"n/a\")\n";

TEST_P(ExportGenerations, Sqlite) {
    const std::string in = input(), out = dir.file("out.sqlite");
    const qt::RunResult r = quarn({"export", in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quarn: " + in + kDamaged + "quarn: " + in + kNotNumber)
        << "one line for the damaged container, one for the value that stayed text, nothing else";
    EXPECT_EQ(integrity(out), "ok");

    const auto schema = sql_query(out, "SELECT sql FROM sqlite_master");
    ASSERT_EQ(schema.size(), 1u);
    EXPECT_EQ(schema[0][0].bytes, std::string("CREATE TABLE \"Things\" (\"Name\" TEXT, \"Amount\" NUMERIC, \"Day\" TEXT, "
                                              "\"Clock\" TEXT, \"Tags\" TEXT, \"Tags[2]\" TEXT, \"Tags[3]\" TEXT, "
                                              "\"Picture\" BLOB, ") +
                                      (v7() ? "\"Stamp\" TEXT, " : "") + "\"Note\" TEXT)");

    const auto rows = sql_query(out, std::string("SELECT Name, Amount, Day, Clock, Tags, \"Tags[2]\", \"Tags[3]\", "
                                                 "Picture, Note") + (v7() ? ", Stamp" : "") +
                                         " FROM Things ORDER BY rowid");
    ASSERT_EQ(rows.size(), 4u);
    std::vector<SqlRow> expected = {
        {text_cell("Ada, \"the\" first\nsecond line"), real_cell("12.5"), text_cell("1999-10-14"), text_cell("10:45:06"),
         text_cell("a"), null_cell(), text_cell("c"), blob_cell(picture_bytes()), text_cell("n1")},
        /* a NUMERIC column reads "007" as the number it spells (SQLite's
         * affinity): only texts that are no number stay text there */
        {text_cell("Björn"), int_cell("7"), text_cell("2003-07-05"), text_cell("00:00:00"), text_cell("x"),
         null_cell(), null_cell(), blob_cell(document_bytes()), null_cell()},
        {text_cell("Chloé"), int_cell("-3"), null_cell(), text_cell("23:59:59"), null_cell(), null_cell(), null_cell(),
         blob_cell(picture_bytes()), null_cell()},
        {text_cell("Dmitri"), text_cell("n/a"), null_cell(), null_cell(), null_cell(), null_cell(), null_cell(),
         null_cell(), text_cell("n4")}};
    if (v7()) {
        expected[0].push_back(text_cell("1999-10-14T12:55:00"));
        expected[1].push_back(text_cell("2000-02-01T15:04:05"));
        expected[2].push_back(null_cell());
        expected[3].push_back(null_cell());
    }
    for (size_t i = 0; i < rows.size(); i++)
        for (size_t c = 0; c < rows[i].size(); c++)
            EXPECT_TRUE(rows[i][c] == expected[i][c])
                << "row " << i + 1 << " column " << c + 1 << ": type " << rows[i][c].type << " \""
                << rows[i][c].bytes.substr(0, 40) << "\", expected type " << expected[i][c].type << " \""
                << expected[i][c].bytes.substr(0, 40) << "\"";
    EXPECT_FALSE(fs::exists(dir.file("out.sqlite_files"))) << "SQLite keeps the containers inside";
}

/* The container files beside an output, with the bytes each must hold. */
void expect_container_files(const std::string &root) {
    EXPECT_EQ(qt::read_file(root + "/Things/Picture/1.jpg"), bytes_text(picture_bytes()));
    EXPECT_EQ(qt::read_file(root + "/Things/Picture/2_notes.txt"), bytes_text(document_bytes()));
    EXPECT_EQ(qt::read_file(root + "/Things/Picture/3.jpg"), bytes_text(picture_bytes()));
    size_t files = 0;
    for (const auto &entry : fs::recursive_directory_iterator(root)) files += entry.is_regular_file();
    EXPECT_EQ(files, 3u) << "no file for the damaged container";
}

TEST_P(ExportGenerations, Csv) {
    const std::string in = input(), out = dir.file("out");
    const qt::RunResult r = quarn({"export", in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "quarn: " + in + kDamaged + "quarn: " + in + kNotNumber);
    const auto rows = read_csv(qt::read_file(out + "/Things.csv"));
    ASSERT_TRUE(rows);
    std::vector<std::vector<std::string>> expected = {
        {"Name", "Amount", "Day", "Clock", "Tags", "Tags[2]", "Tags[3]", "Picture", "Note"},
        {"Ada, \"the\" first\nsecond line", "12.5", "1999-10-14", "10:45:06", "a", "", "c", "files/Things/Picture/1.jpg",
         "n1"},
        {"Björn", "7", "2003-07-05", "00:00:00", "x", "", "", "files/Things/Picture/2_notes.txt", ""},
        {"Chloé", "-3", "", "23:59:59", "", "", "", "files/Things/Picture/3.jpg", ""},
        {"Dmitri", "n/a", "", "", "", "", "", "", "n4"}};
    if (v7()) {
        const std::string stamps[] = {"Stamp", "1999-10-14T12:55:00", "2000-02-01T15:04:05", "", ""};
        for (size_t i = 0; i < expected.size(); i++) expected[i].insert(expected[i].begin() + 8, stamps[i]);
    }
    EXPECT_EQ(*rows, expected);
    const std::string raw = qt::read_file(out + "/Things.csv");
    EXPECT_NE(raw.find("\r\n\"Ada, \"\"the\"\" first\nsecond line\",12.5,"), std::string::npos)
        << "quoted where needed, quotes doubled, others bare";
    expect_container_files(out + "/files");
}

TEST_P(ExportGenerations, Json) {
    const std::string in = input(), out = dir.file("out.json");
    const qt::RunResult r = quarn({"export", in, out, "--record-id"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json doc = parse_json(qt::read_file(out));
    ASSERT_TRUE(doc);
    EXPECT_EQ(keys(doc.get()), (std::vector<std::string>{"file", "tables"}));
    const yajl_val file = member(doc.get(), "file");
    EXPECT_EQ(string_of(member(file, "name")), "Things" + extension(GetParam()));
    EXPECT_EQ(YAJL_GET_INTEGER(member(file, "generation")), static_cast<int>(GetParam()));
    EXPECT_EQ(string_of(member(file, "release_date")), "2020-01-01");
    const yajl_val table = item(member(doc.get(), "tables"), 0);
    EXPECT_EQ(string_of(member(table, "name")), "Things");
    const yajl_val fields = member(table, "fields");
    ASSERT_EQ(length(fields), v7() ? 8u : 7u);
    EXPECT_EQ(string_of(member(item(fields, 4), "name")), "Tags");
    EXPECT_EQ(YAJL_GET_INTEGER(member(item(fields, 4), "repetitions")), 4);
    EXPECT_EQ(string_of(member(item(fields, 5), "type")), "container");

    const yajl_val records = member(table, "records");
    ASSERT_EQ(length(records), 4u);
    const yajl_val first = item(records, 0);
    std::vector<std::string> names = {"record_id", "Name", "Amount", "Day", "Clock", "Tags", "Picture"};
    if (v7()) names.push_back("Stamp");
    names.push_back("Note");
    EXPECT_EQ(keys(first), names);
    EXPECT_TRUE(YAJL_IS_INTEGER(member(first, "record_id")));
    EXPECT_EQ(YAJL_GET_INTEGER(member(first, "record_id")), 1);
    EXPECT_TRUE(YAJL_IS_DOUBLE(member(first, "Amount")));
    EXPECT_DOUBLE_EQ(YAJL_GET_DOUBLE(member(first, "Amount")), 12.5);
    EXPECT_TRUE(YAJL_IS_INTEGER(member(item(records, 1), "Amount"))) << "\"007\" is the number 7";
    EXPECT_EQ(YAJL_GET_INTEGER(member(item(records, 1), "Amount")), 7);
    EXPECT_EQ(YAJL_GET_INTEGER(member(item(records, 2), "Amount")), -3);
    EXPECT_EQ(string_of(member(first, "Day")), "1999-10-14");
    const yajl_val tags = member(first, "Tags");
    ASSERT_EQ(length(tags), 3u) << "as many items as the highest repetition used";
    EXPECT_EQ(string_of(item(tags, 0)), "a");
    EXPECT_TRUE(YAJL_IS_NULL(item(tags, 1)));
    EXPECT_EQ(string_of(item(tags, 2)), "c");
    EXPECT_EQ(length(member(item(records, 3), "Tags")), 3u);

    const yajl_val picture = member(first, "Picture");
    EXPECT_EQ(keys(picture), (std::vector<std::string>{"path", "type", "size"}));
    EXPECT_EQ(string_of(member(picture, "path")), "out.json_files/Things/Picture/1.jpg");
    EXPECT_EQ(string_of(member(picture, "type")), "JPEG");
    EXPECT_EQ(YAJL_GET_INTEGER(member(picture, "size")), static_cast<long long>(picture_bytes().size()));
    const yajl_val named = member(item(records, 1), "Picture");
    EXPECT_EQ(string_of(member(named, "name")), "notes.txt");
    EXPECT_EQ(string_of(member(named, "type")), "FILE");
    EXPECT_TRUE(YAJL_IS_NULL(member(item(records, 3), "Picture"))) << "the damaged container";
    expect_container_files(dir.file("out.json_files"));
}

TEST_P(ExportGenerations, JsonLines) {
    const std::string in = input(), out = dir.file("lines");
    const qt::RunResult r = quarn({"export", in, out, "--to", "jsonl"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = qt::read_file(out + "/Things.jsonl");
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    EXPECT_EQ(start, text.size()) << "every line ends";
    ASSERT_EQ(lines.size(), 4u);
    const Json first = parse_json(lines[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(length(member(first.get(), "Tags")), 3u);
    EXPECT_EQ(string_of(member(member(first.get(), "Picture"), "path")), "files/Things/Picture/1.jpg");
    const Json last = parse_json(lines[3]);
    ASSERT_TRUE(last);
    EXPECT_EQ(string_of(member(last.get(), "Amount")), "n/a");
    expect_container_files(out + "/files");
}

TEST_P(ExportGenerations, Xlsx) {
    const std::string in = input(), out = dir.file("out.xlsx");
    const qt::RunResult r = quarn({"export", in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto sheet = zip_part(out, "xl/worksheets/sheet1.xml");
    const auto styles = zip_part(out, "xl/styles.xml");
    const auto workbook = zip_part(out, "xl/workbook.xml");
    ASSERT_TRUE(sheet && styles && workbook) << "a zip with a sheet, styles and a workbook";
    EXPECT_EQ(sheet_names(*workbook), std::vector<std::string>{"Things"});
    const auto cells = sheet_cells(*sheet);
    const std::string last_column = v7() ? "J" : "I";

    /* the header: bold, frozen, filtered */
    EXPECT_EQ(cells.at("A1").value, "Name");
    EXPECT_EQ(cells.at("F1").value, "Tags[2]");
    EXPECT_EQ(cells.at(last_column + "1").value, "Note") << "no empty column for the gap in the numbering";
    EXPECT_EQ(cells.count(std::string(1, static_cast<char>(last_column[0] + 1)) + "1"), 0u);
    const std::string header_style = cells.at("A1").style;
    EXPECT_FALSE(header_style.empty());
    EXPECT_NE(styles->find("<b/>"), std::string::npos) << "a bold font";
    EXPECT_NE(sheet->find("<pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" state=\"frozen\"/>"),
              std::string::npos);
    EXPECT_NE(sheet->find("<autoFilter ref=\"A1:" + last_column + "5\"/>"), std::string::npos);
    EXPECT_NE(sheet->find("<cols><col min=\"1\" max=\"1\" width=\""), std::string::npos) << "fitted widths";

    /* numbers as numbers, dates as date cells */
    EXPECT_EQ(cells.at("B2").type, "") << "a numeric cell";
    EXPECT_EQ(cells.at("B2").value, "12.5");
    EXPECT_EQ(cells.at("B3").type, "") << "\"007\" is the number 7";
    EXPECT_EQ(cells.at("B3").value, "7");
    EXPECT_EQ(cells.at("B5").type, "inlineStr");
    EXPECT_EQ(cells.at("B5").value, "n/a");
    EXPECT_EQ(cells.at("C3").value, "37807") << "2003-07-05 as a day number";
    EXPECT_EQ(cells.at("C3").type, "");
    EXPECT_NE(cells.at("C3").style, "");
    EXPECT_NE(styles->find("formatCode=\"yyyy-mm-dd\""), std::string::npos);
    EXPECT_EQ(cells.at("D3").value, "0") << "midnight";
    EXPECT_NEAR(std::stod(cells.at("D2").value), (10 * 3600 + 45 * 60 + 6) / 86400.0, 1e-9);
    if (v7()) {
        EXPECT_NEAR(std::stod(cells.at("I2").value), 36447 + (12 * 60 + 55) / 1440.0, 1e-9);
    }
    EXPECT_EQ(cells.at("A2").value, "Ada, \"the\" first\nsecond line");
    EXPECT_EQ(cells.at("H2").value, "out.xlsx_files/Things/Picture/1.jpg");
    EXPECT_EQ(cells.count("H5"), 0u) << "the damaged container leaves its cell empty";
    expect_container_files(dir.file("out.xlsx_files"));
}

TEST_P(ExportGenerations, LineBreaksAreLfInEveryFormat) {
    qw::Database db;
    db.header.generation = GetParam();
    qw::Table t;
    t.name = "Notes";
    t.columns = {typed_column("T", QUARN_TYPE_TEXT)};
    const std::vector<std::string> stored = {"one\rtwo", "three\r\nfour", "five\nsix", "\r"};
    const std::vector<std::string> lf = {"one\ntwo", "three\nfour", "five\nsix", "\n"};
    for (const std::string &text : stored) t.records.push_back({0, {value(1, text)}});
    db.tables.push_back(t);
    const std::string in = write_input(dir, "Notes", db);

    for (const char *option : {"", "--text"}) {
        SCOPED_TRACE(*option ? option : "converted");
        std::vector<std::string> extra;
        if (*option) extra.push_back(option);
        auto run = [&](const std::string &out, std::vector<std::string> args = {}) {
            std::vector<std::string> all = {"export", in, dir.file(out), "--force"};
            all.insert(all.end(), args.begin(), args.end());
            all.insert(all.end(), extra.begin(), extra.end());
            const qt::RunResult r = quarn(all);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
        };
        run("n.sqlite");
        run("n.json");
        run("n.csv.d", {"--to", "csv"});
        run("n.jsonl.d", {"--to", "jsonl"});
        run("n.xlsx");
        const auto sql = sql_query(dir.file("n.sqlite"), "SELECT T FROM Notes ORDER BY rowid");
        const Json doc = parse_json(qt::read_file(dir.file("n.json")));
        ASSERT_TRUE(doc);
        const yajl_val records = member(item(member(doc.get(), "tables"), 0), "records");
        const auto csv = read_csv(qt::read_file(dir.file("n.csv.d/Notes.csv")));
        ASSERT_TRUE(csv);
        const std::string lines = qt::read_file(dir.file("n.jsonl.d/Notes.jsonl"));
        const auto cells = sheet_cells(*zip_part(dir.file("n.xlsx"), "xl/worksheets/sheet1.xml"));
        ASSERT_EQ(sql.size(), lf.size());
        ASSERT_EQ(csv->size(), lf.size() + 1);
        size_t start = 0;
        for (size_t i = 0; i < lf.size(); i++) {
            EXPECT_TRUE(sql[i][0] == text_cell(lf[i])) << "SQLite " << i;
            EXPECT_EQ(string_of(member(item(records, i), "T")), lf[i]) << "JSON " << i;
            EXPECT_EQ((*csv)[i + 1][0], lf[i]) << "CSV " << i;
            const size_t end = lines.find('\n', start);
            const Json line = parse_json(lines.substr(start, end - start));
            start = end + 1;
            EXPECT_EQ(string_of(member(line.get(), "T")), lf[i]) << "JSON Lines " << i;
            EXPECT_EQ(cells.at("A" + std::to_string(i + 2)).value, lf[i]) << "XLSX " << i;
        }
    }
}

TEST_P(ExportGenerations, GlobalValuesOfEveryGeneration) {
    qw::Database db;
    db.header.generation = GetParam();
    qw::Table t;
    t.name = "Notes";
    t.columns = {typed_column("T", QUARN_TYPE_TEXT), global_column("Count", QUARN_TYPE_NUMBER)};
    t.globals = {value(2, "007")};
    t.records = {{0, {value(1, "x")}}, {0, {value(1, "y")}}};
    db.tables.push_back(t);
    const std::string in = write_input(dir, "Notes", db);
    const qt::RunResult r = quarn({"export", in, dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(*read_csv(qt::read_file(dir.file("out/Notes.csv"))),
              (std::vector<std::vector<std::string>>{{"T", "Count"}, {"x", "7"}, {"y", "7"}}));
    EXPECT_EQ(*read_csv(qt::read_file(dir.file("out/_globals.csv"))),
              (std::vector<std::vector<std::string>>{{"table", "field", "repetition", "value"}, {"Notes", "Count", "1", "7"}}));
}

INSTANTIATE_TEST_SUITE_P(Generations, ExportGenerations,
                         ::testing::Values(Generation::early, Generation::v7, Generation::v12),
                         [](const auto &info) { return generation_name(info.param); });

/* ---- options and rules over one fixture ------------------------------ */

TEST(Export, FormatFollowsTheOutputName) {
    qt::TempDir dir;
    const std::string folder = dir.file("existing");
    fs::create_directory(folder);
    const struct {
        std::optional<std::string> to;
        std::string output, format;
    } cases[] = {
        {{}, "o.sqlite", "sqlite"},  {{}, "o.SQLite3", "sqlite"}, {{}, "o.db", "sqlite"},
        {{}, "o.json", "json"},      {{}, "o.jsonl", "jsonl"},    {{}, "o.ndjson", "jsonl"},
        {{}, "o.csv", "csv"},        {{}, "o", "csv"},            {{}, folder, "csv"},
        {{}, "o.xlsx", "xlsx"},      {{}, "o.sql", "postgres"},   {{}, "postgresql://h/db", "postgres"},
        {{}, "o.parquet", ""},       {"JSONL", "o.json", "jsonl"}, {"postgresql", "dbname=x", "postgres"},
    };
    for (const auto &c : cases) EXPECT_EQ(qexport::choose_format(c.to, c.output), c.format) << c.output;
}

TEST(Export, TextTurnsEveryConversionOff) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v12));
    const qt::RunResult r = quarn({"export", in, dir.file("out"), "--text"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = read_csv(qt::read_file(dir.file("out/Things.csv")));
    ASSERT_TRUE(rows && rows->size() == 5);
    EXPECT_EQ((*rows)[1][2], "14/10/1999");
    EXPECT_EQ((*rows)[1][3], "10:45:06 AM");
    EXPECT_EQ((*rows)[2][8], "1/2/2000 3:04:05 PM");
    const qt::RunResult sql = quarn({"export", in, dir.file("t.sqlite"), "--text"});
    ASSERT_EQ(sql.status, 0);
    const auto amounts = sql_query(dir.file("t.sqlite"), "SELECT Amount FROM Things ORDER BY rowid");
    EXPECT_TRUE(amounts[0][0] == text_cell("12.5")) << "a TEXT column keeps the number's text";
}

/* A table of dates and timestamps whose texts decide the file's order. */
std::string dated_file(const qt::TempDir &dir, const std::string &stem, std::vector<std::string> dates,
                       std::vector<std::string> other_table_dates = {}) {
    qw::Database db;
    db.header.generation = Generation::v12;
    qw::Table t;
    t.name = "Dates";
    t.columns = {typed_column("When", QUARN_TYPE_DATE)};
    for (const std::string &d : dates) t.records.push_back({0, {value(1, d)}});
    db.tables.push_back(t);
    if (!other_table_dates.empty()) {
        qw::Table other;
        other.name = "Other";
        other.columns = {typed_column("Stamp", QUARN_TYPE_TIMESTAMP)};
        for (const std::string &d : other_table_dates) other.records.push_back({0, {value(1, d)}});
        db.tables.push_back(other);
    }
    return write_input(dir, stem, db);
}

TEST(Export, DateOrderComesFromTheFilesOwnValues) {
    qt::TempDir dir;
    const struct {
        const char *name;
        std::vector<std::string> dates, other;
        std::vector<std::string> csv; /* the column as written */
        std::string warning;          /* "" none */
    } cases[] = {
        {"month-day", {"01/09/2018", "12/31/2001"}, {}, {"2018-01-09", "2001-12-31"}, ""},
        {"day-month", {"01/09/2018", "31/12/2001"}, {}, {"2018-09-01", "2001-12-31"}, ""},
        {"another table decides", {"01/09/2018"}, {"25/12/2001 10:00"}, {"2018-09-01"}, ""},
        {"undecided",
         {"01/09/2018", "5/5/2001"},
         {},
         {"01/09/2018", "5/5/2001"},
         "table \"Dates\", field \"When\" kept its text: \"01/09/2018\" could be month/day or day/month, and no "
         "date of the file tells which"},
        {"both ways",
         {"12/31/2001", "31/12/2001", "02/03/2004"},
         {},
         {"12/31/2001", "31/12/2001", "02/03/2004"},
         "table \"Dates\", field \"When\" kept its text: \"02/03/2004\" could be month/day or day/month, and the "
         "file's dates are written both ways"},
        {"not a date",
         {"12/31/2001", "soon"},
         {},
         {"12/31/2001", "soon"},
         "table \"Dates\", field \"When\" kept its text: \"soon\" is not a date of the forms month/day/year, "
         "day/month/year or year-month-day"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string in = dated_file(dir, "dates" + std::to_string(++n), c.dates, c.other);
        const std::string out = dir.file("out" + std::to_string(n));
        const qt::RunResult r = quarn({"export", in, out, "--tables", "Dates"});
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.err, c.warning.empty() ? "" : "quarn: " + in + ": " + c.warning + "\n") << c.name;
        const auto rows = read_csv(qt::read_file(out + "/Dates.csv"));
        ASSERT_TRUE(rows) << c.name;
        std::vector<std::string> column;
        for (size_t i = 1; i < rows->size(); i++) column.push_back((*rows)[i][0]);
        EXPECT_EQ(column, c.csv) << c.name;
        EXPECT_FALSE(fs::exists(out + "/Other.csv")) << "--tables: only the table asked for";
    }
}

TEST(Export, NamesAreMadeSafeAndUnique) {
    qt::TempDir dir;
    qw::Database db;
    db.header.generation = Generation::v12;
    std::vector<std::string> table_names = {"a/b", "A_B", "Sales [2024]: Q1*?", "sqlite_master", "",
                                            std::string(40, 'L'), std::string(40, 'L') + "x"};
    for (const std::string &name : table_names) {
        qw::Table t;
        t.name = name;
        t.columns = {{"name"}, {"Name"}, {"x y"}};
        t.records = {{0, {value(1, "1"), value(2, "2"), value(3, "3")}}};
        db.tables.push_back(t);
    }
    const std::string in = write_input(dir, "names", db);

    ASSERT_EQ(quarn({"export", in, dir.file("csv")}).status, 0);
    std::set<std::string> files;
    for (const auto &entry : fs::directory_iterator(dir.file("csv"))) files.insert(entry.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{"a_b.csv", "A_B (2).csv", "Sales [2024]_ Q1__.csv", "sqlite_master.csv",
                                            "table 5.csv", std::string(40, 'L') + ".csv",
                                            std::string(40, 'L') + "x.csv"}));
    const auto rows = read_csv(qt::read_file(dir.file("csv/a_b.csv")));
    ASSERT_TRUE(rows);
    EXPECT_EQ((*rows)[0], (std::vector<std::string>{"name", "Name_2", "x y"})) << "column names unique regardless of case";

    const qt::RunResult xlsx = quarn({"export", in, dir.file("out.xlsx")});
    ASSERT_EQ(xlsx.status, 0) << xlsx.err;
    const auto workbook = zip_part(dir.file("out.xlsx"), "xl/workbook.xml");
    ASSERT_TRUE(workbook);
    EXPECT_EQ(sheet_names(*workbook),
              (std::vector<std::string>{"a_b", "A_B (2)", "Sales _2024__ Q1__", "sqlite_master", "Table 5",
                                        std::string(31, 'L'), std::string(27, 'L') + " (2)"}));

    ASSERT_EQ(quarn({"export", in, dir.file("out.sqlite")}).status, 0);
    const auto tables = sql_query(dir.file("out.sqlite"), "SELECT name FROM sqlite_master ORDER BY rowid");
    std::vector<std::string> sql_names;
    for (const auto &row : tables) sql_names.push_back(row[0].bytes);
    EXPECT_EQ(sql_names, (std::vector<std::string>{"a/b", "A_B", "Sales [2024]: Q1*?", "_sqlite_master", "table 5",
                                                   std::string(40, 'L'), std::string(40, 'L') + "x"}));
    EXPECT_TRUE(sql_query(dir.file("out.sqlite"), "SELECT name, Name_2, x_y FROM \"a/b\"")[0] ==
                (SqlRow{text_cell("1"), text_cell("2"), text_cell("3")}));
}

TEST(Export, RepetitionsPastSqlitesColumnLimitGoIntoOneColumn) {
    qt::TempDir dir;
    qw::Database db;
    db.header.generation = Generation::v12;
    qw::Table t;
    t.name = "Wide";
    /* eight fields of 255 used repetitions and a plain one: 2,041 columns */
    for (int f = 1; f <= 9; f++)
        t.columns.push_back(typed_column(("R" + std::to_string(f)).c_str(), QUARN_TYPE_TEXT, 0, f < 9 ? 255 : 1));
    qw::Record record;
    for (int f = 1; f <= 9; f++)
        for (int rep = 1; rep <= (f < 9 ? 255 : 1); rep++)
            record.values.push_back(value(f, std::to_string(f) + "." + std::to_string(rep), rep));
    t.records = {record};
    db.tables.push_back(t);
    const std::string in = write_input(dir, "wide", db);
    const qt::RunResult r = quarn({"export", in, dir.file("w.sqlite")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "quarn: " + in + ": table \"Wide\", field \"R8\": repetitions past SQLite's column limit went "
                     "into one column as a JSON array\n");
    const auto columns = sql_query(dir.file("w.sqlite"), "SELECT name FROM pragma_table_info('Wide') ORDER BY cid");
    ASSERT_EQ(columns.size(), 2000u);
    /* R1..R7 take 1,785 columns; R9 keeps one; R8 gets 213 plain and one more */
    EXPECT_EQ(columns[1785 + 212][0].bytes, "R8[213]");
    EXPECT_EQ(columns[1998][0].bytes, "R8[214\u2026]");
    EXPECT_EQ(columns[1999][0].bytes, "R9");
    const auto cells = sql_query(dir.file("w.sqlite"), "SELECT \"R8[214…]\", R9 FROM Wide");
    std::string rest = "[";
    for (int rep = 214; rep <= 255; rep++) rest += std::string(rep > 214 ? "," : "") + "\"8." + std::to_string(rep) + "\"";
    rest += "]";
    EXPECT_EQ(cells[0][0].bytes, rest);
    EXPECT_EQ(cells[0][1].bytes, "9.1");
    const Json json = parse_json(qt::read_file([&] {
        EXPECT_EQ(quarn({"export", in, dir.file("w.json")}).status, 0);
        return dir.file("w.json");
    }()));
    EXPECT_EQ(length(member(item(member(item(member(json.get(), "tables"), 0), "records"), 0), "R8")), 255u);
}

TEST(Export, ContainersOptionWithSqliteAlsoWritesFiles) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v7));
    const qt::RunResult r = quarn({"export", in, dir.file("db/out.db"), "--containers", dir.file("pictures")});
    ASSERT_EQ(r.status, 1) << "the output's folder does not exist";
    EXPECT_NE(r.err.find("cannot write " + dir.file("db/out.db") + ": No such file or directory"), std::string::npos) << r.err;
    fs::create_directory(dir.file("db"));
    const qt::RunResult ok = quarn({"export", in, dir.file("db/out.db"), "-c", dir.file("pictures")});
    ASSERT_EQ(ok.status, 0) << ok.err;
    expect_container_files(dir.file("pictures"));
    EXPECT_TRUE(sql_query(dir.file("db/out.db"), "SELECT Picture FROM Things WHERE rowid = 2")[0][0] ==
                blob_cell(document_bytes()));
}

/* ---- nothing lost, nothing demoted silently --------------------------- */

/* One number field whose texts FileMaker reads as numbers in every
 * notation it takes, and two that it does not. */
const struct {
    const char *stored;
    const char *number; /* as every format writes it; nullptr: stays text */
} kNumberTexts[] = {{".3", "0.3"},   {"5.", "5"},         {"-.25", "-0.25"},     {"+5", "5"},     {"007", "7"},
                    {"1E3", "1e3"},  {"2.5E-04", "2.5e-4"}, {"12 kg", nullptr}, {"1,5", nullptr}, {"0.10", "0.10"}};

std::string numbers_file(const qt::TempDir &dir) {
    qw::Database db;
    db.header.generation = Generation::v12;
    qw::Table t;
    t.name = "Numbers";
    t.columns = {typed_column("N", QUARN_TYPE_NUMBER)};
    for (const auto &c : kNumberTexts) t.records.push_back({0, {value(1, c.stored)}});
    db.tables.push_back(t);
    return write_input(dir, "numbers", db);
}

TEST(Export, NumbersInEveryNotationReachEveryFormatAsTheSameNumber) {
    qt::TempDir dir;
    const std::string in = numbers_file(dir);
    const std::string warning = "quarn: " + in + ": table \"Numbers\", field \"N\": 2 values are not numbers and "
                                                 "stayed text (first: \"12 kg\")\n";
    const size_t count = std::size(kNumberTexts);

    const qt::RunResult json_run = quarn({"export", in, dir.file("n.json")});
    ASSERT_EQ(json_run.status, 0) << json_run.err;
    EXPECT_EQ(json_run.err, warning);
    const Json doc = parse_json(qt::read_file(dir.file("n.json")));
    ASSERT_TRUE(doc);
    const yajl_val records = member(item(member(doc.get(), "tables"), 0), "records");
    ASSERT_EQ(length(records), count);

    const qt::RunResult csv_run = quarn({"export", in, dir.file("n")});
    ASSERT_EQ(csv_run.status, 0) << csv_run.err;
    EXPECT_EQ(csv_run.err, warning);
    const auto rows = read_csv(qt::read_file(dir.file("n/Numbers.csv")));
    ASSERT_TRUE(rows && rows->size() == count + 1);

    ASSERT_EQ(quarn({"export", in, dir.file("n.sqlite")}).status, 0);
    const auto sql = sql_query(dir.file("n.sqlite"), "SELECT typeof(N), N, N * 1.0 FROM Numbers ORDER BY rowid");
    ASSERT_EQ(sql.size(), count);

    ASSERT_EQ(quarn({"export", in, dir.file("n.xlsx")}).status, 0);
    const auto cells = sheet_cells(*zip_part(dir.file("n.xlsx"), "xl/worksheets/sheet1.xml"));

    for (size_t i = 0; i < count; i++) {
        const auto &c = kNumberTexts[i];
        const yajl_val v = member(item(records, i), "N");
        const std::string cell = "A" + std::to_string(i + 2);
        if (!c.number) {
            EXPECT_EQ(string_of(v), c.stored) << c.stored;
            EXPECT_EQ((*rows)[i + 1][0], c.stored);
            EXPECT_TRUE(sql[i][1] == text_cell(c.stored)) << c.stored;
            EXPECT_EQ(cells.at(cell).type, "inlineStr") << c.stored;
            EXPECT_EQ(cells.at(cell).value, c.stored);
            continue;
        }
        const double expected = std::stod(c.number);
        ASSERT_TRUE(v && YAJL_IS_NUMBER(v)) << c.stored << " is a JSON number";
        EXPECT_STREQ(YAJL_GET_NUMBER(v), c.number) << c.stored << ": its text in the document";
        EXPECT_EQ((*rows)[i + 1][0], c.number) << c.stored;
        EXPECT_NE(sql[i][0].bytes, "text") << c.stored << " is a number in SQLite";
        EXPECT_DOUBLE_EQ(std::stod(sql[i][2].bytes), expected) << c.stored;
        EXPECT_EQ(cells.at(cell).type, "") << c.stored << " is a numeric cell";
        EXPECT_DOUBLE_EQ(std::stod(cells.at(cell).value), expected) << c.stored;
    }
}

/* A text one character past a cell's 32,767, with characters of two to
 * four bytes and a line break. (The test writer stores long values only
 * in a field's first repetition, so ROW-r.txt names are those of the
 * container files, tested there.) */
std::string long_text(char tag) {
    std::string text = std::string(1, tag) + "é€𝄞\n";
    while (qexport::character_count(text) < 32768) text += "abcdefghij";
    return text.substr(0, text.size() - (qexport::character_count(text) - 32768));
}

TEST(Export, XlsxWritesTextsLongerThanACellToFilesAndLinksThem) {
    qt::TempDir dir;
    qw::Database db;
    db.header.generation = Generation::v12;
    qw::Table t;
    t.name = "Long";
    t.columns = {typed_column("Picture", QUARN_TYPE_CONTAINER), typed_column("Body", QUARN_TYPE_TEXT),
                 typed_column("Other", QUARN_TYPE_TEXT)};
    const std::string a = long_text('a'), b = long_text('b'), fits = a.substr(0, a.size() - 1);
    ASSERT_EQ(qexport::character_count(a), 32768u);
    ASSERT_EQ(qexport::character_count(fits), 32767u);
    auto stored_long = [](int column, const std::string &text) {
        qw::Value v = value(column, text);
        v.long_value = true;
        return v;
    };
    t.records = {{0, {container(1, 1), stored_long(2, a)}},
                 {0, {stored_long(2, fits), stored_long(3, b)}},
                 {0, {value(2, "short")}}};
    qw::Container jpeg;
    jpeg.key = {0x01};
    qw::Stream picture;
    picture.data = picture_bytes();
    jpeg.streams = {picture};
    t.containers = {jpeg};
    db.tables.push_back(t);
    const std::string in = write_input(dir, "long", db);

    const struct {
        const char *name;
        std::vector<std::string> options;
        std::string folder; /* where the files are */
        std::string prefix; /* how the cells name that folder */
    } cases[] = {
        {"beside the workbook", {}, dir.file("out.xlsx_files"), "out.xlsx_files"},
        {"--containers", {"--containers", dir.file("elsewhere")}, dir.file("elsewhere"), "elsewhere"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"export", in, dir.file("out.xlsx"), "--force"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const qt::RunResult r = quarn(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "quarn: " + in + ": table \"Long\", field \"Body\": 1 text longer than a cell holds was "
                                         "written to a file\nquarn: " + in + ": table \"Long\", field \"Other\": 1 "
                                         "text longer than a cell holds was written to a file\n");
        EXPECT_EQ(qt::read_file(c.folder + "/Long/Body/1.txt"), a) << "the whole text, byte for byte";
        EXPECT_EQ(qt::read_file(c.folder + "/Long/Other/2.txt"), b);
        EXPECT_EQ(qt::read_file(c.folder + "/Long/Picture/1.jpg"), bytes_text(picture_bytes()))
            << "in the table's folder beside its containers";
        size_t files = 0;
        for (const auto &entry : fs::recursive_directory_iterator(c.folder)) files += entry.is_regular_file();
        EXPECT_EQ(files, 3u) << "a text that fits stays in its cell";

        const auto sheet = zip_part(dir.file("out.xlsx"), "xl/worksheets/sheet1.xml");
        const auto rels = zip_part(dir.file("out.xlsx"), "xl/worksheets/_rels/sheet1.xml.rels");
        ASSERT_TRUE(sheet && rels);
        const auto cells = sheet_cells(*sheet);
        EXPECT_EQ(cells.at("B2").value, c.prefix + "/Long/Body/1.txt");
        EXPECT_EQ(cells.at("C3").value, c.prefix + "/Long/Other/2.txt");
        EXPECT_EQ(cells.at("B3").value, fits) << "32,767 characters fit";
        EXPECT_EQ(cells.at("B4").value, "short");
        const auto links = sheet_links(*sheet, *rels);
        EXPECT_EQ(links, (std::map<std::string, std::string>{{"B2", c.prefix + "/Long/Body/1.txt"},
                                                              {"C3", c.prefix + "/Long/Other/2.txt"}}))
            << "each such cell links its file, by a path relative to the workbook";
    }

    /* the text is whole in its file: nothing lost, nothing for --strict */
    const qt::RunResult strict = quarn({"export", in, dir.file("strict.xlsx"), "--strict"});
    EXPECT_EQ(strict.status, 0) << strict.err;
    EXPECT_NE(strict.err.find("1 text longer than a cell holds was written to a file"), std::string::npos);
    EXPECT_EQ(qt::read_file(dir.file("strict.xlsx_files/Long/Body/1.txt")), a);

    const qt::RunResult csv = quarn({"export", in, dir.file("csv")});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.err, "") << "CSV cells hold any length";
    EXPECT_EQ((*read_csv(qt::read_file(dir.file("csv/Long.csv"))))[1][1], a);
}

/* A record keyed in a form FileMaker does not write for records (three
 * bytes from 0x00) fails the export, naming its block, rather than give a
 * wrong record id; nothing is left behind. */
TEST(Export, ARecordKeyOfAnUnknownFormFailsTheExport) {
    using namespace qw::v7;
    const Generation g = Generation::v12;
    Bytes p;
    push(p, {3});
    push(p, {16});
    push(p, {5});
    push(p, {0x80, 0x01});
    field(p, 16, qw::stored_text("T", g));
    pop(p);
    pop(p);
    pop(p);
    pop(p);
    push(p, {0x80, 0x01});
    push(p, {3});
    push(p, {5});
    push(p, {1});
    field(p, 16, qw::stored_text("f", g));
    pop(p);
    pop(p);
    pop(p);
    push(p, {5});
    for (const Bytes &key : {Bytes{0x01}, Bytes{0x00, 0x80, 0x00}}) {
        push(p, key);
        field(p, 1, qw::stored_text("v", g));
        pop(p);
    }
    pop(p);
    pop(p);
    qt::TempDir dir;
    const std::string in = dir.file("odd.fmp12");
    qw::write_file(in, qw::file_of_payloads(g, {p}));
    const qt::RunResult r = quarn({"export", in, dir.file("out.json")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarn: " + in + ": block 2 holds a record keyed in a form this version cannot read\n");
    EXPECT_FALSE(fs::exists(dir.file("out.json")));
    EXPECT_FALSE(fs::exists(dir.file("out.json_files")));
}

TEST(Export, ARecordWhoseValuesAreAllLeftOutIsStillARow) {
    qt::TempDir dir;
    qw::Database db;
    db.header.generation = Generation::v12;
    qw::Table t;
    t.name = "T";
    t.columns = {typed_column("A", QUARN_TYPE_TEXT), typed_column("B", QUARN_TYPE_TEXT)};
    /* record 2 holds only a repetition that B does not declare */
    t.records = {{0, {value(1, "a1")}}, {0, {value(2, "b2", 2)}}, {0, {value(1, "a3")}}};
    db.tables.push_back(t);
    const std::string in = write_input(dir, "T", db);
    const qt::RunResult r = quarn({"export", in, dir.file("out"), "--record-id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "quarn: " + in + ": table \"T\", field \"B\": 1 values of repetitions the field does not "
                                     "declare were left out\n");
    const auto rows = read_csv(qt::read_file(dir.file("out/T.csv")));
    ASSERT_TRUE(rows);
    EXPECT_EQ(*rows, (std::vector<std::vector<std::string>>{
                         {"record_id", "A", "B"}, {"1", "a1", ""}, {"2", "", ""}, {"3", "a3", ""}}))
        << "the record is there, with its id, its cells empty";
}

TEST(Export, ARecordWithoutValuesIsARowWithTheGlobals) {
    qt::TempDir dir;
    qw::Database db;
    db.header.generation = Generation::v12;
    qw::Table t;
    t.name = "T";
    t.columns = {typed_column("A", QUARN_TYPE_TEXT), global_column("G", QUARN_TYPE_TEXT)};
    t.globals = {value(2, "g")};
    t.records = {{0, {value(1, "a1")}}, {0, {}}, {0, {value(1, "a3")}}};
    db.tables.push_back(t);
    const std::string in = write_input(dir, "T", db);
    const qt::RunResult r = quarn({"export", in, dir.file("out"), "--record-id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto rows = read_csv(qt::read_file(dir.file("out/T.csv")));
    ASSERT_TRUE(rows);
    EXPECT_EQ(*rows, (std::vector<std::vector<std::string>>{
                         {"record_id", "A", "G"}, {"1", "a1", "g"}, {"2", "", "g"}, {"3", "a3", "g"}}));
    const qt::RunResult info = quarn({"info", "--json", in});
    ASSERT_EQ(info.status, 0) << info.err;
    const Json doc = parse_json(info.out);
    EXPECT_EQ(YAJL_GET_INTEGER(member(item(member(item(doc.get(), 0), "tables"), 0), "records")), 3);
}

TEST(Export, ATableWithoutANameIsExportedUnderTheLibrarysNameWithAWarning) {
    qt::TempDir dir;
    qw::Database db;
    db.header.generation = Generation::v12;
    /* the name the library gives table 3 when the catalogue names none */
    const std::pair<const char *, int> tables[] = {{"First", 1}, {"table_131", 3}, {"table_130", 4}};
    for (const auto &[name, number] : tables) {
        qw::Table t;
        t.name = name;
        t.number = number; /* "table_130" is table 4's own name: no warning */
        t.columns = {{"A"}};
        t.records = {{0, {value(1, name)}}};
        db.tables.push_back(t);
    }
    const std::string in = write_input(dir, "unnamed", db);
    const std::string warning = "quarn: " + in + ": table 3 has no name in the file; exported as \"table_131\"\n";
    const qt::RunResult r = quarn({"export", in, dir.file("out.sqlite")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, warning);
    EXPECT_EQ(sql_query(dir.file("out.sqlite"), "SELECT A FROM table_131")[0][0], text_cell("table_131"));
    const qt::RunResult strict = quarn({"export", in, dir.file("strict.sqlite"), "--strict"});
    EXPECT_EQ(strict.status, 1);
    EXPECT_EQ(strict.err, warning);
    EXPECT_FALSE(fs::exists(dir.file("strict.sqlite")));
    const qt::RunResult other = quarn({"export", in, dir.file("first.json"), "--tables", "First", "--strict"});
    EXPECT_EQ(other.status, 0) << "only the tables exported count: " << other.err;
}

TEST(Export, GlobalValuesInEveryRecordAndOnceBesideThem) {
    qt::TempDir dir;
    const std::string in = globals_file(dir);
    const std::string picture = bytes_text(picture_bytes());

    const qt::RunResult json_run = quarn({"export", in, dir.file("g.json")});
    ASSERT_EQ(json_run.status, 0) << json_run.err;
    EXPECT_EQ(json_run.err, "");
    const Json doc = parse_json(qt::read_file(dir.file("g.json")));
    ASSERT_TRUE(doc);
    const yajl_val g = item(member(doc.get(), "tables"), 0), empty = item(member(doc.get(), "tables"), 1);
    const yajl_val records = member(g, "records");
    ASSERT_EQ(length(records), 2u);
    for (size_t i = 0; i < 2; i++) {
        const yajl_val record = item(records, i);
        EXPECT_STREQ(YAJL_GET_NUMBER(member(record, "Rate")), "0.5") << "converted as a number";
        EXPECT_EQ(string_of(member(member(record, "Logo"), "path")), "g.json_files/G/Logo/globals.jpg");
        EXPECT_EQ(length(member(record, "Code")), 2u);
        EXPECT_EQ(string_of(item(member(record, "Code"), 1)), "c2");
    }
    EXPECT_EQ(keys(member(g, "globals")), (std::vector<std::string>{"Rate", "Logo", "Code"}));
    EXPECT_EQ(string_of(item(member(member(g, "globals"), "Code"), 0)), "c1");
    EXPECT_EQ(length(member(empty, "records")), 0u);
    EXPECT_EQ(string_of(member(member(empty, "globals"), "Note")), "n\nline") << "a table without records keeps it";
    EXPECT_EQ(qt::read_file(dir.file("g.json_files/G/Logo/globals.jpg")), picture) << "one file for every record";

    const std::vector<std::vector<std::string>> global_rows = {{"table", "field", "repetition", "value"},
                                                               {"G", "Rate", "1", "0.5"},
                                                               {"G", "Logo", "1", "files/G/Logo/globals.jpg"},
                                                               {"G", "Code", "1", "c1"},
                                                               {"G", "Code", "2", "c2"},
                                                               {"Empty", "Note", "1", "n\nline"}};
    ASSERT_EQ(quarn({"export", in, dir.file("csv")}).status, 0);
    EXPECT_EQ(*read_csv(qt::read_file(dir.file("csv/_globals.csv"))), global_rows);
    EXPECT_EQ((*read_csv(qt::read_file(dir.file("csv/G.csv"))))[2],
              (std::vector<std::string>{"two", "0.5", "files/G/Logo/globals.jpg", "c1", "c2"}));
    EXPECT_EQ(qt::read_file(dir.file("csv/files/G/Logo/globals.jpg")), picture);

    ASSERT_EQ(quarn({"export", in, dir.file("lines"), "--to", "jsonl"}).status, 0);
    const std::string lines = qt::read_file(dir.file("lines/_globals.jsonl"));
    const Json first = parse_json(lines.substr(0, lines.find('\n')));
    EXPECT_EQ(string_of(member(first.get(), "table")), "G");
    EXPECT_STREQ(YAJL_GET_NUMBER(member(first.get(), "value")), "0.5");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 5);

    ASSERT_EQ(quarn({"export", in, dir.file("g.sqlite")}).status, 0);
    EXPECT_EQ(sql_query(dir.file("g.sqlite"), "SELECT Name, Rate, Logo, Code, \"Code[2]\" FROM G ORDER BY rowid"),
              (std::vector<SqlRow>{{text_cell("one"), real_cell("0.5"), null_cell(), text_cell("c1"), text_cell("c2")},
                                   {text_cell("two"), real_cell("0.5"), null_cell(), text_cell("c1"), text_cell("c2")}}))
        << "the global container's bytes are kept once, in _globals";
    EXPECT_EQ(sql_query(dir.file("g.sqlite"), "SELECT \"table\", field, repetition, value FROM _globals ORDER BY rowid"),
              (std::vector<SqlRow>{{text_cell("G"), text_cell("Rate"), int_cell("1"), text_cell("0.5")},
                                   {text_cell("G"), text_cell("Logo"), int_cell("1"), blob_cell(picture_bytes())},
                                   {text_cell("G"), text_cell("Code"), int_cell("1"), text_cell("c1")},
                                   {text_cell("G"), text_cell("Code"), int_cell("2"), text_cell("c2")},
                                   {text_cell("Empty"), text_cell("Note"), int_cell("1"), text_cell("n\nline")}}));
    EXPECT_EQ(sql_query(dir.file("g.sqlite"), "SELECT count(*) FROM sqlite_master")[0][0], int_cell("3"));

    ASSERT_EQ(quarn({"export", in, dir.file("g.xlsx")}).status, 0);
    EXPECT_EQ(sheet_names(*zip_part(dir.file("g.xlsx"), "xl/workbook.xml")),
              (std::vector<std::string>{"G", "Empty", "_globals"}));
    const auto cells = sheet_cells(*zip_part(dir.file("g.xlsx"), "xl/worksheets/sheet3.xml"));
    EXPECT_EQ(cells.at("D2").value, "0.5");
    EXPECT_EQ(cells.at("D2").type, "") << "a number cell";
    EXPECT_EQ(cells.at("D3").value, "g.xlsx_files/G/Logo/globals.jpg");
    EXPECT_EQ(cells.at("A6").value, "Empty");
    EXPECT_EQ(cells.at("C5").value, "2");
}

TEST(Export, NoGlobalsTableWithoutGlobalValues) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v12));
    ASSERT_EQ(quarn({"export", in, dir.file("csv")}).status, 0);
    EXPECT_FALSE(fs::exists(dir.file("csv/_globals.csv")));
    ASSERT_EQ(quarn({"export", in, dir.file("t.sqlite")}).status, 0);
    EXPECT_EQ(sql_query(dir.file("t.sqlite"), "SELECT count(*) FROM sqlite_master")[0][0], int_cell("1"));
    const Json doc = parse_json(qt::read_file([&] {
        EXPECT_EQ(quarn({"export", in, dir.file("t.json")}).status, 0);
        return dir.file("t.json");
    }()));
    EXPECT_EQ(keys(item(member(doc.get(), "tables"), 0)), (std::vector<std::string>{"name", "fields", "records"}));
}

/* Every entry below a folder, as relative paths. */
std::set<std::string> tree(const std::string &folder) {
    std::set<std::string> out;
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        out.insert(fs::relative(entry.path(), folder).string());
    return out;
}

TEST(Export, StrictFailsAtTheFirstLossAndLeavesNothing) {
    qt::TempDir dir;
    const std::string things = write_input(dir, "Things", typed_database(Generation::v12));
    const std::string numbers = numbers_file(dir);
    const std::string undecided = dated_file(dir, "undecided", {"01/09/2018", "5/5/2001"});
    const std::string clean = dated_file(dir, "clean", {"01/09/2018", "12/31/2001"});
    fs::create_directory(dir.file("existing"));
    qw::write_file(dir.file("existing/keep.txt"), Bytes{0x6B});
    const struct {
        std::string input;
        std::vector<std::string> args;
        std::string first; /* the failure after "quarn: INPUT"; "" succeeds */
    } cases[] = {
        /* during the walk: the damaged container, before the value that stays text */
        {things, {"t.sqlite"}, kDamaged},
        {things, {"t.json"}, kDamaged},
        {things, {"t", "--to", "csv"}, kDamaged},
        {things, {"existing", "--to", "jsonl"}, kDamaged},
        {things, {"t.xlsx"}, kDamaged},
        /* PostgreSQL decides a number field's type in the plan */
        {things, {"t.sql"}, ": table \"Things\", field \"Amount\" kept its text: \"n/a\" is not a number\n"},
        /* --text demotes nothing, but a damaged container is still a loss */
        {things, {"text.json", "--text"}, kDamaged},
        /* at the end of the table */
        {numbers, {"n.json"}, ": table \"Numbers\", field \"N\": 2 values are not numbers and stayed text (first: "
                              "\"12 kg\")\n"},
        {numbers, {"n.sql"}, ": table \"Numbers\", field \"N\" kept its text: \"12 kg\" is not a number\n"},
        /* in the plan, before any record is written */
        {undecided, {"u.csv.d", "--to", "csv"},
         ": table \"Dates\", field \"When\" kept its text: \"01/09/2018\" could be month/day or day/month, and "
         "no date of the file tells which\n"},
        {clean, {"c.json"}, ""},
        {clean, {"c.xlsx"}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input + " " + c.args[0]);
        const std::set<std::string> before = tree(dir.path());
        std::vector<std::string> args = {"export", c.input, dir.file(c.args[0]), "--strict"};
        args.insert(args.end(), c.args.begin() + 1, c.args.end());
        const qt::RunResult r = quarn(args);
        if (c.first.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(fs::exists(dir.file(c.args[0])));
            continue;
        }
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "quarn: " + c.input + c.first) << "the first loss alone, in the warning's words";
        EXPECT_EQ(tree(dir.path()), before) << "no output, no files folder, nothing staged";
        EXPECT_EQ(qt::read_file(dir.file("existing/keep.txt")), "k");
    }
}

TEST(Export, StrictPassesOnToEveryExportOfABatch) {
    qt::TempDir dir;
    const std::string things = write_input(dir, "Things", typed_database(Generation::v12));
    const std::string clean = dated_file(dir, "clean", {"01/09/2018", "12/31/2001"});
    const qt::RunResult r = quarn({"export", "--strict", "--to", "json", "--outdir", dir.file("out"), things, clean});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("quarn: " + things + kDamaged), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("stayed text"), std::string::npos) << "only the first loss of an input is told: " << r.err;
    EXPECT_EQ(tree(dir.file("out")), std::set<std::string>{"clean.json"}) << "the clean input converted, alone";
}

/* ---- the shared real files ------------------------------------------ */

struct FormatRun {
    const char *to;
    const char *name; /* output name */
};
const FormatRun kFormats[] = {
    {"sqlite", "out.sqlite"}, {"csv", "out"}, {"json", "out.json"}, {"jsonl", "lines"}, {"xlsx", "out.xlsx"}};

TEST(ExportCorpus, EveryFileInEveryFormat) {
    const std::vector<std::string> files = qt::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus folder at " << QUARN_CORPUS_DIR;
    size_t databases = 0;
    for (const std::string &file : files) {
        if (file.size() > 3 && file.compare(file.size() - 3, 3, ".md") == 0) continue;
        databases++;
        for (const FormatRun &format : kFormats) {
            qt::TempDir dir;
            const std::string out = dir.file(format.name);
            const qt::RunResult r = quarn({"export", file, out, "--to", format.to});
            ASSERT_EQ(r.status, 0) << file << " to " << format.to << ": " << r.err;
            const std::string to = format.to;
            if (to == "sqlite") {
                EXPECT_EQ(integrity(out), "ok") << file;
            } else if (to == "json") {
                EXPECT_TRUE(parse_json(qt::read_file(out))) << file;
            } else if (to == "xlsx") {
                EXPECT_TRUE(zip_part(out, "xl/workbook.xml")) << file;
            } else {
                for (const auto &entry : fs::directory_iterator(out)) {
                    if (!entry.is_regular_file()) continue;
                    const std::string text = qt::read_file(entry.path().string());
                    if (to == "csv") {
                        EXPECT_TRUE(read_csv(text)) << entry.path();
                        continue;
                    }
                    size_t start = 0, end;
                    while ((end = text.find('\n', start)) != std::string::npos) {
                        EXPECT_TRUE(parse_json(text.substr(start, end - start))) << entry.path();
                        start = end + 1;
                    }
                }
            }
        }
    }
    EXPECT_EQ(databases, 10u);
}

/* The records of each table as one format wrote them: rows of the SQLite
 * table, of the CSV file after its header, lines of the JSON Lines file,
 * items of the JSON table's "records", rows of the sheet after its header
 * (the highest row number: a record without any cell has no row element).
 * -1 when the table is not in the output. */
int64_t records_written(const std::string &to, const std::string &out, const std::string &table, size_t position) {
    if (to == "sqlite") {
        const auto rows = sql_query(out, "SELECT count(*) FROM \"" + table + "\"");
        return rows.empty() ? -1 : std::stoll(rows[0][0].bytes);
    }
    if (to == "csv" || to == "jsonl") {
        const std::string path = out + "/" + table + (to == "csv" ? ".csv" : ".jsonl");
        if (!fs::exists(path)) return -1;
        const std::string text = qt::read_file(path);
        if (to == "jsonl") return static_cast<int64_t>(std::count(text.begin(), text.end(), '\n'));
        const auto rows = read_csv(text);
        return rows ? static_cast<int64_t>(rows->size()) - 1 : -1;
    }
    if (to == "json") {
        const Json doc = parse_json(qt::read_file(out));
        const yajl_val tables = member(doc.get(), "tables");
        for (size_t t = 0; t < length(tables); t++)
            if (string_of(member(item(tables, t), "name")) == table)
                return static_cast<int64_t>(length(member(item(tables, t), "records")));
        return -1;
    }
    const auto workbook = zip_part(out, "xl/workbook.xml");
    if (!workbook) return -1;
    const std::vector<std::string> names = sheet_names(*workbook);
    if (position >= names.size() || names[position] != table) return -1;
    const auto sheet = zip_part(out, "xl/worksheets/sheet" + std::to_string(position + 1) + ".xml");
    if (!sheet) return -1;
    int64_t last = 0;
    for (const auto &[ref, cell] : sheet_cells(*sheet)) {
        const size_t digits = ref.find_first_of("0123456789");
        last = std::max<int64_t>(last, std::stoll(ref.substr(digits)));
    }
    /* a table without fields has no header row either */
    return last == 0 ? 0 : last - 1;
}

/* Every record the file holds (each record directory, counted by a walk of
 * the test's own over the raw keys) comes out as a row or object of its
 * table, in every format. */
TEST(ExportCorpus, EveryRecordTheFileHoldsComesOutInEveryFormat) {
    const std::vector<std::string> files = qt::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus folder at " << QUARN_CORPUS_DIR;
    for (const std::string &file : files) {
        if (file.size() > 3 && file.compare(file.size() - 3, 3, ".md") == 0) continue;
        SCOPED_TRACE(file);
        qt::RecordKeys keys;
        ASSERT_TRUE(qt::record_directories(file, &keys));
        quarn_error_t error = QUARN_OK;
        const std::unique_ptr<quarn_file_t, void (*)(quarn_file_t *)> opened(quarn_open_file(file.c_str(), &error),
                                                                            quarn_close_file);
        ASSERT_NE(opened, nullptr);
        const std::unique_ptr<quarn_table_array_t, void (*)(quarn_table_array_t *)> tables(
            quarn_list_tables(opened.get(), &error), quarn_free_tables);
        ASSERT_NE(tables, nullptr);
        for (const auto &[number, records] : keys) {
            bool listed = false;
            for (uint64_t t = 0; t < tables->count; t++) listed = listed || tables->tables[t].index == number;
            EXPECT_TRUE(listed) << "table " << number << " holds records and is not listed";
        }
        for (const FormatRun &format : kFormats) {
            SCOPED_TRACE(format.to);
            qt::TempDir dir;
            const std::string out = dir.file(format.name);
            const qt::RunResult r = quarn({"export", file, out, "--to", format.to});
            ASSERT_EQ(r.status, 0) << r.err;
            for (uint64_t t = 0; t < tables->count; t++) {
                const quarn_table_t &table = tables->tables[t];
                const auto held = keys.find(table.index);
                const int64_t expected = held == keys.end() ? 0 : static_cast<int64_t>(held->second.size());
                /* SQLite has no table without columns; such a table has no
                 * records either */
                const int64_t written = records_written(format.to, out, table.name, t);
                if (written < 0 && expected == 0 && std::string(format.to) == "sqlite") continue;
                EXPECT_EQ(written, expected) << table.name;
            }
        }
    }
}

/* book_list's three covers: keys 4, 6 and 7, referenced by rows 2, 1, 7. */
const struct {
    int row;
    size_t size;
} kCovers[] = {{1, 4262}, {2, 3803}, {7, 10656}};

TEST(ExportCorpus, BookListCoversComeOutByteForByteInEveryFormat) {
    const std::string corpus = qt::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus folder at " << QUARN_CORPUS_DIR;
    std::map<int, std::string> reference; /* row -> bytes, from the first file */
    for (const char *name : {"book_list.fp5", "book_list.fp7", "book_list.fmp12"}) {
        const std::string input = corpus + "/" + name;
        if (!fs::exists(input)) GTEST_SKIP() << input << " is absent";
        for (const FormatRun &format : kFormats) {
            qt::TempDir dir;
            const std::string out = dir.file(format.name);
            const qt::RunResult r = quarn({"export", input, out, "--to", format.to});
            ASSERT_EQ(r.status, 0) << name << " " << format.to << ": " << r.err;
            std::map<int, std::string> covers;
            const std::string to = format.to;
            if (to == "sqlite") {
                const std::string table = std::string(name) == "book_list.fp5" ? "book_list" : "Book_List";
                for (const auto &row : sql_query(out, "SELECT rowid, cover_art FROM \"" + table + "\""))
                    if (row[1].type == SQLITE_BLOB) covers[std::stoi(row[0].bytes)] = row[1].bytes;
            } else {
                const std::string root = to == "csv" || to == "jsonl" ? out + "/files" : out + "_files";
                for (const auto &entry : fs::recursive_directory_iterator(root))
                    if (entry.is_regular_file())
                        covers[std::stoi(entry.path().stem().string())] = qt::read_file(entry.path().string());
            }
            ASSERT_EQ(covers.size(), 3u) << name << " " << format.to;
            for (const auto &cover : kCovers) {
                const std::string &bytes = covers[cover.row];
                EXPECT_EQ(bytes.size(), cover.size) << name << " " << format.to << " row " << cover.row;
                EXPECT_EQ(bytes.compare(0, 2, "\xFF\xD8"), 0) << "a JPEG starts FF D8";
                if (reference.count(cover.row) == 0) reference[cover.row] = bytes;
                EXPECT_TRUE(bytes == reference[cover.row]) << name << " " << format.to << " row " << cover.row;
            }
        }
    }
}

TEST(ExportCorpus, RepeatingFieldsUseTheirFiveFilledRepetitions) {
    const std::string corpus = qt::corpus_dir();
    const std::string input = corpus + "/repeating.fmp12";
    if (corpus.empty() || !fs::exists(input)) GTEST_SKIP() << "repeating.fmp12 is absent from " << QUARN_CORPUS_DIR;
    qt::TempDir dir;
    const char *fields[] = {"repeating", "repeatingOut"};
    auto text = [](int r) {
        const char *texts[] = {"1. line 1\nline 2\nline 3", "2. abc,def,ghi,jkl,mno",
                               "3. <value>this</value><value>the other</value>", "4. line 1\npqr,stu,uvv\n<value>end</value>",
                               "5. 2017-06-18 8:56 PM"};
        return std::string(texts[r - 1]);
    };
    auto column = [](const char *field, int r) { return std::string(field) + (r > 1 ? "[" + std::to_string(r) + "]" : ""); };

    ASSERT_EQ(quarn({"export", input, dir.file("r.sqlite")}).status, 0);
    const auto names = sql_query(dir.file("r.sqlite"), "SELECT name FROM pragma_table_info('repeating') ORDER BY cid");
    ASSERT_EQ(names.size(), 13u);
    for (int f = 0; f < 2; f++)
        for (int r = 1; r <= 5; r++) {
            EXPECT_EQ(names[static_cast<size_t>(f * 5 + r - 1)][0].bytes, column(fields[f], r));
            const auto cell = sql_query(dir.file("r.sqlite"), "SELECT \"" + column(fields[f], r) + "\" FROM repeating");
            EXPECT_EQ(cell.at(0).at(0).bytes, text(r));
        }

    ASSERT_EQ(quarn({"export", input, dir.file("r")}).status, 0);
    const auto rows = read_csv(qt::read_file(dir.file("r/repeating.csv")));
    ASSERT_TRUE(rows && rows->size() == 2);
    for (int r = 1; r <= 5; r++) {
        EXPECT_EQ((*rows)[0][static_cast<size_t>(r - 1)], column("repeating", r));
        EXPECT_EQ((*rows)[1][static_cast<size_t>(5 + r - 1)], text(r));
    }

    ASSERT_EQ(quarn({"export", input, dir.file("r.xlsx")}).status, 0);
    const auto cells = sheet_cells(*zip_part(dir.file("r.xlsx"), "xl/worksheets/sheet1.xml"));
    EXPECT_EQ(cells.at("E1").value, "repeating[5]");
    EXPECT_EQ(cells.at("F1").value, "repeatingOut");
    EXPECT_EQ(cells.at("J2").value, text(5));

    for (const char *to : {"json", "jsonl"}) {
        const std::string out = dir.file(std::string("r-") + to);
        ASSERT_EQ(quarn({"export", input, out, "--to", to}).status, 0);
        const Json doc = parse_json(qt::read_file(std::string(to) == "json" ? out : out + "/repeating.jsonl"));
        ASSERT_TRUE(doc);
        const yajl_val record =
            std::string(to) == "json" ? item(member(item(member(doc.get(), "tables"), 0), "records"), 0) : doc.get();
        for (const char *field : fields) {
            const yajl_val array = member(record, field);
            ASSERT_EQ(length(array), 5u) << to << " " << field;
            for (int r = 1; r <= 5; r++) EXPECT_EQ(string_of(item(array, static_cast<size_t>(r - 1))), text(r));
        }
    }
}

} // namespace
