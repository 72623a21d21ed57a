// SPDX-License-Identifier: MIT
// Listening and the event loops: one loop per core, each accepting,
// reading and answering its own conversations without blocking; the slow
// work (password hashes, database calls) runs on the queues' threads
// meanwhile and comes back to the loop that asked.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "server_internal.h"

static const char *const kLoopbackAddresses[] = {"127.0.0.1", "::1"};

#define ACCEPTS_PER_EVENT 16

ServerConfig ServerConfigDefaults() {
  ServerConfig config;
  config.port = SERVER_PORT_DEFAULT;
  config.read_timeout_ms = SERVER_READ_TIMEOUT_MS;
  config.threads = 0;
  config.conversations_max = SERVER_CONVERSATIONS_MAX;
  config.per_address_max = SERVER_PER_ADDRESS_MAX;
  config.per_prefix_max = SERVER_PER_PREFIX_MAX;
  config.conversation_ms = SERVER_CONVERSATION_MS;
  config.kept_idle_ms = SERVER_KEPT_IDLE_MS;
  config.creations_per_hour = SERVER_CREATIONS_PER_HOUR;
  config.prefix_creations_per_hour = SERVER_PREFIX_CREATIONS_PER_HOUR;
  config.summary_ms = SERVER_SUMMARY_MS;
  config.store_threads = STORE_THREADS_DEFAULT;
  config.store_timeout_ms = STORE_TIMEOUT_MS_DEFAULT;
  config.throttle.address_failures = THROTTLE_ADDRESS_FAILURES;
  config.throttle.name_failures = THROTTLE_NAME_FAILURES;
  config.throttle.delay_first_ms = THROTTLE_DELAY_FIRST_MS;
  config.throttle.delay_max_ms = THROTTLE_DELAY_MAX_MS;
  config.throttle.forget_ms = THROTTLE_FORGET_MS;
  config.throttle.name_hold_ms = THROTTLE_NAME_HOLD_MS;
  config.throttle.name_check_ms = THROTTLE_NAME_CHECK_MS;
  config.throttle.network_failures = THROTTLE_NETWORK_FAILURES;
  config.tls_port = -1;
  config.check_only = false;
  config.reload_fd = -1;
  config.log = stderr;
  return config;
}

// Binds one address; *port 0 takes a free port and writes it back.
static int Listen(const struct addrinfo *info, int *port, std::vector<int> *listeners) {
  int fd = socket(info->ai_family, info->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return 1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  // "::" then leaves 0.0.0.0 to its own socket.
  if (info->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
  struct sockaddr_storage address;
  memcpy(&address, info->ai_addr, info->ai_addrlen);
  if (info->ai_family == AF_INET) ((struct sockaddr_in *)&address)->sin_port = htons(*port);
  if (info->ai_family == AF_INET6) ((struct sockaddr_in6 *)&address)->sin6_port = htons(*port);
  socklen_t length = info->ai_addrlen;
  if (bind(fd, (struct sockaddr *)&address, length) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, (struct sockaddr *)&address, &length) != 0) {
    close(fd);
    return 1;
  }
  *port = ntohs(info->ai_family == AF_INET ? ((struct sockaddr_in *)&address)->sin_port
                                           : ((struct sockaddr_in6 *)&address)->sin6_port);
  listeners->push_back(fd);
  return 0;
}

// Every address a listen text resolves to, on the port given.
static int ListenOn(Server *server, const char *host, int *port, std::vector<int> *listeners) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  struct addrinfo *found = NULL;
  if (getaddrinfo(host, NULL, &hints, &found) != 0) {
    fprintf(server->config.log, "varkel_server: getaddrinfo: cannot resolve %s\n", host);
    return 1;
  }
  int rc = 0;
  for (struct addrinfo *info = found; info != NULL; info = info->ai_next) {
    if (Listen(info, port, listeners) != 0) {
      fprintf(server->config.log, "varkel_server: bind: %s port %d: %s\n", host, *port,
              strerror(errno));
      rc = 1;
      continue;
    }
    fprintf(server->config.log, "varkel_server: listening on %s %sport %d\n", host,
            listeners == &server->tls_listeners ? "TLS " : "", *port);
  }
  freeaddrinfo(found);
  return rc;
}

// The plain port, and the TLS one when there is one, on an address.
static int ListenBoth(Server *server, const char *host) {
  if (ListenOn(server, host, &server->port, &server->listeners) != 0) return 1;
  if (server->tls_port < 0) return 0;
  return ListenOn(server, host, &server->tls_port, &server->tls_listeners);
}

// The loopback addresses by default: IPv6 may be missing on this machine.
static int ListenAll(Server *server) {
  server->port = server->config.port;
  server->tls_port = server->config.tls_port;
  if (!server->config.unix_path.empty() && ListenLocal(server) != 0) return 1;
  if (server->config.listen.empty() && !server->config.unix_path.empty()) return 0;
  if (server->config.listen.empty()) {
    for (const char *host : kLoopbackAddresses)
      ListenBoth(server, host);
    if (server->listeners.empty()) return 1;
    return server->tls_port >= 0 && server->tls_listeners.empty();
  }
  for (const std::string &host : server->config.listen) {
    if (ListenBoth(server, host.c_str()) != 0) return 1;
  }
  return 0;
}

// The pair given, or the server's own, made at the first start; a check
// makes none.
static int StartTls(Server *server) {
  ServerConfig &config = server->config;
  if (config.tls_port < 0) return 0;
  std::string cert = config.tls_cert, key = config.tls_key;
  if (cert.empty() &&
      TlsOwnPair(config.tls_own_folder, !config.check_only, &cert, &key, config.log) != 0)
    return 1;
  if (cert.empty()) return 0;
  return TlsStart(&server->tls, cert, key, config.log);
}

int ServerStart(const ServerConfig &config, Server **out) {
  Server *server = new Server();
  server->config = config;
  if (server->config.log == NULL) server->config.log = stderr;
  if (server->config.threads < 1) {
    unsigned cores = std::thread::hardware_concurrency();
    server->config.threads = cores > 0 ? (int)cores : 1;
  }
  server->clock_offset_ms = 0;
  server->stopping = false;
  server->open_conversations = 0;
  server->checks_dropped = 0;
  server->answers_held = 0;
  server->store.db = NULL;
  server->tls.context = NULL;
  server->tls.keeps = config.kept_idle_ms > 0;
  server->tls.guard = &server->guard;
  *out = NULL;
  if (CredentialsInit(&server->credentials, CREDENTIALS_CACHE_DEFAULT) != 0) {
    fprintf(server->config.log, "varkel_server: sodium_init failed\n");
    ServerFree(server);
    return 1;
  }
  if (StartTls(server) != 0) {
    ServerFree(server);
    return 1;
  }
  const char *db = config.db_path.c_str();
  // A check never makes a database where there was none.
  if (config.check_only && StoreEngineFor(db) == &kSqliteEngine && access(db, F_OK) != 0) {
    fprintf(server->config.log,
            "varkel_server: %s: no database yet: it is made at the first start\n", db);
    *out = server;
    return 0;
  }
  if (MakeParentFolders(config.db_path) != 0) {
    fprintf(server->config.log, "varkel_server: %s: making its folder: %s\n", db, strerror(errno));
    ServerFree(server);
    return 1;
  }
  if (StoreOpen(&server->store, db, server->config.log) != 0) {
    fprintf(server->config.log,
            "varkel_server: cannot open the database %s (the line above says why)\n", db);
    ServerFree(server);
    return 1;
  }
  if (StoreLimit(&server->store, config.store_threads, config.store_timeout_ms) != 0 ||
      (!config.check_only && ListenAll(server) != 0)) {
    ServerFree(server);
    return 1;
  }
  *out = server;
  return 0;
}

// The handle must outlive the registration.
static int LoopWatch(Loop *loop, Handle *handle, uint32_t events) {
  struct epoll_event event;
  event.events = events;
  event.data.ptr = handle;
  return epoll_ctl(loop->epoll_fd, EPOLL_CTL_ADD, handle->fd, &event);
}

static void FreeLoop(Loop *loop) {
  ConversationsEndAll(loop, "server stopped");
  if (loop->epoll_fd >= 0) close(loop->epoll_fd);
  if (loop->wake_fd >= 0) close(loop->wake_fd);
  delete loop;
}

static Loop *NewLoop(Server *server) {
  Loop *loop = new Loop();
  loop->server = server;
  loop->oldest = loop->newest = NULL;
  loop->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  loop->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  loop->wake = {HANDLE_WAKE, loop->wake_fd, NULL};
  loop->done.fd = loop->wake_fd;
  for (int fd : server->listeners)
    loop->listening.push_back({HANDLE_LISTENER, fd, NULL});
  for (int fd : server->tls_listeners)
    loop->listening.push_back({HANDLE_TLS_LISTENER, fd, NULL});
  int failed =
      loop->epoll_fd < 0 || loop->wake_fd < 0 || LoopWatch(loop, &loop->wake, EPOLLIN) != 0;
  // Each waiting connection wakes one loop only.
  for (size_t i = 0; i < loop->listening.size() && !failed; i++)
    failed = LoopWatch(loop, &loop->listening[i], EPOLLIN | EPOLLEXCLUSIVE) != 0;
  if (!failed) return loop;
  fprintf(server->config.log, "varkel_server: epoll: %s\n", strerror(errno));
  FreeLoop(loop);
  return NULL;
}

static void Wake(Loop *loop) {
  uint64_t one = 1;
  ssize_t written = write(loop->wake_fd, &one, sizeof(one));
  (void)written; // a counter already set wakes the loop as well
}

static void AcceptSome(Loop *loop, int listener, int tls) {
  for (int i = 0; i < ACCEPTS_PER_EVENT; i++) {
    struct sockaddr_storage peer;
    socklen_t length = sizeof(peer);
    int fd = accept4(listener, (struct sockaddr *)&peer, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors: give the conversations a moment to end before
      // the next wait reports the same waiting connection.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) usleep(10000);
      return;
    }
    ConversationStart(loop, fd, &peer, tls);
  }
}

static void RunLoop(Loop *loop) {
  struct epoll_event events[64];
  Server *server = loop->server;
  while (!server->stopping) {
    int timeout = ConversationsExpire(loop);
    int summary = GuardSummarize(&server->guard, MonotonicMs(), server->config.summary_ms,
                                 server->config.log, 0);
    if (summary >= 0 && (timeout < 0 || summary < timeout)) timeout = summary;
    int ready = epoll_wait(loop->epoll_fd, events, 64, timeout);
    int woken = 0;
    for (int i = 0; i < ready; i++) {
      Handle *handle = (Handle *)events[i].data.ptr;
      switch (handle->kind) {
      case HANDLE_WAKE:
        woken = 1;
        break;
      case HANDLE_LISTENER:
      case HANDLE_TLS_LISTENER:
        AcceptSome(loop, handle->fd, handle->kind == HANDLE_TLS_LISTENER);
        break;
      case HANDLE_CONVERSATION:
        ConversationEvent(handle->talk, events[i].events);
        break;
      }
    }
    // Last: a completion may end its conversation, and this batch may hold
    // an event of it.
    if (woken) WorkTakeDone(&loop->done);
  }
}

// The loops first, then the queues, whose last jobs go back to the loops'
// boxes; the conversations are ended with the loops.
static void StopThreads(Server *server) {
  server->stopping = true;
  for (Loop *loop : server->loops)
    Wake(loop);
  for (Loop *loop : server->loops) {
    if (loop->thread.joinable()) loop->thread.join();
  }
  WorkStop(&server->hashes);
  WorkStop(&server->store_calls);
}

int ServerStartWork(Server *server, int threaded) {
  Store *store = &server->store;
  int threads = server->config.store_threads;
  if (store->engine->threads_max > 0 && threads > store->engine->threads_max)
    threads = store->engine->threads_max;
  WorkStart(&server->store_calls, threaded ? threads : 0, (size_t)store->engine->batch_max, true,
            StoreRunWork, store);
  return WorkStart(&server->hashes, threaded ? server->config.threads : 0, 1, false,
                   ConversationsCheck, server);
}

static int ServerReloadTls(Server *server) {
  if (server->tls.context == NULL) {
    fprintf(server->config.log, "varkel_server: no TLS port, nothing to load again\n");
    return 1;
  }
  return TlsReload(&server->tls);
}

// Reloads on each signal of the reload descriptor until the stop one.
// Meanwhile, the memory that many conversations took (a flood of
// handshakes) goes back to the system once they ended: the allocator keeps
// it otherwise.
static int WaitForStop(Server *server, int stop_fd) {
  struct pollfd watched[2] = {{stop_fd, POLLIN, 0}, {server->config.reload_fd, POLLIN, 0}};
  nfds_t count = server->config.reload_fd >= 0 ? 2 : 1;
  for (;;) {
    if (GuardTrimDue(&server->guard, MonotonicMs())) malloc_trim(0);
    if (poll(watched, count, GUARD_TRIM_LOOK_MS) < 0) {
      if (errno == EINTR) continue;
      fprintf(server->config.log, "varkel_server: poll: %s\n", strerror(errno));
      return 1;
    }
    if (watched[0].revents != 0) return 0;
    if (count == 2 && watched[1].revents != 0) {
      // A signalfd gives one record of this size per signal.
      char signal_info[128];
      if (read(server->config.reload_fd, signal_info, sizeof(signal_info)) <= 0) count = 1;
      ServerReloadTls(server);
    }
  }
}

int ServerRun(Server *server, int stop_fd) {
  int rc = ServerStartWork(server, 1);
  for (int i = 0; i < server->config.threads && rc == 0; i++) {
    Loop *loop = NewLoop(server);
    if (loop == NULL) {
      rc = 1;
      break;
    }
    server->loops.push_back(loop);
    loop->thread = std::thread(RunLoop, loop);
  }
  rc = rc != 0 ? rc : WaitForStop(server, stop_fd);
  StopThreads(server);
  for (Loop *loop : server->loops)
    FreeLoop(loop);
  server->loops.clear();
  GuardSummarize(&server->guard, MonotonicMs(), server->config.summary_ms, server->config.log, 1);
  fprintf(server->config.log,
          "varkel_server: %ld slow password checks, %ld dropped for clients gone before "
          "their turn\n",
          server->credentials.slow_checks.load(), server->checks_dropped.load());
  return rc;
}

void ServerFree(Server *server) {
  if (server == NULL) return;
  for (int fd : server->listeners)
    close(fd);
  for (int fd : server->tls_listeners)
    close(fd);
  CloseLocal(server);
  TlsFree(&server->tls);
  if (server->store.db != NULL) StoreClose(&server->store);
  delete server;
}
