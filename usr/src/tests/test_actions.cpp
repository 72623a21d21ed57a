// SPDX-License-Identifier: MIT
// The server conversation against a scripted server: the bytes of every
// conversation, refusals, memory browsing, status, and the mended faults
// (framing, time limit, closed peers, overlong and empty lines, files).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_scripted_server.h"

namespace {

typedef int (*ActionFunction)(void *);

static const char kCheckConnection[] = "Vous devez vérifier votre connexion!";
static const char kWelcome[] = "Bienvenue sur Varkel version " WIRE_VERSION_TEXT;

static std::string Times(const std::string &text, int count) {
  std::string out;
  for (int n = 0; n < count; n++)
    out += text;
  return out;
}

// Identification replies, then the rest of a script.
static Script Replies(const std::vector<std::string> &replies, const Script &rest = {}) {
  Script script;
  for (const std::string &reply : replies)
    script.push_back(Reply(reply));
  script.insert(script.end(), rest.begin(), rest.end());
  return script;
}

// Heard lines from..to (1 to 100) of the accepting listening, each answered.
static Script HeardLines(int from, int to) {
  Script script;
  for (int n = from; n <= to; n++) {
    script.push_back(SendBytes(Wire({HeardLine(n)})));
    script.push_back(Read());
  }
  return script;
}

static std::string ChatLines(int from, int to) {
  std::string text;
  for (int n = from; n <= to; n++)
    text += HeardLine(n) + "\n";
  return text;
}

static bool ValidUtf8(const char *text) {
  for (const unsigned char *at = (const unsigned char *)text; *at != 0;) {
    int extra = *at < 0x80 ? 0 : (*at & 0xE0) == 0xC0 ? 1 : (*at & 0xF0) == 0xE0 ? 2 : 3;
    for (int n = 1; n <= extra; n++)
      if ((at[n] & 0xC0) != 0x80) return false;
    at += extra + 1;
  }
  return true;
}

static ::testing::AssertionResult SamePixels(SDL_Surface *expected, SDL_Surface *actual) {
  if (expected == nullptr || actual == nullptr)
    return ::testing::AssertionFailure() << "no surface";
  if (expected->w != actual->w || expected->h != actual->h)
    return ::testing::AssertionFailure() << "size " << actual->w << "x" << actual->h
                                         << ", expected " << expected->w << "x" << expected->h;
  for (int y = 0; y < expected->h; y += 3)
    for (int x = 0; x < expected->w; x += 3)
      if (PixelAt(expected, x, y) != PixelAt(actual, x, y))
        return ::testing::AssertionFailure() << "pixel differs at " << x << "," << y;
  return ::testing::AssertionSuccess();
}

class Actions : public ::testing::Test {
protected:
  LoadedGame game;
  Game *jeu = game.jeu;
  ScriptedServer server;
  size_t connections = 0;

  void SetUp() override {
    server.PointAt(jeu);
    snprintf(jeu->login, sizeof(jeu->login), "%s", "bob");
    snprintf(jeu->password, sizeof(jeu->password), "%s", "secret");
    snprintf(jeu->password_hide, sizeof(jeu->password_hide), "%s", "******");
    // As typing them would have rendered them.
    RenderText(jeu->font1, jeu->login, jeu->color_font1, &jeu->sfc_text_nickname, jeu->file_log);
    RenderText(jeu->font1, jeu->password_hide, jeu->color_font1, &jeu->sfc_text_password,
               jeu->file_log);
  }

  void SetState(const char *word) { snprintf(jeu->etat, sizeof(jeu->etat), "%s", word); }

  // Runs an action on this thread against the script (none: the server's
  // accepting conversation) and returns its result once the server has
  // seen the connection end.
  int Run(ActionFunction action, const Script &script = {}) {
    if (!script.empty()) server.Queue(script);
    int result = action(jeu);
    EXPECT_TRUE(server.WaitConnections(++connections));
    return result;
  }

  std::string Sent() { return server.Received(connections - 1); }

  // The state message reads text; a fresh one is fully opaque.
  ::testing::AssertionResult ShowsState(const char *text, bool fresh = true) {
    SDL_Surface *expected = TTF_RenderUTF8_Solid(jeu->font1, text, jeu->color_font1);
    ::testing::AssertionResult same = SamePixels(expected, jeu->sfc_text_state);
    SDL_FreeSurface(expected);
    if (same && fresh && jeu->message_alpha != 255)
      return ::testing::AssertionFailure() << "alpha " << jeu->message_alpha;
    return same << " (state message, expected \"" << text << "\")";
  }

  ::testing::AssertionResult ShowsPicture(SDL_Surface *surface, const char *file) {
    SDL_Surface *expected = SDL_LoadBMP((std::string(jeu->path_pictures) + file).c_str());
    ::testing::AssertionResult same = SamePixels(expected, surface);
    SDL_FreeSurface(expected);
    return same << " (picture " << file << ")";
  }

  std::string Chat() { return ReadFileText(game.dir + "chat.dat"); }

  // Fields beside those an exchange writes are untouched, and the client
  // is in a state it can go on from.
  void ExpectSane() {
    EXPECT_STREQ(jeu->login, "bob");
    EXPECT_STREQ(jeu->help, "Voici Varkel");
    EXPECT_EQ(jeu->tcpsock, nullptr);
    EXPECT_NE(jeu->sfc_text_state, nullptr);
    EXPECT_LT(strlen(jeu->datas_received), sizeof(jeu->datas_received));
    EXPECT_LT(strlen(jeu->message), sizeof(jeu->message));
    EXPECT_TRUE(ValidUtf8(jeu->message));
    EXPECT_TRUE(strcmp(jeu->etat, "connected") == 0 || strcmp(jeu->etat, "disconnected") == 0)
        << jeu->etat;
    EXPECT_EQ(DrawFrame(jeu), 0);
  }
};

/* The ten conversations. */

struct Conversation {
  const char *name;
  ActionFunction action;
  const char *start;
  const char *query;
  std::vector<std::string> after; // what the client sends after the identification
  const char *final_word;
  const char *message;
};

static const Conversation kConversations[] = {
    {"Subscribe",
     ActionSubscribe,
     "disconnected",
     "Subscribtion",
     {},
     "disconnected",
     "Vous êtes né."},
    {"Connect",
     ActionConnect,
     "disconnected",
     "Connection",
     {},
     "connected",
     "Vous êtes réveillé."},
    {"Unsubscribe",
     ActionUnsubscribe,
     "disconnected",
     "Unsubscribtion",
     {},
     "disconnected",
     "Vous êtes mort."},
    {"Disconnect",
     ActionDisconnect,
     "connected",
     "Clear sleep",
     {"bob"},
     "disconnected",
     "Vous êtes endormi."},
    {"Speak",
     ActionSpeak,
     "connected",
     "Send message",
     {"bob : Bonjour à tous"},
     "connected",
     "Vous avez parlé."},
    {"SpeakEmpty",
     ActionSpeak,
     "connected",
     "Send message",
     {"bob : "},
     "connected",
     "Vous avez parlé."},
    {"Refresh", ActionRefresh, "connected", "Receive messages", std::vector<std::string>(100, "OK"),
     "connected", "Vous avez écouté."},
    {"Analyze",
     ActionAnalyze,
     "connected",
     "Receive status",
     {"bob", "OK", "OK", "OK"},
     "connected",
     "Vous avez faim à 10%, soif à 20%, sommeil à 30%"},
    {"Drink",
     ActionDrink,
     "connected",
     "Clear thirst",
     {"bob"},
     "connected",
     "Vous avez étanché votre soif."},
    {"Eat", ActionEat, "connected", "Clear hunger", {"bob"}, "connected", "Vous êtes rassasié."},
    {"Move", ActionMove, "connected", "Move", {"bob"}, "connected", "Vous vous êtes déplacé."},
};

class Conversations : public Actions, public ::testing::WithParamInterface<Conversation> {};

TEST_P(Conversations, ExactBytesMessageAndFinalWord) {
  const Conversation &c = GetParam();
  SetState(c.start);
  if (strcmp(c.name, "Speak") == 0) {
    snprintf(jeu->speak, sizeof(jeu->speak), "Bonjour à tous");
    RenderText(jeu->font_speak, jeu->speak, jeu->color_font_speak, &jeu->sfc_text_speak,
               jeu->file_log);
  }
  ASSERT_EQ(Run(c.action), 0) << game.Log();
  std::vector<std::string> expected = {WIRE_VERSION_TEXT, c.query, "bob", "secret"};
  expected.insert(expected.end(), c.after.begin(), c.after.end());
  EXPECT_EQ(Sent(), Wire(expected));
  EXPECT_STREQ(jeu->etat, c.final_word);
  EXPECT_TRUE(ShowsState(c.message));
  ExpectSane();
  // Every message is logged, the password masked.
  EXPECT_NE(game.Log().find("Sent: \"" WIRE_VERSION_TEXT "\"\nReceived: \"OK\"\n"),
            std::string::npos);
  EXPECT_NE(game.Log().find("Sent: \"******\"\n"), std::string::npos);
  EXPECT_EQ(game.Log().find("secret"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(All, Conversations, ::testing::ValuesIn(kConversations),
                         [](const ::testing::TestParamInfo<Conversation> &info) {
                           return std::string(info.param.name);
                         });

TEST_F(Actions, BusyWordsOfTheTwelveActions) {
  const std::pair<ActionFunction, const char *> words[] = {{ActionSubscribe, "subscribtion"},
                                                           {ActionConnect, "connexion"},
                                                           {ActionUnsubscribe, "unsubscribtion"},
                                                           {ActionDisconnect, "sleeping"},
                                                           {ActionSpeak, "speaking"},
                                                           {ActionRefresh, "refreshing"},
                                                           {ActionAnalyze, "analysing"},
                                                           {ActionDrink, "drinking"},
                                                           {ActionEat, "eating"},
                                                           {ActionMove, "moving"}};
  for (const auto &word : words)
    EXPECT_STREQ(ActionBusyWord(word.first), word.second);
  EXPECT_EQ(ActionBusyWord(ActionRememberBefore), nullptr);
  EXPECT_EQ(ActionBusyWord(ActionRememberAfter), nullptr);
}

TEST_F(Actions, BusyWordIsHeldWhileTheServerThinks) {
  SetState("connected");
  // The server holds the last reply until the test has seen the busy word.
  server.Queue(Replies({"OK", "OK", "OK", "OK"}, {Read(), Pause(300), SendBytes(Wire({"OK"}))}));
  SDL_Thread *thread = SDL_CreateThread(ActionDrink, jeu);
  std::string seen;
  for (Uint32 start = SDL_GetTicks(); seen != "drinking" && SDL_GetTicks() - start < 10000;) {
    SDL_LockMutex(jeu->lock);
    seen = jeu->etat;
    SDL_UnlockMutex(jeu->lock);
    SDL_Delay(1);
  }
  int result = 1;
  SDL_WaitThread(thread, &result);
  EXPECT_EQ(seen, "drinking");
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(jeu->etat, "connected");
  EXPECT_TRUE(server.WaitConnections(1));
}

TEST_F(Actions, WakingShowsTheRoomAndSleepingTheSignInPicture) {
  ASSERT_EQ(Run(ActionConnect), 0);
  EXPECT_TRUE(ShowsPicture(jeu->sfc_bmp_background, "background_room.bmp"));
  ASSERT_EQ(Run(ActionDisconnect), 0);
  EXPECT_TRUE(ShowsPicture(jeu->sfc_bmp_background, "background.bmp"));
  EXPECT_STREQ(jeu->etat, "disconnected");
}

TEST_F(Actions, EmptyPasswordIsOneNul) {
  jeu->password[0] = '\0';
  ASSERT_EQ(Run(ActionConnect), 0);
  EXPECT_EQ(Sent(), Wire({WIRE_VERSION_TEXT, "Connection", "bob", ""}));
  EXPECT_NE(game.Log().find("Sent: \"\"\n"), std::string::npos);
}

TEST_F(Actions, HelloAloneLeavesTheConnectionOpen) {
  server.Queue(Replies({"OK", "OK", "OK", "OK"}));
  ASSERT_EQ(SDLNet_ResolveHost(&jeu->ip, "127.0.0.1", (Uint16)server.Port()), 0);
  jeu->tcpsock = SDLNet_TCP_Open(&jeu->ip);
  ASSERT_NE(jeu->tcpsock, nullptr);
  WireReset(&jeu->reader);
  char query[] = "Move";
  EXPECT_EQ(Hello(query, jeu), 0);
  EXPECT_NE(jeu->tcpsock, nullptr);
  CloseConnection(jeu);
  EXPECT_EQ(jeu->tcpsock, nullptr);
  ASSERT_TRUE(server.WaitConnections(1));
  EXPECT_EQ(server.Received(0), Wire({WIRE_VERSION_TEXT, "Move", "bob", "secret"}));
}

/* Refusals: each word at its step only. */

struct Verdict {
  const char *name;
  ActionFunction action;
  const char *start;
  std::vector<std::string> replies; // to the identification, in order
  Script rest;
  size_t sent;         // messages the client sends in all
  const char *message; // the state message
  const char *final_word;
  int result;
};

static const Verdict kVerdicts[] = {
    {"BadVersion",
     ActionConnect,
     "disconnected",
     {"Bad version"},
     {},
     1,
     "Vous devez télécharger la nouvelle version!",
     "disconnected",
     1},
    {"BadLogin",
     ActionConnect,
     "disconnected",
     {"OK", "OK", "Bad login"},
     {},
     3,
     "Ce nom n'existe pas!",
     "disconnected",
     1},
    {"DeadLogin",
     ActionConnect,
     "disconnected",
     {"OK", "OK", "Dead"},
     {},
     3,
     "Cette personne est décédée!",
     "disconnected",
     1},
    {"BadPassword",
     ActionConnect,
     "disconnected",
     {"OK", "OK", "OK", "Bad password"},
     {},
     4,
     "Ce code est incorrect!",
     "disconnected",
     1},
    {"BadPasswordInGame",
     ActionSpeak,
     "connected",
     {"OK", "OK", "OK", "Bad password"},
     {},
     4,
     "Ce code est incorrect!",
     "disconnected",
     1},
    {"DeadBeforeDying",
     ActionUnsubscribe,
     "disconnected",
     {"OK", "OK", "Dead"},
     {},
     3,
     "Cette personne est décédée!",
     "disconnected",
     1},
    {"DeadVerdict",
     ActionUnsubscribe,
     "disconnected",
     {"OK", "OK", "OK", "OK"},
     {SendBytes(Wire({"Dead"}))},
     4,
     "Vous êtes déjà décédé!",
     "disconnected",
     1},
    {"NameTaken",
     ActionSubscribe,
     "disconnected",
     {"OK", "OK", "Bad login"},
     {},
     3,
     "Ce nom est déjà utilisé!",
     "disconnected",
     1},
    {"SubscribeBadVersion",
     ActionSubscribe,
     "disconnected",
     {"Bad version"},
     {},
     1,
     "Vous devez télécharger la nouvelle version!",
     "disconnected",
     1},
    // Not refusals.
    {"DeadToVersionQueryPassword",
     ActionConnect,
     "disconnected",
     {"Dead", "Dead", "OK", "Dead"},
     {},
     4,
     "Vous êtes réveillé.",
     "connected",
     0},
    {"QueryReplyIsNeverARefusal",
     ActionConnect,
     "disconnected",
     {"OK", "Bad version", "OK", "OK"},
     {},
     4,
     "Vous êtes réveillé.",
     "connected",
     0},
    {"EachWordElsewhere",
     ActionConnect,
     "disconnected",
     {"Bad password", "Bad login", "Bad version", "Bad login"},
     {},
     4,
     "Vous êtes réveillé.",
     "connected",
     0},
    {"LowerCaseBadLogin",
     ActionConnect,
     "disconnected",
     {"OK", "OK", "bad login", "OK"},
     {},
     4,
     "Vous êtes réveillé.",
     "connected",
     0},
    {"BadLoginWithBlank",
     ActionConnect,
     "disconnected",
     {"OK", "OK", "Bad login ", "OK"},
     {},
     4,
     "Vous êtes réveillé.",
     "connected",
     0},
    {"BadPasswordToTheName",
     ActionConnect,
     "disconnected",
     {"OK", "OK", "Bad password", "OK"},
     {},
     4,
     "Vous êtes réveillé.",
     "connected",
     0},
    {"BornWhateverThePasswordReply",
     ActionSubscribe,
     "disconnected",
     {"OK", "OK", "Dead", "Bad password"},
     {},
     4,
     "Vous êtes né.",
     "disconnected",
     0},
    {"VerdictDeadInLowerCase",
     ActionUnsubscribe,
     "disconnected",
     {"OK", "OK", "OK", "OK"},
     {SendBytes(Wire({"dead"}))},
     4,
     "Vous êtes mort.",
     "disconnected",
     0},
};

class Verdicts : public Actions, public ::testing::WithParamInterface<Verdict> {};

TEST_P(Verdicts, WordAtItsStepOnly) {
  const Verdict &v = GetParam();
  SetState(v.start);
  EXPECT_EQ(Run(v.action, Replies(v.replies, v.rest)), v.result) << game.Log();
  std::vector<std::string> sent = Messages(Sent());
  EXPECT_EQ(sent.size(), v.sent) << "nothing is sent after a refusal";
  EXPECT_EQ(sent[0], WIRE_VERSION_TEXT);
  EXPECT_TRUE(ShowsState(v.message));
  EXPECT_STREQ(jeu->etat, v.final_word);
  ExpectSane();
}

INSTANTIATE_TEST_SUITE_P(All, Verdicts, ::testing::ValuesIn(kVerdicts),
                         [](const ::testing::TestParamInfo<Verdict> &info) {
                           return std::string(info.param.name);
                         });

TEST_F(Actions, BadPasswordWithBytesAfterItsNulIsStillARefusal) {
  SetState("connected");
  EXPECT_EQ(Run(ActionRefresh,
                Replies({"OK", "OK", "OK"}, {ReplyBytes(Wire({"Bad password", "Ligne 1"}))})),
            1);
  EXPECT_EQ(Messages(Sent()).size(), 4u);
  EXPECT_TRUE(ShowsState("Ce code est incorrect!"));
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_STREQ(jeu->message, "VEUILLEZ ECOUTER");
  ExpectSane();
}

/* Listening and memory. */

TEST_F(Actions, ListeningWritesExactlyTheHundredLines) {
  SetState("connected");
  jeu->current_message = -7;
  ASSERT_EQ(Run(ActionRefresh), 0);
  EXPECT_EQ(Chat(), ChatLines(1, 100));
  EXPECT_STREQ(jeu->message, "Ligne 100");
  EXPECT_EQ(jeu->current_message, 0);
  EXPECT_NE(game.Log().find("Received: \"Ligne 1\"\nWroten: \"Ligne 1\n\"\nSent: \"OK\"\n"),
            std::string::npos);
  struct stat status;
  ASSERT_EQ(stat((game.dir + "chat.dat").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(Actions, MemoryArrowsWalkFromZeroToMinusNinetyNine) {
  SetState("connected");
  ASSERT_EQ(Run(ActionRefresh), 0);
  for (int position = -1; position >= -99; position--) {
    ASSERT_EQ(ActionRememberBefore(jeu), 0);
    ASSERT_EQ(jeu->current_message, position);
    ASSERT_EQ(std::string(jeu->message), HeardLine(position + 100));
  }
  EXPECT_NE(game.Log().find("Read: \"Ligne 99\" at line 99\n"), std::string::npos);
  EXPECT_NE(game.Log().find("Read: \"Ligne 1\" at line 1\n"), std::string::npos);
  EXPECT_TRUE(ShowsState("Vous cherchez dans votre mémoire."));
  EXPECT_EQ(ActionRememberBefore(jeu), 0);
  EXPECT_EQ(jeu->current_message, -99);
  EXPECT_STREQ(jeu->message, "Ligne 1");
  EXPECT_TRUE(ShowsState("Vous ne vous souvenez plus!"));
  for (int position = -98; position <= 0; position++) {
    ASSERT_EQ(ActionRememberAfter(jeu), 0);
    ASSERT_EQ(jeu->current_message, position);
    ASSERT_EQ(std::string(jeu->message), HeardLine(position + 100));
  }
  EXPECT_EQ(ActionRememberAfter(jeu), 0);
  EXPECT_EQ(jeu->current_message, 0);
  EXPECT_TRUE(ShowsState("C'est la dernière chose entendue!"));
  EXPECT_STREQ(jeu->etat, "connected");
}

TEST_F(Actions, NothingHeardYetWhateverThePositionAndFile) {
  SetState("connected");
  WriteFileText(game.dir + "chat.dat", ChatLines(1, 100));
  for (int position : {0, -5, -99}) {
    jeu->current_message = position;
    for (ActionFunction arrow : {ActionRememberBefore, ActionRememberAfter}) {
      EXPECT_EQ(arrow(jeu), 0);
      EXPECT_TRUE(ShowsState("Vous n'avez encore rien écouté!"));
      EXPECT_EQ(jeu->current_message, position);
      EXPECT_STREQ(jeu->message, "VEUILLEZ ECOUTER");
    }
  }
  EXPECT_EQ(game.Log().find("Read:"), std::string::npos);
}

TEST_F(Actions, MemoryWithoutItsFileStepsAndKeepsTheLine) {
  SetState("connected");
  ASSERT_EQ(Run(ActionRefresh), 0);
  unlink((game.dir + "chat.dat").c_str());
  EXPECT_EQ(ActionRememberBefore(jeu), 1);
  EXPECT_EQ(jeu->current_message, -1);
  EXPECT_STREQ(jeu->message, "Ligne 100");
  EXPECT_NE(game.Log().find("fopen: unable to open " + game.dir + "chat.dat.\n"),
            std::string::npos);
  EXPECT_STREQ(jeu->etat, "connected");
}

TEST_F(Actions, ShortMemoryFileShowsAnEmptyLine) {
  SetState("connected");
  ASSERT_EQ(Run(ActionRefresh), 0);
  WriteFileText(game.dir + "chat.dat", ChatLines(1, 98));
  EXPECT_EQ(ActionRememberBefore(jeu), 0);
  EXPECT_STREQ(jeu->message, "");
  EXPECT_NE(game.Log().find("Read: \"\" at line 98\n"), std::string::npos);
  EXPECT_EQ(ActionRememberBefore(jeu), 0);
  EXPECT_STREQ(jeu->message, "Ligne 98");
  ExpectSane();
}

TEST_F(Actions, DataFilesAreNeverFollowedThroughALink) {
  SetState("connected");
  std::string target = game.dir + "elsewhere";
  WriteFileText(target, "untouched\n");
  for (const char *name : {"chat.dat", "faim.dat"}) {
    unlink((game.dir + name).c_str());
    ASSERT_EQ(symlink(target.c_str(), (game.dir + name).c_str()), 0);
  }
  EXPECT_EQ(Run(ActionRefresh, AcceptingScript("Receive messages")), 1);
  EXPECT_STREQ(jeu->etat, "connected");
  EXPECT_EQ(Run(ActionAnalyze, Replies({"OK", "OK", "OK", "OK"}, {Reply("10")})), 1);
  EXPECT_STREQ(jeu->etat, "connected");
  EXPECT_EQ(ReadFileText(target), "untouched\n");
  EXPECT_NE(game.Log().find("fopen: unable to open " + game.dir + "chat.dat.\n"),
            std::string::npos);
  EXPECT_NE(game.Log().find("fopen: unable to open " + game.dir + "faim.dat.\n"),
            std::string::npos);
  EXPECT_STREQ(jeu->message, "VEUILLEZ ECOUTER");
  ExpectSane();
}

// Each data file an action writes or reads, against each thing another
// user could leave at its name: the action ends at once with a message,
// nothing is written through, the client can go on.
TEST_F(Actions, PlantedDataFilesEndTheActionWithAMessage) {
  SetState("connected");
  ASSERT_EQ(Run(ActionRefresh), 0); // something heard: the arrows read chat.dat
  Script status =
      Replies({"OK", "OK", "OK", "OK"}, {Reply("10"), Reply("20"), Reply("30"), Read()});
  const struct {
    const char *file;
    ActionFunction action;
    Script script;
  } users[] = {
      {"chat.dat", ActionRefresh, AcceptingScript("Receive messages")},
      {"chat.dat", ActionRememberBefore, {}},
      {"faim.dat", ActionAnalyze, status},
      {"soif.dat", ActionAnalyze, status},
      {"sommeil.dat", ActionAnalyze, status},
  };
  for (Planted kind : kAllPlanted)
    for (const auto &user : users) {
      SCOPED_TRACE(std::string(PlantedName(kind)) + " at " + user.file);
      const std::string path = game.dir + user.file;
      if (!Plant(path, kind, "untouched\n")) GTEST_SKIP() << "needs root to chown";
      FifoWatchdog watchdog(path, 5000);
      int result = user.script.empty() ? user.action(jeu) : Run(user.action, user.script);
      EXPECT_EQ(result, 1);
      EXPECT_FALSE(watchdog.Fired()) << "the action hung on the file";
      EXPECT_TRUE(StillPlanted(path, kind, "untouched\n"));
      EXPECT_NE(game.Log().find("fopen: unable to open " + path + ".\n"), std::string::npos);
      EXPECT_TRUE(ShowsState(("Impossible d'ouvrir " + std::string(user.file) + "!").c_str()));
      EXPECT_STREQ(jeu->etat, "connected");
      ExpectSane();
      unlink(path.c_str());
    }
  EXPECT_STREQ(jeu->message, "Ligne 100") << "no line was read from a planted file";
}

/* Status. */

TEST_F(Actions, StatusShowsValuesAsTheyCameAndFilesHoldThem) {
  SetState("connected");
  ASSERT_EQ(Run(ActionAnalyze,
                Replies({"OK", "OK", "OK", "OK"}, {Reply("bof"), Reply("peu"), Reply(""), Read()})),
            0);
  EXPECT_TRUE(ShowsState("Vous avez faim à bof%, soif à peu%, sommeil à %"));
  EXPECT_EQ(ReadFileText(game.dir + "faim.dat"), "bof\n");
  EXPECT_EQ(ReadFileText(game.dir + "soif.dat"), "peu\n");
  EXPECT_EQ(ReadFileText(game.dir + "sommeil.dat"), "\n");
  struct stat status;
  ASSERT_EQ(stat((game.dir + "soif.dat").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ExpectSane();
}

static std::string StatusText(const std::string &hunger, const std::string &thirst,
                              const std::string &sleep) {
  return "Vous avez faim à " + hunger + "%, soif à " + thirst + "%, sommeil à " + sleep + "%";
}

static int TextWidth(TTF_Font *font, const std::string &text) {
  int w = 0, h = 0;
  EXPECT_EQ(TTF_SizeUTF8(font, text.c_str(), &w, &h), 0);
  return w;
}

// Long values are cut, each to the same number of characters, the most
// that let the whole text fit the screen's width but never fewer than three
// (a whole need, "100"); a character is never split.
TEST_F(Actions, LongStatusValuesAreCutToFitTheScreen) {
  const struct {
    std::string letter;
    int count;
  } values[] = {
      {"é", 600}, // 1200 bytes, cut by the reader first
      {"W", 300}, {"M", 300}, {"Ŵ", 300}, {"€", 400},
  };
  for (const auto &value : values) {
    SCOPED_TRACE(value.letter);
    SetState("connected");
    std::string sent = Times(value.letter, value.count);
    ASSERT_EQ(Run(ActionAnalyze, Replies({"OK", "OK", "OK", "OK"},
                                         {Reply(sent), Reply(sent), Reply(sent), Read()})),
              0)
        << game.Log();
    const std::string shown = jeu->tmp_string2;
    int kept = 0;
    while (kept < value.count &&
           shown != StatusText(Times(value.letter, kept), Times(value.letter, kept),
                               Times(value.letter, kept)))
      kept++;
    ASSERT_LT(kept, value.count) << shown;
    EXPECT_GE(kept, 3);
    if (kept > 3) {
      EXPECT_LE(TextWidth(jeu->font1, shown), jeu->screen_w);
    }
    std::string longer = Times(value.letter, kept + 1);
    EXPECT_GT(TextWidth(jeu->font1, StatusText(longer, longer, longer)), jeu->screen_w);
    EXPECT_TRUE(ValidUtf8(jeu->tmp_string2));
    EXPECT_TRUE(ShowsState(shown.c_str()));
    EXPECT_EQ(jeu->i, 0) << "the field after tmp_string2";
    ExpectSane();
  }
}

// A short value keeps all of itself while a long one is cut.
TEST_F(Actions, OnlyTheLongStatusValuesAreCut) {
  SetState("connected");
  std::string wide = Times("W", 300);
  ASSERT_EQ(Run(ActionAnalyze,
                Replies({"OK", "OK", "OK", "OK"}, {Reply("12"), Reply(wide), Reply("7"), Read()})),
            0);
  const std::string shown = jeu->tmp_string2;
  EXPECT_EQ(shown.rfind("Vous avez faim à 12%, soif à WWW", 0), 0u) << shown;
  EXPECT_NE(shown.find("W%, sommeil à 7%"), std::string::npos) << shown;
  EXPECT_LE(TextWidth(jeu->font1, shown), jeu->screen_w);
  EXPECT_TRUE(ShowsState(shown.c_str()));
  // The widest needs a server gives are shown whole.
  ASSERT_EQ(Run(ActionAnalyze, Replies({"OK", "OK", "OK", "OK"},
                                       {Reply("100"), Reply("100"), Reply("100"), Read()})),
            0);
  EXPECT_TRUE(ShowsState("Vous avez faim à 100%, soif à 100%, sommeil à 100%"));
}

// Were the text still refused (here a screen too wide for SDL_ttf to render
// a line across it), the action ends with a sentence of its own.
TEST_F(Actions, StatusTextThatCannotBeRenderedStillShowsAMessage) {
  SetState("connected");
  jeu->screen_w = 1 << 20;
  std::string wide = Times("W", 300);
  ASSERT_EQ(Run(ActionAnalyze,
                Replies({"OK", "OK", "OK", "OK"}, {Reply(wide), Reply(wide), Reply(wide), Read()})),
            0);
  jeu->screen_w = 640;
  EXPECT_NE(game.Log().find("TTF_RenderUTF8_Solid: "), std::string::npos) << game.Log();
  EXPECT_TRUE(ShowsState("Votre état ne peut pas s'afficher!"));
  EXPECT_STREQ(jeu->etat, "connected");
  ExpectSane();
}

TEST_F(Actions, StatusFileThatCannotBeOpenedPutsBackTheGameScreen) {
  SetState("connected");
  snprintf(jeu->path_texts, sizeof(jeu->path_texts), "%s", "/nonexistent/varkel/");
  EXPECT_EQ(Run(ActionAnalyze, Replies({"OK", "OK", "OK", "OK"}, {Reply("10")})), 1);
  EXPECT_NE(game.Log().find("fopen: unable to open /nonexistent/varkel/faim.dat.\n"),
            std::string::npos);
  EXPECT_EQ(Messages(Sent()).size(), 5u) << "no OK after the failure";
  EXPECT_STREQ(jeu->etat, "connected");
  EXPECT_TRUE(ShowsState("Impossible d'ouvrir faim.dat!"));
  ExpectSane();
}

/* Moving. */

struct Destination {
  const char *place;
  const char *background; // NULL: nothing changes
  const char *special;
};

TEST_F(Actions, MovesLoadThePicturesOfThePlaceChosen) {
  SetState("connected");
  const Destination trip[] = {
      {"PUIT", "background_well.bmp", "drink.bmp"},
      {"CIMETIERE", "background_graveyard.bmp", "drink.bmp"},
      {"FORÊT", "background_forest.bmp", "eat.bmp"},
      {"HÔTEL", "background_room.bmp", "eat.bmp"},
      {"NULLE PART", "background_room.bmp", "eat.bmp"},
  };
  const char *current = "HÔTEL";
  for (const Destination &to : trip) {
    snprintf(jeu->place, sizeof(jeu->place), "%s", to.place);
    ASSERT_EQ(Run(ActionMove), 0) << to.place;
    if (strcmp(to.place, "NULLE PART") != 0) current = to.place;
    EXPECT_STREQ(jeu->place_current, current);
    EXPECT_TRUE(ShowsPicture(jeu->sfc_bmp_background, to.background)) << to.place;
    EXPECT_TRUE(ShowsPicture(jeu->sfc_bmp_special, to.special)) << to.place;
    EXPECT_EQ(jeu->rct_bmp_special.x, jeu->screen_w - jeu->sfc_bmp_special->w);
    EXPECT_EQ(jeu->rct_bmp_special.y, jeu->rct_bmp_analyze.y - jeu->sfc_bmp_special->h);
    EXPECT_TRUE(ShowsState("Vous vous êtes déplacé."));
    EXPECT_EQ(Sent(), Wire({WIRE_VERSION_TEXT, "Move", "bob", "secret", "bob"}))
        << "no destination";
    EXPECT_EQ(DrawFrame(jeu), 0);
  }
}

TEST_F(Actions, MissingPicturesPutBackTheStartingScreen) {
  // Only the well's background: the drink picture is missing.
  std::string pictures = game.dir + "pictures/";
  mkdir(pictures.c_str(), 0700);
  WriteFileText(pictures + "background_well.bmp",
                ReadFileText(std::string(jeu->path_pictures) + "background_well.bmp"));
  snprintf(jeu->path_pictures, sizeof(jeu->path_pictures), "%s", pictures.c_str());
  SetState("connected");
  snprintf(jeu->place, sizeof(jeu->place), "%s", "PUIT");
  EXPECT_EQ(Run(ActionMove), 1);
  EXPECT_NE(game.Log().find("SDL_LoadBMP: "), std::string::npos);
  EXPECT_TRUE(ShowsPicture(jeu->sfc_bmp_background, "background_well.bmp"));
  EXPECT_STREQ(jeu->place_current, "HÔTEL");
  EXPECT_STREQ(jeu->etat, "connected");
  EXPECT_TRUE(ShowsState("Vous vous êtes déplacé."));
  ExpectSane();

  SetState("disconnected");
  EXPECT_EQ(Run(ActionConnect), 1);
  EXPECT_TRUE(ShowsState("Vous êtes réveillé."));
  EXPECT_STREQ(jeu->etat, "disconnected");
  ExpectSane();

  SetState("connected");
  EXPECT_EQ(Run(ActionDisconnect), 1);
  EXPECT_TRUE(ShowsState("Vous êtes réveillé.", false)) << "the picture comes before the message";
  EXPECT_STREQ(jeu->etat, "connected");
  ExpectSane();
}

/* Ways back from the game: the sign-in screen over the hall. */

// The part of the screen where the sign-in screen draws nothing over its
// background shows the picture, as the next frame draws it.
static ::testing::AssertionResult ScreenShows(Game *jeu, const char *file) {
  SDL_Surface *picture = SDL_LoadBMP((std::string(jeu->path_pictures) + file).c_str());
  if (picture == nullptr) return ::testing::AssertionFailure() << SDL_GetError();
  SDL_LockMutex(jeu->lock);
  int failed = DrawFrame(jeu);
  int differing = 0;
  for (int y = 250; y < 470; y += 7)
    for (int x = 10; x < 300; x += 7)
      differing += PixelAt(jeu->sfc_screen, x, y) != PixelAt(picture, x, y);
  SDL_UnlockMutex(jeu->lock);
  SDL_FreeSurface(picture);
  if (failed || differing > 0)
    return ::testing::AssertionFailure() << differing << " pixels differ from " << file;
  return ::testing::AssertionSuccess();
}

struct WayBack {
  const char *name;
  ActionFunction action;
  Script script; // empty: the server cannot be reached
  const char *message;
};

class WaysBack : public Actions, public ::testing::WithParamInterface<WayBack> {};

TEST_P(WaysBack, ShowTheSignInScreenOverTheHall) {
  const WayBack &way = GetParam();
  ASSERT_EQ(Run(ActionConnect), 0);
  // The fault this guards against: the sign-in screen over the room.
  SetState("disconnected");
  ASSERT_TRUE(ScreenShows(jeu, "background_room.bmp"));
  ASSERT_FALSE(ScreenShows(jeu, "background.bmp")) << "the two pictures must differ there";
  SetState("connected");
  jeu->reply_timeout_ms = 300;
  if (way.script.empty()) {
    jeu->port_server = FreePort(); // nothing listens there
    EXPECT_EQ(way.action(jeu), 1);
  } else {
    EXPECT_EQ(Run(way.action, way.script), 1);
  }
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_TRUE(ShowsState(way.message));
  EXPECT_TRUE(ScreenShows(jeu, "background.bmp"));
  ExpectSane();
}

static const WayBack kWaysBack[] = {
    {"ServerUnreachable", ActionSpeak, {}, kCheckConnection},
    {"WrongPassword", ActionAnalyze, Replies({"OK", "OK", "OK", "Bad password"}),
     "Ce code est incorrect!"},
    {"DiedOfHunger", ActionMove, Replies({"OK", "OK", "Dead"}), "Cette personne est décédée!"},
    {"ConnectionLost", ActionRefresh, Replies({"OK", "OK", "OK", "OK"}, {Hangup()}),
     kCheckConnection},
    {"NoReply", ActionDisconnect, Replies({"OK", "OK"}), kCheckConnection},
};

INSTANTIATE_TEST_SUITE_P(All, WaysBack, ::testing::ValuesIn(kWaysBack),
                         [](const ::testing::TestParamInfo<WayBack> &info) {
                           return std::string(info.param.name);
                         });

/* Network failures: never stuck busy. */

struct Failure {
  const char *name;
  Script script;
  const char *log;
};

class NetworkFailures : public Actions, public ::testing::WithParamInterface<Failure> {};

TEST_P(NetworkFailures, ShowTheConnectionMessageAndTheSignInScreen) {
  const Failure &f = GetParam();
  SetState("connected");
  jeu->reply_timeout_ms = 300;
  EXPECT_EQ(Run(ActionRefresh, f.script), 1);
  EXPECT_NE(game.Log().find(f.log), std::string::npos) << game.Log();
  EXPECT_TRUE(ShowsState(kCheckConnection));
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_STREQ(jeu->message, "VEUILLEZ ECOUTER");
  EXPECT_EQ(jeu->current_message, 0);
  ExpectSane();
}

static const Failure kFailures[] = {
    {"NeverAnswers", Replies({"OK", "OK"}), "SDLNet_TCP_Recv: reply timed out after 300 ms\n"},
    {"ClosesBeforeReplying", Replies({"OK", "OK"}, {Read(), Hangup()}),
     "SDLNet_TCP_Recv: connection closed by the server\n"},
    {"ClosesMidListening",
     Replies({"OK", "OK", "OK", "OK"},
             [] {
               Script script = HeardLines(1, 10);
               script.push_back(Hangup());
               return script;
             }()),
     "SDLNet_TCP_Recv: connection closed by the server\n"},
    {"StopsMidListening", Replies({"OK", "OK", "OK", "OK"}, HeardLines(1, 10)),
     "SDLNet_TCP_Recv: reply timed out"},
};

INSTANTIATE_TEST_SUITE_P(All, NetworkFailures, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<Failure> &info) {
                           return std::string(info.param.name);
                         });

// A server that answers every message a little before the reply's limit
// could hold a listening for minutes: the whole action has a limit too,
// and ends as a lost connection does. (Both limits shortened here.)
TEST_F(Actions, SlowServerIsStoppedByTheWholeActionLimit) {
  ASSERT_EQ(Run(ActionConnect), 0);
  jeu->reply_timeout_ms = 1000;
  jeu->action_timeout_ms = 4500;
  Script slow;
  for (int n = 0; n < 4; n++)
    slow.insert(slow.end(), {Read(), Pause(700), SendBytes(Wire({"OK"}))});
  for (int n = 1; n <= 100; n++)
    slow.insert(slow.end(), {Pause(700), SendBytes(Wire({HeardLine(n)})), Read()});
  EXPECT_EQ(Run(ActionRefresh, slow), 1);
  EXPECT_NE(game.Log().find("SDLNet_TCP_Recv: action timed out after 4500 ms\n"), std::string::npos)
      << game.Log();
  EXPECT_EQ(game.Log().find("reply timed out"), std::string::npos) << "each reply came in time";
  EXPECT_EQ(Chat().substr(0, ChatLines(1, 1).size()), ChatLines(1, 1));
  EXPECT_LT(Chat().size(), ChatLines(1, 10).size()) << "the listening was cut short";
  EXPECT_TRUE(ShowsState(kCheckConnection));
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_TRUE(ShowsPicture(jeu->sfc_bmp_background, "background.bmp"));
  ExpectSane();
  // The next action has a whole limit of its own.
  jeu->reply_timeout_ms = 300;
  EXPECT_EQ(Run(ActionConnect), 0);
}

TEST_F(Actions, ListeningCutShortKeepsTheLinesWritten) {
  SetState("connected");
  Script rest = HeardLines(1, 10);
  rest.push_back(Hangup());
  EXPECT_EQ(Run(ActionRefresh, Replies({"OK", "OK", "OK", "OK"}, rest)), 1);
  EXPECT_EQ(Chat(), ChatLines(1, 10));
}

TEST_F(Actions, UnreachableOrUnknownServer) {
  for (const char *start : {"disconnected", "connected"}) {
    SetState(start);
    jeu->port_server = FreePort(); // nothing listens there
    EXPECT_EQ(ActionSpeak(jeu), 1);
    EXPECT_NE(game.Log().find("SDLNet_TCP_Open: "), std::string::npos);
    EXPECT_TRUE(ShowsState(kCheckConnection));
    EXPECT_STREQ(jeu->etat, "disconnected");
    ExpectSane();
  }
  snprintf(jeu->ip_server, sizeof(jeu->ip_server), "%s", "nohost.invalid");
  SetState("connected");
  jeu->message_alpha = 3;
  EXPECT_EQ(ActionMove(jeu), 1);
  EXPECT_NE(game.Log().find("SDLNet_ResolveHost: unknown host nohost.invalid\n"),
            std::string::npos);
  EXPECT_TRUE(ShowsState(kCheckConnection));
  EXPECT_STREQ(jeu->etat, "disconnected");
  ExpectSane();
}

TEST_F(Actions, SendToAGoneServerFailsWithoutSignal) {
  // Restore the default action: a SIGPIPE would end this test program.
  void (*previous)(int) = signal(SIGPIPE, SIG_DFL);
  SetState("connected");
  Script script = Replies({"OK", "OK", "OK", "OK"});
  std::string lines;
  for (int n = 1; n <= 100; n++)
    lines += Wire({HeardLine(n)});
  script.push_back(SendBytes(lines));
  script.push_back(Hangup());
  EXPECT_EQ(Run(ActionRefresh, script), 1);
  signal(SIGPIPE, previous);
  EXPECT_NE(game.Log().find("SDLNet_TCP_Send: "), std::string::npos) << game.Log();
  EXPECT_TRUE(ShowsState(kCheckConnection));
  EXPECT_STREQ(jeu->etat, "disconnected");
  ExpectSane();
}

/* Framing. */

TEST_F(Actions, ReplySplitInTwoPieces) {
  Script script = {ReplyBytes("O"),
                   Pause(50),
                   SendBytes(std::string("K\0", 2)),
                   Reply("OK"),
                   Reply("OK"),
                   ReplyBytes("Bad pa"),
                   Pause(50),
                   SendBytes(std::string("ssword\0", 7))};
  EXPECT_EQ(Run(ActionConnect, script), 1);
  EXPECT_NE(game.Log().find("Received: \"OK\"\nSent: \"Connection\"\n"), std::string::npos);
  EXPECT_TRUE(ShowsState("Ce code est incorrect!"));
  EXPECT_STREQ(jeu->etat, "disconnected");
  ExpectSane();
}

TEST_F(Actions, PasswordAnswerAndFirstHeardLineInOneWrite) {
  SetState("connected");
  Script script = Replies({"OK", "OK", "OK"}, {ReplyBytes(Wire({"OK", HeardLine(1)})), Read()});
  Script rest = HeardLines(2, 100);
  script.insert(script.end(), rest.begin(), rest.end());
  ASSERT_EQ(Run(ActionRefresh, script), 0) << game.Log();
  EXPECT_EQ(Chat(), ChatLines(1, 100));
  EXPECT_EQ(std::string(jeu->message), HeardLine(jeu->current_message + 100));
}

TEST_F(Actions, PasswordAnswerAndVerdictInOneWrite) {
  const std::pair<const char *, const char *> verdicts[] = {{"Dead", "Vous êtes déjà décédé!"},
                                                            {"Adieu", "Vous êtes mort."}};
  for (const auto &verdict : verdicts) {
    SetState("disconnected");
    Run(ActionUnsubscribe, Replies({"OK", "OK", "OK"}, {ReplyBytes(Wire({"OK", verdict.first}))}));
    EXPECT_TRUE(ShowsState(verdict.second));
    EXPECT_STREQ(jeu->etat, "disconnected");
    EXPECT_EQ(Messages(Sent()).size(), 4u);
    ExpectSane();
  }
}

// A server's bytes reach the log as text: what would act on a terminal
// (escapes, carriage returns, bells, C1 controls, malformed UTF-8) is
// written as \xNN, the backslash doubled; French letters stay.
TEST_F(Actions, ServerBytesAreLoggedEscaped) {
  SetState("connected");
  Script script = Replies({"OK", "OK", "OK", "OK\x1b[2J\r\a"}, {Reply("\xc2\x9b"
                                                                      "31m\\ é\xff\xc3")});
  EXPECT_EQ(Run(ActionSpeak, script), 0);
  std::string log = game.Log();
  EXPECT_NE(log.find("Received: \"OK\\x1B[2J\\x0D\\x07\"\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Received: \"\\xC2\\x9B31m\\\\ é\\xFF\\xC3\"\n"), std::string::npos) << log;
  EXPECT_TRUE(ShowsState("Vous avez parlé."));
  ExpectSane();
}

TEST_F(Actions, ReplyOfTwoThousandBytesWithoutNul) {
  // The reply is cut to what the buffer holds; the server then goes.
  SetState("connected");
  Script script = Replies({"OK", "OK", "OK", "OK"}, {ReplyBytes(std::string(2000, 'x'))});
  EXPECT_EQ(Run(ActionSpeak, script), 0);
  EXPECT_EQ(std::string(jeu->datas_received), std::string(1023, 'x'));
  EXPECT_TRUE(ShowsState("Vous avez parlé."));
  ExpectSane();

  // A heard line of 2000 bytes whose NUL comes later: its first 1023 bytes
  // are the line, the rest is skipped, the next line is whole.
  script = Replies({"OK", "OK", "OK", "OK"},
                   {SendBytes(std::string(2000, 'y')), Read(),
                    SendBytes(std::string(1, '\0') + Wire({HeardLine(2)})), Read()});
  Script rest = HeardLines(3, 100);
  script.insert(script.end(), rest.begin(), rest.end());
  ASSERT_EQ(Run(ActionRefresh, script), 0) << game.Log();
  EXPECT_EQ(Chat(), std::string(1023, 'y') + "\n" + ChatLines(2, 100));
  jeu->current_message = -98;
  ASSERT_EQ(ActionRememberBefore(jeu), 0);
  EXPECT_EQ(jeu->current_message, -99);
  EXPECT_EQ(std::string(jeu->message), std::string(49, 'y'));
  ExpectSane();
}

TEST_F(Actions, EmptyHeardLineShowsNothing) {
  SetState("connected");
  Script script = Replies({"OK", "OK", "OK", "OK"}, HeardLines(1, 99));
  script.insert(script.end(), {SendBytes(std::string(1, '\0')), Read()});
  ASSERT_EQ(Run(ActionRefresh, script), 0) << game.Log();
  EXPECT_TRUE(ShowsState("Vous avez écouté."));
  EXPECT_STREQ(jeu->message, "");
  EXPECT_EQ(Chat(), ChatLines(1, 99) + "\n");
  ExpectSane();
  // The memory is not empty any more: the arrows browse it.
  EXPECT_EQ(ActionRememberBefore(jeu), 0);
  EXPECT_STREQ(jeu->message, "Ligne 99");
  EXPECT_EQ(ActionRememberAfter(jeu), 0);
  EXPECT_STREQ(jeu->message, "");
}

TEST_F(Actions, HeardLineWithLineBreaksStaysOneLineOfTheMemory) {
  SetState("connected");
  Script script = Replies({"OK", "OK", "OK", "OK"}, HeardLines(1, 99));
  script.insert(script.end(), {SendBytes(std::string("deux\nlignes\r\0", 14)), Read()});
  ASSERT_EQ(Run(ActionRefresh, script), 0) << game.Log();
  EXPECT_EQ(Chat(), ChatLines(1, 99) + "deux lignes \n");
  EXPECT_STREQ(jeu->message, "deux lignes ");
  EXPECT_EQ(ActionRememberBefore(jeu), 0);
  EXPECT_STREQ(jeu->message, "Ligne 99");
}

TEST_F(Actions, LongHeardLinesAreCutToTheMessageField) {
  const std::pair<std::string, std::string> lines[] = {
      {std::string(300, 'a'), std::string(49, 'a')},
      {Times("é", 150), Times("é", 24)},             // 49 bytes would split a character
      {"a" + Times("€", 100), "a" + Times("€", 16)}, // three-byte characters
  };
  for (const auto &line : lines) {
    SetState("connected");
    Script script = Replies({"OK", "OK", "OK", "OK"}, HeardLines(1, 99));
    script.insert(script.end(), {SendBytes(Wire({line.first})), Read()});
    ASSERT_EQ(Run(ActionRefresh, script), 0) << game.Log();
    EXPECT_EQ(std::string(jeu->message), line.second);
    EXPECT_EQ(Chat(), ChatLines(1, 99) + line.first + "\n");
    ExpectSane();
    ASSERT_EQ(ActionRememberBefore(jeu), 0);
    ASSERT_EQ(ActionRememberAfter(jeu), 0);
    EXPECT_EQ(std::string(jeu->message), line.second);
  }
}

TEST_F(Actions, HeardLineThatCannotBeRenderedKeepsThePreviousOne) {
  SetState("connected");
  ASSERT_EQ(Run(ActionRefresh), 0);
  ASSERT_EQ(ActionRememberBefore(jeu), 0);
  Script script = Replies({"OK", "OK", "OK", "OK"}, HeardLines(1, 99));
  script.insert(script.end(), {SendBytes(Wire({"\xe2\x80\x8b"})), Read()}); // zero width
  EXPECT_EQ(Run(ActionRefresh, script), 1);
  // The log is line-buffered: the bell after the newline comes with the next line.
  EXPECT_NE(game.Log().find("TTF_RenderUTF8_Solid: Text has zero width.\n"), std::string::npos);
  EXPECT_STREQ(jeu->etat, "connected");
  EXPECT_STREQ(jeu->message, "Ligne 99");
  EXPECT_EQ(jeu->current_message, -1);
  ExpectSane();
}

/* Threads: an action beside a frame loop. */

TEST_F(Actions, ActionsRunBesideTheFrameLoop) {
  SetState("connected");
  snprintf(jeu->place, sizeof(jeu->place), "%s", "FORÊT");
  const ActionFunction actions[] = {ActionRefresh, ActionMove, ActionAnalyze, ActionDisconnect};
  for (ActionFunction action : actions) {
    SDL_LockMutex(jeu->lock);
    const char *busy = ActionBusyWord(action);
    snprintf(jeu->etat, sizeof(jeu->etat), "%s", busy);
    SDL_UnlockMutex(jeu->lock);
    SDL_Thread *thread = SDL_CreateThread(action, jeu);
    // Memory browsing on threads of its own meanwhile.
    SDL_Thread *memory = SDL_CreateThread(ActionRememberBefore, jeu);
    for (bool done = false; !done;) {
      SDL_LockMutex(jeu->lock);
      EXPECT_EQ(DrawFrame(jeu), 0);
      done = strcmp(jeu->etat, busy) != 0;
      SDL_UnlockMutex(jeu->lock);
      SDL_Delay(1);
    }
    int result = 1;
    SDL_WaitThread(thread, &result);
    SDL_WaitThread(memory, nullptr);
    EXPECT_EQ(result, 0) << busy << "\n" << game.Log();
    EXPECT_TRUE(server.WaitConnections(++connections));
  }
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_STREQ(jeu->place_current, "FORÊT");
  EXPECT_EQ(Chat(), ChatLines(1, 100));
  EXPECT_EQ(std::string(jeu->message), HeardLine(jeu->current_message + 100));
}

} // namespace
