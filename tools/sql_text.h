/*
 * sql_text.h: SQL text that quarn-to-sqlite and quarn export share: an
 * identifier quoted so that it stands for exactly the name it holds,
 * running a built text as exactly one statement, and SQLite set up for a
 * program of one thread.
 */
#ifndef QUARN_TOOLS_SQL_TEXT_H
#define QUARN_TOOLS_SQL_TEXT_H

#include <sqlite3.h>

#include <string>
#include <string_view>

namespace converter {

/* name inside double quotes, each " in it doubled: an SQL identifier that
 * stands for exactly that name, whatever characters it holds. */
std::string quoted_identifier(std::string_view name);

/* Runs the one statement in sql. Text left after the first statement
 * (anything but white space) is refused unrun, so a built text can never
 * run more than it was built for. Returns false with *message set on
 * failure. */
bool run_single_statement(sqlite3 *db, const std::string &sql, std::string *message);

/* Tells SQLite, before its first use, that the program has one thread and
 * needs no memory statistics: the mutexes taken around every call and every
 * allocation go (about a tenth of a conversion's work). A program calls it
 * first thing in main; after SQLite's first use it changes nothing. */
void sqlite_single_thread();

} // namespace converter

#endif
