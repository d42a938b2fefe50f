/*
 * test_block.cpp: the chunk decoders. Each case lays a payload out byte for
 * byte, decodes it with process_block and compares the chunk list, written
 * one line per chunk, with what the code table gives. The payload sits at
 * the very end of an allocation of exactly its size, so that a read past it
 * is caught by AddressSanitizer; cut-off cases run a second time with the
 * bytes that would complete the chunk placed right after the payload, so
 * that a decoder reading on would come out with a different list.
 */
#include <gtest/gtest.h>

#include "quarn_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bytes cat(std::initializer_list<bytes> parts) {
    bytes all;
    for (const bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

bytes fill(size_t count, uint8_t value) { return bytes(count, value); }

/* Generation 7 and later: data and key bytes are codes that the decoder does
 * not know, so a chunk that ends in the wrong place shows up. */
constexpr uint8_t D = 0xD1;
constexpr uint8_t A = 0xA1;
/* A one-byte push, put after the chunk under test: its data offset shows
 * where the decoder took the next code to be. */
const bytes S7 = {0x20, 0x5B};

/* Earlier files: data bytes are pops and key bytes are long bare data, so a
 * chunk that ends in the wrong place shows up as well. */
constexpr uint8_t E = 0xC0;
constexpr uint8_t K = 0xA1;
const bytes S0 = {0xC1, 0x5B};

std::string span_text(const char *name, const quarn_span_t &span, const quarn_block_t &block) {
    if (span.size == 0) return ""; /* the start of an empty span means nothing */
    const auto begin = reinterpret_cast<uintptr_t>(block.payload);
    const auto start = reinterpret_cast<uintptr_t>(span.start);
    if (start < begin || start - begin + span.size > block.payload_length)
        return std::string(" ") + name + "@outside-payload";
    return std::string(" ") + name + "@" + std::to_string(start - begin) + "+" +
           std::to_string(span.size);
}

/* One chunk as a line: kind, code, then every field that is not zero. */
std::string describe(const quarn_chunk_t &chunk, const quarn_block_t &block) {
    static const char *const kinds[] = {"PUSH",           "POP",           "DATA_SIMPLE",
                                        "FIELD_SIMPLE_KEY", "FIELD_LONG_KEY", "SEGMENT"};
    std::string line = chunk.type >= 0 && chunk.type < 6 ? kinds[chunk.type]
                                                         : "type" + std::to_string(chunk.type);
    char code[8];
    snprintf(code, sizeof code, " 0x%02x", chunk.code);
    line += code;
    if (chunk.ref_simple) line += " simple=" + std::to_string(chunk.ref_simple);
    if (chunk.segment_index) line += " segment=" + std::to_string(chunk.segment_index);
    line += span_text("long", chunk.ref_long, block);
    line += span_text("data", chunk.data, block);
    if (chunk.extended) line += " extended=" + std::to_string(chunk.extended);
    if (chunk.path || chunk.path_level || chunk.generation) line += " walk-fields-set";
    return line;
}

/* A block over its own payload, decoded with standard output and standard
 * error captured. */
struct block_under_test {
    std::vector<uint8_t> storage; /* exactly payload + after */
    quarn_file_t file;
    quarn_block_t block;
    /* what the decoder left for the dump to print of the fault that
     * stopped it, in the dump's words; the decoder itself prints nothing */
    std::string out, err;

    block_under_test(int generation, const bytes &payload, const bytes &after = {})
        : storage(payload.size() + after.size()) {
        std::copy(payload.begin(), payload.end(), storage.begin());
        std::copy(after.begin(), after.end(), storage.begin() + payload.size());
        file.generation = generation;
        block.payload = storage.data();
        block.payload_length = payload.size();
    }

    int decode() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = process_block(&file, &block);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the decoder printed";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the decoder printed";
        char line[80] = "";
        out.clear();
        err.clear();
        const decode_fault &fault = file.last_fault;
        if (fault.kind == decode_fault::unrecognized_code) {
            snprintf(line, sizeof line, " **** UNRECOGNIZED CODE 0x%02x @ [%llu] *****\n", fault.code,
                     static_cast<unsigned long long>(fault.position));
            out = line;
        } else if (fault.kind == decode_fault::bad_escape) {
            snprintf(line, sizeof line, "Bad 0xFF chunk: %02x!\n", fault.code);
            err = line;
        }
        return result;
    }

    /* The chunk list from block.chunks along next, checked against the
     * handle's chunk buffer: the same records, in the same order. */
    std::vector<std::string> chunk_list() const {
        std::vector<std::string> lines;
        const std::vector<quarn_chunk_t> &store = file.chunk_buffer;
        if (!block.chunks) {
            EXPECT_TRUE(store.empty()) << "records made but no list";
            return lines;
        }
        EXPECT_EQ(block.chunks, store.data());
        size_t i = 0;
        for (const quarn_chunk_t *chunk = block.chunks; chunk; chunk = chunk->next, ++i) {
            if (i == store.size()) {
                ADD_FAILURE() << "the list runs on past its " << store.size() << " records";
                break;
            }
            EXPECT_EQ(chunk, &store[i]) << "record " << i;
            lines.push_back(describe(*chunk, block));
        }
        EXPECT_EQ(i, store.size()) << "records left out of the list";
        return lines;
    }
};

struct decode_case {
    const char *name;
    bytes payload;
    int result;
    std::vector<std::string> chunks;
    bytes after = {}; /* what a decoder reading past the payload would find */
    std::string out = {};
    std::string err = {};
};

void check_case(int generation, const decode_case &c) {
    SCOPED_TRACE(c.name);
    for (bool with_after : {false, true}) {
        if (with_after && c.after.empty()) continue;
        SCOPED_TRACE(with_after ? "more bytes after the payload" : "payload ends its allocation");
        block_under_test t(generation, c.payload, with_after ? c.after : bytes{});
        EXPECT_EQ(t.decode(), c.result);
        EXPECT_EQ(t.chunk_list(), c.chunks);
        EXPECT_EQ(t.out, c.out);
        EXPECT_EQ(t.err, c.err);
    }
}

/* ---- generation 7 and later ------------------------------------------ */

/* Every recognised code, each followed by the S7 push so that the push's
 * data offset (one past its code) shows where the next code was read. */
std::vector<decode_case> v7_cases() {
    return {
        {"empty payload", {}, 0, {}},
        {"0x00 and a non-zero byte: one byte of bare data", cat({{0x00, 0x41}, S7}), 0,
         {"DATA_SIMPLE 0x00 data@1+1", "PUSH 0x20 data@3+1"}},
        {"0x00 0x00 ends the payload, the rest is never looked at",
         cat({S7, {0x00, 0x00, 0x18}, S7}), 0, {"PUSH 0x20 data@1+1"}},
        {"payload beginning 0x00 0x00", {0x00, 0x00, 0x18, 0x41}, 0, {}},
        {"lone 0x00 as the last byte ends the payload", cat({S7, {0x00}}), 0,
         {"PUSH 0x20 data@1+1"}, cat({{0x41}, S7})},
        {"0x01: key b1 whole, 1 byte", cat({{0x01, 0x85, D}, S7}), 0,
         {"FIELD_SIMPLE_KEY 0x01 simple=133 data@2+1", "PUSH 0x20 data@4+1"}},
        {"0x02: 2 bytes", cat({{0x02, 0x85}, fill(2, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x02 simple=133 data@2+2", "PUSH 0x20 data@5+1"}},
        {"0x03: 4 bytes", cat({{0x03, 0x00}, fill(4, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x03 data@2+4", "PUSH 0x20 data@7+1"}},
        {"0x04: 6 bytes", cat({{0x04, 0xFF}, fill(6, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x04 simple=255 data@2+6", "PUSH 0x20 data@9+1"}},
        {"0x05: 8 bytes", cat({{0x05, 0x10}, fill(8, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x05 simple=16 data@2+8", "PUSH 0x20 data@11+1"}},
        {"0x06: length byte", cat({{0x06, 0x85, 0x03}, fill(3, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x06 simple=133 data@3+3", "PUSH 0x20 data@7+1"}},
        {"0x06: length 0", cat({{0x06, 0x07, 0x00}, S7}), 0,
         {"FIELD_SIMPLE_KEY 0x06 simple=7", "PUSH 0x20 data@4+1"}},
        {"0x07: segment b1, 16-bit length", cat({{0x07, 0x03, 0x00, 0x04}, fill(4, D), S7}), 0,
         {"SEGMENT 0x07 segment=3 data@4+4", "PUSH 0x20 data@9+1"}},
        {"0x07: segment number whole, length big-endian",
         cat({{0x07, 0x83, 0x01, 0x00}, fill(256, D), S7}), 0,
         {"SEGMENT 0x07 segment=131 data@4+256", "PUSH 0x20 data@261+1"}},
        {"0x08: 2 bytes of bare data", cat({{0x08, D, D}, S7}), 0,
         {"DATA_SIMPLE 0x08 data@1+2", "PUSH 0x20 data@4+1"}},
        {"0x09: key drops the top bit, 1 byte", cat({{0x09, 0x80, 0x01, D}, S7}), 0,
         {"FIELD_SIMPLE_KEY 0x09 simple=129 data@3+1", "PUSH 0x20 data@5+1"}},
        {"0x0A: largest key, 2 bytes", cat({{0x0A, 0xFF, 0xFF}, fill(2, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x0a simple=32895 data@3+2", "PUSH 0x20 data@6+1"}},
        {"0x0B: smallest key, 4 bytes", cat({{0x0B, 0x00, 0x00}, fill(4, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x0b simple=128 data@3+4", "PUSH 0x20 data@8+1"}},
        {"0x0C: 6 bytes", cat({{0x0C, 0x01, 0x02}, fill(6, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x0c simple=386 data@3+6", "PUSH 0x20 data@10+1"}},
        {"0x0D: 8 bytes", cat({{0x0D, 0x7F, 0x00}, fill(8, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x0d simple=32640 data@3+8", "PUSH 0x20 data@12+1"}},
        {"0x0E 0xFF: six bytes of bare data starting with the 0xFF",
         cat({{0x0E, 0xFF}, fill(5, D), S7}), 0,
         {"DATA_SIMPLE 0x0e data@1+6", "PUSH 0x20 data@8+1"}},
        {"0x0E and another byte: two-byte key, length b3",
         cat({{0x0E, 0x81, 0x02, 0x03}, fill(3, D), S7}), 0,
         {"FIELD_SIMPLE_KEY 0x0e simple=386 data@4+3", "PUSH 0x20 data@8+1"}},
        {"0x0E 0xFE is a key, not bare data", cat({{0x0E, 0xFE, 0x00, 0x01, D}, S7}), 0,
         {"FIELD_SIMPLE_KEY 0x0e simple=32384 data@4+1", "PUSH 0x20 data@6+1"}},
        {"0x0F: segment key drops the top bit", cat({{0x0F, 0x80, 0x00, 0x00, 0x02, D, D}, S7}), 0,
         {"SEGMENT 0x0f segment=128 data@5+2", "PUSH 0x20 data@8+1"}},
        {"0x0F: 16-bit length big-endian", cat({{0x0F, 0x81, 0x01, 0x01, 0x00}, fill(256, D), S7}),
         0, {"SEGMENT 0x0f segment=385 data@5+256", "PUSH 0x20 data@262+1"}},
        {"0x10: 3 bytes", cat({{0x10}, fill(3, D), S7}), 0,
         {"DATA_SIMPLE 0x10 data@1+3", "PUSH 0x20 data@5+1"}},
        {"0x11: 4 bytes", cat({{0x11}, fill(4, D), S7}), 0,
         {"DATA_SIMPLE 0x11 data@1+4", "PUSH 0x20 data@6+1"}},
        {"0x12: 5 bytes", cat({{0x12}, fill(5, D), S7}), 0,
         {"DATA_SIMPLE 0x12 data@1+5", "PUSH 0x20 data@7+1"}},
        {"0x13: 7 bytes", cat({{0x13}, fill(7, D), S7}), 0,
         {"DATA_SIMPLE 0x13 data@1+7", "PUSH 0x20 data@9+1"}},
        {"0x14: 9 bytes", cat({{0x14}, fill(9, D), S7}), 0,
         {"DATA_SIMPLE 0x14 data@1+9", "PUSH 0x20 data@11+1"}},
        {"0x15: 11 bytes", cat({{0x15}, fill(11, D), S7}), 0,
         {"DATA_SIMPLE 0x15 data@1+11", "PUSH 0x20 data@13+1"}},
        {"0x16: three-byte key, length byte", cat({{0x16, A, A, A, 0x02, D, D}, S7}), 0,
         {"FIELD_LONG_KEY 0x16 long@1+3 data@5+2", "PUSH 0x20 data@8+1"}},
        {"0x17: three-byte key, 16-bit length", cat({{0x17, A, A, A, 0x00, 0x02, D, D}, S7}), 0,
         {"FIELD_LONG_KEY 0x17 long@1+3 data@6+2", "PUSH 0x20 data@9+1"}},
        {"0x17: length big-endian", cat({{0x17, A, A, A, 0x01, 0x00}, fill(256, D), S7}), 0,
         {"FIELD_LONG_KEY 0x17 long@1+3 data@6+256", "PUSH 0x20 data@263+1"}},
        /* the bytes stepped over are pops: a decoder that reads them as
         * codes makes extra records */
        {"0x19: data, then 1 byte stepped over", cat({{0x19, 0x02, D, D, 0x40}, S7}), 0,
         {"DATA_SIMPLE 0x19 data@2+2", "PUSH 0x20 data@6+1"}},
        {"0x1A: 2 bytes stepped over", cat({{0x1A, 0x02, D, D}, fill(2, 0x40), S7}), 0,
         {"DATA_SIMPLE 0x1a data@2+2", "PUSH 0x20 data@7+1"}},
        {"0x1B: 4 bytes stepped over", cat({{0x1B, 0x01, D}, fill(4, 0x40), S7}), 0,
         {"DATA_SIMPLE 0x1b data@2+1", "PUSH 0x20 data@8+1"}},
        {"0x1C: 6 bytes stepped over", cat({{0x1C, 0x03, D, D, D}, fill(6, 0x3D), S7}), 0,
         {"DATA_SIMPLE 0x1c data@2+3", "PUSH 0x20 data@12+1"}},
        {"0x1D: 8 bytes stepped over", cat({{0x1D, 0x02, D, D}, fill(8, 0x40), S7}), 0,
         {"DATA_SIMPLE 0x1d data@2+2", "PUSH 0x20 data@13+1"}},
        {"0x19: no data, still 1 byte stepped over", cat({{0x19, 0x00, 0x40}, S7}), 0,
         {"DATA_SIMPLE 0x19", "PUSH 0x20 data@4+1"}},
        {"0x1E: key of b1 bytes, length byte", cat({{0x1E, 0x02, A, A, 0x01, D}, S7}), 0,
         {"FIELD_LONG_KEY 0x1e long@2+2 data@5+1", "PUSH 0x20 data@7+1"}},
        {"0x1E: empty key", cat({{0x1E, 0x00, 0x02, D, D}, S7}), 0,
         {"FIELD_LONG_KEY 0x1e data@3+2", "PUSH 0x20 data@6+1"}},
        {"0x1F: key of b1 bytes, 16-bit length", cat({{0x1F, 0x02, A, A, 0x00, 0x03}, fill(3, D), S7}),
         0, {"FIELD_LONG_KEY 0x1f long@2+2 data@6+3", "PUSH 0x20 data@10+1"}},
        {"0x1F: length big-endian", cat({{0x1F, 0x01, A, 0x01, 0x00}, fill(256, D), S7}), 0,
         {"FIELD_LONG_KEY 0x1f long@2+1 data@5+256", "PUSH 0x20 data@262+1"}},
        {"0x20: one-byte key", cat({{0x20, 0x05}, S7}), 0,
         {"PUSH 0x20 data@1+1", "PUSH 0x20 data@3+1"}},
        {"0xE0: the same as 0x20", cat({{0xE0, 0x05}, S7}), 0,
         {"PUSH 0xe0 data@1+1", "PUSH 0x20 data@3+1"}},
        {"0x20 0xFE: eight-byte key after the 0xFE", cat({{0x20, 0xFE}, fill(8, A), S7}), 0,
         {"PUSH 0x20 data@2+8", "PUSH 0x20 data@11+1"}},
        {"0xE0 0xFE: eight-byte key after the 0xFE", cat({{0xE0, 0xFE}, fill(8, A), S7}), 0,
         {"PUSH 0xe0 data@2+8", "PUSH 0x20 data@11+1"}},
        {"0x20 0xFF: an ordinary one-byte key", cat({{0x20, 0xFF}, S7}), 0,
         {"PUSH 0x20 data@1+1", "PUSH 0x20 data@3+1"}},
        {"0x23: length byte", cat({{0x23, 0x02, D, D}, S7}), 0,
         {"DATA_SIMPLE 0x23 data@2+2", "PUSH 0x20 data@5+1"}},
        {"0x28: two-byte key", cat({{0x28, A, A}, S7}), 0,
         {"PUSH 0x28 data@1+2", "PUSH 0x20 data@4+1"}},
        {"0x30: three-byte key", cat({{0x30, A, A, A}, S7}), 0,
         {"PUSH 0x30 data@1+3", "PUSH 0x20 data@5+1"}},
        {"0x38: key of b1 bytes", cat({{0x38, 0x04}, fill(4, A), S7}), 0,
         {"PUSH 0x38 data@2+4", "PUSH 0x20 data@7+1"}},
        {"0x38: empty key", cat({{0x38, 0x00}, S7}), 0, {"PUSH 0x38", "PUSH 0x20 data@3+1"}},
        {"0x3D: pop", cat({{0x3D}, S7}), 0, {"POP 0x3d", "PUSH 0x20 data@2+1"}},
        {"0x40: pop", cat({{0x40}, S7}), 0, {"POP 0x40", "PUSH 0x20 data@2+1"}},
        {"0x80: one byte of filler, no record", cat({{0x80}, S7, {0x80}}), 0,
         {"PUSH 0x20 data@2+1"}},
        {"only filler", fill(5, 0x80), 0, {}},
    };
}

TEST(BlockDecoderV7, EveryCode) {
    for (int generation : {7, 12}) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        for (const decode_case &c : v7_cases()) check_case(generation, c);
    }
}

/* After the two good chunks P7, a chunk cut off by the payload's end. The
 * bytes after the payload would complete it and add the S7 push. */
const bytes P7 = {0x20, 0x5B, 0x3D};
const std::vector<std::string> P7_chunks = {"PUSH 0x20 data@1+1", "POP 0x3d"};

TEST(BlockDecoderV7, ChunkCutOffGives9AndKeepsEarlierChunks) {
    struct cut {
        const char *name;
        bytes tail;  /* the cut chunk's bytes inside the payload */
        bytes after; /* its remaining bytes */
    };
    const std::vector<cut> cuts = {
        {"0x01 as last byte", {0x01}, cat({{0x85, D}, S7})},
        {"0x05 one data byte short", cat({{0x05, 0x85}, fill(7, D)}), cat({{D}, S7})},
        {"0x06 without its length byte", {0x06, 0x85}, cat({{0x01, D}, S7})},
        {"0x06 length promises more than remains", {0x06, 0x85, 0x04, D, D, D}, cat({{D}, S7})},
        {"0x07 with half its length", {0x07, 0x03, 0x00}, cat({{0x01, D}, S7})},
        {"0x07 data short", {0x07, 0x03, 0x00, 0x02, D}, cat({{D}, S7})},
        {"0x08 data short", {0x08, D}, cat({{D}, S7})},
        {"0x09 with half its key", {0x09, 0x80}, cat({{0x01, D}, S7})},
        {"0x0D data short", cat({{0x0D, 0x80, 0x01}, fill(7, D)}), cat({{D}, S7})},
        {"0x0E as last byte", {0x0E}, cat({{0xFF}, fill(5, D), S7})},
        {"0x0E 0xFF data short", cat({{0x0E, 0xFF}, fill(4, D)}), cat({{D}, S7})},
        {"0x0E key without length", {0x0E, 0x81, 0x02}, cat({{0x01, D}, S7})},
        {"0x0F with half its length", {0x0F, 0x80, 0x00, 0x00}, cat({{0x01, D}, S7})},
        {"0x0F data short", {0x0F, 0x80, 0x00, 0x00, 0x02, D}, cat({{D}, S7})},
        {"0x15 data short", cat({{0x15}, fill(10, D)}), cat({{D}, S7})},
        {"0x16 without its length byte", {0x16, A, A, A}, cat({{0x01, D}, S7})},
        {"0x17 with half its length", {0x17, A, A, A, 0x00}, cat({{0x01, D}, S7})},
        {"0x19 data whole, stepped-over byte missing", {0x19, 0x02, D, D}, cat({{0x40}, S7})},
        {"0x1D one stepped-over byte missing", cat({{0x1D, 0x01, D}, fill(7, 0x40)}),
         cat({{0x40}, S7})},
        {"0x1E key cut", {0x1E, 0x03, A, A}, cat({{A, 0x01, D}, S7})},
        {"0x1E without its length byte", {0x1E, 0x02, A, A}, cat({{0x01, D}, S7})},
        {"0x1F with half its length", {0x1F, 0x01, A, 0x00}, cat({{0x01, D}, S7})},
        {"0x1F data short", {0x1F, 0x01, A, 0x00, 0x02, D}, cat({{D}, S7})},
        {"0x20 as last byte", {0x20}, cat({{0x05}, S7})},
        {"0xE0 as last byte", {0xE0}, cat({{0x05}, S7})},
        {"0x20 0xFE with seven key bytes", cat({{0x20, 0xFE}, fill(7, A)}), cat({{A}, S7})},
        {"0x23 data short", {0x23, 0x02, D}, cat({{D}, S7})},
        {"0x28 key short", {0x28, A}, cat({{A}, S7})},
        {"0x30 key short", {0x30, A, A}, cat({{A}, S7})},
        {"0x38 without its length byte", {0x38}, cat({{0x01, A}, S7})},
        {"0x38 key short", {0x38, 0x03, A, A}, cat({{A}, S7})},
    };
    for (const cut &c : cuts) {
        check_case(7, {c.name, cat({P7, c.tail}), QUARN_ERROR_INCOMPLETE_CHUNK, P7_chunks, c.after});
        /* the same cut as the payload's first chunk leaves no list */
        check_case(7, {c.name, c.tail, QUARN_ERROR_INCOMPLETE_CHUNK, {}, c.after});
    }
}

/* The codes the generation 7 table does not know. */
bool v7_unknown(int code) {
    return code == 0x18 || code == 0x21 || code == 0x22 || (code >= 0x24 && code <= 0x27) ||
           (code >= 0x29 && code <= 0x2F) || (code >= 0x31 && code <= 0x37) ||
           (code >= 0x39 && code <= 0x3C) || code == 0x3E || code == 0x3F ||
           (code >= 0x41 && code <= 0x7F) || (code >= 0x81 && code <= 0xDF) || code >= 0xE1;
}

TEST(BlockDecoderV7, UnknownCodesGive11AndTheirLineForTheDump) {
    int unknown = 0;
    for (int code = 0; code < 256; ++code) {
        SCOPED_TRACE("code " + std::to_string(code));
        /* filler after the code: whatever a known code makes of it, no
         * unknown code follows */
        block_under_test t(7, cat({P7, {uint8_t(code)}, fill(16, 0x80)}));
        const int result = t.decode();
        if (v7_unknown(code)) {
            ++unknown;
            char line[64];
            snprintf(line, sizeof line, " **** UNRECOGNIZED CODE 0x%02x @ [3] *****\n", code);
            EXPECT_EQ(result, QUARN_ERROR_UNRECOGNIZED_CODE);
            EXPECT_EQ(t.chunk_list(), P7_chunks);
            EXPECT_EQ(t.out, line);
        } else {
            EXPECT_NE(result, QUARN_ERROR_UNRECOGNIZED_CODE);
            EXPECT_EQ(t.out, "");
        }
        EXPECT_EQ(t.err, "");
    }
    EXPECT_EQ(unknown, 216);
}

TEST(BlockDecoderV7, UnknownCodePositionIsDecimalFromPayloadStart) {
    check_case(7, {"after 300 bytes of filler", cat({fill(300, 0x80), {0x18}, S7}),
                   QUARN_ERROR_UNRECOGNIZED_CODE, {},
                   {}, " **** UNRECOGNIZED CODE 0x18 @ [300] *****\n"});
    check_case(7, {"first byte", {0xFF}, QUARN_ERROR_UNRECOGNIZED_CODE, {}, {},
                   " **** UNRECOGNIZED CODE 0xff @ [0] *****\n"});
}

/* ---- earlier generations --------------------------------------------- */

std::vector<decode_case> early_cases() {
    return {
        {"empty payload", {}, 0, {}},
        {"0x00: field with key 0, length byte", cat({{0x00, 0x02, E, E}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0x00 data@2+2", "PUSH 0xc1 data@5+1"}},
        {"0x00 0x00: an empty field, not an end", cat({{0x00, 0x00}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0x00", "PUSH 0xc1 data@3+1"}},
        {"0x00 0x02 d d ending the payload", {0x00, 0x02, E, E}, 0,
         {"FIELD_SIMPLE_KEY 0x00 data@2+2"}},
        /* the five skipped bytes would be bad escapes if they were read */
        {"0x01 0xFF 0x05 skips eight bytes unread",
         cat({{0x01, 0xFF, 0x05, 0xFF, 0x00, 0xFF, 0x00, 0xFF}, S0}), 0, {"PUSH 0xc1 data@9+1"}},
        {"the skip ending the payload", {0x01, 0xFF, 0x05, 0xFF, 0x00, 0xFF, 0x00, 0xFF}, 0, {}},
        {"0x01: numeric key, also a one-byte long key", cat({{0x01, 0x07, 0x00}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0x01 simple=7 long@1+1", "PUSH 0xc1 data@4+1"}},
        {"0x01 0xFF not followed by 0x05 is a field", cat({{0x01, 0xFF, 0x04}, fill(4, E), S0}), 0,
         {"FIELD_SIMPLE_KEY 0x01 simple=255 long@1+1 data@3+4", "PUSH 0xc1 data@8+1"}},
        {"0x02: two-byte key", cat({{0x02, K, K, 0x01, E}, S0}), 0,
         {"FIELD_LONG_KEY 0x02 long@1+2 data@4+1", "PUSH 0xc1 data@6+1"}},
        {"0x03: three-byte key", cat({{0x03, K, K, K, 0x01, E}, S0}), 0,
         {"FIELD_LONG_KEY 0x03 long@1+3 data@5+1", "PUSH 0xc1 data@7+1"}},
        {"0x3F: 63-byte key", cat({{0x3F}, fill(63, K), {0x02, E, E}, S0}), 0,
         {"FIELD_LONG_KEY 0x3f long@1+63 data@65+2", "PUSH 0xc1 data@68+1"}},
        {"0x40: key 0", cat({{0x40, 0x01, E}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0x40 data@2+1", "PUSH 0xc1 data@4+1"}},
        {"0x45: key 5", cat({{0x45, 0x01, E}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0x45 simple=5 data@2+1", "PUSH 0xc1 data@4+1"}},
        {"0x7F: key 63, empty", cat({{0x7F, 0x00}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0x7f simple=63", "PUSH 0xc1 data@3+1"}},
        {"0x80: bare data of length 0", cat({{0x80}, S0}), 0,
         {"DATA_SIMPLE 0x80", "PUSH 0xc1 data@2+1"}},
        {"0x83: three bytes of bare data", cat({{0x83, E, E, E}, S0}), 0,
         {"DATA_SIMPLE 0x83 data@1+3", "PUSH 0xc1 data@5+1"}},
        {"0xBF: 63 bytes of bare data", cat({{0xBF}, fill(63, E), S0}), 0,
         {"DATA_SIMPLE 0xbf data@1+63", "PUSH 0xc1 data@65+1"}},
        {"0xC0: pop", cat({{0xC0}, S0}), 0, {"POP 0xc0", "PUSH 0xc1 data@2+1"}},
        {"0xC1: one-byte key", cat({{0xC1, K}, S0}), 0,
         {"PUSH 0xc1 data@1+1", "PUSH 0xc1 data@3+1"}},
        {"0xC2: two-byte key", cat({{0xC2, K, K}, S0}), 0,
         {"PUSH 0xc2 data@1+2", "PUSH 0xc1 data@4+1"}},
        {"0xFE: 62-byte key", cat({{0xFE}, fill(62, K), S0}), 0,
         {"PUSH 0xfe data@1+62", "PUSH 0xc1 data@64+1"}},
        {"0xFF 0x01: numeric key, 16-bit length", cat({{0xFF, 0x01, 0x07, 0x00, 0x02, E, E}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0xff simple=7 long@2+1 data@5+2 extended=1", "PUSH 0xc1 data@8+1"}},
        {"0xFF 0x02: two-byte key, length big-endian",
         cat({{0xFF, 0x02, K, K, 0x01, 0x00}, fill(256, E), S0}), 0,
         {"FIELD_LONG_KEY 0xff long@2+2 data@6+256 extended=1", "PUSH 0xc1 data@263+1"}},
        {"0xFF 0x03: three-byte key, empty", cat({{0xFF, 0x03, K, K, K, 0x00, 0x00}, S0}), 0,
         {"FIELD_LONG_KEY 0xff long@2+3 extended=1", "PUSH 0xc1 data@8+1"}},
        {"0xFF 0x04: four-byte key", cat({{0xFF, 0x04, K, K, K, K, 0x00, 0x01, E}, S0}), 0,
         {"FIELD_LONG_KEY 0xff long@2+4 data@8+1 extended=1", "PUSH 0xc1 data@10+1"}},
        {"0xFF 0x40: key 0", cat({{0xFF, 0x40, 0x00, 0x01, E}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0xff data@4+1 extended=1", "PUSH 0xc1 data@6+1"}},
        {"0xFF 0x41: length big-endian", cat({{0xFF, 0x41, 0x01, 0x00}, fill(256, E), S0}), 0,
         {"FIELD_SIMPLE_KEY 0xff simple=1 data@4+256 extended=1", "PUSH 0xc1 data@261+1"}},
        {"0xFF 0x80: key 64", cat({{0xFF, 0x80, 0x00, 0x01, E}, S0}), 0,
         {"FIELD_SIMPLE_KEY 0xff simple=64 data@4+1 extended=1", "PUSH 0xc1 data@6+1"}},
    };
}

TEST(BlockDecoderEarly, EveryCode) {
    for (const decode_case &c : early_cases()) check_case(0, c);
}

/* After the two good chunks P0, a chunk that does not fit: 9 when the
 * payload ends exactly where its length field begins, 7 otherwise. */
const bytes P0 = {0xC1, 0x5B, 0xC0};
const std::vector<std::string> P0_chunks = {"PUSH 0xc1 data@1+1", "POP 0xc0"};

TEST(BlockDecoderEarly, ChunkCutOffGives9OnlyAtItsLengthField) {
    struct cut {
        const char *name;
        bytes tail;
        int result;
        bytes after;
    };
    const std::vector<cut> cuts = {
        {"0x00 as last byte", {0x00}, 9, cat({{0x01, E}, S0})},
        {"0x00 data short", {0x00, 0x03, E, E}, 7, cat({{E}, S0})},
        {"0x01 as last byte: inside the key", {0x01}, 7, cat({{0x07, 0x00}, S0})},
        {"0x01 key, no length byte", {0x01, 0x07}, 9, cat({{0x00}, S0})},
        {"0x01 data short", {0x01, 0x07, 0x02, E}, 7, cat({{E}, S0})},
        {"0x01 0xFF at the end is a field, not the skip", {0x01, 0xFF}, 9,
         cat({{0x05}, fill(5, E), S0})},
        {"skip whose third byte is the last", {0x01, 0xFF, 0x05}, 7, cat({fill(5, E), S0})},
        {"skip with four of its five bytes", {0x01, 0xFF, 0x05, E, E, E, E}, 7, cat({{E}, S0})},
        {"0x04 key cut", {0x04, K, K}, 7, cat({{K, K, 0x00}, S0})},
        {"0x04 key whole, no length byte", {0x04, K, K, K, K}, 9, cat({{0x00}, S0})},
        {"0x04 data short", {0x04, K, K, K, K, 0x02, E}, 7, cat({{E}, S0})},
        {"0x41 without length byte", {0x41}, 9, cat({{0x01, E}, S0})},
        {"0x41 data short", {0x41, 0x05, E}, 7, cat({fill(4, E), S0})},
        {"0x83 data short", {0x83, E, E}, 7, cat({{E}, S0})},
        {"0xC2 key short", {0xC2, K}, 7, cat({{K}, S0})},
        {"0xFF as last byte", {0xFF}, 9, cat({{0x41, 0x00, 0x00}, S0})},
        {"0xFF 0x01 without its key", {0xFF, 0x01}, 7, cat({{0x07, 0x00, 0x00}, S0})},
        {"0xFF 0x01 key, no length", {0xFF, 0x01, 0x07}, 9, cat({{0x00, 0x00}, S0})},
        {"0xFF 0x01 with half its length", {0xFF, 0x01, 0x07, 0x00}, 7, cat({{0x00}, S0})},
        {"0xFF 0x01 data short", {0xFF, 0x01, 0x07, 0x00, 0x02, E}, 7, cat({{E}, S0})},
        {"0xFF 0x03 key cut", {0xFF, 0x03, K, K}, 7, cat({{K, 0x00, 0x00}, S0})},
        {"0xFF 0x03 key whole, no length", {0xFF, 0x03, K, K, K}, 9, cat({{0x00, 0x00}, S0})},
        {"0xFF 0x03 with half its length", {0xFF, 0x03, K, K, K, 0x00}, 7, cat({{0x00}, S0})},
        {"0xFF 0x41 without length", {0xFF, 0x41}, 9, cat({{0x00, 0x00}, S0})},
        {"0xFF 0x41 with half its length", {0xFF, 0x41, 0x00}, 7, cat({{0x00}, S0})},
        {"0xFF 0x41 data short", {0xFF, 0x41, 0x00, 0x02, E}, 7, cat({{E}, S0})},
        {"0xFF 0x41 one byte short of 256", cat({{0xFF, 0x41, 0x01, 0x00}, fill(255, E)}), 7,
         cat({{E}, S0})},
    };
    for (const cut &c : cuts) {
        check_case(0, {c.name, cat({P0, c.tail}), c.result, P0_chunks, c.after});
        check_case(0, {c.name, c.tail, c.result, {}, c.after});
    }
}

bool early_bad_escape(int form) {
    return form == 0x00 || (form >= 0x05 && form <= 0x3F) || form >= 0x81;
}

TEST(BlockDecoderEarly, BadEscapeGives7AndItsLineForTheDump) {
    int bad = 0;
    for (int form = 0; form < 256; ++form) {
        if (!early_bad_escape(form)) continue;
        ++bad;
        char line[32];
        snprintf(line, sizeof line, "Bad 0xFF chunk: %02x!\n", form);
        /* what follows would make a good chunk if the decoder went on */
        check_case(0, {"bad escape", cat({P0, {0xFF, uint8_t(form), 0x00, 0x00}, S0}),
                       QUARN_ERROR_BAD_BLOCK, P0_chunks, {}, "", line});
    }
    EXPECT_EQ(bad, 1 + 59 + 127);
}

/* ---- every prefix of a good payload ----------------------------------- */

/* Cutting a good payload anywhere keeps the chunks before the cut as they
 * were, never reads past the cut and prints nothing. */
void check_prefixes(int generation, const std::vector<decode_case> &cases,
                    std::initializer_list<int> results) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (const decode_case &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t n = 0; n < c.payload.size(); ++n) {
            SCOPED_TRACE("first " + std::to_string(n) + " bytes");
            block_under_test t(generation, bytes(c.payload.begin(), c.payload.begin() + n));
            const int result = process_block(&t.file, &t.block);
            EXPECT_NE(std::find(results.begin(), results.end(), result), results.end())
                << "result " << result;
            const std::vector<std::string> lines = t.chunk_list();
            if (lines.size() > c.chunks.size()) {
                ADD_FAILURE() << lines.size() << " chunks from a cut payload";
                continue;
            }
            EXPECT_TRUE(std::equal(lines.begin(), lines.end(), c.chunks.begin()));
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(BlockDecoderV7, EveryPrefixOfAGoodPayload) {
    check_prefixes(7, v7_cases(), {QUARN_OK, QUARN_ERROR_INCOMPLETE_CHUNK});
}

TEST(BlockDecoderEarly, EveryPrefixOfAGoodPayload) {
    check_prefixes(0, early_cases(),
                   {QUARN_OK, QUARN_ERROR_BAD_BLOCK, QUARN_ERROR_INCOMPLETE_CHUNK});
}

/* ---- decoding again ----------------------------------------------------- */

TEST(ProcessBlock, NoBlockGives7) {
    for (int generation : {0, 7}) {
        quarn_file_t file;
        file.generation = generation;
        EXPECT_EQ(process_block(&file, nullptr), QUARN_ERROR_BAD_BLOCK);
    }
}

TEST(ProcessBlock, BlockWithChunksIsTakenAsFirstDecoded) {
    struct state_case {
        const char *name;
        int generation;
        bytes payload;
        int first_result;
        std::vector<std::string> chunks;
        std::string out = {};
        std::string err = {};
    };
    const std::vector<state_case> cases = {
        {"good block", 7, cat({P7, S7}), 0, {"PUSH 0x20 data@1+1", "POP 0x3d", "PUSH 0x20 data@4+1"}},
        {"unknown code after two chunks", 7, cat({P7, {0x18}, S7}), 11, P7_chunks,
         " **** UNRECOGNIZED CODE 0x18 @ [3] *****\n", ""},
        {"cut-off chunk after two chunks", 7, cat({P7, {0x06, 0x01, 0x05, D}}), 9, P7_chunks},
        {"good early block", 0, cat({P0, S0}), 0, {"PUSH 0xc1 data@1+1", "POP 0xc0", "PUSH 0xc1 data@4+1"}},
        {"bad escape after two chunks", 0, cat({P0, {0xFF, 0x05}}), 7, P0_chunks, "",
         "Bad 0xFF chunk: 05!\n"},
        {"early cut-off after two chunks", 0, cat({P0, {0x41}}), 9, P0_chunks},
    };
    for (const state_case &c : cases) {
        SCOPED_TRACE(c.name);
        block_under_test t(c.generation, c.payload);
        EXPECT_EQ(t.decode(), c.first_result);
        EXPECT_EQ(t.chunk_list(), c.chunks);
        EXPECT_EQ(t.out, c.out);
        EXPECT_EQ(t.err, c.err);

        /* Decoded again, the block gives the same chunks, and a fault after
         * them is neither met nor reported again. */
        EXPECT_EQ(t.decode(), QUARN_OK);
        EXPECT_EQ(t.chunk_list(), c.chunks);
        EXPECT_EQ(t.out, "");
        EXPECT_EQ(t.err, "");
    }
}

TEST(ProcessBlock, BlockWithoutChunksIsDecodedAgainEveryTime) {
    const std::vector<decode_case> cases = {
        {"unknown first code", {0x18, 0x20, 0x5B}, 11, {}, {},
         " **** UNRECOGNIZED CODE 0x18 @ [0] *****\n"},
        {"cut-off first chunk", {0x06, 0x01, 0x05, D}, 9, {}},
        {"end marker first", {0x00, 0x00, 0x20, 0x5B}, 0, {}},
    };
    for (const decode_case &c : cases) {
        SCOPED_TRACE(c.name);
        block_under_test t(7, c.payload);
        for (int call = 1; call <= 2; ++call) {
            SCOPED_TRACE("call " + std::to_string(call));
            EXPECT_EQ(t.decode(), c.result);
            EXPECT_EQ(t.block.chunks, nullptr);
            EXPECT_TRUE(t.file.chunk_buffer.empty());
            EXPECT_EQ(t.out, c.out);
        }
    }
    block_under_test early(0, {0xFF, 0x05});
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE("early bad escape, call " + std::to_string(call));
        EXPECT_EQ(early.decode(), QUARN_ERROR_BAD_BLOCK);
        EXPECT_EQ(early.block.chunks, nullptr);
        EXPECT_EQ(early.err, "Bad 0xFF chunk: 05!\n");
    }
}

} // namespace
