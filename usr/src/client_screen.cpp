// SPDX-License-Identifier: MIT
// The record's defaults, resource loading and layout, and the drawing of a
// frame.
#include "client_functions.h"

#include <errno.h>
#include <malloc.h>
#include <string.h>

int InitGame(Game *jeu) {
  snprintf(jeu->login, sizeof(jeu->login), "%s", "");
  snprintf(jeu->password, sizeof(jeu->password), "%s", "");
  snprintf(jeu->speak, sizeof(jeu->speak), "%s", "");
  snprintf(jeu->message, sizeof(jeu->message), "%s", "VEUILLEZ ECOUTER");
  snprintf(jeu->help, sizeof(jeu->help), "%s", "Voici Varkel");
  snprintf(jeu->password_hide, sizeof(jeu->password_hide), "%s", "");
  snprintf(jeu->place, sizeof(jeu->place), "%s", kPlaces[0].name);
  snprintf(jeu->place_current, sizeof(jeu->place_current), "%s", kPlaces[0].name);
  snprintf(jeu->etat, sizeof(jeu->etat), "%s", kDisconnected);
  snprintf(jeu->edit, sizeof(jeu->edit), "%s", "");
  jeu->size_font1 = 24;
  jeu->size_font_speak = 14;
  jeu->size_font_message = 11;
  jeu->size_font_place = 23;
  jeu->size_font_help = 11;
  jeu->screen_w = 640;
  jeu->screen_h = 480;
  jeu->last_time = 0;
  jeu->message_alpha = kOpaque;
  jeu->loop = 1;
  jeu->current_message = 0;
  jeu->version = WIRE_VERSION;
  snprintf(jeu->ip_server, sizeof(jeu->ip_server), "%s", VARKEL_SERVER_HOST);
  jeu->port_server = VARKEL_SERVER_PORT;
  // Plumbing of the threads: nothing open, the standard time limit.
  jeu->tcpsock = NULL;
  jeu->socket_chosen = -1;
  WireReset(&jeu->reader);
  jeu->reply_timeout_ms = VARKEL_REPLY_TIMEOUT_MS;
  jeu->show_next = 1;
  jeu->display_fd = -1;
  jeu->action_timeout_ms = VARKEL_ACTION_TIMEOUT_MS;
  return 0;
}

int LogError(Game *jeu, const char *format) {
  fprintf(jeu->file_log, format, SDL_GetError());
  fflush(jeu->file_log); // a line ending in a bell is past the line buffer's reach
  return 1;
}

int QuitLibraries(void) {
  SDLNet_Quit();
  SDL_Quit();
  return 1;
}

int FailAndQuit(Game *jeu, const char *format) {
  LogError(jeu, format);
  return QuitLibraries();
}

int RenderText(TTF_Font *font, const char *text, SDL_Color color, SDL_Surface **field,
               FILE *file_log) {
  if (text[0] == '\0') return 0;
  SDL_Surface *rendered = TTF_RenderUTF8_Solid(font, text, color);
  if (rendered == NULL) {
    fprintf(file_log, "TTF_RenderUTF8_Solid: %s.\n\a", SDL_GetError());
    fflush(file_log);
    return 1;
  }
  SDL_FreeSurface(*field);
  *field = rendered;
  return 0;
}

int ShowStateMessage(Game *jeu, const char *text) {
  if (RenderText(jeu->font1, text, jeu->color_font1, &jeu->sfc_text_state, jeu->file_log)) return 1;
  jeu->message_alpha = kOpaque;
  return 0;
}

// The kept rendering of a help text, or the slot to render it into (the
// last one when all are taken, which the help texts never need).
static HelpText *KeptHelp(Game *jeu, const char *text) {
  for (HelpText &kept : jeu->help_texts)
    if (kept.surface == NULL || strcmp(kept.text, text) == 0) return &kept;
  return &jeu->help_texts[VARKEL_HELP_TEXTS - 1];
}

int RenderHelp(Game *jeu, const char *text) {
  if (text != jeu->help) snprintf(jeu->help, sizeof(jeu->help), "%s", text);
  HelpText *kept = KeptHelp(jeu, jeu->help);
  if (kept->surface == NULL || strcmp(kept->text, jeu->help) != 0) {
    if (RenderText(jeu->font_help, jeu->help, jeu->color_font_help, &kept->surface, jeu->file_log))
      return 1;
    snprintf(kept->text, sizeof(kept->text), "%s", jeu->help);
  }
  jeu->sfc_text_help = kept->surface;
  return 0;
}

/* Resources. */

#define VARKEL_PICTURE_ROW(id, file, w, h, keyed, field, load, paint, label, tint)                 \
  {file ".bmp", &Game::field, load, keyed},
const PictureRow kPictureRows[kPictureCount] = {VARKEL_PICTURES(VARKEL_PICTURE_ROW)};
#undef VARKEL_PICTURE_ROW

// Drink and eat take turns in the one special control, by the place chosen.
const PlaceRow kPlaces[] = {
    {"HÔTEL", kPictureBackgroundRoom, kPictureCount, NULL, NULL},
    {"PUIT", kPictureBackgroundWell, kPictureDrink, ActionDrink, &Game::rct_bmp_analyze},
    {"CIMETIERE", kPictureBackgroundGraveyard, kPictureCount, NULL, NULL},
    {"FORÊT", kPictureBackgroundForest, kPictureEat, ActionEat, &Game::rct_bmp_analyze},
};

const size_t kPlaceCount = SDL_arraysize(kPlaces);

const PlaceRow *FindPlace(const char *name) {
  for (size_t n = 0; n < kPlaceCount; n++)
    if (strcmp(name, kPlaces[n].name) == 0) return &kPlaces[n];
  return NULL;
}

int PlaceSpecial(Game *jeu, const PlaceRow *place) {
  jeu->rct_bmp_special.x = (Sint16)(jeu->screen_w - jeu->sfc_bmp_special->w);
  jeu->rct_bmp_special.y = (Sint16)((jeu->*place->special_above).y - jeu->sfc_bmp_special->h);
  return 0;
}

int LoadPictureRow(Game *jeu, PictureId picture) {
  const PictureRow *row = &kPictureRows[picture];
  snprintf(jeu->tmp_string, sizeof(jeu->tmp_string), "%s%s", jeu->path_pictures, row->file);
  SDL_Surface *loaded = SDL_LoadBMP(jeu->tmp_string);
  if (loaded == NULL) return LogError(jeu, "SDL_LoadBMP: %s.\n\a");
  SDL_FreeSurface(jeu->*row->field); // the drink picture gives way to the eat picture
  jeu->*row->field = loaded;
  return 0;
}

// Every picture of one stage, in the list's order.
static int LoadPictures(Game *jeu, PictureLoad load) {
  for (int n = 0; n < kPictureCount; n++)
    if (kPictureRows[n].load == load && LoadPictureRow(jeu, (PictureId)n)) return QuitLibraries();
  return 0;
}

static int CreateBar(Game *jeu, SDL_Surface **field, int w, int h) {
  *field = SDL_CreateRGBSurface(SDL_HWSURFACE, w, h, 32, 0, 0, 0, 0);
  if (*field == NULL) return FailAndQuit(jeu, "SDL_CreateRGBSurface: %s.\n\a");
  return 0;
}

static int CreateBars(Game *jeu) {
  int w = jeu->screen_w, h = jeu->screen_h;
  return CreateBar(jeu, &jeu->sfc_bar_up, w, h / 6) ||
         CreateBar(jeu, &jeu->sfc_bar_nickname, w / 3, jeu->size_font1) ||
         CreateBar(jeu, &jeu->sfc_bar_password, w / 3, jeu->size_font1) ||
         CreateBar(jeu, &jeu->sfc_bar_speak, w, jeu->size_font_speak) ||
         CreateBar(jeu, &jeu->sfc_bar_place, w / 3, jeu->size_font_place) ||
         CreateBar(jeu, &jeu->sfc_bar_help, w - w / 12, jeu->size_font_help) ||
         CreateBar(jeu, &jeu->sfc_bar_message, w - w / 12, jeu->size_font_message);
}

static void Place(SDL_Rect *rect, int x, int y) {
  rect->x = (Sint16)x;
  rect->y = (Sint16)y;
}

static void LayOut(Game *jeu) {
  int W = jeu->screen_w, H = jeu->screen_h;
  Place(&jeu->rct_bmp_subscribe, W / 2, H / 3);
  Place(&jeu->rct_bmp_connect, W / 2, jeu->rct_bmp_subscribe.y + 2 * jeu->sfc_bmp_subscribe->h);
  Place(&jeu->rct_bmp_suicide, W / 2, jeu->rct_bmp_connect.y + 2 * jeu->sfc_bmp_connect->h);
  Place(&jeu->rct_bmp_quit, W / 2, jeu->rct_bmp_suicide.y + 2 * jeu->sfc_bmp_suicide->h);
  Place(&jeu->rct_bmp_speak, W - jeu->sfc_bmp_speak->w,
        H - jeu->sfc_bar_speak->h - jeu->sfc_bmp_speak->h);
  Place(&jeu->rct_bmp_refresh, W - jeu->sfc_bmp_refresh->w,
        jeu->rct_bmp_speak.y - jeu->sfc_bmp_refresh->h);
  Place(&jeu->rct_bmp_disconnect, W - jeu->sfc_bmp_disconnect->w,
        jeu->rct_bmp_refresh.y - jeu->sfc_bmp_disconnect->h);
  Place(&jeu->rct_bmp_move, W - jeu->sfc_bmp_move->w,
        jeu->rct_bmp_disconnect.y - jeu->sfc_bmp_move->h);
  Place(&jeu->rct_bmp_analyze, W - jeu->sfc_bmp_analyze->w,
        jeu->rct_bmp_move.y - jeu->sfc_bmp_analyze->h);
  Place(&jeu->rct_bmp_special, 0, 0);
  Place(&jeu->rct_bmp_cursor, 0, 0);
  Place(&jeu->rct_bmp_fullscreen, 0, H / 6);
  Place(&jeu->rct_bmp_window, jeu->sfc_bmp_fullscreen->w, H / 6);
  Place(&jeu->rct_bmp_profil, 2 * jeu->sfc_bmp_window->w, H / 6);
  Place(&jeu->rct_bmp_noprofil, 3 * jeu->sfc_bmp_profil->w, H / 6);
  Place(&jeu->rct_bmp_screenshot, 4 * jeu->sfc_bmp_noprofil->w, H / 6);
  Place(&jeu->rct_text_state, 0, jeu->sfc_bar_up->h / 2 - jeu->size_font1 / 2);
  Place(&jeu->rct_bar_nickname, 0, H / 3);
  Place(&jeu->rct_bar_password, 0, jeu->rct_bar_nickname.y + 2 * jeu->sfc_bar_nickname->h);
  Place(&jeu->rct_bar_speak, 0, H - jeu->sfc_bar_speak->h);
  Place(&jeu->rct_bar_place, jeu->rct_bmp_move.x - jeu->sfc_bar_place->w, jeu->rct_bmp_move.y);
  Place(&jeu->rct_bar_help, 0, 0);
  Place(&jeu->rct_bar_message, W / 12, H / 2);
  jeu->rct_text_nickname = jeu->rct_bar_nickname;
  jeu->rct_text_password = jeu->rct_bar_password;
  jeu->rct_text_speak = jeu->rct_bar_speak;
  Place(&jeu->rct_text_help, 0, 0);
  Place(&jeu->rct_text_message, W / 12, H / 2);
  jeu->rct_text_place = jeu->rct_bar_place;
  Place(&jeu->rct_bmp_arrow_up, jeu->rct_text_message.x - jeu->sfc_bmp_arrow_up->w,
        jeu->rct_text_message.y - jeu->size_font_message / 2);
  Place(&jeu->rct_bmp_arrow_down, jeu->rct_bmp_arrow_up.x - jeu->sfc_bmp_arrow_down->w,
        jeu->rct_bmp_arrow_up.y);
}

int SetOpacity(SDL_Surface *surface, Uint8 alpha) {
  SDL_SetAlpha(surface, alpha == kOpaque ? 0 : SDL_SRCALPHA, alpha);
  return 0;
}

int FillBar(SDL_Surface *bar, SDL_Color colour) {
  SDL_FillRect(bar, NULL, SDL_MapRGB(bar->format, colour.r, colour.g, colour.b));
  return 0;
}

static void SetTranslucent(Game *jeu);

// The keyed pictures loaded at start; the generator paints no white into them.
static int SetWhiteKeys(Game *jeu) {
  for (const PictureRow &row : kPictureRows) {
    if (!row.keyed || row.load == kLoadLater) continue;
    SDL_Surface *surface = jeu->*row.field;
    Uint32 white = SDL_MapRGB(surface->format, 255, 255, 255);
    if (SDL_SetColorKey(surface, SDL_SRCCOLORKEY, white) == -1) {
      LogError(jeu, "Erreur: %s\n\a");
      SDL_Quit();
      return 1;
    }
  }
  return 0;
}

static int OpenFont(Game *jeu, TTF_Font **field, int size) {
  *field = TTF_OpenFont(jeu->tmp_string, size);
  if (*field == NULL) return FailAndQuit(jeu, "TTF_OpenFont: %s.\n\a");
  return 0;
}

static int OpenFonts(Game *jeu) {
  snprintf(jeu->tmp_string, sizeof(jeu->tmp_string), "%sfont.ttf", jeu->path_fonts);
  return OpenFont(jeu, &jeu->font1, jeu->size_font1) ||
         OpenFont(jeu, &jeu->font_help, jeu->size_font_help) ||
         OpenFont(jeu, &jeu->font_speak, jeu->size_font_speak) ||
         OpenFont(jeu, &jeu->font_message, jeu->size_font_message) ||
         OpenFont(jeu, &jeu->font_place, jeu->size_font_place);
}

static void SetColours(Game *jeu) {
  jeu->color_font1 = SDL_Color{255, 255, 255, 0};
  jeu->color_font_help = SDL_Color{0, 0, 0, 0};
  jeu->color_font_speak = SDL_Color{255, 255, 255, 0};
  jeu->color_font_message = SDL_Color{100, 200, 100, 0};
  jeu->color_font_place = SDL_Color{255, 255, 0, 0};
}

static int RenderFirstTexts(Game *jeu) {
  snprintf(jeu->tmp_string, sizeof(jeu->tmp_string), "Bienvenue sur Varkel version %d",
           jeu->version);
  FILE *log = jeu->file_log;
  // RenderText skips the empty nickname, password and sentence.
  return RenderText(jeu->font1, jeu->tmp_string, jeu->color_font1, &jeu->sfc_text_state, log) ||
         RenderText(jeu->font1, jeu->login, jeu->color_font1, &jeu->sfc_text_nickname, log) ||
         RenderText(jeu->font1, jeu->password_hide, jeu->color_font1, &jeu->sfc_text_password,
                    log) ||
         RenderHelp(jeu, jeu->help) ||
         RenderText(jeu->font_speak, jeu->speak, jeu->color_font_speak, &jeu->sfc_text_speak,
                    log) ||
         RenderText(jeu->font_message, jeu->message, jeu->color_font_message,
                    &jeu->sfc_text_message, log) ||
         RenderText(jeu->font_place, jeu->place, jeu->color_font_place, &jeu->sfc_text_place, log);
}

// The remembered nickname, taken only when it fits `login`; nothing is
// trimmed. A file refused by OpenOwnFile counts as absent.
static void ReadNickname(Game *jeu) {
  snprintf(jeu->tmp_string, sizeof(jeu->tmp_string), "%snickname.dat", jeu->path_texts);
  if (OpenOwnFile(jeu->tmp_string, kFileRead, &jeu->file)) {
    if (errno != ENOENT) fprintf(jeu->file_log, "fopen: unable to open %s.\n", jeu->tmp_string);
    return;
  }
  if (fgets(jeu->datas_file, sizeof(jeu->datas_file), jeu->file) == NULL) jeu->datas_file[0] = 0;
  fclose(jeu->file);
  jeu->file = NULL;
  if (strlen(jeu->datas_file) < sizeof(jeu->login))
    snprintf(jeu->login, sizeof(jeu->login), "%s", jeu->datas_file);
}

int LoadGame(Game *jeu) {
  // Action threads are few and short: left to itself the allocator gives
  // the first ones arenas of their own, each 64 MB of address space.
  mallopt(M_ARENA_MAX, 1);
  if (jeu->lock == NULL) jeu->lock = SDL_CreateMutex();
  if (jeu->memory_lock == NULL) jeu->memory_lock = SDL_CreateMutex();
  if (jeu->lock == NULL || jeu->memory_lock == NULL)
    return FailAndQuit(jeu, "SDL_CreateMutex: %s\n");
  SDL_EnableUNICODE(1);
  ReadNickname(jeu);
  if (LoadPictures(jeu, kLoadFirst)) return 1;
  SDL_ShowCursor(0);
  SDL_EnableKeyRepeat(500, 40);
  if (LoadPictures(jeu, kLoadBeforeBars)) return 1;
  if (CreateBars(jeu)) return 1;
  if (LoadPictures(jeu, kLoadAfterBars)) return 1;
  LayOut(jeu);
  jeu->help_bar_w = (Uint16)jeu->sfc_bar_help->w;
  SetTranslucent(jeu);
  if (SetWhiteKeys(jeu)) return 1;
  if (OpenFonts(jeu)) return 1;
  SetColours(jeu);
  if (RenderFirstTexts(jeu)) return QuitLibraries();
  FillBar(jeu->sfc_bar_help, kBarHelp);
  SDL_WM_SetCaption("Varkel", "Varkel");
  SDL_WM_SetIcon(jeu->sfc_bmp_icon, NULL);
  SetOpacity(jeu->sfc_bar_help, kHidden);
  SetOpacity(jeu->sfc_text_help, kHidden);
  return 0;
}

/* Drawing. */

int FitToDisplay(Game *jeu, SDL_Surface **field) {
  // A new picture may reuse the freed one's address: the count tells frames.
  jeu->pictures_fitted++;
  if (SDL_GetVideoSurface() == NULL || *field == NULL) return 0;
  SDL_Surface *fitted = SDL_DisplayFormat(*field);
  if (fitted == NULL) return LogError(jeu, "SDL_DisplayFormat: %s\n");
  SDL_FreeSurface(*field);
  *field = fitted;
  return 0;
}

int MouseOnSurface(Sint16 rct_x, Sint16 rct_y, int sfc_w, int sfc_h, Uint16 mouse_x,
                   Uint16 mouse_y) {
  int x = mouse_x, y = mouse_y;
  return rct_x <= x && x <= rct_x + sfc_w && rct_y <= y && y <= rct_y + sfc_h;
}

int UpdateStateMessage(Game *jeu) {
  if (jeu->message_alpha > 0) {
    jeu->message_alpha--;
    SDL_SetAlpha(jeu->sfc_text_state, SDL_SRCALPHA, (Uint8)jeu->message_alpha);
  }
  return 0;
}

static int LoginTyped(const Game *jeu) {
  return jeu->login[0] != '\0';
}
static int PasswordTyped(const Game *jeu) {
  return jeu->password[0] != '\0';
}
static int SpeakTyped(const Game *jeu) {
  return jeu->speak[0] != '\0';
}
// An empty heard line has no surface of its own: nothing is shown.
static int MessageHeard(const Game *jeu) {
  return jeu->message[0] != '\0';
}
static int SignInScreen(const Game *jeu) {
  return strcmp(jeu->etat, kDisconnected) == 0;
}
static int InGameScreen(const Game *jeu) {
  return strcmp(jeu->etat, kConnected) == 0;
}

// What is drawn besides the controls, below and above them.
static const DrawItem kMainBelow[] = {
    {&Game::sfc_bmp_background, NULL, NULL, kBlitFailed, kPicture, NULL},
    {&Game::sfc_bar_up, NULL, NULL, kBlitFailedDot, kTranslucentPicture, NULL},
};

static const DrawItem kMainAbove[] = {
    {&Game::sfc_text_state, &Game::rct_text_state, NULL, kBlitFailedDot, kText, NULL},
};

static const DrawItem kSignInAbove[] = {
    {&Game::sfc_text_nickname, &Game::rct_text_nickname, LoginTyped, kBlitFailedDot, kText, NULL},
    {&Game::sfc_text_password, &Game::rct_text_password, PasswordTyped, kBlitFailedDot, kText,
     NULL},
};

static const DrawItem kInGameBelow[] = {
    {&Game::sfc_bar_message, &Game::rct_bar_message, NULL, kBlitFailed, kTranslucentPicture, NULL},
};

static const DrawItem kInGameAbove[] = {
    {&Game::sfc_text_speak, &Game::rct_text_speak, SpeakTyped, kBlitFailedDot, kText, NULL},
    {&Game::sfc_text_message, &Game::rct_text_message, MessageHeard, kBlitFailedDot, kText, NULL},
    {&Game::sfc_text_place, &Game::rct_text_place, NULL, kBlitFailedDot, kText, NULL},
};

// The bar is drawn only as wide as the current help text.
static const DrawItem kHelp[] = {
    {&Game::sfc_bar_help, &Game::rct_bar_help, NULL, kBlitFailed, kPicture, &Game::help_bar_w},
    {&Game::sfc_text_help, &Game::rct_text_help, NULL, kBlitFailedDot, kText, NULL},
};

static const DrawItem kCursor[] = {
    {&Game::sfc_bmp_cursor, &Game::rct_bmp_cursor, NULL, kBlitFailedDot, kPicture, NULL},
};

namespace {
// One of the five lists, in stacking order: what lies below its controls,
// the controls of its screen (if `controls`), what lies above them. A list
// is drawn when its screen is on.
typedef struct DrawList {
  const DrawItem *below;
  size_t below_count;
  bool controls;
  ControlScreen screen;
  const DrawItem *above;
  size_t above_count;
  DrawCondition when;
} DrawList;
} // namespace

static const DrawList kFrame[] = {
    {kMainBelow, SDL_arraysize(kMainBelow), true, kOnBoth, kMainAbove, SDL_arraysize(kMainAbove),
     NULL},
    {NULL, 0, true, kOnSignIn, kSignInAbove, SDL_arraysize(kSignInAbove), SignInScreen},
    {kInGameBelow, SDL_arraysize(kInGameBelow), true, kOnInGame, kInGameAbove,
     SDL_arraysize(kInGameAbove), InGameScreen},
    {kHelp, SDL_arraysize(kHelp), false, kOnBoth, NULL, 0, NULL},
    {kCursor, SDL_arraysize(kCursor), false, kOnBoth, NULL, 0, NULL},
};

static_assert(SDL_arraysize(kMainBelow) + SDL_arraysize(kMainAbove) + SDL_arraysize(kSignInAbove) +
                      SDL_arraysize(kInGameBelow) + SDL_arraysize(kInGameAbove) +
                      SDL_arraysize(kHelp) + SDL_arraysize(kCursor) + VARKEL_CONTROLS ==
                  VARKEL_DRAWN_ITEMS,
              "every row of the draw lists has its place in Game::drawn");

// The rows of a list in drawing order; returns how many.
static size_t ListRows(const DrawList *list, const DrawItem **rows) {
  size_t count = 0;
  for (size_t n = 0; n < list->below_count; n++)
    rows[count++] = &list->below[n];
  for (const Control &control : kControls)
    if (list->controls && control.screen == list->screen) rows[count++] = &control.look;
  for (size_t n = 0; n < list->above_count; n++)
    rows[count++] = &list->above[n];
  return count;
}

static void SetTranslucent(Game *jeu) {
  const DrawItem *rows[VARKEL_DRAWN_ITEMS];
  for (const DrawList &list : kFrame)
    for (size_t n = 0, count = ListRows(&list, rows); n < count; n++)
      if (rows[n]->content == kTranslucentPicture) SetOpacity(jeu->*rows[n]->surface, kTranslucent);
}

// Every picture and bar the lists draw; texts stay as rendered.
int FitPicturesToDisplay(Game *jeu) {
  const DrawItem *rows[VARKEL_DRAWN_ITEMS];
  for (const DrawList &list : kFrame)
    for (size_t n = 0, count = ListRows(&list, rows); n < count; n++)
      if (rows[n]->content != kText && FitToDisplay(jeu, &(jeu->*rows[n]->surface))) return 1;
  return 0;
}

static int Holds(const Game *jeu, DrawCondition when) {
  return when == NULL || when(jeu);
}

// The part of the surface a row draws: all of it, or as wide as its width.
static SDL_Rect SourceOf(const Game *jeu, const DrawItem *item) {
  const SDL_Surface *surface = jeu->*item->surface;
  Uint16 w = item->width != NULL ? jeu->*item->width : (Uint16)surface->w;
  return SDL_Rect{0, 0, w, (Uint16)surface->h};
}

// Blits onto a copy of the position: SDL clips the rectangle it is given,
// and the position must stay where the layout put it.
static int Blit(Game *jeu, const DrawItem *item) {
  SDL_Rect where = {0, 0, 0, 0};
  if (item->at != NULL) where = jeu->*item->at;
  SDL_Rect source = SourceOf(jeu, item);
  if (SDL_BlitSurface(jeu->*item->surface, &source, jeu->sfc_screen, &where) == -1)
    return FailAndQuit(jeu, item->log_line);
  return 0;
}

static int DrawRows(Game *jeu, const DrawList *list) {
  if (!Holds(jeu, list->when)) return 0;
  const DrawItem *rows[VARKEL_DRAWN_ITEMS];
  for (size_t n = 0, count = ListRows(list, rows); n < count; n++)
    if (Holds(jeu, rows[n]->when) && Blit(jeu, rows[n])) return 1;
  return 0;
}

int DisplayMainObjects(Game *jeu) {
  return DrawRows(jeu, &kFrame[0]);
}

int DisplayDisconnectedObjects(Game *jeu) {
  return DrawRows(jeu, &kFrame[1]);
}

int DisplayConnectedObjects(Game *jeu) {
  return DrawRows(jeu, &kFrame[2]);
}

int DisplayHelp(Game *jeu) {
  return DrawRows(jeu, &kFrame[3]);
}

int DisplayCursor(Game *jeu) {
  return DrawRows(jeu, &kFrame[4]);
}

/* What changed since the last frame. */

static SDL_Rect Intersection(SDL_Rect a, SDL_Rect b) {
  int x0 = a.x > b.x ? a.x : b.x, y0 = a.y > b.y ? a.y : b.y;
  int x1 = a.x + a.w < b.x + b.w ? a.x + a.w : b.x + b.w;
  int y1 = a.y + a.h < b.y + b.h ? a.y + a.h : b.y + b.h;
  if (x1 <= x0 || y1 <= y0) return SDL_Rect{0, 0, 0, 0};
  return SDL_Rect{(Sint16)x0, (Sint16)y0, (Uint16)(x1 - x0), (Uint16)(y1 - y0)};
}

static SDL_Rect Union(SDL_Rect a, SDL_Rect b) {
  int x0 = a.x < b.x ? a.x : b.x, y0 = a.y < b.y ? a.y : b.y;
  int x1 = a.x + a.w > b.x + b.w ? a.x + a.w : b.x + b.w;
  int y1 = a.y + a.h > b.y + b.h ? a.y + a.h : b.y + b.h;
  return SDL_Rect{(Sint16)x0, (Sint16)y0, (Uint16)(x1 - x0), (Uint16)(y1 - y0)};
}

static SDL_Rect WholeScreen(const Game *jeu) {
  return SDL_Rect{0, 0, (Uint16)jeu->sfc_screen->w, (Uint16)jeu->sfc_screen->h};
}

// FNV-1a over the rows of a surface's pixels.
static Uint32 PixelsPrint(SDL_Surface *surface) {
  Uint32 print = 2166136261u;
  size_t row_bytes = (size_t)surface->w * surface->format->BytesPerPixel;
  SDL_LockSurface(surface);
  for (int y = 0; y < surface->h; y++) {
    const Uint8 *row = (const Uint8 *)surface->pixels + (size_t)y * surface->pitch;
    for (size_t n = 0; n < row_bytes; n++)
      print = (print ^ row[n]) * 16777619u;
  }
  SDL_UnlockSurface(surface);
  return print;
}

// A text may be rendered again at the address of the one it replaced; a
// picture replaced shows in the count of pictures fitted.
static Uint32 LookOf(const Game *jeu, const DrawItem *item) {
  SDL_Surface *surface = jeu->*item->surface;
  Uint32 look = (surface->flags & (SDL_SRCALPHA | SDL_SRCCOLORKEY)) ^ surface->format->alpha;
  look = look * 31 + surface->format->colorkey;
  if (item->content == kText) return look * 31 + PixelsPrint(surface);
  return look * 31 + jeu->pictures_fitted;
}

static DrawnItem Describe(const Game *jeu, const DrawItem *item, int drawn) {
  DrawnItem described = {NULL, {0, 0, 0, 0}, 0};
  SDL_Surface *surface = jeu->*item->surface;
  if (!drawn || surface == NULL) return described;
  // Fully transparent (a hidden help, a faded message): drawing it changes nothing.
  if ((surface->flags & SDL_SRCALPHA) && surface->format->alpha == 0) return described;
  SDL_Rect source = SourceOf(jeu, item);
  SDL_Rect at = {0, 0, source.w, source.h};
  if (item->at != NULL) {
    at.x = (jeu->*item->at).x;
    at.y = (jeu->*item->at).y;
  }
  described.surface = surface;
  described.area = Intersection(at, WholeScreen(jeu));
  described.look = LookOf(jeu, item);
  return described;
}

static void DescribeFrame(const Game *jeu, DrawnItem *now) {
  size_t row = 0;
  const DrawItem *rows[VARKEL_DRAWN_ITEMS];
  for (const DrawList &list : kFrame) {
    int shown = Holds(jeu, list.when);
    for (size_t n = 0, count = ListRows(&list, rows); n < count; n++, row++)
      now[row] = Describe(jeu, rows[n], shown && Holds(jeu, rows[n]->when));
  }
}

static int SameItem(const DrawnItem *a, const DrawnItem *b) {
  return a->surface == b->surface && a->area.x == b->area.x && a->area.y == b->area.y &&
         a->area.w == b->area.w && a->area.h == b->area.h && a->look == b->look;
}

static int Overlap(SDL_Rect a, SDL_Rect b) {
  return a.x <= b.x + b.w && b.x <= a.x + a.w && a.y <= b.y + b.h && b.y <= a.y + a.h;
}

// Adds an area to the list, joined with those it touches; when the list is
// full, into its last one.
static void AddArea(SDL_Rect *areas, int *count, SDL_Rect area) {
  if (area.w == 0 || area.h == 0) return;
  for (int n = 0; n < *count; n++) {
    if (!Overlap(areas[n], area)) continue;
    area = Union(areas[n], area);
    areas[n] = areas[--*count];
    n = -1; // the larger area may touch one passed already
  }
  if (*count == VARKEL_CHANGED_AREAS) {
    areas[*count - 1] = Union(areas[*count - 1], area);
    return;
  }
  areas[(*count)++] = area;
}

// The areas to compose again: where a changed row was and where it is now.
static int ChangedAreas(Game *jeu, const DrawnItem *now, SDL_Rect *areas) {
  if (jeu->show_next) {
    areas[0] = WholeScreen(jeu);
    return 1;
  }
  int count = 0;
  for (int row = 0; row < VARKEL_DRAWN_ITEMS; row++) {
    if (SameItem(&jeu->drawn[row], &now[row])) continue;
    AddArea(areas, &count, jeu->drawn[row].area);
    AddArea(areas, &count, now[row].area);
  }
  return count;
}

// The whole stack, clipped to one area: the same pixels a whole frame has
// there.
static int ComposeArea(Game *jeu, SDL_Rect area) {
  SDL_SetClipRect(jeu->sfc_screen, &area);
  SDL_FillRect(jeu->sfc_screen, &area, 0);
  if (DisplayMainObjects(jeu) || DisplayDisconnectedObjects(jeu) || DisplayConnectedObjects(jeu) ||
      DisplayHelp(jeu) || DisplayCursor(jeu))
    return 1;
  SDL_SetClipRect(jeu->sfc_screen, NULL);
  return 0;
}

// The display surface keeps its pixels between frames (SDL presents a copy
// of it), so the areas that did not change are still right.
int DrawFrame(Game *jeu) {
  UpdateStateMessage(jeu);
  DrawnItem now[VARKEL_DRAWN_ITEMS];
  DescribeFrame(jeu, now);
  SDL_Rect areas[VARKEL_CHANGED_AREAS];
  int count = ChangedAreas(jeu, now, areas);
  memcpy(jeu->drawn, now, sizeof(now));
  jeu->show_next = 0;
  if (count == 0) return 0;
  for (int n = 0; n < count; n++) {
    if (ComposeArea(jeu, areas[n])) return 1;
    jeu->pixels_shown += (Uint64)areas[n].w * areas[n].h;
  }
  SDL_UpdateRects(jeu->sfc_screen, count, areas);
  jeu->frames_shown++;
  return 0;
}
