// SPDX-License-Identifier: MIT
// The server chosen at start from VARKEL_SERVER: what is taken, what stops
// the client, and an action reaching the server so chosen.
#include <string>

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

TEST(ServerChoice, HostAloneOrWithAPort) {
  Choice unset, empty, host, both, longest;
  EXPECT_EQ(ChooseServer(unset.jeu, nullptr), 0);
  EXPECT_EQ(ChooseServer(empty.jeu, ""), 0);
  for (Choice *kept : {&unset, &empty}) {
    EXPECT_STREQ(kept->jeu->ip_server, VARKEL_SERVER_HOST);
    EXPECT_EQ(kept->jeu->port_server, VARKEL_SERVER_PORT);
  }
  EXPECT_EQ(ChooseServer(host.jeu, "varkel.example.org"), 0);
  EXPECT_STREQ(host.jeu->ip_server, "varkel.example.org");
  EXPECT_EQ(host.jeu->port_server, VARKEL_SERVER_PORT);
  EXPECT_EQ(ChooseServer(both.jeu, "192.168.100.200:65535"), 0);
  EXPECT_STREQ(both.jeu->ip_server, "192.168.100.200");
  EXPECT_EQ(both.jeu->port_server, 65535);
  EXPECT_EQ(ChooseServer(longest.jeu, "abcdefghijklmnopqr:1"), 0);
  EXPECT_STREQ(longest.jeu->ip_server, "abcdefghijklmnopqr");
  EXPECT_EQ(longest.jeu->port_server, 1);
}

TEST(ServerChoice, BadValuesAreRefusedAndChangeNothing) {
  for (const char *bad :
       {"abcdefghijklmnopqrs", "abcdefghijklmnopqrs:9999", ":9999", "host:", "host:0", "host:65536",
        "host:099999", "host:12ab", "host:-1", "host: 80", "host:80:81", "::1"}) {
    Choice choice;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ChooseServer(choice.jeu, bad), 1) << bad;
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(said.rfind("VARKEL_SERVER: ", 0), 0u) << said;
    EXPECT_NE(said.find(bad), std::string::npos) << said;
    EXPECT_EQ(said.back(), '\n');
    EXPECT_STREQ(choice.jeu->ip_server, VARKEL_SERVER_HOST) << bad;
    EXPECT_EQ(choice.jeu->port_server, VARKEL_SERVER_PORT) << bad;
  }
}

// The real client stops before it writes anything: no log, status 1.
TEST(ServerChoice, TheClientStopsOnABadValue) {
  InstallTree tree;
  for (const char *bad : {"localhost:99999", "a-host-name-far-too-long.example.org"}) {
    ProcessResult run = RunProcess({VARKEL_CLIENT_BINARY}, tree.Bin(), 10000,
                                   {"SDL_VIDEODRIVER=dummy", std::string("VARKEL_SERVER=") + bad});
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
}

} // namespace
