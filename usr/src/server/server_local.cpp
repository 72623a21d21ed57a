// SPDX-License-Identifier: MIT
// A Unix socket: a server of one player's own that no other account
// reaches, which no guard then counts against its player.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "server_internal.h"

// The lock beside the socket; 1 when another server holds it, named.
static int TakeLock(Server *server, const std::string &path) {
  std::string lock_path = path + ".lock";
  int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    fprintf(server->config.log, "varkel_server: open: %s: %s\n", lock_path.c_str(),
            strerror(errno));
    return 1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = "";
    ssize_t got = pread(fd, pid, sizeof(pid) - 1, 0);
    pid[got > 0 ? got : 0] = '\0';
    pid[strcspn(pid, "\n")] = '\0';
    fprintf(server->config.log, "varkel_server: %s: another server (pid %s) listens there\n",
            path.c_str(), pid[0] != '\0' ? pid : "?");
    close(fd);
    return 1;
  }
  // The pid for the player: the lock, not this text, says whether it runs.
  char pid[32];
  int length = snprintf(pid, sizeof(pid), "%ld\n", (long)getpid());
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, (size_t)length, 0) != length) {
    fprintf(server->config.log, "varkel_server: write: %s: %s\n", lock_path.c_str(),
            strerror(errno));
    close(fd);
    return 1;
  }
  server->local_lock_fd = fd;
  return 0;
}

// A socket file left by a server that died goes; any other file stays.
static int ClearPath(Server *server, const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : 1;
  if (S_ISSOCK(st.st_mode) && unlink(path.c_str()) == 0) return 0;
  fprintf(server->config.log, "varkel_server: %s: already there and not a socket to replace\n",
          path.c_str());
  return 1;
}

int ListenLocal(Server *server) {
  const std::string &path = server->config.unix_path;
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    fprintf(server->config.log, "varkel_server: %s: longer than a socket's path (%zu)\n",
            path.c_str(), sizeof(address.sun_path) - 1);
    return 1;
  }
  snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
  if (TakeLock(server, path) != 0 || ClearPath(server, path) != 0) return 1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // Only the owner may connect; made so before anyone can.
  if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof(address)) != 0 ||
      chmod(path.c_str(), 0600) != 0 || listen(fd, SOMAXCONN) != 0) {
    fprintf(server->config.log, "varkel_server: unix:%s: %s\n", path.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return 1;
  }
  server->listeners.push_back(fd);
  fprintf(server->config.log, "varkel_server: listening on unix:%s\n", path.c_str());
  return 0;
}

void CloseLocal(Server *server) {
  if (server->local_lock_fd < 0) return;
  // Still under the lock: never the file of a server started since, and
  // only a socket (a start refused by another file leaves that file be).
  struct stat st;
  if (lstat(server->config.unix_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
    unlink(server->config.unix_path.c_str());
  close(server->local_lock_fd);
  server->local_lock_fd = -1;
}
