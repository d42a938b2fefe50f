/*
 * block.cpp: turns sectors into blocks and cuts a block's payload into
 * chunks, by one code table per generation (generation 7 and later, and the
 * earlier files). Decoding only records where keys and data lie; it gives
 * them no meaning and copies nothing. A walk reads and decodes each block as
 * it comes to it, into buffers of the handle (core.cpp reads the sector), so
 * the payload and the records of one block at a time are in memory,
 * whatever the file's size.
 */
#include "quarn_internal.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <span>
#include <vector>

static uint32_t read_be32(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

quarn_error_t new_block_from_sector(const quarn_file_t *file, const uint8_t *sector,
                                    quarn_block_t *block, uint8_t *payload_store) {
    const uint64_t room = file->sector_size - file->sector_header_size;
    uint64_t length = room;
    if (file->length_offset >= 0) {
        const uint8_t *p = sector + file->length_offset;
        length = (uint64_t(p[0]) << 8) | p[1];
        if (length > room) return QUARN_ERROR_BAD_BLOCK;
    }
    *block = quarn_block_t();
    block->prev_id = static_cast<int32_t>(read_be32(sector + file->prev_id_offset));
    block->next_id = static_cast<int32_t>(read_be32(sector + file->next_id_offset));
    block->payload_length = static_cast<uint32_t>(length);
    if (payload_store) {
        memcpy(payload_store, sector + file->sector_header_size, length);
        block->payload = payload_store;
    }
    return QUARN_OK;
}

/* ------------------------------------------------------------------ */
/* Chunk decoding                                                      */
/* ------------------------------------------------------------------ */

namespace {

/* What one chunk's code byte led to. A nonzero result stops decoding with
 * that number; end stops it with 0. Otherwise the chunk takes size bytes
 * from its code byte on, and makes a record unless it is filler or a skip. */
struct chunk_step {
    int result = QUARN_OK;
    bool end = false;
    bool record = false;
    uint64_t size = 0;
    /* what the fault that stopped decoding was, for the dump to tell */
    decode_fault fault = {};
};

/* The bytes from the chunk's code byte to the payload's end. Every byte
 * offset is checked against what is left before it is read. */
struct chunk_bytes {
    std::span<const uint8_t> rest;

    /* true when the bytes at offsets 0 to n - 1 all lie in the payload */
    bool has(uint64_t n) const { return n <= rest.size(); }
    uint8_t b(uint64_t offset) const { return rest[offset]; }
    uint16_t w(uint64_t offset) const { return uint16_t(rest[offset] << 8 | rest[offset + 1]); }
    /* the two-byte numeric key: the top bit of its first byte is no part of it */
    uint16_t k(uint64_t offset) const {
        return uint16_t((rest[offset] & 0x7F) * 256 + rest[offset + 1] + 128);
    }
    quarn_span_t span(uint64_t offset, uint64_t size) const {
        return quarn_span_t{size, rest.data() + offset};
    }
};

chunk_step stop(int result) {
    chunk_step step;
    step.result = result;
    return step;
}

chunk_step advance(uint64_t size) {
    chunk_step step;
    step.size = size;
    return step;
}

chunk_step made(uint64_t size) {
    chunk_step step;
    step.record = true;
    step.size = size;
    return step;
}

/* Generation 7 and later: data of length bytes at offset start, followed by
 * trail bytes that belong to no field. The chunk ends after them. */
chunk_step v7_data(const chunk_bytes &in, quarn_chunk_t &chunk, uint64_t start,
                   uint64_t length, uint64_t trail = 0) {
    const uint64_t size = start + length + trail;
    if (!in.has(size)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
    chunk.data = in.span(start, length);
    return made(size);
}

/* Fixed data lengths of the runs 0x01-0x05 and 0x09-0x0D, and the bytes
 * stepped over after the data of 0x19-0x1D. */
constexpr uint64_t run_lengths[5] = {1, 2, 4, 6, 8};
/* Fixed data lengths of the bare data codes 0x10-0x15. */
constexpr uint64_t bare_lengths[6] = {3, 4, 5, 7, 9, 11};

/* Decodes the chunk at position of a generation 7 or later payload. */
chunk_step decode_chunk_v7(const chunk_bytes &in, uint64_t position, quarn_chunk_t &chunk) {
    const uint8_t code = in.b(0);
    chunk.code = code;
    switch (code) {
    case 0x00:
        /* a 0x00 that is the last byte, or is followed by another 0x00,
         * ends the payload; the bytes after it are never looked at */
        if (!in.has(2) || in.b(1) == 0x00) {
            chunk_step step;
            step.end = true;
            return step;
        }
        chunk.type = QUARN_CHUNK_DATA_SIMPLE;
        return v7_data(in, chunk, 1, 1);

    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05:
        if (!in.has(2)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.ref_simple = in.b(1);
        return v7_data(in, chunk, 2, run_lengths[code - 0x01]);

    case 0x06:
        if (!in.has(3)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.ref_simple = in.b(1);
        return v7_data(in, chunk, 3, in.b(2));

    case 0x07:
        if (!in.has(4)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_SEGMENT;
        chunk.segment_index = in.b(1);
        return v7_data(in, chunk, 4, in.w(2));

    case 0x08:
        chunk.type = QUARN_CHUNK_DATA_SIMPLE;
        return v7_data(in, chunk, 1, 2);

    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:
        if (!in.has(3)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.ref_simple = in.k(1);
        return v7_data(in, chunk, 3, run_lengths[code - 0x09]);

    case 0x0E:
        /* the next byte decides: 0xFF starts six bytes of bare data, any
         * other value a two-byte key */
        if (!in.has(2)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        if (in.b(1) == 0xFF) {
            chunk.type = QUARN_CHUNK_DATA_SIMPLE;
            return v7_data(in, chunk, 1, 6);
        }
        if (!in.has(4)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.ref_simple = in.k(1);
        return v7_data(in, chunk, 4, in.b(3));

    case 0x0F:
        if (!in.has(5)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_SEGMENT;
        chunk.segment_index = in.k(1);
        return v7_data(in, chunk, 5, in.w(3));

    case 0x10: case 0x11: case 0x12: case 0x13: case 0x14: case 0x15:
        chunk.type = QUARN_CHUNK_DATA_SIMPLE;
        return v7_data(in, chunk, 1, bare_lengths[code - 0x10]);

    case 0x16:
        if (!in.has(5)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_FIELD_LONG_KEY;
        chunk.ref_long = in.span(1, 3);
        return v7_data(in, chunk, 5, in.b(4));

    case 0x17:
        if (!in.has(6)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_FIELD_LONG_KEY;
        chunk.ref_long = in.span(1, 3);
        return v7_data(in, chunk, 6, in.w(4));

    case 0x19: case 0x1A: case 0x1B: case 0x1C: case 0x1D:
        /* the bytes after the data belong to no field; they are stepped over */
        if (!in.has(2)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_DATA_SIMPLE;
        return v7_data(in, chunk, 2, in.b(1), run_lengths[code - 0x19]);

    case 0x1E: case 0x1F: {
        /* a key of b1 bytes, then a one-byte (0x1E) or two-byte (0x1F) length */
        if (!in.has(2)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        const uint64_t key_size = in.b(1);
        const uint64_t length_at = 2 + key_size;
        const uint64_t width = code == 0x1E ? 1 : 2;
        if (!in.has(length_at + width)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_FIELD_LONG_KEY;
        chunk.ref_long = in.span(2, key_size);
        const uint64_t length = width == 1 ? in.b(length_at) : in.w(length_at);
        return v7_data(in, chunk, length_at + width, length);
    }

    case 0x20: case 0xE0:
        /* a second byte 0xFE announces an eight-byte key after it */
        if (!in.has(2)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_PUSH;
        if (in.b(1) == 0xFE) return v7_data(in, chunk, 2, 8);
        return v7_data(in, chunk, 1, 1);

    case 0x23:
        if (!in.has(2)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_DATA_SIMPLE;
        return v7_data(in, chunk, 2, in.b(1));

    case 0x28:
        chunk.type = QUARN_CHUNK_PUSH;
        return v7_data(in, chunk, 1, 2);

    case 0x30:
        chunk.type = QUARN_CHUNK_PUSH;
        return v7_data(in, chunk, 1, 3);

    case 0x38:
        if (!in.has(2)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
        chunk.type = QUARN_CHUNK_PUSH;
        return v7_data(in, chunk, 2, in.b(1));

    case 0x3D: case 0x40:
        chunk.type = QUARN_CHUNK_POP;
        return made(1);

    case 0x80:
        return advance(1); /* one byte of filler */

    default: {
        chunk_step step = stop(QUARN_ERROR_UNRECOGNIZED_CODE);
        step.fault = {decode_fault::unrecognized_code, code, position};
        return step;
    }
    }
}

/* Earlier files: a field whose length field of width bytes (1, or 2 for the
 * 0xFF escapes) lies at offset length_at, with the data right after it.
 * Running out exactly where the length field begins gives 9; running out
 * anywhere else (inside the key, the length or the data) gives 7. */
chunk_step early_field(const chunk_bytes &in, quarn_chunk_t &chunk, uint64_t length_at,
                       uint64_t width) {
    if (!in.has(length_at)) return stop(QUARN_ERROR_BAD_BLOCK);
    if (!in.has(length_at + 1)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
    if (!in.has(length_at + width)) return stop(QUARN_ERROR_BAD_BLOCK);
    const uint64_t length = width == 1 ? in.b(length_at) : in.w(length_at);
    const uint64_t start = length_at + width;
    if (!in.has(start + length)) return stop(QUARN_ERROR_BAD_BLOCK);
    chunk.data = in.span(start, length);
    return made(start + length);
}

/* Earlier files: length bytes at offset 1, their length carried in the code. */
chunk_step early_inline(const chunk_bytes &in, quarn_chunk_t &chunk, uint64_t length) {
    if (!in.has(1 + length)) return stop(QUARN_ERROR_BAD_BLOCK);
    chunk.data = in.span(1, length);
    return made(1 + length);
}

/* The 0xFF escapes of earlier files: fields whose data length takes 16 bits. */
chunk_step decode_escape_early(const chunk_bytes &in, quarn_chunk_t &chunk) {
    /* a 0xFF that is the payload's last byte: it ends where the byte that
     * chooses the escape's form should be */
    if (!in.has(2)) return stop(QUARN_ERROR_INCOMPLETE_CHUNK);
    const uint8_t form = in.b(1);
    chunk.extended = 1;
    if (form == 0x01) {
        if (!in.has(3)) return stop(QUARN_ERROR_BAD_BLOCK);
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.ref_simple = in.b(2);
        chunk.ref_long = in.span(2, 1);
        return early_field(in, chunk, 3, 2);
    }
    if (form >= 0x02 && form <= 0x04) {
        if (!in.has(2 + form)) return stop(QUARN_ERROR_BAD_BLOCK);
        chunk.type = QUARN_CHUNK_FIELD_LONG_KEY;
        chunk.ref_long = in.span(2, form);
        return early_field(in, chunk, 2 + form, 2);
    }
    if (form >= 0x40 && form <= 0x80) {
        /* keys 0 to 64: the form 0x80 is still a key */
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.ref_simple = form - 0x40;
        return early_field(in, chunk, 2, 2);
    }
    chunk_step step = stop(QUARN_ERROR_BAD_BLOCK);
    step.fault = {decode_fault::bad_escape, form, 0};
    return step;
}

/* Decodes the chunk at the start of an earlier file's remaining payload. */
chunk_step decode_chunk_early(const chunk_bytes &in, uint64_t, quarn_chunk_t &chunk) {
    const uint8_t code = in.b(0);
    chunk.code = code;
    if (code == 0x00) {
        /* a field with key 0, shaped like 0x40; not an end marker here */
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        return early_field(in, chunk, 1, 1);
    }
    if (code == 0x01) {
        /* 0x01 0xFF 0x05 skips itself and the five bytes after it, which
         * are not examined; it counts only when all three bytes are there */
        if (in.has(3) && in.b(1) == 0xFF && in.b(2) == 0x05) {
            if (!in.has(8)) return stop(QUARN_ERROR_BAD_BLOCK);
            return advance(8);
        }
        /* the one code of its run with a numeric key */
        if (!in.has(2)) return stop(QUARN_ERROR_BAD_BLOCK);
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.ref_simple = in.b(1);
        chunk.ref_long = in.span(1, 1);
        return early_field(in, chunk, 2, 1);
    }
    if (code <= 0x3F) {
        /* the key is as long as the code */
        if (!in.has(1 + code)) return stop(QUARN_ERROR_BAD_BLOCK);
        chunk.type = QUARN_CHUNK_FIELD_LONG_KEY;
        chunk.ref_long = in.span(1, code);
        return early_field(in, chunk, 1 + code, 1);
    }
    if (code <= 0x7F) {
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.ref_simple = code - 0x40;
        return early_field(in, chunk, 1, 1);
    }
    if (code <= 0xBF) {
        chunk.type = QUARN_CHUNK_DATA_SIMPLE;
        return early_inline(in, chunk, code - 0x80);
    }
    if (code == 0xC0) {
        chunk.type = QUARN_CHUNK_POP;
        return made(1);
    }
    if (code <= 0xFE) {
        chunk.type = QUARN_CHUNK_PUSH;
        return early_inline(in, chunk, code - 0xC0);
    }
    return decode_escape_early(in, chunk);
}

/* Cuts the first end bytes of the block's payload into chunks with
 * decode_chunk, into the handle's chunk buffer, and makes the records
 * decoded before any failure the block's chunk list, in payload order. */
template <typename Decoder>
int decode_payload(quarn_file_t *file, quarn_block_t *block, uint64_t end,
                   Decoder decode_chunk) {
    const std::span<const uint8_t> payload(block->payload, end);
    std::vector<quarn_chunk_t> &chunks = file->chunk_buffer;
    chunks.clear();
    file->last_fault = {};
    int result = QUARN_OK;
    uint64_t position = 0;
    while (position < payload.size()) {
        quarn_chunk_t chunk{};
        const chunk_step step =
            decode_chunk(chunk_bytes{payload.subspan(position)}, position, chunk);
        if (step.result != QUARN_OK || step.end) {
            result = step.result;
            file->last_fault = step.fault;
            break;
        }
        if (step.record) chunks.push_back(chunk);
        position += step.size;
    }

    /* Once a block has yielded chunks, later decodings stop where this one
     * stopped: a block that failed part way is taken, from then on, as the
     * chunks before the fault, and its message is not repeated. */
    if (block->chunk_end == kChunkEndUnknown && !chunks.empty())
        block->chunk_end = result == QUARN_OK ? block->payload_length
                                              : static_cast<uint32_t>(position);

    for (size_t i = 0; i + 1 < chunks.size(); ++i) chunks[i].next = &chunks[i + 1];
    if (!chunks.empty()) chunks.back().next = nullptr;
    block->chunks = chunks.empty() ? nullptr : chunks.data();
    file->decoded_block = block;
    return result;
}

} // namespace

/* Decodes the block's payload into its chunk list, by the code table of the
 * file's generation; a block of the handle's table is read from the file
 * first. The records live in the handle's chunk buffer until the next block
 * is decoded. Returns 0; 2 when the block's sector cannot be read again as
 * it was at the open; 7 for no block, a malformed early block or a bad
 * early escape; 9 when a chunk is cut off by the payload's end; 11 for an
 * unknown code of generation 7 and later (the code, and the bad escape's
 * form, kept in the handle's last_fault for the dump). A block
 * that has yielded chunks once is decoded from then on only up to where
 * that first decoding stopped, with result 0. Throws std::bad_alloc when
 * memory runs out. */
int process_block(quarn_file_t *file, quarn_block_t *block) {
    if (!block) return QUARN_ERROR_BAD_BLOCK;
    /* the previous block's records are about to be overwritten */
    if (file->decoded_block) file->decoded_block->chunks = nullptr;
    file->decoded_block = nullptr;
    /* a block of the table has its payload only while it is the one read
     * last; a block made elsewhere (a test's) brings its own */
    const std::vector<quarn_block_t> &table = file->blocks;
    const bool in_table = !table.empty() &&
                          std::greater_equal<const quarn_block_t *>()(block, table.data()) &&
                          std::less<const quarn_block_t *>()(block, table.data() + table.size());
    if (in_table) {
        const quarn_error_t rc = read_block_payload(file, block);
        if (rc != QUARN_OK) return rc;
    }
    const uint64_t end =
        block->chunk_end == kChunkEndUnknown ? block->payload_length : block->chunk_end;
    if (file->generation < 7) return decode_payload(file, block, end, decode_chunk_early);
    return decode_payload(file, block, end, decode_chunk_v7);
}

/* Codes 0x09 to 0x0D put their two key bytes right before the data; 0x0E
 * puts a length byte between them and the data. */
quarn_span_t chunk_key_bytes(const quarn_chunk_t *chunk) {
    if (chunk->generation < 7 || chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY) return {};
    if (chunk->code >= 0x09 && chunk->code <= 0x0D) return {2, chunk->data.start - 2};
    if (chunk->code == 0x0E) return {2, chunk->data.start - 3};
    return {};
}

quarn_span_t chunk_trailing_bytes(const quarn_chunk_t *chunk) {
    if (chunk->generation < 7 || chunk->type != QUARN_CHUNK_DATA_SIMPLE || chunk->code < 0x19 ||
        chunk->code > 0x1D)
        return {};
    return {run_lengths[chunk->code - 0x19], chunk->data.start + chunk->data.size};
}
