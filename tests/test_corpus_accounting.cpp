/*
 * test_corpus_accounting.cpp: the shared real files, accounted for by the
 * library. Every record directory a file holds (T, 5, r in generation 7 and
 * later, 5, r in earlier files), counted by a walk of this test's own over
 * the raw keys, belongs to a listed table and comes out of the record
 * reader and the count; and what the corpus README and the format notes
 * say of the files: customers_ja's third table, named in long form, with
 * its 21 records, and its global picture; the globals of one solution
 * saved by two generations agree.
 */
#include <gtest/gtest.h>

#include "process.h"
#include "quarn.h"
#include "quarn.hpp"
#include "record_directories.h"

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const char *const kCorpus[] = {"bingo.fmp12",     "bingo.fp7",       "book_list.fmp12", "book_list.fp5",
                               "book_list.fp7",   "customers_ja.fmp12", "fm_Ooe.fmp12", "repeating.fmp12",
                               "sample_db.fp5",   "shell_script.fp7"};

/* The path of a corpus file, or empty (the test then skips, saying why). */
std::string corpus_file(const std::string &name, std::string *why) {
    const std::string dir = qt::corpus_dir();
    if (dir.empty()) {
        *why = "no shared corpus folder: real files not read";
        return "";
    }
    const std::string path = dir + "/" + name;
    if (!std::filesystem::exists(path)) {
        *why = path + " is absent";
        return "";
    }
    return path;
}

/* Opens the file at path and lists its tables, both checked. */
void open_listed(const std::string &path, quarn::FilePtr *file, quarn::TablesPtr *tables) {
    quarn_error_t error = QUARN_OK;
    file->reset(quarn_open_file(path.c_str(), &error));
    ASSERT_NE(*file, nullptr) << error;
    tables->reset(quarn_list_tables(file->get(), &error));
    ASSERT_NE(*tables, nullptr);
    ASSERT_EQ(error, QUARN_OK);
}

struct Rows {
    int last_row = 0;
    uint64_t rows = 0;
    std::set<uint64_t> ids;
};

int count_rows(const quarn_value_t *value, void *ctx) {
    auto &rows = *static_cast<Rows *>(ctx);
    if (value->row != rows.last_row) {
        rows.last_row = value->row;
        rows.rows++;
    }
    rows.ids.insert(value->record_id);
    return QUARN_HANDLER_CONTINUE;
}

/* Every record the file holds comes out: its table is listed, the count
 * and the record reader's rows equal the number of record directories,
 * and each record has an id of its own. */
TEST(CorpusAccounting, EveryRecordOfEveryFileComesOut) {
    for (const char *name : kCorpus) {
        SCOPED_TRACE(name);
        std::string why;
        const std::string path = corpus_file(name, &why);
        if (path.empty()) GTEST_SKIP() << why;

        qt::RecordKeys keys;
        ASSERT_TRUE(qt::record_directories(path, &keys));

        quarn::FilePtr file;
        quarn::TablesPtr tables;
        ASSERT_NO_FATAL_FAILURE(open_listed(path, &file, &tables));
        std::map<int64_t, const quarn_table_t *> listed;
        for (uint64_t t = 0; t < tables->count; t++) listed[tables->tables[t].index] = &tables->tables[t];

        for (const auto &[number, records] : keys) {
            SCOPED_TRACE("table " + std::to_string(number));
            ASSERT_EQ(listed.count(number), 1u) << "a table with records is not listed";
            const quarn_table_t *table = listed[number];
            uint64_t count = 0;
            EXPECT_EQ(quarn_count_records(file.get(), table, &count), QUARN_OK);
            EXPECT_EQ(count, records.size());
            Rows rows;
            EXPECT_EQ(quarn_read_records(file.get(), table, count_rows, &rows), QUARN_OK);
            EXPECT_EQ(rows.rows, records.size());
            EXPECT_EQ(rows.ids.size(), records.size()) << "record ids repeat";
        }
        /* a listed table without record directories counts none */
        for (const auto &[number, table] : listed) {
            if (keys.count(number) != 0) continue;
            uint64_t count = 99;
            EXPECT_EQ(quarn_count_records(file.get(), table, &count), QUARN_OK);
            EXPECT_EQ(count, 0u) << table->name;
        }
    }
}

struct Globals {
    std::map<std::string, std::string> texts;              /* field name -> text */
    std::map<std::string, quarn_container_key_t> containers; /* field name -> key */
};

int take_global(const quarn_value_t *value, void *ctx) {
    auto &globals = *static_cast<Globals *>(ctx);
    EXPECT_EQ(value->row, 0);
    EXPECT_EQ(value->record_id, 0u);
    EXPECT_EQ(value->repetition, 1);
    if (value->text)
        globals.texts[value->field->name] = value->text;
    else
        globals.containers[value->field->name] = value->container_key;
    return QUARN_HANDLER_CONTINUE;
}

Globals read_globals(quarn_file_t *file, const quarn_table_t &table) {
    Globals globals;
    EXPECT_EQ(quarn_read_globals(file, &table, take_global, &globals), QUARN_OK);
    return globals;
}

/* customers_ja.fmp12: three tables; the third, 顧客, named in long form
 * with fields named in long form, holds 21 customers; resource holds
 * global values only (its one record has no stored value), the picture
 * hagaki.png among them. */
TEST(CorpusAccounting, CustomersJaHasItsThirdTableAndItsGlobalPicture) {
    std::string why;
    const std::string path = corpus_file("customers_ja.fmp12", &why);
    if (path.empty()) GTEST_SKIP() << why;
    quarn::FilePtr file;
    quarn::TablesPtr tables;
    ASSERT_NO_FATAL_FAILURE(open_listed(path, &file, &tables));
    quarn_error_t error = QUARN_OK;
    ASSERT_EQ(tables->count, 3u);
    EXPECT_STREQ(tables->tables[0].name, "Customers");
    EXPECT_STREQ(tables->tables[1].name, "顧客");
    EXPECT_EQ(tables->tables[1].index, 3);
    EXPECT_STREQ(tables->tables[2].name, "resource");

    const quarn_table_t &kokyaku = tables->tables[1];
    const quarn::FieldsPtr fields(quarn_list_fields(file.get(), &kokyaku, &error));
    ASSERT_NE(fields, nullptr);
    std::vector<std::string> names;
    for (uint64_t f = 0; f < fields->count; f++) names.push_back(fields->fields[f].name);
    EXPECT_EQ(names, (std::vector<std::string>{"名前", "住所", "郵便番号1", "郵便番号2"}));
    const quarn::ColumnsPtr columns(quarn_list_columns(file.get(), &kokyaku, &error));
    ASSERT_NE(columns, nullptr);
    EXPECT_EQ(columns->count, 4u);

    uint64_t count = 0;
    EXPECT_EQ(quarn_count_records(file.get(), &kokyaku, &count), QUARN_OK);
    EXPECT_EQ(count, 21u);
    /* the single-purpose programs' reader gets the values too */
    std::map<int, int> values_per_row;
    auto take = [](int row, const quarn_column_t *column, const char *, void *ctx) {
        EXPECT_NE(column->name[0], '\0');
        (*static_cast<std::map<int, int> *>(ctx))[row]++;
        return int(QUARN_HANDLER_CONTINUE);
    };
    EXPECT_EQ(quarn_read_values(file.get(), &kokyaku, take, &values_per_row), QUARN_OK);
    EXPECT_EQ(values_per_row.size(), 21u);

    const quarn_table_t &resource = tables->tables[2];
    const Globals globals = read_globals(file.get(), resource);
    EXPECT_EQ(globals.texts.at("labels"), "name,address,city,state,zip");
    ASSERT_EQ(globals.containers.count("postcardImg"), 1u);
    const quarn_container_key_t key = globals.containers.at("postcardImg");
    ASSERT_EQ(key.size, 1u);
    EXPECT_EQ(key.bytes[0], 0x02);

    struct Picture {
        quarn_container_key_t key;
        std::string name;
        uint64_t png = 0, bytes = 0;
    } picture{key, "", 0, 0};
    auto handler = [](const quarn_container_event_t *event, void *ctx) -> int {
        auto &p = *static_cast<Picture *>(ctx);
        const quarn_container_t &c = *event->container;
        if (c.key.size != p.key.size || memcmp(c.key.bytes, p.key.bytes, c.key.size) != 0)
            return QUARN_HANDLER_STOP;
        if (event->type == QUARN_CONTAINER_BEGIN) {
            if (c.name) p.name = c.name;
            for (uint32_t s = 0; s < c.stream_count; s++)
                if (memcmp(c.streams[s].tag, "PNGf", 4) == 0) p.png = c.streams[s].length;
        } else if (event->type == QUARN_CONTAINER_DATA && memcmp(c.streams[event->stream].tag, "PNGf", 4) == 0) {
            p.bytes += event->bytes.size;
        }
        return QUARN_HANDLER_CONTINUE;
    };
    EXPECT_EQ(quarn_read_containers(file.get(), &resource, handler, &picture), QUARN_OK);
    EXPECT_EQ(picture.name, "hagaki.png");
    EXPECT_EQ(picture.png, 8627u);
    EXPECT_EQ(picture.bytes, 8627u);
}

/* bingo.fp7 and bingo.fmp12, one app saved by two generations: the same
 * global value in the same field; a table without global fields has
 * none. */
TEST(CorpusAccounting, BingoGlobalsAgreeAcrossGenerations) {
    std::vector<Globals> per_file;
    for (const char *name : {"bingo.fp7", "bingo.fmp12"}) {
        SCOPED_TRACE(name);
        std::string why;
        const std::string path = corpus_file(name, &why);
        if (path.empty()) GTEST_SKIP() << why;
        quarn::FilePtr file;
        quarn::TablesPtr tables;
        ASSERT_NO_FATAL_FAILURE(open_listed(path, &file, &tables));
        ASSERT_EQ(tables->count, 2u);
        per_file.push_back(read_globals(file.get(), tables->tables[0]));
        EXPECT_TRUE(read_globals(file.get(), tables->tables[1]).texts.empty());
    }
    ASSERT_EQ(per_file.size(), 2u);
    ASSERT_EQ(per_file[0].texts.count("_g_html_template"), 1u);
    EXPECT_EQ(per_file[0].texts.at("_g_html_template").rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(per_file[0].texts, per_file[1].texts);
}

} // namespace
