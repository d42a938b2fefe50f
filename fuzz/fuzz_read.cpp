/*
 * fuzz_read: lists the tables of the input, and for every table its columns
 * and values, the way the converters do, then its fields, records and
 * containers, its global values and its record count. Checks what comes
 * out: names and values well-formed UTF-8, indices from 1, rows from 1 and
 * never falling; fields the same as the columns with values in range;
 * repetitions from 1, a text or a container key for every value, a record
 * without values only as the empty text of no field; global values on row
 * 0; the count of records the rows the record reader numbers; containers as
 * BEGIN, DATA in order, END, their pieces adding up to what the BEGIN said,
 * every byte of them readable.
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

struct RecordState {
    int last_row = 0;
    uint64_t rows = 0;
    bool globals = false; /* the values come from quarn_read_globals */
};

int check_record_value(const quarn_value_t *value, void *ctx) {
    auto *state = static_cast<RecordState *>(ctx);
    if (state->globals) {
        if (value->row != 0 || value->record_id != 0) abort();
    } else {
        if (value->row < 1 || value->row < state->last_row) abort();
        if (value->row != state->last_row) state->rows++;
    }
    if (value->repetition < 1 || !value->field || value->field->index < 0) abort();
    if (value->field->index == 0) {
        /* a record without values: once, on a row of its own */
        if (state->globals || value->repetition != 1 || !value->text || value->text[0] != '\0' ||
            value->field->data_type != QUARN_TYPE_UNKNOWN)
            abort();
    }
    fuzz::check_field(value->field->name, sizeof value->field->name);
    if (value->text) {
        if (value->container_key.size != 0) abort();
        fuzz::check_utf8(value->text, strlen(value->text));
    } else {
        if (value->field->data_type != QUARN_TYPE_CONTAINER) abort();
        if (value->container_key.size < 1 || value->container_key.size > QUARN_CONTAINER_KEY_MAX) abort();
    }
    state->last_row = value->row;
    return QUARN_HANDLER_CONTINUE;
}

struct ContainerState {
    const quarn_container_t *open = nullptr;
    std::vector<uint64_t> delivered; /* bytes per stream of the open container */
    uint8_t sum = 0;
    bool skip_next = false; /* answer STOP to every other BEGIN */
};

int check_container_event(const quarn_container_event_t *event, void *ctx) {
    auto *state = static_cast<ContainerState *>(ctx);
    const quarn_container_t *c = event->container;
    if (!c) abort();
    switch (event->type) {
    case QUARN_CONTAINER_BEGIN: {
        if (state->open) abort();
        if (c->key.size < 1 || c->key.size > QUARN_CONTAINER_KEY_MAX) abort();
        if (c->name) fuzz::check_utf8(c->name, strlen(c->name));
        bool damaged = false;
        for (uint32_t i = 0; i < c->stream_count; i++) {
            const quarn_stream_t &s = c->streams[i];
            if (s.tag[4] != '\0') abort();
            if (!s.damaged && s.stored != s.length) abort();
            damaged = damaged || s.damaged;
        }
        if (damaged && !c->damaged) abort();
        state->open = c;
        state->delivered.assign(c->stream_count, 0);
        state->skip_next = !state->skip_next;
        return state->skip_next ? QUARN_HANDLER_STOP : QUARN_HANDLER_CONTINUE;
    }
    case QUARN_CONTAINER_DATA:
        if (state->open != c || state->skip_next) abort();
        if (event->stream >= c->stream_count) abort();
        if (event->offset != state->delivered[event->stream]) abort();
        /* every byte handed out is read: outside the payload the sanitizer
         * would stop here */
        for (uint64_t i = 0; i < event->bytes.size; i++) state->sum += event->bytes.start[i];
        state->delivered[event->stream] += event->bytes.size;
        if (state->delivered[event->stream] > c->streams[event->stream].stored) abort();
        return QUARN_HANDLER_CONTINUE;
    case QUARN_CONTAINER_END:
        if (state->open != c) abort();
        if (!state->skip_next)
            for (uint32_t i = 0; i < c->stream_count; i++)
                if (state->delivered[i] != c->streams[i].stored) abort();
        state->open = nullptr;
        return QUARN_HANDLER_CONTINUE;
    default:
        abort();
    }
}

/* The fields of a table: as its columns, with values in range. */
void check_fields(const quarn_field_array_t *fields, const quarn_column_array_t *columns) {
    if (fields->count != columns->count) abort();
    for (uint64_t i = 0; i < fields->count; i++) {
        const quarn_field_t &f = fields->fields[i];
        if (f.index != columns->columns[i].index || strcmp(f.name, columns->columns[i].name) != 0) abort();
        if (f.data_type < 0 || f.data_type > QUARN_TYPE_CONTAINER || f.kind < 0 ||
            f.kind > QUARN_KIND_SUMMARY || (f.global != 0 && f.global != 1) || f.repetitions < 1)
            abort();
    }
}

/* The fields that the query on the shared handle gave have values in
 * range; on two fresh handles the fields and the columns agree. (A walk
 * reads the outermost key that an earlier walk left in the path wherever a
 * block does not push its own, so the two catalogues agree only from the
 * same start.) */
void check_fields_alike(const std::vector<uint8_t> &image, const quarn_table_t *table,
                        const quarn_field_array_t *fields, quarn_error_t field_error) {
    if (field_error != QUARN_OK) return;
    quarn_error_t error = QUARN_OK;
    quarn_file_t *for_columns = quarn_open_buffer(image.data(), image.size(), &error);
    quarn_file_t *for_fields = quarn_open_buffer(image.data(), image.size(), &error);
    if (!for_columns || !for_fields) abort();
    quarn_error_t column_error = QUARN_OK;
    quarn_column_array_t *columns = quarn_list_columns(for_columns, table, &column_error);
    quarn_field_array_t *fresh = quarn_list_fields(for_fields, table, &field_error);
    if (!columns || !fresh) abort();
    if (column_error != field_error) abort();
    if (column_error == QUARN_OK) check_fields(fresh, columns);
    for (uint64_t i = 0; i < fields->count; i++) {
        const quarn_field_t &f = fields->fields[i];
        if (f.data_type < 0 || f.data_type > QUARN_TYPE_CONTAINER || f.kind < 0 ||
            f.kind > QUARN_KIND_SUMMARY || (f.global != 0 && f.global != 1) || f.repetitions < 1)
            abort();
        fuzz::check_field(f.name, sizeof f.name);
    }
    quarn_free_fields(fresh);
    quarn_free_columns(columns);
    quarn_close_file(for_fields);
    quarn_close_file(for_columns);
}

/* On a fresh handle the record count is the number of rows the record
 * reader numbers on another, with the same result. */
void check_count(const std::vector<uint8_t> &image, const quarn_table_t *table) {
    quarn_error_t error = QUARN_OK;
    quarn_file_t *for_count = quarn_open_buffer(image.data(), image.size(), &error);
    quarn_file_t *for_records = quarn_open_buffer(image.data(), image.size(), &error);
    if (!for_count || !for_records) abort();
    uint64_t count = 0;
    const quarn_error_t count_rc = quarn_count_records(for_count, table, &count);
    RecordState records;
    const quarn_error_t records_rc = quarn_read_records(for_records, table, check_record_value, &records);
    if (count_rc != records_rc) abort();
    if (count_rc == QUARN_OK && count != records.rows) abort();
    quarn_close_file(for_records);
    quarn_close_file(for_count);
}

} // namespace

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

            ReadState state;
            quarn_read_values(file, table, check_value, &state);

            quarn_error_t field_error = QUARN_OK;
            quarn_field_array_t *fields = quarn_list_fields(file, table, &field_error);
            if (!fields) abort();
            quarn_free_columns(columns);
            check_fields_alike(image, table, fields, field_error);
            quarn_free_fields(fields);
            RecordState records;
            quarn_read_records(file, table, check_record_value, &records);
            RecordState globals;
            globals.globals = true;
            quarn_read_globals(file, table, check_record_value, &globals);
            check_count(image, table);

            ContainerState containers;
            const quarn_error_t rc = quarn_read_containers(file, table, check_container_event, &containers);
            if (rc != QUARN_ERROR_USER_ABORTED && containers.open) abort();
        }
        quarn_free_tables(tables);
    }
    quarn_close_file(file);
    return 0;
}
