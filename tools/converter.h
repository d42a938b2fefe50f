/*
 * converter.h: the front end that quarn-to-sqlite, quarn-to-json and
 * quarn-to-xlsx share: the argument rule, version and usage text, the
 * "Error code" line, opening the input and listing its tables, and the
 * guard that keeps a failed run from leaving a partial output file behind.
 *
 * Only print_usage ends the process; everything else reports and returns,
 * so that a conversion can run inside another program (the fuzz target)
 * and release what it took on every path.
 */
#ifndef QUARN_TOOLS_CONVERTER_H
#define QUARN_TOOLS_CONVERTER_H

#include "quarn.hpp"

#include <optional>
#include <string>

namespace converter {

/* Prints the version lines when the sole argument is "--version", then the
 * usage line with the program's base name, on standard output; exits 1. */
[[noreturn]] void print_usage(int argc, char **argv);

/* Runs print_usage unless there are exactly two arguments. */
void check_arguments(int argc, char **argv);

/* Prints "Error code: %d" on standard error (after flushing standard
 * output) and returns 1, the status of a run that ends there. */
int report_error_code(int code);

/* The opened input and its tables. */
struct Input {
    quarn::FilePtr file;
    quarn::TablesPtr tables;
};

/* Opens the input and lists its tables. On failure prints the error code
 * and returns nothing; the caller's run then ends with status 1. */
std::optional<Input> open_input(const char *path);

/* Lists one table's columns. A null result or a failed walk prints the
 * error code and returns null; the caller's run then ends with status 1. */
quarn::ColumnsPtr list_columns(quarn_file_t *file, const quarn_table_t *table);

/* Knows whether the output path is a regular file that this run creates or
 * truncates: only such a file is removed when the run fails. Devices, pipes
 * and other special files are left alone. Construct it before the output is
 * opened. */
class OutputGuard {
  public:
    explicit OutputGuard(std::string path);
    /* Removes the output when this run made it a regular file. */
    void discard() const;

  private:
    std::string path_;
    bool regular_;
};

} // namespace converter

#endif
