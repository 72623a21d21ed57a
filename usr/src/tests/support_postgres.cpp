// SPDX-License-Identifier: MIT
#include "support_postgres.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
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
