/*
 * quarn: one command that gets everything out of FileMaker database files.
 * This file is the command line: the commands (export, info, schema,
 * dump), their GNU-style options and help texts, --version, and the info
 * and schema reports. The export itself is export/export.h's; the dump is
 * quarn-dump's (dump_files.h).
 *
 * Exit status: 0 on success, 1 when an export or a read failed, 2 for a
 * wrong command line.
 */
#include "dump_files.h"
#include "export/batch.h"
#include "export/export.h"
#include "export/format_postgres.h"
#include "export/format_sqlite.h"
#include "export/json_values.h"
#include "export/source.h"
#include "sql_text.h"

#include <yajl/yajl_gen.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef QUARN_VERSION
#define QUARN_VERSION "0.0.0"
#endif

namespace {

const char kMainHelp[] =
    "Usage: quarn COMMAND [OPTION]... [ARGUMENT]...\n"
    "Gets everything out of FileMaker Pro database files (.fmp12, .fp7, .fp5, .fp3):\n"
    "every table, field, repetition and container.\n"
    "\n"
    "Commands:\n"
    "  export INPUT OUTPUT   write the tables as SQLite, CSV, JSON, JSON Lines or XLSX,\n"
    "                        or load them into PostgreSQL (or a psql script)\n"
    "  export INPUT... --outdir DIR  the same for many files, one output each\n"
    "  info INPUT...         each file's generation and version, and its tables with\n"
    "                        their record, field and container counts\n"
    "  schema INPUT          every table's fields: data type, kind, storage, repetitions\n"
    "  dump INPUT...         the internal structure of the files (as quarn-dump)\n"
    "\n"
    "Options:\n"
    "  -h, --help            show this help ('quarn COMMAND --help': a command's own)\n"
    "      --version         show the version\n"
    "\n"
    "Exit status: 0 on success, 1 when an export or a read failed, 2 for a wrong\n"
    "command line. See quarn(1).\n";

const char kExportHelp[] =
    "Usage: quarn export INPUT OUTPUT [OPTION]...\n"
    "  or:  quarn export INPUT... --outdir DIR [--jobs N] [OPTION]...\n"
    "Writes every table of INPUT (a FileMaker database file) to OUTPUT.\n"
    "\n"
    "  -t, --to FORMAT       sqlite, csv, json, jsonl, xlsx or postgres; without it\n"
    "                        the format follows OUTPUT's extension (.sqlite,\n"
    "                        .sqlite3, .db, .csv, .json, .jsonl, .ndjson, .xlsx,\n"
    "                        .sql for a psql script);\n"
    "                        a name without an extension, or an existing folder,\n"
    "                        means csv. csv and jsonl write a folder with one file\n"
    "                        per table.\n"
    "  -T, --tables NAME,... only these tables\n"
    "  -c, --containers DIR  write containers as files into DIR (default: OUTPUT\n"
    "                        followed by \"_files\" beside a file output,\n"
    "                        \"files\" inside a folder output; SQLite keeps them as\n"
    "                        BLOBs and writes files only with this option)\n"
    "      --text            no conversions: every value as the file stores it\n"
    "                        (line breaks are LF in every case)\n"
    "      --record-id       a first column record_id with each record's stable id\n"
    "      --strict          fail (status 1, nothing written) at the first loss or\n"
    "                        demotion that would otherwise be a warning: a value\n"
    "                        of a number, date, time or timestamp field left as\n"
    "                        text, a table without a name, values of undeclared\n"
    "                        repetitions, missing or damaged containers,\n"
    "                        repetitions in an overflow column, a warning of the\n"
    "                        server (a text written whole to a file is none)\n"
    "  -q, --quiet           no progress line\n"
    "  -s, --schema NAME     (postgres) the schema to create (default: INPUT's name,\n"
    "                        lower case, other characters than a-z, 0-9, _ as _)\n"
    "  -f, --force           replace an existing output (postgres: drop and recreate\n"
    "                        an existing schema)\n"
    "  -o, --outdir DIR      export every INPUT into DIR (made when missing), one\n"
    "                        output each, named after the input without its\n"
    "                        extension, plus the format's (.sqlite, .json, .xlsx;\n"
    "                        a folder for csv and jsonl); the format is --to's,\n"
    "                        sqlite without it. Of inputs with the same name the\n"
    "                        later ones get -2, -3, ...; --containers DIR gets one\n"
    "                        folder per input. A failed input is reported and the\n"
    "                        others still convert; the status is 0 only when all\n"
    "                        succeeded. One line per finished input unless --quiet.\n"
    "  -j, --jobs N          with --outdir: N exports at a time (default: the\n"
    "                        number of processors)\n"
    "  -h, --help            show this help\n"
    "\n"
    "Numbers become numbers, dates, times and timestamps ISO 8601 (in the date order\n"
    "the file's own values show); a repeating field becomes one column per used\n"
    "repetition (Name, Name[2], ...) or an array in JSON. The output appears only\n"
    "when the export succeeded.\n"
    "\n"
    "Into PostgreSQL: OUTPUT a postgresql:// (or postgres://) URI, or with --to\n"
    "postgres a key=value connection string (\"host=/run/postgresql dbname=x\"),\n"
    "loads one schema with a table per table in one transaction (libpq reads the\n"
    "PG* variables and ~/.pgpass); with --to postgres any other OUTPUT (or a .sql\n"
    "name) is a script of the same for 'psql -v ON_ERROR_STOP=1 -f OUTPUT'. Columns\n"
    "are text, numeric, date, time, timestamp, bytea, an array for a repeating field.\n";

const char kInfoHelp[] =
    "Usage: quarn info INPUT... [--json]\n"
    "Shows each file's generation, version text and release date, and for each\n"
    "table its record, field and container counts.\n"
    "\n"
    "  -j, --json            the same as one JSON document\n"
    "  -h, --help            show this help\n";

const char kSchemaHelp[] =
    "Usage: quarn schema INPUT [--json | --sql]\n"
    "Shows every table's fields with their data type, kind, global storage and\n"
    "repetitions.\n"
    "\n"
    "  -j, --json            the same as one JSON document\n"
    "  -s, --sql             the CREATE TABLE statements that export --to sqlite runs\n"
    "      --text            (with --sql) as export --text would make them\n"
    "      --record-id       (with --sql) with the record_id column\n"
    "  -h, --help            show this help\n";

const char kDumpHelp[] =
    "Usage: quarn dump INPUT...\n"
    "Prints the internal structure of each file (header, blocks, chunks with their\n"
    "paths), exactly as quarn-dump prints it.\n"
    "\n"
    "  -h, --help            show this help\n";

/* A wrong command line: the message, a hint, status 2. */
int usage_error(const char *command, const std::string &text) {
    fprintf(stderr, "quarn%s%s: %s\n", command ? " " : "", command ? command : "", text.c_str());
    fprintf(stderr, "Try 'quarn%s%s --help'.\n", command ? " " : "", command ? command : "");
    return 2;
}

/* Options of one command, parsed by getopt_long: options may come before,
 * between or after the operands; "--" ends them. */
struct Parsed {
    std::vector<std::pair<int, std::string>> options; /* (short code, argument) */
    std::vector<std::string> operands;
    bool ok = true;
};

Parsed parse(const char *command, int argc, char **argv, const char *shorts, const option *longs) {
    Parsed parsed;
    optind = 0; /* start afresh (glibc), also for a second run in one process */
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, shorts, longs, nullptr)) != -1) {
        if (code == '?' || code == ':') {
            const std::string shown = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
            usage_error(command, (code == ':' ? "option needs an argument: " : "unknown option: ") + shown);
            parsed.ok = false;
            return parsed;
        }
        parsed.options.push_back({code, optarg ? optarg : ""});
    }
    for (int i = optind; i < argc; i++) parsed.operands.push_back(argv[i]);
    return parsed;
}

/* Options that take no argument but were given one (--json=x) reach here
 * as '?', like unknown ones. */
bool has(const Parsed &parsed, int code) {
    for (const auto &[c, _] : parsed.options)
        if (c == code) return true;
    return false;
}

std::vector<std::string> split_names(const std::string &list) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!name.empty()) names.push_back(name);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return names;
}

enum { kText = 1000, kRecordId, kVersion, kStrict };

/* --jobs N: a whole number from 1. */
bool parse_jobs(const std::string &text, unsigned *jobs) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long n = std::stoul(text);
    if (n == 0) return false;
    *jobs = static_cast<unsigned>(n);
    return true;
}

unsigned processors() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

/* Runs an export with SIGINT, SIGTERM and SIGHUP asking it to stop: it
 * ends the way a failure does, so that no temporary output is left; then
 * the signal ends the program, as the shell expects of an interrupted
 * command. */
template <class Run>
int with_interrupts(Run run) {
    static volatile sig_atomic_t received = 0;
    struct sigaction action = {};
    action.sa_handler = [](int signal) {
        received = signal;
        qexport::request_stop();
    };
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        /* a signal ignored when the program started (a background job's
         * SIGINT) stays ignored */
        struct sigaction current = {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
    const int status = run();
    if (received != 0) {
        std::signal(received, SIG_DFL);
        raise(received);
    }
    return status;
}

int command_export(int argc, char **argv) {
    static const option longs[] = {{"to", required_argument, nullptr, 't'},
                                   {"tables", required_argument, nullptr, 'T'},
                                   {"containers", required_argument, nullptr, 'c'},
                                   {"text", no_argument, nullptr, kText},
                                   {"record-id", no_argument, nullptr, kRecordId},
                                   {"strict", no_argument, nullptr, kStrict},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"schema", required_argument, nullptr, 's'},
                                   {"outdir", required_argument, nullptr, 'o'},
                                   {"jobs", required_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    const Parsed parsed = parse("export", argc, argv, ":t:T:c:qfs:o:j:h", longs);
    if (!parsed.ok) return 2;
    qexport::ExportOptions options;
    std::optional<std::string> outdir;
    unsigned jobs = 1;
    bool jobs_given = false;
    for (const auto &[code, value] : parsed.options) {
        switch (code) {
        case 'h': fputs(kExportHelp, stdout); return 0;
        case 't': options.to = value; break;
        case 'T': {
            const std::vector<std::string> names = split_names(value);
            if (names.empty()) return usage_error("export", "--tables needs at least one table name");
            options.tables.insert(options.tables.end(), names.begin(), names.end());
            break;
        }
        case 'c':
            if (value.empty()) return usage_error("export", "--containers needs a folder");
            options.containers = value;
            break;
        case kText: options.text = true; break;
        case kRecordId: options.record_id = true; break;
        case kStrict: options.strict = true; break;
        case 'q': options.quiet = true; break;
        case 'f': options.force = true; break;
        case 's': options.schema = value; break;
        case 'o':
            if (value.empty()) return usage_error("export", "--outdir needs a folder");
            outdir = value;
            break;
        case 'j':
            if (!parse_jobs(value, &jobs)) return usage_error("export", "--jobs needs a number from 1: " + value);
            jobs_given = true;
            break;
        }
    }
    if (outdir) {
        if (parsed.operands.empty()) return usage_error("export", "missing INPUT");
        if (options.to && !qexport::find_format(qexport::choose_format(options.to, "")))
            return usage_error("export", "unknown format \"" + *options.to + "\" (sqlite, csv, json, jsonl or xlsx)");
        if (!options.to) options.to = "sqlite";
        /* one server and schema per input would need a naming scheme of
         * their own; a loop over quarn export does it plainly */
        if (qexport::choose_format(options.to, "") == "postgres")
            return usage_error("export", "--outdir writes files: postgres takes one INPUT and its server or script");
        if (options.schema) return usage_error("export", "--schema goes with PostgreSQL output");
        qexport::BatchOptions batch;
        batch.common = options;
        batch.inputs = parsed.operands;
        batch.outdir = *outdir;
        batch.jobs = jobs_given ? jobs : processors();
        return with_interrupts([&] { return qexport::run_export_many(batch); });
    }
    if (jobs_given) return usage_error("export", "--jobs goes with --outdir");
    if (parsed.operands.empty()) return usage_error("export", "missing INPUT and OUTPUT");
    if (parsed.operands.size() == 1) return usage_error("export", "missing OUTPUT");
    if (parsed.operands.size() > 2) return usage_error("export", "one INPUT and one OUTPUT: too many arguments");
    options.input = parsed.operands[0];
    options.output = parsed.operands[1];
    if (options.output.empty()) return usage_error("export", "OUTPUT is empty");
    if (options.to && !qexport::find_format(qexport::choose_format(options.to, options.output)))
        return usage_error("export", "unknown format \"" + *options.to + "\" (sqlite, csv, json, jsonl, xlsx or postgres)");
    if (options.schema) {
        if (qexport::choose_format(options.to, options.output) != "postgres")
            return usage_error("export", "--schema goes with PostgreSQL output");
        if (options.schema->empty() || options.schema->size() > qexport::kPostgresIdentifierBytes)
            return usage_error("export", "--schema needs a name of 1 to 63 bytes");
    }
    options.progress = !options.quiet && isatty(STDERR_FILENO);
    return with_interrupts([&] { return qexport::run_export(options); });
}
/* JSON on standard output. */
void print_stdout(void *, const char *text, size_t length) { fwrite(text, 1, length, stdout); }

struct StdoutJson {
    qexport::GenPtr gen{yajl_gen_alloc(nullptr)};
    StdoutJson() {
        yajl_gen_config(gen.get(), yajl_gen_print_callback, print_stdout, nullptr);
        yajl_gen_config(gen.get(), yajl_gen_beautify, 1);
        yajl_gen_config(gen.get(), yajl_gen_indent_string, "  ");
    }
};

std::string release_date(const quarn_file_info_t &info) {
    if (info.release_year == 0) return "";
    char text[16];
    snprintf(text, sizeof text, "%04d-%02d-%02d", info.release_year, info.release_month, info.release_day);
    return text;
}

/* Ends output with a check that it reached standard output. */
int flushed(int status) {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "quarn: cannot write to standard output: %s\n", strerror(errno));
        return 1;
    }
    return status;
}

int command_info(int argc, char **argv) {
    static const option longs[] = {{"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    const Parsed parsed = parse("info", argc, argv, ":jh", longs);
    if (!parsed.ok) return 2;
    if (has(parsed, 'h')) {
        fputs(kInfoHelp, stdout);
        return 0;
    }
    const bool json = has(parsed, 'j');
    if (parsed.operands.empty()) return usage_error("info", "missing INPUT");

    int status = 0;
    StdoutJson out;
    qexport::JsonWriter doc(out.gen.get());
    if (json) doc.array_open();
    for (const std::string &path : parsed.operands) {
        qexport::Source source;
        std::string error;
        if (!source.open(path, &error)) {
            fflush(stdout);
            fprintf(stderr, "quarn: %s\n", error.c_str());
            status = 1;
            continue;
        }
        const quarn_file_info_t &info = source.facts().info;
        struct Row {
            std::string name;
            uint64_t records, fields, containers;
        };
        std::vector<Row> rows;
        bool failed = false;
        for (uint64_t t = 0; t < source.tables().count && !failed; t++) {
            const quarn_table_t &table = source.tables().tables[t];
            qexport::Failure failure;
            Row row{table.name, 0, 0, 0};
            const quarn::FieldsPtr fields = source.fields(table, &failure);
            if (!fields || !source.count(table, &row.records, &row.containers, &failure)) {
                fflush(stdout);
                fprintf(stderr, "quarn: %s\n", failure.message.c_str());
                failed = true;
                break;
            }
            row.fields = fields->count;
            rows.push_back(row);
        }
        if (failed) {
            status = 1;
            continue;
        }
        if (json) {
            doc.map_open();
            doc.string("file");
            doc.string(path);
            doc.string("generation");
            doc.integer(info.generation);
            doc.string("version");
            doc.string(info.version);
            doc.string("release_date");
            if (info.release_year) doc.string(release_date(info));
            else doc.null();
            doc.string("release_date_text");
            doc.string(info.release_date_text);
            doc.string("size");
            doc.integer(static_cast<long long>(info.size));
            doc.string("tables");
            doc.array_open();
            for (const Row &row : rows) {
                doc.map_open();
                doc.string("name");
                doc.string(row.name);
                doc.string("records");
                doc.integer(static_cast<long long>(row.records));
                doc.string("fields");
                doc.integer(static_cast<long long>(row.fields));
                doc.string("containers");
                doc.integer(static_cast<long long>(row.containers));
                doc.map_close();
            }
            doc.array_close();
            doc.map_close();
            continue;
        }
        const std::string date = release_date(info);
        printf("%s\n", path.c_str());
        printf("  generation %s, version \"%s\", released %s\n",
               info.generation == 0 ? "before 7" : std::to_string(info.generation).c_str(), info.version,
               date.empty() ? (std::string("\"") + info.release_date_text + "\"").c_str() : date.c_str());
        printf("  %llu bytes, %zu table%s\n", static_cast<unsigned long long>(info.size), rows.size(),
               rows.size() == 1 ? "" : "s");
        size_t width = 5;
        for (const Row &row : rows) width = std::max(width, qexport::character_count(row.name));
        if (!rows.empty()) {
            printf("  %-*s %10s %7s %11s\n", static_cast<int>(width), "table", "records", "fields", "containers");
            for (const Row &row : rows)
                printf("  %s%*s %10llu %7llu %11llu\n", row.name.c_str(),
                       static_cast<int>(width - qexport::character_count(row.name)), "",
                       static_cast<unsigned long long>(row.records), static_cast<unsigned long long>(row.fields),
                       static_cast<unsigned long long>(row.containers));
        }
    }
    if (json) {
        doc.array_close();
        fputc('\n', stdout);
    }
    return flushed(status);
}

int command_schema(int argc, char **argv) {
    static const option longs[] = {{"json", no_argument, nullptr, 'j'},
                                   {"sql", no_argument, nullptr, 's'},
                                   {"text", no_argument, nullptr, kText},
                                   {"record-id", no_argument, nullptr, kRecordId},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    const Parsed parsed = parse("schema", argc, argv, ":jsh", longs);
    if (!parsed.ok) return 2;
    if (has(parsed, 'h')) {
        fputs(kSchemaHelp, stdout);
        return 0;
    }
    const bool json = has(parsed, 'j'), sql = has(parsed, 's');
    if (json && sql) return usage_error("schema", "--json and --sql exclude each other");
    if ((has(parsed, kText) || has(parsed, kRecordId)) && !sql)
        return usage_error("schema", "--text and --record-id go with --sql");
    if (parsed.operands.empty()) return usage_error("schema", "missing INPUT");
    if (parsed.operands.size() > 1) return usage_error("schema", "one INPUT: too many arguments");
    const std::string &path = parsed.operands[0];

    qexport::Source source;
    std::string error;
    if (!source.open(path, &error)) {
        fprintf(stderr, "quarn: %s\n", error.c_str());
        return 1;
    }
    std::vector<const quarn_table_t *> tables;
    for (uint64_t t = 0; t < source.tables().count; t++) tables.push_back(&source.tables().tables[t]);
    qexport::SourceOptions options;
    options.text = has(parsed, kText);
    options.record_id = has(parsed, kRecordId);
    qexport::Reporter reporter;
    /* the statements are what export runs; its warnings are export's */
    reporter.warn = [](const std::string &) {};
    std::vector<qexport::TablePlan> plans;
    qexport::Failure failure;
    if (!source.plan(tables, options, reporter, &plans, &failure)) {
        fprintf(stderr, "quarn: %s\n", failure.message.c_str());
        return 1;
    }

    if (sql) {
        const std::vector<std::string> names = qexport::sqlite_table_names(plans);
        for (size_t t = 0; t < plans.size(); t++) {
            std::string statement;
            std::vector<qexport::FlatColumn> columns;
            std::vector<std::string> column_names, overflowed;
            if (!qexport::sqlite_create_table(plans[t], names[t], &statement, &columns, &column_names, &overflowed,
                                              &failure)) {
                fflush(stdout);
                fprintf(stderr, "quarn: %s: %s\n", path.c_str(), failure.message.c_str());
                return flushed(1);
            }
            printf("%s\n", statement.c_str());
        }
        return flushed(0);
    }
    if (json) {
        StdoutJson out;
        qexport::JsonWriter doc(out.gen.get());
        doc.map_open();
        doc.string("file");
        doc.string(path);
        doc.string("tables");
        doc.array_open();
        for (const qexport::TablePlan &plan : plans) {
            doc.map_open();
            doc.string("name");
            doc.string(plan.table.name);
            doc.string("fields");
            doc.array_open();
            for (const qexport::FieldPlan &field : plan.fields) {
                doc.map_open();
                doc.string("index");
                doc.integer(field.field.index);
                doc.string("name");
                doc.string(field.field.name);
                doc.string("type");
                doc.string(qexport::type_name(field.field.data_type));
                doc.string("kind");
                doc.string(qexport::kind_name(field.field.kind));
                doc.string("global");
                doc.boolean(field.field.global != 0);
                doc.string("repetitions");
                doc.integer(field.field.repetitions);
                doc.map_close();
            }
            doc.array_close();
            doc.map_close();
        }
        doc.array_close();
        doc.map_close();
        fputc('\n', stdout);
        return flushed(0);
    }
    printf("%s\n", path.c_str());
    for (const qexport::TablePlan &plan : plans) {
        printf("\ntable %s (%zu field%s)\n", plan.table.name, plan.fields.size(), plan.fields.size() == 1 ? "" : "s");
        size_t width = 5;
        for (const auto &field : plan.fields) width = std::max(width, qexport::character_count(field.field.name));
        if (plan.fields.empty()) continue;
        printf("  %5s  %-*s  %-9s  %-11s  %-6s  %s\n", "#", static_cast<int>(width), "field", "type", "kind",
               "global", "repetitions");
        for (const auto &field : plan.fields)
            printf("  %5d  %s%*s  %-9s  %-11s  %-6s  %d\n", field.field.index, field.field.name,
                   static_cast<int>(width - qexport::character_count(field.field.name)), "",
                   qexport::type_name(field.field.data_type), qexport::kind_name(field.field.kind),
                   field.field.global ? "yes" : "no", field.field.repetitions);
    }
    return flushed(0);
}

int command_dump(int argc, char **argv) {
    static const option longs[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    const Parsed parsed = parse("dump", argc, argv, ":h", longs);
    if (!parsed.ok) return 2;
    if (has(parsed, 'h')) {
        fputs(kDumpHelp, stdout);
        return 0;
    }
    if (parsed.operands.empty()) return usage_error("dump", "missing INPUT");
    std::vector<char *> paths;
    for (const std::string &operand : parsed.operands) paths.push_back(const_cast<char *>(operand.c_str()));
    return converter::dump_files(static_cast<int>(paths.size()), paths.data());
}

} // namespace

int main(int argc, char **argv) {
    converter::sqlite_single_thread(); /* one thread: export forks for --jobs */
    if (argc < 2) {
        fputs(kMainHelp, stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kMainHelp, stdout);
        return 0;
    }
    if (command == "--version") {
        printf("quarn (QUARN Tools) %s\n", QUARN_VERSION);
        return 0;
    }
    /* each command parses what follows it; argv[1] stands as its name */
    int sub_argc = argc - 1;
    char **sub_argv = argv + 1;
    if (command == "export") return command_export(sub_argc, sub_argv);
    if (command == "info") return command_info(sub_argc, sub_argv);
    if (command == "schema") return command_schema(sub_argc, sub_argv);
    if (command == "dump") return command_dump(sub_argc, sub_argv);
    if (!command.empty() && command[0] == '-') return usage_error(nullptr, "unknown option: " + command);
    return usage_error(nullptr, "unknown command \"" + command + "\"");
}
