/*
 * quarn-to-sqlite end to end: database files made by the test writer are
 * converted by the built program, and the SQLite databases it leaves are
 * read back through the SQLite API (schema text, column names, rows, NULLs).
 * Also the command line, every failure message with its status, names that
 * try to break out of their SQL identifiers, and runs over the real files
 * of the shared corpus when it is there.
 */
#include "process.h"
#include "writer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using qw::Generation;

using Cell = std::optional<std::string>;
using Row = std::vector<Cell>;
using Rows = std::vector<Row>;

const std::string kArgv0 = "/some/dir/quarn-to-sqlite";
const std::string kUsage = "Usage: quarn-to-sqlite [input file] [output file]\n";

qt::RunResult convert(const std::string &input, const std::string &output) {
    return qt::run(qt::tool_path("quarn-to-sqlite"), {input, output}, kArgv0);
}

/* Runs sql on the database at path (opened read-only) with params bound as
 * text to ?1, ?2...; every column of every row as text or NULL. */
Rows query(const std::string &path, const std::string &sql, const std::vector<std::string> &params = {}) {
    Rows rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot prepare " << sql << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return rows;
    }
    for (size_t i = 0; i < params.size(); i++)
        sqlite3_bind_text(statement, static_cast<int>(i + 1), params[i].c_str(), -1, SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        Row row;
        for (int c = 0; c < sqlite3_column_count(statement); c++) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, c));
            row.push_back(text ? Cell(text) : std::nullopt);
        }
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) ADD_FAILURE() << "query " << sql << " failed: " << sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

/* type, name and sql text of every schema entry, in creation order. */
Rows schema(const std::string &path) {
    return query(path, "SELECT type, name, sql FROM sqlite_master ORDER BY rowid");
}

/* The column names of a table, in order. */
std::vector<std::string> column_names(const std::string &path, const std::string &table) {
    std::vector<std::string> names;
    for (const Row &row : query(path, "SELECT name FROM pragma_table_info(?1) ORDER BY cid", {table}))
        names.push_back(row.at(0).value_or("(null)"));
    return names;
}

/* Every row of a table in insertion order. */
Rows table_rows(const std::string &path, const std::string &table) {
    std::string quoted = "\"";
    for (char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return query(path, "SELECT * FROM " + quoted + "\" ORDER BY rowid");
}

std::string extension(Generation generation) {
    switch (generation) {
    case Generation::early: return ".fp5";
    case Generation::v7: return ".fp7";
    case Generation::v12: return ".fmp12";
    }
    return "";
}

std::string generation_name(Generation generation) {
    switch (generation) {
    case Generation::early: return "Early";
    case Generation::v7: return "V7";
    case Generation::v12: return "V12";
    }
    return "";
}

/* Writes the database as <dir>/<stem><extension>; early files take their
 * table name from that stem. */
std::string write_input(const qt::TempDir &dir, const std::string &stem, const qw::Database &database) {
    const std::string path = dir.file(stem + extension(database.header.generation));
    qw::write_file(path, qw::build_database(database));
    return path;
}

qw::Value value(int column, std::string text) {
    qw::Value v;
    v.column = column;
    v.text = std::move(text);
    return v;
}

/* A value stored as pieces of piece_size bytes, joined by the reader. */
qw::Value long_value(int column, std::string text, size_t piece_size) {
    qw::Value v = value(column, std::move(text));
    v.long_value = true;
    v.piece_size = piece_size;
    return v;
}

qw::Database database_of(Generation generation, std::vector<qw::Table> tables) {
    qw::Database database;
    database.header.generation = generation;
    database.tables = std::move(tables);
    return database;
}

/* A table "People" whose columns are numbered 1, 2 and 5, two of them with
 * spaces in their names and one with a non-ASCII name; rows with missing
 * values, non-ASCII text and a long value cut into small pieces. */
qw::Table people_table(Generation generation) {
    qw::Table table;
    table.name = "People";
    table.columns = {{"first name", 1}, {"last name", 2}, {"Straße", 5}};
    table.records = {
        {0, {value(1, "Ada"), value(2, "Lovelace"), value(5, "London")}},
        {0, {value(1, "Zoë"), value(5, "Århus")}},
        {0, {value(2, "Nobody")}},
        {0, {value(1, "Émile"), long_value(2, "a long name, cut into pieces: ÀÉÎÕÜ ç ß", 7), value(5, "Genève")}},
        {0, {value(5, "only the street")}},
    };
    if (qw::is_v7(generation)) table.records.push_back({0, {value(1, "花子"), value(2, "山田"), value(5, "東京都")}});
    return table;
}

Rows people_rows(Generation generation) {
    Rows rows = {
        {"Ada", "Lovelace", "London"},
        {"Zoë", std::nullopt, "Århus"},
        {std::nullopt, "Nobody", std::nullopt},
        {"Émile", "a long name, cut into pieces: ÀÉÎÕÜ ç ß", "Genève"},
        {std::nullopt, std::nullopt, "only the street"},
    };
    if (qw::is_v7(generation)) rows.push_back({"花子", "山田", "東京都"});
    return rows;
}

class ToSqliteGenerations : public testing::TestWithParam<Generation> {};

TEST_P(ToSqliteGenerations, SchemaRowsAndProgress) {
    const Generation generation = GetParam();
    qt::TempDir dir;
    const std::string input = write_input(dir, "People", database_of(generation, {people_table(generation)}));
    const std::string output = dir.file("out.db");

    const qt::RunResult run = convert(input, output);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "CREATE TABLE \"People\"\n");
    EXPECT_EQ(run.out, "");

    const Rows expected_schema = {
        {"table", "People", "CREATE TABLE \"People\" (\"first_name\" TEXT, \"last_name\" TEXT, \"Straße\" TEXT)"}};
    EXPECT_EQ(schema(output), expected_schema);
    /* columns 1, 2 and 5: each value lands in its own column's place,
     * columns without a value in a row stay NULL */
    EXPECT_EQ(table_rows(output, "People"), people_rows(generation));
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, ToSqliteGenerations,
                         testing::Values(Generation::early, Generation::v7, Generation::v12),
                         [](const auto &info) { return generation_name(info.param); });

TEST(ToSqlite, EveryTableInOrderWithItsProgressLine) {
    qt::TempDir dir;
    qw::Table books;
    books.name = "Book list";
    books.number = 1;
    books.columns = {{"title", 1}, {"page count", 2}};
    books.records = {{0, {value(1, "Dune"), value(2, "412")}}, {0, {value(1, "Emma")}}};
    qw::Table authors;
    authors.name = "Auteurs é";
    authors.number = 3;
    authors.columns = {{"name", 1}};
    authors.records = {{0, {value(1, "Austen")}}, {0, {value(1, "Herbert")}}, {0, {value(1, "Brontë")}}};
    const std::string input = write_input(dir, "library", database_of(Generation::v12, {books, authors}));
    const std::string output = dir.file("out.db");

    const qt::RunResult run = convert(input, output);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "CREATE TABLE \"Book list\"\nCREATE TABLE \"Auteurs é\"\n");

    /* spaces become "_" in column names only; a table name keeps its space */
    const Rows expected_schema = {
        {"table", "Book list", "CREATE TABLE \"Book list\" (\"title\" TEXT, \"page_count\" TEXT)"},
        {"table", "Auteurs é", "CREATE TABLE \"Auteurs é\" (\"name\" TEXT)"}};
    EXPECT_EQ(schema(output), expected_schema);
    EXPECT_EQ(table_rows(output, "Book list"), (Rows{{"Dune", "412"}, {"Emma", std::nullopt}}));
    EXPECT_EQ(table_rows(output, "Auteurs é"), (Rows{{"Austen"}, {"Herbert"}, {"Brontë"}}));
}

TEST(ToSqlite, EarlyFileNamesItsTableAfterTheFile) {
    qt::TempDir dir;
    qw::Table table;
    table.columns = {{"title", 1}};
    table.records = {{0, {value(1, "Dune")}}};
    const std::string input = write_input(dir, "my books", database_of(Generation::early, {table}));
    const std::string output = dir.file("out.db");

    const qt::RunResult run = convert(input, output);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "CREATE TABLE \"my books\"\n");
    EXPECT_EQ(schema(output), (Rows{{"table", "my books", "CREATE TABLE \"my books\" (\"title\" TEXT)"}}));
    EXPECT_EQ(table_rows(output, "my books"), (Rows{{"Dune"}}));
}

TEST(ToSqlite, FileWithoutTablesMakesAnEmptyDatabase) {
    qt::TempDir dir;
    const std::string input = write_input(dir, "empty", database_of(Generation::v7, {}));
    const std::string output = dir.file("out.db");

    const qt::RunResult run = convert(input, output);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(fs::exists(output));
    EXPECT_EQ(schema(output), Rows{});
}

TEST(ToSqlite, ExistingDatabaseKeepsItsContents) {
    qt::TempDir dir;
    const std::string output = dir.file("out.db");
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(output.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE other (x); INSERT INTO other VALUES ('kept');", nullptr, nullptr,
                               nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const std::string input = write_input(dir, "people", database_of(Generation::v7, {people_table(Generation::v7)}));

    const qt::RunResult run = convert(input, output);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(table_rows(output, "other"), (Rows{{"kept"}}));
    EXPECT_EQ(table_rows(output, "People"), people_rows(Generation::v7));
}

/* The definition is refused by SQLite: the message SQLite gives, then the
 * statement, status 1; tables made before stay with their rows. */
TEST(ToSqlite, RefusedDefinitionsReportTheStatement) {
    struct Case {
        const char *name;
        std::vector<qw::Table> second_run; /* converted into a database that already has "People" */
        std::string err;
    };
    qw::Table people_again = people_table(Generation::v7);
    qw::Table no_columns;
    no_columns.name = "Empty";
    no_columns.number = 2;
    qw::Table clash;
    clash.name = "Clash";
    clash.number = 2;
    clash.columns = {{"a b", 1}, {"a_b", 2}};
    const std::vector<Case> cases = {
        {"table already exists",
         {people_again},
         "CREATE TABLE \"People\"\n"
         "Error creating SQL table: table \"People\" already exists\n"
         "Statement was: CREATE TABLE \"People\" (\"first_name\" TEXT, \"last_name\" TEXT, \"Straße\" TEXT);\n"},
        {"table without columns",
         {no_columns},
         "CREATE TABLE \"Empty\"\n"
         "Error creating SQL table: near \")\": syntax error\n"
         "Statement was: CREATE TABLE \"Empty\" ();\n"},
        {"two columns with one SQL name",
         {clash},
         "CREATE TABLE \"Clash\"\n"
         "Error creating SQL table: duplicate column name: a_b\n"
         "Statement was: CREATE TABLE \"Clash\" (\"a_b\" TEXT, \"a_b\" TEXT);\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qt::TempDir dir;
        const std::string output = dir.file("out.db");
        const std::string first = write_input(dir, "first", database_of(Generation::v7, {people_table(Generation::v7)}));
        ASSERT_EQ(convert(first, output).status, 0);

        const std::string second = write_input(dir, "second", database_of(Generation::v7, c.second_run));
        const qt::RunResult run = convert(second, output);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(schema(output).size(), 1u);
        EXPECT_EQ(table_rows(output, "People"), people_rows(Generation::v7));
    }
}

TEST(ToSqlite, FailureStopsBeforeLaterTables) {
    qt::TempDir dir;
    qw::Table first;
    first.name = "First";
    first.number = 1;
    first.columns = {{"a", 1}};
    first.records = {{0, {value(1, "x")}}, {0, {value(1, "y")}}};
    qw::Table empty;
    empty.name = "Empty";
    empty.number = 2;
    qw::Table last;
    last.name = "Last";
    last.number = 3;
    last.columns = {{"b", 1}};
    const std::string input = write_input(dir, "three", database_of(Generation::v7, {first, empty, last}));
    const std::string output = dir.file("out.db");

    const qt::RunResult run = convert(input, output);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "CREATE TABLE \"First\"\nCREATE TABLE \"Empty\"\n"
                       "Error creating SQL table: near \")\": syntax error\n"
                       "Statement was: CREATE TABLE \"Empty\" ();\n");
    /* what was written before the failure stays */
    EXPECT_EQ(schema(output), (Rows{{"table", "First", "CREATE TABLE \"First\" (\"a\" TEXT)"}}));
    EXPECT_EQ(table_rows(output, "First"), (Rows{{"x"}, {"y"}}));
}

/* A directory of its own with a short path, so that names of at most 63
 * bytes can spell out a path inside it. */
class ShortDir {
  public:
    ShortDir() {
        char pattern[] = "/tmp/qsXXXXXX";
        if (!mkdtemp(pattern)) abort();
        path_ = pattern;
    }
    ~ShortDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(path_)) names.insert(entry.path().filename().string());
        return names;
    }

  private:
    std::string path_;
};

/* Names that, pasted unquoted into the SQL text, would close their
 * identifier and run statements of their own: ATTACH creates a database
 * file next to the output. Quoted, each is just a name. */
TEST(ToSqlite, NamesNeverLeaveTheirIdentifiers) {
    ShortDir out_dir;
    const std::string &d = out_dir.path();
    struct Case {
        const char *name;
        std::string table;
        std::string column;
        std::string sql_column; /* the column's SQL name */
        std::string sql;        /* expected sqlite_master text, or "" not to compare */
    };
    const std::vector<Case> cases = {
        {"quote in both names", "x\"y", "a\"b c", "a\"b_c", "CREATE TABLE \"x\"\"y\" (\"a\"\"b_c\" TEXT, \"other\" TEXT)"},
        {"table name attaches a file", "x\"(a);ATTACH'" + d + "/e'AS e;CREATE TABLE e.t(a);--", "col", "col", ""},
        {"column name attaches a file", "T", "a\");ATTACH'" + d + "/f'AS\"f\";CREATE/**/TABLE/**/f.t(a);--",
         "a\");ATTACH'" + d + "/f'AS\"f\";CREATE/**/TABLE/**/f.t(a);--", ""},
        {"lone quote", "\"", "\"", "\"", "CREATE TABLE \"\"\"\" (\"\"\"\" TEXT, \"other\" TEXT)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        /* longer names would be cut by the catalogue and test something else */
        ASSERT_LE(c.table.size(), 63u);
        ASSERT_LE(c.column.size(), 63u);
        qt::TempDir in_dir;
        qw::Table table;
        table.name = c.table;
        table.columns = {{c.column, 1}, {"other", 2}};
        table.records = {{0, {value(1, "v1"), value(2, "w1")}}, {0, {value(2, "w2")}}};
        const std::string input = write_input(in_dir, "hostile", database_of(Generation::v7, {table}));
        const std::string output = d + "/out.db";
        fs::remove(output);

        const qt::RunResult run = convert(input, output);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "CREATE TABLE \"" + c.table + "\"\n");
        EXPECT_EQ(out_dir.entries(), std::set<std::string>{"out.db"});

        const Rows entries = schema(output);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0][0], "table");
        EXPECT_EQ(entries[0][1], c.table);
        if (!c.sql.empty()) {
            EXPECT_EQ(entries[0][2], c.sql);
        }
        EXPECT_EQ(column_names(output, c.table), (std::vector<std::string>{c.sql_column, "other"}));
        EXPECT_EQ(table_rows(output, c.table), (Rows{{"v1", "w1"}, {std::nullopt, "w2"}}));
    }
}

TEST(ToSqlite, EarlyFileNameWithAQuote) {
    qt::TempDir dir;
    qw::Table table;
    table.columns = {{"n", 1}};
    table.records = {{0, {value(1, "1")}}};
    const std::string input = write_input(dir, "a\"b", database_of(Generation::early, {table}));
    const std::string output = dir.file("out.db");

    const qt::RunResult run = convert(input, output);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(schema(output), (Rows{{"table", "a\"b", "CREATE TABLE \"a\"\"b\" (\"n\" TEXT)"}}));
    EXPECT_EQ(table_rows(output, "a\"b"), (Rows{{"1"}}));
}

TEST(ToSqliteCommandLine, UsageAndVersion) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        bool version;
    };
    const std::vector<Case> cases = {
        {"no arguments", {}, false},
        {"one argument", {"in.fp7"}, false},
        {"three arguments", {"a", "b", "c"}, false},
        {"--version alone", {"--version"}, true},
        {"--version among three arguments", {"--version", "a", "b"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const qt::RunResult run = qt::run(qt::tool_path("quarn-to-sqlite"), c.args, kArgv0);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "");
        if (!c.version) {
            EXPECT_EQ(run.out, kUsage);
            continue;
        }
        /* version, copyright, web address, an empty line, then the usage */
        std::vector<std::string> lines;
        for (size_t start = 0, end; start < run.out.size(); start = end + 1) {
            end = run.out.find('\n', start);
            if (end == std::string::npos) end = run.out.size();
            lines.push_back(run.out.substr(start, end - start));
        }
        ASSERT_EQ(lines.size(), 5u) << run.out;
        EXPECT_EQ(lines[0], "QUARN Tools version 0.2.2");
        EXPECT_NE(lines[1], "");
        EXPECT_NE(lines[2], "");
        EXPECT_EQ(lines[3], "");
        EXPECT_EQ(lines[4] + "\n", kUsage);
        EXPECT_TRUE(run.out.ends_with("\n"));
    }
}

TEST(ToSqliteCommandLine, VersionWithTwoArgumentsIsAnInputPath) {
    qt::TempDir dir;
    const std::string output = dir.file("out.db");
    const qt::RunResult run = qt::run(qt::tool_path("quarn-to-sqlite"), {"--version", output}, kArgv0);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error code: 1\n");
    EXPECT_FALSE(fs::exists(output));
}

/* A broken block appended to the file's chain, after all the content. */
qw::Bytes with_broken_block(const qw::Database &database) {
    qw::FileLayout layout = qw::database_layout(database);
    qw::Sector broken;
    if (qw::is_v7(database.header.generation)) {
        /* filler to the last byte, where a field chunk starts and is cut
         * off by the end of the payload */
        qw::v7::filler(broken.payload, qw::payload_area_size(database.header.generation) - 1);
        broken.payload.push_back(0x06);
    } else {
        /* a field of ref 1 whose length byte is missing */
        broken.payload = {0x41};
    }
    layout.blocks.push_back(broken);
    qw::chain(layout.blocks);
    return qw::build_file(layout);
}

TEST(ToSqliteFailures, InputErrorsCreateNoOutput) {
    struct Case {
        const char *name;
        qw::Bytes bytes; /* empty: no input file at all */
        std::string err;
    };
    qw::Database bad_magic = database_of(Generation::v7, {people_table(Generation::v7)});
    bad_magic.header.bad_magic = true;
    const std::vector<Case> cases = {
        {"missing input", {}, "Error code: 1\n"},
        {"not a database", qw::build_database(bad_magic), "Error code: 6\n"},
        /* the table list walks the whole file and meets the broken block */
        {"broken block, generation 12",
         with_broken_block(database_of(Generation::v12, {people_table(Generation::v12)})), "Error code: 9\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qt::TempDir dir;
        const std::string input = dir.file("input.fp7");
        if (!c.bytes.empty()) qw::write_file(input, c.bytes);
        const std::string output = dir.file("out.db");
        const qt::RunResult run = convert(input, output);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.err);
        EXPECT_FALSE(fs::exists(output));
    }
}

TEST(ToSqliteFailures, OutputThatCannotBeOpened) {
    qt::TempDir dir;
    const std::string input = write_input(dir, "people", database_of(Generation::v7, {people_table(Generation::v7)}));
    const qt::RunResult run = convert(input, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error opening SQLite file\n");
    EXPECT_EQ(run.out, "");
}

/* Runs sql on the database at path, creating it when absent. */
void execute(const std::string &path, const std::string &sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK);
    char *error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

/* Rows go in through transactions of many rows each: two tables that
 * together span more than two transactions (one ends inside each table),
 * followed by a failure (the next table is already in the output), still
 * leave every row and table written before the failure, and a good run
 * afterwards can add to the same database. */
TEST(ToSqliteFailures, FailureKeepsEveryRowWrittenBeforeIt) {
    qt::TempDir dir;
    struct Big {
        const char *name;
        size_t rows;
        std::vector<size_t> probes; /* first, last, and either side of a commit */
    };
    const Big bigs[] = {{"Many", 60007, {0, 49999, 50000, 60006}}, {"More", 45001, {0, 39992, 39993, 45000}}};
    std::vector<qw::Table> tables;
    for (const Big &big : bigs) {
        qw::Table t;
        t.name = big.name;
        t.number = static_cast<int>(tables.size()) + 1;
        t.columns = {{"n", 1}, {"odd", 2}};
        t.generated_records = big.rows;
        t.make_record = [](size_t i, qw::Record &record) {
            record.values = {value(1, std::to_string(i))};
            if (i % 2) record.values.push_back(value(2, "odd"));
        };
        tables.push_back(t);
    }
    qw::Table second;
    second.name = "Second";
    second.number = 3;
    second.columns = {{"b", 1}};
    second.records = {{0, {value(1, "never")}}};
    tables.push_back(second);
    const std::string input = write_input(dir, "many", database_of(Generation::v12, tables));
    const std::string output = dir.file("out.db");
    execute(output, "CREATE TABLE \"Second\" (\"x\" TEXT); INSERT INTO \"Second\" VALUES ('kept');");

    const qt::RunResult run = convert(input, output);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "CREATE TABLE \"Many\"\nCREATE TABLE \"More\"\nCREATE TABLE \"Second\"\n"
                       "Error creating SQL table: table \"Second\" already exists\n"
                       "Statement was: CREATE TABLE \"Second\" (\"b\" TEXT);\n");
    EXPECT_EQ(table_rows(output, "Second"), (Rows{{"kept"}}));
    for (const Big &big : bigs) {
        SCOPED_TRACE(big.name);
        const std::string table = std::string("\"") + big.name + "\"";
        EXPECT_EQ(query(output, "SELECT count(*), count(odd), min(CAST(n AS INTEGER)), max(CAST(n AS INTEGER)), "
                                "count(DISTINCT n) FROM " + table),
                  (Rows{{std::to_string(big.rows), std::to_string(big.rows / 2), "0",
                         std::to_string(big.rows - 1), std::to_string(big.rows)}}));
        for (const size_t n : big.probes) {
            SCOPED_TRACE(n);
            const Row expected = {std::to_string(n), n % 2 ? Cell("odd") : std::nullopt};
            EXPECT_EQ(query(output, "SELECT n, odd FROM " + table + " WHERE n = ?1", {std::to_string(n)}),
                      Rows{expected});
        }
    }

    /* the database was left whole: another run adds to it */
    execute(output, "DROP TABLE \"Second\"; DROP TABLE \"Many\"; DROP TABLE \"More\";");
    const qt::RunResult again = convert(input, output);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(query(output, "SELECT count(*) FROM \"Many\" UNION ALL SELECT count(*) FROM \"More\""),
              (Rows{{"60007"}, {"45001"}}));
    EXPECT_EQ(table_rows(output, "Second"), (Rows{{"never"}}));
}

TEST(ToSqliteFailures, ColumnWalkErrorEndsTheRun) {
    /* An early file lists its one table without a walk, so the broken block
     * is first met by the column catalogue, after the output is opened and
     * before the table's progress line. */
    qt::TempDir dir;
    const std::string input = dir.file("People.fp5");
    qw::write_file(input, with_broken_block(database_of(Generation::early, {people_table(Generation::early)})));
    const std::string output = dir.file("out.db");

    const qt::RunResult run = convert(input, output);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error code: 9\n");
    EXPECT_EQ(schema(output), Rows{});
}

TEST(ToSqliteFailures, ValueWithoutAPlaceholderAbortsTheRead) {
    /* The first block opens with a key above 3, so the column catalogue of
     * an early file leaves it at once, while the reader goes on and meets
     * the definition of column 2 under it: the statement has no place for
     * that column's values. */
    qt::TempDir dir;
    qw::Table table;
    table.columns = {{"a", 1}};
    table.records = {{0, {value(1, "x"), value(2, "no place")}}};
    qw::FileLayout layout = qw::database_layout(database_of(Generation::early, {table}));
    qw::Sector hidden;
    const auto key = [](uint64_t n) { return qw::key(n, Generation::early); };
    qw::early::push(hidden.payload, key(4));
    qw::early::pop(hidden.payload);
    qw::early::push(hidden.payload, key(3));
    qw::early::push(hidden.payload, key(5));
    qw::early::push(hidden.payload, key(2));
    qw::early::field(hidden.payload, 1, qw::mac_roman("b"));
    for (int i = 0; i < 3; i++) qw::early::pop(hidden.payload);
    layout.blocks.insert(layout.blocks.begin(), hidden);
    qw::chain(layout.blocks);
    const std::string input = dir.file("t.fp5");
    qw::write_file(input, qw::build_file(layout));
    const std::string output = dir.file("out.db");

    const qt::RunResult run = convert(input, output);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "CREATE TABLE \"t\"\n"
                       "Error binding parameter: column index out of range\n"
                       "Error code: 13\n");
    EXPECT_EQ(schema(output), (Rows{{"table", "t", "CREATE TABLE \"t\" (\"a\" TEXT)"}}));
    EXPECT_EQ(table_rows(output, "t"), Rows{});
}

std::string run_problems(const qt::RunResult &run) {
    std::string problems;
    if (run.status >= 128) problems += "killed by signal " + std::to_string(run.status - 128) + "; ";
    if (run.err.find("runtime error") != std::string::npos) problems += "undefined behaviour reported; ";
    if (run.err.find("AddressSanitizer") != std::string::npos) problems += "address sanitizer report; ";
    return problems;
}

TEST(ToSqliteCorpus, EveryFileConvertsOrReportsAnErrorCode) {
    const std::vector<std::string> files = qt::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus folder at " << QUARN_CORPUS_DIR;
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        qt::TempDir dir;
        const std::string output = dir.file("out.db");
        const qt::RunResult run = convert(file, output);
        EXPECT_EQ(run_problems(run), "") << run.err;
        if (run.status != 0) {
            /* a failed read, or a table without columns, whose definition
             * SQLite refuses (one file of the corpus has such a table) */
            EXPECT_EQ(run.status, 1);
            const bool refused_empty_table =
                run.err.find("Error creating SQL table: near \")\": syntax error\n") != std::string::npos &&
                run.err.find(" ();\n") != std::string::npos;
            EXPECT_TRUE(run.err.find("Error code: ") != std::string::npos || refused_empty_table) << run.err;
            continue;
        }
        /* one progress line and one SQL table per source table, a sound
         * database file, every table readable */
        size_t progress_lines = 0;
        for (size_t at = run.err.find("CREATE TABLE \""); at != std::string::npos;
             at = run.err.find("CREATE TABLE \"", at + 1))
            progress_lines++;
        const Rows entries = schema(output);
        EXPECT_GT(entries.size(), 0u);
        EXPECT_EQ(entries.size(), progress_lines) << run.err;
        EXPECT_EQ(query(output, "PRAGMA integrity_check"), (Rows{{"ok"}}));
        for (const Row &entry : entries) {
            EXPECT_EQ(entry[0], "table");
            table_rows(output, entry[1].value_or(""));
        }
    }
}

/* The same small database saved by three generations. Generation 7 and 12
 * give the same rows; the early file stores line breaks as CR, which stays
 * CR through Mac Roman, where the later files' SCSU text reads CR as LF; and
 * its container column holds two raw bytes where the later files keep a
 * small text under the container's own key. */
TEST(ToSqliteCorpus, BookListAgreesAcrossGenerations) {
    const std::string corpus = qt::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus folder at " << QUARN_CORPUS_DIR;
    qt::TempDir dir;
    std::vector<Rows> outputs;
    std::vector<std::vector<std::string>> columns;
    for (const auto &[name, table] : std::vector<std::pair<std::string, std::string>>{
             {"book_list.fp5", "book_list"}, {"book_list.fp7", "Book_List"}, {"book_list.fmp12", "Book_List"}}) {
        SCOPED_TRACE(name);
        const std::string input = corpus + "/" + name;
        if (!fs::exists(input)) GTEST_SKIP() << input << " is absent";
        const std::string output = dir.file(name + ".db");
        const qt::RunResult run = convert(input, output);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "CREATE TABLE \"" + table + "\"\n");
        columns.push_back(column_names(output, table));
        outputs.push_back(table_rows(output, table));
    }
    EXPECT_EQ(columns[0], columns[1]);
    EXPECT_EQ(columns[1], columns[2]);
    EXPECT_EQ(outputs[1], outputs[2]);
    ASSERT_EQ(outputs[0].size(), outputs[1].size());
    ASSERT_GT(outputs[0].size(), 0u);
    const auto cover_art = std::find(columns[0].begin(), columns[0].end(), "cover_art") - columns[0].begin();
    for (size_t r = 0; r < outputs[0].size(); r++) {
        SCOPED_TRACE("row " + std::to_string(r + 1));
        for (size_t c = 0; c < outputs[0][r].size(); c++) {
            if (static_cast<ptrdiff_t>(c) == cover_art) {
                EXPECT_EQ(outputs[0][r][c].has_value(), outputs[1][r][c].has_value());
                continue;
            }
            Cell early = outputs[0][r][c];
            if (early)
                for (char &ch : *early)
                    if (ch == '\r') ch = '\n';
            EXPECT_EQ(early, outputs[1][r][c]) << "column " << columns[0][c];
        }
    }
}

/* customers_ja.fmp12 names its third table, 顧客, and that table's fields
 * in long form: the converter writes it with its 21 customers, as it
 * writes the other two. */
TEST(ToSqliteCorpus, CustomersJaKeepsItsThirdTable) {
    const std::string corpus = qt::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus folder at " << QUARN_CORPUS_DIR;
    const std::string input = corpus + "/customers_ja.fmp12";
    if (!fs::exists(input)) GTEST_SKIP() << input << " is absent";
    qt::TempDir dir;
    const std::string output = dir.file("out.db");
    const qt::RunResult run = convert(input, output);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "CREATE TABLE \"Customers\"\nCREATE TABLE \"顧客\"\nCREATE TABLE \"resource\"\n");
    EXPECT_EQ(column_names(output, "顧客"), (std::vector<std::string>{"名前", "住所", "郵便番号1", "郵便番号2"}));
    const Rows rows = table_rows(output, "顧客");
    ASSERT_EQ(rows.size(), 21u);
    EXPECT_EQ(rows[0], (Row{std::string("山田　修"), std::string("千葉県市川市市川1-1-1"), std::string("373"),
                            std::string("0033")}));
}

} // namespace
