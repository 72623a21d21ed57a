// SPDX-License-Identifier: MIT
// Test fixtures: SDL on the dummy video driver, a record loaded from the
// real pictures and font into a temporary data folder, subprocesses.
#ifndef VARKEL_TEST_SUPPORT_H
#define VARKEL_TEST_SUPPORT_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client_functions.h"

// Brings SDL (video and timer), SDL_ttf and SDL_net up; idempotent, also
// after a failure path of the client shut SDL down.
void StartLibraries();

// A fresh folder under /tmp, removed by RemoveTree.
std::string MakeTempDir();
void RemoveTree(const std::string &path);
std::string ReadFileText(const std::string &path);
void WriteFileText(const std::string &path, const std::string &text);
bool FileExists(const std::string &path);
// How many times part stands in text (a log line counted, say).
size_t Count(const std::string &text, const std::string &part);

// A record after InitGame with the paths of the build's pictures and
// font, a temporary data folder and log, LoadGame and a 640x480 video mode.
// The record is large: keep it on the heap.
struct LoadedGame {
  Game *jeu;
  std::string dir; // the temporary data folder, ending in "/"
  LoadedGame();
  ~LoadedGame();
  std::string Log() const; // the log so far
};

// Fills the paths as the client does for an install tree rooted at `root`
// (pictures and font of the build), data and log under `dir`.
void SetTestPaths(Game *jeu, const std::string &dir);

// The user that owns what belongs to someone else (tests run as root in CI).
constexpr int kNobody = 65534;

// How a test starts a program: argv[0] is its path; its output goes to
// out_fd (-1: the test's own), it runs from cwd ("": the test's) with env's
// NAME=value added, as user 65534 when as_nobody and the tests run as root,
// and it is killed when the thread that started it ends, if tied.
struct Launch {
  std::vector<std::string> argv;
  std::string cwd;
  std::vector<std::string> env;
  int out_fd = -1;
  bool as_nobody = false;
  bool tied = true;
};
// Its pid, or -1 when fork fails (an exec that fails ends it with 127).
pid_t StartProcess(const Launch &launch);

// Polls ready() until it holds, the program ends (its exit status, or -1
// for a signal, in *status) or timeout_ms pass.
enum class Awaited { kReady, kEnded, kTimedOut };
Awaited AwaitReady(pid_t pid, const std::function<bool()> &ready, int timeout_ms,
                   int *status = nullptr);

// Sends signal_number, waits at most timeout_ms (then kills it). Returns
// the exit status, or -1 when it died of a signal.
int StopProcess(pid_t pid, int signal_number, int timeout_ms);

// A loopback TCP port free at the time of the call.
int FreePort();

// Runs a program, its output collected, until it ends, until ready() holds
// or for at most timeout_ms; in the last two cases it is killed. Returns the
// exit status, or -1 when it was killed or died of a signal.
struct ProcessResult {
  int status;
  std::string out;
};
ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &cwd,
                         int timeout_ms, const std::vector<std::string> &extra_env = {},
                         const std::function<bool()> &ready = nullptr);

// What another user could leave at a data file's name: a FIFO, a symbolic
// link to a file of ours, or a file of user 65534 (chown: root only).
enum class Planted { kFifo, kLink, kForeignFile };
const Planted kAllPlanted[] = {Planted::kFifo, Planted::kLink, Planted::kForeignFile};
const char *PlantedName(Planted kind);
// Puts it at path; a file (the link's target path + ".target", or the
// foreign file) holds content. False when it cannot be made here.
bool Plant(const std::string &path, Planted kind, const std::string &content);
// Nothing was written through it: still a FIFO, or the file still holds content.
bool StillPlanted(const std::string &path, Planted kind, const std::string &content);

// Opens both ends of a FIFO after timeout_ms unless disarmed first, so that
// a client stuck opening or reading it comes loose and the test can fail.
class FifoWatchdog {
public:
  FifoWatchdog(const std::string &path, int timeout_ms);
  ~FifoWatchdog(); // disarms, waits for its thread
  bool Fired() const { return fired_; }

private:
  std::string path_;
  int timeout_ms_;
  std::atomic<bool> disarmed_{false}, fired_{false};
  std::thread thread_;
};

// A size line of /proc/self/status ("VmSize", "VmRSS") in kB; -1 if absent.
long ProcessKilobytes(const char *field);

// Pixel of a surface as (r, g, b) packed 0xRRGGBB.
unsigned PixelAt(SDL_Surface *surface, int x, int y);

#endif
