// SPDX-License-Identifier: MIT
// The server shared fairly between client addresses: a cap on the
// conversations one address holds, refusals and floods summed up in the
// log, guessing throttled per address, per IPv6 network and per name,
// checks shared in turn, players' ahead of guesses, and never run for a
// client that has left. Attackers speak from 127.0.0.2 and beyond, or are
// named by a trusted sender's PROXY headers; players from 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_server.h"
// The guard's counts and the credentials cache are read where they are kept.
#include "server_internal.h"

typedef std::chrono::steady_clock Clock;

static std::vector<std::string> LinesWith(const std::string &log, const std::string &part) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = log.substr(start, end - start);
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

static struct sockaddr_storage Address(const char *text) {
  struct sockaddr_storage address;
  memset(&address, 0, sizeof(address));
  if (strchr(text, ':') == NULL) {
    address.ss_family = AF_INET;
    inet_pton(AF_INET, text, &((struct sockaddr_in *)&address)->sin_addr);
  } else {
    address.ss_family = AF_INET6;
    inet_pton(AF_INET6, text, &((struct sockaddr_in6 *)&address)->sin6_addr);
  }
  return address;
}

static std::string KeyOf(const char *text) {
  struct sockaddr_storage address = Address(text);
  return PeerKey(&address);
}

TEST(ServerGuardAddresses, AnIPv4AddressOrAnIPv6SlashSixtyFourIsOneClient) {
  EXPECT_EQ(KeyOf("2001:db8:1:2::1"), KeyOf("2001:db8:1:2:ffff::9"));
  EXPECT_NE(KeyOf("2001:db8:1:2::1"), KeyOf("2001:db8:1:3::1"));
  EXPECT_EQ(KeyOf("::ffff:192.0.2.7"), KeyOf("192.0.2.7"));
  EXPECT_NE(KeyOf("192.0.2.7"), KeyOf("192.0.2.8"));
  // An IPv6 prefix whose bytes spell an IPv4 address is another client.
  EXPECT_NE(KeyOf("c000:207::"), KeyOf("192.0.2.7"));
  EXPECT_EQ(PeerKeyText(KeyOf("192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(PeerKeyText(KeyOf("2001:db8:1:2:ffff::9")), "2001:db8:1:2::/64");
  struct sockaddr_storage local;
  memset(&local, 0, sizeof(local));
  local.ss_family = AF_UNIX;
  EXPECT_EQ(PeerKeyText(PeerKey(&local)), "local");
}

// ---- The cap per address -------------------------------------------------------

TEST(ServerGuardCap, OneAddressBeyondItsCapLeavesRoomForOthers) {
  const int kCap = 8;
  const int kRefused = 100;
  TestServer server(SERVER_READ_TIMEOUT_MS, "", [](ServerConfig *config) {
    config->per_address_max = kCap;
    config->summary_ms = 300;
  });
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  std::vector<std::unique_ptr<Dialog>> held;
  for (int i = 0; i < kCap; i++) {
    held.emplace_back(new Dialog(server.port, "127.0.0.2"));
    ASSERT_EQ(held.back()->Say(WIRE_VERSION_TEXT), WIRE_OK) << i;
  }
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kRefused; i++) {
    Dialog refused(server.port, "127.0.0.2");
    refused.Send(WIRE_VERSION_TEXT);
    EXPECT_EQ(refused.Hear(), HEARD_HUNG_UP) << i;
  }
  // Other addresses are served meanwhile, and those held go on.
  EXPECT_EQ(Wake(server.port, "ann", "pw"), WIRE_OK);
  EXPECT_EQ(Wake(server.port, "ann", "pw", "127.0.0.3"), WIRE_OK);
  EXPECT_EQ(held[0]->Say(WIRE_QUERY_STATUS), WIRE_OK);
  EXPECT_EQ(GuardOpen(&server.server->guard, KeyOf("127.0.0.2")), kCap);
  // One leaving makes room for one more.
  held[1]->Close();
  bool admitted = false;
  for (int tries = 0; tries < 100 && !admitted; tries++) {
    Dialog again(server.port, "127.0.0.2");
    admitted = again.Say(WIRE_VERSION_TEXT) == WIRE_OK;
    if (!admitted) usleep(10000);
  }
  EXPECT_TRUE(admitted);

  // The summary comes on its own once its period is over.
  for (int waited = 0; waited < 5000; waited += 20) {
    if (!LinesWith(server.Log(), " refused in ").empty()) break;
    usleep(20000);
  }
  double elapsed_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  server.Stop();
  std::string log = server.Log();
  std::vector<std::string> summaries = LinesWith(log, " refused in ");
  ASSERT_FALSE(summaries.empty()) << log;
  EXPECT_LE(summaries.size(), (size_t)(elapsed_ms / 300) + 2) << log;
  long total = 0;
  for (const std::string &line : summaries)
    total += atol(line.c_str() + strlen("varkel_server: "));
  // The retries while waiting for room were refused too.
  EXPECT_GE(total, kRefused) << log;
  EXPECT_NE(summaries[0].find(" from 1 address, the most from 127.0.0.2 ("), std::string::npos)
      << summaries[0];
  // No line per refused connection: one per conversation served.
  EXPECT_EQ(LinesWith(log, "127.0.0.2 \"").size(), (size_t)kCap + 1) << log;
}

TEST(ServerGuardCap, TheGlobalCapStillHolds) {
  TestServer server(SERVER_READ_TIMEOUT_MS, "", [](ServerConfig *config) {
    config->conversations_max = 4;
    config->per_address_max = 3;
  });
  std::vector<std::unique_ptr<Dialog>> held;
  for (const char *from : {"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    held.emplace_back(new Dialog(server.port, from));
    ASSERT_EQ(held.back()->Say(WIRE_VERSION_TEXT), WIRE_OK) << from;
  }
  Dialog refused(server.port, "127.0.0.5");
  refused.Send(WIRE_VERSION_TEXT);
  EXPECT_EQ(refused.Hear(), HEARD_HUNG_UP);
  server.Stop();
  EXPECT_EQ(LinesWith(server.Log(), "1 connection refused in").size(), 1u) << server.Log();
}

// ---- Password checks shared in turn, none for the departed -------------------

// The identification up to the password, answered "OK" at each step.
static void UpToPassword(Dialog *dialog, const std::string &name) {
  for (const std::string &text :
       {std::string(WIRE_VERSION_TEXT), std::string(WIRE_QUERY_CONNECT), name})
    ASSERT_EQ(dialog->Say(text), WIRE_OK) << text;
}

static void OneHasher(ServerConfig *config) {
  config->threads = 1;
}

TEST(ServerGuardChecks, ACheckForAClientGoneBeforeItsTurnNeverRuns) {
  const int kAhead = 6;
  const int kGone = 3;
  TestServer server(SERVER_READ_TIMEOUT_MS, "", OneHasher);
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  // Wrong passwords keep the one hashing thread busy, one check each.
  std::vector<std::unique_ptr<Dialog>> ahead;
  for (int i = 0; i < kAhead; i++) {
    ahead.emplace_back(new Dialog(server.port, i % 2 ? "127.0.0.2" : "127.0.0.3"));
    UpToPassword(ahead.back().get(), "ann");
  }
  for (auto &dialog : ahead)
    dialog->Send("guess");
  // Clients that send a password that needs a check, and vanish.
  for (int i = 0; i < kGone; i++) {
    Dialog gone(server.port, "127.0.0.4");
    UpToPassword(&gone, "ann");
    gone.Send("other");
    usleep(20000); // the server has it, then sees the reset
    gone.Reset();
  }
  for (auto &dialog : ahead)
    EXPECT_EQ(dialog->Hear(), WIRE_BAD_PASSWORD);
  // A check queued after them runs.
  EXPECT_EQ(Wake(server.port, "ann", "late", "127.0.0.5"), WIRE_BAD_PASSWORD);
  server.Stop();
  EXPECT_EQ(server.server == NULL, true);
  std::string log = server.Log();
  EXPECT_NE(log.find("varkel_server: 7 slow password checks, 3 dropped for clients gone"),
            std::string::npos)
      << log;
  EXPECT_EQ(LinesWith(log, "127.0.0.4 \"Connection\" \"ann\": recv failed").size(), (size_t)kGone)
      << log;
}

// A player whose check waits behind a hundred guesses from one address is
// served after at most one of them, not after all.
TEST(ServerGuardChecks, AddressesTakeTurnsAtTheChecks) {
  const int kGuesses = 12;
  std::string dir = MakeTempDir();
  {
    TestServer first(SERVER_READ_TIMEOUT_MS, dir);
    ASSERT_TRUE(CreateCharacter(first.port, "ann", "pw"));
    ASSERT_TRUE(CreateCharacter(first.port, "bob", "pw"));
  }
  // Started again: no credentials are known yet, every check is slow.
  TestServer server(SERVER_READ_TIMEOUT_MS, dir, [](ServerConfig *config) {
    OneHasher(config);
    config->throttle.address_failures = 1000; // here every guess is checked
  });
  std::vector<std::unique_ptr<Dialog>> guesses;
  for (int i = 0; i < kGuesses; i++) {
    guesses.emplace_back(new Dialog(server.port, "127.0.0.2"));
    UpToPassword(guesses.back().get(), "ann");
  }
  Dialog player(server.port);
  UpToPassword(&player, "bob");
  for (auto &guess : guesses)
    guess->Send("guess");
  usleep(5000); // the guesses are queued first
  long checks_before = server.server->credentials.slow_checks.load();
  player.Send("pw");
  EXPECT_EQ(player.Hear(), WIRE_OK);
  long checks_after = server.server->credentials.slow_checks.load();
  // Its own and the next guess in turn, perhaps one more begun meanwhile;
  // the other guesses wait.
  EXPECT_LE(checks_after - checks_before, 3);
  EXPECT_LT(checks_after, kGuesses);
  for (auto &guess : guesses)
    EXPECT_EQ(guess->Hear(), WIRE_BAD_PASSWORD);
  EXPECT_EQ(server.server->credentials.slow_checks.load(), kGuesses + 1);
  server.Stop();
  RemoveTree(dir);
}

// ---- Guessing throttled ----------------------------------------------------------

static double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(ServerGuardThrottle, CountsGrowTheDelayUpToItsBoundAndAreForgotten) {
  Guard guard;
  const Throttle throttle = {3, 5, 100, 1000, 5000, 100, 100, 30};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(GuardAddressDelay(&guard, throttle, "a", 0), 0) << i;
    GuardFailed(&guard, throttle, "a", "ann", 0);
  }
  const int expected[] = {100, 200, 400, 800, 1000, 1000};
  for (int delay : expected) {
    EXPECT_EQ(GuardAddressDelay(&guard, throttle, "a", 10), delay);
    GuardFailed(&guard, throttle, "a", "ann", 10);
  }
  EXPECT_EQ(GuardAddressDelay(&guard, throttle, "b", 10), 0);
  EXPECT_EQ(GuardNameAttacked(&guard, throttle, "ann", 10), 1); // nine failures, five allowed
  EXPECT_EQ(GuardNameAttacked(&guard, throttle, "bob", 10), 0);
  // Forgotten a while after the last failure, not after the first.
  EXPECT_EQ(GuardAddressDelay(&guard, throttle, "a", 5009), 1000);
  EXPECT_EQ(GuardAddressDelay(&guard, throttle, "a", 5010), 0);
  EXPECT_EQ(GuardNameAttacked(&guard, throttle, "ann", 5010), 0);
  GuardFailed(&guard, throttle, "a", "ann", 5010);
  EXPECT_EQ(GuardAddressDelay(&guard, throttle, "a", 5010), 0); // one failure anew
}

TEST(ServerGuardThrottle, TheTablesStayWithinTheirBound) {
  Guard guard;
  const Throttle throttle = {1, 1, 100, 1000, 3600000, 100, 100, 30};
  const int kMany = THROTTLE_ENTRIES_MAX + 1000;
  for (int i = 0; i < kMany; i++) {
    std::string address = "address " + std::to_string(i);
    std::string name = "n" + std::to_string(i);
    GuardFailed(&guard, throttle, address, name.c_str(), i * 0.01);
  }
  EXPECT_EQ(guard.addresses.order.size(), (size_t)THROTTLE_ENTRIES_MAX);
  EXPECT_EQ(guard.addresses.index.size(), (size_t)THROTTLE_ENTRIES_MAX);
  EXPECT_EQ(guard.names.order.size(), (size_t)THROTTLE_ENTRIES_MAX);
  // The least lately failed went first.
  EXPECT_EQ(GuardAddressDelay(&guard, throttle, "address 0", kMany * 0.01), 0);
  EXPECT_EQ(
      GuardAddressDelay(&guard, throttle, "address " + std::to_string(kMany - 1), kMany * 0.01),
      100);
}

class ServerThrottled : public ::testing::Test {
protected:
  // Two characters whose passwords are not known to the server started
  // here: every first check of them is slow.
  void SetUp() override {
    TestServer first(SERVER_READ_TIMEOUT_MS, dir);
    ASSERT_TRUE(CreateCharacter(first.port, "ann", "pw"));
    ASSERT_TRUE(CreateCharacter(first.port, "bob", "pw2"));
  }
  void TearDown() override { RemoveTree(dir); }
  void Start(int address_failures, int name_failures, int forget_ms = 60000) {
    server.reset(new TestServer(SERVER_READ_TIMEOUT_MS, dir, [=](ServerConfig *config) {
      config->throttle.address_failures = address_failures;
      config->throttle.name_failures = name_failures;
      config->throttle.delay_first_ms = 300;
      config->throttle.delay_max_ms = 1200;
      config->throttle.forget_ms = forget_ms;
      config->throttle.name_hold_ms = 400;
      config->throttle.name_check_ms = 60000; // one rationed check in a test
    }));
    port = server->port;
  }
  long Checks() { return server->server->credentials.slow_checks.load(); }
  long Held() { return server->server->answers_held.load(); }
  std::string dir = MakeTempDir();
  std::unique_ptr<TestServer> server;
  int port = 0;
};

TEST_F(ServerThrottled, AnAddressPastItsAllowanceIsRefusedWhateverThePassword) {
  Start(3, 1000);
  EXPECT_EQ(Wake(port, "ann", "pw"), WIRE_OK); // now known: no check needed again
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(Wake(port, "ann", "guess", "127.0.0.2"), WIRE_BAD_PASSWORD) << i;
  EXPECT_EQ(Checks(), 4);

  // The right password, known: refused after the delay.
  Dialog held(port, "127.0.0.2");
  UpToPassword(&held, "ann");
  Clock::time_point start = Clock::now();
  held.Send("pw");
  // Meanwhile the same name wakes from another address.
  EXPECT_EQ(Wake(port, "ann", "pw", "127.0.0.3"), WIRE_OK);
  EXPECT_EQ(held.Hear(0), HEARD_SILENCE);
  EXPECT_EQ(held.Hear(), WIRE_BAD_PASSWORD);
  EXPECT_GE(MsSince(start), 300);
  EXPECT_TRUE(held.Ended());

  // The right password, not known: refused after a longer delay, unchecked.
  start = Clock::now();
  EXPECT_EQ(Wake(port, "bob", "pw2", "127.0.0.2"), WIRE_BAD_PASSWORD);
  EXPECT_GE(MsSince(start), 600);
  EXPECT_EQ(Checks(), 4);
  EXPECT_EQ(Wake(port, "bob", "pw2", "127.0.0.4"), WIRE_OK);
  EXPECT_EQ(Checks(), 5);
  server->Stop();
  std::string log = server->Log();
  EXPECT_EQ(LinesWith(log, "127.0.0.2 \"Connection\" \"ann\": Bad password\n").size(), 0u);
  EXPECT_EQ(LinesWith(log, "127.0.0.2 \"Connection\" \"ann\": Bad password").size(), 4u) << log;
  EXPECT_EQ(LinesWith(log, ": Bad password, held back").size(), 2u) << log;
}

// How long a whole waking from `from` took, and its last reply.
static std::string TimedWake(int port, const std::string &password, const char *from, double *ms) {
  Clock::time_point start = Clock::now();
  std::string reply = Wake(port, "ann", password, from);
  *ms = MsSince(start);
  return reply;
}

// Wrong passwords for the name from `count` addresses, 127.0.0.first and
// on, each identified up to its password first, then all sent side by side.
static void GuessSideBySide(int port, const char *name, int count, int first) {
  std::vector<std::unique_ptr<Dialog>> guesses;
  for (int i = 0; i < count; i++) {
    std::string from = "127.0.0." + std::to_string(first + i);
    guesses.emplace_back(new Dialog(port, from.c_str()));
    UpToPassword(guesses.back().get(), name);
  }
  for (auto &guess : guesses)
    guess->Send("guess");
  for (auto &guess : guesses)
    EXPECT_EQ(guess->Hear(), WIRE_BAD_PASSWORD);
}

TEST_F(ServerThrottled, ANameUnderAttackAnswersRightAndWrongAlikeAndRationsItsChecks) {
  Start(1000, 2);
  EXPECT_EQ(Wake(port, "ann", "pw", "127.0.0.5"), WIRE_OK); // its owner, checked once
  // Guesses from many addresses side by side: the allowance, then one
  // rationed check, then none.
  const int kGuessers = 8;
  GuessSideBySide(port, "ann", kGuessers, 10);
  EXPECT_EQ(Checks(), 1 + 2 + 1);
  // Now every answer for the name waits the hold: a guess, and the owner's
  // own password from an address never seen.
  double wrong_ms = 0, right_ms = 0;
  EXPECT_EQ(TimedWake(port, "guess", "127.0.0.3", &wrong_ms), WIRE_BAD_PASSWORD);
  EXPECT_EQ(TimedWake(port, "pw", "127.0.0.4", &right_ms), WIRE_OK);
  EXPECT_GE(wrong_ms, 400);
  EXPECT_GE(right_ms, 400);
  EXPECT_EQ(Checks(), 4);
  // Forgotten by the cache, the password is checked again only on its
  // owner's lane, the address where it was right before, and answered
  // there without the hold; the ration is spent for any other.
  {
    Credentials *credentials = &server->server->credentials;
    std::lock_guard<std::mutex> hold(credentials->lock);
    credentials->known.clear();
    credentials->order.clear();
  }
  EXPECT_EQ(Wake(port, "ann", "pw", "127.0.0.8"), WIRE_BAD_PASSWORD);
  EXPECT_EQ(Checks(), 4);
  long held = Held();
  EXPECT_EQ(Wake(port, "ann", "pw", "127.0.0.5"), WIRE_OK);
  EXPECT_EQ(Held(), held);
  EXPECT_EQ(Checks(), 5);
  // Other names are not slowed, and bob's first check still runs.
  EXPECT_EQ(Wake(port, "bob", "pw2", "127.0.0.6"), WIRE_OK);
  EXPECT_EQ(Checks(), 6);
  server->Stop();
  EXPECT_EQ(LinesWith(server->Log(), "\"Connection\" \"ann\": OK").size(), 3u) << server->Log();
}

// A trickle of failures drains away and never holds a name; a burst holds
// every address's answers but its owner's, which the store remembers
// across a restart.
TEST_F(ServerThrottled, ATrickleNeverHoldsANameAndItsOwnerKeepsItsSpeedAcrossARestart) {
  // A name's count drains one failure per 500 ms, and is forgotten 2 s
  // after its last failure.
  Start(1000, 4, 2000);
  EXPECT_EQ(Wake(port, "bob", "pw2", "127.0.0.5"), WIRE_OK);
  server.reset();
  Start(1000, 4, 2000);
  for (int i = 0; i < 5; i++) {
    std::string from = "127.0.0." + std::to_string(20 + i);
    EXPECT_EQ(Wake(port, "bob", "guess", from.c_str()), WIRE_BAD_PASSWORD) << i;
    usleep(700 * 1000);
  }
  long held = Held();
  EXPECT_EQ(Wake(port, "bob", "pw2", "127.0.0.6"), WIRE_OK);
  EXPECT_EQ(Held(), held);
  const int kBurst = 12;
  GuessSideBySide(port, "bob", kBurst, 30);
  held = Held();
  EXPECT_EQ(Wake(port, "bob", "pw2", "127.0.0.5"), WIRE_OK);
  EXPECT_EQ(Held(), held);
  EXPECT_EQ(Wake(port, "bob", "pw2", "127.0.0.7"), WIRE_OK);
  EXPECT_EQ(Held(), held + 1);
}

TEST_F(ServerThrottled, AnAddressIsForgivenOnceItsCountIsForgotten) {
  Start(1, 1000, 800);
  EXPECT_EQ(Wake(port, "ann", "guess", "127.0.0.2"), WIRE_BAD_PASSWORD);
  Clock::time_point failed = Clock::now();
  EXPECT_EQ(Wake(port, "ann", "pw", "127.0.0.2"), WIRE_BAD_PASSWORD); // held, unchecked
  // The held refusal counted too: wait out the time from it.
  usleep(1000 * 1000);
  EXPECT_GE(MsSince(failed), 800);
  EXPECT_EQ(Wake(port, "ann", "pw", "127.0.0.2"), WIRE_OK);
}

TEST_F(ServerThrottled, AHeldClientThatLeavesIsForgottenAtOnce) {
  Start(1, 1000);
  EXPECT_EQ(Wake(port, "ann", "guess", "127.0.0.2"), WIRE_BAD_PASSWORD);
  {
    Dialog held(port, "127.0.0.2");
    UpToPassword(&held, "ann");
    held.Send("pw");
    usleep(20000);
  }
  for (int waited = 0; waited < 2000; waited += 10) {
    if (GuardOpen(&server->server->guard, KeyOf("127.0.0.2")) == 0) break;
    usleep(10000);
  }
  EXPECT_EQ(GuardOpen(&server->server->guard, KeyOf("127.0.0.2")), 0);
  server->Stop();
  EXPECT_EQ(LinesWith(server->Log(), "127.0.0.2 \"Connection\" \"ann\": hung up").size(), 1u)
      << server->Log();
}

TEST(ServerGuardThrottleChecks, GuessesSentSideBySideGetNoMoreChecksThanTheAllowance) {
  const int kGuesses = 20;
  const int kThreads = 2;
  TestServer server(SERVER_READ_TIMEOUT_MS, "", [](ServerConfig *config) {
    config->threads = kThreads;
    config->throttle.address_failures = 3;
    config->throttle.delay_first_ms = 50;
    config->throttle.delay_max_ms = 100;
  });
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  std::vector<std::unique_ptr<Dialog>> guesses;
  for (int i = 0; i < kGuesses; i++) {
    guesses.emplace_back(new Dialog(server.port, "127.0.0.2"));
    UpToPassword(guesses.back().get(), "ann");
  }
  for (auto &guess : guesses)
    guess->Send("guess");
  for (auto &guess : guesses)
    EXPECT_EQ(guess->Hear(), WIRE_BAD_PASSWORD);
  // The allowance, and at worst one more per other hashing thread.
  long checks = server.server->credentials.slow_checks.load();
  EXPECT_GE(checks, 3);
  EXPECT_LE(checks, 3 + kThreads - 1);
}

// ---- Guessing spread over a network ------------------------------------------------

static const char kSender[] = "127.0.0.9";

// A PROXY v2 header naming an IPv6 client, as a trusted balancer sends it.
static std::string ProxyV2(const std::string &named) {
  struct sockaddr_storage address = Address(named.c_str());
  std::string header("\r\n\r\n\0\r\nQUIT\n\x21\x21\x00\x24", 16);
  header.append((const char *)&((struct sockaddr_in6 *)&address)->sin6_addr, 16);
  header.append(16, '\0');
  return header + std::string("\x10\x00\x27\x0F", 4);
}

// Guesses from ever new /64s of one /48: counted together, so that past the
// network's allowance none is checked; and those queued meanwhile let a
// player's check go first.
TEST(ServerGuardNetworks, GuessesSpreadOverANetworkAreCountedTogetherAndPlayersGoFirst) {
  const int kWave = 10;
  TestServer server(SERVER_READ_TIMEOUT_MS, "", [](ServerConfig *config) {
    OneHasher(config);
    Prefix sender;
    PrefixParse(kSender, &sender);
    config->proxy_from = {sender};
    config->throttle.address_failures = 1000;
    config->throttle.name_failures = 1000;
    config->throttle.network_failures = kWave + 2;
    config->throttle.delay_first_ms = 100;
    config->throttle.delay_max_ms = 200;
  });
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  ASSERT_TRUE(CreateCharacter(server.port, "bob", "pw"));
  {
    // Known since their creation: every check is slow again.
    Credentials *credentials = &server.server->credentials;
    std::lock_guard<std::mutex> hold(credentials->lock);
    credentials->known.clear();
    credentials->order.clear();
  }
  int next = 0;
  auto guessers = [&](int count) {
    std::vector<std::unique_ptr<Dialog>> wave;
    for (int i = 0; i < count; i++) {
      wave.emplace_back(new Dialog(server.port, kSender));
      wave.back()->SendBytes(ProxyV2("2001:db8:5:" + std::to_string(next++) + "::1"));
      UpToPassword(wave.back().get(), "bob");
    }
    return wave;
  };
  auto guess = [](std::vector<std::unique_ptr<Dialog>> &wave) {
    for (auto &guesser : wave)
      guesser->Send("guess");
  };
  // One failure of the network, then its guesses wait in their own lane.
  std::vector<std::unique_ptr<Dialog>> first = guessers(1);
  guess(first);
  EXPECT_EQ(first[0]->Hear(), WIRE_BAD_PASSWORD);
  std::vector<std::unique_ptr<Dialog>> wave = guessers(kWave);
  guess(wave);
  usleep(5000); // the guesses are queued first
  Server *running = server.server;
  long checks = running->credentials.slow_checks.load();
  long players = running->hashes.taken[WORK_FIRST].load();
  EXPECT_EQ(Wake(server.port, "ann", "pw"), WIRE_OK);
  // Its own and the guess running when it came, perhaps one more begun
  // meanwhile; the other guesses wait.
  EXPECT_LE(running->credentials.slow_checks.load() - checks, 3);
  EXPECT_EQ(running->hashes.taken[WORK_FIRST].load() - players, 1);
  for (auto &guesser : wave)
    EXPECT_EQ(guesser->Hear(), WIRE_BAD_PASSWORD);
  // The network's allowance has one failure left: /64s never seen before
  // get that one check and no more.
  checks = running->credentials.slow_checks.load();
  EXPECT_EQ(checks, 1 + kWave + 1);
  std::vector<std::unique_ptr<Dialog>> late = guessers(kWave);
  guess(late);
  for (auto &guesser : late)
    EXPECT_EQ(guesser->Hear(), WIRE_BAD_PASSWORD);
  EXPECT_EQ(running->credentials.slow_checks.load(), checks + 1);
  server.Stop();
  EXPECT_EQ(LinesWith(server.Log(), "2001:db8:5:").size(), (size_t)(1 + 2 * kWave)) << server.Log();
}

// ---- Room for every address ---------------------------------------------------------

TEST(ServerGuardRoom, AFullServerMakesRoomForANewcomerFromTheGreediestNeighbourhood) {
  const int kMost = 12;
  TestServer server(SERVER_READ_TIMEOUT_MS, "", [](ServerConfig *config) {
    config->conversations_max = kMost;
    config->threads = 1;
  });
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  std::vector<std::unique_ptr<Dialog>> idle;
  for (int i = 0; i < kMost; i++) {
    idle.emplace_back(new Dialog(server.port, i % 2 ? "127.0.0.2" : "127.0.0.3"));
    ASSERT_EQ(idle.back()->Say(WIRE_VERSION_TEXT), WIRE_OK) << i;
  }
  // A neighbour of the idle ones gets no room; a player from elsewhere does,
  // in place of the oldest idle one.
  Dialog neighbour(server.port, "127.0.0.4");
  neighbour.Send(WIRE_VERSION_TEXT);
  EXPECT_EQ(neighbour.Hear(), HEARD_HUNG_UP);
  EXPECT_EQ(Wake(server.port, "ann", "pw", "127.0.1.1"), WIRE_OK);
  EXPECT_EQ(idle[0]->Hear(), HEARD_HUNG_UP);
  EXPECT_EQ(idle[1]->Say(WIRE_QUERY_STATUS), WIRE_OK);
  server.Stop();
  EXPECT_EQ(LinesWith(server.Log(), "127.0.0.3 \"\" \"\": closed for a newcomer").size(), 1u)
      << server.Log();
}

TEST(ServerGuardRoom, ANeighbourhoodHasItsCapUnlessListed) {
  TestServer server(SERVER_READ_TIMEOUT_MS, "", [](ServerConfig *config) {
    config->per_prefix_max = 3;
    PrefixCap campus;
    PrefixParse("127.0.2.0/24", &campus.prefix);
    campus.most = 40;
    config->prefix_caps = {campus};
  });
  // Made from 127.0.0.1, out of the neighbourhood filled below.
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  std::vector<std::unique_ptr<Dialog>> held;
  for (const char *from : {"127.0.3.2", "127.0.3.3", "127.0.3.4"}) {
    held.emplace_back(new Dialog(server.port, from));
    ASSERT_EQ(held.back()->Say(WIRE_VERSION_TEXT), WIRE_OK) << from;
  }
  Dialog fourth(server.port, "127.0.3.5");
  fourth.Send(WIRE_VERSION_TEXT);
  EXPECT_EQ(fourth.Hear(), HEARD_HUNG_UP);
  EXPECT_EQ(Wake(server.port, "ann", "pw", "127.0.1.1"), WIRE_OK);
  // The listed prefix holds more, from one address as from several.
  for (int i = 0; i < 36; i++) {
    held.emplace_back(new Dialog(server.port, i % 2 ? "127.0.2.1" : "127.0.2.2"));
    ASSERT_EQ(held.back()->Say(WIRE_VERSION_TEXT), WIRE_OK) << i;
  }
}

TEST(ServerGuardRoom, AConversationTricklingWithinTheReadLimitIsCutAtItsWholeLimit) {
  TestServer server(SERVER_READ_TIMEOUT_MS, "",
                    [](ServerConfig *config) { config->conversation_ms = 600; });
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  Dialog trickle(server.port, "127.0.0.2");
  std::string heard;
  for (const char *text : {WIRE_VERSION_TEXT, WIRE_QUERY_STATUS, "ann", "pw", "ann"}) {
    usleep(250 * 1000);
    heard = trickle.Say(text);
    if (heard != WIRE_OK) break;
  }
  EXPECT_EQ(heard, HEARD_HUNG_UP);
  server.Stop();
  EXPECT_EQ(
      LinesWith(server.Log(), "127.0.0.2 \"Receive status\" \"\": too long a conversation").size(),
      1u)
      << server.Log();
}

// ---- Creations bounded, logs quiet -------------------------------------------------

// A creation's reply to its name, or HEARD_HUNG_UP.
static std::string CreationAtName(int port, const std::string &name, const char *from) {
  Dialog dialog(port, from);
  for (const char *text : {WIRE_VERSION_TEXT, WIRE_QUERY_SUBSCRIBE}) {
    if (dialog.Say(text) != WIRE_OK) return "<refused early>";
  }
  std::string reply = dialog.Say(name);
  if (reply == WIRE_OK) reply = dialog.Say("pw");
  return reply;
}

TEST(ServerGuardCreations, AnAddressAndItsNeighbourhoodCreateTheirAllowanceAndNoMore) {
  TestServer server(SERVER_READ_TIMEOUT_MS, "", [](ServerConfig *config) {
    config->creations_per_hour = 2;
    config->prefix_creations_per_hour = 3;
  });
  EXPECT_EQ(CreationAtName(server.port, "a1", "127.0.0.2"), WIRE_OK);
  EXPECT_EQ(CreationAtName(server.port, "a2", "127.0.0.2"), WIRE_OK);
  EXPECT_EQ(CreationAtName(server.port, "a3", "127.0.0.2"), HEARD_HUNG_UP);
  // A taken name is told so, and costs nothing.
  EXPECT_EQ(CreationAtName(server.port, "a1", "127.0.0.3"), WIRE_BAD_LOGIN);
  EXPECT_EQ(CreationAtName(server.port, "b1", "127.0.0.3"), WIRE_OK);
  EXPECT_EQ(CreationAtName(server.port, "b2", "127.0.0.3"), HEARD_HUNG_UP);
  EXPECT_EQ(CreationAtName(server.port, "c1", "127.0.1.1"), WIRE_OK);
  // The refused names were not taken.
  EXPECT_EQ(CreationAtName(server.port, "a3", "127.0.1.1"), WIRE_OK);
}

// Per hour: half an hour gives back half of the allowance, however often
// the address tried meanwhile.
TEST(ServerGuardCreations, AnHourGivesTheAllowanceBackAPieceAtATime) {
  Guard guard;
  const Admission admission = {"a", "p", 32, 256};
  const double kHourMs = 3600 * 1000;
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(GuardCreation(&guard, admission, 4, 100, 0), 0) << i;
  int created = 0;
  for (double at_ms = kHourMs / 16; at_ms <= kHourMs / 2; at_ms += kHourMs / 16)
    created += GuardCreation(&guard, admission, 4, 100, at_ms) == 0;
  EXPECT_EQ(created, 2);
}

TEST(ServerGuardLog, StormsAreSummedUpNotLoggedOneByOne) {
  const int kStorm = 300;
  TestServer server(SERVER_READ_TIMEOUT_MS, "",
                    [](ServerConfig *config) { config->summary_ms = 60000; });
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kStorm; i++) {
    Dialog gone(server.port, "127.0.0.2");
    if (i % 2) gone.Send(std::string(WIRE_VERSION_TEXT) + "x"); // a wrong first message
  }
  usleep(200 * 1000);
  server.Stop();
  double seconds = MsSince(start) / 1000.0;
  std::string log = server.Log();
  std::vector<std::string> lines = LinesWith(log, "127.0.0.2 \"");
  EXPECT_LE(lines.size(), GUARD_LOG_BURST + GUARD_LOG_PER_SECOND * seconds + 1) << log;
  // Every connection is in a line of its own or in one of the sums: the
  // refused, those gone before a first message, the failures past the rate.
  long summed = (long)LinesWith(log, "127.0.0.2 \"\" \"\": Bad version").size();
  for (const char *sum :
       {" refused in ", " closed before a first message in ", " not logged one by one in "}) {
    std::vector<std::string> found = LinesWith(log, sum);
    EXPECT_LE(found.size(), 1u) << log;
    if (!found.empty()) summed += atol(found[0].c_str() + strlen("varkel_server: "));
  }
  EXPECT_EQ(summed, kStorm) << log;
  EXPECT_EQ(LinesWith(log, " not logged one by one in ").size(), 1u) << log;
}

TEST(ServerGuardLog, AValidCharactersFloodIsSummedUpPastItsAddresssRate) {
  const int kWakes = 120;
  TestServer server(SERVER_READ_TIMEOUT_MS, "",
                    [](ServerConfig *config) { config->summary_ms = 60000; });
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kWakes; i++)
    ASSERT_EQ(Wake(server.port, "ann", "pw", "127.0.0.3"), WIRE_OK) << i;
  double seconds = MsSince(start) / 1000.0;
  server.Stop();
  std::string log = server.Log();
  std::vector<std::string> lines = LinesWith(log, "127.0.0.3 \"Connection\" \"ann\": OK");
  EXPECT_LE(lines.size(), GUARD_SERVED_LOG_BURST + GUARD_SERVED_LOG_PER_SECOND * seconds + 1)
      << log;
  std::vector<std::string> sums = LinesWith(log, " served conversations not logged one by one in ");
  ASSERT_EQ(sums.size(), 1u) << log;
  EXPECT_EQ((long)lines.size() + atol(sums[0].c_str() + strlen("varkel_server: ")), kWakes) << log;
}
