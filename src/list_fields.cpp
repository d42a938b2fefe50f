/*
 * list_fields.cpp: the field catalogue of one table: the columns of
 * list_columns.cpp with what their definition records say (data type, kind,
 * global storage, repetitions). Both lie under the column's definition path
 * (T, 3, 5, c in files of generation 7 and later; 3, 5, c in earlier files):
 * the name in the field with key 16 (earlier files: 1), or in long form in
 * the directory T, 3, 5, c, 16 (long_text.cpp), the definition record in
 * the field with key 2. One walk collects them
 * (handle_chunk_list_fields); the record reader fills its own field records
 * with the same take_field_definition as it walks.
 *
 * The definition record is raw (not masked):
 *
 *                  generation 7 and later        earlier files
 *   length         26 bytes                      12 bytes
 *   kind           byte 0: 1 normal,             byte 0: 1 normal,
 *                  2 calculation, 3 summary      2 calculation, 3 summary,
 *                                                5 global (a normal field)
 *   data type      byte 1: 1 text, 2 number,     byte 1: 1 text, 2 number,
 *                  3 date, 4 time,               3 date, 4 time,
 *                  5 timestamp, 6 container      5 container
 *   global         bit 0 of byte 9               kind 5
 *   repetitions    bytes 24-25, big-endian       bytes 10-11, big-endian
 *
 * A shorter record says nothing: the field keeps the unknown values.
 */
#include "quarn_internal.h"

#include <exception>
#include <map>

namespace {

constexpr uint64_t kRecordSizeV7 = 26;
constexpr uint64_t kRecordSizeEarly = 12;

struct list_fields_ctx {
    int64_t table_index;
    quarn_file_t *file;
    named_slots<quarn_field_t> fields;
};

uint32_t read_be16(const uint8_t *p) { return (uint32_t(p[0]) << 8) | p[1]; }

} // namespace

/* Reads a definition record into the field's type, kind, global flag and
 * repetitions; a record shorter than its generation's gives the unknown
 * values. */
static void read_definition(const quarn_chunk_t *chunk, quarn_field_t *field) {
    const quarn_span_t &record = chunk->data;
    const uint8_t *b = record.start;
    field->data_type = QUARN_TYPE_UNKNOWN;
    field->kind = QUARN_KIND_UNKNOWN;
    field->global = 0;
    field->repetitions = 1;
    uint32_t repetitions = 0;

    if (chunk->generation >= 7) {
        if (record.size < kRecordSizeV7) return;
        if (b[0] >= 1 && b[0] <= 3) field->kind = b[0];
        if (b[1] >= 1 && b[1] <= 6) field->data_type = b[1];
        field->global = b[9] & 1;
        repetitions = read_be16(b + 24);
    } else {
        if (record.size < kRecordSizeEarly) return;
        if (b[0] >= 1 && b[0] <= 3) {
            field->kind = b[0];
        } else if (b[0] == 5) {
            field->kind = QUARN_KIND_NORMAL;
            field->global = 1;
        }
        if (b[1] >= 1 && b[1] <= 4) field->data_type = b[1];
        else if (b[1] == 5) field->data_type = QUARN_TYPE_CONTAINER;
        repetitions = read_be16(b + 10);
    }
    if (repetitions > 1) field->repetitions = static_cast<int32_t>(repetitions);
}

uint64_t definition_column(const quarn_chunk_t *chunk, bool *long_name) {
    *long_name = false;
    if (chunk->path_level == 0) return 0;
    quarn_span_t **path = chunk->path;
    if (table_path_match_start2(chunk, 3, 3, 5)) return path_value(chunk, path[chunk->path_level - 1]);
    if (chunk->generation >= 7 && chunk->path_level >= 2 && table_path_match_start2(chunk, 4, 3, 5) &&
        path_value(chunk, path[chunk->path_level - 1]) == 16) {
        *long_name = true;
        return path_value(chunk, path[chunk->path_level - 2]);
    }
    return 0;
}

void take_field_definition(const quarn_file_t *file, const quarn_chunk_t *chunk, uint64_t c,
                           bool long_name, named_slots<quarn_field_t> &fields) {
    if (c == 0) return;
    if (long_name) {
        fields.take_long_name(file, chunk, c);
        return;
    }
    if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY) return;
    const unsigned name_ref = chunk->generation >= 7 ? 16 : 1;
    if (chunk->ref_simple == name_ref)
        fields.take_short_name(file, chunk, c);
    else if (chunk->ref_simple == 2)
        read_definition(chunk, &fields.slot(c));
}

static int handle_chunk_list_fields(quarn_chunk_t *chunk, void *vctx) {
    auto *ctx = static_cast<list_fields_ctx *>(vctx);
    quarn_span_t **path = chunk->path;
    const uint64_t v = path_value(chunk, path[0]);

    if (chunk->generation >= 7) {
        const int64_t table_key = ctx->table_index + 128;
        if (static_cast<int64_t>(v) > table_key) return QUARN_HANDLER_STOP;
        if (static_cast<int64_t>(v) < table_key) return QUARN_HANDLER_CONTINUE;
    } else if (v > 3) {
        return QUARN_HANDLER_STOP;
    }
    if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY && chunk->type != QUARN_CHUNK_SEGMENT)
        return QUARN_HANDLER_CONTINUE;
    /* the definitions lie under T, 3 (earlier files: 3): a cheap look
     * first, as the walk passes every record value of the table here */
    const int definitions = chunk->generation >= 7 ? 1 : 0;
    if (chunk->path_level <= definitions + 1 || !path_is(chunk, path[definitions], 3))
        return QUARN_HANDLER_CONTINUE;
    bool long_name = false;
    const uint64_t c = definition_column(chunk, &long_name);
    take_field_definition(ctx->file, chunk, c, long_name, ctx->fields);
    return QUARN_HANDLER_CONTINUE;
}

extern "C" quarn_field_array_t *quarn_list_fields(quarn_file_t *file, const quarn_table_t *table,
                                                  quarn_error_t *error) {
    int rc;
    quarn_field_array_t *result = nullptr;
    try {
        list_fields_ctx ctx{table->index, file, {}};
        rc = file->generation >= 7
                 ? process_table_blocks(file, ctx.table_index + 128, handle_chunk_list_fields, &ctx)
                 : process_blocks(file, nullptr, handle_chunk_list_fields, &ctx);
        auto array = std::make_unique<quarn_field_array_t>();
        array->fields = named_records(ctx.fields.slots, &array->count);
        result = array.release();
    } catch (const std::exception &) {
        rc = QUARN_ERROR_MALLOC;
        result = nullptr;
    }
    if (error) *error = static_cast<quarn_error_t>(rc);
    return result;
}

extern "C" void quarn_free_fields(quarn_field_array_t *fields) {
    if (!fields) return;
    delete[] fields->fields;
    delete fields;
}
