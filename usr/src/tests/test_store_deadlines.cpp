// SPDX-License-Identifier: MIT
// The database never stalls the server: with PostgreSQL a delay relay
// away, a character's row locked by another session, or the database's
// processes stopped, the event loop (one here) goes on answering everyone
// else, and the calls that cannot be made end their conversations
// unacknowledged at their deadline.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include "support.h"
#include "support_postgres.h"
#include "support_server.h"

static std::function<void(ServerConfig *)> OneLoop(int timeout_ms) {
  return [timeout_ms](ServerConfig *config) {
    config->threads = 1;
    config->store_timeout_ms = timeout_ms;
  };
}

// A second session holds ann's row until it ends its transaction.
class RowLock {
public:
  explicit RowLock(const std::string &uri) : conn(PQconnectdb(uri.c_str())) {
    EXPECT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    Exec("BEGIN");
    Exec("SELECT * FROM characters WHERE name = 'ann' FOR UPDATE");
  }
  ~RowLock() { PQfinish(conn); }
  void Exec(const char *sql) {
    PGresult *result = PQexec(conn, sql);
    EXPECT_TRUE(PQresultStatus(result) == PGRES_COMMAND_OK ||
                PQresultStatus(result) == PGRES_TUPLES_OK)
        << sql << ": " << PQerrorMessage(conn);
    PQclear(result);
  }
  PGconn *conn;
};

// Whether ann wakes within the time, tried every 100 ms: a database
// resumed comes back on the server's next try.
static bool WokenWithin(int port, int limit_ms) {
  for (int waited = 0; waited < limit_ms; waited += 100) {
    if (Wake(port, "ann", "pw") == WIRE_OK) return true;
    usleep(100000);
  }
  return false;
}

TEST(StoreDeadlines, ARowLockedElsewhereHoldsOnlyItsOwnCharacter) {
  std::string uri = SharedPostgres()->NewDatabase();
  TestRelay relay(SharedPostgres()->port, 2.0);
  ASSERT_GT(relay.port, 0);
  TestServer server(SERVER_READ_TIMEOUT_MS, "", OneLoop(3000), relay.UriTo(uri));
  ASSERT_GT(server.port, 0) << server.Log();
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  ASSERT_TRUE(CreateCharacter(server.port, "bob", "pw"));
  ASSERT_EQ(Wake(server.port, "ann", "pw"), WIRE_OK);
  ASSERT_EQ(Wake(server.port, "bob", "pw"), WIRE_OK);
  server.MoveClock(3600.0);

  RowLock lock(uri);
  std::atomic<bool> ann_answered(false);
  std::string ann_reply;
  std::thread ann([&] {
    ann_reply = NameAgain(server.port, WIRE_QUERY_DRINK, "ann", "pw");
    ann_answered = true;
  });
  // Everyone else is served while ann's drink waits for the row.
  for (int i = 0; i < 10; i++) {
    EXPECT_EQ(Status(server.port, "bob", "pw"), (std::vector<std::string>{"16", "33", "6"}));
    EXPECT_EQ(Wake(server.port, "bob", "pw"), WIRE_OK);
  }
  EXPECT_EQ(Speak(server.port, "bob", "pw", "on attend"), WIRE_OK);
  EXPECT_FALSE(ann_answered.load()) << "bob's conversations waited behind ann's";
  ann.join();
  // Past the deadline: no acknowledgement, the drink not made.
  EXPECT_EQ(ann_reply, HEARD_HUNG_UP);
  // Its backend gives up the wait by itself: the drink cannot commit later.
  std::string waiting = "1";
  for (int i = 0; i < 100 && waiting != "0"; i++) {
    waiting = PostgresValue(uri, "SELECT count(*) FROM pg_locks WHERE NOT granted");
    if (waiting != "0") usleep(100000);
  }
  EXPECT_EQ(waiting, "0");
  lock.Exec("ROLLBACK");
  EXPECT_EQ(Status(server.port, "ann", "pw"), (std::vector<std::string>{"16", "33", "6"}));
  EXPECT_EQ(NameAgain(server.port, WIRE_QUERY_DRINK, "ann", "pw"), WIRE_OK);
  EXPECT_EQ(Status(server.port, "ann", "pw"), (std::vector<std::string>{"16", "0", "6"}));
  std::string log = server.Log();
  EXPECT_EQ(Count(log, "\"Clear thirst\" \"ann\": database failed\n"), 1u) << log;
  EXPECT_EQ(Count(log, "varkel_server: PostgreSQL "), 2u) << log; // the failure, then back
}

// Every process of a database of its own stopped, as a machine that froze.
TEST(StoreDeadlines, AStoppedDatabaseLeavesTheRestAnsweredAndEndsItsConversations) {
  TestPostgres database;
  std::string uri = database.NewDatabase();
  TestServer server(SERVER_READ_TIMEOUT_MS, "", OneLoop(1000), uri);
  ASSERT_GT(server.port, 0) << server.Log();
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));

  SignalPostgres(database.pid, SIGSTOP);
  std::vector<std::thread> players;
  std::atomic<int> ended(0);
  for (int i = 0; i < 4; i++) {
    players.emplace_back([&, i] {
      Dialog dialog(server.port);
      if (dialog.Say(WIRE_VERSION_TEXT) != WIRE_OK) return;
      if (dialog.Say(i % 2 == 0 ? WIRE_QUERY_CONNECT : WIRE_QUERY_LISTEN) != WIRE_OK) return;
      // Within the client's own limit on a reply.
      ended += dialog.Say("ann") == HEARD_HUNG_UP;
    });
  }
  // Meanwhile the loop answers what needs no database.
  for (int i = 0; i < 10; i++) {
    Dialog dialog(server.port);
    EXPECT_EQ(dialog.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(dialog.Say("Inconnu"), WIRE_BAD_QUERY);
  }
  for (std::thread &player : players)
    player.join();
  EXPECT_EQ(ended.load(), 4);
  std::string stopped = server.Log();
  EXPECT_EQ(Count(stopped, ": database failed\n"), 4u) << stopped;
  SignalPostgres(database.pid, SIGCONT);

  EXPECT_TRUE(WokenWithin(server.port, 15000)) << server.Log();
  std::string log = server.Log();
  // Failures while it was stopped and while it came back: one line.
  EXPECT_EQ(Count(log, "varkel_server: PostgreSQL deadline"), 1u) << log;
  EXPECT_EQ(Count(log, "varkel_server: PostgreSQL "), 2u) << log;
  EXPECT_NE(log.find("varkel_server: PostgreSQL answers again\n"), std::string::npos) << log;
}

// A line said is on its way to the backend (through a relay) when the
// database stops, past the deadline: resumed, the backend runs the
// statement, which refuses itself, as the README promises.
TEST(StoreDeadlines, AChangeGivenUpInAStoppedBackendIsNeverApplied) {
  TestPostgres database;
  std::string uri = database.NewDatabase();
  TestRelay relay(database.port, 400.0);
  ASSERT_GT(relay.port, 0);
  // Room for a new connection's round trips (its statements are prepared).
  TestServer server(SERVER_READ_TIMEOUT_MS, "", OneLoop(8000), relay.UriTo(uri));
  ASSERT_GT(server.port, 0) << server.Log();
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  Dialog speak(server.port);
  ASSERT_TRUE(Identify(&speak, WIRE_QUERY_SPEAK, "ann", "pw"));
  ASSERT_TRUE(speak.Send(std::string("ann") + WIRE_SPEECH_SEPARATOR + "perdu"));
  // The statement spends 200 ms in the relay.
  SignalPostgres(database.pid, SIGSTOP);
  EXPECT_EQ(speak.Hear(), HEARD_HUNG_UP);
  usleep(500000);
  SignalPostgres(database.pid, SIGCONT);

  EXPECT_TRUE(WokenWithin(server.port, 15000)) << server.Log();
  // The resumed backend has answered the statement kept aside by now.
  ASSERT_EQ(Speak(server.port, "ann", "pw", "retrouve"), WIRE_OK);
  EXPECT_EQ(PostgresValue(uri, "SELECT count(*) FROM lines WHERE text LIKE '%perdu%'"), "0");
  EXPECT_EQ(PostgresValue(uri, "SELECT count(*) FROM lines WHERE text LIKE '%retrouve%'"), "1");
  std::string log = server.Log();
  EXPECT_EQ(Count(log, "\"ann\": database failed\n"), 1u) << log;
  EXPECT_EQ(Count(log, "took effect afterwards"), 0u) << log;
}

// The primary killed, its synchronous standby promoted: the server, on a
// URI naming both that takes the one accepting writes, serves on, and no
// creation it acknowledged is missing.
TEST(StoreFailover, ASynchronousStandbyPromotedLosesNoAcknowledgedCreation) {
  TestPostgres primary;
  std::string uri = primary.NewDatabase();
  TestStandby standby(primary);
  ASSERT_GT(standby.pid, 0) << standby.Log();
  std::string database = uri.substr(uri.rfind('/'));
  std::string both = "postgresql://varkel@127.0.0.1:" + std::to_string(primary.port) +
                     ",127.0.0.1:" + std::to_string(standby.port) + database +
                     "?target_session_attrs=read-write";
  TestServer server(SERVER_READ_TIMEOUT_MS, "", OneLoop(2000), both);
  ASSERT_GT(server.port, 0) << server.Log();

  std::vector<std::string> acknowledged;
  int after_promotion = 0;
  for (int i = 0; i < 400 && after_promotion < 4; i++) {
    std::string name = "c" + std::to_string(i);
    bool created = CreateCharacter(server.port, name, "pw");
    if (created) acknowledged.push_back(name);
    if (i == 4) {
      kill(primary.pid, SIGKILL);
      PostgresValue("postgresql://varkel@127.0.0.1:" + std::to_string(standby.port) + "/postgres",
                    "SELECT pg_promote()");
    }
    if (i > 4) {
      after_promotion += created;
      if (!created) usleep(100000);
    }
  }
  EXPECT_EQ(after_promotion, 4) << server.Log();
  std::string names;
  for (const std::string &name : acknowledged)
    names += (names.empty() ? "'" : ",'") + name + "'";
  std::string promoted = "postgresql://varkel@127.0.0.1:" + std::to_string(standby.port) + database;
  EXPECT_EQ(
      PostgresValue(promoted, "SELECT count(*) FROM characters WHERE name IN (" + names + ")"),
      std::to_string(acknowledged.size()));
}
