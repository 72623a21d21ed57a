// SPDX-License-Identifier: MIT
// Whole conversations with the server: its real conversation state machine,
// rules and store (SQLite in memory, a fresh one per input), one event loop
// driven by hand on this thread, and clients on socket pairs. Only the slow
// password hash is replaced by a fast one.
//
// The input is what the clients send. 0xFF starts a control (0xFF 0xFF is
// one 0xFF byte):
//   0xFF '0'..'3'  the next bytes come from that client (a new connection
//                  when it has none)
//   0xFF 'h'       the oldest waiting password check runs
//   0xFF 'c'       the client hangs up
//   0xFF 'w'       the client stops sending (shuts its write side)
//   0xFF 'd'       the client stops reading replies, or reads them again
//   0xFF 'f'       the server forgets the credentials it verified lately, as
//                  when other players push them out
//   0xFF 't' N     the game clock moves on N * 10 minutes
//   0xFF 'e'       the read limit passes for everyone
// The bytes between two controls go out in one write. At the end every
// check left runs, the server ends what is still open, and each client must
// find its connection closed and no name may stay reserved. Before that a
// newcomer must still be answered. Every reply must be a whole message.
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

// It runs the loop, the hashes and the store jobs itself, on one thread.
#include "server_internal.h"

namespace {

#define CLIENTS 4
#define NEWCOMER CLIENTS // the client that comes last, on a slot of its own
#define CONTROL 0xFF
// More rounds than this without settling is a server that spins.
#define SETTLE_ROUNDS 10000
// With no read limit every deadline has passed as soon as it is set; the
// loop looks at deadlines only on 'e', so that an input always ends the same.
#define READ_LIMIT_MS 0

struct Client {
  int fd;
  int deaf;
  WireReader replies;
  std::string last; // the last reply
};

struct Harness {
  Server *server;
  Loop *loop;
  Client clients[CLIENTS + 1];
  int current;
};

FILE *log_file; // where the server's log lines go: /dev/null unless asked

void Check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "fuzz_conversation: %s\n", what);
  abort();
}

// Not a password hash: fast, and right only for the same password.
int FastHash(const char *password, char *out) {
  unsigned char digest[16];
  crypto_generichash(digest, sizeof(digest), (const unsigned char *)password, strlen(password),
                     NULL, 0);
  memcpy(out, "fast$", 5);
  sodium_bin2hex(out + 5, crypto_pwhash_STRBYTES - 5, digest, sizeof(digest));
  return 0;
}

int FastVerify(const char *password_hash, const char *password) {
  char expected[crypto_pwhash_STRBYTES];
  FastHash(password, expected);
  return strcmp(expected, password_hash) == 0 ? 0 : 1;
}

// Two clients on 127.0.0.1, one on 127.0.0.2, one on ::1 (on a small
// socket buffer that a client which stops reading soon fills); the
// newcomer on 127.0.0.9.
struct sockaddr_storage PeerOf(int index) {
  struct sockaddr_storage peer;
  memset(&peer, 0, sizeof(peer));
  if (index == 3) {
    struct sockaddr_in6 *six = (struct sockaddr_in6 *)&peer;
    six->sin6_family = AF_INET6;
    six->sin6_addr = in6addr_loopback;
    six->sin6_port = htons(40000 + index);
    return peer;
  }
  struct sockaddr_in *four = (struct sockaddr_in *)&peer;
  four->sin_family = AF_INET;
  four->sin_addr.s_addr = htonl(index == NEWCOMER ? 0x7F000009
                                : index == 2      ? 0x7F000002
                                                  : 0x7F000001);
  four->sin_port = htons(40000 + index);
  return peer;
}

void Connect(Harness *h, int index) {
  int pair[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0,
        "socketpair failed");
  Client *client = &h->clients[index];
  client->fd = pair[0];
  client->deaf = 0;
  WireReset(&client->replies);
  client->last.clear();
  if (index == 3) {
    int size = 4096;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  }
  struct sockaddr_storage peer = PeerOf(index);
  ConversationStart(h->loop, pair[1], &peer, 0);
}

void HangUp(Client *client) {
  if (client->fd >= 0) close(client->fd);
  client->fd = -1;
}

// Reads what the server said; 1 when anything came.
int ReadReplies(Client *client) {
  if (client->fd < 0 || client->deaf) return 0;
  int any = 0;
  for (;;) {
    size_t room;
    char *space = WireSpace(&client->replies, &room);
    ssize_t got = recv(client->fd, space, room, 0);
    if (got <= 0) return any;
    any = 1;
    WireCommit(&client->replies, (size_t)got);
    char reply[WIRE_MESSAGE_MAX];
    while (WireTakeMessage(&client->replies, reply, sizeof(reply)) == 0) {
      Check(!client->replies.cut, "a reply longer than a message");
      client->last = reply;
    }
  }
}

// Runs the loop and the clients' reading until nothing moves.
void Settle(Harness *h) {
  for (int round = 0; round < SETTLE_ROUNDS; round++) {
    struct epoll_event events[16];
    int ready = epoll_wait(h->loop->epoll_fd, events, 16, 0);
    // Only conversations are registered here: no listener, no wake.
    for (int i = 0; i < ready; i++) {
      Handle *handle = (Handle *)events[i].data.ptr;
      Check(handle->kind == HANDLE_CONVERSATION, "an event of something not a conversation");
      ConversationEvent(handle->talk, events[i].events);
    }
    int moved = ready > 0;
    // Store jobs run here, as a store thread would run them.
    moved |= WorkRunReady(&h->server->store_calls);
    moved |= WorkTakeDone(&h->loop->done);
    for (Client &client : h->clients)
      moved |= ReadReplies(&client);
    if (!moved) return;
  }
  Check(false, "the loop never settles");
}

// One check as a hashing thread would run it; 0 when none waits.
int RunOneHash(Server *server) {
  return WorkRunReady(&server->hashes);
}

std::string M(const char *text) {
  return std::string(text, strlen(text) + 1);
}

void Send(Harness *h, const std::string &bytes) {
  if (bytes.empty()) return;
  Client *client = &h->clients[h->current];
  if (client->fd < 0) Connect(h, h->current);
  ssize_t sent = send(client->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)sent; // a full socket or a shut side loses the rest, as on a network
  Settle(h);
}

void Control(Harness *h, uint8_t code, uint8_t argument) {
  Client *client = &h->clients[h->current];
  if (code >= '0' && code < '0' + CLIENTS) {
    h->current = code - '0';
  } else if (code == 'h') {
    RunOneHash(h->server);
  } else if (code == 'c') {
    HangUp(client);
  } else if (code == 'w') {
    if (client->fd >= 0) shutdown(client->fd, SHUT_WR);
  } else if (code == 'd') {
    client->deaf = !client->deaf;
  } else if (code == 'f') {
    std::lock_guard<std::mutex> hold(h->server->credentials.lock);
    h->server->credentials.known.clear();
    h->server->credentials.order.clear();
  } else if (code == 't') {
    ServerMoveClock(h->server, argument * 600.0);
  } else if (code == 'e') {
    ConversationsExpire(h->loop);
  }
  Settle(h);
}

int Start(Harness *h) {
  ServerConfig config = ServerConfigDefaults();
  config.listen = {"127.0.0.1"};
  config.port = 0;
  config.db_path = ":memory:";
  config.threads = 1;
  config.read_timeout_ms = READ_LIMIT_MS;
  config.log = log_file;
  if (ServerStart(config, &h->server) != 0) return 1;
  h->server->credentials.hash = FastHash;
  h->server->credentials.verify = FastVerify;
  // The slow work runs on this thread, in Settle and RunOneHash.
  if (ServerStartWork(h->server, 0) != 0) return 1;
  Loop *loop = new Loop();
  loop->server = h->server;
  loop->oldest = loop->newest = NULL;
  loop->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  loop->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  loop->done.fd = loop->wake_fd;
  h->loop = loop;
  for (Client &client : h->clients)
    client.fd = -1;
  h->current = 0;
  return loop->epoll_fd >= 0 && loop->wake_fd >= 0 ? 0 : 1;
}

// Every check runs and every reply is read; then the server ends the rest
// and must have closed every connection.
void Finish(Harness *h) {
  for (Client &client : h->clients)
    client.deaf = 0;
  do {
    Settle(h);
  } while (RunOneHash(h->server));
  h->current = NEWCOMER;
  Send(h, M(WIRE_VERSION_TEXT));
  Check(h->clients[NEWCOMER].last == WIRE_OK, "a newcomer is not answered");
  ConversationsEndAll(h->loop, "input done");
  Check(h->server->open_conversations == 0, "conversations left open");
  {
    std::lock_guard<std::mutex> hold(h->server->reserved_lock);
    Check(h->server->reserved.empty(), "a name stays reserved with no one creating it");
  }
  for (Client &client : h->clients) {
    if (client.fd < 0) continue;
    char byte[256];
    ssize_t got;
    while ((got = recv(client.fd, byte, sizeof(byte), 0)) > 0) {
    }
    Check(got == 0, "a connection the server no longer serves is still open");
    HangUp(&client);
  }
  close(h->loop->epoll_fd);
  close(h->loop->wake_fd);
  delete h->loop;
  ServerFree(h->server);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  log_file = getenv("VARKEL_FUZZ_LOG") != NULL ? stderr : fopen("/dev/null", "w");
  Check(log_file != NULL, "cannot open /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Harness h;
  Check(Start(&h) == 0, "the server did not start");
  std::string bytes;
  for (size_t i = 0; i < size; i++) {
    if (data[i] != CONTROL) {
      bytes += (char)data[i];
      continue;
    }
    if (i + 1 < size && data[i + 1] == CONTROL) {
      bytes += (char)CONTROL;
      i++;
      continue;
    }
    Send(&h, bytes);
    bytes.clear();
    uint8_t code = i + 1 < size ? data[i + 1] : 0;
    uint8_t argument = i + 2 < size ? data[i + 2] : 0;
    i += code == 't' ? 2 : 1;
    Control(&h, code, argument);
  }
  Send(&h, bytes);
  Finish(&h);
  return 0;
}
