/*
 * test_list_tables.cpp: quarn_list_tables. Files of generation 7 and later
 * keep their table catalogue under 3, 16, 5: each entry one level deeper
 * under the table's number plus 128, its field with key 16 holding the name
 * (or the directory 16 holding it in long form); a table that holds
 * records and has no entry is listed under a made-up name. Earlier files
 * hold one table named after the file.
 */
#include <gtest/gtest.h>

#include "process.h"
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

/* Generation 7 payloads made of chunk groups, each pushing its own path and
 * popping it again, in blocks chained 2 -> 3 -> ... -> 0. */
class Layout {
  public:
    explicit Layout(Generation generation = Generation::v7) : generation_(generation), blocks_(1) {}

    void under(const std::vector<uint64_t> &path, const std::function<void(Bytes &)> &body) {
        for (uint64_t key : path)
            qw::v7::push(blocks_.back(),
                         legacy_keys ? qw::legacy_key(key, generation_) : qw::key(key, generation_));
        body(blocks_.back());
        for (size_t i = 0; i < path.size(); i++) qw::v7::pop(blocks_.back());
    }
    /* A name field (key 16) under path. */
    void name(const std::vector<uint64_t> &path, const std::string &text) {
        under(path, [&](Bytes &out) { qw::v7::field(out, 16, text_bytes(text)); });
    }
    void raw(const Bytes &bytes) { qw::append(blocks_.back(), bytes); }
    void next_block() { blocks_.emplace_back(); }
    Bytes text_bytes(const std::string &text) const { return qw::stored_text(text, generation_); }

    Bytes file() const { return qw::file_of_payloads(generation_, blocks_); }

    /* Push keys in the older generation-7 form (qw::legacy_key), whose
     * three-byte keys the table numbers are read from as path values. */
    bool legacy_keys = false;

  private:
    Generation generation_;
    std::vector<Bytes> blocks_;
};

struct Table {
    int index;
    std::string name;
    bool operator==(const Table &) const = default;
};

void PrintTo(const Table &t, std::ostream *os) { *os << "{" << t.index << ", \"" << t.name << "\"}"; }

std::vector<Table> as_list(const quarn_table_array_t *tables) {
    std::vector<Table> list;
    for (uint64_t i = 0; i < tables->count; i++)
        list.push_back({tables->tables[i].index, tables->tables[i].name});
    return list;
}

quarn::FilePtr open_bytes(const Bytes &bytes) {
    quarn_error_t error = QUARN_OK;
    quarn::FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), &error));
    EXPECT_NE(file, nullptr) << "open failed with " << error;
    return file;
}

/* Catalogue path of table n. */
std::vector<uint64_t> entry(uint64_t n) { return {3, 16, 5, n + 128}; }

/* ------------------------------------------------------------------ */
/* Generation 7 and later                                              */
/* ------------------------------------------------------------------ */

TEST(ListTables, NormalFileOfLaterGenerations) {
    for (Generation g : {Generation::v7, Generation::v12}) {
        SCOPED_TRACE(g == Generation::v7 ? "v7" : "v12");
        qw::Database db;
        db.header.generation = g;
        qw::Table t1, t2, t5;
        t1.name = "Customers";
        t1.number = 1;
        t2.name = "Café ✓ 日本";
        t2.number = 2;
        t5.name = "  Five";
        t5.number = 5;
        for (qw::Table *t : {&t1, &t2, &t5}) t->columns = {{"A"}};
        db.tables = {t1, t2, t5};
        auto file = open_bytes(qw::build_database(db));
        ASSERT_NE(file, nullptr);
        /* twice on one handle: the second walk reuses the decoded chunks */
        for (int pass = 0; pass < 2; pass++) {
            quarn_error_t error = QUARN_ERROR_OPEN;
            quarn::TablesPtr tables(quarn_list_tables(file.get(), &error));
            ASSERT_NE(tables, nullptr);
            EXPECT_EQ(error, QUARN_OK);
            /* leading spaces of stored text are dropped */
            EXPECT_EQ(as_list(tables.get()),
                      (std::vector<Table>{{1, "Customers"}, {2, "Café ✓ 日本"}, {5, "Five"}}));
        }
    }
}

struct CatalogueCase {
    const char *name;
    std::function<void(Layout &)> build;
    std::vector<Table> expected;
};

const std::vector<CatalogueCase> &catalogue_cases() {
    static const std::vector<CatalogueCase> cases = {
        {"entries for tables 5, 1 and 2 come back in number order",
         [](Layout &l) {
             l.under(entry(5), [&](Bytes &out) {
                 qw::v7::field(out, 251, Bytes{0x5A, 0x5A, 0x5A, 0x5A});
                 qw::v7::field(out, 16, l.text_bytes("five"));
             });
             l.name(entry(1), "one");
             l.name(entry(2), "two");
         },
         {{1, "one"}, {2, "two"}, {5, "five"}}},
        {"no catalogue at all gives an empty list", [](Layout &) {}, {}},
        {"a table with fields but no name is left out",
         [](Layout &l) {
             l.under(entry(4), [&](Bytes &out) { qw::v7::field(out, 251, Bytes{1, 2, 3, 4}); });
             l.name(entry(6), "six");
         },
         {{6, "six"}}},
        {"the last of several names wins",
         [](Layout &l) {
             l.name(entry(1), "first");
             l.name(entry(1), "second");
         },
         {{1, "second"}}},
        {"an empty name is still a table",
         [](Layout &l) { l.under(entry(3), [&](Bytes &out) { qw::v7::field(out, 16, Bytes{}); }); },
         {{3, ""}}},
        {"a name over 63 bytes is cut without splitting a character",
         [](Layout &l) {
             l.name(entry(1), std::string(70, 'x'));
             std::string accents;
             for (int i = 0; i < 40; i++) accents += "é";
             l.name(entry(2), accents);
         },
         {{1, std::string(63, 'x')},
          {2, [] {
               std::string cut;
               for (int i = 0; i < 31; i++) cut += "é";
               return cut;
           }()}}},
        {"a field below level 4 is no entry, whatever the path storage still holds",
         [](Layout &l) {
             l.under({3, 16, 5}, [&](Bytes &out) {
                 qw::v7::push(out, qw::key(129, Generation::v7));
                 qw::v7::field(out, 16, l.text_bytes("one"));
                 qw::v7::pop(out);
                 qw::v7::field(out, 16, l.text_bytes("not at level 4"));
             });
         },
         {{1, "one"}}},
        {"on a longer path the last key gives the table number",
         [](Layout &l) {
             l.name({3, 16, 5, 129, 131}, "three");
             l.name({3, 16, 5, 129, 5}, "last key below 129");
             l.name({3, 16, 5, 129, 128}, "last key 128");
         },
         {{3, "three"}}},
        {"a fourth key below 129 names nothing",
         [](Layout &l) {
             l.name({3, 16, 5, 5}, "five");
             l.name({3, 16, 5, 128}, "zero");
         },
         {}},
        {"other first keys are no catalogue",
         [](Layout &l) {
             l.name({3, 17, 5, 129}, "a");
             l.name({3, 16, 6, 129}, "b");
             l.name({2, 16, 5, 129}, "c");
             l.name({1, 3, 16, 5, 129}, "d");
         },
         {}},
        {"only numeric-key fields carry the name",
         [](Layout &l) {
             l.under(entry(2), [&](Bytes &out) {
                 qw::v7::segment(out, 16, l.text_bytes("segment"));
                 qw::v7::long_field(out, Bytes{0x00, 0x00, 0x10}, l.text_bytes("long key"));
                 qw::v7::data(out, l.text_bytes("bare"));
             });
         },
         {}},
        {"table numbers of two- and three-byte keys",
         [](Layout &l) {
             l.name(entry(300), "three hundred");
             l.legacy_keys = true;
             l.name(entry(60000), "sixty thousand");
             l.legacy_keys = false;
             l.name(entry(1), "one");
         },
         {{1, "one"}, {300, "three hundred"}, {60000, "sixty thousand"}}},
        {"a key above 3 ends the block; the next block is read",
         [](Layout &l) {
             l.name(entry(1), "one");
             l.under({4}, [&](Bytes &out) { qw::v7::field(out, 1, Bytes{1}); });
             l.name(entry(2), "after key 4");
             l.next_block();
             l.under({2}, [&](Bytes &out) { qw::v7::field(out, 1, Bytes{1}); });
             l.name(entry(3), "three");
         },
         {{1, "one"}, {3, "three"}}},
        {"a name in long form: the directory 16 with its lengths (ref 0) and the text (ref 1)",
         [](Layout &l) {
             l.under({3, 16, 5, 130, 16}, [&](Bytes &out) {
                 qw::v7::field(out, 0, Bytes{0, 0, 0, 5, 0, 0, 0, 2});
                 qw::v7::field(out, 1, l.text_bytes("顧客"));
             });
             l.name(entry(1), "one");
         },
         {{1, "one"}, {2, "顧客"}}},
        {"a long-form name in pieces, fields or segments, joined in number order",
         [](Layout &l) {
             const Bytes text = l.text_bytes("Kunden und Lieferanten");
             const Bytes first(text.begin(), text.begin() + 6), second(text.begin() + 6, text.end());
             l.under({3, 16, 5, 130, 16}, [&](Bytes &out) {
                 qw::v7::field(out, 0, Bytes(8, 0));
                 qw::v7::field(out, 2, second);
                 qw::v7::field(out, 1, first);
             });
             l.under({3, 16, 5, 131, 16}, [&](Bytes &out) {
                 qw::v7::segment(out, 1, first);
                 qw::v7::segment(out, 2, second);
                 qw::v7::push(out, {0xFF});
                 qw::v7::field(out, 1, l.text_bytes(" (styles)"));
                 qw::v7::pop(out);
             });
         },
         {{2, "Kunden und Lieferanten"}, {3, "Kunden und Lieferanten"}}},
        {"the short name wins over a long form; lengths alone name nothing",
         [](Layout &l) {
             l.under({3, 16, 5, 130, 16}, [&](Bytes &out) { qw::v7::field(out, 1, l.text_bytes("long")); });
             l.name(entry(2), "short");
             l.under({3, 16, 5, 131, 16}, [&](Bytes &out) { qw::v7::field(out, 0, Bytes(8, 0)); });
         },
         {{2, "short"}}},
        {"a table that holds records but has no name is listed under its key",
         [](Layout &l) {
             l.name(entry(1), "one");
             l.under({129, 5, 1}, [&](Bytes &out) { qw::v7::field(out, 1, l.text_bytes("a")); });
             l.under({131, 5, 7}, [&](Bytes &out) { qw::v7::field(out, 252, Bytes{1, 2}); });
             l.next_block();
             l.under({300, 5, 1, 2}, [&](Bytes &out) { qw::v7::segment(out, 1, l.text_bytes("b")); });
         },
         {{1, "one"}, {3, "table_131"}, {172, "table_300"}}},
        {"an unnamed table without record directories is not listed",
         [](Layout &l) {
             l.name({131, 3, 5, 1}, "field");
             l.under({131, 5}, [&](Bytes &out) { qw::v7::field(out, 1, Bytes{1}); });
             l.under({132, 8}, [&](Bytes &out) { qw::v7::field(out, 1, l.text_bytes("global")); });
         },
         {}},
        {"a catalogue-like path under a table key is not the catalogue",
         [](Layout &l) {
             l.name({130, 3, 16, 5, 129}, "under table 2");
             l.next_block();
             l.name({4, 3, 16, 5, 129}, "under key 4");
         },
         {}},
        {"a first chunk at level 0 reads the key the previous block left at entry 0",
         [](Layout &l) {
             l.name(entry(1), "one");
             l.under({129}, [&](Bytes &out) { qw::v7::field(out, 1, Bytes{1}); });
             l.next_block();
             l.raw(Bytes{0x00, 0x41}); /* bare data at level 0: entry 0 still holds 129 */
             l.name(entry(2), "skipped with its block");
             l.next_block();
             l.name(entry(3), "three");
             l.next_block();
             l.raw(Bytes{0x40}); /* a pop at level 0: entry 0 holds the 3 left before */
             l.name(entry(4), "four");
         },
         {{1, "one"}, {3, "three"}, {4, "four"}}},
    };
    return cases;
}

TEST(ListTables, CatalogueCases) {
    for (const CatalogueCase &c : catalogue_cases()) {
        SCOPED_TRACE(c.name);
        Layout layout;
        c.build(layout);
        auto file = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        quarn_error_t error = QUARN_ERROR_OPEN;
        quarn::TablesPtr tables(quarn_list_tables(file.get(), &error));
        ASSERT_NE(tables, nullptr);
        EXPECT_EQ(error, QUARN_OK);
        EXPECT_EQ(as_list(tables.get()), c.expected);
    }
}

/* A decoding failure in a later block: the tables found before it are
 * dropped, the result is null and the number goes through the pointer. */
TEST(ListTables, WalkFailureGivesNull) {
    Bytes incomplete(qw::payload_area_size(Generation::v7) - 2, 0x80);
    qw::append(incomplete, Bytes{0x06, 0x01});
    const struct {
        const char *name;
        Bytes bad;
        quarn_error_t error;
    } cases[] = {
        {"unknown code", Bytes{0x20, 0x03, 0x18}, QUARN_ERROR_UNRECOGNIZED_CODE},
        {"chunk cut off by the payload's end", incomplete, QUARN_ERROR_INCOMPLETE_CHUNK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Layout layout;
        layout.name(entry(1), "one");
        layout.next_block();
        layout.raw(c.bad);
        /* two handles: a block that failed after some chunks keeps them,
         * and a later walk on the same handle would take them as they are */
        auto file = open_bytes(layout.file());
        auto other = open_bytes(layout.file());
        ASSERT_NE(file, nullptr);
        ASSERT_NE(other, nullptr);
        testing::internal::CaptureStdout();
        quarn_error_t error = QUARN_OK;
        quarn_table_array_t *tables = quarn_list_tables(file.get(), &error);
        quarn_table_array_t *unreported = quarn_list_tables(other.get(), nullptr);
        fflush(stdout);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(tables, nullptr);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(unreported, nullptr);
        quarn_free_tables(tables);
        quarn_free_tables(unreported);
    }
}

TEST(ListTables, FreeAcceptsNull) { quarn_free_tables(nullptr); }

/* ------------------------------------------------------------------ */
/* Earlier files                                                       */
/* ------------------------------------------------------------------ */

Bytes early_file() {
    qw::Database db;
    db.header.generation = Generation::early;
    qw::Table table;
    table.columns = {{"A"}};
    qw::Record record;
    qw::Value value;
    value.column = 1;
    value.text = "x";
    record.values = {value};
    table.records = {record};
    db.tables = {table};
    return qw::build_database(db);
}

TEST(ListTables, EarlyFileIsNamedAfterTheFile) {
    const std::string long_stem(70, 'a');
    const struct {
        std::string file_name;
        std::string table_name;
    } cases[] = {
        {"people.fp5", "people"},
        {"nodot", "nodot"},
        {"a.b.c.fp5", "a.b.c"},
        {".hidden", ".hidden"},
        {"..fp5", "."},
        {"trailing.", "trailing"},
        {"résumé.fp3", "résumé"},
        /* the file name is cut to 63 bytes before the extension goes */
        {long_stem + ".fp5", std::string(63, 'a')},
        {std::string(60, 'b') + ".x.fp5", std::string(60, 'b') + ".x"},
    };
    const Bytes bytes = early_file();
    qt::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file_name);
        const std::string path = dir.file(c.file_name);
        qw::write_file(path, bytes);
        quarn::FilePtr file(quarn_open_file(path.c_str(), nullptr));
        ASSERT_NE(file, nullptr);
        quarn_error_t error = QUARN_ERROR_OPEN;
        quarn::TablesPtr tables(quarn_list_tables(file.get(), &error));
        ASSERT_NE(tables, nullptr);
        EXPECT_EQ(error, QUARN_OK);
        EXPECT_EQ(as_list(tables.get()), (std::vector<Table>{{1, c.table_name}}));
    }
}

TEST(ListTables, EarlyFileFromABufferHasAnEmptyName) {
    auto file = open_bytes(early_file());
    ASSERT_NE(file, nullptr);
    quarn_error_t error = QUARN_ERROR_OPEN;
    quarn::TablesPtr tables(quarn_list_tables(file.get(), &error));
    ASSERT_NE(tables, nullptr);
    EXPECT_EQ(error, QUARN_OK);
    EXPECT_EQ(as_list(tables.get()), (std::vector<Table>{{1, ""}}));
}

/* The single table of an earlier file needs no walk: a block that does not
 * decode changes nothing. */
TEST(ListTables, EarlyFileIsListedWithoutAWalk) {
    qw::FileLayout layout;
    layout.header.generation = Generation::early;
    qw::Sector bad;
    bad.payload = Bytes{0xFF, 0x05};
    layout.blocks = {bad};
    qw::chain(layout.blocks);
    const Bytes bytes = qw::build_file(layout);
    qt::TempDir dir;
    const std::string path = dir.file("broken.fp5");
    qw::write_file(path, bytes);
    quarn::FilePtr file(quarn_open_file(path.c_str(), nullptr));
    ASSERT_NE(file, nullptr);
    testing::internal::CaptureStderr();
    quarn_error_t error = QUARN_ERROR_OPEN;
    quarn::TablesPtr tables(quarn_list_tables(file.get(), &error));
    fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(tables, nullptr);
    EXPECT_EQ(error, QUARN_OK);
    EXPECT_EQ(as_list(tables.get()), (std::vector<Table>{{1, "broken"}}));
    /* the block is still broken for a walk */
    testing::internal::CaptureStderr();
    const quarn_table_t table = tables->tables[0];
    EXPECT_EQ(quarn_read_values(file.get(), &table, nullptr, nullptr), QUARN_ERROR_BAD_BLOCK);
    fflush(stderr);
    testing::internal::GetCapturedStderr();
}

} // namespace
