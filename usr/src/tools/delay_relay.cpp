// SPDX-License-Identifier: MIT
// varkel_delay_relay: puts a database (or any TCP server) farther away.
// It listens on a free loopback port, prints it on a line, and relays each
// connection to 127.0.0.1:TARGET, every piece delivered half of DELAY_MS
// after it came, in each direction: a round trip is DELAY_MS longer. For
// the tests and benchmarks; it is not installed.
//
//   varkel_delay_relay TARGET_PORT DELAY_MS
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <string>

namespace {

typedef struct Piece {
  long long due_ns;
  long link;
  int toward_target; // else toward the client
  std::string bytes; // empty: the sender shut its side
} Piece;

typedef struct Link {
  int client;
  int target;
  int open_sides; // closed once both sides shut
} Link;

typedef struct Relay {
  int listener;
  int epoll_fd;
  int timer_fd;
  int target_port;
  long long half_delay_ns;
  long next_link;
  std::map<long, Link> links;
  std::deque<Piece> pieces; // in order of arrival, so of their due time
} Relay;

} // namespace

static long long NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// An epoll entry names its link and side: link * 2 + (1 for the target).
static int Watch(Relay *relay, int fd, long long tag) {
  struct epoll_event event;
  event.events = EPOLLIN;
  event.data.u64 = (uint64_t)tag;
  return epoll_ctl(relay->epoll_fd, EPOLL_CTL_ADD, fd, &event);
}

static void Drop(Relay *relay, long id) {
  auto link = relay->links.find(id);
  if (link == relay->links.end()) return;
  close(link->second.client);
  close(link->second.target);
  relay->links.erase(link);
}

static int ConnectTarget(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, (struct sockaddr *)&address, sizeof(address)) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

static void Accept(Relay *relay) {
  int client = accept4(relay->listener, NULL, NULL, SOCK_CLOEXEC);
  if (client < 0) return;
  int target = ConnectTarget(relay->target_port);
  if (target < 0) {
    close(client);
    return;
  }
  int on = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  setsockopt(target, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  long id = relay->next_link++;
  relay->links[id] = {client, target, 2};
  if (Watch(relay, client, id * 2) != 0 || Watch(relay, target, id * 2 + 1) != 0) Drop(relay, id);
}

static void Arm(Relay *relay) {
  struct itimerspec when = {};
  if (!relay->pieces.empty()) {
    long long due = relay->pieces.front().due_ns;
    when.it_value.tv_sec = due / 1000000000LL;
    when.it_value.tv_nsec = due % 1000000000LL;
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
  }
  timerfd_settime(relay->timer_fd, TFD_TIMER_ABSTIME, &when, NULL);
}

static void Read(Relay *relay, long long tag) {
  long id = (long)(tag / 2);
  int from_target = (int)(tag % 2);
  auto link = relay->links.find(id);
  if (link == relay->links.end()) return;
  int fd = from_target ? link->second.target : link->second.client;
  char buffer[65536];
  ssize_t got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got < 0) return Drop(relay, id);
  if (got == 0) epoll_ctl(relay->epoll_fd, EPOLL_CTL_DEL, fd, NULL);
  int was_empty = relay->pieces.empty();
  relay->pieces.push_back(
      {NowNs() + relay->half_delay_ns, id, !from_target, std::string(buffer, (size_t)got)});
  if (was_empty) Arm(relay);
}

// Delivers the pieces that are due; a blocking write, as the peers read.
static void Deliver(Relay *relay) {
  uint64_t expirations;
  ssize_t got = read(relay->timer_fd, &expirations, sizeof(expirations));
  (void)got;
  long long now = NowNs();
  while (!relay->pieces.empty() && relay->pieces.front().due_ns <= now) {
    Piece piece = relay->pieces.front();
    relay->pieces.pop_front();
    auto link = relay->links.find(piece.link);
    if (link == relay->links.end()) continue;
    int fd = piece.toward_target ? link->second.target : link->second.client;
    if (piece.bytes.empty()) {
      shutdown(fd, SHUT_WR);
      if (--link->second.open_sides == 0) Drop(relay, piece.link);
      continue;
    }
    if (send(fd, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL) !=
        (ssize_t)piece.bytes.size())
      Drop(relay, piece.link);
  }
  Arm(relay);
}

static int Listen(Relay *relay) {
  relay->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (relay->listener < 0 || bind(relay->listener, (struct sockaddr *)&address, length) != 0 ||
      listen(relay->listener, SOMAXCONN) != 0 ||
      getsockname(relay->listener, (struct sockaddr *)&address, &length) != 0) {
    perror("varkel_delay_relay: bind");
    return 1;
  }
  printf("%d\n", ntohs(address.sin_port));
  fflush(stdout);
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "Usage: varkel_delay_relay TARGET_PORT DELAY_MS\n");
    return 2;
  }
  Relay relay;
  relay.target_port = atoi(argv[1]);
  relay.half_delay_ns = (long long)(strtod(argv[2], NULL) * 1e6 / 2);
  relay.next_link = 1;
  relay.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  relay.timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (relay.epoll_fd < 0 || relay.timer_fd < 0 || Listen(&relay) != 0) return 1;
  const long long kListener = -1, kTimer = -2;
  if (Watch(&relay, relay.listener, kListener) != 0 || Watch(&relay, relay.timer_fd, kTimer) != 0) {
    perror("varkel_delay_relay: epoll_ctl");
    return 1;
  }
  for (;;) {
    struct epoll_event events[64];
    int ready = epoll_wait(relay.epoll_fd, events, 64, -1);
    if (ready < 0 && errno != EINTR) {
      perror("varkel_delay_relay: epoll_wait");
      return 1;
    }
    for (int i = 0; i < ready; i++) {
      long long tag = (long long)events[i].data.u64;
      if (tag == kListener) {
        Accept(&relay);
      } else if (tag == kTimer) {
        Deliver(&relay);
      } else {
        Read(&relay, tag);
      }
    }
  }
}
