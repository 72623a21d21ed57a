// SPDX-License-Identifier: MIT
// varkel_server: the game server of Varkel. Serves until SIGINT or SIGTERM,
// then ends the conversations in progress and closes the database. SIGHUP
// loads the TLS certificate and key again.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <thread>

#include "server.h"

// The signals arrive on descriptors that the main thread watches; every
// thread started later inherits the blocked mask. TLS writes through
// OpenSSL cannot ask for MSG_NOSIGNAL: SIGPIPE is ignored.
static int SignalDescriptor(int first, int second) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, first);
  if (second != 0) sigaddset(&signals, second);
  if (pthread_sigmask(SIG_BLOCK, &signals, NULL) != 0) return -1;
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &signals, SFD_CLOEXEC);
}

// Each conversation holds a descriptor: allow as many as the system lets.
static void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// --check: everything a start reads, read, and nothing served.
static int Check(const ServerConfig &config) {
  Server *server = NULL;
  int rc = ServerStart(config, &server);
  ServerFree(server);
  if (rc != 0) {
    fprintf(stderr, "varkel_server: check: the server would not start (the lines above say why)\n");
    return 1;
  }
  fprintf(stderr,
          "varkel_server: check: the options, the database %s%s are in order (the ports "
          "were not tried)\n",
          config.db_path.c_str(), config.tls_port >= 0 ? " and the TLS pair" : "");
  return 0;
}

// --while-locked: once no one else holds the file, the lock is the
// server's until it has ended, so that a launcher waits for it to go
// before it starts the next one.
static int StopWhenUnlocked(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "varkel_server: open: %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  std::thread([fd] {
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    kill(getpid(), SIGTERM);
  }).detach();
  return 0;
}

int main(int argc, char **argv) {
  ServerConfig config = ServerConfigDefaults();
  config.db_path = DefaultDatabasePath(ProgramPath(argv[0]));
  int parsed = ParseServerOptions(argc, argv, &config, stdout, stderr);
  if (parsed != 0) return parsed == 2 ? 0 : 2;
  config.tls_own_folder = StateFolder(config, ProgramPath(argv[0]));
  if (config.check_only) return Check(config);
  int stop_fd = SignalDescriptor(SIGINT, SIGTERM);
  config.reload_fd = SignalDescriptor(SIGHUP, 0);
  if (stop_fd < 0 || config.reload_fd < 0) {
    perror("varkel_server: signalfd");
    return 1;
  }
  RaiseDescriptorLimit();
  Server *server = NULL;
  if (ServerStart(config, &server) != 0) return 1;
  if (!config.while_locked.empty() && StopWhenUnlocked(config.while_locked) != 0) {
    ServerFree(server);
    return 1;
  }
  fprintf(stderr, "varkel_server: database %s\n", config.db_path.c_str());
  int rc = ServerRun(server, stop_fd);
  ServerFree(server);
  close(stop_fd);
  close(config.reload_fd);
  fprintf(stderr, "varkel_server: stopped\n");
  return rc;
}
