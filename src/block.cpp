/*
 * block.cpp: turns sectors into blocks and cuts a block's payload into
 * chunks, by one code table per generation (generation 7 and later, and the
 * earlier files). Decoding only records where keys and data lie; it gives
 * them no meaning and copies nothing.
 */
#include "quarn_internal.h"

#include <cstring>

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
    block->payload_length = length;
    memcpy(payload_store, sector + file->sector_header_size, length);
    block->payload = payload_store;
    return QUARN_OK;
}

int process_block(quarn_file_t *file, quarn_block_t *block) {
    if (!block) return QUARN_ERROR_BAD_BLOCK;
    if (block->chunks) return QUARN_OK;
    (void)file;
    return QUARN_OK; /* TODO decoders */
}
