// SPDX-License-Identifier: MIT
// varkel_server: the game rules, the store, the credentials and the network
// side.
//
// What a function of the server or its tools returns, by kind:
// - one that does something: 0 when done, 1 when it failed (the failing call
//   named in the log) or was refused (GuardAdmit, ConversationStart); what
//   it found goes through out-parameters (StoreFind's *found);
// - a question (NameIsValid, CredentialsKnown, BodyAdvance "did it change"):
//   1 for yes, 0 for no;
// - a conversation's step: GO_ON (0) while it waits for the next message,
//   END (1) once it has ended, which is the first kind seen from inside;
// - a figure (milliseconds, a percentage, a descriptor): the figure, -1 for
//   none; a pointer: NULL for none (ServerTakeHash);
// - the command-line readers: 0 to run, 1 for bad arguments, 2 when the
//   help was printed; a program's exit status is 0, 1 when it failed, 2 for
//   a bad command line.
#ifndef VARKEL_SERVER_H
#define VARKEL_SERVER_H

#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <openssl/ssl.h>
#include <sodium.h>

#include "common/varkel_wire.h"

// ---- Rules (server_rules.cpp) ----------------------------------------------

// Seconds for a need to go from 0 to 100 while the character is awake.
#define RULE_THIRST_FULL_SECONDS (3.0 * 3600.0)
#define RULE_HUNGER_FULL_SECONDS (6.0 * 3600.0)
#define RULE_SLEEP_FULL_SECONDS (16.0 * 3600.0)
// Asleep, hunger and thirst grow this many times more slowly, and the need
// of sleep does not grow at all.
#define RULE_ASLEEP_SLOWDOWN 4.0
#define RULE_NEED_MAX 100.0

// Names are what the client can type: 1 to 8 printable ASCII characters.
#define RULE_NAME_MAX 8
// A heard line must leave the client room for its "\n" and terminator.
#define RULE_LINE_MAX (WIRE_MESSAGE_MAX - 2)

// A character's needs in percent at time `since` (seconds of the game clock).
typedef struct Body {
  double hunger;
  double thirst;
  double sleep;
  int asleep;
  int dead;
  double since;
} Body;

// What an action does to the body once it is brought up to date.
enum BodyChange {
  BODY_KEEP,  // look only
  BODY_WAKE,  // waking gets the character up
  BODY_SLEEP, // clears sleep and puts it to bed
  BODY_DRINK, // clears thirst
  BODY_EAT,   // clears hunger
  BODY_KILL,  // ends its life
};

// A newborn: no needs, asleep until first woken.
Body BodyNew(double now);
// Grows the needs up to `now` (never backwards); hunger or thirst at 100
// kills. Returns 1 when this call changed the stored state (a death), else 0.
int BodyAdvance(Body *body, double now);
// Applies a change after BodyAdvance; returns 1 when the state changed.
int BodyApply(Body *body, enum BodyChange change);
// The stored body brought to `now` with the change, and whether it was dead
// before the change; returns 1 when it must be written.
int BodyChangeAt(const Body &stored, enum BodyChange change, double now, Body *body, int *was_dead);
// A need as the whole percentage the player is told.
int WholePercent(double need);
int NameIsValid(const char *name);
// The line kept for a speech: control characters become blanks, and it is
// cut (on a UTF-8 boundary) to RULE_LINE_MAX bytes.
std::string CleanLine(const char *speech);

// ---- Store (server_store*.cpp) ---------------------------------------------

// The layout the store writes; a database of a later version is refused.
#define STORE_SCHEMA_VERSION 1

typedef struct Account {
  std::string password_hash;
  Body body;
} Account;

// A character as the admin tool shows it: never its hash.
typedef struct CharacterRow {
  std::string name;
  Body body;
} CharacterRow;

struct Store;
struct Loop;
struct Conversation;

// What a store job asks for.
enum StoreCall {
  STORE_FIND,   // in: name; out: found, account
  STORE_CREATE, // in: name, text (the hash), now; out: found (created)
  STORE_UPDATE, // in: name, change, now, known/account; out: body, was_dead
  STORE_SAY,    // in: text (the line)
  STORE_LISTEN, // out: lines
};

// One call to the database, made on a store thread (or by the caller's
// thread for the admin tool and the tests). A change of a character is one
// round trip where the engine allows: an update compares the row it last
// read (`known`) and writes only if it is still the same.
typedef struct StoreJob {
  enum StoreCall call;
  std::string name; // the character; empty for the chat memory
  std::string text; // a creation's hash, or the line said
  enum BodyChange change;
  double now;
  int known;       // STORE_UPDATE: account.body is the row as last read
  Account account; // STORE_FIND's result, STORE_UPDATE's row read
  int found;       // STORE_FIND: found; STORE_CREATE: created
  Body body;
  int was_dead;
  std::vector<std::string> lines;
  double deadline_ms; // MonotonicMs() past which the call is given up
  int rc;             // 0 done, 1 failed (logged)
  // The conversation it goes back to, on its loop; NULL for a direct call.
  struct Loop *loop;
  struct Conversation *talk;
} StoreJob;

// One database engine; every call returns 0 on success, 1 on failure, and
// may be made from several threads at once.
typedef struct StoreEngine {
  const char *name;
  int threads_max; // store threads it can use at once; 0 for no bound
  int batch_max;   // jobs one thread runs together (in one commit)
  int (*open)(struct Store *store, const char *where, int own);
  void (*close)(struct Store *store);
  // Runs the jobs, each within its deadline; every job's rc says how it went.
  int (*run)(struct Store *store, StoreJob **jobs, size_t count);
  // Refuses more store threads than the database allows connections.
  int (*check_threads)(struct Store *store, int threads);
  int (*list)(struct Store *store, std::vector<CharacterRow> *rows);
  int (*remove)(struct Store *store, const char *name, int *removed);
  int (*backup)(struct Store *store, const char *path);
} StoreEngine;

// A database call past this is given up and its conversation ended.
#define STORE_TIMEOUT_MS_DEFAULT 3000
#define STORE_THREADS_DEFAULT 16
#define STORE_REPORT_MS 10000.0

typedef struct Store {
  const StoreEngine *engine;
  void *db;            // the engine's own record; NULL when closed
  FILE *log;           // errors go here
  const char *program; // names the lines written to the log
  int timeout_ms;      // each call's deadline
  int threads;         // connections a PostgreSQL store keeps at most
  // Failures are logged once per STORE_REPORT_MS, with the count since.
  std::mutex report_lock;
  double reported_at_ms;
  long unreported;
  std::atomic<int> failing; // a failure was logged, and no answer since
} Store;

// The engine a --db value names: a postgresql:// or postgres:// URI, or
// else an SQLite file (":memory:" for one in memory).
const StoreEngine *StoreEngineFor(const char *where);
// Opens (creating if needed) the database of a server, brings its schema
// up to date, and keeps other servers off an SQLite file.
int StoreOpen(Store *store, const char *where, FILE *log);
// Opens an existing database beside the server that runs on it.
int StoreOpenShared(Store *store, const char *where, const char *program, FILE *log);
void StoreClose(Store *store);
// Sets the deadline of each call and the store threads, refused beyond
// what the database allows.
int StoreLimit(Store *store, int threads, int timeout_ms);
// A job for a direct call, its deadline from now.
StoreJob StoreJobFor(Store *store, enum StoreCall call, const char *name);
// Runs one job on the caller's thread; its rc.
int StoreRunJob(Store *store, StoreJob *job);
// *found is 0 when no character has this name.
int StoreFind(Store *store, const char *name, Account *account, int *found);
// *created is 0 when the name is taken.
int StoreCreate(Store *store, const char *name, const char *password_hash, double now,
                int *created);
// Brings the body up to `now`, applies the change if it is still alive and
// commits what changed. *body receives the result; *was_dead tells whether
// it was dead before the change (already, or of its needs by now).
int StoreUpdate(Store *store, const char *name, enum BodyChange change, double now, Body *body,
                int *was_dead);
// Appends a line to the memory, committed, dropping lines beyond 100.
int StoreSay(Store *store, const std::string &line);
// The memory as a listening sends it: 100 lines, oldest first, empty ones
// at the old end.
int StoreListen(Store *store, std::vector<std::string> *lines);
// Every character, by name.
int StoreList(Store *store, std::vector<CharacterRow> *rows);
// *removed is 0 when no character has this name; the name is free again.
int StoreRemove(Store *store, const char *name, int *removed);
// A consistent copy of the whole database into a new file at `path`.
int StoreBackup(Store *store, const char *path);
// Logs a failed call of the engine.
int StoreFail(Store *store, const char *call, const char *detail);
// Logs a failure of a shared database or a deadline, at most once per
// STORE_REPORT_MS with the count of those not logged; returns 1.
int StoreReport(Store *store, const char *call, const char *detail);
// After a call that went through: logs once that the database answers
// again after a failure was logged (a database that comes and goes still
// makes one failure line per STORE_REPORT_MS).
void StoreAnswered(Store *store);

// The store threads of a server: the loops hand them jobs and go on
// serving. One character's jobs run one after the other, in the order
// given; other characters' jobs and the chat memory's run side by side.
typedef struct StorePool {
  std::mutex lock;
  std::condition_variable ready;
  // A character's jobs waiting behind the one running; a name is here
  // while one of its jobs runs.
  std::unordered_map<std::string, std::deque<StoreJob *>> turns;
  std::deque<StoreJob *> startable;
  std::vector<std::thread> threads;
  bool stopping;
  std::atomic<long> late; // jobs given up at their deadline before they started
} StorePool;

// Starts the store threads (none for a pool that the caller drives).
int StorePoolStart(StorePool *pool, Store *store, int threads);
// Waits for the running jobs and drops the waiting ones.
void StorePoolStop(StorePool *pool);
// Hands a job to the pool, its deadline from now; it comes back to its
// conversation's loop through LoopPostHashed.
void StorePoolSubmit(StorePool *pool, Store *store, StoreJob *job);
// Runs the jobs that can start on the caller's thread; 1 when there were
// any (for a caller without store threads, as the fuzzers).
int StorePoolRunReady(StorePool *pool, Store *store);

// ---- Credentials (server_credentials.cpp) ----------------------------------

// Argon2id at these limits takes tens of milliseconds on one core.
#define CREDENTIALS_OPSLIMIT crypto_pwhash_OPSLIMIT_INTERACTIVE
#define CREDENTIALS_MEMLIMIT (32u << 20)
#define CREDENTIALS_CACHE_DEFAULT 4096

typedef struct Credentials {
  unsigned char key[crypto_generichash_KEYBYTES]; // made at start, never stored
  std::mutex lock;
  std::unordered_set<std::string> known; // digests of verified credentials
  std::deque<std::string> order;         // oldest digest first
  size_t capacity;
  std::atomic<long> slow_checks; // slow verifications made (tests read it)
  // The slow hash (argon2id) and its check, 0 on a match; the fuzzers put a
  // fast stand-in here.
  int (*hash)(const char *password, char *out);
  int (*verify)(const char *password_hash, const char *password);
} Credentials;

int CredentialsInit(Credentials *credentials, size_t capacity);
// Salted slow hash of a password, into out (crypto_pwhash_STRBYTES bytes).
int CredentialsHash(Credentials *credentials, const char *password, char *out);
// Slow: 0 when the password matches the stored hash; remembered if so.
int CredentialsVerify(Credentials *credentials, const char *name, const char *password,
                      const std::string &password_hash);
// Fast: 1 when these credentials were verified lately.
int CredentialsKnown(Credentials *credentials, const char *name, const char *password,
                     const std::string &password_hash);
// Records credentials known to be right (a creation).
void CredentialsRemember(Credentials *credentials, const char *name, const char *password,
                         const std::string &password_hash);

// ---- Guard (server_guard.cpp) ----------------------------------------------

// A client's address as the guard counts it: an IPv4 address, or the /64 of
// an IPv6 one; "-" for any other kind of peer.
std::string PeerKey(const struct sockaddr_storage *peer);
// The neighbourhood it shares with others: its IPv4 /24 or IPv6 /48.
std::string PrefixKey(const struct sockaddr_storage *peer);
// Either key as the log shows it.
std::string PeerKeyText(const std::string &key);

// An address, or all those of a prefix, as the options name them.
typedef struct Prefix {
  int family; // AF_INET or AF_INET6
  unsigned char bytes[16];
  int bits;
} Prefix;

// "ADDRESS" or "ADDRESS/BITS", IPv4 or IPv6.
int PrefixParse(const char *text, Prefix *prefix);
// Questions: the address lies in the prefix, in one of the list's.
int PrefixHolds(const Prefix &prefix, const struct sockaddr_storage *address);
int PrefixListHolds(const std::vector<Prefix> &list, const struct sockaddr_storage *address);

// Guessing passwords is throttled: past its allowance of failed
// identifications an address is answered "Bad password" after a delay,
// without any check. Past a name's own allowance, from all addresses
// together, every answer for that name, right or wrong, waits the same
// hold, and its slow checks are rationed, but for the addresses where it
// has been identified before.
typedef struct Throttle {
  int address_failures; // allowed per address before its answers wait
  int name_failures;    // allowed per name, from all addresses together
  int delay_first_ms;   // the first wait; each failure past it doubles it
  int delay_max_ms;
  int forget_ms;     // a count is forgotten this long after its last failure
  int name_hold_ms;  // every answer for a name under attack waits this long
  int name_check_ms; // and its slow checks run at most once per this
} Throttle;

#define THROTTLE_ADDRESS_FAILURES 5
#define THROTTLE_NAME_FAILURES 20
#define THROTTLE_DELAY_FIRST_MS 1000
#define THROTTLE_DELAY_MAX_MS 30000
#define THROTTLE_FORGET_MS (15 * 60 * 1000)
#define THROTTLE_NAME_HOLD_MS 1000
#define THROTTLE_NAME_CHECK_MS 1000
// Entries kept per table; past it the least lately touched are forgotten.
#define THROTTLE_ENTRIES_MAX 65536
// An address where a name was identified stays its owner's lane this long.
#define THROTTLE_LANE_FORGET_MS (30.0 * 24 * 3600 * 1000)
// Creations are counted until an hour passes without one.
#define CREATIONS_FORGET_MS (3600 * 1000)

typedef struct Failures {
  std::string key;
  int count;
  double last_ms;
} Failures;

typedef struct FailureTable {
  std::list<Failures> order; // least lately touched first
  std::unordered_map<std::string, std::list<Failures>::iterator> index;
} FailureTable;

// Events summed up in one log line per period rather than one line each
// (a flood would fill the disk).
typedef struct Tally {
  std::unordered_map<std::string, long> by_key;
  long total = 0;
  long unlisted = 0; // from addresses beyond the table's bound
  double since_ms = 0;
} Tally;

// Conversations that end before their identification (refusals, breaches,
// departures) are logged one by one up to this burst, then at this rate;
// past it they are summed up.
#define GUARD_LOG_BURST 40
#define GUARD_LOG_PER_SECOND 5

typedef struct Guard {
  std::mutex lock;
  FailureTable addresses; // by PeerKey
  FailureTable names;
  FailureTable lanes;     // name, NUL, PeerKey: identified there before
  FailureTable creations; // by PeerKey and by PrefixKey
  std::unordered_map<std::string, double> name_checked_ms; // last rationed check
  std::unordered_map<std::string, int> name_checking;      // checks under way
  std::unordered_map<std::string, int> open; // conversations per address and per prefix
  Tally refused;                             // connections closed at once
  Tally dropped;                             // connections gone before a first message
  Tally unlogged;                            // conversations past the log's rate
  double log_tokens = GUARD_LOG_BURST;
  double log_tokens_ms = 0;
} Guard;

// What GuardAdmit lets in: the caps of the address and of its prefix.
typedef struct Admission {
  std::string key;    // PeerKey
  std::string prefix; // PrefixKey
  int most;           // conversations the address may hold
  int prefix_most;    // and its prefix
} Admission;

// 0 and one more conversation counted for the address and its prefix, or 1
// when either already holds its most.
int GuardAdmit(Guard *guard, const Admission &admission);
void GuardLeave(Guard *guard, const Admission &admission);
// Conversations the address (or prefix) key holds.
int GuardOpen(Guard *guard, const std::string &key);
void GuardRefused(Guard *guard, const std::string &key, double now_ms);
void GuardDropped(Guard *guard, const std::string &key, double now_ms);
// 1 when a conversation's failure may have its own log line, else 0 and it
// is summed up.
int GuardMayLog(Guard *guard, const std::string &key, double now_ms);
// Writes the summaries once `period_ms` has passed since the first of their
// events (at once with `force`). Returns the milliseconds until the next
// summary is due, or -1 when none is pending.
int GuardSummarize(Guard *guard, double now_ms, int period_ms, FILE *log, int force);
// Counts one failed identification for the address and for the name.
void GuardFailed(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                 const char *name, double now_ms);
// How long the next answer to this address waits: 0 within the allowance.
int GuardAddressDelay(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                      double now_ms);
// Counts a slow check of the name starting (+1) or done (-1): checks under
// way count as failures to come, so that guesses sent side by side from
// many addresses get no more checks than the allowance.
void GuardNameChecking(Guard *guard, const char *name, int change);
// Question: the name is past its allowance.
int GuardNameAttacked(Guard *guard, const Throttle &throttle, const char *name, double now_ms);
// Question: a slow check of a name under attack may run now for this
// address (its owner's lane, or the name's ration); takes the ration.
int GuardNameMayCheck(Guard *guard, const Throttle &throttle, const char *name,
                      const std::string &peer_key, double now_ms);
// The name was identified from the address: its owner's lane.
void GuardIdentified(Guard *guard, const char *name, const std::string &peer_key, double now_ms);
// 0 and a creation counted for the address and its prefix, or 1 when
// either has made its most (per_key, per_prefix) this hour.
int GuardCreation(Guard *guard, const Admission &admission, int per_key, int per_prefix,
                  double now_ms);

// ---- Server (server_net.cpp, server_conversation.cpp) ----------------------

#define SERVER_PORT_DEFAULT 9999
#define SERVER_READ_TIMEOUT_MS 10000
#define SERVER_CONVERSATIONS_MAX 4000
#define SERVER_PER_ADDRESS_MAX 32
#define SERVER_SUMMARY_MS 10000
#define SERVER_PER_PREFIX_MAX 256
#define SERVER_CONVERSATION_MS 60000
#define SERVER_CREATIONS_PER_HOUR 10
#define SERVER_PREFIX_CREATIONS_PER_HOUR 30

// Addresses of a listed prefix may hold `most` conversations each, and so
// may their /24 or /48 (a university's or a carrier's shared addresses).
typedef struct PrefixCap {
  Prefix prefix;
  int most;
} PrefixCap;

typedef struct ServerConfig {
  std::vector<std::string> listen; // empty: the loopback addresses
  int port;                        // 0: any free port
  std::string db_path;
  int read_timeout_ms;
  int threads;           // event loops; 0: one per core
  int conversations_max; // open at once; more are hung up on at once
  int per_address_max;   // the same from one address (PeerKey)
  int per_prefix_max;    // and from one IPv4 /24 or IPv6 /48 (PrefixKey)
  std::vector<PrefixCap> prefix_caps;
  int conversation_ms;    // a whole conversation's time on the server
  int creations_per_hour; // per address
  int prefix_creations_per_hour;
  std::vector<Prefix> proxy_from; // balancers: a PROXY header comes first
  int summary_ms;                 // period of the summed-up log lines
  int store_threads;              // PostgreSQL connections, each on a thread of its own
  int store_timeout_ms;           // each database call's deadline
  Throttle throttle;
  int tls_port;         // -1: no TLS port; 0: any free port
  std::string tls_cert; // PEM, the server's certificate first, then its chain
  std::string tls_key;
  int reload_fd; // readable (SIGHUP's signalfd): load the pair again; -1: none
  FILE *log;     // one line per conversation; stderr in the program
} ServerConfig;

ServerConfig ServerConfigDefaults();

struct Server;
struct Conversation;

// What a descriptor registered with a loop's epoll stands for; the event's
// data.ptr points at its handle.
enum HandleKind {
  HANDLE_LISTENER,     // a listening socket: accept
  HANDLE_TLS_LISTENER, // the same on the TLS port
  HANDLE_WAKE,         // the loop's eventfd: hashes done, or stop
  HANDLE_CONVERSATION, // a client's socket: read
};

typedef struct Handle {
  enum HandleKind kind;
  int fd;
  struct Conversation *talk; // HANDLE_CONVERSATION only, else NULL
} Handle;

// One event loop on a thread of its own: it accepts, reads and answers its
// conversations, and takes them back when their slow hash is done.
typedef struct Loop {
  struct Server *server;
  int epoll_fd;
  int wake_fd; // eventfd: hashes done, or the server stops
  Handle wake;
  std::vector<Handle> listening; // one per listener, never resized once watched
  std::mutex done_lock;
  std::vector<struct Conversation *> done; // hashed, to go on
  struct Conversation *oldest;             // waiting conversations, by deadline
  struct Conversation *newest;
  std::multimap<double, struct Conversation *> held; // refusals due, by time
  std::thread thread;
} Loop;

// ---- TLS (server_tls.cpp) ----------------------------------------------------

typedef struct ServerTls {
  std::mutex lock;  // guards context
  SSL_CTX *context; // the pair served to new conversations; NULL: no TLS port
  std::string cert_path;
  std::string key_path;
  // Seal the session tickets; kept across reloads so that tickets stay good.
  unsigned char ticket_keys[80];
  FILE *log;
} ServerTls;

// Loads the pair; 1 with the reason logged when it cannot be served.
int TlsStart(ServerTls *tls, const std::string &cert_path, const std::string &key_path, FILE *log);
// Loads the pair again for the conversations to come; on failure the pair
// in use stays and the reason is logged.
int TlsReload(ServerTls *tls);
void TlsFree(ServerTls *tls);
// A server session on the accepted socket, NULL when none could be made.
SSL *TlsAccept(ServerTls *tls, int fd);
// Like the socket calls: the handshake 0 when done; a read the bytes, 0
// when the peer closed; a write the bytes. -1 with errno EAGAIN while the
// peer must send more, EPROTO when TLS failed.
int TlsHandshake(SSL *ssl);
ssize_t TlsRead(SSL *ssl, void *buffer, size_t size);
ssize_t TlsWrite(SSL *ssl, const void *buffer, size_t size);
// Says close_notify without waiting, then frees the session.
void TlsClose(SSL *ssl);

typedef struct Server {
  ServerConfig config;
  std::vector<int> listeners;
  std::vector<int> tls_listeners;
  int port;     // the port bound
  int tls_port; // the TLS port bound, -1 for none
  ServerTls tls;
  Store store;
  Credentials credentials;
  std::atomic<long long> clock_offset_ms; // moved by tests
  std::atomic<bool> stopping;
  std::atomic<int> open_conversations;
  Guard guard;
  std::vector<Loop *> loops;
  // Slow hashes run on their own threads, one per core, so that the loops
  // keep serving meanwhile. Each address has its queue and the addresses
  // take turns, so that one of them cannot keep the others waiting.
  std::mutex jobs_lock;
  std::condition_variable jobs_ready;
  std::unordered_map<std::string, std::deque<struct Conversation *>> jobs; // by PeerKey
  std::deque<std::string> jobs_turn; // the addresses with jobs, next first
  std::vector<std::thread> hashers;
  std::atomic<long> checks_dropped; // jobs of clients gone before their turn
  std::mutex reserved_lock;
  std::unordered_set<std::string> reserved; // names being created
  StorePool store_pool;
} Server;

// Opens the database and binds the listeners; the caller then runs
// ServerRun and finally ServerFree.
int ServerStart(const ServerConfig &config, Server **out);
// Serves until stop_fd becomes readable, then ends every conversation;
// the TLS pair is loaded again each time config.reload_fd is.
int ServerRun(Server *server, int stop_fd);
int ServerReloadTls(Server *server);
void ServerFree(Server *server);
// The game clock in seconds: real time plus the offset the tests add.
double ServerNow(Server *server);
void ServerMoveClock(Server *server, double seconds);
double MonotonicMs();
// Hands a conversation to the hashing threads, in the queue of its
// client's address; it comes back to its loop through ConversationHashed.
void ServerQueueHash(Server *server, const std::string &peer_key, struct Conversation *talk);
// The next check in turn, or NULL when none waits: for a caller that runs
// the checks on its own thread instead of the hashing threads.
struct Conversation *ServerTakeHash(Server *server);
// Gives a hashed conversation, or one whose store job is done, back to its
// loop (from a hashing or store thread).
void LoopPostHashed(Loop *loop, struct Conversation *talk);
// Goes on with the conversations posted to the loop; 1 when there were
// any. On the loop's thread.
int LoopTakeHashed(Loop *loop);
// Registers a handle's descriptor with the loop's epoll; the handle must
// outlive the registration.
int LoopWatch(Loop *loop, Handle *handle, uint32_t events);

// The PROXY protocol header (v1 or v2) at the start of a connection, as
// balancers send it (server_proxy.cpp).
#define PROXY_HEADER_MAX 536
enum { PROXY_DONE = 0, PROXY_BAD = 1, PROXY_MORE = 2 };
// PROXY_DONE: the header is the first *used bytes and *peer the client's
// address (left as it was for the balancer's own checks); PROXY_MORE: more
// bytes are needed; PROXY_BAD: no header.
int ProxyHeaderRead(const char *bytes, size_t length, struct sockaddr_storage *peer, size_t *used);

// Conversations (server_conversation.cpp), all called on their loop's
// thread except ConversationHash.
// Refuses (closes) the connection when the server or the peer's address
// holds all the conversations it may: 1, else 0. A connection from a
// balancer is admitted once its PROXY header names the client. `tls`: the
// client speaks TLS, after the PROXY header when there is one.
int ConversationStart(Loop *loop, int fd, const struct sockaddr_storage *peer, int tls);
void ConversationReadable(struct Conversation *talk);
// On a hashing thread: the slow hash, unless the client has left.
void ConversationHash(struct Conversation *talk);
// Back on the loop after its hash or its store job.
void ConversationHashed(struct Conversation *talk);
// Sends the held refusals that are due and ends the conversations past
// their deadline; returns the milliseconds to the next of either, or -1
// when none waits.
int ConversationsExpire(Loop *loop);
void ConversationsEndAll(Loop *loop, const char *outcome);

// ---- Command line (server_options.cpp) -------------------------------------

// 0: run; 1: bad arguments (the problem written to err); 2: the help or the
// version was printed.
int ParseServerOptions(int argc, char **argv, ServerConfig *config, FILE *out, FILE *err);
// The database beside an install tree: <bin>/../../var/lib/varkel/varkel.db.
std::string DefaultDatabasePath(const std::string &binary_path);
// The running program's own file, for its default database.
std::string ProgramPath(const char *argv0);
// Creates the folders of a database file's path that are missing, the one
// holding it 0700; nothing for a URI.
int MakeParentFolders(const std::string &path);

#endif
