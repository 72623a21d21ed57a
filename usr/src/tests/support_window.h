// SPDX-License-Identifier: MIT
// The real client as a player meets it: an install tree to run it from,
// an X server of the test's own, and a driver that points, clicks and
// types in its window where the client's own layout puts each control.
#ifndef VARKEL_SUPPORT_WINDOW_H
#define VARKEL_SUPPORT_WINDOW_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support.h"

// A throw-away install tree: root/usr/bin is the client's working
// directory, the pictures and font link to the build's, root/var/log/varkel
// and root/tmp exist unless asked otherwise.
struct InstallTree {
  std::string root;
  explicit InstallTree(bool with_log_dir = true, bool with_pictures = true);
  ~InstallTree();
  std::string Bin() const { return root + "usr/bin"; }
  std::string LogPath() const { return root + "var/log/varkel/varkel_client.log"; }
};

// Xvfb on a display it picks itself (no two tests can take the same one),
// stopped with the object. Display() is empty when it could not start.
class XServer {
public:
  XServer();
  ~XServer();
  const std::string &Display() const { return display_; } // ":N"
  std::string Assignment() const { return "DISPLAY=" + display_; }

private:
  pid_t pid_ = -1;
  std::string display_;
};

// xdotool on a display, aimed at the client's window and at its controls
// by name ("bar_nickname", "bmp_speak": see kControls), their middles taken
// from the client's layout on the same pictures. Each step returns false
// when it could not be made.
class WindowDriver {
public:
  explicit WindowDriver(const std::string &display);
  ~WindowDriver();
  // Waits for the window titled "Varkel".
  bool FindWindow(int timeout_ms = 20000);
  const std::string &Window() const { return window_; }
  // The process that shows the window; -1 when it cannot be told.
  pid_t WindowPid() const;
  bool Click(const std::string &control);
  bool ClickAt(int x, int y);
  bool PointAt(int x, int y);
  bool Type(const std::string &text);
  // The middle of a control as the layout places it; false for no such name.
  bool CenterOf(const std::string &control, int *x, int *y) const;
  // The middle of a picture where the special control stands at `place`.
  bool SpecialAt(const char *place, int *x, int *y) const;

private:
  bool Xdotool(const std::vector<std::string> &args, std::string *out = nullptr) const;
  std::string display_, window_;
  Game *layout_;
  std::string layout_dir_;
};

// The client's loop is asleep between frames (it waits in ppoll, which
// nothing else in the client calls): it has started and has nothing to do.
bool LoopSleeps(pid_t client);
// Waits for LoopSleeps, at most timeout_ms.
bool AwaitLoopSleeps(pid_t client, int timeout_ms = 10000);

#endif
