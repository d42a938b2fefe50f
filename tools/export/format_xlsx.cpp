/*
 * format_xlsx.cpp: the XLSX format of quarn export: one worksheet per
 * table, its name made valid (at most 31 characters, none of []:*?/\) and
 * unique regardless of case, a bold header row frozen above the records,
 * an autofilter over the table, column widths fitted to their contents
 * (capped), numbers as numeric cells, dates, times and timestamps as real
 * date cells with a date format, one sheet column per flat column (no
 * empty columns for gaps in the field numbering), a text longer than a
 * cell holds as a link to the file the reading side wrote it to, and the
 * global values of all tables on a last sheet _globals.
 *
 * libxlsxwriter in constant-memory mode keeps one row in memory and the
 * rest in a temporary file per sheet; column widths and the autofilter are
 * set when the table ends (they are written with the sheet, at close). The
 * workbook file is written only at the end, into the export's temporary
 * name; its creation time is the input's, so that an export is repeatable
 * byte for byte.
 */
#include "format.h"
#include "names.h"
#include "xlsx_support.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sys/stat.h>

namespace qexport {

namespace {

using converter::close_row_file;
using converter::close_unused_row_files;
using converter::WorkbookPtr;

/* A sheet's rows after the header, and its widest fitted column. */
constexpr uint32_t kMaxDataRows = LXW_ROW_MAX - 1;
constexpr double kMaxWidth = 60.0;
/* Spreadsheets keep 15 significant digits of a number: longer numbers stay
 * text, so that no digit is lost. */
constexpr int kNumberDigits = 15;
/* The longest text a cell holds: longer ones the reading side writes to
 * files (FormatInfo::cell_characters); only an overflow column's JSON is
 * cut here. */
constexpr size_t kMaxCellCharacters = 32767;
/* The links a worksheet holds. */
constexpr size_t kMaxLinks = LXW_MAX_NUMBER_URLS;

/* Days from the spreadsheet's day 0 (1899-12-30) to a date of 1900-03-01
 * or later. */
long serial_day(int year, int month, int day) {
    /* days from 0000-03-01, by the usual shifted calendar */
    auto days_from_civil = [](long y, long m, long d) {
        y -= m <= 2;
        const long era = (y >= 0 ? y : y - 399) / 400;
        const long yoe = y - era * 400;
        const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + doe - 719468; /* days since 1970-01-01 */
    };
    return days_from_civil(year, month, day) - days_from_civil(1899, 12, 30);
}

class XlsxFormat : public Format {
  public:
    explicit XlsxFormat(const FormatSettings &settings) : settings_(settings) {}
    ~XlsxFormat() override { abandon(); }

    bool begin_table(const TablePlan &plan, Failure *failure) override {
        if (!workbook_ && !open(failure)) return false;
        plan_ = &plan;
        std::vector<std::string> overflowed;
        if (!flat_columns(plan, format_info(FormatId::xlsx).column_limit, &columns_, &overflowed)) {
            failure->message = "table \"" + std::string(plan.table.name) + "\" has more fields than a worksheet has columns";
            return false;
        }
        for (const std::string &field : overflowed)
            warn(plan, field, "repetitions past a worksheet's 16,384 columns went into one column as a JSON array");
        const std::string name =
            sheet_names_.take(sheet_name(plan.table.name, "Table " + std::to_string(plan.table.index)));
        sheet_ = workbook_add_worksheet(workbook_.get(), name.c_str());
        if (!sheet_) {
            failure->message = "cannot add the worksheet \"" + name + "\" to " + settings_.output_path;
            return false;
        }
        widths_.assign(columns_.size(), 0);
        links_ = 0;
        truncated_.assign(columns_.size(), false);
        row_ = 0;
        for (size_t c = 0; c < columns_.size(); c++) {
            worksheet_write_string(sheet_, 0, static_cast<lxw_col_t>(c), columns_[c].name.c_str(), bold_);
            fit(c, columns_[c].name);
        }
        worksheet_freeze_panes(sheet_, 1, 0);
        return true;
    }

    bool write_record(const Record &record, Failure *failure) override {
        if (row_ >= kMaxDataRows) {
            failure->message = "table \"" + std::string(plan_->table.name) +
                               "\" has more records than a worksheet has rows (1,048,575)";
            return false;
        }
        row_++;
        for (size_t c = 0; c < columns_.size(); c++) {
            const FlatColumn &column = columns_[c];
            const lxw_col_t col = static_cast<lxw_col_t>(c);
            if (column.field < 0) {
                worksheet_write_number(sheet_, row_, col, static_cast<double>(record.record_id), nullptr);
                fit(c, std::to_string(record.record_id));
                continue;
            }
            const auto &cells = record.fields[static_cast<size_t>(column.field)];
            if (column.overflow) {
                text(c, overflow_json(cells, column.repetition));
                continue;
            }
            value(c, cells[static_cast<size_t>(column.repetition) - 1]);
        }
        return true;
    }

    /* One cell's value at column c of the current row. */
    void value(size_t c, const Cell &cell) {
        const lxw_col_t col = static_cast<lxw_col_t>(c);
        switch (cell.type) {
        case CellType::null: break;
        case CellType::number: {
            errno = 0;
            const double number = strtod(cell.text.c_str(), nullptr);
            /* an exponent past a double's range would be another number */
            if (significant_digits(cell.text) <= kNumberDigits && errno != ERANGE && std::isfinite(number)) {
                worksheet_write_number(sheet_, row_, col, number, nullptr);
                fit(c, cell.text);
            } else {
                text(c, cell.text);
            }
            break;
        }
        case CellType::date:
        case CellType::time:
        case CellType::timestamp: moment(c, cell); break;
        case CellType::container: text(c, cell.container.path); break;
        default:
            if (!cell.file.empty()) link(c, cell.file);
            else text(c, cell.text);
            break;
        }
    }

    bool end_table(Failure *) override {
        for (size_t c = 0; c < columns_.size(); c++)
            worksheet_set_column(sheet_, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c),
                                 std::min(kMaxWidth, std::max(8.43, widths_[c] + 2.0)), nullptr);
        if (!columns_.empty())
            worksheet_autofilter(sheet_, 0, 0, row_, static_cast<lxw_col_t>(columns_.size() - 1));
        return true;
    }

    bool write_globals(const Record &globals, Failure *) override {
        global_rows(*plan_, globals, &globals_);
        return true;
    }

    bool finish(Failure *failure) override {
        if (!workbook_ && !open(failure)) return false;
        if (!globals_.empty() && !write_global_sheet(failure)) return false;
        /* a workbook needs a sheet */
        if (workbook_->num_sheets == 0) workbook_add_worksheet(workbook_.get(), nullptr);
        close_unused_row_files(workbook_.get());
        const lxw_error closed = workbook_close(workbook_.release());
        if (closed != LXW_NO_ERROR) {
            failure->message = "cannot write " + settings_.output_path + ": " + lxw_strerror(closed);
            return false;
        }
        return true;
    }

    void abandon() override { workbook_.reset(); }

  private:
    /* The global values of every table, a row each, on a sheet named
     * after none of the tables; values as a record's cells are written. */
    bool write_global_sheet(Failure *failure) {
        const std::string name = sheet_names_.take("_globals");
        sheet_ = workbook_add_worksheet(workbook_.get(), name.c_str());
        if (!sheet_) {
            failure->message = "cannot add the worksheet \"" + name + "\" to " + settings_.output_path;
            return false;
        }
        columns_.clear();
        for (const char *column : kGlobalColumns) columns_.push_back({column, -1, 1, false, CellType::text});
        widths_.assign(columns_.size(), 0);
        truncated_.assign(columns_.size(), false);
        links_ = 0;
        row_ = 0;
        for (size_t c = 0; c < columns_.size(); c++) {
            worksheet_write_string(sheet_, 0, static_cast<lxw_col_t>(c), columns_[c].name.c_str(), bold_);
            fit(c, columns_[c].name);
        }
        worksheet_freeze_panes(sheet_, 1, 0);
        for (const GlobalRow &global : globals_) {
            if (row_ >= kMaxDataRows) break;
            row_++;
            text(0, global.table);
            text(1, global.field);
            worksheet_write_number(sheet_, row_, 2, global.repetition, nullptr);
            value(3, global.cell);
        }
        Failure ignored;
        return end_table(&ignored);
    }


    bool open(Failure *failure) {
        lxw_workbook_options options = {};
        options.constant_memory = 1;
        workbook_.reset(workbook_new_opt(settings_.work_path.c_str(), &options));
        if (!workbook_) {
            failure->message = "cannot write " + settings_.output_path + ": the workbook cannot be made";
            return false;
        }
        /* the workbook's creation time is the input's last change, so the
         * same input always gives the same bytes */
        lxw_doc_properties properties = {};
        struct stat st;
        properties.created = stat(settings_.input_name.c_str(), &st) == 0 && st.st_mtime > 0 ? st.st_mtime : 1;
        workbook_set_properties(workbook_.get(), &properties);
        bold_ = workbook_add_format(workbook_.get());
        format_set_bold(bold_);
        date_ = workbook_add_format(workbook_.get());
        format_set_num_format(date_, "yyyy-mm-dd");
        time_ = workbook_add_format(workbook_.get());
        format_set_num_format(time_, "hh:mm:ss");
        timestamp_ = workbook_add_format(workbook_.get());
        format_set_num_format(timestamp_, "yyyy-mm-dd hh:mm:ss");
        return true;
    }

    void warn(const TablePlan &plan, const std::string &field, const std::string &what) {
        settings_.warn(settings_.input_name + ": table \"" + plan.table.name + "\", field \"" + field + "\": " + what);
    }

    void fit(size_t column, std::string_view text) {
        const size_t line = std::min(text.find('\n'), text.size());
        widths_[column] = std::max(widths_[column], static_cast<double>(character_count(text.substr(0, line))));
    }

    void text(size_t c, const std::string &value) {
        const lxw_col_t col = static_cast<lxw_col_t>(c);
        if (character_count(value) > kMaxCellCharacters) {
            if (!truncated_[c]) {
                const FlatColumn &column = columns_[c];
                const std::string field = column.field < 0 ? column.name : plan_->fields[static_cast<size_t>(column.field)].name;
                warn(*plan_, field, "texts longer than a cell's 32,767 characters were cut there");
            }
            truncated_[c] = true;
            const std::string cut = cut_characters(value, kMaxCellCharacters);
            worksheet_write_string(sheet_, row_, col, cut.c_str(), nullptr);
        } else {
            worksheet_write_string(sheet_, row_, col, value.c_str(), nullptr);
        }
        fit(c, value.size() > 200 ? std::string_view(value).substr(0, 200) : std::string_view(value));
    }

    /* A cell showing the path of a file beside the workbook, as a link to
     * it; past a sheet's number of links, or a link's length, the path
     * alone. The link is the relative path itself, a relative reference
     * with "/" (the library's "external:" form would turn each "/" into
     * a backslash). */
    void link(size_t c, const std::string &path) {
        const lxw_col_t col = static_cast<lxw_col_t>(c);
        if (links_ >= kMaxLinks ||
            worksheet_write_url_opt(sheet_, row_, col, path.c_str(), nullptr, path.c_str(), nullptr) != LXW_NO_ERROR)
            worksheet_write_string(sheet_, row_, col, path.c_str(), nullptr);
        else
            links_++;
        fit(c, path);
    }

    void moment(size_t c, const Cell &cell) {
        const DateTime &v = cell.moment;
        const bool has_date = cell.type != CellType::time;
        /* the spreadsheet's calendar miscounts before March 1900 */
        if (has_date && (v.year < 1900 || (v.year == 1900 && v.month < 3))) {
            text(c, cell.text);
            return;
        }
        double serial = has_date ? static_cast<double>(serial_day(v.year, v.month, v.day)) : 0.0;
        double seconds = v.hour * 3600.0 + v.minute * 60.0 + v.second;
        if (!v.fraction.empty()) seconds += strtod(("0." + v.fraction).c_str(), nullptr);
        if (cell.type != CellType::date) serial += seconds / 86400.0;
        lxw_format *format = cell.type == CellType::date ? date_ : cell.type == CellType::time ? time_ : timestamp_;
        worksheet_write_number(sheet_, row_, static_cast<lxw_col_t>(c), serial, format);
        widths_[c] = std::max(widths_[c], cell.type == CellType::timestamp ? 19.0 : 10.0);
    }

    FormatSettings settings_;
    WorkbookPtr workbook_;
    lxw_format *bold_ = nullptr, *date_ = nullptr, *time_ = nullptr, *timestamp_ = nullptr;
    lxw_worksheet *sheet_ = nullptr;
    const TablePlan *plan_ = nullptr;
    std::vector<FlatColumn> columns_;
    std::vector<GlobalRow> globals_;
    std::vector<double> widths_;
    std::vector<bool> truncated_;
    UniqueNames sheet_names_{" (", ")", 31};
    lxw_row_t row_ = 0;
    size_t links_ = 0; /* in this sheet */
};

} // namespace

std::unique_ptr<Format> create_xlsx_format(const FormatSettings &settings) {
    return std::make_unique<XlsxFormat>(settings);
}

} // namespace qexport
