/*
 * read_values.cpp: the record value reader. One walk over the file builds
 * the reader's own column records from the table's column definitions,
 * recognises record values by the shape of their path, numbers the rows,
 * hands short values over at once and joins the pieces of long values before
 * handing each over once.
 *
 * Path shapes, as key values (T is the table's number plus 128, r the row
 * key, c the column number):
 *
 *                      generation 7 and later     earlier files
 *   column definition  T, 3, 5, c                 3, 5, c
 *   short value        T, 5, r  (c: own key)      5, r
 *   long-value piece   T, 5, r, c                 5, r, c
 *
 * A long value's pieces are joined raw, still masked and encoded, and
 * converted once as one text: a piece may end inside a character.
 */
#include "quarn_internal.h"

#include <map>
#include <exception>

namespace {

struct quarn_read_values_ctx_t {
    uint64_t row = 0;
    uint64_t last_row_key = 0;
    bool taken_any = false; /* a value has been taken up: last_row_key is real */
    std::vector<uint8_t> long_value; /* pending raw bytes of a long value */
    int64_t table_index = 0;
    int32_t last_column = 0;
    uint64_t column_count = 0;
    /* Column records by number. A number that no definition names has no
     * entry and reads as a zeroed record; the map keeps a file that defines
     * a huge column number from costing memory for the numbers it skips. */
    std::map<uint64_t, quarn_column_t> columns;
    quarn_file_t *file = nullptr;
    quarn_value_handler handler = nullptr;
    void *user_ctx = nullptr;
    std::vector<char> scratch; /* conversion buffer, reused */
};

const quarn_column_t kUnnamedColumn = {};

} // namespace

static const quarn_column_t &column_record(const quarn_read_values_ctx_t *ctx, uint64_t c) {
    auto it = ctx->columns.find(c);
    return it == ctx->columns.end() ? kUnnamedColumn : it->second;
}

/* Converts n raw bytes and hands them to the handler with the current row. */
static int deliver(quarn_read_values_ctx_t *ctx, const quarn_column_t &column,
                   const uint8_t *bytes, size_t n) {
    if (!ctx->handler) return QUARN_HANDLER_CONTINUE;
    const size_t size = 4 * n + 1;
    if (ctx->scratch.size() < size) ctx->scratch.resize(size);
    convert(ctx->file->converter, ctx->file->text_mask, ctx->scratch.data(), size, bytes, n);
    return ctx->handler(static_cast<int>(ctx->row), &column, ctx->scratch.data(), ctx->user_ctx);
}

static int deliver_pending(quarn_read_values_ctx_t *ctx) {
    return deliver(ctx, column_record(ctx, static_cast<uint64_t>(ctx->last_column)),
                   ctx->long_value.data(), ctx->long_value.size());
}

static void define_column(quarn_read_values_ctx_t *ctx, quarn_chunk_t *chunk) {
    const uint64_t c = path_value(chunk, chunk->path[chunk->path_level - 1]);
    if (c == 0) return;
    if (c > ctx->column_count) ctx->column_count = c;

    const bool is_name = chunk->generation >= 7 ? chunk->ref_simple == 16 : chunk->ref_simple == 1;
    const bool is_type = chunk->generation < 7 && chunk->ref_simple == 2;
    if (is_name) {
        quarn_column_t &record = ctx->columns[c];
        convert(ctx->file->converter, ctx->file->text_mask, record.name, sizeof record.name,
                chunk->data.start, chunk->data.size);
        record.index = static_cast<int32_t>(c);
    } else if (is_type) {
        /* the type is the data's second byte; a shorter record gives none */
        quarn_column_t &record = ctx->columns[c];
        const quarn_span_t &data = chunk->data;
        record.type = data.size > 1 && data.start[1] <= 8 ? data.start[1] : 0;
    }
}

static int process_value(quarn_chunk_t *chunk, quarn_read_values_ctx_t *ctx) {
    quarn_span_t **path = chunk->path;
    const int row_entry = chunk->generation >= 7 ? 2 : 1;
    uint64_t column;
    bool is_long;

    if (table_path_match_start1(chunk, 3, 5)) {
        const uint64_t c = path_value(chunk, path[chunk->path_level - 1]);
        const uint64_t k = path_value(chunk, path[row_entry]);
        const uint64_t last = static_cast<uint64_t>(ctx->last_column);
        /* A piece continues the value under way when it belongs to the same
         * record at the same or a later column, or starts a new record. */
        const bool new_record = !ctx->taken_any || k > ctx->last_row_key;
        const bool taken = (last != 0 && c >= last && k == ctx->last_row_key) ||
                           ((last == 0 || c < last) && new_record);
        if (!taken) return QUARN_HANDLER_CONTINUE;
        if (chunk->type == QUARN_CHUNK_FIELD_SIMPLE_KEY && chunk->ref_simple == 0)
            return QUARN_HANDLER_CONTINUE;
        column = c;
        is_long = true;
    } else if (table_path_match_start1(chunk, 2, 5)) {
        if (chunk->type == QUARN_CHUNK_SEGMENT) {
            column = chunk->segment_index;
        } else {
            if (chunk->ref_simple == 252) return QUARN_HANDLER_CONTINUE;
            column = chunk->ref_simple;
        }
        is_long = false;
    } else {
        return QUARN_HANDLER_CONTINUE;
    }

    if (column == 0 || column > ctx->column_count) return QUARN_HANDLER_CONTINUE;
    /* A column whose name was never seen (its record has index 0) is no
     * column of the table: its values are passed over like those of an
     * undefined column, so they neither reach the handler nor open rows. */
    const quarn_column_t &p = column_record(ctx, column);
    if (p.index == 0) return QUARN_HANDLER_CONTINUE;

    if (p.index != ctx->last_column && !ctx->long_value.empty()) {
        if (deliver_pending(ctx) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
        ctx->long_value.clear();
    }

    const uint64_t k = path_value(chunk, path[row_entry]);
    /* The first value taken up opens row 1 whatever its row key; after that
     * a new row key, or a column before the last one, opens the next row. */
    if (!ctx->taken_any || k != ctx->last_row_key || ctx->last_column > p.index) ctx->row++;

    if (is_long) {
        ctx->long_value.insert(ctx->long_value.end(), chunk->data.start,
                               chunk->data.start + chunk->data.size);
    } else if (deliver(ctx, p, chunk->data.start, chunk->data.size) == QUARN_HANDLER_ABORT) {
        return QUARN_HANDLER_ABORT;
    }

    ctx->taken_any = true;
    ctx->last_row_key = k;
    ctx->last_column = p.index;
    return QUARN_HANDLER_CONTINUE;
}

static int handle_chunk_read_values(quarn_chunk_t *chunk, void *vctx) {
    auto *ctx = static_cast<quarn_read_values_ctx_t *>(vctx);
    const uint64_t k = path_value(chunk, chunk->path[0]);

    if (chunk->generation >= 7) {
        const int64_t table_key = ctx->table_index + 128;
        if (static_cast<int64_t>(k) > table_key) return QUARN_HANDLER_STOP;
        if (static_cast<int64_t>(k) < table_key) return QUARN_HANDLER_CONTINUE;
        if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY && chunk->type != QUARN_CHUNK_SEGMENT)
            return QUARN_HANDLER_CONTINUE;
    } else {
        if (k > 5) return QUARN_HANDLER_STOP;
        if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY) return QUARN_HANDLER_CONTINUE;
    }

    if (table_path_match_start2(chunk, 3, 3, 5)) {
        define_column(ctx, chunk);
        return QUARN_HANDLER_CONTINUE;
    }
    return process_value(chunk, ctx);
}

extern "C" quarn_error_t quarn_read_values(quarn_file_t *file, const quarn_table_t *table,
                                           quarn_value_handler handler, void *user_ctx) {
    try {
        quarn_read_values_ctx_t ctx;
        ctx.table_index = table->index;
        ctx.file = file;
        ctx.handler = handler;
        ctx.user_ctx = user_ctx;

        int rc = file->generation >= 7 ? process_table_blocks(file, ctx.table_index + 128,
                                                              handle_chunk_read_values, &ctx)
                                       : process_blocks(file, nullptr, handle_chunk_read_values, &ctx);
        /* a value still being joined when the walk ends is handed over now,
         * unless the caller asked to stop; its answer changes nothing */
        if (!ctx.long_value.empty() && rc != QUARN_ERROR_USER_ABORTED) {
            deliver_pending(&ctx);
            ctx.long_value.clear();
        }
        return static_cast<quarn_error_t>(rc);
    } catch (const std::exception &) {
        return QUARN_ERROR_MALLOC;
    }
}
