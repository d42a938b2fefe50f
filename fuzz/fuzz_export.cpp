/*
 * fuzz_export: runs quarn export in-process on the input, written as a
 * database file into a directory of its own, once per format (sqlite, csv,
 * json, jsonl, xlsx, a PostgreSQL script, and sqlite with --containers and
 * --record-id), and
 * checks what each run leaves behind:
 *   - status 0 or 1, never anything else;
 *   - status 0: the output is well-formed: the SQLite file passes its
 *     integrity check, the JSON document parses, every JSON Lines line
 *     parses, every CSV file reads by RFC 4180 with the same number of
 *     fields in every row, the workbook is a zip archive, the script is one
 *     transaction whose every COPY line holds one value per column; every container
 *     path a cell names exists as a file;
 *   - status 1: nothing at all is left in the directory but the input;
 *   - the same number of open descriptors before and after.
 * Memory leaks on any path show up through the fuzzer's leak check.
 */
#include "export.h"
#include "fuzz_common.h"

#include <sqlite3.h>
#include <yajl/yajl_tree.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string dir, input;

int open_files() {
    DIR *d = opendir("/proc/self/fd");
    if (!d) abort();
    int count = 0;
    while (readdir(d)) count++;
    closedir(d);
    return count;
}

/* Every entry below path, relative to it. */
void list(const std::string &path, const std::string &prefix, std::vector<std::string> *out) {
    DIR *d = opendir(path.c_str());
    if (!d) return;
    while (const dirent *entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        out->push_back(prefix + name);
        struct stat st;
        if (lstat((path + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            list(path + "/" + name, prefix + name + "/", out);
    }
    closedir(d);
}

void remove_all(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        DIR *d = opendir(path.c_str());
        if (d) {
            while (const dirent *entry = readdir(d)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            closedir(d);
        }
        for (const std::string &name : names) remove_all(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void clean_outputs() {
    std::vector<std::string> entries;
    list(dir, "", &entries);
    for (const std::string &entry : entries)
        if (entry != "input.fmp12" && entry.find('/') == std::string::npos) remove_all(dir + "/" + entry);
}

std::string read_file(const std::string &path) {
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) abort();
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    const bool failed = ferror(file);
    fclose(file);
    if (failed) abort();
    return text;
}

bool is_file(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/* Every "path" of a container object in a parsed JSON value names a file
 * below base. */
void check_paths(yajl_val value, const std::string &base) {
    if (YAJL_IS_OBJECT(value)) {
        const auto *object = YAJL_GET_OBJECT(value);
        for (size_t i = 0; i < object->len; i++) {
            if (std::string(object->keys[i]) == "path" && YAJL_IS_STRING(object->values[i]) && i + 1 < object->len &&
                std::string(object->keys[i + 1]) == "type")
                if (!is_file(base + "/" + YAJL_GET_STRING(object->values[i]))) abort();
            check_paths(object->values[i], base);
        }
    } else if (YAJL_IS_ARRAY(value)) {
        const auto *array = YAJL_GET_ARRAY(value);
        for (size_t i = 0; i < array->len; i++) check_paths(array->values[i], base);
    }
}

void check_json_text(const std::string &text, const std::string &base) {
    char error[256];
    yajl_val document = yajl_tree_parse(text.c_str(), error, sizeof error);
    if (!document || !YAJL_IS_OBJECT(document)) {
        dprintf(2, "not a JSON object: %s\n%.300s\n", document ? "" : error, text.c_str());
        abort();
    }
    check_paths(document, base);
    yajl_tree_free(document);
}

int take_verdict(void *ctx, int, char **values, char **) {
    *static_cast<std::string *>(ctx) += values[0] ? values[0] : "NULL";
    return 0;
}

void check_sqlite(const std::string &path) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) abort();
    std::string verdict;
    const bool ran = sqlite3_exec(db, "PRAGMA integrity_check;", take_verdict, &verdict, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    if (!ran || verdict != "ok") abort();
}

/* Reads text by RFC 4180; aborts on a malformed file or rows of unequal
 * width. */
void check_csv(const std::string &text) {
    size_t i = 0, width = 0, fields = 1;
    bool first_row = true;
    if (text.empty()) abort();
    while (i < text.size()) {
        if (text[i] == '"') {
            i++;
            for (;;) {
                if (i >= text.size()) abort();
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') i += 2;
                    else { i++; break; }
                } else {
                    i++;
                }
            }
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n') {
                if (text[i] == '"') abort();
                i++;
            }
        }
        if (i >= text.size()) abort(); /* every row ends in CRLF */
        if (text[i] == ',') {
            fields++;
            i++;
            continue;
        }
        if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n') abort();
        i += 2;
        if (first_row) width = fields;
        else if (fields != width) abort();
        first_row = false;
        fields = 1;
    }
}

void check_xlsx(const std::string &path) {
    const std::string data = read_file(path);
    if (data.size() < 22 || data.compare(0, 4, "PK\x03\x04") != 0) abort();
    const size_t end = data.rfind("PK\x05\x06");
    if (end == std::string::npos || data.size() - end < 22) abort();
}

/* A psql script: a comment line and a \set line, then statements (read
 * with their quoted names, which may hold anything), BEGIN among the first
 * and COMMIT last; after each COPY ... FROM stdin, lines of as many
 * tab-separated values as it names columns, none with a raw carriage
 * return, up to a line "\.". */
void check_script(const std::string &text) {
    size_t at = 0;
    for (const char *head : {"-- ", "\\set "}) {
        if (text.compare(at, strlen(head), head) != 0) abort();
        at = text.find('\n', at);
        if (at == std::string::npos) abort();
        at++;
    }
    std::vector<std::string> statements;
    while (at < text.size()) {
        const size_t start = at;
        size_t columns = 0, depth = 0;
        while (at < text.size() && text[at] != ';') {
            if (text[at] == '(') depth++;
            if (text[at] == '"' || text[at] == '\'') {
                const char quote = text[at];
                for (at++; at < text.size(); at++)
                    if (text[at] == quote) {
                        if (at + 1 < text.size() && text[at + 1] == quote) at++;
                        else break;
                    }
                if (quote == '"' && depth > 0) columns++;
            }
            at++;
        }
        if (at + 1 >= text.size() || text[at + 1] != '\n') abort();
        const std::string statement = text.substr(start, at - start);
        at += 2;
        statements.push_back(statement);
        if (statement.compare(0, 5, "COPY ") != 0) continue;
        if (statement.size() < 11 || statement.compare(statement.size() - 11, 11, " FROM stdin") != 0) abort();
        for (;;) {
            const size_t end = text.find('\n', at);
            if (end == std::string::npos) abort();
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            if (line == "\\.") break;
            if (line.find('\r') != std::string::npos) abort();
            if (static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) + 1 != columns) abort();
        }
    }
    if (statements.size() < 3 || statements[1] != "BEGIN" || statements.back() != "COMMIT") abort();
}

void check_folder(const std::string &folder, const char *extension) {
    std::vector<std::string> entries;
    list(folder, "", &entries);
    const std::string ext = extension;
    for (const std::string &entry : entries) {
        if (entry.size() <= ext.size() || entry.compare(entry.size() - ext.size(), ext.size(), ext) != 0) continue;
        if (entry.find('/') != std::string::npos) continue;
        const std::string text = read_file(folder + "/" + entry);
        if (ext == ".csv") {
            check_csv(text);
            continue;
        }
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            if (end == std::string::npos) abort(); /* every line ends */
            check_json_text(text.substr(start, end - start), folder);
            start = end + 1;
        }
    }
}

struct Run {
    const char *to;
    const char *output;
    bool containers;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_export.XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    dir = pattern;
    input = dir + "/input.fmp12";
    atexit([] { remove_all(dir); });
    /* messages are not looked at; the fuzzer's own lines still reach
     * descriptor 2 */
    if (!freopen("/dev/null", "w", stdout)) abort();
    FILE *null_stream = fopen("/dev/null", "w");
    if (!null_stream) abort();
    stderr = null_stream;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> image = fuzz::consistent_image(data, size);
    FILE *file = fopen(input.c_str(), "wb");
    if (!file) abort();
    const bool written = fwrite(image.data(), 1, image.size(), file) == image.size();
    if (fclose(file) != 0 || !written) abort();

    static const Run runs[] = {{"sqlite", "out.sqlite", false}, {"csv", "out", false},
                               {"json", "out.json", false},     {"jsonl", "out", false},
                               {"xlsx", "out.xlsx", false},     {"postgres", "out.sql", false},
                               {"sqlite", "out.db", true}};
    const int files_before = open_files();
    for (const Run &run : runs) {
        clean_outputs();
        qexport::ExportOptions options;
        options.input = input;
        options.output = dir + "/" + run.output;
        options.to = run.to;
        options.quiet = true;
        if (run.containers) {
            options.containers = dir + "/pictures";
            options.record_id = true;
        }
        const int status = qexport::run_export(options);
        if (status == 1) {
            std::vector<std::string> left;
            list(dir, "", &left);
            if (left.size() != 1) abort(); /* only the input */
            continue;
        }
        if (status != 0) abort();
        const std::string to = run.to;
        if (to == "sqlite") check_sqlite(options.output);
        else if (to == "csv") check_folder(options.output, ".csv");
        else if (to == "jsonl") check_folder(options.output, ".jsonl");
        else if (to == "json") check_json_text(read_file(options.output), dir);
        else if (to == "postgres") check_script(read_file(options.output));
        else check_xlsx(options.output);
    }
    clean_outputs();
    if (open_files() != files_before) abort();
    return 0;
}
