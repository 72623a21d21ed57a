// SPDX-License-Identifier: MIT
#include "support_input.h"

#include <string.h>

SDL_Event KeyDown(SDLKey sym, Uint16 unicode) {
  SDL_Event event;
  memset(&event, 0, sizeof(event));
  event.type = SDL_KEYDOWN;
  event.key.state = SDL_PRESSED;
  event.key.keysym.sym = sym;
  event.key.keysym.unicode = unicode;
  return event;
}

SDL_Event Motion(int x, int y) {
  SDL_Event event;
  memset(&event, 0, sizeof(event));
  event.type = SDL_MOUSEMOTION;
  event.motion.x = (Uint16)x;
  event.motion.y = (Uint16)y;
  return event;
}

SDL_Event Press(int x, int y, Uint8 button) {
  SDL_Event event;
  memset(&event, 0, sizeof(event));
  event.type = SDL_MOUSEBUTTONDOWN;
  event.button.button = button;
  event.button.state = SDL_PRESSED;
  event.button.x = (Uint16)x;
  event.button.y = (Uint16)y;
  return event;
}

int Deliver(Game *jeu, SDL_Event event, std::string *state_after) {
  EXPECT_EQ(SDL_PushEvent(&event), 0) << SDL_GetError();
  int ended = 0;
  SDL_LockMutex(jeu->lock);
  // The dummy driver may queue events of its own; the loop ignores those.
  while (!ended && SDL_PollEvent(&jeu->event_1))
    ended = HandleEvent(jeu);
  if (state_after != nullptr) *state_after = jeu->etat;
  SDL_UnlockMutex(jeu->lock);
  return ended;
}

int Type(Game *jeu, const std::string &text) {
  int ended = 0;
  for (unsigned char c : text)
    ended |= Deliver(jeu, KeyDown((SDLKey)c, c));
  return ended;
}

Point CenterOf(const Game *jeu, RectField rect, SurfaceField surface) {
  const SDL_Rect &at = jeu->*rect;
  const SDL_Surface *picture = jeu->*surface;
  return Point{at.x + picture->w / 2, at.y + picture->h / 2};
}

int ClickOn(Game *jeu, RectField rect, SurfaceField surface, std::string *state_after) {
  Point p = CenterOf(jeu, rect, surface);
  return Deliver(jeu, Press(p.x, p.y), state_after);
}

bool Over(const Game *jeu, RectField rect, SurfaceField surface, Point p) {
  const SDL_Rect &at = jeu->*rect;
  return MouseOnSurface(at.x, at.y, (jeu->*surface)->w, (jeu->*surface)->h, (Uint16)p.x,
                        (Uint16)p.y) == 1;
}

bool WaitForState(Game *jeu, const char *word, int timeout_ms) {
  for (int waited = 0;; waited += 5) {
    SDL_LockMutex(jeu->lock);
    bool reached = strcmp(jeu->etat, word) == 0;
    SDL_UnlockMutex(jeu->lock);
    if (reached) return true;
    if (waited >= timeout_ms) return false;
    SDL_Delay(5);
  }
}

int LiveActions(Game *jeu) {
  int live = 0;
  SDL_LockMutex(jeu->lock);
  ReapActions(jeu);
  for (const ActionThread &slot : jeu->action_threads)
    live += slot.thread != nullptr;
  SDL_UnlockMutex(jeu->lock);
  return live;
}

void JoinAction(Game *jeu) {
  while (LiveActions(jeu) > 0)
    SDL_Delay(1);
}

testing::AssertionResult ShowsText(SDL_Surface *shown, TTF_Font *font, const char *text,
                                   SDL_Color color) {
  if (shown == nullptr) return testing::AssertionFailure() << "no surface for \"" << text << "\"";
  SDL_Surface *expected = TTF_RenderUTF8_Solid(font, text, color);
  if (expected == nullptr) return testing::AssertionFailure() << SDL_GetError();
  bool same = shown->w == expected->w && shown->h == expected->h &&
              shown->format->BytesPerPixel == expected->format->BytesPerPixel;
  // Solid text is 8-bit: index 1 is the ink.
  if (same && shown->format->palette != nullptr && expected->format->palette != nullptr) {
    const SDL_Color &a = shown->format->palette->colors[1],
                    &b = expected->format->palette->colors[1];
    same = a.r == b.r && a.g == b.g && a.b == b.b;
  }
  for (int y = 0; same && y < shown->h; y++) {
    const Uint8 *a = static_cast<const Uint8 *>(shown->pixels) + y * shown->pitch;
    const Uint8 *b = static_cast<const Uint8 *>(expected->pixels) + y * expected->pitch;
    same = memcmp(a, b, (size_t)shown->w * shown->format->BytesPerPixel) == 0;
  }
  SDL_FreeSurface(expected);
  if (same) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "the surface does not show \"" << text << "\"";
}

int AlphaOf(const SDL_Surface *surface) {
  return (surface->flags & SDL_SRCALPHA) ? surface->format->alpha : 255;
}
