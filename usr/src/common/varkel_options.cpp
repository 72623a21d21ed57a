// SPDX-License-Identifier: MIT
#include "common/varkel_options.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

int OptionNumber(const char *text, int low, int high, int *out) {
  // Digits only: strtol alone would also take blanks and a plus sign.
  if (!isdigit((unsigned char)text[0]) && !(text[0] == '-' && low < 0)) return 1;
  char *end = NULL;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return 1;
  *out = (int)value;
  return 0;
}

static int Known(const std::string &option, const char *const *names, size_t count) {
  for (size_t i = 0; i < count; i++) {
    if (option == names[i]) return 1;
  }
  return 0;
}

static OptionsRead Bad(std::string *problem, const std::string &text) {
  *problem = text;
  return OPTIONS_BAD;
}

OptionsRead ReadOptions(int argc, char **argv, const char *const *names, size_t count,
                        OptionTaker take, void *config, std::string *problem) {
  for (int i = 1; i < argc; i++) {
    std::string option(argv[i]);
    if (option == "--help" || option == "-h") return OPTIONS_HELP;
    if (option == "--version" || option == "-v") return OPTIONS_VERSION;
    if (option.compare(0, 2, "--") != 0 && option[0] == '-' && option.size() > 1)
      return Bad(problem, "unknown option " + option);
    if (option.compare(0, 2, "--") != 0) return Bad(problem, "stray argument " + option);
    std::string value;
    size_t equal = option.find('=');
    if (equal != std::string::npos) {
      value = option.substr(equal + 1);
      option.resize(equal);
    }
    if (!Known(option, names, count)) return Bad(problem, "unknown option " + option);
    if (equal == std::string::npos) {
      if (i + 1 >= argc) return Bad(problem, option + " needs a value");
      value = argv[++i];
    }
    if (take(config, option, value.c_str()) != 0)
      return Bad(problem, "bad value for " + option + ": \"" + value + "\"");
  }
  return OPTIONS_RUN;
}
