/*
 * fuzz_converters: runs quarn-to-json, quarn-to-sqlite and quarn-to-xlsx
 * in-process on the input, written as a database file into a directory of
 * its own, and checks what they leave behind:
 *   - status 0: the JSON parses and is an array of tables; the SQLite file
 *     passes its integrity check and holds as many tables as the JSON; the
 *     workbook is a zip archive;
 *   - status 1: no JSON and no workbook at the output path (both are built
 *     whole before anything is written);
 *   - a read that fails fails every converter, so SQLite or XLSX can only
 *     succeed where JSON does.
 * Memory leaks on any path show up through the fuzzer's leak check; open
 * files, which the leak check cannot see (the C library keeps every open
 * stream on a list), are counted before and after.
 */
#include "converters.h"
#include "fuzz_common.h"

#include <sqlite3.h>
#include <yajl/yajl_tree.h>

#include <cstdio>
#include <dirent.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct Paths {
    std::string dir, input, json, sqlite, xlsx;
};
Paths paths;

void remove_outputs() {
    unlink(paths.json.c_str());
    unlink(paths.sqlite.c_str());
    unlink(paths.xlsx.c_str());
}

void remove_directory() {
    remove_outputs();
    unlink(paths.input.c_str());
    rmdir(paths.dir.c_str());
}

/* The number of open file descriptors; with show, each one's target is
 * listed on descriptor 2 (stderr itself points at /dev/null). */
int open_files(bool show = false) {
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) abort();
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        count++;
        if (!show || entry->d_name[0] == '.') continue;
        char target[512];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        dprintf(2, "open file %s: %s\n", entry->d_name, target);
    }
    closedir(dir);
    return count;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

/* The whole file; aborts when it cannot be read. */
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

/* Parses the JSON output; returns the number of tables in it. */
size_t check_json() {
    const std::string text = read_file(paths.json);
    char error[256];
    yajl_val document = yajl_tree_parse(text.c_str(), error, sizeof error);
    if (!document || !YAJL_IS_ARRAY(document)) abort();
    const size_t tables = YAJL_GET_ARRAY(document)->len;
    yajl_tree_free(document);
    return tables;
}

int count_tables(void *ctx, int, char **values, char **) {
    *static_cast<long *>(ctx) = values[0] ? strtol(values[0], nullptr, 10) : -1;
    return 0;
}

int take_verdict(void *ctx, int, char **values, char **) {
    std::string &verdict = *static_cast<std::string *>(ctx);
    if (!verdict.empty()) verdict += '\n';
    verdict += values[0] ? values[0] : "NULL";
    return 0;
}

/* Opens the SQLite output, runs its integrity check and returns its number
 * of tables. */
long check_sqlite() {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(paths.sqlite.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) abort();
    std::string verdict;
    long tables = -1;
    const bool ran =
        sqlite3_exec(db, "PRAGMA integrity_check;", take_verdict, &verdict, nullptr) == SQLITE_OK &&
        sqlite3_exec(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table';", count_tables,
                     &tables, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    if (!ran || verdict != "ok") abort();
    return tables;
}

/* The workbook is a zip archive: a local file header first, the end of the
 * central directory in its last bytes. */
void check_xlsx() {
    const std::string data = read_file(paths.xlsx);
    if (data.size() < 22 || data.compare(0, 4, "PK\x03\x04") != 0) abort();
    /* the record is 22 bytes, followed by a comment of at most 65,535 */
    const size_t end = data.rfind("PK\x05\x06");
    if (end == std::string::npos || data.size() - end < 22 || data.size() - end > 22 + 65535) abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_converters.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        perror("fuzz_converters: mkdtemp");
        abort();
    }
    paths.dir = pattern;
    paths.input = paths.dir + "/input.fmp12";
    paths.json = paths.dir + "/out.json";
    paths.sqlite = paths.dir + "/out.sqlite";
    paths.xlsx = paths.dir + "/out.xlsx";
    atexit(remove_directory);

    /* The converters' messages are not looked at. Standard output is
     * reopened on /dev/null; for standard error only the stream the
     * converters and libxlsxwriter print through is swapped (glibc's stderr
     * is an ordinary variable), so that the fuzzer's own lines and the
     * sanitizers' reports still reach descriptor 2. */
    if (!freopen("/dev/null", "w", stdout)) abort();
    FILE *null_stream = fopen("/dev/null", "w");
    if (!null_stream) abort();
    stderr = null_stream;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> image = fuzz::consistent_image(data, size);
    FILE *input = fopen(paths.input.c_str(), "wb");
    if (!input) abort();
    const bool written = fwrite(image.data(), 1, image.size(), input) == image.size();
    if (fclose(input) != 0 || !written) abort();

    /* quarn-to-sqlite adds to a database already there: start afresh */
    remove_outputs();
    const int files_before = open_files();

    const int json = converter::quarn_to_json(paths.input.c_str(), paths.json.c_str());
    size_t json_tables = 0;
    if (json == 0) json_tables = check_json();
    else if (json != 1 || exists(paths.json)) abort();

    const int sqlite = converter::quarn_to_sqlite(paths.input.c_str(), paths.sqlite.c_str());
    if (sqlite == 0) {
        if (json != 0) abort();
        if (check_sqlite() != static_cast<long>(json_tables)) abort();
    } else if (sqlite != 1) {
        abort();
    }

    const int xlsx = converter::quarn_to_xlsx(paths.input.c_str(), paths.xlsx.c_str());
    if (xlsx == 0) {
        if (json != 0) abort();
        check_xlsx();
    } else if (xlsx != 1 || exists(paths.xlsx)) {
        abort();
    }

    if (open_files() != files_before) {
        dprintf(2, "open files: %d before the converters, %d after\n", files_before, open_files(true));
        abort();
    }
    remove_outputs();
    return 0;
}
