// SPDX-License-Identifier: MIT
// The real client binary as a subprocess: command line, install layout, log,
// and the ways it ends.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

namespace {

static const char kVersionText[] = "Varkel version 20250817\nhttps://varkel.example.org/\n";
static const char kUsageText[] = "varkel_client [option]\n"
                                 "\t-v --version : display the version.\n"
                                 "\t-h --help : display this help.\n"
                                 "\t-f --fullscreen : display in fullscreen mode.\n";

// A throw-away install tree: root/usr/bin is the working directory, the
// pictures and font link to the build's, root/var/log/varkel and
// root/tmp exist unless asked otherwise.
struct InstallTree {
  std::string root;
  explicit InstallTree(bool with_log_dir = true, bool with_pictures = true) : root(MakeTempDir()) {
    Run({"/bin/mkdir", "-p", root + "usr/bin", root + "usr/share/varkel", root + "tmp"});
    if (with_log_dir) Run({"/bin/mkdir", "-p", root + "var/log/varkel"});
    if (with_pictures) {
      Run({"/bin/ln", "-s", VARKEL_SHARE_DIR "/pictures", root + "usr/share/varkel/pictures"});
      Run({"/bin/ln", "-s", VARKEL_SHARE_DIR "/fonts", root + "usr/share/varkel/fonts"});
    }
  }
  ~InstallTree() { RemoveTree(root); }
  static void Run(const std::vector<std::string> &argv) {
    ASSERT_EQ(RunProcess(argv, "/", 10000).status, 0);
  }
  std::string Bin() const { return root + "usr/bin"; }
  std::string LogPath() const { return root + "var/log/varkel/varkel_client.log"; }
  ProcessResult Client(const std::vector<std::string> &args) const {
    return RunProcess(ClientArgv(args), Bin(), 5000, {"SDL_VIDEODRIVER=dummy"});
  }
  // A client that starts its game runs until killed: it is killed once its
  // loop has presented frames (the dummy driver saves each one to a file).
  ProcessResult ClientUntilItPlays(const std::vector<std::string> &args) const {
    return RunProcess(ClientArgv(args), Bin(), 10000,
                      {"SDL_VIDEODRIVER=dummy", "SDL_VIDEO_DUMMY_SAVE_FRAMES=1"},
                      [this] { return Playing(); });
  }
  bool Playing() const { return FileExists(Bin() + "/SDL_window1-00000003.bmp"); }
  static std::vector<std::string> ClientArgv(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {VARKEL_CLIENT_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
};

TEST(CommandLine, VersionAndHelpPrintTheirTextsWithoutALog) {
  InstallTree tree;
  for (const char *option : {"-v", "--version"}) {
    ProcessResult result = tree.Client({option});
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.out, kVersionText) << option;
  }
  for (const char *option : {"-h", "--help"}) {
    ProcessResult result = tree.Client({option});
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.out, kUsageText) << option;
  }
  EXPECT_FALSE(FileExists(tree.LogPath()));
}

TEST(CommandLine, OnlyTheLastArgumentCounts) {
  InstallTree tree;
  ProcessResult version = tree.Client({"-f", "--help", "-v"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, kVersionText);
  // "-v" before another argument starts the game, which runs until killed.
  ProcessResult started = tree.ClientUntilItPlays({"-v", "-f"});
  EXPECT_EQ(started.status, -1) << started.out;
  EXPECT_EQ(started.out.find("Varkel version"), std::string::npos);
  EXPECT_TRUE(FileExists(tree.LogPath()));
}

TEST(Layout, RelativeTreeIsChosenWhenItsIconIsThere) {
  InstallTree tree;
  WriteFileText(tree.LogPath(), "a line from the previous run\n");
  WriteFileText(tree.root + "tmp/nickname.dat", "Aline");
  ProcessResult result = tree.ClientUntilItPlays({});
  EXPECT_EQ(result.status, -1) << result.out;
  // Each start empties the log; a healthy start writes nothing to it.
  EXPECT_EQ(ReadFileText(tree.LogPath()), "");
}

TEST(Layout, SystemTreeIsChosenWithoutTheIcon) {
  InstallTree tree(true, false);
  ProcessResult result = tree.Client({});
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
  ProcessResult result = tree.ClientUntilItPlays({});
  EXPECT_EQ(result.status, -1) << result.out;
  struct stat st;
  ASSERT_EQ(stat(tree.LogPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Layout, UnwritableLogEndsWithItsMessage) {
  InstallTree tree(false);
  ProcessResult result = tree.Client({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "fopen: unable to open ../../var/log/varkel/varkel_client.log\n");
}

TEST(Layout, MissingPictureStopsStartUpWithOneLogLine) {
  InstallTree tree(true, false);
  InstallTree::Run({"/bin/mkdir", "-p", tree.root + "usr/share/varkel/pictures"});
  InstallTree::Run(
      {"/bin/cp", VARKEL_SHARE_DIR "/pictures/icon.bmp", tree.root + "usr/share/varkel/pictures/"});
  WriteFileText(tree.LogPath(), "old\n");
  ProcessResult result = tree.Client({});
  EXPECT_EQ(result.status, 1);
  std::string log = ReadFileText(tree.LogPath());
  EXPECT_EQ(log.rfind("SDL_LoadBMP: ", 0), 0u) << log;
  EXPECT_EQ(log.substr(log.size() - 3), ".\n\a");
  EXPECT_EQ(log.find("old"), std::string::npos);
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
      pid, [&tree] { return tree.Playing(); }, 10000, &ended);
  ASSERT_NE(awaited, Awaited::kEnded) << "ended before its loop with " << ended;
  int status = StopProcess(pid, SIGTERM, 5000);
  EXPECT_EQ(status, 1);
}

// Without a display SDL would draw nowhere and the client would never end:
// it says so and stops. The dummy driver, asked for by name, still runs.
TEST(Display, NoDisplayStopsAtOnceWithStatusOne) {
  InstallTree tree;
  std::vector<std::pair<std::string, std::string>> kept;
  for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"}) {
    if (getenv(name) != nullptr) kept.emplace_back(name, getenv(name));
    unsetenv(name);
  }
  ProcessResult result = RunProcess({VARKEL_CLIENT_BINARY}, tree.Bin(), 5000);
  for (const auto &variable : kept)
    setenv(variable.first.c_str(), variable.second.c_str(), 1);
  EXPECT_EQ(result.status, 1) << "killed after 5 s, or ended otherwise: " << result.out;
  EXPECT_NE(result.out.find("no display"), std::string::npos) << result.out;
  // Nothing was started: no log either.
  EXPECT_FALSE(FileExists(tree.LogPath()));
  ProcessResult dummy = tree.ClientUntilItPlays({});
  EXPECT_EQ(dummy.status, -1) << "the dummy driver runs until killed: " << dummy.out;
}

// Presenting frames through OpenGL where no driver is (Mesa drawing in
// software) cost several times SDL's own software renderer: in a window the
// client maps no OpenGL library, unless the player asked for OpenGL.
TEST(Display, WindowIsPresentedWithoutOpenGlUnlessAsked) {
  if (!FileExists("/usr/bin/xvfb-run") || !FileExists("/usr/bin/xdotool"))
    GTEST_SKIP() << "needs xvfb-run and xdotool";
  InstallTree tree;
  auto gl_libraries = [&](const std::string &environment) {
    char script[2048];
    snprintf(script, sizeof(script),
             "unset SDL_VIDEODRIVER SDL_RENDER_DRIVER SDL_FRAMEBUFFER_ACCELERATION\n"
             "%s timeout -s KILL 30 '%s' & pid=$!\n"
             "timeout 20 xdotool search --sync --name '^Varkel$' >/dev/null\n"
             "set -- $(cat /proc/$pid/task/$pid/children); client=$1\n"
             // Its renderer is made once its loop sleeps between frames.
             "n=0; until grep -q '^271 ' /proc/$client/syscall || [ $n -ge 200 ]; do\n"
             "  sleep 0.05; n=$((n+1)); done\n"
             "echo maps: $(grep -c -E 'libGL|_dri\\.so|libgallium' /proc/$client/maps)\n"
             "kill $pid; wait $pid\n",
             environment.c_str(), VARKEL_CLIENT_BINARY);
    ProcessResult run =
        RunProcess({"/usr/bin/xvfb-run", "-a", "/bin/sh", "-c", script}, tree.Bin(), 60000);
    size_t at = run.out.find("maps: ");
    EXPECT_NE(at, std::string::npos) << run.out;
    return at == std::string::npos ? -1 : atoi(run.out.c_str() + at + 6);
  };
  EXPECT_EQ(gl_libraries(""), 0);
  EXPECT_GT(gl_libraries("SDL_RENDER_DRIVER=opengl"), 0);
}

} // namespace
