// SPDX-License-Identifier: MIT
// varkel_client: start-up, command line and the frame loop.
#include "client_functions.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>

#define VARKEL_WEB_ADDRESS "https://varkel.example.org/"

// The loop waits at most this long at a time, so events are handled at once.
#define VARKEL_IDLE_STEP_MS 5

static int LastArgumentIs(int argc, char **argv, const char *shortname, const char *longname) {
  const char *last = argv[argc - 1];
  return strcmp(last, shortname) == 0 || strcmp(last, longname) == 0;
}

static void PrintVersion(const Game *jeu) {
  printf("Varkel version %d\n", jeu->version);
  printf("%s\n", VARKEL_WEB_ADDRESS);
}

static void PrintUsage(void) {
  printf("varkel_client [option]\n");
  printf("\t-v --version : display the version.\n");
  printf("\t-h --help : display this help.\n");
  printf("\t-f --fullscreen : display in fullscreen mode.\n");
}

namespace {
typedef struct Layout {
  const char *pictures, *fonts, *texts, *log;
} Layout;
} // namespace

static const Layout kRelativeLayout = {"../share/varkel/pictures/", "../share/varkel/fonts/",
                                       "../../tmp/", "../../var/log/varkel/varkel_client.log"};
static const Layout kSystemLayout = {"/usr/share/varkel/pictures/", "/usr/share/varkel/fonts/",
                                     "/tmp/", "/var/log/varkel/varkel_client.log"};

// The install tree is found from the working directory: run from usr/bin/,
// the pictures sit in ../share/varkel/pictures/.
static void ChooseLayout(Game *jeu) {
  FILE *probe = fopen("../share/varkel/pictures/icon.bmp", "r");
  const Layout *layout = probe != NULL ? &kRelativeLayout : &kSystemLayout;
  if (probe != NULL) fclose(probe);
  snprintf(jeu->path_pictures, sizeof(jeu->path_pictures), "%s", layout->pictures);
  snprintf(jeu->path_fonts, sizeof(jeu->path_fonts), "%s", layout->fonts);
  snprintf(jeu->path_texts, sizeof(jeu->path_texts), "%s", layout->texts);
  snprintf(jeu->path_log, sizeof(jeu->path_log), "%s", layout->log);
}

static int OpenLog(Game *jeu) {
  if (OpenOwnFile(jeu->path_log, kFileWrite, &jeu->file_log)) {
    printf("fopen: unable to open %s\n", jeu->path_log);
    return 1;
  }
  // Each line reaches the file as it is written: a crash loses nothing.
  setvbuf(jeu->file_log, NULL, _IOLBF, 0);
  return 0;
}

static Uint32 VideoFlags(int fullscreen) {
  return SDL_HWSURFACE | SDL_DOUBLEBUF | (fullscreen ? SDL_FULLSCREEN : 0);
}

// SDL would present each frame through OpenGL, which without a driver is
// Mesa drawing in software: several times the cost of SDL's own software
// renderer. Both settings are needed (either alone still loads OpenGL); a
// player's own choice stays.
static void ChooseRenderer(void) {
  setenv("SDL_RENDER_DRIVER", "software", 0);
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "software", 0);
}

// Without a display SDL falls back to drawing nowhere, and the player would
// wait for a window that never comes. The dummy driver, asked for by name,
// runs without one.
static int RequireDisplay(void) {
  const char *names[] = {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"};
  for (const char *name : names) {
    const char *value = getenv(name);
    if (value != NULL && value[0] != '\0') return 0;
  }
  printf("varkel_client: no display (DISPLAY and WAYLAND_DISPLAY are not set).\n");
  return 1;
}

static int StartLibraries(void) {
  if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) == -1) {
    fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
    return 1;
  }
  if (TTF_Init() == -1) {
    fprintf(stderr, "TTF_Init: %s\n\a", SDL_GetError());
    SDL_Quit();
    return 1;
  }
  if (SDLNet_Init() == -1) {
    fprintf(stderr, "SDLNet_Init: %s\n", SDL_GetError());
    SDL_Quit();
    return 1;
  }
  return 0;
}

// Sleeps a short step toward the next frame instead of spinning; the step
// is short enough that an event still feels handled at once.
static void WaitForNextPass(const Game *jeu) {
  Uint32 due = jeu->last_time + VARKEL_FRAME_MS + 1;
  Uint32 now = SDL_GetTicks();
  if ((Sint32)(due - now) <= 0) return;
  SDL_Delay(due - now < VARKEL_IDLE_STEP_MS ? due - now : VARKEL_IDLE_STEP_MS);
}

// One pass: a frame when more than 40 ms have passed, then every event in
// arrival order. Returns 1 when the process must end.
static int RunPass(Game *jeu) {
  jeu->current_time = SDL_GetTicks();
  if (jeu->last_time + VARKEL_FRAME_MS < jeu->current_time) {
    jeu->last_time = jeu->current_time;
    SDL_LockMutex(jeu->lock);
    // Finished action threads are waited on once a frame, and at each start.
    ReapActions(jeu);
    int failed = DrawFrame(jeu);
    SDL_UnlockMutex(jeu->lock);
    if (failed) return 1;
  }
  int ended = 0;
  while (!ended && SDL_PollEvent(&jeu->event_1)) {
    SDL_LockMutex(jeu->lock);
    ended = HandleEvent(jeu);
    // On the way out too; running ones are left to end with the process.
    if (ended) ReapActions(jeu);
    SDL_UnlockMutex(jeu->lock);
  }
  if (ended) return 1;
  WaitForNextPass(jeu);
  return 0;
}

int main(int argc, char **argv) {
  // Action threads may outlive main's frame; the record must outlive them.
  static Game jeu;
  InitGame(&jeu);
  ChooseRenderer();
  if (StartLibraries()) return 1;
  if (LastArgumentIs(argc, argv, "-v", "--version")) {
    PrintVersion(&jeu);
    return 0;
  }
  if (LastArgumentIs(argc, argv, "-h", "--help")) {
    PrintUsage();
    return 0;
  }
  if (RequireDisplay()) return QuitLibraries();
  if (ChooseServer(&jeu, getenv("VARKEL_SERVER"))) return QuitLibraries();
  // A server that has gone must fail a send, not kill the client.
  signal(SIGPIPE, SIG_IGN);
  ChooseLayout(&jeu);
  if (OpenLog(&jeu)) return 1;
  if (LoadGame(&jeu)) return 1;
  int fullscreen = LastArgumentIs(argc, argv, "-f", "--fullscreen");
  jeu.sfc_screen = SDL_SetVideoMode(jeu.screen_w, jeu.screen_h, 0, VideoFlags(fullscreen));
  if (jeu.sfc_screen == NULL) return FailAndQuit(&jeu, "SDL_SetVideoMode: %s.\n\a");
  if (FitPicturesToDisplay(&jeu)) return QuitLibraries();
  while (jeu.loop == 1)
    if (RunPass(&jeu)) return 1;
  return 1;
}
