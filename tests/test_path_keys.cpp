/*
 * Path keys: the number a key stands for by its size and the file's
 * generation, and the table-relative depth and matchers the readers use.
 */
#include <gtest/gtest.h>

#include "quarn.h"
#include "quarn_internal.h"
#include "writer.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using qw::Bytes;
using Key = std::optional<Bytes>; /* nullopt: an absent entry */

/* A chunk as the walk hands it over: generation, path level and the path
 * storage (16 entries at least, like the walk's), entries not given null. */
struct TestChunk {
    std::vector<Bytes> bytes;
    std::vector<quarn_span_t> spans;
    std::vector<quarn_span_t *> entries;
    quarn_chunk_t chunk{};

    TestChunk(int generation, const std::vector<Key> &keys, int level) {
        bytes.reserve(keys.size());
        spans.reserve(keys.size());
        entries.assign(std::max<size_t>(keys.size(), 16), nullptr);
        for (size_t i = 0; i < keys.size(); i++) {
            if (!keys[i]) continue;
            bytes.push_back(*keys[i]);
            spans.push_back(quarn_span_t{bytes.back().size(), bytes.back().data()});
            entries[i] = &spans.back();
        }
        chunk.type = QUARN_CHUNK_FIELD_SIMPLE_KEY;
        chunk.generation = uint8_t(generation);
        chunk.path_level = uint8_t(level);
        chunk.path = entries.data();
    }
    TestChunk(const TestChunk &) = delete;
    TestChunk &operator=(const TestChunk &) = delete;

    const quarn_chunk_t *operator->() const { return &chunk; }
    const quarn_chunk_t *get() const { return &chunk; }
};

std::string describe(const Key &key) {
    if (!key) return "absent";
    std::string text = std::to_string(key->size()) + " bytes:";
    char hex[4];
    for (uint8_t b : *key) {
        snprintf(hex, sizeof hex, " %02X", b);
        text += hex;
    }
    return text;
}

TEST(PathKeys, PathValueBySizeAndGeneration) {
    struct Case {
        Key key;
        int generation;
        uint64_t expected;
    };
    const Case cases[] = {
        {std::nullopt, 7, 0},
        {std::nullopt, 0, 0},
        {Bytes{}, 7, 0},
        {Bytes{}, 0, 0},
        {Bytes{0x05}, 7, 5},
        {Bytes{0x05}, 0, 5},
        {Bytes{0x00}, 12, 0},
        {Bytes{0x80}, 7, 128},
        {Bytes{0xFF}, 0, 255},
        {Bytes{0x00, 0x01}, 7, 129},
        {Bytes{0x80, 0x01}, 7, 129}, /* the top bit is no part of the value */
        {Bytes{0x00, 0x01}, 0, 129},
        {Bytes{0x00, 0x00}, 12, 128},
        {Bytes{0x7F, 0xFF}, 7, 32895},
        {Bytes{0xFF, 0xFF}, 0, 32895},
        {Bytes{0x01, 0x00}, 7, 384},
        {Bytes{0x00, 0x00, 0x01}, 7, 129},
        {Bytes{0x00, 0x00, 0x01}, 12, 129},
        {Bytes{0x00, 0x00, 0x01}, 0, 49153},
        {Bytes{0xAB, 0x00, 0x01}, 7, 129}, /* the first byte is not used */
        {Bytes{0x00, 0xFF, 0xFF}, 12, 65663},
        {Bytes{0xC1, 0x00, 0x00}, 0, 114688},
        {Bytes{0x00, 0x00, 0x00}, 0, 49152},
        {Bytes{0x3F, 0xFF, 0xFF}, 0, 4243455},
        {Bytes{0xFF, 0xFF, 0xFF}, 0, 4243455}, /* the top two bits are not used */
        {Bytes{0x00, 0x01, 0x00}, 0, 49408},
        {Bytes{0x00, 0x00, 0x00, 0x05}, 7, 0},
        {Bytes{0x00, 0x00, 0x00, 0x05}, 0, 0},
        {Bytes(8, 0x11), 7, 0},
        {Bytes(62, 0x11), 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(describe(c.key) + ", generation " + std::to_string(c.generation));
        TestChunk chunk(c.generation, {c.key}, 1);
        EXPECT_EQ(path_value(chunk.get(), chunk->path[0]), c.expected);
        EXPECT_EQ(path_is(chunk.get(), chunk->path[0], c.expected), 1);
        EXPECT_EQ(path_is(chunk.get(), chunk->path[0], c.expected + 1), 0);
        EXPECT_EQ(path_is(chunk.get(), chunk->path[0], UINT64_MAX), 0);
    }
}

TEST(PathKeys, WriterKeysDecodeToTheirNumber) {
    /* the writer's keys are what every other test builds paths from; the
     * path value reads generation-7 three-byte keys in the older form, which
     * legacy_key() writes, and two-byte keys the same in both forms */
    const uint64_t numbers[] = {0,     5,     127,   128,   255,   256,    16511,  16512,
                                32895, 32896, 49152, 65663, 65664, 2113663, 4243455};
    for (qw::Generation g : {qw::Generation::early, qw::Generation::v7, qw::Generation::v12}) {
        for (uint64_t n : numbers) {
            SCOPED_TRACE(std::string(qw::generation_label(g)) + ", n " + std::to_string(n));
            if (qw::legacy_key_exists(n, g)) {
                TestChunk chunk(int(g), {qw::legacy_key(n, g)}, 1);
                EXPECT_EQ(path_value(chunk.get(), chunk->path[0]), n);
            }
            if (qw::key_exists(n, g) && (!qw::is_v7(g) || n < 16512)) {
                TestChunk chunk(int(g), {qw::key(n, g)}, 1);
                EXPECT_EQ(path_value(chunk.get(), chunk->path[0]), n);
            }
        }
    }
    EXPECT_FALSE(qw::key_exists(40000, qw::Generation::early));
    EXPECT_FALSE(qw::legacy_key_exists(65664, qw::Generation::v7));
    EXPECT_TRUE(qw::key_exists(65664, qw::Generation::v7));
    EXPECT_FALSE(qw::key_exists(2113664, qw::Generation::v12));
}

TEST(PathKeys, WriterKeyBytes) {
    using qw::Generation;
    struct Case {
        uint64_t n;
        Generation generation;
        Key expected; /* nullopt: no key (throws) */
    };
    const Case cases[] = {
        /* generation 7 and later: the prefix form */
        {0, Generation::v12, Bytes{0x00}},
        {127, Generation::v12, Bytes{0x7F}},
        {128, Generation::v12, Bytes{0x80, 0x00}},
        {130, Generation::v7, Bytes{0x80, 0x02}},
        {200, Generation::v12, Bytes{0x80, 0x48}},
        {1000, Generation::v12, Bytes{0x83, 0x68}},
        {16511, Generation::v12, Bytes{0xBF, 0xFF}},
        {16512, Generation::v12, Bytes{0xC0, 0x00, 0x00}},
        {28931, Generation::v7, Bytes{0xC0, 0x30, 0x83}},
        {16512 + 0x100000 + 5, Generation::v12, Bytes{0xD0, 0x00, 0x05}},
        {2113663, Generation::v12, Bytes{0xDF, 0xFF, 0xFF}},
        {2113664, Generation::v12, std::nullopt},
        {2113664, Generation::v7, std::nullopt},
        /* earlier files: their own rule */
        {127, Generation::early, Bytes{0x7F}},
        {128, Generation::early, Bytes{0x80}},
        {255, Generation::early, Bytes{0xFF}},
        {256, Generation::early, Bytes{0x00, 0x80}},
        {16512, Generation::early, Bytes{0x40, 0x00}},
        {32895, Generation::early, Bytes{0x7F, 0xFF}},
        {32896, Generation::early, std::nullopt},
        {49151, Generation::early, std::nullopt},
        {49152, Generation::early, Bytes{0x00, 0x00, 0x00}},
        {4243455, Generation::early, Bytes{0x3F, 0xFF, 0xFF}},
        {4243456, Generation::early, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(qw::generation_label(c.generation)) + ", n " +
                     std::to_string(c.n));
        EXPECT_EQ(qw::key_exists(c.n, c.generation), c.expected.has_value());
        if (c.expected)
            EXPECT_EQ(qw::key(c.n, c.generation), *c.expected);
        else
            EXPECT_THROW(qw::key(c.n, c.generation), std::invalid_argument);
    }
    /* the older generation-7 form stays available */
    EXPECT_EQ(qw::legacy_key(200, Generation::v12), (Bytes{0xC8}));
    EXPECT_EQ(qw::legacy_key(16512, Generation::v12), (Bytes{0x40, 0x00}));
    EXPECT_EQ(qw::legacy_key(65663, Generation::v7), (Bytes{0x00, 0xFF, 0xFF}));
    EXPECT_THROW(qw::legacy_key(65664, Generation::v7), std::invalid_argument);
}

TEST(PathKeys, WriterPrefixFormRefs) {
    /* numeric refs of the K form carry the top bit: a 0x0E key without it
     * is a column, repetition pair */
    qw::Bytes out;
    qw::v7::field(out, 300, qw::Bytes{0x41, 0x42, 0x43});
    EXPECT_EQ(out, (Bytes{0x0E, 0x80, 0xAC, 0x03, 0x41, 0x42, 0x43}));
    out.clear();
    qw::v7::field_code(out, 0x09, 16511, qw::Bytes{0x01});
    EXPECT_EQ(out, (Bytes{0x09, 0xBF, 0xFF, 0x01}));
    out.clear();
    qw::v7::segment(out, 256, qw::Bytes{0x07});
    EXPECT_EQ(out, (Bytes{0x0F, 0x80, 0x80, 0x00, 0x01, 0x07}));
    out.clear();
    qw::v7::segment_code(out, 0x0F, 128, qw::Bytes{});
    EXPECT_EQ(out, (Bytes{0x0F, 0x80, 0x00, 0x00, 0x00}));
    EXPECT_THROW(qw::v7::field_code(out, 0x0E, 16512, qw::Bytes{}), std::invalid_argument);
    EXPECT_THROW(qw::v7::segment_code(out, 0x0F, 16512, qw::Bytes{}), std::invalid_argument);
}

TEST(PathKeys, TableDepth) {
    struct Case {
        int generation;
        int level;
        int expected;
    };
    const Case cases[] = {
        {7, 0, -1}, {7, 1, 0}, {12, 4, 3}, {7, 255, 254}, {0, 0, 0}, {0, 3, 3}, {0, 255, 255},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("generation " + std::to_string(c.generation) + ", level " +
                     std::to_string(c.level));
        TestChunk chunk(c.generation, {}, c.level);
        EXPECT_EQ(table_path_depth(chunk.get()), c.expected);
    }
}

struct MatchCase {
    const char *name;
    int generation;
    std::vector<Key> path;
    int level;
    bool two;  /* table_path_match_start2, else start1 */
    int depth;
    int value1;
    int value2; /* start2 only */
    int expected;
};

const Bytes k3 = {0x03}, k5 = {0x05}, k7 = {0x07}, t1 = {0x81};

const MatchCase kMatchCases[] = {
    /* the readers' shapes */
    {"v7 column definition", 7, {t1, k3, k5, k7}, 4, true, 3, 3, 5, 1},
    {"v12 column definition", 12, {t1, k3, k5, k7}, 4, true, 3, 3, 5, 1},
    {"v7 column definition, other second entry", 7, {t1, k3, k5, k7}, 4, true, 3, 3, 6, 0},
    {"v7 column definition, other first entry", 7, {t1, k3, k5, k7}, 4, true, 3, 4, 5, 0},
    {"v7 four entries are depth 3, not 2", 7, {t1, k3, k5, k7}, 4, true, 2, 3, 5, 0},
    {"v7 four entries are depth 3, not 4", 7, {t1, k3, k5, k7}, 4, true, 4, 3, 5, 0},
    {"v7 start1 on a definition path", 7, {t1, k3, k5, k7}, 4, false, 3, 3, 0, 1},
    {"v7 record value", 7, {t1, k5, k7}, 3, false, 2, 5, 0, 1},
    {"v7 long piece", 7, {t1, k5, k7, k3}, 4, false, 3, 5, 0, 1},
    {"early column definition", 0, {k3, k5, k7}, 3, true, 3, 3, 5, 1},
    {"early record value", 0, {k5, k7}, 2, false, 2, 5, 0, 1},
    {"early long piece", 0, {k5, k7, k3}, 3, false, 3, 5, 0, 1},
    {"early three entries are depth 3, not 2", 0, {k3, k5, k7}, 3, true, 2, 3, 5, 0},
    /* only the entries in force count, whatever lies above the level */
    {"v7 stale entry above the level", 7, {t1, k5, k7}, 2, false, 1, 5, 0, 1},
    {"v7 stale entry does not add depth", 7, {t1, k5, k7}, 2, false, 2, 5, 0, 0},

    /* entry 0 of a generation 7 path must be a table key, 128 or more */
    {"v7 entry 0 is 3", 7, {k3, k3, k5, k7}, 4, true, 3, 3, 5, 0},
    {"v7 entry 0 is 3, start1", 7, {k3, k3, k5, k7}, 4, false, 3, 3, 0, 0},
    {"v7 entry 0 is 0x7F", 7, {Bytes{0x7F}, k5, k7}, 3, false, 2, 5, 0, 0},
    {"v7 entry 0 is 0x80", 7, {Bytes{0x80}, k5, k7}, 3, false, 2, 5, 0, 1},
    {"v7 entry 0 is 0xFF", 7, {Bytes{0xFF}, k5, k7}, 3, false, 2, 5, 0, 1},
    {"v7 entry 0 of two bytes", 7, {Bytes{0x00, 0x00}, k5, k7}, 3, false, 2, 5, 0, 1},
    {"v7 entry 0 of three bytes", 7, {Bytes{0x00, 0x00, 0x00}, k5, k7}, 3, false, 2, 5, 0, 1},
    {"v7 entry 0 of four bytes", 7, {Bytes{0x00, 0x00, 0x00, 0x81}, k5, k7}, 3, false, 2, 5, 0, 0},
    {"v7 entry 0 of eight bytes", 7, {Bytes(8, 0x81), k5, k7}, 3, false, 2, 5, 0, 0},
    {"v7 entry 0 empty", 7, {Bytes{}, k5, k7}, 3, false, 2, 5, 0, 0},
    {"v7 entry 0 absent", 7, {std::nullopt, k5, k7}, 3, false, 2, 5, 0, 0},
    {"early entry 0 is not tested", 0, {Bytes{0x01}, k7}, 2, false, 2, 1, 0, 1},

    /* absent entries have the value 0 */
    {"v7 absent first entry", 7, {t1, std::nullopt}, 2, false, 1, 0, 0, 1},
    {"v7 absent first entry is not 5", 7, {t1, std::nullopt}, 2, false, 1, 5, 0, 0},
    {"v7 absent entries, start2", 7, {t1, std::nullopt, std::nullopt}, 3, true, 2, 0, 0, 1},
    {"early absent entries, start2", 0, {std::nullopt, std::nullopt}, 2, true, 2, 0, 0, 1},
    {"v7 empty first entry is 0", 7, {t1, Bytes{}}, 2, false, 1, 0, 0, 1},

    /* negative values never match */
    {"v7 negative value", 7, {t1, std::nullopt}, 2, false, 1, -1, 0, 0},
    {"early negative first value", 0, {std::nullopt, std::nullopt}, 2, true, 2, -1, 0, 0},
    {"early negative second value", 0, {std::nullopt, std::nullopt}, 2, true, 2, 0, -1, 0},
    {"early most negative value", 0, {k5, k7}, 2, false, 2, -2147483647 - 1, 0, 0},

    /* depths below 1 (start1) or 2 (start2) answer 0 */
    {"v7 start1 depth 0", 7, {t1}, 1, false, 0, 0, 0, 0},
    {"v7 start1 depth -1 at level 0", 7, {}, 0, false, -1, 0, 0, 0},
    {"v7 start2 depth -1 at level 0", 7, {}, 0, true, -1, 0, 0, 0},
    {"v7 start2 depth 1", 7, {t1, k5}, 2, true, 1, 5, 0, 0},
    {"early start1 depth 0", 0, {}, 0, false, 0, 0, 0, 0},
    {"early start2 depth 0", 0, {}, 0, true, 0, 0, 0, 0},
    {"early start2 depth 1", 0, {k5}, 1, true, 1, 5, 0, 0},
    {"v7 level 0 never matches depth 0", 7, {t1}, 0, false, 0, 0, 0, 0},
};

TEST(PathKeys, TableMatchers) {
    for (const MatchCase &c : kMatchCases) {
        SCOPED_TRACE(c.name);
        TestChunk chunk(c.generation, c.path, c.level);
        const int got = c.two ? table_path_match_start2(chunk.get(), c.depth, c.value1, c.value2)
                              : table_path_match_start1(chunk.get(), c.depth, c.value1);
        EXPECT_EQ(got, c.expected);
    }
}

TEST(PathKeys, MatchersOnLargeKeys) {
    /* a two-byte table key and record keys of every size */
    struct Case {
        const char *name;
        int generation;
        std::vector<Key> path;
        int value;
        int expected;
    };
    const Case cases[] = {
        {"v7 table 300, column 40000", 7,
         {qw::key(428, qw::Generation::v7), qw::key(3, qw::Generation::v7),
          qw::key(5, qw::Generation::v7), qw::key(40000, qw::Generation::v7)},
         3, 1},
        {"early column 60000", 0,
         {qw::key(3, qw::Generation::early), qw::key(5, qw::Generation::early),
          qw::key(60000, qw::Generation::early)},
         3, 1},
        {"v7 first entry 129 in three bytes", 7,
         {t1, Bytes{0x00, 0x00, 0x01}, k5, k7}, 129, 1},
        {"early first entry 49153 in three bytes", 0,
         {Bytes{0x00, 0x00, 0x01}, k5, k7}, 49153, 1},
        {"early first entry 49153 is not 129", 0,
         {Bytes{0x00, 0x00, 0x01}, k5, k7}, 129, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestChunk chunk(c.generation, c.path, int(c.path.size()));
        EXPECT_EQ(table_path_match_start1(chunk.get(), 3, c.value), c.expected);
    }
}

} // namespace
