// SPDX-License-Identifier: MIT
// varkel_server's own parts: the work queue, the store jobs, the guard's
// tables, the event loops and their handles, the conversations, the PROXY
// header and TLS. Only the server's files include it, and the few tests
// and fuzzers that drive these parts, each saying why. What the functions
// return: see server.h.
#ifndef VARKEL_SERVER_INTERNAL_H
#define VARKEL_SERVER_INTERNAL_H

#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

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

#include "server.h"

// The clock of every deadline and rate, defined here so that every file
// reads it without depending on another.
inline double MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// ---- The work queue (server_work.cpp) --------------------------------------

// Slow work (password hashes, database calls) runs on worker threads so that
// the loops never wait; each job is handed back, once run, to the box of the
// loop that asked, whose thread runs its completion. The queue knows neither
// the loops nor what a job is about.
struct WorkBox;

// Lanes: WORK_FIRST's jobs start before any of WORK_SPARING's, which take at
// most all the threads but one.
enum { WORK_FIRST = 0, WORK_SPARING = 1 };

typedef struct WorkJob {
  int lane;
  std::string key;           // the keys with jobs take turns
  void *subject;             // what the queue's run works on
  void (*done)(void *asker); // the completion, on the box's thread
  void *asker;               // its context
  struct WorkBox *back;      // where the job goes once run; NULL: nowhere
} WorkJob;

// Jobs handed back to a loop: its eventfd wakes it.
typedef struct WorkBox {
  std::mutex lock;
  std::vector<WorkJob *> jobs;
  int fd;
} WorkBox;

typedef struct WorkLane {
  std::unordered_map<std::string, std::deque<WorkJob *>> jobs;
  std::deque<std::string> turn; // the keys with jobs that may start, next first
} WorkLane;

// One queue and its threads. In each lane the keys have their queues and
// take turns, so that one of them cannot keep the others waiting; with
// one_per_key a key's jobs also run one after the other (the empty key's
// side by side).
typedef struct WorkQueue {
  // Runs a batch of at most batch_most jobs, on a worker thread.
  void (*run)(void *owner, WorkJob **jobs, size_t count);
  void *owner;
  size_t batch_most;
  bool one_per_key;
  std::mutex lock;
  std::condition_variable ready;
  WorkLane lanes[2];
  std::unordered_set<std::string> running_keys; // one_per_key: a job of theirs runs
  int sparing_running;
  int sparing_most;
  std::vector<std::thread> threads;
  bool stopping;
  std::atomic<long> taken[2]; // jobs taken from each lane (tests read them)
} WorkQueue;

// Sets the queue up and starts its threads (none for a queue the caller
// drives with WorkRunReady).
int WorkStart(WorkQueue *queue, int threads, size_t batch_most, bool one_per_key,
              void (*run)(void *owner, WorkJob **jobs, size_t count), void *owner);
// Waits for the running jobs and drops the waiting ones.
void WorkStop(WorkQueue *queue);
void WorkSubmit(WorkQueue *queue, WorkJob *job);
// Runs the jobs that can start on the caller's thread; 1 when there were
// any (for a caller without worker threads, as the fuzzers).
int WorkRunReady(WorkQueue *queue);
// The box's thread: the jobs handed back since the last take, their
// completions run; its eventfd read. 1 when there were any.
int WorkTakeDone(WorkBox *box);

// ---- Store jobs (server_store*.cpp) -----------------------------------------

// What a store job asks for.
enum StoreCall {
  STORE_FIND,   // in: name; out: found, account (its owners too)
  STORE_CREATE, // in: name, text (the hash), now; out: found (created)
  STORE_UPDATE, // in: name, change, now, known/account, owner; out: body, was_dead
  STORE_SAY,    // in: text (the line)
  STORE_LISTEN, // out: lines
};

// One call to the database, made on a store thread (or by the caller's
// thread for the admin tool and the tests). A change of a character is one
// round trip where the engine allows: an update compares the row it last
// read (`known`) and writes only if it is still the same.
typedef struct StoreJob {
  enum StoreCall call;
  std::string name;  // the character; empty for the chat memory
  std::string text;  // a creation's hash, or the line said
  std::string owner; // STORE_UPDATE: an address to remember as the name's owner's
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
} StoreJob;

// A job for a direct call, its deadline from now.
StoreJob StoreJobFor(Store *store, enum StoreCall call, const char *name);
// Runs one job on the caller's thread; its rc.
int StoreRunJob(Store *store, StoreJob *job);
// The store queue's run (owner: the Store, subjects: StoreJobs): a batch of
// calls, those past their deadline given up without a call.
void StoreRunWork(void *store, WorkJob **jobs, size_t count);
// Logs a failed call of the engine.
int StoreFail(Store *store, const char *call, const char *detail);
// Logs a failure of a shared database or a deadline, at most once per
// STORE_REPORT_MS with the count of those not logged; returns 1.
int StoreReport(Store *store, const char *call, const char *detail);
// After a call that went through: logs once that the database answers
// again after a failure was logged (a database that comes and goes still
// makes one failure line per STORE_REPORT_MS).
void StoreAnswered(Store *store);

// ---- Guard (server_guard.cpp) ----------------------------------------------

// A client's address as the guard counts it: an IPv4 address, or the /64 of
// an IPv6 one; "-" for any other kind of peer.
std::string PeerKey(const struct sockaddr_storage *peer);
// The neighbourhood it shares with others: its IPv4 /24 or IPv6 /48.
std::string PrefixKey(const struct sockaddr_storage *peer);
// Either key as the log shows it.
std::string PeerKeyText(const std::string &key);

// The address's bytes and its family (AF_INET, AF_INET6, 0 for neither),
// an IPv4 client seen through an IPv6 socket being that IPv4 address. This
// and the prefix questions live with the PROXY header (server_proxy.cpp).
int AddressBytes(const struct sockaddr_storage *address, const unsigned char **bytes);
// Questions: the address lies in the prefix, in one of the list's.
int PrefixHolds(const Prefix &prefix, const struct sockaddr_storage *address);
int PrefixListHolds(const std::vector<Prefix> &list, const struct sockaddr_storage *address);

// Entries kept per table; past it the least lately touched are forgotten.
#define THROTTLE_ENTRIES_MAX 65536
// An address where a name was identified stays its owner's lane this long.
#define THROTTLE_LANE_FORGET_MS (30.0 * 24 * 3600 * 1000)
// Creations per hour: each drains away over an hour's share of the
// allowance, so that an address creates its allowance at once, then one
// more each hour / allowance.
#define CREATIONS_FORGET_MS (3600 * 1000)

typedef struct Failures {
  std::string key;
  double count; // as at last_ms, for a table whose counts drain
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

// TLS handshakes an address (IPv4, or IPv6 /64) may start per second, and
// their burst; its prefix (/24, /48) TLS_PREFIX_SHARE times as many. Each
// ClientHello is a hello; one answered with the certificate (no session
// resumed) is a full handshake as well, the costly kind. An address or
// prefix allowed more conversations than the default gets as many more.
#define TLS_HELLOS_PER_SECOND 10
#define TLS_HELLOS_BURST 40
#define TLS_FULL_PER_SECOND 1
#define TLS_FULL_BURST 8
#define TLS_PREFIX_SHARE 4
// The guard looks this often whether memory should go back to the system:
// once GUARD_TRIM_ENDED conversations ended since it last did, when they
// stopped coming (fewer than a sixteenth of that in the last look), or
// after GUARD_TRIM_PERIOD_MS of them.
#define GUARD_TRIM_LOOK_MS 1000
#define GUARD_TRIM_ENDED 1024
#define GUARD_TRIM_PERIOD_MS 10000.0

// A rate's tokens: earned with time up to the burst, one spent per event.
typedef struct Bucket {
  double tokens;
  double at_ms;
} Bucket;

// Conversations that end before their identification (refusals, breaches,
// departures) are logged one by one up to this burst, then at this rate;
// past it they are summed up.
#define GUARD_LOG_BURST 40
#define GUARD_LOG_PER_SECOND 5
// And those served, per address (a valid character could fill the disk
// too), up to their own burst and rate.
#define GUARD_SERVED_LOG_BURST 20
#define GUARD_SERVED_LOG_PER_SECOND 0.5

typedef struct Guard {
  std::mutex lock;
  FailureTable addresses; // by PeerKey
  FailureTable networks;  // by the /48 of an IPv6 PeerKey
  FailureTable names;
  FailureTable lanes;     // name, NUL, PeerKey: identified there before
  FailureTable creations; // by PeerKey and by PrefixKey
  std::unordered_map<std::string, double> name_checked_ms; // last rationed check
  std::unordered_map<std::string, int> name_checking;      // checks under way
  std::unordered_map<std::string, int> network_checking;   // and by IPv6 /48
  std::unordered_map<std::string, int> open; // conversations per address and per prefix
  Tally refused;                             // connections closed at once
  Tally dropped;                             // connections gone before a first message
  Tally unlogged;                            // conversations past the log's rate
  Tally served_unlogged;                     // served ones past their address's rate
  Bucket log_tokens = {GUARD_LOG_BURST, 0};  // one spent per line
  std::unordered_map<std::string, Bucket> served_log_tokens; // by PeerKey
  // TLS handshakes' rates, by PeerKey and by PrefixKey.
  std::unordered_map<std::string, Bucket> hellos;
  std::unordered_map<std::string, Bucket> full_handshakes;
  Tally handshakes_refused;
  // Conversations ended, for the memory given back.
  long left = 0;
  long left_at_trim = 0;
  long left_looked = 0;
  double trimmed_ms = 0;
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
// The same for a served conversation, within its address's own rate.
int GuardMayLogServed(Guard *guard, const std::string &key, double now_ms);
// Writes the summaries once `period_ms` has passed since the first of their
// events (at once with `force`). Returns the milliseconds until the next
// summary is due, or -1 when none is pending.
int GuardSummarize(Guard *guard, double now_ms, int period_ms, FILE *log, int force);
// Counts one failed identification for the address, its IPv6 /48 and the
// name.
void GuardFailed(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                 const char *name, double now_ms);
// How long the next answer to this address waits: 0 within the allowance.
int GuardAddressDelay(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                      double now_ms);
// The same for the IPv6 /48 of the address (0 for IPv4, whose addresses are
// each counted already).
int GuardNetworkDelay(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                      double now_ms);
// Question: failures are counted for the address, its /48 or the name, or
// the /48 has a check under way, so that its slow check waits in the
// guessing lane.
int GuardGuessing(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                  const char *name, double now_ms);
// Question: the name was identified from this address lately (its owner).
int GuardOwner(Guard *guard, const char *name, const std::string &peer_key, double now_ms);
// Counts a slow check of the name, and of the address's IPv6 /48, starting
// (+1) or done (-1): checks under way count as failures to come, so that
// guesses sent side by side from many addresses get no more checks than the
// name's allowance, and a network's burst waits in the guessing lane.
void GuardChecking(Guard *guard, const char *name, const std::string &peer_key, int change);
// Question: the name is past its allowance.
int GuardNameAttacked(Guard *guard, const Throttle &throttle, const char *name, double now_ms);
// Question: a slow check of a name under attack may run now (the name's
// ration; its owners are never held); takes the ration.
int GuardNameMayCheck(Guard *guard, const Throttle &throttle, const char *name, double now_ms);
// The name was identified from the address: its owner's lane.
void GuardIdentified(Guard *guard, const char *name, const std::string &peer_key, double now_ms);
// 0 and a TLS handshake counted for the address and its prefix, a full one
// or a hello, or 1 (counted for the summary) when either is past its rate.
int GuardHandshake(Guard *guard, const Admission &admission, int full, double now_ms);
// Question: enough conversations ended that the memory they took should go
// back to the system now (called every GUARD_TRIM_LOOK_MS).
int GuardTrimDue(Guard *guard, double now_ms);
// 0 and a creation counted for the address and its prefix, or 1 when
// either has made its most (per_key, per_prefix) this hour.
int GuardCreation(Guard *guard, const Admission &admission, int per_key, int per_prefix,
                  double now_ms);

// ---- Server (server_net.cpp, server_conversation.cpp) ----------------------

struct Conversation;

// What a descriptor registered with a loop's epoll stands for; the event's
// data.ptr points at its handle.
enum HandleKind {
  HANDLE_LISTENER,     // a listening socket: accept
  HANDLE_TLS_LISTENER, // the same on the TLS port
  HANDLE_WAKE,         // the loop's eventfd: work done, or stop
  HANDLE_CONVERSATION, // a client's socket: read, and write what waits
};

typedef struct Handle {
  enum HandleKind kind;
  int fd;
  struct Conversation *talk; // HANDLE_CONVERSATION only, else NULL
} Handle;

// One event loop on a thread of its own: it accepts, reads and answers its
// conversations, and runs the completions of the work they asked for.
typedef struct Loop {
  struct Server *server;
  int epoll_fd;
  int wake_fd; // eventfd: work done, or the server stops
  Handle wake;
  std::vector<Handle> listening; // one per listener, never resized once watched
  WorkBox done;                  // work handed back, its fd the wake_fd
  struct Conversation *oldest;   // waiting conversations, by deadline
  struct Conversation *newest;
  std::multimap<double, struct Conversation *> held; // refusals due, by time
  std::thread thread;
} Loop;

// ---- TLS (server_tls.cpp) ----------------------------------------------------

// Seals session tickets: its name goes in the clear at the ticket's head.
typedef struct TicketKey {
  unsigned char name[16];
  unsigned char cipher[32]; // AES-256-CBC
  unsigned char mac[32];    // HMAC-SHA256
} TicketKey;

// How long a ticket key seals new tickets, and how long a ticket lives:
// the key before still opens tickets, so that each lives its whole life.
#define TLS_TICKET_KEY_SECONDS 7200
// A handshake is over within this of the connection (the read limit when
// that is shorter), or the connection ends.
#define TLS_HANDSHAKE_MS 5000

typedef struct ServerTls {
  Guard *guard;     // rations the handshakes
  std::mutex lock;  // guards context
  SSL_CTX *context; // the pair served to new conversations; NULL: no TLS port
  std::string cert_path;
  std::string key_path;
  // Kept across reloads so that tickets stay good; a stolen key opens no
  // ticket sealed two changes before.
  std::mutex ticket_lock;   // guards the keys
  TicketKey ticket_keys[2]; // the one sealing, the one before
  double ticket_key_made_ms;
  int keeps; // picks TLS_KEPT_PROTOCOL: connections are kept
  FILE *log;
} ServerTls;

// The pair of the server's own in folder, made there (0600) first when
// make and it is not there yet; without make, paths left empty when it is
// not there. 1 with the reason logged when it could not be made.
int TlsOwnPair(const std::string &folder, int make, std::string *cert_path, std::string *key_path,
               FILE *log);
// Logs the certificate's names and expiry, and warns when it is near.
void TlsLogCertificate(SSL_CTX *context, const std::string &cert_path, FILE *log);
// Loads the pair; 1 with the reason logged when it cannot be served.
int TlsStart(ServerTls *tls, const std::string &cert_path, const std::string &key_path, FILE *log);
// Loads the pair again for the conversations to come; on failure the pair
// in use stays and the reason is logged.
int TlsReload(ServerTls *tls);
void TlsFree(ServerTls *tls);
// A new key seals the tickets to come; the one before still opens them.
// Also done when a ticket is sealed or opened with a key
// TLS_TICKET_KEY_SECONDS old, and only then. 1 when no key could be made.
int TlsChangeTicketKey(ServerTls *tls);
// The handshake on the socket, called again with each arrival. The session
// is made once the ClientHello is whole in the socket (one longer than its
// first record is refused), so that a ClientHello held half-sent costs no
// TLS buffers, and only if the guard lets in a hello from the admission's
// address (filled in by then); a full handshake is rationed too. Like the
// socket calls: the handshake 0 when done; a read the bytes, 0 when the
// peer closed; a write the bytes. -1 with errno EAGAIN while the peer must
// send more (or take more), EPROTO when TLS failed, ECONNREFUSED when the
// guard refused the handshake (counted there). After a failure the session
// closes without close_notify, which OpenSSL forbids.
int TlsHandshake(ServerTls *tls, int fd, const Admission *admission, SSL **session);
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
  // Slow hashes run on their own threads, one per core. Checks with no
  // failure behind them (players') go first (WORK_FIRST), and guesses
  // (WORK_SPARING) never take the last thread, so that a player's check
  // never waits behind a network's guesses; the addresses (for guesses, the
  // IPv6 /48s) take turns.
  WorkQueue hashes;
  // The database calls, on --store-threads threads (one for SQLite): a
  // character's calls one after the other, the characters taking turns.
  WorkQueue store_calls;
  std::atomic<long> checks_dropped; // jobs of clients gone before their turn
  std::atomic<long> answers_held;   // identifications answered after a hold or delay
  std::mutex reserved_lock;
  std::unordered_set<std::string> reserved; // names being created
  int local_lock_fd = -1;                   // held while the Unix socket is ours (server_local.cpp)
} Server;

// The Unix socket of config.unix_path, for its owner alone, into the plain
// listeners; the lock file beside it (PATH.lock, holding the pid) is held
// for the server's life, so that a second server refuses to start and a
// socket file left by one that died is replaced. 1 when refused, logged.
int ListenLocal(Server *server);
// Removes the socket file and lets its lock go.
void CloseLocal(Server *server);
// Sets up the queues of slow work: one hashing thread per loop, the store's
// threads as many as its engine may use (one for SQLite), each taking the
// engine's batch; no threads when not `threaded` (the caller runs the jobs
// with WorkRunReady, as the fuzzers).
int ServerStartWork(Server *server, int threaded);

// The PROXY protocol header (v1 or v2) at the start of a connection, as
// balancers send it (server_proxy.cpp).
#define PROXY_HEADER_MAX 536
enum { PROXY_DONE = 0, PROXY_BAD = 1, PROXY_MORE = 2 };
// PROXY_DONE: the header is the first *used bytes and *peer the client's
// address (left as it was for the balancer's own checks); PROXY_MORE: more
// bytes are needed; PROXY_BAD: no header.
int ProxyHeaderRead(const char *bytes, size_t length, struct sockaddr_storage *peer, size_t *used);

// Conversations (server_conversation.cpp), all called on their loop's
// thread but ConversationsCheck; the loop hands them its events and they
// hand slow work to the server's queues, with its completion.
// Refuses (closes) the connection when the server or the peer's address
// holds all the conversations it may: 1, else 0. A connection from a
// balancer is admitted once its PROXY header names the client. `tls`: the
// client speaks TLS, after the PROXY header when there is one.
int ConversationStart(Loop *loop, int fd, const struct sockaddr_storage *peer, int tls);
// What epoll reported: replies that waited go out, then what came is read.
void ConversationEvent(struct Conversation *talk, uint32_t events);
// The hashes queue's run (subjects: Conversations), on a hashing thread:
// each one's slow hash, unless its client has left.
void ConversationsCheck(void *server, WorkJob **jobs, size_t count);
// Sends the held refusals that are due and ends the conversations past
// their deadline; returns the milliseconds to the next of either, or -1
// when none waits.
int ConversationsExpire(Loop *loop);
void ConversationsEndAll(Loop *loop, const char *outcome);

#endif
