/*
 * files.h: opening what the test writer lays out through the library's
 * public interface, for the tests of the queries.
 */
#ifndef QUARN_TEST_FILES_H
#define QUARN_TEST_FILES_H

#include "quarn.hpp"
#include "writer.h"

namespace qt {

/* A handle over the bytes, or null with the open's error in *error. */
inline quarn::FilePtr open_bytes(const qw::Bytes &bytes, quarn_error_t *error = nullptr) {
    quarn_error_t rc = QUARN_OK;
    quarn::FilePtr file(quarn_open_buffer(bytes.data(), bytes.size(), &rc));
    if (error) *error = rc;
    return file;
}

} // namespace qt

#endif
