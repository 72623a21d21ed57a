// SPDX-License-Identifier: MIT
#include "support_postgres.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include "support.h"

// Starts a PostgreSQL program, its output appended to log_path; as nobody
// when the tests run as root, which PostgreSQL refuses.
static pid_t Spawn(const std::vector<std::string> &argv, const std::string &log_path) {
  Launch launch;
  launch.argv = argv;
  launch.out_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  launch.as_nobody = true;
  pid_t pid = StartProcess(launch);
  close(launch.out_fd);
  return pid;
}

static std::string Uri(int port, const std::string &database) {
  return "postgresql://varkel@127.0.0.1:" + std::to_string(port) + "/" + database;
}

TestPostgres::TestPostgres() : dir(MakeTempDir()), port(0), pid(-1), databases(0) {
  EXPECT_STRNE(VARKEL_PG_BINDIR, "") << "PostgreSQL is not installed (scripts/install-deps.sh)";
  if (getuid() == 0) {
    EXPECT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
  }
  pid_t initdb = Spawn({std::string(VARKEL_PG_BINDIR) + "/initdb", "-D", dir + "data", "-U",
                        "varkel", "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"},
                       dir + "initdb.log");
  int status = -1;
  waitpid(initdb, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFileText(dir + "initdb.log");
  // A port taken meanwhile by someone else: try another.
  for (int attempt = 0; attempt < 3 && pid < 0; attempt++) {
    port = FreePort();
    if (!Start()) Stop();
  }
  EXPECT_GT(pid, 0) << Log();
}

TestPostgres::~TestPostgres() {
  Stop();
  RemoveTree(dir);
}

bool TestPostgres::Start() {
  // Quick to start and stop, and no flush to disk: the tests kill servers,
  // never this machine.
  pid = Spawn({std::string(VARKEL_PG_BINDIR) + "/postgres", "-D", dir + "data", "-p",
               std::to_string(port), "-c", "listen_addresses=127.0.0.1", "-c",
               "unix_socket_directories=", "-c", "fsync=off", "-c", "full_page_writes=off", "-c",
               "max_connections=200"},
              dir + "postgres.log");
  std::string uri = Uri(port, "postgres");
  auto answering = [&uri] { return PQping(uri.c_str()) == PQPING_OK; };
  Awaited awaited = AwaitReady(pid, answering, 30000);
  if (awaited == Awaited::kEnded) pid = -1;
  return awaited == Awaited::kReady;
}

void TestPostgres::Stop() {
  if (pid <= 0) return;
  StopProcess(pid, SIGINT, 60000);
  pid = -1;
}

std::string TestPostgres::NewDatabase() {
  std::string name = "t" + std::to_string(++databases);
  PostgresValue(Uri(port, "postgres"), "CREATE DATABASE " + name);
  return Uri(port, name);
}

std::string TestPostgres::Log() const {
  return ReadFileText(dir + "postgres.log");
}

TestStandby::TestStandby(const TestPostgres &primary) : dir(MakeTempDir()), port(0), pid(-1) {
  if (getuid() == 0) {
    EXPECT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
  }
  pid_t backup = Spawn({std::string(VARKEL_PG_BINDIR) + "/pg_basebackup", "-h", "127.0.0.1", "-p",
                        std::to_string(primary.port), "-U", "varkel", "-D", dir + "data", "-R",
                        "--checkpoint=fast", "--no-sync"},
                       dir + "postgres.log");
  int status = -1;
  waitpid(backup, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Log();
  port = FreePort();
  pid = Spawn({std::string(VARKEL_PG_BINDIR) + "/postgres", "-D", dir + "data", "-p",
               std::to_string(port), "-c", "listen_addresses=127.0.0.1", "-c",
               "unix_socket_directories=", "-c", "fsync=off", "-c", "max_connections=200"},
              dir + "postgres.log");
  std::string uri = Uri(port, "postgres");
  auto answering = [&uri] { return PQping(uri.c_str()) == PQPING_OK; };
  EXPECT_EQ(AwaitReady(pid, answering, 30000), Awaited::kReady) << Log();
  std::string primary_uri = Uri(primary.port, "postgres");
  PostgresValue(primary_uri, "ALTER SYSTEM SET synchronous_standby_names = '*'");
  PostgresValue(primary_uri, "SELECT pg_reload_conf()");
  // Commits wait for the standby only once the primary counts it as such.
  std::string state;
  for (int waited = 0; waited < 30000 && state != "sync"; waited += 50) {
    state = PostgresValue(primary_uri, "SELECT sync_state FROM pg_stat_replication");
    if (state != "sync") usleep(50000);
  }
  EXPECT_EQ(state, "sync") << Log();
}

TestStandby::~TestStandby() {
  if (pid > 0) StopProcess(pid, SIGINT, 60000);
  RemoveTree(dir);
}

std::string TestStandby::Log() const {
  return ReadFileText(dir + "postgres.log");
}

static TestPostgres *shared_postgres = NULL;

static void StopSharedPostgres() {
  delete shared_postgres;
  shared_postgres = NULL;
}

TestPostgres *SharedPostgres() {
  if (shared_postgres == NULL) {
    shared_postgres = new TestPostgres();
    atexit(StopSharedPostgres);
  }
  return shared_postgres;
}

std::string PostgresValue(const std::string &uri, const std::string &sql) {
  PGconn *conn = PQconnectdb(uri.c_str());
  EXPECT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
  PGresult *result = PQexec(conn, sql.c_str());
  ExecStatusType status = PQresultStatus(result);
  EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
      << sql << ": " << PQerrorMessage(conn);
  std::string value;
  if (status == PGRES_TUPLES_OK && PQntuples(result) > 0) value = PQgetvalue(result, 0, 0);
  PQclear(result);
  PQfinish(conn);
  return value;
}

TestRelay::TestRelay(int target_port, double delay_ms) : port(0), pid(-1) {
  std::string dir = MakeTempDir();
  Launch launch;
  launch.argv = {VARKEL_RELAY_BINARY, std::to_string(target_port), std::to_string(delay_ms)};
  launch.out_fd = open((dir + "port").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  pid = StartProcess(launch);
  close(launch.out_fd);
  auto told = [&] { return ReadFileText(dir + "port").find('\n') != std::string::npos; };
  if (AwaitReady(pid, told, 10000) == Awaited::kReady)
    port = atoi(ReadFileText(dir + "port").c_str());
  RemoveTree(dir);
  EXPECT_GT(port, 0) << "varkel_delay_relay did not start";
}

TestRelay::~TestRelay() {
  if (pid > 0) StopProcess(pid, SIGTERM, 10000);
}

std::string TestRelay::UriTo(const std::string &uri) const {
  size_t colon = uri.rfind(':');
  size_t slash = uri.find('/', colon);
  return uri.substr(0, colon + 1) + std::to_string(port) + uri.substr(slash);
}

static pid_t ParentOf(pid_t pid) {
  FILE *stat = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (stat == NULL) return -1;
  char text[512] = "";
  size_t got = fread(text, 1, sizeof(text) - 1, stat);
  fclose(stat);
  text[got] = '\0';
  // The name in parentheses may hold blanks: the fields after its end.
  const char *end = strrchr(text, ')');
  int parent = -1;
  if (end == NULL || sscanf(end + 1, " %*c %d", &parent) != 1) return -1;
  return parent;
}

void SignalPostgres(pid_t postmaster, int signal_number) {
  std::vector<pid_t> children;
  DIR *proc = opendir("/proc");
  ASSERT_NE(proc, nullptr);
  while (struct dirent *entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid > 0 && ParentOf(pid) == postmaster) children.push_back(pid);
  }
  closedir(proc);
  EXPECT_FALSE(children.empty());
  kill(postmaster, signal_number);
  for (pid_t child : children)
    kill(child, signal_number);
}
