// SPDX-License-Identifier: MIT
#include "varkel_wire.h"

#include <string.h>

const WireConversation *WireFindConversation(const char *word) {
  for (const WireConversation &conversation : kWireConversations)
    if (strcmp(conversation.word, word) == 0) return &conversation;
  return NULL;
}

void WireReset(WireReader *reader) {
  reader->count = 0;
  reader->skipping = 0;
  reader->cut = 0;
}

char *WireSpace(WireReader *reader, size_t *room) {
  *room = sizeof(reader->pending) - reader->count;
  return reader->pending + reader->count;
}

void WireCommit(WireReader *reader, size_t count) {
  size_t room = sizeof(reader->pending) - reader->count;
  reader->count += count < room ? count : room;
}

static void WireDrop(WireReader *reader, size_t count) {
  memmove(reader->pending, reader->pending + count, reader->count - count);
  reader->count -= count;
}

static void WireCopyOut(const char *from, size_t length, char *out, size_t out_size, int *cut) {
  size_t kept = length < out_size - 1 ? length : out_size - 1;
  memcpy(out, from, kept);
  out[kept] = '\0';
  *cut = kept < length;
}

int WireTakeMessage(WireReader *reader, char *out, size_t out_size) {
  if (reader->skipping) {
    const char *end = (const char *)memchr(reader->pending, '\0', reader->count);
    if (end == NULL) {
      reader->count = 0;
      return 1;
    }
    WireDrop(reader, (size_t)(end - reader->pending) + 1);
    reader->skipping = 0;
  }
  const char *end = (const char *)memchr(reader->pending, '\0', reader->count);
  if (end != NULL) {
    size_t length = (size_t)(end - reader->pending);
    WireCopyOut(reader->pending, length, out, out_size, &reader->cut);
    WireDrop(reader, length + 1);
    return 0;
  }
  if (reader->count < sizeof(reader->pending)) return 1;
  // A full buffer without a NUL: hand out what fits and skip the rest of
  // this message, up to and including its NUL, as it arrives.
  WireCopyOut(reader->pending, sizeof(reader->pending) - 1, out, out_size, &reader->cut);
  reader->cut = 1;
  reader->count = 0;
  reader->skipping = 1;
  return 0;
}
