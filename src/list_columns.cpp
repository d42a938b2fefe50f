/*
 * list_columns.cpp: the column catalogue of one table. Column entries lie
 * under the table's key, then 3, 5 and the column number in files of
 * generation 7 and later (the field with key 16 holds the name), and under
 * 3, 5 and the column number in earlier files (key 1 the name, key 2 the
 * type and collation). A later file may store a name in long form, in the
 * directory T, 3, 5, c, 16 (long_text.cpp). One walk collects them (handle_chunk_list_columns).
 */
#include "quarn_internal.h"

#include <map>
#include <exception>

namespace {

struct list_columns_ctx {
    int64_t table_index;
    quarn_file_t *file;
    /* Slots by column number. An empty slot (index 0) may still carry a
     * type and collation until its name arrives. The map keeps a file that
     * names a huge column number from costing memory for the numbers it
     * skips. */
    named_slots<quarn_column_t> columns;
    uint64_t count = 0; /* the highest column number named so far */
};

} // namespace

static void take_column_name(list_columns_ctx *ctx, quarn_chunk_t *chunk, uint64_t n, bool long_name) {
    if (n == 0) return;
    if (n > ctx->count) ctx->count = n;
    if (long_name)
        ctx->columns.take_long_name(ctx->file, chunk, n);
    else
        ctx->columns.take_short_name(ctx->file, chunk, n);
}

static int handle_chunk_list_columns(quarn_chunk_t *chunk, void *vctx) {
    auto *ctx = static_cast<list_columns_ctx *>(vctx);
    quarn_span_t **path = chunk->path;
    const uint64_t v = path_value(chunk, path[0]);

    if (chunk->generation >= 7) {
        const int64_t table_key = ctx->table_index + 128;
        if (static_cast<int64_t>(v) > table_key) return QUARN_HANDLER_STOP;
        if (static_cast<int64_t>(v) < table_key) return QUARN_HANDLER_CONTINUE;
        if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY && chunk->type != QUARN_CHUNK_SEGMENT)
            return QUARN_HANDLER_CONTINUE;
        /* the definitions lie under T, 3: a cheap look before the record
         * values go by */
        if (chunk->path_level < 3 || !path_is(chunk, path[1], 3)) return QUARN_HANDLER_CONTINUE;
        bool long_name = false;
        const uint64_t c = definition_column(chunk, &long_name);
        if (long_name)
            take_column_name(ctx, chunk, c, true);
        else if (c != 0 && chunk->type == QUARN_CHUNK_FIELD_SIMPLE_KEY && chunk->ref_simple == 16)
            take_column_name(ctx, chunk, path_value(chunk, path[3]), false);
        return QUARN_HANDLER_CONTINUE;
    }

    if (v > 3) return QUARN_HANDLER_STOP;
    if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY || !table_path_match_start2(chunk, 3, 3, 5))
        return QUARN_HANDLER_CONTINUE;
    const uint64_t n = path_value(chunk, path[2]);
    if (chunk->ref_simple == 1) {
        take_column_name(ctx, chunk, n, false);
    } else if (chunk->ref_simple == 2) {
        /* type in the data's second byte, collation in its fourth; a shorter
         * record gives 0 for what it does not hold */
        if (n == 0 || n > ctx->count) return QUARN_HANDLER_CONTINUE;
        quarn_column_t &slot = ctx->columns.slot(n);
        const quarn_span_t &data = chunk->data;
        slot.type = data.size > 1 && data.start[1] < 9 ? data.start[1] : 0;
        slot.collation = data.size > 3 ? data.start[3] : 0;
    }
    return QUARN_HANDLER_CONTINUE;
}

extern "C" quarn_column_array_t *quarn_list_columns(quarn_file_t *file,
                                                    const quarn_table_t *table,
                                                    quarn_error_t *error) {
    int rc;
    quarn_column_array_t *result = nullptr;
    try {
        list_columns_ctx ctx{table->index, file, {}};
        rc = file->generation >= 7
                 ? process_table_blocks(file, ctx.table_index + 128, handle_chunk_list_columns, &ctx)
                 : process_blocks(file, nullptr, handle_chunk_list_columns, &ctx);
        auto array = std::make_unique<quarn_column_array_t>();
        array->columns = named_records(ctx.columns.slots, &array->count);
        result = array.release();
    } catch (const std::exception &) {
        rc = QUARN_ERROR_MALLOC;
        result = nullptr;
    }
    if (error) *error = static_cast<quarn_error_t>(rc);
    return result;
}

extern "C" void quarn_free_columns(quarn_column_array_t *columns) {
    if (!columns) return;
    delete[] columns->columns;
    delete columns;
}
