/*
 * baseline_csv.cpp: the input of the sqlite3 shell's baseline. Writes the
 * rows of the benchmark data set (rows.h) as one CSV file per table (a
 * header of the column names with spaces turned into "_", as the SQL
 * converters name them, then one line per record, a column without a value
 * left empty) and an import script for the sqlite3 shell: the two pragmas
 * quarn-to-sqlite sets, then one `.import --csv` per table, which makes the
 * table of TEXT columns from the header and loads it in one transaction.
 * Writing the files is not measured; run.sh times only the shell's
 *
 *     sqlite3 OUT.sqlite ".read DIR/import.sql"
 *
 *     baseline_csv --layout gen12 --size-mb 1024 --seed 1 DIR
 */
#include "rows.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "baseline_csv: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

/* One CSV field: quoted, with its quotes doubled, when it holds a comma, a
 * quote or a line break. */
void append_field(std::string &line, const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        line += text;
        return;
    }
    line += '"';
    for (char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

} // namespace

int main(int argc, char **argv) {
    const bench::Arguments args = bench::parse_arguments(argc, argv);
    const bench::Dataset &data = args.dataset;
    const std::string &dir = args.output;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) fail(dir);

    const std::string script_path = dir + "/import.sql";
    FILE *script = std::fopen(script_path.c_str(), "w");
    if (!script) fail(script_path);
    std::fputs("PRAGMA journal_mode = OFF;\nPRAGMA synchronous = 0;\n", script);

    bench::Totals totals;
    bench::Row row;
    std::string line;
    for (size_t t = 0; t < data.tables.size(); t++) {
        const bench::TableSpec &table = data.tables[t];
        const auto &columns = bench::schema_columns(table.schema, data.layout);
        const std::string path = dir + "/table" + std::to_string(t + 1) + ".csv";
        FILE *out = std::fopen(path.c_str(), "w");
        if (!out) fail(path);
        line.clear();
        for (size_t c = 0; c < columns.size(); c++) {
            if (c > 0) line += ',';
            std::string name = columns[c].name;
            for (char &ch : name)
                if (ch == ' ') ch = '_';
            append_field(line, name);
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), out);

        for (uint64_t i = 0; i < table.records; i++) {
            bench::make_row(data, table, i, row);
            line.clear();
            size_t v = 0;
            for (size_t c = 0; c < columns.size(); c++) {
                if (c > 0) line += ',';
                if (v < row.count && row.cells[v].column == columns[c].number) {
                    append_field(line, row.cells[v].text);
                    totals.bytes += row.cells[v].text.size();
                    v++;
                }
            }
            totals.values += v;
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), out);
        }
        totals.rows += table.records;
        if (std::fclose(out) != 0) fail(path);
        /* the table name, quoted for the shell's tokenizer */
        std::fprintf(script, ".import --csv '%s' '%s'\n", path.c_str(), table.name.c_str());
    }
    if (std::fclose(script) != 0) fail(script_path);
    totals.tables = data.tables.size();
    bench::print_totals(totals);
    return 0;
}
