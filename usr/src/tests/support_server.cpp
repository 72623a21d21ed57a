// SPDX-License-Identifier: MIT
#include "support_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"
// The fixture reads the ports the server bound.
#include "server_internal.h"

TestServer::TestServer(int read_timeout_ms, const std::string &in_dir,
                       const std::function<void(ServerConfig *)> &adjust, const std::string &in_db)
    : dir(in_dir.empty() ? MakeTempDir() : in_dir), port(0), tls_port(-1), server(NULL),
      owns_dir(in_dir.empty()), stop_pipe{-1, -1}, log(NULL) {
  signal(SIGPIPE, SIG_IGN);
  db = in_db.empty() ? dir + "varkel.db" : in_db;
  log = fopen((dir + "server.log").c_str(), "a");
  EXPECT_NE(log, nullptr);
  setvbuf(log, NULL, _IOLBF, 0);
  ServerConfig config = ServerConfigDefaults();
  config.listen = {"127.0.0.1"};
  config.port = 0;
  config.db_path = db;
  config.read_timeout_ms = read_timeout_ms;
  config.log = log;
  // The tests make characters by the hundred from one address; those of
  // the bound on creations set it themselves.
  config.creations_per_hour = config.prefix_creations_per_hour = 1000000;
  if (adjust) adjust(&config);
  EXPECT_EQ(pipe(stop_pipe), 0);
  EXPECT_EQ(ServerStart(config, &server), 0) << Log();
  if (server == NULL) return;
  port = server->port;
  tls_port = server->tls_port;
  thread = std::thread([this] { ServerRun(server, stop_pipe[0]); });
}

void TestServer::Stop() {
  if (server == NULL) return;
  EXPECT_EQ(write(stop_pipe[1], "x", 1), 1);
  thread.join();
  ServerFree(server);
  server = NULL;
}

TestServer::~TestServer() {
  Stop();
  close(stop_pipe[0]);
  close(stop_pipe[1]);
  if (log != NULL) fclose(log);
  if (owns_dir) RemoveTree(dir);
}

std::string TestServer::Log() const {
  return ReadFileText(dir + "server.log");
}

// ---- The binary ----------------------------------------------------------------

static int PortFromLog(const std::string &log) {
  const char marker[] = "listening on 127.0.0.1 port ";
  size_t at = log.find(marker);
  if (at == std::string::npos || log.find('\n', at) == std::string::npos) return 0;
  return atoi(log.c_str() + at + strlen(marker));
}

ServerProcess::ServerProcess(const std::string &db, const std::vector<std::string> &options,
                             const std::string &log, const std::string &binary)
    : pid(-1), port(0), log_path(log.empty() ? db + ".log" : log) {
  // As in TestServer, creations are not bounded unless the test says so.
  std::vector<std::string> argv = {binary,      "--port",
                                   "0",         "--listen",
                                   "127.0.0.1", "--db",
                                   db,          "--creations-per-hour",
                                   "1000000",   "--prefix-creations-per-hour",
                                   "1000000"};
  argv.insert(argv.end(), options.begin(), options.end());
  unlink(log_path.c_str()); // a restart must not read its predecessor's port
  Launch launch;
  launch.argv = argv;
  launch.out_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid = StartProcess(launch);
  close(launch.out_fd);
  // Ready once it says where it listens (or gone).
  auto listening = [this] { return (port = PortFromLog(Log())) != 0; };
  if (pid > 0 && AwaitReady(pid, listening, 10000) == Awaited::kEnded) pid = -1;
}

ServerProcess::~ServerProcess() {
  if (pid > 0) Stop(SIGKILL);
}

int ServerProcess::Stop(int signal_number) {
  if (pid <= 0) return -1;
  int status = StopProcess(pid, signal_number, 60000);
  pid = -1;
  return status;
}

std::string ServerProcess::Log() const {
  return ReadFileText(log_path);
}

// ---- The wire client -----------------------------------------------------------

Dialog::Dialog(int port, const char *from) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  WireReset(&reader);
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  EXPECT_EQ(inet_pton(AF_INET, from, &address.sin_addr), 1) << from;
  EXPECT_EQ(bind(fd, (struct sockaddr *)&address, sizeof(address)), 0) << strerror(errno);
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, (struct sockaddr *)&address, sizeof(address)), 0) << strerror(errno);
}

Dialog::~Dialog() {
  Close();
}

void Dialog::Close() {
  if (fd >= 0) close(fd);
  fd = -1;
}

void Dialog::Reset() {
  struct linger abort = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  Close();
}

bool Dialog::SendBytes(const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t done = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (done <= 0) return false;
    sent += (size_t)done;
  }
  return true;
}

bool Dialog::Send(const std::string &text) {
  return SendBytes(text + std::string(1, '\0'));
}

std::string Dialog::Hear(int timeout_ms) {
  char message[WIRE_MESSAGE_MAX];
  while (WireTakeMessage(&reader, message, sizeof(message)) != 0) {
    struct pollfd watched = {fd, POLLIN, 0};
    if (poll(&watched, 1, timeout_ms) <= 0) return HEARD_SILENCE;
    size_t room;
    char *space = WireSpace(&reader, &room);
    ssize_t got = recv(fd, space, room, 0);
    if (got <= 0) return HEARD_HUNG_UP;
    WireCommit(&reader, (size_t)got);
  }
  return message;
}

bool Identify(Dialog *dialog, const std::string &query, const std::string &name,
              const std::string &password) {
  for (const std::string &text : {std::string(WIRE_VERSION_TEXT), query, name, password}) {
    if (dialog->Say(text) != WIRE_OK) return false;
  }
  return true;
}

bool CreateCharacter(int port, const std::string &name, const std::string &password) {
  Dialog dialog(port);
  return Identify(&dialog, WIRE_QUERY_SUBSCRIBE, name, password) && dialog.Ended();
}

std::string Wake(int port, const std::string &name, const std::string &password, const char *from) {
  Dialog dialog(port, from);
  std::string reply;
  for (const std::string &text :
       {std::string(WIRE_VERSION_TEXT), std::string(WIRE_QUERY_CONNECT), name, password}) {
    reply = dialog.Say(text);
    if (reply != WIRE_OK) break;
  }
  return reply;
}

std::vector<std::string> Listen(int port, const std::string &name, const std::string &password) {
  Dialog dialog(port);
  std::vector<std::string> lines;
  if (!Identify(&dialog, WIRE_QUERY_LISTEN, name, password)) return lines;
  std::string line = dialog.Hear();
  for (int i = 0; i < kWireConversations[WIRE_LISTEN].replies && line != HEARD_HUNG_UP &&
                  line != HEARD_SILENCE;
       i++) {
    lines.push_back(line);
    line = dialog.Say(WIRE_OK);
  }
  EXPECT_EQ(line, HEARD_HUNG_UP);
  return lines;
}

std::vector<std::string> Status(int port, const std::string &name, const std::string &password) {
  Dialog dialog(port);
  std::vector<std::string> values;
  if (!Identify(&dialog, WIRE_QUERY_STATUS, name, password)) return values;
  std::string value = dialog.Say(name);
  for (int i = 0; i < kWireConversations[WIRE_STATUS].replies && value != HEARD_HUNG_UP &&
                  value != HEARD_SILENCE;
       i++) {
    values.push_back(value);
    value = dialog.Say(WIRE_OK);
  }
  EXPECT_EQ(value, HEARD_HUNG_UP);
  return values;
}

std::string NameAgain(int port, const std::string &query, const std::string &name,
                      const std::string &password) {
  Dialog dialog(port);
  if (!Identify(&dialog, query, name, password)) return "<refused>";
  std::string reply = dialog.Say(name);
  EXPECT_TRUE(dialog.Ended());
  return reply;
}

std::string Speak(int port, const std::string &name, const std::string &password,
                  const std::string &text) {
  Dialog dialog(port);
  if (!Identify(&dialog, WIRE_QUERY_SPEAK, name, password)) return "<refused>";
  std::string reply = dialog.Say(name + WIRE_SPEECH_SEPARATOR + text);
  EXPECT_TRUE(dialog.Ended());
  return reply;
}

void LastActs(int port) {
  ASSERT_TRUE(CreateCharacter(port, "ann", "pw"));
  ASSERT_TRUE(CreateCharacter(port, "bob", "pw"));
  Dialog end(port);
  ASSERT_TRUE(Identify(&end, WIRE_QUERY_UNSUBSCRIBE, "bob", "pw"));
  ASSERT_EQ(end.Hear(), WIRE_FAREWELL);
  ASSERT_EQ(Speak(port, "ann", "pw", "derniers mots"), WIRE_OK);
}

SwallowingListener::SwallowingListener()
    : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), port(0) {
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  EXPECT_EQ(bind(fd, (struct sockaddr *)&address, length), 0);
  EXPECT_EQ(listen(fd, 0), 0);
  EXPECT_EQ(getsockname(fd, (struct sockaddr *)&address, &length), 0);
  port = ntohs(address.sin_port);
  // Connections until one is left waiting, at most eight.
  for (int n = 0; n < 8; n++) {
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    queued.push_back(client);
    connect(client, (struct sockaddr *)&address, sizeof(address));
    struct pollfd watched = {client, POLLOUT, 0};
    if (poll(&watched, 1, 300) == 0) return;
  }
  ADD_FAILURE() << "the listen queue never filled";
}

void SwallowingListener::Close() {
  for (int client : queued)
    close(client);
  queued.clear();
  close(fd);
}
