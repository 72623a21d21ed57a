// SPDX-License-Identifier: MIT
#include "support.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

void StartLibraries() {
  setenv("SDL_VIDEODRIVER", "dummy", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  signal(SIGPIPE, SIG_IGN);
  if (SDL_WasInit(SDL_INIT_VIDEO) == 0) {
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER), 0);
  }
  if (!TTF_WasInit()) {
    ASSERT_EQ(TTF_Init(), 0);
  }
  ASSERT_EQ(SDLNet_Init(), 0);
}

std::string MakeTempDir() {
  char pattern[] = "/tmp/varkel_test_XXXXXX";
  char *made = mkdtemp(pattern);
  EXPECT_NE(made, nullptr);
  return std::string(made ? made : "/tmp") + "/";
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

// In this process: a fork of a sanitized test costs more than the removal.
void RemoveTree(const std::string &path) {
  if (path.size() > 5 && path.rfind("/tmp/", 0) == 0)
    nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

size_t Count(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    count++;
  return count;
}

std::string ReadFileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFileText(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool FileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void SetTestPaths(Game *jeu, const std::string &dir) {
  snprintf(jeu->path_pictures, sizeof(jeu->path_pictures), "%s", VARKEL_SHARE_DIR "/pictures/");
  snprintf(jeu->path_fonts, sizeof(jeu->path_fonts), "%s", VARKEL_SHARE_DIR "/fonts/");
  snprintf(jeu->path_texts, sizeof(jeu->path_texts), "%s", dir.c_str());
  snprintf(jeu->path_log, sizeof(jeu->path_log), "%svarkel_client.log", dir.c_str());
}

LoadedGame::LoadedGame() : jeu(static_cast<Game *>(calloc(1, sizeof(Game)))), dir(MakeTempDir()) {
  StartLibraries();
  InitGame(jeu);
  SetTestPaths(jeu, dir);
  jeu->file_log = fopen(jeu->path_log, "w+");
  setvbuf(jeu->file_log, nullptr, _IOLBF, 0);
  EXPECT_EQ(LoadGame(jeu), 0) << Log();
  jeu->sfc_screen =
      SDL_SetVideoMode(jeu->screen_w, jeu->screen_h, 0, SDL_HWSURFACE | SDL_DOUBLEBUF);
  EXPECT_NE(jeu->sfc_screen, nullptr);
}

LoadedGame::~LoadedGame() {
  if (jeu->file_log) fclose(jeu->file_log);
  ClientTlsFree(jeu->tls);
  free(jeu);
  RemoveTree(dir);
}

std::string LoadedGame::Log() const {
  return ReadFileText(dir + "varkel_client.log");
}

unsigned PixelAt(SDL_Surface *surface, int x, int y) {
  SDL_LockSurface(surface);
  Uint8 *row = static_cast<Uint8 *>(surface->pixels) + y * surface->pitch;
  Uint32 value = 0;
  int bpp = surface->format->BytesPerPixel;
  memcpy(&value, row + x * bpp, bpp);
  SDL_UnlockSurface(surface);
  Uint8 r, g, b;
  SDL_GetRGB(value, surface->format, &r, &g, &b);
  return (unsigned)r << 16 | (unsigned)g << 8 | b;
}

long ProcessKilobytes(const char *field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string wanted = std::string(field) + ":";
  while (std::getline(status, line))
    if (line.rfind(wanted, 0) == 0) return strtol(line.c_str() + wanted.size(), nullptr, 10);
  return -1;
}

const char *PlantedName(Planted kind) {
  return kind == Planted::kFifo ? "FIFO" : kind == Planted::kLink ? "link" : "foreign file";
}

bool Plant(const std::string &path, Planted kind, const std::string &content) {
  unlink(path.c_str());
  if (kind == Planted::kFifo) return mkfifo(path.c_str(), 0666) == 0;
  if (kind == Planted::kLink) {
    WriteFileText(path + ".target", content);
    return symlink((path + ".target").c_str(), path.c_str()) == 0;
  }
  WriteFileText(path, content);
  chmod(path.c_str(), 0666);
  return chown(path.c_str(), kNobody, kNobody) == 0;
}

bool StillPlanted(const std::string &path, Planted kind, const std::string &content) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (kind == Planted::kFifo) return S_ISFIFO(st.st_mode);
  if (kind == Planted::kLink)
    return S_ISLNK(st.st_mode) && ReadFileText(path + ".target") == content;
  return S_ISREG(st.st_mode) && st.st_uid == (uid_t)kNobody && ReadFileText(path) == content;
}

FifoWatchdog::FifoWatchdog(const std::string &path, int timeout_ms)
    : path_(path), timeout_ms_(timeout_ms) {
  thread_ = std::thread([this] {
    for (int waited = 0; waited < timeout_ms_; waited += 10) {
      if (disarmed_) return;
      usleep(10000);
    }
    fired_ = true;
    // Both ends at once: a blocked open returns, a blocked read sees the end.
    int fd = open(path_.c_str(), O_RDWR | O_NONBLOCK);
    usleep(200000);
    if (fd >= 0) close(fd);
  });
}

FifoWatchdog::~FifoWatchdog() {
  disarmed_ = true;
  thread_.join();
}
