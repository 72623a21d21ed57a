// SPDX-License-Identifier: MIT
// Several servers on one PostgreSQL database serve one world: characters,
// needs and the chat memory are the same through each; concurrent changes
// lose nothing; a server killed loses no acknowledged change; a database
// that goes away and comes back.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_postgres.h"
#include "support_server.h"

static const double kHour = 3600.0;

static std::string LastHeard(int port, const std::string &name, const std::string &password) {
  std::vector<std::string> lines = Listen(port, name, password);
  return lines.empty() ? "<nothing heard>" : lines.back();
}

class SharedWorld : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_GT(one.port, 0) << one.Log();
    ASSERT_GT(two.port, 0) << two.Log();
  }
  void MoveClocks(double seconds) {
    one.MoveClock(seconds);
    two.MoveClock(seconds);
  }
  std::string uri = SharedPostgres()->NewDatabase();
  TestServer one{SERVER_READ_TIMEOUT_MS, "", nullptr, uri};
  TestServer two{SERVER_READ_TIMEOUT_MS, "", nullptr, uri};
};

TEST_F(SharedWorld, ACharacterMadeThroughOneLivesThroughTheOther) {
  ASSERT_TRUE(CreateCharacter(one.port, "ann", "pw"));
  EXPECT_FALSE(CreateCharacter(two.port, "ann", "autre"));
  Dialog wake(two.port);
  EXPECT_TRUE(Identify(&wake, WIRE_QUERY_CONNECT, "ann", "pw"));
  wake.Close();
  // An hour awake: the same needs whichever server is asked.
  MoveClocks(kHour);
  std::vector<std::string> needs = {"16", "33", "6"};
  EXPECT_EQ(Status(one.port, "ann", "pw"), needs);
  EXPECT_EQ(Status(two.port, "ann", "pw"), needs);
  EXPECT_EQ(NameAgain(one.port, WIRE_QUERY_DRINK, "ann", "pw"), WIRE_OK);
  EXPECT_EQ(Status(two.port, "ann", "pw"), (std::vector<std::string>{"16", "0", "6"}));
  // A death through one is a death through the other.
  Dialog end(two.port);
  ASSERT_TRUE(Identify(&end, WIRE_QUERY_UNSUBSCRIBE, "ann", "pw"));
  EXPECT_EQ(end.Hear(), WIRE_FAREWELL);
  Dialog dead(one.port);
  EXPECT_EQ(dead.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(dead.Say(WIRE_QUERY_CONNECT), WIRE_OK);
  EXPECT_EQ(dead.Say("ann"), WIRE_DEAD);
}

TEST_F(SharedWorld, LinesSaidThroughEitherAreHeardThroughBothInOneOrder) {
  ASSERT_TRUE(CreateCharacter(one.port, "ann", "pw"));
  ASSERT_TRUE(CreateCharacter(two.port, "bob", "pw"));
  for (int i = 0; i < 130; i++) {
    bool by_ann = i % 2 == 0;
    ASSERT_EQ(Speak(by_ann ? one.port : two.port, by_ann ? "ann" : "bob", "pw",
                    "ligne " + std::to_string(i)),
              WIRE_OK);
  }
  std::vector<std::string> heard = Listen(two.port, "ann", "pw");
  ASSERT_EQ(heard.size(), 100u);
  EXPECT_EQ(heard.front(), "ann : ligne 30");
  EXPECT_EQ(heard[1], "bob : ligne 31");
  EXPECT_EQ(heard.back(), "bob : ligne 129");
  EXPECT_EQ(Listen(one.port, "bob", "pw"), heard);
  // Trimmed in the database.
  EXPECT_EQ(PostgresValue(uri, "SELECT count(*) FROM lines"), "100");
}

// A drink through one server and an eat through the other race on one
// character, 50 times, two hours apart. A change written from a read made
// before the other's commit would bring back the thirst (or hunger) that
// the other had cleared, and two hours later the character would die.
TEST_F(SharedWorld, AHundredConcurrentDrinksAndEatsLoseNoChange) {
  ASSERT_TRUE(CreateCharacter(one.port, "ann", "pw"));
  Dialog wake(one.port);
  ASSERT_TRUE(Identify(&wake, WIRE_QUERY_CONNECT, "ann", "pw"));
  wake.Close();
  int acknowledged = 0;
  for (int round = 0; round < 50; round++) {
    MoveClocks(2 * kHour);
    std::atomic<int> ready(0);
    std::string replies[2];
    std::vector<std::thread> players;
    for (int p = 0; p < 2; p++) {
      players.emplace_back([&, p] {
        int port = (p + round) % 2 == 0 ? one.port : two.port;
        ready++;
        while (ready.load() < 2) {
        }
        replies[p] = NameAgain(port, p == 0 ? WIRE_QUERY_DRINK : WIRE_QUERY_EAT, "ann", "pw");
      });
    }
    for (std::thread &player : players)
      player.join();
    for (const std::string &reply : replies)
      acknowledged += reply == WIRE_OK;
  }
  EXPECT_EQ(acknowledged, 100);
  // Sleep is full after 16 hours awake; it does not kill.
  EXPECT_EQ(Status(one.port, "ann", "pw"), (std::vector<std::string>{"0", "0", "100"}));
  EXPECT_EQ(Status(two.port, "ann", "pw"), (std::vector<std::string>{"0", "0", "100"}));
}

TEST_F(SharedWorld, TheAdminToolOnTheSharedDatabase) {
  ASSERT_TRUE(CreateCharacter(one.port, "ann", "pw"));
  ASSERT_TRUE(CreateCharacter(two.port, "bob", "pw"));
  ProcessResult list = RunProcess({VARKEL_ADMIN_BINARY, "--db", uri, "list"}, "/", 30000);
  EXPECT_EQ(list.status, 0) << list.out;
  EXPECT_EQ(list.out, "name\tstate\thunger\tthirst\tsleep\tbody\n"
                      "ann\talive\t0\t0\t0\tsleeping\n"
                      "bob\talive\t0\t0\t0\tsleeping\n");
  ProcessResult removed =
      RunProcess({VARKEL_ADMIN_BINARY, "--db", uri, "remove", "ann"}, "/", 30000);
  EXPECT_EQ(removed.status, 0) << removed.out;
  EXPECT_TRUE(CreateCharacter(two.port, "ann", "neuf"));
  ProcessResult backup =
      RunProcess({VARKEL_ADMIN_BINARY, "--db", uri, "backup", one.dir + "copy"}, "/", 30000);
  EXPECT_EQ(backup.status, 1);
  EXPECT_NE(backup.out.find("pg_dump"), std::string::npos) << backup.out;
}

class SharedWorldProcesses : public ::testing::Test {
protected:
  void TearDown() override { RemoveTree(dir); }
  std::string uri = SharedPostgres()->NewDatabase();
  std::string dir = MakeTempDir();
};

TEST_F(SharedWorldProcesses, AServerKilledLosesNoAcknowledgedChangeAndTheOtherServesOn) {
  ServerProcess doomed(uri, {}, dir + "doomed.log");
  ServerProcess survivor(uri, {}, dir + "survivor.log");
  ASSERT_GT(doomed.port, 0) << doomed.Log();
  ASSERT_GT(survivor.port, 0) << survivor.Log();
  LastActs(doomed.port);
  if (HasFatalFailure()) return;
  Dialog wake(doomed.port);
  ASSERT_TRUE(Identify(&wake, WIRE_QUERY_CONNECT, "ann", "pw"));
  ASSERT_EQ(NameAgain(doomed.port, WIRE_QUERY_SLEEP, "ann", "pw"), WIRE_OK);
  doomed.Stop(SIGKILL); // right after the acknowledgement

  EXPECT_EQ(LastHeard(survivor.port, "ann", "pw"), "ann : derniers mots");
  ProcessResult show = RunProcess({VARKEL_ADMIN_BINARY, "--db", uri, "show", "ann"}, "/", 30000);
  EXPECT_NE(show.out.find("body: sleeping\n"), std::string::npos) << show.out;
  Dialog dead(survivor.port);
  EXPECT_EQ(dead.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(dead.Say(WIRE_QUERY_CONNECT), WIRE_OK);
  EXPECT_EQ(dead.Say("bob"), WIRE_DEAD);
  EXPECT_TRUE(CreateCharacter(survivor.port, "cid", "pw"));
  EXPECT_EQ(survivor.Stop(SIGTERM), 0);
}

// A database of its own, to stop and start again.
TEST(PostgresAway, ConversationsEndWithoutAcknowledgementAndServingComesBack) {
  TestPostgres database;
  std::string uri = database.NewDatabase();
  TestServer server(SERVER_READ_TIMEOUT_MS, "", nullptr, uri);
  ASSERT_GT(server.port, 0) << server.Log();
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  ASSERT_EQ(Speak(server.port, "ann", "pw", "avant"), WIRE_OK);

  database.Stop();
  for (int i = 0; i < 20; i++) {
    Dialog away(server.port);
    EXPECT_EQ(away.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(away.Say(i % 2 == 0 ? WIRE_QUERY_SPEAK : WIRE_QUERY_DRINK), WIRE_OK);
    EXPECT_EQ(away.Say("ann"), HEARD_HUNG_UP);
  }
  EXPECT_FALSE(CreateCharacter(server.port, "bob", "pw"));
  // Many failures, one line for them.
  EXPECT_EQ(Count(server.Log(), "varkel_server: PostgreSQL "), 1u) << server.Log();

  ASSERT_TRUE(database.Start()) << database.Log();
  bool back = false;
  for (int waited = 0; waited < 15000 && !back; waited += 100) {
    Dialog wake(server.port);
    back = Identify(&wake, WIRE_QUERY_CONNECT, "ann", "pw");
    if (!back) usleep(100000);
  }
  EXPECT_TRUE(back) << server.Log();
  EXPECT_NE(server.Log().find("varkel_server: PostgreSQL answers again\n"), std::string::npos);
  EXPECT_EQ(LastHeard(server.port, "ann", "pw"), "ann : avant");
  EXPECT_TRUE(CreateCharacter(server.port, "bob", "pw"));
}
