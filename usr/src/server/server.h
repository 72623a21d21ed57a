// varkel_server: the game rules, the store, the credentials and the network
// side. Functions return 0 on success, 1 on failure, as in the client.
#ifndef VARKEL_SERVER_H
#define VARKEL_SERVER_H

#include <stdio.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <sodium.h>
#include <sqlite3.h>

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
// A need as the whole percentage the player is told.
int WholePercent(double need);
int NameIsValid(const char *name);
// The line kept for a speech: control characters become blanks, and it is
// cut (on a UTF-8 boundary) to RULE_LINE_MAX bytes.
std::string CleanLine(const char *speech);

// ---- Store (server_store.cpp) ----------------------------------------------

typedef struct Account {
  std::string password_hash;
  Body body;
} Account;

typedef struct Store {
  sqlite3 *db;
  std::mutex lock; // one connection, one writer at a time
  sqlite3_stmt *find;
  sqlite3_stmt *insert;
  sqlite3_stmt *update;
  sqlite3_stmt *say;
  std::deque<std::string> lines; // the chat memory, oldest first
} Store;

// Opens (creating if needed) the database in WAL mode and loads the memory.
int StoreOpen(Store *store, const char *path, FILE *log);
void StoreClose(Store *store);
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
std::vector<std::string> StoreListen(Store *store);

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

// ---- Server (server_net.cpp, server_conversation.cpp) ----------------------

#define SERVER_PORT_DEFAULT 9999
#define SERVER_READ_TIMEOUT_MS 10000
#define SERVER_CONVERSATIONS_MAX 4000

typedef struct ServerConfig {
  std::vector<std::string> listen; // empty: the loopback addresses
  int port;                        // 0: any free port
  std::string db_path;
  int read_timeout_ms;
  int threads;           // event loops; 0: one per core
  int conversations_max; // open at once; more are hung up on at once
  FILE *log;             // one line per conversation; stderr in the program
} ServerConfig;

ServerConfig ServerConfigDefaults();

struct Server;
struct Conversation;

// One event loop on a thread of its own: it accepts, reads and answers its
// conversations, and takes them back when their slow hash is done.
typedef struct Loop {
  struct Server *server;
  int epoll_fd;
  int wake_fd; // eventfd: hashes done, or the server stops
  std::mutex done_lock;
  std::vector<struct Conversation *> done; // hashed, to go on
  struct Conversation *oldest;             // waiting conversations, by deadline
  struct Conversation *newest;
  std::thread thread;
} Loop;

typedef struct Server {
  ServerConfig config;
  std::vector<int> listeners;
  int port; // the port bound
  Store store;
  Credentials credentials;
  std::atomic<long long> clock_offset_ms; // moved by tests
  std::atomic<bool> stopping;
  std::atomic<int> open_conversations;
  std::vector<Loop *> loops;
  // Slow hashes run on their own threads, one per core, so that the loops
  // keep serving meanwhile.
  std::mutex jobs_lock;
  std::condition_variable jobs_ready;
  std::deque<struct Conversation *> jobs;
  std::vector<std::thread> hashers;
  std::mutex reserved_lock;
  std::unordered_set<std::string> reserved; // names being created
} Server;

// Opens the database and binds the listeners; the caller then runs
// ServerRun and finally ServerFree.
int ServerStart(const ServerConfig &config, Server **out);
// Serves until stop_fd becomes readable, then ends every conversation.
int ServerRun(Server *server, int stop_fd);
void ServerFree(Server *server);
// The game clock in seconds: real time plus the offset the tests add.
double ServerNow(Server *server);
void ServerMoveClock(Server *server, double seconds);
double MonotonicMs();
// Hands a conversation to the hashing threads; it comes back to its loop
// through ConversationHashed.
void ServerQueueHash(Server *server, struct Conversation *talk);
// Gives a hashed conversation back to its loop (from a hashing thread).
void LoopPostHashed(Loop *loop, struct Conversation *talk);

// Conversations (server_conversation.cpp), all called on their loop's
// thread except ConversationHash.
void ConversationStart(Loop *loop, int fd, const struct sockaddr_storage *peer);
void ConversationReadable(struct Conversation *talk);
void ConversationHash(struct Conversation *talk); // on a hashing thread
void ConversationHashed(struct Conversation *talk);
// Ends the conversations past their deadline; returns the milliseconds to
// the next deadline, or -1 when none waits.
int ConversationsExpire(Loop *loop);
void ConversationsEndAll(Loop *loop, const char *outcome);

// ---- Command line (server_options.cpp) -------------------------------------

// 0: run; 1: bad arguments (usage written to err); 2: help was printed.
int ParseServerOptions(int argc, char **argv, ServerConfig *config, FILE *out, FILE *err);
// The database beside an install tree: <bin>/../../var/lib/varkel/varkel.db.
std::string DefaultDatabasePath(const std::string &binary_path);
// Creates the folders of a file's path that are missing.
int MakeParentFolders(const std::string &path);

#endif
