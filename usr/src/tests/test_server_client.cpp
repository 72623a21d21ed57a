// SPDX-License-Identifier: MIT
// The real client's actions against the real server (in-process, on a free
// loopback port, with a clock the test moves): a whole life, the refusals,
// and what the players hear of each other.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_server.h"

typedef int (*ActionFunction)(void *);

class ClientAndServer : public ::testing::Test {
protected:
  void SetUp() override {
    snprintf(jeu->ip_server, sizeof(jeu->ip_server), "%s", "127.0.0.1");
    jeu->port_server = server.port;
    SetPlayer("ann", "secret");
  }

  void SetPlayer(const char *login, const char *password) {
    snprintf(jeu->login, sizeof(jeu->login), "%s", login);
    snprintf(jeu->password, sizeof(jeu->password), "%s", password);
  }

  // Runs an action on this thread, from the screen it is started from.
  int Run(ActionFunction action, const char *from) {
    snprintf(jeu->etat, sizeof(jeu->etat), "%s", from);
    return action(jeu);
  }

  // The state message reads text, fully opaque.
  ::testing::AssertionResult Shows(const char *text) {
    SDL_Surface *expected = TTF_RenderUTF8_Solid(jeu->font1, text, jeu->color_font1);
    SDL_Surface *shown = jeu->sfc_text_state;
    bool same = expected != NULL && shown != NULL && expected->w == shown->w &&
                expected->h == shown->h && jeu->message_alpha == 255;
    for (int y = 0; same && y < expected->h; y += 2) {
      for (int x = 0; same && x < expected->w; x += 2)
        same = PixelAt(expected, x, y) == PixelAt(shown, x, y);
    }
    SDL_FreeSurface(expected);
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the state message is not \"" << text << "\"\n"
                                         << game.Log();
  }

  std::vector<std::string> ChatLines() {
    std::string text = ReadFileText(game.dir + "chat.dat");
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }

  TestServer server;
  LoadedGame game;
  Game *jeu = game.jeu;
};

TEST_F(ClientAndServer, AWholeLife) {
  EXPECT_EQ(Run(ActionSubscribe, "disconnected"), 0);
  EXPECT_TRUE(Shows("Vous êtes né."));
  EXPECT_STREQ(jeu->etat, "disconnected");

  EXPECT_EQ(Run(ActionConnect, "disconnected"), 0);
  EXPECT_TRUE(Shows("Vous êtes réveillé."));
  EXPECT_STREQ(jeu->etat, "connected");

  snprintf(jeu->speak, sizeof(jeu->speak), "%s", "Bonjour Varkel");
  EXPECT_EQ(Run(ActionSpeak, "connected"), 0);
  EXPECT_TRUE(Shows("Vous avez parlé."));
  EXPECT_EQ(Run(ActionRefresh, "connected"), 0);
  EXPECT_TRUE(Shows("Vous avez écouté."));
  std::vector<std::string> heard = ChatLines();
  ASSERT_EQ(heard.size(), (size_t)WIRE_LISTEN_LINES);
  EXPECT_EQ(heard[0], "");
  EXPECT_EQ(heard[99], "ann : Bonjour Varkel");
  EXPECT_STREQ(jeu->message, "ann : Bonjour Varkel");

  server.MoveClock(1.5 * 3600);
  EXPECT_EQ(Run(ActionAnalyze, "connected"), 0);
  EXPECT_TRUE(Shows("Vous avez faim à 25%, soif à 50%, sommeil à 9%"));

  snprintf(jeu->place, sizeof(jeu->place), "%s", "PUIT");
  EXPECT_EQ(Run(ActionMove, "connected"), 0);
  EXPECT_TRUE(Shows("Vous vous êtes déplacé."));
  EXPECT_EQ(Run(ActionDrink, "connected"), 0);
  EXPECT_TRUE(Shows("Vous avez étanché votre soif."));
  snprintf(jeu->place, sizeof(jeu->place), "%s", "FORÊT");
  EXPECT_EQ(Run(ActionMove, "connected"), 0);
  EXPECT_STREQ(jeu->place_current, "FORÊT");
  EXPECT_EQ(Run(ActionEat, "connected"), 0);
  EXPECT_TRUE(Shows("Vous êtes rassasié."));
  EXPECT_EQ(Run(ActionAnalyze, "connected"), 0);
  EXPECT_TRUE(Shows("Vous avez faim à 0%, soif à 0%, sommeil à 9%"));

  EXPECT_EQ(Run(ActionDisconnect, "connected"), 0);
  EXPECT_TRUE(Shows("Vous êtes endormi."));
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_EQ(Status(server.port, "ann", "secret"), (std::vector<std::string>{"0", "0", "0"}));

  EXPECT_EQ(Run(ActionUnsubscribe, "disconnected"), 0);
  EXPECT_TRUE(Shows("Vous êtes mort."));
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_EQ(Run(ActionConnect, "disconnected"), 1);
  EXPECT_TRUE(Shows("Cette personne est décédée!"));
  EXPECT_EQ(Run(ActionSubscribe, "disconnected"), 1);
  EXPECT_TRUE(Shows("Ce nom est déjà utilisé!"));
}

TEST_F(ClientAndServer, Refusals) {
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "secret"));
  EXPECT_EQ(Run(ActionSubscribe, "disconnected"), 1);
  EXPECT_TRUE(Shows("Ce nom est déjà utilisé!"));
  SetPlayer("ann", "guess");
  EXPECT_EQ(Run(ActionConnect, "disconnected"), 1);
  EXPECT_TRUE(Shows("Ce code est incorrect!"));
  SetPlayer("nobody", "secret");
  EXPECT_EQ(Run(ActionUnsubscribe, "disconnected"), 1);
  EXPECT_TRUE(Shows("Ce nom n'existe pas!"));
  SetPlayer("ann", "secret");
  jeu->version = WIRE_VERSION - 1;
  EXPECT_EQ(Run(ActionConnect, "disconnected"), 1);
  EXPECT_TRUE(Shows("Vous devez télécharger la nouvelle version!"));
  EXPECT_STREQ(jeu->etat, "disconnected");
}

TEST_F(ClientAndServer, ThirstKillsWhilePlaying) {
  ASSERT_EQ(Run(ActionSubscribe, "disconnected"), 0);
  ASSERT_EQ(Run(ActionConnect, "disconnected"), 0);
  server.MoveClock(3 * 3600);
  EXPECT_EQ(Run(ActionAnalyze, "connected"), 1);
  EXPECT_TRUE(Shows("Cette personne est décédée!"));
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_EQ(Run(ActionUnsubscribe, "disconnected"), 1);
  EXPECT_TRUE(Shows("Cette personne est décédée!"));
}

TEST_F(ClientAndServer, PlayersHearEachOther) {
  ASSERT_EQ(Run(ActionSubscribe, "disconnected"), 0);
  ASSERT_TRUE(CreateCharacter(server.port, "bob", "pw"));
  ASSERT_EQ(Speak(server.port, "bob", "pw", "Salut ann, l'eau du puits est bonne"), WIRE_OK);
  snprintf(jeu->speak, sizeof(jeu->speak), "%s", "Merci bob");
  ASSERT_EQ(Run(ActionSpeak, "connected"), 0);
  ASSERT_EQ(Speak(server.port, "bob", "pw", ""), WIRE_OK);
  ASSERT_EQ(Run(ActionRefresh, "connected"), 0);
  std::vector<std::string> heard = ChatLines();
  ASSERT_EQ(heard.size(), (size_t)WIRE_LISTEN_LINES);
  EXPECT_EQ(std::vector<std::string>(heard.end() - 3, heard.end()),
            (std::vector<std::string>{"bob : Salut ann, l'eau du puits est bonne",
                                      "ann : Merci bob", "bob : "}));
}
