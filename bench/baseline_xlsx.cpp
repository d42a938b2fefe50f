/*
 * baseline_xlsx.cpp: the floor for quarn-to-xlsx. Writes the cells of the
 * benchmark data set (rows.h) straight into a workbook with libxlsxwriter in
 * constant-memory mode, without reading any database file: one sheet per
 * table named after it, a frozen header row of column names at sheet column
 * (number - 1), then one sheet row per record, every cell a string.
 *
 *     baseline_xlsx --layout gen12 --size-mb 1024 --seed 1 OUT.xlsx
 */
#include "rows.h"

#include <xlsxwriter.h>

#include <cstdio>

int main(int argc, char **argv) {
    const bench::Arguments args = bench::parse_arguments(argc, argv);
    const bench::Dataset &data = args.dataset;
    lxw_workbook_options options = {};
    options.constant_memory = 1;
    lxw_workbook *workbook = workbook_new_opt(args.output.c_str(), &options);
    if (!workbook) {
        std::fprintf(stderr, "Error opening workbook at %s\n", args.output.c_str());
        return 1;
    }

    bench::Totals totals;
    bench::Row row;
    for (const bench::TableSpec &table : data.tables) {
        lxw_worksheet *sheet = workbook_add_worksheet(workbook, table.name.c_str());
        if (!sheet) {
            std::fprintf(stderr, "Error adding workbook named %s\n", table.name.c_str());
            return 1;
        }
        worksheet_freeze_panes(sheet, 1, 0);
        for (const bench::ColumnSpec &column : bench::schema_columns(table.schema, data.layout))
            worksheet_write_string(sheet, 0, lxw_col_t(uint16_t(column.number - 1)),
                                   column.name.c_str(), nullptr);
        for (uint64_t i = 0; i < table.records; i++) {
            bench::make_row(data, table, i, row);
            for (size_t v = 0; v < row.count; v++) {
                const bench::Cell &cell = row.cells[v];
                worksheet_write_string(sheet, lxw_row_t(i + 1),
                                       lxw_col_t(uint16_t(cell.column - 1)), cell.text.c_str(),
                                       nullptr);
                totals.bytes += cell.text.size();
            }
            totals.values += row.count;
        }
        totals.rows += table.records;
    }
    if (workbook_close(workbook) != LXW_NO_ERROR) {
        std::fprintf(stderr, "Error closing workbook at %s\n", args.output.c_str());
        return 1;
    }
    totals.tables = data.tables.size();
    bench::print_totals(totals);
    return 0;
}
