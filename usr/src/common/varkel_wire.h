// SPDX-License-Identifier: MIT
// The Varkel wire: every word both sides say, and the one reader that cuts a
// TCP byte stream into NUL-terminated messages. Client, server and tests all
// include this header; nothing here touches a socket.
//
// Conversation layout (the client speaks first, one message at a time):
//   "20250817"  query word  name  password       identification
//   then, by query word:
//   "Subscribtion"      nothing more (the password's reply ends it)
//   "Connection"        nothing more
//   "Unsubscribtion"    server sends the verdict ("Dead" or anything else)
//   "Clear sleep"       client sends the name again, server replies once
//   "Send message"      client sends "name : sentence", server replies once
//   "Receive messages"  server sends 100 lines, each answered "OK"
//   "Receive status"    client sends the name, server sends hunger, thirst,
//                       sleep, each answered "OK"
//   "Clear thirst", "Clear hunger", "Move"
//                       client sends the name, server replies once
#ifndef VARKEL_WIRE_H
#define VARKEL_WIRE_H

#include <stddef.h>

#define WIRE_VERSION 20250817
#define WIRE_VERSION_TEXT "20250817"

// A message, its NUL included, never exceeds this.
#define WIRE_MESSAGE_MAX 1024

// Refusal words; any other reply is an acceptance.
#define WIRE_BAD_VERSION "Bad version"
#define WIRE_BAD_LOGIN "Bad login"
#define WIRE_DEAD "Dead"
#define WIRE_BAD_PASSWORD "Bad password"

#define WIRE_OK "OK"
// The server's verdict when a life ends (the client only tests for "Dead").
#define WIRE_FAREWELL "Adieu"
// The server's answer to a query word it does not know; it then hangs up.
#define WIRE_BAD_QUERY "Bad query"
#define WIRE_SPEECH_SEPARATOR " : "
#define WIRE_LISTEN_LINES 100

// Query words, spelt as the protocol has always spelt them.
#define WIRE_QUERY_SUBSCRIBE "Subscribtion"
#define WIRE_QUERY_CONNECT "Connection"
#define WIRE_QUERY_UNSUBSCRIBE "Unsubscribtion"
#define WIRE_QUERY_SLEEP "Clear sleep"
#define WIRE_QUERY_SPEAK "Send message"
#define WIRE_QUERY_LISTEN "Receive messages"
#define WIRE_QUERY_STATUS "Receive status"
#define WIRE_QUERY_DRINK "Clear thirst"
#define WIRE_QUERY_EAT "Clear hunger"
#define WIRE_QUERY_MOVE "Move"

// Bytes received but not yet handed out as messages. A message that fills
// the whole buffer without a NUL is cut: its first WIRE_MESSAGE_MAX - 1 bytes
// are handed out, `cut` is set, and the rest up to its NUL is dropped.
typedef struct WireReader {
  char pending[WIRE_MESSAGE_MAX];
  size_t count; // bytes held in pending
  int skipping; // dropping the tail of a cut message
  int cut;      // the last message taken was cut
} WireReader;

void WireReset(WireReader *reader);

// Where the next received bytes go, and how many fit (never 0 after a
// message has been taken).
char *WireSpace(WireReader *reader, size_t *room);

// Records that `count` bytes were received into WireSpace.
void WireCommit(WireReader *reader, size_t count);

// Takes the next message, terminated, into out (out_size >= 1; a longer
// message is cut to fit). Returns 0 when one was taken, 1 when more bytes
// are needed.
int WireTakeMessage(WireReader *reader, char *out, size_t out_size);

#endif
