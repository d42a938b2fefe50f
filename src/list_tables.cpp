/*
 * list_tables.cpp: the table catalogue. A file of the earlier generation
 * holds one table, named after the file. In later files the catalogue lies
 * under the path 3, 16, 5: each entry sits one level deeper under a key whose
 * value is the table's number plus 128, and its field with key 16 holds the
 * table's name (or the directory 16 holds it in long form, long_text.cpp).
 * One walk of the whole file collects the entries and the keys of the
 * tables that hold records (handle_chunk_list_tables_v7): a table with
 * records that the catalogue does not name is listed under a made-up name,
 * never left out.
 */
#include "quarn_internal.h"

#include <cstring>
#include <map>
#include <exception>

namespace {

struct list_tables_ctx {
    quarn_file_t *file;
    /* Records by table number. Numbers come from the file, so the table is
     * sparse: a number that no entry names costs nothing. */
    named_slots<quarn_table_t> tables;
    /* the keys of the tables that hold records (T, 5, r) */
    std::set<uint64_t> with_records;
    uint64_t last_with_records = 0;
    /* a key above 3 was met in the block being walked: the catalogue comes
     * before every table, so the block holds no more of it */
    bool past_catalogue = false;
};

} // namespace

/* The catalogue's entries under 3, 16, 5, T: the name is the field with
 * key 16, or in long form the directory 3, 16, 5, T, 16. Past the
 * catalogue, every table key under which a record lies (T, 5, r). */
static int handle_chunk_list_tables_v7(quarn_chunk_t *chunk, void *vctx) {
    auto *ctx = static_cast<list_tables_ctx *>(vctx);
    quarn_span_t **path = chunk->path;

    /* Entry 0 is read whatever the level: at level 0 it holds this chunk's
     * own push, a key left by an earlier path, or nothing. The catalogue
     * comes before every table (keys 128 and up). */
    const uint64_t outer = path_value(chunk, path[0]);
    if (outer > 3 || ctx->past_catalogue) {
        ctx->past_catalogue = true;
        if (outer >= 128 && outer != ctx->last_with_records && chunk->path_level >= 3 &&
            path_is(chunk, path[1], 5)) {
            ctx->with_records.insert(outer);
            ctx->last_with_records = outer;
        }
        return QUARN_HANDLER_CONTINUE;
    }

    if (chunk->path_level < 4 || (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY &&
                                  chunk->type != QUARN_CHUNK_SEGMENT))
        return QUARN_HANDLER_CONTINUE;
    if (!path_is(chunk, path[0], 3) || !path_is(chunk, path[1], 16) ||
        !path_is(chunk, path[2], 5) || path_value(chunk, path[3]) < 128)
        return QUARN_HANDLER_CONTINUE;

    if (chunk->path_level == 5 && path_is(chunk, path[4], 16)) {
        const uint64_t key = path_value(chunk, path[3]);
        if (key >= 129) ctx->tables.take_long_name(ctx->file, chunk, key - 128);
        return QUARN_HANDLER_CONTINUE;
    }
    if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY) return QUARN_HANDLER_CONTINUE;
    const uint64_t last = path_value(chunk, path[chunk->path_level - 1]);
    if (last < 129) return QUARN_HANDLER_CONTINUE;

    /* other fields of the entry make no record, so only the name matters */
    if (chunk->ref_simple != 16) return QUARN_HANDLER_CONTINUE;
    ctx->tables.take_short_name(ctx->file, chunk, last - 128);
    return QUARN_HANDLER_CONTINUE;
}

static int start_block_list_tables(quarn_block_t *, void *vctx) {
    static_cast<list_tables_ctx *>(vctx)->past_catalogue = false;
    return 1;
}

/* A table that holds records and has no name in the catalogue gets one
 * made of its key, as the file numbers it. */
static void name_unnamed_tables(list_tables_ctx *ctx) {
    for (const uint64_t key : ctx->with_records) {
        quarn_table_t &table = ctx->tables.slot(key - 128);
        if (table.index != 0) continue;
        snprintf(table.name, sizeof table.name, "table_%llu", static_cast<unsigned long long>(key));
        table.index = static_cast<int32_t>(key - 128);
    }
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
            list_tables_ctx ctx{file, {}, {}, 0, false};
            rc = process_blocks(file, start_block_list_tables, handle_chunk_list_tables_v7, &ctx);
            if (rc == QUARN_OK) {
                name_unnamed_tables(&ctx);
                auto array = std::make_unique<quarn_table_array_t>();
                array->tables = named_records(ctx.tables.slots, &array->count);
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
