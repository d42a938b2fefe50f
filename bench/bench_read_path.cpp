/*
 * bench_read_path.cpp: the library's read path as the converters use it,
 * without any output: open the file, list its tables, and for every table
 * list its columns and read all its values with a handler that only counts.
 * Prints the totals in the line the baselines print (rows.h), so the
 * benchmark script can check that the reader delivered every value.
 *
 *     bench_read_path FILE
 */
#include "quarn.hpp"
#include "rows.h"

#include <cstdio>
#include <cstring>

namespace {

struct Counter {
    bench::Totals totals;
    int last_row = 0; /* highest row number of the table being read */
};

int count_value(int row, const quarn_column_t *, const char *value, void *user_ctx) {
    Counter *c = static_cast<Counter *>(user_ctx);
    c->totals.values++;
    c->totals.bytes += std::strlen(value);
    if (row > c->last_row) c->last_row = row;
    return QUARN_HANDLER_CONTINUE;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s FILE\n", argv[0]);
        return 1;
    }
    quarn_error_t error = QUARN_OK;
    quarn::FilePtr file(quarn_open_file(argv[1], &error));
    if (!file) {
        std::fprintf(stderr, "Error code: %d\n", int(error));
        return 1;
    }
    quarn::TablesPtr tables(quarn_list_tables(file.get(), &error));
    if (!tables) {
        std::fprintf(stderr, "Error code: %d\n", int(error));
        return 1;
    }
    Counter counter;
    uint64_t columns_seen = 0;
    for (uint64_t t = 0; t < tables->count; t++) {
        const quarn_table_t *table = &tables->tables[t];
        quarn::ColumnsPtr columns(quarn_list_columns(file.get(), table, &error));
        if (!columns || error != QUARN_OK) {
            std::fprintf(stderr, "Error code: %d\n", int(error));
            return 1;
        }
        columns_seen += columns->count;
        counter.last_row = 0;
        const int result = quarn_read_values(file.get(), table, count_value, &counter);
        if (result != QUARN_OK) {
            std::fprintf(stderr, "Error code: %d\n", result);
            return 1;
        }
        counter.totals.rows += uint64_t(counter.last_row);
    }
    counter.totals.tables = tables->count;
    bench::print_totals(counter.totals);
    std::fprintf(stderr, "columns=%llu\n", static_cast<unsigned long long>(columns_seen));
    return 0;
}
