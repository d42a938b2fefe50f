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
 *
 * The same walk serves quarn_read_records (read_records.cpp), which also
 * takes up the other repetitions of repeating fields. Repetition r (2 and
 * up) of column c lies beside the record's short values:
 *
 *   generation 7 and later   T, 5, r: a field of code 0x0E whose two key
 *                            bytes are c and r, the first byte's top bit
 *                            clear and the byte not 0 (with the top bit set
 *                            the key is an ordinary column number)
 *   earlier files            5, r: a field with the two-byte key c, r
 *
 * Such a value counts for the rows as a short value of column c does, and
 * hands over a long value still pending first, so that repetition 1 comes
 * before the others. The record reader also takes up a long value that
 * starts a new record at a column at or after the last one, which
 * quarn_read_values passes over.
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
    uint64_t long_value_key = 0;     /* the row key of its first piece */
    int64_t table_index = 0;
    int32_t last_column = 0;
    uint64_t column_count = 0;
    /* Column records by number. A number that no definition names has no
     * entry and reads as a zeroed record; the map keeps a file that defines
     * a huge column number from costing memory for the numbers it skips. */
    std::map<uint64_t, quarn_column_t> columns;
    quarn_file_t *file = nullptr;
    value_reader_sink sink;
};

/* What quarn_read_values hands its value handler: the converted text. */
struct text_delivery {
    quarn_value_handler handler = nullptr;
    void *user_ctx = nullptr;
    quarn_file_t *file = nullptr;
    std::vector<char> scratch; /* conversion buffer, reused */
};

const quarn_column_t kUnnamedColumn = {};

} // namespace

static const quarn_column_t &column_record(const quarn_read_values_ctx_t *ctx, uint64_t c) {
    auto it = ctx->columns.find(c);
    return it == ctx->columns.end() ? kUnnamedColumn : it->second;
}

/* Hands n raw bytes of the given column and repetition to the sink with the
 * current row. */
static int deliver(quarn_read_values_ctx_t *ctx, const quarn_column_t &column, const uint8_t *bytes,
                   size_t n, int32_t repetition, uint64_t record_key, bool joined) {
    if (!ctx->sink.value) return QUARN_HANDLER_CONTINUE;
    taken_value value;
    value.column = static_cast<uint64_t>(column.index);
    value.repetition = repetition;
    value.record_key = record_key;
    value.joined = joined;
    value.bytes = bytes;
    value.size = n;
    return ctx->sink.value(ctx->sink.ctx, static_cast<int>(ctx->row), column, value);
}

static int deliver_pending(quarn_read_values_ctx_t *ctx) {
    return deliver(ctx, column_record(ctx, static_cast<uint64_t>(ctx->last_column)),
                   ctx->long_value.data(), ctx->long_value.size(), 1, ctx->long_value_key, true);
}

/* Converts a value and hands the text to the caller's value handler. */
static int deliver_text(void *vdelivery, int row, const quarn_column_t &column,
                        const taken_value &value) {
    auto *delivery = static_cast<text_delivery *>(vdelivery);
    const size_t size = 4 * value.size + 1;
    if (delivery->scratch.size() < size) delivery->scratch.resize(size);
    convert(delivery->file->converter, delivery->file->text_mask, delivery->scratch.data(), size,
            value.bytes, value.size);
    return delivery->handler(row, &column, delivery->scratch.data(), delivery->user_ctx);
}

static void define_column(quarn_read_values_ctx_t *ctx, quarn_chunk_t *chunk) {
    const uint64_t c = path_value(chunk, chunk->path[chunk->path_level - 1]);
    if (c == 0) return;
    if (c > ctx->column_count) ctx->column_count = c;
    if (ctx->sink.definition) ctx->sink.definition(ctx->sink.ctx, chunk, c);

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

/* Whether the chunk, lying among a record's short values, is repetition
 * *repetition (2 and up) of column *column. */
static bool is_repetition(const quarn_chunk_t *chunk, uint64_t *column, int32_t *repetition) {
    quarn_span_t key{};
    if (chunk->generation >= 7) {
        if (chunk->code != 0x0E) return false;
        key = chunk_key_bytes(chunk);
        if (key.size != 2 || (key.start[0] & 0x80) != 0) return false;
    } else {
        if (chunk->type != QUARN_CHUNK_FIELD_LONG_KEY) return false;
        key = chunk->ref_long;
        if (key.size != 2) return false;
    }
    if (key.start[0] == 0 || key.start[1] < 2) return false;
    *column = key.start[0];
    *repetition = key.start[1];
    return true;
}

/* Takes up repetition r of column c from a record's short values. */
static int take_repetition(quarn_read_values_ctx_t *ctx, const quarn_chunk_t *chunk, uint64_t c,
                           int32_t r) {
    if (c > ctx->column_count) return QUARN_HANDLER_CONTINUE;
    const quarn_column_t &p = column_record(ctx, c);
    if (p.index == 0) return QUARN_HANDLER_CONTINUE;
    if (!ctx->long_value.empty()) {
        if (deliver_pending(ctx) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
        ctx->long_value.clear();
    }
    const uint64_t k = path_value(chunk, chunk->path[chunk->generation >= 7 ? 2 : 1]);
    if (!ctx->taken_any || k != ctx->last_row_key || ctx->last_column > p.index) ctx->row++;
    if (deliver(ctx, p, chunk->data.start, chunk->data.size, r, k, false) == QUARN_HANDLER_ABORT)
        return QUARN_HANDLER_ABORT;
    ctx->taken_any = true;
    ctx->last_row_key = k;
    ctx->last_column = p.index;
    return QUARN_HANDLER_CONTINUE;
}

static int process_value(quarn_chunk_t *chunk, quarn_read_values_ctx_t *ctx) {
    quarn_span_t **path = chunk->path;
    const int row_entry = chunk->generation >= 7 ? 2 : 1;
    uint64_t column;
    bool is_long;

    if (table_path_match_start1(chunk, 3, 5)) {
        if (chunk->type == QUARN_CHUNK_FIELD_LONG_KEY) return QUARN_HANDLER_CONTINUE;
        const uint64_t c = path_value(chunk, path[chunk->path_level - 1]);
        const uint64_t k = path_value(chunk, path[row_entry]);
        const uint64_t last = static_cast<uint64_t>(ctx->last_column);
        /* A piece continues the value under way when it belongs to the same
         * record at the same or a later column, or starts a new record. */
        const bool new_record = !ctx->taken_any || k > ctx->last_row_key;
        const bool continues = last != 0 && c >= last && k == ctx->last_row_key;
        /* quarn_read_values takes a long value that starts a new record
         * only at a column before the last one; the record reader takes it
         * at any column */
        const bool taken = continues || (new_record && (ctx->sink.every_value || last == 0 || c < last));
        if (!taken) return QUARN_HANDLER_CONTINUE;
        if (chunk->type == QUARN_CHUNK_FIELD_SIMPLE_KEY && chunk->ref_simple == 0)
            return QUARN_HANDLER_CONTINUE;
        column = c;
        is_long = true;
    } else if (table_path_match_start1(chunk, 2, 5)) {
        int32_t repetition = 1;
        if (ctx->sink.every_value && is_repetition(chunk, &column, &repetition))
            return take_repetition(ctx, chunk, column, repetition);
        if (chunk->type == QUARN_CHUNK_FIELD_LONG_KEY) return QUARN_HANDLER_CONTINUE;
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

    const uint64_t k = path_value(chunk, path[row_entry]);
    /* a value of another column ends the long value under way; for the
     * record reader, which takes long values that start a new record at
     * any column, so does one of another record */
    const bool other_record = ctx->sink.every_value && k != ctx->long_value_key;
    if ((p.index != ctx->last_column || other_record) && !ctx->long_value.empty()) {
        if (deliver_pending(ctx) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
        ctx->long_value.clear();
    }

    /* The first value taken up opens row 1 whatever its row key; after that
     * a new row key, or a column before the last one, opens the next row. */
    if (!ctx->taken_any || k != ctx->last_row_key || ctx->last_column > p.index) ctx->row++;

    if (is_long) {
        if (ctx->long_value.empty()) ctx->long_value_key = k;
        ctx->long_value.insert(ctx->long_value.end(), chunk->data.start,
                               chunk->data.start + chunk->data.size);
    } else if (deliver(ctx, p, chunk->data.start, chunk->data.size, 1, k, false) ==
               QUARN_HANDLER_ABORT) {
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
        /* fields with a byte-string key matter only as repetitions */
        const bool repetition_form = ctx->sink.every_value &&
                                     chunk->type == QUARN_CHUNK_FIELD_LONG_KEY;
        if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY && !repetition_form)
            return QUARN_HANDLER_CONTINUE;
        if (repetition_form) return process_value(chunk, ctx);
    }

    if (table_path_match_start2(chunk, 3, 3, 5)) {
        define_column(ctx, chunk);
        return QUARN_HANDLER_CONTINUE;
    }
    return process_value(chunk, ctx);
}

int read_table_values(quarn_file_t *file, int64_t table_index, const value_reader_sink &sink) {
    quarn_read_values_ctx_t ctx;
    ctx.table_index = table_index;
    ctx.file = file;
    ctx.sink = sink;

    int rc = file->generation >= 7
                 ? process_table_blocks(file, table_index + 128, handle_chunk_read_values, &ctx)
                 : process_blocks(file, nullptr, handle_chunk_read_values, &ctx);
    /* a value still being joined when the walk ends is handed over now,
     * unless the caller asked to stop; its answer changes nothing */
    if (!ctx.long_value.empty() && rc != QUARN_ERROR_USER_ABORTED) {
        deliver_pending(&ctx);
        ctx.long_value.clear();
    }
    return rc;
}

extern "C" quarn_error_t quarn_read_values(quarn_file_t *file, const quarn_table_t *table,
                                           quarn_value_handler handler, void *user_ctx) {
    try {
        text_delivery delivery;
        delivery.handler = handler;
        delivery.user_ctx = user_ctx;
        delivery.file = file;
        value_reader_sink sink;
        if (handler) sink.value = deliver_text;
        sink.ctx = &delivery;
        return static_cast<quarn_error_t>(read_table_values(file, table->index, sink));
    } catch (const std::exception &) {
        return QUARN_ERROR_MALLOC;
    }
}
