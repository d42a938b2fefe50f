/*
 * fuzz_read: lists the tables of the input, and for every table its columns
 * and values, the way the converters do. Checks what comes out: names and
 * values well-formed UTF-8, indices from 1, rows from 1 and never falling.
 */
#include "fuzz_common.h"
#include "quarn.h"

#include <cstdio>

namespace {

struct ReadState {
    int last_row = 0;
    unsigned long values = 0;
};

int check_value(int row, const quarn_column_t *column, const char *value, void *ctx) {
    auto *state = static_cast<ReadState *>(ctx);
    if (row < 1 || row < state->last_row) abort();
    if (!column || column->index < 1) abort();
    fuzz::check_field(column->name, sizeof column->name);
    fuzz::check_utf8(value, strlen(value));
    state->last_row = row;
    state->values++;
    return QUARN_HANDLER_CONTINUE;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    /* the decoder's diagnostics are not looked at */
    if (!freopen("/dev/null", "w", stdout)) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> image = fuzz::consistent_image(data, size);
    quarn_error_t error = QUARN_OK;
    quarn_file_t *file = quarn_open_buffer(image.data(), image.size(), &error);
    if (!file) return 0;
    quarn_table_array_t *tables = quarn_list_tables(file, &error);
    if (tables) {
        int32_t last_index = 0;
        for (uint64_t t = 0; t < tables->count; t++) {
            const quarn_table_t *table = &tables->tables[t];
            if (table->index <= last_index) abort();
            last_index = table->index;
            fuzz::check_field(table->name, sizeof table->name);

            quarn_column_array_t *columns = quarn_list_columns(file, table, &error);
            if (!columns) abort();
            int32_t last_column = 0;
            for (uint64_t c = 0; c < columns->count; c++) {
                if (columns->columns[c].index <= last_column) abort();
                last_column = columns->columns[c].index;
                fuzz::check_field(columns->columns[c].name, sizeof columns->columns[c].name);
            }
            quarn_free_columns(columns);

            ReadState state;
            quarn_read_values(file, table, check_value, &state);
        }
        quarn_free_tables(tables);
    }
    quarn_close_file(file);
    return 0;
}
