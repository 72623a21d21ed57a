// SPDX-License-Identifier: MIT
// One conversation with a client, as a state machine driven by its loop:
// each complete message moves it one stage on. The identification comes
// first, then the exchange of its query word. Every change is committed
// before the reply that acknowledges it; any breach of the protocol, a
// silence longer than the read limit or a message over 1024 bytes ends the
// connection.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "common/varkel_tls.h"
#include "server_internal.h"

// What a step tells its caller (see server.h); DONE: the conversation is
// over, its connection may carry the next one.
enum { GO_ON = 0, END = 1, DONE = 2 };

// Replies a client leaves unread past this many bytes: it is dropped.
static const size_t kUnreadMost = 4 * WIRE_LISTEN_LINES * WIRE_MESSAGE_MAX;

namespace {

enum Stage {
  STAGE_PROXY, // from a balancer: its PROXY header comes first
  STAGE_VERSION,
  STAGE_QUERY,
  STAGE_NAME,
  STAGE_PASSWORD,
  STAGE_HASHING,    // a hashing thread has it
  STAGE_HELD,       // its refusal waits, the loop's `held` has it
  STAGE_STORE,      // a store thread has its job
  STAGE_NAME_AGAIN, // sleep, status, drink, eat, move
  STAGE_SPEECH,
  STAGE_ACKS, // texts sent one by one, each answered "OK"
};

// A query's flow once the client's last message is in (see kQueries).
typedef struct Query {
  enum WireQuery query;
  enum StoreCall call;                      // what is stored, or read
  enum BodyChange change;                   // STORE_UPDATE: what it does to the body
  int ok_first;                             // "OK" goes out before the call
  int (*answer)(struct Conversation *talk); // once the call is back: the replies
} Query;

} // namespace

typedef struct Conversation {
  Loop *loop;
  int fd;
  SSL *tls;                     // NULL for a plain one, or until its ClientHello is whole
  int handshaking;              // its TLS handshake is not over yet
  Handle handle;                // what its loop's epoll holds
  struct sockaddr_storage peer; // the client's, once a balancer named it
  Admission admission;
  int admitted;            // counted in the guard and the server's total
  int spoke;               // a first whole message came
  int served;              // identified, or created
  int evicted;             // closed to make room for a newcomer
  int conversations;       // over on this connection (TLS keeps it)
  double started_ms;       // for the whole conversation's limit
  std::string proxy_bytes; // STAGE_PROXY: the header so far
  enum Stage stage;
  const Query *query_entry;
  WireReader reader;
  char message[WIRE_MESSAGE_MAX];
  char query[WIRE_MESSAGE_MAX]; // as received, for the log
  char name[WIRE_MESSAGE_MAX];  // as received at the identification
  const char *outcome;          // for the log
  Account account;
  int reserved;                     // holds its name while creating it
  std::vector<std::string> pending; // texts of STAGE_ACKS
  size_t pending_next;
  size_t acks_due; // texts sent, not yet answered
  // Replies the socket has not taken yet; the write under way (TLS tries it
  // again whole) and whether the loop waits for the socket to be writable.
  std::string out;
  size_t out_trying;
  int watching_out;
  // The slow hash: the loop fills the password, a hashing thread the rest.
  char password[WIRE_MESSAGE_MAX];
  char new_hash[crypto_pwhash_STRBYTES];
  int hash_failed;
  int delay_ms;         // of the refusal of a wrong or unchecked password
  double hold_until_ms; // a name under attack: no answer before
  int owner;        // identified from this address before: spared its network's and name's holds
  int owner_stored; // the store knows the address as the owner's
  std::atomic<int> gone;                    // the client left while it waited for its hash
  double release_ms;                        // when held: the time of its answer
  int held_right;                           // the held answer lets it in
  WorkJob work;                             // its hash or its store call, queued
  StoreJob job;                             // when STAGE_STORE: the call a store thread makes
  int (*stored)(struct Conversation *talk); // goes on once the job is back
  // Place in the loop's list, by deadline of the next message.
  double deadline_ms;
  struct Conversation *earlier;
  struct Conversation *later;
} Conversation;

// The game's clock, which the tests move; its conversations alone read it.
double ServerNow(Server *server) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec + now.tv_nsec / 1e9 + server->clock_offset_ms.load() / 1000.0;
}

void ServerMoveClock(Server *server, double seconds) {
  server->clock_offset_ms += (long long)(seconds * 1000.0);
}

// ---- The loop's list of waiting conversations -------------------------------

static void Unlink(Conversation *talk) {
  Loop *loop = talk->loop;
  (talk->earlier ? talk->earlier->later : loop->oldest) = talk->later;
  (talk->later ? talk->later->earlier : loop->newest) = talk->earlier;
  talk->earlier = talk->later = NULL;
}

// The server, not the client, is the slow one.
static int Waits(const Conversation *talk) {
  return talk->stage == STAGE_HASHING || talk->stage == STAGE_HELD || talk->stage == STAGE_STORE;
}

// The client and the server agreed in the handshake that the connection
// carries one conversation after another, the replies sent without waiting.
static int Keeps(const Conversation *talk) {
  return talk->tls != NULL && !talk->handshaking && TlsKept(talk->tls);
}

// A TLS connection kept for its client's next conversation.
static int Between(const Conversation *talk) {
  return talk->conversations > 0 && !talk->spoke;
}

// Nearly every deadline is now plus the same limit, so the newest goes
// last; one cut short by the whole conversation's limit goes a little
// further up.
static void Append(Conversation *talk) {
  Loop *loop = talk->loop;
  const ServerConfig &config = loop->server->config;
  double now = MonotonicMs();
  talk->deadline_ms = now + (Between(talk) ? config.kept_idle_ms : config.read_timeout_ms);
  int limit_ms = config.conversation_ms;
  if (talk->handshaking && TLS_HANDSHAKE_MS < limit_ms) limit_ms = TLS_HANDSHAKE_MS;
  double last = talk->started_ms + limit_ms;
  if (!Waits(talk) && !Between(talk) && last < talk->deadline_ms)
    talk->deadline_ms = last > now ? last : now;
  Conversation *before = loop->newest;
  while (before != NULL && before->deadline_ms > talk->deadline_ms)
    before = before->earlier;
  talk->earlier = before;
  talk->later = before != NULL ? before->later : loop->oldest;
  (talk->later ? talk->later->earlier : loop->newest) = talk;
  (before != NULL ? before->later : loop->oldest) = talk;
}

static void Rewind(Conversation *talk) {
  Unlink(talk);
  Append(talk);
}

// ---- Log and end -------------------------------------------------------------

// A received text fit for the log: printable ASCII as is, the rest as
// \xHH, cut short.
static void Printable(const char *text, char *out, size_t out_size) {
  size_t used = 0;
  for (const char *c = text; *c != '\0' && used + 5 < out_size && c - text < 32; c++) {
    unsigned char byte = (unsigned char)*c;
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      out[used++] = *c;
    } else {
      used += (size_t)snprintf(out + used, out_size - used, "\\x%02X", byte);
    }
  }
  out[used] = '\0';
}

static void PeerText(const struct sockaddr_storage *address, char *out, size_t out_size) {
  snprintf(out, out_size, "?");
  if (address->ss_family == AF_INET) {
    inet_ntop(AF_INET, &((const struct sockaddr_in *)address)->sin_addr, out, out_size);
  } else if (address->ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &((const struct sockaddr_in6 *)address)->sin6_addr, out, out_size);
  } else if (address->ss_family == AF_UNIX) {
    snprintf(out, out_size, "local");
  }
}

// Never the password: only the query word and the name are written.
static void LogConversation(Conversation *talk) {
  char peer[INET6_ADDRSTRLEN];
  char query[160];
  char name[160];
  PeerText(&talk->peer, peer, sizeof(peer));
  Printable(talk->query, query, sizeof(query));
  Printable(talk->name, name, sizeof(name));
  fprintf(talk->loop->server->config.log, "varkel_server: %s \"%s\" \"%s\": %s\n", peer, query,
          name, talk->outcome);
}

static void Release(Server *server, const char *name) {
  std::lock_guard<std::mutex> hold(server->reserved_lock);
  server->reserved.erase(name);
}

// Takes a held conversation off the loop's table of refusals due.
static void Unhold(Conversation *talk) {
  auto due = talk->loop->held.equal_range(talk->release_ms);
  for (auto entry = due.first; entry != due.second; ++entry) {
    if (entry->second != talk) continue;
    talk->loop->held.erase(entry);
    break;
  }
}

static const char kNoHeader[] = "no PROXY header";

// A balancer's own health check, every few seconds all day: its address,
// then nothing, or a header and at most the "Bad login" of a name no
// character has. A balancer that sends no header is still told of.
static int BalancerCheck(Conversation *talk) {
  if (!PrefixListHolds(talk->loop->server->config.proxy_from, &talk->peer)) return 0;
  if (strcmp(talk->outcome, kNoHeader) == 0) return 0;
  return !talk->spoke || strcmp(talk->outcome, WIRE_BAD_LOGIN) == 0;
}

// A line of its own for a conversation that got somewhere; those that never
// sent a whole message, and those past the log's rates, are summed up. A
// refused connection (no outcome) was counted already, a kept one closed
// between conversations logged each of them.
static void Note(Conversation *talk) {
  Guard *guard = &talk->loop->server->guard;
  std::string key = talk->admitted ? talk->admission.key : PeerKey(&talk->peer);
  double now = MonotonicMs();
  if (talk->outcome == NULL || Between(talk) || BalancerCheck(talk)) return;
  if (!talk->spoke) return GuardDropped(guard, key, now);
  if (talk->served ? GuardMayLogServed(guard, key, now) : GuardMayLog(guard, key, now))
    LogConversation(talk);
}

static void End(Conversation *talk) {
  Server *server = talk->loop->server;
  Note(talk);
  Unlink(talk);
  if (talk->stage == STAGE_HELD) Unhold(talk);
  if (talk->reserved) Release(server, talk->name);
  // Closing alone leaves the watch in place while anything else still holds
  // the socket, and its next event would name a freed conversation.
  epoll_ctl(talk->loop->epoll_fd, EPOLL_CTL_DEL, talk->fd, NULL);
  TlsClose(talk->tls);
  close(talk->fd);
  if (talk->admitted) {
    GuardLeave(&server->guard, talk->admission);
    server->open_conversations--;
  }
  sodium_memzero(talk->password, sizeof(talk->password));
  sodium_memzero(&talk->reader, sizeof(talk->reader));
  sodium_memzero(talk->message, sizeof(talk->message));
  delete talk;
}

// ---- Replies -----------------------------------------------------------------

static int Fail(Conversation *talk, const char *outcome) {
  talk->outcome = outcome;
  return END;
}

// The socket watched for writing too while replies wait to go out.
static int WatchOut(Conversation *talk, int on) {
  if (talk->watching_out == on) return 0;
  struct epoll_event event;
  event.events = on ? EPOLLIN | EPOLLOUT : EPOLLIN;
  event.data.ptr = &talk->handle;
  if (epoll_ctl(talk->loop->epoll_fd, EPOLL_CTL_MOD, talk->fd, &event) != 0) {
    talk->outcome = "epoll_ctl failed";
    return 1;
  }
  talk->watching_out = on;
  return 0;
}

// The one writer of both kinds of connection: what the socket does not
// take now goes when it is writable; a TLS write is tried again with the
// same length. 1 when the connection failed.
static int Flush(Conversation *talk) {
  while (!talk->out.empty()) {
    size_t length = talk->out_trying != 0 ? talk->out_trying : talk->out.size();
    ssize_t sent = talk->tls != NULL ? TlsWrite(talk->tls, talk->out.data(), length)
                                     : send(talk->fd, talk->out.data(), length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      talk->out_trying = talk->tls != NULL ? length : 0;
      return WatchOut(talk, 1);
    }
    if (sent <= 0) {
      talk->outcome = "send failed";
      return 1;
    }
    talk->out.erase(0, (size_t)sent);
    talk->out_trying = 0;
  }
  return WatchOut(talk, 0);
}

static int QueueReply(Conversation *talk, const char *text) {
  if (talk->out.size() > kUnreadMost) {
    talk->outcome = "not reading";
    return 1;
  }
  talk->out.append(text, strlen(text) + 1);
  return 0;
}

static int SendMessage(Conversation *talk, const char *text) {
  return QueueReply(talk, text) || Flush(talk);
}

// Sends a refusal word and ends the conversation.
static int Refuse(Conversation *talk, const char *word) {
  if (SendMessage(talk, word) == 0) talk->outcome = word;
  return END;
}

// Sends a reply; GO_ON when it went out.
static int Reply(Conversation *talk, const char *word) {
  if (SendMessage(talk, word) != 0) return END;
  talk->outcome = word;
  return GO_ON;
}

// The last reply of a conversation.
static int Finish(Conversation *talk, const char *word) {
  return Reply(talk, word) == GO_ON ? DONE : END;
}

static int ReplyAndWait(Conversation *talk, enum Stage stage) {
  if (Reply(talk, WIRE_OK) != GO_ON) return END;
  talk->stage = stage;
  return GO_ON;
}

// Hands slow work to a queue, in its lane's turn of `key`; `done` goes on
// with the conversation once it is back on the loop.
static void Queue(Conversation *talk, WorkQueue *queue, int lane, const std::string &key,
                  void *subject, void (*done)(void *talk)) {
  talk->work.lane = lane;
  talk->work.key = key;
  talk->work.subject = subject;
  talk->work.done = done;
  talk->work.asker = talk;
  talk->work.back = &talk->loop->done;
  WorkSubmit(queue, &talk->work);
}

static void Stored(void *talk);
static void Checked(void *talk);

// A database call for the store threads; `then` goes on with the
// conversation once the job is back on the loop.
static StoreJob *NewJob(Conversation *talk, enum StoreCall call, const char *name) {
  Server *server = talk->loop->server;
  talk->job = StoreJobFor(&server->store, call, name);
  talk->job.now = ServerNow(server);
  return &talk->job;
}

// A character's calls take turns with the others'.
static int Ask(Conversation *talk, int (*then)(Conversation *talk)) {
  Server *server = talk->loop->server;
  talk->stored = then;
  talk->stage = STAGE_STORE;
  Queue(talk, &server->store_calls, WORK_FIRST, talk->job.name, &talk->job, Stored);
  return GO_ON;
}

// From the row read at the identification (`known`), written only if the
// row is still that one.
static int ChangeKnown(Conversation *talk, enum BodyChange change, int known,
                       int (*then)(Conversation *talk)) {
  StoreJob *job = NewJob(talk, STORE_UPDATE, talk->name);
  job->change = change;
  job->known = known;
  job->account.body = talk->account.body;
  // Its owner's address is remembered with the first change after the
  // identification, so that a restart does not forget it.
  if (talk->served && !talk->owner_stored) {
    job->owner = PeerKeyText(talk->admission.key);
    talk->owner_stored = 1;
  }
  return Ask(talk, then);
}

// A change starts from the row read at the identification; a look reads
// the row afresh, so that it sees what other servers wrote meanwhile.
static int Change(Conversation *talk, enum BodyChange change, int (*then)(Conversation *talk)) {
  return ChangeKnown(talk, change, change != BODY_KEEP, then);
}

// Plain: the next of the pending texts once the one before is answered.
// Kept TLS: all of them together, the answers read as they come. DONE when all
// were answered.
static int SendPending(Conversation *talk) {
  talk->stage = STAGE_ACKS;
  size_t upto = Keeps(talk) ? talk->pending.size() : talk->pending_next + 1;
  if (upto > talk->pending.size()) upto = talk->pending.size();
  for (; talk->pending_next < upto; talk->pending_next++, talk->acks_due++)
    if (QueueReply(talk, talk->pending[talk->pending_next].c_str()) != 0) return END;
  if (Flush(talk) != 0) return END;
  if (talk->acks_due > 0) return GO_ON;
  talk->outcome = WIRE_OK;
  return DONE;
}

// ---- Exchanges after the identification ------------------------------------

// Its password is remembered once the character is there.
static int Created(Conversation *talk) {
  Server *server = talk->loop->server;
  if (!talk->job.found) return Refuse(talk, WIRE_BAD_LOGIN);
  CredentialsRemember(&server->credentials, talk->name, talk->password, talk->new_hash);
  talk->served = 1;
  GuardIdentified(&server->guard, talk->name, talk->admission.key, MonotonicMs());
  sodium_memzero(talk->password, sizeof(talk->password));
  return Finish(talk, WIRE_OK);
}

static int OkOrDead(Conversation *talk) {
  return talk->job.was_dead ? Refuse(talk, WIRE_DEAD) : Finish(talk, WIRE_OK);
}

static int FarewellOrDead(Conversation *talk) {
  return Finish(talk, talk->job.was_dead ? WIRE_DEAD : WIRE_FAREWELL);
}

static int Ok(Conversation *talk) {
  return Finish(talk, WIRE_OK);
}

// "OK", then the lines heard, each answered "OK".
static int Lines(Conversation *talk) {
  talk->pending.swap(talk->job.lines);
  if (Reply(talk, WIRE_OK) != GO_ON) return END;
  talk->pending_next = 0;
  return SendPending(talk);
}

// Hunger, thirst and sleep, each answered "OK".
static_assert(kWireConversations[WIRE_STATUS].replies == 3, "three needs");
static int Needs(Conversation *talk) {
  if (talk->job.was_dead) return Refuse(talk, WIRE_DEAD);
  const Body &body = talk->job.body;
  talk->pending.clear();
  for (double need : {body.hunger, body.thirst, body.sleep})
    talk->pending.push_back(std::to_string(WholePercent(need)));
  talk->pending_next = 0;
  return SendPending(talk);
}

// Every query starts alike: the version, the query word, the name (its row
// read), the password (checked on a hashing thread); then the client says
// what kWireConversations gives (the name again, a sentence, or nothing).
// Its row here says the rest: the store call, made before any reply that
// acknowledges it, and what is answered once it is back. A creation stores
// the hash of its password.
static const Query kQueries[] = {
    {WIRE_SUBSCRIBE, STORE_CREATE, BODY_KEEP, 0, Created},
    {WIRE_CONNECT, STORE_UPDATE, BODY_WAKE, 0, OkOrDead},
    {WIRE_UNSUBSCRIBE, STORE_UPDATE, BODY_KILL, 1, FarewellOrDead},
    {WIRE_SLEEP, STORE_UPDATE, BODY_SLEEP, 0, OkOrDead},
    {WIRE_SPEAK, STORE_SAY, BODY_KEEP, 0, Ok},
    {WIRE_LISTEN, STORE_LISTEN, BODY_KEEP, 0, Lines},
    {WIRE_STATUS, STORE_UPDATE, BODY_KEEP, 0, Needs},
    {WIRE_DRINK, STORE_UPDATE, BODY_DRINK, 0, OkOrDead},
    {WIRE_EAT, STORE_UPDATE, BODY_EAT, 0, OkOrDead},
    {WIRE_MOVE, STORE_UPDATE, BODY_KEEP, 0, OkOrDead},
};

static_assert(sizeof(kQueries) / sizeof(kQueries[0]) == WIRE_QUERY_COUNT, "every query answered");

// The query's row, once the client's last message is in.
static int Answer(Conversation *talk) {
  const Query *row = talk->query_entry;
  if (row->ok_first && Reply(talk, WIRE_OK) != GO_ON) return END;
  switch (row->call) {
  case STORE_UPDATE:
    return Change(talk, row->change, row->answer);
  case STORE_CREATE:
    NewJob(talk, STORE_CREATE, talk->name)->text = talk->new_hash;
    break;
  case STORE_SAY:
    NewJob(talk, STORE_SAY, "")->text = CleanLine(talk->message);
    break;
  case STORE_LISTEN:
    NewJob(talk, STORE_LISTEN, "");
    break;
  case STORE_FIND: // no query's row: the name is found before the password
    break;
  }
  return Ask(talk, row->answer);
}

static const Query *FindQuery(const char *word) {
  const WireConversation *conversation = WireFindConversation(word);
  for (const Query &query : kQueries) {
    if (&kWireConversations[query.query] == conversation) return &query;
  }
  return NULL;
}

static const WireConversation *Steps(Conversation *talk) {
  return &kWireConversations[talk->query_entry->query];
}

static int IsCreation(Conversation *talk) {
  return Steps(talk)->creates;
}

// Once the password is right: the client's turn when it has one more
// message to send, else the server's answer.
static int AfterIdentification(Conversation *talk) {
  talk->served = 1;
  GuardIdentified(&talk->loop->server->guard, talk->name, talk->admission.key, MonotonicMs());
  switch (Steps(talk)->client_says) {
  case WIRE_SAYS_NAME:
    return ReplyAndWait(talk, STAGE_NAME_AGAIN);
  case WIRE_SAYS_SPEECH:
    return ReplyAndWait(talk, STAGE_SPEECH);
  case WIRE_SAYS_NOTHING:
    break;
  }
  return Answer(talk);
}

// ---- The stages --------------------------------------------------------------

static int OnVersion(Conversation *talk) {
  if (strcmp(talk->message, WIRE_VERSION_TEXT) != 0) return Refuse(talk, WIRE_BAD_VERSION);
  return ReplyAndWait(talk, STAGE_QUERY);
}

static int OnQuery(Conversation *talk) {
  snprintf(talk->query, sizeof(talk->query), "%s", talk->message);
  talk->query_entry = FindQuery(talk->message);
  if (talk->query_entry == NULL) return Refuse(talk, WIRE_BAD_QUERY);
  return ReplyAndWait(talk, STAGE_NAME);
}

// A name is held from its check to its creation, so that two creations of
// one name cannot both be told it is free.
static int Reserve(Server *server, const char *name) {
  std::lock_guard<std::mutex> hold(server->reserved_lock);
  return server->reserved.insert(name).second ? 0 : 1;
}

static int Alive(Conversation *talk) {
  if (talk->job.was_dead) return Refuse(talk, WIRE_DEAD);
  return ReplyAndWait(talk, STAGE_PASSWORD);
}

// A death of its needs since the row was written is written before it is
// told.
static int Found(Conversation *talk) {
  Server *server = talk->loop->server;
  int found = talk->job.found;
  talk->account = talk->job.account;
  if (IsCreation(talk)) {
    if (found || Reserve(server, talk->name) != 0) return Refuse(talk, WIRE_BAD_LOGIN);
    talk->reserved = 1;
    // The client knows no word for it: hanging up makes it say to check
    // the connection, which at least invites trying again later, where
    // "Bad login" would send the player hunting for another name.
    if (GuardCreation(&server->guard, talk->admission, server->config.creations_per_hour,
                      server->config.prefix_creations_per_hour, MonotonicMs()) != 0)
      return Fail(talk, "creations past their allowance");
    return ReplyAndWait(talk, STAGE_PASSWORD);
  }
  if (!found) return Refuse(talk, WIRE_BAD_LOGIN);
  Body body;
  if (BodyChangeAt(talk->account.body, BODY_KEEP, talk->job.now, &body, &talk->job.was_dead))
    return ChangeKnown(talk, BODY_KEEP, 1, Alive);
  return Alive(talk);
}

static int OnName(Conversation *talk) {
  snprintf(talk->name, sizeof(talk->name), "%s", talk->message);
  if (IsCreation(talk) && !NameIsValid(talk->name)) return Refuse(talk, WIRE_BAD_LOGIN);
  NewJob(talk, STORE_FIND, talk->name);
  return Ask(talk, Found);
}

// Counts a failed identification: wrong, or refused unchecked.
static void CountFailure(Conversation *talk) {
  Server *server = talk->loop->server;
  GuardFailed(&server->guard, server->config.throttle, talk->admission.key, talk->name,
              MonotonicMs());
}

// The answer to a password known right or wrong. A wrong one waits its
// address's delay; for a name under attack both wait the same hold, so that
// the time of the answer says nothing of which it was. Meanwhile the
// conversation costs nothing but its place.
static int PasswordVerdict(Conversation *talk, int right) {
  double now = MonotonicMs();
  double release = talk->hold_until_ms;
  if (!right && now + talk->delay_ms > release) release = now + talk->delay_ms;
  if (release <= now) return right ? AfterIdentification(talk) : Refuse(talk, WIRE_BAD_PASSWORD);
  talk->held_right = right;
  talk->loop->server->answers_held++;
  talk->stage = STAGE_HELD;
  talk->release_ms = release;
  talk->loop->held.emplace(talk->release_ms, talk);
  return GO_ON;
}

// Refused unchecked, as a failure.
static int RefuseUnchecked(Conversation *talk, int delay_ms) {
  CountFailure(talk);
  talk->delay_ms = delay_ms;
  return PasswordVerdict(talk, 0);
}

// Identified from this address before: lately in this process, or at any
// time the store remembers.
static int IsOwner(Conversation *talk, double now) {
  std::string owners = " " + talk->account.owners + " ";
  talk->owner_stored = owners.find(" " + PeerKeyText(talk->admission.key) + " ") != owners.npos;
  return talk->owner_stored ||
         GuardOwner(&talk->loop->server->guard, talk->name, talk->admission.key, now);
}

// How long an address waits before any check: its own delay, and but for
// the name's owner its network's.
static int AddressDelay(Conversation *talk, double now) {
  Server *server = talk->loop->server;
  const Throttle &throttle = server->config.throttle;
  int delay = GuardAddressDelay(&server->guard, throttle, talk->admission.key, now);
  if (delay > 0 || talk->owner) return delay;
  return GuardNetworkDelay(&server->guard, throttle, talk->admission.key, now);
}

// An address (or its network) past its allowance is refused whatever the
// password; known credentials go on; the others wait for a hashing thread,
// but for a name under attack only when its ration allows. The name's
// owner is never held.
static int OnPassword(Conversation *talk) {
  Server *server = talk->loop->server;
  const Throttle &throttle = server->config.throttle;
  int lane = WORK_FIRST;
  if (!IsCreation(talk)) {
    double now = MonotonicMs();
    talk->owner = IsOwner(talk, now);
    int delay = AddressDelay(talk, now);
    if (delay > 0) return RefuseUnchecked(talk, delay);
    int attacked = !talk->owner && GuardNameAttacked(&server->guard, throttle, talk->name, now);
    if (attacked) talk->hold_until_ms = now + throttle.name_hold_ms;
    if (CredentialsKnown(&server->credentials, talk->name, talk->message,
                         talk->account.password_hash))
      return PasswordVerdict(talk, 1);
    if (attacked && !GuardNameMayCheck(&server->guard, throttle, talk->name, now))
      return RefuseUnchecked(talk, 0);
    if (!talk->owner &&
        GuardGuessing(&server->guard, throttle, talk->admission.key, talk->name, now))
      lane = WORK_SPARING;
  }
  snprintf(talk->password, sizeof(talk->password), "%s", talk->message);
  if (!IsCreation(talk)) GuardChecking(&server->guard, talk->name, talk->admission.key, +1);
  talk->stage = STAGE_HASHING;
  // Guesses take turns by network, however many addresses it spreads them over.
  Queue(talk, &server->hashes, lane,
        lane == WORK_SPARING ? talk->admission.prefix : talk->admission.key, talk, Checked);
  return GO_ON;
}

static int OnNameAgain(Conversation *talk) {
  if (strcmp(talk->message, talk->name) != 0) return Refuse(talk, WIRE_BAD_LOGIN);
  return Answer(talk);
}

// The sentence must be spoken in the speaker's own name.
static int OnSpeech(Conversation *talk) {
  size_t name_length = strlen(talk->name);
  if (strncmp(talk->message, talk->name, name_length) != 0 ||
      strncmp(talk->message + name_length, WIRE_SPEECH_SEPARATOR, strlen(WIRE_SPEECH_SEPARATOR)) !=
          0)
    return Refuse(talk, WIRE_BAD_LOGIN);
  return Answer(talk);
}

static int OnAck(Conversation *talk) {
  if (strcmp(talk->message, WIRE_OK) != 0) return Fail(talk, "no OK");
  talk->acks_due--;
  return SendPending(talk);
}

static int OnMessage(Conversation *talk) {
  switch (talk->stage) {
  case STAGE_VERSION:
    return OnVersion(talk);
  case STAGE_QUERY:
    return OnQuery(talk);
  case STAGE_NAME:
    return OnName(talk);
  case STAGE_PASSWORD:
    return OnPassword(talk);
  case STAGE_NAME_AGAIN:
    return OnNameAgain(talk);
  case STAGE_SPEECH:
    return OnSpeech(talk);
  case STAGE_ACKS:
    return OnAck(talk);
  case STAGE_PROXY:
  case STAGE_HASHING:
  case STAGE_HELD:
  case STAGE_STORE:
    break;
  }
  return Fail(talk, "spoke out of turn");
}

// A conversation over: a plain connection ends (END); a TLS one is logged
// and waits, idle, for the client's next conversation (GO_ON).
static int Recycle(Conversation *talk) {
  if (!Keeps(talk)) return END;
  Note(talk);
  if (talk->reserved) Release(talk->loop->server, talk->name);
  talk->reserved = 0;
  talk->conversations++;
  talk->spoke = talk->served = 0;
  talk->stage = STAGE_VERSION;
  talk->query_entry = NULL;
  talk->query[0] = talk->name[0] = '\0';
  talk->outcome = "?";
  talk->account = Account();
  talk->pending.clear();
  talk->pending_next = talk->acks_due = 0;
  talk->hold_until_ms = 0;
  talk->delay_ms = talk->hash_failed = 0;
  talk->started_ms = MonotonicMs();
  Rewind(talk);
  return GO_ON;
}

// Its hash, its refusal or its store job: the next messages wait.

// Handles the complete messages received, until more bytes are needed.
static int TakeMessages(Conversation *talk) {
  int took = 0;
  while (WireTakeMessage(&talk->reader, talk->message, sizeof(talk->message)) == 0) {
    took = 1;
    // The whole conversation's limit runs from its first message.
    if (Between(talk)) talk->started_ms = MonotonicMs();
    talk->spoke = 1;
    int rc = talk->reader.cut ? END : OnMessage(talk);
    if (rc == DONE) rc = Recycle(talk);
    if (rc == END) {
      if (talk->reader.cut) talk->outcome = "message too long";
      End(talk);
      return END;
    }
    if (Waits(talk)) return GO_ON;
  }
  // The read limit runs from the last complete message.
  if (took) Rewind(talk);
  return GO_ON;
}

// ---- Entry points --------------------------------------------------------------

// The caps that apply to a client's address.
static Admission AdmissionFor(const ServerConfig &config, const struct sockaddr_storage *peer) {
  Admission admission = {PeerKey(peer), PrefixKey(peer), config.per_address_max,
                         config.per_prefix_max};
  for (const PrefixCap &cap : config.prefix_caps) {
    if (!PrefixHolds(cap.prefix, peer)) continue;
    if (cap.most > admission.most) admission.most = cap.most;
    if (cap.most > admission.prefix_most) admission.prefix_most = cap.most;
  }
  return admission;
}

// A conversation that a newcomer may take the place of: waiting for its
// client.
static int Idle(const Conversation *talk) {
  return talk->admitted && !talk->evicted && !Waits(talk);
}

// The server is full: a newcomer takes the place of the oldest idle
// conversation of this loop's neighbourhood (an IPv4 /24, an IPv6 /48)
// that holds the most, when that holds at least two more than the
// newcomer's own (counting the newcomer), so that the greediest give way
// and the others do not take turns at closing each other. The one closed
// ends when its loop sees the closing, never in the middle of this loop's
// batch of events.
// A connection kept between conversations goes first of all.
static int MakeRoom(Loop *loop, const Admission &newcomer) {
  Guard *guard = &loop->server->guard;
  int most = GuardOpen(guard, newcomer.prefix) + 1;
  Conversation *victim = NULL;
  for (Conversation *talk = loop->oldest; talk != NULL && victim == NULL; talk = talk->later)
    if (Idle(talk) && Between(talk)) victim = talk;
  for (Conversation *talk = victim == NULL ? loop->oldest : NULL; talk != NULL;
       talk = talk->later) {
    if (!Idle(talk)) continue;
    int held = GuardOpen(guard, talk->admission.prefix);
    if (held > most) {
      most = held;
      victim = talk;
    }
  }
  if (victim == NULL) return 1;
  victim->evicted = 1;
  shutdown(victim->fd, SHUT_RDWR);
  return 0;
}

// A place in the server's total, checked and taken in one step so that
// loops admitting side by side never pass the cap together; 1 when full.
static int TakePlace(Server *server) {
  int open = server->open_conversations.load();
  do {
    if (open >= server->config.conversations_max) return 1;
  } while (!server->open_conversations.compare_exchange_weak(open, open + 1));
  return 0;
}

// An address (or its prefix) that holds its share: a connection of its own
// kept unused on this loop gives way, its place given back at once (its
// client opens another one when it next plays). 1 when there was none.
static int GiveWayAt(Loop *loop, const Admission &newcomer) {
  Server *server = loop->server;
  int address_full = GuardOpen(&server->guard, newcomer.key) >= newcomer.most;
  for (Conversation *talk = loop->oldest; talk != NULL; talk = talk->later) {
    if (!Idle(talk) || !Between(talk) ||
        (address_full ? talk->admission.key != newcomer.key
                      : talk->admission.prefix != newcomer.prefix))
      continue;
    GuardLeave(&server->guard, talk->admission);
    server->open_conversations--;
    talk->admitted = 0;
    talk->evicted = 1;
    shutdown(talk->fd, SHUT_RDWR);
    return 0;
  }
  return 1;
}

// Counts the conversation for its address; 1 when it was refused (and
// counted as such).
static int Admit(Conversation *talk) {
  Server *server = talk->loop->server;
  Admission admission = AdmissionFor(server->config, &talk->peer);
  int refused = GuardAdmit(&server->guard, admission) != 0;
  if (refused && GiveWayAt(talk->loop, admission) == 0)
    refused = GuardAdmit(&server->guard, admission) != 0;
  if (!refused && TakePlace(server) != 0) {
    // The one closed for it leaves its place when its loop ends it.
    if (MakeRoom(talk->loop, admission) == 0) {
      server->open_conversations++;
    } else {
      GuardLeave(&server->guard, admission);
      refused = 1;
    }
  }
  if (refused) {
    GuardRefused(&server->guard, admission.key, MonotonicMs());
    return 1;
  }
  talk->admission = admission;
  talk->admitted = 1;
  return 0;
}

int ConversationStart(Loop *loop, int fd, const struct sockaddr_storage *peer, int tls) {
  Server *server = loop->server;
  Conversation *talk = new Conversation();
  talk->loop = loop;
  talk->fd = fd;
  talk->peer = *peer;
  talk->outcome = "?";
  talk->started_ms = MonotonicMs();
  // A balancer's connection is counted once its header names the client.
  talk->stage = PrefixListHolds(server->config.proxy_from, peer) ? STAGE_PROXY : STAGE_VERSION;
  if (talk->stage == STAGE_VERSION && Admit(talk) != 0) {
    close(fd);
    delete talk;
    return 1;
  }
  talk->handshaking = tls;
  WireReset(&talk->reader);
  Append(talk);
  // Replies that follow each other (a verdict after the password's reply)
  // must not wait for an acknowledgement.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  talk->handle = {HANDLE_CONVERSATION, fd, talk};
  struct epoll_event event;
  event.events = EPOLLIN;
  event.data.ptr = &talk->handle;
  if (epoll_ctl(loop->epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) {
    talk->outcome = "epoll_ctl failed";
    End(talk);
  }
  return 0;
}

// While its hash or its store job runs, a conversation only notes that its
// client left.
static void Leave(Conversation *talk, const char *outcome) {
  if (talk->evicted) outcome = "closed for a newcomer";
  if (talk->stage != STAGE_HASHING && talk->stage != STAGE_STORE) {
    talk->outcome = outcome;
    End(talk);
    return;
  }
  talk->outcome = outcome;
  talk->gone = 1;
  epoll_ctl(talk->loop->epoll_fd, EPOLL_CTL_DEL, talk->fd, NULL);
}

// The header, then what followed it as the conversation's first bytes; a
// connection from a balancer without one is closed.
// Over TLS the bytes after the header are OpenSSL's: they are only looked
// at, and left in the socket, until the header is known whole.
static void ReadProxyHeader(Conversation *talk) {
  char bytes[PROXY_HEADER_MAX];
  size_t before = talk->proxy_bytes.size();
  ssize_t got = recv(talk->fd, bytes, sizeof(bytes) - before, talk->handshaking ? MSG_PEEK : 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got == 0) return Leave(talk, "hung up");
  if (got < 0) return Leave(talk, "recv failed");
  talk->proxy_bytes.append(bytes, (size_t)got);
  size_t used = 0;
  int read =
      ProxyHeaderRead(talk->proxy_bytes.data(), talk->proxy_bytes.size(), &talk->peer, &used);
  if (read == PROXY_BAD) return Leave(talk, kNoHeader);
  // What was looked at is taken: all of it while the header is not whole.
  size_t take = read == PROXY_MORE ? (size_t)got : used - before;
  if (talk->handshaking && recv(talk->fd, bytes, take, 0) != (ssize_t)take)
    return Leave(talk, "recv failed");
  if (read == PROXY_MORE) return;
  if (Admit(talk) != 0) {
    talk->outcome = NULL;
    return End(talk);
  }
  talk->stage = STAGE_VERSION;
  if (talk->handshaking) return;
  size_t room;
  char *space = WireSpace(&talk->reader, &room);
  size_t rest = talk->proxy_bytes.size() - used;
  static_assert(PROXY_HEADER_MAX <= WIRE_MESSAGE_MAX, "what follows a header fits the reader");
  memcpy(space, talk->proxy_bytes.data() + used, rest);
  WireCommit(&talk->reader, rest);
  std::string().swap(talk->proxy_bytes);
  TakeMessages(talk);
}

// The handshake goes on with each arrival, within the same read limit as a
// message and TLS_HANDSHAKE_MS of the connection; GO_ON once it is over,
// END while it waits or when it failed.
static int Handshake(Conversation *talk) {
  Server *server = talk->loop->server;
  if (TlsHandshake(&server->tls, talk->fd, &talk->admission, &talk->tls) != 0) {
    if (errno == EAGAIN || errno == EINTR) return END;
    // A refusal was counted by the guard.
    Leave(talk, errno == EPIPE ? "hung up" : errno == ECONNREFUSED ? NULL : "TLS handshake failed");
    return END;
  }
  talk->handshaking = 0;
  Rewind(talk);
  return GO_ON;
}

// One read of what has arrived, and the messages it completes; END when
// the conversation ended or must wait for more.
static int ReadSome(Conversation *talk) {
  size_t room;
  char *space = WireSpace(&talk->reader, &room);
  // Full while hashing: the client spoke out of turn.
  if (room == 0) {
    Leave(talk, "spoke out of turn");
    return END;
  }
  ssize_t got =
      talk->tls != NULL ? TlsRead(talk->tls, space, room) : recv(talk->fd, space, room, 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return END;
  if (got <= 0) {
    Leave(talk, got == 0 ? "hung up" : talk->tls != NULL ? "TLS read failed" : "recv failed");
    return END;
  }
  WireCommit(&talk->reader, (size_t)got);
  if (Waits(talk)) return GO_ON;
  return TakeMessages(talk);
}

// TLS may hold bytes, decrypted or read ahead, that no socket event will
// announce: they are read before the loop waits again.
static int HasPending(Conversation *talk) {
  return talk->tls != NULL && SSL_has_pending(talk->tls);
}

static void ConversationReadable(Conversation *talk) {
  if (talk->stage == STAGE_PROXY) return ReadProxyHeader(talk);
  if (talk->handshaking && Handshake(talk) != GO_ON) return;
  while (ReadSome(talk) == GO_ON && HasPending(talk)) {
  }
}

// A TLS write may wait for a read as well: replies that wait are tried on
// every event.
void ConversationEvent(Conversation *talk, uint32_t events) {
  if (!talk->out.empty() && Flush(talk) != 0) return Leave(talk, talk->outcome);
  if ((events & ~(uint32_t)EPOLLOUT) != 0) ConversationReadable(talk);
}

// The allowance of the address is looked at again when the check is about
// to start, and a failure counted as soon as it is known, so that guesses
// sent side by side get no more checks than guesses sent one by one (but
// for the checks already running on the other hashing threads).
static void Check(Conversation *talk) {
  Server *server = talk->loop->server;
  if (talk->gone) {
    server->checks_dropped++;
  } else if (IsCreation(talk)) {
    talk->hash_failed = CredentialsHash(&server->credentials, talk->password, talk->new_hash);
  } else {
    talk->delay_ms = AddressDelay(talk, MonotonicMs());
    talk->hash_failed =
        talk->delay_ms > 0 || CredentialsVerify(&server->credentials, talk->name, talk->password,
                                                talk->account.password_hash) != 0;
    if (talk->hash_failed) CountFailure(talk);
  }
  if (!IsCreation(talk)) GuardChecking(&server->guard, talk->name, talk->admission.key, -1);
}

void ConversationsCheck(void *server, WorkJob **jobs, size_t count) {
  (void)server;
  for (size_t i = 0; i < count; i++)
    Check((Conversation *)jobs[i]->subject);
}

static int CreateCharacter(Conversation *talk) {
  if (talk->hash_failed) return Fail(talk, "crypto_pwhash_str failed");
  return Answer(talk);
}

// After a step that may have waited: the end, or the messages that came
// meanwhile.
static void GoOn(Conversation *talk, int rc) {
  if (rc == DONE) rc = Recycle(talk);
  if (rc == END) return End(talk);
  if (Waits(talk)) return;
  Rewind(talk);
  if (TakeMessages(talk) == GO_ON && HasPending(talk)) ConversationReadable(talk);
}

// A failed or late call ends the conversation without an acknowledgement.
static void Stored(void *asker) {
  Conversation *talk = (Conversation *)asker;
  int rc = END;
  if (!talk->gone) rc = talk->job.rc != 0 ? Fail(talk, "database failed") : talk->stored(talk);
  GoOn(talk, rc);
}

// Back on the loop after its hash.
static void Checked(void *asker) {
  Conversation *talk = (Conversation *)asker;
  int rc = END;
  // A creation keeps the password until its character is there.
  if (talk->gone || !IsCreation(talk)) sodium_memzero(talk->password, sizeof(talk->password));
  if (!talk->gone) {
    if (IsCreation(talk)) {
      rc = CreateCharacter(talk);
    } else {
      rc = PasswordVerdict(talk, !talk->hash_failed);
    }
  }
  GoOn(talk, rc);
}

// The held answers that are due.
static void SendHeld(Loop *loop, double now) {
  while (!loop->held.empty() && loop->held.begin()->first <= now) {
    Conversation *talk = loop->held.begin()->second;
    loop->held.erase(loop->held.begin());
    talk->stage = STAGE_PASSWORD;
    if (!talk->held_right) {
      if (SendMessage(talk, WIRE_BAD_PASSWORD) == 0) talk->outcome = "Bad password, held back";
      End(talk);
      continue;
    }
    GoOn(talk, AfterIdentification(talk));
  }
}

int ConversationsExpire(Loop *loop) {
  double now = MonotonicMs();
  SendHeld(loop, now);
  while (loop->oldest != NULL && loop->oldest->deadline_ms <= now) {
    Conversation *talk = loop->oldest;
    // The server is the slow one: the client's limit starts again (a store
    // job has its own deadline).
    if (Waits(talk)) {
      Rewind(talk);
      continue;
    }
    talk->outcome = talk->started_ms + loop->server->config.conversation_ms <= now
                        ? "too long a conversation"
                        : "silent too long";
    End(talk);
  }
  double next = loop->oldest == NULL ? -1.0 : loop->oldest->deadline_ms;
  if (!loop->held.empty() && (next < 0 || loop->held.begin()->first < next))
    next = loop->held.begin()->first;
  return next < 0 ? -1 : (int)(next - now) + 1;
}

void ConversationsEndAll(Loop *loop, const char *outcome) {
  while (loop->oldest != NULL) {
    loop->oldest->outcome = outcome;
    End(loop->oldest);
  }
}
