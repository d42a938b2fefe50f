/*
 * baseline_json.cpp: the floor for quarn-to-json. Generates the document of
 * the benchmark data set (rows.h) straight with YAJL, without reading any
 * database file: an array of tables, each {"name", "columns": [{"name",
 * "type"?, "collation"?}], "values": [{column name: text}...]}, beautified.
 * The generator's print callback hands every piece to a buffered stream as
 * it is made, so the document is never held in memory.
 *
 *     baseline_json --layout gen12 --size-mb 1024 --seed 1 OUT.json
 */
#include "rows.h"

#include <yajl/yajl_gen.h>

#include <cstdio>
#include <cstring>

namespace {

void print_to_stream(void *ctx, const char *text, size_t length) {
    std::fwrite(text, 1, length, static_cast<std::FILE *>(ctx));
}

void string(yajl_gen g, const char *text, size_t length) {
    yajl_gen_string(g, reinterpret_cast<const unsigned char *>(text), length);
}
void string(yajl_gen g, const char *text) { string(g, text, std::strlen(text)); }

/* Names of the field kinds 1 to 8 and the collations that have a code
 * (earlier files store both; later ones neither). */
const char *type_name(int type) {
    static const char *const names[] = {nullptr, "text", "number",  "date",  "time",
                                        "container", "calc", "summary", "global"};
    return type >= 1 && type <= 8 ? names[type] : nullptr;
}

const char *collation_code(int code) {
    static const struct { int code; const char *text; } codes[] = {
        {1, "fr"},  {3, "de"},  {4, "it"},  {5, "nl"},  {7, "sv"},  {8, "es"},  {9, "da"},
        {10, "pt"}, {12, "no"}, {17, "fi"}, {20, "el"}, {21, "is"}, {24, "tr"}, {39, "ro"},
        {42, "pl"}, {43, "hu"}, {49, "ru"}, {56, "cs"}, {62, "uk"}, {66, "hr"}, {73, "ca"},
        {98, "fi"}, {99, "sv"}, {100, "de"}, {101, "es"}};
    for (const auto &c : codes)
        if (c.code == code) return c.text;
    return nullptr;
}

} // namespace

int main(int argc, char **argv) {
    const bench::Arguments args = bench::parse_arguments(argc, argv);
    const bench::Dataset &data = args.dataset;
    std::FILE *out = std::fopen(args.output.c_str(), "w");
    if (!out) {
        std::fprintf(stderr, "Couldn't open file for writing: %s\n", args.output.c_str());
        return 1;
    }
    yajl_gen g = yajl_gen_alloc(nullptr);
    yajl_gen_config(g, yajl_gen_beautify, 1);
    yajl_gen_config(g, yajl_gen_print_callback, print_to_stream, out);

    bench::Totals totals;
    bench::Row row;
    yajl_gen_array_open(g);
    for (const bench::TableSpec &table : data.tables) {
        const auto &columns = bench::schema_columns(table.schema, data.layout);
        /* a cell's key: the name of its column, found by number */
        const bench::ColumnSpec *by_number[64] = {};
        yajl_gen_map_open(g);
        string(g, "name");
        string(g, table.name.c_str(), table.name.size());
        string(g, "columns");
        yajl_gen_array_open(g);
        for (const bench::ColumnSpec &column : columns) {
            by_number[column.number] = &column;
            yajl_gen_map_open(g);
            string(g, "name");
            string(g, column.name.c_str(), column.name.size());
            if (data.layout == bench::Layout::early) {
                if (const char *type = type_name(column.type)) {
                    string(g, "type");
                    string(g, type);
                }
                if (const char *code = collation_code(column.collation)) {
                    string(g, "collation");
                    string(g, code, 2);
                }
            }
            yajl_gen_map_close(g);
        }
        yajl_gen_array_close(g);
        string(g, "values");
        yajl_gen_array_open(g);
        for (uint64_t i = 0; i < table.records; i++) {
            bench::make_row(data, table, i, row);
            yajl_gen_map_open(g);
            for (size_t v = 0; v < row.count; v++) {
                const bench::Cell &cell = row.cells[v];
                const std::string &key = by_number[cell.column]->name;
                string(g, key.c_str(), key.size());
                string(g, cell.text.c_str(), cell.text.size());
                totals.bytes += cell.text.size();
            }
            yajl_gen_map_close(g);
            totals.values += row.count;
        }
        yajl_gen_array_close(g);
        yajl_gen_map_close(g);
        totals.rows += table.records;
    }
    yajl_gen_array_close(g);
    yajl_gen_free(g);
    if (std::fclose(out) != 0) {
        std::perror(args.output.c_str());
        return 1;
    }
    totals.tables = data.tables.size();
    bench::print_totals(totals);
    return 0;
}
