/*
 * dump_file.cpp: the structure dump. One walk prints the header facts, each
 * block's ids and length (start_block) and each chunk with its code, kind,
 * keys and data under the path in force (dump_chunk). dump_data shows one
 * span as a number or as quoted text. A block that cannot be decoded ends
 * the dump with what stopped it (the decoder keeps it in the handle; the
 * library prints nothing anywhere else).
 */
#include "quarn_internal.h"

#include <cinttypes>
#include <exception>

namespace {

struct dump_context {
    int path_printed = 0; /* the current path was printed since the last block start, push or pop */
    uint8_t text_mask = 0;
    iconv_t converter = nullptr;
};

uint64_t big_endian(const quarn_span_t *span) {
    uint64_t value = 0;
    for (uint64_t i = 0; i < span->size; i++) value = (value << 8) | span->start[i];
    return value;
}

} // namespace

/* Two to four bytes whose first byte (unmasked) is below 0x20 are a
 * big-endian number; two or three bytes from 0x80 up a key; four bytes from
 * 0x80 up a number again; printable first bytes and anything of five bytes
 * or more are text. */
static void dump_data(quarn_chunk_t *chunk, const quarn_span_t *span, dump_context *ctx) {
    const uint64_t n = span->size;
    if (n == 0) {
        fputs("\"\"", stdout);
        return;
    }
    const uint8_t f = span->start[0] ^ ctx->text_mask;
    if (n == 1) {
        printf("[%" PRIu64 "]", uint64_t(span->start[0]));
        return;
    }
    if (n <= 4) {
        if (f >= 0x80 && n <= 3) {
            printf("[%" PRIu64 "]", path_value(chunk, span));
            return;
        }
        if (f < 0x20 || f >= 0x80) {
            printf("[%" PRIu64 "]", big_endian(span));
            return;
        }
    }
    std::vector<char> text(4 * n + 1);
    convert(ctx->converter, ctx->text_mask, text.data(), text.size(), span->start, n);
    printf("\"%s\"", text.data());
}

static int start_block(quarn_block_t *block, void *vctx) {
    auto *ctx = static_cast<dump_context *>(vctx);
    ctx->path_printed = 0;
    debug("== %d -> [ BLOCK %d ] -> %d ==\n", block->prev_id, block->this_id, block->next_id);
    debug("        [ Len: %zu ]\n", static_cast<size_t>(block->payload_length));
    return 1;
}

static int dump_chunk(quarn_chunk_t *chunk, void *vctx) {
    auto *ctx = static_cast<dump_context *>(vctx);
    switch (chunk->type) {
    case QUARN_CHUNK_PUSH:
        printf("-- PUSH 0x%02X [ ", chunk->code);
        for (uint64_t i = 0; i < chunk->data.size; i++) printf("0x%02X ", chunk->data.start[i]);
        puts(" ] --");
        ctx->path_printed = 0;
        break;
    case QUARN_CHUNK_POP:
        ctx->path_printed = 0;
        printf("-- POP 0x%02X --\n", chunk->code);
        break;
    default:
        if (!ctx->path_printed && chunk->path_level != 0) {
            for (int i = 0; i < chunk->path_level; i++) {
                const quarn_span_t *entry = chunk->path[i];
                if (entry && entry->size > 3)
                    dump_data(chunk, entry, ctx);
                else
                    printf("[%" PRIu64 "]", path_value(chunk, entry));
                putchar('.');
            }
            putchar('\n');
            ctx->path_printed = 1;
        }
        printf("%*s", chunk->path_level, "");
        switch (chunk->type) {
        case QUARN_CHUNK_DATA_SIMPLE: {
            /* bare data is shown as stored, without the text mask */
            const uint8_t mask = ctx->text_mask;
            printf("-- data simple (0x%02X): ", chunk->code);
            ctx->text_mask = 0;
            dump_data(chunk, &chunk->data, ctx);
            ctx->text_mask = mask;
            puts(" --");
            break;
        }
        case QUARN_CHUNK_FIELD_SIMPLE_KEY:
            printf("-- field (0x%02X): [%d] => ", chunk->code, chunk->ref_simple);
            dump_data(chunk, &chunk->data, ctx);
            puts(" --");
            break;
        case QUARN_CHUNK_FIELD_LONG_KEY:
            printf("-- field (0x%02X): ", chunk->code);
            dump_data(chunk, &chunk->ref_long, ctx);
            fputs(" => ", stdout);
            dump_data(chunk, &chunk->data, ctx);
            puts(" --");
            break;
        case QUARN_CHUNK_SEGMENT:
            printf("-- segment #%d (%zu bytes) --\n", chunk->segment_index,
                   static_cast<size_t>(chunk->data.size));
            break;
        default:
            break;
        }
        break;
    }
    if (chunk->extended) puts("   => EXTENDED <= ");
    return QUARN_HANDLER_CONTINUE;
}

extern "C" quarn_error_t quarn_dump_file(quarn_file_t *file) {
    try {
        dump_context ctx;
        ctx.text_mask = file->text_mask;
        ctx.converter = file->converter;
        debug("Version: File Maker %s\n", file->version_string);
        if (file->release_date_parsed) {
            const struct tm &date = file->release_date;
            debug("Released: %04d-%02d-%02d\n", date.tm_year + 1900, date.tm_mon + 1,
                  date.tm_mday);
        }
        const int rc = process_blocks(file, start_block, dump_chunk, &ctx);
        /* The block the walk failed at is the one decoded last: the dump
         * says what it met there, where the walk stopped. */
        const decode_fault &fault = file->last_fault;
        if (rc == QUARN_ERROR_UNRECOGNIZED_CODE && fault.kind == decode_fault::unrecognized_code)
            debug(" **** UNRECOGNIZED CODE 0x%02x @ [%llu] *****\n", fault.code,
                  static_cast<unsigned long long>(fault.position));
        else if (rc == QUARN_ERROR_BAD_BLOCK && fault.kind == decode_fault::bad_escape)
            fprintf(stderr, "Bad 0xFF chunk: %02x!\n", fault.code);
        return static_cast<quarn_error_t>(rc);
    } catch (const std::exception &) {
        return QUARN_ERROR_MALLOC;
    }
}
