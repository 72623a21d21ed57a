// SPDX-License-Identifier: MIT
// varkel_client: start-up, command line and the frame loop.
#include "client_functions.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <SDL/SDL_syswm.h>

#define VARKEL_WEB_ADDRESS "https://varkel.example.org/"

// While a key is held the loop looks at the events this often: SDL makes
// the repeated presses only when it is asked for events.
#define VARKEL_KEY_STEP_MS 5
// The longest sleep with nothing to show: a signal that lands between the
// last look at the events and the sleep is still seen within it.
#define VARKEL_IDLE_WAIT_MS 1000

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

// The log holds the failing call's line; a player at a terminal is told
// where it is.
static int StartFailed(const Game *jeu) {
  char whole[PATH_MAX];
  const char *log = realpath(jeu->path_log, whole) != NULL ? whole : jeu->path_log;
  fprintf(stderr, "varkel_client: the game could not start; %s says why.\n", log);
  return 1;
}

static Uint32 VideoFlags(int fullscreen) {
  return SDL_HWSURFACE | SDL_DOUBLEBUF | (fullscreen ? SDL_FULLSCREEN : 0);
}

// SDL would present each frame through OpenGL, which without a driver is
// Mesa drawing in software: several times the cost of SDL's own software
// renderer. Both settings are needed (either alone still loads OpenGL). In
// full screen every frame shown is scaled whole to the display: by nearest
// pixels it costs half of a smoothed scaling, and looks as a real 640x480
// mode did. A player's own choice stays.
static void ChooseRenderer(void) {
  setenv("SDL_RENDER_DRIVER", "software", 0);
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "software", 0);
  setenv("SDL12COMPAT_SCALE_METHOD", "nearest", 0);
}

// Without a display SDL falls back to drawing nowhere (its "offscreen"
// driver), and the player would wait for a window that never comes: unless a
// driver is asked for by name (the dummy one runs without a display), the
// window must be X11's or Wayland's. Called once SDL is up.
static int RequireDisplay(void) {
  const char *asked = getenv("SDL_VIDEODRIVER");
  if (asked != NULL && asked[0] != '\0') return 0;
  const char *x11 = getenv("DISPLAY"), *wayland = getenv("WAYLAND_DISPLAY");
  if ((x11 == NULL || x11[0] == '\0') && (wayland == NULL || wayland[0] == '\0')) {
    printf("varkel_client: no display (DISPLAY and WAYLAND_DISPLAY are not set).\n");
    return 1;
  }
  char driver[64];
  if (SDL_VideoDriverName(driver, sizeof(driver)) == NULL) snprintf(driver, sizeof(driver), "none");
  if (strcmp(driver, "x11") == 0 || strcmp(driver, "wayland") == 0) return 0;
  printf("varkel_client: the display cannot be opened (DISPLAY=%s, WAYLAND_DISPLAY=%s): SDL fell "
         "back to its \"%s\" video driver, which shows no window.\n",
         x11 != NULL ? x11 : "", wayland != NULL ? wayland : "", driver);
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

// The display connection, on which the loop sleeps; -1 without one (the
// dummy driver), where it sleeps a frame at a time.
static int DisplayDescriptor(void) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWMInfo(&info) != 1 || info.subsystem != SDL_SYSWM_X11 || info.info.x11.display == NULL)
    return -1;
  return ConnectionNumber(info.info.x11.display);
}

static int KeyHeld(void) {
  int count = 0;
  const Uint8 *keys = SDL_GetKeyState(&count);
  for (int n = 0; n < count; n++)
    if (keys[n]) return 1;
  return 0;
}

// Something on the screen may change at the next frame: an event was
// handled, the state message fades, or an action runs (it writes the
// record without telling the loop). Caller holds the lock.
static int FrameWanted(const Game *jeu) {
  if (jeu->frame_wanted || jeu->show_next || jeu->message_alpha > 0) return 1;
  for (const ActionThread &slot : jeu->action_threads)
    if (slot.thread != NULL) return 1;
  return 0;
}

// Sleeps until the next frame is due when one is wanted, else until the
// display sends something; a held key wakes it in short steps, for its
// repeats.
static void WaitForNextPass(const Game *jeu, int wanted) {
  int timeout = jeu->display_fd >= 0 ? VARKEL_IDLE_WAIT_MS : VARKEL_FRAME_MS;
  if (wanted) {
    Sint32 due = (Sint32)(jeu->last_time + VARKEL_FRAME_MS + 1 - SDL_GetTicks());
    timeout = due > 0 ? due : 0;
  }
  if (timeout > VARKEL_KEY_STEP_MS && KeyHeld()) timeout = VARKEL_KEY_STEP_MS;
  if (timeout == 0) return;
  // ppoll, which nothing else in the client calls: a test can tell from
  // outside that the loop sleeps.
  struct pollfd display = {jeu->display_fd, POLLIN, 0};
  struct timespec wait = {timeout / 1000, (long)(timeout % 1000) * 1000000};
  ppoll(&display, 1, &wait, NULL);
}

// One pass: a frame when more than 40 ms have passed and something may
// have changed, then every event in arrival order, then a sleep. Returns 1
// when the process must end.
static int RunPass(Game *jeu) {
  jeu->current_time = SDL_GetTicks();
  Uint32 shown = jeu->frames_shown;
  int failed = 0;
  SDL_LockMutex(jeu->lock);
  if (jeu->last_time + VARKEL_FRAME_MS < jeu->current_time && FrameWanted(jeu)) {
    jeu->last_time = jeu->current_time;
    // Finished action threads are waited on once a frame, and at each start.
    ReapActions(jeu);
    jeu->frame_wanted = 0;
    failed = DrawFrame(jeu);
  }
  SDL_UnlockMutex(jeu->lock);
  if (failed) return 1;
  // SDL sends an update of part of the screen only when next asked for
  // events 16 ms on, or at a delay: now, before the loop sleeps.
  if (jeu->frames_shown != shown) SDL_Delay(0);
  int ended = 0;
  while (!ended && SDL_PollEvent(&jeu->event_1)) {
    SDL_LockMutex(jeu->lock);
    ended = HandleEvent(jeu);
    jeu->frame_wanted = 1;
    // On the way out too; running ones are left to end with the process.
    if (ended) ReapActions(jeu);
    SDL_UnlockMutex(jeu->lock);
  }
  if (ended) return 1;
  SDL_LockMutex(jeu->lock);
  int wanted = FrameWanted(jeu);
  SDL_UnlockMutex(jeu->lock);
  WaitForNextPass(jeu, wanted);
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
  if (LoadGame(&jeu)) return StartFailed(&jeu);
  int fullscreen = LastArgumentIs(argc, argv, "-f", "--fullscreen");
  jeu.sfc_screen = SDL_SetVideoMode(jeu.screen_w, jeu.screen_h, 0, VideoFlags(fullscreen));
  if (jeu.sfc_screen == NULL) {
    FailAndQuit(&jeu, "SDL_SetVideoMode: %s.\n\a");
    return StartFailed(&jeu);
  }
  if (FitPicturesToDisplay(&jeu)) return QuitLibraries();
  jeu.display_fd = DisplayDescriptor();
  while (jeu.loop == 1)
    if (RunPass(&jeu)) return 1;
  return 1;
}
