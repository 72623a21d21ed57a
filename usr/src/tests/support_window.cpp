// SPDX-License-Identifier: MIT
#include "support_window.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

InstallTree::InstallTree(bool with_log_dir, bool with_pictures) : root(MakeTempDir()) {
  std::vector<std::string> dirs = {"usr/bin", "usr/share/varkel", "tmp"};
  if (with_log_dir) dirs.push_back("var/log/varkel");
  for (const std::string &dir : dirs)
    RunProcess({"/bin/mkdir", "-p", root + dir}, "/", 10000);
  if (with_pictures)
    for (const char *dir : {"pictures", "fonts"})
      if (symlink((std::string(VARKEL_SHARE_DIR "/") + dir).c_str(),
                  (root + "usr/share/varkel/" + dir).c_str()) != 0)
        ADD_FAILURE() << "cannot link " << dir << " into " << root;
}

InstallTree::~InstallTree() {
  RemoveTree(root);
}

XServer::XServer() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  Launch launch;
  // -noreset: a server that resets whenever its last client (an xdotool
  // call) leaves drops a client connecting during the reset.
  launch.argv = {"/usr/bin/Xvfb", "-displayfd", "1", "-noreset",   "-nolisten",
                 "tcp",           "-screen",    "0", "1024x768x24"};
  launch.out_fd = fds[1];
  pid_ = StartProcess(launch);
  close(fds[1]);
  // Xvfb writes the display's number once it takes connections; its
  // warnings come on the same pipe.
  std::string said;
  char c;
  while (pid_ > 0 && read(fds[0], &c, 1) == 1) {
    if (c != '\n') {
      said += c;
      continue;
    }
    if (!said.empty() && said.find_first_not_of("0123456789") == std::string::npos) {
      display_ = ":" + said;
      break;
    }
    said.clear();
  }
  close(fds[0]);
}

XServer::~XServer() {
  if (pid_ > 0) StopProcess(pid_, SIGTERM, 5000);
}

WindowDriver::WindowDriver(const std::string &display)
    : display_(display), layout_(static_cast<Game *>(calloc(1, sizeof(Game)))),
      layout_dir_(MakeTempDir()) {
  // The layout the client makes on the same pictures, on the dummy driver
  // of this process.
  StartLibraries();
  InitGame(layout_);
  SetTestPaths(layout_, layout_dir_);
  layout_->file_log = fopen(layout_->path_log, "w+");
  if (layout_->file_log == nullptr || LoadGame(layout_) != 0)
    ADD_FAILURE() << "no layout: " << ReadFileText(layout_dir_ + "varkel_client.log");
}

WindowDriver::~WindowDriver() {
  if (layout_->file_log != nullptr) fclose(layout_->file_log);
  free(layout_);
  RemoveTree(layout_dir_);
}

bool WindowDriver::Xdotool(const std::vector<std::string> &args, std::string *out) const {
  std::vector<std::string> argv = {"/usr/bin/xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult run = RunProcess(argv, "/", 30000, {"DISPLAY=" + display_});
  if (out != nullptr) *out = run.out;
  return run.status == 0;
}

bool WindowDriver::FindWindow(int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 100) {
    std::string found;
    if (Xdotool({"search", "--name", "^Varkel$"}, &found) && !found.empty()) {
      window_ = found.substr(0, found.find('\n'));
      return true;
    }
    usleep(100000);
  }
  return false;
}

pid_t WindowDriver::WindowPid() const {
  std::string pid;
  if (!Xdotool({"getwindowpid", window_}, &pid)) return -1;
  return (pid_t)atol(pid.c_str());
}

bool WindowDriver::CenterOf(const std::string &control, int *x, int *y) const {
  const Control *found = FindControl(control.c_str());
  if (found == nullptr || layout_->*found->look.surface == nullptr) return false;
  const SDL_Rect &at = layout_->*found->look.at;
  const SDL_Surface *picture = layout_->*found->look.surface;
  *x = at.x + picture->w / 2;
  *y = at.y + picture->h / 2;
  return true;
}

bool WindowDriver::SpecialAt(const char *place, int *x, int *y) const {
  const PlaceRow *row = FindPlace(place);
  if (row == nullptr || row->special == kPictureCount) return false;
  if (LoadPictureRow(layout_, row->special) != 0) return false;
  PlaceSpecial(layout_, row);
  return CenterOf("bmp_special", x, y);
}

bool WindowDriver::PointAt(int x, int y) {
  return Xdotool({"mousemove", "--window", window_, std::to_string(x), std::to_string(y)});
}

bool WindowDriver::ClickAt(int x, int y) {
  return Xdotool(
      {"mousemove", "--window", window_, std::to_string(x), std::to_string(y), "click", "1"});
}

bool WindowDriver::Click(const std::string &control) {
  int x, y;
  if (!CenterOf(control, &x, &y)) {
    ADD_FAILURE() << "no control " << control;
    return false;
  }
  return ClickAt(x, y);
}

bool WindowDriver::Type(const std::string &text) {
  return Xdotool({"type", "--delay", "40", text});
}

bool LoopSleeps(pid_t client) {
  std::ifstream syscall("/proc/" + std::to_string(client) + "/syscall");
  long number = -1;
  syscall >> number;
  return number == SYS_ppoll;
}

bool AwaitLoopSleeps(pid_t client, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    if (LoopSleeps(client)) return true;
    usleep(20000);
  }
  return false;
}
