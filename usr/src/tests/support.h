// SPDX-License-Identifier: MIT
// Test fixtures: SDL on the dummy video driver, a record loaded from the
// real pictures and font into a temporary data folder, subprocesses.
#ifndef VARKEL_TEST_SUPPORT_H
#define VARKEL_TEST_SUPPORT_H

#include <atomic>
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

// A record after InitGame with the paths of the source tree's pictures and
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
// (pictures and font of the source tree), data and log under `dir`.
void SetTestPaths(Game *jeu, const std::string &dir);

// In a forked child: runs argv[0] with argv, or ends the child with 127.
[[noreturn]] void ExecArgv(const std::vector<std::string> &argv);

// Runs a program, waits at most timeout_ms (then kills it). Returns the exit
// status, or -1 when it was killed or died of a signal.
struct ProcessResult {
  int status;
  std::string out;
};
ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &cwd,
                         int timeout_ms, const std::vector<std::string> &extra_env = {});

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
