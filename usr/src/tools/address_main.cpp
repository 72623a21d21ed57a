// SPDX-License-Identifier: MIT
// varkel_address: the client's reader of server addresses and its
// connection, for the launcher, so that the shell keeps no grammar of its
// own.
//
//   varkel_address check ADDRESS    0, or 1 with the bad part on standard output
//   varkel_address answers ADDRESS  0 when a server opens a connection there
//                                   within 2 s, 3 when none does
//   varkel_address builtin          prints the built-in address; 3 when it is
//                                   this machine's and nothing answers there
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/varkel_address.h"

enum { kProbeMs = 2000, kSilent = 3, kMisused = 2 };

static int Answers(const ServerAddress *address) {
  int fd;
  const char *call;
  char problem[1024];
  if (ConnectServer(address, kProbeMs, &fd, &call, problem, sizeof(problem))) return kSilent;
  close(fd);
  return 0;
}

static int Read(const char *text, ServerAddress *address) {
  char problem[1024];
  if (ReadServerAddress(text, VARKEL_SERVER_PORT, address, problem, sizeof(problem)) == 0) return 0;
  printf("%s\n", problem);
  return 1;
}

int main(int argc, char **argv) {
  ServerAddress address = {};
  if (argc == 3 && strcmp(argv[1], "check") == 0) return Read(argv[2], &address);
  if (argc == 3 && strcmp(argv[1], "answers") == 0)
    return Read(argv[2], &address) ? 1 : Answers(&address);
  if (argc == 2 && strcmp(argv[1], "builtin") == 0) {
    snprintf(address.host, sizeof(address.host), "%s", VARKEL_SERVER_HOST);
    address.port = VARKEL_SERVER_PORT;
    char written[VARKEL_HOST_MAX + 16];
    WriteServerAddress(&address, written, sizeof(written));
    printf("%s\n", written);
    return IsLoopbackHost(address.host) ? Answers(&address) : 0;
  }
  fprintf(stderr, "Usage: varkel_address check|answers ADDRESS\n       varkel_address builtin\n");
  return kMisused;
}
