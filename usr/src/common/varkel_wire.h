// SPDX-License-Identifier: MIT
// The Varkel wire: every word both sides say, and the one reader that cuts a
// TCP byte stream into NUL-terminated messages. Client, server and tests all
// include this header; nothing here touches a socket.
//
// Every conversation opens with the identification: the client sends the
// version, the query word, the name and the password, one message at a
// time, each answered by the server. What follows, by query word, is in
// kWireConversations below.
#ifndef VARKEL_WIRE_H
#define VARKEL_WIRE_H

#include <stddef.h>

#define WIRE_VERSION 20250817
#define WIRE_TEXT_OF(number) #number
#define WIRE_TEXT(number) WIRE_TEXT_OF(number)
#define WIRE_VERSION_TEXT WIRE_TEXT(WIRE_VERSION)

// The identification's messages, each answered.
#define WIRE_IDENTIFICATION_MESSAGES 4

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

// What the client sends once its password is answered.
enum WireClientSays {
  WIRE_SAYS_NOTHING,
  WIRE_SAYS_NAME,   // the name again
  WIRE_SAYS_SPEECH, // "name : sentence"
};

// A conversation after the identification: the client's message, if any,
// then the server's replies, each answered "OK" when acknowledged. On the
// plain port the server hangs up after the last, and each side waits for
// the other's message before it sends its next one.
//
// Over TLS a connection may carry conversation after conversation, each
// framed exactly as on the plain port, one after the other:
// - The client offers the protocol "varkel-kept" (ALPN, TLS_KEPT_PROTOCOL)
//   in its handshake; a server that picks it keeps the connection once a
//   conversation is over. Either side without it, and the connection is
//   one conversation's, as on the plain port.
// - The client sends the four identification messages and its own message
//   together, then reads the replies; the server answers each as it comes.
//   On a kept connection the server sends a conversation's replies together
//   and the client acknowledges them together after the last; otherwise
//   each is acknowledged before the next comes.
// - A conversation is over after the last reply, or the last
//   acknowledgement. The next one starts with the version again. A
//   refusal ("Bad version", "Bad login", "Dead", "Bad password", "Bad
//   query") ends the connection as well: what the client sent after it is
//   never read.
// - A connection kept unused is closed by the server after its idle limit,
//   or first of all when room is needed; the client finds it closed before
//   it sends and opens another one. A connection that breaks once the
//   client has sent its action fails the action, which is never sent again.
struct WireConversation {
  const char *word;
  int creates; // the identification creates the character
  enum WireClientSays client_says;
  int replies;
  int acknowledged;
};

enum WireQuery {
  WIRE_SUBSCRIBE,
  WIRE_CONNECT,
  WIRE_UNSUBSCRIBE,
  WIRE_SLEEP,
  WIRE_SPEAK,
  WIRE_LISTEN,
  WIRE_STATUS,
  WIRE_DRINK,
  WIRE_EAT,
  WIRE_MOVE,
  WIRE_QUERY_COUNT
};

// In WireQuery's order. A waking or a creation ends with the password's reply; an
// end of life is one verdict ("Dead" or anything else); a status is
// hunger, thirst and sleep.
inline constexpr WireConversation kWireConversations[WIRE_QUERY_COUNT] = {
    {WIRE_QUERY_SUBSCRIBE, 1, WIRE_SAYS_NOTHING, 0, 0},
    {WIRE_QUERY_CONNECT, 0, WIRE_SAYS_NOTHING, 0, 0},
    {WIRE_QUERY_UNSUBSCRIBE, 0, WIRE_SAYS_NOTHING, 1, 0},
    {WIRE_QUERY_SLEEP, 0, WIRE_SAYS_NAME, 1, 0},
    {WIRE_QUERY_SPEAK, 0, WIRE_SAYS_SPEECH, 1, 0},
    {WIRE_QUERY_LISTEN, 0, WIRE_SAYS_NOTHING, WIRE_LISTEN_LINES, 1},
    {WIRE_QUERY_STATUS, 0, WIRE_SAYS_NAME, 3, 1},
    {WIRE_QUERY_DRINK, 0, WIRE_SAYS_NAME, 1, 0},
    {WIRE_QUERY_EAT, 0, WIRE_SAYS_NAME, 1, 0},
    {WIRE_QUERY_MOVE, 0, WIRE_SAYS_NAME, 1, 0},
};

// The conversation of a query word; NULL for a word the protocol lacks.
const WireConversation *WireFindConversation(const char *word);

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
