#pragma once
// A throwaway PostgreSQL server for tests: a cluster in a temporary directory, made and run with
// the postgresql package's own binaries, listening only on a Unix socket in that directory (no
// TCP port, and a directory no other user may enter). The server refuses to run as root, so
// under root it runs as the package's "postgres" user.
#include <sys/types.h>

#include <string>
#include <vector>

namespace xarveld::test {

struct PostgresServer {
  std::string bin;      // the server's binaries: /usr/lib/postgresql/<version>/bin
  std::string dir;      // the temporary directory: data/, the socket, server.log
  std::string os_user;  // whom the server runs as; empty: the tests' own user
  bool running = false;
};

// The newest installed server's binaries, or empty when the server is not installed.
std::string postgres_binaries();

// Makes a cluster in a fresh temporary directory and starts it. False with why.
bool postgres_create(PostgresServer& server, std::string& why);

// Stops the server (fast: open connections are ended) and starts it again on the same cluster.
bool postgres_stop(PostgresServer& server, std::string& why);
bool postgres_start(PostgresServer& server, std::string& why);

// Stops the server if it runs and removes its directory.
void postgres_destroy(PostgresServer& server);

// The server's processes: the postmaster and its children (to freeze them with SIGSTOP).
std::vector<pid_t> postgres_processes(const PostgresServer& server);

// A libpq connection string for database on the server.
std::string postgres_location(const PostgresServer& server, const std::string& database);

// Creates an empty database. False with why.
bool postgres_create_database(const PostgresServer& server, const std::string& database,
                              std::string& why);

// A new empty database on one cluster shared by the whole test process (started on first use,
// removed when the process exits; forked children leave it alone). Empty with why when the
// server is not installed or does not start.
std::string postgres_fresh_location(std::string& why);

// Runs sql on database and returns the first row's first value ("" without one), or
// "error: ..." with the server's message.
std::string postgres_value(const std::string& location, const std::string& sql);

}  // namespace xarveld::test
