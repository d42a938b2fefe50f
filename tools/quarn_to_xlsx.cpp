/*
 * quarn_to_xlsx.cpp: quarn-to-xlsx writes every table of a database file as
 * one worksheet of an XLSX workbook: the sheet is named after the table, its
 * frozen first row holds the column names and every record row follows as
 * one sheet row of string cells, each in the sheet column of its source
 * column number.
 *
 * It leans on the converters' front end (converter.h) and on libxlsxwriter
 * in constant-memory mode, where a sheet's rows must come in increasing
 * order: the header row is written first, and the reader's row numbers never
 * decrease. libxlsxwriter writes the whole file only when the workbook is
 * closed, so a run that fails earlier frees the workbook unwritten and
 * leaves nothing at the output path; a close that fails removes what it may
 * have left there.
 *
 * The conversion is the function quarn_to_xlsx (converters.h); main, left
 * out of the fuzz build by QUARN_CONVERTER_NO_MAIN, only checks the
 * arguments and calls it.
 */
#include "converter.h"
#include "converters.h"

#include "xlsx_support.h"

#include <xlsxwriter.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

/* What the value handler needs: the sheet it writes into, and the table's
 * name for the warnings about values the sheet refuses. */
struct xlsx_ctx {
    lxw_worksheet *worksheet;
    const char *table_name;
};

/* Writes text as a string cell without a format at sheet row row and sheet
 * column (index - 1), index being a source column number. Returns
 * libxlsxwriter's verdict. A sheet column beyond the 16-bit column numbers
 * is refused here, before the narrowing could wrap it onto another column;
 * libxlsxwriter refuses the rest of what a sheet cannot hold (columns past
 * 16,384, rows past 1,048,576, text over 32,767 characters). */
lxw_error write_cell(lxw_worksheet *worksheet, int64_t row, int32_t index, const char *text) {
    const int64_t column = int64_t{index} - 1;
    if (row < 0 || row > int64_t{UINT32_MAX} || column < 0 || column > int64_t{UINT16_MAX})
        return LXW_ERROR_WORKSHEET_INDEX_OUT_OF_RANGE;
    return worksheet_write_string(worksheet, static_cast<lxw_row_t>(row),
                                  static_cast<lxw_col_t>(column), text, nullptr);
}

/* Row 0 of the sheet: each column's name in the sheet column of its number.
 * A name the sheet refuses is skipped with a warning. */
void write_header(const xlsx_ctx &ctx, const quarn_column_array_t &columns) {
    for (uint64_t i = 0; i < columns.count; i++) {
        const quarn_column_t &column = columns.columns[i];
        const lxw_error error = write_cell(ctx.worksheet, 0, column.index, column.name);
        if (error != LXW_NO_ERROR)
            fprintf(stderr, "Warning: column name skipped in table \"%s\", column \"%s\": %s\n",
                    ctx.table_name, column.name, lxw_strerror(error));
    }
}

/* The value handler: writes each value into its row and column. A value the
 * sheet refuses is skipped with one warning; the read always goes on. */
int xlsx_write_value(int row, const quarn_column_t *column, const char *value, void *user_ctx) {
    const xlsx_ctx &ctx = *static_cast<const xlsx_ctx *>(user_ctx);
    const lxw_error error = write_cell(ctx.worksheet, row, column->index, value);
    if (error != LXW_NO_ERROR)
        fprintf(stderr, "Warning: value skipped in table \"%s\", row %d, column \"%s\": %s\n",
                ctx.table_name, row, column->name, lxw_strerror(error));
    return QUARN_HANDLER_CONTINUE;
}

} // namespace

namespace converter {

int quarn_to_xlsx(const char *input_path, const char *output_path) {
    /* Looked at before libxlsxwriter touches the path, so that a failed
     * close removes only a regular file of this run's making. */
    const OutputGuard guard(output_path);

    keep_sheet_arrays_untouched();
    lxw_workbook_options options = {};
    options.constant_memory = 1;
    WorkbookPtr workbook(workbook_new_opt(output_path, &options));
    if (!workbook) {
        fprintf(stderr, "Error opening workbook at %s\n", output_path);
        return 1;
    }

    const std::optional<Input> input = open_input(input_path);
    if (!input) return 1;
    const quarn_table_array_t &tables = *input->tables;
    for (uint64_t i = 0; i < tables.count; i++) {
        const quarn_table_t *table = &tables.tables[i];

        /* libxlsxwriter takes an empty sheet name, but spreadsheet programs
         * refuse a workbook holding an unnamed sheet: a table without a name
         * gets libxlsxwriter's default one ("Sheet1", ...) instead. */
        lxw_worksheet *worksheet =
            workbook_add_worksheet(workbook.get(), table->name[0] != '\0' ? table->name : nullptr);
        if (!worksheet) {
            fprintf(stderr, "Error adding workbook named %s\n", table->name);
            return 1;
        }
        worksheet_freeze_panes(worksheet, 1, 0);

        const quarn::ColumnsPtr columns = list_columns(input->file.get(), table);
        if (!columns) return 1;
        xlsx_ctx ctx = {worksheet, table->name};
        write_header(ctx, *columns);
        const quarn_error_t result =
            quarn_read_values(input->file.get(), table, xlsx_write_value, &ctx);
        if (result != QUARN_OK) return report_error_code(result);
    }

    /* A workbook needs a sheet: for a file without tables workbook_close
     * adds the default one ("Sheet1") itself, past the reach of
     * close_unused_row_files, so it is added here the same way. Should that
     * fail, workbook_close tries again as before. */
    if (workbook->num_sheets == 0) workbook_add_worksheet(workbook.get(), nullptr);
    close_unused_row_files(workbook.get());

    /* The file is written here, and workbook_close frees the workbook
     * whatever its verdict; a failure may leave a cut zip behind. A failed
     * close also leaves libxlsxwriter's temporary files open, which the
     * caller cannot reach any more: the one leak left, on that path only. */
    const lxw_error closed = workbook_close(workbook.release());
    if (closed != LXW_NO_ERROR) {
        fprintf(stderr, "Error writing workbook to %s: %s\n", output_path, lxw_strerror(closed));
        guard.discard();
        return 1;
    }
    return 0;
}

} // namespace converter

#ifndef QUARN_CONVERTER_NO_MAIN
int main(int argc, char **argv) {
    converter::check_arguments(argc, argv);
    return converter::quarn_to_xlsx(argv[1], argv[2]);
}
#endif
