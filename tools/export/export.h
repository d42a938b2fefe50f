/*
 * export.h: quarn export as a function, so that the program and the fuzz
 * target run the same code: the choice of format, the safe outputs, the
 * reading side and the format, and every message. Nothing stays allocated
 * or open afterwards, whichever way the run ends; on failure no output and
 * no files folder are left behind.
 */
#ifndef QUARN_EXPORT_EXPORT_H
#define QUARN_EXPORT_EXPORT_H

#include <optional>
#include <string>
#include <vector>

namespace qexport {

struct ExportOptions {
    std::string input;
    std::string output;
    std::optional<std::string> to;         /* --to; unset: by OUTPUT's extension */
    std::vector<std::string> tables;       /* --tables; empty: every table */
    std::optional<std::string> containers; /* --containers DIR */
    bool text = false;
    bool record_id = false;
    /* --strict: the first warning (every warning of an export is a loss
     * or a demotion) ends the export as a failure, with that warning as
     * its message, and nothing is written */
    bool strict = false;
    bool quiet = false;
    bool force = false;
    std::optional<std::string> schema;     /* --schema (PostgreSQL) */
    /* show the progress line; the program sets it when standard error is a
     * terminal and --quiet is not given */
    bool progress = false;
};

/* Runs the export; messages go to standard error as "quarn: ...".
 * Returns 0 when the output was written in full, 1 when the export or a
 * read failed, 2 when the options cannot be followed (an unknown format or
 * table). */
int run_export(const ExportOptions &options);

/* Asks a running export to stop: it ends at the next record or piece of a
 * container as a failed export does, removing what it wrote ("quarn:
 * interrupted"). Safe to call from a signal handler. */
void request_stop();

/* True once request_stop was called. */
bool stop_requested();

/* Forgets a request to stop, before another export in the same process. */
void clear_stop_request();

/* The format that --to or OUTPUT chooses: "sqlite", "csv", "json",
 * "jsonl", "xlsx", "postgres" (--to postgresql too, a postgresql:// or
 * postgres:// URI, a .sql file); empty when the extension tells none. */
std::string choose_format(const std::optional<std::string> &to, const std::string &output);

} // namespace qexport

#endif
