/*
 * progress.cpp: the progress line (progress.h).
 */
#include "progress.h"

#include <cstdio>

namespace qexport {

void Progress::update(const char *table, uint64_t records, uint64_t bytes) {
    if (!enabled_) return;
    if (table_ != table) {
        total_before_ += last_bytes_;
        table_ = table;
    }
    last_bytes_ = bytes;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(total_before_ + bytes) / 1e6 / seconds : 0.0;
    fprintf(stderr, "\r\033[K%s: %llu records, %.1f MB/s", table, static_cast<unsigned long long>(records), rate);
    fflush(stderr);
    shown_ = true;
}

void Progress::clear() {
    if (!shown_) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    shown_ = false;
}

} // namespace qexport
