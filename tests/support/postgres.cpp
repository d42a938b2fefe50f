/*
 * postgres.cpp: the throw-away PostgreSQL server of postgres.h. The
 * server's programs come from the Debian packages (/usr/lib/postgresql/N/bin,
 * the newest N) or from PATH; connections are made with libpq.
 */
#include "postgres.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qt {

namespace {

namespace fs = std::filesystem;

/* The folder of the newest installed server's programs, or "". */
std::string server_bin_dir() {
    std::error_code ec;
    std::vector<fs::path> found;
    for (const auto &entry : fs::directory_iterator("/usr/lib/postgresql", ec))
        if (fs::exists(entry.path() / "bin" / "initdb", ec)) found.push_back(entry.path() / "bin");
    std::sort(found.begin(), found.end(), [](const fs::path &a, const fs::path &b) {
        return std::atoi(a.parent_path().filename().c_str()) < std::atoi(b.parent_path().filename().c_str());
    });
    if (!found.empty()) return found.back().string();
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t at = 0;
    while (at <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', at), dirs.size());
        const fs::path dir = dirs.substr(at, end - at);
        if (!dir.empty() && fs::exists(dir / "initdb", ec) && fs::exists(dir / "postgres", ec))
            return dir.string();
        at = end + 1;
    }
    return "";
}

std::string percent_encoded(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            char cell[4];
            snprintf(cell, sizeof cell, "%%%02X", c);
            out += cell;
        }
    }
    return out;
}

} // namespace

PostgresServer::PostgresServer() {
    bin_ = server_bin_dir();
    if (bin_.empty()) {
        why_ = "no PostgreSQL server programs (initdb, postgres) are installed";
        return;
    }
    std::string pattern = (fs::temp_directory_path() / "quarn-pg-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        why_ = std::string("cannot make a folder for the cluster: ") + strerror(errno);
        return;
    }
    dir_ = pattern;
    if (geteuid() == 0) {
        /* the server refuses to run as root */
        const struct passwd *account = getpwnam("postgres");
        if (!account) {
            why_ = "running as root and there is no \"postgres\" account to run the server as";
            return;
        }
        run_uid_ = account->pw_uid;
        run_gid_ = account->pw_gid;
        switch_user_ = true;
        if (chown(dir_.c_str(), run_uid_, run_gid_) != 0) {
            why_ = std::string("cannot give the cluster folder to postgres: ") + strerror(errno);
            return;
        }
    }
    available_ = start();
}

/* Runs argv (a server program) as the server's account, output to log;
 * waits for it when wait is set (answering its status), else answers its
 * pid. */
static long spawn(const std::vector<std::string> &args, const std::string &log, bool wait, bool switch_user,
                  uid_t uid, gid_t gid) {
    std::vector<char *> argv;
    std::vector<std::string> copy = args;
    for (std::string &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        if (switch_user && (setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (!wait) return pid;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool PostgresServer::start() {
    const std::string data = dir_ + "/data";
    const std::string log = dir_ + "/server.log";
    if (spawn({bin_ + "/initdb", "-D", data, "-U", user_, "-A", "trust", "-E", "UTF8", "--locale=C.UTF-8",
               "--no-sync"},
              log, true, switch_user_, run_uid_, run_gid_) != 0) {
        why_ = "initdb failed (see " + log + ")";
        return false;
    }
    server_ = static_cast<pid_t>(spawn({bin_ + "/postgres", "-D", data, "-k", dir_, "-p", std::to_string(port_),
                                        "-c", "listen_addresses=", "-c", "fsync=off", "-c",
                                        "full_page_writes=off", "-c", "synchronous_commit=off"},
                                       log, false, switch_user_, run_uid_, run_gid_));
    if (server_ < 0) {
        why_ = "cannot start the server";
        return false;
    }
    const std::string info = conninfo();
    for (int attempt = 0; attempt < 300; attempt++) {
        if (PQping(info.c_str()) == PQPING_OK) return true;
        int status = 0;
        if (waitpid(server_, &status, WNOHANG) == server_) {
            server_ = -1;
            why_ = "the server stopped while starting (see " + log + ")";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    why_ = "the server did not take connections within 30 seconds (see " + log + ")";
    return false;
}

PostgresServer::~PostgresServer() {
    if (server_ > 0) {
        /* immediate shutdown: nothing in the cluster is worth keeping */
        kill(server_, SIGQUIT);
        int status = 0;
        waitpid(server_, &status, 0);
    }
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

std::string PostgresServer::psql() const {
    std::error_code ec;
    if (!bin_.empty() && fs::exists(bin_ + "/psql", ec)) return bin_ + "/psql";
    return fs::exists("/usr/bin/psql", ec) ? "/usr/bin/psql" : "";
}

std::string PostgresServer::conninfo(const std::string &dbname) const {
    return "host=" + dir_ + " port=" + std::to_string(port_) + " user=" + user_ + " dbname=" + dbname;
}

std::string PostgresServer::uri(const std::string &dbname) const {
    return "postgresql://" + user_ + "@" + percent_encoded(dir_) + ":" + std::to_string(port_) + "/" + dbname;
}

bool PostgresServer::create_database(const std::string &name) {
    PGconn *connection = PQconnectdb(conninfo().c_str());
    const std::unique_ptr<PGconn, void (*)(PGconn *)> guard(connection, PQfinish);
    if (PQstatus(connection) != CONNECTION_OK) {
        why_ = PQerrorMessage(connection);
        return false;
    }
    char *quoted = PQescapeIdentifier(connection, name.c_str(), name.size());
    const std::string identifier = quoted ? quoted : "";
    PQfreemem(quoted);
    for (const std::string &sql : {"DROP DATABASE IF EXISTS " + identifier, "CREATE DATABASE " + identifier}) {
        PGresult *result = PQexec(connection, sql.c_str());
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        if (!ok) why_ = PQresultErrorMessage(result);
        PQclear(result);
        if (!ok) return false;
    }
    return true;
}

PostgresServer &postgres_server() {
    static PostgresServer server;
    return server;
}

} // namespace qt
