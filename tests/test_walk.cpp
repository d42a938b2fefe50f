/*
 * The block walk: chain order and its ends, what the handlers' answers do,
 * the path stack with its levels and growth, and the reuse of decoded chunk
 * lists across walks.
 */
#include <gtest/gtest.h>

#include "quarn.h"
#include "quarn_internal.h"
#include "writer.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using qw::Bytes;
using qw::Generation;

struct Closer {
    void operator()(quarn_file_t *file) const { quarn_close_file(file); }
};
using FilePtr = std::unique_ptr<quarn_file_t, Closer>;

/* One chunk as a handler saw it. */
struct Seen {
    int block = 0; /* id of the block being walked, from the block handler */
    uint8_t code = 0;
    quarn_chunk_type_t type = QUARN_CHUNK_PUSH;
    int level = 0;
    int generation = 0;
    std::vector<uint64_t> path; /* values of the entries in force */
    uint64_t key = 0;           /* a push chunk's key value */
    unsigned ref = 0;           /* ref_simple, or segment_index of a segment */
    Bytes data;                 /* a copy: the records go with the next block */
};

/* Walk context: records every block and chunk handed over, answering what
 * the test asks (by default: walk every block, continue every chunk). */
struct Walk {
    quarn_file_t *file = nullptr;
    int block = 0;
    std::vector<int> blocks;
    std::vector<Seen> chunks;
    std::function<int(const quarn_block_t &)> block_answer;
    std::function<int(quarn_chunk_t &, const Walk &)> chunk_answer;
};

int record_block(quarn_block_t *block, void *ctx) {
    Walk &walk = *static_cast<Walk *>(ctx);
    walk.block = block->this_id;
    walk.blocks.push_back(block->this_id);
    return walk.block_answer ? walk.block_answer(*block) : 1;
}

int record_chunk(quarn_chunk_t *chunk, void *ctx) {
    Walk &walk = *static_cast<Walk *>(ctx);
    Seen seen;
    seen.block = walk.block;
    seen.code = chunk->code;
    seen.type = chunk->type;
    seen.level = chunk->path_level;
    seen.generation = chunk->generation;
    seen.ref = chunk->type == QUARN_CHUNK_SEGMENT ? chunk->segment_index : chunk->ref_simple;
    seen.data.assign(chunk->data.start, chunk->data.start + chunk->data.size);
    if (chunk->type == QUARN_CHUNK_PUSH) seen.key = path_value(chunk, &chunk->data);
    for (int i = 0; i < chunk->path_level; i++) seen.path.push_back(path_value(chunk, chunk->path[i]));
    walk.chunks.push_back(seen);
    return walk.chunk_answer ? walk.chunk_answer(*chunk, walk) : QUARN_HANDLER_CONTINUE;
}

int run(Walk &walk, bool with_block_handler = true) {
    return process_blocks(walk.file, with_block_handler ? record_block : nullptr, record_chunk,
                          &walk);
}

/* A file whose blocks 2, 3, ... hold the given payloads and next ids (prev
 * ids are not read by the walk). */
FilePtr open_chain(Generation g, const std::vector<Bytes> &payloads,
                   const std::vector<int32_t> &next_ids, const Bytes &index_payload = {}) {
    qw::FileLayout layout;
    layout.header.generation = g;
    layout.index_payload = index_payload;
    for (size_t i = 0; i < payloads.size(); i++) {
        qw::Sector sector;
        sector.payload = payloads[i];
        sector.next_id = i < next_ids.size() ? next_ids[i] : 0;
        layout.blocks.push_back(sector);
    }
    const Bytes bytes = qw::build_file(layout);
    quarn_error_t error = QUARN_OK;
    FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), &error));
    EXPECT_NE(file, nullptr) << "open failed with " << error;
    return file;
}

/* Block payload of generation 7 naming its block: push [id], data, pop. */
Bytes tagged(int id) {
    Bytes out;
    qw::v7::push(out, qw::key(uint64_t(id), Generation::v7));
    qw::v7::data(out, {0x41, 0x42});
    qw::v7::pop(out);
    return out;
}

std::vector<Bytes> tagged_blocks(size_t n) {
    std::vector<Bytes> payloads;
    for (size_t i = 0; i < n; i++) payloads.push_back(tagged(int(i + 2)));
    return payloads;
}

/* The blocks whose chunks were handed over, in order, from their pushes. */
std::vector<int> pushed_tags(const Walk &walk) {
    std::vector<int> tags;
    for (const Seen &seen : walk.chunks)
        if (seen.type == QUARN_CHUNK_PUSH && seen.level == 0)
            tags.push_back(int(seen.key));
    return tags;
}

/* ---- chain order and its ends ---- */

TEST(Walk, FollowsNextIdsAndEnds) {
    struct Case {
        const char *name;
        std::vector<int32_t> next_ids; /* of blocks 2, 3, 4 */
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"id order", {3, 4, 0}, {2, 3, 4}},
        {"chain order, not id order", {4, 0, 3}, {2, 4, 3}},
        {"back to an earlier block", {3, 4, 3}, {2, 3, 4}},
        {"back to the first block", {4, 2, 3}, {2, 4, 3}},
        {"self link", {2, 4, 0}, {2}},
        {"next 0 leaves later blocks alone", {0, 4, 0}, {2}},
        {"negative next id", {3, -1, 0}, {2, 3}},
        {"most negative next id", {-2147483647 - 1, 0, 0}, {2}},
        {"next id above the count", {3, 5, 0}, {2, 3}},
        {"next id far above the count", {0x7FFFFFFF, 0, 0}, {2}},
        /* the index block says 4, the count: on to block 4 */
        {"next id 1 visits the index block", {1, 0, 0}, {2, 1, 4}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FilePtr file = open_chain(Generation::v7, tagged_blocks(3), c.next_ids, tagged(1));
        ASSERT_NE(file, nullptr);
        Walk walk;
        walk.file = file.get();
        EXPECT_EQ(run(walk), QUARN_OK);
        EXPECT_EQ(walk.blocks, c.expected);
        EXPECT_EQ(pushed_tags(walk), c.expected);
        for (int id = 1; id <= 4; id++) {
            const bool visited = std::find(c.expected.begin(), c.expected.end(), id) != c.expected.end();
            EXPECT_EQ(file->blocks[id - 1].this_id, visited ? id : 0) << "block " << id;
        }

        /* without a block handler the same chunks come, in the same order */
        Walk bare;
        bare.file = file.get();
        EXPECT_EQ(run(bare, false), QUARN_OK);
        EXPECT_EQ(pushed_tags(bare), c.expected);
        EXPECT_TRUE(bare.blocks.empty());
    }
}

TEST(Walk, OnlyTheIndexBlockVisitsNothing) {
    FilePtr file = open_chain(Generation::v7, {}, {}, tagged(1));
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->block_count, 1u);
    Walk walk;
    walk.file = file.get();
    EXPECT_EQ(run(walk), QUARN_OK);
    EXPECT_TRUE(walk.blocks.empty());
    EXPECT_TRUE(walk.chunks.empty());
}

/* ---- what the handlers' answers do ---- */

TEST(Walk, BlockHandlerZeroSkipsChunksButFollowsNext) {
    FilePtr file = open_chain(Generation::v7, tagged_blocks(3), {4, 0, 3});
    ASSERT_NE(file, nullptr);
    Walk walk;
    walk.file = file.get();
    walk.block_answer = [](const quarn_block_t &block) { return block.this_id == 4 ? 0 : 1; };
    EXPECT_EQ(run(walk), QUARN_OK);
    EXPECT_EQ(walk.blocks, (std::vector<int>{2, 4, 3}));
    EXPECT_EQ(pushed_tags(walk), (std::vector<int>{2, 3}));
}

TEST(Walk, StopSkipsTheRestOfTheBlockOnly) {
    FilePtr file = open_chain(Generation::v7, tagged_blocks(3), {3, 4, 0});
    ASSERT_NE(file, nullptr);

    /* stop at every block's first chunk: each block is still visited */
    Walk first;
    first.file = file.get();
    first.chunk_answer = [](quarn_chunk_t &, const Walk &) { return QUARN_HANDLER_STOP; };
    EXPECT_EQ(run(first), QUARN_OK);
    EXPECT_EQ(first.blocks, (std::vector<int>{2, 3, 4}));
    ASSERT_EQ(first.chunks.size(), 3u);
    for (const Seen &seen : first.chunks) EXPECT_EQ(seen.type, QUARN_CHUNK_PUSH);

    /* stop at block 3's data chunk: its pop is skipped, block 4 is whole */
    Walk middle;
    middle.file = file.get();
    middle.chunk_answer = [](quarn_chunk_t &chunk, const Walk &walk) {
        return walk.block == 3 && chunk.type == QUARN_CHUNK_DATA_SIMPLE ? QUARN_HANDLER_STOP
                                                                        : QUARN_HANDLER_CONTINUE;
    };
    EXPECT_EQ(run(middle), QUARN_OK);
    std::vector<std::pair<int, quarn_chunk_type_t>> seen;
    for (const Seen &s : middle.chunks) seen.emplace_back(s.block, s.type);
    const std::vector<std::pair<int, quarn_chunk_type_t>> expected = {
        {2, QUARN_CHUNK_PUSH}, {2, QUARN_CHUNK_DATA_SIMPLE}, {2, QUARN_CHUNK_POP},
        {3, QUARN_CHUNK_PUSH}, {3, QUARN_CHUNK_DATA_SIMPLE},
        {4, QUARN_CHUNK_PUSH}, {4, QUARN_CHUNK_DATA_SIMPLE}, {4, QUARN_CHUNK_POP}};
    EXPECT_EQ(seen, expected);
}

TEST(Walk, AbortEndsEverythingWith13) {
    FilePtr file = open_chain(Generation::v7, tagged_blocks(3), {3, 4, 0});
    ASSERT_NE(file, nullptr);
    Walk walk;
    walk.file = file.get();
    walk.chunk_answer = [](quarn_chunk_t &chunk, const Walk &w) {
        return w.block == 3 && chunk.type == QUARN_CHUNK_DATA_SIMPLE ? QUARN_HANDLER_ABORT
                                                                     : QUARN_HANDLER_CONTINUE;
    };
    EXPECT_EQ(run(walk), QUARN_ERROR_USER_ABORTED);
    EXPECT_EQ(walk.blocks, (std::vector<int>{2, 3}));
    ASSERT_EQ(walk.chunks.size(), 5u); /* block 2's three, block 3's push and data */
    EXPECT_EQ(walk.chunks.back().block, 3);
    EXPECT_EQ(walk.chunks.back().type, QUARN_CHUNK_DATA_SIMPLE);
}

TEST(Walk, OtherAnswersGoOnLikeContinue) {
    FilePtr file = open_chain(Generation::v7, tagged_blocks(2), {3, 0});
    ASSERT_NE(file, nullptr);
    for (int answer : {3, 7, 255, -1, -2}) {
        SCOPED_TRACE("answer " + std::to_string(answer));
        Walk walk;
        walk.file = file.get();
        walk.chunk_answer = [answer](quarn_chunk_t &, const Walk &) { return answer; };
        EXPECT_EQ(run(walk), QUARN_OK);
        EXPECT_EQ(walk.chunks.size(), 6u);

        /* the single step hands the answer back unchanged */
        Walk single;
        single.file = file.get();
        single.chunk_answer = walk.chunk_answer;
        ASSERT_EQ(process_block(file.get(), &file->blocks[1]), QUARN_OK);
        ASSERT_NE(file->blocks[1].chunks, nullptr);
        EXPECT_EQ(process_chunk(file.get(), file->blocks[1].chunks, record_chunk, &single), answer);
    }
}

TEST(Walk, ChunkChainWithoutChunksReturns0) {
    FilePtr file = open_chain(Generation::v7, tagged_blocks(1), {0});
    ASSERT_NE(file, nullptr);
    Walk walk;
    walk.file = file.get();
    EXPECT_EQ(process_chunk_chain(file.get(), nullptr, record_chunk, &walk), QUARN_OK);
    EXPECT_TRUE(walk.chunks.empty());
}

/* ---- the path stack ---- */

/* push A, push B, data, pop, pop, in the codes of each generation */
struct NestingCase {
    const char *name;
    Generation generation;
    Bytes payload;
    std::vector<uint8_t> codes;
};

std::vector<NestingCase> nesting_cases() {
    const Bytes a = {0x0A}, b = {0x00, 0x05}; /* values 10 and 133 */
    std::vector<NestingCase> cases;
    for (Generation g : {Generation::v7, Generation::v12}) {
        Bytes p;
        qw::v7::push(p, a);
        qw::v7::push(p, b);
        qw::v7::data(p, {0x41, 0x42});
        qw::v7::pop(p, 0x40);
        qw::v7::pop(p, 0x3D);
        cases.push_back({g == Generation::v7 ? "generation 7" : "generation 12", g, p,
                         {0x20, 0x28, 0x08, 0x40, 0x3D}});
    }
    Bytes p;
    qw::early::push(p, a);
    qw::early::push(p, b);
    qw::early::data(p, {0x41, 0x42});
    qw::early::pop(p);
    qw::early::pop(p);
    cases.push_back({"early", Generation::early, p, {0xC1, 0xC2, 0x82, 0xC0, 0xC0}});
    return cases;
}

TEST(WalkPath, LevelsOfNestedPushesAndPops) {
    using Path = std::vector<uint64_t>;
    for (const NestingCase &c : nesting_cases()) {
        SCOPED_TRACE(c.name);
        FilePtr file = open_chain(c.generation, {c.payload}, {0});
        ASSERT_NE(file, nullptr);
        Walk walk;
        walk.file = file.get();
        /* a push sees its own key in the storage at its level */
        walk.chunk_answer = [](quarn_chunk_t &chunk, const Walk &) {
            if (chunk.type == QUARN_CHUNK_PUSH) {
                const quarn_span_t *own = chunk.path[chunk.path_level];
                EXPECT_NE(own, nullptr);
                if (own) {
                    EXPECT_EQ(own->start, chunk.data.start);
                    EXPECT_EQ(own->size, chunk.data.size);
                }
            }
            return QUARN_HANDLER_CONTINUE;
        };
        ASSERT_EQ(run(walk), QUARN_OK);
        ASSERT_EQ(walk.chunks.size(), 5u);
        const int levels[] = {0, 1, 2, 2, 1};
        const Path paths[] = {{}, {10}, {10, 133}, {10, 133}, {10}};
        const quarn_chunk_type_t types[] = {QUARN_CHUNK_PUSH, QUARN_CHUNK_PUSH,
                                            QUARN_CHUNK_DATA_SIMPLE, QUARN_CHUNK_POP,
                                            QUARN_CHUNK_POP};
        for (size_t i = 0; i < 5; i++) {
            SCOPED_TRACE("chunk " + std::to_string(i));
            EXPECT_EQ(walk.chunks[i].code, c.codes[i]);
            EXPECT_EQ(walk.chunks[i].type, types[i]);
            EXPECT_EQ(walk.chunks[i].level, levels[i]);
            EXPECT_EQ(walk.chunks[i].path, paths[i]);
            EXPECT_EQ(walk.chunks[i].generation, int(c.generation));
        }
        EXPECT_EQ(file->path_depth, 0u);
    }
}

TEST(WalkPath, PopAtTheRootStaysAtTheRoot) {
    Bytes p;
    qw::v7::pop(p);
    qw::v7::pop(p, 0x3D);
    qw::v7::push(p, {0x07});
    qw::v7::data(p, {0x41, 0x42});
    FilePtr file = open_chain(Generation::v7, {p}, {0});
    ASSERT_NE(file, nullptr);
    Walk walk;
    walk.file = file.get();
    ASSERT_EQ(run(walk), QUARN_OK);
    ASSERT_EQ(walk.chunks.size(), 4u);
    EXPECT_EQ(walk.chunks[0].level, 0);
    EXPECT_EQ(walk.chunks[1].level, 0);
    EXPECT_EQ(walk.chunks[2].level, 0);
    EXPECT_EQ(walk.chunks[3].level, 1);
    EXPECT_EQ(walk.chunks[3].path, std::vector<uint64_t>{7});
}

TEST(WalkPath, EveryBlockStartsAtTheRootOverStaleEntries) {
    Bytes first, second;
    for (uint8_t k : {0x11, 0x12, 0x13}) qw::v7::push(first, {k}); /* left open */
    qw::v7::data(second, {0x41, 0x42});
    qw::v7::push(second, {0x21});
    qw::v7::data(second, {0x41, 0x42});
    FilePtr file = open_chain(Generation::v7, {first, second}, {3, 0});
    ASSERT_NE(file, nullptr);

    std::vector<std::vector<uint64_t>> storage; /* entries 0..2 at each chunk */
    Walk walk;
    walk.file = file.get();
    walk.chunk_answer = [&storage](quarn_chunk_t &chunk, const Walk &) {
        std::vector<uint64_t> entries;
        for (int i = 0; i < 3; i++) entries.push_back(path_value(&chunk, chunk.path[i]));
        storage.push_back(entries);
        return QUARN_HANDLER_CONTINUE;
    };
    ASSERT_EQ(run(walk), QUARN_OK);
    ASSERT_EQ(walk.chunks.size(), 6u);
    EXPECT_EQ(walk.chunks[3].block, 3);
    EXPECT_EQ(walk.chunks[3].level, 0);
    EXPECT_EQ(storage[3], (std::vector<uint64_t>{0x11, 0x12, 0x13}));
    EXPECT_EQ(walk.chunks[4].level, 0); /* the push over entry 0 */
    EXPECT_EQ(storage[4], (std::vector<uint64_t>{0x21, 0x12, 0x13}));
    EXPECT_EQ(walk.chunks[5].level, 1);
    EXPECT_EQ(walk.chunks[5].path, std::vector<uint64_t>{0x21});
}

/* Keys of every size a push can carry outlive the block that pushed them:
 * block 3's first chunk reads the key block 2 left at position 0 (the last
 * of its two outer keys) and the one under it at position 1, though block
 * 3's sector has taken the place of block 2's. A walk for a key above
 * block 2's passes block 2 over once it has learnt it, and leaves the same
 * key bytes at position 0 from what it learnt. */
TEST(WalkPath, StaleKeysOfEverySizeOutliveTheirBlock) {
    struct Case {
        const char *name;
        Bytes key;
    };
    const Case cases[] = {
        {"one byte", {0x05}},
        {"two bytes", {0x00, 0x01}},
        {"three bytes", {0x00, 0x00, 0x02}},
        {"eight bytes", {1, 2, 3, 4, 5, 6, 7, 8}},
        {"200 bytes", Bytes(200, 0x41)},
        {"255 bytes", Bytes(255, 0x7E)},
        {"empty", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes under = {0x33, 0x44, 0x55};
        Bytes second, third;
        qw::v7::push(second, {0x01}); /* a first outer key before the last */
        qw::v7::pop(second);
        qw::v7::push(second, c.key);
        qw::v7::field(second, 1, {0x41});
        qw::v7::push(second, under);
        qw::v7::field(second, 2, {0x42});
        qw::v7::pop(second); /* the key under it stays in the storage */
        qw::v7::filler(second, 40);
        qw::v7::field(third, 3, {0x43}); /* at the root: reads the stale entries */
        qw::v7::push(third, {0x90});
        qw::v7::field(third, 4, Bytes(250, 0x99));
        FilePtr file = open_chain(Generation::v7, {second, third}, {3, 0});
        ASSERT_NE(file, nullptr);

        struct Stale {
            int seen = 0;
            Bytes entry0, entry1;
        };
        auto first_of_third = [](quarn_chunk_t *chunk, void *ctx) -> int {
            auto &stale = *static_cast<Stale *>(ctx);
            if (chunk->type == QUARN_CHUNK_FIELD_SIMPLE_KEY && chunk->ref_simple == 3) {
                stale.seen++;
                const quarn_span_t *e0 = chunk->path[0], *e1 = chunk->path[1];
                if (e0) stale.entry0.assign(e0->start, e0->start + e0->size);
                if (e1) stale.entry1.assign(e1->start, e1->start + e1->size);
            }
            /* a table walk for key 0x90: keys below it are passed over */
            return path_value(chunk, chunk->path[0]) > 0x90 ? QUARN_HANDLER_STOP
                                                            : QUARN_HANDLER_CONTINUE;
        };
        for (int walk = 0; walk < 3; walk++) {
            /* the first walk meets block 2 unlearnt, the others pass it over */
            SCOPED_TRACE(walk == 0 ? "table walk, cold" : walk == 1 ? "whole walk" : "table walk, warm");
            Stale stale;
            const int rc = walk == 1 ? process_blocks(file.get(), nullptr, first_of_third, &stale)
                                     : process_table_blocks(file.get(), 0x90, first_of_third, &stale);
            ASSERT_EQ(rc, QUARN_OK);
            ASSERT_EQ(stale.seen, 1);
            EXPECT_EQ(stale.entry0, c.key);
            EXPECT_EQ(stale.entry1, under);
        }
    }
}

TEST(WalkPath, StorageDoublesAndKeepsItsEntries) {
    Bytes p;
    for (int k = 1; k <= 40; k++) qw::v7::push(p, {uint8_t(k)});
    qw::v7::data(p, {0x41, 0x42});
    FilePtr file = open_chain(Generation::v7, {p}, {0});
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->path_entries.size(), 16u);

    struct Step {
        size_t capacity;
        bool storage_is_current;
        bool entries_intact;
    };
    std::vector<Step> steps;
    Walk walk;
    walk.file = file.get();
    walk.chunk_answer = [&steps](quarn_chunk_t &chunk, const Walk &w) {
        const int in_storage = chunk.path_level + (chunk.type == QUARN_CHUNK_PUSH ? 1 : 0);
        bool intact = true;
        for (int i = 0; i < in_storage; i++)
            intact = intact && path_value(&chunk, chunk.path[i]) == uint64_t(i + 1);
        steps.push_back({w.file->path_entries.size(), chunk.path == w.file->path_entries.data(),
                         intact});
        return QUARN_HANDLER_CONTINUE;
    };
    ASSERT_EQ(run(walk), QUARN_OK);
    ASSERT_EQ(steps.size(), 41u);
    for (size_t i = 0; i < steps.size(); i++) {
        SCOPED_TRACE("chunk " + std::to_string(i));
        /* the push at level 16 finds 16 entries full, the one at 32 finds 32 */
        const size_t expected = i < 16 ? 16 : i < 32 ? 32 : 64;
        EXPECT_EQ(steps[i].capacity, expected);
        EXPECT_TRUE(steps[i].storage_is_current);
        EXPECT_TRUE(steps[i].entries_intact);
    }
    EXPECT_EQ(walk.chunks.back().level, 40);

    /* the capacity stays for the next walk */
    Walk again;
    again.file = file.get();
    ASSERT_EQ(run(again), QUARN_OK);
    EXPECT_EQ(file->path_entries.size(), 64u);
    EXPECT_EQ(again.chunks.back().path, walk.chunks.back().path);
}

TEST(WalkPath, DepthAbove255IsShownAs255) {
    constexpr int kDepth = 300;
    Bytes p;
    for (int k = 0; k < kDepth; k++) qw::v7::push(p, {uint8_t(k % 100 + 1)});
    qw::v7::data(p, {0x41, 0x42});
    for (int k = 0; k < kDepth; k++) qw::v7::pop(p);
    qw::v7::data(p, {0x43, 0x44});
    FilePtr file = open_chain(Generation::v7, {p}, {0});
    ASSERT_NE(file, nullptr);
    Walk walk;
    walk.file = file.get();
    ASSERT_EQ(run(walk), QUARN_OK);
    ASSERT_EQ(walk.chunks.size(), size_t(2 * kDepth + 2));
    for (int k = 0; k < kDepth; k++) ASSERT_EQ(walk.chunks[k].level, std::min(k, 255)) << "push " << k;
    const Seen &deep = walk.chunks[kDepth];
    EXPECT_EQ(deep.level, 255);
    ASSERT_EQ(deep.path.size(), 255u);
    EXPECT_EQ(deep.path[254], uint64_t(254 % 100 + 1));
    /* the true depth is kept: the pops take it back to the root exactly */
    for (int k = 0; k < kDepth; k++)
        ASSERT_EQ(walk.chunks[kDepth + 1 + k].level, std::min(kDepth - k, 255)) << "pop " << k;
    EXPECT_EQ(walk.chunks.back().level, 0);
    EXPECT_EQ(file->path_entries.size(), 512u);
}

/* ---- decoded chunk lists across walks ---- */

TEST(WalkChunks, EveryWalkSeesTheSameChunks) {
    /* block 3 yields no chunk: its payload starts with the end marker */
    FilePtr file = open_chain(Generation::v7, {tagged(2), {}, tagged(4)}, {3, 4, 0});
    ASSERT_NE(file, nullptr);
    auto same = [](const Walk &a, const Walk &b) {
        ASSERT_EQ(a.blocks, b.blocks);
        ASSERT_EQ(a.chunks.size(), b.chunks.size());
        for (size_t i = 0; i < a.chunks.size(); i++) {
            SCOPED_TRACE("chunk " + std::to_string(i));
            EXPECT_EQ(a.chunks[i].block, b.chunks[i].block);
            EXPECT_EQ(a.chunks[i].code, b.chunks[i].code);
            EXPECT_EQ(a.chunks[i].type, b.chunks[i].type);
            EXPECT_EQ(a.chunks[i].level, b.chunks[i].level);
            EXPECT_EQ(a.chunks[i].key, b.chunks[i].key);
            EXPECT_EQ(a.chunks[i].path, b.chunks[i].path);
        }
    };
    Walk first;
    first.file = file.get();
    ASSERT_EQ(run(first), QUARN_OK);
    EXPECT_EQ(first.blocks, (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(file->blocks[2].chunks, nullptr);

    Walk second;
    second.file = file.get();
    ASSERT_EQ(run(second), QUARN_OK);
    same(first, second);

    /* a dropped list is decoded again at the next visit, to the same chunks */
    free_chunk_chain(&file->blocks[1]);
    EXPECT_EQ(file->blocks[1].chunks, nullptr);
    Walk third;
    third.file = file.get();
    ASSERT_EQ(run(third), QUARN_OK);
    same(first, third);
}

/* Only one block's records are held at a time, whatever the file's size. */
TEST(WalkChunks, RecordsOfOneBlockAtATime) {
    FilePtr file = open_chain(Generation::v7, {tagged(2), tagged(3), tagged(4)}, {3, 4, 0});
    ASSERT_NE(file, nullptr);
    Walk walk;
    walk.file = file.get();
    ASSERT_EQ(run(walk), QUARN_OK);
    EXPECT_EQ(file->blocks[1].chunks, nullptr);
    EXPECT_EQ(file->blocks[2].chunks, nullptr);
    ASSERT_NE(file->blocks[3].chunks, nullptr);
    EXPECT_EQ(file->blocks[3].chunks, file->chunk_buffer.data());
}

TEST(WalkChunks, DecodingErrorEndsTheWalkBeforeTheBlock) {
    struct Case {
        const char *name;
        Generation generation;
        Bytes bad;         /* block 3: two good chunks, then the fault */
        Bytes bad_at_once; /* the fault as the first chunk */
        int error;
    };
    std::vector<Case> cases;
    {
        Bytes good;
        qw::v7::push(good, {0x03});
        qw::v7::data(good, {0x41, 0x42});
        Bytes bad = good;
        bad.push_back(0x18); /* no such code */
        cases.push_back({"unknown code", Generation::v7, bad, {0x18}, QUARN_ERROR_UNRECOGNIZED_CODE});
        /* a chunk cut off by the payload's end: the payload fills the area */
        Bytes cut = good;
        qw::v7::filler(cut, 4074 - cut.size());
        cut.push_back(0x23);
        cut.push_back(0x05);
        Bytes cut_at_once(4074, 0x80);
        cut_at_once.push_back(0x23);
        cut_at_once.push_back(0x05);
        cases.push_back({"chunk cut off", Generation::v7, cut, cut_at_once,
                         QUARN_ERROR_INCOMPLETE_CHUNK});
    }
    {
        Bytes good;
        qw::early::push(good, {0x03});
        qw::early::data(good, {0x41, 0x42});
        Bytes bad = good;
        bad.push_back(0xFF);
        bad.push_back(0x05); /* no such escape */
        cases.push_back({"early bad escape", Generation::early, bad, {0xFF, 0x05},
                         QUARN_ERROR_BAD_BLOCK});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto payload = [&](int id) {
            Bytes p;
            if (qw::is_v7(c.generation)) {
                qw::v7::push(p, {uint8_t(id)});
                qw::v7::pop(p);
            } else {
                qw::early::push(p, {uint8_t(id)});
                qw::early::pop(p);
            }
            return p;
        };

        /* after the chunks before the fault, the block has a list */
        FilePtr file = open_chain(c.generation, {payload(2), c.bad, payload(4)}, {3, 4, 0});
        ASSERT_NE(file, nullptr);
        Walk failing;
        failing.file = file.get();
        EXPECT_EQ(run(failing), c.error);
        EXPECT_EQ(failing.blocks, std::vector<int>{2});
        ASSERT_EQ(failing.chunks.size(), 2u);
        EXPECT_EQ(failing.chunks[1].block, 2);

        Walk next;
        next.file = file.get();
        EXPECT_EQ(run(next), QUARN_OK);
        EXPECT_EQ(next.blocks, (std::vector<int>{2, 3, 4}));
        EXPECT_EQ(next.chunks.size(), 6u); /* 2 + the 2 kept from block 3 + 2 */

        /* a fault in the first chunk leaves no list: every walk fails again */
        FilePtr again = open_chain(c.generation, {payload(2), c.bad_at_once, payload(4)}, {3, 4, 0});
        ASSERT_NE(again, nullptr);
        for (int round = 0; round < 2; round++) {
            SCOPED_TRACE("round " + std::to_string(round));
            Walk w;
            w.file = again.get();
            EXPECT_EQ(run(w), c.error);
            EXPECT_EQ(w.blocks, std::vector<int>{2});
            EXPECT_EQ(again->blocks[2].chunks, nullptr);
        }
    }
}

/* ---- whole databases from the writer ---- */

/* A field or segment with the values of the path it lies under. */
struct Content {
    std::vector<uint64_t> path;
    quarn_chunk_type_t type;
    unsigned ref;
    Bytes data;
    bool operator==(const Content &) const = default;
};

std::vector<Content> contents(const Walk &walk) {
    std::vector<Content> out;
    for (const Seen &seen : walk.chunks) {
        if (seen.type == QUARN_CHUNK_PUSH || seen.type == QUARN_CHUNK_POP) continue;
        out.push_back({seen.path, seen.type, seen.ref, seen.data});
    }
    return out;
}

qw::Database sample_database(Generation g) {
    qw::Database db;
    db.header.generation = g;
    qw::Table table;
    table.name = "Things";
    table.columns = {{"Name"}, {"Note"}, {"Long"}};
    for (int r = 0; r < 30; r++)
        table.records.push_back(
            {0, {{1, "name " + std::to_string(r)}, {3, std::string(300, char('a' + r % 26)), true, 40}}});
    db.tables.push_back(table);
    if (qw::is_v7(g)) {
        table.name = "Others";
        table.number = 5;
        db.tables.push_back(table);
    }
    return db;
}

TEST(WalkDatabase, ContentKeepsItsPathAcrossManyShuffledBlocks) {
    for (Generation g : {Generation::v7, Generation::early}) {
        SCOPED_TRACE("generation " + std::to_string(int(g)));
        qw::Database whole = sample_database(g);
        qw::Database cut = whole;
        cut.payload_limit = 64;
        cut.shuffle_blocks = true;

        /* chunk pointers die with their file: keep copies of the contents */
        uint64_t whole_count = 0;
        std::vector<Content> expected;
        {
            const Bytes bytes = qw::build_database(whole);
            FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), nullptr));
            ASSERT_NE(file, nullptr);
            Walk walk;
            walk.file = file.get();
            ASSERT_EQ(run(walk), QUARN_OK);
            whole_count = file->block_count;
            expected = contents(walk);
        }
        const Bytes cut_bytes = qw::build_database(cut);
        FilePtr file(quarn_open_buffer(cut_bytes.data(), cut_bytes.size(), nullptr));
        ASSERT_NE(file, nullptr);
        Walk in_cut;
        in_cut.file = file.get();
        ASSERT_EQ(run(in_cut), QUARN_OK);

        ASSERT_GT(file->block_count, 4 * whole_count);
        /* every block is on the chain, which runs out of id order */
        ASSERT_EQ(in_cut.blocks.size(), file->block_count - 1);
        std::vector<int> sorted = in_cut.blocks;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_NE(sorted, in_cut.blocks);
        /* each block starts by pushing the path again from the root */
        int block = 0;
        for (const Seen &seen : in_cut.chunks) {
            if (seen.block == block) continue;
            block = seen.block;
            EXPECT_EQ(seen.type, QUARN_CHUNK_PUSH) << "block " << block;
            EXPECT_EQ(seen.level, 0) << "block " << block;
        }
        EXPECT_EQ(contents(in_cut), expected);
        EXPECT_FALSE(expected.empty());

        /* streamed to a file, the database is the same bytes */
        std::FILE *stream = std::tmpfile();
        ASSERT_NE(stream, nullptr);
        qw::write_database(cut, stream);
        Bytes streamed(cut_bytes.size() + 1);
        std::rewind(stream);
        streamed.resize(std::fread(streamed.data(), 1, streamed.size(), stream));
        std::fclose(stream);
        EXPECT_EQ(streamed, cut_bytes);
    }
}

/* A field or segment of a laid-out file as the readers meet it: the values
 * of its path, its numeric ref (ref_simple, or the segment's number) and,
 * instead, the stored bytes of a two-byte or byte-string key. */
struct Laid {
    std::vector<uint64_t> path;
    quarn_chunk_type_t type;
    unsigned ref;
    Bytes key;
    Bytes data;
    bool operator==(const Laid &) const = default;
};

void PrintTo(const Laid &l, std::ostream *os) {
    *os << "{path";
    for (uint64_t v : l.path) *os << " " << v;
    *os << ", type " << int(l.type) << ", ref " << l.ref << ", key " << ::testing::PrintToString(l.key)
        << ", " << l.data.size() << " bytes " << ::testing::PrintToString(l.data) << "}";
}

int lay_chunk(quarn_chunk_t *chunk, void *ctx) {
    if (chunk->type == QUARN_CHUNK_PUSH || chunk->type == QUARN_CHUNK_POP) return QUARN_HANDLER_CONTINUE;
    Laid laid{{}, chunk->type, 0, {}, Bytes(chunk->data.start, chunk->data.start + chunk->data.size)};
    for (int i = 0; i < chunk->path_level; i++) laid.path.push_back(path_value(chunk, chunk->path[i]));
    const quarn_span_t two = chunk_key_bytes(chunk);
    if (chunk->type == QUARN_CHUNK_SEGMENT)
        laid.ref = chunk->segment_index;
    else if (chunk->type == QUARN_CHUNK_FIELD_LONG_KEY)
        laid.key.assign(chunk->ref_long.start, chunk->ref_long.start + chunk->ref_long.size);
    else if (two.size != 0)
        laid.key.assign(two.start, two.start + two.size);
    else
        laid.ref = chunk->ref_simple;
    static_cast<std::vector<Laid> *>(ctx)->push_back(std::move(laid));
    return QUARN_HANDLER_CONTINUE;
}

std::vector<Laid> laid_out(const Bytes &bytes) {
    std::vector<Laid> laid;
    FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), nullptr));
    EXPECT_NE(file, nullptr);
    if (file) {
        EXPECT_EQ(process_blocks(file.get(), nullptr, lay_chunk, &laid), QUARN_OK);
    }
    return laid;
}

/* Names in long form and global values, with a record after them: table 3
 * (key value 131) of a generation 7 or 12 file, the one table of an earlier
 * file. */
qw::Database long_forms_database(Generation g) {
    const bool v7 = qw::is_v7(g);
    qw::Database db;
    db.header.generation = g;
    qw::Table table;
    table.number = 3;
    if (v7) {
        table.name = "顧客";
        table.long_name = true;
        table.columns = {{"名前"}, {"Short"}, {std::string(300, 'n')}};
        table.columns[0].long_name = true;
        table.columns[2].long_name = true;
    } else {
        table.columns = {{"Name"}, {"Short"}, {"Third"}};
    }
    qw::Value long_global{2, "ab"};
    for (int i = 0; i < 1000; i++) long_global.text += v7 ? "日" : "é";
    long_global.long_value = true;
    qw::Value repeated{3, "two"};
    repeated.repetition = 2;
    qw::Value reference{4};
    reference.container = Bytes{0x02};
    table.globals = {{1, "Quark"}, long_global, repeated, reference};
    table.records = {{0, {{1, "a"}}}};
    db.tables.push_back(table);
    return db;
}

Bytes cut(const Bytes &bytes, size_t from, size_t n) {
    return Bytes(bytes.begin() + long(from), bytes.begin() + long(std::min(bytes.size(), from + n)));
}

std::vector<Laid> expected_long_forms(Generation g) {
    const auto text = [g](const std::string &utf8) { return qw::stored_text(utf8, g); };
    const quarn_chunk_type_t F = QUARN_CHUNK_FIELD_SIMPLE_KEY, S = QUARN_CHUNK_SEGMENT;
    const quarn_chunk_type_t L = QUARN_CHUNK_FIELD_LONG_KEY;
    if (!qw::is_v7(g)) {
        std::string long_text = "ab";
        for (int i = 0; i < 1000; i++) long_text += "é";
        const Bytes stored = text(long_text); /* 1,002 bytes: pieces of 250 */
        std::vector<Laid> out = {
            {{3, 5, 1}, F, 1, {}, text("Name")},  {{3, 5, 1}, F, 2, {}, {0, 0, 0, 0}},
            {{3, 5, 2}, F, 1, {}, text("Short")}, {{3, 5, 2}, F, 2, {}, {0, 0, 0, 0}},
            {{3, 5, 3}, F, 1, {}, text("Third")}, {{3, 5, 3}, F, 2, {}, {0, 0, 0, 0}},
            {{3, 8}, F, 1, {}, text("Quark")},
        };
        for (unsigned piece = 0; piece < 5; piece++)
            out.push_back({{3, 8, 2}, F, piece + 1, {}, cut(stored, piece * 250, 250)});
        out.push_back({{3, 8}, L, 0, {3, 2}, text("two")});
        out.push_back({{3, 8}, F, 4, {}, {0x01, 0x02}});
        out.push_back({{5, 1}, F, 1, {}, text("a")});
        return out;
    }
    std::string long_text = "ab";
    for (int i = 0; i < 1000; i++) long_text += "日";
    const Bytes stored = text(long_text); /* 2 + SCU + 2,000 bytes */
    std::vector<Laid> out = {
        /* 顧客: 5 bytes, 2 characters */
        {{3, 16, 5, 131, 16}, F, 0, {}, {0, 0, 0, 5, 0, 0, 0, 2}},
        {{3, 16, 5, 131, 16}, F, 1, {}, text("顧客")},
        {{131, 3, 5, 1, 16}, F, 0, {}, {0, 0, 0, 5, 0, 0, 0, 2}},
        {{131, 3, 5, 1, 16}, F, 1, {}, text("名前")},
        {{131, 3, 5, 2}, F, 16, {}, text("Short")},
        /* over 255 bytes: a segment, not a field */
        {{131, 3, 5, 3, 16}, F, 0, {}, {0, 0, 1, 0x2C, 0, 0, 1, 0x2C}},
        {{131, 3, 5, 3, 16}, S, 1, {}, text(std::string(300, 'n'))},
        {{131, 8}, F, 1, {}, text("Quark")},
        /* 2,003 bytes, 1,002 characters */
        {{131, 8, 2}, F, 0, {}, {0, 0, 0x07, 0xD3, 0, 0, 0x03, 0xEA}},
        {{131, 8, 2}, S, 1, {}, cut(stored, 0, 1000)},
        {{131, 8, 2}, S, 2, {}, cut(stored, 1000, 1000)},
        {{131, 8, 2}, S, 3, {}, cut(stored, 2000, 1000)},
        {{131, 8}, F, 0, {3, 2}, text("two")},
        {{131, 8, 4}, F, 0, {}, {0, 0, 0, 5, 0, 0, 0, 3}},
        {{131, 8, 4}, F, 1, {}, text("02")},
        {{131, 5, 1}, F, 1, {}, text("a")},
    };
    return out;
}

TEST(WalkDatabase, LongNamesAndGlobalsLieWhereTheFormatHasThem) {
    for (Generation g : {Generation::v7, Generation::v12, Generation::early}) {
        SCOPED_TRACE(qw::generation_label(g));
        const qw::Database whole = long_forms_database(g);
        const std::vector<Laid> expected = expected_long_forms(g);
        const Bytes whole_bytes = qw::build_database(whole);
        EXPECT_EQ(laid_out(whole_bytes), expected);

        /* cut over more blocks (the largest chunk still fits one) in a
         * shuffled chain, streamed or not, the content stays the same */
        qw::Database many = whole;
        many.payload_limit = qw::is_v7(g) ? 1100 : 300;
        many.shuffle_blocks = true;
        const Bytes many_bytes = qw::build_database(many);
        EXPECT_GE(many_bytes.size(), whole_bytes.size() + 2 * qw::sector_size(g));
        EXPECT_EQ(laid_out(many_bytes), expected);
        std::FILE *stream = std::tmpfile();
        ASSERT_NE(stream, nullptr);
        qw::write_database(many, stream);
        Bytes streamed(many_bytes.size() + 1);
        std::rewind(stream);
        streamed.resize(std::fread(streamed.data(), 1, streamed.size(), stream));
        std::fclose(stream);
        EXPECT_EQ(streamed, many_bytes);
    }
}

TEST(WalkDatabase, EarlierFilesHaveNoLongNames) {
    qw::Database db = long_forms_database(Generation::early);
    db.tables[0].long_name = true;
    EXPECT_THROW(qw::build_database(db), std::invalid_argument);
    db.tables[0].long_name = false;
    db.tables[0].columns[1].long_name = true;
    EXPECT_THROW(qw::build_database(db), std::invalid_argument);
    db.tables[0].columns[1].long_name = false;
    EXPECT_NO_THROW(qw::build_database(db));
}

} // namespace

/* ---- walks for one outermost key ---- */

namespace table_walk {

/* A query that looks at one outermost key, as the catalogues and the value
 * reader do: passes lower keys over, ends a block at a higher one, and
 * records everything it sees under its own. */
struct KeyWalk {
    uint64_t key = 0;
    int block = 0;
    std::vector<Seen> seen;
};

int key_block(quarn_block_t *block, void *ctx) {
    static_cast<KeyWalk *>(ctx)->block = block->this_id;
    return 1;
}

int key_chunk(quarn_chunk_t *chunk, void *ctx) {
    auto &walk = *static_cast<KeyWalk *>(ctx);
    const uint64_t k = path_value(chunk, chunk->path[0]);
    if (k > walk.key) return QUARN_HANDLER_STOP;
    if (k < walk.key) return QUARN_HANDLER_CONTINUE;
    Seen seen;
    seen.code = chunk->code;
    seen.type = chunk->type;
    seen.level = chunk->path_level;
    for (int i = 0; i < chunk->path_level; i++) seen.path.push_back(path_value(chunk, chunk->path[i]));
    seen.data.assign(chunk->data.start, chunk->data.start + chunk->data.size);
    walk.seen.push_back(seen);
    return QUARN_HANDLER_CONTINUE;
}

bool same(const std::vector<Seen> &a, const std::vector<Seen> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].code != b[i].code || a[i].level != b[i].level || a[i].path != b[i].path ||
            a[i].data != b[i].data)
            return false;
    return true;
}

} // namespace table_walk

/* Passing blocks over for one key must change nothing a query can see:
 * blocks of several keys, blocks that start below their first push (their
 * first chunks read the key an earlier block left at position 0), a block
 * that failed part way, in a chain out of id order; every key from 0 to
 * past the highest, walked cold and then again with what the first walk
 * learnt. */
TEST(WalkForKey, SeesWhatTheWholeWalkSees) {
    using namespace qw::v7;
    auto block_of = [](std::initializer_list<uint8_t> keys) {
        Bytes p;
        for (uint8_t k : keys) {
            push(p, {k});
            field(p, 16, {k, 0x41});
            push(p, {0x05});
            field(p, 1, {k});
            pop(p);
            pop(p);
        }
        return p;
    };
    Bytes lead_in;               /* chunks before any push: they read a stale key */
    field(lead_in, 7, {0x77});
    pop(lead_in);
    qw::append(lead_in, block_of({0x83}));
    Bytes partial = block_of({0x84, 0x85});
    partial.push_back(0x18);     /* fails after its chunks */
    const std::vector<Bytes> payloads = {
        block_of({0x03}), block_of({0x81}), block_of({0x81, 0x82}), lead_in,
        block_of({0x83, 0x83}), partial, block_of({0x86}), lead_in, block_of({0x80})};
    const std::vector<int32_t> next = {4, 5, 3, 6, 7, 8, 9, 10, 0}; /* 2 4 3 5 6 7 8 9 10 */

    FilePtr reference_file = open_chain(Generation::v7, payloads, next);
    FilePtr file = open_chain(Generation::v7, payloads, next);
    ASSERT_NE(file, nullptr);
    ASSERT_NE(reference_file, nullptr);
    testing::internal::CaptureStdout(); /* the failing block's message */
    {
        table_walk::KeyWalk first;
        first.key = 0x81;
        EXPECT_EQ(process_table_blocks(file.get(), 0x81, table_walk::key_chunk, &first),
                  QUARN_ERROR_UNRECOGNIZED_CODE);
        EXPECT_EQ(process_blocks(reference_file.get(), nullptr, table_walk::key_chunk, &first),
                  QUARN_ERROR_UNRECOGNIZED_CODE);
    }
    testing::internal::GetCapturedStdout();

    for (int round = 0; round < 2; round++) {
        for (uint64_t key = 0; key <= 0x90; key++) {
            SCOPED_TRACE("round " + std::to_string(round) + ", key " + std::to_string(key));
            table_walk::KeyWalk expected, got;
            expected.key = got.key = key;
            ASSERT_EQ(process_blocks(reference_file.get(), table_walk::key_block,
                                     table_walk::key_chunk, &expected),
                      QUARN_OK);
            ASSERT_EQ(process_table_blocks(file.get(), int64_t(key), table_walk::key_chunk, &got),
                      QUARN_OK);
            EXPECT_TRUE(table_walk::same(expected.seen, got.seen))
                << expected.seen.size() << " chunks walked whole, " << got.seen.size()
                << " for the key";
            if (key == 0x83) {
                /* the lead-in's field reads 0x83, left by the block before */
                EXPECT_GE(got.seen.size(), 2u);
            }
        }
    }
}
