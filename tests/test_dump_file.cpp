/*
 * test_dump_file.cpp: quarn_dump_file. Files are laid out byte for byte and
 * the whole text printed on standard output is compared with what the dump
 * must print: the header lines, each block's two lines, and one line per
 * chunk with the path line before the first chunk under a new path.
 */
#include <gtest/gtest.h>

#include "quarn.h"
#include "quarn.hpp"
#include "writer.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using qw::Bytes;
using qw::Generation;

struct DumpResult {
    quarn_error_t rc;
    std::string out;
    std::string err;
};

DumpResult dump(const Bytes &bytes) {
    quarn_error_t error = QUARN_OK;
    quarn::FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), &error));
    EXPECT_NE(file, nullptr) << "open failed with " << error;
    if (!file) return {error, "", ""};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const quarn_error_t rc = quarn_dump_file(file.get());
    fflush(stdout);
    fflush(stderr);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {rc, out, err};
}

qw::Sector block(int32_t prev, int32_t next, const Bytes &payload) {
    qw::Sector s;
    s.prev_id = prev;
    s.next_id = next;
    s.payload = payload;
    return s;
}

Bytes file_of(Generation g, std::vector<qw::Sector> blocks, const std::string &version = "") {
    qw::FileLayout layout;
    layout.header.generation = g;
    if (!version.empty()) layout.header.version = version;
    layout.blocks = std::move(blocks);
    return qw::build_file(layout);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) qw::append(all, p);
    return all;
}

/* ------------------------------------------------------------------ */
/* Whole dumps                                                         */
/* ------------------------------------------------------------------ */

/* A generation 7 block with prev 0, id 2 and next 3 whose payload begins
 * 0x20 0x03, 0x28 0x00 0x05, 0x01 0x07 0x2A, 0x3D, 0x3D, 0x00 0x00. */
TEST(DumpFile, WorkedExample) {
    const Bytes payload = {0x20, 0x03, 0x28, 0x00, 0x05, 0x01, 0x07, 0x2A, 0x3D, 0x3D, 0x00, 0x00};
    const std::string block2 =
        "== 0 -> [ BLOCK 2 ] -> 3 ==\n"
        "        [ Len: 4076 ]\n"
        "-- PUSH 0x20 [ 0x03  ] --\n"
        "-- PUSH 0x28 [ 0x00 0x05  ] --\n"
        "[3].[133].\n"
        "  -- field (0x01): [7] => [42] --\n"
        "-- POP 0x3D --\n"
        "-- POP 0x3D --\n";
    for (Generation g : {Generation::v7, Generation::v12}) {
        const std::string version = g == Generation::v7 ? "Pro 7.0" : "Pro 12.0";
        const std::string head = "Version: File Maker " + version + "\nReleased: 2020-01-01\n";
        {
            SCOPED_TRACE(version + ", block 3 present and empty");
            const DumpResult r =
                dump(file_of(g, {block(0, 3, payload), block(2, 0, {})}, version));
            EXPECT_EQ(r.rc, QUARN_OK);
            EXPECT_EQ(r.out, head + block2 +
                                 "== 2 -> [ BLOCK 3 ] -> 0 ==\n"
                                 "        [ Len: 4076 ]\n");
            EXPECT_EQ(r.err, "");
        }
        {
            SCOPED_TRACE(version + ", next id past the block count");
            const DumpResult r = dump(file_of(g, {block(0, 3, payload)}, version));
            EXPECT_EQ(r.rc, QUARN_OK);
            EXPECT_EQ(r.out, head + block2);
        }
    }
}

/* A small generation 7 file: level-0 chunks, path lines (once per path,
 * again after each push and pop), indentation, an empty key, long keys,
 * path entries longer than three bytes, segments, bare data without the
 * mask, an empty value, and blocks taken in chain order. */
TEST(DumpFile, SmallLaterFile) {
    const Bytes masked_key = qw::mask(Bytes{'k', 'e', 'y', 'n', 'a', 'm', 'e', '!'});
    const Bytes block2 = cat({
        {0x00, 0x41},                         /* bare data at level 0 */
        {0x20, 0x03},                         /* push 3 */
        {0x01, 0x05, 0x2A},                   /* field 5 = 42 */
        {0x06, 0x10, 0x03}, qw::mask({'a', 'b', 'c'}), /* field 16 = "abc" */
        {0x38, 0x00},                         /* push an empty key */
        {0x07, 0x03, 0x00, 0x04, 1, 2, 3, 4}, /* segment 3 */
        {0x40},                               /* pop */
        {0x09, 0x80, 0x01, 0x07},             /* field 129 = 7, under 3 again */
        {0x20, 0xFE}, masked_key,             /* push an eight-byte key */
        {0x16, 0xDA, 0x00, 0x05, 0x02}, qw::mask({'h', 'i'}), /* long key [133] */
        {0x1E, 0x05}, qw::mask({'a', 'b', 'c', 'd', 'e'}), {0x01, 0x07},
        {0x08, 0x41, 0x42},                   /* bare data, shown unmasked */
        {0x40, 0x40},
        {0x38, 0x04, 0x5A, 0x5A, 0x00, 0x07}, /* push a four-byte key */
        {0x28, 0x80, 0x01},                   /* push 129 */
        {0x01, 0x01, 0x00},
        {0x06, 0x09, 0x00},                   /* field 9, empty */
        {0x3D, 0x3D},
        {0x00, 0x00},
    });
    /* the chain runs 2 -> 4 -> 3 */
    const Bytes block4 = {0x01, 0x02, 0x03, 0x20, 0x05, 0x20, 0x81, 0x09, 0x00, 0x02, 0x5A, 0x40};
    const Bytes block3 = {0x00, 0x00};
    const DumpResult r = dump(
        file_of(Generation::v7, {block(0, 4, block2), block(4, 0, block3), block(2, 3, block4)}));
    EXPECT_EQ(r.rc, QUARN_OK);
    EXPECT_EQ(r.out,
              "Version: File Maker Pro 7.0\n"
              "Released: 2020-01-01\n"
              "== 0 -> [ BLOCK 2 ] -> 4 ==\n"
              "        [ Len: 4076 ]\n"
              "-- data simple (0x00): [65] --\n"
              "-- PUSH 0x20 [ 0x03  ] --\n"
              "[3].\n"
              " -- field (0x01): [5] => [42] --\n"
              " -- field (0x06): [16] => \"abc\" --\n"
              "-- PUSH 0x38 [  ] --\n"
              "[3].[0].\n"
              "  -- segment #3 (4 bytes) --\n"
              "-- POP 0x40 --\n"
              "[3].\n"
              " -- field (0x09): [129] => [7] --\n"
              "-- PUSH 0x20 [ 0x31 0x3F 0x23 0x34 0x3B 0x37 0x3F 0x7B  ] --\n"
              "[3].\"keyname!\".\n"
              "  -- field (0x16): [133] => \"hi\" --\n"
              "  -- field (0x1E): \"abcde\" => [7] --\n"
              "  -- data simple (0x08): \"AB\" --\n"
              "-- POP 0x40 --\n"
              "-- POP 0x40 --\n"
              "-- PUSH 0x38 [ 0x5A 0x5A 0x00 0x07  ] --\n"
              "-- PUSH 0x28 [ 0x80 0x01  ] --\n"
              "[1515847687].[129].\n"
              "  -- field (0x01): [1] => [0] --\n"
              "  -- field (0x06): [9] => \"\" --\n"
              "-- POP 0x3D --\n"
              "-- POP 0x3D --\n"
              "== 2 -> [ BLOCK 4 ] -> 3 ==\n"
              "        [ Len: 4076 ]\n"
              "-- field (0x01): [2] => [3] --\n"
              "-- PUSH 0x20 [ 0x05  ] --\n"
              "-- PUSH 0x20 [ 0x81  ] --\n"
              "[5].[129].\n"
              "  -- field (0x09): [130] => [90] --\n"
              "-- POP 0x40 --\n"
              "== 4 -> [ BLOCK 3 ] -> 0 ==\n"
              "        [ Len: 4076 ]\n");
    EXPECT_EQ(r.err, "");
}

/* A small earlier file: numbers and text by the size and first byte of the
 * value, early three-byte keys, 16-bit escapes marked EXTENDED, long keys
 * and a four-byte path entry. */
TEST(DumpFile, SmallEarlierFile) {
    const Bytes payload = cat({
        {0x83, 'x', 'y', 'z'},                         /* bare data at level 0 */
        {0xC1, 0x03},                                  /* push 3 */
        {0xC3, 0x00, 0x00, 0x01},                      /* push 49153 */
        {0x45, 0x02, 0x00, 0x10},                      /* field 5 */
        {0x41, 0x02, 0x80, 0x10},                      /* field 1 */
        {0x42, 0x02, 'A', 'B'},                        /* field 2 */
        {0x01, 0xC8, 0x03, 0x01, 0x02, 0x03},          /* field 200 */
        {0xFF, 0x41, 0x00, 0x01, 0x07},                /* field 1, 16-bit length */
        {0x02, 0x00, 0x10, 0x01, 0x2A},                /* long key 0x00 0x10 */
        {0xFF, 0x02, 0x80, 0x10, 0x00, 0x02, 'o', 'k'},/* long key, 16-bit length */
        {0xC0},                                        /* pop */
        {0xC4, 'A', 'B', 'C', 'D'},                    /* push a four-byte key */
        {0x40, 0x01, 0x00},                            /* field 0 */
        {0x00, 0x00},                                  /* field 0, empty */
        {0xC0, 0xC0},
    });
    const DumpResult r = dump(file_of(Generation::early, {block(0, 0, payload)}));
    EXPECT_EQ(r.rc, QUARN_OK);
    EXPECT_EQ(r.out,
              "Version: File Maker Pro 5.0\n"
              "Released: 2020-01-01\n"
              "== 0 -> [ BLOCK 2 ] -> 0 ==\n"
              "        [ Len: " + std::to_string(payload.size()) + " ]\n"
              "-- data simple (0x83): \"xyz\" --\n"
              "-- PUSH 0xC1 [ 0x03  ] --\n"
              "-- PUSH 0xC3 [ 0x00 0x00 0x01  ] --\n"
              "[3].[49153].\n"
              "  -- field (0x45): [5] => [16] --\n"
              "  -- field (0x41): [1] => [144] --\n"
              "  -- field (0x42): [2] => \"AB\" --\n"
              "  -- field (0x01): [200] => [66051] --\n"
              "  -- field (0xFF): [1] => [7] --\n"
              "   => EXTENDED <= \n"
              "  -- field (0x02): [16] => [42] --\n"
              "  -- field (0xFF): [144] => \"ok\" --\n"
              "   => EXTENDED <= \n"
              "-- POP 0xC0 --\n"
              "-- PUSH 0xC4 [ 0x41 0x42 0x43 0x44  ] --\n"
              "[3].\"ABCD\".\n"
              "  -- field (0x40): [0] => [0] --\n"
              "  -- field (0x00): [0] => \"\" --\n"
              "-- POP 0xC0 --\n"
              "-- POP 0xC0 --\n");
    EXPECT_EQ(r.err, "");
}

/* ------------------------------------------------------------------ */
/* Header lines                                                        */
/* ------------------------------------------------------------------ */

/* Files whose chain holds no block after the index block print the header
 * lines only. */
TEST(DumpFile, HeaderLines) {
    const struct {
        Generation generation;
        std::string date;
        std::string version;
        int version_length;
        std::string expected;
    } cases[] = {
        {Generation::v7, "01Jan20", "Pro 7.0", -1,
         "Version: File Maker Pro 7.0\nReleased: 2020-01-01\n"},
        {Generation::early, "31Dec99", "Pro 3.0", -1,
         "Version: File Maker Pro 3.0\nReleased: 1999-12-31\n"},
        {Generation::v12, "15Mar68", "Pro 12.0", -1,
         "Version: File Maker Pro 12.0\nReleased: 2068-03-15\n"},
        {Generation::v7, "15Mar69", "", 0, "Version: File Maker \nReleased: 1969-03-15\n"},
        {Generation::v7, "1Feb05", "ABCDEFGHIJKL", 12,
         "Version: File Maker ABCDEFGHI\nReleased: 2005-02-01\n"},
        {Generation::v7, "garbage", "Pro 7.0", -1, "Version: File Maker Pro 7.0\n"},
        {Generation::early, "01Foo20", "Pro 5.0", -1, "Version: File Maker Pro 5.0\n"},
        {Generation::v7, "32Jan20", "Pro 7.0", -1, "Version: File Maker Pro 7.0\n"},
        {Generation::v7, "", "Pro 7.0", -1, "Version: File Maker Pro 7.0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("date \"" + c.date + "\", version \"" + c.version + "\"");
        qw::FileLayout layout;
        layout.header.generation = c.generation;
        layout.header.date = c.date;
        layout.header.version = c.version;
        layout.header.version_length = c.version_length;
        const DumpResult r = dump(qw::build_file(layout));
        EXPECT_EQ(r.rc, QUARN_OK);
        EXPECT_EQ(r.out, c.expected);
    }
}

/* ------------------------------------------------------------------ */
/* Numbers or text                                                     */
/* ------------------------------------------------------------------ */

/* One chunk at level 0, so its line stands alone: no path line, no
 * indentation. Fields are tested with the text mask of their generation,
 * bare data without any. */
TEST(DumpFile, NumberOrText) {
    const struct {
        Generation generation;
        Bytes chunk;
        std::string line;
    } cases[] = {
        /* generation 7: bare data, not masked */
        {Generation::v7, {0x00, 0x41}, "-- data simple (0x00): [65] --"},
        {Generation::v7, {0x08, 0x41, 0x42}, "-- data simple (0x08): \"AB\" --"},
        {Generation::v7, {0x08, 0x1B, 0x18}, "-- data simple (0x08): [6936] --"},
        {Generation::v7, {0x08, 0x80, 0x10}, "-- data simple (0x08): [144] --"},
        {Generation::v7, {0x10, 0x01, 0x02, 0x03}, "-- data simple (0x10): [66051] --"},
        {Generation::v7, {0x11, 0x80, 0x00, 0x00, 0x01}, "-- data simple (0x11): [2147483649] --"},
        {Generation::v7, {0x12, 'h', 'e', 'l', 'l', 'o'}, "-- data simple (0x12): \"hello\" --"},
        /* generation 7: fields, the first byte tested after the mask */
        {Generation::v7, {0x01, 0x05, 0x41}, "-- field (0x01): [5] => [65] --"},
        {Generation::v7, {0x02, 0x05, 0x1B, 0x18}, "-- field (0x02): [5] => \"AB\" --"},
        {Generation::v7, {0x02, 0x05, 0x5A, 0x10}, "-- field (0x02): [5] => [23056] --"},
        {Generation::v7, {0x02, 0x05, 0xDA, 0x10}, "-- field (0x02): [5] => [23184] --"},
        {Generation::v7, {0x06, 0x05, 0x03, 0x1B, 0x18, 0x19}, "-- field (0x06): [5] => \"ABC\" --"},
        {Generation::v7, {0x06, 0x05, 0x03, 0xDA, 0x01, 0x02}, "-- field (0x06): [5] => [386] --"},
        {Generation::v7, {0x06, 0x05, 0x03, 0x5A, 0x01, 0x02}, "-- field (0x06): [5] => [5898498] --"},
        {Generation::v7, {0x03, 0x05, 0x5A, 0x5B, 0x00, 0x01}, "-- field (0x03): [5] => [1515913217] --"},
        {Generation::v7, {0x03, 0x05, 0xDA, 0x00, 0x00, 0x01}, "-- field (0x03): [5] => [3657433089] --"},
        {Generation::v7, {0x03, 0x05, 0x1B, 0x18, 0x19, 0x1E}, "-- field (0x03): [5] => \"ABCD\" --"},
        {Generation::v7, {0x06, 0x05, 0x05, 0x9E, 0x18, 0x19, 0x1E, 0x1F},
         "-- field (0x06): [5] => \"ÄBCDE\" --"},
        {Generation::v7, {0x06, 0x05, 0x00}, "-- field (0x06): [5] => \"\" --"},
        /* earlier files: no mask anywhere */
        {Generation::early, {0x81, 0x41}, "-- data simple (0x81): [65] --"},
        {Generation::early, {0x82, 0x00, 0x10}, "-- data simple (0x82): [16] --"},
        {Generation::early, {0x45, 0x01, 0x41}, "-- field (0x45): [5] => [65] --"},
        {Generation::early, {0x45, 0x02, 0x00, 0x10}, "-- field (0x45): [5] => [16] --"},
        {Generation::early, {0x45, 0x02, 0x80, 0x10}, "-- field (0x45): [5] => [144] --"},
        {Generation::early, {0x45, 0x02, 0x41, 0x42}, "-- field (0x45): [5] => \"AB\" --"},
        {Generation::early, {0x45, 0x02, 0x1F, 0x41}, "-- field (0x45): [5] => [8001] --"},
        {Generation::early, {0x45, 0x02, 0x20, 0x41}, "-- field (0x45): [5] => \"A\" --"},
        {Generation::early, {0x45, 0x04, 0x20, 0x20, 'h', 'i'}, "-- field (0x45): [5] => \"hi\" --"},
        {Generation::early, {0x45, 0x03, 0x01, 0x02, 0x03}, "-- field (0x45): [5] => [66051] --"},
        {Generation::early, {0x45, 0x03, 0xC1, 0x00, 0x00}, "-- field (0x45): [5] => [114688] --"},
        {Generation::early, {0x45, 0x03, 0x80, 0x00, 0x01}, "-- field (0x45): [5] => [49153] --"},
        {Generation::early, {0x45, 0x04, 0x00, 0x00, 0x01, 0x00}, "-- field (0x45): [5] => [256] --"},
        {Generation::early, {0x45, 0x04, 0x80, 0x00, 0x00, 0x01},
         "-- field (0x45): [5] => [2147483649] --"},
        {Generation::early, {0x45, 0x04, 'A', 'B', 'C', 'D'}, "-- field (0x45): [5] => \"ABCD\" --"},
        {Generation::early, {0x45, 0x05, 0x80, 'B', 'C', 'D', 'E'},
         "-- field (0x45): [5] => \"ÄBCDE\" --"},
        {Generation::early, {0x45, 0x05, 0x01, 'B', 'C', 'D', 'E'},
         "-- field (0x45): [5] => \"\x01" "BCDE\" --"},
        {Generation::early, {0x03, 0x01, 0x02, 0x03, 0x00}, "-- field (0x03): [66051] => \"\" --"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.chunk) + " in a " +
                     (c.generation == Generation::early ? "early" : "v7") + " file");
        Bytes payload = c.chunk;
        if (c.generation == Generation::v7) qw::append(payload, {0x00, 0x00});
        const DumpResult r = dump(file_of(c.generation, {block(0, 0, payload)}));
        EXPECT_EQ(r.rc, QUARN_OK);
        const std::string head = c.generation == Generation::early
                                     ? "Version: File Maker Pro 5.0\nReleased: 2020-01-01\n"
                                     : "Version: File Maker Pro 7.0\nReleased: 2020-01-01\n";
        const std::string len = c.generation == Generation::early
                                    ? std::to_string(payload.size())
                                    : std::string("4076");
        EXPECT_EQ(r.out, head + "== 0 -> [ BLOCK 2 ] -> 0 ==\n        [ Len: " + len + " ]\n" +
                             c.line + "\n");
    }
}

/* ------------------------------------------------------------------ */
/* Failures                                                            */
/* ------------------------------------------------------------------ */

/* A block that does not decode ends the dump before its header lines;
 * what was printed stays, with the decoder's own message. */
TEST(DumpFile, DecodingFailureKeepsTheOutputSoFar) {
    {
        SCOPED_TRACE("unknown code in block 3");
        const Bytes good = {0x20, 0x03, 0x01, 0x07, 0x2A, 0x40, 0x00, 0x00};
        const Bytes bad = {0x20, 0x03, 0x18};
        const DumpResult r = dump(file_of(Generation::v7, {block(0, 3, good), block(2, 0, bad)}));
        EXPECT_EQ(r.rc, QUARN_ERROR_UNRECOGNIZED_CODE);
        EXPECT_EQ(r.out,
                  "Version: File Maker Pro 7.0\n"
                  "Released: 2020-01-01\n"
                  "== 0 -> [ BLOCK 2 ] -> 3 ==\n"
                  "        [ Len: 4076 ]\n"
                  "-- PUSH 0x20 [ 0x03  ] --\n"
                  "[3].\n"
                  " -- field (0x01): [7] => [42] --\n"
                  "-- POP 0x40 --\n"
                  " **** UNRECOGNIZED CODE 0x18 @ [2] *****\n");
    }
    {
        SCOPED_TRACE("bad escape in block 3");
        const Bytes good = {0xC1, 0x03, 0x47, 0x01, 0x2A, 0xC0};
        const Bytes bad = {0xC1, 0x03, 0xFF, 0x05};
        const DumpResult r =
            dump(file_of(Generation::early, {block(0, 3, good), block(2, 0, bad)}));
        EXPECT_EQ(r.rc, QUARN_ERROR_BAD_BLOCK);
        EXPECT_EQ(r.out,
                  "Version: File Maker Pro 5.0\n"
                  "Released: 2020-01-01\n"
                  "== 0 -> [ BLOCK 2 ] -> 3 ==\n"
                  "        [ Len: 6 ]\n"
                  "-- PUSH 0xC1 [ 0x03  ] --\n"
                  "[3].\n"
                  " -- field (0x47): [7] => [42] --\n"
                  "-- POP 0xC0 --\n");
        EXPECT_EQ(r.err, "Bad 0xFF chunk: 05!\n");
    }
    {
        SCOPED_TRACE("chunk cut off in the first block");
        const DumpResult r = dump(file_of(Generation::early, {block(0, 0, {0x41})}));
        EXPECT_EQ(r.rc, QUARN_ERROR_INCOMPLETE_CHUNK);
        EXPECT_EQ(r.out, "Version: File Maker Pro 5.0\nReleased: 2020-01-01\n");
    }
}

/* Only the dump tells what stopped the decoding: every other query on the
 * same damaged block prints nothing on standard output or standard error
 * and reports the damage through its error number alone (the fault is the
 * block's first chunk, so every decoding meets it); a dump of the file
 * still ends with the line. */
TEST(DumpFile, OnlyTheDumpPrintsTheDecodersLines) {
    struct damage {
        const char *name;
        Generation generation;
        Bytes bad;
        quarn_error_t rc;
        std::string out, err;
    };
    const std::vector<damage> cases = {
        {"unknown code", Generation::v12, {0x18, 0x20, 0x81}, QUARN_ERROR_UNRECOGNIZED_CODE,
         " **** UNRECOGNIZED CODE 0x18 @ [0] *****\n", ""},
        {"bad escape", Generation::early, {0xFF, 0x05, 0xC1, 0x05}, QUARN_ERROR_BAD_BLOCK, "",
         "Bad 0xFF chunk: 05!\n"},
    };
    for (const damage &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = file_of(c.generation, {block(0, 0, c.bad)});
        quarn_error_t error = QUARN_OK;
        quarn::FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), &error));
        ASSERT_NE(file, nullptr);
        quarn_table_t table{};
        table.index = 1;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::vector<quarn_error_t> results(8, QUARN_OK);
        quarn_free_tables(quarn_list_tables(file.get(), &results[0]));
        quarn_free_fields(quarn_list_fields(file.get(), &table, &results[1]));
        quarn_free_columns(quarn_list_columns(file.get(), &table, &results[2]));
        results[3] = quarn_read_values(file.get(), &table, nullptr, nullptr);
        results[4] = quarn_read_records(file.get(), &table, nullptr, nullptr);
        results[5] = quarn_read_globals(file.get(), &table, nullptr, nullptr);
        results[6] = quarn_read_containers(file.get(), &table, nullptr, nullptr);
        uint64_t count = 0;
        results[7] = quarn_count_records(file.get(), &table, &count);
        fflush(stdout);
        fflush(stderr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        /* an earlier file's one table is named after the file, unread */
        if (c.generation == Generation::early) results[0] = c.rc;
        EXPECT_EQ(results, std::vector<quarn_error_t>(8, c.rc));

        const DumpResult r = dump(bytes);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_TRUE(r.out.size() >= c.out.size() && r.out.compare(r.out.size() - c.out.size(), c.out.size(), c.out) == 0)
            << r.out;
        EXPECT_EQ(r.err, c.err);
    }
}

} // namespace
