/*
 * quarn_to_json.cpp: quarn-to-json, which writes a whole database file as one
 * JSON document: an array of tables, each with its name, its columns (name,
 * type, collation) and its rows as objects keyed by column name. Every key
 * and value is a string.
 *
 * YAJL's generator prints the document as it goes, so memory use stays flat
 * whatever the size of the database. A regular output file is written as a
 * temporary file beside it and renamed over it only when the document is
 * complete, so a failed run (a failed read, a failed write) leaves no output
 * and an existing file as it was. Standard output and special files (devices,
 * FIFOs) get the document straight; a failed run may leave part of it there.
 * Every write is checked to the end (every byte written, the stream flushed
 * and closed); a failed write ends the run with status 1.
 *
 * The conversion is the function quarn_to_json (converters.h); main, left
 * out of the fuzz build by QUARN_CONVERTER_NO_MAIN, only checks the
 * arguments and calls it.
 */
#include "converter.h"
#include "converters.h"

#include <yajl/yajl_gen.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

/* Field kinds 1 to 8 as earlier files store them; 0 means none. */
constexpr int kTypeCount = 9;
constexpr char type_names[kTypeCount][10] = {
    "", "text", "number", "date", "time", "container", "calc", "summary", "global",
};

/* Collation bytes 1 to 101 with a language code; every other code has an
 * empty entry. Codes 98 to 101 repeat the languages of 17, 7, 3 and 8. */
constexpr int kCollationCount = 102;
using collation_table_t = std::array<std::array<char, 3>, kCollationCount>;

constexpr collation_table_t make_collation_table() {
    struct entry_t {
        int code;
        char text[3];
    };
    constexpr entry_t entries[] = {
        {1, "fr"},  {3, "de"},  {4, "it"},  {5, "nl"},  {7, "sv"},   {8, "es"},
        {9, "da"},  {10, "pt"}, {12, "no"}, {17, "fi"}, {20, "el"},  {21, "is"},
        {24, "tr"}, {39, "ro"}, {42, "pl"}, {43, "hu"}, {49, "ru"},  {56, "cs"},
        {62, "uk"}, {66, "hr"}, {73, "ca"}, {98, "fi"}, {99, "sv"},  {100, "de"},
        {101, "es"},
    };
    collation_table_t table{};
    for (const entry_t &e : entries) table[e.code] = {e.text[0], e.text[1], '\0'};
    return table;
}

constexpr collation_table_t collation_codes = make_collation_table();

/* Where the generator's text goes: gathered in pending, and written through
 * a FILE* each time that fills (the generator prints a token at a time, and
 * a call to fwrite for each costs more than the rest of the conversion).
 * The first failed write is kept (the generator's print function cannot
 * answer); later text is dropped. */
struct json_output {
    FILE *file;
    const char *name; /* for messages: the output path or "standard output" */
    int error = 0;    /* errno of the first failed write; 0: none */
    std::string pending;
};

constexpr size_t kPendingText = 64 * 1024;

/* Writes the pending text; a failure is kept in out->error. */
void flush_pending(json_output *out) {
    if (out->error == 0 && !out->pending.empty()) {
        errno = 0;
        if (fwrite(out->pending.data(), 1, out->pending.size(), out->file) != out->pending.size())
            out->error = errno ? errno : EIO;
    }
    out->pending.clear();
}

/* The generator's print function. */
void json_print(void *user_ctx, const char *text, size_t length) {
    auto *out = static_cast<json_output *>(user_ctx);
    if (out->error != 0) return;
    if (out->pending.size() + length > kPendingText) flush_pending(out);
    out->pending.append(text, length);
}

/* The writer context handed to json_add_value. */
struct json_ctx {
    yajl_gen gen;
    int last_row; /* row number of the row object now open; 0: none */
    const json_output *out;
};

struct GenFreer {
    void operator()(yajl_gen gen) const { yajl_gen_free(gen); }
};
using GenPtr = std::unique_ptr<std::remove_pointer_t<yajl_gen>, GenFreer>;

const char *gen_status_text(yajl_gen_status status) {
    switch (status) {
    case yajl_gen_status_ok: return "no error";
    case yajl_gen_keys_must_be_strings: return "a map key is not a string";
    case yajl_max_depth_exceeded: return "nesting too deep";
    case yajl_gen_in_error_state: return "generator in error state";
    case yajl_gen_generation_complete: return "document already complete";
    case yajl_gen_invalid_number: return "invalid number";
    case yajl_gen_no_buf: return "no output buffer";
    case yajl_gen_invalid_string: return "invalid UTF-8 string";
    }
    return "unknown generator status";
}

yajl_gen_status gen_string(yajl_gen gen, std::string_view text) {
    return yajl_gen_string(gen, reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

/* The document's own generator calls (everything but the values, which
 * json_add_value adds). A call is made only while every call before it
 * succeeded, and the first failure is kept: report() prints it, or the
 * output's first failed write, and the run checks it before every step
 * that can be seen from outside (a query of the file, the end of the
 * output), so a failure ends the run before anything else is printed,
 * leaving the document cut short. */
struct json_document {
    yajl_gen gen;
    const json_output *out;
    yajl_gen_status status = yajl_gen_status_ok;

    void map_open() { if (status == yajl_gen_status_ok) status = yajl_gen_map_open(gen); }
    void map_close() { if (status == yajl_gen_status_ok) status = yajl_gen_map_close(gen); }
    void array_open() { if (status == yajl_gen_status_ok) status = yajl_gen_array_open(gen); }
    void array_close() { if (status == yajl_gen_status_ok) status = yajl_gen_array_close(gen); }
    void string(std::string_view text) {
        if (status == yajl_gen_status_ok) status = gen_string(gen, text);
    }

    /* True when every call and write so far succeeded; otherwise prints
     * the failure. */
    bool report() const;
};

/* Writes the object of one column: its name, then its type and collation
 * when the tables above name them. */
void write_column(json_document &doc, const quarn_column_t &column) {
    doc.map_open();
    doc.string("name");
    doc.string(column.name);
    if (column.type >= 1 && column.type < kTypeCount) {
        doc.string("type");
        doc.string(type_names[column.type]);
    }
    if (column.collation >= 1 && column.collation < kCollationCount &&
        collation_codes[column.collation][0] != '\0') {
        doc.string("collation");
        doc.string(std::string_view(collation_codes[column.collation].data(), 2));
    }
    doc.map_close();
}

/* Value handler: opens a new row object whenever the row number changes and
 * adds the value under its column's name. A generator failure aborts the
 * read, which quarn_to_json then reports with the read's error code; a
 * failed write aborts it too, and quarn_to_json reports the write. */
int json_add_value(int row, const quarn_column_t *column, const char *value, void *user_ctx) {
    json_ctx *ctx = static_cast<json_ctx *>(user_ctx);
    yajl_gen_status status = yajl_gen_status_ok;
    if (row != ctx->last_row) {
        if (ctx->last_row != 0) status = yajl_gen_map_close(ctx->gen);
        if (status == yajl_gen_status_ok) status = yajl_gen_map_open(ctx->gen);
    }
    if (status == yajl_gen_status_ok) status = gen_string(ctx->gen, column->name);
    if (status == yajl_gen_status_ok) status = gen_string(ctx->gen, value);
    if (status != yajl_gen_status_ok) {
        fprintf(stderr, "Error generating JSON: %s\n", gen_status_text(status));
        return QUARN_HANDLER_ABORT;
    }
    /* reported by the run once the read has ended */
    if (ctx->out->error != 0) return QUARN_HANDLER_ABORT;
    ctx->last_row = row;
    return QUARN_HANDLER_CONTINUE;
}

/* Reports a failed write of the document; returns 1, the run's status. */
int report_write_error(const char *name, int error) {
    fprintf(stderr, "Error writing JSON to %s: %s\n", name, strerror(error));
    return 1;
}

bool json_document::report() const {
    if (status != yajl_gen_status_ok) {
        fflush(stdout);
        fprintf(stderr, "Error generating JSON: %s\n", gen_status_text(status));
        return false;
    }
    if (out->error != 0) {
        report_write_error(out->name, out->error);
        return false;
    }
    return true;
}

/* Buffer of a file the document is written to: the generator hands over
 * many small pieces. */
constexpr size_t kOutputBuffer = 1 << 20;

/* The mode fopen(path, "w") gives a file it creates. */
mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

/* The output of a run, opened before the document is generated.
 *
 * A regular file, or a path where nothing is yet, is written through a
 * temporary file beside it, which only a finished document renames over
 * the path: a failed run leaves no output and an existing file untouched.
 * Standard output ("-") and any other existing file (a device, a FIFO) are
 * written straight as the document is generated, and never removed.
 * Whatever is still open when the output goes out of scope is closed, and
 * a temporary file not renamed is removed. */
class DocumentOutput {
  public:
    DocumentOutput() = default;
    DocumentOutput(const DocumentOutput &) = delete;
    DocumentOutput &operator=(const DocumentOutput &) = delete;
    ~DocumentOutput() {
        /* a document cut short by a failure still gets what was made of it */
        if (file_) flush_pending(&sink_);
        if (file_ && file_ != stdout) fclose(file_);
        if (!temp_path_.empty()) unlink(temp_path_.c_str());
    }

    /* Opens the output for path; prints the failure and returns false. */
    bool open(const char *path) {
        if (strcmp(path, "-") == 0) {
            file_ = stdout;
            sink_.name = "standard output";
        } else if (!open_replacement(path)) {
            fprintf(stderr, "Couldn't open file for writing: %s\n", path);
            return false;
        } else {
            buffer_.resize(kOutputBuffer);
            setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
        }
        sink_.file = file_;
        return true;
    }

    json_output *sink() { return &sink_; }

    /* Ends the document's output: flushes (and closes) it, and renames a
     * temporary file over the path. Prints a failure and returns the run's
     * status. */
    int finish() {
        flush_pending(&sink_);
        if (sink_.error != 0) return report_write_error(sink_.name, sink_.error);
        errno = 0;
        if (file_ == stdout) {
            if (fflush(stdout) != 0 || ferror(stdout)) return report_write_error(sink_.name, errno ? errno : EIO);
            return 0;
        }
        FILE *file = std::exchange(file_, nullptr);
        const bool written = fflush(file) == 0 && !ferror(file);
        const int write_error = errno ? errno : EIO;
        errno = 0;
        const bool closed = fclose(file) == 0;
        if (!written) return report_write_error(sink_.name, write_error);
        if (!closed) return report_write_error(sink_.name, errno ? errno : EIO);
        if (!temp_path_.empty()) {
            if (rename(temp_path_.c_str(), target_.c_str()) != 0)
                return report_write_error(sink_.name, errno);
            temp_path_.clear();
        }
        return 0;
    }

  private:
    /* Opens the file the document goes to: a temporary file beside a regular
     * (or absent) output, or else the output itself. Returns false on
     * failure; a temporary file already made is removed with the output. */
    bool open_replacement(const char *path) {
        sink_.name = path;
        target_ = path;
        mode_t mode = new_file_mode();
        struct stat st;
        if (stat(path, &st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                file_ = fopen(path, "w");
                return file_ != nullptr;
            }
            /* an existing file keeps its permissions, and a link to it stays
             * a link: the link's target is replaced */
            mode = st.st_mode & 0777;
            struct stat link;
            if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
                char *resolved = realpath(path, nullptr);
                if (!resolved) return false;
                target_ = resolved;
                free(resolved);
            }
        } else if (errno == ENOENT) {
            /* a link to nothing: fopen would create its target there */
            struct stat link;
            if (lstat(path, &link) == 0) {
                file_ = fopen(path, "w");
                return file_ != nullptr;
            }
        }

        std::string temp = target_ + ".XXXXXX";
        const int fd = mkstemp(temp.data());
        if (fd < 0) return false;
        temp_path_ = temp;
        if (fchmod(fd, mode) != 0) {
            close(fd);
            return false;
        }
        file_ = fdopen(fd, "w");
        if (!file_) {
            close(fd);
            return false;
        }
        return true;
    }

    std::string target_;    /* the path the temporary file is renamed to */
    std::string temp_path_; /* the temporary file; empty when none is left */
    FILE *file_ = nullptr;
    std::vector<char> buffer_; /* file_'s buffer, kept until file_ is closed */
    json_output sink_{nullptr, "", 0};
};

} // namespace

namespace converter {

int quarn_to_json(const char *input_path, const char *output_path) {
    GenPtr gen(yajl_gen_alloc(nullptr));
    if (!gen) {
        fprintf(stderr, "Error generating JSON: out of memory\n");
        return 1;
    }

    std::optional<Input> input = open_input(input_path);
    if (!input) return 1;

    /* the generator prints straight into the output as it goes */
    DocumentOutput output;
    if (!output.open(output_path)) return 1;
    yajl_gen_config(gen.get(), yajl_gen_beautify, 1);
    yajl_gen_config(gen.get(), yajl_gen_print_callback, json_print, output.sink());

    json_document doc{gen.get(), output.sink()};
    doc.array_open();

    json_ctx ctx{gen.get(), 0, output.sink()};
    for (uint64_t i = 0; i < input->tables->count; i++) {
        const quarn_table_t *table = &input->tables->tables[i];
        doc.map_open();
        doc.string("name");
        doc.string(table->name);

        doc.string("columns");
        doc.array_open();
        if (!doc.report()) return 1;
        {
            const quarn::ColumnsPtr columns = list_columns(input->file.get(), table);
            if (!columns) return 1;
            for (uint64_t c = 0; c < columns->count; c++) write_column(doc, columns->columns[c]);
        }
        doc.array_close();

        doc.string("values");
        doc.array_open();
        if (!doc.report()) return 1;
        ctx.last_row = 0;
        const quarn_error_t result = quarn_read_values(input->file.get(), table, json_add_value, &ctx);
        /* a failed write aborts the read: the write is what went wrong */
        if (result != QUARN_OK && output.sink()->error != 0)
            return report_write_error(output.sink()->name, output.sink()->error);
        if (result != QUARN_OK) return report_error_code(result);
        if (ctx.last_row != 0) doc.map_close();
        doc.array_close();
        doc.map_close();
    }
    doc.array_close();
    input.reset();

    if (!doc.report()) return 1;
    return output.finish();
}

} // namespace converter

#ifndef QUARN_CONVERTER_NO_MAIN
int main(int argc, char **argv) {
    converter::check_arguments(argc, argv);
    return converter::quarn_to_json(argv[1], argv[2]);
}
#endif
