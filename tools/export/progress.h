/*
 * progress.h: the progress line of a long export on a terminal: the table
 * being read, the records done and the rate in MB/s of the values handed
 * over, redrawn at most five times a second on standard error and cleared
 * at the end. Disabled, it prints nothing.
 */
#ifndef QUARN_EXPORT_PROGRESS_H
#define QUARN_EXPORT_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

namespace qexport {

class Progress {
  public:
    explicit Progress(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}
    ~Progress() { clear(); }
    void update(const char *table, uint64_t records, uint64_t bytes);
    /* Removes the line (before a message, and at the end). */
    void clear();

  private:
    bool enabled_;
    bool shown_ = false;
    uint64_t total_before_ = 0, last_bytes_ = 0;
    std::string table_;
    std::chrono::steady_clock::time_point start_, last_;
};

} // namespace qexport

#endif
