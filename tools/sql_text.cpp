/*
 * sql_text.cpp: quoted identifiers and single statements (sql_text.h).
 */
#include "sql_text.h"

namespace converter {

std::string quoted_identifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

bool run_single_statement(sqlite3 *db, const std::string &sql, std::string *message) {
    sqlite3_stmt *statement = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, &tail) != SQLITE_OK) {
        *message = sqlite3_errmsg(db);
        return false;
    }
    bool tail_empty = true;
    for (const char *p = tail; p && *p; p++)
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != '\f' && *p != '\v')
            tail_empty = false;
    if (!statement || !tail_empty) {
        sqlite3_finalize(statement);
        *message = "the text is not a single statement";
        return false;
    }
    const bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) *message = sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    return done;
}

void sqlite_single_thread() {
    /* each fails harmlessly (SQLITE_MISUSE) once SQLite is initialized */
    sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
}

} // namespace converter
