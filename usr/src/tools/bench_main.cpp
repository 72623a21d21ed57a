// SPDX-License-Identifier: MIT
// varkel_bench: N simulated players run whole conversations against a
// running varkel_server for a while; prints conversations per second and
// the latency of one conversation (connect to the server's hang-up).
//
//   varkel_bench --host 127.0.0.1 --port 9999 --players 100 --seconds 10
//                [--query connection|status|listen|drink] [--rate R] [--threads 1]
//                [--prefix bench]
//                [--flood idle|guess|wake|create|storm|tls-hold|tls-hello|none]
//                [--flood-from ADDR] [--flood-addresses N] [--flood-as ADDR]
//                [--flood-connections N] [--flood-pause-ms MS] [--flood-names N]
//                [--server-pid PID] [--tls [--no-resumption] [--kept]]
//
// Each player has an account of its own (created when missing, password
// "bench"), identified once before the clock starts, as a player who has
// already signed in. Without --rate every player starts its next
// conversation as soon as one ends; with --rate the players together start
// R conversations per second on a fixed schedule, and a conversation's
// latency runs from its scheduled start, so that a server falling behind
// shows in the figures. Against a loopback server the players speak from
// 127.0.1.1, 127.0.1.2, ..., twenty to an address, as players on many
// machines would.
//
// With --flood an attacker speaks meanwhile from another address (default
// 127.0.0.2): "idle" holds connections open without a word (default 4100),
// "guess" guesses the first player's password on every connection (default
// 100), again as soon as it is answered, or with --flood-names N the
// passwords of N characters of its own (made beside the players' accounts,
// numbered after them) in turn; "wake" wakes the first player (or the
// first of --flood-names) with its right password on every connection
// (default 100), as a valid character flooding the server would; "create"
// creates a new character on every connection (default 100), "storm" opens
// connections and closes them at once (default 100); "tls-hold" sends half
// of a ClientHello and holds it (default 4100), "tls-hello" sends a whole
// ClientHello, the same bytes every time as a replay costs nothing, and
// hangs up as soon as the server answers (default 100), both with --tls
// only; "none" measures the same players without an attacker. With
// --flood-addresses N the connections are shared out over N
// addresses, --flood-from, the next one, ... With --flood-as the server is
// to take --flood-from for a balancer: each connection starts with a PROXY
// v2 header naming the N addresses from this one, each IPv4 address in a
// /24 of its own, each IPv6 one in a /64 of its own within one /56. A
// connection the server closes
// unanswered is opened again after --flood-pause-ms (default 1000). The
// players are then not identified beforehand: each one's first conversation
// pays the slow password check, and those first wake-ups are reported
// apart. --server-pid adds the server's processor time to the figures.
// Conversations still running when the time is up are waited for as long
// as the client waits for a reply; those not over by then are counted and
// printed as unfinished, so that a stalled server shows.
//
// With --tls every conversation runs over TLS (--port is then the server's
// TLS port), the server's certificate checked against VARKEL_CA_FILE when
// it is set, else the system's authorities; each player resumes its last
// session unless --no-resumption is given. With --kept as well each player
// keeps one TLS connection and plays conversation after conversation on it,
// as the client does: its messages sent without waiting for the replies,
// the acknowledgements together after the last reply; a conversation's
// latency then runs to its last message.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/varkel_options.h"
#include "common/varkel_tls.h"
#include "common/varkel_wire.h"

#define BENCH_PASSWORD "bench"

namespace {

typedef struct BenchConfig {
  std::string host;
  int port;
  int players;
  double seconds;
  double rate; // conversations per second for all players; 0: no pause
  std::string query;
  int threads;
  std::string prefix;
  // "", "idle", "guess", "wake", "create", "storm", "tls-hold", "tls-hello" or "none"
  std::string flood;
  std::string flood_from;
  int flood_addresses;
  std::string flood_as;  // "": no PROXY header
  int flood_connections; // 0: the default of the flood
  int flood_pause_ms;
  int flood_names; // 0: the flood guesses or wakes the first player
  int server_pid;
  int tls;         // --tls
  int resume;      // players resume their TLS sessions
  SSL_CTX *client; // with --tls: the context every connection is made from
  int kept;        // --kept: one TLS connection per player, kept
} BenchConfig;

#define PLAYERS_PER_ADDRESS 20
// As long as the client waits for a reply.
#define BENCH_DRAIN_MS 10000

// One step of a conversation: send a text, or receive one reply.
typedef struct Step {
  int send;
  std::string text;
} Step;

typedef struct Player {
  int fd;
  SSL *ssl;             // with --tls, the open connection's
  int handshaking;      // its handshake is not over
  SSL_SESSION *session; // the last one, resumed by the next conversation
  int index;
  int idle;          // --kept: between two conversations, the connection open
  int conversations; // ended, well or not
  size_t step;
  double started; // scheduled start of the conversation
  double due;     // start of the next one
  WireReader reader;
  std::vector<Step> script;
} Player;

typedef struct Tally {
  long resumed; // handshakes that resumed a session
  std::vector<double> latencies_ms;
  std::vector<double> first_ms; // the first conversation of each player
  long errors;
  long first_errors;
  long unfinished;       // still running when the time was up
  long first_unfinished; // of them, first wake-ups under a flood
} Tally;

} // namespace

static double NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

static int IsRefusal(const char *reply) {
  const char *const refusals[] = {WIRE_BAD_VERSION, WIRE_BAD_LOGIN, WIRE_DEAD, WIRE_BAD_PASSWORD,
                                  WIRE_BAD_QUERY};
  for (const char *word : refusals) {
    if (strcmp(reply, word) == 0) return 1;
  }
  return 0;
}

// In lock-step, or on a kept connection (`kept`) without waiting: the
// identification and the name at once, then every reply, then the
// acknowledgements together.
static std::vector<Step> Script(const std::string &query, const std::string &name, int kept) {
  std::vector<Step> steps;
  const char *const identification[] = {WIRE_VERSION_TEXT, query.c_str(), name.c_str(),
                                        BENCH_PASSWORD};
  for (const char *text : identification) {
    steps.push_back({1, text});
    if (!kept) steps.push_back({0, ""});
  }
  // The bench plays no speech: only the name is ever said again.
  const WireConversation *conversation = WireFindConversation(query.c_str());
  if (conversation->client_says == WIRE_SAYS_NAME) steps.push_back({1, name});
  for (int reply = 0; kept && reply < WIRE_IDENTIFICATION_MESSAGES; reply++)
    steps.push_back({0, ""});
  for (int reply = 0; reply < conversation->replies; reply++) {
    steps.push_back({0, ""});
    if (conversation->acknowledged && !kept) steps.push_back({1, WIRE_OK});
  }
  for (int reply = 0; kept && conversation->acknowledged && reply < conversation->replies; reply++)
    steps.push_back({1, WIRE_OK});
  return steps;
}

static int Resolve(const BenchConfig &config, struct sockaddr_storage *address, socklen_t *length) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *found = NULL;
  char port[16];
  snprintf(port, sizeof(port), "%d", config.port);
  if (getaddrinfo(config.host.c_str(), port, &hints, &found) != 0) return 1;
  memcpy(address, found->ai_addr, found->ai_addrlen);
  *length = found->ai_addrlen;
  freeaddrinfo(found);
  return 0;
}

// Binds a socket to a source address (none when AF_UNSPEC); the port is
// chosen at connect, so that one address can hold many connections.
static int BindFrom(int fd, const struct sockaddr_storage &from) {
  if (from.ss_family == AF_UNSPEC) return 0;
  int on = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof(on));
  socklen_t length =
      from.ss_family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
  return bind(fd, (const struct sockaddr *)&from, length) == 0 ? 0 : 1;
}

// Player i speaks from 127.0.1.(1 + i / 20) to a server on a loopback
// address; elsewhere from where the system chooses.
static struct sockaddr_storage PlayerSource(const struct sockaddr_storage &server, int index) {
  struct sockaddr_storage from;
  memset(&from, 0, sizeof(from));
  const struct sockaddr_in *v4 = (const struct sockaddr_in *)&server;
  if (server.ss_family != AF_INET || ntohl(v4->sin_addr.s_addr) >> 24 != 127) return from;
  from.ss_family = AF_INET;
  ((struct sockaddr_in *)&from)->sin_addr.s_addr =
      htonl(0x7F000101u + (unsigned)(index / PLAYERS_PER_ADDRESS));
  return from;
}

// Opens a non-blocking connection from `from`; -1 when it failed at once.
static int OpenFrom(const struct sockaddr_storage &address, socklen_t length,
                    const struct sockaddr_storage &from) {
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  if (BindFrom(fd, from) != 0 ||
      (connect(fd, (const struct sockaddr *)&address, length) != 0 && errno != EINPROGRESS)) {
    close(fd);
    return -1;
  }
  return fd;
}

// ---- TLS ------------------------------------------------------------------------

// A client session on the socket, checking the server's name or address.
static SSL *NewSession(const BenchConfig &config, int fd, SSL_SESSION *resume) {
  SSL *ssl = SSL_new(config.client);
  if (ssl == NULL) return NULL;
  if (TlsNameServer(ssl, config.host.c_str()) != 0 || SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    return NULL;
  }
  if (resume != NULL) SSL_set_session(ssl, resume);
  if (config.kept && TlsOfferKept(ssl) != 0) {
    SSL_free(ssl);
    return NULL;
  }
  SSL_set_connect_state(ssl);
  return ssl;
}

// Says close_notify (a session freed without it cannot be resumed), keeps
// the session when asked, and frees it.
static void EndSession(SSL *ssl, SSL_SESSION **keep) {
  if (ssl == NULL) return;
  if (keep != NULL && SSL_is_init_finished(ssl)) {
    SSL_SESSION_free(*keep);
    *keep = SSL_get1_session(ssl);
  }
  SSL_shutdown(ssl);
  SSL_free(ssl);
  ERR_clear_error();
}

// send() and recv(), through TLS when there is a session.
static ssize_t Write(int fd, SSL *ssl, const void *data, size_t size) {
  if (ssl == NULL) return send(fd, data, size, MSG_NOSIGNAL);
  int rc = SSL_write(ssl, data, (int)size);
  if (rc > 0) return rc;
  int reason = SSL_get_error(ssl, rc);
  errno = reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
  ERR_clear_error();
  return -1;
}

static ssize_t Read(int fd, SSL *ssl, void *buffer, size_t size) {
  if (ssl == NULL) return recv(fd, buffer, size, 0);
  int rc = SSL_read(ssl, buffer, (int)size);
  if (rc > 0) return rc;
  int reason = SSL_get_error(ssl, rc);
  if (reason == SSL_ERROR_ZERO_RETURN) return 0;
  errno = reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
  ERR_clear_error();
  return -1;
}

// ---- Setup: blocking conversations ------------------------------------------

static int SendText(int fd, SSL *ssl, const std::string &text) {
  return Write(fd, ssl, text.c_str(), text.size() + 1) == (ssize_t)text.size() + 1 ? 0 : 1;
}

static int ReceiveText(int fd, SSL *ssl, WireReader *reader, char *out, size_t out_size) {
  while (WireTakeMessage(reader, out, out_size) != 0) {
    size_t room;
    char *space = WireSpace(reader, &room);
    ssize_t got = Read(fd, ssl, space, room);
    if (got <= 0) return 1;
    WireCommit(reader, (size_t)got);
  }
  return 0;
}

// Runs the identification with `query`; returns the last reply, or "" when
// the connection failed.
static std::string Identify(const BenchConfig &config, const struct sockaddr_storage &address,
                            socklen_t length, const std::string &query, const std::string &name) {
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (const struct sockaddr *)&address, length) != 0) {
    if (fd >= 0) close(fd);
    return "";
  }
  SSL *ssl = config.tls ? NewSession(config, fd, NULL) : NULL;
  if (config.tls && (ssl == NULL || SSL_connect(ssl) != 1)) {
    char reason[512];
    TlsDescribeError("SSL_connect", "connection lost", reason, sizeof(reason));
    fprintf(stderr, "varkel_bench: TLS: %s\n", reason);
    EndSession(ssl, NULL);
    close(fd);
    return "";
  }
  WireReader reader;
  WireReset(&reader);
  char reply[WIRE_MESSAGE_MAX] = "";
  const std::string texts[] = {WIRE_VERSION_TEXT, query, name, BENCH_PASSWORD};
  for (const std::string &text : texts) {
    if (SendText(fd, ssl, text) != 0 || ReceiveText(fd, ssl, &reader, reply, sizeof(reply)) != 0) {
      snprintf(reply, sizeof(reply), "%s", "");
      break;
    }
    if (IsRefusal(reply)) break;
  }
  EndSession(ssl, NULL);
  close(fd);
  return reply;
}

static std::string PlayerName(const BenchConfig &config, int index) {
  char name[32];
  snprintf(name, sizeof(name), "%s%d", config.prefix.c_str(), index);
  return name;
}

// Creates the accounts, and identifies them unless their first waking is
// to be measured (the flood's own characters never).
static int PrepareAccounts(const BenchConfig &config, const struct sockaddr_storage &address,
                           socklen_t length) {
  for (int i = 0; i < config.players + config.flood_names; i++) {
    std::string name = PlayerName(config, i);
    std::string reply = Identify(config, address, length, WIRE_QUERY_SUBSCRIBE, name);
    if ((!config.flood.empty() || i >= config.players) && !reply.empty()) continue;
    reply = Identify(config, address, length, WIRE_QUERY_CONNECT, name);
    if (reply.empty() || IsRefusal(reply.c_str())) {
      fprintf(stderr, "varkel_bench: %s cannot play: \"%s\"\n", name.c_str(), reply.c_str());
      return 1;
    }
  }
  return 0;
}

// ---- The measured run: one epoll loop per thread ----------------------------

static int StartConversation(int epoll_fd, Player *player, const struct sockaddr_storage &address,
                             socklen_t length) {
  player->started = player->due;
  player->step = 0;
  player->ssl = NULL;
  player->handshaking = 0;
  WireReset(&player->reader);
  player->fd = OpenFrom(address, length, PlayerSource(address, player->index));
  if (player->fd < 0) return 1;
  struct epoll_event event;
  event.events = EPOLLOUT;
  event.data.ptr = player;
  return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, player->fd, &event) == 0 ? 0 : 1;
}

// Sends the steps up to the next receive; 0 when it went out.
static int SendSteps(Player *player) {
  while (player->step < player->script.size() && player->script[player->step].send) {
    if (SendText(player->fd, player->ssl, player->script[player->step].text) != 0) return 1;
    player->step++;
  }
  return 0;
}

// Takes the replies that arrived. Returns 0 to go on, 1 on an error, 2 when
// the server hung up after the last step (the conversation is complete), 3
// when the last step is done on a kept connection.
static int ReceiveOnce(Player *player, int kept) {
  size_t room;
  char *space = WireSpace(&player->reader, &room);
  ssize_t got = Read(player->fd, player->ssl, space, room);
  if (got < 0) return errno == EAGAIN ? 0 : 1;
  if (got == 0) return player->step == player->script.size() ? 2 : 1;
  WireCommit(&player->reader, (size_t)got);
  char reply[WIRE_MESSAGE_MAX];
  while (WireTakeMessage(&player->reader, reply, sizeof(reply)) == 0) {
    if (player->step >= player->script.size() || IsRefusal(reply)) return 1;
    player->step++;
    if (SendSteps(player) != 0) return 1;
  }
  return kept && player->step == player->script.size() ? 3 : 0;
}

// TLS may hold bytes already read from the socket: no event would tell.
static int ReceiveSteps(Player *player, int kept) {
  int rc;
  do {
    rc = ReceiveOnce(player, kept);
  } while (rc == 0 && player->ssl != NULL && SSL_pending(player->ssl) > 0);
  return rc;
}

static int Watch(int epoll_fd, Player *player, uint32_t events) {
  struct epoll_event event;
  event.events = events;
  event.data.ptr = player;
  return epoll_ctl(epoll_fd, EPOLL_CTL_MOD, player->fd, &event) == 0 ? 0 : 1;
}

// Moves the handshake on, then sends the first steps once it is over.
static int Handshake(int epoll_fd, Player *player, Tally *tally) {
  ERR_clear_error();
  int rc = SSL_do_handshake(player->ssl);
  if (rc == 1) {
    player->handshaking = 0;
    tally->resumed += SSL_session_reused(player->ssl);
    if (SendSteps(player) != 0) return 1;
    return Watch(epoll_fd, player, EPOLLIN);
  }
  int reason = SSL_get_error(player->ssl, rc);
  ERR_clear_error();
  if (reason == SSL_ERROR_WANT_READ) return Watch(epoll_fd, player, EPOLLIN);
  if (reason == SSL_ERROR_WANT_WRITE) return Watch(epoll_fd, player, EPOLLOUT);
  return 1;
}

static int Advance(const BenchConfig &config, int epoll_fd, Player *player, uint32_t events,
                   Tally *tally) {
  if (player->handshaking) return Handshake(epoll_fd, player, tally);
  if (events & EPOLLOUT) {
    int error = 0;
    socklen_t size = sizeof(error);
    getsockopt(player->fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) return 1;
    if (config.tls) {
      player->ssl = NewSession(config, player->fd, config.resume ? player->session : NULL);
      player->handshaking = 1;
      return player->ssl == NULL ? 1 : Handshake(epoll_fd, player, tally);
    }
    if (SendSteps(player) != 0) return 1;
    return Watch(epoll_fd, player, EPOLLIN);
  }
  return ReceiveSteps(player, config.kept);
}

// Starts the players whose next conversation is due; returns the
// milliseconds until the next one is, or -1 when none waits.
static int StartDue(const struct sockaddr_storage &address, socklen_t length, int epoll_fd,
                    std::vector<Player> &players, double end_ms, Tally *tally) {
  double now = NowMs();
  double next = -1.0;
  if (now >= end_ms) return -1;
  for (Player &player : players) {
    if ((player.fd >= 0 && !player.idle) || player.due >= end_ms) continue;
    if (player.due > now) {
      if (next < 0 || player.due < next) next = player.due;
      continue;
    }
    if (player.idle) {
      player.idle = 0;
      player.started = player.due;
      player.step = 0;
      if (SendSteps(&player) == 0) continue;
      EndSession(player.ssl, NULL);
      player.ssl = NULL;
      close(player.fd);
      player.fd = -1;
    }
    if (StartConversation(epoll_fd, &player, address, length) != 0) {
      tally->errors++;
      player.due = end_ms;
    }
  }
  return next < 0 ? -1 : (int)(next - now) + 1;
}

static void RunPlayers(const BenchConfig &config, const struct sockaddr_storage &address,
                       socklen_t length, int first, int count, double end_ms, Tally *tally) {
  int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Player> players(count);
  // Each player's own pace, and a start shifted so that they take turns.
  double interval = config.rate > 0 ? config.players * 1000.0 / config.rate : 0.0;
  double start = NowMs();
  for (int i = 0; i < count; i++) {
    players[i].fd = -1;
    players[i].ssl = NULL;
    players[i].session = NULL;
    players[i].index = first + i;
    players[i].idle = 0;
    players[i].conversations = 0;
    players[i].due = start + interval * (first + i) / config.players;
    players[i].script = Script(config.query, PlayerName(config, first + i), config.kept);
  }
  struct epoll_event events[64];
  int running = 0;
  for (double now; (now = NowMs()) < end_ms || (running > 0 && now < end_ms + BENCH_DRAIN_MS);) {
    int timeout = StartDue(address, length, epoll_fd, players, end_ms, tally);
    int left = (int)((now < end_ms ? end_ms : end_ms + BENCH_DRAIN_MS) - NowMs()) + 1;
    if (timeout < 0 || timeout > left) timeout = left;
    int ready = epoll_wait(epoll_fd, events, 64, timeout);
    for (int i = 0; i < ready; i++) {
      Player *player = (Player *)events[i].data.ptr;
      // A kept connection that speaks between conversations was closed: the
      // next conversation opens another one.
      int rc = player->idle ? 4 : Advance(config, epoll_fd, player, events[i].events, tally);
      if (rc == 0) continue;
      player->idle = rc == 3;
      if (!player->idle) {
        EndSession(player->ssl, rc == 2 ? &player->session : NULL);
        player->ssl = NULL;
        close(player->fd);
        player->fd = -1;
      }
      if (rc == 4) continue;
      now = NowMs();
      // Under a flood the first waking of each player is told apart.
      int first_one = !config.flood.empty() && player->conversations++ == 0;
      if (rc == 2 || rc == 3) {
        (first_one ? tally->first_ms : tally->latencies_ms).push_back(now - player->started);
      } else {
        (first_one ? tally->first_errors : tally->errors)++;
      }
      player->due = interval > 0 ? player->started + interval : now;
    }
    // A kept connection waiting for its player's next action runs nothing.
    running = 0;
    for (const Player &player : players)
      running += player.fd >= 0 && !player.idle;
  }
  for (Player &player : players) {
    int unfinished = player.fd >= 0 && !player.idle;
    if (unfinished) tally->unfinished++;
    if (unfinished && !config.flood.empty() && player.conversations == 0) tally->first_unfinished++;
    EndSession(player.ssl, NULL);
    SSL_SESSION_free(player.session);
    if (player.fd >= 0) close(player.fd);
  }
  close(epoll_fd);
}

// ---- The flood: an attacker from another address ------------------------------

namespace {

typedef struct Attacker {
  int fd;
  int source;       // its address among the flood's
  double reopen_ms; // closed: when to open again
  WireReader reader;
  int replies; // heard on this connection
  int guessed; // its guess went out
} Attacker;

typedef struct FloodTally {
  long opened;
  long unanswered; // closed by the server before its verdict
  long guesses;    // answered "Bad password"
  long accepted;   // a guess let in, or a character created
  long open_at_end;
  long sent; // identifications sent
} FloodTally;

} // namespace

// The flood's addresses: where each connection comes from, and what its
// PROXY header names when there is one.
typedef struct FloodSources {
  std::vector<struct sockaddr_storage> from;
  std::vector<struct sockaddr_storage> named;
  std::string hello; // the TLS floods' ClientHello
} FloodSources;

// The i-th address from `base`: IPv4 by `step`, IPv6 by one in the byte
// that ends its /64.
static struct sockaddr_storage NthAddress(const char *base, int index, unsigned step) {
  struct sockaddr_storage address;
  memset(&address, 0, sizeof(address));
  struct sockaddr_in *v4 = (struct sockaddr_in *)&address;
  struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)&address;
  if (inet_pton(AF_INET, base, &v4->sin_addr) == 1) {
    address.ss_family = AF_INET;
    v4->sin_addr.s_addr = htonl(ntohl(v4->sin_addr.s_addr) + step * (unsigned)index);
  } else if (inet_pton(AF_INET6, base, &v6->sin6_addr) == 1) {
    address.ss_family = AF_INET6;
    // The /64s of the base's /48, one after another.
    unsigned char *net = v6->sin6_addr.s6_addr;
    unsigned next = ((unsigned)net[6] << 8 | net[7]) + (unsigned)index;
    net[6] = (unsigned char)(next >> 8);
    net[7] = (unsigned char)next;
  }
  return address;
}

// A ClientHello as the players' context makes it, for the TLS floods to
// send again and again.
static std::string ClientHello(const BenchConfig &config) {
  SSL *ssl = SSL_new(config.client);
  BIO *in = BIO_new(BIO_s_mem());
  BIO *out = BIO_new(BIO_s_mem());
  if (ssl == NULL || in == NULL || out == NULL) {
    SSL_free(ssl);
    BIO_free(in);
    BIO_free(out);
    return "";
  }
  SSL_set_bio(ssl, in, out);
  SSL_set_connect_state(ssl);
  SSL_do_handshake(ssl); // wants the server's answer
  char *bytes = NULL;
  long length = BIO_get_mem_data(out, &bytes);
  std::string hello(bytes, length > 0 ? (size_t)length : 0);
  SSL_free(ssl);
  return hello;
}

static FloodSources MakeSources(const BenchConfig &config) {
  FloodSources sources;
  if (config.flood.compare(0, 4, "tls-") == 0) sources.hello = ClientHello(config);
  for (int i = 0; i < config.flood_addresses; i++) {
    sources.from.push_back(
        NthAddress(config.flood_from.c_str(), config.flood_as.empty() ? i : 0, 1));
    if (!config.flood_as.empty())
      sources.named.push_back(NthAddress(config.flood_as.c_str(), i, 256));
  }
  return sources;
}

// A PROXY v2 header naming `named` as the client.
static std::string ProxyHeader(const struct sockaddr_storage &named) {
  static const char kSignature[] = "\r\n\r\n\0\r\nQUIT\n";
  std::string header(kSignature, 12);
  header += '\x21';
  if (named.ss_family == AF_INET) {
    header += std::string("\x11\x00\x0C", 3);
    header.append((const char *)&((const struct sockaddr_in *)&named)->sin_addr, 4);
    header.append(4, '\0');
  } else {
    header += std::string("\x21\x00\x24", 3);
    header.append((const char *)&((const struct sockaddr_in6 *)&named)->sin6_addr, 16);
    header.append(16, '\0');
  }
  header += std::string("\x10\x00\x27\x0F", 4); // ports 4096 and 9999
  return header;
}

static void OpenAttacker(const BenchConfig &config, const struct sockaddr_storage &address,
                         socklen_t length, const FloodSources &sources, int epoll_fd,
                         Attacker *attacker, FloodTally *tally) {
  attacker->replies = 0;
  WireReset(&attacker->reader);
  attacker->fd = OpenFrom(address, length, sources.from[attacker->source]);
  if (attacker->fd < 0) {
    attacker->reopen_ms = NowMs() + config.flood_pause_ms;
    return;
  }
  tally->opened++;
  attacker->guessed = 0;
  struct epoll_event event;
  event.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT;
  event.data.ptr = attacker;
  epoll_ctl(epoll_fd, EPOLL_CTL_ADD, attacker->fd, &event);
}

// Once connected: its header, then a guess or a creation as the whole
// identification at once (the server answers each message in turn);
// nothing for an idle connection. A storm's connection is closed at once.
// Returns 1 when it was closed.
static int Connected(const BenchConfig &config, const FloodSources &sources, int epoll_fd,
                     Attacker *attacker, FloodTally *tally) {
  if (config.flood == "storm") {
    close(attacker->fd);
    attacker->fd = -1;
    attacker->reopen_ms = 0;
    return 1;
  }
  std::string texts;
  if (!config.flood_as.empty()) texts = ProxyHeader(sources.named[attacker->source]);
  char word[32];
  snprintf(word, sizeof(word), "%s%ld", config.flood == "create" ? "z" : "guess", tally->opened);
  int target =
      config.flood_names > 0 ? config.players + (int)(tally->sent++ % config.flood_names) : 0;
  if (config.flood == "wake") snprintf(word, sizeof(word), "%s", BENCH_PASSWORD);
  if (config.flood == "guess" || config.flood == "wake")
    texts += std::string(WIRE_VERSION_TEXT) + '\0' + WIRE_QUERY_CONNECT + '\0' +
             PlayerName(config, target) + '\0' + word + '\0';
  if (config.flood == "create")
    texts += std::string(WIRE_VERSION_TEXT) + '\0' + WIRE_QUERY_SUBSCRIBE + '\0' + word + '\0' +
             BENCH_PASSWORD + '\0';
  if (config.flood == "tls-hold") texts += sources.hello.substr(0, sources.hello.size() / 2);
  if (config.flood == "tls-hello") texts += sources.hello;
  ssize_t sent = send(attacker->fd, texts.data(), texts.size(), MSG_NOSIGNAL);
  (void)sent; // a refused connection shows at the next read
  attacker->guessed = 1;
  struct epoll_event event;
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = attacker;
  epoll_ctl(epoll_fd, EPOLL_CTL_MOD, attacker->fd, &event);
  return 0;
}

// Reads what came; 1 when the connection is over (the attacker then opens
// another: at once after a verdict, after the pause otherwise).
static int AttackerReads(const BenchConfig &config, Attacker *attacker, FloodTally *tally) {
  size_t room;
  char *space = WireSpace(&attacker->reader, &room);
  ssize_t got = recv(attacker->fd, space, room, 0);
  if (got < 0 && errno == EAGAIN) return 0;
  double pause = config.flood_pause_ms;
  if (got > 0 && config.flood.compare(0, 4, "tls-") == 0) {
    // A handshake record is the server's answer; an alert, a refusal.
    if (space[0] != 22) tally->unanswered++;
    if (space[0] == 22) {
      tally->accepted++;
      pause = 0;
    }
  } else if (got > 0) {
    WireCommit(&attacker->reader, (size_t)got);
    char reply[WIRE_MESSAGE_MAX];
    while (WireTakeMessage(&attacker->reader, reply, sizeof(reply)) == 0) {
      if (++attacker->replies < WIRE_IDENTIFICATION_MESSAGES) continue;
      (strcmp(reply, WIRE_OK) == 0 ? tally->accepted : tally->guesses)++;
      pause = 0;
      break;
    }
    if (pause > 0) return 0;
  } else {
    tally->unanswered++;
  }
  close(attacker->fd);
  attacker->fd = -1;
  attacker->reopen_ms = NowMs() + pause;
  return 1;
}

static void RunFlood(const BenchConfig &config, const struct sockaddr_storage &address,
                     socklen_t length, const std::atomic<bool> *stop, FloodTally *tally) {
  FloodSources sources = MakeSources(config);
  int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Attacker> attackers(config.flood_connections);
  for (size_t i = 0; i < attackers.size(); i++) {
    attackers[i].source = (int)(i % sources.from.size());
    OpenAttacker(config, address, length, sources, epoll_fd, &attackers[i], tally);
  }
  struct epoll_event events[256];
  while (!*stop) {
    int ready = epoll_wait(epoll_fd, events, 256, 20);
    for (int i = 0; i < ready; i++) {
      Attacker *attacker = (Attacker *)events[i].data.ptr;
      if (attacker->fd < 0) continue;
      if (!attacker->guessed && (events[i].events & EPOLLOUT) &&
          !(events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
        Connected(config, sources, epoll_fd, attacker, tally);
        continue;
      }
      AttackerReads(config, attacker, tally);
    }
    double now = NowMs();
    for (Attacker &attacker : attackers) {
      if (attacker.fd < 0 && attacker.reopen_ms <= now)
        OpenAttacker(config, address, length, sources, epoll_fd, &attacker, tally);
    }
  }
  for (Attacker &attacker : attackers) {
    if (attacker.fd < 0) continue;
    tally->open_at_end++;
    close(attacker.fd);
  }
  close(epoll_fd);
}

// Processor seconds a process has used, or -1.
static double ProcessCpuSeconds(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  FILE *stat = fopen(path, "r");
  if (stat == NULL) return -1.0;
  char text[1024];
  size_t got = fread(text, 1, sizeof(text) - 1, stat);
  fclose(stat);
  text[got] = '\0';
  // The fields after the command name, which may hold blanks.
  const char *rest = strrchr(text, ')');
  unsigned long user = 0, system = 0;
  if (rest == NULL ||
      sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
    return -1.0;
  return (double)(user + system) / sysconf(_SC_CLK_TCK);
}

static double Percentile(const std::vector<double> &sorted, double fraction) {
  if (sorted.empty()) return 0.0;
  size_t index = (size_t)(fraction * (sorted.size() - 1) + 0.5);
  return sorted[index];
}

static const char kUsage[] =
    "Usage: varkel_bench [--host H] [--port P] [--players N] "
    "[--seconds S] [--query connection|status|listen|drink] [--rate R] [--threads T] "
    "[--prefix NAME] [--flood idle|guess|wake|create|storm|tls-hold|tls-hello|none] "
    "[--flood-from ADDR] "
    "[--flood-addresses N] [--flood-as ADDR] [--flood-connections N] "
    "[--flood-pause-ms MS] [--flood-names N] [--server-pid PID] [--tls [--no-resumption] "
    "[--kept]]\n";

static int Usage(const std::string &problem) {
  fprintf(stderr, "varkel_bench: %s\n%s", problem.c_str(), kUsage);
  return 1;
}

// `above` excludes the low bound itself.
static int ParseFigure(const char *text, double low, int above, double *out) {
  char *end = NULL;
  errno = 0;
  double value = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < low ||
      (above && value == low))
    return 1;
  *out = value;
  return 0;
}

static int ParseWord(const char *text, const char *const *words, size_t count, std::string *out) {
  for (size_t i = 0; i < count; i++) {
    if (strcmp(text, words[i]) == 0) {
      *out = words[i];
      return 0;
    }
  }
  return 1;
}

static int ParseQuery(const char *text, std::string *out) {
  if (strcmp(text, "status") == 0)
    *out = WIRE_QUERY_STATUS;
  else if (strcmp(text, "connection") == 0)
    *out = WIRE_QUERY_CONNECT;
  else if (strcmp(text, "listen") == 0)
    *out = WIRE_QUERY_LISTEN;
  else if (strcmp(text, "drink") == 0) // a change to write each time
    *out = WIRE_QUERY_DRINK;
  else
    return 1;
  return 0;
}

static const char *const kOptions[] = {
    "--host",
    "--port",
    "--players",
    "--seconds",
    "--rate",
    "--threads",
    "--prefix",
    "--query",
    "--flood",
    "--flood-from",
    "--flood-addresses",
    "--flood-as",
    "--flood-connections",
    "--flood-pause-ms",
    "--flood-names",
    "--server-pid",
};

// One known option with its value; 0 when the value fits.
static int TakeOption(void *into, const std::string &option, const char *value) {
  BenchConfig *config = (BenchConfig *)into;
  static const char *const kFloods[] = {"idle",     "guess",     "wake", "create", "storm",
                                        "tls-hold", "tls-hello", "none"};
  if (option == "--host")
    config->host = value;
  else if (option == "--port")
    return OptionNumber(value, 1, 65535, &config->port);
  else if (option == "--players")
    return OptionNumber(value, 1, 1000000, &config->players);
  else if (option == "--seconds")
    return ParseFigure(value, 0, 1, &config->seconds);
  else if (option == "--rate")
    return ParseFigure(value, 0, 0, &config->rate);
  else if (option == "--threads")
    return OptionNumber(value, 1, 1000000, &config->threads);
  else if (option == "--prefix")
    config->prefix = value;
  else if (option == "--query")
    return ParseQuery(value, &config->query);
  else if (option == "--flood")
    return ParseWord(value, kFloods, sizeof(kFloods) / sizeof(kFloods[0]), &config->flood);
  else if (option == "--flood-from")
    config->flood_from = value;
  else if (option == "--flood-addresses")
    return OptionNumber(value, 1, 65536, &config->flood_addresses);
  else if (option == "--flood-as")
    config->flood_as = value;
  // 0 leaves the flood's own default.
  else if (option == "--flood-connections")
    return OptionNumber(value, 0, 1000000, &config->flood_connections);
  else if (option == "--flood-pause-ms")
    return OptionNumber(value, 0, 3600000, &config->flood_pause_ms);
  else if (option == "--flood-names")
    return OptionNumber(value, 0, 100000, &config->flood_names);
  else if (option == "--server-pid")
    return OptionNumber(value, 0, INT32_MAX, &config->server_pid);
  return 0;
}

// As the server reads its own: "--option value" or "--option=value". 0:
// run; 1: bad arguments (the problem written, naming the option); 2: the
// help or the version was printed.
static int ParseBench(int argc, char **argv, BenchConfig *config) {
  std::string problem;
  // The options without a value are taken out first.
  std::vector<char *> rest;
  for (int i = 0; i < argc; i++) {
    if (i > 0 && strcmp(argv[i], "--tls") == 0)
      config->tls = 1;
    else if (i > 0 && strcmp(argv[i], "--no-resumption") == 0)
      config->resume = 0;
    else if (i > 0 && strcmp(argv[i], "--kept") == 0)
      config->kept = 1;
    else
      rest.push_back(argv[i]);
  }
  argc = (int)rest.size();
  argv = rest.data();
  switch (ReadOptions(argc, argv, kOptions, sizeof(kOptions) / sizeof(kOptions[0]), TakeOption,
                      config, &problem)) {
  case OPTIONS_RUN:
    break;
  case OPTIONS_HELP:
    fputs(kUsage, stdout);
    return 2;
  case OPTIONS_VERSION:
    printf("varkel_bench version %d\n", WIRE_VERSION);
    return 2;
  case OPTIONS_BAD:
    return Usage(problem);
  }
  if (config->kept && !config->tls) return Usage("--kept keeps TLS connections: it needs --tls");
  if (config->flood_connections == 0)
    config->flood_connections = config->flood == "idle" || config->flood == "tls-hold" ? 4100 : 100;
  if (config->flood.compare(0, 4, "tls-") == 0 && !config->tls)
    return Usage("--flood " + config->flood + " needs --tls");
  // Names are at most 8 characters: the prefix and the player's number.
  char last[16];
  int digits = snprintf(last, sizeof(last), "%d", config->players + config->flood_names - 1);
  if (config->prefix.size() + digits > 8)
    return Usage("--prefix \"" + config->prefix + "\" leaves no room for the players' numbers");
  return 0;
}

// Each connection holds a descriptor: allow as many as the system lets.
static void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

static void ReportPlayers(const BenchConfig &config, const std::vector<Tally> &tallies,
                          double elapsed_s) {
  std::vector<double> latencies, first;
  long errors = 0, first_errors = 0, unfinished = 0, first_unfinished = 0;
  for (const Tally &tally : tallies) {
    latencies.insert(latencies.end(), tally.latencies_ms.begin(), tally.latencies_ms.end());
    first.insert(first.end(), tally.first_ms.begin(), tally.first_ms.end());
    errors += tally.errors;
    first_errors += tally.first_errors;
    unfinished += tally.unfinished;
    first_unfinished += tally.first_unfinished;
  }
  std::sort(latencies.begin(), latencies.end());
  std::sort(first.begin(), first.end());
  char pace[64] = "as fast as they can";
  if (config.rate > 0) snprintf(pace, sizeof(pace), "paced at %.0f/s", config.rate);
  long resumed = 0;
  for (const Tally &tally : tallies)
    resumed += tally.resumed;
  char over[64] = "plain";
  if (config.tls)
    snprintf(over, sizeof(over), "over TLS%s, %ld handshakes resumed",
             config.kept ? ", connections kept" : "", resumed);
  printf("query \"%s\" (%s), %d players %s, %.1f s: %zu conversations, %.0f per second, "
         "p50 %.2f ms, p99 %.2f ms, max %.2f ms, %ld errors, %ld unfinished\n",
         config.query.c_str(), over, config.players, pace, elapsed_s, latencies.size(),
         latencies.size() / elapsed_s, Percentile(latencies, 0.50), Percentile(latencies, 0.99),
         latencies.empty() ? 0.0 : latencies.back(), errors, unfinished);
  if (config.flood.empty()) return;
  long done = (long)latencies.size() + (long)first.size();
  long tried = done + errors + first_errors + unfinished;
  printf("players' success: %.1f%% (%ld of %ld conversations)\n",
         tried > 0 ? 100.0 * done / tried : 0.0, done, tried);
  printf("first wake-ups (a slow check each): %zu of %zu, p50 %.2f ms, p99 %.2f ms, "
         "max %.2f ms, %ld unfinished\n",
         first.size(), first.size() + first_errors + first_unfinished, Percentile(first, 0.50),
         Percentile(first, 0.99), first.empty() ? 0.0 : first.back(), first_unfinished);
}

static void ReportFlood(const BenchConfig &config, const FloodTally &flood, double elapsed_s) {
  printf("flood \"%s\" from %s (%d address%s%s%s), %d connections: %ld opened, %ld closed "
         "unanswered, %ld open "
         "at the end",
         config.flood.c_str(), config.flood_from.c_str(), config.flood_addresses,
         config.flood_addresses == 1 ? "" : "es", config.flood_as.empty() ? "" : " named from ",
         config.flood_as.c_str(), config.flood_connections, flood.opened, flood.unanswered,
         flood.open_at_end);
  if (config.flood == "guess")
    printf(", %ld guesses answered (%.1f per second), %ld let in", flood.guesses,
           flood.guesses / elapsed_s, flood.accepted);
  if (config.flood == "create") printf(", %ld characters created", flood.accepted);
  if (config.flood == "wake")
    printf(", %ld wake-ups served (%.1f per second)", flood.accepted, flood.accepted / elapsed_s);
  if (config.flood.compare(0, 4, "tls-") == 0)
    printf(", %ld answered by the server's handshake", flood.accepted);
  printf("\n");
}

int main(int argc, char **argv) {
  BenchConfig config = {"127.0.0.1", 9999,    100, 10.0,        0.0, WIRE_QUERY_CONNECT,
                        1,           "bench", "",  "127.0.0.2", 1,   "",
                        0,           1000,    0,   0,           0,   1,
                        NULL,        0};
  int parsed = ParseBench(argc, argv, &config);
  if (parsed != 0) return parsed == 2 ? 0 : 2;
  const char *failed;
  if (config.tls && (config.client = TlsClientContext(getenv("VARKEL_CA_FILE"), &failed)) == NULL) {
    char said[512];
    TlsDescribeError(failed, "cannot load the authorities", said, sizeof(said));
    fprintf(stderr, "varkel_bench: TLS: %s\n", said);
    return 1;
  }
  if (config.threads > config.players) config.threads = config.players;
  RaiseDescriptorLimit();
  struct sockaddr_storage address;
  socklen_t length;
  if (Resolve(config, &address, &length) != 0) {
    Usage("cannot resolve the host");
    return 2;
  }
  if (PrepareAccounts(config, address, length) != 0) return 1;
  // The flooding character has woken once: the server knows its password.
  if (config.flood == "wake" &&
      Identify(config, address, length, WIRE_QUERY_CONNECT,
               PlayerName(config, config.flood_names > 0 ? config.players : 0)) != WIRE_OK)
    fprintf(stderr, "varkel_bench: the flooding character cannot wake\n");

  std::atomic<bool> stop(false);
  FloodTally flood = {0, 0, 0, 0, 0, 0};
  std::thread attacker;
  double flood_start = NowMs();
  if (!config.flood.empty() && config.flood != "none") {
    attacker = std::thread(RunFlood, std::cref(config), std::cref(address), length, &stop, &flood);
    usleep(1000000); // the flood takes hold first
  }
  double cpu_before = config.server_pid > 0 ? ProcessCpuSeconds(config.server_pid) : -1.0;
  std::vector<Tally> tallies(config.threads, Tally{0, {}, {}, 0, 0, 0, 0});
  std::vector<std::thread> threads;
  double start = NowMs();
  double end = start + config.seconds * 1000.0;
  for (int t = 0; t < config.threads; t++) {
    int first = config.players * t / config.threads;
    int next = config.players * (t + 1) / config.threads;
    threads.emplace_back(RunPlayers, std::cref(config), std::cref(address), length, first,
                         next - first, end, &tallies[t]);
  }
  for (std::thread &thread : threads)
    thread.join();
  double elapsed_s = config.seconds;
  double cpu_after = config.server_pid > 0 ? ProcessCpuSeconds(config.server_pid) : -1.0;
  if (attacker.joinable()) {
    stop = true;
    attacker.join();
    ReportFlood(config, flood, (NowMs() - flood_start) / 1000.0);
  }
  ReportPlayers(config, tallies, elapsed_s);
  if (cpu_before >= 0 && cpu_after >= 0)
    printf("server processor time: %.1f s in %.1f s\n", cpu_after - cpu_before, elapsed_s);
  long errors = 0;
  for (const Tally &tally : tallies)
    errors += tally.errors + tally.first_errors + tally.unfinished;
  SSL_CTX_free(config.client);
  // Under a flood the failures are what is measured.
  return errors == 0 || !config.flood.empty() ? 0 : 1;
}
