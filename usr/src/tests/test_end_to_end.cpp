// SPDX-License-Identifier: MIT
// The installed programs together: the staged server, and the staged client
// started by the staged launcher in a real window under Xvfb, played by
// xdotool through a whole life. Checked in the server's database and log and
// in the client's own log and files, in the player's tree.
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_server.h"

namespace {

const char kName[] = "zed";
const char kPassword[] = "pwd123";
const char kSentence[] = "bonjour du puits";

std::string Center(const SDL_Rect &at, const SDL_Surface *picture) {
  return std::to_string(at.x + picture->w / 2) + " " + std::to_string(at.y + picture->h / 2);
}

std::string Shell(const std::string &text) {
  return "'" + text + "'";
}

// Lines of text that start with prefix, without it.
std::vector<std::string> LinesAfter(const std::string &text, const std::string &prefix) {
  std::vector<std::string> found;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

std::string Sqlite(const std::string &db, const std::string &sql) {
  ProcessResult run = RunProcess({"/usr/bin/sqlite3", db, sql}, "/", 10000);
  EXPECT_EQ(run.status, 0) << sql;
  return run.out;
}

TEST(EndToEnd, AWholeLifeWithTheInstalledPrograms) {
  for (const char *tool : {"/usr/bin/xvfb-run", "/usr/bin/xdotool", "/usr/bin/sqlite3"})
    ASSERT_TRUE(FileExists(tool)) << tool << " is missing: run scripts/install-deps.sh";
  const std::string stage = VARKEL_STAGE_DIR;
  const std::string dir = MakeTempDir();
  const std::string home = dir + "home";
  ServerProcess server(dir + "varkel.db", {}, "", stage + "/usr/games/varkel_server");
  ASSERT_GT(server.port, 0) << server.Log();

  // Where the controls are: the client's own layout, on the same pictures.
  LoadedGame game;
  Game *jeu = game.jeu;
  SDL_Surface *drink = SDL_LoadBMP((std::string(jeu->path_pictures) + "drink.bmp").c_str());
  ASSERT_NE(drink, nullptr);
  SDL_Rect drink_at = {(Sint16)(jeu->screen_w - drink->w),
                       (Sint16)(jeu->rct_bmp_analyze.y - drink->h), 0, 0};
  const std::string well = Center(drink_at, drink);
  SDL_FreeSurface(drink);
#define AT(name, kind) Center(jeu->rct_##kind##_##name, jeu->sfc_##kind##_##name)
  const std::vector<std::pair<std::string, std::pair<std::string, bool>>> steps = {
      {AT(nickname, bar), {kName, false}},
      {AT(password, bar), {kPassword, false}},
      {AT(subscribe, bmp), {"", true}},
      {AT(connect, bmp), {"", true}},
      {AT(speak, bar), {kSentence, false}},
      {AT(speak, bmp), {"", true}},
      {AT(refresh, bmp), {"", true}},
      {AT(analyze, bmp), {"", true}},
      {AT(place, bar), {"", false}},
      {AT(move, bmp), {"", true}},
      {well, {"", true}},
      {AT(disconnect, bmp), {"", true}},
      {AT(connect, bmp), {"", true}},
      {AT(disconnect, bmp), {"", true}},
      {AT(suicide, bmp), {"", true}},
      {AT(quit, bmp), {"", false}},
  };
#undef AT

  std::string script =
      "unset SDL_VIDEODRIVER SDL_AUDIODRIVER XDG_STATE_HOME\n"
      "export HOME=" +
      Shell(home) +
      "\n"
      "log=" +
      Shell(server.log_path) +
      "\n"
      "talks() { grep -c '^varkel_server: 127\\.0\\.0\\.1 \"' \"$log\"; }\n"
      // An action has ended once its thread is gone.
      "threads() { ls /proc/$c/task | wc -l; }\n"
      "await() {\n"
      "  n=0; until [ \"$(talks)\" -ge $1 ] && [ \"$(threads)\" -le $idle_threads ]; do\n"
      "    [ $n -lt 600 ] || break; sleep 0.05; n=$((n+1)); done\n"
      "  [ \"$(talks)\" -ge $1 ] || { echo \"conversation $1 never came\"; exit 3; }\n"
      "  [ $n -lt 600 ] || { echo \"the client stayed busy after conversation $1\"; exit 5; }; }\n"
      "click() { xdotool mousemove --window $w $1 $2 click 1; }\n"
      "timeout -s KILL 150 " +
      Shell(stage + "/usr/games/varkel") + " --server 127.0.0.1:" + std::to_string(server.port) +
      " & pid=$!\n"
      "w=$(timeout 20 xdotool search --sync --name '^Varkel$' | head -1)\n"
      "[ -n \"$w\" ] || { echo 'no window'; exit 4; }\n"
      "c=$(xdotool getwindowpid $w)\n"
      "n=0; until grep -q '^271 ' /proc/$c/syscall || [ $n -ge 200 ]; do\n"
      "  sleep 0.05; n=$((n+1)); done\n"
      "idle_threads=$(threads)\n";
  int conversations = 0;
  for (const auto &step : steps) {
    script += "click " + step.first + "\n";
    if (!step.second.first.empty())
      script += "xdotool type --delay 40 " + Shell(step.second.first) + "\n";
    if (step.second.second) script += "await " + std::to_string(++conversations) + "\n";
  }
  script += "wait $pid; echo \"client ended with $?\"\n";

  ProcessResult run = RunProcess({"/usr/bin/xvfb-run", "-a", "/bin/sh", "-c", script}, dir, 240000);
  EXPECT_EQ(run.status, 0) << run.out;
  // Closing the client with its quit control ends it with status 1.
  EXPECT_NE(run.out.find("client ended with 1"), std::string::npos) << run.out;

  // The server saw the whole life, in order, each conversation complete.
  std::vector<std::string> talks = LinesAfter(server.Log(), "varkel_server: 127.0.0.1 ");
  const std::vector<std::string> queries = {
      WIRE_QUERY_SUBSCRIBE, WIRE_QUERY_CONNECT, WIRE_QUERY_SPEAK,      WIRE_QUERY_LISTEN,
      WIRE_QUERY_STATUS,    WIRE_QUERY_MOVE,    WIRE_QUERY_DRINK,      WIRE_QUERY_SLEEP,
      WIRE_QUERY_CONNECT,   WIRE_QUERY_SLEEP,   WIRE_QUERY_UNSUBSCRIBE};
  ASSERT_EQ(talks.size(), queries.size()) << server.Log() << run.out;
  for (size_t n = 0; n < queries.size(); n++)
    EXPECT_EQ(talks[n].rfind("\"" + queries[n] + "\" \"" + kName + "\": ", 0), 0u) << talks[n];
  // The installed admin tool sees the end of the life while the server runs.
  ProcessResult shown = RunProcess(
      {stage + "/usr/games/varkel_admin", "--db", dir + "varkel.db", "show", kName}, "/", 10000);
  EXPECT_EQ(shown.status, 0) << shown.out;
  EXPECT_NE(shown.out.find("state: dead\n"), std::string::npos) << shown.out;
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Log();
  EXPECT_EQ(Sqlite(dir + "varkel.db", "SELECT text FROM lines"),
            std::string(kName) + " : " + kSentence + "\n");

  // The client's side, in the player's tree made by the launcher.
  const std::string tree = home + "/.local/state/varkel/1/";
  std::string log = ReadFileText(tree + "var/log/varkel/varkel_client.log");
  std::vector<std::string> sent = LinesAfter(log, "Sent: ");
  for (const std::string &query : queries)
    EXPECT_NE(std::find(sent.begin(), sent.end(), "\"" + query + "\""), sent.end()) << query << "\n"
                                                                                    << log;
  EXPECT_NE(
      std::find(sent.begin(), sent.end(), "\"" + std::string(kName) + " : " + kSentence + "\""),
      sent.end())
      << log;
  EXPECT_FALSE(LinesAfter(log, "Received: ").empty()) << log;
  EXPECT_NE(ReadFileText(tree + "tmp/chat.dat").find(std::string(kName) + " : " + kSentence),
            std::string::npos);
  RemoveTree(dir);
}

} // namespace
