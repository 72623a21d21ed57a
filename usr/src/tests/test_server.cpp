// SPDX-License-Identifier: MIT
// The game server: its rules, every conversation byte for byte over real
// TCP, persistence of the real binary across restarts and kill -9, many
// players at once, and clients that break the protocol.
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support.h"
#include "support_server.h"

static const double kHour = 3600.0;

// The queries that identify an existing character, and their exchanges.
static const char *const kIdentifiedQueries[] = {
    WIRE_QUERY_CONNECT, WIRE_QUERY_UNSUBSCRIBE, WIRE_QUERY_SLEEP,
    WIRE_QUERY_SPEAK,   WIRE_QUERY_LISTEN,      WIRE_QUERY_STATUS,
    WIRE_QUERY_DRINK,   WIRE_QUERY_EAT,         WIRE_QUERY_MOVE,
};

static std::string LastHeard(int port, const std::string &name, const std::string &password) {
  std::vector<std::string> lines = Listen(port, name, password);
  return lines.empty() ? "<nothing heard>" : lines.back();
}

// ---- Rules, in-process ---------------------------------------------------------

static Body Awake(double hunger, double thirst, double sleep) {
  Body body = BodyNew(0.0);
  body.hunger = hunger;
  body.thirst = thirst;
  body.sleep = sleep;
  body.asleep = 0;
  return body;
}

TEST(ServerRules, NeedsGrowAtTheirRatesAndFourTimesSlowerAsleep) {
  Body body = BodyNew(0.0);
  EXPECT_EQ(body.asleep, 1); // newborns sleep until first woken
  EXPECT_EQ(BodyApply(&body, BODY_WAKE), 1);
  EXPECT_EQ(BodyAdvance(&body, 1.5 * kHour), 0);
  EXPECT_EQ(WholePercent(body.thirst), 50);
  EXPECT_EQ(WholePercent(body.hunger), 25);
  EXPECT_EQ(WholePercent(body.sleep), 9); // 9.375
  BodyApply(&body, BODY_SLEEP);
  EXPECT_EQ(body.sleep, 0.0);
  BodyAdvance(&body, 5.5 * kHour); // four hours asleep count as one
  EXPECT_EQ(WholePercent(body.thirst), 83);
  EXPECT_EQ(WholePercent(body.hunger), 41);
  EXPECT_EQ(WholePercent(body.sleep), 0);
  EXPECT_EQ(body.dead, 0);
}

TEST(ServerRules, ThirstOrHungerAtHundredKillsButSleepDoesNot) {
  Body thirsty = Awake(0, 0, 0);
  BodyAdvance(&thirsty, 3 * kHour - 1);
  EXPECT_EQ(thirsty.dead, 0);
  EXPECT_EQ(BodyAdvance(&thirsty, 3 * kHour), 1);
  EXPECT_EQ(thirsty.dead, 1);

  Body hungry = Awake(90, 0, 0);
  EXPECT_EQ(BodyAdvance(&hungry, 0.6 * kHour), 1);

  Body sleepy = Awake(0, 0, 99);
  EXPECT_EQ(BodyAdvance(&sleepy, 1 * kHour), 0);
  EXPECT_EQ(WholePercent(sleepy.sleep), 100);
  EXPECT_EQ(sleepy.dead, 0);
}

TEST(ServerRules, ChangesClearOneNeedEachAndNothingRevivesTheDead) {
  Body body = Awake(40, 50, 60);
  BodyApply(&body, BODY_DRINK);
  EXPECT_EQ(body.thirst, 0.0);
  EXPECT_EQ(body.hunger, 40.0);
  BodyApply(&body, BODY_EAT);
  EXPECT_EQ(body.hunger, 0.0);
  EXPECT_EQ(body.sleep, 60.0);
  EXPECT_EQ(BodyApply(&body, BODY_KEEP), 0);
  EXPECT_EQ(BodyApply(&body, BODY_WAKE), 0); // already up

  EXPECT_EQ(BodyApply(&body, BODY_KILL), 1);
  Body dead = body;
  EXPECT_EQ(BodyApply(&body, BODY_DRINK), 0);
  EXPECT_EQ(BodyAdvance(&body, 10 * kHour), 0);
  EXPECT_EQ(memcmp(&dead, &body, sizeof(body)), 0);
}

TEST(ServerRules, ClockGoingBackChangesNothing) {
  Body body = Awake(10, 10, 10);
  body.since = 1000.0;
  EXPECT_EQ(BodyAdvance(&body, 500.0), 0);
  EXPECT_EQ(body.thirst, 10.0);
  EXPECT_EQ(body.since, 1000.0);
}

TEST(ServerRules, NamesAreOneToEightPrintableAsciiCharacters) {
  for (const char *good : {"a", "Zorg", "12345678", "a b", "~!@#$%^&"})
    EXPECT_EQ(NameIsValid(good), 1) << good;
  for (const char *bad : {"", "123456789", "tab\there", "caf\xC3\xA9", "del\x7F"})
    EXPECT_EQ(NameIsValid(bad), 0) << bad;
}

TEST(ServerRules, LinesLoseControlCharactersAndFitTheClientsBuffer) {
  EXPECT_EQ(CleanLine("ann : one\ntwo\rthree\x7F"), "ann : one two three ");
  EXPECT_EQ(CleanLine("ann : d\xC3\xA9j\xC3\xA0"), "ann : d\xC3\xA9j\xC3\xA0");
  std::string longest(WIRE_MESSAGE_MAX - 1, 'x');
  EXPECT_EQ(CleanLine(longest.c_str()).size(), (size_t)RULE_LINE_MAX);
  // A two-byte letter across the limit goes whole.
  std::string accented(RULE_LINE_MAX - 1, 'x');
  accented += "\xC3\xA9";
  EXPECT_EQ(CleanLine(accented.c_str()), std::string(RULE_LINE_MAX - 1, 'x'));
}

TEST(ServerCredentials, OnlyTheFirstCheckOfRightCredentialsIsSlow) {
  Credentials credentials;
  ASSERT_EQ(CredentialsInit(&credentials, 2), 0);
  char hash[crypto_pwhash_STRBYTES];
  ASSERT_EQ(CredentialsHash(&credentials, "secret", hash), 0);
  EXPECT_EQ(strstr(hash, "secret"), nullptr);
  EXPECT_EQ(CredentialsKnown(&credentials, "ann", "secret", hash), 0);
  EXPECT_EQ(CredentialsVerify(&credentials, "ann", "wrong", hash), 1);
  EXPECT_EQ(CredentialsKnown(&credentials, "ann", "wrong", hash), 0);
  EXPECT_EQ(CredentialsVerify(&credentials, "ann", "secret", hash), 0);
  EXPECT_EQ(CredentialsKnown(&credentials, "ann", "secret", hash), 1);
  // The same password under another name, or another stored hash, is not known.
  EXPECT_EQ(CredentialsKnown(&credentials, "bob", "secret", hash), 0);
  EXPECT_EQ(CredentialsKnown(&credentials, "ann", "secret", std::string(hash) + "x"), 0);
  EXPECT_EQ(credentials.slow_checks.load(), 2);
  // Bounded: the oldest goes first.
  CredentialsRemember(&credentials, "bob", "b", hash);
  CredentialsRemember(&credentials, "cid", "c", hash);
  EXPECT_EQ(CredentialsKnown(&credentials, "ann", "secret", hash), 0);
  EXPECT_EQ(CredentialsKnown(&credentials, "bob", "b", hash), 1);
  EXPECT_EQ(CredentialsKnown(&credentials, "cid", "c", hash), 1);
}

TEST(ServerOptions, CommandLine) {
  ServerConfig config = ServerConfigDefaults();
  const char *argv[] = {"varkel_server",     "--port",    "4242",      "--listen=0.0.0.0,::",
                        "--listen",          "192.0.2.1", "--db",      "/tmp/x.db",
                        "--read-timeout-ms", "250",       "--threads", "3"};
  ASSERT_EQ(
      ParseServerOptions(sizeof(argv) / sizeof(argv[0]), (char **)argv, &config, stdout, stderr),
      0);
  EXPECT_EQ(config.port, 4242);
  EXPECT_EQ(config.listen, (std::vector<std::string>{"0.0.0.0", "::", "192.0.2.1"}));
  EXPECT_EQ(config.db_path, "/tmp/x.db");
  EXPECT_EQ(config.read_timeout_ms, 250);
  EXPECT_EQ(config.threads, 3);
  const char *bad[][2] = {
      {"--port", "65536"}, {"--port", "9x"}, {"--frobnicate", "1"}, {"--db", ""}};
  FILE *sink = fopen("/dev/null", "w");
  for (auto &option : bad) {
    const char *args[] = {"varkel_server", option[0], option[1]};
    EXPECT_EQ(ParseServerOptions(3, (char **)args, &config, sink, sink), 1) << option[0];
  }
  fclose(sink);
  EXPECT_EQ(DefaultDatabasePath("/home/me/varkel/usr/bin/varkel_server"),
            "/home/me/varkel/var/lib/varkel/varkel.db");
}

TEST(ServerOptions, TheProgramsHelpVersionAndRefusals) {
  ProcessResult help = RunProcess({VARKEL_SERVER_BINARY, "--help"}, "/", 10000);
  EXPECT_EQ(help.status, 0);
  for (const char *option : {"--port", "--listen", "--db", "--read-timeout-ms", "--threads",
                             "--max-conversations", "--max-per-address", "--version", "--help"})
    EXPECT_NE(help.out.find(std::string("  ") + option + " "), std::string::npos) << option;
  ProcessResult version = RunProcess({VARKEL_SERVER_BINARY, "--version"}, "/", 10000);
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.substr(0, version.out.find('\n')).find(WIRE_VERSION_TEXT),
            std::string::npos)
      << version.out;
  // Each mistake is named as what it is; none starts a server.
  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
      {{"--frobnicate"}, "unknown option --frobnicate\n"},
      {{"--frobnicate=1"}, "unknown option --frobnicate\n"},
      {{"-x"}, "unknown option -x\n"},
      {{"--port", "0", "stray"}, "stray argument stray\n"},
      {{"--port"}, "--port needs a value\n"},
      {{"--port", "x"}, "bad value for --port: \"x\"\n"},
      {{"--threads=0"}, "bad value for --threads: \"0\"\n"},
  };
  for (const auto &mistake : mistakes) {
    std::vector<std::string> argv = {VARKEL_SERVER_BINARY};
    argv.insert(argv.end(), mistake.first.begin(), mistake.first.end());
    ProcessResult bad = RunProcess(argv, "/", 10000);
    EXPECT_EQ(bad.status, 2) << mistake.second;
    EXPECT_NE(bad.out.find("varkel_server: " + mistake.second), std::string::npos) << bad.out;
    EXPECT_EQ(bad.out.find("listening"), std::string::npos) << bad.out;
  }
  ProcessResult nowhere = RunProcess({VARKEL_SERVER_BINARY, "--port", "0", "--listen", "192.0.2.1",
                                      "--db", "/tmp/varkel_never_made/v.db"},
                                     "/", 10000);
  EXPECT_EQ(nowhere.status, 1);
  RemoveTree("/tmp/varkel_never_made");
}

// ---- Conversations, byte for byte ---------------------------------------------

class ServerProtocol : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw")); }
  TestServer server;
};

TEST_F(ServerProtocol, VersionStep) {
  // One release off, empty, a space too many, a digit too few.
  const std::string text = WIRE_VERSION_TEXT;
  for (const std::string &version : {std::to_string(WIRE_VERSION - 1), std::string(), text + " ",
                                     text.substr(0, text.size() - 1)}) {
    Dialog dialog(server.port);
    EXPECT_EQ(dialog.Say(version), WIRE_BAD_VERSION) << version;
    EXPECT_TRUE(dialog.Ended());
  }
  Dialog dialog(server.port);
  EXPECT_EQ(dialog.Say(WIRE_VERSION_TEXT), WIRE_OK);
}

TEST_F(ServerProtocol, QueryStep) {
  Dialog unknown(server.port);
  EXPECT_EQ(unknown.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(unknown.Say("Connexion"), WIRE_BAD_QUERY);
  EXPECT_TRUE(unknown.Ended());
  std::vector<std::string> words(std::begin(kIdentifiedQueries), std::end(kIdentifiedQueries));
  words.push_back(WIRE_QUERY_SUBSCRIBE);
  for (const std::string &word : words) {
    Dialog dialog(server.port);
    EXPECT_EQ(dialog.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(dialog.Say(word), WIRE_OK) << word;
  }
}

TEST_F(ServerProtocol, Creation) {
  Dialog born(server.port);
  EXPECT_EQ(born.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(born.Say(WIRE_QUERY_SUBSCRIBE), WIRE_OK);
  EXPECT_EQ(born.Say("bob"), WIRE_OK);
  EXPECT_EQ(born.Say(""), WIRE_OK); // an empty password is a password
  EXPECT_TRUE(born.Ended());
  Dialog connect(server.port);
  EXPECT_TRUE(Identify(&connect, WIRE_QUERY_CONNECT, "bob", ""));

  // Taken or unfit names are refused at the name, before any password.
  for (const char *name : {"ann", "bob", "", "nine_long", "caf\xC3\xA9", "new\nline"}) {
    Dialog dialog(server.port);
    EXPECT_EQ(dialog.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(dialog.Say(WIRE_QUERY_SUBSCRIBE), WIRE_OK);
    EXPECT_EQ(dialog.Say(name), WIRE_BAD_LOGIN) << name;
    EXPECT_TRUE(dialog.Ended());
  }
}

TEST_F(ServerProtocol, ANameBeingCreatedIsTaken) {
  Dialog first(server.port);
  EXPECT_EQ(first.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(first.Say(WIRE_QUERY_SUBSCRIBE), WIRE_OK);
  EXPECT_EQ(first.Say("cid"), WIRE_OK);
  EXPECT_FALSE(CreateCharacter(server.port, "cid", "other"));
  EXPECT_EQ(first.Say("mine"), WIRE_OK);
  EXPECT_TRUE(first.Ended());
  Dialog connect(server.port);
  EXPECT_TRUE(Identify(&connect, WIRE_QUERY_CONNECT, "cid", "mine"));
  // A creation abandoned half-way leaves the name free.
  {
    Dialog abandoned(server.port);
    EXPECT_EQ(abandoned.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(abandoned.Say(WIRE_QUERY_SUBSCRIBE), WIRE_OK);
    EXPECT_EQ(abandoned.Say("dan"), WIRE_OK);
  }
  bool created = false;
  for (int tries = 0; tries < 100 && !created; tries++) {
    created = CreateCharacter(server.port, "dan", "pw");
    if (!created) usleep(20000);
  }
  EXPECT_TRUE(created);
}

TEST_F(ServerProtocol, IdentificationRefusalsOfEveryQuery) {
  ASSERT_TRUE(CreateCharacter(server.port, "zed", "pw"));
  Dialog ending(server.port);
  ASSERT_TRUE(Identify(&ending, WIRE_QUERY_UNSUBSCRIBE, "zed", "pw"));
  EXPECT_EQ(ending.Hear(), WIRE_FAREWELL);
  int guesser = 20;
  for (const char *query : kIdentifiedQueries) {
    Dialog unknown(server.port);
    EXPECT_EQ(unknown.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(unknown.Say(query), WIRE_OK);
    EXPECT_EQ(unknown.Say("nobody"), WIRE_BAD_LOGIN) << query;
    EXPECT_TRUE(unknown.Ended());

    // Each from its own address, within the allowance of failures.
    std::string from = "127.0.0." + std::to_string(guesser++);
    Dialog wrong(server.port, from.c_str());
    EXPECT_EQ(wrong.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(wrong.Say(query), WIRE_OK);
    EXPECT_EQ(wrong.Say("ann"), WIRE_OK);
    EXPECT_EQ(wrong.Say("PW"), WIRE_BAD_PASSWORD) << query;
    EXPECT_TRUE(wrong.Ended());

    Dialog dead(server.port);
    EXPECT_EQ(dead.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(dead.Say(query), WIRE_OK);
    EXPECT_EQ(dead.Say("zed"), WIRE_DEAD) << query;
    EXPECT_TRUE(dead.Ended());
  }
}

TEST_F(ServerProtocol, ConnectionSleepDrinkEatMove) {
  Dialog connect(server.port);
  EXPECT_TRUE(Identify(&connect, WIRE_QUERY_CONNECT, "ann", "pw"));
  EXPECT_TRUE(connect.Ended());
  for (const char *query : {WIRE_QUERY_SLEEP, WIRE_QUERY_DRINK, WIRE_QUERY_EAT, WIRE_QUERY_MOVE})
    EXPECT_EQ(NameAgain(server.port, query, "ann", "pw"), WIRE_OK) << query;
}

TEST_F(ServerProtocol, StatusSendsThreeValuesEachAnsweredOK) {
  Dialog dialog(server.port);
  ASSERT_TRUE(Identify(&dialog, WIRE_QUERY_STATUS, "ann", "pw"));
  EXPECT_EQ(dialog.Say("ann"), "0");
  EXPECT_EQ(dialog.Say(WIRE_OK), "0");
  EXPECT_EQ(dialog.Say(WIRE_OK), "0");
  EXPECT_EQ(dialog.Say(WIRE_OK), HEARD_HUNG_UP);
}

TEST_F(ServerProtocol, SpeechAndListening) {
  EXPECT_EQ(Listen(server.port, "ann", "pw"), std::vector<std::string>(WIRE_LISTEN_LINES, ""));

  Dialog speak(server.port);
  ASSERT_TRUE(Identify(&speak, WIRE_QUERY_SPEAK, "ann", "pw"));
  EXPECT_EQ(speak.Say("ann : bonjour"), WIRE_OK);
  EXPECT_TRUE(speak.Ended());
  EXPECT_EQ(Speak(server.port, "ann", "pw", ""), WIRE_OK); // the name and " : " alone

  std::vector<std::string> heard = Listen(server.port, "ann", "pw");
  ASSERT_EQ(heard.size(), (size_t)WIRE_LISTEN_LINES);
  std::vector<std::string> expected(WIRE_LISTEN_LINES - 2, "");
  expected.push_back("ann : bonjour");
  expected.push_back("ann : ");
  EXPECT_EQ(heard, expected);
}

TEST_F(ServerProtocol, MemoryKeepsTheLastHundredLinesOldestFirst) {
  for (int i = 1; i <= 105; i++)
    ASSERT_EQ(Speak(server.port, "ann", "pw", "line " + std::to_string(i)), WIRE_OK);
  std::vector<std::string> heard = Listen(server.port, "ann", "pw");
  ASSERT_EQ(heard.size(), (size_t)WIRE_LISTEN_LINES);
  for (int i = 0; i < WIRE_LISTEN_LINES; i++)
    EXPECT_EQ(heard[i], "ann : line " + std::to_string(i + 6));
}

TEST_F(ServerProtocol, UnsubscriptionVerdicts) {
  ASSERT_TRUE(CreateCharacter(server.port, "eve", "pw"));
  // A second ending, identified before the first one ends the life, learns
  // that it came too late.
  Dialog late(server.port);
  EXPECT_EQ(late.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(late.Say(WIRE_QUERY_UNSUBSCRIBE), WIRE_OK);
  EXPECT_EQ(late.Say("eve"), WIRE_OK);

  Dialog first(server.port);
  ASSERT_TRUE(Identify(&first, WIRE_QUERY_UNSUBSCRIBE, "eve", "pw"));
  EXPECT_EQ(first.Hear(), WIRE_FAREWELL);
  EXPECT_TRUE(first.Ended());

  EXPECT_EQ(late.Say("pw"), WIRE_OK);
  EXPECT_EQ(late.Hear(), WIRE_DEAD);
  EXPECT_TRUE(late.Ended());

  Dialog after(server.port);
  EXPECT_EQ(after.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(after.Say(WIRE_QUERY_CONNECT), WIRE_OK);
  EXPECT_EQ(after.Say("eve"), WIRE_DEAD);
  EXPECT_FALSE(CreateCharacter(server.port, "eve", "pw")); // the name stays taken
}

TEST_F(ServerProtocol, BreachesAfterTheIdentificationEndTheConversation) {
  ASSERT_TRUE(CreateCharacter(server.port, "bob", "pw"));
  // Another name sent again: refused, nothing changed.
  for (const char *query : {WIRE_QUERY_DRINK, WIRE_QUERY_STATUS, WIRE_QUERY_SLEEP}) {
    Dialog dialog(server.port);
    ASSERT_TRUE(Identify(&dialog, query, "ann", "pw"));
    EXPECT_EQ(dialog.Say("bob"), WIRE_BAD_LOGIN) << query;
    EXPECT_TRUE(dialog.Ended());
  }
  // A sentence in another's name: refused and not kept.
  Dialog forged(server.port);
  ASSERT_TRUE(Identify(&forged, WIRE_QUERY_SPEAK, "ann", "pw"));
  EXPECT_EQ(forged.Say("bob : I owe ann money"), WIRE_BAD_LOGIN);
  EXPECT_TRUE(forged.Ended());
  Dialog unnamed(server.port);
  ASSERT_TRUE(Identify(&unnamed, WIRE_QUERY_SPEAK, "ann", "pw"));
  EXPECT_EQ(unnamed.Say("annie : hi"), WIRE_BAD_LOGIN);
  EXPECT_EQ(LastHeard(server.port, "ann", "pw"), "");
  // Anything but "OK" to a heard line or a status value.
  Dialog listening(server.port);
  ASSERT_TRUE(Identify(&listening, WIRE_QUERY_LISTEN, "ann", "pw"));
  EXPECT_EQ(listening.Hear(), "");
  EXPECT_EQ(listening.Say("ok"), HEARD_HUNG_UP);
  Dialog status(server.port);
  ASSERT_TRUE(Identify(&status, WIRE_QUERY_STATUS, "ann", "pw"));
  EXPECT_EQ(status.Say("ann"), "0");
  EXPECT_EQ(status.Say("KO"), HEARD_HUNG_UP);
}

TEST_F(ServerProtocol, MessagesSentAheadAreAnsweredInTurn) {
  Dialog dialog(server.port);
  const char ahead[] = WIRE_VERSION_TEXT "\0Receive status\0ann\0pw\0ann\0OK\0OK\0OK";
  dialog.SendBytes(std::string(ahead, sizeof(ahead)));
  for (const char *reply : {WIRE_OK, WIRE_OK, WIRE_OK, WIRE_OK, "0", "0", "0"})
    EXPECT_EQ(dialog.Hear(), reply);
  EXPECT_TRUE(dialog.Ended());
}

TEST_F(ServerProtocol, SpokenLinesAreCleanedAndCut) {
  EXPECT_EQ(Speak(server.port, "ann", "pw", "a\tb\nc"), WIRE_OK);
  EXPECT_EQ(Speak(server.port, "ann", "pw", std::string(1100, 'y')), HEARD_HUNG_UP);
  std::string longest = std::string(WIRE_MESSAGE_MAX - 1 - 6, 'z'); // 1023 bytes in all
  EXPECT_EQ(Speak(server.port, "ann", "pw", longest), WIRE_OK);
  std::vector<std::string> heard = Listen(server.port, "ann", "pw");
  ASSERT_EQ(heard.size(), (size_t)WIRE_LISTEN_LINES);
  EXPECT_EQ(heard[98], "ann : a b c");
  EXPECT_EQ(heard[99].size(), (size_t)RULE_LINE_MAX);
}

TEST_F(ServerProtocol, OneLogLinePerConversationWithoutPasswords) {
  ASSERT_TRUE(CreateCharacter(server.port, "pat", "Sesame42"));
  Dialog wrong(server.port);
  EXPECT_FALSE(Identify(&wrong, WIRE_QUERY_CONNECT, "pat", "Guess99"));
  wrong.Close();
  EXPECT_EQ(NameAgain(server.port, WIRE_QUERY_DRINK, "pat", "Sesame42"), WIRE_OK);
  server.Stop();
  std::string log = server.Log();
  EXPECT_EQ(log.find("Sesame42"), std::string::npos);
  EXPECT_EQ(log.find("Guess99"), std::string::npos);
  EXPECT_NE(log.find("127.0.0.1 \"Subscribtion\" \"pat\": OK\n"), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1 \"Connection\" \"pat\": Bad password\n"), std::string::npos);
  EXPECT_NE(log.find("127.0.0.1 \"Clear thirst\" \"pat\": OK\n"), std::string::npos);
  // Four conversations (with ann's birth), where the server listens, and
  // the checks made when it stopped.
  EXPECT_NE(log.find("varkel_server: 1 slow password checks, 0 dropped"), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6) << log;
}

// ---- Rules over the wire, with a clock the test moves --------------------------

TEST(ServerGame, NeedsGrowClearAndSleepSlowsThem) {
  TestServer server;
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  Dialog connect(server.port);
  ASSERT_TRUE(Identify(&connect, WIRE_QUERY_CONNECT, "ann", "pw"));
  server.MoveClock(1.5 * kHour);
  EXPECT_EQ(Status(server.port, "ann", "pw"), (std::vector<std::string>{"25", "50", "9"}));
  EXPECT_EQ(NameAgain(server.port, WIRE_QUERY_DRINK, "ann", "pw"), WIRE_OK);
  EXPECT_EQ(Status(server.port, "ann", "pw"), (std::vector<std::string>{"25", "0", "9"}));
  EXPECT_EQ(NameAgain(server.port, WIRE_QUERY_EAT, "ann", "pw"), WIRE_OK);
  EXPECT_EQ(NameAgain(server.port, WIRE_QUERY_MOVE, "ann", "pw"), WIRE_OK);
  EXPECT_EQ(Status(server.port, "ann", "pw"), (std::vector<std::string>{"0", "0", "9"}));
  EXPECT_EQ(NameAgain(server.port, WIRE_QUERY_SLEEP, "ann", "pw"), WIRE_OK);
  server.MoveClock(6 * kHour); // asleep: as 1.5 hours awake, and no need of sleep
  EXPECT_EQ(Status(server.port, "ann", "pw"), (std::vector<std::string>{"25", "50", "0"}));
  Dialog wake(server.port);
  ASSERT_TRUE(Identify(&wake, WIRE_QUERY_CONNECT, "ann", "pw"));
  server.MoveClock(1 * kHour);
  EXPECT_EQ(Status(server.port, "ann", "pw"), (std::vector<std::string>{"41", "83", "6"}));
}

TEST(ServerGame, ThirstKillsAndTheDeadStayDead) {
  TestServer server;
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  ASSERT_TRUE(CreateCharacter(server.port, "bob", "pw")); // stays asleep
  Dialog connect(server.port);
  ASSERT_TRUE(Identify(&connect, WIRE_QUERY_CONNECT, "ann", "pw"));
  server.MoveClock(3 * kHour);
  for (const char *query : kIdentifiedQueries) {
    Dialog dialog(server.port);
    EXPECT_EQ(dialog.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(dialog.Say(query), WIRE_OK);
    EXPECT_EQ(dialog.Say("ann"), WIRE_DEAD) << query;
  }
  EXPECT_FALSE(CreateCharacter(server.port, "ann", "pw"));
  EXPECT_EQ(Status(server.port, "bob", "pw"), (std::vector<std::string>{"12", "25", "0"}));
  server.MoveClock(9 * kHour); // twelve hours asleep: as three awake
  Dialog dead(server.port);
  EXPECT_FALSE(Identify(&dead, WIRE_QUERY_STATUS, "bob", "pw"));
}

TEST(ServerGame, DeathDuringTheExchangeAnswersDead) {
  TestServer server;
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  Dialog connect(server.port);
  ASSERT_TRUE(Identify(&connect, WIRE_QUERY_CONNECT, "ann", "pw"));
  Dialog drink(server.port);
  ASSERT_TRUE(Identify(&drink, WIRE_QUERY_DRINK, "ann", "pw"));
  server.MoveClock(3 * kHour);
  EXPECT_EQ(drink.Say("ann"), WIRE_DEAD);
  EXPECT_TRUE(drink.Ended());
}

// ---- Persistence of the real program -------------------------------------------

class ServerPersistence : public ::testing::Test {
protected:
  void TearDown() override { RemoveTree(dir); }
  std::string dir = MakeTempDir();
  std::string db = dir + "varkel.db";
};

TEST_F(ServerPersistence, StateSurvivesARestart) {
  {
    ServerProcess first(db);
    ASSERT_GT(first.port, 0) << first.Log();
    ASSERT_TRUE(CreateCharacter(first.port, "ann", "pw"));
    ASSERT_EQ(Speak(first.port, "ann", "pw", "avant"), WIRE_OK);
    ASSERT_EQ(NameAgain(first.port, WIRE_QUERY_SLEEP, "ann", "pw"), WIRE_OK);
    EXPECT_EQ(first.Stop(SIGTERM), 0);
    EXPECT_NE(first.Log().find("varkel_server: stopped\n"), std::string::npos);
    // Closed cleanly: the write-ahead log went back into the file.
    EXPECT_FALSE(FileExists(db + "-wal"));
  }
  ServerProcess second(db);
  ASSERT_GT(second.port, 0) << second.Log();
  EXPECT_FALSE(CreateCharacter(second.port, "ann", "other"));
  Dialog wrong(second.port);
  EXPECT_FALSE(Identify(&wrong, WIRE_QUERY_CONNECT, "ann", "other"));
  EXPECT_EQ(LastHeard(second.port, "ann", "pw"), "ann : avant");
  EXPECT_EQ(Status(second.port, "ann", "pw").size(), 3u);
  EXPECT_EQ(second.Stop(SIGINT), 0);
}

TEST_F(ServerPersistence, AcknowledgedChangesSurviveKillNine) {
  {
    ServerProcess doomed(db);
    ASSERT_GT(doomed.port, 0) << doomed.Log();
    LastActs(doomed.port);
    if (HasFatalFailure()) return;
    doomed.Stop(SIGKILL); // right after the acknowledgement
  }
  ServerProcess revived(db);
  ASSERT_GT(revived.port, 0) << revived.Log();
  EXPECT_EQ(LastHeard(revived.port, "ann", "pw"), "ann : derniers mots");
  Dialog dead(revived.port);
  EXPECT_EQ(dead.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(dead.Say(WIRE_QUERY_CONNECT), WIRE_OK);
  EXPECT_EQ(dead.Say("bob"), WIRE_DEAD);
}

TEST_F(ServerPersistence, StopsAtOnceWhileAClientIsSilentAndKeepsItsFileToItself) {
  ServerProcess running(db);
  ASSERT_GT(running.port, 0) << running.Log();
  // A second server on the same file is refused.
  ProcessResult second = RunProcess(
      {VARKEL_SERVER_BINARY, "--port", "0", "--listen", "127.0.0.1", "--db", db}, "/", 20000);
  EXPECT_EQ(second.status, 1) << second.out;
  Dialog silent(running.port);
  EXPECT_EQ(silent.Say(WIRE_VERSION_TEXT), WIRE_OK);
  // The read limit is 10 s; the stop does not wait for it.
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(running.Stop(SIGTERM), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_EQ(silent.Hear(), HEARD_HUNG_UP);
  EXPECT_NE(running.Log().find("\"\" \"\": server stopped\n"), std::string::npos) << running.Log();
}

// ---- Many players at once ------------------------------------------------------

// 200 players, on 20 characters, each say one line at the same time. The
// memory then holds the last 100 lines said, in an order that no reply
// contradicts: a line acknowledged before another was sent comes first.
TEST(ServerLoad, TwoHundredPlayersSpeakingAtOnce) {
  const int kPlayers = 200;
  const int kCharacters = 20;
  TestServer server;
  for (int c = 0; c < kCharacters; c++)
    ASSERT_TRUE(CreateCharacter(server.port, "p" + std::to_string(c), "pw"));
  typedef std::chrono::steady_clock Clock;
  std::vector<Clock::time_point> sent(kPlayers), acknowledged(kPlayers);
  std::vector<std::string> replies(kPlayers);
  std::atomic<int> ready(0);
  std::vector<std::thread> players;
  for (int p = 0; p < kPlayers; p++) {
    players.emplace_back([&, p] {
      std::string name = "p" + std::to_string(p % kCharacters);
      // Twenty players per address, within its share.
      std::string from = "127.0.0." + std::to_string(10 + p % 10);
      Dialog dialog(server.port, from.c_str());
      bool identified = Identify(&dialog, WIRE_QUERY_SPEAK, name, "pw");
      ready++;
      while (ready < kPlayers)
        std::this_thread::yield();
      if (!identified) return;
      sent[p] = Clock::now();
      replies[p] = dialog.Say(name + " : line " + std::to_string(p));
      acknowledged[p] = Clock::now();
    });
  }
  for (std::thread &player : players)
    player.join();
  std::map<std::string, int> line_of;
  for (int p = 0; p < kPlayers; p++) {
    EXPECT_EQ(replies[p], WIRE_OK) << p;
    line_of["p" + std::to_string(p % kCharacters) + " : line " + std::to_string(p)] = p;
  }
  std::vector<std::string> heard = Listen(server.port, "p0", "pw");
  ASSERT_EQ(heard.size(), (size_t)WIRE_LISTEN_LINES);
  std::vector<int> kept;
  for (const std::string &line : heard) {
    ASSERT_EQ(line_of.count(line), 1u) << line;
    kept.push_back(line_of[line]);
  }
  std::set<int> kept_set(kept.begin(), kept.end());
  EXPECT_EQ(kept_set.size(), (size_t)WIRE_LISTEN_LINES);
  for (size_t i = 0; i < kept.size(); i++) {
    for (size_t j = i + 1; j < kept.size(); j++)
      EXPECT_FALSE(acknowledged[kept[j]] < sent[kept[i]]) << kept[i] << " before " << kept[j];
  }
  for (int p = 0; p < kPlayers; p++) {
    if (kept_set.count(p)) continue;
    for (int k : kept_set)
      EXPECT_FALSE(acknowledged[k] < sent[p]) << p << " dropped, " << k << " kept";
  }
  // Every line was stored: 200 numbered in the database.
  server.Stop();
  sqlite3 *db = NULL;
  ASSERT_EQ(sqlite3_open(server.db.c_str(), &db), SQLITE_OK);
  sqlite3_stmt *statement = NULL;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT seq FROM sqlite_sequence WHERE name = 'lines'", -1,
                               &statement, NULL),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(statement, 0), kPlayers);
  sqlite3_finalize(statement);
  sqlite3_close(db);
}

// ---- Clients that break the protocol ----------------------------------------------

class ServerBadInput : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw")); }
  // A whole conversation still goes through.
  void ExpectServed() { EXPECT_EQ(Status(server.port, "ann", "pw").size(), 3u); }
  TestServer server{300};
};

TEST_F(ServerBadInput, BytesWithoutNulThenSilence) {
  Dialog silent(server.port);
  silent.SendBytes("2025");
  ExpectServed();
  EXPECT_EQ(silent.Hear(), HEARD_HUNG_UP);
  ExpectServed();
  server.Stop();
  // Never a whole message: summed up, as a flood of them would be.
  EXPECT_NE(server.Log().find("varkel_server: 1 connection closed before a first message in "),
            std::string::npos)
      << server.Log();
}

TEST_F(ServerBadInput, AMegabyteMessage) {
  Dialog flood(server.port);
  std::thread sender([&] { flood.SendBytes(std::string(1 << 20, 'x')); });
  EXPECT_EQ(flood.Hear(), HEARD_HUNG_UP);
  sender.join();
  ExpectServed();
  server.Stop();
  EXPECT_NE(server.Log().find(": message too long\n"), std::string::npos) << server.Log();
}

TEST_F(ServerBadInput, HalfAConversationThenSilence) {
  Dialog half(server.port);
  EXPECT_EQ(half.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(half.Say(WIRE_QUERY_STATUS), WIRE_OK);
  EXPECT_EQ(half.Say("ann"), WIRE_OK);
  ExpectServed();
  EXPECT_EQ(half.Hear(), HEARD_HUNG_UP);
  ExpectServed();
}

TEST_F(ServerBadInput, ATrickleIsCutAtTheReadLimit) {
  Dialog trickle(server.port);
  std::string version = WIRE_VERSION_TEXT;
  for (char c : version + std::string(1, '\0')) {
    trickle.SendBytes(std::string(1, c));
    usleep(100000);
  }
  EXPECT_EQ(trickle.Hear(), HEARD_HUNG_UP);
  ExpectServed();
}

TEST_F(ServerBadInput, AClientVanishingMidListening) {
  for (int i = 0; i < 3; i++)
    ASSERT_EQ(Speak(server.port, "ann", "pw", "x"), WIRE_OK);
  Dialog vanishing(server.port);
  ASSERT_TRUE(Identify(&vanishing, WIRE_QUERY_LISTEN, "ann", "pw"));
  for (int i = 0; i < 10; i++)
    EXPECT_EQ(vanishing.Say(WIRE_OK), "");
  vanishing.Close();
  ExpectServed();
  EXPECT_EQ(LastHeard(server.port, "ann", "pw"), "ann : x");
  server.Stop();
  std::string log = server.Log();
  size_t first = log.find("\"Receive messages\" \"ann\": ");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.substr(first, log.find('\n', first) - first), "\"Receive messages\" \"ann\": OK");
}

TEST_F(ServerBadInput, AClientVanishingWhileItsPasswordIsHashed) {
  {
    Dialog gone(server.port);
    EXPECT_EQ(gone.Say(WIRE_VERSION_TEXT), WIRE_OK);
    EXPECT_EQ(gone.Say(WIRE_QUERY_SUBSCRIBE), WIRE_OK);
    EXPECT_EQ(gone.Say("dan"), WIRE_OK);
    gone.Send("pw");
  }
  ExpectServed();
  server.Stop();
  EXPECT_NE(server.Log().find("\"Subscribtion\" \"dan\": "), std::string::npos) << server.Log();
}
