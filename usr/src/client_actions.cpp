// SPDX-License-Identifier: MIT
// Server conversation: the wire, the identification and the twelve actions.
//
// Threads. An action takes jeu->lock only to copy from the record what it
// will send (the player may be typing), to write the record, to render
// (SDL_ttf is not thread-safe) and to swap surfaces, never while it waits
// on the network. It closes its connection (unless the server keeps it for
// the next action) and writes its final state word in one hold of the
// lock, after its message and pictures: a frame sees the whole ending or
// none of it, and a new action cannot start on a connection still in use.
// The exchange scratch (ip, tcpsock, socket_chosen, kept, len, result,
// datas_sent, datas_received, reader, tmp_string2, and the TLS connection
// with the session kept for the next action) belongs to the
// one networked action running; tmp_string is only touched under
// jeu->lock, since the memory actions run beside the others. chat.dat, `file`, `i` and `datas_file`
// are kept apart by memory_lock, held by a listening and by memory browsing for their whole run
// (memory_lock is always taken before jeu->lock).
#include "client_functions.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

static const char kCheckConnection[] = "Vous devez vérifier votre connexion!";
static const char kNothingHeard[] = "VEUILLEZ ECOUTER";
static const char kStatusUnshown[] = "Votre état ne peut pas s'afficher!";

namespace {
// How an action's step went.
typedef enum Outcome {
  kDone,          // on to the next step
  kNetworkFailed, // resolve, open, send, receive or time limit; logged
  kLocalFailed,   // picture, rendering or file; logged
  kEnded,         // a refusal or verdict has already ended the action
} Outcome;
} // namespace

static void Lock(Game *jeu) {
  SDL_LockMutex(jeu->lock);
}
static void Unlock(Game *jeu) {
  SDL_UnlockMutex(jeu->lock);
}

// Caller holds the lock.
static void StoreState(Game *jeu, const char *word) {
  snprintf(jeu->etat, sizeof(jeu->etat), "%s", word);
}

// Copies text into a field of `size` bytes, cut before the first UTF-8
// character that does not fit whole.
static void CopyCut(char *field, size_t size, const char *text) {
  size_t length = strlen(text);
  if (length >= size) {
    length = size - 1;
    while (length > 0 && ((unsigned char)text[length] & 0xC0) == 0x80)
      length--;
  }
  snprintf(field, size, "%.*s", (int)length, text);
}

/* The wire. Every message goes out through SendText and comes in through
   ReceiveReply, which write the log lines, over the game's transport:
   SDL_net's connection to the built-in server, the system's socket to a
   chosen one, or TLS on it to a tls:// one. */

// One way to the server, chosen once per game (ChooseServer).
struct Transport {
  int (*open)(Game *jeu);                            // logs its failure
  int (*send)(Game *jeu, const char *data, int len); // the bytes sent, the error set
  // Adds what has arrived to the reader, waiting within the time limits; 1
  // with the error set on a failure.
  int (*receive)(Game *jeu, Uint32 started);
  const char *send_failed; // the log lines of a failure
  const char *receive_failed;
  // Sends without waiting for the replies that decide nothing, and keeps
  // its connection between actions when the server does: what is sent
  // between gather(1) and gather(0) leaves together. NULL: the lock-step
  // of the plain port.
  void (*gather)(Game *jeu, int on);
};

static const Transport *TransportOf(const Game *jeu);
static std::string KnownServersPath();

// A peer that has gone makes send() raise SIGPIPE (SDL_net and OpenSSL
// cannot ask for MSG_NOSIGNAL). The signal is held back on this thread for
// the send and dropped: the send simply comes up short.
static void HoldPipeSignal(sigset_t *previous) {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, previous);
}

static void DropPipeSignal(const sigset_t *previous, int failed) {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  struct timespec no_wait = {0, 0};
  if (failed && !sigismember(previous, SIGPIPE)) sigtimedwait(&pipe_signal, NULL, &no_wait);
  pthread_sigmask(SIG_SETMASK, previous, NULL);
}

static int SendBuiltIn(Game *jeu, const char *data, int len) {
  sigset_t previous;
  HoldPipeSignal(&previous);
  errno = 0;
  int sent = SDLNet_TCP_Send(jeu->tcpsock, data, len);
  int error = errno;
  if (sent < len) SDL_SetError("%s", error != 0 ? strerror(error) : "connection lost");
  DropPipeSignal(&previous, sent < len);
  return sent;
}

// When the waits of a TLS step must be over: the action's deadline.
static Uint32 ActionDeadline(const Game *jeu) {
  return jeu->action_deadline != 0 ? jeu->action_deadline : SDL_GetTicks() + jeu->action_timeout_ms;
}

static int SendOnTls(Game *jeu, const char *data, int len) {
  sigset_t previous;
  HoldPipeSignal(&previous);
  int sent = ClientTlsSend(jeu->tls, data, len, ActionDeadline(jeu));
  DropPipeSignal(&previous, sent < len);
  return sent;
}

// All of data, as SDL_net sends it; fewer bytes when the connection fails.
static int SendOnSocket(Game *jeu, const char *data, int len) {
  int sent = 0;
  while (sent < len) {
    ssize_t n = send(jeu->socket_chosen, data + sent, (size_t)(len - sent), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SDL_SetError("%s", n < 0 ? strerror(errno) : "connection lost");
      break;
    }
    sent += (int)n;
  }
  return sent;
}

// Sends text with its NUL in one call; the log shows `shown`.
static int SendText(Game *jeu, const char *text, const char *shown) {
  jeu->datas_sent = const_cast<char *>(text);
  jeu->len = (int)strlen(text) + 1;
  jeu->result = TransportOf(jeu)->send(jeu, text, jeu->len);
  jeu->datas_sent = NULL;
  if (jeu->result < jeu->len) return LogError(jeu, TransportOf(jeu)->send_failed);
  fprintf(jeu->file_log, "Sent: \"%s\"\n", shown);
  return 0;
}

// How long the next wait may last: what is left of the reply's time limit,
// counted from `started`, and of the action's. 0 with the error set when
// either is spent.
static Uint32 TimeLeft(const Game *jeu, Uint32 started) {
  Uint32 now = SDL_GetTicks();
  Uint32 waited = now - started;
  if (waited >= jeu->reply_timeout_ms) {
    SDL_SetError("reply timed out after %u ms", (unsigned)jeu->reply_timeout_ms);
    return 0;
  }
  Uint32 left = jeu->reply_timeout_ms - waited;
  if (jeu->action_deadline == 0) return left;
  Sint32 action_left = (Sint32)(jeu->action_deadline - now);
  if (action_left <= 0) {
    SDL_SetError("action timed out after %u ms", (unsigned)jeu->action_timeout_ms);
    return 0;
  }
  return (Uint32)action_left < left ? (Uint32)action_left : left;
}

// 1 when bytes wait on the connection, 0 when `wait_ms` passed first, -1
// on an error.
static int AwaitBuiltIn(Game *jeu, Uint32 wait_ms) {
  SDLNet_SocketSet set = SDLNet_AllocSocketSet(1);
  if (set == NULL) return -1;
  SDLNet_TCP_AddSocket(set, jeu->tcpsock);
  int ready = SDLNet_CheckSockets(set, wait_ms);
  SDLNet_FreeSocketSet(set);
  return ready;
}

static int AwaitChosen(Game *jeu, Uint32 wait_ms) {
  struct pollfd watched = {jeu->socket_chosen, POLLIN, 0};
  int ready = poll(&watched, 1, (int)wait_ms);
  return ready < 0 && errno == EINTR ? 0 : ready;
}

static int ReceiveSomeBuiltIn(Game *jeu, char *space, int room) {
  return SDLNet_TCP_Recv(jeu->tcpsock, space, room);
}

static int ReceiveSomeChosen(Game *jeu, char *space, int room) {
  ssize_t got;
  do
    got = recv(jeu->socket_chosen, space, (size_t)room, 0);
  while (got < 0 && errno == EINTR);
  return (int)got;
}

// The same over TLS, whose bytes may already wait inside OpenSSL.
static int ReceiveTlsBytes(Game *jeu, Uint32 started) {
  Uint32 left = TimeLeft(jeu, started);
  if (left == 0) return 1;
  size_t room;
  char *space = WireSpace(&jeu->reader, &room);
  int got = ClientTlsReceive(jeu->tls, space, (int)room, SDL_GetTicks() + left);
  if (got <= 0) return 1;
  WireCommit(&jeu->reader, (size_t)got);
  return 0;
}

// Adds what has arrived on the connection to the reader, waiting for it
// within the time limits.
static int ReceiveWhenReady(Game *jeu, Uint32 started, int (*await)(Game *, Uint32),
                            int (*some)(Game *, char *, int), const char *await_call) {
  int ready = 0;
  while (ready == 0) {
    Uint32 left = TimeLeft(jeu, started);
    if (left == 0) return 1;
    ready = await(jeu, left);
    if (ready < 0) {
      SDL_SetError("%s: %s", await_call, strerror(errno));
      return 1;
    }
  }
  size_t room;
  char *space = WireSpace(&jeu->reader, &room);
  int got = some(jeu, space, (int)room);
  if (got == 0) SDL_SetError("connection closed by the server");
  if (got < 0) SDL_SetError("%s", strerror(errno));
  if (got <= 0) return 1;
  WireCommit(&jeu->reader, (size_t)got);
  return 0;
}

static int ReceiveBuiltIn(Game *jeu, Uint32 started) {
  return ReceiveWhenReady(jeu, started, AwaitBuiltIn, ReceiveSomeBuiltIn, "select");
}

static int ReceiveChosen(Game *jeu, Uint32 started) {
  return ReceiveWhenReady(jeu, started, AwaitChosen, ReceiveSomeChosen, "poll");
}

// Takes the next reply into datas_received: the bytes up to its NUL,
// gathered over as many receive calls as they take. Bytes after the NUL
// stay in the reader for the next reply of this connection. A reply that
// reaches 1024 bytes without a NUL is cut to its first 1023 bytes and
// terminated; the reader then skips the rest of it, up to and including its
// NUL, before the next reply. datas_received is always a terminated string.
static int ReceiveReply(Game *jeu) {
  Uint32 started = SDL_GetTicks();
  int failed = 0;
  while (!failed &&
         WireTakeMessage(&jeu->reader, jeu->datas_received, sizeof(jeu->datas_received)) != 0)
    failed = TransportOf(jeu)->receive(jeu, started);
  if (failed) return LogError(jeu, TransportOf(jeu)->receive_failed);
  LogText(jeu->file_log, "Received: \"%s\"\n", jeu->datas_received);
  return 0;
}

/* Opening the connection, inside the action's time limit. */

// What is left of the action's time limit.
static Uint32 ActionTimeLeft(const Game *jeu) {
  if (jeu->action_deadline == 0) return jeu->action_timeout_ms;
  Sint32 left = (Sint32)(jeu->action_deadline - SDL_GetTicks());
  return left > 0 ? (Uint32)left : 0;
}

namespace {
// SDL_net's resolution and connection, which may block for minutes, on a
// thread of their own that the action leaves behind at its time limit; the
// last one out frees the record.
struct BuiltInOpen {
  std::mutex lock;
  std::condition_variable done_signal;
  std::string host;
  Uint16 port;
  IPaddress ip;
  bool resolved = false;
  bool done = false;
  bool abandoned = false;
  TCPsocket socket = NULL;
  std::string error; // SDL's error is the thread's own
};
} // namespace

// gethostbyname, under SDLNet_ResolveHost, fills one buffer for the whole
// process: a resolution left behind must not run beside the next one.
static std::mutex &ResolverLock() {
  static std::mutex lock;
  return lock;
}

// Only the connection reports into SDL (its failure, through
// SDL_SetError); the action copies the error out while it waits.
static void RunBuiltInOpen(std::shared_ptr<BuiltInOpen> open) {
  IPaddress ip;
  int resolved;
  {
    std::lock_guard<std::mutex> one_at_a_time(ResolverLock());
    resolved = SDLNet_ResolveHost(&ip, open->host.c_str(), open->port) != -1;
  }
  {
    std::lock_guard<std::mutex> hold(open->lock);
    if (resolved) open->ip = ip;
    open->resolved = resolved;
    if (!resolved || open->abandoned) {
      open->done = true;
      open->done_signal.notify_one();
      return;
    }
  }
  TCPsocket socket = SDLNet_TCP_Open(&ip);
  std::lock_guard<std::mutex> hold(open->lock);
  if (open->abandoned) {
    if (socket != NULL) SDLNet_TCP_Close(socket);
    return;
  }
  open->socket = socket;
  if (socket == NULL) open->error = SDL_GetError();
  open->done = true;
  open->done_signal.notify_one();
}

static int OpenBuiltIn(Game *jeu) {
  auto open = std::make_shared<BuiltInOpen>();
  open->host = jeu->ip_server;
  open->port = (Uint16)jeu->port_server;
  std::thread(RunBuiltInOpen, open).detach();
  std::unique_lock<std::mutex> hold(open->lock);
  bool done = open->done_signal.wait_for(hold, std::chrono::milliseconds(ActionTimeLeft(jeu)),
                                         [&] { return open->done; });
  if (open->resolved) jeu->ip = open->ip;
  if (!done) {
    open->abandoned = true;
    if (open->resolved)
      SDL_SetError("no connection to %s:%d within %u ms", jeu->ip_server, jeu->port_server,
                   (unsigned)jeu->action_timeout_ms);
    else
      SDL_SetError("no address for %s within %u ms", jeu->ip_server,
                   (unsigned)jeu->action_timeout_ms);
  } else if (!open->resolved) {
    SDL_SetError("unknown host %s", jeu->ip_server);
  } else if (open->socket == NULL) {
    SDL_SetError("%s", open->error.c_str());
  }
  if (open->socket == NULL)
    return LogError(jeu, open->resolved ? "SDLNet_TCP_Open: %s\n" : "SDLNet_ResolveHost: %s\n");
  TCPsocket socket = open->socket;
  hold.unlock();
  Lock(jeu);
  jeu->tcpsock = socket;
  WireReset(&jeu->reader);
  Unlock(jeu);
  return 0;
}

// The chosen server: every address of its name tried in turn.
static int OpenChosen(Game *jeu) {
  int fd;
  const char *call;
  char problem[2048];
  if (ConnectServer(&jeu->server_chosen, ActionTimeLeft(jeu), &fd, &call, problem,
                    sizeof(problem))) {
    jeu->failure_cause = strcmp(call, "getaddrinfo") == 0 ? kCauseName : kCauseSilent;
    fprintf(jeu->file_log, "%s: %s\n", call, problem);
    fflush(jeu->file_log); // as LogError does: the action may end the client
    return 1;
  }
  Lock(jeu);
  jeu->socket_chosen = fd;
  WireReset(&jeu->reader);
  Unlock(jeu);
  return 0;
}

// A kept connection that a router dropped while the player was idle is
// found out by the kernel's probes, not by the next action failing.
static void ProbeWhileIdle(int fd) {
  int on = 1, idle_s = 60, every_s = 10, probes = 3;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof(idle_s));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &every_s, sizeof(every_s));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
}

// The connection kept from the last action, unless the server has closed
// it meanwhile: nothing of this action has gone out yet, so another one is
// opened unseen. Never plain to a tls:// server: a failure of TLS is one
// of the network.
static int OpenTls(Game *jeu) {
  int kept = jeu->kept && ClientTlsAlive(jeu->tls);
  Lock(jeu);
  if (!kept) CloseConnection(jeu);
  WireReset(&jeu->reader);
  Unlock(jeu);
  if (kept) return 0;
  if (OpenChosen(jeu)) return 1;
  ProbeWhileIdle(jeu->socket_chosen);
  if (ClientTlsOpen(jeu->tls, jeu->socket_chosen, jeu->server_chosen.host, ActionDeadline(jeu))) {
    jeu->failure_cause = ClientTlsCause(jeu->tls);
    return LogError(jeu, "%s\n");
  }
  if (ClientTlsFirstContact(jeu->tls))
    fprintf(jeu->file_log, "TLS: first contact: the server's certificate kept in %s\n",
            ClientTlsKnownPath(jeu->tls));
  jeu->kept = ClientTlsKept(jeu->tls);
  return 0;
}

// Messages sent together go in as few segments as they fit: the server
// would otherwise answer the first before the next arrive.
static void GatherOnSocket(Game *jeu, int on) {
  setsockopt(jeu->socket_chosen, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
}

static const Transport kBuiltIn = {
    OpenBuiltIn, SendBuiltIn, ReceiveBuiltIn, "SDLNet_TCP_Send: %s\n", "SDLNet_TCP_Recv: %s\n",
    NULL};
static const Transport kChosenPlain = {OpenChosen,   SendOnSocket, ReceiveChosen,
                                       "send: %s\n", "recv: %s\n", NULL};
static const Transport kChosenTls = {OpenTls,      SendOnTls,    ReceiveTlsBytes,
                                     "send: %s\n", "recv: %s\n", GatherOnSocket};

// Question: the transport sends without waiting.
static int Pipelines(const Game *jeu) {
  return TransportOf(jeu)->gather != NULL;
}

// The record starts zeroed: the built-in server until one is chosen.
static const Transport *TransportOf(const Game *jeu) {
  return jeu->transport != NULL ? jeu->transport : &kBuiltIn;
}

// Resolves the server and opens the action's connection, or takes the one
// kept.
static int OpenConnection(Game *jeu) {
  jeu->failure_cause = kCauseNone;
  return TransportOf(jeu)->open(jeu);
}

int CloseConnection(Game *jeu) {
  if (jeu->tcpsock != NULL) SDLNet_TCP_Close(jeu->tcpsock);
  jeu->tcpsock = NULL;
  if (jeu->tls != NULL) ClientTlsClose(jeu->tls);
  if (jeu->socket_chosen >= 0) close(jeu->socket_chosen);
  jeu->socket_chosen = -1;
  jeu->kept = 0;
  return 0;
}

/* Pictures (under the lock). */

// The replaced surface is freed under the lock: no frame is using it. The
// new one is fitted to the display like the pictures loaded at start.
static int LoadPictureInto(Game *jeu, PictureId picture) {
  if (LoadPictureRow(jeu, picture)) return 1;
  return FitToDisplay(jeu, &(jeu->*kPictureRows[picture].field));
}

// A character wakes up in the first place's room.
static int EnterRoom(Game *jeu) {
  return LoadPictureInto(jeu, kPlaces[0].background);
}

static int BackToSignIn(Game *jeu) {
  return LoadPictureInto(jeu, kPictureBackground);
}

// The sign-in screen's labels are part of the hall's picture: every way
// back from the game brings it along. Its failure is logged and does not
// keep the player from the sign-in screen.
static int HallFromTheGame(Game *jeu) {
  BackToSignIn(jeu);
  return 0;
}

static int FromTheGame(const char *start_word) {
  return strcmp(start_word, kConnected) == 0;
}

/* Endings. */

namespace {
// Runs under the lock; 1 on a local failure, already logged.
typedef int (*Hook)(Game *jeu);

// The end of a conversation: `before`, the state message (NULL: the status
// text composed in tmp_string2), `after`, the closing, the final state word.
typedef struct Ending {
  Hook before;
  const char *message;
  Hook after;
  const char *final_word;
} Ending;
} // namespace

// The status text is the one result made of the server's words: should it
// still fail to render, a fixed sentence takes its place.
static int ShowResult(Game *jeu, const Ending *ending) {
  if (ending->message != NULL) return ShowStateMessage(jeu, ending->message);
  return ShowStateMessage(jeu, jeu->tmp_string2) && ShowStateMessage(jeu, kStatusUnshown);
}

// All in one hold of the lock, so that the final word becomes visible with
// the message and pictures already in place.
static Outcome Finish(Game *jeu, const Ending *ending) {
  Lock(jeu);
  int failed = (ending->before != NULL && ending->before(jeu)) || ShowResult(jeu, ending) ||
               (ending->after != NULL && ending->after(jeu));
  if (!failed) {
    if (!jeu->kept) CloseConnection(jeu);
    StoreState(jeu, ending->final_word);
  }
  Unlock(jeu);
  return failed ? kLocalFailed : kDone;
}

// A refusal, or a verdict that ends the action: its message and the
// sign-in screen; nothing more is sent, the connection is not kept.
static Outcome EndEarly(Game *jeu, const char *message, const char *start_word) {
  jeu->kept = 0;
  const Ending ending = {FromTheGame(start_word) ? HallFromTheGame : NULL, message, NULL,
                         kDisconnected};
  return Finish(jeu, &ending) == kDone ? kEnded : kLocalFailed;
}

// What the window and the terminal say of each cause, on a chosen server;
// SERVER and FILE stand for the server and the file of kept certificates.
typedef struct CauseText {
  const char *message;
  const char *advice;
} CauseText;

static const CauseText kCauseTexts[kCauseCount] = {
    {kCheckConnection, NULL},
    {"Serveur introuvable: vérifiez son nom!",
     "the name of SERVER is not found: check how it is spelled, and the network"},
    {"Le serveur ne répond pas!",
     "nothing answers at SERVER: the server may be stopped, or the address or port wrong"},
    {"Le certificat du serveur a changé!",
     "the certificate of SERVER is not the one it showed the first time, so your name and "
     "password were not sent. If its host says the certificate was renewed, remove the line "
     "of SERVER from FILE and start the game again"},
    {"Certificat du serveur non reconnu!",
     "the certificate of SERVER is vouched for by no authority trusted (with --ca-file, only "
     "that file's), or could not be kept in FILE, so nothing was sent: the log says which; "
     "ask its host for the right authority file"},
    {"Ce n'est pas un serveur Varkel!",
     "SERVER does not answer as a Varkel server: check the port, and write tls:// only for "
     "a TLS port"},
};

static std::string Replaced(std::string text, const char *word, const std::string &by) {
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + by.size()))
    text.replace(at, strlen(word), by);
  return text;
}

// On the terminal, or from the menu (no terminal) as a notification.
static void TellPlayer(const std::string &text) {
  fprintf(stderr, "varkel: %s\n", text.c_str());
  const char *x11 = getenv("DISPLAY"), *wayland = getenv("WAYLAND_DISPLAY");
  if (isatty(STDERR_FILENO) ||
      ((x11 == NULL || x11[0] == '\0') && (wayland == NULL || wayland[0] == '\0')))
    return;
  const char *argv[] = {"notify-send", "--app-name=Varkel", "--icon=varkel",
                        "Varkel",      text.c_str(),        NULL};
  pid_t pid;
  if (posix_spawnp(&pid, "notify-send", NULL, NULL, (char *const *)argv, environ) == 0)
    waitpid(pid, NULL, 0);
}

// A server was chosen (VARKEL_SERVER): the built-in one keeps the
// messages it always had.
static int OnChosenServer(const Game *jeu) {
  return jeu->transport != NULL;
}

// Why the chosen server failed the action.
static FailureCause CauseOf(const Game *jeu) {
  return OnChosenServer(jeu) ? jeu->failure_cause : kCauseNone;
}

// What to do about it, for the terminal: once until the cause changes.
static std::string FailureAdvice(Game *jeu) {
  FailureCause cause = CauseOf(jeu);
  int told = cause == jeu->failure_told;
  jeu->failure_told = cause;
  if (cause == kCauseNone || told) return "";
  char server[VARKEL_HOST_MAX + 16];
  WriteServerAddress(&jeu->server_chosen, server, sizeof(server));
  const char *known = jeu->tls != NULL ? ClientTlsKnownPath(jeu->tls) : "";
  return Replaced(Replaced(kCauseTexts[cause].advice, "SERVER", server), "FILE", known);
}

// How a failed action ends, so that the client never stays busy: a network
// failure is shown as an unreachable server and sends the player back to
// the sign-in screen; a local failure puts back the action's first state
// word (a refused file has shown why). Returns the action's result.
static int EndAction(Game *jeu, const char *start_word, Outcome outcome) {
  if (outcome == kDone) return 0;
  if (outcome == kEnded) return 1;
  std::string advice = outcome == kNetworkFailed ? FailureAdvice(jeu) : "";
  Lock(jeu);
  CloseConnection(jeu);
  if (outcome == kNetworkFailed) {
    if (FromTheGame(start_word)) HallFromTheGame(jeu);
    ShowStateMessage(jeu, kCauseTexts[CauseOf(jeu)].message);
    StoreState(jeu, kDisconnected);
  } else {
    StoreState(jeu, start_word);
  }
  Unlock(jeu);
  // Not under the lock: telling may wait for a notification to go out.
  if (!advice.empty()) TellPlayer(advice);
  return 1;
}

/* Identification: four steps, one reply each, a table of reply words. */

namespace {
typedef enum StepText { kVersionText, kQueryText, kLoginText, kPasswordText } StepText;

typedef struct Refusal {
  const char *word;
  const char *message;
} Refusal;

typedef struct Step {
  StepText text;
  Refusal refusals[2]; // tested in this order; word NULL: none
} Step;
} // namespace

enum { kIdentificationSteps = WIRE_IDENTIFICATION_MESSAGES };

static const Step kHelloSteps[kIdentificationSteps] = {
    {kVersionText, {{WIRE_BAD_VERSION, "Vous devez télécharger la nouvelle version!"}}},
    {kQueryText, {}},
    {kLoginText,
     {{WIRE_BAD_LOGIN, "Ce nom n'existe pas!"}, {WIRE_DEAD, "Cette personne est décédée!"}}},
    {kPasswordText, {{WIRE_BAD_PASSWORD, "Ce code est incorrect!"}}},
};

static const Step kSubscribeSteps[kIdentificationSteps] = {
    {kVersionText, {{WIRE_BAD_VERSION, "Vous devez télécharger la nouvelle version!"}}},
    {kQueryText, {}},
    {kLoginText, {{WIRE_BAD_LOGIN, "Ce nom est déjà utilisé!"}}},
    {kPasswordText, {}},
};

// One "*" per character: the log never shows the password.
static void Mask(const char *text, char *shown, size_t size) {
  size_t n = 0;
  for (; *text != '\0' && n + 1 < size; text++)
    if (((unsigned char)*text & 0xC0) != 0x80) shown[n++] = '*';
  shown[n] = '\0';
}

// What a step sends, copied under the lock, and what the log shows of it.
static void TakeStepText(Game *jeu, StepText text, const char *query, char *out, size_t size,
                         char *shown, size_t shown_size) {
  Lock(jeu);
  if (text == kVersionText) {
    snprintf(jeu->tmp_string, sizeof(jeu->tmp_string), "%d", jeu->version);
    snprintf(out, size, "%s", jeu->tmp_string);
  }
  if (text == kQueryText) snprintf(out, size, "%s", query);
  if (text == kLoginText) snprintf(out, size, "%s", jeu->login);
  if (text == kPasswordText) snprintf(out, size, "%s", jeu->password);
  Unlock(jeu);
  if (text == kPasswordText)
    Mask(out, shown, shown_size);
  else
    snprintf(shown, shown_size, "%s", out);
}

static int SendOwn(Game *jeu, const WireConversation *conversation);

// A chosen server's first reply is a word of the game's or it is not a
// game server: nothing more goes to it (the built-in one is answered as
// it always was).
static int NotOurServer(Game *jeu, const Step *step) {
  if (!OnChosenServer(jeu) || step->text != kVersionText ||
      strcmp(jeu->datas_received, WIRE_OK) == 0 ||
      strcmp(jeu->datas_received, WIRE_BAD_VERSION) == 0)
    return 0;
  jeu->failure_cause = kCauseNotVarkel;
  fprintf(jeu->file_log, "not a Varkel server: its first reply is not \"%s\"\n", WIRE_OK);
  return 1;
}

static Outcome HearStep(Game *jeu, const Step *step, const char *start_word) {
  if (ReceiveReply(jeu) || NotOurServer(jeu, step)) return kNetworkFailed;
  for (const Refusal &refusal : step->refusals)
    if (refusal.word != NULL && strcmp(jeu->datas_received, refusal.word) == 0)
      return EndEarly(jeu, refusal.message, start_word);
  return kDone;
}

// In lock-step each message waits for its reply. Otherwise the four go out
// together with the action's own message (`conversation`, NULL: none),
// since no reply but a refusal, which ends everything, changes them.
static Outcome SendSteps(Game *jeu, const Step *steps, const char *query, const char *start_word,
                         const WireConversation *conversation) {
  int ahead = Pipelines(jeu);
  for (int n = 0; n < kIdentificationSteps; n++) {
    char text[WIRE_MESSAGE_MAX], shown[WIRE_MESSAGE_MAX];
    TakeStepText(jeu, steps[n].text, query, text, sizeof(text), shown, sizeof(shown));
    if (SendText(jeu, text, shown)) return kNetworkFailed;
    Outcome outcome = ahead ? kDone : HearStep(jeu, &steps[n], start_word);
    if (outcome != kDone) return outcome;
  }
  if (ahead && conversation != NULL && SendOwn(jeu, conversation)) return kNetworkFailed;
  return kDone;
}

static Outcome RunSteps(Game *jeu, const Step *steps, const char *query, const char *start_word,
                        const WireConversation *conversation) {
  int ahead = Pipelines(jeu);
  if (ahead) TransportOf(jeu)->gather(jeu, 1);
  Outcome sent = SendSteps(jeu, steps, query, start_word, conversation);
  if (ahead) TransportOf(jeu)->gather(jeu, 0);
  if (sent != kDone) return sent;
  for (int n = 0; ahead && n < kIdentificationSteps; n++) {
    Outcome outcome = HearStep(jeu, &steps[n], start_word);
    if (outcome != kDone) return outcome;
  }
  return kDone;
}

// 0 when identified, the connection open; 1 when the action has ended.
static int Identify(Game *jeu, const Step *steps, const char *query, const char *start_word,
                    const WireConversation *conversation) {
  Outcome outcome = RunSteps(jeu, steps, query, start_word, conversation);
  return outcome == kDone ? 0 : EndAction(jeu, start_word, outcome);
}

/* The actions' own messages, after the identification: what each one
   says and how many replies it takes come from kWireConversations. */

// The name once more, copied under the lock.
static int SendLogin(Game *jeu) {
  char login[sizeof(jeu->login)];
  Lock(jeu);
  snprintf(login, sizeof(login), "%s", jeu->login);
  Unlock(jeu);
  return SendText(jeu, login, login);
}

static int SendSpeech(Game *jeu) {
  Lock(jeu);
  snprintf(jeu->datas_received, sizeof(jeu->datas_received), "%s%s%s", jeu->login,
           WIRE_SPEECH_SEPARATOR, jeu->speak);
  Unlock(jeu);
  return SendText(jeu, jeu->datas_received, jeu->datas_received);
}

// Takes reply n (0 the first) in datas_received, before its "OK" if any.
typedef Outcome (*Heard)(Game *jeu, int n, void *context);

static int SendOwn(Game *jeu, const WireConversation *conversation) {
  if (conversation->client_says == WIRE_SAYS_NAME) return SendLogin(jeu);
  if (conversation->client_says == WIRE_SAYS_SPEECH) return SendSpeech(jeu);
  return 0;
}

// A server that keeps the connection sends every reply without waiting:
// they are acknowledged together after the last; another one waits for
// each acknowledgement before its next reply.
static Outcome Talk(Game *jeu, const WireConversation *conversation, Heard heard, void *context) {
  if (!Pipelines(jeu) && SendOwn(jeu, conversation)) return kNetworkFailed;
  int together = jeu->kept;
  for (int n = 0; n < conversation->replies; n++) {
    if (ReceiveReply(jeu)) return kNetworkFailed;
    Outcome outcome = heard != NULL ? heard(jeu, n, context) : kDone;
    if (outcome != kDone) return outcome;
    if (conversation->acknowledged && !together && SendText(jeu, WIRE_OK, WIRE_OK))
      return kNetworkFailed;
  }
  if (!together || !conversation->acknowledged) return kDone;
  TransportOf(jeu)->gather(jeu, 1);
  int failed = 0;
  for (int n = 0; !failed && n < conversation->replies; n++)
    failed = SendText(jeu, WIRE_OK, WIRE_OK);
  TransportOf(jeu)->gather(jeu, 0);
  return failed ? kNetworkFailed : kDone;
}

static Outcome HeardVerdict(Game *jeu, int, void *) {
  if (strcmp(jeu->datas_received, WIRE_DEAD) != 0) return kDone;
  return EndEarly(jeu, "Vous êtes déjà décédé!", kDisconnected);
}

static Outcome Verdict(Game *jeu, const WireConversation *conversation) {
  return Talk(jeu, conversation, HeardVerdict, NULL);
}

// A line break inside a heard line would make two lines of chat.dat and
// shift every memory position after it: it is kept as a blank.
static void KeepOnOneLine(char *text) {
  for (char *c = text; *c != '\0'; c++)
    if (*c == '\n' || *c == '\r') *c = ' ';
}

// One heard line into chat.dat.
static Outcome HeardLine(Game *jeu, int, void *) {
  KeepOnOneLine(jeu->datas_received);
  fprintf(jeu->file, "%s\n", jeu->datas_received);
  LogText(jeu->file_log, "Wroten: \"%s\n\"\n", jeu->datas_received);
  return kDone;
}

// The listening: every line heard, chat.dat rewritten. The last line stays
// in datas_received for ShowHeardLine.
static Outcome Listening(Game *jeu, const WireConversation *conversation) {
  Lock(jeu);
  int refused = OpenDataFile(jeu, "chat.dat", kFileWrite, jeu->tmp_string, sizeof(jeu->tmp_string),
                             &jeu->file);
  Unlock(jeu);
  if (refused) return kLocalFailed;
  Outcome outcome = Talk(jeu, conversation, HeardLine, NULL);
  fclose(jeu->file);
  jeu->file = NULL;
  return outcome;
}

namespace {
typedef struct Need {
  const char *file;  // holds the value received, for the player's scripts
  const char *words; // put before the value in the status text
} Need;
} // namespace

static const Need kNeeds[] = {
    {"faim.dat", "Vous avez faim à "},
    {"soif.dat", "%, soif à "},
    {"sommeil.dat", "%, sommeil à "},
};

// Each value keeps at most this many bytes, cut at a character boundary:
// the three values and the fixed words always fit tmp_string2. The screen
// takes fewer (FitStatus).
enum { kStatusValueMax = 300, kStatusValueKept = 3 };
static_assert(3 * kStatusValueMax + 44 < sizeof(((Game *)0)->tmp_string2), "status text fits");

static int WriteStatusFile(Game *jeu, const char *name) {
  Lock(jeu);
  int failed =
      OpenDataFile(jeu, name, kFileWrite, jeu->tmp_string, sizeof(jeu->tmp_string), &jeu->file);
  if (!failed) {
    fprintf(jeu->file, "%s\n", jeu->datas_received);
    fclose(jeu->file);
  }
  jeu->file = NULL;
  Unlock(jeu);
  return failed;
}

enum { kNeedCount = SDL_arraysize(kNeeds) };
static_assert(kWireConversations[WIRE_STATUS].replies == kNeedCount, "one reply per need");
typedef char StatusValues[kNeedCount][kStatusValueMax + 1];

// The status text with each value cut to at most `characters` characters.
static void ComposeStatus(Game *jeu, const StatusValues values, int characters) {
  jeu->tmp_string2[0] = '\0';
  for (int n = 0; n < kNeedCount; n++) {
    int length = 0;
    for (int count = 0; values[n][length] != '\0'; length++)
      if (((unsigned char)values[n][length] & 0xC0) != 0x80 && count++ == characters) break;
    size_t used = strlen(jeu->tmp_string2);
    snprintf(jeu->tmp_string2 + used, sizeof(jeu->tmp_string2) - used, "%s%.*s", kNeeds[n].words,
             length, values[n]);
  }
  size_t used = strlen(jeu->tmp_string2);
  snprintf(jeu->tmp_string2 + used, sizeof(jeu->tmp_string2) - used, "%%");
}

static int StatusFits(Game *jeu, const StatusValues values, int characters) {
  int w = 0, h = 0;
  ComposeStatus(jeu, values, characters);
  return TTF_SizeUTF8(jeu->font1, jeu->tmp_string2, &w, &h) == 0 && w <= jeu->screen_w;
}

// Values of wide letters make a text wider than the screen, which SDL_ttf
// may refuse to render at all: every value is cut to the most characters
// that let the whole text fit the screen's width, but never below those of
// a whole need ("100"), which a cut would turn into another number. The
// text of three full needs is a little wider than the screen already.
// Caller holds the lock.
static void FitStatus(Game *jeu, const StatusValues values) {
  int fits = kStatusValueKept, wider = kStatusValueMax + 1;
  while (wider - fits > 1) {
    int middle = (fits + wider) / 2;
    if (StatusFits(jeu, values, middle))
      fits = middle;
    else
      wider = middle;
  }
  ComposeStatus(jeu, values, fits);
}

// One need into its file and into the values.
static Outcome HeardNeed(Game *jeu, int n, void *context) {
  if (WriteStatusFile(jeu, kNeeds[n].file)) return kLocalFailed;
  StatusValues &values = *(StatusValues *)context;
  CopyCut(values[n], sizeof(values[n]), jeu->datas_received);
  return kDone;
}

static Outcome Status(Game *jeu, const WireConversation *conversation) {
  StatusValues values;
  Outcome outcome = Talk(jeu, conversation, HeardNeed, &values);
  if (outcome != kDone) return outcome;
  Lock(jeu);
  FitStatus(jeu, values);
  Unlock(jeu);
  return kDone;
}

/* Pictures and lines shown at the end (hooks, under the lock). */

// Shows a heard or remembered line in the message bar, cut to `message`.
// An empty line shows nothing (the draw list skips an empty message). A
// line that cannot be rendered leaves the previous one.
static int ShowLine(Game *jeu, const char *line) {
  char previous[sizeof(jeu->message)];
  snprintf(previous, sizeof(previous), "%s", jeu->message);
  CopyCut(jeu->message, sizeof(jeu->message), line);
  if (RenderText(jeu->font_message, jeu->message, jeu->color_font_message, &jeu->sfc_text_message,
                 jeu->file_log) == 0)
    return 0;
  snprintf(jeu->message, sizeof(jeu->message), "%s", previous);
  return 1;
}

static int ShowHeardLine(Game *jeu) {
  int previous = jeu->current_message;
  jeu->current_message = 0;
  if (ShowLine(jeu, jeu->datas_received) == 0) return 0;
  jeu->current_message = previous;
  return 1;
}

static int LoadPlace(Game *jeu, const PlaceRow *place) {
  if (LoadPictureInto(jeu, place->background)) return 1;
  int special = place->special != kPictureCount;
  if (special) {
    if (LoadPictureInto(jeu, place->special)) return 1;
    PlaceSpecial(jeu, place);
  }
  snprintf(jeu->place_current, sizeof(jeu->place_current), "%s", place->name);
  if (special) SetOpacity(jeu->sfc_bmp_special, kTranslucent);
  return 0;
}

// The server does not choose the place: the place bar does.
static int GoToPlace(Game *jeu) {
  const PlaceRow *place = FindPlace(jeu->place);
  return place != NULL ? LoadPlace(jeu, place) : 0;
}

/* The twelve actions. */

namespace {
typedef Outcome (*Exchange)(Game *jeu, const WireConversation *conversation);

typedef struct Memory {
  int step;
  const char *bound_message; // shown at the end of the lines
} Memory;

typedef struct ActionRow {
  int (*function)(void *);
  const char *busy_word;                // NULL: a memory action, which keeps etat
  const char *start_word;               // the screen it is started from
  const WireConversation *conversation; // NULL: no server
  const Step *identification;           // kHelloSteps, or the creation's own
  Exchange exchange;                    // what it makes of the replies; NULL: they are logged only
  Ending ending;
  Memory memory; // a memory action's way through the lines heard
} ActionRow;
} // namespace

static const ActionRow kActions[] = {
    {ActionSubscribe,
     "subscribtion",
     kDisconnected,
     &kWireConversations[WIRE_SUBSCRIBE],
     kSubscribeSteps,
     NULL,
     {NULL, "Vous êtes né.", NULL, kDisconnected},
     {}},
    {ActionConnect,
     "connexion",
     kDisconnected,
     &kWireConversations[WIRE_CONNECT],
     kHelloSteps,
     NULL,
     {NULL, "Vous êtes réveillé.", EnterRoom, kConnected},
     {}},
    {ActionUnsubscribe,
     "unsubscribtion",
     kDisconnected,
     &kWireConversations[WIRE_UNSUBSCRIBE],
     kHelloSteps,
     Verdict,
     {NULL, "Vous êtes mort.", NULL, kDisconnected},
     {}},
    {ActionDisconnect,
     "sleeping",
     kConnected,
     &kWireConversations[WIRE_SLEEP],
     kHelloSteps,
     NULL,
     {BackToSignIn, "Vous êtes endormi.", NULL, kDisconnected},
     {}},
    {ActionSpeak,
     "speaking",
     kConnected,
     &kWireConversations[WIRE_SPEAK],
     kHelloSteps,
     NULL,
     {NULL, "Vous avez parlé.", NULL, kConnected},
     {}},
    {ActionRefresh,
     "refreshing",
     kConnected,
     &kWireConversations[WIRE_LISTEN],
     kHelloSteps,
     Listening,
     {NULL, "Vous avez écouté.", ShowHeardLine, kConnected},
     {}},
    {ActionAnalyze,
     "analysing",
     kConnected,
     &kWireConversations[WIRE_STATUS],
     kHelloSteps,
     Status,
     {NULL, NULL, NULL, kConnected},
     {}},
    {ActionDrink,
     "drinking",
     kConnected,
     &kWireConversations[WIRE_DRINK],
     kHelloSteps,
     NULL,
     {NULL, "Vous avez étanché votre soif.", NULL, kConnected},
     {}},
    {ActionEat,
     "eating",
     kConnected,
     &kWireConversations[WIRE_EAT],
     kHelloSteps,
     NULL,
     {NULL, "Vous êtes rassasié.", NULL, kConnected},
     {}},
    {ActionMove,
     "moving",
     kConnected,
     &kWireConversations[WIRE_MOVE],
     kHelloSteps,
     NULL,
     {NULL, "Vous vous êtes déplacé.", GoToPlace, kConnected},
     {}},
    {ActionRememberBefore,
     NULL,
     kConnected,
     NULL,
     NULL,
     NULL,
     {NULL, "Vous cherchez dans votre mémoire.", NULL, NULL},
     {-1, "Vous ne vous souvenez plus!"}},
    {ActionRememberAfter,
     NULL,
     kConnected,
     NULL,
     NULL,
     NULL,
     {NULL, "Vous cherchez dans votre mémoire.", NULL, NULL},
     {+1, "C'est la dernière chose entendue!"}},
};

static const ActionRow *RowOf(int (*function)(void *)) {
  for (const ActionRow &row : kActions)
    if (row.function == function) return &row;
  return NULL;
}

const char *ActionBusyWord(int (*action)(void *)) {
  const ActionRow *row = RowOf(action);
  return row != NULL ? row->busy_word : NULL;
}

// For a caller that holds only the query word: the identification of the
// action that speaks it, from that action's screen.
int Hello(void *query, Game *jeu) {
  const char *word = (const char *)query;
  const char *start_word = kDisconnected;
  for (const ActionRow &row : kActions)
    if (row.conversation != NULL && strcmp(row.conversation->word, word) == 0)
      start_word = row.start_word;
  return Identify(jeu, kHelloSteps, word, start_word, NULL);
}

// The skeleton of the ten networked actions.
static int Converse(Game *jeu, const ActionRow *row) {
  Lock(jeu);
  StoreState(jeu, row->busy_word);
  Unlock(jeu);
  if (OpenConnection(jeu)) return EndAction(jeu, row->start_word, kNetworkFailed);
  if (Identify(jeu, row->identification, row->conversation->word, row->start_word,
               row->conversation))
    return 1;
  Outcome outcome = row->exchange != NULL ? row->exchange(jeu, row->conversation)
                                          : Talk(jeu, row->conversation, NULL, NULL);
  if (outcome == kDone) outcome = Finish(jeu, &row->ending);
  return EndAction(jeu, row->start_word, outcome);
}

// The action's time limit runs from its start to its end.
// The deadline is left as it is at the end: once the final state word is
// written the next action may already run, and it sets its own.
static int RunNetworked(Game *jeu, const ActionRow *row) {
  jeu->action_deadline = SDL_GetTicks() + jeu->action_timeout_ms;
  if (jeu->action_deadline == 0) jeu->action_deadline = 1;
  return Converse(jeu, row);
}

/* Memory browsing: local, short, under both locks for its whole run. */

// One line of at most size - 1 bytes; the rest of a longer line is
// skipped, so that lines are still counted right. 1 at the end of the file.
static int ReadLine(FILE *file, char *line, int size) {
  if (fgets(line, size, file) == NULL) return 1;
  size_t length = strlen(line);
  if (length > 0 && line[length - 1] != '\n') {
    int c;
    while ((c = getc(file)) != EOF && c != '\n') {
    }
  }
  return 0;
}

// The line of the current position into datas_file; an empty line when
// chat.dat is shorter (a listening that stopped part-way).
static int ReadMemoryLine(Game *jeu) {
  if (OpenDataFile(jeu, "chat.dat", kFileRead, jeu->tmp_string, sizeof(jeu->tmp_string),
                   &jeu->file))
    return 1;
  int wanted = jeu->current_message + WIRE_LISTEN_LINES;
  int found = 0;
  jeu->i = 0;
  while (!found && ReadLine(jeu->file, jeu->datas_file, sizeof(jeu->datas_file)) == 0) {
    jeu->i++;
    found = jeu->i == wanted;
  }
  fclose(jeu->file);
  jeu->file = NULL;
  size_t length = found ? strlen(jeu->datas_file) : 0;
  if (length > 0 && jeu->datas_file[length - 1] == '\n') length--;
  jeu->datas_file[length] = '\0';
  return 0;
}

static int RememberLocked(Game *jeu, const ActionRow *row) {
  if (strcmp(jeu->message, kNothingHeard) == 0)
    return ShowStateMessage(jeu, "Vous n'avez encore rien écouté!");
  int next = jeu->current_message + row->memory.step;
  if (next < kOldestPosition || next > kNewestPosition)
    return ShowStateMessage(jeu, row->memory.bound_message);
  jeu->current_message = next;
  if (ReadMemoryLine(jeu)) return 1;
  std::string format = "Read: \"%s\" at line " + std::to_string(jeu->i) + "\n";
  LogText(jeu->file_log, format.c_str(), jeu->datas_file);
  return ShowLine(jeu, jeu->datas_file) || ShowStateMessage(jeu, row->ending.message);
}

static int Remember(Game *jeu, const ActionRow *row) {
  SDL_LockMutex(jeu->memory_lock);
  Lock(jeu);
  int failed = RememberLocked(jeu, row);
  Unlock(jeu);
  SDL_UnlockMutex(jeu->memory_lock);
  return failed;
}

static int RunAction(void *Data, int (*function)(void *)) {
  Game *jeu = (Game *)Data;
  const ActionRow *row = RowOf(function);
  return row->busy_word == NULL ? Remember(jeu, row) : RunNetworked(jeu, row);
}

int ActionSubscribe(void *Data) {
  return RunAction(Data, ActionSubscribe);
}
int ActionConnect(void *Data) {
  return RunAction(Data, ActionConnect);
}
int ActionUnsubscribe(void *Data) {
  return RunAction(Data, ActionUnsubscribe);
}
int ActionDisconnect(void *Data) {
  return RunAction(Data, ActionDisconnect);
}
int ActionSpeak(void *Data) {
  return RunAction(Data, ActionSpeak);
}
int ActionAnalyze(void *Data) {
  return RunAction(Data, ActionAnalyze);
}
int ActionDrink(void *Data) {
  return RunAction(Data, ActionDrink);
}
int ActionEat(void *Data) {
  return RunAction(Data, ActionEat);
}
int ActionMove(void *Data) {
  return RunAction(Data, ActionMove);
}
int ActionRememberBefore(void *Data) {
  return RunAction(Data, ActionRememberBefore);
}
int ActionRememberAfter(void *Data) {
  return RunAction(Data, ActionRememberAfter);
}

// A listening rewrites chat.dat: no memory browsing meanwhile.
int ActionRefresh(void *Data) {
  Game *jeu = (Game *)Data;
  SDL_LockMutex(jeu->memory_lock);
  int failed = RunAction(Data, ActionRefresh);
  SDL_UnlockMutex(jeu->memory_lock);
  return failed;
}

// VARKEL_KNOWN_SERVERS, else known_servers in the player's settings
// (XDG_CONFIG_HOME, ~/.config); "" when there is no home.
static std::string KnownServersPath() {
  const char *given = getenv("VARKEL_KNOWN_SERVERS");
  if (given != NULL && given[0] != '\0') return given;
  const char *config = getenv("XDG_CONFIG_HOME");
  if (config != NULL && config[0] == '/') return std::string(config) + "/varkel/known_servers";
  const char *home = getenv("HOME");
  if (home != NULL && home[0] == '/') return std::string(home) + "/.config/varkel/known_servers";
  return "";
}

// Read once at start, so that a player can pick a server without
// rebuilding; NULL or empty keeps the built-in address.
int ChooseServer(Game *jeu, const char *value) {
  if (value == NULL || value[0] == '\0') return 0;
  char problem[512];
  if (ReadServerAddress(value, VARKEL_SERVER_PORT, &jeu->server_chosen, problem, sizeof(problem))) {
    printf("VARKEL_SERVER: %s: %s\n", problem, value);
    return 1;
  }
  // A host's own authority for TLS comes in VARKEL_CA_FILE.
  char server[VARKEL_HOST_MAX + 16];
  WriteServerAddress(&jeu->server_chosen, server, sizeof(server));
  if (jeu->server_chosen.tls &&
      ClientTlsNew(getenv("VARKEL_CA_FILE"), KnownServersPath().c_str(), server, &jeu->tls)) {
    printf("%s\n", SDL_GetError());
    return 1;
  }
  jeu->transport = jeu->server_chosen.tls ? &kChosenTls : &kChosenPlain;
  return 0;
}
