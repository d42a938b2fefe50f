/*
 * record_directories.h: the records a file holds, counted without the
 * library's readers: a walk over every block that collects the record
 * directories (T, 5, r in generation 7 and later, 5, r in earlier files)
 * by their keys' bytes as stored, so that no rule of the library's for
 * reading keys or recognising values takes part. For the tests that
 * account for every record of the real files.
 */
#ifndef QUARN_TEST_RECORD_DIRECTORIES_H
#define QUARN_TEST_RECORD_DIRECTORIES_H

#include "quarn.h"
#include "quarn_internal.h"

#include <map>
#include <memory>
#include <set>
#include <string>

namespace qt {

/* Record keys by table number (1 for an earlier file's one table). */
using RecordKeys = std::map<int64_t, std::set<std::string>>;

inline int collect_record_keys(quarn_chunk_t *chunk, void *ctx) {
    auto &keys = *static_cast<RecordKeys *>(ctx);
    quarn_span_t **path = chunk->path;
    const bool v7 = chunk->generation >= 7;
    const int row = v7 ? 2 : 1;
    if (chunk->path_level <= row || !path[row]) return QUARN_HANDLER_CONTINUE;
    if (path_value(chunk, path[row - 1]) != 5) return QUARN_HANDLER_CONTINUE;
    int64_t table = 1;
    if (v7) {
        const uint64_t outer = path_value(chunk, path[0]);
        if (outer < 129) return QUARN_HANDLER_CONTINUE;
        table = static_cast<int64_t>(outer) - 128;
    }
    keys[table].insert(std::string(reinterpret_cast<const char *>(path[row]->start), path[row]->size));
    return QUARN_HANDLER_CONTINUE;
}

/* The record directories of the file at path, on a handle of their own;
 * false when the file does not open or a block does not decode. */
inline bool record_directories(const std::string &path, RecordKeys *keys) {
    quarn_error_t error = QUARN_OK;
    const std::unique_ptr<quarn_file_t, void (*)(quarn_file_t *)> file(quarn_open_file(path.c_str(), &error),
                                                                      quarn_close_file);
    if (!file) return false;
    return process_blocks(file.get(), nullptr, collect_record_keys, keys) == QUARN_OK;
}

} // namespace qt

#endif
