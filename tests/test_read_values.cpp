/*
 * test_read_values.cpp: quarn_read_values. Files are laid out chunk by chunk
 * with the test writer: column definitions and values under the path shapes
 * of each generation (T = table number + 128, r the row key, c the column):
 *
 *                      generation 7 and later     earlier files
 *   column definition  T, 3, 5, c                 3, 5, c
 *   short value        T, 5, r  (c: own key)      5, r
 *   long-value piece   T, 5, r, c                 5, r, c
 *
 * The row and long-value rules are checked as a table of small scenarios,
 * each a sequence of values and the exact list of deliveries it must give.
 * The last suite runs the queries over the shared folder of real files.
 */
#include <gtest/gtest.h>

#include "process.h"
#include "quarn.h"
#include "quarn.hpp"
#include "writer.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using qw::Bytes;
using qw::Generation;

/* ------------------------------------------------------------------ */
/* Laying out files                                                    */
/* ------------------------------------------------------------------ */

/* Chunk groups (each pushes its whole path, carries its chunks and pops
 * again) packed into blocks chained 2 -> 3 -> ... -> 0. */
class Layout {
  public:
    explicit Layout(Generation generation) : generation_(generation), blocks_(1) {}

    bool v7() const { return qw::is_v7(generation_); }

    void push(Bytes &out, uint64_t key) const {
        if (v7())
            qw::v7::push(out, qw::key(key, generation_));
        else
            qw::early::push(out, qw::key(key, generation_));
    }
    void pop(Bytes &out) const {
        if (v7())
            qw::v7::pop(out);
        else
            qw::early::pop(out);
    }
    void field(Bytes &out, unsigned ref, const Bytes &data) const {
        if (v7())
            qw::v7::field(out, ref, data);
        else
            qw::early::field(out, ref, data);
    }
    Bytes text(const std::string &utf8) const { return qw::stored_text(utf8, generation_); }

    /* Pushes path, lets body add chunks, pops the path again. */
    void under(const std::vector<uint64_t> &path, const std::function<void(Bytes &)> &body) {
        Bytes group;
        for (uint64_t key : path) push(group, key);
        body(group);
        for (size_t i = 0; i < path.size(); i++) pop(group);
        add(group);
    }

    /* Raw bytes at the root of the current block. */
    void raw(const Bytes &bytes) { add(bytes); }

    /* Makes the next group start a new block. */
    void next_block() { blocks_.emplace_back(); }

    Bytes file() const { return qw::file_of_payloads(generation_, blocks_); }

  private:
    void add(const Bytes &group) {
        /* generation 7 blocks keep two bytes for the end marker */
        const size_t room = qw::payload_area_size(generation_) - (v7() ? 2 : 0);
        if (!blocks_.back().empty() && blocks_.back().size() + group.size() > room)
            blocks_.emplace_back();
        qw::append(blocks_.back(), group);
    }

    Generation generation_;
    std::vector<Bytes> blocks_;
};

/* Column definitions and values of one table, in either generation. */
class TableWriter {
  public:
    TableWriter(Layout &layout, int table) : l_(layout), table_(table) {}

    std::vector<uint64_t> path(std::initializer_list<uint64_t> rest) const {
        std::vector<uint64_t> keys;
        if (l_.v7()) keys.push_back(static_cast<uint64_t>(table_) + 128);
        keys.insert(keys.end(), rest);
        return keys;
    }

    /* A column definition carrying a name (and, in earlier files, a type
     * record: 0, type, 0, collation). */
    void define(uint64_t c, const std::string &name, int type = 1, int collation = 0) {
        l_.under(path({3, 5, c}), [&](Bytes &out) {
            l_.field(out, l_.v7() ? 16 : 1, l_.text(name));
            if (!l_.v7())
                l_.field(out, 2,
                         Bytes{0, static_cast<uint8_t>(type), 0, static_cast<uint8_t>(collation)});
        });
    }

    /* A column definition without a name: a field of another key. */
    void define_unnamed(uint64_t c) {
        l_.under(path({3, 5, c}), [&](Bytes &out) {
            if (l_.v7())
                l_.field(out, 1, Bytes{0x01});
            else
                l_.field(out, 2, Bytes{0, 1, 0, 0});
        });
    }

    void short_value(uint64_t r, unsigned c, const std::string &text) {
        l_.under(path({5, r}), [&](Bytes &out) { l_.field(out, c, l_.text(text)); });
    }

    /* Generation 7 and later: a short value stored as a segment numbered
     * with the column. */
    void short_segment(uint64_t r, unsigned c, const std::string &text) {
        l_.under(path({5, r}), [&](Bytes &out) { qw::v7::segment(out, c, l_.text(text)); });
    }

    /* A long value: the stored bytes cut into pieces of piece bytes, as
     * segments 1, 2, ... (generation 7 and later) or fields 1, 2, ... */
    void long_value(uint64_t r, uint64_t c, const std::string &text, size_t piece) {
        const Bytes stored = l_.text(text);
        l_.under(path({5, r, c}), [&](Bytes &out) {
            unsigned number = 1;
            for (size_t at = 0; at < stored.size(); at += piece, number++) {
                const Bytes part(stored.begin() + at,
                                 stored.begin() + std::min(stored.size(), at + piece));
                if (l_.v7())
                    qw::v7::segment(out, number, part);
                else
                    qw::early::field(out, number, part);
            }
        });
    }

    /* Long-value pieces given as fields with their refs. */
    void long_fields(uint64_t r, uint64_t c,
                     const std::vector<std::pair<unsigned, std::string>> &pieces) {
        l_.under(path({5, r, c}), [&](Bytes &out) {
            for (const auto &[ref, text] : pieces) l_.field(out, ref, l_.text(text));
        });
    }

  private:
    Layout &l_;
    int table_;
};

/* ------------------------------------------------------------------ */
/* Reading                                                             */
/* ------------------------------------------------------------------ */

struct Delivery {
    int row;
    int column;
    std::string text;
    bool operator==(const Delivery &) const = default;
};

void PrintTo(const Delivery &d, std::ostream *os) {
    *os << "{row " << d.row << ", column " << d.column << ", \"" << d.text << "\"}";
}

struct Reader {
    std::vector<Delivery> deliveries;
    std::vector<quarn_column_t> records; /* the column record of each call */
    /* answer for call number i (from 0); default: continue */
    std::function<int(size_t)> answer = [](size_t) { return QUARN_HANDLER_CONTINUE; };

    static int handle(int row, const quarn_column_t *column, const char *value, void *ctx) {
        auto *reader = static_cast<Reader *>(ctx);
        const size_t call = reader->deliveries.size();
        reader->deliveries.push_back({row, column->index, value});
        reader->records.push_back(*column);
        return reader->answer(call);
    }
};

quarn::FilePtr open_bytes(const Bytes &bytes) {
    quarn_error_t error = QUARN_OK;
    quarn::FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), &error));
    EXPECT_NE(file, nullptr) << "open failed with " << error;
    return file;
}

quarn_table_t table_number(int index) {
    quarn_table_t table{};
    table.index = index;
    return table;
}

/* Reads the table of number index into reader. */
quarn_error_t read_table(quarn_file_t *file, int index, Reader &reader) {
    const quarn_table_t table = table_number(index);
    return quarn_read_values(file, &table, Reader::handle, &reader);
}

const Generation kAllGenerations[] = {Generation::early, Generation::v7, Generation::v12};

const char *generation_name(Generation g) {
    switch (g) {
    case Generation::early: return "early";
    case Generation::v7: return "v7";
    case Generation::v12: return "v12";
    }
    return "?";
}

/* ------------------------------------------------------------------ */
/* The row and long-value rules                                        */
/* ------------------------------------------------------------------ */

struct Scenario {
    const char *name;
    bool v7_only;
    /* Adds values after the definitions of columns 1 "A", 2 "B", 3 "C". */
    std::function<void(TableWriter &)> values;
    std::vector<Delivery> expected;
};

const std::vector<Scenario> &scenarios() {
    static const std::vector<Scenario> table = {
        {"the first value opens row 1 whatever its row key", false,
         [](TableWriter &t) { t.short_value(7, 1, "x"); },
         {{1, 1, "x"}}},
        {"a new row key opens the next row", false,
         [](TableWriter &t) {
             t.short_value(1, 1, "a");
             t.short_value(1, 2, "b");
             t.short_value(2, 1, "c");
             t.short_value(5, 2, "d");
         },
         {{1, 1, "a"}, {1, 2, "b"}, {2, 1, "c"}, {3, 2, "d"}}},
        {"a lower column under the same row key opens the next row", false,
         [](TableWriter &t) {
             t.short_value(1, 2, "a");
             t.short_value(1, 1, "b");
         },
         {{1, 2, "a"}, {2, 1, "b"}}},
        {"rising columns under one row key are one row", false,
         [](TableWriter &t) {
             t.short_value(4, 1, "a");
             t.short_value(4, 2, "b");
             t.short_value(4, 3, "c");
         },
         {{1, 1, "a"}, {1, 2, "b"}, {1, 3, "c"}}},
        {"the same column again under the same row key stays in the row", false,
         [](TableWriter &t) {
             t.short_value(1, 2, "a");
             t.short_value(1, 2, "b");
         },
         {{1, 2, "a"}, {1, 2, "b"}}},
        {"a short value keyed 252 is neither delivered nor counted", false,
         [](TableWriter &t) {
             t.define(252, "K");
             t.short_value(1, 1, "a");
             t.short_value(2, 252, "no");
             t.short_value(1, 2, "b");
         },
         {{1, 1, "a"}, {1, 2, "b"}}},
        {"a value of column 0 is neither delivered nor counted", false,
         [](TableWriter &t) {
             t.short_value(1, 1, "a");
             t.short_value(2, 0, "no");
             t.short_value(1, 2, "b");
         },
         {{1, 1, "a"}, {1, 2, "b"}}},
        {"a value above the highest defined column is neither delivered nor counted", false,
         [](TableWriter &t) {
             t.short_value(1, 1, "a");
             t.short_value(2, 4, "no");
             t.long_value(1, 4, "no either", 3);
             t.short_value(1, 2, "b");
         },
         {{1, 1, "a"}, {1, 2, "b"}}},
        {"a long value is joined from its pieces and delivered once", false,
         [](TableWriter &t) { t.long_value(1, 2, "Hello, long world", 4); },
         {{1, 2, "Hello, long world"}}},
        {"pieces that cut a character in the middle still give the whole text", true,
         [](TableWriter &t) { t.long_value(1, 1, "Grüße, 日本語のテキスト, ÅÉÎ", 3); },
         {{1, 1, "Grüße, 日本語のテキスト, ÅÉÎ"}}},
        {"pieces of text beyond ASCII join into one text", false,
         [](TableWriter &t) { t.long_value(1, 1, "Grüße, ÅÉÎ, œuvre", 2); },
         {{1, 1, "Grüße, ÅÉÎ, œuvre"}}},
        {"a pending long value is delivered when another column is taken up", false,
         [](TableWriter &t) {
             t.long_value(1, 1, "LONG", 2);
             t.short_value(1, 2, "b");
         },
         {{1, 1, "LONG"}, {1, 2, "b"}}},
        {"a long value that ends the table comes after the walk with its own row", false,
         [](TableWriter &t) {
             t.short_value(1, 2, "a");
             t.long_value(2, 1, "tail", 2);
         },
         {{1, 2, "a"}, {2, 1, "tail"}}},
        {"a short value in the column of a pending long value comes first", false,
         [](TableWriter &t) {
             t.long_value(1, 2, "LONG", 2);
             t.short_value(1, 2, "s");
             t.short_value(1, 3, "t");
         },
         {{1, 2, "s"}, {1, 2, "LONG"}, {1, 3, "t"}}},
        {"a pending long value is delivered with the row current at that time", false,
         [](TableWriter &t) {
             t.long_value(1, 2, "LONG", 2);
             t.short_value(2, 2, "s");
             t.short_value(2, 3, "t");
         },
         {{2, 2, "s"}, {2, 2, "LONG"}, {2, 3, "t"}}},
        {"a long value opening a new row at a later column is passed over", false,
         [](TableWriter &t) {
             t.short_value(1, 1, "a");
             t.long_value(2, 2, "skipped", 3);
             t.short_value(2, 1, "b");
         },
         {{1, 1, "a"}, {2, 1, "b"}}},
        {"a long value opening a new row at the same column is passed over", false,
         [](TableWriter &t) {
             t.short_value(1, 2, "a");
             t.long_value(2, 2, "skipped", 3);
             t.short_value(2, 3, "b");
         },
         {{1, 2, "a"}, {2, 3, "b"}}},
        {"a long value for an earlier column of the row under way is passed over", false,
         [](TableWriter &t) {
             t.short_value(1, 2, "a");
             t.long_value(1, 1, "skipped", 3);
             t.short_value(1, 3, "b");
         },
         {{1, 2, "a"}, {1, 3, "b"}}},
        {"a long value at a lower column of a new row key is taken up", false,
         [](TableWriter &t) {
             t.short_value(1, 3, "a");
             t.long_value(2, 1, "LONG", 2);
             t.short_value(2, 2, "b");
         },
         {{1, 3, "a"}, {2, 1, "LONG"}, {2, 2, "b"}}},
        {"a long value at a later column of the row under way is taken up", false,
         [](TableWriter &t) {
             t.short_value(1, 1, "a");
             t.long_value(1, 3, "LONG", 2);
         },
         {{1, 1, "a"}, {1, 3, "LONG"}}},
        {"a field piece with key 0 is passed over", false,
         [](TableWriter &t) { t.long_fields(1, 1, {{1, "ab"}, {0, "XX"}, {2, "cd"}}); },
         {{1, 1, "abcd"}}},
        {"a first record with row key 0 is row 1", false,
         [](TableWriter &t) {
             t.short_value(0, 1, "a");
             t.short_value(0, 2, "b");
             t.short_value(1, 1, "c");
         },
         {{1, 1, "a"}, {1, 2, "b"}, {2, 1, "c"}}},
        {"a long value in a first record with row key 0 is taken up", false,
         [](TableWriter &t) {
             t.long_value(0, 1, "LONG", 2);
             t.short_value(0, 2, "b");
             t.short_value(1, 1, "c");
         },
         {{1, 1, "LONG"}, {1, 2, "b"}, {2, 1, "c"}}},
        /* A column whose definition never named it is no column of the
         * table: its values are passed over, as if it were undefined. */
        {"a short value of an unnamed column is neither delivered nor counted", false,
         [](TableWriter &t) {
             t.define_unnamed(4);
             t.short_value(1, 1, "a");
             t.short_value(2, 4, "hidden");
             t.short_value(1, 3, "b");
         },
         {{1, 1, "a"}, {1, 3, "b"}}},
        {"a long value of an unnamed column is neither delivered nor counted", false,
         [](TableWriter &t) {
             t.define_unnamed(4);
             t.short_value(1, 1, "a");
             t.long_value(1, 4, "hidden", 3);
             t.short_value(1, 3, "b");
             t.short_value(2, 2, "c");
             t.long_value(2, 4, "hidden at the end", 3);
         },
         {{1, 1, "a"}, {1, 3, "b"}, {2, 2, "c"}}},
        {"a segment under a record is a short value of the column it is numbered with", true,
         [](TableWriter &t) {
             t.short_segment(1, 2, "seg");
             t.short_value(1, 3, "b");
         },
         {{1, 2, "seg"}, {1, 3, "b"}}},
    };
    return table;
}

TEST(ReadValuesRules, ScenarioTable) {
    for (const Scenario &scenario : scenarios()) {
        for (Generation g : {Generation::early, Generation::v7}) {
            if (scenario.v7_only && g == Generation::early) continue;
            SCOPED_TRACE(std::string(scenario.name) + " (" + generation_name(g) + ")");
            Layout layout(g);
            TableWriter t(layout, 1);
            t.define(1, "A");
            t.define(2, "B");
            t.define(3, "C");
            scenario.values(t);
            auto file = open_bytes(layout.file());
            ASSERT_NE(file, nullptr);
            Reader reader;
            EXPECT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
            EXPECT_EQ(reader.deliveries, scenario.expected);
        }
    }
}

/* Only numeric-key fields (and, from generation 7 on, segments) are
 * values or pieces: bare data and byte-key fields under a record or among
 * a long value's pieces are passed over. */
TEST(ReadValuesRules, OnlyNumericFieldsAndSegmentsAreValues) {
    for (Generation g : {Generation::early, Generation::v7}) {
        SCOPED_TRACE(generation_name(g));
        Layout layout(g);
        TableWriter t(layout, 1);
        t.define(1, "A");
        t.define(2, "B");
        const auto others = [&](Bytes &out) {
            if (layout.v7()) {
                qw::v7::data(out, layout.text("bare"));
                qw::v7::long_field(out, Bytes{0x00, 0x00, 0x01}, layout.text("long key"));
            } else {
                qw::early::data(out, layout.text("bare"));
                qw::early::long_field(out, Bytes{0x00, 0x01}, layout.text("long key"));
            }
        };
        layout.under(t.path({5, 9}), others);
        layout.under(t.path({5, 9, 1}), [&](Bytes &out) {
            if (layout.v7())
                qw::v7::segment(out, 1, layout.text("ab"));
            else
                layout.field(out, 1, layout.text("ab"));
            others(out);
            layout.field(out, 2, layout.text("cd"));
        });
        t.short_value(9, 2, "b");
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        Reader reader;
        EXPECT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
        EXPECT_EQ(reader.deliveries, (std::vector<Delivery>{{1, 1, "abcd"}, {1, 2, "b"}}));
    }
}

/* ------------------------------------------------------------------ */
/* The handler                                                         */
/* ------------------------------------------------------------------ */

/* Records 1 and 2 of three columns, the last value of record 2 long. */
Bytes two_records(Generation g) {
    Layout layout(g);
    TableWriter t(layout, 1);
    t.define(1, "A");
    t.define(2, "B");
    t.define(3, "C");
    t.short_value(1, 1, "a1");
    t.short_value(1, 2, "b1");
    t.short_value(2, 1, "a2");
    t.long_value(2, 3, "long c2", 3);
    return layout.file();
}

TEST(ReadValuesHandler, AnswersOtherThanAbortGoOn) {
    for (Generation g : {Generation::early, Generation::v7}) {
        SCOPED_TRACE(generation_name(g));
        auto file = open_bytes(two_records(g));
        ASSERT_NE(file, nullptr);
        Reader reader;
        reader.answer = [](size_t call) { return call % 2 == 0 ? QUARN_HANDLER_STOP : 7; };
        EXPECT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
        EXPECT_EQ(reader.deliveries,
                  (std::vector<Delivery>{{1, 1, "a1"}, {1, 2, "b1"}, {2, 1, "a2"}, {2, 3, "long c2"}}));
    }
}

TEST(ReadValuesHandler, AbortEndsTheReadWithoutFurtherCalls) {
    for (Generation g : {Generation::early, Generation::v7}) {
        for (size_t abort_at : {0u, 1u, 2u}) {
            SCOPED_TRACE(std::string(generation_name(g)) + ", abort at call " +
                         std::to_string(abort_at));
            auto file = open_bytes(two_records(g));
            ASSERT_NE(file, nullptr);
            Reader reader;
            reader.answer = [abort_at](size_t call) {
                return call == abort_at ? QUARN_HANDLER_ABORT : QUARN_HANDLER_CONTINUE;
            };
            EXPECT_EQ(read_table(file.get(), 1, reader), QUARN_ERROR_USER_ABORTED);
            /* the long value pending at the end is never handed over */
            EXPECT_EQ(reader.deliveries.size(), abort_at + 1);
        }
    }
}

TEST(ReadValuesHandler, AbortDropsAPendingLongValue) {
    for (Generation g : {Generation::early, Generation::v7}) {
        SCOPED_TRACE(generation_name(g));
        /* the short value of the long value's column comes first and aborts */
        Layout layout(g);
        TableWriter t(layout, 1);
        t.define(1, "A");
        t.long_value(1, 1, "pending", 2);
        t.short_value(1, 1, "s");
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        Reader reader;
        reader.answer = [](size_t) { return QUARN_HANDLER_ABORT; };
        EXPECT_EQ(read_table(file.get(), 1, reader), QUARN_ERROR_USER_ABORTED);
        EXPECT_EQ(reader.deliveries, (std::vector<Delivery>{{1, 1, "s"}}));
    }
}

TEST(ReadValuesHandler, AbortOnAPendingLongValueStopsBeforeTheNextValue) {
    for (Generation g : {Generation::early, Generation::v7}) {
        SCOPED_TRACE(generation_name(g));
        Layout layout(g);
        TableWriter t(layout, 1);
        t.define(1, "A");
        t.define(2, "B");
        t.long_value(1, 1, "pending", 2);
        t.short_value(1, 2, "never");
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        Reader reader;
        reader.answer = [](size_t) { return QUARN_HANDLER_ABORT; };
        EXPECT_EQ(read_table(file.get(), 1, reader), QUARN_ERROR_USER_ABORTED);
        /* not handed over a second time after the walk either */
        EXPECT_EQ(reader.deliveries, (std::vector<Delivery>{{1, 1, "pending"}}));
    }
}

TEST(ReadValuesHandler, NullHandlerGivesTheWalkResult) {
    for (Generation g : {Generation::early, Generation::v7}) {
        SCOPED_TRACE(generation_name(g));
        auto file = open_bytes(two_records(g));
        ASSERT_NE(file, nullptr);
        const quarn_table_t table = table_number(1);
        EXPECT_EQ(quarn_read_values(file.get(), &table, nullptr, nullptr), QUARN_OK);
    }
    /* a decoding failure comes back as it is */
    Layout layout(Generation::v7);
    TableWriter t(layout, 1);
    t.define(1, "A");
    t.long_value(1, 1, "pending", 2);
    layout.next_block();
    layout.raw(Bytes{0x18});
    auto file = open_bytes(layout.file());
    ASSERT_NE(file, nullptr);
    const quarn_table_t table = table_number(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(quarn_read_values(file.get(), &table, nullptr, nullptr),
              QUARN_ERROR_UNRECOGNIZED_CODE);
    fflush(stdout);
    testing::internal::GetCapturedStdout();
}

TEST(ReadValuesHandler, UserContextIsPassedThrough) {
    auto file = open_bytes(two_records(Generation::v7));
    ASSERT_NE(file, nullptr);
    struct Seen {
        int calls = 0;
        void *ctx = nullptr;
    } seen;
    const quarn_table_t table = table_number(1);
    auto handler = [](int, const quarn_column_t *, const char *, void *ctx) {
        auto *s = static_cast<Seen *>(ctx);
        s->calls++;
        s->ctx = ctx;
        return 0;
    };
    EXPECT_EQ(quarn_read_values(file.get(), &table, handler, &seen), QUARN_OK);
    EXPECT_EQ(seen.calls, 4);
    EXPECT_EQ(seen.ctx, &seen);
}

/* ------------------------------------------------------------------ */
/* Column records                                                      */
/* ------------------------------------------------------------------ */

TEST(ReadValuesColumns, RecordCarriesIndexNameAndEarlyType) {
    for (Generation g : {Generation::early, Generation::v7, Generation::v12}) {
        SCOPED_TRACE(generation_name(g));
        Layout layout(g);
        TableWriter t(layout, 1);
        t.define(1, "Prénom", 3, 7);
        t.define(2, "Nine", 9, 200);
        t.define(3, "Eight", 8, 1);
        t.short_value(1, 1, "a");
        t.short_value(1, 2, "b");
        t.short_value(1, 3, "c");
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        Reader reader;
        ASSERT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
        ASSERT_EQ(reader.records.size(), 3u);
        const bool early = g == Generation::early;
        const struct {
            int index;
            const char *name;
            int type;
        } expected[] = {{1, "Prénom", early ? 3 : 0}, {2, "Nine", 0}, {3, "Eight", early ? 8 : 0}};
        for (size_t i = 0; i < 3; i++) {
            SCOPED_TRACE("column " + std::to_string(i + 1));
            EXPECT_EQ(reader.records[i].index, expected[i].index);
            EXPECT_STREQ(reader.records[i].name, expected[i].name);
            EXPECT_EQ(reader.records[i].type, expected[i].type);
            EXPECT_EQ(reader.records[i].collation, 0);
        }
    }
}

/* An earlier file's type record shorter than two bytes gives type 0; the
 * name given after it still names the column. */
TEST(ReadValuesColumns, ShortEarlyTypeRecordGivesTypeZero) {
    Layout layout(Generation::early);
    TableWriter t(layout, 1);
    layout.under({3, 5, 1}, [&](Bytes &out) {
        layout.field(out, 2, Bytes{0x00});
        layout.field(out, 1, layout.text("A"));
    });
    layout.under({3, 5, 2}, [&](Bytes &out) {
        layout.field(out, 1, layout.text("B"));
        layout.field(out, 2, Bytes{0x00, 0x04});
    });
    t.short_value(1, 1, "a");
    t.short_value(1, 2, "b");
    auto file = open_bytes(layout.file());
    ASSERT_NE(file, nullptr);
    Reader reader;
    ASSERT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
    ASSERT_EQ(reader.records.size(), 2u);
    EXPECT_EQ(reader.records[0].type, 0);
    EXPECT_STREQ(reader.records[0].name, "A");
    EXPECT_EQ(reader.records[1].type, 4);
}

/* Column numbers far apart: the reader's records are sparse, yet each value
 * comes with the record of its own number. */
TEST(ReadValuesColumns, FarColumnNumbers) {
    {
        SCOPED_TRACE("early, column 4,000,000");
        Layout layout(Generation::early);
        TableWriter t(layout, 1);
        t.define(1, "A");
        t.define(4000000, "Far");
        t.short_value(1, 1, "a");
        t.long_value(1, 4000000, "far away", 3);
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        Reader reader;
        ASSERT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
        EXPECT_EQ(reader.deliveries, (std::vector<Delivery>{{1, 1, "a"}, {1, 4000000, "far away"}}));
        ASSERT_EQ(reader.records.size(), 2u);
        EXPECT_STREQ(reader.records[1].name, "Far");
    }
    {
        /* the largest number a two-byte key and a K-form ref hold in the
         * prefix form (0xBF 0xFF) */
        SCOPED_TRACE("v7, column 16,511");
        Layout layout(Generation::v7);
        TableWriter t(layout, 1);
        t.define(2, "B");
        t.define(16511, "Far");
        t.short_value(1, 2, "b");
        t.short_value(1, 16511, "far");
        t.short_value(1, 16510, "undefined column, inside the range");
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        Reader reader;
        ASSERT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
        EXPECT_EQ(reader.deliveries, (std::vector<Delivery>{{1, 2, "b"}, {1, 16511, "far"}}));
    }
}

/* ------------------------------------------------------------------ */
/* Whole files                                                         */
/* ------------------------------------------------------------------ */

qw::Value value(int column, const std::string &text) {
    qw::Value v;
    v.column = column;
    v.text = text;
    return v;
}

qw::Value long_value(int column, const std::string &text) {
    qw::Value v = value(column, text);
    v.long_value = true;
    v.piece_size = 300;
    return v;
}

/* Tables 1, 2 and 5 (earlier files: the first only); columns 1, 2 and 4. */
qw::Database sample_database(Generation g) {
    qw::Database db;
    db.header.generation = g;
    const std::string long_text(2500, 'L');
    qw::Table people;
    people.name = "People";
    people.number = 1;
    people.columns = {{"Name", 1}, {"Town", 2}, {"Notes", 4}};
    people.records = {
        {0, {value(1, "Ada"), value(2, "Zürich"), value(4, "first note")}},
        {0, {value(1, "Brian"), long_value(4, long_text + " with a tail")}},
        {0, {value(2, "Köln")}},
        {0, {value(1, "Chloé"), value(2, "Paris"), long_value(4, "long but short")}},
    };
    qw::Table empty;
    empty.name = "Empty";
    empty.number = 2;
    empty.columns = {{"Only"}};
    qw::Table things;
    things.name = "Things";
    things.number = 5;
    things.columns = {{"What"}, {"Count"}};
    things.records = {{0, {value(1, "cup"), value(2, "3")}},
                      {0, {value(1, "plate"), value(2, "12")}}};
    db.tables = {people};
    if (g != Generation::early) db.tables = {people, empty, things};
    db.payload_limit = 600; /* spread the content over several blocks */
    return db;
}

std::vector<Delivery> expected_deliveries(const qw::Table &table) {
    std::vector<Delivery> out;
    int row = 0;
    for (const qw::Record &record : table.records) {
        row++;
        for (const qw::Value &value : record.values) out.push_back({row, value.column, value.text});
    }
    return out;
}

TEST(ReadValuesFiles, NormalFileOfEachGeneration) {
    for (Generation g : kAllGenerations) {
        SCOPED_TRACE(generation_name(g));
        const qw::Database db = sample_database(g);
        auto file = open_bytes(qw::build_database(db));
        ASSERT_NE(file, nullptr);
        for (const qw::Table &table : db.tables) {
            SCOPED_TRACE("table " + std::to_string(table.number));
            /* twice on one handle: the second read walks the kept chunks */
            for (int pass = 0; pass < 2; pass++) {
                Reader reader;
                EXPECT_EQ(read_table(file.get(), table.number, reader), QUARN_OK);
                EXPECT_EQ(reader.deliveries, expected_deliveries(table));
            }
        }
        /* a number between the tables' holds nothing; an earlier file's one
         * table answers to any number */
        Reader other;
        EXPECT_EQ(read_table(file.get(), 3, other), QUARN_OK);
        EXPECT_EQ(other.deliveries, g == Generation::early ? expected_deliveries(db.tables[0])
                                                           : std::vector<Delivery>{});
    }
}

TEST(ReadValuesFiles, TableWithoutRecordsCallsNothing) {
    for (Generation g : {Generation::early, Generation::v7}) {
        SCOPED_TRACE(generation_name(g));
        Layout layout(g);
        TableWriter t(layout, 1);
        t.define(1, "A");
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        Reader reader;
        EXPECT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
        EXPECT_TRUE(reader.deliveries.empty());
        /* and a table the file does not hold at all */
        EXPECT_EQ(read_table(file.get(), 9, reader), QUARN_OK);
        EXPECT_TRUE(reader.deliveries.empty());
    }
}

/* Generation 7: three tables with definitions and values of the same
 * shapes; reading one of them sees only its own. */
TEST(ReadValuesFiles, OtherTablesDoNotLeakIn) {
    Layout layout(Generation::v7);
    TableWriter t1(layout, 1), t2(layout, 2), t3(layout, 3);
    t1.define(1, "one.A");
    t1.define(4, "one.D"); /* a column number table 2 does not have */
    t1.short_value(1, 1, "t1 a");
    t1.short_value(1, 4, "t1 d");
    t1.long_value(2, 1, "t1 long", 3);
    t2.define(1, "two.A");
    t2.define(2, "two.B");
    /* a catalogue-like path under the table's key is nothing */
    layout.under({130, 3, 16, 5, 129}, [&](Bytes &out) { layout.field(out, 16, layout.text("no")); });
    /* a definition one level too deep is nothing */
    layout.under({130, 3, 5, 3, 1}, [&](Bytes &out) { layout.field(out, 16, layout.text("no")); });
    t2.short_value(1, 1, "t2 a");
    t2.short_value(1, 4, "column 4 is table 1's");
    t2.short_value(1, 2, "t2 b");
    t3.define(1, "three.A");
    t3.define(2, "three.B");
    t3.short_value(1, 1, "t3 a");
    t3.short_value(7, 2, "t3 b");
    auto file = open_bytes(layout.file());
    ASSERT_NE(file, nullptr);

    Reader reader;
    ASSERT_EQ(read_table(file.get(), 2, reader), QUARN_OK);
    EXPECT_EQ(reader.deliveries, (std::vector<Delivery>{{1, 1, "t2 a"}, {1, 2, "t2 b"}}));
    ASSERT_EQ(reader.records.size(), 2u);
    EXPECT_STREQ(reader.records[0].name, "two.A");

    Reader first;
    ASSERT_EQ(read_table(file.get(), 1, first), QUARN_OK);
    EXPECT_EQ(first.deliveries,
              (std::vector<Delivery>{{1, 1, "t1 a"}, {1, 4, "t1 d"}, {2, 1, "t1 long"}}));
}

/* A chunk whose first key passes the table's leaves the rest of its block
 * unread; the next block is read again from its start. */
TEST(ReadValuesFiles, HigherKeyEndsTheBlock) {
    for (Generation g : {Generation::early, Generation::v7}) {
        SCOPED_TRACE(generation_name(g));
        Layout layout(g);
        TableWriter t(layout, 1);
        t.define(1, "A");
        t.define(2, "B");
        t.short_value(1, 1, "seen");
        /* a key just above the ones the reader looks for: table 2 in later
         * files, 6 in earlier ones */
        layout.under({layout.v7() ? 130u : 6u}, [&](Bytes &out) { layout.field(out, 1, Bytes{1}); });
        t.short_value(1, 2, "after the higher key");
        layout.next_block();
        /* lower keys go on: 4 in earlier files, the catalogue 3 in later */
        layout.under({layout.v7() ? 3u : 4u}, [&](Bytes &out) { layout.field(out, 1, Bytes{1}); });
        t.short_value(2, 2, "next block");
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        Reader reader;
        EXPECT_EQ(read_table(file.get(), 1, reader), QUARN_OK);
        EXPECT_EQ(reader.deliveries, (std::vector<Delivery>{{1, 1, "seen"}, {2, 2, "next block"}}));
    }
}

/* A walk that fails on a later block: the values before it stay delivered
 * and a pending long value is still handed over; the handler's answer to
 * that last delivery changes nothing. */
Bytes incomplete_v7_block() {
    Bytes payload(qw::payload_area_size(Generation::v7) - 2, 0x80);
    qw::append(payload, Bytes{0x06, 0x01});
    return payload;
}

TEST(ReadValuesFiles, WalkFailureKeepsWhatWasDelivered) {
    struct Case {
        Generation generation;
        Bytes bad_block;
        quarn_error_t error;
    };
    const Case cases[] = {
        {Generation::v7, Bytes{0x18}, QUARN_ERROR_UNRECOGNIZED_CODE},
        /* a 0x06 field whose length byte would be the first byte past the
         * payload area, after filler */
        {Generation::v7, incomplete_v7_block(), QUARN_ERROR_INCOMPLETE_CHUNK},
        {Generation::early, Bytes{0xFF, 0x05}, QUARN_ERROR_BAD_BLOCK},
        {Generation::early, Bytes{0x41}, QUARN_ERROR_INCOMPLETE_CHUNK},
    };
    for (const Case &c : cases) {
        for (int abort_last : {0, 1}) {
            SCOPED_TRACE(std::string(generation_name(c.generation)) + ", error " +
                         std::to_string(c.error) + (abort_last ? ", handler aborts" : ""));
            Layout layout(c.generation);
            TableWriter t(layout, 1);
            t.define(1, "A");
            t.define(2, "B");
            t.short_value(1, 2, "a");
            t.long_value(2, 1, "pending", 3);
            layout.next_block();
            layout.raw(c.bad_block);
            auto file = open_bytes(layout.file());
            ASSERT_NE(file, nullptr);
            Reader reader;
            if (abort_last)
                reader.answer = [](size_t call) {
                    return call == 1 ? QUARN_HANDLER_ABORT : QUARN_HANDLER_CONTINUE;
                };
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            const quarn_error_t rc = read_table(file.get(), 1, reader);
            fflush(stdout);
            fflush(stderr);
            testing::internal::GetCapturedStdout();
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(rc, c.error);
            EXPECT_EQ(reader.deliveries, (std::vector<Delivery>{{1, 2, "a"}, {2, 1, "pending"}}));
        }
    }
}

/* ------------------------------------------------------------------ */
/* Real files                                                          */
/* ------------------------------------------------------------------ */

bool valid_utf8(const char *text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        size_t n = *p < 0x80 ? 1 : (*p & 0xE0) == 0xC0 ? 2 : (*p & 0xF0) == 0xE0 ? 3
                                   : (*p & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0) return false;
        for (size_t i = 1; i < n; i++)
            if ((p[i] & 0xC0) != 0x80) return false;
        p += n;
    }
    return true;
}

/* A 64-byte name field: NUL within the field, valid UTF-8 before it. */
bool valid_name(const char (&name)[64]) {
    return memchr(name, '\0', sizeof name) != nullptr && valid_utf8(name);
}

struct CorpusCount {
    int calls = 0;
    int last_row = 0;
    bool rows_ok = true;
    bool values_ok = true;
    std::map<int, int> per_column;

    static int handle(int row, const quarn_column_t *column, const char *value, void *ctx) {
        auto *c = static_cast<CorpusCount *>(ctx);
        if (c->calls == 0 ? row != 1 : row < c->last_row) c->rows_ok = false;
        if (column->index < 1 || !valid_name(column->name) || !valid_utf8(value))
            c->values_ok = false;
        c->calls++;
        c->last_row = row;
        c->per_column[column->index]++;
        return QUARN_HANDLER_CONTINUE;
    }
};

TEST(CorpusQueries, EveryFileListsAndReadsSanely) {
    const std::vector<std::string> files = qt::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no shared corpus folder: real files not checked";
    for (const std::string &path : files) {
        SCOPED_TRACE(path);
        quarn_error_t error = QUARN_OK;
        quarn::FilePtr file(quarn_open_file(path.c_str(), &error));
        if (!file) {
            std::cout << "[corpus] " << path << ": does not open (" << error << ")\n";
            continue;
        }
        quarn::TablesPtr tables(quarn_list_tables(file.get(), &error));
        ASSERT_NE(tables, nullptr) << "error " << error;
        EXPECT_EQ(error, QUARN_OK);
        std::cout << "[corpus] " << path << ": " << tables->count << " table(s)\n";
        for (uint64_t i = 0; i < tables->count; i++) {
            const quarn_table_t &table = tables->tables[i];
            EXPECT_GE(table.index, 1);
            if (i > 0) {
                EXPECT_GT(table.index, tables->tables[i - 1].index);
            }
            EXPECT_TRUE(valid_name(table.name)) << "table " << table.index;

            quarn::ColumnsPtr columns(quarn_list_columns(file.get(), &table, &error));
            ASSERT_NE(columns, nullptr);
            EXPECT_EQ(error, QUARN_OK);
            for (uint64_t j = 0; j < columns->count; j++) {
                const quarn_column_t &column = columns->columns[j];
                EXPECT_GE(column.index, 1);
                if (j > 0) {
                    EXPECT_GT(column.index, columns->columns[j - 1].index);
                }
                EXPECT_TRUE(valid_name(column.name)) << "column " << column.index;
                EXPECT_GE(column.type, 0);
                EXPECT_LE(column.type, 8);
            }

            CorpusCount count;
            EXPECT_EQ(quarn_read_values(file.get(), &table, CorpusCount::handle, &count), QUARN_OK);
            EXPECT_TRUE(count.rows_ok) << "rows must start at 1 and never go down";
            EXPECT_TRUE(count.values_ok) << "column records and values must be valid UTF-8";
            std::cout << "[corpus]   table " << table.index << " \"" << table.name << "\": "
                      << columns->count << " column(s), " << count.last_row << " row(s), "
                      << count.calls << " value(s)\n";
        }
    }
}

/* The same small book list saved by three generations gives the same rows
 * and columns; generations 7 and 12 give the very same values. */
TEST(CorpusQueries, BookListAgreesAcrossGenerations) {
    const std::string dir = qt::corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no shared corpus folder: real files not checked";
    std::map<std::string, std::vector<Delivery>> read;
    for (const char *name : {"book_list.fp5", "book_list.fp7", "book_list.fmp12"}) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        quarn::FilePtr file(quarn_open_file(path.c_str(), nullptr));
        if (!file) GTEST_SKIP() << path << " is not there";
        quarn::TablesPtr tables(quarn_list_tables(file.get(), nullptr));
        ASSERT_NE(tables, nullptr);
        ASSERT_EQ(tables->count, 1u);
        Reader reader;
        ASSERT_EQ(read_table(file.get(), tables->tables[0].index, reader), QUARN_OK);
        read[name] = reader.deliveries;
    }
    EXPECT_EQ(read["book_list.fp7"], read["book_list.fmp12"]);
    const auto &early = read["book_list.fp5"], &later = read["book_list.fp7"];
    ASSERT_EQ(early.size(), later.size());
    EXPECT_FALSE(early.empty());
    for (size_t i = 0; i < early.size(); i++) {
        EXPECT_EQ(early[i].row, later[i].row) << "value " << i;
        EXPECT_EQ(early[i].column, later[i].column) << "value " << i;
    }
}

} // namespace
