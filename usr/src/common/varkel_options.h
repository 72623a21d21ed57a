// SPDX-License-Identifier: MIT
// The command line of the server and the tools: "--option value" or
// "--option=value", every mistake named for what it is.
#ifndef VARKEL_OPTIONS_H
#define VARKEL_OPTIONS_H

#include <stddef.h>

#include <string>

enum OptionsRead {
  OPTIONS_RUN = 0,     // every option taken
  OPTIONS_BAD = 1,     // *problem names the mistake
  OPTIONS_HELP = 2,    // --help or -h
  OPTIONS_VERSION = 3, // --version or -v
};

// Takes one known option's value into the caller's config; 0 when it fits.
typedef int (*OptionTaker)(void *config, const std::string &option, const char *value);

// Reads argv against the options named (each takes a value), handing each
// to take.
OptionsRead ReadOptions(int argc, char **argv, const char *const *names, size_t count,
                        OptionTaker take, void *config, std::string *problem);

// A whole number from low to high, written in digits, into *out; 0 when
// text is one.
int OptionNumber(const char *text, int low, int high, int *out);

#endif
