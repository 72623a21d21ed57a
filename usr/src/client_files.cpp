// SPDX-License-Identifier: MIT
// The client's own files: the log and the data files of path_texts. Data
// files sit in a folder others may write to (/tmp in the system layout), so
// what is found there under a data file's name is not trusted.
#include "client_functions.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Only a regular file of the player's own: not a FIFO that would hang the
// client, nor a file another user planted for the client to write into.
static int OwnRegularFile(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return 0;
  if (S_ISREG(status.st_mode) && status.st_uid == geteuid()) return 1;
  errno = EPERM;
  return 0;
}

static int SetBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1;
}

int OpenOwnFile(const char *path, FileUse use, FILE **stream) {
  *stream = NULL;
  int access = use == kFileRead ? O_RDONLY : O_RDWR | O_CREAT;
  // Non-blocking until the file is known to be regular; emptied only then.
  int fd = open(path, access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return 1;
  if (OwnRegularFile(fd) && SetBlocking(fd) == 0 && (use == kFileRead || ftruncate(fd, 0) == 0))
    *stream = fdopen(fd, use == kFileRead ? "r" : "w+");
  if (*stream != NULL) return 0;
  int error = errno;
  close(fd);
  errno = error;
  return 1;
}

int OpenDataFile(Game *jeu, const char *name, FileUse use, char *path, size_t path_size,
                 FILE **stream) {
  snprintf(path, path_size, "%s%s", jeu->path_texts, name);
  if (OpenOwnFile(path, use, stream) == 0) return 0;
  fprintf(jeu->file_log, "fopen: unable to open %s.\n", path);
  char refusal[64];
  snprintf(refusal, sizeof(refusal), "Impossible d'ouvrir %s!", name);
  ShowStateMessage(jeu, refusal);
  return 1;
}
