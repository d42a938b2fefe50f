/*
 * xlsx_support.h: what quarn-to-xlsx and quarn export share around
 * libxlsxwriter: the allocator setting its worksheets need, closing the row
 * files that it leaves open, and freeing a workbook that is not to be
 * written.
 */
#ifndef QUARN_TOOLS_XLSX_SUPPORT_H
#define QUARN_TOOLS_XLSX_SUPPORT_H

#include <xlsxwriter.h>

#include <cstdio>
#include <memory>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace converter {

/* In constant-memory mode each worksheet callocs an array of a pointer per
 * sheet column (16,384 of them, 128 KB) and keeps it until the workbook is
 * written; a row touches only its first page. glibc serves such a block by
 * mmap, untouched and so costing nothing, unless the top of its heap holds
 * enough room: that room, padded ahead by M_TOP_PAD or kept after frees
 * under a raised trim threshold, is cleared in full by calloc. With many
 * sheets, reading between adding them left each array cleared in the heap,
 * 128 KB of resident memory per sheet (500 sheets of a 1 GB file: 67 MB
 * against 24 MB for the same workbook written without reading). No top pad
 * (which also stops the mmap and trim thresholds from rising, as they do
 * when a large block is freed) keeps every array an mmap. It is to be set
 * before anything is read: a threshold raised by then stays. Process-wide,
 * and only for programs writing a workbook. */
inline void keep_sheet_arrays_untouched() {
#if defined(__GLIBC__)
    mallopt(M_TOP_PAD, 0);
#endif
}

/* In constant-memory mode each worksheet keeps its rows in a temporary
 * file (worksheet->file is the same stream until the sheet is written).
 * libxlsxwriter 1.1.4 closes it in workbook_close only for a sheet that got
 * at least one cell, and lxw_workbook_free never closes it: each sheet
 * without a cell, and each sheet of a workbook freed unwritten, would leave
 * an open file behind. close_row_file closes it and forgets it. */
inline void close_row_file(lxw_worksheet *worksheet) {
    if (worksheet->optimize_tmpfile) fclose(worksheet->optimize_tmpfile);
    if (worksheet->file == worksheet->optimize_tmpfile) worksheet->file = nullptr;
    worksheet->optimize_tmpfile = nullptr;
}

/* Before the workbook is written: a sheet without a cell never reads its
 * row file (its sheet data is written empty), so the file is closed here
 * instead of being left open by workbook_close. Later versions of the
 * library may close it themselves, so this is kept to the versions known to
 * leave it. */
inline void close_unused_row_files(lxw_workbook *workbook) {
#if LXW_VERSION_ID <= 114
    lxw_worksheet *worksheet = nullptr;
    STAILQ_FOREACH(worksheet, workbook->worksheets, list_pointers) {
        if (worksheet->dim_rowmin == LXW_ROW_MAX) close_row_file(worksheet);
    }
#else
    (void)workbook;
#endif
}

/* Frees a workbook that is not to be written. libxlsxwriter writes the file
 * only in workbook_close, so freeing the workbook instead leaves nothing at
 * the output path. */
struct WorkbookDiscarder {
    void operator()(lxw_workbook *workbook) const {
        lxw_worksheet *worksheet = nullptr;
        STAILQ_FOREACH(worksheet, workbook->worksheets, list_pointers) close_row_file(worksheet);
        lxw_workbook_free(workbook);
    }
};
using WorkbookPtr = std::unique_ptr<lxw_workbook, WorkbookDiscarder>;

} // namespace converter

#endif
