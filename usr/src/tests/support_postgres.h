// SPDX-License-Identifier: MIT
// A PostgreSQL server of the tests' own: a new cluster in a temporary
// folder, run by an unprivileged user when the tests run as root, on a free
// loopback port, stopped by its pid.
#ifndef VARKEL_SUPPORT_POSTGRES_H
#define VARKEL_SUPPORT_POSTGRES_H

#include <sys/types.h>

#include <string>

class TestPostgres {
public:
  TestPostgres(); // makes the cluster and starts it
  ~TestPostgres();
  // Starts it again on the same folder and port; true once it answers.
  bool Start();
  // A fast shutdown, waited for.
  void Stop();
  // A fresh database of its own for one test; its URI.
  std::string NewDatabase();
  std::string Log() const;
  std::string dir; // ends in "/"
  int port;
  pid_t pid;

private:
  int databases;
};

// The one that the tests of a program share, made at first use and stopped
// when the program ends.
TestPostgres *SharedPostgres();

// A synchronous standby of `primary`, from a base backup, started on a
// free port; the primary then waits for it at each commit.
class TestStandby {
public:
  explicit TestStandby(const TestPostgres &primary);
  ~TestStandby();
  std::string Log() const;
  std::string dir; // ends in "/"
  int port;
  pid_t pid;
};

// varkel_delay_relay in front of a port: a round trip through it takes
// delay_ms more. Stopped by its pid.
class TestRelay {
public:
  TestRelay(int target_port, double delay_ms);
  ~TestRelay();
  int port; // 0 when it did not start
  pid_t pid;
  std::string UriTo(const std::string &uri) const; // the same database, through the relay
};

// The postmaster and its children, to stop and continue them together.
void SignalPostgres(pid_t postmaster, int signal_number);

// Runs SQL through libpq; the first column of the first row, or "".
std::string PostgresValue(const std::string &uri, const std::string &sql);

#endif
