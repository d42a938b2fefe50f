/*
 * make_bench_data.cpp: writes a large database file for the benchmarks from
 * the data set of rows.h, through the test-only writer, which streams the
 * file sector by sector: records are made on demand (twice, one pass to
 * count the blocks and one to write them), so memory stays small whatever
 * the size.
 *
 *     make_bench_data --layout gen12 --size-mb 1024 --seed 1 bench/data/x.fmp12
 *
 * The file is written under OUTPUT.part and renamed when complete, so an
 * interrupted run never leaves a file that looks finished.
 */
#include "rows.h"
#include "writer.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <sys/stat.h>

int main(int argc, char **argv) {
    const bench::Arguments args = bench::parse_arguments(argc, argv);
    const bench::Dataset &data = args.dataset;
    const bool early = data.layout == bench::Layout::early;

    qw::Database db;
    db.header.generation = early ? qw::Generation::early : qw::Generation::v12;
    db.header.date = "14Nov12";
    uint64_t records = 0;
    for (size_t t = 0; t < data.tables.size(); t++) {
        const bench::TableSpec &shape = data.tables[t];
        if (!early && shape.records > 0 &&
            !qw::key_exists(bench::gen12_record_key(shape.records - 1), db.header.generation)) {
            std::fprintf(stderr, "%s: table %s would hold %llu records, more than record keys number\n",
                         args.output.c_str(), shape.name.c_str(),
                         static_cast<unsigned long long>(shape.records));
            return 1;
        }
        qw::Table table;
        table.name = shape.name;
        table.number = int(t + 1);
        for (const bench::ColumnSpec &c : bench::schema_columns(shape.schema, data.layout))
            table.columns.push_back({c.name, c.number, c.type, c.collation});
        table.generated_records = shape.records;
        table.make_record = [&data, &shape, early](size_t i, qw::Record &record) {
            static bench::Row row;
            bench::make_row(data, shape, i, row);
            /* records are numbered 1, 2, 3... (earlier files by key 0: the
             * writer's next key, which skips the numbers their keys lack) */
            record.key = early ? 0 : bench::gen12_record_key(i);
            record.values.resize(row.count);
            for (size_t v = 0; v < row.count; v++) {
                qw::Value &value = record.values[v];
                value.column = row.cells[v].column;
                value.text = row.cells[v].text;
                value.long_value = row.cells[v].long_value;
            }
        };
        db.tables.push_back(std::move(table));
        records += shape.records;
    }

    const std::string part = args.output + ".part";
    const auto start = std::chrono::steady_clock::now();
    try {
        qw::write_database_file(part, db);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", part.c_str(), e.what());
        std::remove(part.c_str());
        return 1;
    }
    if (std::rename(part.c_str(), args.output.c_str()) != 0) {
        std::perror(args.output.c_str());
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct stat st {};
    stat(args.output.c_str(), &st);
    std::fprintf(stderr, "%s: %s layout, %zu tables, %llu records, %.1f MB in %.1f s\n",
                 args.output.c_str(), bench::layout_name(data.layout), data.tables.size(),
                 static_cast<unsigned long long>(records), double(st.st_size) / 1048576.0,
                 seconds);
    return 0;
}
