// SPDX-License-Identifier: MIT
// Player input: typing into the three fields, the hover feedback and its
// help texts, and the clicks on the common controls and both screens, all
// through real SDL events on the dummy video driver.
#include "support.h"
#include "support_input.h"
#include "support_scripted_server.h"
#include "support_window.h"

#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace {

const unsigned kFocusGreen = 0x11CE70; // (17, 206, 112)
const unsigned kBlack = 0x000000;
const unsigned kHelpYellow = 0xFFFF9B; // (255, 255, 155)
const SDL_Rect kAway = {-2000, -2000, 0, 0};

struct Control {
  RectField rect;
  SurfaceField surface;
  const char *help; // NULL for none
};

// The help the player reads over each control; the others show none.
const std::map<std::string, std::string> kHelpTexts = {
    {"bmp_fullscreen", "Passer en mode plein écran"},
    {"bmp_window", "Passer en mode fenêtre"},
    {"bmp_profil", "Retenir le pseudonyme"},
    {"bmp_noprofil", "Ne pas retenir le pseudonyme"},
    {"bmp_screenshot", "Capturer l'écran"},
    {"bar_nickname", "Entrer le pseudonyme"},
    {"bar_password", "Entrer le mot de passe"},
    {"bmp_arrow_up", "Rechercher des paroles plus anciennes dans sa mémoire"},
    {"bmp_arrow_down", "Rechercher des paroles plus récentes dans sa mémoire"},
    {"bar_speak", "Entrer les paroles"},
    {"bar_place", "Choisir le lieu"},
};

// The controls of a screen where the client's table puts them, with the
// help expected over each.
std::vector<Control> Group(ControlScreen screen) {
  std::vector<Control> group;
  for (const ::Control &control : kControls) {
    if (control.screen != screen) continue;
    auto help = kHelpTexts.find(control.name);
    group.push_back({control.look.at, control.look.surface,
                     help == kHelpTexts.end() ? nullptr : help->second.c_str()});
  }
  return group;
}

const std::vector<Control> kCommon = Group(kOnBoth);
const std::vector<Control> kSignIn = Group(kOnSignIn);
const std::vector<Control> kInGame = Group(kOnInGame);

std::vector<Control> WithCommon(const std::vector<Control> &group) {
  std::vector<Control> all = kCommon;
  all.insert(all.end(), group.begin(), group.end());
  return all;
}

testing::AssertionResult Filled(SDL_Surface *bar, unsigned rgb) {
  const Point corners[] = {{0, 0}, {bar->w - 1, bar->h - 1}, {bar->w / 2, bar->h / 2}};
  for (const Point &p : corners)
    if (PixelAt(bar, p.x, p.y) != rgb)
      return testing::AssertionFailure() << "pixel " << p.x << "," << p.y << " is " << std::hex
                                         << PixelAt(bar, p.x, p.y) << ", not " << rgb;
  return testing::AssertionSuccess();
}

class InputTest : public testing::Test {
protected:
  LoadedGame game;
  Game *jeu = game.jeu;
  ScriptedServer server;

  void SetUp() override { server.PointAt(jeu); }
  void TearDown() override { JoinAction(jeu); }

  void SetState(const char *word) {
    SDL_LockMutex(jeu->lock);
    snprintf(jeu->etat, sizeof(jeu->etat), "%s", word);
    SDL_UnlockMutex(jeu->lock);
  }
  void Focus(const char *field) { snprintf(jeu->edit, sizeof(jeu->edit), "%s", field); }
  std::string FlushedLog() {
    fflush(jeu->file_log); // a bell after the line end waits in the buffer
    return game.Log();
  }
  std::string DataPath(const char *name) const { return game.dir + name; }
  // The query word of connection n.
  std::string QueryOf(size_t n) {
    std::vector<std::string> messages = Messages(server.Received(n));
    return messages.size() > 1 ? messages[1] : "";
  }
  // A point over no control of the common controls and the group.
  Point EmptyPoint(const std::vector<Control> &group) const {
    std::vector<Control> all = WithCommon(group);
    for (int y = 130; y < jeu->screen_h; y += 3)
      for (int x = 0; x < jeu->screen_w; x += 3) {
        bool free = true;
        for (const Control &c : all)
          free = free && !Over(jeu, c.rect, c.surface, {x, y});
        if (free) return {x, y};
      }
    ADD_FAILURE() << "no empty point";
    return {0, 0};
  }
  testing::AssertionResult StateMessageIs(const char *text) {
    if (jeu->message_alpha != 255)
      return testing::AssertionFailure() << "message_alpha " << jeu->message_alpha;
    return ShowsText(jeu->sfc_text_state, jeu->font1, text, jeu->color_font1);
  }
};

/* Text entry. */

using TextEntry = InputTest;

TEST_F(TextEntry, NicknameKeepsItsFirstEightCharacters) {
  Focus("nickname");
  ASSERT_EQ(Type(jeu, "abcdefghij"), 0);
  EXPECT_STREQ(jeu->login, "abcdefgh");
  EXPECT_TRUE(ShowsText(jeu->sfc_text_nickname, jeu->font1, "abcdefgh", jeu->color_font1));
  EXPECT_STREQ(jeu->password, "");
  EXPECT_STREQ(jeu->speak, "");
}

TEST_F(TextEntry, PasswordIsStoredAndShownAsAsterisks) {
  Focus("password");
  ASSERT_EQ(Type(jeu, "s3c"), 0);
  EXPECT_STREQ(jeu->password, "s3c");
  EXPECT_STREQ(jeu->password_hide, "***");
  EXPECT_TRUE(ShowsText(jeu->sfc_text_password, jeu->font1, "***", jeu->color_font1));
  ASSERT_EQ(Type(jeu, "retlong"), 0);
  EXPECT_STREQ(jeu->password, "s3cretlo");
  EXPECT_STREQ(jeu->password_hide, "********");
}

TEST_F(TextEntry, BackspaceGoesByKeySymbol) {
  Focus("password");
  ASSERT_EQ(Deliver(jeu, KeyDown(SDLK_BACKSPACE, 8)), 0);
  EXPECT_STREQ(jeu->password, "");
  EXPECT_EQ(jeu->sfc_text_password, nullptr) << "an empty field is not rendered";

  ASSERT_EQ(Type(jeu, "xy"), 0);
  ASSERT_EQ(Deliver(jeu, KeyDown(SDLK_BACKSPACE, 0)), 0);
  EXPECT_STREQ(jeu->password, "x");
  EXPECT_STREQ(jeu->password_hide, "*");
  EXPECT_TRUE(ShowsText(jeu->sfc_text_password, jeu->font1, "*", jeu->color_font1));

  // Ctrl+H translates to the backspace character but is not Backspace.
  ASSERT_EQ(Deliver(jeu, KeyDown(SDLK_h, 8)), 0);
  EXPECT_STREQ(jeu->password, "x");

  SDL_Surface *last = jeu->sfc_text_password;
  ASSERT_EQ(Deliver(jeu, KeyDown(SDLK_BACKSPACE, 8)), 0);
  EXPECT_STREQ(jeu->password, "");
  EXPECT_STREQ(jeu->password_hide, "");
  EXPECT_EQ(jeu->sfc_text_password, last) << "an emptied field is not rendered";
}

TEST_F(TextEntry, SentenceTakesFortyNineCharacters) {
  Focus("speak");
  const std::string sentence = " Bonjour a tous, ~ le puits est au nord du bourg!"; // 49
  ASSERT_EQ(sentence.size(), 49u);
  ASSERT_EQ(Type(jeu, sentence + "X"), 0);
  EXPECT_EQ(std::string(jeu->speak), sentence);
  EXPECT_TRUE(
      ShowsText(jeu->sfc_text_speak, jeu->font_speak, sentence.c_str(), jeu->color_font_speak));
  EXPECT_STREQ(jeu->login, "");
}

TEST_F(TextEntry, ShiftAloneRendersTheSameTextAgain) {
  Focus("nickname");
  ASSERT_EQ(Type(jeu, "abc"), 0);
  SDL_Surface *before = jeu->sfc_text_nickname;
  ASSERT_EQ(Deliver(jeu, KeyDown(SDLK_LSHIFT, 0)), 0);
  EXPECT_STREQ(jeu->login, "abc");
  EXPECT_NE(jeu->sfc_text_nickname, before);
  EXPECT_TRUE(ShowsText(jeu->sfc_text_nickname, jeu->font1, "abc", jeu->color_font1));
}

TEST_F(TextEntry, KeysWithoutAPrintableCharacterAddNothing) {
  Focus("speak");
  ASSERT_EQ(Type(jeu, "hi"), 0);
  const SDL_Event keys[] = {
      KeyDown(SDLK_WORLD_73, 0xE9), // é
      KeyDown(SDLK_WORLD_64, 0xC0), // À
      KeyDown(SDLK_RETURN, 13),     KeyDown(SDLK_KP_ENTER, 13), KeyDown(SDLK_TAB, 9),
      KeyDown(SDLK_ESCAPE, 27),     KeyDown(SDLK_DELETE, 127),  KeyDown(SDLK_UP, 0),
      KeyDown(SDLK_F1, 0),          KeyDown(SDLK_a, 0x20AC), // €
  };
  for (const SDL_Event &key : keys) {
    ASSERT_EQ(Deliver(jeu, key), 0);
    EXPECT_STREQ(jeu->speak, "hi") << "key " << key.key.keysym.sym;
  }
  EXPECT_TRUE(ShowsText(jeu->sfc_text_speak, jeu->font_speak, "hi", jeu->color_font_speak));
}

TEST_F(TextEntry, WithoutFocusKeysDoNothing) {
  for (const char *edit : {"", "place"}) {
    Focus(edit);
    ASSERT_EQ(Type(jeu, "abc"), 0);
    ASSERT_EQ(Deliver(jeu, KeyDown(SDLK_BACKSPACE, 8)), 0);
  }
  EXPECT_STREQ(jeu->login, "");
  EXPECT_STREQ(jeu->password, "");
  EXPECT_STREQ(jeu->password_hide, "");
  EXPECT_STREQ(jeu->speak, "");
  EXPECT_EQ(jeu->sfc_text_nickname, nullptr);
  EXPECT_EQ(jeu->sfc_text_password, nullptr);
  EXPECT_EQ(jeu->sfc_text_speak, nullptr);
}

TEST_F(TextEntry, OtherEventTypesAreIgnored) {
  Focus("nickname");
  SDL_Event release = KeyDown(SDLK_a, 'a');
  release.type = SDL_KEYUP;
  release.key.state = SDL_RELEASED;
  Point subscribe = CenterOf(jeu, &Game::rct_bmp_subscribe, &Game::sfc_bmp_subscribe);
  SDL_Event up = Press(subscribe.x, subscribe.y);
  up.type = SDL_MOUSEBUTTONUP;
  up.button.state = SDL_RELEASED;
  SDL_Event active;
  memset(&active, 0, sizeof(active));
  active.type = SDL_ACTIVEEVENT;
  active.active.gain = 1;
  for (const SDL_Event &event : {release, up, active})
    ASSERT_EQ(Deliver(jeu, event), 0);
  EXPECT_STREQ(jeu->login, "");
  EXPECT_STREQ(jeu->edit, "nickname");
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_EQ(jeu->thread_connect, nullptr);
}

/* Hover. */

using Hover = InputTest;

TEST_F(Hover, OverNoControlEveryControlRestsAndNoHelpShows) {
  for (const char *state : {"disconnected", "connected"}) {
    SCOPED_TRACE(state);
    SetState(state);
    const std::vector<Control> &group = strcmp(state, "connected") == 0 ? kInGame : kSignIn;
    Point lit = CenterOf(jeu, kCommon[0].rect, kCommon[0].surface);
    ASSERT_EQ(Deliver(jeu, Motion(lit.x, lit.y)), 0);
    ASSERT_EQ(AlphaOf(jeu->sfc_bar_help), 255);
    // The help goes on that very event.
    Point empty = EmptyPoint(group);
    ASSERT_EQ(Deliver(jeu, Motion(empty.x, empty.y)), 0);
    for (const Control &c : WithCommon(group))
      EXPECT_EQ(AlphaOf(jeu->*c.surface), 155);
    EXPECT_EQ(AlphaOf(jeu->sfc_bar_help), 0);
    EXPECT_EQ(AlphaOf(jeu->sfc_text_help), 0);
    EXPECT_EQ(jeu->rct_bmp_cursor.x, empty.x);
    EXPECT_EQ(jeu->rct_bmp_cursor.y, empty.y);
    EXPECT_EQ(jeu->rct_bar_help.x, empty.x);
    EXPECT_EQ(jeu->rct_bar_help.y, empty.y - jeu->sfc_bmp_cursor->h);
    EXPECT_EQ(jeu->rct_text_help.x, jeu->rct_bar_help.x);
    EXPECT_EQ(jeu->rct_text_help.y, jeu->rct_bar_help.y);
  }
}

TEST_F(Hover, EachControlLightsUpWithItsHelp) {
  for (const char *state : {"disconnected", "connected"}) {
    SetState(state);
    const std::vector<Control> all =
        WithCommon(strcmp(state, "connected") == 0 ? kInGame : kSignIn);
    for (const Control &control : all) {
      Point p = CenterOf(jeu, control.rect, control.surface);
      SCOPED_TRACE(std::string(state) + " at " + std::to_string(p.x) + "," + std::to_string(p.y));
      ASSERT_EQ(Deliver(jeu, Motion(p.x, p.y)), 0);
      ASSERT_EQ(DrawFrame(jeu), 0) << "the lit screen can be drawn\n" << FlushedLog();
      for (const Control &other : all) {
        bool same = other.surface == control.surface;
        ASSERT_TRUE(same || !Over(jeu, other.rect, other.surface, p)) << "controls overlap";
        EXPECT_EQ(AlphaOf(jeu->*other.surface), same ? 255 : 155);
      }
      if (control.help == nullptr) {
        EXPECT_EQ(AlphaOf(jeu->sfc_bar_help), 0);
        EXPECT_EQ(AlphaOf(jeu->sfc_text_help), 0);
        continue;
      }
      EXPECT_STREQ(jeu->help, control.help);
      EXPECT_TRUE(
          ShowsText(jeu->sfc_text_help, jeu->font_help, control.help, jeu->color_font_help));
      EXPECT_EQ(AlphaOf(jeu->sfc_bar_help), 255);
      EXPECT_EQ(AlphaOf(jeu->sfc_text_help), 255);
      EXPECT_EQ(jeu->help_bar_w, jeu->sfc_text_help->w);
    }
  }
}

// The width of pale yellow drawn on the help bar's rows.
int DrawnHelpWidth(Game *jeu) {
  SDL_FillRect(jeu->sfc_screen, nullptr, 0);
  EXPECT_EQ(DisplayHelp(jeu), 0) << ReadFileText(std::string(jeu->path_log));
  const SDL_Rect &bar = jeu->rct_bar_help;
  int rightmost = bar.x - 1;
  for (int x = bar.x; x < jeu->screen_w; x++)
    for (int y = bar.y; y < bar.y + jeu->sfc_bar_help->h; y++)
      if (PixelAt(jeu->sfc_screen, x, y) == kHelpYellow) rightmost = x;
  return rightmost - bar.x + 1;
}

TEST_F(Hover, HelpBarIsDrawnAsWideAsItsText) {
  SetState("connected");
  Point shot = CenterOf(jeu, &Game::rct_bmp_screenshot, &Game::sfc_bmp_screenshot);
  ASSERT_EQ(Deliver(jeu, Motion(shot.x, shot.y)), 0);
  int short_width = jeu->sfc_text_help->w;
  EXPECT_EQ(DrawnHelpWidth(jeu), short_width);

  Point older = CenterOf(jeu, &Game::rct_bmp_arrow_up, &Game::sfc_bmp_arrow_up);
  ASSERT_EQ(Deliver(jeu, Motion(older.x, older.y)), 0);
  int long_width = jeu->sfc_text_help->w;
  EXPECT_GT(long_width, short_width);
  EXPECT_EQ(DrawnHelpWidth(jeu), long_width);

  // Never wider than the bar itself.
  SDL_Surface *bar = jeu->sfc_bar_help;
  jeu->sfc_bar_help = SDL_CreateRGBSurface(SDL_HWSURFACE, 50, bar->h, 32, 0, 0, 0, 0);
  ASSERT_NE(jeu->sfc_bar_help, nullptr);
  ASSERT_EQ(Deliver(jeu, Motion(older.x, older.y)), 0);
  EXPECT_EQ(jeu->help_bar_w, 50);
  SDL_FreeSurface(jeu->sfc_bar_help);
  jeu->sfc_bar_help = bar;
}

// Each help text is rendered once: the pointer coming back to a control
// finds the same surface, showing the same text, one surface per text.
TEST_F(Hover, EachHelpTextIsRenderedOnce) {
  std::map<std::string, SDL_Surface *> kept;
  for (int round = 0; round < 3; round++)
    for (const char *state : {"disconnected", "connected"}) {
      SetState(state);
      for (const Control &c : WithCommon(strcmp(state, "connected") == 0 ? kInGame : kSignIn)) {
        if (c.help == nullptr) continue;
        Point p = CenterOf(jeu, c.rect, c.surface);
        ASSERT_EQ(Deliver(jeu, Motion(p.x, p.y)), 0);
        EXPECT_TRUE(ShowsText(jeu->sfc_text_help, jeu->font_help, c.help, jeu->color_font_help));
        auto found = kept.emplace(c.help, jeu->sfc_text_help);
        EXPECT_EQ(found.first->second, jeu->sfc_text_help) << c.help;
      }
    }
  std::set<SDL_Surface *> surfaces;
  for (const auto &entry : kept)
    surfaces.insert(entry.second);
  EXPECT_EQ(kept.size(), 11u);
  EXPECT_EQ(surfaces.size(), kept.size());
}

TEST_F(Hover, LastControlExaminedWithHelpWins) {
  SetState("connected");
  // The older arrow's left column is also the newer arrow's far edge.
  Point shared = {jeu->rct_bmp_arrow_up.x, jeu->rct_bmp_arrow_up.y + 2};
  ASSERT_TRUE(Over(jeu, &Game::rct_bmp_arrow_up, &Game::sfc_bmp_arrow_up, shared));
  ASSERT_TRUE(Over(jeu, &Game::rct_bmp_arrow_down, &Game::sfc_bmp_arrow_down, shared));
  ASSERT_EQ(Deliver(jeu, Motion(shared.x, shared.y)), 0);
  EXPECT_STREQ(jeu->help, "Rechercher des paroles plus récentes dans sa mémoire");
  EXPECT_EQ(AlphaOf(jeu->sfc_bmp_arrow_up), 255);
  EXPECT_EQ(AlphaOf(jeu->sfc_bmp_arrow_down), 255);
}

TEST_F(Hover, BusyStateShowsTheInGameHelp) {
  Point nickname = CenterOf(jeu, &Game::rct_bar_nickname, &Game::sfc_bar_nickname);
  ASSERT_EQ(Deliver(jeu, Motion(nickname.x, nickname.y)), 0);
  ASSERT_EQ(AlphaOf(jeu->sfc_bar_nickname), 255);
  SetState("connexion");
  Point place = CenterOf(jeu, &Game::rct_bar_place, &Game::sfc_bar_place);
  ASSERT_EQ(Deliver(jeu, Motion(place.x, place.y)), 0);
  EXPECT_STREQ(jeu->help, "Choisir le lieu");
  EXPECT_EQ(AlphaOf(jeu->sfc_bar_help), 255);
  EXPECT_EQ(AlphaOf(jeu->sfc_bar_place), 255);
  EXPECT_EQ(AlphaOf(jeu->sfc_bar_nickname), 255) << "the sign-in group keeps its alpha";
}

TEST_F(Hover, HelpBarRisesAboveTheTopEdge) {
  ASSERT_EQ(Deliver(jeu, Motion(5, 3)), 0);
  EXPECT_EQ(jeu->rct_bar_help.x, 5);
  EXPECT_EQ(jeu->rct_bar_help.y, 3 - jeu->sfc_bmp_cursor->h);
  EXPECT_LT(jeu->rct_bar_help.y, 0);
  EXPECT_EQ(jeu->rct_bmp_cursor.y, 3);
}

/* Clicks on the common controls. */

using CommonClicks = InputTest;

TEST_F(CommonClicks, ModeControlsSwitchTheVideoMode) {
  jeu->message_alpha = 0;
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_fullscreen, &Game::sfc_bmp_fullscreen), 0);
  EXPECT_TRUE(jeu->sfc_screen->flags & SDL_FULLSCREEN);
  EXPECT_EQ(jeu->sfc_screen, SDL_GetVideoSurface());
  EXPECT_EQ(jeu->sfc_screen->w, 640);
  EXPECT_EQ(jeu->sfc_screen->h, 480);
  EXPECT_TRUE(StateMessageIs("Votre vue est parfaite..."));

  jeu->message_alpha = 0;
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_window, &Game::sfc_bmp_window), 0);
  EXPECT_FALSE(jeu->sfc_screen->flags & SDL_FULLSCREEN);
  EXPECT_EQ(jeu->sfc_screen, SDL_GetVideoSurface());
  EXPECT_TRUE(StateMessageIs("Votre vue est médiocre..."));
}

TEST_F(CommonClicks, RememberWritesTheNicknameForItsOwnerOnly) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_profil, &Game::sfc_bmp_profil), 0);
  EXPECT_EQ(ReadFileText(DataPath("nickname.dat")), "bob");
  struct stat st;
  ASSERT_EQ(stat(DataPath("nickname.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(StateMessageIs("On se rappellera de vous..."));

  snprintf(jeu->login, sizeof(jeu->login), "%s", "");
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_profil, &Game::sfc_bmp_profil), 0);
  EXPECT_TRUE(FileExists(DataPath("nickname.dat")));
  EXPECT_EQ(ReadFileText(DataPath("nickname.dat")), "");
}

TEST_F(CommonClicks, ForgetEmptiesTheFileAndKeepsTheNickname) {
  WriteFileText(DataPath("nickname.dat"), "bob");
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_noprofil, &Game::sfc_bmp_noprofil), 0);
  EXPECT_TRUE(FileExists(DataPath("nickname.dat")));
  EXPECT_EQ(ReadFileText(DataPath("nickname.dat")), "");
  EXPECT_STREQ(jeu->login, "bob");
  EXPECT_TRUE(StateMessageIs("On ne se rappellera plus de vous..."));
}

// The colour at the middle of a saved screenshot, which must be a bitmap of
// the screen's size.
unsigned ScreenshotMiddle(const std::string &path) {
  SDL_Surface *saved = SDL_LoadBMP(path.c_str());
  EXPECT_NE(saved, nullptr) << SDL_GetError();
  if (saved == nullptr) return 0xFFFFFFFF;
  EXPECT_EQ(saved->w, 640);
  EXPECT_EQ(saved->h, 480);
  unsigned middle = PixelAt(saved, 320, 240);
  SDL_FreeSurface(saved);
  return middle;
}

TEST_F(CommonClicks, ScreenshotSavesTheScreenAndReplacesTheLastOne) {
  SDL_FillRect(jeu->sfc_screen, nullptr, SDL_MapRGB(jeu->sfc_screen->format, 10, 20, 30));
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_screenshot, &Game::sfc_bmp_screenshot), 0);
  EXPECT_EQ(ScreenshotMiddle(DataPath("screenshot.bmp")), 0x0A141Eu);
  EXPECT_TRUE(StateMessageIs("Vous gardez cette image en mémoire..."));

  SDL_FillRect(jeu->sfc_screen, nullptr, SDL_MapRGB(jeu->sfc_screen->format, 200, 100, 50));
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_screenshot, &Game::sfc_bmp_screenshot), 0);
  EXPECT_EQ(ScreenshotMiddle(DataPath("screenshot.bmp")), 0xC86432u);
}

TEST_F(CommonClicks, NeighboursSharingAnEdgeBothAct) {
  // The row's controls touch: the far edge of one is the near edge of the next.
  WriteFileText(DataPath("nickname.dat"), "bob");
  Point forget_and_shoot = {jeu->rct_bmp_screenshot.x, jeu->rct_bmp_screenshot.y + 5};
  ASSERT_TRUE(Over(jeu, &Game::rct_bmp_noprofil, &Game::sfc_bmp_noprofil, forget_and_shoot));
  ASSERT_EQ(Deliver(jeu, Press(forget_and_shoot.x, forget_and_shoot.y)), 0);
  EXPECT_EQ(ReadFileText(DataPath("nickname.dat")), "");
  EXPECT_TRUE(FileExists(DataPath("screenshot.bmp")));
  EXPECT_TRUE(StateMessageIs("Vous gardez cette image en mémoire..."));

  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_fullscreen, &Game::sfc_bmp_fullscreen), 0);
  snprintf(jeu->login, sizeof(jeu->login), "%s", "ann");
  Point window_and_remember = {jeu->rct_bmp_profil.x, jeu->rct_bmp_profil.y + 5};
  ASSERT_TRUE(Over(jeu, &Game::rct_bmp_window, &Game::sfc_bmp_window, window_and_remember));
  ASSERT_EQ(Deliver(jeu, Press(window_and_remember.x, window_and_remember.y)), 0);
  EXPECT_FALSE(jeu->sfc_screen->flags & SDL_FULLSCREEN);
  EXPECT_EQ(ReadFileText(DataPath("nickname.dat")), "ann");
  EXPECT_TRUE(StateMessageIs("On se rappellera de vous..."));
}

TEST_F(CommonClicks, EveryCommonControlUnderOneClickActsInOrder) {
  for (const Control &c : kCommon)
    jeu->*c.rect = SDL_Rect{0, 80, 0, 0};
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  ASSERT_EQ(Deliver(jeu, Press(10, 90)), 0);
  // Window after full screen, forget after remember, the screenshot last.
  EXPECT_FALSE(jeu->sfc_screen->flags & SDL_FULLSCREEN);
  EXPECT_EQ(ReadFileText(DataPath("nickname.dat")), "");
  EXPECT_EQ(ScreenshotMiddle(DataPath("screenshot.bmp")), PixelAt(jeu->sfc_screen, 320, 240));
  EXPECT_TRUE(StateMessageIs("Vous gardez cette image en mémoire..."));

  // Without the two that undo the others, each effect shows.
  jeu->rct_bmp_window = kAway;
  jeu->rct_bmp_noprofil = kAway;
  remove(DataPath("screenshot.bmp").c_str());
  ASSERT_EQ(Deliver(jeu, Press(10, 90)), 0);
  EXPECT_TRUE(jeu->sfc_screen->flags & SDL_FULLSCREEN);
  EXPECT_EQ(ReadFileText(DataPath("nickname.dat")), "bob");
  EXPECT_TRUE(FileExists(DataPath("screenshot.bmp")));
}

TEST_F(CommonClicks, NicknameFileThroughASymbolicLinkIsRefused) {
  WriteFileText(DataPath("elsewhere"), "untouched");
  ASSERT_EQ(symlink(DataPath("elsewhere").c_str(), DataPath("nickname.dat").c_str()), 0);
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  EXPECT_EQ(ClickOn(jeu, &Game::rct_bmp_profil, &Game::sfc_bmp_profil), 0);
  EXPECT_EQ(ReadFileText(DataPath("elsewhere")), "untouched");
  EXPECT_NE(FlushedLog().find("fopen: unable to open " + DataPath("nickname.dat") + ".\n"),
            std::string::npos)
      << FlushedLog();
  EXPECT_TRUE(StateMessageIs("Impossible d'ouvrir nickname.dat!"));
  EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

TEST_F(CommonClicks, ScreenshotThroughASymbolicLinkIsRefused) {
  WriteFileText(DataPath("elsewhere"), "untouched");
  ASSERT_EQ(symlink(DataPath("elsewhere").c_str(), DataPath("screenshot.bmp").c_str()), 0);
  EXPECT_EQ(ClickOn(jeu, &Game::rct_bmp_screenshot, &Game::sfc_bmp_screenshot), 0);
  EXPECT_EQ(ReadFileText(DataPath("elsewhere")), "untouched");
  EXPECT_NE(FlushedLog().find("fopen: unable to open " + DataPath("screenshot.bmp") + ".\n"),
            std::string::npos)
      << FlushedLog();
  EXPECT_TRUE(StateMessageIs("Impossible d'ouvrir screenshot.bmp!"));
  EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

// Each control that writes a data file, against each thing another user
// could leave at its name: nothing written through, no hang, a message,
// and the client goes on (the next control still works).
TEST_F(CommonClicks, PlantedDataFilesAreRefusedAndTheClientGoesOn) {
  const struct {
    RectField rect;
    SurfaceField surface;
    const char *file;
  } writers[] = {
      {&Game::rct_bmp_profil, &Game::sfc_bmp_profil, "nickname.dat"},
      {&Game::rct_bmp_noprofil, &Game::sfc_bmp_noprofil, "nickname.dat"},
      {&Game::rct_bmp_screenshot, &Game::sfc_bmp_screenshot, "screenshot.bmp"},
  };
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  for (Planted kind : kAllPlanted)
    for (const auto &writer : writers) {
      SCOPED_TRACE(std::string(PlantedName(kind)) + " at " + writer.file);
      const std::string path = DataPath(writer.file);
      if (!Plant(path, kind, "untouched")) GTEST_SKIP() << "needs root to chown";
      FifoWatchdog watchdog(path, 5000);
      EXPECT_EQ(ClickOn(jeu, writer.rect, writer.surface), 0);
      EXPECT_FALSE(watchdog.Fired()) << "the click hung on the file";
      EXPECT_TRUE(StillPlanted(path, kind, "untouched"));
      EXPECT_NE(FlushedLog().find("fopen: unable to open " + path + ".\n"), std::string::npos);
      EXPECT_TRUE(
          StateMessageIs(("Impossible d'ouvrir " + std::string(writer.file) + "!").c_str()));
      EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u);
      unlink(path.c_str());
      ASSERT_EQ(ClickOn(jeu, writer.rect, writer.surface), 0);
      EXPECT_TRUE(FileExists(path));
    }
}

TEST_F(CommonClicks, UnwritableDataFolderIsShownAndTheActionKeepsItsConnection) {
  IPaddress address;
  ASSERT_EQ(SDLNet_ResolveHost(&address, "127.0.0.1", (Uint16)server.Port()), 0);
  jeu->tcpsock = SDLNet_TCP_Open(&address);
  ASSERT_NE(jeu->tcpsock, nullptr);
  snprintf(jeu->path_texts, sizeof(jeu->path_texts), "%smissing/", game.dir.c_str());
  EXPECT_EQ(ClickOn(jeu, &Game::rct_bmp_noprofil, &Game::sfc_bmp_noprofil), 0);
  EXPECT_NE(FlushedLog().find("fopen: unable to open " + game.dir + "missing/nickname.dat.\n"),
            std::string::npos)
      << FlushedLog();
  EXPECT_TRUE(StateMessageIs("Impossible d'ouvrir nickname.dat!"));
  // The connection belongs to a running action, not to the click.
  EXPECT_NE(jeu->tcpsock, nullptr);
  EXPECT_EQ(CloseConnection(jeu), 0);
  EXPECT_TRUE(server.WaitConnections(1));
  EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

TEST_F(CommonClicks, ScreenshotThatCannotBeSavedEndsTheClient) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer never sees SDL's timer thread end under a file size
  // limit and waits for it forever; this path has no threads of its own.
  GTEST_SKIP();
#endif
  // Files may not grow past 64 KiB for the length of the click: the bitmap
  // is cut short, the log line still fits.
  struct rlimit kept;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &kept), 0);
  struct rlimit small = {64 * 1024, kept.rlim_max};
  sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int result = ClickOn(jeu, &Game::rct_bmp_screenshot, &Game::sfc_bmp_screenshot);
  setrlimit(RLIMIT_FSIZE, &kept);
  signal(SIGXFSZ, handler);
  EXPECT_EQ(result, 1);
  std::string log = FlushedLog();
  size_t line = log.find("SDL_SaveBMP: ");
  ASSERT_NE(line, std::string::npos) << log;
  EXPECT_NE(log.find(".\n", line), std::string::npos);
  EXPECT_EQ(log.find("\a", line), std::string::npos) << "this line has no bell";
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

TEST_F(CommonClicks, VideoModeThatCannotBeSetEndsTheClient) {
  jeu->screen_w = -5;
  EXPECT_EQ(ClickOn(jeu, &Game::rct_bmp_window, &Game::sfc_bmp_window), 1);
  std::string log = FlushedLog();
  size_t line = log.find("SDL_SetVideoMode: ");
  ASSERT_NE(line, std::string::npos) << log;
  EXPECT_NE(log.find(".\n\a", line), std::string::npos);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

/* Renderings that fail end the client. */

// A font so large that no text of it fits a surface.
struct RenderFailure {
  const char *name;
  TTF_Font *Game::*font;
  std::function<int(Game *)> act;
};

class RenderFailures : public InputTest, public testing::WithParamInterface<RenderFailure> {};

TEST_P(RenderFailures, LogAndEndTheClient) {
  TTF_Font *huge = TTF_OpenFont((std::string(jeu->path_fonts) + "font.ttf").c_str(), 40000);
  ASSERT_NE(huge, nullptr);
  TTF_Font *kept = jeu->*GetParam().font;
  jeu->*GetParam().font = huge;
  EXPECT_EQ(GetParam().act(jeu), 1);
  jeu->*GetParam().font = kept;
  TTF_CloseFont(huge);
  EXPECT_NE(FlushedLog().find("TTF_RenderUTF8_Solid: "), std::string::npos) << FlushedLog();
  EXPECT_NE(FlushedLog().find(".\n\a"), std::string::npos);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Input, RenderFailures,
    testing::Values(RenderFailure{"Key", &Game::font1,
                                  [](Game *jeu) {
                                    snprintf(jeu->edit, sizeof(jeu->edit), "%s", "nickname");
                                    return Type(jeu, "a");
                                  }},
                    RenderFailure{"Help", &Game::font_help,
                                  [](Game *jeu) {
                                    Point p =
                                        CenterOf(jeu, &Game::rct_bmp_profil, &Game::sfc_bmp_profil);
                                    return Deliver(jeu, Motion(p.x, p.y));
                                  }},
                    RenderFailure{"Answer", &Game::font1,
                                  [](Game *jeu) {
                                    return ClickOn(jeu, &Game::rct_bmp_profil,
                                                   &Game::sfc_bmp_profil);
                                  }},
                    RenderFailure{"Place", &Game::font_place,
                                  [](Game *jeu) {
                                    snprintf(jeu->etat, sizeof(jeu->etat), "%s", "connected");
                                    return ClickOn(jeu, &Game::rct_bar_place, &Game::sfc_bar_place);
                                  }}),
    [](const testing::TestParamInfo<RenderFailure> &info) { return info.param.name; });

/* The sign-in chain. */

using SignInClicks = InputTest;

TEST_F(SignInClicks, FirstControlHitActsAndTheRestAreNotExamined) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  snprintf(jeu->password, sizeof(jeu->password), "%s", "pw");
  // Every control of the chain at one place; each is taken away after it acted.
  const RectField chain[] = {&Game::rct_bar_nickname,  &Game::rct_bar_password,
                             &Game::rct_bmp_subscribe, &Game::rct_bmp_connect,
                             &Game::rct_bmp_suicide,   &Game::rct_bmp_quit};
  for (RectField rect : chain)
    jeu->*rect = SDL_Rect{300, 300, 0, 0};
  const Point p = {301, 301};

  ASSERT_EQ(Deliver(jeu, Press(p.x, p.y)), 0);
  EXPECT_STREQ(jeu->edit, "nickname");
  EXPECT_TRUE(Filled(jeu->sfc_bar_nickname, kFocusGreen));
  EXPECT_TRUE(Filled(jeu->sfc_bar_password, kBlack));
  jeu->rct_bar_nickname = kAway;

  ASSERT_EQ(Deliver(jeu, Press(p.x, p.y)), 0);
  EXPECT_STREQ(jeu->edit, "password");
  EXPECT_TRUE(Filled(jeu->sfc_bar_password, kFocusGreen));
  EXPECT_TRUE(Filled(jeu->sfc_bar_nickname, kBlack));
  jeu->rct_bar_password = kAway;

  const struct {
    RectField rect;
    int (*action)(void *);
    const char *query;
  } actions[] = {
      {&Game::rct_bmp_subscribe, ActionSubscribe, WIRE_QUERY_SUBSCRIBE},
      {&Game::rct_bmp_connect, ActionConnect, WIRE_QUERY_CONNECT},
      {&Game::rct_bmp_suicide, ActionUnsubscribe, WIRE_QUERY_UNSUBSCRIBE},
  };
  size_t connections = 0;
  for (const auto &step : actions) {
    SCOPED_TRACE(step.query);
    std::string busy;
    ASSERT_EQ(Deliver(jeu, Press(p.x, p.y), &busy), 0);
    ASSERT_NE(ActionBusyWord(step.action), nullptr);
    EXPECT_EQ(busy, ActionBusyWord(step.action)) << "stored by the click itself";
    EXPECT_STREQ(jeu->edit, "password") << "starting an action keeps the focus";
    JoinAction(jeu);
    ASSERT_TRUE(server.WaitConnections(++connections));
    EXPECT_EQ(QueryOf(connections - 1), step.query);
    SetState("disconnected");
    jeu->*step.rect = kAway;
  }

  // Nothing left there: a click anywhere else.
  jeu->rct_bmp_quit = kAway;
  ASSERT_EQ(Deliver(jeu, Press(p.x, p.y)), 0);
  EXPECT_STREQ(jeu->edit, "");
  EXPECT_TRUE(Filled(jeu->sfc_bar_nickname, kBlack));
  EXPECT_TRUE(Filled(jeu->sfc_bar_password, kBlack));
  EXPECT_EQ(server.Connections(), connections);

  // The quit control, last of the chain, ends the client.
  jeu->rct_bmp_quit = SDL_Rect{300, 300, 0, 0};
  EXPECT_EQ(Deliver(jeu, Press(p.x, p.y)), 1);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
  EXPECT_EQ(server.Connections(), connections);
}

TEST_F(SignInClicks, FocusMovesBetweenTheFieldsAndLeavesOnAnyOtherClick) {
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_password, &Game::sfc_bar_password), 0);
  EXPECT_STREQ(jeu->edit, "password");
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_nickname, &Game::sfc_bar_nickname), 0);
  EXPECT_STREQ(jeu->edit, "nickname");
  EXPECT_TRUE(Filled(jeu->sfc_bar_nickname, kFocusGreen));
  EXPECT_TRUE(Filled(jeu->sfc_bar_password, kBlack));
  // A common control is "anywhere else" for the sign-in screen.
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_profil, &Game::sfc_bmp_profil), 0);
  EXPECT_STREQ(jeu->edit, "");
  EXPECT_TRUE(Filled(jeu->sfc_bar_nickname, kBlack));
  EXPECT_TRUE(Filled(jeu->sfc_bar_password, kBlack));
}

TEST_F(SignInClicks, QuitControlShutsTheLibrariesDown) {
  EXPECT_EQ(ClickOn(jeu, &Game::rct_bmp_quit, &Game::sfc_bmp_quit), 1);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
  EXPECT_EQ(FlushedLog(), "") << "nothing is written";
}

TEST_F(SignInClicks, ClosingTheWindowShutsTheLibrariesDown) {
  SDL_Event close;
  memset(&close, 0, sizeof(close));
  close.type = SDL_QUIT;
  EXPECT_EQ(Deliver(jeu, close), 1);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

// The real client in an X server of its own, clicked where its layout
// puts the controls: it answers a click on the remember control, then ends
// with status 1 on the quit control, without a word in its log.
TEST_F(SignInClicks, QuitControlEndsTheClientWithStatusOne) {
  if (!FileExists("/usr/bin/Xvfb") || !FileExists("/usr/bin/xdotool"))
    GTEST_SKIP() << "needs Xvfb and xdotool";
  InstallTree tree;
  XServer x;
  ASSERT_FALSE(x.Display().empty());
  Launch launch;
  launch.argv = {VARKEL_CLIENT_BINARY};
  launch.cwd = tree.Bin();
  launch.env = {x.Assignment(), "SDL_VIDEODRIVER=x11"};
  // Under ThreadSanitizer the client's own races count; those of the X
  // libraries beneath it do not.
#if defined(__SANITIZE_THREAD__)
  WriteFileText(game.dir + "tsan.supp", "race:swrast_dri.so\ndeadlock:libSDL2-2.0.so.0\n");
  launch.env.push_back("TSAN_OPTIONS=suppressions=" + game.dir + "tsan.supp");
#endif
  pid_t client = StartProcess(launch);
  ASSERT_GT(client, 0);
  WindowDriver driver(x.Display());
  ASSERT_TRUE(driver.FindWindow());
  // A click that arrives before the window takes input is lost: the
  // remember control is clicked until its file appears.
  const std::string remembered = tree.root + "tmp/nickname.dat";
  for (int n = 0; n < 100 && !FileExists(remembered); n++) {
    driver.Click("bmp_profil");
    usleep(100000);
  }
  EXPECT_TRUE(FileExists(remembered));
  int status = -1;
  EXPECT_EQ(AwaitReady(
                client, [] { return false; }, 0, &status),
            Awaited::kTimedOut)
      << "ended with " << status << " before the quit control";
  driver.Click("bmp_quit");
  const Awaited ended = AwaitReady(
      client, [] { return false; }, 30000, &status);
  EXPECT_EQ(ended, Awaited::kEnded);
  if (ended != Awaited::kEnded) StopProcess(client, SIGKILL, 5000);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(ReadFileText(tree.LogPath()), "");
}

/* The in-game chain. */

using InGameClicks = InputTest;

TEST_F(InGameClicks, FirstControlHitActsAndTheRestAreNotExamined) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  snprintf(jeu->place, sizeof(jeu->place), "%s", "PUIT");
  SetState("connected");
  const RectField chain[] = {&Game::rct_bmp_disconnect, &Game::rct_bar_speak,
                             &Game::rct_bmp_speak,      &Game::rct_bmp_refresh,
                             &Game::rct_bmp_analyze,    &Game::rct_bmp_special,
                             &Game::rct_bmp_arrow_up,   &Game::rct_bmp_arrow_down,
                             &Game::rct_bmp_move,       &Game::rct_bar_place};
  for (RectField rect : chain)
    jeu->*rect = SDL_Rect{300, 300, 0, 0};
  const Point p = {301, 301};
  size_t connections = 0;
  // A networked action: its busy word at once, its query word on the wire.
  auto expect_action = [&](int (*action)(void *), const char *query) {
    SCOPED_TRACE(query);
    std::string busy;
    ASSERT_EQ(Deliver(jeu, Press(p.x, p.y), &busy), 0);
    ASSERT_NE(ActionBusyWord(action), nullptr);
    EXPECT_EQ(busy, ActionBusyWord(action));
    JoinAction(jeu);
    ASSERT_TRUE(server.WaitConnections(++connections));
    EXPECT_EQ(QueryOf(connections - 1), query);
    SetState("connected");
  };

  expect_action(ActionDisconnect, WIRE_QUERY_SLEEP);
  jeu->rct_bmp_disconnect = kAway;

  ASSERT_EQ(Deliver(jeu, Press(p.x, p.y)), 0);
  EXPECT_STREQ(jeu->edit, "speak");
  EXPECT_TRUE(Filled(jeu->sfc_bar_speak, kFocusGreen));
  jeu->rct_bar_speak = kAway;

  expect_action(ActionSpeak, WIRE_QUERY_SPEAK);
  EXPECT_STREQ(jeu->edit, "speak") << "starting an action keeps the focus";
  jeu->rct_bmp_speak = kAway;
  expect_action(ActionRefresh, WIRE_QUERY_LISTEN);
  ASSERT_STREQ(jeu->message, HeardLine(100).c_str());
  jeu->rct_bmp_refresh = kAway;
  expect_action(ActionAnalyze, WIRE_QUERY_STATUS);
  jeu->rct_bmp_analyze = kAway;
  expect_action(ActionDrink, WIRE_QUERY_DRINK);
  jeu->rct_bmp_special = kAway;

  // The memory arrows open no connection and store no busy word.
  std::string state;
  ASSERT_EQ(Deliver(jeu, Press(p.x, p.y), &state), 0);
  EXPECT_EQ(state, "connected");
  JoinAction(jeu);
  EXPECT_EQ(jeu->current_message, -1) << "the older memory";
  EXPECT_STREQ(jeu->message, HeardLine(99).c_str());
  jeu->rct_bmp_arrow_up = kAway;
  ASSERT_EQ(Deliver(jeu, Press(p.x, p.y), &state), 0);
  EXPECT_EQ(state, "connected");
  JoinAction(jeu);
  EXPECT_EQ(jeu->current_message, 0) << "the newer memory";
  EXPECT_STREQ(jeu->message, HeardLine(100).c_str());
  jeu->rct_bmp_arrow_down = kAway;
  EXPECT_EQ(server.Connections(), connections);

  expect_action(ActionMove, WIRE_QUERY_MOVE);
  EXPECT_STREQ(jeu->place_current, "PUIT");
  jeu->rct_bmp_move = kAway;

  ASSERT_EQ(Deliver(jeu, Press(p.x, p.y)), 0);
  EXPECT_STREQ(jeu->place, "CIMETIERE");
  EXPECT_STREQ(jeu->edit, "speak") << "choosing a place keeps the focus";
  jeu->rct_bar_place = kAway;

  ASSERT_EQ(Deliver(jeu, Press(p.x, p.y)), 0);
  EXPECT_STREQ(jeu->edit, "");
  EXPECT_TRUE(Filled(jeu->sfc_bar_speak, kBlack));
  EXPECT_EQ(server.Connections(), connections);
}

TEST_F(InGameClicks, PlaceFieldCyclesThroughTheFourPlaces) {
  SetState("connected");
  for (const char *next : {"PUIT", "CIMETIERE", "FORÊT", "HÔTEL"}) {
    ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_place, &Game::sfc_bar_place), 0);
    EXPECT_STREQ(jeu->place, next);
    EXPECT_TRUE(ShowsText(jeu->sfc_text_place, jeu->font_place, next, jeu->color_font_place));
  }
  EXPECT_STREQ(jeu->place_current, "HÔTEL") << "choosing is not moving";

  // A name outside the cycle stays, and is rendered again.
  snprintf(jeu->place, sizeof(jeu->place), "%s", "LUNE");
  SDL_Surface *before = jeu->sfc_text_place;
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_place, &Game::sfc_bar_place), 0);
  EXPECT_STREQ(jeu->place, "LUNE");
  EXPECT_NE(jeu->sfc_text_place, before);
  EXPECT_TRUE(ShowsText(jeu->sfc_text_place, jeu->font_place, "LUNE", jeu->color_font_place));
}

TEST_F(InGameClicks, SpecialControlActsByThePlaceField) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  const struct {
    const char *place, *place_current;
    int (*action)(void *);
    const char *query;
  } cases[] = {
      // At the hotel the control is not drawn, yet it answers.
      {"PUIT", "HÔTEL", ActionDrink, WIRE_QUERY_DRINK},
      {"FORÊT", "PUIT", ActionEat, WIRE_QUERY_EAT},
      {"CIMETIERE", "PUIT", nullptr, nullptr},
  };
  size_t connections = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.place);
    snprintf(jeu->place, sizeof(jeu->place), "%s", c.place);
    snprintf(jeu->place_current, sizeof(jeu->place_current), "%s", c.place_current);
    SetState("connected");
    std::string busy;
    ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_special, &Game::sfc_bmp_special, &busy), 0);
    if (c.action == nullptr) {
      EXPECT_EQ(busy, "connected");
      EXPECT_EQ(jeu->thread_connect, nullptr);
      continue;
    }
    ASSERT_NE(ActionBusyWord(c.action), nullptr);
    EXPECT_EQ(busy, ActionBusyWord(c.action));
    JoinAction(jeu);
    ASSERT_TRUE(server.WaitConnections(++connections));
    EXPECT_EQ(QueryOf(connections - 1), c.query);
  }
  EXPECT_EQ(server.Connections(), connections);
}

TEST_F(InGameClicks, SentenceFieldKeepsTheFocusUntilAClickElsewhere) {
  SetState("connected");
  Focus("nickname");
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bar_speak, &Game::sfc_bar_speak), 0);
  EXPECT_STREQ(jeu->edit, "speak");
  EXPECT_TRUE(Filled(jeu->sfc_bar_speak, kFocusGreen));
  Point empty = EmptyPoint(kInGame);
  ASSERT_EQ(Deliver(jeu, Press(empty.x, empty.y)), 0);
  EXPECT_STREQ(jeu->edit, "");
  EXPECT_TRUE(Filled(jeu->sfc_bar_speak, kBlack));
}

/* Action threads. */

using ActionThreads = InputTest;

// Each action runs on a thread of its own: one never waited on keeps its
// stack mapped. A memory arrow and a networked action per round, both by
// clicks; after twenty actions the address space no longer grows.
TEST_F(ActionThreads, AddressSpaceStaysFlatOverTwoHundredActions) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  SetState("connected");
  long after_twenty = 0;
  for (int round = 1; round <= 100; round++) {
    ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_arrow_up, &Game::sfc_bmp_arrow_up), 0);
    std::string busy;
    ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_speak, &Game::sfc_bmp_speak, &busy), 0);
    ASSERT_EQ(busy, "speaking");
    ASSERT_TRUE(WaitForState(jeu, "connected"));
    ASSERT_TRUE(server.WaitConnections((size_t)round));
    if (round == 10) after_twenty = ProcessKilobytes("VmSize");
  }
  long after_two_hundred = ProcessKilobytes("VmSize");
  ASSERT_GT(after_twenty, 0);
  EXPECT_LE(after_two_hundred - after_twenty, 64 * 1024)
      << after_twenty << " kB after 20 actions, " << after_two_hundred << " kB after 200";
  EXPECT_LE(LiveActions(jeu), 2) << "finished threads are waited on";
}

TEST_F(ActionThreads, EveryStartedThreadIsWaitedOnOnceItEnds) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  SetState("connected");
  // Memory arrows on threads beside each other, more than there are slots.
  for (int n = 0; n < 3 * VARKEL_ACTION_THREADS; n++)
    ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_arrow_up, &Game::sfc_bmp_arrow_up), 0);
  for (int waited = 0; LiveActions(jeu) > 0 && waited < 10000; waited += 5)
    SDL_Delay(5);
  EXPECT_EQ(LiveActions(jeu), 0);
  EXPECT_EQ(jeu->thread_connect, nullptr) << "its handle went with it";
  EXPECT_TRUE(StateMessageIs("Vous n'avez encore rien écouté!"));
}

/* Clicks that start nothing. */

using InertClicks = InputTest;

TEST_F(InertClicks, OnlyTheLeftButtonCounts) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  const struct {
    const char *state;
    RectField rect;
    SurfaceField surface;
  } targets[] = {
      {"disconnected", &Game::rct_bmp_fullscreen, &Game::sfc_bmp_fullscreen},
      {"disconnected", &Game::rct_bmp_profil, &Game::sfc_bmp_profil},
      {"disconnected", &Game::rct_bmp_screenshot, &Game::sfc_bmp_screenshot},
      {"disconnected", &Game::rct_bar_nickname, &Game::sfc_bar_nickname},
      {"disconnected", &Game::rct_bmp_subscribe, &Game::sfc_bmp_subscribe},
      {"disconnected", &Game::rct_bmp_quit, &Game::sfc_bmp_quit},
      {"connected", &Game::rct_bar_speak, &Game::sfc_bar_speak},
      {"connected", &Game::rct_bmp_move, &Game::sfc_bmp_move},
      {"connected", &Game::rct_bar_place, &Game::sfc_bar_place},
  };
  for (Uint8 button : {SDL_BUTTON_RIGHT, SDL_BUTTON_MIDDLE, SDL_BUTTON_WHEELUP}) {
    for (const auto &target : targets) {
      SetState(target.state);
      Point p = CenterOf(jeu, target.rect, target.surface);
      ASSERT_EQ(Deliver(jeu, Press(p.x, p.y, button)), 0);
    }
  }
  EXPECT_FALSE(jeu->sfc_screen->flags & SDL_FULLSCREEN);
  EXPECT_FALSE(FileExists(DataPath("nickname.dat")));
  EXPECT_FALSE(FileExists(DataPath("screenshot.bmp")));
  EXPECT_STREQ(jeu->edit, "");
  EXPECT_STREQ(jeu->place, "HÔTEL");
  EXPECT_EQ(jeu->thread_connect, nullptr);
  EXPECT_EQ(server.Connections(), 0u);
  EXPECT_TRUE(Filled(jeu->sfc_bar_nickname, kBlack));
  EXPECT_TRUE(Filled(jeu->sfc_bar_speak, kBlack));
}

TEST_F(InertClicks, WhileBusyOnlyTheCommonControlsAnswer) {
  SetState("speaking");
  Focus("nickname");
  const std::vector<Control> both = [] {
    std::vector<Control> all = kSignIn;
    all.insert(all.end(), kInGame.begin(), kInGame.end());
    return all;
  }();
  snprintf(jeu->place, sizeof(jeu->place), "%s", "PUIT");
  for (const Control &c : both) {
    std::string state;
    ASSERT_EQ(ClickOn(jeu, c.rect, c.surface, &state), 0) << "the quit control is inert too";
    EXPECT_EQ(state, "speaking");
  }
  EXPECT_EQ(jeu->thread_connect, nullptr);
  EXPECT_STREQ(jeu->edit, "nickname");
  EXPECT_STREQ(jeu->place, "PUIT");
  EXPECT_EQ(server.Connections(), 0u);

  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_profil, &Game::sfc_bmp_profil), 0);
  EXPECT_EQ(ReadFileText(DataPath("nickname.dat")), "bob");
}

TEST_F(InertClicks, QuickSecondClickFindsTheScreenBusy) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  Point connect = CenterOf(jeu, &Game::rct_bmp_connect, &Game::sfc_bmp_connect);
  SDL_Event first = Press(connect.x, connect.y), second = first, pending;
  while (SDL_PollEvent(&pending)) {
  }
  ASSERT_EQ(SDL_PushEvent(&first), 0);
  ASSERT_EQ(SDL_PushEvent(&second), 0);
  // Both clicks are handled before the first action can run a single step.
  SDL_LockMutex(jeu->lock);
  ASSERT_EQ(SDL_PollEvent(&jeu->event_1), 1);
  EXPECT_EQ(HandleEvent(jeu), 0);
  SDL_Thread *started = jeu->thread_connect;
  EXPECT_NE(started, nullptr);
  ASSERT_NE(ActionBusyWord(ActionConnect), nullptr);
  EXPECT_STREQ(jeu->etat, ActionBusyWord(ActionConnect));
  ASSERT_EQ(SDL_PollEvent(&jeu->event_1), 1);
  EXPECT_EQ(HandleEvent(jeu), 0);
  EXPECT_EQ(jeu->thread_connect, started) << "no second action";
  SDL_UnlockMutex(jeu->lock);
  if (jeu->thread_connect != started) SDL_WaitThread(started, nullptr);
  JoinAction(jeu);
  EXPECT_TRUE(server.WaitConnections(1));
  EXPECT_EQ(server.Connections(), 1u);
}

TEST_F(InertClicks, ThreadThatCannotStartPutsTheStateBack) {
  // A stack larger than the machine's memory: no thread can be made.
  setenv("SDL_THREAD_STACK_SIZE", "1099511627776", 1);
  std::string state;
  int result = ClickOn(jeu, &Game::rct_bmp_connect, &Game::sfc_bmp_connect, &state);
  unsetenv("SDL_THREAD_STACK_SIZE");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(state, "disconnected");
  EXPECT_EQ(jeu->thread_connect, nullptr);
  EXPECT_EQ(FlushedLog(), "") << "nothing is reported";
  EXPECT_EQ(server.Connections(), 0u);
  // The screen is not left busy: the next click starts the action.
  ASSERT_EQ(ClickOn(jeu, &Game::rct_bmp_connect, &Game::sfc_bmp_connect, &state), 0);
  EXPECT_EQ(state, ActionBusyWord(ActionConnect));
}

} // namespace
