/*
 * export.cpp: the run of quarn export (export.h): it picks the format,
 * stages the outputs (output.h), plans and walks the tables through the
 * reading side (source.h) into the format (format.h), writes containers
 * through ContainerFiles, and puts the outputs in place only when all of
 * that succeeded.
 */
#include "export.h"

#include "container_files.h"
#include "format.h"
#include "format_postgres.h"
#include "output.h"
#include "progress.h"
#include "source.h"
#include "xlsx_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace qexport {

namespace {

std::string lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string without_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

/* The extension of the path's last part, lower-cased, without its dot. */
std::string extension(const std::string &path) {
    const std::string p = without_slashes(path);
    const size_t slash = p.rfind('/');
    const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
    const size_t dot = base.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    return lower(base.substr(dot + 1));
}

/* How the files folder is written in the cells: relative to the folder
 * that holds the output. */
std::string relative_prefix(const std::string &files, const std::string &output) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path target = fs::absolute(files, error).lexically_normal();
    const fs::path base = fs::absolute(parent_folder(output), error).lexically_normal();
    fs::path relative = target.lexically_relative(base);
    if (relative.empty()) return target.string();
    std::string text = relative.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

void message(Progress &progress, const std::string &text) {
    progress.clear();
    fprintf(stderr, "quarn: %s\n", text.c_str());
}

std::atomic<bool> stop_flag{false};

/* Set when an export with --strict met its first warning: the walks stop
 * as they do for an interrupt. */
std::atomic<bool> strict_flag{false};

bool stopped_or_strict() {
    return stop_flag.load(std::memory_order_relaxed) || strict_flag.load(std::memory_order_relaxed);
}

} // namespace

void request_stop() { stop_flag.store(true, std::memory_order_relaxed); }

bool stop_requested() { return stop_flag.load(std::memory_order_relaxed); }

void clear_stop_request() { stop_flag.store(false, std::memory_order_relaxed); }

std::string choose_format(const std::optional<std::string> &to, const std::string &output) {
    if (to) return lower(*to) == "postgresql" ? "postgres" : lower(*to);
    if (postgres_uri(output)) return "postgres";
    struct stat st;
    if (stat(output.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "csv";
    const std::string ext = extension(output);
    if (ext == "sqlite" || ext == "sqlite3" || ext == "db") return "sqlite";
    if (ext == "json") return "json";
    if (ext == "jsonl" || ext == "ndjson") return "jsonl";
    if (ext == "csv") return "csv";
    if (ext == "xlsx") return "xlsx";
    if (ext == "sql") return "postgres";
    if (ext.empty()) return "csv";
    return "";
}

int run_export(const ExportOptions &options) {
    Progress progress(options.progress);
    const std::string name = choose_format(options.to, options.output);
    const FormatInfo *info = find_format(name);
    if (!info) {
        if (options.to)
            message(progress, "unknown format \"" + *options.to + "\" (sqlite, csv, json, jsonl, xlsx or postgres)");
        else
            message(progress, options.output + ": cannot tell the format from the extension; give --to FORMAT");
        return 2;
    }

    /* --force must never put an export over its own input */
    struct stat in_st, out_st;
    if (stat(options.input.c_str(), &in_st) == 0 && stat(options.output.c_str(), &out_st) == 0 &&
        in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
        message(progress, options.output + " is the input");
        return 2;
    }

    /* before the input is read: what the allocator does for the reading
     * decides where the workbook's sheets go */
    if (info->id == FormatId::xlsx) converter::keep_sheet_arrays_untouched();

    Source source;
    std::string error;
    if (!source.open(options.input, &error)) {
        message(progress, error);
        return 1;
    }

    /* the tables asked for, in the file's order */
    std::vector<const quarn_table_t *> selected;
    const quarn_table_array_t &tables = source.tables();
    for (const std::string &wanted : options.tables) {
        bool found = false;
        for (uint64_t t = 0; t < tables.count; t++) found = found || wanted == tables.tables[t].name;
        if (!found) {
            message(progress, options.input + ": no table named \"" + wanted + "\"");
            return 2;
        }
    }
    for (uint64_t t = 0; t < tables.count; t++) {
        const quarn_table_t *table = &tables.tables[t];
        if (options.tables.empty() ||
            std::find(options.tables.begin(), options.tables.end(), table->name) != options.tables.end())
            selected.push_back(table);
    }

    /* With --strict the first warning becomes the failure's message, and
     * the others (which follow from going on) are not shown. */
    strict_flag.store(false, std::memory_order_relaxed);
    std::string strict_failure;
    Reporter reporter;
    reporter.warn = [&](const std::string &text) {
        if (!options.strict) {
            message(progress, text);
            return;
        }
        if (strict_failure.empty()) strict_failure = text;
        strict_flag.store(true, std::memory_order_relaxed);
    };
    /* a text written whole to a file is no loss: told, never a failure */
    reporter.note = [&](const std::string &text) { message(progress, text); };
    reporter.stopped = options.strict ? stopped_or_strict : stop_requested;
    /* Ends a failed export: what the format wrote is released, the staged
     * outputs go with their objects. */
    auto fail = [&](std::unique_ptr<Format> &format, const std::string &why) {
        if (format) format->abandon();
        message(progress, strict_failure.empty() ? why : strict_failure);
        return 1;
    };
    if (options.progress)
        reporter.progress = [&](const char *table, uint64_t records, uint64_t bytes) {
            progress.update(table, records, bytes);
        };

    /* A database server is no file: nothing is staged there, its
     * transaction keeps a failed load from showing. */
    const bool to_server = info->id == FormatId::postgres && postgres_connection(options.output);
    StagedOutput output;
    if (!to_server &&
        !output.prepare(options.output, info->folder ? StagedOutput::Kind::folder : StagedOutput::Kind::file,
                        options.force, &error)) {
        message(progress, error);
        return 1;
    }

    /* Containers as files: by default for every format but SQLite, and
     * wherever --containers asks. */
    SourceOptions source_options;
    source_options.text = options.text;
    source_options.record_id = options.record_id;
    source_options.numbers_by_field = info->id == FormatId::postgres;
    source_options.cell_characters = info->cell_characters;
    StagedOutput files_output;
    std::string files_path, files_root;
    const bool write_files = info->container_files || options.containers.has_value();
    if (write_files) {
        if (info->folder && !options.containers) {
            files_root = output.work() + "/files";
            files_path = without_slashes(options.output) + "/files";
            source_options.files_prefix = "files";
        } else {
            files_path = options.containers ? without_slashes(*options.containers) : without_slashes(options.output) + "_files";
            source_options.files_prefix =
                info->folder ? relative_prefix(files_path, without_slashes(options.output) + "/x")
                             : relative_prefix(files_path, options.output);
        }
    }
    const bool separate_files = write_files && files_root.empty();
    ContainerFiles files(
        [&](std::string *root, Failure *failure) {
            if (!separate_files) {
                if (mkdir(files_root.c_str(), 0777) != 0 && errno != EEXIST) {
                    failure->message = "cannot write " + files_path + ": " + strerror(errno);
                    return false;
                }
                *root = files_root;
                return true;
            }
            std::string why;
            if (!files_output.prepare(files_path, StagedOutput::Kind::folder, options.force, &why)) {
                failure->message = why;
                return false;
            }
            *root = files_output.work();
            return true;
        },
        files_path);

    FormatSettings settings;
    settings.work_path = output.work();
    settings.output_path = to_server ? options.output : without_slashes(options.output);
    settings.facts = source.facts();
    settings.input_name = source.display_name();
    settings.warn = reporter.warn;
    settings.schema = options.schema ? *options.schema : postgres_schema_name(settings.facts.name);
    settings.force = options.force;
    settings.to_server = to_server;
    std::unique_ptr<Format> format = info->create(settings);
    Failure failure;
    if (!format->prepare(&failure)) return fail(format, failure.message);

    std::vector<TablePlan> plans;
    if (!source.plan(selected, source_options, reporter, &plans, &failure) || !strict_failure.empty())
        return fail(format, failure.message);

    for (const TablePlan &plan : plans) {
        if (!source.export_table(plan, *format, write_files ? &files : nullptr, reporter, &failure) ||
            !strict_failure.empty())
            return fail(format, failure.message);
    }
    /* an interrupt that came after the last record must not commit */
    if (stop_requested()) return fail(format, "interrupted");
    if (!format->finish(&failure) || !strict_failure.empty()) return fail(format, failure.message);
    format.reset();
    progress.clear();
    if (stop_requested()) {
        message(progress, "interrupted");
        return 1;
    }
    if (!output.check(&error) || !files_output.check(&error) || !output.commit(&error) ||
        !files_output.commit(&error)) {
        message(progress, error);
        return 1;
    }
    return 0;
}

} // namespace qexport
