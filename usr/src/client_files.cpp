// SPDX-License-Identifier: MIT
// The client's own files: the log and the data files of path_texts. Data
// files sit in a folder others may write to (/tmp in the system layout), so
// what is found there under a data file's name is not trusted.
#include "client_functions.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

// The length of the well-formed UTF-8 character that text starts with; 0
// when it starts with none.
static size_t CharacterLength(const unsigned char *text) {
  unsigned char lead = text[0];
  size_t length = lead < 0x80                    ? 1
                  : lead >= 0xC2 && lead <= 0xDF ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  for (size_t n = 1; n < length; n++)
    if ((text[n] & 0xC0) != 0x80) return 0;
  // Overlong forms, UTF-16 halves and code points past U+10FFFF.
  if (length == 3 && ((lead == 0xE0 && text[1] < 0xA0) || (lead == 0xED && text[1] >= 0xA0)))
    return 0;
  if (length == 4 && ((lead == 0xF0 && text[1] < 0x90) || (lead == 0xF4 && text[1] >= 0x90)))
    return 0;
  return length;
}

// A byte or a control character would act on the terminal that shows the
// log: written as \xNN, and the backslash doubled, so that nothing reads
// the same as an escape.
static int Escaped(const unsigned char *text, size_t length) {
  if (length == 0) return 1;
  if (length == 2) return text[0] == 0xC2 && text[1] < 0xA0; // C1 controls
  return length == 1 && (text[0] < 0x20 || text[0] == 0x7F);
}

int LogText(FILE *file_log, const char *format, const char *text) {
  std::string shown;
  const unsigned char *at = (const unsigned char *)text;
  while (*at != '\0') {
    size_t length = CharacterLength(at);
    if (!Escaped(at, length)) {
      shown.append(*at == '\\' ? "\\\\" : std::string((const char *)at, length));
      at += length;
      continue;
    }
    for (size_t n = 0; n < (length > 0 ? length : 1); n++) {
      char byte[8];
      snprintf(byte, sizeof(byte), "\\x%02X", at[n]);
      shown.append(byte);
    }
    at += length > 0 ? length : 1;
  }
  fprintf(file_log, format, shown.c_str());
  return 0;
}
