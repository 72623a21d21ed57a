// SPDX-License-Identifier: MIT
// The command line and where the database lives by default.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server.h"

static const char kUsage[] =
    "Usage: varkel_server [options]\n"
    "  --port N              TCP port (default 9999; 0 takes a free one)\n"
    "  --listen ADDRESS      address to listen on, repeatable or comma-separated\n"
    "                        (default 127.0.0.1 and ::1; 0.0.0.0 for a network)\n"
    "  --db PATH             database file (default var/lib/varkel/varkel.db of the tree),\n"
    "                        or a postgresql:// URI for a database that servers share\n"
    "  --read-timeout-ms N   time limit on each read from a client (default 10000)\n"
    "  --threads N           event loops (default one per core)\n"
    "  --max-conversations N connections served at once, more are closed (default 4000)\n"
    "  --max-per-address N   connections served at once from one IPv4 address or IPv6 /64;\n"
    "                        more from there are closed (default 32)\n"
    "  --version             the version\n"
    "  --help                this text\n"
    "SIGINT or SIGTERM stops the server.\n";

static int ParseNumber(const char *text, int low, int high, int *out) {
  char *end = NULL;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return 1;
  *out = (int)value;
  return 0;
}

static void AddListen(ServerConfig *config, const char *list) {
  std::string rest(list);
  size_t comma;
  while ((comma = rest.find(',')) != std::string::npos) {
    if (comma > 0) config->listen.push_back(rest.substr(0, comma));
    rest.erase(0, comma + 1);
  }
  if (!rest.empty()) config->listen.push_back(rest);
}

static const char *const kValueOptions[] = {
    "--port",
    "--listen",
    "--db",
    "--read-timeout-ms",
    "--threads",
    "--max-conversations",
    "--max-per-address",
};

static int TakesValue(const std::string &option) {
  for (const char *known : kValueOptions) {
    if (option == known) return 1;
  }
  return 0;
}

// One option with its value; 0 when the value fits.
static int TakeOption(ServerConfig *config, const char *option, const char *value) {
  if (strcmp(option, "--port") == 0) return ParseNumber(value, 0, 65535, &config->port);
  if (strcmp(option, "--read-timeout-ms") == 0)
    return ParseNumber(value, 1, 3600000, &config->read_timeout_ms);
  if (strcmp(option, "--threads") == 0) return ParseNumber(value, 1, 256, &config->threads);
  if (strcmp(option, "--max-conversations") == 0)
    return ParseNumber(value, 1, 1000000, &config->conversations_max);
  if (strcmp(option, "--max-per-address") == 0)
    return ParseNumber(value, 1, 1000000, &config->per_address_max);
  if (strcmp(option, "--db") == 0) {
    config->db_path = value;
    return value[0] == '\0';
  }
  AddListen(config, value);
  return 0;
}

static int Refuse(FILE *err, const std::string &problem) {
  fprintf(err, "varkel_server: %s\nTry 'varkel_server --help'.\n", problem.c_str());
  return 1;
}

int ParseServerOptions(int argc, char **argv, ServerConfig *config, FILE *out, FILE *err) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kUsage, out);
      return 2;
    }
    if (strcmp(argv[i], "--version") == 0 || strcmp(argv[i], "-v") == 0) {
      fprintf(out, "varkel_server version %d\nThe game server of Varkel.\n", WIRE_VERSION);
      return 2;
    }
    // Both "--option value" and "--option=value".
    std::string option(argv[i]);
    std::string value;
    size_t equal = option.find('=');
    if (option.compare(0, 2, "--") != 0 && option[0] == '-' && option.size() > 1)
      return Refuse(err, "unknown option " + option);
    if (option.compare(0, 2, "--") != 0) return Refuse(err, "stray argument " + option);
    if (equal != std::string::npos) {
      value = option.substr(equal + 1);
      option.resize(equal);
    }
    if (!TakesValue(option)) return Refuse(err, "unknown option " + option);
    if (equal == std::string::npos) {
      if (i + 1 >= argc) return Refuse(err, option + " needs a value");
      value = argv[++i];
    }
    if (TakeOption(config, option.c_str(), value.c_str()) != 0)
      return Refuse(err, "bad value for " + option + ": \"" + value + "\"");
  }
  return 0;
}

static std::string Parent(const std::string &path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ProgramPath(const char *argv0) {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return argv0;
  path[length] = '\0';
  return path;
}

std::string DefaultDatabasePath(const std::string &binary_path) {
  std::string root = Parent(Parent(Parent(binary_path)));
  if (root != "/") root += "/";
  return root + "var/lib/varkel/varkel.db";
}

// The folders above are anyone's to cross; the one holding the file, made
// here, is its owner's alone whatever the umask.
static int MakeFolders(const std::string &folder, mode_t mode) {
  if (folder == "." || folder == "/") return 0;
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : 1;
  if (MakeFolders(Parent(folder), 0755) != 0) return 1;
  if (mkdir(folder.c_str(), mode) != 0) return errno == EEXIST ? 0 : 1;
  return chmod(folder.c_str(), mode);
}

int MakeParentFolders(const std::string &path) {
  // A database URI is no file of ours.
  if (path.find("://") != std::string::npos) return 0;
  return MakeFolders(Parent(path), 0700);
}
