/*
 * text_file.h: an output file written through a large buffer, whose every
 * write is checked: the first failure is kept (with its errno) and reported
 * by close(), so that a full disk or a lost folder ends the export with the
 * reason. The CSV and JSON formats write through it.
 */
#ifndef QUARN_EXPORT_TEXT_FILE_H
#define QUARN_EXPORT_TEXT_FILE_H

#include "format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace qexport {

class TextFile {
  public:
    TextFile() = default;
    TextFile(const TextFile &) = delete;
    TextFile &operator=(const TextFile &) = delete;
    ~TextFile() {
        if (file_) fclose(file_);
    }

    /* Creates (or truncates) path; shown names it in messages. */
    bool open(const std::string &path, const std::string &shown, Failure *failure) {
        shown_ = shown;
        errno = 0;
        file_ = fopen(path.c_str(), "wb");
        if (!file_) return fail(errno, failure);
        pending_.reserve(kPending);
        return true;
    }

    /* Text is gathered here and written a megabyte at a time: formats
     * write a token at a time, and a call into stdio for each costs more
     * than making the token. */
    void write(std::string_view text) {
        if (error_ != 0 || !file_) return;
        if (text.size() > kPending - pending_.size()) {
            flush_pending();
            if (text.size() >= kPending) {
                write_out(text);
                return;
            }
        }
        pending_.append(text);
    }
    void put(char c) {
        if (error_ != 0 || !file_) return;
        if (pending_.size() == kPending) flush_pending();
        pending_.push_back(c);
    }

    /* False (with *failure set) once a write failed. */
    bool ok(Failure *failure) const {
        if (error_ == 0) return true;
        failure->message = "cannot write " + shown_ + ": " + strerror(error_);
        return false;
    }

    /* Flushes and closes; false with the reason when anything failed. */
    bool close(Failure *failure) {
        if (!file_) return ok(failure);
        flush_pending();
        errno = 0;
        if (error_ == 0 && (fflush(file_) != 0 || ferror(file_))) error_ = errno ? errno : EIO;
        errno = 0;
        if (fclose(file_) != 0 && error_ == 0) error_ = errno ? errno : EIO;
        file_ = nullptr;
        return ok(failure);
    }

    /* Closes without looking at the result (after another failure). */
    void drop() {
        if (file_) fclose(file_);
        file_ = nullptr;
    }

  private:
    static constexpr size_t kPending = 1 << 20;

    void write_out(std::string_view text) {
        errno = 0;
        if (fwrite(text.data(), 1, text.size(), file_) != text.size()) error_ = errno ? errno : EIO;
    }
    void flush_pending() {
        if (error_ == 0 && !pending_.empty()) write_out(pending_);
        pending_.clear();
    }

    bool fail(int error, Failure *failure) {
        error_ = error ? error : EIO;
        return ok(failure);
    }

    FILE *file_ = nullptr;
    std::string pending_;
    std::string shown_;
    int error_ = 0;
};

} // namespace qexport

#endif
