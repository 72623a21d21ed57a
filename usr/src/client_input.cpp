// SPDX-License-Identifier: MIT
// Player input: the text fields, hover feedback with help texts, and the
// clicks on both screens. Everything here runs on the main thread with the
// record's lock held by the loop, so typing and clicking never race with an
// action reading or writing the record.
#include "client_functions.h"

#include <string.h>

static int IsState(const Game *jeu, const char *word) {
  return strcmp(jeu->etat, word) == 0;
}

// The control under the pointer: its position and the size of its picture,
// both far edges included.
static int Hit(const Game *jeu, const Control *control, Uint16 x, Uint16 y) {
  const SDL_Rect *at = &(jeu->*control->look.at);
  const SDL_Surface *picture = jeu->*control->look.surface;
  return MouseOnSurface(at->x, at->y, picture->w, picture->h, x, y);
}

/* Text entry. */

namespace {
// One text field as the key handling sees it.
typedef struct TextField {
  char *text;
  size_t limit; // characters it may hold
  char *mask;   // one '*' per character, rendered instead of the text; or NULL
  TTF_Font *font;
  SDL_Color color;
  SDL_Surface **surface;
} TextField;
} // namespace

// The field `edit` names; 1 when it names none.
static int FocusedField(Game *jeu, TextField *field) {
  const struct {
    const char *name;
    TextField field;
  } fields[] = {
      {"nickname",
       {jeu->login, sizeof(jeu->login) - 1, NULL, jeu->font1, jeu->color_font1,
        &jeu->sfc_text_nickname}},
      {"password",
       {jeu->password, sizeof(jeu->password) - 1, jeu->password_hide, jeu->font1, jeu->color_font1,
        &jeu->sfc_text_password}},
      {"speak",
       {jeu->speak, sizeof(jeu->speak) - 1, NULL, jeu->font_speak, jeu->color_font_speak,
        &jeu->sfc_text_speak}},
  };
  for (const auto &entry : fields)
    if (strcmp(jeu->edit, entry.name) == 0) {
      *field = entry.field;
      return 0;
    }
  return 1;
}

static void EraseLast(const TextField *field) {
  size_t length = strlen(field->text);
  if (length == 0) return;
  field->text[length - 1] = '\0';
  if (field->mask != NULL) field->mask[length - 1] = '\0';
}

// Only printable ASCII, so a text's byte length is its length in characters.
static void Append(const TextField *field, Uint16 character) {
  if (character < 32 || character > 126) return;
  size_t length = strlen(field->text);
  if (length >= field->limit) return;
  field->text[length] = (char)character;
  field->text[length + 1] = '\0';
  if (field->mask != NULL) {
    field->mask[length] = '*';
    field->mask[length + 1] = '\0';
  }
}

int HandleKey(Game *jeu) {
  TextField field;
  if (FocusedField(jeu, &field)) return 0;
  const SDL_keysym *key = &jeu->event_1.key.keysym;
  if (key->sym == SDLK_BACKSPACE)
    EraseLast(&field);
  else
    Append(&field, key->unicode);
  // Every key that reaches a field shows it again; an emptied one is not
  // drawn and RenderText leaves it alone.
  const char *shown = field.mask != NULL ? field.mask : field.text;
  if (RenderText(field.font, shown, field.color, field.surface, jeu->file_log))
    return QuitLibraries();
  return 0;
}

/* Clicks: starting an action. */

// The action, then its slot marked for the loop to wait on.
static int RunActionThread(void *data) {
  ActionThread *slot = (ActionThread *)data;
  int result = slot->action(slot->jeu);
  SDL_LockMutex(slot->jeu->lock);
  slot->done = 1;
  SDL_UnlockMutex(slot->jeu->lock);
  return result;
}

// A thread marked done has only its return left: the wait is short.
int ReapActions(Game *jeu) {
  for (ActionThread &slot : jeu->action_threads) {
    if (slot.thread == NULL || !slot.done) continue;
    SDL_WaitThread(slot.thread, NULL);
    if (jeu->thread_connect == slot.thread) jeu->thread_connect = NULL;
    slot = ActionThread{NULL, NULL, NULL, 0};
  }
  return 0;
}

static ActionThread *FreeSlot(Game *jeu) {
  ReapActions(jeu);
  for (ActionThread &slot : jeu->action_threads)
    if (slot.thread == NULL) return &slot;
  return NULL;
}

// The busy word goes in before the thread exists, under the lock the loop
// holds, so a quick second click finds the screen busy and starts nothing.
// With every slot taken the action does not start, as when no thread can be.
static int StartAction(Game *jeu, ActionFunction action) {
  ActionThread *slot = FreeSlot(jeu);
  if (slot == NULL) return 0;
  char replaced[sizeof(jeu->etat)];
  snprintf(replaced, sizeof(replaced), "%s", jeu->etat);
  const char *busy = ActionBusyWord(action);
  if (busy != NULL) snprintf(jeu->etat, sizeof(jeu->etat), "%s", busy);
  *slot = ActionThread{NULL, action, jeu, 0};
  SDL_Thread *thread = SDL_CreateThread(RunActionThread, slot);
  if (thread == NULL) {
    snprintf(jeu->etat, sizeof(jeu->etat), "%s", replaced);
    return 0;
  }
  slot->thread = thread;
  jeu->thread_connect = thread;
  return 0;
}

static int StartControlAction(Game *jeu, const Control *control) {
  return StartAction(jeu, control->action);
}

/* Clicks: the common controls. */

// Each effect ends by showing its answer; one that fails shows why
// instead. 1 only when the process must end.
static int Answer(Game *jeu, const char *answer) {
  if (ShowStateMessage(jeu, answer)) return QuitLibraries();
  return 0;
}

static int SetVideoMode(Game *jeu, Uint32 flags, const char *answer) {
  SDL_Surface *screen = SDL_SetVideoMode(jeu->screen_w, jeu->screen_h, 0, flags);
  if (screen == NULL) return FailAndQuit(jeu, "SDL_SetVideoMode: %s.\n\a");
  jeu->sfc_screen = screen; // SDL owns the display surface it replaced
  return Answer(jeu, answer);
}

static int SetFullscreen(Game *jeu, const Control *control) {
  return SetVideoMode(jeu, SDL_HWSURFACE | SDL_DOUBLEBUF | SDL_FULLSCREEN, control->answer);
}

static int SetWindow(Game *jeu, const Control *control) {
  return SetVideoMode(jeu, SDL_HWSURFACE | SDL_DOUBLEBUF, control->answer);
}

// A data file refused by OpenDataFile has been logged and shown: the
// client goes on without it.
static int WriteNickname(Game *jeu, const char *text, const char *answer) {
  char path[sizeof(jeu->path_texts) + 16];
  FILE *stream;
  if (OpenDataFile(jeu, "nickname.dat", kFileWrite, path, sizeof(path), &stream)) return 0;
  fputs(text, stream);
  fclose(stream);
  return Answer(jeu, answer);
}

static int RememberNickname(Game *jeu, const Control *control) {
  return WriteNickname(jeu, jeu->login, control->answer);
}
static int ForgetNickname(Game *jeu, const Control *control) {
  return WriteNickname(jeu, "", control->answer);
}

// Written through the stream of the opened file: saving by path would
// follow a link planted in its place.
static int SaveScreenshot(Game *jeu, const Control *control) {
  char path[sizeof(jeu->path_texts) + 16];
  FILE *stream;
  if (OpenDataFile(jeu, "screenshot.bmp", kFileWrite, path, sizeof(path), &stream)) return 0;
  SDL_RWops *destination = SDL_RWFromFP(stream, 1);
  if (destination == NULL) fclose(stream);
  // The save closes the stream.
  if (destination == NULL || SDL_SaveBMP_RW(jeu->sfc_screen, destination, 1) != 0) {
    LogError(jeu, "SDL_SaveBMP: %s.\n");
    CloseConnection(jeu);
    return QuitLibraries();
  }
  return Answer(jeu, control->answer);
}

/* Clicks: the two screens. */

static void SetFocus(Game *jeu, const char *edit) {
  snprintf(jeu->edit, sizeof(jeu->edit), "%s", edit);
}

static int FocusNickname(Game *jeu, const Control *) {
  SetFocus(jeu, "nickname");
  FillBar(jeu->sfc_bar_nickname, kBarFocused);
  FillBar(jeu->sfc_bar_password, kBarIdle);
  return 0;
}

static int FocusPassword(Game *jeu, const Control *) {
  SetFocus(jeu, "password");
  FillBar(jeu->sfc_bar_password, kBarFocused);
  FillBar(jeu->sfc_bar_nickname, kBarIdle);
  return 0;
}

static int FocusSpeak(Game *jeu, const Control *) {
  SetFocus(jeu, "speak");
  FillBar(jeu->sfc_bar_speak, kBarFocused);
  return 0;
}

static int Quit(Game *, const Control *) {
  return QuitLibraries();
}

// The special control acts by the place chosen in the place field, not by
// where the character stands.
static int StartSpecial(Game *jeu, const Control *) {
  const PlaceRow *place = FindPlace(jeu->place);
  if (place == NULL || place->special_action == NULL) return 0;
  return StartAction(jeu, place->special_action);
}

static int NextPlace(Game *jeu, const Control *) {
  const PlaceRow *place = FindPlace(jeu->place);
  if (place != NULL)
    snprintf(jeu->place, sizeof(jeu->place), "%s",
             kPlaces[(place - kPlaces + 1) % kPlaceCount].name);
  if (RenderText(jeu->font_place, jeu->place, jeu->color_font_place, &jeu->sfc_text_place,
                 jeu->file_log))
    return QuitLibraries();
  return 0;
}

/* The controls. */

// The memory arrows show only where a line is left that way; the special
// control only where the character stands at a place that has one.
static int OlderLineExists(const Game *jeu) {
  return jeu->current_message > kOldestPosition;
}
static int NewerLineExists(const Game *jeu) {
  return jeu->current_message != kNewestPosition;
}
static int SpecialPlace(const Game *jeu) {
  const PlaceRow *place = FindPlace(jeu->place_current);
  return place != NULL && place->special != kPictureCount;
}

#define VARKEL_CONTROL(screen, kind, name, content, when, log_line)                                \
#kind "_" #name, screen, {                                                                       \
    &Game::sfc_##kind##_##name, &Game::rct_##kind##_##name, when, log_line, content, NULL          \
  }

// clang-format off
const Control kControls[] = {
    {VARKEL_CONTROL(kOnBoth, bmp, fullscreen, kPicture, NULL, kBlitFailedDot),
     "Passer en mode plein écran", SetFullscreen, NULL, "Votre vue est parfaite..."},
    {VARKEL_CONTROL(kOnBoth, bmp, window, kPicture, NULL, kBlitFailedDot),
     "Passer en mode fenêtre", SetWindow, NULL, "Votre vue est médiocre..."},
    {VARKEL_CONTROL(kOnBoth, bmp, profil, kPicture, NULL, kBlitFailedDot),
     "Retenir le pseudonyme", RememberNickname, NULL, "On se rappellera de vous..."},
    {VARKEL_CONTROL(kOnBoth, bmp, noprofil, kPicture, NULL, kBlitFailedDot),
     "Ne pas retenir le pseudonyme", ForgetNickname, NULL, "On ne se rappellera plus de vous..."},
    {VARKEL_CONTROL(kOnBoth, bmp, screenshot, kPicture, NULL, kBlitFailedDot),
     "Capturer l'écran", SaveScreenshot, NULL, "Vous gardez cette image en mémoire..."},

    {VARKEL_CONTROL(kOnSignIn, bar, nickname, kTranslucentPicture, NULL, kBlitFailed),
     "Entrer le pseudonyme", FocusNickname, NULL, NULL},
    {VARKEL_CONTROL(kOnSignIn, bar, password, kTranslucentPicture, NULL, kBlitFailed),
     "Entrer le mot de passe", FocusPassword, NULL, NULL},
    {VARKEL_CONTROL(kOnSignIn, bmp, subscribe, kTranslucentPicture, NULL, kBlitFailed),
     NULL, StartControlAction, ActionSubscribe, NULL},
    {VARKEL_CONTROL(kOnSignIn, bmp, connect, kTranslucentPicture, NULL, kBlitFailed),
     NULL, StartControlAction, ActionConnect, NULL},
    {VARKEL_CONTROL(kOnSignIn, bmp, suicide, kTranslucentPicture, NULL, kBlitFailed),
     NULL, StartControlAction, ActionUnsubscribe, NULL},
    {VARKEL_CONTROL(kOnSignIn, bmp, quit, kTranslucentPicture, NULL, kBlitFailed),
     NULL, Quit, NULL, NULL},

    {VARKEL_CONTROL(kOnInGame, bmp, disconnect, kTranslucentPicture, NULL, kBlitFailed),
     NULL, StartControlAction, ActionDisconnect, NULL},
    {VARKEL_CONTROL(kOnInGame, bar, speak, kTranslucentPicture, NULL, kBlitFailed),
     "Entrer les paroles", FocusSpeak, NULL, NULL},
    {VARKEL_CONTROL(kOnInGame, bmp, speak, kTranslucentPicture, NULL, kBlitFailed),
     NULL, StartControlAction, ActionSpeak, NULL},
    {VARKEL_CONTROL(kOnInGame, bmp, refresh, kTranslucentPicture, NULL, kBlitFailed),
     NULL, StartControlAction, ActionRefresh, NULL},
    {VARKEL_CONTROL(kOnInGame, bmp, analyze, kTranslucentPicture, NULL, kBlitFailed),
     NULL, StartControlAction, ActionAnalyze, NULL},
    {VARKEL_CONTROL(kOnInGame, bmp, special, kPicture, SpecialPlace, kBlitFailed),
     NULL, StartSpecial, NULL, NULL},
    {VARKEL_CONTROL(kOnInGame, bmp, arrow_up, kPicture, OlderLineExists, kBlitFailed),
     "Rechercher des paroles plus anciennes dans sa mémoire", StartControlAction,
     ActionRememberBefore, NULL},
    {VARKEL_CONTROL(kOnInGame, bmp, arrow_down, kPicture, NewerLineExists, kBlitFailed),
     "Rechercher des paroles plus récentes dans sa mémoire", StartControlAction,
     ActionRememberAfter, NULL},
    {VARKEL_CONTROL(kOnInGame, bmp, move, kTranslucentPicture, NULL, kBlitFailed),
     NULL, StartControlAction, ActionMove, NULL},
    {VARKEL_CONTROL(kOnInGame, bar, place, kTranslucentPicture, NULL, kBlitFailedDot),
     "Choisir le lieu", NextPlace, NULL, NULL},
};
// clang-format on
#undef VARKEL_CONTROL

static_assert(SDL_arraysize(kControls) == VARKEL_CONTROLS, "VARKEL_CONTROLS counts kControls");

const Control *FindControl(const char *name) {
  for (const Control &control : kControls)
    if (strcmp(control.name, name) == 0) return &control;
  return NULL;
}

/* Hover. */

// Lights the controls of a screen; returns the help of the last one under
// the pointer that has one, or `help` unchanged.
static const char *LightControls(Game *jeu, ControlScreen screen, Uint16 x, Uint16 y,
                                 const char *help) {
  for (const Control &control : kControls) {
    if (control.screen != screen) continue;
    int over = Hit(jeu, &control, x, y);
    SetOpacity(jeu->*control.look.surface, over ? kOpaque : kTranslucent);
    if (over && control.help != NULL) help = control.help;
  }
  return help;
}

static int ShowHelp(Game *jeu, const char *help) {
  if (RenderHelp(jeu, help)) return QuitLibraries();
  int width =
      jeu->sfc_text_help->w < jeu->sfc_bar_help->w ? jeu->sfc_text_help->w : jeu->sfc_bar_help->w;
  jeu->help_bar_w = (Uint16)width;
  SetOpacity(jeu->sfc_bar_help, kOpaque);
  SetOpacity(jeu->sfc_text_help, kOpaque);
  return 0;
}

int HandleMotion(Game *jeu) {
  Uint16 x = jeu->event_1.motion.x, y = jeu->event_1.motion.y;
  jeu->rct_bmp_cursor.x = (Sint16)x;
  jeu->rct_bmp_cursor.y = (Sint16)y;
  // The help bar sits just above the pointer picture.
  jeu->rct_bar_help.x = (Sint16)x;
  jeu->rct_bar_help.y = (Sint16)(y - jeu->sfc_bmp_cursor->h);
  jeu->rct_text_help = jeu->rct_bar_help;
  SetOpacity(jeu->sfc_bar_help, kHidden);
  SetOpacity(jeu->sfc_text_help, kHidden);
  const char *help = LightControls(jeu, kOnBoth, x, y, NULL);
  // Busy words count as in-game: their help shows where those controls sit.
  help = LightControls(jeu, IsState(jeu, kDisconnected) ? kOnSignIn : kOnInGame, x, y, help);
  if (help == NULL) return 0;
  return ShowHelp(jeu, help);
}

/* Clicks. */

// Every common control under the pointer acts, in table order.
static int ClickCommon(Game *jeu, Uint16 x, Uint16 y) {
  for (const Control &control : kControls)
    if (control.screen == kOnBoth && Hit(jeu, &control, x, y) && control.click(jeu, &control))
      return 1;
  return 0;
}

// A click on none of the sign-in controls takes the focus away.
static void SignInElsewhere(Game *jeu) {
  SetFocus(jeu, "");
  FillBar(jeu->sfc_bar_nickname, kBarIdle);
  FillBar(jeu->sfc_bar_password, kBarIdle);
}

static void InGameElsewhere(Game *jeu) {
  SetFocus(jeu, "");
  FillBar(jeu->sfc_bar_speak, kBarIdle);
}

// The first control of the screen under the pointer acts and ends the
// chain.
static int ClickChain(Game *jeu, ControlScreen screen, void (*elsewhere)(Game *), Uint16 x,
                      Uint16 y) {
  for (const Control &control : kControls)
    if (control.screen == screen && Hit(jeu, &control, x, y)) return control.click(jeu, &control);
  elsewhere(jeu);
  return 0;
}

int HandleClick(Game *jeu) {
  const SDL_MouseButtonEvent *click = &jeu->event_1.button;
  if (click->button != SDL_BUTTON_LEFT) return 0;
  Uint16 x = click->x, y = click->y;
  if (ClickCommon(jeu, x, y)) return 1;
  if (IsState(jeu, kDisconnected) && ClickChain(jeu, kOnSignIn, SignInElsewhere, x, y)) return 1;
  // Compared again: the sign-in chain may have just made the screen busy.
  if (IsState(jeu, kConnected) && ClickChain(jeu, kOnInGame, InGameElsewhere, x, y)) return 1;
  return 0;
}

/* Dispatch. */

static int CloseWindow(Game *) {
  return QuitLibraries();
}

namespace {
typedef struct EventRoute {
  Uint8 type;
  int (*handler)(Game *jeu);
} EventRoute;
} // namespace

static const EventRoute kEventRoutes[] = {
    {SDL_KEYDOWN, HandleKey},
    {SDL_MOUSEMOTION, HandleMotion},
    {SDL_MOUSEBUTTONDOWN, HandleClick},
    {SDL_QUIT, CloseWindow},
};

int HandleEvent(Game *jeu) {
  // Whatever happened (the window exposed, a new video mode, a bar
  // focused), the whole next frame is shown; a motion only moves and lights
  // what the next frame compares.
  if (jeu->event_1.type != SDL_MOUSEMOTION) jeu->show_next = 1;
  for (const EventRoute &route : kEventRoutes)
    if (jeu->event_1.type == route.type) return route.handler(jeu);
  return 0;
}
