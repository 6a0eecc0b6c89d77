#include "tests/support/postgres_server.hpp"

#include <dirent.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/support/child_process.hpp"

namespace xarveld::test {

namespace {
constexpr const char* DB_USER = "xarveld";
constexpr double COMMAND_TIMEOUT_S = 60;

// Runs one of the server's programs as the server's user.
bool run_as_server(const PostgresServer& server, std::vector<std::string> argv, std::string& why) {
  std::vector<std::string> command;
  if (!server.os_user.empty()) {
    command = {"setpriv", "--reuid=" + server.os_user, "--regid=" + server.os_user,
               "--clear-groups", "--"};
  }
  argv[0] = server.bin + "/" + argv[0];
  command.insert(command.end(), argv.begin(), argv.end());
  e2e::Finished done = e2e::run_to_end(command, server.dir, COMMAND_TIMEOUT_S);
  if (done.status == 0) return true;
  why = argv[0] + " failed (status " + std::to_string(done.status) + "): " + done.err + done.out;
  return false;
}

// The version's number in /usr/lib/postgresql/<version>, for the newest.
int version_of(const std::string& name) { return std::atoi(name.c_str()); }
}  // namespace

std::string postgres_binaries() {
  std::string best;
  int best_version = -1;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    std::string bin = entry.path().string() + "/bin";
    int version = version_of(entry.path().filename().string());
    if (version > best_version && access((bin + "/postgres").c_str(), X_OK) == 0 &&
        access((bin + "/initdb").c_str(), X_OK) == 0 &&
        access((bin + "/pg_ctl").c_str(), X_OK) == 0) {
      best = bin;
      best_version = version;
    }
  }
  return best;
}

bool postgres_create(PostgresServer& server, std::string& why) {
  server.bin = postgres_binaries();
  if (server.bin.empty()) {
    why = "no PostgreSQL server under /usr/lib/postgresql (Debian's postgresql package)";
    return false;
  }
  char pattern[] = "/tmp/xarveld-pg.XXXXXX";  // short: a socket's path has room for 107 bytes
  if (mkdtemp(pattern) == nullptr) {
    why = "mkdtemp failed";
    return false;
  }
  server.dir = pattern;
  server.os_user.clear();
  if (geteuid() == 0) {
    passwd* user = getpwnam("postgres");
    if (user == nullptr) user = getpwnam("nobody");
    if (user == nullptr || chown(server.dir.c_str(), user->pw_uid, user->pw_gid) != 0) {
      why = "no user to run the server as, or chown failed";
      return false;
    }
    server.os_user = user->pw_name;
  }
  if (!run_as_server(server,
                     {"initdb", "-D", server.dir + "/data", "-U", DB_USER, "-A", "trust", "-E",
                      "UTF8", "--locale=C", "--no-sync", "--no-instructions"},
                     why)) {
    return false;
  }
  // The settings, appended to the file initdb wrote (it stays the server user's).
  std::ofstream conf(server.dir + "/data/postgresql.conf", std::ios::app);
  conf << "listen_addresses = ''\n"
       << "unix_socket_directories = '" << server.dir << "'\n"
       << "unix_socket_permissions = 0700\n"
       << "port = 5432\n"
       << "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n";
  conf.close();
  if (!conf) {
    why = "cannot write postgresql.conf";
    return false;
  }
  return postgres_start(server, why);
}

bool postgres_start(PostgresServer& server, std::string& why) {
  if (!run_as_server(server,
                     {"pg_ctl", "-D", server.dir + "/data", "-l", server.dir + "/server.log", "-w",
                      "-t", "30", "-s", "start"},
                     why)) {
    return false;
  }
  server.running = true;
  return true;
}

bool postgres_stop(PostgresServer& server, std::string& why) {
  if (!run_as_server(server, {"pg_ctl", "-D", server.dir + "/data", "-m", "fast", "-w", "-t", "30",
                              "-s", "stop"},
                     why)) {
    return false;
  }
  server.running = false;
  return true;
}

void postgres_destroy(PostgresServer& server) {
  std::string ignored;
  if (server.running) postgres_stop(server, ignored);
  if (!server.dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(server.dir, ec);
  }
  server.dir.clear();
}

std::vector<pid_t> postgres_processes(const PostgresServer& server) {
  std::vector<pid_t> pids;
  std::ifstream pid_file(server.dir + "/data/postmaster.pid");
  pid_t postmaster = 0;
  if (!(pid_file >> postmaster) || postmaster <= 0) return pids;
  pids.push_back(postmaster);
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // "pid (comm) state ppid ...": comm may hold spaces, so read after its closing parenthesis.
    std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == postmaster) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

std::string postgres_location(const PostgresServer& server, const std::string& database) {
  return "postgresql:///" + database + "?host=" + server.dir + "&port=5432&user=" + DB_USER;
}

bool postgres_create_database(const PostgresServer& server, const std::string& database,
                              std::string& why) {
  PGconn* conn = PQconnectdb(postgres_location(server, "postgres").c_str());
  char* name = PQescapeIdentifier(conn, database.c_str(), database.size());
  std::string sql = std::string("CREATE DATABASE ") + (name ? name : "\"\"");
  PQfreemem(name);
  PGresult* result = PQexec(conn, sql.c_str());
  bool created = PQresultStatus(result) == PGRES_COMMAND_OK;
  if (!created) why = PQerrorMessage(conn);
  PQclear(result);
  PQfinish(conn);
  return created;
}

namespace {
PostgresServer* shared_server = nullptr;
pid_t shared_owner = 0;

void remove_shared_server() {
  if (shared_server != nullptr && getpid() == shared_owner) postgres_destroy(*shared_server);
}
}  // namespace

std::string postgres_fresh_location(std::string& why) {
  static int databases = 0;
  if (shared_server == nullptr) {
    shared_server = new PostgresServer;
    shared_owner = getpid();
    std::atexit(remove_shared_server);
    if (!postgres_create(*shared_server, why)) return "";
  }
  if (!shared_server->running) {
    why = "the shared PostgreSQL server did not start";
    return "";
  }
  std::string name = "ledger" + std::to_string(++databases);
  if (!postgres_create_database(*shared_server, name, why)) return "";
  return postgres_location(*shared_server, name);
}

std::string postgres_value(const std::string& location, const std::string& sql) {
  PGconn* conn = PQconnectdb(location.c_str());
  PGresult* result = PQexec(conn, sql.c_str());
  std::string value;
  ExecStatusType status = PQresultStatus(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    value = std::string("error: ") + PQerrorMessage(conn);
  } else if (PQntuples(result) > 0 && PQnfields(result) > 0) {
    value = PQgetvalue(result, 0, 0);
  }
  PQclear(result);
  PQfinish(conn);
  return value;
}

}  // namespace xarveld::test
