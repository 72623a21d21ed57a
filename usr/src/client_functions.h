// SPDX-License-Identifier: MIT
// varkel_client: the one Game record and every function of the client.
//
// Return conventions, one per kind of function, in every file of the client:
// - Functions that do something (most of them, taking the record's address)
//   return 0 on success, 1 on failure, the failure already logged.
// - Handlers on the main thread (HandleEvent and what it calls) return 1
//   only when the process must end with status 1; they have already logged
//   and shut the libraries down. A failure the player can live with is shown
//   and returns 0.
// - Predicates, named for the question they answer (MouseOnSurface, Hit,
//   IsState, Holds...), return 1 for yes, 0 for no.
// - Look-ups return a pointer, NULL when nothing matches; measures return
//   the value they measure.
// - Inside an action the steps report an Outcome (client_actions.cpp), which
//   the action turns into 0 or 1 at its end.
//
// Threads: the frame loop and the action threads share the record. `lock`
// guards it: the loop holds it while it handles an event or draws a frame; an
// action takes it only to write the record (and to render, SDL_ttf is not
// thread-safe), never while it waits on the network.
#ifndef CLIENT_FUNCTIONS_H
#define CLIENT_FUNCTIONS_H

#include <stdio.h>

#include <SDL/SDL.h>
#include <SDL/SDL_net.h>
#include <SDL/SDL_thread.h>
#include <SDL/SDL_ttf.h>

#include "common/varkel_address.h"
#include "common/varkel_pictures.h"
#include "common/varkel_wire.h"

// How long an action waits for one reply before it counts as lost.
#define VARKEL_REPLY_TIMEOUT_MS 10000
// How long a whole networked action may wait on the server, all replies
// together: a server slow on purpose cannot hold the client for minutes.
#define VARKEL_ACTION_TIMEOUT_MS 30000

#define VARKEL_FRAME_MS 40

// Rows of the five draw lists together; help texts kept rendered; areas one
// frame may redraw before they are joined into one.
#define VARKEL_DRAWN_ITEMS 33
#define VARKEL_HELP_TEXTS 12
#define VARKEL_CHANGED_AREAS 8

// One row of the draw lists as the last composed frame showed it.
typedef struct DrawnItem {
  SDL_Surface *surface; // NULL: not drawn
  SDL_Rect area;        // where, clipped to the screen
  Uint32 look;          // its alpha and colour key, and a text's pixels
} DrawnItem;

// A help text rendered once and kept for the next time the pointer finds it.
typedef struct HelpText {
  char text[55];
  SDL_Surface *surface;
} HelpText;

// Action threads that may be alive at once: one networked action and the
// memory actions started beside it.
#define VARKEL_ACTION_THREADS 16

struct Game;

// Why an action could not reach a chosen server, told to the player.
typedef enum FailureCause {
  kCauseNone = 0,  // the network failed some other way
  kCauseName,      // the server's name is not known
  kCauseSilent,    // nothing answers at its address
  kCauseChanged,   // its certificate is not the one kept at first contact
  kCauseUntrusted, // no authority trusted vouches for its certificate
  kCauseNotVarkel, // it does not speak the game's conversation
  kCauseCount
} FailureCause;
struct Transport;

// An action thread until it has been waited on.
typedef struct ActionThread {
  SDL_Thread *thread; // NULL: the slot is free
  int (*action)(void *);
  struct Game *jeu;
  int done; // the action has returned (written under the lock)
} ActionThread;

// The record must start zeroed (main's is static): replacing a surface
// frees the one it replaces.
typedef struct Game {
  // Connection and exchange scratch.
  IPaddress ip;
  TCPsocket tcpsock; // NULL whenever no connection is open
  int len;
  int result;
  char *datas_sent;
  char datas_received[1024];

  // Player input and texts.
  char login[9];
  char password[9];
  char speak[50];
  char message[50];
  char help[55];
  char password_hide[9];
  char place[10];
  char place_current[10];
  char etat[1024];
  char edit[1024];

  // Surfaces.
  SDL_Surface *sfc_screen;
  SDL_Surface *sfc_bmp_icon;
  SDL_Surface *sfc_bmp_background;
  SDL_Surface *sfc_bmp_subscribe;
  SDL_Surface *sfc_bmp_connect;
  SDL_Surface *sfc_bmp_quit;
  SDL_Surface *sfc_bmp_speak;
  SDL_Surface *sfc_bmp_refresh;
  SDL_Surface *sfc_bmp_analyze;
  SDL_Surface *sfc_bmp_disconnect;
  SDL_Surface *sfc_bmp_move;
  SDL_Surface *sfc_bmp_special;
  SDL_Surface *sfc_bmp_arrow_up;
  SDL_Surface *sfc_bmp_arrow_down;
  SDL_Surface *sfc_bmp_suicide;
  SDL_Surface *sfc_bmp_cursor;
  SDL_Surface *sfc_bmp_fullscreen;
  SDL_Surface *sfc_bmp_window;
  SDL_Surface *sfc_bmp_profil;
  SDL_Surface *sfc_bmp_noprofil;
  SDL_Surface *sfc_bmp_screenshot;
  SDL_Surface *sfc_text_state;
  SDL_Surface *sfc_text_nickname;
  SDL_Surface *sfc_text_password;
  SDL_Surface *sfc_text_speak;
  SDL_Surface *sfc_text_message;
  SDL_Surface *sfc_text_place;
  SDL_Surface *sfc_text_help;
  SDL_Surface *sfc_bar_up;
  SDL_Surface *sfc_bar_nickname;
  SDL_Surface *sfc_bar_password;
  SDL_Surface *sfc_bar_speak;
  SDL_Surface *sfc_bar_place;
  SDL_Surface *sfc_bar_message;
  SDL_Surface *sfc_bar_help;

  // Positions (only x and y are used).
  SDL_Rect rct_bmp_subscribe;
  SDL_Rect rct_bmp_connect;
  SDL_Rect rct_bmp_quit;
  SDL_Rect rct_bmp_speak;
  SDL_Rect rct_bmp_refresh;
  SDL_Rect rct_bmp_analyze;
  SDL_Rect rct_bmp_disconnect;
  SDL_Rect rct_bmp_move;
  SDL_Rect rct_bmp_arrow_up;
  SDL_Rect rct_bmp_arrow_down;
  SDL_Rect rct_bmp_suicide;
  SDL_Rect rct_bmp_cursor;
  SDL_Rect rct_bmp_fullscreen;
  SDL_Rect rct_bmp_window;
  SDL_Rect rct_bmp_profil;
  SDL_Rect rct_bmp_noprofil;
  SDL_Rect rct_bmp_special;
  SDL_Rect rct_bmp_screenshot;
  SDL_Rect rct_text_state;
  SDL_Rect rct_text_nickname;
  SDL_Rect rct_text_password;
  SDL_Rect rct_text_speak;
  SDL_Rect rct_text_message;
  SDL_Rect rct_text_place;
  SDL_Rect rct_text_help;
  SDL_Rect rct_bar_nickname;
  SDL_Rect rct_bar_password;
  SDL_Rect rct_bar_speak;
  SDL_Rect rct_bar_place;
  SDL_Rect rct_bar_message;
  SDL_Rect rct_bar_help;

  // Fonts and colours.
  TTF_Font *font1;
  TTF_Font *font_speak;
  TTF_Font *font_message;
  TTF_Font *font_place;
  TTF_Font *font_help;
  SDL_Color color_font1;
  SDL_Color color_font_speak;
  SDL_Color color_font_message;
  SDL_Color color_font_place;
  SDL_Color color_font_help;
  int size_font1;
  int size_font_speak;
  int size_font_message;
  int size_font_place;
  int size_font_help;

  // Screen, loop and timing.
  int screen_w;
  int screen_h;
  SDL_Event event_1;
  Uint32 current_time;
  Uint32 last_time;
  int message_alpha;
  int loop;
  int current_message;

  // Scratch buffers, files and configuration.
  char tmp_string[1024];
  char tmp_string2[1024];
  int i;
  FILE *file;
  char datas_file[1024];
  char path_pictures[1024];
  char path_fonts[1024];
  char path_texts[1024];
  char path_log[1024];
  FILE *file_log;
  int version;
  char ip_server[19];
  int port_server;

  // Guarding and plumbing of the threads.
  SDL_mutex *lock;                        // the record's one lock (created by LoadGame)
  SDL_mutex *memory_lock;                 // keeps a listening and memory browsing apart on chat.dat
  SDL_Thread *thread_connect;             // handle of the last action started
  WireReader reader;                      // bytes of the open connection not yet read as replies
  Uint32 reply_timeout_ms;                // time limit on one reply
  Uint16 help_bar_w;                      // drawn width of the help bar
  HelpText help_texts[VARKEL_HELP_TEXTS]; // sfc_text_help is one of these
  Uint32 pictures_fitted;                 // counts pictures fitted: a replaced one shows as changed
  DrawnItem drawn[VARKEL_DRAWN_ITEMS];    // what the last composed frame showed
  int show_next;                          // compose and send the whole next frame
  int frame_wanted;                       // an event was handled since the last frame
  int display_fd;                         // the display connection the loop sleeps on; -1: none
  Uint32 frames_shown;                    // frames sent to the display so far
  Uint64 pixels_shown;                    // pixels sent to the display so far

  // Every action thread not yet waited on.
  ActionThread action_threads[VARKEL_ACTION_THREADS];

  // Time limit on the whole networked action that runs.
  Uint32 action_timeout_ms;
  Uint32 action_deadline; // SDL_GetTicks() by which the networked action must be over

  // A server the player chose (VARKEL_SERVER), reached through the
  // system's resolver and sockets: SDL_net knows neither IPv6, nor long
  // names, nor a time limit. An empty host: the built-in ip_server.
  ServerAddress server_chosen;
  int socket_chosen; // the open connection to it; -1 when none
  // The conversation over TLS with a tls:// server (server_chosen.tls),
  // NULL otherwise. Its connection is exchange scratch.
  struct ClientTls *tls;
  // How the actions reach the server, chosen once per game by
  // ChooseServer; NULL: SDL_net to the built-in one.
  const struct Transport *transport;
  // The open connection stays for the next action: the server keeps it
  // (agreed in the TLS handshake). Exchange scratch.
  int kept;
  // Why the action could not reach the chosen server (exchange scratch),
  // and the cause the player was last told of, told once until it changes.
  FailureCause failure_cause;
  FailureCause failure_told;
} Game;

// A control's position and picture, named as members of the record, so that
// the draw lists, hover groups and click chains can be tables.
typedef SDL_Rect Game::*RectField;
typedef SDL_Surface *Game::*SurfaceField;

typedef int (*ActionFunction)(void *);

/* Named values. */

// Per-surface alpha: controls rest translucent and light up under the pointer.
static const Uint8 kOpaque = 255;
static const Uint8 kTranslucent = 155;
static const Uint8 kHidden = 0;

// The memory holds the lines 1 (-99) to 100 (0) of the last listening;
// current_message is the position shown.
static const int kOldestPosition = 1 - WIRE_LISTEN_LINES;
static const int kNewestPosition = 0;

static const SDL_Color kBarIdle = {0, 0, 0, 0};
static const SDL_Color kBarFocused = {17, 206, 112, 0};
static const SDL_Color kBarHelp = {255, 255, 155, 0};

// The state words that choose the screen (etat); any other is a busy word.
static const char kDisconnected[] = "disconnected";
static const char kConnected[] = "connected";

// A failed blit's log lines.
static const char kBlitFailed[] = "SDL_BlitSurface: %s\n\a";
static const char kBlitFailedDot[] = "SDL_BlitSurface: %s.\n\a";

/* Draw lists and controls. */

typedef int (*DrawCondition)(const Game *jeu);

// What a drawn surface holds: a picture or bar (fitted to the display, or
// filled by a click), translucent until the pointer lights it or not, or a
// rendered text, whose pixels tell it apart.
typedef enum Content { kPicture, kTranslucentPicture, kText } Content;

// One row of the draw lists: a blit of a surface at a position (NULL: the
// whole screen from its corner), when its condition holds, as wide as its
// width field says (NULL: the surface's own width).
typedef struct DrawItem {
  SurfaceField surface;
  RectField at;
  DrawCondition when;
  const char *log_line;
  Content content;
  Uint16 Game::*width;
} DrawItem;

// Where a control is: on both screens, or on one.
typedef enum ControlScreen { kOnBoth, kOnSignIn, kOnInGame } ControlScreen;

struct Control;
// What a click on a control does. 1 only when the process must end.
typedef int (*ClickEffect)(Game *jeu, const struct Control *control);

// A control, written once: its name, its screen, its row in that screen's draw list
// (its picture or bar and its position), the help shown over it (NULL:
// none), and what a click does, with the action it starts or the answer it
// shows. Hover, clicks, drawing and the fitting of pictures all read it.
typedef struct Control {
  const char *name; // its fields' names without their prefixes: "bmp_speak", "bar_speak"
  ControlScreen screen;
  DrawItem look;
  const char *help;
  ClickEffect click;
  ActionFunction action;
  const char *answer;
} Control;

// Every control, each screen's in the order a click examines them
// (client_input.cpp).
#define VARKEL_CONTROLS 21
extern const Control kControls[VARKEL_CONTROLS];
// The control called `name`; NULL when there is none.
const Control *FindControl(const char *name);

/* Pictures (common/varkel_pictures.h). */

// When the client loads a picture: the icon before the cursor is hidden,
// the controls around the bars, the places' backgrounds when they are needed.
typedef enum PictureLoad {
  kLoadFirst,
  kLoadBeforeBars,
  kLoadAfterBars,
  kLoadLater,
} PictureLoad;

#define VARKEL_PICTURE_ID(id, file, w, h, keyed, field, load, paint, label, tint) kPicture##id,
typedef enum PictureId { VARKEL_PICTURES(VARKEL_PICTURE_ID) kPictureCount } PictureId;
#undef VARKEL_PICTURE_ID

typedef struct PictureRow {
  const char *file; // in path_pictures
  SurfaceField field;
  PictureLoad load;
  bool keyed; // white is transparent
} PictureRow;

// Indexed by PictureId (client_screen.cpp).
extern const PictureRow kPictureRows[kPictureCount];

/* Places (client_screen.cpp). */

// A place of the place field, in the order a click cycles through them; the
// first is where a character starts. A place with a special control shows
// it at the right edge, just above the control `special_above`.
typedef struct PlaceRow {
  const char *name;
  PictureId background;
  PictureId special; // kPictureCount: none
  ActionFunction special_action;
  RectField special_above;
} PlaceRow;

extern const PlaceRow kPlaces[];
extern const size_t kPlaceCount;
// The place called `name`; NULL when there is none.
const PlaceRow *FindPlace(const char *name);
// Puts the special control where it stands at a place that has one, for
// the picture it holds.
int PlaceSpecial(Game *jeu, const PlaceRow *place);
// Loads a picture into its field of the record; a failure is logged
// "SDL_LoadBMP: %s.\n\a" and returns 1 with the field as it was.
int LoadPictureRow(Game *jeu, PictureId picture);
// Sets a surface's alpha. Fully opaque goes without per-surface alpha, which
// blits the same: this SDL refuses a colour-keyed 8-bit surface (a rendered
// text) at alpha 255.
int SetOpacity(SDL_Surface *surface, Uint8 alpha);
// Fills a bar with a colour.
int FillBar(SDL_Surface *bar, SDL_Color colour);

// Record (client_screen.cpp).
int InitGame(Game *jeu);

// Resources and drawing (client_screen.cpp).
int LoadGame(Game *jeu);
int MouseOnSurface(Sint16 rct_x, Sint16 rct_y, int sfc_w, int sfc_h, Uint16 mouse_x,
                   Uint16 mouse_y);
int UpdateStateMessage(Game *jeu);
int DisplayMainObjects(Game *jeu);
int DisplayDisconnectedObjects(Game *jeu);
int DisplayConnectedObjects(Game *jeu);
int DisplayHelp(Game *jeu);
int DisplayCursor(Game *jeu);
// Converts a picture to the display's format (keeping its alpha and colour
// key) so that each frame blits it without converting it again; nothing
// happens before a video mode exists. Caller holds the lock once actions run.
int FitToDisplay(Game *jeu, SDL_Surface **field);
// FitToDisplay on every picture and bar that frames draw.
int FitPicturesToDisplay(Game *jeu);
// One frame: fade, clear, the five draw lists, flip; but only where a row
// of the lists changed since the last frame (its picture, place, alpha or
// colour key, a text's pixels), and only those areas are sent to the
// display. show_next asks for the whole frame (set by every event but a
// pointer motion: an exposed window, a new video mode, a focused bar).
// Caller holds the lock.
int DrawFrame(Game *jeu);
// Makes sfc_text_help the rendering of text (also copied into `help`),
// rendered the first time only. Caller holds the lock. A failure logs
// "TTF_RenderUTF8_Solid: %s.\n\a" and returns 1.
int RenderHelp(Game *jeu, const char *text);
// Renders text into *field, freeing the surface it replaces. Caller holds
// the lock. An empty text leaves the field as it was (SDL_ttf cannot render
// one). A failure logs "TTF_RenderUTF8_Solid: %s.\n\a" and returns 1.
int RenderText(TTF_Font *font, const char *text, SDL_Color color, SDL_Surface **field,
               FILE *file_log);
// Renders a state message at full strength. Caller holds the lock.
int ShowStateMessage(Game *jeu, const char *text);
// Writes format to the log with SDL_GetError() as its %s; returns 1.
int LogError(Game *jeu, const char *format);
// SDLNet_Quit then SDL_Quit; returns 1.
int QuitLibraries(void);
// LogError then QuitLibraries; returns 1.
int FailAndQuit(Game *jeu, const char *format);

// Files (client_files.cpp).
typedef enum FileUse {
  kFileRead,  // an existing file, for reading
  kFileWrite, // created if missing (0600), emptied, for reading and writing
} FileUse;
// Opens path without following a symbolic link and without blocking, and
// keeps it only when it is a regular file owned by the player; a file of
// another user is never emptied. 1 when refused or missing, with errno.
int OpenOwnFile(const char *path, FileUse use, FILE **stream);
// OpenOwnFile on path_texts followed by name, the path built into `path`.
// A refusal is logged "fopen: unable to open %s.\n" and shown as the state
// message. Caller holds the lock.
int OpenDataFile(Game *jeu, const char *name, FileUse use, char *path, size_t path_size,
                 FILE **stream);

// Writes format to the log with text as its %s, the bytes that would act on
// a terminal (controls, malformed UTF-8) written as \xNN and the backslash
// doubled: what a server sends is shown, never obeyed.
int LogText(FILE *file_log, const char *format, const char *text);

// Input (client_input.cpp). Caller holds the lock.
int HandleEvent(Game *jeu);
int HandleKey(Game *jeu);
int HandleMotion(Game *jeu);
int HandleClick(Game *jeu);
// Waits on every action thread whose action has returned, so that its
// stack is given back. Never waits on a running action. Caller holds the lock.
int ReapActions(Game *jeu);

// Server conversation (client_actions.cpp). Each action runs on its own
// thread and takes the record's address as Data.
int Hello(void *query, Game *jeu);
int ActionSubscribe(void *Data);
int ActionConnect(void *Data);
int ActionUnsubscribe(void *Data);
int ActionDisconnect(void *Data);
int ActionSpeak(void *Data);
int ActionRefresh(void *Data);
int ActionAnalyze(void *Data);
int ActionDrink(void *Data);
int ActionEat(void *Data);
int ActionMove(void *Data);
int ActionRememberBefore(void *Data);
int ActionRememberAfter(void *Data);
// The busy word an action stores first; NULL for the memory actions.
const char *ActionBusyWord(int (*action)(void *));
// Closes the action's connection if one is open. Caller holds the lock.
int CloseConnection(Game *jeu);
// Takes the server from VARKEL_SERVER's value (HOST, HOST:PORT, [IPV6],
// [IPV6]:PORT or a bare IPv6 address, each maybe after "tls://") into
// server_chosen; NULL or empty keeps the built-in one. For TLS only the
// authorities of the file VARKEL_CA_FILE names are trusted when it is set,
// else the system's. A malformed value or an unreadable authority file
// prints a line naming the bad part on standard output and returns 1.
int ChooseServer(Game *jeu, const char *value);

// TLS (client_tls.cpp) over a connected socket, checked against the
// authorities trusted, keeping the last session for the next connection.
// Failures set the SDL error, which names the cause ("TLS: certificate
// verify failed: ..."); every wait ends by `deadline` (SDL ticks). Without
// ca_file, a certificate no authority vouches for is kept at first
// contact in known_path as `server`'s, and only it is taken after.
struct ClientTls;
int ClientTlsNew(const char *ca_file, const char *known_path, const char *server,
                 struct ClientTls **out);
void ClientTlsFree(struct ClientTls *tls);
// The handshake on fd (made non-blocking), the certificate made out to host.
int ClientTlsOpen(struct ClientTls *tls, int fd, const char *host, Uint32 deadline);
// Bytes sent or received; 0 when the server closed, below 0 on a failure.
int ClientTlsSend(struct ClientTls *tls, const char *data, int length, Uint32 deadline);
int ClientTlsReceive(struct ClientTls *tls, char *buffer, int size, Uint32 deadline);
// Ends the session; the socket stays the caller's to close.
void ClientTlsClose(struct ClientTls *tls);
// 1 when the open connection may carry the next conversation: the server
// has neither closed it nor failed it; never waits.
int ClientTlsAlive(struct ClientTls *tls);
// 1 when the last connection opened resumed a session.
int ClientTlsResumed(const struct ClientTls *tls);
// 1 when the server keeps the open connection for the next conversation.
int ClientTlsKept(const struct ClientTls *tls);
// Why the last opening failed, for the player.
FailureCause ClientTlsCause(const struct ClientTls *tls);
// 1 when the last opening kept the server's certificate at first contact.
int ClientTlsFirstContact(const struct ClientTls *tls);
// The file where certificates are kept at first contact ("" when none).
const char *ClientTlsKnownPath(const struct ClientTls *tls);

#endif
