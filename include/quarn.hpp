/*
 * quarn.hpp: RAII handles over the C interface of quarn.h, for C++ callers.
 * Each handle frees its object with the matching library function.
 */
#ifndef QUARN_HPP
#define QUARN_HPP

#include "quarn.h"

#include <memory>

namespace quarn {

struct FileCloser {
    void operator()(quarn_file_t *file) const { if (file) quarn_close_file(file); }
};
struct TablesFreer {
    void operator()(quarn_table_array_t *tables) const { quarn_free_tables(tables); }
};
struct ColumnsFreer {
    void operator()(quarn_column_array_t *columns) const { quarn_free_columns(columns); }
};
struct FieldsFreer {
    void operator()(quarn_field_array_t *fields) const { quarn_free_fields(fields); }
};

using FilePtr = std::unique_ptr<quarn_file_t, FileCloser>;
using TablesPtr = std::unique_ptr<quarn_table_array_t, TablesFreer>;
using ColumnsPtr = std::unique_ptr<quarn_column_array_t, ColumnsFreer>;
using FieldsPtr = std::unique_ptr<quarn_field_array_t, FieldsFreer>;

} // namespace quarn

#endif /* QUARN_HPP */
