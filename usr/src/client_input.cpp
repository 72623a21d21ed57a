// Player input: text fields, hover feedback, clicks.
#include "client_functions.h"

int HandleKey(Game *jeu) { (void)jeu; return 0; }
int HandleMotion(Game *jeu) { (void)jeu; return 0; }
int HandleClick(Game *jeu) { (void)jeu; return 0; }

int HandleEvent(Game *jeu) {
  if (jeu->event_1.type == SDL_QUIT) {
    SDLNet_Quit();
    SDL_Quit();
    return 1;
  }
  return 0;
}
