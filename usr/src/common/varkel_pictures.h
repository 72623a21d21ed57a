// SPDX-License-Identifier: MIT
// Every picture of the game, once: the generator paints them, the client
// loads them, the tests check them. Each user expands the list with the
// columns it needs and ignores the others, so the generator never sees the
// client's record and the client never sees a painter.
//
// X(id, file, w, h, keyed, field, load, paint, label, tint)
//   id     kPicture<id> names the picture in the client
//   file   the name in the pictures folder, without ".bmp"
//   w, h   its size in pixels
//   keyed  white is its transparent colour (the client keys it, the
//          generator never paints white into it)
//   field  the member of the client's record it loads into
//   load   when the client loads it (kLoadFirst ... kLoadLater)
//   paint  the generator's painter, with its label and tint
//
// The client loads in this order within each stage: the order decides which
// failure stops start-up. drink and eat both go to the special control; the
// eat picture is the one left at start.
#ifndef VARKEL_PICTURES_H
#define VARKEL_PICTURES_H

// clang-format off
#define VARKEL_PICTURES(X)                                                                        \
  X(Icon, "icon", 32, 32, false, sfc_bmp_icon, kLoadFirst, DrawIcon, nullptr, nullptr)            \
  X(Subscribe, "subscribe", 200, 32, false, sfc_bmp_subscribe, kLoadBeforeBars, DrawButton,       \
    "Naître", &kWarm)                                                                             \
  X(Connect, "connect", 200, 32, false, sfc_bmp_connect, kLoadBeforeBars, DrawButton,             \
    "Se réveiller", &kWarm)                                                                       \
  X(Quit, "quit", 200, 32, false, sfc_bmp_quit, kLoadBeforeBars, DrawButton, "Quitter", &kWarm)   \
  X(Suicide, "suicide", 200, 32, false, sfc_bmp_suicide, kLoadBeforeBars, DrawButton, "Mourir",   \
    &kBlood)                                                                                      \
  X(Speak, "speak", 160, 34, false, sfc_bmp_speak, kLoadBeforeBars, DrawButton, "Parler", &kCool) \
  X(Background, "background", 640, 480, false, sfc_bmp_background, kLoadBeforeBars, DrawHall,     \
    nullptr, nullptr)                                                                             \
  X(ArrowUp, "arrow_up", 24, 20, true, sfc_bmp_arrow_up, kLoadBeforeBars, DrawArrowUp, nullptr,   \
    nullptr)                                                                                      \
  X(ArrowDown, "arrow_down", 24, 20, true, sfc_bmp_arrow_down, kLoadBeforeBars, DrawArrowDown,    \
    nullptr, nullptr)                                                                             \
  X(Cursor, "cursor_arrow", 16, 24, true, sfc_bmp_cursor, kLoadBeforeBars, DrawCursor, nullptr,   \
    nullptr)                                                                                      \
  X(Fullscreen, "fullscreen", 40, 40, true, sfc_bmp_fullscreen, kLoadBeforeBars, DrawFullscreen,  \
    nullptr, nullptr)                                                                             \
  X(Window, "window", 40, 40, true, sfc_bmp_window, kLoadBeforeBars, DrawWindow, nullptr, nullptr)\
  X(Profil, "profil", 40, 40, true, sfc_bmp_profil, kLoadBeforeBars, DrawProfil, nullptr, nullptr)\
  X(Noprofil, "noprofil", 40, 40, true, sfc_bmp_noprofil, kLoadBeforeBars, DrawNoprofil, nullptr, \
    nullptr)                                                                                      \
  X(Screenshot, "screenshot", 40, 40, true, sfc_bmp_screenshot, kLoadBeforeBars, DrawScreenshot,  \
    nullptr, nullptr)                                                                             \
  X(Refresh, "refresh", 160, 34, false, sfc_bmp_refresh, kLoadAfterBars, DrawButton, "Écouter",   \
    &kCool)                                                                                       \
  X(Analyze, "analyze", 160, 34, false, sfc_bmp_analyze, kLoadAfterBars, DrawButton, "État",      \
    &kCool)                                                                                       \
  X(Disconnect, "disconnect", 160, 34, false, sfc_bmp_disconnect, kLoadAfterBars, DrawButton,     \
    "Dormir", &kCool)                                                                             \
  X(Move, "move", 160, 34, false, sfc_bmp_move, kLoadAfterBars, DrawButton, "Aller", &kCool)      \
  X(Drink, "drink", 160, 34, false, sfc_bmp_special, kLoadAfterBars, DrawDrink, "Boire", &kWater) \
  X(Eat, "eat", 160, 34, false, sfc_bmp_special, kLoadAfterBars, DrawEat, "Manger", &kLeaf)       \
  X(BackgroundRoom, "background_room", 640, 480, false, sfc_bmp_background, kLoadLater, DrawRoom, \
    nullptr, nullptr)                                                                             \
  X(BackgroundWell, "background_well", 640, 480, false, sfc_bmp_background, kLoadLater, DrawWell, \
    nullptr, nullptr)                                                                             \
  X(BackgroundGraveyard, "background_graveyard", 640, 480, false, sfc_bmp_background, kLoadLater, \
    DrawGraveyard, nullptr, nullptr)                                                              \
  X(BackgroundForest, "background_forest", 640, 480, false, sfc_bmp_background, kLoadLater,       \
    DrawForest, nullptr, nullptr)
// clang-format on

#endif
