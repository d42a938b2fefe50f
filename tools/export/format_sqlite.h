/*
 * format_sqlite.h: the SQL that the SQLite format of quarn export runs, for
 * quarn schema --sql to print.
 */
#ifndef QUARN_EXPORT_FORMAT_SQLITE_H
#define QUARN_EXPORT_FORMAT_SQLITE_H

#include "format.h"

#include <string>
#include <vector>

namespace qexport {

/* Names of the SQL tables of the plans, in order: each table's name, made
 * unique regardless of case, with names SQLite keeps for itself
 * ("sqlite_...") prefixed by "_". */
std::vector<std::string> sqlite_table_names(const std::vector<TablePlan> &plans);

/* The CREATE TABLE statement of a planned table under its SQL name, and
 * its columns as SQL names (spaces turned into "_", made unique regardless
 * of case). Fails (false, *failure set) when the table has more fields than
 * SQLite's column limit. */
bool sqlite_create_table(const TablePlan &plan, const std::string &table_name, std::string *sql,
                         std::vector<FlatColumn> *columns, std::vector<std::string> *column_names,
                         std::vector<std::string> *overflowed, Failure *failure);

} // namespace qexport

#endif
