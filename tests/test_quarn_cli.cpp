/*
 * The quarn program's command line and its other commands: --help and
 * --version, every wrong command line with its message and status 2, read
 * failures in words with status 1, info and schema (text and JSON, and
 * --sql giving exactly the statements export runs), dump printing what
 * quarn-dump prints; and the safe outputs: an existing output kept without
 * --force and replaced with it, nothing left behind by a failed read, a
 * folder that cannot be written, a write cut short by a file size limit;
 * and the export run in-process leaving no descriptor open.
 */
#include "export.h"
#include "quarn_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace qq;

std::vector<std::string> entries(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

/* The fixture with a block added that ends inside a chunk. */
qw::Bytes with_broken_block(const qw::Database &database) {
    qw::FileLayout layout = qw::database_layout(database);
    qw::Sector broken;
    qw::v7::filler(broken.payload, qw::payload_area_size(database.header.generation) - 1);
    broken.payload.push_back(0x06);
    layout.blocks.push_back(broken);
    qw::chain(layout.blocks);
    return qw::build_file(layout);
}

TEST(QuarnCommandLine, HelpAndVersion) {
    const qt::RunResult help = quarn({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *command : {"export INPUT OUTPUT", "info INPUT...", "schema INPUT", "dump INPUT..."})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
    EXPECT_EQ(help.err, "");
    for (const char *command : {"export", "info", "schema", "dump"}) {
        const qt::RunResult r = quarn({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("Usage: quarn ") + command, 0), 0u) << r.out;
    }
    const qt::RunResult export_help = quarn({"export", "-h"});
    for (const char *option : {"--to FORMAT", "--tables NAME", "--containers DIR", "--text", "--record-id", "--quiet",
                               "--force", "--schema NAME"})
        EXPECT_NE(export_help.out.find(option), std::string::npos) << option;
    const qt::RunResult version = quarn({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quarn (QUARN Tools) 0.2.2\n");
}

TEST(QuarnCommandLine, WrongCommandLinesEndWithStatusTwo) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v12));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, ""},
        {{"convert", in}, "quarn: unknown command \"convert\"\nTry 'quarn --help'.\n"},
        {{"--frobnicate"}, "quarn: unknown option: --frobnicate\nTry 'quarn --help'.\n"},
        {{"export"}, "quarn export: missing INPUT and OUTPUT\nTry 'quarn export --help'.\n"},
        {{"export", in}, "quarn export: missing OUTPUT\nTry 'quarn export --help'.\n"},
        {{"export", in, "a", "b"}, "quarn export: one INPUT and one OUTPUT: too many arguments\nTry 'quarn export --help'.\n"},
        {{"export", in, "o.json", "--colour"}, "quarn export: unknown option: --colour\nTry 'quarn export --help'.\n"},
        {{"export", in, "o.json", "-z"}, "quarn export: unknown option: -z\nTry 'quarn export --help'.\n"},
        {{"export", in, "o.json", "--to"}, "quarn export: option needs an argument: -t\nTry 'quarn export --help'.\n"},
        {{"export", in, "o.json", "--to", "yaml"},
         "quarn export: unknown format \"yaml\" (sqlite, csv, json, jsonl, xlsx or postgres)\nTry 'quarn export --help'.\n"},
        {{"export", in, "o.json", "--tables", ","}, "quarn export: --tables needs at least one table name\nTry 'quarn export --help'.\n"},
        {{"export", in, dir.file("o.parquet")},
         "quarn: " + dir.file("o.parquet") + ": cannot tell the format from the extension; give --to FORMAT\n"},
        {{"export", in, dir.file("o.json"), "--tables", "Things,Nope"}, "quarn: " + in + ": no table named \"Nope\"\n"},
        {{"export", in, in, "--to", "sqlite", "--force"}, "quarn: " + in + " is the input\n"},
        {{"info"}, "quarn info: missing INPUT\nTry 'quarn info --help'.\n"},
        {{"info", in, "--sql"}, "quarn info: unknown option: --sql\nTry 'quarn info --help'.\n"},
        {{"schema", in, "--json", "--sql"}, "quarn schema: --json and --sql exclude each other\nTry 'quarn schema --help'.\n"},
        {{"schema", in, in}, "quarn schema: one INPUT: too many arguments\nTry 'quarn schema --help'.\n"},
        {{"schema", in, "--text"}, "quarn schema: --text and --record-id go with --sql\nTry 'quarn schema --help'.\n"},
        {{"dump"}, "quarn dump: missing INPUT\nTry 'quarn dump --help'.\n"},
    };
    for (const auto &c : cases) {
        const qt::RunResult r = quarn(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args[0] + " ...";
        EXPECT_EQ(r.status, 2) << shown << ": " << r.err;
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err) << shown;
        }
        EXPECT_EQ(fs::exists(dir.file("o.json")), false) << shown;
    }
    EXPECT_NE(quarn({}).err.find("Usage: quarn COMMAND"), std::string::npos) << "no command: the usage";
    /* options go anywhere, -- ends them */
    EXPECT_EQ(quarn({"export", "--to", "json", in, dir.file("any")}).status, 0);
    EXPECT_TRUE(parse_json(qt::read_file(dir.file("any"))));
    EXPECT_EQ(quarn({"export", "--quiet", "--", in, dir.file("-x.json")}).status, 0);
}

TEST(QuarnCommandLine, ReadFailuresInWords) {
    qt::TempDir dir;
    const std::string junk = dir.file("books.fp7");
    qw::write_file(junk, qw::Bytes(8192, 0x41));
    const std::string damaged = dir.file("damaged.fmp12");
    qw::write_file(damaged, with_broken_block(typed_database(Generation::v12)));
    /* the broken block is the last one: blocks are numbered from 2 */
    const std::string broken_id =
        std::to_string(qw::database_layout(typed_database(Generation::v12)).blocks.size() + 2);
    qw::FileLayout miscounted = qw::database_layout(typed_database(Generation::v7));
    miscounted.block_count = 40;
    const std::string counted = dir.file("counted.fp7");
    qw::write_file(counted, qw::build_file(miscounted));
    fs::create_directory(dir.file("folder.fmp12"));
    const struct {
        std::string input, err;
    } cases[] = {
        {junk, "quarn: " + junk + ": not a FileMaker database file\n"},
        {damaged, "quarn: " + damaged + " is damaged: block " + broken_id + " ends inside a chunk\n"},
        {counted, "quarn: " + counted + " is damaged: its block count disagrees with its size\n"},
        {dir.file("absent.fp7"), "quarn: " + dir.file("absent.fp7") + ": No such file or directory\n"},
        {dir.file("folder.fmp12"), "quarn: " + dir.file("folder.fmp12") + ": is a folder, not a database file\n"},
    };
    for (const auto &c : cases) {
        for (const char *to : {"sqlite", "csv", "json", "jsonl", "xlsx"}) {
            qt::TempDir out;
            const qt::RunResult r = quarn({"export", c.input, out.file("out"), "--to", to});
            EXPECT_EQ(r.status, 1) << c.input << " " << to;
            EXPECT_EQ(r.err, c.err) << to;
            EXPECT_TRUE(entries(out.path()).empty()) << c.input << " " << to << ": nothing left behind";
        }
        const qt::RunResult info = quarn({"info", c.input});
        EXPECT_EQ(info.status, 1);
        EXPECT_EQ(info.err, c.err);
    }
}

TEST(QuarnInfo, TextAndJson) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v12));
    const std::string junk = dir.file("junk.fp7");
    qw::write_file(junk, qw::Bytes(8192, 0x41));
    const qt::RunResult r = quarn({"info", in, junk, in});
    EXPECT_EQ(r.status, 1) << "one input failed";
    EXPECT_EQ(r.err, "quarn: " + junk + ": not a FileMaker database file\n");
    const std::string block = in +
                              "\n  generation 12, version \"Pro 12.0\", released 2020-01-01\n"
                              "  " + std::to_string(fs::file_size(in)) + " bytes, 1 table\n"
                              "  table     records  fields  containers\n"
                              "  Things          4       8           3\n";
    EXPECT_EQ(r.out, block + block) << "the other inputs are still shown";

    const qt::RunResult json = quarn({"info", "--json", in});
    ASSERT_EQ(json.status, 0) << json.err;
    const Json doc = parse_json(json.out);
    const yajl_val file = item(doc.get(), 0);
    EXPECT_EQ(string_of(member(file, "file")), in);
    EXPECT_EQ(YAJL_GET_INTEGER(member(file, "generation")), 12);
    EXPECT_EQ(string_of(member(file, "version")), "Pro 12.0");
    EXPECT_EQ(string_of(member(file, "release_date")), "2020-01-01");
    const yajl_val table = item(member(file, "tables"), 0);
    EXPECT_EQ(string_of(member(table, "name")), "Things");
    EXPECT_EQ(YAJL_GET_INTEGER(member(table, "records")), 4);
    EXPECT_EQ(YAJL_GET_INTEGER(member(table, "fields")), 8);
    EXPECT_EQ(YAJL_GET_INTEGER(member(table, "containers")), 3);
}

TEST(QuarnInfo, CountsEveryRecordAlsoThoseTheValueReaderPassesOver) {
    qt::TempDir dir;
    qw::Database db;
    db.header.generation = Generation::v12;
    qw::Table t;
    t.name = "T";
    t.columns = {typed_column("A", QUARN_TYPE_TEXT), typed_column("R", QUARN_TYPE_TEXT, 2, 3)};
    /* record 2 holds only repetition 2 of R: quarn_read_values never sees it */
    t.records = {{0, {value(1, "a1")}}, {0, {value(2, "r2", 2)}}, {0, {value(1, "a3")}}};
    db.tables.push_back(t);
    const std::string in = write_input(dir, "T", db);
    const qt::RunResult json = quarn({"info", "--json", in});
    ASSERT_EQ(json.status, 0) << json.err;
    const Json doc = parse_json(json.out);
    EXPECT_EQ(YAJL_GET_INTEGER(member(item(member(item(doc.get(), 0), "tables"), 0), "records")), 3);
}

TEST(QuarnSchema, TextJsonAndTheStatementsExportRuns) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v7));
    const qt::RunResult text = quarn({"schema", in});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("table Things (8 fields)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("      5  Tags     text       normal       no      4\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("      7  Stamp    timestamp  normal       no      1\n"), std::string::npos) << text.out;

    const qt::RunResult json = quarn({"schema", "--json", in});
    ASSERT_EQ(json.status, 0);
    const Json doc = parse_json(json.out);
    const yajl_val fields = member(item(member(doc.get(), "tables"), 0), "fields");
    ASSERT_EQ(length(fields), 8u);
    EXPECT_EQ(YAJL_GET_INTEGER(member(item(fields, 7), "index")), 9);
    EXPECT_EQ(string_of(member(item(fields, 5), "type")), "container");
    EXPECT_TRUE(YAJL_IS_FALSE(member(item(fields, 5), "global")));

    for (const std::vector<std::string> &options :
         {std::vector<std::string>{}, {"--record-id"}, {"--text"}, {"--text", "--record-id"}}) {
        std::vector<std::string> schema_args = {"schema", in, "--sql"};
        std::vector<std::string> export_args = {"export", in, dir.file("s.sqlite"), "--force"};
        schema_args.insert(schema_args.end(), options.begin(), options.end());
        export_args.insert(export_args.end(), options.begin(), options.end());
        const qt::RunResult sql = quarn(schema_args);
        ASSERT_EQ(sql.status, 0) << sql.err;
        ASSERT_EQ(quarn(export_args).status, 0);
        std::string created;
        for (const auto &row : sql_query(dir.file("s.sqlite"), "SELECT sql FROM sqlite_master ORDER BY rowid"))
            created += row[0].bytes + ";\n";
        EXPECT_EQ(sql.out, created) << options.size() << " options";
    }
}

TEST(QuarnDumpCommand, PrintsWhatQuarnDumpPrints) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v12));
    const std::string damaged = dir.file("damaged.fmp12");
    qw::write_file(damaged, with_broken_block(typed_database(Generation::v12)));
    /* the broken block is the last one: blocks are numbered from 2 */
    const std::string broken_id =
        std::to_string(qw::database_layout(typed_database(Generation::v12)).blocks.size() + 2);
    for (const std::vector<std::string> &inputs :
         {std::vector<std::string>{in}, {in, in}, {in, damaged, in}, {dir.file("absent")}}) {
        std::vector<std::string> args = {"dump"};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const qt::RunResult ours = quarn(args);
        const qt::RunResult theirs = qt::run(qt::tool_path("quarn-dump"), inputs);
        EXPECT_EQ(ours.status, theirs.status);
        EXPECT_EQ(ours.out, theirs.out);
        EXPECT_EQ(ours.err, theirs.err);
        EXPECT_EQ(ours.out.empty(), inputs[0] == dir.file("absent"));
    }
}

/* ---- safe outputs ---------------------------------------------------- */

TEST(QuarnOutputs, AnExistingOutputIsReplacedOnlyWithForce) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v12));
    for (const char *name : {"j.json", "s.sqlite", "x.xlsx", "c", "l.jsonl"}) {
        const std::string out = dir.file(name);
        const bool folder = std::string(name).find('.') == std::string::npos || std::string(name) == "l.jsonl";
        const std::string to = std::string(name) == "l.jsonl" ? "jsonl" : "";
        auto args = [&](bool force) {
            std::vector<std::string> a = {"export", in, out};
            if (!to.empty()) a.insert(a.end(), {"--to", to});
            if (force) a.push_back("--force");
            return a;
        };
        const qt::RunResult first = quarn(args(false));
        ASSERT_EQ(first.status, 0) << name << ": " << first.err;
        /* a file output's containers folder, or the table file in a folder */
        const std::string kept = folder ? out + "/Things." + (to.empty() ? "csv" : "jsonl") : out;
        const std::string before = qt::read_file(kept);
        const qt::RunResult again = quarn(args(false));
        EXPECT_EQ(again.status, 1) << name;
        EXPECT_NE(again.err.find("already exists (--force replaces it)"), std::string::npos) << again.err;
        EXPECT_EQ(qt::read_file(kept), before) << name << " untouched";
        const qt::RunResult forced = quarn(args(true));
        EXPECT_EQ(forced.status, 0) << name << ": " << forced.err;
        EXPECT_EQ(qt::read_file(kept), before) << name << " rewritten the same";
    }
    /* no temporary names left anywhere */
    for (const auto &entry : fs::recursive_directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".quarn-"), std::string::npos) << entry.path();
    /* an existing folder takes the CSV files */
    fs::create_directory(dir.file("existing"));
    qw::write_file(dir.file("existing/mine.txt"), {'k'});
    ASSERT_EQ(quarn({"export", in, dir.file("existing")}).status, 0);
    EXPECT_EQ(entries(dir.file("existing")), (std::vector<std::string>{"Things.csv", "files", "mine.txt"}));
}

TEST(QuarnOutputs, FailuresLeaveNothingHalfWritten) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v12));
    /* a folder nobody may write, root included */
    const qt::RunResult ro = quarn({"export", in, "/sys/quarn-test.sqlite"});
    EXPECT_EQ(ro.status, 1);
    EXPECT_EQ(ro.err, "quarn: cannot write /sys/quarn-test.sqlite: Permission denied\n");

    /* writes cut short by a file size limit (SIGXFSZ ignored: the write
     * fails with EFBIG instead) */
    for (const char *to : {"sqlite", "csv", "json", "jsonl", "xlsx"}) {
        qt::TempDir out;
        const std::string script = std::string("trap '' XFSZ; ulimit -f 4; exec \"$0\" \"$@\"");
        const qt::RunResult r = qt::run("/bin/sh", {"-c", script, qt::tool_path("quarn"), "export", in,
                                                    out.file("big"), "--to", to});
        EXPECT_EQ(r.status, 1) << to << ": " << r.err;
        EXPECT_NE(r.err.find("cannot write "), std::string::npos) << to << ": " << r.err;
        /* SQLite reports a failed write other than a full disk as an I/O
         * error without the system's reason */
        if (std::string(to) != "sqlite") {
            EXPECT_NE(r.err.find("File too large"), std::string::npos) << to << ": " << r.err;
        }
        EXPECT_TRUE(entries(out.path()).empty()) << to << ": nothing left behind";
    }
}

qw::Database big_database() {
    qw::Database db = typed_database(Generation::v12);
    for (int i = 0; i < 400; i++)
        db.tables[0].records.push_back({0, {value(1, std::string(60, 'n') + std::to_string(i)), value(2, "1")}});
    return db;
}

TEST(QuarnOutputs, NoProgressLineWhenStandardErrorIsNoTerminal) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Big", big_database());
    const qt::RunResult r = quarn({"export", in, dir.file("b.json")});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "quarn: " + in + ": table \"Things\", field \"Picture\", row 4: the container is damaged "
                                     "and was skipped\nquarn: " + in + ": table \"Things\", field \"Amount\": 1 value "
                                     "is not a number and stayed text (first: \"n/a\")\n")
        << "warnings only";
}

TEST(QuarnOutputs, ProgressLineOnATerminalUnlessQuiet) {
    if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "no /usr/bin/script to give the program a terminal";
    qt::TempDir dir;
    const std::string in = write_input(dir, "Big", big_database());
    /* script runs the program on a pseudo-terminal and copies what it
     * shows to standard output */
    const qt::RunResult shown = qt::run("/usr/bin/script", {"-qec", qt::tool_path("quarn") + " export " + in + " " +
                                                                        dir.file("t.json"), "/dev/null"});
    ASSERT_EQ(shown.status, 0) << shown.out;
    EXPECT_NE(shown.out.find("Things: "), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find(" records, "), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find(" MB/s"), std::string::npos) << shown.out;
    const qt::RunResult quiet = qt::run("/usr/bin/script", {"-qec", qt::tool_path("quarn") + " export -q " + in + " " +
                                                                        dir.file("q.json"), "/dev/null"});
    ASSERT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out.find(" records, "), std::string::npos) << quiet.out;
}

int open_descriptors() {
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) count++;
    closedir(d);
    return count;
}

TEST(QuarnOutputs, AnInterruptedExportLeavesNothing) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Big", big_database());
    qt::TempDir out;
    for (const char *to : {"sqlite", "csv", "json", "jsonl", "xlsx"}) {
        qexport::ExportOptions options;
        options.input = in;
        options.output = out.file(std::string("out.") + to);
        options.to = to;
        qexport::request_stop();
        testing::internal::CaptureStderr();
        const int status = qexport::run_export(options);
        const std::string err = testing::internal::GetCapturedStderr();
        qexport::clear_stop_request();
        EXPECT_EQ(status, 1) << to;
        EXPECT_EQ(err, "quarn: interrupted\n") << to;
        EXPECT_TRUE(entries(out.path()).empty()) << to;
    }
}

TEST(QuarnOutputs, InProcessNoDescriptorLeftOpen) {
    qt::TempDir dir;
    const std::string good = write_input(dir, "Things", typed_database(Generation::v12));
    const std::string damaged = dir.file("damaged.fmp12");
    qw::write_file(damaged, with_broken_block(typed_database(Generation::v12)));
    /* the broken block is the last one: blocks are numbered from 2 */
    const std::string broken_id =
        std::to_string(qw::database_layout(typed_database(Generation::v12)).blocks.size() + 2);
    const int before = open_descriptors();
    int n = 0;
    for (const std::string &input : {good, damaged})
        for (const char *to : {"sqlite", "csv", "json", "jsonl", "xlsx"}) {
            qexport::ExportOptions options;
            options.input = input;
            options.output = dir.file("out" + std::to_string(++n));
            options.to = to;
            options.quiet = true;
            testing::internal::CaptureStderr();
            const int status = qexport::run_export(options);
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(status, input == good ? 0 : 1) << input << " " << to;
            EXPECT_EQ(open_descriptors(), before) << input << " " << to;
        }
}

} // namespace

/* ---- many inputs: --outdir, --jobs ---- */

size_t occurrences(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

TEST(QuarnExportMany, DamagedInputReportedOthersConvertSameNamesKeptApart) {
    qt::TempDir dir;
    fs::create_directory(dir.file("a"));
    fs::create_directory(dir.file("b"));
    const std::string first = write_input(dir, "a/Things", typed_database(Generation::v12));
    const std::string second = write_input(dir, "b/Things", typed_database(Generation::v7));
    const std::string damaged = dir.file("damaged.fmp12");
    qw::write_file(damaged, with_broken_block(typed_database(Generation::v12)));
    const std::string other = write_input(dir, "Other.v1", typed_database(Generation::v7));
    const std::string out = dir.file("out");

    const qt::RunResult r = quarn({"export", "--jobs", "2", first, damaged, second, other, "--outdir", out});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(entries(out), (std::vector<std::string>{"Other.v1.sqlite", "Things-2.sqlite", "Things.sqlite"}));
    EXPECT_EQ(occurrences(r.err, damaged + " is damaged: block "), 1u) << r.err;
    EXPECT_NE(r.err.find(second + " goes to " + out + "/Things-2.sqlite: Things.sqlite is another input's\n"),
              std::string::npos)
        << r.err;
    for (const auto &[input, name] : {std::pair{first, "Things.sqlite"}, std::pair{second, "Things-2.sqlite"},
                                      std::pair{other, "Other.v1.sqlite"}})
        EXPECT_EQ(occurrences(r.err, input + " -> " + out + "/" + name + "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("quarn: 1 of 4 inputs failed\n"), std::string::npos) << r.err;

    /* each output is what a single export of its input writes */
    for (const auto &[input, name] : {std::pair{first, "Things.sqlite"}, std::pair{second, "Things-2.sqlite"}}) {
        const std::string alone = dir.file(std::string("alone-") + name);
        ASSERT_EQ(quarn({"export", "-q", input, alone}).status, 0);
        const auto expected = sql_query(alone, "SELECT * FROM \"Things\"");
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(sql_query(out + "/" + name, "SELECT * FROM \"Things\""), expected) << name;
    }
}

TEST(QuarnExportMany, AllConvertedStatusZeroInEveryFormat) {
    qt::TempDir dir;
    const std::string one = write_input(dir, "One", typed_database(Generation::v12));
    const std::string two = write_input(dir, "Two", typed_database(Generation::v7));
    const struct {
        const char *to;
        std::vector<std::string> names;
    } cases[] = {
        {"sqlite", {"One.sqlite", "Two.sqlite"}}, {"json", {"One.json", "Two.json"}},
        {"xlsx", {"One.xlsx", "Two.xlsx"}},       {"csv", {"One", "Two"}},
        {"jsonl", {"One", "Two"}},
    };
    for (const auto &c : cases) {
        const std::string out = dir.file(std::string("out-") + c.to + "/nested");
        const qt::RunResult r = quarn({"export", "-q", "--to", c.to, "--outdir", out, one, two});
        EXPECT_EQ(r.status, 0) << c.to << ": " << r.err;
        EXPECT_EQ(r.err.find(" -> "), std::string::npos) << "--quiet: no line per input";
        std::vector<std::string> names = entries(out);
        /* JSON and XLSX write the containers into a folder beside */
        std::erase_if(names, [](const std::string &n) { return n.ends_with("_files"); });
        EXPECT_EQ(names, c.names) << c.to;
        if (std::string(c.to) == "json") {
            EXPECT_TRUE(parse_json(qt::read_file(out + "/Two.json")));
        }
        if (std::string(c.to) == "csv") {
            EXPECT_TRUE(fs::exists(out + "/One/Things.csv")) << entries(out + "/One").size() << " entries in One/";
        }
    }
    /* without --to: SQLite, and a second run over the same folder needs --force */
    const std::string out = dir.file("plain");
    EXPECT_EQ(quarn({"export", "-q", "-j", "1", one, "-o", out}).status, 0);
    EXPECT_EQ(entries(out), std::vector<std::string>{"One.sqlite"});
    EXPECT_EQ(quarn({"export", "-q", one, "-o", out}).status, 1);
    EXPECT_EQ(quarn({"export", "-q", one, "-o", out, "--force"}).status, 0);
}

TEST(QuarnExportMany, WrongCommandLines) {
    qt::TempDir dir;
    const std::string in = write_input(dir, "Things", typed_database(Generation::v12));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"export", "--outdir", dir.file("o")}, "quarn export: missing INPUT\n"},
        {{"export", in, "--outdir", dir.file("o"), "--jobs", "0"}, "quarn export: --jobs needs a number from 1: 0\n"},
        {{"export", in, "--outdir", dir.file("o"), "--jobs", "two"}, "quarn export: --jobs needs a number from 1: two\n"},
        {{"export", in, dir.file("o.sqlite"), "--jobs", "2"}, "quarn export: --jobs goes with --outdir\n"},
        {{"export", in, "--outdir", dir.file("o"), "--to", "yaml"},
         "quarn export: unknown format \"yaml\" (sqlite, csv, json, jsonl or xlsx)\n"},
    };
    for (const auto &c : cases) {
        const qt::RunResult r = quarn(c.args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err, c.err + "Try 'quarn export --help'.\n");
    }
    EXPECT_FALSE(fs::exists(dir.file("o")));
}
