/*
 * test_quarn_dump.cpp: the quarn-dump program, run as a separate process on
 * files written to a scratch folder: its usage line, the dumps of several
 * files in order, and the first failure ending the run with its number.
 */
#include <gtest/gtest.h>

#include "process.h"
#include "writer.h"

#include <string>
#include <vector>

namespace {

using qw::Bytes;
using qw::Generation;

qw::Sector block(int32_t prev, int32_t next, const Bytes &payload) {
    qw::Sector s;
    s.prev_id = prev;
    s.next_id = next;
    s.payload = payload;
    return s;
}

Bytes file_of(Generation g, std::vector<qw::Sector> blocks) {
    qw::FileLayout layout;
    layout.header.generation = g;
    layout.blocks = std::move(blocks);
    return qw::build_file(layout);
}

/* A generation 7 file and its dump. */
Bytes later_file() {
    return file_of(Generation::v7, {block(0, 0, {0x20, 0x03, 0x28, 0x00, 0x05, 0x01, 0x07, 0x2A,
                                                 0x3D, 0x3D, 0x00, 0x00})});
}
const std::string kLaterDump = "Version: File Maker Pro 7.0\n"
                               "Released: 2020-01-01\n"
                               "== 0 -> [ BLOCK 2 ] -> 0 ==\n"
                               "        [ Len: 4076 ]\n"
                               "-- PUSH 0x20 [ 0x03  ] --\n"
                               "-- PUSH 0x28 [ 0x00 0x05  ] --\n"
                               "[3].[133].\n"
                               "  -- field (0x01): [7] => [42] --\n"
                               "-- POP 0x3D --\n"
                               "-- POP 0x3D --\n";

/* An earlier file and its dump. */
Bytes earlier_file() {
    return file_of(Generation::early, {block(0, 0, {0xC1, 0x05, 0x42, 0x02, 'h', 'i', 0xC0})});
}
const std::string kEarlierDump = "Version: File Maker Pro 5.0\n"
                                 "Released: 2020-01-01\n"
                                 "== 0 -> [ BLOCK 2 ] -> 0 ==\n"
                                 "        [ Len: 7 ]\n"
                                 "-- PUSH 0xC1 [ 0x05  ] --\n"
                                 "[5].\n"
                                 " -- field (0x42): [2] => \"hi\" --\n"
                                 "-- POP 0xC0 --\n";

/* A generation 7 file whose second block holds an unknown code, and what
 * is printed before the dump stops. */
Bytes broken_file() {
    return file_of(Generation::v7,
                   {block(0, 3, {0x00, 0x41, 0x00, 0x00}), block(2, 0, {0x20, 0x03, 0x18})});
}
const std::string kBrokenDump = "Version: File Maker Pro 7.0\n"
                                "Released: 2020-01-01\n"
                                "== 0 -> [ BLOCK 2 ] -> 3 ==\n"
                                "        [ Len: 4076 ]\n"
                                "-- data simple (0x00): [65] --\n"
                                " **** UNRECOGNIZED CODE 0x18 @ [2] *****\n";

class QuarnDump : public testing::Test {
  protected:
    void SetUp() override {
        later_ = dir_.file("later.fp7");
        earlier_ = dir_.file("earlier.fp5");
        broken_ = dir_.file("broken.fmp12");
        short_ = dir_.file("short.fp7");
        qw::write_file(later_, later_file());
        qw::write_file(earlier_, earlier_file());
        qw::write_file(broken_, broken_file());
        qw::write_file(short_, Bytes(10, 0));
    }

    qt::RunResult run(const std::vector<std::string> &args) {
        return qt::run(qt::tool_path("quarn-dump"), args);
    }

    qt::TempDir dir_;
    std::string later_, earlier_, broken_, short_;
};

TEST_F(QuarnDump, NoArgumentsPrintsUsageWithTheProgramPathAsStarted) {
    for (const std::string argv0 : {"./some/dir/../quarn-dump", "/opt/x/bin/dumper", "quarn-dump"}) {
        SCOPED_TRACE(argv0);
        const qt::RunResult r = qt::run(qt::tool_path("quarn-dump"), {}, argv0);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Usage: " + argv0 + " [file]\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(QuarnDump, DumpsEveryFileInOrder) {
    {
        const qt::RunResult r = run({later_});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kLaterDump);
        EXPECT_EQ(r.err, "");
    }
    {
        const qt::RunResult r = run({earlier_, later_, earlier_});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kEarlierDump + kLaterDump + kEarlierDump);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(QuarnDump, FirstFailureEndsTheRun) {
    const struct {
        const char *name;
        std::vector<std::string> args;
        std::string out;
        std::string err;
    } cases[] = {
        {"a missing second file", {later_, dir_.file("missing.fp7"), earlier_}, kLaterDump,
         "Error code: 1\n"},
        {"\"--version\" is a path", {"--version"}, "", "Error code: 1\n"},
        {"\"--version\" after a file", {earlier_, "--version"}, kEarlierDump, "Error code: 1\n"},
        {"a file that fails to decode", {earlier_, broken_, later_}, kEarlierDump + kBrokenDump,
         "Error code: 11\n"},
        {"a file shorter than a header", {later_, short_}, kLaterDump, "Error code: 2\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const qt::RunResult r = run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(QuarnDump, BadMagicReportsItsNumber) {
    qw::FileLayout layout;
    layout.header.bad_magic = true;
    const std::string path = dir_.file("bad_magic.fp7");
    qw::write_file(path, qw::build_file(layout));
    const qt::RunResult r = run({path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error code: 6\n");
}

/* Every real file of the shared folder dumps completely or reports an
 * error number; none crashes or trips a sanitizer. */
TEST(QuarnDumpCorpus, EveryFileDumpsOrReportsAnError) {
    const std::vector<std::string> files = qt::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no shared corpus folder: real files not dumped";
    for (const std::string &path : files) {
        SCOPED_TRACE(path);
        const qt::RunResult r = qt::run(qt::tool_path("quarn-dump"), {path});
        EXPECT_LT(r.status, 128) << "killed by a signal";
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("AddressSanitizer"), std::string::npos) << r.err;
        if (r.status == 0) {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out.rfind("Version: File Maker ", 0), 0u);
            EXPECT_NE(r.out.find("[ BLOCK 2 ]"), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(r.err.rfind("Error code: ", 0) == 0 && r.err.back() == '\n') << r.err;
        }
    }
}

} // namespace
