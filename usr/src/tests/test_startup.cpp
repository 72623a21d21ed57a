// SPDX-License-Identifier: MIT
// The real client binary as a subprocess: command line, install layout, log,
// and the ways it ends.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"
#include "support_window.h"

namespace {

static const char kVersionText[] =
    "Varkel version " WIRE_VERSION_TEXT "\nhttps://varkel.example.org/\n";
static const char kUsageText[] = "varkel_client [option]\n"
                                 "\t-v --version : display the version.\n"
                                 "\t-h --help : display this help.\n"
                                 "\t-f --fullscreen : display in fullscreen mode.\n";

std::vector<std::string> ClientArgv(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {VARKEL_CLIENT_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

ProcessResult Client(const InstallTree &tree, const std::vector<std::string> &args) {
  return RunProcess(ClientArgv(args), tree.Bin(), 5000, {"SDL_VIDEODRIVER=dummy"});
}

// The dummy driver saves each frame it presents to a file.
bool Playing(const InstallTree &tree) {
  return FileExists(tree.Bin() + "/SDL_window1-00000003.bmp");
}

// A client that starts its game runs until killed: it is killed once its
// loop has presented frames.
ProcessResult ClientUntilItPlays(const InstallTree &tree, const std::vector<std::string> &args) {
  return RunProcess(ClientArgv(args), tree.Bin(), 10000,
                    {"SDL_VIDEODRIVER=dummy", "SDL_VIDEO_DUMMY_SAVE_FRAMES=1"},
                    [&tree] { return Playing(tree); });
}

TEST(CommandLine, VersionAndHelpPrintTheirTextsWithoutALog) {
  InstallTree tree;
  for (const char *option : {"-v", "--version"}) {
    ProcessResult result = Client(tree, {option});
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.out, kVersionText) << option;
  }
  for (const char *option : {"-h", "--help"}) {
    ProcessResult result = Client(tree, {option});
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.out, kUsageText) << option;
  }
  EXPECT_FALSE(FileExists(tree.LogPath()));
}

TEST(CommandLine, OnlyTheLastArgumentCounts) {
  InstallTree tree;
  ProcessResult version = Client(tree, {"-f", "--help", "-v"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, kVersionText);
  // "-v" before another argument starts the game, which runs until killed.
  ProcessResult started = ClientUntilItPlays(tree, {"-v", "-f"});
  EXPECT_EQ(started.status, -1) << started.out;
  EXPECT_EQ(started.out.find("Varkel version"), std::string::npos);
  EXPECT_TRUE(FileExists(tree.LogPath()));
}

TEST(Layout, RelativeTreeIsChosenWhenItsIconIsThere) {
  InstallTree tree;
  WriteFileText(tree.LogPath(), "a line from the previous run\n");
  WriteFileText(tree.root + "tmp/nickname.dat", "Aline");
  ProcessResult result = ClientUntilItPlays(tree, {});
  EXPECT_EQ(result.status, -1) << result.out;
  // Each start empties the log; a healthy start writes nothing to it.
  EXPECT_EQ(ReadFileText(tree.LogPath()), "");
}

TEST(Layout, SystemTreeIsChosenWithoutTheIcon) {
  InstallTree tree(true, false);
  ProcessResult result = Client(tree, {});
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(FileExists(tree.LogPath()));
  struct stat st;
  if (stat("/var/log/varkel", &st) != 0) {
    EXPECT_EQ(result.out, "fopen: unable to open /var/log/varkel/varkel_client.log\n");
  } else {
    // The system log folder exists here: the system pictures are used.
    EXPECT_NE(ReadFileText("/var/log/varkel/varkel_client.log").find("SDL_LoadBMP: "),
              std::string::npos);
  }
}

TEST(Layout, LogIsCreatedForItsOwnerOnly) {
  InstallTree tree;
  ProcessResult result = ClientUntilItPlays(tree, {});
  EXPECT_EQ(result.status, -1) << result.out;
  struct stat st;
  ASSERT_EQ(stat(tree.LogPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Layout, UnwritableLogEndsWithItsMessage) {
  InstallTree tree(false);
  ProcessResult result = Client(tree, {});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "fopen: unable to open ../../var/log/varkel/varkel_client.log\n");
}

TEST(Layout, MissingPictureStopsStartUpWithOneLogLine) {
  InstallTree tree(true, false);
  ASSERT_EQ(
      RunProcess({"/bin/mkdir", "-p", tree.root + "usr/share/varkel/pictures"}, "/", 10000).status,
      0);
  ASSERT_EQ(RunProcess({"/bin/cp", VARKEL_SHARE_DIR "/pictures/icon.bmp",
                        tree.root + "usr/share/varkel/pictures/"},
                       "/", 10000)
                .status,
            0);
  WriteFileText(tree.LogPath(), "old\n");
  ProcessResult result = Client(tree, {});
  EXPECT_EQ(result.status, 1);
  std::string log = ReadFileText(tree.LogPath());
  EXPECT_EQ(log.rfind("SDL_LoadBMP: ", 0), 0u) << log;
  EXPECT_EQ(log.substr(log.size() - 3), ".\n\a");
  EXPECT_EQ(log.find("old"), std::string::npos);
}

// A font that cannot be opened ends the start like a missing picture: its
// line in the log, a line saying where that is, status 1; never a crash.
TEST(Layout, MissingFontStopsStartUpWithItsLine) {
  InstallTree tree(true, false);
  ASSERT_EQ(
      symlink(VARKEL_SHARE_DIR "/pictures", (tree.root + "usr/share/varkel/pictures").c_str()), 0);
  ASSERT_EQ(mkdir((tree.root + "usr/share/varkel/fonts").c_str(), 0700), 0);
  ProcessResult result = Client(tree, {});
  EXPECT_EQ(result.status, 1) << result.out;
  std::string log = ReadFileText(tree.LogPath());
  EXPECT_EQ(log.rfind("TTF_OpenFont: ", 0), 0u) << log;
  EXPECT_NE(result.out.find("varkel_client.log says why"), std::string::npos) << result.out;
}

// Closing the window reaches the loop as SDL_QUIT, which SDL also posts on
// SIGTERM: the client must end with status 1, not die of the signal.
TEST(Loop, WindowCloseEndsWithStatusOne) {
  InstallTree tree;
  Launch launch;
  launch.argv = {VARKEL_CLIENT_BINARY};
  launch.cwd = tree.Bin();
  launch.env = {"SDL_VIDEODRIVER=dummy", "SDL_VIDEO_DUMMY_SAVE_FRAMES=1"};
  pid_t pid = StartProcess(launch);
  ASSERT_GT(pid, 0);
  int ended = -1;
  Awaited awaited = AwaitReady(
      pid, [&tree] { return Playing(tree); }, 10000, &ended);
  ASSERT_NE(awaited, Awaited::kEnded) << "ended before its loop with " << ended;
  int status = StopProcess(pid, SIGTERM, 5000);
  EXPECT_EQ(status, 1);
}

// Without a display SDL would draw nowhere and the client would never end:
// it says so and stops; so it does with a display that is not there, where
// SDL falls back to a driver without a window. The dummy driver, asked for
// by name, still runs.
TEST(Display, NoDisplayStopsAtOnceWithStatusOne) {
  InstallTree tree;
  std::vector<std::pair<std::string, std::string>> kept;
  for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"}) {
    if (getenv(name) != nullptr) kept.emplace_back(name, getenv(name));
    unsetenv(name);
  }
  ProcessResult result = RunProcess({VARKEL_CLIENT_BINARY}, tree.Bin(), 5000);
  ProcessResult missing = RunProcess({VARKEL_CLIENT_BINARY}, tree.Bin(), 5000, {"DISPLAY=:4093"});
  for (const auto &variable : kept)
    setenv(variable.first.c_str(), variable.second.c_str(), 1);
  EXPECT_EQ(result.status, 1) << "killed after 5 s, or ended otherwise: " << result.out;
  EXPECT_NE(result.out.find("no display"), std::string::npos) << result.out;
  EXPECT_EQ(missing.status, 1) << "killed after 5 s, or ended otherwise: " << missing.out;
  EXPECT_NE(missing.out.find("the display cannot be opened (DISPLAY=:4093"), std::string::npos)
      << missing.out;
  // Nothing was started: no log either.
  EXPECT_FALSE(FileExists(tree.LogPath()));
  ProcessResult dummy = ClientUntilItPlays(tree, {});
  EXPECT_EQ(dummy.status, -1) << "the dummy driver runs until killed: " << dummy.out;
}

// Presenting frames through OpenGL where no driver is (Mesa drawing in
// software) cost several times SDL's own software renderer: in a window the
// client maps no OpenGL library, unless the player asked for OpenGL.
TEST(Display, WindowIsPresentedWithoutOpenGlUnlessAsked) {
  if (!FileExists("/usr/bin/Xvfb") || !FileExists("/usr/bin/xdotool"))
    GTEST_SKIP() << "needs Xvfb and xdotool";
  InstallTree tree;
  XServer x;
  ASSERT_FALSE(x.Display().empty());
  auto gl_libraries = [&](std::vector<std::string> env) {
    Launch launch;
    launch.argv = {VARKEL_CLIENT_BINARY};
    launch.cwd = tree.Bin();
    env.push_back(x.Assignment());
    env.push_back("SDL_VIDEODRIVER=x11");
    launch.env = env;
    pid_t client = StartProcess(launch);
    WindowDriver driver(x.Display());
    EXPECT_TRUE(driver.FindWindow());
    // Its renderer is made once its loop sleeps between frames.
    EXPECT_TRUE(AwaitLoopSleeps(client));
    std::string maps = ReadFileText("/proc/" + std::to_string(client) + "/maps");
    StopProcess(client, SIGKILL, 5000);
    int count = 0;
    for (const char *library : {"libGL", "_dri.so", "libgallium"})
      for (size_t at = maps.find(library); at != std::string::npos; at = maps.find(library, at + 1))
        count++;
    return count;
  };
  EXPECT_EQ(gl_libraries({}), 0);
  EXPECT_GT(gl_libraries({"SDL_RENDER_DRIVER=opengl"}), 0);
}

} // namespace
