// SPDX-License-Identifier: MIT
// Player input for the tests: real SDL events through SDL's own queue,
// handled as the client's loop handles them (one event at a time, under the
// record's lock), and the waits that go with actions started by clicks.
#ifndef VARKEL_SUPPORT_INPUT_H
#define VARKEL_SUPPORT_INPUT_H

#include <string>

#include <gtest/gtest.h>

#include "client_functions.h"

SDL_Event KeyDown(SDLKey sym, Uint16 unicode);
SDL_Event Motion(int x, int y);
SDL_Event Press(int x, int y, Uint8 button = SDL_BUTTON_LEFT);

// Pushes the event into SDL's queue, polls it out and hands it to
// HandleEvent under the lock; returns what the handler returned. When
// state_after is given it receives `etat` as the handler left it, read
// before the lock is let go.
int Deliver(Game *jeu, SDL_Event event, std::string *state_after = nullptr);

// One key press per character, the character as the key's translation.
int Type(Game *jeu, const std::string &text);

struct Point {
  int x, y;
};
Point CenterOf(const Game *jeu, RectField rect, SurfaceField surface);
// A left click in the middle of a control.
int ClickOn(Game *jeu, RectField rect, SurfaceField surface, std::string *state_after = nullptr);
// Whether the pointer at p is over the control.
bool Over(const Game *jeu, RectField rect, SurfaceField surface, Point p);

// Waits until `etat` reads `word` (read under the lock), at most timeout_ms.
bool WaitForState(Game *jeu, const char *word, int timeout_ms = 30000);
// Action threads not yet waited on, after waiting on the finished ones as
// the loop does.
int LiveActions(Game *jeu);
// Waits for every action started to end, so none can outlive the record.
void JoinAction(Game *jeu);

// The surface shows exactly `text` as the font renders it in that colour.
testing::AssertionResult ShowsText(SDL_Surface *shown, TTF_Font *font, const char *text,
                                   SDL_Color color);

// The per-surface alpha a blit uses: 255 without SDL_SRCALPHA.
int AlphaOf(const SDL_Surface *surface);

#endif
