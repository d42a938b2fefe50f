/*
 * Reading blocks again: the open keeps no payload, and each walk reads the
 * sectors of the blocks it comes to. Opened by path and from a buffer, the
 * queries and the dump give the same results; the caller's buffer is not
 * used after the open; a file that shrinks, or whose sectors no longer hold
 * the ids and lengths the open found, makes the walk that meets them end
 * with 2, and reads as before once it is put back; blocks a table walk
 * already knows to pass over are not read at all.
 */
#include <gtest/gtest.h>

#include "quarn.h"
#include "quarn_internal.h"
#include "writer.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using qw::Bytes;
using qw::Generation;

struct Closer {
    void operator()(quarn_file_t *file) const { quarn_close_file(file); }
};
using FilePtr = std::unique_ptr<quarn_file_t, Closer>;

struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = testing::TempDir() + "quarn_again_XXXXXX";
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        path = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

/* One value as quarn_read_values handed it over. */
struct Delivered {
    int row;
    int column;
    std::string text;
    bool operator==(const Delivered &) const = default;
};

void PrintTo(const Delivered &d, std::ostream *os) {
    *os << "{" << d.row << ", " << d.column << ", \"" << d.text << "\"}";
}

int collect(int row, const quarn_column_t *column, const char *value, void *ctx) {
    static_cast<std::vector<Delivered> *>(ctx)->push_back({row, column->index, value});
    return QUARN_HANDLER_CONTINUE;
}

/* What every query and the dump give for a file. */
struct Results {
    int tables_error = -1;
    std::vector<std::string> tables;
    std::vector<int> columns_errors;
    std::vector<std::vector<std::string>> columns;
    std::vector<int> values_errors;
    std::vector<std::vector<Delivered>> values;
    int dump_error = -1;
    std::string dump;
    bool operator==(const Results &) const = default;
};

Results read_all(quarn_file_t *file) {
    Results r;
    quarn_error_t error = QUARN_OK;
    quarn_table_array_t *tables = quarn_list_tables(file, &error);
    r.tables_error = error;
    for (uint64_t t = 0; tables && t < tables->count; t++) {
        const quarn_table_t *table = &tables->tables[t];
        r.tables.push_back(table->name);
        quarn_column_array_t *columns = quarn_list_columns(file, table, &error);
        r.columns_errors.push_back(error);
        std::vector<std::string> names;
        for (uint64_t c = 0; columns && c < columns->count; c++)
            names.push_back(columns->columns[c].name);
        quarn_free_columns(columns);
        r.columns.push_back(names);
        std::vector<Delivered> values;
        r.values_errors.push_back(quarn_read_values(file, table, collect, &values));
        r.values.push_back(values);
    }
    quarn_free_tables(tables);
    testing::internal::CaptureStdout();
    r.dump_error = quarn_dump_file(file);
    r.dump = testing::internal::GetCapturedStdout();
    return r;
}

/* Two tables of 40 records (one table in earlier files), spread over many
 * small blocks in id order: the second table's blocks come last. */
qw::Database sample(Generation g) {
    qw::Database db;
    db.header.generation = g;
    db.payload_limit = 160;
    for (int t = 0; t < (qw::is_v7(g) ? 2 : 1); t++) {
        qw::Table table;
        table.name = t == 0 ? "First" : "Second";
        table.columns = {{"Name"}, {"Note"}};
        for (int r = 0; r < 40; r++)
            table.records.push_back({0, {{1, "t" + std::to_string(t) + " name " + std::to_string(r)},
                                         {2, std::string(30 + r, char('a' + r % 26))}}});
        db.tables.push_back(table);
    }
    return db;
}

/* The values of the sample's table t as the reader must give them. */
std::vector<Delivered> sample_values(const qw::Database &db, size_t t) {
    std::vector<Delivered> out;
    int row = 0;
    for (const qw::Record &record : db.tables[t].records) {
        row++;
        for (const qw::Value &value : record.values) out.push_back({row, value.column, value.text});
    }
    return out;
}

/* Offset in the file of the sector of block id. */
size_t sector_at(Generation g, int id) {
    return qw::header_area_size(g) + size_t(id - 1) * qw::sector_size(g);
}

void put32(Bytes &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++) bytes[at + i] = uint8_t(value >> (24 - 8 * i));
}

const Generation kGenerations[] = {Generation::early, Generation::v7, Generation::v12};

/* What the queries give for bytes opened by path (so that an earlier file's
 * table is named "db", as in the other tests' files). */
Results read_by_path(const Bytes &bytes) {
    TempDir dir;
    const std::string path = dir.path + "/db.fmp12";
    qw::write_file(path, bytes);
    FilePtr file(quarn_open_file(path.c_str(), nullptr));
    EXPECT_NE(file, nullptr);
    return file ? read_all(file.get()) : Results{};
}

std::string name_of(Generation g) { return "generation " + std::to_string(int(g)); }

/* Shuffled, the chain jumps back and forth over the sectors, in and out of
 * what a walk has read ahead. */
TEST(ReadAgain, ByPathAndFromABufferTheSameResults) {
    for (Generation g : kGenerations) for (bool shuffled : {false, true}) {
        SCOPED_TRACE(name_of(g) + (shuffled ? ", shuffled chain" : ", chain in id order"));
        qw::Database db = sample(g);
        db.shuffle_blocks = shuffled;
        const Bytes bytes = qw::build_database(db);
        TempDir dir;
        const std::string path = dir.path + "/db.fmp12";
        qw::write_file(path, bytes);

        FilePtr by_path(quarn_open_file(path.c_str(), nullptr));
        FilePtr from_buffer(quarn_open_buffer(bytes.data(), bytes.size(), nullptr));
        ASSERT_NE(by_path, nullptr);
        ASSERT_NE(from_buffer, nullptr);
        ASSERT_GT(by_path->block_count, 20u);
        /* the open kept no payload: by path nothing at all, from a buffer
         * its own copy of the sectors */
        EXPECT_EQ(by_path->image, nullptr);
        EXPECT_NE(from_buffer->image, nullptr);
        for (const quarn_block_t &block : by_path->blocks) ASSERT_EQ(block.payload, nullptr);

        const Results a = read_all(by_path.get());
        Results b = read_all(from_buffer.get());
        if (!qw::is_v7(g)) {
            /* the one table of an earlier file is named after the file */
            EXPECT_EQ(a.tables, std::vector<std::string>{"db"});
            EXPECT_EQ(b.tables, std::vector<std::string>{""});
            b.tables = a.tables;
        }
        EXPECT_EQ(a, b);
        EXPECT_EQ(a.tables_error, QUARN_OK);
        EXPECT_EQ(a.dump_error, QUARN_OK);
        ASSERT_EQ(a.values.size(), db.tables.size());
        for (size_t t = 0; t < db.tables.size(); t++) {
            EXPECT_EQ(a.values_errors[t], QUARN_OK);
            EXPECT_EQ(a.columns[t], (std::vector<std::string>{"Name", "Note"}));
            EXPECT_EQ(a.values[t], sample_values(db, t)) << "table " << t;
        }

        /* after the walks one block holds a payload: the one read last */
        size_t with_payload = 0;
        for (const quarn_block_t &block : by_path->blocks) with_payload += block.payload != nullptr;
        EXPECT_EQ(with_payload, 1u);
    }
}

TEST(ReadAgain, TheCallersBufferIsNotUsedAfterTheOpen) {
    for (Generation g : kGenerations) {
        SCOPED_TRACE(name_of(g));
        const qw::Database db = sample(g);
        const Bytes bytes = qw::build_database(db);
        FilePtr reference(quarn_open_buffer(bytes.data(), bytes.size(), nullptr));
        ASSERT_NE(reference, nullptr);
        const Results expected = read_all(reference.get());

        /* a buffer of its own, overwritten and freed once the open is done:
         * under the address sanitizer any later use of it is reported */
        auto *buffer = static_cast<uint8_t *>(malloc(bytes.size()));
        ASSERT_NE(buffer, nullptr);
        std::copy(bytes.begin(), bytes.end(), buffer);
        FilePtr file(quarn_open_buffer(buffer, bytes.size(), nullptr));
        std::fill(buffer, buffer + bytes.size(), 0xFF);
        free(buffer);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(read_all(file.get()), expected);
    }
}

/* ---- a file changed after the open ---- */

struct ChangeCase {
    const char *name;
    /* the file's new bytes, from the old ones and the generation */
    std::function<Bytes(const Bytes &, Generation)> change;
    bool early_only = false;
    int expected; /* of the walks that reach the changed sectors */
};

std::vector<ChangeCase> change_cases() {
    std::vector<ChangeCase> cases;
    cases.push_back({"cut to the header area",
                     [](const Bytes &b, Generation g) {
                         return Bytes(b.begin(), b.begin() + qw::header_area_size(g));
                     },
                     false, QUARN_ERROR_READ});
    cases.push_back({"emptied", [](const Bytes &, Generation) { return Bytes{}; }, false,
                     QUARN_ERROR_READ});
    cases.push_back({"last sector short by one byte",
                     [](const Bytes &b, Generation) { return Bytes(b.begin(), b.end() - 1); }, false,
                     QUARN_ERROR_READ});
    cases.push_back({"block 2's sector half cut off",
                     [](const Bytes &b, Generation g) {
                         return Bytes(b.begin(), b.begin() + sector_at(g, 2) + qw::sector_size(g) / 2);
                     },
                     false, QUARN_ERROR_READ});
    cases.push_back({"block 5 gets another next id",
                     [](const Bytes &b, Generation g) {
                         Bytes out = b;
                         put32(out, sector_at(g, 5) + (qw::is_v7(g) ? 8 : 6), 4);
                         return out;
                     },
                     false, QUARN_ERROR_READ});
    cases.push_back({"block 5 gets another prev id",
                     [](const Bytes &b, Generation g) {
                         Bytes out = b;
                         put32(out, sector_at(g, 5) + (qw::is_v7(g) ? 4 : 2), 77);
                         return out;
                     },
                     false, QUARN_ERROR_READ});
    cases.push_back({"block 5 stores another payload length",
                     [](const Bytes &b, Generation g) {
                         Bytes out = b;
                         out[sector_at(g, 5) + 13] ^= 0x01;
                         return out;
                     },
                     true, QUARN_ERROR_READ});
    cases.push_back({"block 5 stores a payload length beyond the room",
                     [](const Bytes &b, Generation g) {
                         Bytes out = b;
                         out[sector_at(g, 5) + 12] = 0xFF;
                         return out;
                     },
                     true, QUARN_ERROR_READ});
    cases.push_back({"the index block gets another count",
                     [](const Bytes &b, Generation g) {
                         Bytes out = b;
                         put32(out, sector_at(g, 1) + (qw::is_v7(g) ? 8 : 6), 3);
                         return out;
                     },
                     false, QUARN_OK /* the walk starts at block 2 and never reads it */});
    cases.push_back({"bytes after the last sector",
                     [](const Bytes &b, Generation) {
                         Bytes out = b;
                         out.resize(b.size() + 100, 0x00);
                         return out;
                     },
                     false, QUARN_OK});
    return cases;
}

/* A walk that meets a changed sector ends with 2, having handed out only
 * what came before it; a walk that never reads it gives what it gave
 * before. The dump reads every block of the chain. So do the column and
 * value walks of an earlier file, and the catalogue walk of a later file
 * on a handle that has learnt nothing yet (cold); after a whole read, the
 * catalogue walk and the walks of a table whose blocks are not the changed
 * ones pass over those blocks unread. */
void expect_walks_meet_the_change(const Results &changed, const Results &expected, Generation g,
                                  bool cold) {
    EXPECT_EQ(changed.dump_error, QUARN_ERROR_READ);
    if (!qw::is_v7(g)) {
        EXPECT_EQ(changed.tables_error, QUARN_OK);
        EXPECT_EQ(changed.tables, expected.tables);
        EXPECT_EQ(changed.columns_errors, std::vector<int>{QUARN_ERROR_READ});
        EXPECT_EQ(changed.values_errors, std::vector<int>{QUARN_ERROR_READ});
    }
    if (qw::is_v7(g) && cold) {
        EXPECT_EQ(changed.tables_error, QUARN_ERROR_READ);
    }
    if (changed.tables_error != QUARN_OK) {
        EXPECT_EQ(changed.tables_error, QUARN_ERROR_READ);
        EXPECT_TRUE(changed.tables.empty());
        return;
    }
    ASSERT_EQ(changed.tables, expected.tables);
    size_t failed = 0;
    for (size_t t = 0; t < changed.tables.size(); t++) {
        SCOPED_TRACE("table " + std::to_string(t + 1));
        if (changed.columns_errors[t] == QUARN_OK) {
            EXPECT_EQ(changed.columns[t], expected.columns[t]);
        } else {
            EXPECT_EQ(changed.columns_errors[t], QUARN_ERROR_READ);
            failed++;
        }
        const std::vector<Delivered> &got = changed.values[t], &all = expected.values[t];
        if (changed.values_errors[t] == QUARN_OK) {
            EXPECT_EQ(got, all);
        } else {
            EXPECT_EQ(changed.values_errors[t], QUARN_ERROR_READ);
            ASSERT_LE(got.size(), all.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));
            failed++;
        }
    }
    EXPECT_GT(failed, 0u) << "no query met the changed sectors";
}

TEST(ReadAgain, FileChangedAfterTheOpen) {
    for (Generation g : kGenerations) {
        const qw::Database db = sample(g);
        const Bytes bytes = qw::build_database(db);
        const Results expected = read_by_path(bytes);
        ASSERT_EQ(expected.dump_error, QUARN_OK);

        for (const ChangeCase &c : change_cases()) {
            if (c.early_only && qw::is_v7(g)) continue;
            SCOPED_TRACE(std::string(c.name) + ", " + name_of(g));
            TempDir dir;
            const std::string path = dir.path + "/db.fmp12";
            qw::write_file(path, bytes);
            /* one handle meets the change cold, one after a whole read */
            FilePtr cold(quarn_open_file(path.c_str(), nullptr));
            FilePtr warm(quarn_open_file(path.c_str(), nullptr));
            ASSERT_NE(cold, nullptr);
            ASSERT_NE(warm, nullptr);
            ASSERT_EQ(read_all(warm.get()), expected);

            /* written over in place: the handles' descriptors see it */
            qw::write_file(path, c.change(bytes, g));
            for (quarn_file_t *file : {cold.get(), warm.get()}) {
                SCOPED_TRACE(file == cold.get() ? "cold" : "warm");
                const Results changed = read_all(file);
                if (c.expected == QUARN_OK)
                    EXPECT_EQ(changed, expected);
                else
                    expect_walks_meet_the_change(changed, expected, g, file == cold.get());
            }

            /* put back, the file reads as before: the failed walks left
             * nothing behind */
            qw::write_file(path, bytes);
            EXPECT_EQ(read_all(cold.get()), expected);
            EXPECT_EQ(read_all(warm.get()), expected);
        }
    }
}

TEST(ReadAgain, ChangedPayloadBytesAreReadAsTheyNowAre) {
    for (Generation g : kGenerations) {
        SCOPED_TRACE(name_of(g));
        qw::Database db = sample(g);
        const Bytes bytes = qw::build_database(db);
        db.tables[0].records[7].values[0].text = "t0 NAME 7"; /* as long as before */
        const Bytes changed = qw::build_database(db);
        ASSERT_EQ(changed.size(), bytes.size());

        TempDir dir;
        const std::string path = dir.path + "/db.fmp12";
        qw::write_file(path, bytes);
        FilePtr file(quarn_open_file(path.c_str(), nullptr));
        ASSERT_NE(file, nullptr);
        std::vector<Delivered> before, after;
        quarn_table_t first{1, "First"};
        ASSERT_EQ(quarn_read_values(file.get(), &first, collect, &before), QUARN_OK);
        EXPECT_EQ(before, sample_values(sample(g), 0));
        qw::write_file(path, changed);
        ASSERT_EQ(quarn_read_values(file.get(), &first, collect, &after), QUARN_OK);
        EXPECT_EQ(after, sample_values(db, 0));
    }
}

TEST(ReadAgain, RemovedOrReplacedPathChangesNothing) {
    for (Generation g : kGenerations) {
        SCOPED_TRACE(name_of(g));
        const qw::Database db = sample(g);
        const Bytes bytes = qw::build_database(db);
        const Results expected = read_by_path(bytes);

        TempDir dir;
        const std::string path = dir.path + "/db.fmp12";
        qw::write_file(path, bytes);
        FilePtr removed(quarn_open_file(path.c_str(), nullptr));
        FilePtr replaced(quarn_open_file(path.c_str(), nullptr));
        ASSERT_NE(removed, nullptr);
        ASSERT_NE(replaced, nullptr);
        ASSERT_EQ(unlink(path.c_str()), 0);
        EXPECT_EQ(read_all(removed.get()), expected);
        /* a new file under the old name is another file */
        const std::string other = dir.path + "/other";
        qw::write_file(other, Bytes(bytes.size(), 0xEE));
        ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
        EXPECT_EQ(read_all(replaced.get()), expected);
    }
}

/* A table walk passes over the blocks it has learnt lie below or above its
 * table without reading them: with the second table's blocks cut off the
 * file, the first table still reads whole. */
TEST(ReadAgain, BlocksPassedOverAreNotRead) {
    for (Generation g : {Generation::v7, Generation::v12}) {
        SCOPED_TRACE(name_of(g));
        const qw::Database db = sample(g);
        const Bytes bytes = qw::build_database(db);
        TempDir dir;
        const std::string path = dir.path + "/db.fmp12";
        qw::write_file(path, bytes);
        FilePtr file(quarn_open_file(path.c_str(), nullptr));
        ASSERT_NE(file, nullptr);

        const quarn_table_t first{1, "First"}, second{2, "Second"};
        std::vector<Delivered> cold;
        ASSERT_EQ(quarn_read_values(file.get(), &first, collect, &cold), QUARN_OK);
        EXPECT_EQ(cold, sample_values(db, 0));

        /* the first block whose keys all lie at the second table's (130) */
        int cut_id = 0;
        for (uint64_t i = 1; i < file->block_count && !cut_id; i++) {
            const quarn_block_t &block = file->blocks[i];
            ASSERT_GE(block.outer_keys, uint32_t(kOuterKeysFirstSummary)) << "block " << i + 1;
            if (file->outer_summaries[block.outer_keys - kOuterKeysFirstSummary].min == 130)
                cut_id = int(i + 1);
        }
        ASSERT_GT(cut_id, 3);
        ASSERT_LT(uint64_t(cut_id), file->block_count);
        ASSERT_EQ(truncate(path.c_str(), off_t(sector_at(g, cut_id))), 0);

        std::vector<Delivered> warm, of_second;
        EXPECT_EQ(quarn_read_values(file.get(), &first, collect, &warm), QUARN_OK);
        EXPECT_EQ(warm, cold);
        EXPECT_EQ(quarn_read_values(file.get(), &second, collect, &of_second), QUARN_ERROR_READ);
        /* what came before the cut came from the file as it was */
        const std::vector<Delivered> all_of_second = sample_values(db, 1);
        ASSERT_LT(of_second.size(), all_of_second.size());
        EXPECT_TRUE(std::equal(of_second.begin(), of_second.end(), all_of_second.begin()));
        testing::internal::CaptureStdout();
        EXPECT_EQ(quarn_dump_file(file.get()), QUARN_ERROR_READ);
        testing::internal::GetCapturedStdout();
    }
}

} // namespace
