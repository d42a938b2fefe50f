/*
 * test_list_columns.cpp: quarn_list_columns. Column entries lie under the
 * table's key (number + 128), 3, 5 and the column number in files of
 * generation 7 and later, the field with key 16 the name; earlier files have
 * one table and keep them under 3, 5 and the column number, key 1 the name
 * and key 2 a type record (type at offset 1, collation at offset 3).
 */
#include <gtest/gtest.h>

#include "quarn.h"
#include "quarn.hpp"
#include "writer.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using qw::Bytes;
using qw::Generation;

/* Payloads of either generation made of chunk groups, each pushing its own
 * path and popping it again, in blocks chained 2 -> 3 -> ... -> 0. */
class Layout {
  public:
    explicit Layout(Generation generation) : generation_(generation), blocks_(1) {}

    bool v7() const { return qw::is_v7(generation_); }

    void field(Bytes &out, unsigned ref, const Bytes &data) const {
        if (v7())
            qw::v7::field(out, ref, data);
        else
            qw::early::field(out, ref, data);
    }
    Bytes text(const std::string &utf8) const { return qw::stored_text(utf8, generation_); }

    void under(const std::vector<uint64_t> &path, const std::function<void(Bytes &)> &body) {
        Bytes &out = blocks_.back();
        for (uint64_t key : path) {
            const Bytes k = legacy_keys ? qw::legacy_key(key, generation_) : qw::key(key, generation_);
            if (v7())
                qw::v7::push(out, k);
            else
                qw::early::push(out, k);
        }
        body(out);
        for (size_t i = 0; i < path.size(); i++) {
            if (v7())
                qw::v7::pop(out);
            else
                qw::early::pop(out);
        }
    }
    void raw(const Bytes &bytes) { qw::append(blocks_.back(), bytes); }
    void next_block() { blocks_.emplace_back(); }

    /* Push keys in the older generation-7 form (qw::legacy_key), whose
     * three-byte keys the column numbers are read from as path values. */
    bool legacy_keys = false;

    /* Column c of table t: its path, and a name field under it. */
    std::vector<uint64_t> column_path(int t, uint64_t c) const {
        if (v7()) return {static_cast<uint64_t>(t) + 128, 3, 5, c};
        return {3, 5, c};
    }
    void name(int t, uint64_t c, const std::string &name) {
        under(column_path(t, c), [&](Bytes &out) { field(out, v7() ? 16 : 1, text(name)); });
    }
    /* Earlier files: a type record of the given bytes for column c. */
    void type_record(uint64_t c, const Bytes &record) {
        under(column_path(1, c), [&](Bytes &out) { field(out, 2, record); });
    }

    Bytes file() const { return qw::file_of_payloads(generation_, blocks_); }

  private:
    Generation generation_;
    std::vector<Bytes> blocks_;
};

struct Column {
    int index;
    std::string name;
    int type = 0;
    int collation = 0;
    bool operator==(const Column &) const = default;
};

void PrintTo(const Column &c, std::ostream *os) {
    *os << "{" << c.index << ", \"" << c.name << "\", type " << c.type << ", collation "
        << c.collation << "}";
}

std::vector<Column> as_list(const quarn_column_array_t *columns) {
    std::vector<Column> list;
    for (uint64_t i = 0; i < columns->count; i++) {
        const quarn_column_t &c = columns->columns[i];
        list.push_back({c.index, c.name, c.type, c.collation});
    }
    return list;
}

quarn::FilePtr open_bytes(const Bytes &bytes) {
    quarn_error_t error = QUARN_OK;
    quarn::FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), &error));
    EXPECT_NE(file, nullptr) << "open failed with " << error;
    return file;
}

/* The columns of table index, with the error the call reported. */
std::vector<Column> list(quarn_file_t *file, int index, quarn_error_t *error = nullptr) {
    quarn_table_t table{};
    table.index = index;
    quarn_error_t rc = QUARN_ERROR_OPEN;
    quarn::ColumnsPtr columns(quarn_list_columns(file, &table, &rc));
    EXPECT_NE(columns, nullptr);
    if (error) {
        *error = rc;
    } else {
        EXPECT_EQ(rc, QUARN_OK);
    }
    return columns ? as_list(columns.get()) : std::vector<Column>{};
}

const char *generation_name(Generation g) {
    return g == Generation::early ? "early" : g == Generation::v7 ? "v7" : "v12";
}

/* ------------------------------------------------------------------ */
/* Whole files                                                         */
/* ------------------------------------------------------------------ */

TEST(ListColumns, NormalFileOfEachGeneration) {
    for (Generation g : {Generation::early, Generation::v7, Generation::v12}) {
        SCOPED_TRACE(generation_name(g));
        const bool early = g == Generation::early;
        qw::Database db;
        db.header.generation = g;
        qw::Table people;
        people.name = "People";
        people.columns = {{"Name", 1, 1, 0}, {"Größe", 3, 2, 102}, {"  Born", 4, 3, 0}};
        qw::Table places;
        places.name = "Places";
        places.columns = {{"Town"}, {"Name"}};
        db.tables = {people};
        if (!early) db.tables.push_back(places);
        auto file = open_bytes(qw::build_database(db));
        ASSERT_NE(file, nullptr);
        /* twice on one handle: the second walk reuses the decoded chunks */
        for (int pass = 0; pass < 2; pass++) {
            /* type and collation come from earlier files only; leading spaces
             * of names are dropped */
            EXPECT_EQ(list(file.get(), 1),
                      (std::vector<Column>{{1, "Name", early ? 1 : 0, 0},
                                           {3, "Größe", early ? 2 : 0, early ? 102 : 0},
                                           {4, "Born", early ? 3 : 0, 0}}));
            if (!early) {
                EXPECT_EQ(list(file.get(), 2), (std::vector<Column>{{1, "Town"}, {2, "Name"}}));
            }
        }
    }
}

TEST(ListColumns, TableWithoutColumnsGivesAnEmptyArray) {
    for (Generation g : {Generation::early, Generation::v7}) {
        SCOPED_TRACE(generation_name(g));
        Layout layout(g);
        layout.under({layout.v7() ? 3u : 4u}, [&](Bytes &out) { layout.field(out, 1, Bytes{1}); });
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        quarn_table_t table{};
        table.index = 1;
        quarn_error_t error = QUARN_ERROR_OPEN;
        quarn::ColumnsPtr columns(quarn_list_columns(file.get(), &table, &error));
        ASSERT_NE(columns, nullptr);
        EXPECT_EQ(columns->count, 0u);
        EXPECT_EQ(error, QUARN_OK);
    }
}

/* ------------------------------------------------------------------ */
/* Where column entries are found                                      */
/* ------------------------------------------------------------------ */

struct PathCase {
    const char *name;
    Generation generation;
    std::function<void(Layout &)> build;
    std::vector<Column> expected; /* the columns of table 2 (v7) or of the file */
};

const std::vector<PathCase> &path_cases() {
    static const std::vector<PathCase> cases = {
        {"columns 1 and 3 give two records in order", Generation::v7,
         [](Layout &l) {
             l.name(2, 3, "three");
             l.name(2, 1, "one");
         },
         {{1, "one"}, {3, "three"}}},
        {"columns 1 and 3 give two records in order", Generation::early,
         [](Layout &l) {
             l.name(1, 3, "three");
             l.name(1, 1, "one");
         },
         {{1, "one"}, {3, "three"}}},
        {"the last of several names wins", Generation::v7,
         [](Layout &l) {
             l.name(2, 1, "first");
             l.name(2, 1, "second");
         },
         {{1, "second"}}},
        {"other tables' columns stay out, before and after", Generation::v7,
         [](Layout &l) {
             l.name(1, 1, "table 1 column 1");
             l.name(1, 5, "table 1 column 5");
             l.name(2, 2, "mine");
             l.name(3, 1, "table 3 column 1");
         },
         {{2, "mine"}}},
        {"wrong shapes under the table's key are no columns", Generation::v7,
         [](Layout &l) {
             l.under({130, 3, 5}, [&](Bytes &out) { l.field(out, 16, l.text("level 3")); });
             l.under({130, 3, 5, 4, 1}, [&](Bytes &out) { l.field(out, 16, l.text("level 5")); });
             l.under({130, 3, 6, 4}, [&](Bytes &out) { l.field(out, 16, l.text("3, 6")); });
             l.under({130, 4, 5, 4}, [&](Bytes &out) { l.field(out, 16, l.text("4, 5")); });
             l.under({130, 3, 16, 5, 129}, [&](Bytes &out) { l.field(out, 16, l.text("catalogue")); });
             l.under({3, 5, 4}, [&](Bytes &out) { l.field(out, 16, l.text("no table key")); });
             l.name(2, 0, "column 0");
             l.name(2, 6, "six");
         },
         {{6, "six"}}},
        {"only a numeric-key field with key 16 names a column", Generation::v7,
         [](Layout &l) {
             l.under({130, 3, 5, 1}, [&](Bytes &out) {
                 l.field(out, 1, l.text("key 1"));
                 l.field(out, 17, l.text("key 17"));
                 qw::v7::segment(out, 16, l.text("segment 16"));
                 qw::v7::long_field(out, Bytes{0x00, 0x00, 0x10}, l.text("long key"));
             });
             l.name(2, 2, "two");
         },
         {{2, "two"}}},
        {"wrong shapes are no columns", Generation::early,
         [](Layout &l) {
             l.under({3, 5}, [&](Bytes &out) { l.field(out, 1, l.text("level 2")); });
             l.under({3, 5, 4, 1}, [&](Bytes &out) { l.field(out, 1, l.text("level 4")); });
             l.under({3, 6, 4}, [&](Bytes &out) { l.field(out, 1, l.text("3, 6")); });
             l.under({2, 5, 4}, [&](Bytes &out) { l.field(out, 1, l.text("2, 5")); });
             l.under({3, 5, 4}, [&](Bytes &out) {
                 qw::early::long_field(out, Bytes{0x00, 0x01}, l.text("long key"));
                 l.field(out, 16, l.text("key 16"));
             });
             l.name(1, 0, "column 0");
             l.name(1, 6, "six");
         },
         {{6, "six"}}},
        {"a key above the table's ends the block; the next block is read", Generation::v7,
         [](Layout &l) {
             l.name(1, 9, "lower table first");
             l.name(2, 1, "one");
             l.under({131}, [&](Bytes &out) { l.field(out, 1, Bytes{1}); });
             l.name(2, 2, "after table 3's key");
             l.next_block();
             l.name(2, 3, "three");
         },
         {{1, "one"}, {3, "three"}}},
        {"a key above 3 ends the block; the next block is read", Generation::early,
         [](Layout &l) {
             l.under({2}, [&](Bytes &out) { l.field(out, 1, Bytes{1}); });
             l.name(1, 1, "one");
             l.under({4}, [&](Bytes &out) { l.field(out, 1, Bytes{1}); });
             l.name(1, 2, "after key 4");
             l.next_block();
             l.name(1, 3, "three");
         },
         {{1, "one"}, {3, "three"}}},
        {"two- and three-byte column numbers", Generation::v7,
         [](Layout &l) {
             l.name(2, 1, "one");
             l.name(2, 300, "three hundred");
             l.legacy_keys = true;
             l.name(2, 65000, "sixty-five thousand");
             l.legacy_keys = false;
         },
         {{1, "one"}, {300, "three hundred"}, {65000, "sixty-five thousand"}}},
        {"column 4,000,000 next to column 1", Generation::early,
         [](Layout &l) {
             l.name(1, 4000000, "far");
             l.name(1, 1, "one");
         },
         {{1, "one"}, {4000000, "far"}}},
    };
    return cases;
}

TEST(ListColumns, PathCases) {
    for (const PathCase &c : path_cases()) {
        SCOPED_TRACE(std::string(c.name) + " (" + generation_name(c.generation) + ")");
        Layout layout(c.generation);
        c.build(layout);
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(list(file.get(), c.generation == Generation::early ? 1 : 2), c.expected);
    }
}

/* The one table of an earlier file has every column, whatever number the
 * table record carries. */
TEST(ListColumns, EarlyFileIgnoresTheTableNumber) {
    Layout layout(Generation::early);
    layout.name(1, 1, "one");
    layout.name(1, 2, "two");
    auto file = open_bytes(layout.file());
    ASSERT_NE(file, nullptr);
    const std::vector<Column> expected = {{1, "one"}, {2, "two"}};
    for (int index : {1, 2, 0, -5}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(list(file.get(), index), expected);
    }
}

/* ------------------------------------------------------------------ */
/* Type and collation of earlier files                                 */
/* ------------------------------------------------------------------ */

TEST(ListColumns, EarlyTypeAndCollation) {
    const struct {
        const char *name;
        std::function<void(Layout &)> build;
        std::vector<Column> expected;
    } cases[] = {
        {"a type record after the name gives type and collation",
         [](Layout &l) {
             l.name(1, 1, "one");
             l.type_record(1, Bytes{0, 2, 0, 77});
         },
         {{1, "one", 2, 77}}},
        {"a type record before any name is dropped",
         [](Layout &l) {
             l.type_record(1, Bytes{0, 2, 0, 77});
             l.name(1, 1, "one");
         },
         {{1, "one", 0, 0}}},
        {"a type record before its name is kept once a higher column is named",
         [](Layout &l) {
             l.name(1, 3, "three");
             l.type_record(1, Bytes{0, 5, 0, 9});
             l.name(1, 1, "one");
         },
         {{1, "one", 5, 9}, {3, "three", 0, 0}}},
        {"a type record for a column above the highest named is dropped",
         [](Layout &l) {
             l.name(1, 1, "one");
             l.type_record(2, Bytes{0, 5, 0, 9});
             l.name(1, 2, "two");
         },
         {{1, "one", 0, 0}, {2, "two", 0, 0}}},
        {"type 8 is kept, 9 and above give 0; the collation is any byte",
         [](Layout &l) {
             l.name(1, 1, "eight");
             l.type_record(1, Bytes{0, 8, 0, 255});
             l.name(1, 2, "nine");
             l.type_record(2, Bytes{0, 9, 0, 1});
             l.name(1, 3, "high");
             l.type_record(3, Bytes{0, 0xF3, 0, 0});
         },
         {{1, "eight", 8, 255}, {2, "nine", 0, 1}, {3, "high", 0, 0}}},
        {"a type record shorter than four bytes gives what it holds",
         [](Layout &l) {
             l.name(1, 1, "one byte");
             l.type_record(1, Bytes{0});
             l.name(1, 2, "two bytes");
             l.type_record(2, Bytes{0, 4});
             l.name(1, 3, "three bytes");
             l.type_record(3, Bytes{0, 6, 0});
             l.name(1, 4, "empty");
             l.type_record(4, Bytes{});
             l.name(1, 5, "longer");
             l.type_record(5, Bytes{0, 7, 0, 33, 0xFF, 0xFF});
         },
         {{1, "one byte", 0, 0},
          {2, "two bytes", 4, 0},
          {3, "three bytes", 6, 0},
          {4, "empty", 0, 0},
          {5, "longer", 7, 33}}},
        {"a later name keeps the type; a later type record replaces it",
         [](Layout &l) {
             l.name(1, 1, "old");
             l.type_record(1, Bytes{0, 3, 0, 4});
             l.name(1, 1, "new");
             l.name(1, 2, "two");
             l.type_record(2, Bytes{0, 3, 0, 4});
             l.type_record(2, Bytes{0, 1, 0, 0});
         },
         {{1, "new", 3, 4}, {2, "two", 1, 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Layout layout(Generation::early);
        c.build(layout);
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(list(file.get(), 1), c.expected);
    }
}

/* Generation 7 entries carry no type: a key-2 field under a column entry
 * changes nothing. */
TEST(ListColumns, LaterGenerationsHaveNoType) {
    Layout layout(Generation::v7);
    layout.under({129, 3, 5, 1}, [&](Bytes &out) {
        layout.field(out, 16, layout.text("one"));
        layout.field(out, 2, Bytes{0, 2, 0, 77});
    });
    auto file = open_bytes(layout.file());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(list(file.get(), 1), (std::vector<Column>{{1, "one", 0, 0}}));
}

/* ------------------------------------------------------------------ */
/* Failures                                                            */
/* ------------------------------------------------------------------ */

/* A walk that fails in a later block still gives the columns found before
 * it, and the number through the pointer. */
TEST(ListColumns, WalkFailureKeepsTheColumnsFound) {
    Bytes incomplete(qw::payload_area_size(Generation::v7) - 2, 0x80);
    qw::append(incomplete, Bytes{0x06, 0x01});
    const struct {
        const char *name;
        Generation generation;
        Bytes bad;
        quarn_error_t error;
    } cases[] = {
        {"unknown code", Generation::v7, Bytes{0x18}, QUARN_ERROR_UNRECOGNIZED_CODE},
        {"v7 chunk cut off", Generation::v7, incomplete, QUARN_ERROR_INCOMPLETE_CHUNK},
        {"bad escape", Generation::early, Bytes{0xFF, 0x05}, QUARN_ERROR_BAD_BLOCK},
        {"early length field cut off", Generation::early, Bytes{0x41}, QUARN_ERROR_INCOMPLETE_CHUNK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Layout layout(c.generation);
        layout.name(1, 2, "two");
        layout.name(1, 1, "one");
        layout.next_block();
        layout.raw(c.bad);
        layout.next_block();
        layout.name(1, 3, "never reached");
        const Bytes bytes = layout.file();
        auto file = open_bytes(bytes);
        auto other = open_bytes(bytes);
        ASSERT_NE(file, nullptr);
        ASSERT_NE(other, nullptr);
        quarn_table_t table{};
        table.index = 1;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        quarn_error_t error = QUARN_OK;
        quarn::ColumnsPtr columns(quarn_list_columns(file.get(), &table, &error));
        quarn::ColumnsPtr unreported(quarn_list_columns(other.get(), &table, nullptr));
        fflush(stdout);
        fflush(stderr);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(error, c.error);
        ASSERT_NE(columns, nullptr);
        ASSERT_NE(unreported, nullptr);
        const std::vector<Column> expected = {{1, "one"}, {2, "two"}};
        EXPECT_EQ(as_list(columns.get()), expected);
        EXPECT_EQ(as_list(unreported.get()), expected);
    }
}

TEST(ListColumns, FreeAcceptsNull) { quarn_free_columns(nullptr); }

} // namespace
