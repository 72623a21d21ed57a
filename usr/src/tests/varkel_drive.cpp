// SPDX-License-Identifier: MIT
// The tests' window driver for scripts: acts on the client's window on
// $DISPLAY, at the controls where the client's layout puts them.
//
//   varkel_drive centers            prints "NAME X Y" for every control
//   varkel_drive click NAME ...     clicks the middle of each control
//   varkel_drive type TEXT          types TEXT
//
// Commands may follow each other on one line; it stops at the first that
// fails, with status 1.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support_window.h"

static int Run(WindowDriver *driver, int argc, char **argv) {
  for (int n = 1; n < argc; n++) {
    if (strcmp(argv[n], "centers") == 0) {
      for (const Control &control : kControls) {
        int x, y;
        if (driver->CenterOf(control.name, &x, &y)) printf("%s %d %d\n", control.name, x, y);
      }
      continue;
    }
    if (n + 1 >= argc) return 1;
    if (driver->Window().empty() && !driver->FindWindow()) {
      fprintf(stderr, "varkel_drive: no window titled Varkel\n");
      return 1;
    }
    const char *command = argv[n], *operand = argv[++n];
    bool done = strcmp(command, "click") == 0  ? driver->Click(operand)
                : strcmp(command, "type") == 0 ? driver->Type(operand)
                                               : false;
    if (!done) {
      fprintf(stderr, "varkel_drive: %s %s failed\n", command, operand);
      return 1;
    }
  }
  return 0;
}

int main(int argc, char **argv) {
  const char *display = getenv("DISPLAY");
  if (display == NULL || argc < 2) {
    fprintf(stderr, "usage: DISPLAY=:N varkel_drive centers | click NAME | type TEXT ...\n");
    return 2;
  }
  // The layout comes from this process's own SDL, which needs no display.
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  WindowDriver driver(display);
  return Run(&driver, argc, argv);
}
