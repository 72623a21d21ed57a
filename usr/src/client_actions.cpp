// SPDX-License-Identifier: MIT
// Server conversation: the wire, the identification and the twelve actions.
//
// Threads. An action takes jeu->lock only to copy from the record what it
// will send (the player may be typing), to write the record, to render
// (SDL_ttf is not thread-safe) and to swap surfaces, never while it waits
// on the network. It closes its connection and writes its final state word
// in one hold of the lock, after its message and pictures: a frame sees the
// whole ending or none of it, and a new action cannot start on a connection
// still open. The exchange scratch (ip, tcpsock, len, result, datas_sent,
// datas_received, reader, tmp_string2) belongs to the one networked action
// running; tmp_string is only touched under jeu->lock, since the memory
// actions run beside the others. chat.dat, `file`, `i` and `datas_file` are
// kept apart by memory_lock, held by a listening and by memory browsing for
// their whole run (memory_lock is always taken before jeu->lock).
#include "client_functions.h"
#include "common/varkel_options.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char kCheckConnection[] = "Vous devez vérifier votre connexion!";
static const char kNothingHeard[] = "VEUILLEZ ECOUTER";
static const char kStatusUnshown[] = "Votre état ne peut pas s'afficher!";
static const char kDisconnected[] = "disconnected";
static const char kConnected[] = "connected";

namespace {
// How an action's step went.
typedef enum Outcome {
  kDone,          // on to the next step
  kNetworkFailed, // resolve, open, send, receive or time limit; logged
  kLocalFailed,   // picture, rendering or file; logged
  kEnded,         // a refusal or verdict has already ended the action
} Outcome;
} // namespace

static void Lock(Game *jeu) {
  SDL_LockMutex(jeu->lock);
}
static void Unlock(Game *jeu) {
  SDL_UnlockMutex(jeu->lock);
}

// Caller holds the lock.
static void StoreState(Game *jeu, const char *word) {
  snprintf(jeu->etat, sizeof(jeu->etat), "%s", word);
}

// Copies text into a field of `size` bytes, cut before the first UTF-8
// character that does not fit whole.
static void CopyCut(char *field, size_t size, const char *text) {
  size_t length = strlen(text);
  if (length >= size) {
    length = size - 1;
    while (length > 0 && ((unsigned char)text[length] & 0xC0) == 0x80)
      length--;
  }
  snprintf(field, size, "%.*s", (int)length, text);
}

/* The wire. Every message goes out through SendText and comes in through
   ReceiveReply, which write the log lines. */

// When the waits of a TLS step must be over: the action's deadline, or a
// reply's time limit when no action runs.
static Uint32 ActionEnd(const Game *jeu) {
  return jeu->action_deadline != 0 ? jeu->action_deadline : SDL_GetTicks() + jeu->reply_timeout_ms;
}

// A peer that has gone makes send() raise SIGPIPE. The signal is held back
// on this thread for the send and dropped: the send simply comes up short.
static int SendWithoutSignal(Game *jeu, const char *data, int len) {
  sigset_t pipe_signal, previous;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  errno = 0;
  int sent = jeu->tls != NULL ? ClientTlsSend(jeu->tls, data, len, ActionEnd(jeu))
                              : SDLNet_TCP_Send(jeu->tcpsock, data, len);
  int error = errno;
  if (sent < len) {
    struct timespec no_wait = {0, 0};
    if (!sigismember(&previous, SIGPIPE)) sigtimedwait(&pipe_signal, NULL, &no_wait);
    if (jeu->tls == NULL) SDL_SetError("%s", error != 0 ? strerror(error) : "connection lost");
  }
  pthread_sigmask(SIG_SETMASK, &previous, NULL);
  return sent;
}

// Sends text with its NUL in one call; the log shows `shown`.
static int SendText(Game *jeu, const char *text, const char *shown) {
  jeu->datas_sent = const_cast<char *>(text);
  jeu->len = (int)strlen(text) + 1;
  jeu->result = SendWithoutSignal(jeu, text, jeu->len);
  jeu->datas_sent = NULL;
  if (jeu->result < jeu->len) return LogError(jeu, "SDLNet_TCP_Send: %s\n");
  fprintf(jeu->file_log, "Sent: \"%s\"\n", shown);
  return 0;
}

// How long the next wait may last: what is left of the reply's time limit,
// counted from `started`, and of the action's. 0 with the error set when
// either is spent.
static Uint32 TimeLeft(const Game *jeu, Uint32 started) {
  Uint32 now = SDL_GetTicks();
  Uint32 waited = now - started;
  if (waited >= jeu->reply_timeout_ms) {
    SDL_SetError("reply timed out after %u ms", (unsigned)jeu->reply_timeout_ms);
    return 0;
  }
  Uint32 left = jeu->reply_timeout_ms - waited;
  if (jeu->action_deadline == 0) return left;
  Sint32 action_left = (Sint32)(jeu->action_deadline - now);
  if (action_left <= 0) {
    SDL_SetError("action timed out after %u ms", (unsigned)jeu->action_timeout_ms);
    return 0;
  }
  return (Uint32)action_left < left ? (Uint32)action_left : left;
}

// The same over TLS, whose bytes may already wait inside OpenSSL.
static int ReceiveTlsBytes(Game *jeu, Uint32 started) {
  Uint32 left = TimeLeft(jeu, started);
  if (left == 0) return 1;
  size_t room;
  char *space = WireSpace(&jeu->reader, &room);
  int got = ClientTlsReceive(jeu->tls, space, (int)room, SDL_GetTicks() + left);
  if (got <= 0) return 1;
  WireCommit(&jeu->reader, (size_t)got);
  return 0;
}

// Adds what has arrived on the connection to the reader, waiting for it
// within the time limits.
static int ReceiveBytes(Game *jeu, SDLNet_SocketSet set, Uint32 started) {
  if (jeu->tls != NULL) return ReceiveTlsBytes(jeu, started);
  int ready = 0;
  while (ready == 0) {
    Uint32 left = TimeLeft(jeu, started);
    if (left == 0) return 1;
    ready = SDLNet_CheckSockets(set, left);
    if (ready < 0) {
      SDL_SetError("select: %s", strerror(errno));
      return 1;
    }
  }
  size_t room;
  char *space = WireSpace(&jeu->reader, &room);
  int got = SDLNet_TCP_Recv(jeu->tcpsock, space, (int)room);
  if (got == 0) SDL_SetError("connection closed by the server");
  if (got < 0) SDL_SetError("%s", strerror(errno));
  if (got <= 0) return 1;
  WireCommit(&jeu->reader, (size_t)got);
  return 0;
}

// Takes the next reply into datas_received: the bytes up to its NUL,
// gathered over as many receive calls as they take. Bytes after the NUL
// stay in the reader for the next reply of this connection. A reply that
// reaches 1024 bytes without a NUL is cut to its first 1023 bytes and
// terminated; the reader then skips the rest of it, up to and including its
// NUL, before the next reply. datas_received is always a terminated string.
static int ReceiveReply(Game *jeu) {
  SDLNet_SocketSet set = SDLNet_AllocSocketSet(1);
  if (set == NULL) return LogError(jeu, "SDLNet_TCP_Recv: %s\n");
  if (jeu->tcpsock != NULL) SDLNet_TCP_AddSocket(set, jeu->tcpsock);
  Uint32 started = SDL_GetTicks();
  int failed = 0;
  while (!failed &&
         WireTakeMessage(&jeu->reader, jeu->datas_received, sizeof(jeu->datas_received)) != 0)
    failed = ReceiveBytes(jeu, set, started);
  SDLNet_FreeSocketSet(set);
  if (failed) return LogError(jeu, "SDLNet_TCP_Recv: %s\n");
  fprintf(jeu->file_log, "Received: \"%s\"\n", jeu->datas_received);
  return 0;
}

// Never a plain connection to a tls:// server: a failure of TLS is one of
// the network.
static int OpenTlsConnection(Game *jeu) {
  if (ClientTlsOpen(jeu->tls, jeu->ip_server, jeu->port_server, ActionEnd(jeu)))
    return LogError(jeu, "%s\n");
  Lock(jeu);
  WireReset(&jeu->reader);
  Unlock(jeu);
  return 0;
}

// Resolves the server and opens the action's connection.
static int OpenConnection(Game *jeu) {
  if (jeu->tls != NULL) return OpenTlsConnection(jeu);
  SDL_ClearError();
  if (SDLNet_ResolveHost(&jeu->ip, jeu->ip_server, (Uint16)jeu->port_server) == -1) {
    if (SDL_GetError()[0] == '\0') SDL_SetError("unknown host %s", jeu->ip_server);
    return LogError(jeu, "SDLNet_ResolveHost: %s\n");
  }
  TCPsocket socket = SDLNet_TCP_Open(&jeu->ip);
  if (socket == NULL) return LogError(jeu, "SDLNet_TCP_Open: %s\n");
  Lock(jeu);
  jeu->tcpsock = socket;
  WireReset(&jeu->reader);
  Unlock(jeu);
  return 0;
}

int CloseConnection(Game *jeu) {
  if (jeu->tls != NULL) ClientTlsClose(jeu->tls);
  if (jeu->tcpsock != NULL) SDLNet_TCP_Close(jeu->tcpsock);
  jeu->tcpsock = NULL;
  return 0;
}

/* Pictures (under the lock). */

// The replaced surface is freed under the lock: no frame is using it. The
// new one is fitted to the display like the pictures loaded at start.
static int LoadPictureInto(Game *jeu, PictureId picture) {
  if (LoadPictureRow(jeu, picture)) return 1;
  return FitToDisplay(jeu, &(jeu->*kPictureRows[picture].field));
}

// A character wakes up in the first place's room.
static int EnterRoom(Game *jeu) {
  return LoadPictureInto(jeu, kPlaces[0].background);
}

static int BackToSignIn(Game *jeu) {
  return LoadPictureInto(jeu, kPictureBackground);
}

// The sign-in screen's labels are part of the hall's picture: every way
// back from the game brings it along. Its failure is logged and does not
// keep the player from the sign-in screen.
static int HallFromTheGame(Game *jeu) {
  BackToSignIn(jeu);
  return 0;
}

static int FromTheGame(const char *start_word) {
  return strcmp(start_word, kConnected) == 0;
}

/* Endings. */

namespace {
// Runs under the lock; 1 on a local failure, already logged.
typedef int (*Hook)(Game *jeu);

// The end of a conversation: `before`, the state message (NULL: the status
// text composed in tmp_string2), `after`, the closing, the final state word.
typedef struct Ending {
  Hook before;
  const char *message;
  Hook after;
  const char *final_word;
} Ending;
} // namespace

// The status text is the one result made of the server's words: should it
// still fail to render, a fixed sentence takes its place.
static int ShowResult(Game *jeu, const Ending *ending) {
  if (ending->message != NULL) return ShowStateMessage(jeu, ending->message);
  return ShowStateMessage(jeu, jeu->tmp_string2) && ShowStateMessage(jeu, kStatusUnshown);
}

// All in one hold of the lock, so that the final word becomes visible with
// the message and pictures already in place.
static Outcome Finish(Game *jeu, const Ending *ending) {
  Lock(jeu);
  int failed = (ending->before != NULL && ending->before(jeu)) || ShowResult(jeu, ending) ||
               (ending->after != NULL && ending->after(jeu));
  if (!failed) {
    CloseConnection(jeu);
    StoreState(jeu, ending->final_word);
  }
  Unlock(jeu);
  return failed ? kLocalFailed : kDone;
}

// A refusal, or a verdict that ends the action: its message and the
// sign-in screen; nothing more is sent.
static Outcome EndEarly(Game *jeu, const char *message, const char *start_word) {
  const Ending ending = {FromTheGame(start_word) ? HallFromTheGame : NULL, message, NULL,
                         kDisconnected};
  return Finish(jeu, &ending) == kDone ? kEnded : kLocalFailed;
}

// How a failed action ends, so that the client never stays busy: a network
// failure is shown as an unreachable server and sends the player back to
// the sign-in screen; a local failure puts back the action's first state
// word (a refused file has shown why). Returns the action's result.
static int EndAction(Game *jeu, const char *start_word, Outcome outcome) {
  if (outcome == kDone) return 0;
  if (outcome == kEnded) return 1;
  Lock(jeu);
  CloseConnection(jeu);
  if (outcome == kNetworkFailed) {
    if (FromTheGame(start_word)) HallFromTheGame(jeu);
    ShowStateMessage(jeu, kCheckConnection);
    StoreState(jeu, kDisconnected);
  } else {
    StoreState(jeu, start_word);
  }
  Unlock(jeu);
  return 1;
}

/* Identification: four steps, one reply each, a table of reply words. */

namespace {
typedef enum StepText { kVersionText, kQueryText, kLoginText, kPasswordText } StepText;

typedef struct Refusal {
  const char *word;
  const char *message;
} Refusal;

typedef struct Step {
  StepText text;
  Refusal refusals[2]; // tested in this order; word NULL: none
} Step;
} // namespace

enum { kIdentificationSteps = WIRE_IDENTIFICATION_MESSAGES };

static const Step kHelloSteps[kIdentificationSteps] = {
    {kVersionText, {{WIRE_BAD_VERSION, "Vous devez télécharger la nouvelle version!"}}},
    {kQueryText, {}},
    {kLoginText,
     {{WIRE_BAD_LOGIN, "Ce nom n'existe pas!"}, {WIRE_DEAD, "Cette personne est décédée!"}}},
    {kPasswordText, {{WIRE_BAD_PASSWORD, "Ce code est incorrect!"}}},
};

static const Step kSubscribeSteps[kIdentificationSteps] = {
    {kVersionText, {{WIRE_BAD_VERSION, "Vous devez télécharger la nouvelle version!"}}},
    {kQueryText, {}},
    {kLoginText, {{WIRE_BAD_LOGIN, "Ce nom est déjà utilisé!"}}},
    {kPasswordText, {}},
};

// One "*" per character: the log never shows the password.
static void Mask(const char *text, char *shown, size_t size) {
  size_t n = 0;
  for (; *text != '\0' && n + 1 < size; text++)
    if (((unsigned char)*text & 0xC0) != 0x80) shown[n++] = '*';
  shown[n] = '\0';
}

// What a step sends, copied under the lock, and what the log shows of it.
static void TakeStepText(Game *jeu, StepText text, const char *query, char *out, size_t size,
                         char *shown, size_t shown_size) {
  Lock(jeu);
  if (text == kVersionText) {
    snprintf(jeu->tmp_string, sizeof(jeu->tmp_string), "%d", jeu->version);
    snprintf(out, size, "%s", jeu->tmp_string);
  }
  if (text == kQueryText) snprintf(out, size, "%s", query);
  if (text == kLoginText) snprintf(out, size, "%s", jeu->login);
  if (text == kPasswordText) snprintf(out, size, "%s", jeu->password);
  Unlock(jeu);
  if (text == kPasswordText)
    Mask(out, shown, shown_size);
  else
    snprintf(shown, shown_size, "%s", out);
}

static Outcome RunSteps(Game *jeu, const Step *steps, const char *query, const char *start_word) {
  for (int n = 0; n < kIdentificationSteps; n++) {
    char text[WIRE_MESSAGE_MAX], shown[WIRE_MESSAGE_MAX];
    TakeStepText(jeu, steps[n].text, query, text, sizeof(text), shown, sizeof(shown));
    if (SendText(jeu, text, shown) || ReceiveReply(jeu)) return kNetworkFailed;
    for (const Refusal &refusal : steps[n].refusals)
      if (refusal.word != NULL && strcmp(jeu->datas_received, refusal.word) == 0)
        return EndEarly(jeu, refusal.message, start_word);
  }
  return kDone;
}

// 0 when identified, the connection open; 1 when the action has ended.
static int Identify(Game *jeu, const Step *steps, const char *query, const char *start_word) {
  Outcome outcome = RunSteps(jeu, steps, query, start_word);
  return outcome == kDone ? 0 : EndAction(jeu, start_word, outcome);
}

/* The actions' own messages, after the identification: what each one
   says and how many replies it takes come from kWireConversations. */

// The name once more, copied under the lock.
static int SendLogin(Game *jeu) {
  char login[sizeof(jeu->login)];
  Lock(jeu);
  snprintf(login, sizeof(login), "%s", jeu->login);
  Unlock(jeu);
  return SendText(jeu, login, login);
}

static int SendSpeech(Game *jeu) {
  Lock(jeu);
  snprintf(jeu->datas_received, sizeof(jeu->datas_received), "%s%s%s", jeu->login,
           WIRE_SPEECH_SEPARATOR, jeu->speak);
  Unlock(jeu);
  return SendText(jeu, jeu->datas_received, jeu->datas_received);
}

// Takes reply n (0 the first) in datas_received, before its "OK" if any.
typedef Outcome (*Heard)(Game *jeu, int n, void *context);

static Outcome Talk(Game *jeu, const WireConversation *conversation, Heard heard, void *context) {
  if (conversation->client_says == WIRE_SAYS_NAME && SendLogin(jeu)) return kNetworkFailed;
  if (conversation->client_says == WIRE_SAYS_SPEECH && SendSpeech(jeu)) return kNetworkFailed;
  for (int n = 0; n < conversation->replies; n++) {
    if (ReceiveReply(jeu)) return kNetworkFailed;
    Outcome outcome = heard != NULL ? heard(jeu, n, context) : kDone;
    if (outcome != kDone) return outcome;
    if (conversation->acknowledged && SendText(jeu, WIRE_OK, WIRE_OK)) return kNetworkFailed;
  }
  return kDone;
}

static Outcome HeardVerdict(Game *jeu, int, void *) {
  if (strcmp(jeu->datas_received, WIRE_DEAD) != 0) return kDone;
  return EndEarly(jeu, "Vous êtes déjà décédé!", kDisconnected);
}

static Outcome Verdict(Game *jeu, const WireConversation *conversation) {
  return Talk(jeu, conversation, HeardVerdict, NULL);
}

// A line break inside a heard line would make two lines of chat.dat and
// shift every memory position after it: it is kept as a blank.
static void KeepOnOneLine(char *text) {
  for (char *c = text; *c != '\0'; c++)
    if (*c == '\n' || *c == '\r') *c = ' ';
}

// One heard line into chat.dat.
static Outcome HeardLine(Game *jeu, int, void *) {
  KeepOnOneLine(jeu->datas_received);
  fprintf(jeu->file, "%s\n", jeu->datas_received);
  fprintf(jeu->file_log, "Wroten: \"%s\n\"\n", jeu->datas_received);
  return kDone;
}

// The listening: every line heard, chat.dat rewritten. The last line stays
// in datas_received for ShowHeardLine.
static Outcome Listening(Game *jeu, const WireConversation *conversation) {
  Lock(jeu);
  int refused = OpenDataFile(jeu, "chat.dat", kFileWrite, jeu->tmp_string, sizeof(jeu->tmp_string),
                             &jeu->file);
  Unlock(jeu);
  if (refused) return kLocalFailed;
  Outcome outcome = Talk(jeu, conversation, HeardLine, NULL);
  fclose(jeu->file);
  jeu->file = NULL;
  return outcome;
}

namespace {
typedef struct Need {
  const char *file;  // holds the value received, for the player's scripts
  const char *words; // put before the value in the status text
} Need;
} // namespace

static const Need kNeeds[] = {
    {"faim.dat", "Vous avez faim à "},
    {"soif.dat", "%, soif à "},
    {"sommeil.dat", "%, sommeil à "},
};

// Each value keeps at most this many bytes, cut at a character boundary:
// the three values and the fixed words always fit tmp_string2. The screen
// takes fewer (FitStatus).
enum { kStatusValueMax = 300, kStatusValueKept = 3 };
static_assert(3 * kStatusValueMax + 44 < sizeof(((Game *)0)->tmp_string2), "status text fits");

static int WriteStatusFile(Game *jeu, const char *name) {
  Lock(jeu);
  int failed =
      OpenDataFile(jeu, name, kFileWrite, jeu->tmp_string, sizeof(jeu->tmp_string), &jeu->file);
  if (!failed) {
    fprintf(jeu->file, "%s\n", jeu->datas_received);
    fclose(jeu->file);
  }
  jeu->file = NULL;
  Unlock(jeu);
  return failed;
}

enum { kNeedCount = SDL_arraysize(kNeeds) };
static_assert(kWireConversations[WIRE_STATUS].replies == kNeedCount, "one reply per need");
typedef char StatusValues[kNeedCount][kStatusValueMax + 1];

// The status text with each value cut to at most `characters` characters.
static void ComposeStatus(Game *jeu, const StatusValues values, int characters) {
  jeu->tmp_string2[0] = '\0';
  for (int n = 0; n < kNeedCount; n++) {
    int length = 0;
    for (int count = 0; values[n][length] != '\0'; length++)
      if (((unsigned char)values[n][length] & 0xC0) != 0x80 && count++ == characters) break;
    size_t used = strlen(jeu->tmp_string2);
    snprintf(jeu->tmp_string2 + used, sizeof(jeu->tmp_string2) - used, "%s%.*s", kNeeds[n].words,
             length, values[n]);
  }
  size_t used = strlen(jeu->tmp_string2);
  snprintf(jeu->tmp_string2 + used, sizeof(jeu->tmp_string2) - used, "%%");
}

static int StatusFits(Game *jeu, const StatusValues values, int characters) {
  int w = 0, h = 0;
  ComposeStatus(jeu, values, characters);
  return TTF_SizeUTF8(jeu->font1, jeu->tmp_string2, &w, &h) == 0 && w <= jeu->screen_w;
}

// Values of wide letters make a text wider than the screen, which SDL_ttf
// may refuse to render at all: every value is cut to the most characters
// that let the whole text fit the screen's width, but never below those of
// a whole need ("100"), which a cut would turn into another number. The
// text of three full needs is a little wider than the screen already.
// Caller holds the lock.
static void FitStatus(Game *jeu, const StatusValues values) {
  int fits = kStatusValueKept, wider = kStatusValueMax + 1;
  while (wider - fits > 1) {
    int middle = (fits + wider) / 2;
    if (StatusFits(jeu, values, middle))
      fits = middle;
    else
      wider = middle;
  }
  ComposeStatus(jeu, values, fits);
}

// One need into its file and into the values.
static Outcome HeardNeed(Game *jeu, int n, void *context) {
  if (WriteStatusFile(jeu, kNeeds[n].file)) return kLocalFailed;
  StatusValues &values = *(StatusValues *)context;
  CopyCut(values[n], sizeof(values[n]), jeu->datas_received);
  return kDone;
}

static Outcome Status(Game *jeu, const WireConversation *conversation) {
  StatusValues values;
  Outcome outcome = Talk(jeu, conversation, HeardNeed, &values);
  if (outcome != kDone) return outcome;
  Lock(jeu);
  FitStatus(jeu, values);
  Unlock(jeu);
  return kDone;
}

/* Pictures and lines shown at the end (hooks, under the lock). */

// Shows a heard or remembered line in the message bar, cut to `message`.
// An empty line shows nothing (the draw list skips an empty message). A
// line that cannot be rendered leaves the previous one.
static int ShowLine(Game *jeu, const char *line) {
  char previous[sizeof(jeu->message)];
  snprintf(previous, sizeof(previous), "%s", jeu->message);
  CopyCut(jeu->message, sizeof(jeu->message), line);
  if (RenderText(jeu->font_message, jeu->message, jeu->color_font_message, &jeu->sfc_text_message,
                 jeu->file_log) == 0)
    return 0;
  snprintf(jeu->message, sizeof(jeu->message), "%s", previous);
  return 1;
}

static int ShowHeardLine(Game *jeu) {
  int previous = jeu->current_message;
  jeu->current_message = 0;
  if (ShowLine(jeu, jeu->datas_received) == 0) return 0;
  jeu->current_message = previous;
  return 1;
}

static int LoadPlace(Game *jeu, const PlaceRow *place) {
  if (LoadPictureInto(jeu, place->background)) return 1;
  int special = place->special != kPictureCount;
  if (special) {
    if (LoadPictureInto(jeu, place->special)) return 1;
    jeu->rct_bmp_special.x = (Sint16)(jeu->screen_w - jeu->sfc_bmp_special->w);
    jeu->rct_bmp_special.y = (Sint16)((jeu->*place->special_above).y - jeu->sfc_bmp_special->h);
  }
  snprintf(jeu->place_current, sizeof(jeu->place_current), "%s", place->name);
  if (special) SetOpacity(jeu->sfc_bmp_special, kTranslucent);
  return 0;
}

// The server does not choose the place: the place bar does.
static int GoToPlace(Game *jeu) {
  const PlaceRow *place = FindPlace(jeu->place);
  return place != NULL ? LoadPlace(jeu, place) : 0;
}

/* The twelve actions. */

namespace {
typedef Outcome (*Exchange)(Game *jeu, const WireConversation *conversation);

typedef struct Memory {
  int step;
  const char *bound_message; // shown at the end of the lines
} Memory;

typedef struct ActionRow {
  int (*function)(void *);
  const char *busy_word;                // NULL: a memory action, which keeps etat
  const char *start_word;               // the screen it is started from
  const WireConversation *conversation; // NULL: no server
  const Step *identification;           // kHelloSteps, or the creation's own
  Exchange exchange;                    // what it makes of the replies; NULL: they are logged only
  Ending ending;
  Memory memory; // a memory action's way through the lines heard
} ActionRow;
} // namespace

static const ActionRow kActions[] = {
    {ActionSubscribe,
     "subscribtion",
     kDisconnected,
     &kWireConversations[WIRE_SUBSCRIBE],
     kSubscribeSteps,
     NULL,
     {NULL, "Vous êtes né.", NULL, kDisconnected},
     {}},
    {ActionConnect,
     "connexion",
     kDisconnected,
     &kWireConversations[WIRE_CONNECT],
     kHelloSteps,
     NULL,
     {NULL, "Vous êtes réveillé.", EnterRoom, kConnected},
     {}},
    {ActionUnsubscribe,
     "unsubscribtion",
     kDisconnected,
     &kWireConversations[WIRE_UNSUBSCRIBE],
     kHelloSteps,
     Verdict,
     {NULL, "Vous êtes mort.", NULL, kDisconnected},
     {}},
    {ActionDisconnect,
     "sleeping",
     kConnected,
     &kWireConversations[WIRE_SLEEP],
     kHelloSteps,
     NULL,
     {BackToSignIn, "Vous êtes endormi.", NULL, kDisconnected},
     {}},
    {ActionSpeak,
     "speaking",
     kConnected,
     &kWireConversations[WIRE_SPEAK],
     kHelloSteps,
     NULL,
     {NULL, "Vous avez parlé.", NULL, kConnected},
     {}},
    {ActionRefresh,
     "refreshing",
     kConnected,
     &kWireConversations[WIRE_LISTEN],
     kHelloSteps,
     Listening,
     {NULL, "Vous avez écouté.", ShowHeardLine, kConnected},
     {}},
    {ActionAnalyze,
     "analysing",
     kConnected,
     &kWireConversations[WIRE_STATUS],
     kHelloSteps,
     Status,
     {NULL, NULL, NULL, kConnected},
     {}},
    {ActionDrink,
     "drinking",
     kConnected,
     &kWireConversations[WIRE_DRINK],
     kHelloSteps,
     NULL,
     {NULL, "Vous avez étanché votre soif.", NULL, kConnected},
     {}},
    {ActionEat,
     "eating",
     kConnected,
     &kWireConversations[WIRE_EAT],
     kHelloSteps,
     NULL,
     {NULL, "Vous êtes rassasié.", NULL, kConnected},
     {}},
    {ActionMove,
     "moving",
     kConnected,
     &kWireConversations[WIRE_MOVE],
     kHelloSteps,
     NULL,
     {NULL, "Vous vous êtes déplacé.", GoToPlace, kConnected},
     {}},
    {ActionRememberBefore,
     NULL,
     kConnected,
     NULL,
     NULL,
     NULL,
     {NULL, "Vous cherchez dans votre mémoire.", NULL, NULL},
     {-1, "Vous ne vous souvenez plus!"}},
    {ActionRememberAfter,
     NULL,
     kConnected,
     NULL,
     NULL,
     NULL,
     {NULL, "Vous cherchez dans votre mémoire.", NULL, NULL},
     {+1, "C'est la dernière chose entendue!"}},
};

static const ActionRow *RowOf(int (*function)(void *)) {
  for (const ActionRow &row : kActions)
    if (row.function == function) return &row;
  return NULL;
}

const char *ActionBusyWord(int (*action)(void *)) {
  const ActionRow *row = RowOf(action);
  return row != NULL ? row->busy_word : NULL;
}

// For a caller that holds only the query word: the identification of the
// action that speaks it, from that action's screen.
int Hello(void *query, Game *jeu) {
  const char *word = (const char *)query;
  const char *start_word = kDisconnected;
  for (const ActionRow &row : kActions)
    if (row.conversation != NULL && strcmp(row.conversation->word, word) == 0)
      start_word = row.start_word;
  return Identify(jeu, kHelloSteps, word, start_word);
}

// The skeleton of the ten networked actions.
static int Converse(Game *jeu, const ActionRow *row) {
  Lock(jeu);
  StoreState(jeu, row->busy_word);
  Unlock(jeu);
  if (OpenConnection(jeu)) return EndAction(jeu, row->start_word, kNetworkFailed);
  if (Identify(jeu, row->identification, row->conversation->word, row->start_word)) return 1;
  Outcome outcome = row->exchange != NULL ? row->exchange(jeu, row->conversation)
                                          : Talk(jeu, row->conversation, NULL, NULL);
  if (outcome == kDone) outcome = Finish(jeu, &row->ending);
  return EndAction(jeu, row->start_word, outcome);
}

// The action's time limit runs from its start to its end.
static int RunNetworked(Game *jeu, const ActionRow *row) {
  jeu->action_deadline = SDL_GetTicks() + jeu->action_timeout_ms;
  if (jeu->action_deadline == 0) jeu->action_deadline = 1;
  int result = Converse(jeu, row);
  jeu->action_deadline = 0;
  return result;
}

/* Memory browsing: local, short, under both locks for its whole run. */

// One line of at most size - 1 bytes; the rest of a longer line is
// skipped, so that lines are still counted right. 1 at the end of the file.
static int ReadLine(FILE *file, char *line, int size) {
  if (fgets(line, size, file) == NULL) return 1;
  size_t length = strlen(line);
  if (length > 0 && line[length - 1] != '\n') {
    int c;
    while ((c = getc(file)) != EOF && c != '\n') {
    }
  }
  return 0;
}

// The line of the current position into datas_file; an empty line when
// chat.dat is shorter (a listening that stopped part-way).
static int ReadMemoryLine(Game *jeu) {
  if (OpenDataFile(jeu, "chat.dat", kFileRead, jeu->tmp_string, sizeof(jeu->tmp_string),
                   &jeu->file))
    return 1;
  int wanted = jeu->current_message + WIRE_LISTEN_LINES;
  int found = 0;
  jeu->i = 0;
  while (!found && ReadLine(jeu->file, jeu->datas_file, sizeof(jeu->datas_file)) == 0) {
    jeu->i++;
    found = jeu->i == wanted;
  }
  fclose(jeu->file);
  jeu->file = NULL;
  size_t length = found ? strlen(jeu->datas_file) : 0;
  if (length > 0 && jeu->datas_file[length - 1] == '\n') length--;
  jeu->datas_file[length] = '\0';
  return 0;
}

static int RememberLocked(Game *jeu, const ActionRow *row) {
  if (strcmp(jeu->message, kNothingHeard) == 0)
    return ShowStateMessage(jeu, "Vous n'avez encore rien écouté!");
  int next = jeu->current_message + row->memory.step;
  if (next < kOldestPosition || next > kNewestPosition)
    return ShowStateMessage(jeu, row->memory.bound_message);
  jeu->current_message = next;
  if (ReadMemoryLine(jeu)) return 1;
  fprintf(jeu->file_log, "Read: \"%s\" at line %d\n", jeu->datas_file, jeu->i);
  return ShowLine(jeu, jeu->datas_file) || ShowStateMessage(jeu, row->ending.message);
}

static int Remember(Game *jeu, const ActionRow *row) {
  SDL_LockMutex(jeu->memory_lock);
  Lock(jeu);
  int failed = RememberLocked(jeu, row);
  Unlock(jeu);
  SDL_UnlockMutex(jeu->memory_lock);
  return failed;
}

static int RunAction(void *Data, int (*function)(void *)) {
  Game *jeu = (Game *)Data;
  const ActionRow *row = RowOf(function);
  return row->busy_word == NULL ? Remember(jeu, row) : RunNetworked(jeu, row);
}

int ActionSubscribe(void *Data) {
  return RunAction(Data, ActionSubscribe);
}
int ActionConnect(void *Data) {
  return RunAction(Data, ActionConnect);
}
int ActionUnsubscribe(void *Data) {
  return RunAction(Data, ActionUnsubscribe);
}
int ActionDisconnect(void *Data) {
  return RunAction(Data, ActionDisconnect);
}
int ActionSpeak(void *Data) {
  return RunAction(Data, ActionSpeak);
}
int ActionAnalyze(void *Data) {
  return RunAction(Data, ActionAnalyze);
}
int ActionDrink(void *Data) {
  return RunAction(Data, ActionDrink);
}
int ActionEat(void *Data) {
  return RunAction(Data, ActionEat);
}
int ActionMove(void *Data) {
  return RunAction(Data, ActionMove);
}
int ActionRememberBefore(void *Data) {
  return RunAction(Data, ActionRememberBefore);
}
int ActionRememberAfter(void *Data) {
  return RunAction(Data, ActionRememberAfter);
}

// A listening rewrites chat.dat: no memory browsing meanwhile.
int ActionRefresh(void *Data) {
  Game *jeu = (Game *)Data;
  SDL_LockMutex(jeu->memory_lock);
  int failed = RunAction(Data, ActionRefresh);
  SDL_UnlockMutex(jeu->memory_lock);
  return failed;
}

// "HOST" or "HOST:PORT", or either after "tls://", read once at start so a
// player can pick a server without rebuilding; NULL or empty keeps the
// built-in address. A host's own authority for TLS comes in VARKEL_CA_FILE.
int ChooseServer(Game *jeu, const char *value) {
  if (value == NULL || value[0] == '\0') return 0;
  static const char kTlsScheme[] = "tls://";
  int tls = strncmp(value, kTlsScheme, strlen(kTlsScheme)) == 0;
  const char *host = tls ? value + strlen(kTlsScheme) : value;
  const char *colon = strchr(host, ':');
  size_t host_length = colon != NULL ? (size_t)(colon - host) : strlen(host);
  if (host_length == 0 || host_length >= sizeof(jeu->ip_server)) {
    printf("VARKEL_SERVER: the host must have 1 to %d characters: %s\n",
           (int)sizeof(jeu->ip_server) - 1, value);
    return 1;
  }
  int port = tls ? WIRE_TLS_PORT_DEFAULT : jeu->port_server;
  if (colon != NULL) {
    if (OptionNumber(colon + 1, 1, 65535, &port)) {
      printf("VARKEL_SERVER: the port must be a number from 1 to 65535: %s\n", value);
      return 1;
    }
  }
  if (tls && ClientTlsNew(getenv("VARKEL_CA_FILE"), &jeu->tls)) {
    printf("%s\n", SDL_GetError());
    return 1;
  }
  snprintf(jeu->ip_server, sizeof(jeu->ip_server), "%.*s", (int)host_length, host);
  jeu->port_server = port;
  return 0;
}
