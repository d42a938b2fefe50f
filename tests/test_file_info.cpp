/*
 * test_file_info.cpp: quarn_get_file_info, the header's facts as a record:
 * the generation, the version text, the release date as stored and read,
 * the file name and the file's size.
 */
#include <gtest/gtest.h>

#include "files.h"
#include "process.h"
#include "quarn.h"
#include "quarn.hpp"
#include "writer.h"

#include <string>

namespace {

using qw::Generation;

TEST(FileInfo, HeaderFactsOfEveryGeneration) {
    struct Case {
        Generation generation;
        std::string version, date;
        int expected_generation, year, month, day;
    };
    const Case cases[] = {
        {Generation::early, "Pro 5.0", "16AUG95", 0, 1995, 8, 16},
        {Generation::v7, "Pro 7.0", "01OCT99", 7, 1999, 10, 1},
        {Generation::v12, "Pro 12.0", "25JAN11", 12, 2011, 1, 25},
        /* a date text that does not read as one gives no date */
        {Generation::v12, "Pro 12.0", "07Xyz20", 12, 0, 0, 0},
    };
    qt::TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version + " " + c.date);
        qw::Database db;
        db.header.generation = c.generation;
        db.header.version = c.version;
        db.header.date = c.date;
        qw::Table t;
        t.columns = {{"a", 1}};
        db.tables = {t};
        const qw::Bytes bytes = qw::build_database(db);
        const std::string path = dir.file("named file.fmp12");
        qw::write_file(path, bytes);
        quarn_error_t error = QUARN_OK;
        const quarn::FilePtr file(quarn_open_file(path.c_str(), &error));
        ASSERT_NE(file, nullptr) << error;

        quarn_file_info_t info;
        memset(&info, 0x5A, sizeof info);
        quarn_get_file_info(file.get(), &info);
        EXPECT_EQ(info.generation, c.expected_generation);
        EXPECT_STREQ(info.version, c.version.c_str());
        EXPECT_STREQ(info.release_date_text, c.date.c_str());
        EXPECT_EQ(info.release_year, c.year);
        EXPECT_EQ(info.release_month, c.month);
        EXPECT_EQ(info.release_day, c.day);
        EXPECT_STREQ(info.name, "named file.fmp12");
        EXPECT_EQ(info.size, bytes.size());

        /* a handle over a buffer has no name */
        const quarn::FilePtr buffer = qt::open_bytes(bytes);
        ASSERT_NE(buffer, nullptr);
        quarn_get_file_info(buffer.get(), &info);
        EXPECT_STREQ(info.name, "");
        EXPECT_EQ(info.size, bytes.size());
    }
}

} // namespace

namespace {

/* The block of a fault is named by its id, whatever its place in the
 * chain; it stays named after later queries succeed. */
TEST(FailedBlock, NamesTheBlockOfTheFault) {
    using namespace qw::v7;
    const Generation g = Generation::v12;
    qw::FileLayout layout;
    layout.header.generation = g;
    for (int i = 0; i < 4; i++) {
        qw::Sector s;
        push(s.payload, qw::key(129, g));
        field(s.payload, 1, {0x41});
        layout.blocks.push_back(s);
    }
    layout.blocks[2].payload.push_back(0x50); /* block 4: no such code */
    /* the chain runs 2 -> 5 -> 4 -> 3 */
    layout.blocks[0].next_id = 5;
    layout.blocks[3].next_id = 4;
    layout.blocks[2].next_id = 3;
    layout.blocks[1].next_id = 0;
    const quarn::FilePtr file = qt::open_bytes(qw::build_file(layout));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(quarn_failed_block(file.get()), 0);
    quarn_table_t table{};
    table.index = 1;
    EXPECT_EQ(quarn_read_values(file.get(), &table, nullptr, nullptr), QUARN_ERROR_UNRECOGNIZED_CODE);
    EXPECT_EQ(quarn_failed_block(file.get()), 4);
    EXPECT_EQ(quarn_read_values(file.get(), &table, nullptr, nullptr), QUARN_OK);
    EXPECT_EQ(quarn_failed_block(file.get()), 4);
}

} // namespace
