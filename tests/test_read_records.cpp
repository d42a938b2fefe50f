/*
 * test_read_records.cpp: quarn_read_records. It is the value reader's walk
 * (rows, long values, texts as quarn_read_values gives them) with two more
 * kinds of values:
 *  - repetitions 2 and up of repeating fields, beside the record's short
 *    values: generation 7 and later a field of code 0x0E keyed with the
 *    column and the repetition (top bit of the first key byte clear; set,
 *    the key is a column number), earlier files a field with the two-byte
 *    key column, repetition;
 *  - container references, handed over as storage keys: generation 7 and
 *    later hexadecimal digits in a directory of the value's own, earlier
 *    files a length byte and the key.
 * The last suite reads the shared real files.
 */
#include <gtest/gtest.h>

#include "files.h"
#include "process.h"
#include "quarn.h"
#include "quarn.hpp"
#include "writer.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using qt::open_bytes;
using qw::Bytes;
using qw::Generation;

struct Got {
    int row;
    uint64_t record_id;
    int field;
    int repetition;
    std::optional<std::string> text; /* unset: a container reference */
    Bytes key = {};
    bool operator==(const Got &) const = default;
};

void PrintTo(const Got &g, std::ostream *os) {
    *os << "{row " << g.row << ", id " << g.record_id << ", field " << g.field << ", repetition "
        << g.repetition << ", ";
    if (g.text) {
        *os << "\"" << *g.text << "\"";
    } else {
        *os << "key";
        for (uint8_t b : g.key) *os << " " << int(b);
    }
    *os << "}";
}

Got text(int row, uint64_t id, int field, int repetition, const std::string &t) {
    return {row, id, field, repetition, t};
}
Got reference(int row, uint64_t id, int field, const Bytes &key) {
    return {row, id, field, 1, std::nullopt, key};
}

struct Records {
    std::vector<Got> got;
    std::vector<quarn_field_t> fields; /* the field record of each call */
    std::function<int(size_t)> answer = [](size_t) { return QUARN_HANDLER_CONTINUE; };

    static int handle(const quarn_value_t *value, void *ctx) {
        auto *records = static_cast<Records *>(ctx);
        const size_t call = records->got.size();
        Got g{value->row, value->record_id, value->field->index, value->repetition, std::nullopt};
        if (value->text) {
            EXPECT_EQ(value->container_key.size, 0u);
            g.text = value->text;
        } else {
            g.key.assign(value->container_key.bytes, value->container_key.bytes + value->container_key.size);
        }
        records->got.push_back(g);
        records->fields.push_back(*value->field);
        return records->answer(call);
    }
};

std::vector<Got> read_records(quarn_file_t *file, int table, quarn_error_t expected = QUARN_OK) {
    quarn_table_t t{};
    t.index = table;
    Records records;
    EXPECT_EQ(quarn_read_records(file, &t, Records::handle, &records), expected);
    return records.got;
}

qw::Value value(int column, const std::string &t) { return {column, t}; }
qw::Value repetition(int column, int r, const std::string &t) {
    qw::Value v{column, t};
    v.repetition = r;
    return v;
}
qw::Value long_value(int column, const std::string &t, size_t piece) {
    qw::Value v{column, t};
    v.long_value = true;
    v.piece_size = piece;
    return v;
}
qw::Value container(int column, const Bytes &key, const std::string &suffix = "") {
    qw::Value v{column, ""};
    v.container = key;
    v.reference_suffix = suffix;
    return v;
}

qw::Column field(const std::string &name, int number, int type = QUARN_TYPE_TEXT, int repetitions = 1) {
    qw::Column c{name, number};
    c.definition = qw::Definition{type, QUARN_KIND_NORMAL, false, repetitions};
    return c;
}

qw::Database one_table(Generation g, std::vector<qw::Column> columns, std::vector<qw::Record> records) {
    qw::Database db;
    db.header.generation = g;
    qw::Table t;
    t.name = "T";
    t.number = 1;
    t.columns = std::move(columns);
    t.records = std::move(records);
    db.tables.push_back(t);
    return db;
}

class ReadRecords : public testing::TestWithParam<Generation> {};

/* Without repetitions or containers the records are the values of
 * quarn_read_values: the same rows, fields and texts, in the same order,
 * long values joined, with each record's key as its id. */
TEST_P(ReadRecords, SameValuesAsTheValueReader) {
    const Generation g = GetParam();
    const std::string long_text = std::string(700, 'x') + " Straße " + std::string(900, 'y');
    std::vector<qw::Record> records = {
        {5, {value(1, "Ada"), value(2, "36"), long_value(5, long_text, 250)}},
        {6, {value(2, "7")}},
        {300, {value(1, "Émile"), long_value(2, "a long number", 4), value(5, "last")}},
        {301, {long_value(1, "only long " + long_text, qw::is_v7(g) ? 1000 : 250)}},
    };
    const Bytes bytes = qw::build_database(one_table(
        g, {field("name", 1), field("age", 2, QUARN_TYPE_NUMBER), field("notes", 5)}, records));
    const quarn::FilePtr file = open_bytes(bytes);
    ASSERT_NE(file, nullptr);

    struct Value {
        int row, column;
        std::string text;
    };
    std::vector<Value> values;
    quarn_table_t table{};
    table.index = 1;
    ASSERT_EQ(quarn_read_values(file.get(), &table,
                                [](int row, const quarn_column_t *c, const char *v, void *ctx) {
                                    static_cast<std::vector<Value> *>(ctx)->push_back({row, c->index, v});
                                    return 0;
                                },
                                &values),
              QUARN_OK);
    const std::vector<Got> got = read_records(file.get(), 1);
    ASSERT_EQ(got.size(), values.size());
    ASSERT_EQ(got.size(), 8u);
    for (size_t i = 0; i < got.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].row, values[i].row);
        EXPECT_EQ(got[i].field, values[i].column);
        EXPECT_EQ(got[i].text, values[i].text);
        EXPECT_EQ(got[i].repetition, 1);
    }
    const std::vector<uint64_t> ids = {5, 5, 5, 6, 300, 300, 300, 301};
    for (size_t i = 0; i < got.size() && i < ids.size(); i++) EXPECT_EQ(got[i].record_id, ids[i]);
}

/* Every repetition comes with its number, in file order, under its own
 * field; a record with only later repetitions filled is a row of its own. */
TEST_P(ReadRecords, RepetitionsComeWithTheirNumbers) {
    const Generation g = GetParam();
    std::vector<qw::Record> records = {
        {1, {value(1, "one"), repetition(1, 2, "two"), repetition(1, 3, "three"), value(2, "b1"),
             repetition(2, 5, "b5")}},
        {2, {repetition(1, 2, "record 2, repetition 2 only")}},
        {3, {value(2, "b again"), repetition(2, 2, "b2")}},
    };
    const Bytes bytes = qw::build_database(one_table(
        g, {field("a", 1, QUARN_TYPE_TEXT, 3), field("b", 2, QUARN_TYPE_TEXT, 5)}, records));
    const quarn::FilePtr file = open_bytes(bytes);
    ASSERT_NE(file, nullptr);
    quarn_table_t table{};
    table.index = 1;
    Records r;
    ASSERT_EQ(quarn_read_records(file.get(), &table, Records::handle, &r), QUARN_OK);
    EXPECT_EQ(r.got, (std::vector<Got>{
                         text(1, 1, 1, 1, "one"),
                         text(1, 1, 1, 2, "two"),
                         text(1, 1, 1, 3, "three"),
                         text(1, 1, 2, 1, "b1"),
                         text(1, 1, 2, 5, "b5"),
                         text(2, 2, 1, 2, "record 2, repetition 2 only"),
                         text(3, 3, 2, 1, "b again"),
                         text(3, 3, 2, 2, "b2"),
                     }));
    ASSERT_EQ(r.fields.size(), r.got.size());
    EXPECT_EQ(r.fields[1].repetitions, 3);
    EXPECT_STREQ(r.fields[4].name, "b");
    EXPECT_EQ(r.fields[4].repetitions, 5);

    /* the value reader sees only repetition 1, as it always has */
    int calls = 0;
    ASSERT_EQ(quarn_read_values(file.get(), &table,
                                [](int, const quarn_column_t *, const char *, void *ctx) {
                                    ++*static_cast<int *>(ctx);
                                    return 0;
                                },
                                &calls),
              QUARN_OK);
    EXPECT_EQ(calls, 3);
}

/* A repetition follows a long value of its field that is still being
 * joined: repetition 1 is handed over first. */
TEST_P(ReadRecords, LongFirstRepetitionComesBeforeTheOthers) {
    const Generation g = GetParam();
    const std::string first = "first repetition, long: " + std::string(600, 'L');
    std::vector<qw::Record> records = {{1, {value(1, "x"), long_value(2, first, 200)}}};
    qw::Database db = one_table(g, {field("x", 1), field("rep", 2, QUARN_TYPE_TEXT, 4)}, records);
    /* the repetition after the long value's pieces, as the keys sort */
    db.tables[0].records[0].values.push_back(repetition(2, 3, "third"));
    const quarn::FilePtr file = open_bytes(qw::build_database(db));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(read_records(file.get(), 1), (std::vector<Got>{text(1, 1, 1, 1, "x"), text(1, 1, 2, 1, first),
                                                             text(1, 1, 2, 3, "third")}));
}

/* A table whose records each hold one long value of the same field: every
 * record comes out, where quarn_read_values, which takes a long value that
 * starts a record only at a column before the previous one, keeps its
 * first. */
TEST_P(ReadRecords, EveryRecordOfLongValuesComesOut) {
    const Generation g = GetParam();
    const size_t piece = qw::is_v7(g) ? 1000 : 250;
    std::vector<qw::Record> records;
    std::vector<Got> expected;
    for (int r = 1; r <= 3; r++) {
        const std::string note = "note " + std::to_string(r) + " " + std::string(400 * r, 'n');
        records.push_back({uint64_t(r), {long_value(1, note, piece)}});
        expected.push_back(text(r, uint64_t(r), 1, 1, note));
    }
    const quarn::FilePtr file = open_bytes(qw::build_database(one_table(g, {field("note", 1)}, records)));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(read_records(file.get(), 1), expected);

    std::vector<int> rows;
    quarn_table_t table{};
    table.index = 1;
    ASSERT_EQ(quarn_read_values(file.get(), &table,
                                [](int row, const quarn_column_t *, const char *, void *ctx) {
                                    static_cast<std::vector<int> *>(ctx)->push_back(row);
                                    return 0;
                                },
                                &rows),
              QUARN_OK);
    EXPECT_EQ(rows, std::vector<int>{1});
}

/* Container fields come as storage keys; what is not a reference in the
 * generation's form stays text, as the value reader gives it. */
TEST_P(ReadRecords, ContainerReferencesAreStorageKeys) {
    const Generation g = GetParam();
    const bool v7 = qw::is_v7(g);
    std::vector<qw::Record> records = {
        {1, {container(1, {0x04}), value(2, "caption")}},
        {2, {container(1, {0x80, 0x7C})}},
        {3, {container(1, {0x01}, v7 ? "\xEE\x80\x80" : "")}},
    };
    /* a text field whose text looks like a reference is text */
    qw::Value lookalike = v7 ? long_value(2, "04", 1000) : value(2, "\x01\x06");
    records.push_back({4, {lookalike}});
    /* not in the generation's form: an odd number of digits; a length byte
     * that does not match */
    records.push_back({5, {v7 ? long_value(1, "4", 1000) : value(1, "")}});
    if (!v7) records.back().values[0].stored = Bytes{0x02, 0x06};
    const Bytes bytes = qw::build_database(one_table(
        g, {field("picture", 1, QUARN_TYPE_CONTAINER), field("caption", 2)}, records));
    const quarn::FilePtr file = open_bytes(bytes);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(read_records(file.get(), 1),
              (std::vector<Got>{
                  reference(1, 1, 1, {0x04}),
                  text(1, 1, 2, 1, "caption"),
                  reference(2, 2, 1, {0x80, 0x7C}),
                  reference(3, 3, 1, {0x01}),
                  text(4, 4, 2, 1, v7 ? "04" : "\x01\x06"),
                  text(5, 5, 1, 1, v7 ? "4" : "\x02\x06"),
              }));
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, ReadRecords,
                         testing::Values(Generation::early, Generation::v7, Generation::v12),
                         [](const auto &info) { return qw::generation_label(info.param); });

/* Generation 7 and later: a 0x0E key whose first byte has its top bit set
 * is a column number (a file numbers columns 8321 and up with such keys);
 * with the top bit clear and the byte not 0 it is a column and a
 * repetition, never a column of that number; a first byte 0 is a column
 * number from 128. */
TEST(ReadRecordsKeys, TopBitDecidesBetweenColumnAndRepetition) {
    const Generation g = Generation::v12;
    auto keyed = [](const Bytes &key, const std::string &t) {
        qw::Value v{1, t};
        v.key_bytes = key;
        return v;
    };
    std::vector<qw::Record> records = {{1,
                                        {value(1, "column 1"),
                                         keyed({0x01, 0x02}, "column 1, repetition 2"),
                                         keyed({0x00, 0x2C}, "column 172"),
                                         keyed({0x01, 0x01}, "column 385"),
                                         keyed({0x20, 0x01}, "column 8321 (no repetition 1)"),
                                         keyed({0xA0, 0x01}, "column 8321")}}};
    const quarn::FilePtr file = open_bytes(qw::build_database(one_table(
        g,
        {field("first", 1, QUARN_TYPE_TEXT, 2), field("c172", 172), field("c385", 385),
         field("c386", 386), field("c8321", 8321)},
        records)));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(read_records(file.get(), 1), (std::vector<Got>{
                                               text(1, 1, 1, 1, "column 1"),
                                               text(1, 1, 1, 2, "column 1, repetition 2"),
                                               text(1, 1, 172, 1, "column 172"),
                                               text(1, 1, 385, 1, "column 385"),
                                               text(1, 1, 8321, 1, "column 8321 (no repetition 1)"),
                                               text(1, 1, 8321, 1, "column 8321"),
                                           }));
}

/* Earlier files: only two-byte keys are repetitions; a byte-string key of
 * another length, or one naming repetition 1 or column 0, is passed over
 * as the value reader passes it over. */
TEST(ReadRecordsKeys, EarlyRepetitionKeys) {
    const Generation g = Generation::early;
    Bytes payload;
    qw::early::push(payload, {3});
    qw::early::push(payload, {5});
    qw::early::push(payload, {1});
    qw::early::field(payload, 1, qw::stored_text("a", g));
    qw::early::field(payload, 2, qw::definition_record({QUARN_TYPE_TEXT, 1, false, 3}, g));
    qw::early::pop(payload);
    qw::early::pop(payload);
    qw::early::pop(payload);
    qw::early::push(payload, {5});
    qw::early::push(payload, {1});
    qw::early::field(payload, 1, qw::stored_text("first", g));
    qw::early::long_field(payload, {0x01, 0x03}, qw::stored_text("third", g));
    qw::early::long_field(payload, {0x01, 0x01}, qw::stored_text("not a repetition", g));
    qw::early::long_field(payload, {0x00, 0x02}, qw::stored_text("no column 0", g));
    qw::early::long_field(payload, {0x01, 0x02, 0x03}, qw::stored_text("three bytes", g));
    qw::early::pop(payload);
    qw::early::pop(payload);
    const quarn::FilePtr file = open_bytes(qw::file_of_payloads(g, {payload}));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(read_records(file.get(), 1),
              (std::vector<Got>{text(1, 1, 1, 1, "first"), text(1, 1, 1, 3, "third")}));
}

/* Handler answers: ABORT ends the read with 13 and nothing more comes; a
 * null handler reads through. */
TEST(ReadRecordsHandler, AbortAndNullHandler) {
    std::vector<qw::Record> records = {{1, {value(1, "a"), repetition(1, 2, "b")}}, {2, {value(1, "c")}}};
    const quarn::FilePtr file = open_bytes(
        qw::build_database(one_table(Generation::v12, {field("f", 1, QUARN_TYPE_TEXT, 2)}, records)));
    ASSERT_NE(file, nullptr);
    quarn_table_t table{};
    table.index = 1;
    Records r;
    r.answer = [](size_t call) { return call == 1 ? QUARN_HANDLER_ABORT : QUARN_HANDLER_STOP; };
    EXPECT_EQ(quarn_read_records(file.get(), &table, Records::handle, &r), QUARN_ERROR_USER_ABORTED);
    EXPECT_EQ(r.got.size(), 2u);
    EXPECT_EQ(quarn_read_records(file.get(), &table, nullptr, nullptr), QUARN_OK);
}

/* ------------------------------------------------------------------ */
/* Record keys, records without values, the count                      */
/* ------------------------------------------------------------------ */

/* A generation-12 payload of table 1 (key 80 01, as FileMaker writes it)
 * with text field 1 ("f") and the records given, each as its key bytes and
 * the chunks inside its directory; the keys exactly as given. */
Bytes table_payload(const std::vector<std::pair<Bytes, std::function<void(Bytes &)>>> &records) {
    const Generation g = Generation::v12;
    Bytes p;
    qw::v7::push(p, {0x80, 0x01});
    qw::v7::push(p, {3});
    qw::v7::push(p, {5});
    qw::v7::push(p, {1});
    qw::v7::field(p, 16, qw::stored_text("f", g));
    qw::v7::field(p, 2, qw::definition_record({QUARN_TYPE_TEXT, QUARN_KIND_NORMAL, false, 1}, g));
    qw::v7::pop(p);
    qw::v7::pop(p);
    qw::v7::pop(p);
    qw::v7::push(p, {5});
    for (const auto &[key, inside] : records) {
        qw::v7::push(p, key);
        inside(p);
        qw::v7::pop(p);
    }
    qw::v7::pop(p);
    qw::v7::pop(p);
    return p;
}

std::function<void(Bytes &)> short_value(const std::string &t) {
    return [t](Bytes &p) { qw::v7::field(p, 1, qw::stored_text(t, Generation::v12)); };
}

/* Record keys read as FileMaker numbers things: two bytes 10xxxxxx from
 * 128, three bytes 110xxxxx from 16,512, so that record 16,512 follows
 * record 16,511 instead of reading as 128 again. */
TEST(ReadRecordsKeys, RecordIdsByThePrefixRule) {
    const Bytes payload = table_payload({{{0x05}, short_value("5")},
                                         {{0x80, 0x48}, short_value("200")},
                                         {{0xBF, 0xFF}, short_value("16511")},
                                         {{0xC0, 0x00, 0x00}, short_value("16512")},
                                         {{0xC0, 0x71, 0x03}, short_value("45443")},
                                         {{0xDF, 0xFF, 0xFF}, short_value("2113663")}});
    const quarn::FilePtr file = open_bytes(qw::file_of_payloads(Generation::v12, {payload}));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(read_records(file.get(), 1),
              (std::vector<Got>{text(1, 5, 1, 1, "5"), text(2, 200, 1, 1, "200"), text(3, 16511, 1, 1, "16511"),
                                text(4, 16512, 1, 1, "16512"), text(5, 45443, 1, 1, "45443"),
                                text(6, 2113663, 1, 1, "2113663")}));
}

/* A long value that starts a record keyed past 16,511 at the column the
 * previous record ended with is that record's value: by the old reading of
 * three-byte keys record 16,512 (128) would lie before record 16,511. */
TEST(ReadRecordsKeys, LongValuePastTheTwoByteKeysStartsItsRecord) {
    auto long_piece = [](const std::string &t) {
        return [t](Bytes &p) {
            qw::v7::push(p, {1});
            qw::v7::field(p, 0, Bytes(8, 0));
            qw::v7::segment(p, 1, qw::stored_text(t, Generation::v12));
            qw::v7::pop(p);
        };
    };
    const Bytes payload =
        table_payload({{{0xBF, 0xFF}, long_piece("last of two bytes")}, {{0xC0, 0x00, 0x00}, long_piece("first of three")}});
    const quarn::FilePtr file = open_bytes(qw::file_of_payloads(Generation::v12, {payload}));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(read_records(file.get(), 1), (std::vector<Got>{text(1, 16511, 1, 1, "last of two bytes"),
                                                             text(2, 16512, 1, 1, "first of three")}));
}

/* A record key of a form FileMaker does not write for records (four
 * bytes, three bytes not starting 110) ends the record reader with 14 and
 * names its block, rather than give a wrong id; the value reader, which
 * hands out no ids, reads on as before. */
TEST(ReadRecordsKeys, KeysOfAnotherFormFailWith14) {
    const std::vector<std::pair<const char *, Bytes>> cases = {
        {"three bytes from 0x00", {0x00, 0x80, 0x00}},
        {"three bytes from 0xE0", {0xE0, 0x00, 0x01}},
        {"four bytes", {0xE0, 0x00, 0x00, 0x01}},
    };
    for (const auto &[name, key] : cases) {
        SCOPED_TRACE(name);
        const Bytes payload = table_payload({{{0x01}, short_value("one")}, {key, short_value("odd")}});
        const quarn::FilePtr file = open_bytes(qw::file_of_payloads(Generation::v12, {payload}));
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(read_records(file.get(), 1, QUARN_ERROR_RECORD_KEY), (std::vector<Got>{text(1, 1, 1, 1, "one")}));
        EXPECT_EQ(quarn_failed_block(file.get()), 2);
        quarn_table_t table{};
        table.index = 1;
        uint64_t count = 99;
        EXPECT_EQ(quarn_count_records(file.get(), &table, &count), QUARN_ERROR_RECORD_KEY);
        int rows = 0;
        auto count_rows = [](int row, const quarn_column_t *, const char *, void *ctx) {
            *static_cast<int *>(ctx) = row;
            return int(QUARN_HANDLER_CONTINUE);
        };
        EXPECT_EQ(quarn_read_values(file.get(), &table, count_rows, &rows), QUARN_OK);
        EXPECT_EQ(rows, 2);
    }
}

/* Every record comes out: one whose directory holds no value of any
 * field (only a record attribute such as ref 252, a value of a column the
 * table does not define, or nothing but an empty long value's lengths)
 * comes once as the empty text of no field (index 0), on its own row, in
 * its place among the others; a long value of the record before it comes
 * first. quarn_read_values keeps to the values it always gave (not the
 * long value that starts a record at the last record's column).
 * quarn_count_records counts them all. */
TEST(ReadRecordsEmpty, RecordsWithoutValuesComeOnce) {
    const Generation g = Generation::v12;
    auto only = [g](unsigned ref) {
        return [g, ref](Bytes &p) { qw::v7::field(p, ref, qw::stored_text("x", g)); };
    };
    auto long_only = [g](Bytes &p) {
        qw::v7::push(p, {1});
        qw::v7::field(p, 0, Bytes(8, 0));
        qw::v7::segment(p, 1, qw::stored_text("long", g));
        qw::v7::pop(p);
    };
    const Bytes payload = table_payload({{{0x01}, short_value("one")},
                                         {{0x02}, only(252)},
                                         {{0x03}, long_only},
                                         {{0x04}, only(9)},
                                         {{0x05}, short_value("five")},
                                         {{0x06}, only(252)}});
    const quarn::FilePtr file = open_bytes(qw::file_of_payloads(g, {payload}));
    ASSERT_NE(file, nullptr);
    Records r;
    quarn_table_t table{};
    table.index = 1;
    ASSERT_EQ(quarn_read_records(file.get(), &table, Records::handle, &r), QUARN_OK);
    EXPECT_EQ(r.got, (std::vector<Got>{text(1, 1, 1, 1, "one"), text(2, 2, 0, 1, ""), text(3, 3, 1, 1, "long"),
                                       text(4, 4, 0, 1, ""), text(5, 5, 1, 1, "five"), text(6, 6, 0, 1, "")}));
    for (size_t i = 0; i < r.got.size(); i++) {
        if (r.got[i].field != 0) continue;
        EXPECT_STREQ(r.fields[i].name, "");
        EXPECT_EQ(r.fields[i].data_type, QUARN_TYPE_UNKNOWN);
    }
    uint64_t count = 0;
    EXPECT_EQ(quarn_count_records(file.get(), &table, &count), QUARN_OK);
    EXPECT_EQ(count, 6u);

    std::vector<std::pair<int, std::string>> values;
    auto take = [](int row, const quarn_column_t *, const char *value, void *ctx) {
        static_cast<std::vector<std::pair<int, std::string>> *>(ctx)->push_back({row, value});
        return int(QUARN_HANDLER_CONTINUE);
    };
    EXPECT_EQ(quarn_read_values(file.get(), &table, take, &values), QUARN_OK);
    EXPECT_EQ(values, (std::vector<std::pair<int, std::string>>{{1, "one"}, {2, "five"}}));
}

/* The count is the number of rows the record reader numbers, in every
 * generation; a table without records counts 0 (later files: earlier ones
 * have the one table, whatever number is asked for). */
TEST_P(ReadRecords, CountIsTheRecordReadersRows) {
    const Generation g = GetParam();
    std::vector<qw::Record> records = {{1, {value(1, "a"), repetition(1, 2, "b")}},
                                       {2, {long_value(2, std::string(700, 'x'), 100)}},
                                       {5, {value(2, "c")}}};
    const quarn::FilePtr file = open_bytes(qw::build_database(
        one_table(g, {field("f", 1, QUARN_TYPE_TEXT, 2), field("g", 2)}, records)));
    ASSERT_NE(file, nullptr);
    quarn_table_t table{};
    table.index = 1;
    uint64_t count = 0;
    EXPECT_EQ(quarn_count_records(file.get(), &table, &count), QUARN_OK);
    EXPECT_EQ(count, 3u);
    if (g == Generation::early) return;
    table.index = 2;
    EXPECT_EQ(quarn_count_records(file.get(), &table, &count), QUARN_OK);
    EXPECT_EQ(count, 0u);
}

/* ------------------------------------------------------------------ */
/* Real files                                                          */
/* ------------------------------------------------------------------ */

/* repeating.fmp12: two text fields of ten repetitions, the first five
 * filled. */
TEST(ReadRecordsCorpus, RepeatingHasFiveRepetitionsOfTwoFields) {
    const std::string dir = qt::corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no shared corpus folder: real files not read";
    const std::string path = dir + "/repeating.fmp12";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
    quarn_error_t error = QUARN_OK;
    const quarn::FilePtr file(quarn_open_file(path.c_str(), &error));
    ASSERT_NE(file, nullptr) << error;

    const std::vector<std::string> expected = {
        "1. line 1\nline 2\nline 3",
        "2. abc,def,ghi,jkl,mno",
        "3. <value>this</value><value>the other</value>",
        "4. line 1\npqr,stu,uvv\n<value>end</value>",
        "5. 2017-06-18 8:56 PM",
    };
    quarn_table_t table{};
    table.index = 1;
    Records r;
    ASSERT_EQ(quarn_read_records(file.get(), &table, Records::handle, &r), QUARN_OK);
    for (int f : {1, 2}) {
        SCOPED_TRACE("field " + std::to_string(f));
        std::vector<std::string> texts;
        for (size_t i = 0; i < r.got.size(); i++) {
            if (r.got[i].field != f) continue;
            EXPECT_EQ(r.got[i].repetition, int(texts.size()) + 1);
            EXPECT_EQ(r.got[i].row, 1);
            EXPECT_EQ(r.fields[i].repetitions, 10);
            texts.push_back(r.got[i].text.value_or("(a reference)"));
        }
        EXPECT_EQ(texts, expected);
    }
}

} // namespace
