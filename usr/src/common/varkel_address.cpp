// SPDX-License-Identifier: MIT
#include "common/varkel_address.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/varkel_options.h"

enum { kLabelMax = 63 };

static int Refuse(char *problem, size_t size, const std::string &text) {
  snprintf(problem, size, "%s", text.c_str());
  return 1;
}

static int IsIPv6(const std::string &text) {
  unsigned char bytes[16];
  return inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

static int TakePort(const std::string &text, ServerAddress *address, char *problem, size_t size) {
  if (OptionNumber(text.c_str(), 1, 65535, &address->port) == 0) return 0;
  return Refuse(problem, size, "the port \"" + text + "\" is not a number from 1 to 65535");
}

static int IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// A name as resolvers take it: dot-separated labels of letters, digits and
// inner hyphens, an optional final dot; digits and dots alone must make an
// IPv4 address.
static int TakeName(const std::string &name, ServerAddress *address, char *problem, size_t size) {
  std::string bare = name;
  if (bare.size() > 1 && bare.back() == '.') bare.pop_back();
  if (bare.empty()) return Refuse(problem, size, "the host is missing");
  if (bare.size() > VARKEL_HOST_MAX)
    return Refuse(problem, size,
                  "the host name has " + std::to_string(bare.size()) + " characters, more than " +
                      std::to_string(VARKEL_HOST_MAX));
  size_t start = 0;
  while (start <= bare.size()) {
    size_t dot = bare.find('.', start);
    if (dot == std::string::npos) dot = bare.size();
    std::string label = bare.substr(start, dot - start);
    int good =
        !label.empty() && label.size() <= kLabelMax && label.front() != '-' && label.back() != '-';
    for (char c : label)
      good = good && IsNameCharacter(c);
    if (!good)
      return Refuse(problem, size,
                    "the part \"" + label +
                        "\" of the host name is not 1 to 63 letters, digits or inner hyphens");
    start = dot + 1;
  }
  if (bare.find_first_not_of("0123456789.") == std::string::npos) {
    unsigned char bytes[4];
    if (inet_pton(AF_INET, bare.c_str(), bytes) != 1)
      return Refuse(problem, size, "\"" + bare + "\" is not an IPv4 address");
  }
  snprintf(address->host, sizeof(address->host), "%s", name.c_str());
  return 0;
}

static int TakeBracketed(const std::string &text, ServerAddress *address, char *problem,
                         size_t size) {
  size_t close = text.find(']');
  if (close == std::string::npos)
    return Refuse(problem, size, "\"" + text + "\" lacks its closing \"]\"");
  std::string inside = text.substr(1, close - 1);
  if (!IsIPv6(inside)) return Refuse(problem, size, "\"" + inside + "\" is not an IPv6 address");
  std::string rest = text.substr(close + 1);
  if (!rest.empty() && rest[0] != ':')
    return Refuse(problem, size, "\"" + rest + "\" after \"]\" is not \":PORT\"");
  if (!rest.empty() && TakePort(rest.substr(1), address, problem, size)) return 1;
  snprintf(address->host, sizeof(address->host), "%s", inside.c_str());
  return 0;
}

// "https://HOST", "tls:/HOST" and the like, named for what they are rather
// than read as a host and a port.
static int OtherScheme(const std::string &value, char *problem, size_t size) {
  size_t colon = value.find(':');
  size_t letters =
      value.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+.-");
  if (colon == std::string::npos || colon == 0 || letters != colon) return 0;
  std::string scheme = value.substr(0, colon);
  int port = value.find_first_not_of("0123456789", colon + 1) == std::string::npos;
  if (strcasecmp(scheme.c_str(), "tls") == 0 && !port)
    return Refuse(problem, size, "\"" + value + "\" is mistyped: write tls://HOST[:PORT]");
  if (value.compare(colon, 3, "://") != 0) return 0;
  return Refuse(problem, size,
                "\"" + scheme +
                    "://\" is not a game server's: write tls://HOST[:PORT] for TLS, "
                    "or HOST[:PORT] alone");
}

// unix:PATH: absolute, so that it does not depend on the folder a program
// runs from, and short enough for a socket's address.
static int TakeSocketPath(const std::string &path, ServerAddress *address, char *problem,
                          size_t size) {
  if (path.empty() || path[0] != '/')
    return Refuse(problem, size, "the socket path \"" + path + "\" does not start with \"/\"");
  if (path.size() > VARKEL_UNIX_PATH_MAX)
    return Refuse(problem, size,
                  "the socket path has " + std::to_string(path.size()) + " characters, more than " +
                      std::to_string(VARKEL_UNIX_PATH_MAX));
  snprintf(address->host, sizeof(address->host), "%s", path.c_str());
  address->port = 0;
  address->unix_socket = 1;
  return 0;
}

int ReadServerAddress(const char *text, int default_port, ServerAddress *address, char *problem,
                      size_t problem_size) {
  static const char kTls[] = "tls://";
  static const char kUnix[] = "unix:";
  std::string value(text);
  ServerAddress read = {};
  if (strncmp(text, kUnix, strlen(kUnix)) == 0) {
    if (TakeSocketPath(value.substr(strlen(kUnix)), &read, problem, problem_size)) return 1;
    *address = read;
    return 0;
  }
  read.tls = strncasecmp(text, kTls, strlen(kTls)) == 0;
  if (read.tls) value.erase(0, strlen(kTls));
  if (!read.tls && OtherScheme(value, problem, problem_size)) return 1;
  read.port = read.tls ? VARKEL_TLS_PORT_DEFAULT : default_port;
  int failed;
  size_t colon = value.find(':');
  if (value.empty())
    failed = Refuse(problem, problem_size, "the address is empty");
  else if (value[0] == '[')
    failed = TakeBracketed(value, &read, problem, problem_size);
  else if (colon != std::string::npos && value.find(':', colon + 1) != std::string::npos) {
    // Two colons or more: an IPv6 address, which has no room for a port.
    failed = !IsIPv6(value) && Refuse(problem, problem_size,
                                      "\"" + value +
                                          "\" is not an IPv6 address (write [IPV6]:PORT "
                                          "for a port)");
    if (!failed) snprintf(read.host, sizeof(read.host), "%s", value.c_str());
  } else {
    failed = TakeName(value.substr(0, colon), &read, problem, problem_size) ||
             (colon != std::string::npos &&
              TakePort(value.substr(colon + 1), &read, problem, problem_size));
  }
  if (failed) return 1;
  *address = read;
  return 0;
}

void WriteServerAddress(const ServerAddress *address, char *text, size_t size) {
  if (address->unix_socket) {
    snprintf(text, size, "unix:%s", address->host);
    return;
  }
  int v6 = strchr(address->host, ':') != NULL;
  snprintf(text, size, "%s%s%s%s:%d", address->tls ? "tls://" : "", v6 ? "[" : "", address->host,
           v6 ? "]" : "", address->port);
}

int IsLoopbackHost(const char *host) {
  unsigned char bytes[16];
  if (strcmp(host, "localhost") == 0 || strcmp(host, "localhost.") == 0) return 1;
  if (inet_pton(AF_INET, host, bytes) == 1) return bytes[0] == 127;
  if (inet_pton(AF_INET6, host, bytes) == 1) {
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(bytes, kLoopback, sizeof(bytes)) == 0;
  }
  return 0;
}

/* Resolution on a thread of its own, left behind at the time limit:
   getaddrinfo has none. */

namespace {
typedef std::chrono::steady_clock Clock;

struct Resolution {
  std::mutex lock;
  std::condition_variable done_signal;
  bool done = false;
  int status = 0;
  struct addrinfo *found = NULL;
  bool abandoned = false; // the last one out frees `found`
};

// One address written as "1.2.3.4:9999" or "[::1]:9999".
std::string Written(const struct sockaddr *address, socklen_t length) {
  char host[NI_MAXHOST], port[NI_MAXSERV];
  if (getnameinfo(address, length, host, sizeof(host), port, sizeof(port),
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "?";
  return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port
                                        : std::string(host) + ":" + port;
}

// A connection being opened.
struct Attempt {
  int fd;
  std::string where;
};
} // namespace

static int Resolve(const ServerAddress *address, Clock::time_point deadline,
                   struct addrinfo **found, std::string *why) {
  auto shared = std::make_shared<Resolution>();
  std::string host = address->host, port = std::to_string(address->port);
  std::thread([shared, host, port] {
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo *list = NULL;
    int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    std::lock_guard<std::mutex> hold(shared->lock);
    if (shared->abandoned) {
      if (status == 0) freeaddrinfo(list);
      return;
    }
    shared->status = status;
    shared->found = list;
    shared->done = true;
    shared->done_signal.notify_one();
  }).detach();
  std::unique_lock<std::mutex> hold(shared->lock);
  if (!shared->done_signal.wait_until(hold, deadline, [&] { return shared->done; })) {
    shared->abandoned = true;
    *why = "no answer within the time limit";
    return 1;
  }
  if (shared->status != 0) {
    *why = gai_strerror(shared->status);
    return 1;
  }
  *found = shared->found;
  return 0;
}

// RFC 8305: the families taken in turn, the resolver's first one first.
static std::vector<const struct addrinfo *> InTurn(const struct addrinfo *list) {
  std::vector<const struct addrinfo *> first, second, ordered;
  for (const struct addrinfo *at = list; at != NULL; at = at->ai_next)
    (at->ai_family == list->ai_family ? first : second).push_back(at);
  for (size_t n = 0; n < first.size() || n < second.size(); n++) {
    if (n < first.size()) ordered.push_back(first[n]);
    if (n < second.size()) ordered.push_back(second[n]);
  }
  return ordered;
}

static int Remaining(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return left < 0 ? 0 : (int)left;
}

static void Note(std::string *why, const std::string &where, const std::string &what) {
  *why += (why->empty() ? "" : "; ") + where + ": " + what;
}

// Starts a non-blocking connection; 0 when under way (or already open).
static int Start(const struct addrinfo *at, std::vector<Attempt> *attempts, std::string *why) {
  std::string where = Written(at->ai_addr, at->ai_addrlen);
  int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
  if (fd < 0) {
    Note(why, where, strerror(errno));
    return 1;
  }
  if (connect(fd, at->ai_addr, at->ai_addrlen) != 0 && errno != EINPROGRESS) {
    Note(why, where, strerror(errno));
    close(fd);
    return 1;
  }
  attempts->push_back({fd, where});
  return 0;
}

// Waits on the attempts until one opens, the next is due or the time is
// up; the failed ones are closed. The index of the winner, or -1.
static int AwaitAttempts(std::vector<Attempt> *attempts, int wait_ms, std::string *why) {
  std::vector<struct pollfd> watched;
  for (const Attempt &attempt : *attempts)
    watched.push_back({attempt.fd, POLLOUT, 0});
  if (poll(watched.data(), watched.size(), wait_ms) <= 0) return -1;
  int winner = -1;
  for (size_t n = watched.size(); n-- > 0;) {
    if (watched[n].revents == 0) continue;
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(watched[n].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0 && winner < 0) {
      winner = (int)n;
      continue;
    }
    if (error == 0) continue;
    Note(why, (*attempts)[n].where, strerror(error));
    close((*attempts)[n].fd);
    attempts->erase(attempts->begin() + n);
    if (winner > (int)n) winner--;
  }
  return winner;
}

static int Race(const struct addrinfo *list, Clock::time_point deadline, int *fd,
                std::string *why) {
  std::vector<const struct addrinfo *> order = InTurn(list);
  std::vector<Attempt> attempts;
  size_t next = 0;
  int winner = -1;
  while (winner < 0) {
    if (next < order.size()) Start(order[next++], &attempts, why);
    if (attempts.empty() && next < order.size()) continue;
    if (attempts.empty()) return 1;
    int wait = Remaining(deadline);
    if (wait == 0) break;
    if (next < order.size() && wait > VARKEL_ATTEMPT_DELAY_MS) wait = VARKEL_ATTEMPT_DELAY_MS;
    winner = AwaitAttempts(&attempts, wait, why);
  }
  for (size_t n = 0; n < attempts.size(); n++) {
    if ((int)n == winner) continue;
    if (winner < 0) Note(why, attempts[n].where, "no answer within the time limit");
    close(attempts[n].fd);
  }
  if (winner < 0) return 1;
  *fd = attempts[winner].fd;
  return fcntl(*fd, F_SETFL, fcntl(*fd, F_GETFL) & ~O_NONBLOCK) != 0;
}

// A server's socket file; a full backlog is waited out within the time limit.
static int ConnectLocal(const ServerAddress *address, Clock::time_point deadline, int *fd,
                        std::string *why) {
  struct sockaddr_un local = {};
  local.sun_family = AF_UNIX;
  snprintf(local.sun_path, sizeof(local.sun_path), "%s", address->host);
  int socket_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket_fd < 0) {
    *why = strerror(errno);
    return 1;
  }
  int failed;
  while ((failed = connect(socket_fd, (struct sockaddr *)&local, sizeof(local)) != 0) &&
         errno == EAGAIN && Remaining(deadline) > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (failed) {
    *why = errno == EAGAIN ? "no answer within the time limit" : strerror(errno);
    close(socket_fd);
    return 1;
  }
  *fd = socket_fd;
  return fcntl(socket_fd, F_SETFL, fcntl(socket_fd, F_GETFL) & ~O_NONBLOCK) != 0;
}

int ConnectServer(const ServerAddress *address, unsigned timeout_ms, int *fd, const char **call,
                  char *problem, size_t problem_size) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char where[VARKEL_HOST_MAX + 16];
  WriteServerAddress(address, where, sizeof(where));
  std::string why;
  if (address->unix_socket) {
    if (ConnectLocal(address, deadline, fd, &why) == 0) return 0;
    *call = "connect";
    snprintf(problem, problem_size, "%s: %s", where, why.c_str());
    return 1;
  }
  struct addrinfo *list = NULL;
  if (Resolve(address, deadline, &list, &why)) {
    *call = "getaddrinfo";
    snprintf(problem, problem_size, "%s: %s", where, why.c_str());
    return 1;
  }
  int failed = Race(list, deadline, fd, &why);
  freeaddrinfo(list);
  if (!failed) return 0;
  *call = "connect";
  snprintf(problem, problem_size, "%s: %s", where, why.c_str());
  return 1;
}
