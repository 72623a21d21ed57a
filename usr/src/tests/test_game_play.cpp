// SPDX-License-Identifier: MIT
// A whole game played with the mouse and the keyboard: every action is
// started by a click on its control and every text typed key by key, against
// the scripted server, while frames are drawn as the client's loop draws them.
#include "support.h"
#include "support_input.h"
#include "support_scripted_server.h"

#include <string.h>

#include <vector>

#include <gtest/gtest.h>

namespace {

class GamePlay : public testing::Test {
protected:
  LoadedGame game;
  Game *jeu = game.jeu;
  ScriptedServer server;
  size_t connections = 0;

  void SetUp() override { server.PointAt(jeu); }
  void TearDown() override { JoinAction(jeu); }

  // Draws frames, under the lock as the loop does, until `etat` reads word.
  bool PlayUntil(const char *word) {
    for (int frame = 0; frame < 6000; frame++) {
      SDL_LockMutex(jeu->lock);
      int failed = DrawFrame(jeu);
      bool reached = strcmp(jeu->etat, word) == 0;
      SDL_UnlockMutex(jeu->lock);
      if (failed) {
        ADD_FAILURE() << "a frame could not be drawn\n" << game.Log();
        return false;
      }
      if (reached) return true;
      SDL_Delay(5);
    }
    ADD_FAILURE() << "etat never read " << word << ", still " << jeu->etat << "\n" << game.Log();
    return false;
  }

  // Clicks a control that starts a networked action, plays until the state
  // word comes back, and returns the messages the server received.
  std::vector<std::string> Act(RectField rect, SurfaceField surface, const char *final_state) {
    std::string busy;
    EXPECT_EQ(ClickOn(jeu, rect, surface, &busy), 0);
    EXPECT_NE(busy, "connected");
    EXPECT_NE(busy, "disconnected");
    EXPECT_TRUE(PlayUntil(final_state));
    JoinAction(jeu);
    EXPECT_TRUE(server.WaitConnections(++connections));
    return Messages(server.Received(connections - 1));
  }

  // Clicks a memory arrow; it runs on its own thread without a busy word.
  void Remember(RectField rect, SurfaceField surface) {
    std::string state;
    EXPECT_EQ(ClickOn(jeu, rect, surface, &state), 0);
    EXPECT_EQ(state, "connected");
    JoinAction(jeu);
  }

  // The background shows the picture of that file (sampled on a grid).
  testing::AssertionResult BackgroundIs(const char *file) {
    SDL_Surface *picture = SDL_LoadBMP((std::string(jeu->path_pictures) + file).c_str());
    if (picture == nullptr) return testing::AssertionFailure() << SDL_GetError();
    int differ = 0;
    SDL_LockMutex(jeu->lock);
    for (int y = 10; y < picture->h; y += 40)
      for (int x = 10; x < picture->w; x += 40)
        differ += PixelAt(picture, x, y) != PixelAt(jeu->sfc_bmp_background, x, y);
    SDL_UnlockMutex(jeu->lock);
    SDL_FreeSurface(picture);
    if (differ == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << differ << " samples differ from " << file;
  }

  testing::AssertionResult StateMessageIs(const char *text) {
    SDL_LockMutex(jeu->lock);
    testing::AssertionResult shows =
        ShowsText(jeu->sfc_text_state, jeu->font1, text, jeu->color_font1);
    SDL_UnlockMutex(jeu->lock);
    return shows;
  }
};

typedef std::vector<std::string> Said;

Said Identification(const char *query) {
  return {WIRE_VERSION_TEXT, query, "alice", "secret1"};
}

Said Then(Said said, const Said &more) {
  said.insert(said.end(), more.begin(), more.end());
  return said;
}

TEST_F(GamePlay, AWholeLifeWithTheMouseAndTheKeyboard) {
  // Name and password, typed into the fields the clicks focus.
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_nickname, &Game::sfc_bar_nickname), 0);
  ASSERT_EQ(Type(jeu, "alice"), 0);
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_password, &Game::sfc_bar_password), 0);
  ASSERT_EQ(Type(jeu, "secret1"), 0);
  EXPECT_STREQ(jeu->login, "alice");
  EXPECT_STREQ(jeu->password_hide, "*******");

  EXPECT_EQ(Act(&Game::rct_bmp_subscribe, &Game::sfc_bmp_subscribe, "disconnected"),
            Identification(WIRE_QUERY_SUBSCRIBE));
  EXPECT_TRUE(StateMessageIs("Vous êtes né."));

  EXPECT_TRUE(BackgroundIs("background.bmp"));
  EXPECT_EQ(Act(&Game::rct_bmp_connect, &Game::sfc_bmp_connect, "connected"),
            Identification(WIRE_QUERY_CONNECT));
  EXPECT_TRUE(StateMessageIs("Vous êtes réveillé."));
  EXPECT_TRUE(BackgroundIs("background_room.bmp"));

  // A sentence typed into the sentence field and said; it stays typed.
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_speak, &Game::sfc_bar_speak), 0);
  ASSERT_EQ(Type(jeu, "Bonjour Varkel"), 0);
  EXPECT_EQ(Act(&Game::rct_bmp_speak, &Game::sfc_bmp_speak, "connected"),
            Then(Identification(WIRE_QUERY_SPEAK), {"alice : Bonjour Varkel"}));
  EXPECT_TRUE(StateMessageIs("Vous avez parlé."));
  EXPECT_STREQ(jeu->speak, "Bonjour Varkel");
  EXPECT_STREQ(jeu->edit, "speak");

  // Listening: a hundred lines, each answered.
  Said listened = Act(&Game::rct_bmp_refresh, &Game::sfc_bmp_refresh, "connected");
  EXPECT_EQ(listened, Then(Identification(WIRE_QUERY_LISTEN), Said(WIRE_LISTEN_LINES, "OK")));
  EXPECT_TRUE(StateMessageIs("Vous avez écouté."));
  EXPECT_STREQ(jeu->message, HeardLine(100).c_str());
  EXPECT_EQ(jeu->current_message, 0);

  // Browsing the memory opens no connection.
  Remember(&Game::rct_bmp_arrow_up, &Game::sfc_bmp_arrow_up);
  Remember(&Game::rct_bmp_arrow_up, &Game::sfc_bmp_arrow_up);
  EXPECT_EQ(jeu->current_message, -2);
  EXPECT_STREQ(jeu->message, HeardLine(98).c_str());
  Remember(&Game::rct_bmp_arrow_down, &Game::sfc_bmp_arrow_down);
  EXPECT_EQ(jeu->current_message, -1);
  EXPECT_STREQ(jeu->message, HeardLine(99).c_str());
  EXPECT_TRUE(StateMessageIs("Vous cherchez dans votre mémoire."));
  EXPECT_EQ(server.Connections(), connections);

  EXPECT_EQ(Act(&Game::rct_bmp_analyze, &Game::sfc_bmp_analyze, "connected"),
            Then(Identification(WIRE_QUERY_STATUS), {"alice", "OK", "OK", "OK"}));
  EXPECT_TRUE(StateMessageIs("Vous avez faim à 10%, soif à 20%, sommeil à 30%"));

  // To the well: the place field chooses, the move control goes; the server
  // is never told where.
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_place, &Game::sfc_bar_place), 0);
  EXPECT_STREQ(jeu->place, "PUIT");
  EXPECT_STREQ(jeu->place_current, "HÔTEL");
  EXPECT_EQ(Act(&Game::rct_bmp_move, &Game::sfc_bmp_move, "connected"),
            Then(Identification(WIRE_QUERY_MOVE), {"alice"}));
  EXPECT_TRUE(StateMessageIs("Vous vous êtes déplacé."));
  EXPECT_STREQ(jeu->place_current, "PUIT");
  EXPECT_TRUE(BackgroundIs("background_well.bmp"));
  EXPECT_EQ(jeu->rct_bmp_special.x, jeu->screen_w - jeu->sfc_bmp_special->w);
  EXPECT_EQ(jeu->rct_bmp_special.y, jeu->rct_bmp_analyze.y - jeu->sfc_bmp_special->h);

  // The special control, where the move put it, drinks at the well.
  EXPECT_EQ(Act(&Game::rct_bmp_special, &Game::sfc_bmp_special, "connected"),
            Then(Identification(WIRE_QUERY_DRINK), {"alice"}));
  EXPECT_TRUE(StateMessageIs("Vous avez étanché votre soif."));

  EXPECT_EQ(Act(&Game::rct_bmp_disconnect, &Game::sfc_bmp_disconnect, "disconnected"),
            Then(Identification(WIRE_QUERY_SLEEP), {"alice"}));
  EXPECT_TRUE(StateMessageIs("Vous êtes endormi."));
  EXPECT_TRUE(BackgroundIs("background.bmp"));

  // The log holds every exchange.
  std::string log = game.Log();
  EXPECT_NE(log.find("Sent: \"alice : Bonjour Varkel\"\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Received: \"" + HeardLine(100) + "\"\n"), std::string::npos);
  EXPECT_EQ(server.Connections(), 8u);
}

TEST_F(GamePlay, TypingWhileTheSentenceIsSaidNeverTearsIt) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "alice");
  snprintf(jeu->password, sizeof(jeu->password), "%s", "secret1");
  snprintf(jeu->etat, sizeof(jeu->etat), "%s", "connected");
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_speak, &Game::sfc_bar_speak), 0);
  ASSERT_EQ(Type(jeu, "Bonjour"), 0);
  const std::string more = " a tous, le puits est au nord";
  std::string busy;
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_speak, &Game::sfc_bmp_speak, &busy), 0);
  EXPECT_EQ(busy, "speaking");
  // The keys reach the field while the action reads it.
  ASSERT_EQ(Type(jeu, more), 0);
  ASSERT_TRUE(PlayUntil("connected"));
  JoinAction(jeu);
  ASSERT_TRUE(server.WaitConnections(1));
  Said said = Messages(server.Received(0));
  ASSERT_EQ(said.size(), 5u);
  const std::string typed = "Bonjour" + more;
  EXPECT_EQ(typed.rfind(said[4].substr(strlen("alice : ")), 0), 0u)
      << "\"" << said[4] << "\" is not the name and a prefix of what was typed";
  EXPECT_EQ(std::string(jeu->speak), typed);
}

} // namespace
