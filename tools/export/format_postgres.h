/*
 * format_postgres.h: what quarn export needs to know of the PostgreSQL
 * format beyond its entry points: which OUTPUT names a server rather than a
 * script file, the schema an input goes into by default, and a connection
 * as messages may show it.
 */
#ifndef QUARN_EXPORT_FORMAT_POSTGRES_H
#define QUARN_EXPORT_FORMAT_POSTGRES_H

#include <string>
#include <string_view>

namespace qexport {

/* True for a postgresql:// or postgres:// URI. */
bool postgres_uri(std::string_view output);

/* True when output is a connection to a server: a URI, or a libpq
 * key=value connection string ("host=/run/x dbname=books"); false for a
 * path of a script file. */
bool postgres_connection(const std::string &output);

/* The schema named after an input file: the name without its extension,
 * lower case, every character outside a-z, 0-9 and "_" turned into "_",
 * "_" in front of a leading digit or of the reserved prefix "pg_", at most
 * 63 bytes; "quarn" when nothing is left. */
std::string postgres_schema_name(std::string_view file_name);

/* A connection for messages, its password left out: the password of a
 * URI's user part or its password= parameter, or a key=value string's
 * password key. */
std::string postgres_display(const std::string &connection);

/* The longest identifier PostgreSQL keeps (NAMEDATALEN - 1 bytes); longer
 * ones it cuts. */
constexpr size_t kPostgresIdentifierBytes = 63;

} // namespace qexport

#endif
