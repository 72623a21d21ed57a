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
#include <time.h>
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

// The launcher started, its client's window shown and the client's loop
// asleep, with the count of its threads while no action runs.
struct Playing {
  pid_t launcher = -1;
  pid_t client = -1;
  size_t idle_threads = 0;
};

void StartGame(const Launch &launch, WindowDriver *driver, Playing *game) {
  game->launcher = StartProcess(launch);
  ASSERT_GT(game->launcher, 0);
  ASSERT_TRUE(driver->FindWindow(60000));
  game->client = driver->WindowPid();
  ASSERT_GT(game->client, 0);
  ASSERT_TRUE(AwaitLoopSleeps(game->client));
  game->idle_threads = Threads(game->client);
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
  WindowDriver driver(x.Display());
  Playing game;
  ASSERT_NO_FATAL_FAILURE(StartGame(launch, &driver, &game));
  const pid_t launcher = game.launcher, client = game.client;
  const size_t idle_threads = game.idle_threads;

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

// Waits until the client runs no action (its threads back to idle_threads);
// false past timeout_ms.
bool AwaitIdle(pid_t client, size_t idle_threads, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 50) {
    if (Threads(client) <= idle_threads) return true;
    usleep(50000);
  }
  return false;
}

// Processes whose command line holds `text`.
size_t ProcessesNaming(const std::string &text) {
  size_t count = 0;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return 0;
  for (struct dirent *entry; (entry = readdir(proc)) != nullptr;) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::string args = ReadFileText(std::string("/proc/") + entry->d_name + "/cmdline");
    std::replace(args.begin(), args.end(), '\0', ' ');
    count += args.find(text) != std::string::npos;
  }
  closedir(proc);
  return count;
}

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The player's launcher in a window of the test's own X server.
Launch Launcher(const XServer &x, const std::string &home, const std::vector<std::string> &argv) {
  Launch launch;
  launch.argv = argv;
  launch.cwd = home;
  launch.env = {x.Assignment(),
                "SDL_VIDEODRIVER=x11",
                "HOME=" + home,
                "XDG_STATE_HOME=",
                "XDG_DATA_HOME=",
                "XDG_CONFIG_HOME=",
                "ASAN_OPTIONS=detect_leaks=0",
                "VARKEL_SERVER="};
  return launch;
}

// Ends the launcher and its client, by their ids.
void EndGame(pid_t launcher, pid_t client) {
  kill(launcher, SIGTERM);
  int status;
  if (AwaitReady(
          launcher, [] { return false; }, 20000, &status) != Awaited::kEnded)
    kill(launcher, SIGKILL);
  if (client > 0 && kill(client, 0) == 0) kill(client, SIGKILL);
}

// No server chosen and none at the built-in address (a network of the
// test's own): the launcher's personal server takes a birth and two
// wake-ups, and is gone once the game ends. Prints how long the sign-in
// window and each wake-up took.
TEST(EndToEnd, APersonalServerWhenNoneIsChosen) {
  for (const char *tool : {"/usr/bin/Xvfb", "/usr/bin/xdotool", "/usr/bin/unshare", "/sbin/ip"})
    ASSERT_TRUE(FileExists(tool)) << tool << " is missing: run scripts/install-deps.sh";
  const std::string stage = VARKEL_STAGE_DIR;
  const std::string dir = MakeTempDir();
  const std::string home = dir + "home";
  ASSERT_EQ(RunProcess({"/bin/mkdir", "-p", home}, "/", 10000).status, 0);
  XServer x;
  ASSERT_FALSE(x.Display().empty());
  std::vector<std::string> inside = {"/usr/bin/unshare", "--net", "--mount"};
  if (geteuid() != 0) inside.push_back("--map-root-user");
  for (const std::string &word :
       {std::string("/bin/sh"), std::string("-c"),
        std::string("/sbin/ip link set lo up && exec \"$0\""), stage + "/usr/games/varkel"})
    inside.push_back(word);
  const long long started = NowMs();
  WindowDriver driver(x.Display());
  Playing game;
  ASSERT_NO_FATAL_FAILURE(StartGame(Launcher(x, home, inside), &driver, &game));
  std::cout << "sign-in window: " << NowMs() - started << " ms\n";
  const pid_t launcher = game.launcher, client = game.client;
  const size_t idle_threads = game.idle_threads;

  const std::string server_log = home + "/.local/state/varkel/server.log";
  size_t conversations = 0;
  auto act = [&](const char *control) {
    long long at = NowMs();
    if (!driver.Click(control)) return -1LL;
    conversations++;
    for (int waited = 0; waited < 30000; waited += 10) {
      if (LinesAfter(ReadFileText(server_log), "varkel_server: local \"").size() >= conversations &&
          Threads(client) <= idle_threads)
        return NowMs() - at;
      usleep(10000);
    }
    return -1LL;
  };
  ASSERT_TRUE(driver.Click("bar_nickname") && driver.Type(kName));
  ASSERT_TRUE(driver.Click("bar_password") && driver.Type(kPassword));
  ASSERT_GE(act("bmp_subscribe"), 0) << "the birth never came";
  long long first = act("bmp_connect");
  ASSERT_GE(first, 0) << "the first wake-up never came";
  ASSERT_GE(act("bmp_disconnect"), 0);
  long long second = act("bmp_connect");
  ASSERT_GE(second, 0) << "the second wake-up never came";
  ASSERT_GE(act("bmp_disconnect"), 0);
  std::cout << "first wake-up: " << first << " ms, second wake-up: " << second << " ms\n";
  ASSERT_TRUE(driver.Click("bmp_quit"));
  int status = -1;
  const bool ended = AwaitReady(
                         launcher, [] { return false; }, 30000, &status) == Awaited::kEnded;
  EXPECT_TRUE(ended);
  EXPECT_EQ(status, 1);
  // The personal server is gone with the last game.
  const std::string world = home + "/.local/share/varkel/varkel.db";
  int waited = 0;
  while (ProcessesNaming(world) > 0 && waited < 25000) {
    usleep(100000);
    waited += 100;
  }
  EXPECT_EQ(ProcessesNaming(world), 0u) << "the personal server is left";

  // The birth and both wake-ups went through the personal server, whose
  // world stays for the next game.
  std::vector<std::string> talks = LinesAfter(ReadFileText(server_log), "varkel_server: local ");
  const std::vector<std::string> queries = {WIRE_QUERY_SUBSCRIBE, WIRE_QUERY_CONNECT,
                                            WIRE_QUERY_SLEEP, WIRE_QUERY_CONNECT, WIRE_QUERY_SLEEP};
  ASSERT_EQ(talks.size(), queries.size());
  for (size_t n = 0; n < queries.size(); n++)
    EXPECT_EQ(talks[n].rfind("\"" + queries[n] + "\" \"zed\": ", 0), 0u) << talks[n];
  EXPECT_NE(Sqlite(world, "SELECT name FROM characters").find("zed"), std::string::npos);
  // An ended launcher's id may be another process's by now.
  if (!ended) EndGame(launcher, client);
  RemoveTree(dir);
}

// A server that swallows the connection (its listen queue full): the wake-up
// ends within the action's limit, logged with the address, and the sign-in
// screen is back, since a click on the wake-up control starts it again.
TEST(EndToEnd, ASwallowedConnectionGivesTheHallBack) {
  const std::string stage = VARKEL_STAGE_DIR;
  const std::string dir = MakeTempDir();
  const std::string home = dir + "home";
  ASSERT_EQ(RunProcess({"/bin/mkdir", "-p", home}, "/", 10000).status, 0);
  SwallowingListener listener;
  const std::string where = "127.0.0.1:" + std::to_string(listener.port);
  XServer x;
  ASSERT_FALSE(x.Display().empty());
  WindowDriver driver(x.Display());
  Playing game;
  ASSERT_NO_FATAL_FAILURE(StartGame(
      Launcher(x, home, {stage + "/usr/games/varkel", "--server", where}), &driver, &game));
  const pid_t launcher = game.launcher, client = game.client;
  const size_t idle_threads = game.idle_threads;
  ASSERT_TRUE(driver.Click("bar_nickname") && driver.Type(kName));
  ASSERT_TRUE(driver.Click("bar_password") && driver.Type(kPassword));
  long long at = NowMs();
  ASSERT_TRUE(driver.Click("bmp_connect"));
  usleep(500000);
  ASSERT_TRUE(AwaitIdle(client, idle_threads, 45000)) << "the client stayed busy";
  std::cout << "the wake-up ended after " << NowMs() - at << " ms\n";
  const std::string log = home + "/.local/state/varkel/1/var/log/varkel/varkel_client.log";
  std::string logged = ReadFileText(log);
  EXPECT_NE(logged.find("connect: " + where + ": " + where + ": no answer within the time limit\n"),
            std::string::npos)
      << logged;
  EXPECT_EQ(logged.find("Sent:"), std::string::npos) << logged;
  // Back in the hall: the wake-up control takes a click again.
  ASSERT_TRUE(driver.Click("bmp_connect"));
  bool started_again = false;
  for (int waited = 0; waited < 2000 && !started_again; waited += 20) {
    started_again = Threads(client) > idle_threads;
    usleep(20000);
  }
  EXPECT_TRUE(started_again) << "the second click started nothing";
  EndGame(launcher, client);
  listener.Close();
  RemoveTree(dir);
}

} // namespace
