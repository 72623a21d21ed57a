// SPDX-License-Identifier: MIT
// varkel_server: the game server of Varkel. Serves until SIGINT or SIGTERM,
// then ends the conversations in progress and closes the database.
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "server.h"

// The signals arrive on a descriptor that the accepting loop watches; every
// thread started later inherits the blocked mask.
static int StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
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

int main(int argc, char **argv) {
  ServerConfig config = ServerConfigDefaults();
  config.db_path = DefaultDatabasePath(ProgramPath(argv[0]));
  int parsed = ParseServerOptions(argc, argv, &config, stdout, stderr);
  if (parsed != 0) return parsed == 2 ? 0 : 2;
  int stop_fd = StopSignals();
  if (stop_fd < 0) {
    perror("varkel_server: signalfd");
    return 1;
  }
  RaiseDescriptorLimit();
  Server *server = NULL;
  if (ServerStart(config, &server) != 0) return 1;
  fprintf(stderr, "varkel_server: database %s\n", config.db_path.c_str());
  int rc = ServerRun(server, stop_fd);
  ServerFree(server);
  close(stop_fd);
  fprintf(stderr, "varkel_server: stopped\n");
  return rc;
}
