// SPDX-License-Identifier: MIT
// The record's defaults, loading and layout, and what each frame draws.
#include <string.h>

#include <gtest/gtest.h>

#include "support.h"
#include "support_input.h"

namespace {

TEST(Record, InitGameDefaults) {
  Game *jeu = static_cast<Game *>(calloc(1, sizeof(Game)));
  ASSERT_EQ(InitGame(jeu), 0);
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_STREQ(jeu->message, "VEUILLEZ ECOUTER");
  EXPECT_STREQ(jeu->help, "Voici Varkel");
  EXPECT_STREQ(jeu->place, "HÔTEL");
  EXPECT_STREQ(jeu->place_current, "HÔTEL");
  EXPECT_STREQ(jeu->login, "");
  EXPECT_STREQ(jeu->edit, "");
  EXPECT_EQ(jeu->loop, 1);
  EXPECT_EQ(jeu->version, WIRE_VERSION);
  EXPECT_EQ(jeu->port_server, 9999);
  EXPECT_STREQ(jeu->ip_server, "localhost");
  EXPECT_EQ(jeu->message_alpha, 255);
  EXPECT_EQ(jeu->last_time, 0u);
  EXPECT_EQ(jeu->current_message, 0);
  EXPECT_EQ(jeu->screen_w, 640);
  EXPECT_EQ(jeu->screen_h, 480);
  EXPECT_EQ(jeu->size_font1 * 1000 + jeu->size_font_speak, 24014);
  EXPECT_EQ(jeu->size_font_message * 1000 + jeu->size_font_place, 11023);
  EXPECT_EQ(jeu->size_font_help, 11);
  EXPECT_EQ(jeu->reply_timeout_ms, (Uint32)VARKEL_REPLY_TIMEOUT_MS);
  free(jeu);
}

static void ExpectAt(const SDL_Rect &rect, int x, int y, const char *what) {
  EXPECT_EQ(rect.x, x) << what;
  EXPECT_EQ(rect.y, y) << what;
}

static void ExpectSize(const SDL_Surface *surface, int w, int h, const char *what) {
  ASSERT_NE(surface, nullptr) << what;
  EXPECT_EQ(surface->w, w) << what;
  EXPECT_EQ(surface->h, h) << what;
}

TEST(Load, DefaultScreenLayout) {
  LoadedGame game;
  Game *jeu = game.jeu;
  ExpectAt(jeu->rct_text_state, 0, 28, "welcome text");
  ExpectAt(jeu->rct_bar_nickname, 0, 160, "nickname bar");
  ExpectSize(jeu->sfc_bar_nickname, 213, 24, "nickname bar");
  ExpectAt(jeu->rct_bar_password, 0, 208, "password bar");
  ExpectAt(jeu->rct_bar_speak, 0, 466, "speech bar");
  ExpectSize(jeu->sfc_bar_speak, 640, 14, "speech bar");
  ExpectAt(jeu->rct_bar_message, 53, 240, "message bar");
  ExpectSize(jeu->sfc_bar_message, 587, 11, "message bar");
  ExpectSize(jeu->sfc_bar_up, 640, 80, "top bar");
  ExpectSize(jeu->sfc_bar_help, 587, 11, "help bar");

  // The two columns of buttons and the row of mode buttons follow the
  // pictures' own sizes.
  int sub_h = jeu->sfc_bmp_subscribe->h;
  ExpectAt(jeu->rct_bmp_subscribe, 320, 160, "subscribe");
  ExpectAt(jeu->rct_bmp_connect, 320, 160 + 2 * sub_h, "connect");
  ExpectAt(jeu->rct_bmp_suicide, 320, jeu->rct_bmp_connect.y + 2 * jeu->sfc_bmp_connect->h,
           "suicide");
  ExpectAt(jeu->rct_bmp_quit, 320, jeu->rct_bmp_suicide.y + 2 * jeu->sfc_bmp_suicide->h, "quit");
  ExpectAt(jeu->rct_bmp_speak, 640 - jeu->sfc_bmp_speak->w, 466 - jeu->sfc_bmp_speak->h, "speak");
  ExpectAt(jeu->rct_bmp_analyze, 640 - jeu->sfc_bmp_analyze->w,
           jeu->rct_bmp_move.y - jeu->sfc_bmp_analyze->h, "analyze");
  ExpectAt(jeu->rct_bar_place, jeu->rct_bmp_move.x - 213, jeu->rct_bmp_move.y, "place bar");
  ExpectAt(jeu->rct_text_place, jeu->rct_bar_place.x, jeu->rct_bar_place.y, "place text");
  ExpectAt(jeu->rct_bmp_arrow_up, 53 - jeu->sfc_bmp_arrow_up->w, 235, "arrow up");
  ExpectAt(jeu->rct_bmp_arrow_down, jeu->rct_bmp_arrow_up.x - jeu->sfc_bmp_arrow_down->w, 235,
           "arrow down");
  int icon_w = jeu->sfc_bmp_fullscreen->w;
  ExpectAt(jeu->rct_bmp_screenshot, 4 * icon_w, 80, "screenshot");

  // Start-up translucency, colour keys and the hidden help.
  EXPECT_EQ(jeu->sfc_bmp_connect->format->alpha, 155);
  EXPECT_EQ(jeu->sfc_bar_up->format->alpha, 155);
  EXPECT_TRUE(jeu->sfc_bmp_cursor->flags & SDL_SRCCOLORKEY);
  EXPECT_EQ(jeu->sfc_bar_help->format->alpha, 0);
  EXPECT_EQ(jeu->sfc_text_help->format->alpha, 0);
  EXPECT_EQ(PixelAt(jeu->sfc_bar_help, 3, 3), 0xFFFF9Bu);
  EXPECT_EQ(game.Log(), "");
}

// A copy of the pictures folder without one picture: LoadGame stops there.
TEST(Load, MissingWindowPictureStopsBeforeTheBars) {
  std::string pictures = MakeTempDir();
  ASSERT_EQ(RunProcess({"/bin/sh", "-c",
                        "cp " VARKEL_SHARE_DIR "/pictures/*.bmp " + pictures + " && rm " +
                            pictures + "window.bmp"},
                       "/", 10000)
                .status,
            0);
  std::string dir = MakeTempDir();
  Game *jeu = static_cast<Game *>(calloc(1, sizeof(Game)));
  StartLibraries();
  InitGame(jeu);
  SetTestPaths(jeu, dir);
  snprintf(jeu->path_pictures, sizeof(jeu->path_pictures), "%s", pictures.c_str());
  jeu->file_log = fopen(jeu->path_log, "w+");
  EXPECT_EQ(LoadGame(jeu), 1);
  fclose(jeu->file_log);
  std::string log = ReadFileText(jeu->path_log);
  EXPECT_EQ(log.rfind("SDL_LoadBMP: ", 0), 0u);
  EXPECT_EQ(log.find("SDL_LoadBMP: ", 1), std::string::npos) << log;
  EXPECT_NE(jeu->sfc_bmp_fullscreen, nullptr);
  EXPECT_EQ(jeu->sfc_bmp_profil, nullptr);
  EXPECT_EQ(jeu->sfc_bar_up, nullptr);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u); // start-up ends with SDL down
  free(jeu);
  RemoveTree(pictures);
  RemoveTree(dir);
}

// The remembered nickname is taken only when it fits, as it was written.
TEST(Load, RememberedNickname) {
  struct Case {
    const char *content; // NULL: no file
    const char *login;
  } cases[] = {
      {NULL, ""}, {"", ""}, {"Huitcars", "Huitcars"}, {"Neufcarac", ""}, {"Bob\n", "Bob\n"},
  };
  for (const Case &c : cases) {
    std::string dir = MakeTempDir();
    if (c.content) WriteFileText(dir + "nickname.dat", c.content);
    Game *jeu = static_cast<Game *>(calloc(1, sizeof(Game)));
    StartLibraries();
    InitGame(jeu);
    SetTestPaths(jeu, dir);
    jeu->file_log = fopen(jeu->path_log, "w+");
    ASSERT_EQ(LoadGame(jeu), 0);
    EXPECT_STREQ(jeu->login, c.login) << (c.content ? c.content : "(absent)");
    EXPECT_EQ(jeu->sfc_text_nickname != nullptr, c.login[0] != '\0');
    fclose(jeu->file_log);
    EXPECT_EQ(ReadFileText(jeu->path_log), "");
    free(jeu);
    RemoveTree(dir);
  }
}

// Another user's FIFO, link or file at nickname.dat: no hang, no name
// taken from it, a log line, and start-up goes on.
TEST(Load, PlantedNicknameCountsAsAbsent) {
  for (Planted kind : kAllPlanted) {
    SCOPED_TRACE(PlantedName(kind));
    std::string dir = MakeTempDir();
    if (!Plant(dir + "nickname.dat", kind, "Aline")) GTEST_SKIP() << "needs root to chown";
    Game *jeu = static_cast<Game *>(calloc(1, sizeof(Game)));
    StartLibraries();
    InitGame(jeu);
    SetTestPaths(jeu, dir);
    jeu->file_log = fopen(jeu->path_log, "w+");
    {
      FifoWatchdog watchdog(dir + "nickname.dat", 5000);
      ASSERT_EQ(LoadGame(jeu), 0);
      EXPECT_FALSE(watchdog.Fired()) << "start-up hung on the file";
    }
    EXPECT_STREQ(jeu->login, "");
    fclose(jeu->file_log);
    EXPECT_EQ(ReadFileText(jeu->path_log), "fopen: unable to open " + dir + "nickname.dat.\n");
    EXPECT_TRUE(StillPlanted(dir + "nickname.dat", kind, "Aline"));
    free(jeu);
    RemoveTree(dir);
  }
}

TEST(Drawing, MouseOnSurfaceIncludesBothFarEdges) {
  EXPECT_EQ(MouseOnSurface(10, 20, 30, 40, 40, 60), 1);
  EXPECT_EQ(MouseOnSurface(10, 20, 30, 40, 10, 20), 1);
  EXPECT_EQ(MouseOnSurface(10, 20, 30, 40, 41, 60), 0);
  EXPECT_EQ(MouseOnSurface(10, 20, 30, 40, 9, 20), 0);
  EXPECT_EQ(MouseOnSurface(10, 20, 30, 40, 20, 61), 0);
  EXPECT_EQ(MouseOnSurface(-5, -5, 10, 10, 0, 0), 1);
}

TEST(Drawing, StateMessageFadesOneStepAFrameAndStaysOut) {
  LoadedGame game;
  Game *jeu = game.jeu;
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_EQ(jeu->message_alpha, 254);
  EXPECT_EQ(jeu->sfc_text_state->format->alpha, 254);
  for (int frame = 0; frame < 300; frame++)
    ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_EQ(jeu->message_alpha, 0);
  EXPECT_EQ(jeu->sfc_text_state->format->alpha, 0);
}

// A checksum of the screen inside a control's rectangle.
static unsigned long AreaSum(Game *jeu, const SDL_Rect &at, SDL_Surface *surface) {
  unsigned long sum = 0;
  for (int y = at.y; y < at.y + surface->h && y < jeu->screen_h; y++)
    for (int x = at.x; x < at.x + surface->w && x < jeu->screen_w; x++)
      sum = sum * 31 + PixelAt(jeu->sfc_screen, x, y);
  return sum;
}

struct Control {
  const char *name;
  SDL_Rect Game::*at;
  SDL_Surface *Game::*surface;
};

static const Control kControls[] = {
    {"subscribe", &Game::rct_bmp_subscribe, &Game::sfc_bmp_subscribe},
    {"password", &Game::rct_bar_password, &Game::sfc_bar_password},
    {"nickname", &Game::rct_bar_nickname, &Game::sfc_bar_nickname},
    {"speak", &Game::rct_bmp_speak, &Game::sfc_bmp_speak},
    {"refresh", &Game::rct_bmp_refresh, &Game::sfc_bmp_refresh},
    {"speech bar", &Game::rct_bar_speak, &Game::sfc_bar_speak},
    {"arrow up", &Game::rct_bmp_arrow_up, &Game::sfc_bmp_arrow_up},
    {"arrow down", &Game::rct_bmp_arrow_down, &Game::sfc_bmp_arrow_down},
    {"special", &Game::rct_bmp_special, &Game::sfc_bmp_special},
    {"mode", &Game::rct_bmp_window, &Game::sfc_bmp_window},
};

// Which of the controls above differ from a frame drawn with nothing but the
// background: one letter per control, 'x' drawn, '.' not.
static std::string DrawnControls(Game *jeu) {
  SDL_Surface *background = jeu->sfc_bmp_background;
  SDL_FillRect(jeu->sfc_screen, NULL, 0);
  SDL_BlitSurface(background, NULL, jeu->sfc_screen, NULL);
  std::vector<unsigned long> bare;
  for (const Control &c : kControls)
    bare.push_back(AreaSum(jeu, jeu->*c.at, jeu->*c.surface));
  EXPECT_EQ(DisplayDisconnectedObjects(jeu) || DisplayConnectedObjects(jeu), 0);
  std::string drawn;
  for (size_t n = 0; n < SDL_arraysize(kControls); n++) {
    const Control &c = kControls[n];
    drawn += AreaSum(jeu, jeu->*c.at, jeu->*c.surface) != bare[n] ? 'x' : '.';
  }
  return drawn;
}

TEST(Drawing, EachStateDrawsItsOwnControls) {
  LoadedGame game;
  Game *jeu = game.jeu;
  // The special control stands apart from the others, as a move puts it.
  jeu->rct_bmp_special.x = 300;
  jeu->rct_bmp_special.y = 400;
  // subscribe, password, nickname, speak, refresh, speech bar, up, down, special, mode
  snprintf(jeu->etat, sizeof(jeu->etat), "disconnected");
  EXPECT_EQ(DrawnControls(jeu), "xxx.......");
  snprintf(jeu->etat, sizeof(jeu->etat), "speaking");
  EXPECT_EQ(DrawnControls(jeu), "..........");
  snprintf(jeu->etat, sizeof(jeu->etat), "connected");
  EXPECT_EQ(DrawnControls(jeu), "...xxxx...");
  jeu->current_message = -50;
  EXPECT_EQ(DrawnControls(jeu), "...xxxxx..");
  jeu->current_message = -99;
  EXPECT_EQ(DrawnControls(jeu), "...xxx.x..");
  jeu->current_message = 0;
  for (const char *place : {"PUIT", "FORÊT"}) {
    snprintf(jeu->place_current, sizeof(jeu->place_current), "%s", place);
    EXPECT_EQ(DrawnControls(jeu), "...xxxx.x.") << place;
  }
  snprintf(jeu->place_current, sizeof(jeu->place_current), "CIMETIERE");
  EXPECT_EQ(DrawnControls(jeu), "...xxxx...");
}

TEST(Drawing, HelpBarAboveTheScreenKeepsItsPosition) {
  LoadedGame game;
  Game *jeu = game.jeu;
  jeu->rct_bar_help.x = 5;
  jeu->rct_bar_help.y = -6;
  jeu->rct_text_help = jeu->rct_bar_help;
  SDL_SetAlpha(jeu->sfc_bar_help, SDL_SRCALPHA, 255);
  jeu->help_bar_w = 40;
  ASSERT_EQ(DrawFrame(jeu), 0);
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_EQ(jeu->rct_bar_help.y, -6);
  EXPECT_EQ(jeu->rct_text_help.y, -6);
  // Only the visible part, as wide as the help text, is drawn.
  EXPECT_EQ(PixelAt(jeu->sfc_screen, 20, 2), 0xFFFF9Bu);
  EXPECT_NE(PixelAt(jeu->sfc_screen, 60, 2), 0xFFFF9Bu);
}

// Once the welcome message has faded, an idle frame is not sent again; a
// change on the screen or any event sends the next one.
TEST(Drawing, UnchangedFramesAreNotSentAgain) {
  LoadedGame game;
  Game *jeu = game.jeu;
  for (int frame = 0; frame < 256; frame++)
    ASSERT_EQ(DrawFrame(jeu), 0);
  // The fading is shown frame by frame, until its last invisible steps.
  Uint32 shown = jeu->frames_shown;
  EXPECT_GT(shown, 250u);
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_EQ(jeu->frames_shown, shown);
  jeu->rct_bmp_cursor.x = 100;
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_EQ(jeu->frames_shown, shown + 1);
  jeu->event_1.type = SDL_VIDEOEXPOSE;
  EXPECT_EQ(HandleEvent(jeu), 0);
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_EQ(jeu->frames_shown, shown + 2);
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_EQ(jeu->frames_shown, shown + 2);
}

/* Frames composed where they changed. */

// The screen's rows, as raw bytes.
static std::vector<Uint8> ScreenPixels(Game *jeu) {
  SDL_Surface *screen = jeu->sfc_screen;
  size_t row = (size_t)screen->w * screen->format->BytesPerPixel;
  std::vector<Uint8> pixels(row * screen->h);
  SDL_LockSurface(screen);
  for (int y = 0; y < screen->h; y++)
    memcpy(&pixels[row * y], (const Uint8 *)screen->pixels + (size_t)y * screen->pitch, row);
  SDL_UnlockSurface(screen);
  return pixels;
}

// The screen as one whole composition of the five lists gives it.
static std::vector<Uint8> WholeFrame(Game *jeu) {
  SDL_FillRect(jeu->sfc_screen, NULL, 0);
  EXPECT_EQ(DisplayMainObjects(jeu) || DisplayDisconnectedObjects(jeu) ||
                DisplayConnectedObjects(jeu) || DisplayHelp(jeu) || DisplayCursor(jeu),
            0);
  return ScreenPixels(jeu);
}

static testing::AssertionResult SameAsWholeFrame(Game *jeu) {
  std::vector<Uint8> shown = ScreenPixels(jeu);
  std::vector<Uint8> whole = WholeFrame(jeu);
  size_t row = shown.size() / jeu->screen_h;
  for (size_t n = 0; n < shown.size(); n++)
    if (shown[n] != whole[n])
      return testing::AssertionFailure()
             << "the frame differs on row " << n / row << ", byte " << n % row;
  return testing::AssertionSuccess();
}

static void Hover(Game *jeu, int x, int y) {
  jeu->event_1 = Motion(x, y);
  ASSERT_EQ(HandleMotion(jeu), 0);
}

// Whatever changes between two frames (the pointer and the help, the
// screen, the memory arrows, a message, a heard line, a place and its
// picture, a sentence typed), the screen ends up as a whole frame would
// draw it, although only the changed areas are composed.
TEST(Frames, ComposedAreasGiveTheWholeFrame) {
  LoadedGame game;
  Game *jeu = game.jeu;
  const char *states[] = {"disconnected", "connected", "speaking"};
  const char *places[] = {"PUIT", "HÔTEL", "FORÊT", "CIMETIERE"};
  const char *pictures[] = {"background_well.bmp", "background_room.bmp", "background_forest.bmp",
                            "background_graveyard.bmp"};
  const char *lines[] = {"Aline : bonjour", "", "Bob : il fait froid au puits ce soir"};
  Uint32 seed = 12345;
  auto next = [&seed](Uint32 bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  for (int step = 0; step < 300; step++) {
    SCOPED_TRACE("step " + std::to_string(step));
    int changes = 1 + (int)next(3);
    for (int change = 0; change < changes; change++) {
      switch (next(8)) {
      case 0:
      case 1:
        Hover(jeu, (int)next(640), (int)next(480));
        break;
      case 2:
        snprintf(jeu->etat, sizeof(jeu->etat), "%s", states[next(3)]);
        break;
      case 3:
        jeu->current_message = -(int)next(100);
        break;
      case 4:
        ASSERT_EQ(ShowStateMessage(jeu, lines[2 - next(2) * 2]), 0);
        break;
      case 5: {
        const char *line = lines[next(3)];
        snprintf(jeu->message, sizeof(jeu->message), "%s", line);
        ASSERT_EQ(RenderText(jeu->font_message, jeu->message, jeu->color_font_message,
                             &jeu->sfc_text_message, jeu->file_log),
                  0);
        break;
      }
      case 6: {
        Uint32 place = next(4);
        snprintf(jeu->place_current, sizeof(jeu->place_current), "%s", places[place]);
        std::string path = std::string(jeu->path_pictures) + pictures[place];
        SDL_Surface *loaded = SDL_LoadBMP(path.c_str());
        ASSERT_NE(loaded, nullptr);
        SDL_FreeSurface(jeu->sfc_bmp_background);
        jeu->sfc_bmp_background = loaded;
        ASSERT_EQ(FitToDisplay(jeu, &jeu->sfc_bmp_background), 0);
        break;
      }
      case 7:
        snprintf(jeu->speak, sizeof(jeu->speak), "%.*s", (int)next(20), "Bonsoir a tous ici-bas");
        ASSERT_EQ(RenderText(jeu->font_speak, jeu->speak, jeu->color_font_speak,
                             &jeu->sfc_text_speak, jeu->file_log),
                  0);
        break;
      }
    }
    ASSERT_EQ(DrawFrame(jeu), 0) << game.Log();
    ASSERT_TRUE(SameAsWholeFrame(jeu));
  }
}

// A text rendered again at the very address of the one it replaced still
// shows: its pixels are compared, not only its address.
TEST(Frames, TextChangedInPlaceIsShown) {
  LoadedGame game;
  Game *jeu = game.jeu;
  for (int frame = 0; frame < 256; frame++)
    ASSERT_EQ(DrawFrame(jeu), 0);
  ASSERT_EQ(ShowStateMessage(jeu, "Vous êtes né."), 0);
  jeu->message_alpha = 0;
  SDL_SetAlpha(jeu->sfc_text_state, 0, 255);
  ASSERT_EQ(DrawFrame(jeu), 0);
  Uint32 shown = jeu->frames_shown;
  SDL_Surface *text = jeu->sfc_text_state;
  SDL_FillRect(text, NULL, 1); // every pixel the text's colour
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_EQ(jeu->frames_shown, shown + 1);
  EXPECT_TRUE(SameAsWholeFrame(jeu));
}

// Each fading step sends the state message's own area, no more; a small
// pointer motion sends the pointer's and the help's areas, not the screen.
TEST(Frames, SmallChangesSendSmallAreas) {
  LoadedGame game;
  Game *jeu = game.jeu;
  ASSERT_EQ(DrawFrame(jeu), 0);
  Uint64 whole = (Uint64)jeu->screen_w * jeu->screen_h;
  EXPECT_EQ(jeu->pixels_shown, whole);
  Uint64 text_area = (Uint64)jeu->sfc_text_state->w * jeu->sfc_text_state->h;
  for (int frame = 0; frame < 10; frame++) {
    Uint64 before = jeu->pixels_shown;
    ASSERT_EQ(DrawFrame(jeu), 0);
    EXPECT_EQ(jeu->pixels_shown - before, text_area);
  }
  for (int frame = 0; frame < 250; frame++)
    ASSERT_EQ(DrawFrame(jeu), 0);
  // The first motion lights every control of the screen.
  Hover(jeu, 300, 300);
  ASSERT_EQ(DrawFrame(jeu), 0);
  Uint64 before = jeu->pixels_shown;
  Hover(jeu, 303, 301);
  Hover(jeu, 306, 303);
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_GT(jeu->pixels_shown, before);
  EXPECT_LT(jeu->pixels_shown - before, whole / 50);
  // Over a control with help: the pointer, the bar and the control lit.
  before = jeu->pixels_shown;
  Point field = CenterOf(jeu, &Game::rct_bar_nickname, &Game::sfc_bar_nickname);
  Hover(jeu, field.x, field.y);
  ASSERT_EQ(DrawFrame(jeu), 0);
  EXPECT_LT(jeu->pixels_shown - before, whole / 4);
  EXPECT_TRUE(SameAsWholeFrame(jeu));
}

} // namespace
