/*
 * test_to_json.cpp: quarn-to-json end to end. Databases of every generation
 * are laid out by the test writer, the program runs as a separate process,
 * and its document is read back with YAJL's own event parser, so that key
 * order and repeated keys are seen exactly as written.
 */
#include "process.h"
#include "writer.h"

#include <gtest/gtest.h>
#include <yajl/yajl_parse.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace {

/* ------------------------------------------------------------------ */
/* Reading the document back                                           */
/* ------------------------------------------------------------------ */

/* A parsed JSON value; objects keep their members in order, repeats kept. */
struct JsonValue {
    enum class Kind { string, array, object, other } kind = Kind::other;
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;
};

/* Builds JsonValues from YAJL's parse events. */
struct JsonBuilder {
    struct Open {
        JsonValue value;
        std::string key; /* the key this container sits under in its parent */
    };
    std::vector<Open> open;
    std::string key;
    std::optional<JsonValue> root;

    void add(JsonValue value, std::string under) {
        if (open.empty()) {
            root = std::move(value);
            return;
        }
        JsonValue &parent = open.back().value;
        if (parent.kind == JsonValue::Kind::array)
            parent.items.push_back(std::move(value));
        else
            parent.members.emplace_back(std::move(under), std::move(value));
    }
    void scalar(JsonValue::Kind kind, std::string text) {
        JsonValue value;
        value.kind = kind;
        value.text = std::move(text);
        add(std::move(value), key);
    }
    void start(JsonValue::Kind kind) {
        JsonValue value;
        value.kind = kind;
        open.push_back({std::move(value), key});
    }
    void end() {
        Open done = std::move(open.back());
        open.pop_back();
        add(std::move(done.value), std::move(done.key));
    }
};

JsonBuilder &builder(void *ctx) { return *static_cast<JsonBuilder *>(ctx); }

int on_other(void *ctx) {
    builder(ctx).scalar(JsonValue::Kind::other, "");
    return 1;
}
int on_boolean(void *ctx, int) { return on_other(ctx); }
int on_number(void *ctx, const char *, size_t) { return on_other(ctx); }
int on_string(void *ctx, const unsigned char *text, size_t length) {
    builder(ctx).scalar(JsonValue::Kind::string, std::string(reinterpret_cast<const char *>(text), length));
    return 1;
}
int on_key(void *ctx, const unsigned char *text, size_t length) {
    builder(ctx).key.assign(reinterpret_cast<const char *>(text), length);
    return 1;
}
int on_start_map(void *ctx) {
    builder(ctx).start(JsonValue::Kind::object);
    return 1;
}
int on_start_array(void *ctx) {
    builder(ctx).start(JsonValue::Kind::array);
    return 1;
}
int on_end(void *ctx) {
    builder(ctx).end();
    return 1;
}

const yajl_callbacks kCallbacks = {
    on_other, on_boolean, nullptr, nullptr, on_number, on_string,
    on_start_map, on_key, on_end, on_start_array, on_end,
};

/* Parses text strictly (valid UTF-8, one complete document). */
std::optional<JsonValue> parse_json(const std::string &text) {
    JsonBuilder b;
    yajl_handle parser = yajl_alloc(&kCallbacks, nullptr, &b);
    yajl_status status = yajl_parse(parser, reinterpret_cast<const unsigned char *>(text.data()), text.size());
    if (status == yajl_status_ok) status = yajl_complete_parse(parser);
    if (status != yajl_status_ok) {
        unsigned char *message = yajl_get_error(parser, 1, reinterpret_cast<const unsigned char *>(text.data()),
                                                text.size());
        ADD_FAILURE() << "not valid JSON: " << message;
        yajl_free_error(parser, message);
    }
    yajl_free(parser);
    if (status != yajl_status_ok) return std::nullopt;
    return b.root;
}

/* An object whose members are all strings, in document order. */
using Pairs = std::vector<std::pair<std::string, std::string>>;

struct TableDoc {
    std::string name;
    std::vector<Pairs> columns;
    std::vector<Pairs> rows;
    bool operator==(const TableDoc &) const = default;
};

void PrintTo(const TableDoc &t, std::ostream *os) {
    auto pairs = [os](const Pairs &p) {
        *os << "{";
        for (const auto &[k, v] : p) *os << testing::PrintToString(k) << ":" << testing::PrintToString(v) << " ";
        *os << "}";
    };
    *os << "\n  table " << testing::PrintToString(t.name) << "\n  columns ";
    for (const Pairs &c : t.columns) pairs(c);
    *os << "\n  rows ";
    for (const Pairs &r : t.rows) pairs(r);
}

std::optional<Pairs> string_object(const JsonValue &v, const std::string &what) {
    if (v.kind != JsonValue::Kind::object) {
        ADD_FAILURE() << what << " is not an object";
        return std::nullopt;
    }
    Pairs pairs;
    for (const auto &[k, member] : v.members) {
        if (member.kind != JsonValue::Kind::string) {
            ADD_FAILURE() << what << " member " << k << " is not a string";
            return std::nullopt;
        }
        pairs.emplace_back(k, member.text);
    }
    return pairs;
}

/* The document as tables, after checking its shape: an array of objects
 * with exactly "name", "columns", "values" in that order, whose columns and
 * rows are objects of strings. Shape faults are reported as test failures. */
std::optional<std::vector<TableDoc>> read_doc(const std::string &text) {
    const std::optional<JsonValue> root = parse_json(text);
    if (!root) return std::nullopt;
    if (root->kind != JsonValue::Kind::array) {
        ADD_FAILURE() << "the document is not an array";
        return std::nullopt;
    }
    std::vector<TableDoc> tables;
    for (const JsonValue &t : root->items) {
        const std::string where = "table " + std::to_string(tables.size());
        if (t.kind != JsonValue::Kind::object || t.members.size() != 3 || t.members[0].first != "name" ||
            t.members[1].first != "columns" || t.members[2].first != "values") {
            ADD_FAILURE() << where << " is not an object with name, columns, values in that order";
            return std::nullopt;
        }
        const JsonValue &name = t.members[0].second, &columns = t.members[1].second,
                        &values = t.members[2].second;
        if (name.kind != JsonValue::Kind::string || columns.kind != JsonValue::Kind::array ||
            values.kind != JsonValue::Kind::array) {
            ADD_FAILURE() << where << ": name is not a string or columns/values not arrays";
            return std::nullopt;
        }
        TableDoc doc{name.text, {}, {}};
        for (const JsonValue &c : columns.items) {
            std::optional<Pairs> pairs = string_object(c, where + " column");
            if (!pairs) return std::nullopt;
            doc.columns.push_back(std::move(*pairs));
        }
        for (const JsonValue &r : values.items) {
            std::optional<Pairs> pairs = string_object(r, where + " row");
            if (!pairs) return std::nullopt;
            doc.rows.push_back(std::move(*pairs));
        }
        tables.push_back(std::move(doc));
    }
    return tables;
}

/* ------------------------------------------------------------------ */
/* Running the program                                                 */
/* ------------------------------------------------------------------ */

const std::string kTool = qt::tool_path("quarn-to-json");

qt::RunResult run_json(const std::vector<std::string> &args) { return qt::run(kTool, args); }

/* Runs a shell script with $0 = the program and $1... = args. */
qt::RunResult run_shell(const std::string &script, const std::vector<std::string> &args) {
    std::vector<std::string> all = {"-c", script, kTool};
    all.insert(all.end(), args.begin(), args.end());
    return qt::run("/bin/sh", all);
}

void expect_clean(const qt::RunResult &r) {
    EXPECT_LT(r.status, 128) << "killed by a signal";
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("AddressSanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("LeakSanitizer"), std::string::npos) << r.err;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

/* The names in a directory, sorted: what a run left beside its output. */
std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string write_db(const qt::TempDir &dir, const std::string &name, const qw::Database &db) {
    const std::string path = dir.file(name);
    qw::write_file(path, qw::build_database(db));
    return path;
}

/* Runs the program into a file and reads the document back. */
std::optional<std::vector<TableDoc>> convert(const std::string &input, const qt::TempDir &dir) {
    const std::string output = dir.file("out.json");
    const qt::RunResult r = run_json({input, output});
    expect_clean(r);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    if (r.status != 0) return std::nullopt;
    return read_doc(qt::read_file(output));
}

const char *generation_name(qw::Generation g) {
    switch (g) {
    case qw::Generation::early: return "early";
    case qw::Generation::v7: return "v7";
    case qw::Generation::v12: return "v12";
    }
    return "?";
}

std::string file_name(qw::Generation g, const std::string &stem) {
    return stem + (g == qw::Generation::early ? ".fp5" : g == qw::Generation::v7 ? ".fp7" : ".fmp12");
}

qw::Value short_value(int column, std::string text) {
    qw::Value v;
    v.column = column;
    v.text = std::move(text);
    return v;
}

qw::Value long_value(int column, std::string text, size_t piece_size) {
    qw::Value v = short_value(column, std::move(text));
    v.long_value = true;
    v.piece_size = piece_size;
    return v;
}

/* ------------------------------------------------------------------ */
/* Command line                                                        */
/* ------------------------------------------------------------------ */

TEST(ToJsonCommandLine, WrongArgumentCountsPrintUsage) {
    const std::string usage = "Usage: quarn-to-json [input file] [output file]\n";
    const std::vector<std::vector<std::string>> cases = {{}, {"in.fp7"}, {"in.fp7", "out.json", "extra"}};
    for (const auto &args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const qt::RunResult r = qt::run(kTool, args, "/some/dir/quarn-to-json");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
}

TEST(ToJsonCommandLine, VersionAlonePrintsVersionLinesThenUsage) {
    const qt::RunResult r = qt::run(kTool, {"--version"}, "/some/dir/quarn-to-json");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const std::string first = "QUARN Tools version 0.2.2\n";
    const std::string tail = "\n\nUsage: quarn-to-json [input file] [output file]\n";
    ASSERT_GE(r.out.size(), first.size() + tail.size());
    EXPECT_EQ(r.out.substr(0, first.size()), first);
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    /* version, copyright, web address, empty line, usage */
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5) << r.out;
}

TEST(ToJsonCommandLine, VersionWithTwoArgumentsIsAnInputPath) {
    qt::TempDir dir;
    const std::string output = dir.file("out.json");
    const qt::RunResult r = run_json({"--version", output});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error code: 1\n");
    EXPECT_FALSE(exists(output));
}

/* ------------------------------------------------------------------ */
/* The document                                                        */
/* ------------------------------------------------------------------ */

class ToJsonGenerations : public testing::TestWithParam<qw::Generation> {};

INSTANTIATE_TEST_SUITE_P(ToJson, ToJsonGenerations,
                         testing::Values(qw::Generation::early, qw::Generation::v7, qw::Generation::v12),
                         [](const auto &info) { return std::string(generation_name(info.param)); });

/* Names and values with quotes, backslashes, control characters and
 * non-ASCII text, a partial row, a long value cut into small pieces, and (in
 * later files) a second, empty table. */
TEST_P(ToJsonGenerations, WritesTablesColumnsAndRows) {
    const qw::Generation g = GetParam();
    const bool early = g == qw::Generation::early;
    qt::TempDir dir;

    /* Mac Roman holds no Japanese or emoji: earlier files get Latin text */
    const std::string wide = early ? "Crème brûlée – “ß” © π" : "日本語テキスト – Ёлка 😀 é";
    const std::string quoted = "say \"hi\" \\ back\\\\ /";
    const std::string controls = std::string("ctl\x01|\x1f|\t|\n|") + "end";
    std::string long_text;
    for (int i = 0; i < 40; i++) long_text += wide + " " + std::to_string(i) + "\n";

    qw::Table people;
    people.name = "People \"q\" " + std::string(early ? "ü" : "人");
    people.number = 1;
    people.columns = {{"name", 1, 1, 1}, {quoted, 2, 2, 0}, {"crème", 3, 3, 98}, {"tab\there", 4, 0, 2}};
    people.records = {
        {1, {short_value(1, wide), short_value(2, quoted), long_value(3, long_text, early ? 100 : 7)}},
        {2, {short_value(1, "only one")}},
        {3, {short_value(2, controls), short_value(4, "")}},
    };
    qw::Database db;
    db.header.generation = g;
    db.tables.push_back(people);
    if (!early) {
        qw::Table empty;
        empty.name = "empty";
        empty.number = 3;
        empty.columns = {{"a", 1}, {"b", 2}};
        db.tables.push_back(empty);
    }
    const std::string input = write_db(dir, file_name(g, "Dishes.v1"), db);

    std::vector<TableDoc> expected;
    if (early) {
        /* one table named after the file; type and collation where known */
        expected.push_back({"Dishes.v1",
                            {{{"name", "name"}, {"type", "text"}, {"collation", "fr"}},
                             {{"name", quoted}, {"type", "number"}},
                             {{"name", "crème"}, {"type", "date"}, {"collation", "fi"}},
                             {{"name", "tab\there"}}},
                            {}});
    } else {
        expected.push_back({people.name,
                            {{{"name", "name"}}, {{"name", quoted}}, {{"name", "crème"}}, {{"name", "tab\there"}}},
                            {}});
        expected.push_back({"empty", {{{"name", "a"}}, {{"name", "b"}}}, {}});
    }
    expected[0].rows = {
        {{"name", wide}, {quoted, quoted}, {"crème", long_text}},
        {{"name", "only one"}},
        {{quoted, controls}, {"tab\there", ""}},
    };

    const qt::RunResult r = run_json({input, dir.file("out.json")});
    expect_clean(r);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const std::string text = qt::read_file(dir.file("out.json"));
    const auto doc = read_doc(text);
    ASSERT_TRUE(doc);
    EXPECT_EQ(*doc, expected);

    /* control characters are escaped: the only raw one is the layout's
     * newline, and the generator indents (beautify) */
    const size_t raw_controls = std::count_if(text.begin(), text.end(), [](unsigned char c) {
        return c < 0x20 && c != '\n';
    });
    EXPECT_EQ(raw_controls, 0u);
    EXPECT_NE(text.find("\\u0001"), std::string::npos);
    EXPECT_NE(text.find("\\\"hi\\\""), std::string::npos);
    EXPECT_NE(text.find("\n    {\n        \"name\": "), std::string::npos) << text.substr(0, 200);
}

/* Rows follow the reader's row numbers: a new record, or a column below
 * the previous one within a record, starts a new object; two values for
 * one column in a row both stay, under the same key. */
TEST_P(ToJsonGenerations, SplitsRowsByRowNumberAndKeepsRepeatedKeys) {
    const qw::Generation g = GetParam();
    qt::TempDir dir;
    qw::Table t;
    t.name = "t";
    t.columns = {{"c1", 1}, {"c2", 2}, {"c3", 3}};
    t.records = {
        {1, {short_value(1, "a"), short_value(1, "b")}},
        {2, {short_value(2, "x"), short_value(1, "y")}},
        {3, {short_value(1, "p"), short_value(3, "q")}},
        {4, {short_value(3, "z")}},
    };
    qw::Database db;
    db.header.generation = g;
    db.tables = {t};
    const auto doc = convert(write_db(dir, file_name(g, "t"), db), dir);
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->size(), 1u);
    const std::vector<Pairs> expected = {
        {{"c1", "a"}, {"c1", "b"}},
        {{"c2", "x"}},
        {{"c1", "y"}},
        {{"c1", "p"}, {"c3", "q"}},
        {{"c3", "z"}},
    };
    EXPECT_EQ((*doc)[0].rows, expected);
}

/* Every type byte and every collation byte an earlier file can store, each
 * in a column of its own: the name comes only for the listed codes. */
TEST(ToJsonDocument, TypeAndCollationTables) {
    const std::map<int, std::string> types = {{1, "text"}, {2, "number"}, {3, "date"}, {4, "time"},
                                              {5, "container"}, {6, "calc"}, {7, "summary"}, {8, "global"}};
    const std::map<int, std::string> collations = {
        {1, "fr"},  {3, "de"},  {4, "it"},  {5, "nl"},  {7, "sv"},  {8, "es"},  {9, "da"},
        {10, "pt"}, {12, "no"}, {17, "fi"}, {20, "el"}, {21, "is"}, {24, "tr"}, {39, "ro"},
        {42, "pl"}, {43, "hu"}, {49, "ru"}, {56, "cs"}, {62, "uk"}, {66, "hr"}, {73, "ca"},
        {98, "fi"}, {99, "sv"}, {100, "de"}, {101, "es"}};

    qt::TempDir dir;
    qw::Table t;
    std::vector<Pairs> expected;
    for (int code = 0; code < 256; code++) {
        const std::string name = "c" + std::to_string(code);
        t.columns.push_back({name, code + 1, code, code});
        Pairs column = {{"name", name}};
        if (types.count(code)) column.emplace_back("type", types.at(code));
        if (collations.count(code)) column.emplace_back("collation", collations.at(code));
        expected.push_back(column);
    }
    qw::Database db;
    db.header.generation = qw::Generation::early;
    db.tables = {t};
    const auto doc = convert(write_db(dir, "codes.fp5", db), dir);
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->size(), 1u);
    const TableDoc &table = (*doc)[0];
    ASSERT_EQ(table.columns.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        SCOPED_TRACE("code " + std::to_string(i));
        EXPECT_EQ(table.columns[i], expected[i]);
    }
    EXPECT_TRUE(table.rows.empty());
}

TEST(ToJsonDocument, FileWithoutTablesIsAnEmptyArray) {
    qt::TempDir dir;
    qw::Database db;
    db.header.generation = qw::Generation::v12;
    const std::string input = write_db(dir, "none.fmp12", db);
    const qt::RunResult r = run_json({input, "-"});
    expect_clean(r);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::optional<JsonValue> root = parse_json(r.out);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->kind, JsonValue::Kind::array);
    EXPECT_TRUE(root->items.empty());
}

/* ------------------------------------------------------------------ */
/* Where the document goes                                             */
/* ------------------------------------------------------------------ */

qw::Database small_database(qw::Generation g = qw::Generation::v12) {
    qw::Table t;
    t.name = "t";
    t.columns = {{"a", 1}, {"b", 2}};
    t.records = {{1, {short_value(1, "1"), short_value(2, "2")}}, {2, {short_value(1, "3")}}};
    qw::Database db;
    db.header.generation = g;
    db.tables = {t};
    return db;
}

/* A database whose document runs to about a megabyte. */
qw::Database big_database() {
    qw::Table t;
    t.name = "big";
    t.columns = {{"text", 1}};
    t.generated_records = 15000;
    t.make_record = [](size_t i, qw::Record &record) {
        record.values = {short_value(1, "row " + std::to_string(i) + " " + std::string(40, 'x'))};
    };
    qw::Database db;
    db.header.generation = qw::Generation::v12;
    db.tables = {t};
    return db;
}

TEST(ToJsonOutput, DashIsStandardOutputAndDashNamesAreFiles) {
    qt::TempDir dir;
    const std::string input = write_db(dir, "small.fmp12", small_database());
    const qt::RunResult to_file = run_json({input, dir.file("out.json")});
    ASSERT_EQ(to_file.status, 0) << to_file.err;
    const std::string document = qt::read_file(dir.file("out.json"));
    const auto doc = read_doc(document);
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->size(), 1u);
    EXPECT_EQ((*doc)[0].rows, (std::vector<Pairs>{{{"a", "1"}, {"b", "2"}}, {{"a", "3"}}}));

    const qt::RunResult to_stdout = run_json({input, "-"});
    expect_clean(to_stdout);
    EXPECT_EQ(to_stdout.status, 0);
    EXPECT_EQ(to_stdout.err, "");
    EXPECT_EQ(to_stdout.out, document);

    for (const std::string name : {"-x", "--", "-.json"}) {
        SCOPED_TRACE(name);
        const qt::RunResult r = run_shell("cd \"$1\" && exec \"$0\" \"$2\" \"$3\"", {dir.path(), input, name});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(qt::read_file(dir.file(name)), document);
    }
}

TEST(ToJsonOutput, ReplacesAnExistingFile) {
    qt::TempDir dir;
    const std::string input = write_db(dir, "small.fmp12", small_database());
    const std::string output = dir.file("out.json");
    qw::write_file(output, qw::Bytes(100000, 'z'));
    const qt::RunResult r = run_json({input, output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(qt::read_file(output), run_json({input, "-"}).out);
}

/* ------------------------------------------------------------------ */
/* Failures                                                            */
/* ------------------------------------------------------------------ */

/* Inputs the library refuses: the error code, status 1, and no output. */
TEST(ToJsonFailure, LibraryErrorsLeaveNoOutput) {
    qt::TempDir dir;

    qw::HeaderOptions bad_magic;
    bad_magic.bad_magic = true;
    qw::FileLayout not_database;
    not_database.header = bad_magic;
    qw::write_file(dir.file("magic.fp7"), qw::build_file(not_database));

    /* a later block of records whose chunks hold an unknown code (0x18) */
    qw::FileLayout unknown = qw::database_layout(small_database(qw::Generation::v7));
    qw::Sector extra;
    qw::v7::push(extra.payload, qw::key(129, qw::Generation::v7));
    qw::v7::push(extra.payload, qw::key(5, qw::Generation::v7));
    qw::v7::push(extra.payload, qw::key(9, qw::Generation::v7));
    qw::v7::field(extra.payload, 1, qw::stored_text("v", qw::Generation::v7));
    extra.payload.push_back(0x18);
    unknown.blocks.push_back(extra);
    qw::chain(unknown.blocks);
    qw::write_file(dir.file("unknown.fp7"), qw::build_file(unknown));

    /* earlier files: a block whose first chunk is cut off before its length
     * byte, and one whose first chunk's data runs past the payload. Earlier
     * files list their one table without a walk, so these fail in the read. */
    auto early_with_tail = [](const qw::Bytes &tail) {
        qw::FileLayout layout = qw::database_layout(small_database(qw::Generation::early));
        qw::Sector extra;
        extra.payload = tail;
        layout.blocks.push_back(extra);
        qw::chain(layout.blocks);
        return qw::build_file(layout);
    };
    qw::write_file(dir.file("cut.fp5"), early_with_tail({0x41}));
    qw::write_file(dir.file("overrun.fp5"), early_with_tail({0x41, 0x05, 'd'}));

    struct Case {
        const char *name;
        std::string input;
        std::string err;
        bool opens; /* the input opens and its tables list: the document is begun */
    };
    const Case cases[] = {
        {"missing input", dir.file("absent.fp7"), "Error code: 1\n", false},
        {"not a database", dir.file("magic.fp7"), "Error code: 6\n", false},
        {"unknown chunk code", dir.file("unknown.fp7"), "Error code: 11\n", false},
        {"chunk cut before its length", dir.file("cut.fp5"), "Error code: 9\n", true},
        {"chunk past the payload", dir.file("overrun.fp5"), "Error code: 7\n", true},
    };
    const std::vector<std::string> inputs = entries(dir.path());
    const std::string old_text = "an older document\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string output = dir.file(std::string(c.name) + ".json");
        const qt::RunResult r = run_json({c.input, output});
        expect_clean(r);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(exists(output)) << "an output was created";
        EXPECT_EQ(entries(dir.path()), inputs) << "a temporary file was left";

        /* an existing output is neither truncated nor removed */
        qw::write_file(output, qw::Bytes(old_text.begin(), old_text.end()));
        const qt::RunResult over_old = run_json({c.input, output});
        EXPECT_EQ(over_old.status, 1);
        EXPECT_EQ(over_old.err, c.err);
        EXPECT_EQ(qt::read_file(output), old_text);
        std::filesystem::remove(output);
        EXPECT_EQ(entries(dir.path()), inputs) << "a temporary file was left";

        /* standard output gets the document as it is made: a read failure
         * leaves it cut short, never complete */
        const qt::RunResult to_stdout = run_json({c.input, "-"});
        expect_clean(to_stdout);
        EXPECT_EQ(to_stdout.status, 1);
        EXPECT_EQ(to_stdout.err, c.err);
        if (!c.opens) {
            EXPECT_EQ(to_stdout.out.find("\"name\""), std::string::npos) << "part of a document";
        } else {
            EXPECT_EQ(to_stdout.out.rfind("[\n    {\n        \"name\": ", 0), 0u) << to_stdout.out;
            EXPECT_EQ(to_stdout.out.find("\n]"), std::string::npos) << "a complete document: " << to_stdout.out;
        }
    }
}

TEST(ToJsonFailure, OutputInMissingDirectory) {
    qt::TempDir dir;
    const std::string input = write_db(dir, "small.fmp12", small_database());
    const std::string output = dir.file("no/such/dir/out.json");
    const qt::RunResult r = run_json({input, output});
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Couldn't open file for writing: " + output + "\n");
}

TEST(ToJsonFailure, FullDeviceIsReportedAndKept) {
    struct stat st;
    if (stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/full here";
    qt::TempDir dir;
    const std::string input = write_db(dir, "small.fmp12", small_database());
    const std::string full = std::string("No space left on device");

    const qt::RunResult r = run_json({input, "/dev/full"});
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error writing JSON to /dev/full: " + full + "\n");
    ASSERT_EQ(stat("/dev/full", &st), 0) << "/dev/full is gone";
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    /* standard output on the full device */
    const qt::RunResult out = run_shell("exec \"$0\" \"$1\" - > /dev/full", {input});
    expect_clean(out);
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.err, "Error writing JSON to standard output: " + full + "\n");
}

/* A file-size limit makes the write fail part-way: a new output is never
 * made, an existing one is left as it was, and the cut temporary file is
 * gone. */
TEST(ToJsonFailure, CutWriteLeavesTheOutputAsItWas) {
    qt::TempDir dir;
    const std::string input = dir.file("big.fmp12");
    qw::write_database_file(input, big_database());
    const std::string script = "trap '' XFSZ; ulimit -f 64 && exec \"$0\" \"$1\" \"$2\"";
    const std::string old_text(10, 'o');

    for (const bool existed : {false, true}) {
        SCOPED_TRACE(existed ? "existing file" : "new file");
        const std::string output = dir.file(existed ? "old.json" : "new.json");
        if (existed) qw::write_file(output, qw::Bytes(old_text.begin(), old_text.end()));
        const std::vector<std::string> before = entries(dir.path());
        const qt::RunResult r = run_shell(script, {input, output});
        expect_clean(r);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error writing JSON to " + output + ": " + strerror(EFBIG) + "\n");
        if (existed)
            EXPECT_EQ(qt::read_file(output), old_text);
        else
            EXPECT_FALSE(exists(output)) << "a cut file was left";
        EXPECT_EQ(entries(dir.path()), before) << "a temporary file was left";
    }
}

/* The document is made beside the output and renamed over it: nothing else
 * stays in the directory, a new file gets the mode fopen gives (0666 less
 * the umask), a replaced file keeps its mode, and a link to a file stays a
 * link whose target now holds the document. */
TEST(ToJsonOutput, ReplacementKeepsModeLinksAndNoTemporaryFile) {
    qt::TempDir dir;
    const std::string input = write_db(dir, "small.fmp12", small_database());
    const std::string document = run_json({input, "-"}).out;
    ASSERT_FALSE(document.empty());

    const std::string fresh = dir.file("fresh.json");
    const qt::RunResult made = run_shell("umask 027 && exec \"$0\" \"$1\" \"$2\"", {input, fresh});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(qt::read_file(fresh), document);
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    const std::string kept = dir.file("kept.json");
    qw::write_file(kept, qw::Bytes(5, 'k'));
    ASSERT_EQ(chmod(kept.c_str(), 0604), 0);
    const qt::RunResult replaced = run_json({input, kept});
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(qt::read_file(kept), document);
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    const std::string link = dir.file("link.json");
    std::filesystem::create_symlink("kept.json", link);
    qw::write_file(kept, qw::Bytes(5, 'k'));
    const qt::RunResult through_link = run_json({input, link});
    ASSERT_EQ(through_link.status, 0) << through_link.err;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(qt::read_file(kept), document);

    EXPECT_EQ(entries(dir.path()),
              (std::vector<std::string>{"fresh.json", "kept.json", "link.json", "small.fmp12"}));
}

/* A pipe whose reader goes away: the write fails, and the pipe (a named
 * FIFO here) is not removed. */
TEST(ToJsonFailure, BrokenPipeIsReportedAndKept) {
    qt::TempDir dir;
    const std::string input = dir.file("big.fmp12");
    qw::write_database_file(input, big_database());
    const std::string fifo = dir.file("pipe");
    if (mkfifo(fifo.c_str(), 0600) != 0) GTEST_SKIP() << "cannot make a FIFO here";

    /* the reader takes one byte and leaves; the document is far larger
     * than the pipe's buffer, so the writer is bound to meet the closed end */
    const qt::RunResult r = run_shell(
        "trap '' PIPE; head -c 1 < \"$2\" > /dev/null & exec \"$0\" \"$1\" \"$2\"", {input, fifo});
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error writing JSON to " + fifo + ": " + strerror(EPIPE) + "\n");
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0) << "the pipe was removed";
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

/* ------------------------------------------------------------------ */
/* Real files                                                          */
/* ------------------------------------------------------------------ */

TEST(ToJsonCorpus, EveryFileConvertsOrReportsAnErrorCode) {
    const std::vector<std::string> files = qt::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus folder at " << QUARN_CORPUS_DIR;
    qt::TempDir dir;
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        const std::string output = dir.file("out.json");
        std::filesystem::remove(output);
        const qt::RunResult r = run_json({file, output});
        expect_clean(r);
        if (r.status == 0) {
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(read_doc(qt::read_file(output)));
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err.rfind("Error code: ", 0), 0u) << r.err;
            EXPECT_FALSE(exists(output));
        }
    }
}

/* The same small database saved by three generations. The later two agree
 * exactly; the earlier one differs only where its format does: the table is
 * named after the file, columns carry types, line breaks are stored as CR
 * (the SCSU reader gives LF), and container fields hold binary references,
 * not text. */
TEST(ToJsonCorpus, BookListAgreesAcrossGenerations) {
    const std::string corpus = qt::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus folder at " << QUARN_CORPUS_DIR;
    qt::TempDir dir;
    std::map<std::string, std::vector<TableDoc>> docs;
    for (const std::string ext : {"fp5", "fp7", "fmp12"}) {
        SCOPED_TRACE(ext);
        const std::string path = corpus + "/book_list." + ext;
        if (!exists(path)) GTEST_SKIP() << path << " is absent";
        const auto doc = convert(path, dir);
        ASSERT_TRUE(doc);
        ASSERT_EQ(doc->size(), 1u);
        docs[ext] = *doc;
    }
    EXPECT_EQ(docs["fp7"], docs["fmp12"]);

    const TableDoc &early = docs["fp5"][0], &later = docs["fp7"][0];
    EXPECT_EQ(early.name, "book_list");
    EXPECT_EQ(later.name, "Book_List");
    ASSERT_EQ(early.columns.size(), later.columns.size());
    std::vector<std::string> containers;
    for (size_t i = 0; i < early.columns.size(); i++) {
        ASSERT_FALSE(early.columns[i].empty());
        EXPECT_EQ(early.columns[i][0], later.columns[i][0]);
        for (const auto &[key, value] : early.columns[i])
            if (key == "type" && value == "container") containers.push_back(early.columns[i][0].second);
    }
    ASSERT_EQ(early.rows.size(), later.rows.size());
    for (size_t row = 0; row < early.rows.size(); row++) {
        SCOPED_TRACE("row " + std::to_string(row + 1));
        ASSERT_EQ(early.rows[row].size(), later.rows[row].size());
        for (size_t i = 0; i < early.rows[row].size(); i++) {
            const auto &[key, value] = early.rows[row][i];
            EXPECT_EQ(key, later.rows[row][i].first);
            if (std::find(containers.begin(), containers.end(), key) != containers.end()) continue;
            std::string lf = value;
            std::replace(lf.begin(), lf.end(), '\r', '\n');
            EXPECT_EQ(lf, later.rows[row][i].second) << key;
        }
    }
}

} // namespace
