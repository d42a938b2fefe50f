/*
 * rows.h: the benchmark data set, shared by the file generator and the
 * baselines. A data set is fixed by its layout, its size and a seed; any
 * record of any table can be made on its own (random access, no state), so
 * the generator can make each record twice (the writer's two passes) and
 * the baselines get exactly the rows that the generated file holds, without
 * reading that file.
 *
 * The same records exist in every layout of a given size and seed: six row
 * shapes ("schemas": customers, orders, products, events, a journal of long
 * texts, sensor readings), each with its own run of records. The layouts
 * differ only in how those runs are cut into tables:
 *  - gen12: one table per schema, generation-12 file;
 *  - wide:  the same records cut into many tables (500 by default), table t
 *           holding a slice of schema t % 6;
 *  - early: one table of customers in an earlier-generation file, whose
 *           text is Mac Roman (accented Latin only).
 *
 * Text: short and long values, accented Latin, Greek, Cyrillic, CJK, Hangul
 * and emoji (generation 12 only), tabs and line breaks in long texts. No
 * value is empty or starts with a space (the reader drops leading spaces),
 * so what the reader delivers equals what was generated, byte for byte.
 * Every record has a short value in its first column.
 */
#ifndef QUARN_BENCH_ROWS_H
#define QUARN_BENCH_ROWS_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

enum class Layout { gen12, wide, early };

struct ColumnSpec {
    std::string name;
    int number = 0;    /* the column's number in its table, from 1; may leave gaps */
    int type = 0;      /* field kind 1 to 8 (stored in earlier files only) */
    int collation = 0; /* collation code (stored in earlier files only) */
};

struct TableSpec {
    std::string name;
    int schema = 0;
    uint64_t first = 0;   /* index of the table's first record within its schema */
    uint64_t records = 0; /* records in the table */
};

struct Dataset {
    Layout layout = Layout::gen12;
    uint64_t seed = 1;
    uint64_t target_bytes = 0; /* the file size aimed at */
    std::vector<TableSpec> tables;
};

/* One value of a record. long_value marks texts that a file stores in
 * pieces rather than as one field. */
struct Cell {
    int column = 0;
    std::string text;
    bool long_value = false;
};

/* A record: cells in ascending column order. Cells are reused from record
 * to record (only count of them are valid), so making records in a loop
 * allocates almost nothing. */
struct Row {
    std::vector<Cell> cells;
    size_t count = 0;
};

/* Number of row shapes, and the columns of one. */
constexpr int kSchemaCount = 6;
const std::vector<ColumnSpec> &schema_columns(int schema, Layout layout);

/* The data set of a layout for a file of about size_mb megabytes (2^20
 * bytes). tables is the number of tables of the wide layout (at least 6;
 * ignored otherwise). Record counts are worked out from a sample of the
 * rows, the same way every time for the same arguments. */
Dataset make_dataset(Layout layout, uint64_t size_mb, uint64_t seed, int tables = 500);

/* Makes record `record` (0-based) of table `table` of the data set. */
void make_row(const Dataset &dataset, const TableSpec &table, uint64_t record, Row &row);

/* The record key (row key) of record i of a table in a generation-12 file:
 * i + 1, so record ids run from 1 without a gap or repeat. Keys reach
 * 2,113,663 (three bytes in the prefix form), more than any bench table
 * holds. */
uint64_t gen12_record_key(uint64_t record);

/* Totals a reader of the file should see: tables, rows (records), values
 * (cells) and bytes of value text. */
struct Totals {
    uint64_t tables = 0, rows = 0, values = 0, bytes = 0;
};
/* Prints "tables=%llu rows=%llu values=%llu bytes=%llu\n" to stdout; the
 * benchmark script compares these lines between the read path and the
 * baselines. */
void print_totals(const Totals &totals);

/* Command-line front end shared by the generator and the baselines:
 *   PROGRAM [--layout gen12|wide|early] [--size-mb N] [--seed N]
 *           [--tables N] OUTPUT
 * Defaults: gen12, 1024 MB (200 for early), seed 1, 500 tables. On a bad
 * command line it prints the usage and exits 1. */
struct Arguments {
    Dataset dataset;
    std::string output;
};
Arguments parse_arguments(int argc, char **argv);

/* Name of a layout as the command line spells it. */
const char *layout_name(Layout layout);

} // namespace bench

#endif /* QUARN_BENCH_ROWS_H */
