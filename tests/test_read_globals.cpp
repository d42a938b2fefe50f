/*
 * test_read_globals.cpp: quarn_read_globals. A global field has one value
 * for the whole table, stored once where a record's values would lie, one
 * level up and without a row key: generation 7 and later under T, 8 (a
 * field whose ref is the column; a long value in the directory T, 8, c;
 * repetitions in the records' 0x0E form), earlier files under 3, 8 in the
 * early forms. The values come as the record reader hands values over, on
 * row 0 with record id 0.
 */
#include <gtest/gtest.h>

#include "files.h"
#include "quarn.h"
#include "quarn.hpp"
#include "writer.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using qt::open_bytes;
using qw::Bytes;
using qw::Generation;

struct Global {
    int field;
    int repetition;
    std::optional<std::string> text; /* unset: a container reference */
    Bytes key = {};
    bool operator==(const Global &) const = default;
};

void PrintTo(const Global &g, std::ostream *os) {
    *os << "{field " << g.field << ", repetition " << g.repetition << ", ";
    if (g.text) {
        *os << "\"" << *g.text << "\"";
    } else {
        *os << "key";
        for (uint8_t b : g.key) *os << " " << int(b);
    }
    *os << "}";
}

int take(const quarn_value_t *value, void *ctx) {
    EXPECT_EQ(value->row, 0);
    EXPECT_EQ(value->record_id, 0u);
    Global g{value->field->index, value->repetition, std::nullopt};
    if (value->text)
        g.text = value->text;
    else
        g.key.assign(value->container_key.bytes, value->container_key.bytes + value->container_key.size);
    static_cast<std::vector<Global> *>(ctx)->push_back(g);
    return QUARN_HANDLER_CONTINUE;
}

std::vector<Global> globals_of(quarn_file_t *file, int table, quarn_error_t expected = QUARN_OK) {
    quarn_table_t t{};
    t.index = table;
    std::vector<Global> got;
    EXPECT_EQ(quarn_read_globals(file, &t, take, &got), expected);
    return got;
}

/* Generation 12: table 1 with a text field (1), a repeating text field (2)
 * and a container (3), all global, and an ordinary field (4) with a record;
 * table 2 with a global of its own. */
Bytes v12_file() {
    using namespace qw::v7;
    const Generation g = Generation::v12;
    auto text = [g](const std::string &t) { return qw::stored_text(t, g); };
    Bytes p;
    push(p, qw::key(129, g));
    push(p, {3});
    push(p, {5});
    const int types[] = {QUARN_TYPE_TEXT, QUARN_TYPE_TEXT, QUARN_TYPE_CONTAINER, QUARN_TYPE_TEXT};
    for (int c = 1; c <= 4; c++) {
        push(p, {uint8_t(c)});
        field(p, 16, text("f" + std::to_string(c)));
        field(p, 2, qw::definition_record({types[c - 1], 1, c != 4, c == 2 ? 3 : 1}, g));
        pop(p);
    }
    pop(p);
    pop(p);
    push(p, {8});
    field(p, 1, text("one global"));
    push(p, {2});
    field(p, 0, Bytes{0, 0, 0, 12, 0, 0, 0, 12});
    segment(p, 1, text("first "));
    segment(p, 2, text("repetition"));
    push(p, {0xFF});
    field(p, 1, text("styles, not text"));
    pop(p);
    pop(p);
    field_key_bytes(p, 0x0E, {0x02, 0x03}, text("third repetition"));
    push(p, {3});
    field(p, 0, Bytes{0, 0, 0, 5, 0, 0, 0, 3});
    field(p, 1, text("02"));
    pop(p);
    field(p, 9, text("no such field"));
    pop(p);
    push(p, {5});
    push(p, {1});
    field(p, 4, text("record value"));
    pop(p);
    pop(p);
    pop(p);
    push(p, qw::key(130, g));
    push(p, {3});
    push(p, {5});
    push(p, {1});
    field(p, 16, text("g"));
    field(p, 2, qw::definition_record({QUARN_TYPE_NUMBER, 1, true, 1}, g));
    pop(p);
    pop(p);
    pop(p);
    push(p, {8});
    field(p, 1, text("133"));
    pop(p);
    pop(p);
    return qw::file_of_payloads(g, {p});
}

TEST(ReadGlobals, LaterFilesShortLongRepeatedAndContainer) {
    const quarn::FilePtr file = open_bytes(v12_file());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(globals_of(file.get(), 1), (std::vector<Global>{{1, 1, "one global"},
                                                              {2, 1, "first repetition"},
                                                              {2, 3, "third repetition"},
                                                              {3, 1, std::nullopt, {0x02}}}));
    EXPECT_EQ(globals_of(file.get(), 2), (std::vector<Global>{{1, 1, "133"}}));
    EXPECT_EQ(globals_of(file.get(), 3), std::vector<Global>{});

    /* the records keep to the records */
    quarn_table_t table{};
    table.index = 1;
    std::vector<std::string> texts;
    auto record = [](const quarn_value_t *value, void *ctx) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(value->text ? value->text : "(key)");
        return int(QUARN_HANDLER_CONTINUE);
    };
    EXPECT_EQ(quarn_read_records(file.get(), &table, record, &texts), QUARN_OK);
    EXPECT_EQ(texts, std::vector<std::string>{"record value"});
}

/* Earlier files: the one table's globals under 3, 8, beside the field
 * definitions (3, 5) and before the records (5). */
TEST(ReadGlobals, EarlierFiles) {
    using namespace qw::early;
    const Generation g = Generation::early;
    auto text = [g](const std::string &t) { return qw::stored_text(t, g); };
    Bytes p;
    push(p, {3});
    push(p, {5});
    for (int c = 1; c <= 3; c++) {
        push(p, {uint8_t(c)});
        field(p, 1, text("f" + std::to_string(c)));
        field(p, 2, qw::definition_record({c == 3 ? QUARN_TYPE_CONTAINER : QUARN_TYPE_TEXT, 1, true, c == 1 ? 2 : 1}, g));
        pop(p);
    }
    pop(p);
    push(p, {8});
    field(p, 1, text("Quark"));
    long_field(p, {0x01, 0x02}, text("second"));
    push(p, {2});
    field(p, 1, text("long "));
    field(p, 2, text("value"));
    pop(p);
    field(p, 3, Bytes{0x01, 0x06});
    pop(p);
    pop(p);
    push(p, {5});
    push(p, {1});
    field(p, 1, text("record"));
    pop(p);
    pop(p);
    const quarn::FilePtr file = open_bytes(qw::file_of_payloads(g, {p}));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(globals_of(file.get(), 1), (std::vector<Global>{{1, 1, "Quark"},
                                                              {1, 2, "second"},
                                                              {2, 1, "long value"},
                                                              {3, 1, std::nullopt, {0x06}}}));
}

/* The handler's ABORT ends the read with 13; a null handler reads through;
 * a damaged block gives the walk's error. */
TEST(ReadGlobals, AbortNullHandlerAndDamage) {
    const quarn::FilePtr file = open_bytes(v12_file());
    ASSERT_NE(file, nullptr);
    quarn_table_t table{};
    table.index = 1;
    int calls = 0;
    auto abort_first = [](const quarn_value_t *, void *ctx) {
        ++*static_cast<int *>(ctx);
        return int(QUARN_HANDLER_ABORT);
    };
    EXPECT_EQ(quarn_read_globals(file.get(), &table, abort_first, &calls), QUARN_ERROR_USER_ABORTED);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(quarn_read_globals(file.get(), &table, nullptr, nullptr), QUARN_OK);

    Bytes bad;
    qw::v7::push(bad, qw::key(129, Generation::v12));
    bad.push_back(0x50);
    const quarn::FilePtr damaged = open_bytes(qw::file_of_payloads(Generation::v12, {bad}));
    ASSERT_NE(damaged, nullptr);
    EXPECT_EQ(globals_of(damaged.get(), 1, QUARN_ERROR_UNRECOGNIZED_CODE), std::vector<Global>{});
}

} // namespace
