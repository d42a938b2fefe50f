/*
 * converters.h: the three conversions as functions, so that a program can
 * run them in-process: each program's main checks its arguments and calls
 * one of them; the fuzz target calls all three on every input.
 *
 * Each takes the input database path and the output path, does the whole
 * run (messages on standard output and standard error exactly as the
 * program prints them) and returns the program's exit status: 0 when the
 * output was written in full, 1 otherwise. Nothing is left allocated or
 * open afterwards, whichever way the run ends. Output files are left or
 * removed as the programs leave or remove them.
 */
#ifndef QUARN_TOOLS_CONVERTERS_H
#define QUARN_TOOLS_CONVERTERS_H

namespace converter {

/* quarn-to-json: one JSON document of every table, written as it is
 * generated; a regular output file is replaced only when the document is
 * complete. Output "-" is standard output. */
int quarn_to_json(const char *input_path, const char *output_path);

/* quarn-to-sqlite: one SQL table per table, added to the SQLite database
 * at output_path (created when absent). */
int quarn_to_sqlite(const char *input_path, const char *output_path);

/* quarn-to-xlsx: one worksheet per table; the workbook is written only
 * when every table was read. */
int quarn_to_xlsx(const char *input_path, const char *output_path);

} // namespace converter

#endif
