// SPDX-License-Identifier: MIT
// The installed programs together: the staged server, and the staged client
// started by the staged launcher in a real window under Xvfb, played by
// xdotool through a whole life. Checked in the server's database and log and
// in the client's own log and files, in the player's tree.
#include <dirent.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
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

} // namespace
