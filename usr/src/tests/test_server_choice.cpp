// SPDX-License-Identifier: MIT
// The server chosen at start from VARKEL_SERVER: what is taken, what stops
// the client, and an action reaching the server so chosen.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_server.h"
#include "support_window.h"

namespace {

struct Choice {
  Game *jeu;
  Choice() : jeu(new Game()) { InitGame(jeu); }
  ~Choice() { delete jeu; }
};

// A name of 253 characters, as long as resolvers take.
std::string LongestName() {
  std::string name;
  while (name.size() < 240)
    name += std::string(59, 'a' + name.size() % 26) + ".";
  return name + std::string(253 - name.size() - 4, 'z') + ".org";
}

TEST(ServerChoice, EveryFormOfAddress) {
  const std::string longest = LongestName();
  ASSERT_EQ(longest.size(), 253u);
  const struct {
    std::string value, host;
    int port;
  } forms[] = {
      {"varkel.example.org", "varkel.example.org", VARKEL_SERVER_PORT},
      {"192.168.100.200:65535", "192.168.100.200", 65535},
      {"my-friend.duckdns.org:1", "my-friend.duckdns.org", 1},
      {"host.example.org.:9998", "host.example.org.", 9998},
      {longest + ":7", longest, 7},
      {"::1", "::1", VARKEL_SERVER_PORT},
      {"2001:db8::42", "2001:db8::42", VARKEL_SERVER_PORT},
      {"[::1]", "::1", VARKEL_SERVER_PORT},
      {"[2001:db8::ffff:1.2.3.4]:80", "2001:db8::ffff:1.2.3.4", 80},
      {"unix:/run/user/1000/varkel/server.sock", "/run/user/1000/varkel/server.sock", 0},
  };
  for (const auto &form : forms) {
    Choice choice;
    EXPECT_EQ(ChooseServer(choice.jeu, form.value.c_str()), 0) << form.value;
    EXPECT_EQ(choice.jeu->server_chosen.host, form.host);
    EXPECT_EQ(choice.jeu->server_chosen.port, form.port) << form.value;
    // The built-in address stays for SDL_net, untouched.
    EXPECT_STREQ(choice.jeu->ip_server, VARKEL_SERVER_HOST);
  }
  Choice unset, empty;
  EXPECT_EQ(ChooseServer(unset.jeu, nullptr), 0);
  EXPECT_EQ(ChooseServer(empty.jeu, ""), 0);
  for (Choice *kept : {&unset, &empty}) {
    EXPECT_STREQ(kept->jeu->server_chosen.host, "");
    EXPECT_STREQ(kept->jeu->ip_server, VARKEL_SERVER_HOST);
    EXPECT_EQ(kept->jeu->port_server, VARKEL_SERVER_PORT);
  }
}

// Each bad value with the bad part its line must name.
TEST(ServerChoice, BadValuesAreRefusedAndChangeNothing) {
  const std::string longer = LongestName() + "x";
  const struct {
    std::string value, named;
  } bad[] = {
      {longer, "254 characters"},
      {longer + ":9999", "254 characters"},
      {":9999", "host is missing"},
      {"host:", "port \"\""},
      {"host:0", "port \"0\""},
      {"host:65536", "port \"65536\""},
      {"host:099999", "port \"099999\""},
      {"host:12ab", "port \"12ab\""},
      {"host:-1", "port \"-1\""},
      {"host: 80", "port \" 80\""},
      {"host:80:81", "\"host:80:81\" is not an IPv6 address"},
      {"[::1", "closing"},
      {"[::1]80", "\"80\" after"},
      {"[::1]:http", "port \"http\""},
      {"[varkel.example.org]:80", "\"varkel.example.org\" is not an IPv6"},
      {"-varkel.example.org", "part \"-varkel\""},
      {"varkel..example.org", "part \"\""},
      {"varkel_server.example.org", "part \"varkel_server\""},
      {std::string(64, 'a') + ".org", "part \"" + std::string(64, 'a') + "\""},
      {"999.1.1.1", "\"999.1.1.1\" is not an IPv4"},
      {"unix:server.sock", "\"server.sock\" does not start with \"/\""},
      {"unix:/" + std::string(107, 's'), "108 characters"},
  };
  for (const auto &one : bad) {
    Choice choice;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ChooseServer(choice.jeu, one.value.c_str()), 1) << one.value;
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(said.rfind("VARKEL_SERVER: ", 0), 0u) << said;
    EXPECT_NE(said.find(one.named), std::string::npos) << said;
    EXPECT_NE(said.find(one.value), std::string::npos) << said;
    EXPECT_EQ(said.back(), '\n');
    EXPECT_STREQ(choice.jeu->server_chosen.host, "") << one.value;
    EXPECT_STREQ(choice.jeu->ip_server, VARKEL_SERVER_HOST) << one.value;
  }
}

// The real client stops before it writes anything: no log, status 1.
TEST(ServerChoice, TheClientStopsOnABadValue) {
  InstallTree tree;
  for (const std::string &bad : {std::string("localhost:99999"), LongestName() + "x"}) {
    ProcessResult run = RunProcess({VARKEL_CLIENT_BINARY}, tree.Bin(), 10000,
                                   {"SDL_VIDEODRIVER=dummy", "VARKEL_SERVER=" + bad});
    EXPECT_EQ(run.status, 1) << bad;
    EXPECT_EQ(run.out.rfind("VARKEL_SERVER: ", 0), 0u) << run.out;
    EXPECT_FALSE(FileExists(tree.LogPath()));
  }
}

TEST(ServerChoice, AnActionReachesTheChosenServer) {
  TestServer server;
  LoadedGame game;
  std::string value = "127.0.0.1:" + std::to_string(server.port);
  ASSERT_EQ(ChooseServer(game.jeu, value.c_str()), 0);
  snprintf(game.jeu->login, sizeof(game.jeu->login), "%s", "zoe");
  snprintf(game.jeu->password, sizeof(game.jeu->password), "%s", "pass");
  EXPECT_EQ(ActionSubscribe(game.jeu), 0) << game.Log();
  Dialog check(server.port);
  EXPECT_TRUE(Identify(&check, "Connection", "zoe", "pass")) << "the character was not created";
  EXPECT_EQ(game.jeu->socket_chosen, -1) << "the connection is closed at the end";
}

bool HasIPv6Loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in6 address = {};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  bool bound = fd >= 0 && bind(fd, (struct sockaddr *)&address, sizeof(address)) == 0;
  if (fd >= 0) close(fd);
  return bound;
}

// A birth and a wake-up on a server that listens on IPv6 alone.
TEST(ServerChoice, AServerOnIPv6) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no ::1";
  TestServer server(SERVER_READ_TIMEOUT_MS, "",
                    [](ServerConfig *config) { config->listen = {"::1"}; });
  LoadedGame game;
  ASSERT_EQ(ChooseServer(game.jeu, ("[::1]:" + std::to_string(server.port)).c_str()), 0);
  snprintf(game.jeu->login, sizeof(game.jeu->login), "%s", "zoe");
  snprintf(game.jeu->password, sizeof(game.jeu->password), "%s", "pass");
  EXPECT_EQ(ActionSubscribe(game.jeu), 0) << game.Log();
  EXPECT_EQ(ActionConnect(game.jeu), 0) << game.Log();
  EXPECT_STREQ(game.jeu->etat, "connected") << game.Log();
}

// Resolution and connection count within the action's time limit, on the
// built-in path (SDL_net) and on a chosen server's: the player is sent back
// to the hall told to check the connection, the log names the address.
TEST(ServerChoice, ASwallowedConnectionEndsWithinTheActionLimit) {
  // Open until the process ends: the connection the client left behind
  // waits there until then, as it would on a silent server.
  static SwallowingListener listener;
  const std::string port = std::to_string(listener.port);
  const struct {
    const char *chosen;
    std::string line;
  } paths[] = {
      {"", "SDLNet_TCP_Open: no connection to 127.0.0.1:" + port + " within 1500 ms\n"},
      {"127.0.0.1", "connect: 127.0.0.1:" + port + ": 127.0.0.1:" + port +
                        ": no answer within the time limit\n"},
  };
  for (const auto &path : paths) {
    LoadedGame game;
    game.jeu->action_timeout_ms = 1500;
    snprintf(game.jeu->ip_server, sizeof(game.jeu->ip_server), "%s", "127.0.0.1");
    game.jeu->port_server = listener.port;
    if (path.chosen[0] != '\0') {
      ASSERT_EQ(ChooseServer(game.jeu, (std::string(path.chosen) + ":" + port).c_str()), 0);
    }
    snprintf(game.jeu->login, sizeof(game.jeu->login), "%s", "zoe");
    EXPECT_EQ(ActionConnect(game.jeu), 1);
    EXPECT_STREQ(game.jeu->etat, "disconnected");
    EXPECT_NE(game.Log().find(path.line), std::string::npos) << game.Log();
    EXPECT_EQ(game.Log().find("Sent:"), std::string::npos) << game.Log();
  }
}

// A name none resolves: the resolver's step and the name are logged.
TEST(ServerChoice, AnUnknownNameIsANetworkFailure) {
  LoadedGame game;
  ASSERT_EQ(ChooseServer(game.jeu, "no-such-host.invalid:9"), 0);
  EXPECT_EQ(ActionConnect(game.jeu), 1);
  EXPECT_STREQ(game.jeu->etat, "disconnected");
  EXPECT_EQ(game.Log().rfind("getaddrinfo: no-such-host.invalid:9: ", 0), 0u) << game.Log();
}

} // namespace
