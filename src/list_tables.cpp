/*
 * list_tables.cpp: the table catalogue. A file of the earlier generation
 * holds one table, named after the file. In later files the catalogue lies
 * under the path 3, 16, 5: each entry sits one level deeper under a key whose
 * value is the table's number plus 128, and its field with key 16 holds the
 * table's name. One walk collects the entries (handle_chunk_list_tables_v7).
 */
#include "quarn_internal.h"

#include <cstring>
#include <map>
#include <exception>

namespace {

struct list_tables_ctx {
    quarn_file_t *file;
    /* Slots by table number. Numbers come from the file, so the table is
     * sparse: a number that no entry names costs nothing. */
    std::map<uint64_t, quarn_table_t> slots;
};

} // namespace

static int handle_chunk_list_tables_v7(quarn_chunk_t *chunk, void *vctx) {
    auto *ctx = static_cast<list_tables_ctx *>(vctx);
    quarn_span_t **path = chunk->path;

    /* Entry 0 is read whatever the level: at level 0 it holds this chunk's
     * own push, a key left by an earlier path, or nothing. The catalogue
     * comes before every table (keys 128 and up), so a block is done with
     * the catalogue at its first key above 3. */
    if (path_value(chunk, path[0]) > 3) return QUARN_HANDLER_STOP;

    if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY || chunk->path_level < 4)
        return QUARN_HANDLER_CONTINUE;
    if (!path_is(chunk, path[0], 3) || !path_is(chunk, path[1], 16) ||
        !path_is(chunk, path[2], 5) || path_value(chunk, path[3]) < 128)
        return QUARN_HANDLER_CONTINUE;

    const uint64_t last = path_value(chunk, path[chunk->path_level - 1]);
    if (last < 129) return QUARN_HANDLER_CONTINUE;
    const uint64_t n = last - 128;

    /* other fields of the entry make a slot but leave it empty, which the
     * returned array leaves out, so only the name matters here */
    if (chunk->ref_simple != 16) return QUARN_HANDLER_CONTINUE;
    quarn_table_t &slot = ctx->slots[n];
    convert(ctx->file->converter, ctx->file->text_mask, slot.name, sizeof slot.name,
            chunk->data.start, chunk->data.size);
    slot.index = static_cast<int32_t>(n);
    return QUARN_HANDLER_CONTINUE;
}

static quarn_table_array_t *early_file_table(const quarn_file_t *file) {
    auto array = std::make_unique<quarn_table_array_t>();
    auto record = std::make_unique<quarn_table_t[]>(1);
    record[0].index = 1;
    snprintf(record[0].name, sizeof record[0].name, "%s", file->filename);
    /* drop the extension: the last dot after the first byte, and what follows */
    for (size_t i = strlen(record[0].name); i > 1; i--) {
        if (record[0].name[i - 1] == '.') {
            record[0].name[i - 1] = '\0';
            break;
        }
    }
    array->count = 1;
    array->tables = record.release();
    return array.release();
}

extern "C" quarn_table_array_t *quarn_list_tables(quarn_file_t *file, quarn_error_t *error) {
    int rc;
    quarn_table_array_t *result = nullptr;
    try {
        if (file->generation < 7) {
            result = early_file_table(file);
            rc = QUARN_OK;
        } else {
            list_tables_ctx ctx{file, {}};
            rc = process_table_blocks(file, 3, handle_chunk_list_tables_v7, &ctx);
            if (rc == QUARN_OK) {
                auto array = std::make_unique<quarn_table_array_t>();
                array->tables = named_records(ctx.slots, &array->count);
                result = array.release();
            }
        }
    } catch (const std::exception &) {
        rc = QUARN_ERROR_MALLOC;
        result = nullptr;
    }
    if (error) *error = static_cast<quarn_error_t>(rc);
    return result;
}

extern "C" void quarn_free_tables(quarn_table_array_t *tables) {
    if (!tables) return;
    delete[] tables->tables;
    delete tables;
}
