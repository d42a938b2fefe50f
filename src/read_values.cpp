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
 * quarn_read_values passes over, and hands over a record that holds no
 * value at all once, as a value of no field (column 0), so that every
 * record comes out.
 *
 * The record reader reads row keys as the later files number things
 * (record_key_value): a key of another form ends its walk with 14. The
 * value reader reads them the same way where they have that form, and as
 * path_value does where they have not.
 *
 * Global values (quarn_read_globals) lie where a record's values would,
 * one level up, without a row key:
 *
 *                      generation 7 and later     earlier files
 *   short value        T, 8     (c: own key)      3, 8
 *   long-value piece   T, 8, c                    3, 8, c
 *
 * with repetitions in the records' form beside the short values.
 */
#include "quarn_internal.h"

#include <algorithm>
#include <exception>
#include <map>

namespace {

/* The row key read last: where it lay while which block was decoded, its
 * bytes (a key of up to 8 bytes) and its value. Within the decoding of
 * one block a span of the path names the same bytes throughout. */
struct row_key_memo {
    const quarn_block_t *block = nullptr;
    const uint8_t *start = nullptr;
    uint64_t size = UINT64_MAX;
    uint8_t bytes[8] = {};
    uint64_t value = 0;
};

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
    named_slots<quarn_column_t> columns;
    quarn_file_t *file = nullptr;
    value_reader_sink sink;
    /* The record reader: the record whose chunks were met last, and
     * whether a value of it was taken up (handed over or pending). */
    bool record_open = false;
    uint64_t record_key = 0;
    bool record_has_value = false;
    /* 14 once a row key of an unknown form was met */
    int error = QUARN_OK;
    row_key_memo memo;
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
    auto it = ctx->columns.slots.find(c);
    return it == ctx->columns.slots.end() ? kUnnamedColumn : it->second;
}

/* The record of column c when it is a column of the table: defined, and
 * named (a column whose name was never seen, its record of index 0, is
 * none: its values are passed over like those of an undefined column, so
 * they neither reach the handler nor open rows); null otherwise. */
static const quarn_column_t *table_column(const quarn_read_values_ctx_t *ctx, uint64_t c) {
    if (c == 0 || c > ctx->column_count) return nullptr;
    const quarn_column_t &p = column_record(ctx, c);
    return p.index == 0 ? nullptr : &p;
}

/* The row key of a record's chunk, path entry at: by the numbering of the
 * later files where the key has that form; for the record reader a key of
 * another form is an error (14), for the value reader read as path_value
 * reads it. */
static bool row_key(quarn_read_values_ctx_t *ctx, const quarn_chunk_t *chunk, int at, uint64_t *k) {
    /* the chunks of one record come together: the key read last is kept
     * with its bytes */
    const quarn_span_t *key = chunk->path[at];
    row_key_memo &memo = ctx->memo;
    if (key && key->start == memo.start && key->size == memo.size && ctx->file->decoded_block == memo.block) {
        *k = memo.value;
        return true;
    }
    if (key && key->size == memo.size) {
        size_t same = 0;
        while (same < key->size && key->start[same] == memo.bytes[same]) same++;
        if (same == key->size) {
            memo.block = ctx->file->decoded_block;
            memo.start = key->start;
            *k = memo.value;
            return true;
        }
    }
    if (!record_key_value(chunk, key, k)) {
        if (ctx->sink.every_value) {
            ctx->error = QUARN_ERROR_RECORD_KEY;
            if (ctx->file->decoded_block) ctx->file->failed_block_id = ctx->file->decoded_block->this_id;
            return false;
        }
        *k = path_value(chunk, key);
    }
    if (key && key->size <= sizeof memo.bytes) {
        memo.block = ctx->file->decoded_block;
        memo.start = key->start;
        memo.size = key->size;
        std::copy(key->start, key->start + key->size, memo.bytes);
        memo.value = *k;
    }
    return true;
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

static void define_column(quarn_read_values_ctx_t *ctx, quarn_chunk_t *chunk, uint64_t c,
                          bool long_name) {
    if (c == 0) return;
    if (c > ctx->column_count) ctx->column_count = c;
    if (ctx->sink.definition) ctx->sink.definition(ctx->sink.ctx, chunk, c, long_name);

    if (long_name) {
        ctx->columns.take_long_name(ctx->file, chunk, c);
        return;
    }
    if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY) return;
    const bool is_name = chunk->generation >= 7 ? chunk->ref_simple == 16 : chunk->ref_simple == 1;
    const bool is_type = chunk->generation < 7 && chunk->ref_simple == 2;
    if (is_name) {
        ctx->columns.take_short_name(ctx->file, chunk, c);
    } else if (is_type) {
        /* the type is the data's second byte; a shorter record gives none */
        quarn_column_t &record = ctx->columns.slot(c);
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
    const quarn_column_t *column = table_column(ctx, c);
    if (!column) return QUARN_HANDLER_CONTINUE;
    const quarn_column_t &p = *column;
    if (!ctx->long_value.empty()) {
        if (deliver_pending(ctx) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
        ctx->long_value.clear();
    }
    uint64_t k;
    if (!row_key(ctx, chunk, chunk->generation >= 7 ? 2 : 1, &k)) return QUARN_HANDLER_ABORT;
    if (!ctx->taken_any || k != ctx->last_row_key || ctx->last_column > p.index) ctx->row++;
    if (deliver(ctx, p, chunk->data.start, chunk->data.size, r, k, false) == QUARN_HANDLER_ABORT)
        return QUARN_HANDLER_ABORT;
    ctx->taken_any = true;
    ctx->last_row_key = k;
    ctx->last_column = p.index;
    ctx->record_has_value = true;
    return QUARN_HANDLER_CONTINUE;
}

static int process_value(quarn_chunk_t *chunk, quarn_read_values_ctx_t *ctx) {
    quarn_span_t **path = chunk->path;
    const int row_entry = chunk->generation >= 7 ? 2 : 1;
    uint64_t column;
    bool is_long;
    uint64_t k = 0;

    if (table_path_match_start1(chunk, 3, 5)) {
        if (chunk->type == QUARN_CHUNK_FIELD_LONG_KEY) return QUARN_HANDLER_CONTINUE;
        const uint64_t c = path_value(chunk, path[chunk->path_level - 1]);
        if (!row_key(ctx, chunk, row_entry, &k)) return QUARN_HANDLER_ABORT;
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

    const quarn_column_t *record = table_column(ctx, column);
    if (!record) return QUARN_HANDLER_CONTINUE;
    const quarn_column_t &p = *record;

    if (!is_long && !row_key(ctx, chunk, row_entry, &k)) return QUARN_HANDLER_ABORT;
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
    ctx->record_has_value = true;
    return QUARN_HANDLER_CONTINUE;
}

/* Hands over the long value under way, if any. */
static int end_pending(quarn_read_values_ctx_t *ctx) {
    if (ctx->long_value.empty()) return QUARN_HANDLER_CONTINUE;
    const int status = deliver_pending(ctx);
    ctx->long_value.clear();
    return status;
}

/* The record reader: a record whose chunks are all behind us and that gave
 * no value is handed over as a value of no field, on a row of its own,
 * after the values before it. */
static int end_record(quarn_read_values_ctx_t *ctx) {
    if (!ctx->record_open || ctx->record_has_value) return QUARN_HANDLER_CONTINUE;
    ctx->record_has_value = true;
    if (end_pending(ctx) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
    ctx->row++;
    static const uint8_t nothing = 0;
    if (deliver(ctx, kUnnamedColumn, &nothing, 0, 1, ctx->record_key, false) == QUARN_HANDLER_ABORT)
        return QUARN_HANDLER_ABORT;
    ctx->taken_any = true;
    ctx->last_row_key = ctx->record_key;
    ctx->last_column = 0;
    return QUARN_HANDLER_CONTINUE;
}

/* The record reader notes every record whose directory (T, 5, r or 5, r)
 * is pushed, so that a record without values is met too. (A block that
 * goes on with a record pushes its path again; the same key changes
 * nothing.) */
static int note_record(quarn_read_values_ctx_t *ctx, const quarn_chunk_t *chunk) {
    const bool v7 = chunk->generation >= 7;
    const int row_entry = v7 ? 2 : 1;
    if (chunk->type != QUARN_CHUNK_PUSH || chunk->path_level != row_entry ||
        !path_is(chunk, chunk->path[row_entry - 1], 5))
        return QUARN_HANDLER_CONTINUE;
    uint64_t k;
    if (!row_key(ctx, chunk, row_entry, &k)) return QUARN_HANDLER_ABORT;
    if (ctx->record_open && k == ctx->record_key) return QUARN_HANDLER_CONTINUE;
    if (end_record(ctx) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
    ctx->record_open = true;
    ctx->record_key = k;
    ctx->record_has_value = false;
    return QUARN_HANDLER_CONTINUE;
}

/* A chunk of the global values (T, 8 or 3, 8: see above). */
static int process_global(quarn_chunk_t *chunk, quarn_read_values_ctx_t *ctx) {
    uint64_t column;
    bool is_long;
    const bool at_values = chunk->generation >= 7 ? table_path_match_start1(chunk, 1, 8)
                                                  : table_path_match_start2(chunk, 2, 3, 8);
    const bool in_value = !at_values && (chunk->generation >= 7 ? table_path_match_start1(chunk, 2, 8)
                                                                : table_path_match_start2(chunk, 3, 3, 8));
    if (at_values) {
        int32_t repetition = 1;
        if (is_repetition(chunk, &column, &repetition)) {
            const quarn_column_t *p = table_column(ctx, column);
            if (!p) return QUARN_HANDLER_CONTINUE;
            if (end_pending(ctx) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
            return deliver(ctx, *p, chunk->data.start, chunk->data.size, repetition, 0, false) ==
                           QUARN_HANDLER_ABORT
                       ? QUARN_HANDLER_ABORT
                       : QUARN_HANDLER_CONTINUE;
        }
        if (chunk->type == QUARN_CHUNK_FIELD_LONG_KEY) return QUARN_HANDLER_CONTINUE;
        column = chunk->type == QUARN_CHUNK_SEGMENT ? chunk->segment_index : chunk->ref_simple;
        is_long = false;
    } else if (in_value) {
        if (chunk->type == QUARN_CHUNK_FIELD_LONG_KEY) return QUARN_HANDLER_CONTINUE;
        if (chunk->type == QUARN_CHUNK_FIELD_SIMPLE_KEY && chunk->ref_simple == 0)
            return QUARN_HANDLER_CONTINUE;
        column = path_value(chunk, chunk->path[chunk->path_level - 1]);
        is_long = true;
    } else {
        return QUARN_HANDLER_CONTINUE;
    }

    const quarn_column_t *record = table_column(ctx, column);
    if (!record) return QUARN_HANDLER_CONTINUE;
    const quarn_column_t &p = *record;
    if (p.index != ctx->last_column || !is_long)
        if (end_pending(ctx) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
    ctx->last_column = p.index;
    if (is_long) {
        ctx->long_value.insert(ctx->long_value.end(), chunk->data.start,
                               chunk->data.start + chunk->data.size);
        return QUARN_HANDLER_CONTINUE;
    }
    return deliver(ctx, p, chunk->data.start, chunk->data.size, 1, 0, false) == QUARN_HANDLER_ABORT
               ? QUARN_HANDLER_ABORT
               : QUARN_HANDLER_CONTINUE;
}

static int handle_chunk_read_values(quarn_chunk_t *chunk, void *vctx) {
    auto *ctx = static_cast<quarn_read_values_ctx_t *>(vctx);
    const uint64_t k = path_value(chunk, chunk->path[0]);
    const bool v7 = chunk->generation >= 7;

    if (v7) {
        const int64_t table_key = ctx->table_index + 128;
        if (static_cast<int64_t>(k) > table_key) return QUARN_HANDLER_STOP;
        if (static_cast<int64_t>(k) < table_key) return QUARN_HANDLER_CONTINUE;
    } else if (k > 5) {
        return QUARN_HANDLER_STOP;
    }
    if (ctx->sink.every_value && !ctx->sink.globals && note_record(ctx, chunk) == QUARN_HANDLER_ABORT)
        return QUARN_HANDLER_ABORT;

    /* earlier files: fields with a byte-string key matter only as
     * repetitions */
    const bool repetition_form = !v7 && ctx->sink.every_value && chunk->type == QUARN_CHUNK_FIELD_LONG_KEY;
    const bool field = chunk->type == QUARN_CHUNK_FIELD_SIMPLE_KEY || (v7 && chunk->type == QUARN_CHUNK_SEGMENT);
    if (!field && !repetition_form) return QUARN_HANDLER_CONTINUE;

    /* definitions lie under T, 3 (3 in earlier files): a cheap look
     * first, as every record value passes here */
    const int definitions_entry = v7 ? 1 : 0;
    if (field && chunk->path_level > definitions_entry + 1 &&
        path_is(chunk, chunk->path[definitions_entry], 3)) {
        bool long_name = false;
        const uint64_t c = definition_column(chunk, &long_name);
        if (c != 0) {
            define_column(ctx, chunk, c, long_name);
            return QUARN_HANDLER_CONTINUE;
        }
    }
    return ctx->sink.globals ? process_global(chunk, ctx) : process_value(chunk, ctx);
}

int read_table_values(quarn_file_t *file, int64_t table_index, const value_reader_sink &sink) {
    quarn_read_values_ctx_t ctx;
    ctx.table_index = table_index;
    ctx.file = file;
    ctx.sink = sink;

    int rc = file->generation >= 7
                 ? process_table_blocks(file, table_index + 128, handle_chunk_read_values, &ctx)
                 : process_blocks(file, nullptr, handle_chunk_read_values, &ctx);
    if (ctx.error != QUARN_OK) return ctx.error;
    /* a value still being joined when the walk ends is handed over now,
     * and then a last record without values, unless the caller asked to
     * stop; their answers change nothing */
    if (rc != QUARN_ERROR_USER_ABORTED) {
        end_pending(&ctx);
        end_record(&ctx);
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
