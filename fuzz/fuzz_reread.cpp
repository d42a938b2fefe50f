/*
 * fuzz_reread: the input (its block count made to agree with its size) as a
 * file opened by path, so that every walk reads its sectors again through
 * the descriptor, beside the same bytes opened from a buffer. Reads
 * everything the way the converters do, on both handles, until a reading
 * gives what the one before gave (a block that fails after some chunks
 * fails only the first walk that meets it, so the first readings may
 * differ; later ones pass learnt blocks over), and leaves every block as
 * it was. Then changes the file under the open handle as the header's last
 * four bytes say, reads again, puts the file back and reads once more.
 *
 * Everything is the tables, columns, values, fields, records (every
 * repetition) and containers (their pieces' sizes and sums), and the dump.
 *
 * Checks: text well-formed, indices and rows as in fuzz_read; both handles
 * open alike and give the same readings; while the file is changed, no walk
 * reads past what is there (the sanitizers) and every error number is one
 * the interface names; with the file put back, the reading is the settled
 * one again, unless a payload byte was flipped (a walk may then have learnt
 * from the flipped bytes, which the handle keeps).
 *
 * Header bytes 1020 to 1023, which the library never reads: byte 1020 % 4
 * picks the change (0 none, 1 cut the file to the offset, 2 flip the byte at
 * the offset, 3 append the offset's low byte of zeros), bytes 1021 to 1023
 * the offset, taken modulo the file's size + 1.
 */
#include "fuzz_common.h"
#include "quarn.h"
#include "quarn_internal.h"

#include <cstdio>
#include <string>
#include <vector>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct Reading {
    std::string text; /* everything handed out, with the error numbers */
    int last_row = 0;
};

void check_error(int error) {
    switch (error) {
    case QUARN_OK: case QUARN_ERROR_READ: case QUARN_ERROR_MALLOC: case QUARN_ERROR_BAD_BLOCK:
    case QUARN_ERROR_INCOMPLETE_CHUNK: case QUARN_ERROR_UNRECOGNIZED_CODE: case QUARN_ERROR_RECORD_KEY:
        return;
    default:
        abort();
    }
}

int take_value(int row, const quarn_column_t *column, const char *value, void *ctx) {
    auto *reading = static_cast<Reading *>(ctx);
    if (row < 1 || row < reading->last_row) abort();
    if (!column || column->index < 1) abort();
    fuzz::check_field(column->name, sizeof column->name);
    fuzz::check_utf8(value, strlen(value));
    reading->last_row = row;
    reading->text += std::to_string(row) + ":" + std::to_string(column->index) + "=" + value + "\n";
    return QUARN_HANDLER_CONTINUE;
}

int take_record(const quarn_value_t *value, void *ctx) {
    auto *reading = static_cast<Reading *>(ctx);
    if (value->row < 1 || value->row < reading->last_row || value->repetition < 1) abort();
    reading->last_row = value->row;
    reading->text += std::to_string(value->row) + ":" + std::to_string(value->field->index) + "/" +
                     std::to_string(value->repetition) + "=";
    if (value->text) {
        fuzz::check_utf8(value->text, strlen(value->text));
        reading->text += value->text;
    } else {
        reading->text += "key " + std::to_string(value->container_key.size);
    }
    reading->text += "\n";
    return QUARN_HANDLER_CONTINUE;
}

/* Containers go into the reading as their sizes and a sum of their bytes,
 * every byte read. */
int take_container(const quarn_container_event_t *event, void *ctx) {
    auto *reading = static_cast<Reading *>(ctx);
    if (event->type == QUARN_CONTAINER_DATA) {
        unsigned sum = 0;
        for (uint64_t i = 0; i < event->bytes.size; i++) sum += event->bytes.start[i];
        reading->text += "piece " + std::to_string(event->stream) + "@" + std::to_string(event->offset) + " " +
                         std::to_string(event->bytes.size) + " " + std::to_string(sum) + "\n";
    } else {
        reading->text += event->type == QUARN_CONTAINER_BEGIN ? "begin " : "end ";
        reading->text += std::to_string(event->container->stream_count) + " " +
                         std::to_string(event->container->damaged) + "\n";
    }
    return QUARN_HANDLER_CONTINUE;
}

std::string read_everything(quarn_file_t *file) {
    Reading reading;
    quarn_error_t error = QUARN_OK;
    quarn_table_array_t *tables = quarn_list_tables(file, &error);
    check_error(error);
    reading.text += "tables " + std::to_string(error) + "\n";
    for (uint64_t t = 0; tables && t < tables->count; t++) {
        const quarn_table_t *table = &tables->tables[t];
        fuzz::check_field(table->name, sizeof table->name);
        /* an earlier file's one table is named after the file, which the
         * buffer has not */
        if (file->generation >= 7) reading.text += std::string("table ") + table->name + "\n";
        quarn_column_array_t *columns = quarn_list_columns(file, table, &error);
        if (!columns) abort();
        check_error(error);
        reading.text += "columns " + std::to_string(error) + "\n";
        for (uint64_t c = 0; c < columns->count; c++) {
            fuzz::check_field(columns->columns[c].name, sizeof columns->columns[c].name);
            reading.text += std::string(columns->columns[c].name) + "\n";
        }
        quarn_free_columns(columns);
        reading.last_row = 0;
        const int rc = quarn_read_values(file, table, take_value, &reading);
        check_error(rc);
        reading.text += "values " + std::to_string(rc) + "\n";

        quarn_field_array_t *fields = quarn_list_fields(file, table, &error);
        if (!fields) abort();
        check_error(error);
        reading.text += "fields " + std::to_string(error) + "\n";
        for (uint64_t f = 0; f < fields->count; f++)
            reading.text += std::to_string(fields->fields[f].data_type) + "/" +
                            std::to_string(fields->fields[f].repetitions) + "\n";
        quarn_free_fields(fields);
        reading.last_row = 0;
        const int records = quarn_read_records(file, table, take_record, &reading);
        check_error(records);
        reading.text += "records " + std::to_string(records) + "\n";
        const int containers = quarn_read_containers(file, table, take_container, &reading);
        check_error(containers);
        reading.text += "containers " + std::to_string(containers) + "\n";
    }
    quarn_free_tables(tables);
    const int dumped = quarn_dump_file(file);
    check_error(dumped);
    reading.text += "dump " + std::to_string(dumped) + "\n";
    return reading.text;
}

/* Where decoding stops in each block: what a walk learns of a block that
 * fails part way, and so what makes one reading differ from the next. */
std::vector<uint32_t> chunk_ends(const quarn_file_t *file) {
    std::vector<uint32_t> ends;
    for (const quarn_block_t &block : file->blocks) ends.push_back(block.chunk_end);
    return ends;
}

bool write_all(int fd, const uint8_t *data, size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, at);
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
        at += n;
    }
    return true;
}

/* Puts image as the whole content of fd. */
bool put(int fd, const std::vector<uint8_t> &image) {
    return ftruncate(fd, 0) == 0 && write_all(fd, image.data(), image.size(), 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    /* the dump's text is not looked at */
    if (!freopen("/dev/null", "w", stdout)) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> image = fuzz::consistent_image(data, size);
    const int fd = memfd_create("quarn-fuzz", 0);
    if (fd < 0) abort();
    if (!put(fd, image)) abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    quarn_error_t error = QUARN_OK, buffer_error = QUARN_OK;
    quarn_file_t *file = quarn_open_file(path.c_str(), &error);
    quarn_file_t *from_buffer = quarn_open_buffer(image.data(), image.size(), &buffer_error);
    if (!file != !from_buffer || error != buffer_error) abort();
    if (!file) {
        close(fd);
        return 0;
    }
    /* Settled: a reading that gave what the one before gave and left every
     * block as it found it (equal readings alone do not tell: a file with
     * several blocks that fail part way gives the same first error for as
     * many readings as it has such blocks, each taking one of them in). */
    std::string settled;
    bool is_settled = false;
    for (int round = 0; round < 8 && !is_settled; round++) {
        const std::vector<uint32_t> before = chunk_ends(file);
        const std::string reading = read_everything(file);
        if (read_everything(from_buffer) != reading) abort();
        is_settled = round > 0 && reading == settled && chunk_ends(file) == before;
        settled = reading;
    }
    quarn_close_file(from_buffer);

    uint8_t mode = 0;
    uint64_t offset = 0;
    if (image.size() >= 1024) {
        mode = image[1020] % 4;
        offset = (uint64_t(image[1021]) << 16 | uint64_t(image[1022]) << 8 | image[1023]) %
                 (image.size() + 1);
    }
    bool changed = true;
    if (mode == 1) {
        changed = ftruncate(fd, off_t(offset)) == 0;
    } else if (mode == 2 && offset < image.size()) {
        const uint8_t flipped = image[offset] ^ 0xFF;
        changed = write_all(fd, &flipped, 1, off_t(offset));
    } else if (mode == 3) {
        const std::vector<uint8_t> zeros(offset & 0xFF, 0);
        changed = write_all(fd, zeros.data(), zeros.size(), off_t(image.size()));
    }
    if (!changed) abort();
    const std::string while_changed = read_everything(file);
    if (mode == 0 && is_settled && while_changed != settled) abort();

    if (!put(fd, image)) abort();
    if (read_everything(file) != settled && is_settled && mode != 2) abort();
    quarn_close_file(file);
    close(fd);
    return 0;
}
