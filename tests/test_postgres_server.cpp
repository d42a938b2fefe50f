/*
 * test_postgres_server.cpp: the throw-away PostgreSQL server that the load
 * tests use: it takes connections by its socket folder, both as a key=value
 * string and as a URI, listens on no TCP port, and makes databases. Skipped,
 * saying why, where no server can be run.
 */
#include <gtest/gtest.h>

#include "postgres.h"

#include <libpq-fe.h>

#include <memory>
#include <string>

namespace {

using Connection = std::unique_ptr<PGconn, void (*)(PGconn *)>;

std::string one_value(PGconn *connection, const std::string &sql) {
    PGresult *result = PQexec(connection, sql.c_str());
    std::string value = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1
                            ? PQgetvalue(result, 0, 0)
                            : "(" + std::string(PQresultErrorMessage(result)) + ")";
    PQclear(result);
    return value;
}

TEST(PostgresServer, TakesLocalConnectionsOnly) {
    qt::PostgresServer &server = qt::postgres_server();
    if (!server.available()) GTEST_SKIP() << "no PostgreSQL server for the tests: " << server.why();
    ASSERT_TRUE(server.create_database("scratch")) << server.why();

    for (const std::string &target : {server.conninfo("scratch"), server.uri("scratch")}) {
        SCOPED_TRACE(target);
        Connection connection(PQconnectdb(target.c_str()), PQfinish);
        ASSERT_EQ(PQstatus(connection.get()), CONNECTION_OK) << PQerrorMessage(connection.get());
        EXPECT_EQ(one_value(connection.get(), "SELECT current_database()"), "scratch");
        EXPECT_EQ(one_value(connection.get(), "SHOW listen_addresses"), "");
        EXPECT_EQ(one_value(connection.get(), "SHOW server_encoding"), "UTF8");
    }
    /* made again, a database starts empty */
    {
        Connection connection(PQconnectdb(server.conninfo("scratch").c_str()), PQfinish);
        PQclear(PQexec(connection.get(), "CREATE TABLE t (x int)"));
    }
    ASSERT_TRUE(server.create_database("scratch")) << server.why();
    Connection connection(PQconnectdb(server.conninfo("scratch").c_str()), PQfinish);
    EXPECT_EQ(one_value(connection.get(), "SELECT count(*) FROM pg_tables WHERE tablename = 't'"), "0");
}

} // namespace
