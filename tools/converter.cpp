/*
 * converter.cpp: the converters' shared front end. Only print_usage exits;
 * the other helpers report on standard error and return.
 */
#include "converter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

namespace converter {

static const char kVersion[] = "0.2.2";

void print_usage(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("QUARN Tools version %s\n", kVersion);
        printf("Copyright (c) 2026 the QUARN Tools developers\n");
        printf("QUARN Tools: FileMaker Pro databases to SQLite, JSON and XLSX\n\n");
    }
    std::string program = argc > 0 && argv[0] ? argv[0] : "quarn";
    printf("Usage: %s [input file] [output file]\n", basename(program.data()));
    exit(1);
}

void check_arguments(int argc, char **argv) {
    if (argc != 3) print_usage(argc, argv);
}

int report_error_code(int code) {
    fflush(stdout);
    fprintf(stderr, "Error code: %d\n", code);
    return 1;
}

std::optional<Input> open_input(const char *path) {
    quarn_error_t error = QUARN_OK;
    Input input;
    input.file.reset(quarn_open_file(path, &error));
    if (!input.file) {
        report_error_code(error);
        return std::nullopt;
    }
    input.tables.reset(quarn_list_tables(input.file.get(), &error));
    if (!input.tables) {
        report_error_code(error);
        return std::nullopt;
    }
    return input;
}

quarn::ColumnsPtr list_columns(quarn_file_t *file, const quarn_table_t *table) {
    quarn_error_t error = QUARN_OK;
    quarn::ColumnsPtr columns(quarn_list_columns(file, table, &error));
    /* A block that fails to decode after some of its chunks keeps those
     * chunks, and later walks take it as whole: the read that follows would
     * then succeed on a damaged file. So a failed column walk ends the run,
     * as a failed read does. */
    if (!columns || error != QUARN_OK) {
        report_error_code(error);
        return nullptr;
    }
    return columns;
}

OutputGuard::OutputGuard(std::string path) : path_(std::move(path)) {
    struct stat st;
    /* absent: this run creates a regular file; present: only a regular file
     * is truncated and so ours to remove */
    regular_ = stat(path_.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
}

void OutputGuard::discard() const {
    if (regular_) unlink(path_.c_str());
}

} // namespace converter
