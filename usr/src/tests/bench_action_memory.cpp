// SPDX-License-Identifier: MIT
// Address space and resident memory of the client after 20 and after N
// actions (1,000 by default), started by clicks as a player would, against
// the scripted server: every other action is a memory arrow, which runs
// beside the networked one that follows it.
//
//   build/usr/src/tests/bench_action_memory [actions]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support.h"
#include "support_input.h"
#include "support_scripted_server.h"

static void Report(int actions) {
  printf("after %5d actions: VmSize %8ld kB, VmRSS %6ld kB\n", actions, ProcessKilobytes("VmSize"),
         ProcessKilobytes("VmRSS"));
  fflush(stdout);
}

// As the client's loop does between frames: finished threads waited on.
static void PlayUntilConnected(Game *jeu) {
  for (;;) {
    SDL_LockMutex(jeu->lock);
    ReapActions(jeu);
    int done = strcmp(jeu->etat, "connected") == 0;
    SDL_UnlockMutex(jeu->lock);
    if (done) return;
    SDL_Delay(1);
  }
}

int main(int argc, char **argv) {
  int total = argc > 1 ? atoi(argv[1]) : 1000;
  LoadedGame game;
  Game *jeu = game.jeu;
  ScriptedServer server;
  server.PointAt(jeu);
  snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
  snprintf(jeu->etat, sizeof(jeu->etat), "%s", "connected");
  size_t conversations = 0;
  for (int actions = 1; actions <= total; actions++) {
    if (actions % 2 == 1) {
      ClickOn(jeu, &Game::rct_bmp_arrow_up, &Game::sfc_bmp_arrow_up);
    } else {
      ClickOn(jeu, &Game::rct_bmp_speak, &Game::sfc_bmp_speak);
      PlayUntilConnected(jeu);
      server.WaitConnections(++conversations);
    }
    if (actions == 20 || actions == total) Report(actions);
  }
  JoinAction(jeu);
  return 0;
}
