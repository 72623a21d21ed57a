// SPDX-License-Identifier: MIT
// The installed programs together: the staged server, and the staged client
// started by the staged launcher in a real window under Xvfb, played by
// xdotool through a whole life. Checked in the server's database and log and
// in the client's own log and files, in the player's tree.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_server.h"
#include "support_window.h"

namespace {

const char kName[] = "zed";
const char kPassword[] = "pwd123";
const char kSentence[] = "bonjour du puits";

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

// Conversations the server has logged.
size_t Talks(const ServerProcess &server) {
  return LinesAfter(server.Log(), "varkel_server: 127.0.0.1 \"").size();
}

size_t Threads(pid_t pid) {
  size_t count = 0;
  DIR *tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (tasks == nullptr) return 0;
  for (struct dirent *entry; (entry = readdir(tasks)) != nullptr;)
    count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

// One step of the life: a click on a control (or on the special control
// where it stands at the well), the text then typed, and whether the click
// starts a conversation with the server.
struct Step {
  const char *control;
  const char *text;
  bool talks;
};

TEST(EndToEnd, AWholeLifeWithTheInstalledPrograms) {
  for (const char *tool : {"/usr/bin/Xvfb", "/usr/bin/xdotool", "/usr/bin/sqlite3"})
    ASSERT_TRUE(FileExists(tool)) << tool << " is missing: run scripts/install-deps.sh";
  const std::string stage = VARKEL_STAGE_DIR;
  const std::string dir = MakeTempDir();
  const std::string home = dir + "home";
  ServerProcess server(dir + "varkel.db", {}, "", stage + "/usr/games/varkel_server");
  ASSERT_GT(server.port, 0) << server.Log();

  XServer x;
  ASSERT_FALSE(x.Display().empty());
  Launch launch;
  launch.argv = {stage + "/usr/games/varkel", "--server",
                 "127.0.0.1:" + std::to_string(server.port)};
  launch.cwd = dir;
  launch.env = {x.Assignment(), "SDL_VIDEODRIVER=x11", "HOME=" + home, "XDG_STATE_HOME="};
  pid_t launcher = StartProcess(launch);
  ASSERT_GT(launcher, 0);
  WindowDriver driver(x.Display());
  ASSERT_TRUE(driver.FindWindow());
  pid_t client = driver.WindowPid();
  ASSERT_GT(client, 0);
  ASSERT_TRUE(AwaitLoopSleeps(client));
  const size_t idle_threads = Threads(client);

  const Step steps[] = {
      {"bar_nickname", kName, false},
      {"bar_password", kPassword, false},
      {"bmp_subscribe", "", true},
      {"bmp_connect", "", true},
      {"bar_speak", kSentence, false},
      {"bmp_speak", "", true},
      {"bmp_refresh", "", true},
      {"bmp_analyze", "", true},
      {"bar_place", "", false},
      {"bmp_move", "", true},
      {"well", "", true},
      {"bmp_disconnect", "", true},
      {"bmp_connect", "", true},
      {"bmp_disconnect", "", true},
      {"bmp_suicide", "", true},
      {"bmp_quit", "", false},
  };
  size_t conversations = 0;
  for (const Step &step : steps) {
    SCOPED_TRACE(step.control);
    int x_at, y_at;
    if (strcmp(step.control, "well") == 0) {
      ASSERT_TRUE(driver.SpecialAt("PUIT", &x_at, &y_at));
      ASSERT_TRUE(driver.ClickAt(x_at, y_at));
    } else {
      ASSERT_TRUE(driver.Click(step.control));
    }
    if (step.text[0] != '\0') {
      ASSERT_TRUE(driver.Type(step.text));
    }
    if (!step.talks) continue;
    // An action has ended once the server has logged its conversation and
    // its thread is gone.
    conversations++;
    int waited = 0;
    while ((Talks(server) < conversations || Threads(client) > idle_threads) && waited < 30000) {
      usleep(50000);
      waited += 50;
    }
    ASSERT_GE(Talks(server), conversations) << "conversation " << conversations << " never came";
    ASSERT_LE(Threads(client), idle_threads) << "the client stayed busy";
  }
  // Closing the client with its quit control ends it with status 1.
  int status = -1;
  EXPECT_EQ(AwaitReady(
                launcher, [] { return false; }, 30000, &status),
            Awaited::kEnded);
  EXPECT_EQ(status, 1);

  // The server saw the whole life, in order, each conversation complete.
  std::vector<std::string> talks = LinesAfter(server.Log(), "varkel_server: 127.0.0.1 ");
  const std::vector<std::string> queries = {
      WIRE_QUERY_SUBSCRIBE, WIRE_QUERY_CONNECT, WIRE_QUERY_SPEAK,      WIRE_QUERY_LISTEN,
      WIRE_QUERY_STATUS,    WIRE_QUERY_MOVE,    WIRE_QUERY_DRINK,      WIRE_QUERY_SLEEP,
      WIRE_QUERY_CONNECT,   WIRE_QUERY_SLEEP,   WIRE_QUERY_UNSUBSCRIBE};
  ASSERT_EQ(talks.size(), queries.size()) << server.Log();
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

// The controls' centres, from the client's own layout on the same pictures.
struct Controls {
  std::string nickname, password, subscribe, connect, disconnect, quit;
  Controls() {
    LoadedGame game;
    Game *jeu = game.jeu;
#define AT(name, kind) Center(jeu->rct_##kind##_##name, jeu->sfc_##kind##_##name)
    nickname = AT(nickname, bar);
    password = AT(password, bar);
    subscribe = AT(subscribe, bmp);
    connect = AT(connect, bmp);
    disconnect = AT(disconnect, bmp);
    quit = AT(quit, bmp);
#undef AT
  }
};

// Shell functions for a script that plays the launcher's client in Xvfb:
// `window` waits for it, `click X Y`, `idle` waits until no action runs,
// `ms` the time in milliseconds.
const char kPlayer[] = "ms() { echo $(($(date +%s%N) / 1000000)); }\n"
                       "threads() { ls /proc/$c/task | wc -l; }\n"
                       "window() {\n"
                       "  w=$(timeout 20 xdotool search --sync --name '^Varkel$' | head -1)\n"
                       "  [ -n \"$w\" ] || { echo 'no window'; exit 4; }\n"
                       "  c=$(xdotool getwindowpid $w)\n"
                       "  n=0; until grep -q nanosleep /proc/$c/wchan || [ $n -ge 200 ]; do\n"
                       "    sleep 0.05; n=$((n+1)); done\n"
                       "  idle_threads=$(threads); }\n"
                       "idle() {\n"
                       "  n=0; until [ \"$(threads)\" -le $idle_threads ]; do\n"
                       "    [ $n -lt 900 ] || { echo 'the client stayed busy'; exit 5; }; sleep "
                       "0.05; n=$((n+1)); done; }\n"
                       "click() { xdotool mousemove --window $w $1 $2 click 1; }\n"
                       "type() { xdotool type --delay 40 \"$1\"; }\n";

// No server chosen and none at the built-in address (a network of the
// test's own): the launcher's personal server takes a birth and two
// wake-ups, and is gone once the game ends. Prints how long the sign-in
// window and each wake-up took.
TEST(EndToEnd, APersonalServerWhenNoneIsChosen) {
  for (const char *tool : {"/usr/bin/xvfb-run", "/usr/bin/xdotool", "/usr/bin/unshare"})
    ASSERT_TRUE(FileExists(tool)) << tool << " is missing: run scripts/install-deps.sh";
  const std::string stage = VARKEL_STAGE_DIR;
  const std::string dir = MakeTempDir();
  const std::string home = dir + "home";
  Controls at;
  std::string script =
      std::string(kPlayer) +
      "ip link set lo up\n"
      "unset SDL_VIDEODRIVER SDL_AUDIODRIVER XDG_STATE_HOME XDG_DATA_HOME XDG_CONFIG_HOME "
      "VARKEL_SERVER\n"
      "export HOME=" +
      Shell(home) +
      " ASAN_OPTIONS=detect_leaks=0\n"
      "log=$HOME/.local/state/varkel/server.log\n"
      "talks() { grep -c '^varkel_server: 127\\.0\\.0\\.1 \"' \"$log\"; }\n"
      "await() {\n"
      "  n=0; until [ \"$(talks)\" -ge $1 ]; do\n"
      "    [ $n -lt 600 ] || { echo \"conversation $1 never came\"; exit 3; }\n"
      "    sleep 0.01; n=$((n+1)); done; idle; }\n"
      "started=$(ms)\n"
      "timeout -s KILL 150 " +
      Shell(stage + "/usr/games/varkel") +
      " & pid=$!\n"
      "window\n"
      "echo \"sign-in window: $(($(ms) - started)) ms\"\n"
      "click " +
      at.nickname + "; type zed; click " + at.password + "; type pwd123\n" + "click " +
      at.subscribe +
      "; await 1\n"
      "t=$(ms); click " +
      at.connect +
      "; await 2; echo \"first wake-up: $(($(ms) - t)) ms\"\n"
      "click " +
      at.disconnect +
      "; await 3\n"
      "t=$(ms); click " +
      at.connect +
      "; await 4; echo \"second wake-up: $(($(ms) - t)) ms\"\n"
      "click " +
      at.disconnect + "; await 5; click " + at.quit +
      "\n"
      "wait $pid; echo \"client ended with $?\"\n"
      // The pattern does not match the grep that reads it.
      "n=0; while ps -eo args | grep -q -- \"$HOME/.local/share/varkel/varkel.d[b]\"; do\n"
      "  [ $n -lt 250 ] || { echo 'the personal server is left'; exit 6; }\n"
      "  sleep 0.1; n=$((n+1)); done\n"
      "echo 'no server left'\n";
  std::vector<std::string> inside = {"/usr/bin/unshare", "--net", "--mount"};
  if (geteuid() != 0) inside.push_back("--map-root-user");
  for (const char *word : {"/usr/bin/xvfb-run", "-a", "/bin/sh", "-c"})
    inside.push_back(word);
  inside.push_back(script);
  ProcessResult run = RunProcess(inside, dir, 240000);
  std::cout << run.out;
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("client ended with 1"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("no server left"), std::string::npos) << run.out;
  // The birth and both wake-ups went through the personal server, whose
  // world stays for the next game.
  const std::string state = home + "/.local/state/varkel/";
  std::vector<std::string> talks =
      LinesAfter(ReadFileText(state + "server.log"), "varkel_server: 127.0.0.1 ");
  const std::vector<std::string> queries = {WIRE_QUERY_SUBSCRIBE, WIRE_QUERY_CONNECT,
                                            WIRE_QUERY_SLEEP, WIRE_QUERY_CONNECT, WIRE_QUERY_SLEEP};
  ASSERT_EQ(talks.size(), queries.size()) << run.out;
  for (size_t n = 0; n < queries.size(); n++)
    EXPECT_EQ(talks[n].rfind("\"" + queries[n] + "\" \"zed\": ", 0), 0u) << talks[n];
  EXPECT_NE(
      Sqlite(home + "/.local/share/varkel/varkel.db", "SELECT name FROM characters").find("zed"),
      std::string::npos);
  RemoveTree(dir);
}

// A server that swallows the connection (its listen queue full): the wake-up
// ends within the action's limit, logged with the address, and the sign-in
// screen is back, since a click on the wake-up control starts it again.
TEST(EndToEnd, ASwallowedConnectionGivesTheHallBack) {
  const std::string stage = VARKEL_STAGE_DIR;
  const std::string dir = MakeTempDir();
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(listener, (struct sockaddr *)&address, length), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, (struct sockaddr *)&address, &length), 0);
  std::vector<int> queued;
  for (int n = 0; n < 8; n++) {
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    queued.push_back(client);
    connect(client, (struct sockaddr *)&address, sizeof(address));
    struct pollfd watched = {client, POLLOUT, 0};
    if (poll(&watched, 1, 300) == 0) break;
  }
  const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  Controls at;
  const std::string log = dir + "home/.local/state/varkel/1/var/log/varkel/varkel_client.log";
  std::string script = std::string(kPlayer) +
                       "unset SDL_VIDEODRIVER SDL_AUDIODRIVER XDG_STATE_HOME\n"
                       "export HOME=" +
                       Shell(dir + "home") +
                       "\n"
                       "failed() { grep -c '^connect: ' " +
                       Shell(log) +
                       "; }\n"
                       "timeout -s KILL 150 " +
                       Shell(stage + "/usr/games/varkel") + " --server " + where +
                       " & pid=$!\n"
                       "window\n"
                       "click " +
                       at.nickname + "; type zed; click " + at.password + "; type pwd123\n" +
                       "t=$(ms); click " + at.connect +
                       "\n"
                       "sleep 1; idle; echo \"the wake-up ended after $(($(ms) - t)) ms\"\n"
                       "[ \"$(failed)\" -eq 1 ] || { echo 'no failure logged'; exit 7; }\n"
                       "click " +
                       at.connect +
                       "\n"
                       "n=0; until [ \"$(threads)\" -gt $idle_threads ]; do\n"
                       "  [ $n -lt 100 ] || { echo 'the second click started nothing'; exit 8; }\n"
                       "  sleep 0.02; n=$((n+1)); done\n"
                       "echo 'the hall took the click'\n"
                       "kill $pid; wait $pid\n";
  ProcessResult run = RunProcess({"/usr/bin/xvfb-run", "-a", "/bin/sh", "-c", script}, dir, 240000);
  for (int client : queued)
    close(client);
  close(listener);
  std::cout << run.out;
  EXPECT_NE(run.out.find("the hall took the click"), std::string::npos) << run.out;
  std::string logged = ReadFileText(log);
  EXPECT_NE(logged.find("connect: " + where + ": " + where + ": no answer within the time limit\n"),
            std::string::npos)
      << logged;
  EXPECT_EQ(logged.find("Sent:"), std::string::npos) << logged;
  RemoveTree(dir);
}

} // namespace
