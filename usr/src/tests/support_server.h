// SPDX-License-Identifier: MIT
// Fixtures for the server's tests: the server in-process on a free loopback
// port, the real binary as a subprocess, and a raw wire client.
#ifndef VARKEL_SUPPORT_SERVER_H
#define VARKEL_SUPPORT_SERVER_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "server.h"

// What Dialog::Hear returns instead of a message.
#define HEARD_HUNG_UP "<hung up>"
#define HEARD_SILENCE "<silence>"

// The server on its own threads, its database and log in a fresh folder
// (or in `dir`, to start again on the same database), or on the database
// `db` names.
class TestServer {
public:
  explicit TestServer(int read_timeout_ms = SERVER_READ_TIMEOUT_MS, const std::string &dir = "",
                      const std::function<void(ServerConfig *)> &adjust = nullptr,
                      const std::string &db = "");
  ~TestServer();
  void Stop(); // as SIGTERM would; the destructor does it too
  void MoveClock(double seconds) { ServerMoveClock(server, seconds); }
  std::string Log() const;
  std::string dir; // ends in "/"
  std::string db;
  int port;
  int tls_port; // -1: none
  Server *server;

private:
  bool owns_dir;
  int stop_pipe[2];
  FILE *log;
  std::thread thread;
};

// varkel_server itself (or the binary given), started with --port 0 and
// --db; its standard error goes to log_path, by default a file beside the
// database.
class ServerProcess {
public:
  ServerProcess(const std::string &db, const std::vector<std::string> &options = {},
                const std::string &log_path = "", const std::string &binary = VARKEL_SERVER_BINARY);
  ~ServerProcess();
  // Sends the signal and waits; the exit status, or -1 after a signal.
  int Stop(int signal_number);
  std::string Log() const;
  pid_t pid;
  int port;
  std::string log_path;
};

// One connection speaking the wire: texts go out with their NUL, replies
// come back one message at a time.
class Dialog {
public:
  // From another loopback address (127.0.0.2, ...) to play another client.
  explicit Dialog(int port, const char *from = "127.0.0.1");
  ~Dialog();
  bool Send(const std::string &text);
  bool SendBytes(const std::string &bytes);
  // The next message, HEARD_HUNG_UP when the server closed the connection,
  // HEARD_SILENCE when nothing came in time.
  std::string Hear(int timeout_ms = 10000);
  std::string Say(const std::string &text) {
    Send(text);
    return Hear();
  }
  // True when the server closed the connection with nothing more to say.
  bool Ended() { return Hear() == HEARD_HUNG_UP; }
  void Close();
  void Reset(); // closes with a reset, as a client that vanished
  int fd;

private:
  WireReader reader;
};

// The four steps of the identification; true when all four were "OK".
bool Identify(Dialog *dialog, const std::string &query, const std::string &name,
              const std::string &password);
// A whole creation; true when it was accepted.
bool CreateCharacter(int port, const std::string &name, const std::string &password);
// A whole waking ("Connection") from `from`; the last reply heard.
std::string Wake(int port, const std::string &name, const std::string &password,
                 const char *from = "127.0.0.1");
// A whole listening: the 100 lines heard (fewer if it broke off).
std::vector<std::string> Listen(int port, const std::string &name, const std::string &password);
// A whole status query: hunger, thirst, sleep.
std::vector<std::string> Status(int port, const std::string &name, const std::string &password);
// A query whose exchange is the name again and one reply; returns it.
std::string NameAgain(int port, const std::string &query, const std::string &name,
                      const std::string &password);
// Says a sentence as name; returns the reply.
std::string Speak(int port, const std::string &name, const std::string &password,
                  const std::string &text);
// Changes a server killed right after them must keep: "ann" and "bob" born
// (password "pw"), bob's life ended, ann's last words said.
void LastActs(int port);

// A listener that never accepts, its queue filled: the next connection is
// swallowed, as by a server overwhelmed or a firewall that drops packets.
// Open until Close(), or until the process ends: a connection left behind
// waits there meanwhile, as it would on a silent server.
struct SwallowingListener {
  int fd;
  int port;
  std::vector<int> queued;
  SwallowingListener();
  void Close();
};

#endif
