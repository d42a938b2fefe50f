/*
 * read_records.cpp: the record reader. It is the walk of the record value
 * reader (read_values.cpp) with every value taken up (the repetitions of
 * repeating fields, and long values that reader passes over), field
 * records built from the same definition chunks as the field catalogue's,
 * and container fields handed over as references to their storage instead
 * of as text.
 *
 * A container field's value names the key of the storage directory that
 * holds the container's bytes (read_containers.cpp):
 *  - generation 7 and later: the value is a directory of its own under the
 *    record, read as a long value; its text (masked like any text) begins
 *    with hexadecimal digits that spell the key's bytes, two digits a byte
 *    ("04" is key 0x04, "807C" the two bytes 0x80 0x7C), and may go on with
 *    other characters;
 *  - earlier files: the value is binary: one length byte, then the key.
 * A value of a container field in any other form, or one whose key cannot
 * be read, is handed over as text, as quarn_read_values hands it over.
 */
#include "quarn_internal.h"

#include <cstring>
#include <exception>
#include <map>

namespace {

struct read_records_ctx {
    quarn_file_t *file = nullptr;
    quarn_record_handler handler = nullptr;
    void *user_ctx = nullptr;
    /* field records by number, filled as the definitions go by */
    named_slots<quarn_field_t> fields;
    std::vector<char> scratch; /* conversion buffer, reused */
};

int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/* The key that a later file's reference text spells: leading spaces
 * dropped (as every text's are), then pairs of hexadecimal digits up to the
 * first other byte. False for an odd number of digits, none, or more than a
 * key holds. */
bool key_from_digits(const uint8_t *bytes, size_t size, uint8_t mask, quarn_container_key_t *key) {
    size_t at = 0;
    while (at < size && (bytes[at] ^ mask) == 0x20) at++;
    size_t digits = 0;
    while (at + digits < size && hex_digit(bytes[at + digits] ^ mask) >= 0) digits++;
    if (digits == 0 || digits % 2 != 0 || digits / 2 > QUARN_CONTAINER_KEY_MAX) return false;
    for (size_t i = 0; i < digits / 2; i++) {
        const int high = hex_digit(bytes[at + 2 * i] ^ mask);
        const int low = hex_digit(bytes[at + 2 * i + 1] ^ mask);
        key->bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    key->size = static_cast<uint32_t>(digits / 2);
    return true;
}

/* The key of an earlier file's binary reference: a length byte, then as
 * many key bytes, nothing after them. */
bool key_from_binary(const uint8_t *bytes, size_t size, quarn_container_key_t *key) {
    if (size < 2 || bytes[0] == 0 || bytes[0] > QUARN_CONTAINER_KEY_MAX ||
        size_t(bytes[0]) + 1 != size)
        return false;
    key->size = bytes[0];
    memcpy(key->bytes, bytes + 1, key->size);
    return true;
}

void take_definition(void *vctx, const quarn_chunk_t *chunk, uint64_t c, bool long_name) {
    auto *ctx = static_cast<read_records_ctx *>(vctx);
    take_field_definition(ctx->file, chunk, c, long_name, ctx->fields);
}

int deliver_record_value(void *vctx, int row, const quarn_column_t &,
                         const taken_value &taken) {
    auto *ctx = static_cast<read_records_ctx *>(vctx);
    const quarn_field_t &field = ctx->fields.slot(taken.column);
    quarn_value_t value{};
    value.row = row;
    value.repetition = taken.repetition;
    value.record_id = taken.record_key;
    value.field = &field;

    bool is_reference = false;
    if (field.data_type == QUARN_TYPE_CONTAINER) {
        if (ctx->file->generation >= 7)
            is_reference = taken.joined && key_from_digits(taken.bytes, taken.size,
                                                           ctx->file->text_mask,
                                                           &value.container_key);
        else
            is_reference = !taken.joined &&
                           key_from_binary(taken.bytes, taken.size, &value.container_key);
    }
    if (!is_reference) {
        value.container_key = quarn_container_key_t{};
        const size_t size = 4 * taken.size + 1;
        if (ctx->scratch.size() < size) ctx->scratch.resize(size);
        convert(ctx->file->converter, ctx->file->text_mask, ctx->scratch.data(), size, taken.bytes,
                taken.size);
        value.text = ctx->scratch.data();
    }
    return ctx->handler(&value, ctx->user_ctx);
}

} // namespace

/* The walk of the record reader, or of the global values. */
static quarn_error_t read_values_of(quarn_file_t *file, const quarn_table_t *table, bool globals,
                                    quarn_record_handler handler, void *user_ctx) {
    try {
        read_records_ctx ctx;
        ctx.file = file;
        ctx.handler = handler;
        ctx.user_ctx = user_ctx;
        value_reader_sink sink;
        sink.every_value = true;
        sink.globals = globals;
        if (handler) sink.value = deliver_record_value;
        sink.definition = take_definition;
        sink.ctx = &ctx;
        return static_cast<quarn_error_t>(read_table_values(file, table->index, sink));
    } catch (const std::exception &) {
        return QUARN_ERROR_MALLOC;
    }
}

extern "C" quarn_error_t quarn_read_records(quarn_file_t *file, const quarn_table_t *table,
                                            quarn_record_handler handler, void *user_ctx) {
    return read_values_of(file, table, false, handler, user_ctx);
}

extern "C" quarn_error_t quarn_read_globals(quarn_file_t *file, const quarn_table_t *table,
                                            quarn_record_handler handler, void *user_ctx) {
    return read_values_of(file, table, true, handler, user_ctx);
}

/* Counts rows as the record reader numbers them; no text is converted. */
extern "C" quarn_error_t quarn_count_records(quarn_file_t *file, const quarn_table_t *table,
                                             uint64_t *records) {
    struct counter {
        int row = 0;
        uint64_t count = 0;
    } c;
    *records = 0;
    try {
        value_reader_sink sink;
        sink.every_value = true;
        sink.value = [](void *ctx, int row, const quarn_column_t &, const taken_value &) -> int {
            auto *k = static_cast<counter *>(ctx);
            if (row != k->row) {
                k->row = row;
                k->count++;
            }
            return QUARN_HANDLER_CONTINUE;
        };
        sink.ctx = &c;
        const int rc = read_table_values(file, table->index, sink);
        *records = c.count;
        return static_cast<quarn_error_t>(rc);
    } catch (const std::exception &) {
        return QUARN_ERROR_MALLOC;
    }
}
