// SPDX-License-Identifier: MIT
// The command line and where the database lives by default.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/varkel_options.h"
#include "server.h"

static const char kUsage[] =
    "Usage: varkel_server [options]\n"
    "  --port N              TCP port (default 9999; 0 takes a free one)\n"
    "  --listen ADDRESS      address to listen on, repeatable or comma-separated\n"
    "                        (default 127.0.0.1 and ::1; 0.0.0.0 for a network)\n"
    "  --unix PATH           listen on a Unix socket at PATH that only this account\n"
    "                        may connect to (clients reach it as unix:PATH), and on\n"
    "                        no TCP address unless --listen gives one; PATH.lock\n"
    "                        holds the pid while the server runs\n"
    "  --while-locked FILE   serve while other processes hold a shared flock(2) on\n"
    "                        FILE, then stop (a launcher's games hold it)\n"
    "  --db PATH             database file (default var/lib/varkel/varkel.db of the tree),\n"
    "                        or a postgresql:// URI for a database that servers share\n"
    "  --read-timeout-ms N   time limit on each read from a client (default 10000)\n"
    "  --threads N           event loops (default one per core)\n"
    "  --max-conversations N connections served at once, more are closed (default 4000)\n"
    "  --max-per-address N   connections served at once from one IPv4 address or IPv6 /64;\n"
    "                        more from there are closed (default 32)\n"
    "  --max-per-prefix N    the same from one IPv4 /24 or IPv6 /48 (default 256)\n"
    "  --prefix-cap PREFIX=N addresses in PREFIX (ADDRESS/BITS) may hold N each, and\n"
    "                        so may their /24 or /48; repeatable\n"
    "  --conversation-seconds N  a whole conversation's time limit (default 60)\n"
    "  --creations-per-hour N    characters created per address (default 10)\n"
    "  --prefix-creations-per-hour N  and per /24 or /48 (default 30)\n"
    "  --proxy-from ADDR     balancers (addresses or prefixes, comma-separated) whose\n"
    "                        connections start with a PROXY header naming the player\n"
    "  --store-threads N     PostgreSQL: connections, each with a thread of its own,\n"
    "                        within the database's max_connections (default 16)\n"
    "  --db-timeout-ms N     each database call's deadline; past it the conversation\n"
    "                        ends unacknowledged (default 3000)\n"
    "  --tls-port N          also serve TLS on this port, on the same addresses (clients\n"
    "                        reach it as tls://HOST, port 9992 by default), with:\n"
    "  --tls-cert FILE       the server's certificate then its chain, PEM, and\n"
    "  --tls-key FILE        its private key, PEM; without them, a certificate of the\n"
    "                        server's own, made at the first start beside the database\n"
    "  --check               read the options, the database and the certificate, say\n"
    "                        what is wrong, and end without serving\n"
    "  --kept-idle-seconds N a TLS connection kept between a player's actions is\n"
    "                        closed after this long unused; 0 keeps none (default 300)\n"
    "  --version             the version\n"
    "  --help                this text\n"
    "SIGINT or SIGTERM stops the server; SIGHUP loads the TLS certificate and key\n"
    "again (the pair in use stays when the new one cannot be loaded).\n";

// The items of a comma-separated list, empty ones left out.
static std::vector<std::string> Items(const char *list) {
  std::vector<std::string> items;
  std::string rest(list);
  size_t comma;
  while ((comma = rest.find(',')) != std::string::npos) {
    if (comma > 0) items.push_back(rest.substr(0, comma));
    rest.erase(0, comma + 1);
  }
  if (!rest.empty()) items.push_back(rest);
  return items;
}

static int AddProxies(ServerConfig *config, const char *list) {
  std::vector<std::string> items = Items(list);
  for (const std::string &item : items) {
    Prefix prefix;
    if (PrefixParse(item.c_str(), &prefix) != 0) return 1;
    config->proxy_from.push_back(prefix);
  }
  return items.empty();
}

// PREFIX=N
static int AddPrefixCap(ServerConfig *config, const char *text) {
  const char *equals = strrchr(text, '=');
  if (equals == NULL) return 1;
  PrefixCap cap;
  if (PrefixParse(std::string(text, (size_t)(equals - text)).c_str(), &cap.prefix) != 0 ||
      OptionNumber(equals + 1, 1, 1000000, &cap.most) != 0)
    return 1;
  config->prefix_caps.push_back(cap);
  return 0;
}

static const char *const kValueOptions[] = {
    "--port",
    "--listen",
    "--unix",
    "--while-locked",
    "--db",
    "--read-timeout-ms",
    "--threads",
    "--max-conversations",
    "--max-per-address",
    "--max-per-prefix",
    "--prefix-cap",
    "--conversation-seconds",
    "--creations-per-hour",
    "--prefix-creations-per-hour",
    "--proxy-from",
    "--store-threads",
    "--db-timeout-ms",
    "--tls-port",
    "--tls-cert",
    "--tls-key",
    "--kept-idle-seconds",
};

// One option with its value; 0 when the value fits.
static int TakeOption(void *into, const std::string &option, const char *value) {
  ServerConfig *config = (ServerConfig *)into;
  if (option == "--port") return OptionNumber(value, 0, 65535, &config->port);
  if (option == "--read-timeout-ms")
    return OptionNumber(value, 1, 3600000, &config->read_timeout_ms);
  if (option == "--threads") return OptionNumber(value, 1, 256, &config->threads);
  if (option == "--max-conversations")
    return OptionNumber(value, 1, 1000000, &config->conversations_max);
  if (option == "--max-per-address")
    return OptionNumber(value, 1, 1000000, &config->per_address_max);
  if (option == "--max-per-prefix") return OptionNumber(value, 1, 1000000, &config->per_prefix_max);
  if (option == "--prefix-cap") return AddPrefixCap(config, value);
  if (option == "--conversation-seconds") {
    int seconds = 0;
    if (OptionNumber(value, 1, 86400, &seconds) != 0) return 1;
    config->conversation_ms = seconds * 1000;
    return 0;
  }
  if (option == "--creations-per-hour")
    return OptionNumber(value, 0, 1000000, &config->creations_per_hour);
  if (option == "--prefix-creations-per-hour")
    return OptionNumber(value, 0, 1000000, &config->prefix_creations_per_hour);
  if (option == "--proxy-from") return AddProxies(config, value);
  if (option == "--store-threads") return OptionNumber(value, 1, 1024, &config->store_threads);
  if (option == "--db-timeout-ms")
    return OptionNumber(value, 1, 3600000, &config->store_timeout_ms);
  if (option == "--tls-port") return OptionNumber(value, 0, 65535, &config->tls_port);
  if (option == "--kept-idle-seconds") {
    int seconds = 0;
    if (OptionNumber(value, 0, 86400, &seconds) != 0) return 1;
    config->kept_idle_ms = seconds * 1000;
    return 0;
  }
  if (option == "--db" || option == "--tls-cert" || option == "--tls-key" || option == "--unix" ||
      option == "--while-locked") {
    std::string &field = option == "--db"         ? config->db_path
                         : option == "--tls-cert" ? config->tls_cert
                         : option == "--tls-key"  ? config->tls_key
                         : option == "--unix"     ? config->unix_path
                                                  : config->while_locked;
    field = value;
    return value[0] == '\0';
  }
  for (const std::string &item : Items(value))
    config->listen.push_back(item);
  return 0;
}

int ParseServerOptions(int argc, char **argv, ServerConfig *config, FILE *out, FILE *err) {
  std::string problem;
  // The one option without a value.
  std::vector<char *> rest;
  for (int i = 0; i < argc; i++) {
    if (i > 0 && strcmp(argv[i], "--check") == 0) {
      config->check_only = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  argc = (int)rest.size();
  argv = rest.data();
  switch (ReadOptions(argc, argv, kValueOptions, sizeof(kValueOptions) / sizeof(kValueOptions[0]),
                      TakeOption, config, &problem)) {
  case OPTIONS_RUN:
    if (config->tls_cert.empty() == config->tls_key.empty() &&
        (config->tls_port >= 0 || config->tls_cert.empty()))
      return 0;
    problem = "--tls-cert and --tls-key go together, with --tls-port";
    break;
  case OPTIONS_HELP:
    fputs(kUsage, out);
    return 2;
  case OPTIONS_VERSION:
    fprintf(out, "varkel_server version %d\nThe game server of Varkel.\n", WIRE_VERSION);
    return 2;
  case OPTIONS_BAD:
    break;
  }
  fprintf(err, "varkel_server: %s\nTry 'varkel_server --help'.\n", problem.c_str());
  return 1;
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
  if (stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
    errno = ENOTDIR;
    return 1;
  }
  if (MakeFolders(Parent(folder), 0755) != 0) return 1;
  if (mkdir(folder.c_str(), mode) != 0) return errno == EEXIST ? 0 : 1;
  return chmod(folder.c_str(), mode);
}

std::string StateFolder(const ServerConfig &config, const std::string &binary_path) {
  if (StoreEngineFor(config.db_path.c_str()) == &kSqliteEngine) return Parent(config.db_path);
  return Parent(DefaultDatabasePath(binary_path));
}

int MakeParentFolders(const std::string &path) {
  // A database URI is no file of ours.
  if (StoreEngineFor(path.c_str()) != &kSqliteEngine) return 0;
  return MakeFolders(Parent(path), 0700);
}
