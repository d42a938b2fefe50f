/*
 * Opening a database file: the failures with their numbers, the header facts
 * and format profile, and the block table, by path and from a buffer.
 */
#include <gtest/gtest.h>

#include "quarn.h"
#include "quarn_internal.h"
#include "writer.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using qw::Bytes;
using qw::Generation;

struct Closer {
    void operator()(quarn_file_t *file) const { quarn_close_file(file); }
};
using FilePtr = std::unique_ptr<quarn_file_t, Closer>;

/* A value that no open ever reports, to see whether the error was written. */
const quarn_error_t kUntouched = static_cast<quarn_error_t>(-77);

/* A directory of its own for the files a test writes, removed afterwards. */
struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = testing::TempDir() + "quarn_open_XXXXXX";
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        path = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

enum class Via { buffer, file };

const char *via_name(Via via) { return via == Via::buffer ? "buffer" : "file"; }

/* Opens bytes through the buffer or, written to a temporary file, by path. */
FilePtr open_via(const Bytes &bytes, Via via, quarn_error_t *error) {
    if (via == Via::buffer) return FilePtr(quarn_open_buffer(bytes.data(), bytes.size(), error));
    TempDir dir;
    const std::string path = dir.path + "/db.fp7";
    qw::write_file(path, bytes);
    return FilePtr(quarn_open_file(path.c_str(), error));
}

/* A valid file of the generation with n empty blocks after the index block. */
qw::FileLayout layout_with_blocks(Generation generation, size_t n) {
    qw::FileLayout layout;
    layout.header.generation = generation;
    layout.blocks.resize(n);
    qw::chain(layout.blocks);
    return layout;
}

Bytes file_with_blocks(Generation generation, size_t n) {
    return qw::build_file(layout_with_blocks(generation, n));
}

/* The file with the two bytes at offset set to the big-endian value. */
Bytes patched16(Bytes bytes, size_t offset, uint16_t value) {
    bytes[offset] = uint8_t(value >> 8);
    bytes[offset + 1] = uint8_t(value);
    return bytes;
}

struct FailureCase {
    const char *name;
    Bytes bytes;
    quarn_error_t expected;
};

std::vector<FailureCase> failure_cases() {
    std::vector<FailureCase> cases;
    const Bytes v7 = file_with_blocks(Generation::v7, 2);
    const Bytes early = file_with_blocks(Generation::early, 2);

    /* too short for the header, or for the index sector after it */
    cases.push_back({"empty", {}, QUARN_ERROR_READ});
    cases.push_back({"100 bytes of header", Bytes(v7.begin(), v7.begin() + 100), QUARN_ERROR_READ});
    cases.push_back({"1023 bytes", Bytes(v7.begin(), v7.begin() + 1023), QUARN_ERROR_READ});
    cases.push_back({"v7 header only", Bytes(v7.begin(), v7.begin() + 1024), QUARN_ERROR_READ});
    cases.push_back({"v7 header area only", Bytes(v7.begin(), v7.begin() + 4096), QUARN_ERROR_READ});
    cases.push_back({"v7 index sector short by one byte", Bytes(v7.begin(), v7.begin() + 8191),
                     QUARN_ERROR_READ});
    cases.push_back({"early header only", Bytes(early.begin(), early.begin() + 1024),
                     QUARN_ERROR_READ});
    cases.push_back({"early index sector short", Bytes(early.begin(), early.begin() + 2048 + 500),
                     QUARN_ERROR_READ});

    /* not a database file */
    qw::FileLayout bad = layout_with_blocks(Generation::v7, 1);
    bad.header.bad_magic = true;
    cases.push_back({"bad magic before HBAM7", qw::build_file(bad), QUARN_ERROR_BAD_MAGIC});
    bad.header.generation = Generation::early;
    cases.push_back({"bad magic, early", qw::build_file(bad), QUARN_ERROR_BAD_MAGIC});
    Bytes bad_header = qw::build_file(bad);
    bad_header.resize(1024);
    cases.push_back({"bad magic, 1024 bytes only", bad_header, QUARN_ERROR_BAD_MAGIC});

    /* a stored payload length beyond the 1010-byte area */
    qw::FileLayout long_block = layout_with_blocks(Generation::early, 2);
    long_block.blocks[1].stored_length = 1011;
    cases.push_back({"early block 3 stores length 1011", qw::build_file(long_block),
                     QUARN_ERROR_BAD_BLOCK});
    long_block.blocks[1].stored_length = 0xFFFF;
    cases.push_back({"early block 3 stores length 65535", qw::build_file(long_block),
                     QUARN_ERROR_BAD_BLOCK});
    cases.push_back({"early index block stores length 1011", patched16(early, 2048 + 12, 1011),
                     QUARN_ERROR_BAD_BLOCK});

    /* block counts that disagree with the file */
    auto with_count = [](Generation g, size_t blocks, int64_t count) {
        qw::FileLayout layout = layout_with_blocks(g, blocks);
        layout.block_count = count;
        return qw::build_file(layout);
    };
    cases.push_back({"v7 count 0", with_count(Generation::v7, 1, 0), QUARN_ERROR_BAD_SECTOR_COUNT});
    cases.push_back({"early count 0", with_count(Generation::early, 1, 0),
                     QUARN_ERROR_BAD_SECTOR_COUNT});
    cases.push_back({"v7 3 sectors, count 1", with_count(Generation::v7, 1, 1),
                     QUARN_ERROR_BAD_SECTOR_COUNT});
    cases.push_back({"v7 3 sectors, count 3", with_count(Generation::v7, 1, 3),
                     QUARN_ERROR_BAD_SECTOR_COUNT});
    cases.push_back({"early 5 sectors, count 2", with_count(Generation::early, 2, 2),
                     QUARN_ERROR_BAD_SECTOR_COUNT});
    cases.push_back({"early 5 sectors, count 4", with_count(Generation::early, 2, 4),
                     QUARN_ERROR_BAD_SECTOR_COUNT});
    cases.push_back({"v7 count -1 (4294967295 unsigned)", with_count(Generation::v7, 1, -1),
                     QUARN_ERROR_BAD_SECTOR_COUNT});
    cases.push_back({"v7 count 0x7FFFFFFF", with_count(Generation::v7, 1, 0x7FFFFFFF),
                     QUARN_ERROR_BAD_SECTOR_COUNT});

    qw::FileLayout trailing = layout_with_blocks(Generation::v7, 2);
    trailing.trailing = {0x00};
    cases.push_back({"v7 one trailing byte", qw::build_file(trailing), QUARN_ERROR_BAD_SECTOR_COUNT});
    qw::FileLayout cut = layout_with_blocks(Generation::early, 2);
    cut.truncate = 2048 + 3 * 1024 - 1;
    cases.push_back({"early last sector short by one byte", qw::build_file(cut),
                     QUARN_ERROR_BAD_SECTOR_COUNT});
    return cases;
}

TEST(Open, FailuresReportTheirNumber) {
    for (const FailureCase &c : failure_cases()) {
        for (Via via : {Via::buffer, Via::file}) {
            SCOPED_TRACE(std::string(c.name) + " via " + via_name(via));
            quarn_error_t error = kUntouched;
            FilePtr file = open_via(c.bytes, via, &error);
            EXPECT_EQ(file, nullptr);
            EXPECT_EQ(error, c.expected);

            /* a null error pointer is accepted: same outcome, nothing stored */
            EXPECT_EQ(open_via(c.bytes, via, nullptr), nullptr);
        }
    }
}

TEST(Open, EveryMagicByteIsChecked) {
    for (Generation g : {Generation::v7, Generation::early}) {
        const Bytes good = file_with_blocks(g, 1);
        for (size_t i = 0; i < 15; i++) {
            SCOPED_TRACE("generation " + std::to_string(int(g)) + ", magic byte " + std::to_string(i));
            Bytes bytes = good;
            bytes[i] ^= 0x01;
            quarn_error_t error = kUntouched;
            EXPECT_EQ(open_via(bytes, Via::buffer, &error), nullptr);
            EXPECT_EQ(error, QUARN_ERROR_BAD_MAGIC);
        }
    }
}

TEST(Open, MissingPathIsError1) {
    quarn_error_t error = kUntouched;
    EXPECT_EQ(quarn_open_file("/nonexistent-quarn-dir/db.fp7", &error), nullptr);
    EXPECT_EQ(error, QUARN_ERROR_OPEN);

    error = kUntouched;
    EXPECT_EQ(quarn_open_file(nullptr, &error), nullptr);
    EXPECT_EQ(error, QUARN_ERROR_OPEN);

    EXPECT_EQ(quarn_open_file("/nonexistent-quarn-dir/db.fp7", nullptr), nullptr);
}

TEST(Open, UnseekableStreamIsError3) {
    /* A FIFO opens for reading but cannot seek to its end. Holding it open
     * read-write here lets the library's open for reading return at once. */
    TempDir dir;
    const std::string path = dir.path + "/fifo";
    if (mkfifo(path.c_str(), 0600) != 0) GTEST_SKIP() << "cannot make a FIFO here";
    const int holder = open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (holder < 0) GTEST_SKIP() << "cannot hold the FIFO open";
    const Bytes bytes = file_with_blocks(Generation::v7, 1);
    /* the file's bytes wait in the pipe, so only the seek can fail */
    ASSERT_EQ(write(holder, bytes.data(), 4096), 4096);

    quarn_error_t error = kUntouched;
    FilePtr file(quarn_open_file(path.c_str(), &error));
    close(holder);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(error, QUARN_ERROR_SEEK);
}

/* Error 12 needs iconv without a Mac Roman converter, which a test cannot
 * arrange without breaking iconv for the whole process: not tested. */

TEST(Open, SuccessLeavesTheErrorVariableAlone) {
    for (Generation g : {Generation::early, Generation::v7, Generation::v12}) {
        for (Via via : {Via::buffer, Via::file}) {
            SCOPED_TRACE("generation " + std::to_string(int(g)) + " via " + via_name(via));
            const Bytes bytes = file_with_blocks(g, 2);
            quarn_error_t error = QUARN_ERROR_USER_ABORTED;
            FilePtr file = open_via(bytes, via, &error);
            ASSERT_NE(file, nullptr);
            EXPECT_EQ(error, QUARN_ERROR_USER_ABORTED);
            EXPECT_NE(open_via(bytes, via, nullptr), nullptr);
        }
    }
}

/* ---- header facts and profile ---- */

TEST(OpenHeader, GenerationAndProfile) {
    struct Case {
        const char *name;
        Generation generation;
        uint8_t generation_byte;
        int expected;
    };
    const Case cases[] = {
        {"v7 byte 0x1E", Generation::v7, 0x1E, 12},
        {"v7 byte 0x1F", Generation::v7, 0x1F, 7},
        {"v7 byte 0x00", Generation::v7, 0x00, 7},
        {"v7 byte 0x0C", Generation::v7, 0x0C, 7},
        /* earlier files never read the byte */
        {"early byte 0x1E", Generation::early, 0x1E, 0},
        {"early byte 0x00", Generation::early, 0x00, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qw::FileLayout layout = layout_with_blocks(c.generation, 1);
        layout.header.generation_byte = c.generation_byte;
        quarn_error_t error = kUntouched;
        FilePtr file = open_via(qw::build_file(layout), Via::buffer, &error);
        ASSERT_NE(file, nullptr) << "error " << error;
        EXPECT_EQ(file->generation, c.expected);
        if (c.expected >= 7) {
            EXPECT_EQ(file->sector_size, 4096u);
            EXPECT_EQ(file->sector_header_size, 20u);
            EXPECT_EQ(file->prev_id_offset, 4u);
            EXPECT_EQ(file->next_id_offset, 8u);
            EXPECT_EQ(file->length_offset, -1);
            EXPECT_EQ(file->text_mask, 0x5A);
            EXPECT_EQ(file->converter, nullptr);
        } else {
            EXPECT_EQ(file->sector_size, 1024u);
            EXPECT_EQ(file->sector_header_size, 14u);
            EXPECT_EQ(file->prev_id_offset, 2u);
            EXPECT_EQ(file->next_id_offset, 6u);
            EXPECT_EQ(file->length_offset, 12);
            EXPECT_EQ(file->text_mask, 0);
            EXPECT_NE(file->converter, nullptr);
        }
        /* the path stack starts with 16 empty entries */
        ASSERT_EQ(file->path_entries.size(), 16u);
        for (quarn_span_t *entry : file->path_entries) EXPECT_EQ(entry, nullptr);
    }
}

TEST(OpenHeader, VersionText) {
    struct Case {
        const char *name;
        std::string stored;
        int length_byte;
        const char *expected;
    };
    const Case cases[] = {
        {"as stored", "Pro 7.0", -1, "Pro 7.0"},
        {"length 0", "Pro 7.0", 0, ""},
        {"length 3 of a longer text", "Pro 7.0", 3, "Pro"},
        {"exactly 9", "123456789", -1, "123456789"},
        {"length 12 is capped to 9", "ABCDEFGHIJKL", 12, "ABCDEFGHI"},
        {"length 255 is capped to 9", "ABCDEFGHIJKL", 255, "ABCDEFGHI"},
        /* bytes as stored: no mask, no conversion */
        {"raw bytes", "\x7A\xE9z", -1, "\x7A\xE9z"},
    };
    for (Generation g : {Generation::v7, Generation::early}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", generation " + std::to_string(int(g)));
            qw::FileLayout layout = layout_with_blocks(g, 1);
            layout.header.version = c.stored;
            layout.header.version_length = c.length_byte;
            FilePtr file = open_via(qw::build_file(layout), Via::buffer, nullptr);
            ASSERT_NE(file, nullptr);
            EXPECT_STREQ(file->version_string, c.expected);
        }
    }
}

TEST(OpenHeader, ReleaseDate) {
    struct Case {
        const char *text;
        bool parsed;
        int year, month, day; /* struct tm fields: years since 1900, 0-based month */
    };
    const Case cases[] = {
        {"01Jan20", true, 120, 0, 1},
        {"15Mar99", true, 99, 2, 15},
        {"31Dec68", true, 168, 11, 31}, /* 00 to 68: the 2000s */
        {"01Feb69", true, 69, 1, 1},    /* 69 to 99: the 1900s */
        {"???????", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        /* what strptime took before the text stopped parsing stays */
        {"07Xyz20", false, 0, 0, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("date '") + c.text + "'");
        qw::FileLayout layout = layout_with_blocks(Generation::v7, 1);
        layout.header.date = c.text;
        FilePtr file = open_via(qw::build_file(layout), Via::buffer, nullptr);
        ASSERT_NE(file, nullptr) << "a date that does not parse must not stop the open";
        EXPECT_STREQ(file->release_date_text, c.text);
        EXPECT_EQ(file->release_date_parsed, c.parsed);
        EXPECT_EQ(file->release_date.tm_year, c.year);
        EXPECT_EQ(file->release_date.tm_mon, c.month);
        EXPECT_EQ(file->release_date.tm_mday, c.day);
    }
}

TEST(OpenHeader, FileNameIsTheBaseNameCutTo63Bytes) {
    struct Case {
        const char *name;
        std::string base;
        std::string expected;
    };
    const std::string a62(62, 'a'), a61(61, 'a'), a70(70, 'n');
    const Case cases[] = {
        {"plain", "sample.fp7", "sample.fp7"},
        {"63 bytes kept", std::string(63, 'x'), std::string(63, 'x')},
        {"70 bytes cut to 63", a70, std::string(63, 'n')},
        {"two-byte character ending at byte 63", a61 + "\xC3\xA9", a61 + "\xC3\xA9"},
        {"two-byte character across byte 63 goes whole", a62 + "\xC3\xA9", a62},
        {"three-byte character across byte 63 goes whole", a61 + "\xE2\x82\xAC", a61},
        {"four-byte character across byte 63 goes whole", a61 + "\xF0\x9F\x98\x80", a61},
    };
    TempDir dir;
    const std::string sub = dir.path + "/one/two";
    std::filesystem::create_directories(sub);
    const Bytes bytes = file_with_blocks(Generation::v7, 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = sub + "/" + c.base;
        qw::write_file(path, bytes);
        FilePtr file(quarn_open_file(path.c_str(), nullptr));
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::string(file->filename), c.expected);
    }

    FilePtr from_buffer(quarn_open_buffer(bytes.data(), bytes.size(), nullptr));
    ASSERT_NE(from_buffer, nullptr);
    EXPECT_STREQ(from_buffer->filename, "");
}

/* ---- the block table ---- */

TEST(OpenBlocks, V7IdsAndPayloads) {
    qw::FileLayout layout = layout_with_blocks(Generation::v7, 3);
    const int32_t prev[] = {0, -5, 77};
    const int32_t next[] = {4, 0x7FFFFFFF, -1};
    for (size_t i = 0; i < 3; i++) {
        layout.blocks[i].prev_id = prev[i];
        layout.blocks[i].next_id = next[i];
        layout.blocks[i].payload = {uint8_t(0x20), uint8_t(0x10 + i), 0x40};
        layout.blocks[i].padding = uint8_t(0x80 + i);
    }
    const Bytes bytes = qw::build_file(layout);
    for (Via via : {Via::buffer, Via::file}) {
        SCOPED_TRACE(via_name(via));
        FilePtr file = open_via(bytes, via, nullptr);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->file_size, 5 * 4096);
        ASSERT_EQ(file->block_count, 4u);
        ASSERT_EQ(file->blocks.size(), 4u);
        EXPECT_EQ(file->blocks[0].next_id, 4); /* the index block holds the count */
        for (size_t i = 0; i < 4; i++) {
            SCOPED_TRACE("block id " + std::to_string(i + 1));
            quarn_block_t &block = file->blocks[i];
            ASSERT_EQ(block.payload_length, 4076u);
            EXPECT_EQ(block.this_id, 0);
            EXPECT_EQ(block.chunks, nullptr);
            EXPECT_EQ(block.payload, nullptr); /* no payload is kept by the open */
            if (i == 0) continue;
            EXPECT_EQ(block.prev_id, prev[i - 1]);
            EXPECT_EQ(block.next_id, next[i - 1]);
            ASSERT_EQ(read_block_payload(file.get(), &block), QUARN_OK);
            const Bytes payload(block.payload, block.payload + block.payload_length);
            Bytes expected = layout.blocks[i - 1].payload;
            expected.resize(4076, layout.blocks[i - 1].padding);
            EXPECT_EQ(payload, expected);
        }
    }
}

TEST(OpenBlocks, EarlyPayloadLengthIsTheStoredOne) {
    qw::FileLayout layout = layout_with_blocks(Generation::early, 3);
    layout.blocks[0].payload = {};
    layout.blocks[1].payload = {0x45, 0x01, 0x41, 0xC0, 0x80};
    layout.blocks[2].payload = Bytes(1010, 0x81);
    layout.blocks[2].payload[0] = 0x12;
    layout.blocks[2].payload[1009] = 0x34;
    layout.blocks[0].prev_id = 9;
    layout.blocks[2].next_id = -3;
    const Bytes bytes = qw::build_file(layout);
    for (Via via : {Via::buffer, Via::file}) {
        SCOPED_TRACE(via_name(via));
        FilePtr file = open_via(bytes, via, nullptr);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->file_size, 6 * 1024);
        ASSERT_EQ(file->block_count, 4u);
        EXPECT_EQ(file->blocks[0].payload_length, 0u); /* the index block stores 0 */
        EXPECT_EQ(file->blocks[1].prev_id, 9);
        EXPECT_EQ(file->blocks[1].next_id, 3);
        EXPECT_EQ(file->blocks[3].next_id, -3);
        for (size_t i = 0; i < 3; i++) {
            SCOPED_TRACE("block id " + std::to_string(i + 2));
            quarn_block_t &block = file->blocks[i + 1];
            ASSERT_EQ(block.payload_length, layout.blocks[i].payload.size());
            ASSERT_EQ(read_block_payload(file.get(), &block), QUARN_OK);
            EXPECT_EQ(Bytes(block.payload, block.payload + block.payload_length),
                      layout.blocks[i].payload);
        }
    }
}

TEST(OpenBlocks, SizesThatMatchTheCount) {
    struct Case {
        const char *name;
        Generation generation;
        size_t blocks_after_index;
        size_t file_size;
    };
    const Case cases[] = {
        {"v7 3 x 4096, count 2", Generation::v7, 1, 3 * 4096},
        {"v12 2 x 4096, count 1", Generation::v12, 0, 2 * 4096},
        {"early 5 x 1024, count 3", Generation::early, 2, 5 * 1024},
        {"early 3 x 1024, count 1", Generation::early, 0, 3 * 1024},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = file_with_blocks(c.generation, c.blocks_after_index);
        ASSERT_EQ(bytes.size(), c.file_size);
        quarn_error_t error = kUntouched;
        FilePtr file = open_via(bytes, Via::buffer, &error);
        ASSERT_NE(file, nullptr) << "error " << error;
        EXPECT_EQ(file->block_count, c.blocks_after_index + 1);
        EXPECT_EQ(file->file_size, int64_t(c.file_size));
    }
}

} // namespace
