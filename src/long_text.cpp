/*
 * long_text.cpp: texts stored in long form, as the catalogues meet them.
 * A text is stored either as a field with its ref, or as a directory
 * pushed under that same ref number: ref 0 holds 8 raw bytes (the text's
 * length in bytes, then in characters, 32-bit big-endian each) and the text
 * is ref 1, or refs 1, 2, ... or segments, joined in number order, the way
 * long record values are. Names use the form too (table names under
 * 3, 16, 5, T, 16; field names under T, 3, 5, c, 16), so every catalogue
 * reads a name in both forms through named_slots (quarn_internal.h).
 */
#include "quarn_internal.h"

uint32_t long_text_piece(const quarn_chunk_t *chunk) {
    if (chunk->type == QUARN_CHUNK_SEGMENT) return chunk->segment_index;
    if (chunk->type == QUARN_CHUNK_FIELD_SIMPLE_KEY) return chunk->ref_simple;
    return 0;
}

void long_text::add(uint32_t number, const quarn_span_t &data) {
    if (number == 0 || size >= kLongTextMax || pieces.size() >= kLongTextPiecesMax) return;
    /* a piece met again (a directory pushed anew in a later block) keeps
     * its first bytes */
    auto [it, added] = pieces.try_emplace(number);
    if (!added) return;
    const size_t n = std::min<size_t>(data.size, kLongTextMax - size);
    it->second.assign(data.start, data.start + n);
    size += n;
}

void long_text::convert_into(const quarn_file_t *file, char *out, size_t out_size) const {
    std::vector<uint8_t> joined;
    joined.reserve(size);
    for (const auto &piece : pieces) joined.insert(joined.end(), piece.second.begin(), piece.second.end());
    convert(file->converter, file->text_mask, out, out_size, joined.data(), joined.size());
}
