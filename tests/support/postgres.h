/*
 * postgres.h: a throw-away PostgreSQL server for the tests that load
 * exports into one. A fresh cluster in a temporary folder, listening only
 * on a Unix socket in that folder (no TCP port), trusting local
 * connections; when the tests run as root it runs as the unprivileged
 * "postgres" account, as the server insists. Stopped, and its folder
 * removed, when the object goes.
 */
#ifndef QUARN_TEST_POSTGRES_H
#define QUARN_TEST_POSTGRES_H

#include <string>
#include <sys/types.h>

namespace qt {

class PostgresServer {
  public:
    /* Makes the cluster and starts the server, waiting until it takes
     * connections. When anything is missing or fails, available() is false
     * and why() says what. */
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    bool available() const { return available_; }
    const std::string &why() const { return why_; }

    /* The folder that holds the socket (libpq's host), the port that names
     * it, and the superuser's name. */
    const std::string &socket_dir() const { return dir_; }
    int port() const { return port_; }
    const std::string &user() const { return user_; }
    /* The psql of the server's installation; "" when it has none. */
    std::string psql() const;

    /* A libpq key=value connection string for database dbname. */
    std::string conninfo(const std::string &dbname = "postgres") const;
    /* The same as a postgresql:// URI (the socket folder percent-encoded as
     * the host). */
    std::string uri(const std::string &dbname = "postgres") const;

    /* Creates database name (dropping one of that name first). False, with
     * why() set, on failure. */
    bool create_database(const std::string &name);

  private:
    bool start();

    bool available_ = false;
    std::string why_;
    std::string dir_;
    std::string bin_;
    std::string user_ = "quarn";
    int port_ = 5432;
    pid_t server_ = -1;
    uid_t run_uid_ = 0;
    gid_t run_gid_ = 0;
    bool switch_user_ = false;
};

/* The server of this test program, started at first use. */
PostgresServer &postgres_server();

} // namespace qt

#endif
