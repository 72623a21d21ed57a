// SPDX-License-Identifier: MIT
// varkel_server for other programs: the game rules, the store, the
// credentials, the configuration and its command line, and a server
// started in-process. The server's own parts are in server_internal.h.
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
//   none; a pointer: NULL for none;
// - the command-line readers: 0 to run, 1 for bad arguments, 2 when the
//   help was printed; a program's exit status is 0, 1 when it failed, 2 for
//   a bad command line.
#ifndef VARKEL_SERVER_H
#define VARKEL_SERVER_H

#include <stdio.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

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
#define STORE_SCHEMA_VERSION 2

typedef struct Account {
  std::string password_hash;
  Body body;
  // Where it was identified before, each address as the log writes it,
  // separated by blanks: its owner's, whose guessing allowance a restart
  // does not forget.
  std::string owners;
} Account;

// A character as the admin tool shows it: never its hash.
typedef struct CharacterRow {
  std::string name;
  Body body;
} CharacterRow;

struct Store;
struct StoreJob;

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
// The engine of a file of this machine's.
extern const StoreEngine kSqliteEngine;
// Opens (creating if needed) the database of a server, brings its schema
// up to date, and keeps other servers off an SQLite file.
int StoreOpen(Store *store, const char *where, FILE *log);
// Opens an existing database beside the server that runs on it.
int StoreOpenShared(Store *store, const char *where, const char *program, FILE *log);
void StoreClose(Store *store);
// Sets the deadline of each call and the store threads, refused beyond
// what the database allows.
int StoreLimit(Store *store, int threads, int timeout_ms);
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

// ---- Addresses in the options (server_proxy.cpp) ---------------------------

// An address, or all those of a prefix, as the options name them.
typedef struct Prefix {
  int family; // AF_INET or AF_INET6
  unsigned char bytes[16];
  int bits;
} Prefix;

// "ADDRESS" or "ADDRESS/BITS", IPv4 or IPv6.
int PrefixParse(const char *text, Prefix *prefix);

// ---- Throttling in the options (server_guard.cpp) --------------------------

// Guessing passwords is throttled: past its allowance of failed
// identifications an address is answered "Bad password" after a delay,
// without any check. Past a name's own allowance, from all addresses
// together, every answer for that name, right or wrong, waits the same
// hold, and its slow checks are rationed, but for the addresses where it
// has been identified before. An IPv6 /48 has an allowance of its own for
// all its /64s together, which the addresses where the name was identified
// before (its owner's) are spared. A name's count drains at its allowance
// per forget_ms, so that a trickle of failures never keeps it held.
typedef struct Throttle {
  int address_failures; // allowed per address before its answers wait
  int name_failures;    // allowed per name, from all addresses together
  int delay_first_ms;   // the first wait; each failure past it doubles it
  int delay_max_ms;
  int forget_ms;        // a count is forgotten this long after its last failure
  int name_hold_ms;     // every answer for a name under attack waits this long
  int name_check_ms;    // and its slow checks run at most once per this
  int network_failures; // allowed per IPv6 /48, from all its /64s together
} Throttle;

#define THROTTLE_ADDRESS_FAILURES 5
#define THROTTLE_NAME_FAILURES 20
#define THROTTLE_DELAY_FIRST_MS 1000
#define THROTTLE_DELAY_MAX_MS 30000
#define THROTTLE_FORGET_MS (15 * 60 * 1000)
#define THROTTLE_NAME_HOLD_MS 1000
#define THROTTLE_NAME_CHECK_MS 1000
#define THROTTLE_NETWORK_FAILURES 30

// ---- Server (server_net.cpp, server_conversation.cpp) ----------------------

#define SERVER_PORT_DEFAULT 9999
#define SERVER_READ_TIMEOUT_MS 10000
#define SERVER_CONVERSATIONS_MAX 4000
#define SERVER_PER_ADDRESS_MAX 32
#define SERVER_SUMMARY_MS 10000
#define SERVER_PER_PREFIX_MAX 256
#define SERVER_CONVERSATION_MS 60000
#define SERVER_KEPT_IDLE_MS (5 * 60 * 1000)
#define SERVER_CREATIONS_PER_HOUR 10
#define SERVER_PREFIX_CREATIONS_PER_HOUR 30

// Addresses of a listed prefix may hold `most` conversations each, and so
// may their /24 or /48 (a university's or a carrier's shared addresses).
typedef struct PrefixCap {
  Prefix prefix;
  int most;
} PrefixCap;

typedef struct ServerConfig {
  std::vector<std::string> listen; // empty: the loopback addresses (none with unix_path)
  std::string unix_path;           // a Unix socket to listen on as well; empty: none
  std::string while_locked;        // serve while others hold this file's shared flock
  int port;                        // 0: any free port
  std::string db_path;
  int read_timeout_ms;
  int threads;           // event loops; 0: one per core
  int conversations_max; // open at once; more are hung up on at once
  int per_address_max;   // the same from one address (PeerKey)
  int per_prefix_max;    // and from one IPv4 /24 or IPv6 /48 (PrefixKey)
  std::vector<PrefixCap> prefix_caps;
  int conversation_ms;    // a whole conversation's time on the server
  int kept_idle_ms;       // a TLS connection kept unused between conversations; 0: none kept
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
  std::string tls_own_folder; // without tls_cert: where the server's own pair is kept
  bool check_only;            // open and load everything, serve nothing (--check)
  int reload_fd;              // readable (SIGHUP's signalfd): load the pair again; -1: none
  FILE *log;                  // one line per conversation; stderr in the program
} ServerConfig;

ServerConfig ServerConfigDefaults();

struct Server;

// Opens the database and binds the listeners; the caller then runs
// ServerRun and finally ServerFree.
int ServerStart(const ServerConfig &config, Server **out);
// Serves until stop_fd becomes readable, then ends every conversation;
// the TLS pair is loaded again each time config.reload_fd is.
int ServerRun(Server *server, int stop_fd);
void ServerFree(Server *server);
// The game clock in seconds: real time plus the offset the tests add.
double ServerNow(Server *server);
void ServerMoveClock(Server *server, double seconds);

// ---- Command line (server_options.cpp) -------------------------------------

// 0: run; 1: bad arguments (the problem written to err); 2: the help or the
// version was printed.
int ParseServerOptions(int argc, char **argv, ServerConfig *config, FILE *out, FILE *err);
// The database beside an install tree: <bin>/../../var/lib/varkel/varkel.db.
std::string DefaultDatabasePath(const std::string &binary_path);
// Where the server keeps files of its own: the SQLite database's folder, or
// the default one's beside a PostgreSQL database.
std::string StateFolder(const ServerConfig &config, const std::string &binary_path);
// The running program's own file, for its default database.
std::string ProgramPath(const char *argv0);
// Creates the folders of a database file's path that are missing, the one
// holding it 0700; nothing for a URI.
int MakeParentFolders(const std::string &path);

#endif
