/*
 * test_list_fields.cpp: quarn_list_fields. A field's definition record
 * (key 2 under its definition path, beside the name) gives its data type,
 * kind, global storage and repetitions:
 *
 *                  generation 7 and later        earlier files
 *   record         26 bytes                      12 bytes
 *   kind           byte 0 (1, 2, 3)              byte 0 (1, 2, 3; 5 global)
 *   data type      byte 1 (1 to 6)               byte 1 (1 to 4; 5 container)
 *   global         bit 0 of byte 9               kind 5
 *   repetitions    bytes 24-25                   bytes 10-11
 *
 * Files come from the test writer's database description; odd records are
 * given as raw bytes.
 */
#include <gtest/gtest.h>

#include "files.h"
#include "process.h"
#include "quarn.h"
#include "quarn.hpp"
#include "writer.h"

#include <ostream>
#include <string>
#include <vector>

namespace {

using qt::open_bytes;
using qw::Bytes;
using qw::Generation;

struct Field {
    int index;
    std::string name;
    int data_type = 0;
    int kind = 0;
    int global = 0;
    int repetitions = 1;
    bool operator==(const Field &) const = default;
};

void PrintTo(const Field &f, std::ostream *os) {
    *os << "{" << f.index << " \"" << f.name << "\" type " << f.data_type << " kind " << f.kind
        << " global " << f.global << " repetitions " << f.repetitions << "}";
}

std::vector<Field> fields_of(quarn_file_t *file, int table, quarn_error_t *error = nullptr) {
    quarn_table_t t{};
    t.index = table;
    quarn_error_t rc = QUARN_ERROR_OPEN;
    quarn::FieldsPtr fields(quarn_list_fields(file, &t, &rc));
    EXPECT_NE(fields, nullptr);
    if (error)
        *error = rc;
    else
        EXPECT_EQ(rc, QUARN_OK);
    std::vector<Field> list;
    if (!fields) return list;
    for (uint64_t i = 0; i < fields->count; i++) {
        const quarn_field_t &f = fields->fields[i];
        list.push_back({f.index, f.name, f.data_type, f.kind, f.global, f.repetitions});
    }
    return list;
}

qw::Database one_table(Generation g, std::vector<qw::Column> columns) {
    qw::Database db;
    db.header.generation = g;
    qw::Table t;
    t.name = "T";
    t.number = 1;
    t.columns = std::move(columns);
    db.tables.push_back(t);
    return db;
}

qw::Column defined(const std::string &name, int number, qw::Definition definition) {
    qw::Column c{name, number};
    c.definition = definition;
    return c;
}

class ListFields : public testing::TestWithParam<Generation> {};

/* Every data type and kind, global storage and repetitions, read back by
 * the numbers of quarn.h whatever the generation's own codes. */
TEST_P(ListFields, EveryDefinitionReads) {
    const Generation g = GetParam();
    const bool v7 = qw::is_v7(g);
    struct Case {
        qw::Definition definition;
        Field expected;
    };
    std::vector<Case> cases = {
        {{QUARN_TYPE_TEXT, QUARN_KIND_NORMAL, false, 1}, {1, "text", 1, 1, 0, 1}},
        {{QUARN_TYPE_NUMBER, QUARN_KIND_CALCULATION, false, 1}, {2, "number", 2, 2, 0, 1}},
        {{QUARN_TYPE_DATE, QUARN_KIND_SUMMARY, false, 1}, {3, "date", 3, 3, 0, 1}},
        {{QUARN_TYPE_TIME, QUARN_KIND_NORMAL, false, 10}, {4, "time", 4, 1, 0, 10}},
        {{QUARN_TYPE_CONTAINER, QUARN_KIND_NORMAL, false, 1}, {5, "container", 6, 1, 0, 1}},
        {{QUARN_TYPE_TEXT, QUARN_KIND_NORMAL, true, 1}, {6, "global", 1, 1, 1, 1}},
        {{QUARN_TYPE_TEXT, QUARN_KIND_NORMAL, false, 1000}, {9, "many", 1, 1, 0, 1000}},
        /* no field has fewer than one repetition */
        {{QUARN_TYPE_NUMBER, QUARN_KIND_NORMAL, false, 0}, {10, "none", 2, 1, 0, 1}},
    };
    if (v7) {
        cases.push_back({{QUARN_TYPE_TIMESTAMP, QUARN_KIND_NORMAL, false, 1}, {11, "stamp", 5, 1, 0, 1}});
        /* a global calculation keeps its kind */
        cases.push_back({{QUARN_TYPE_NUMBER, QUARN_KIND_CALCULATION, true, 1}, {12, "gcalc", 2, 2, 1, 1}});
    }
    std::vector<qw::Column> columns;
    std::vector<Field> expected;
    for (const Case &c : cases) {
        columns.push_back(defined(c.expected.name, c.expected.index, c.definition));
        expected.push_back(c.expected);
    }
    const quarn::FilePtr file = open_bytes(qw::build_database(one_table(g, columns)));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(fields_of(file.get(), 1), expected);
}

/* A missing, short or unknown definition says nothing it does not hold. */
TEST_P(ListFields, MissingShortOrUnknownDefinitions) {
    const Generation g = GetParam();
    const bool v7 = qw::is_v7(g);
    const size_t whole = v7 ? 26 : 12;

    qw::Column missing{"missing", 1};
    if (!v7) missing.definition_bytes = Bytes{0x00, 0x01, 0x00, 0x00}; /* the 4-byte type record */
    qw::Column short_record{"short", 2};
    Bytes cut = qw::definition_record({QUARN_TYPE_NUMBER, QUARN_KIND_NORMAL, false, 7}, g);
    cut.resize(whole - 1);
    short_record.definition_bytes = cut;
    qw::Column unknown{"unknown codes", 3};
    Bytes odd = qw::definition_record({QUARN_TYPE_TEXT, QUARN_KIND_NORMAL, false, 3}, g);
    odd[0] = 9;  /* no kind */
    odd[1] = 9;  /* no data type */
    unknown.definition_bytes = odd;
    qw::Column longer{"longer", 4};
    Bytes more = qw::definition_record({QUARN_TYPE_DATE, QUARN_KIND_NORMAL, false, 2}, g);
    more.push_back(0x7F); /* bytes after the known ones change nothing */
    longer.definition_bytes = more;

    const quarn::FilePtr file =
        open_bytes(qw::build_database(one_table(g, {missing, short_record, unknown, longer})));
    ASSERT_NE(file, nullptr);
    const std::vector<Field> expected = {
        {1, "missing", 0, 0, 0, 1},
        {2, "short", 0, 0, 0, 1},
        {3, "unknown codes", 0, 0, 0, 3},
        {4, "longer", 3, 1, 0, 2},
    };
    EXPECT_EQ(fields_of(file.get(), 1), expected);
}

/* The same fields, in the same order and with the same names, as the
 * column catalogue; other tables' definitions stay theirs. */
TEST_P(ListFields, SameFieldsAsTheColumnCatalogue) {
    const Generation g = GetParam();
    qw::Database db = one_table(g, {defined("a", 1, {QUARN_TYPE_TEXT, 1, false, 1}),
                                    {"no definition", 2},
                                    defined("Größe", 7, {QUARN_TYPE_NUMBER, 1, false, 1}),
                                    defined("z", 300, {QUARN_TYPE_DATE, 1, false, 4})});
    if (qw::is_v7(g)) {
        qw::Table other;
        other.name = "Other";
        other.number = 2;
        other.columns = {defined("other", 1, {QUARN_TYPE_CONTAINER, 1, false, 1})};
        db.tables.push_back(other);
    }
    const quarn::FilePtr file = open_bytes(qw::build_database(db));
    ASSERT_NE(file, nullptr);

    quarn_table_t table{};
    table.index = 1;
    quarn_error_t error = QUARN_OK;
    const quarn::ColumnsPtr columns(quarn_list_columns(file.get(), &table, &error));
    ASSERT_NE(columns, nullptr);
    const std::vector<Field> fields = fields_of(file.get(), 1);
    ASSERT_EQ(fields.size(), columns->count);
    for (uint64_t i = 0; i < columns->count; i++) {
        EXPECT_EQ(fields[i].index, columns->columns[i].index);
        EXPECT_EQ(fields[i].name, columns->columns[i].name);
    }
    EXPECT_EQ(fields, (std::vector<Field>{{1, "a", 1, 1, 0, 1},
                                          {2, "no definition", 0, 0, 0, 1},
                                          {7, "Größe", 2, 1, 0, 1},
                                          {300, "z", 3, 1, 0, 4}}));
    if (qw::is_v7(g)) {
        EXPECT_EQ(fields_of(file.get(), 2), (std::vector<Field>{{1, "other", 6, 1, 0, 1}}));
    }
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, ListFields,
                         testing::Values(Generation::early, Generation::v7, Generation::v12),
                         [](const auto &info) { return qw::generation_label(info.param); });

/* A definition without a name makes no field, as it makes no column; a
 * walk that fails keeps the fields found before it; a null error pointer
 * is taken. */
TEST(ListFieldsWalk, UnnamedDefinitionsFailuresAndNullError) {
    using namespace qw::v7;
    Bytes first;
    push(first, qw::key(129, Generation::v12));
    push(first, {3});
    push(first, {5});
    push(first, {1});
    field(first, 2, qw::definition_record({QUARN_TYPE_NUMBER, 1, false, 3}, Generation::v12));
    field(first, 16, qw::stored_text("named", Generation::v12));
    pop(first);
    push(first, {2});
    field(first, 2, qw::definition_record({QUARN_TYPE_DATE, 1, false, 1}, Generation::v12));
    pop(first);
    Bytes second;
    push(second, qw::key(129, Generation::v12));
    second.push_back(0x50); /* no such code */
    const Bytes bytes = qw::file_of_payloads(Generation::v12, {first, second});
    const quarn::FilePtr file = open_bytes(bytes);
    ASSERT_NE(file, nullptr);

    quarn_error_t error = QUARN_OK;
    EXPECT_EQ(fields_of(file.get(), 1, &error), (std::vector<Field>{{1, "named", 2, 1, 0, 3}}));
    EXPECT_EQ(error, QUARN_ERROR_UNRECOGNIZED_CODE);

    quarn_table_t table{};
    table.index = 1;
    quarn::FieldsPtr again(quarn_list_fields(file.get(), &table, nullptr));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->count, 1u);
    quarn_free_fields(nullptr);
}

/* Field names in long form (generation 7 and later: the directory
 * T, 3, 5, c, 16 with the lengths as ref 0 and the text as ref 1, or in
 * pieces): the field catalogue, the column catalogue and both readers name
 * such a field, and its values are no longer passed over as those of an
 * unnamed column. A short name wins over a long form; the lengths alone
 * name nothing. */
TEST(ListFieldsWalk, NamesInLongForm) {
    using namespace qw::v7;
    const Generation g = Generation::v12;
    auto definition = [&](Bytes &out, unsigned c) {
        push(out, {uint8_t(c)});
        field(out, 2, qw::definition_record({QUARN_TYPE_TEXT, 1, false, 1}, g));
    };
    const Bytes kanji = qw::stored_text("郵便番号1", g);
    Bytes p;
    push(p, qw::key(129, g));
    push(p, {3});
    push(p, {5});
    definition(p, 1);
    field(p, 16, qw::stored_text("plain", g));
    pop(p);
    definition(p, 2);
    push(p, {16});
    field(p, 0, Bytes{0, 0, 0, 5, 0, 0, 0, 2});
    field(p, 1, qw::stored_text("名前", g));
    pop(p);
    pop(p);
    definition(p, 3);
    push(p, {16});
    field(p, 0, Bytes(8, 0));
    segment(p, 1, Bytes(kanji.begin(), kanji.begin() + 5)); /* a piece ends inside a character */
    segment(p, 2, Bytes(kanji.begin() + 5, kanji.end()));
    pop(p);
    pop(p);
    definition(p, 4);
    push(p, {16});
    field(p, 1, qw::stored_text("long", g));
    pop(p);
    field(p, 16, qw::stored_text("short", g));
    pop(p);
    definition(p, 5);
    push(p, {16});
    field(p, 0, Bytes(8, 0));
    pop(p);
    pop(p);
    pop(p);
    pop(p);
    push(p, {5});
    push(p, {1});
    for (unsigned c = 1; c <= 5; c++) field(p, c, qw::stored_text("v" + std::to_string(c), g));
    pop(p);
    pop(p);
    pop(p);
    const quarn::FilePtr file = open_bytes(qw::file_of_payloads(g, {p}));
    ASSERT_NE(file, nullptr);

    quarn_error_t error = QUARN_ERROR_OPEN;
    EXPECT_EQ(fields_of(file.get(), 1, &error),
              (std::vector<Field>{{1, "plain", 1, 1, 0, 1}, {2, "名前", 1, 1, 0, 1}, {3, "郵便番号1", 1, 1, 0, 1},
                                  {4, "short", 1, 1, 0, 1}}));
    EXPECT_EQ(error, QUARN_OK);

    quarn_table_t table{};
    table.index = 1;
    const quarn::ColumnsPtr columns(quarn_list_columns(file.get(), &table, &error));
    ASSERT_NE(columns, nullptr);
    std::vector<std::string> names;
    for (uint64_t c = 0; c < columns->count; c++) names.push_back(columns->columns[c].name);
    EXPECT_EQ(names, (std::vector<std::string>{"plain", "名前", "郵便番号1", "short"}));

    std::vector<std::string> values;
    auto take = [](int, const quarn_column_t *column, const char *value, void *ctx) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(column->name) + "=" + value);
        return int(QUARN_HANDLER_CONTINUE);
    };
    EXPECT_EQ(quarn_read_values(file.get(), &table, take, &values), QUARN_OK);
    EXPECT_EQ(values, (std::vector<std::string>{"plain=v1", "名前=v2", "郵便番号1=v3", "short=v4"}));

    values.clear();
    auto take_record = [](const quarn_value_t *value, void *ctx) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(value->field->name) + "=" +
                                                                value->text);
        return int(QUARN_HANDLER_CONTINUE);
    };
    EXPECT_EQ(quarn_read_records(file.get(), &table, take_record, &values), QUARN_OK);
    EXPECT_EQ(values, (std::vector<std::string>{"plain=v1", "名前=v2", "郵便番号1=v3", "short=v4"}));
}

} // namespace
