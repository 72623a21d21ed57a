// SPDX-License-Identifier: MIT
#include "support_scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

// How often a waiting server thread looks at the stop flag.
static const int kPollMs = 20;

ScriptStep Reply(const std::string &text) {
  return {ScriptStep::kReply, text + std::string(1, '\0'), 0};
}
ScriptStep ReplyBytes(const std::string &bytes) {
  return {ScriptStep::kReply, bytes, 0};
}
ScriptStep Read() {
  return {ScriptStep::kRead, "", 0};
}
ScriptStep SendBytes(const std::string &bytes) {
  return {ScriptStep::kSend, bytes, 0};
}
ScriptStep Pause(int ms) {
  return {ScriptStep::kPause, "", ms};
}
ScriptStep Hangup() {
  return {ScriptStep::kHangup, "", 0};
}

std::string Wire(const std::vector<std::string> &texts) {
  std::string bytes;
  for (const std::string &text : texts)
    bytes += text + std::string(1, '\0');
  return bytes;
}

std::vector<std::string> Messages(const std::string &bytes) {
  std::vector<std::string> messages;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    messages.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return messages;
}

std::string HeardLine(int n) {
  return "Ligne " + std::to_string(n);
}

// The text of the server's reply n (0 the first) after the identification.
static std::string AcceptingReply(const std::string &query, int n) {
  if (query == WIRE_QUERY_UNSUBSCRIBE) return "Adieu";
  if (query == WIRE_QUERY_LISTEN) return HeardLine(n + 1);
  if (query == WIRE_QUERY_STATUS) return std::to_string(10 * (n + 1));
  return "OK";
}

Script AcceptingScript(const std::string &query) {
  Script script = {Reply("OK"), Reply("OK"), Reply("OK"), Reply("OK")};
  const WireConversation *conversation = WireFindConversation(query.c_str());
  if (conversation == nullptr) {
    script.push_back(Reply("OK"));
    return script;
  }
  // Each reply waits for the client's message before it, if there is one.
  for (int n = 0; n < conversation->replies; n++) {
    bool waits =
        n == 0 ? conversation->client_says != WIRE_SAYS_NOTHING : conversation->acknowledged != 0;
    if (waits) script.push_back(Read());
    script.push_back(SendBytes(Wire({AcceptingReply(query, n)})));
  }
  if (conversation->acknowledged) script.push_back(Read());
  return script;
}

ScriptedServer::ScriptedServer() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(listener_, (sockaddr *)&address, sizeof(address)) == 0 && listen(listener_, 8) == 0) {
    socklen_t size = sizeof(address);
    getsockname(listener_, (sockaddr *)&address, &size);
    port_ = ntohs(address.sin_port);
  }
  thread_ = std::thread(&ScriptedServer::Run, this);
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  // Wakes a thread waiting for a connection at once.
  shutdown(listener_, SHUT_RDWR);
  thread_.join();
  close(listener_);
}

void ScriptedServer::PointAt(Game *jeu) const {
  snprintf(jeu->ip_server, sizeof(jeu->ip_server), "%s", "127.0.0.1");
  jeu->port_server = port_;
}

void ScriptedServer::Queue(const Script &script) {
  std::lock_guard<std::mutex> hold(mutex_);
  scripts_.push_back(script);
}

bool ScriptedServer::WaitConnections(size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return ended_ >= count; });
}

size_t ScriptedServer::Connections() {
  std::lock_guard<std::mutex> hold(mutex_);
  return received_.size();
}

std::string ScriptedServer::Received(size_t n) {
  std::lock_guard<std::mutex> hold(mutex_);
  return n < received_.size() ? received_[n] : std::string();
}

// True when fd has something to read (or has closed) within kPollMs.
static bool Readable(int fd) {
  pollfd entry = {fd, POLLIN, 0};
  return poll(&entry, 1, kPollMs) > 0;
}

void ScriptedServer::Run() {
  while (!stop_) {
    if (!Readable(listener_)) continue;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Serve(fd);
  }
}

void ScriptedServer::Serve(int fd) {
  size_t index;
  Script script;
  bool automatic;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    index = received_.size();
    received_.emplace_back();
    automatic = scripts_.empty();
    if (!automatic) {
      script = scripts_.front();
      scripts_.pop_front();
    }
  }
  std::string pending, message;
  bool open = true;
  if (automatic) {
    // The version, then the query word, which chooses the rest.
    open = PlayStep(fd, Reply("OK"), &pending, index, &message) &&
           PlayStep(fd, Reply("OK"), &pending, index, &message);
    if (open) script = AcceptingScript(message);
    script.erase(script.begin(), script.begin() + (open ? 2 : 0));
  }
  for (size_t n = 0; open && n < script.size(); n++)
    open = PlayStep(fd, script[n], &pending, index, &message);
  if (open) Drain(fd, &pending, index);
  close(fd);
  std::lock_guard<std::mutex> hold(mutex_);
  ended_++;
  changed_.notify_all();
}

// Plays one step; false once the connection is closed (by either side).
bool ScriptedServer::PlayStep(int fd, const ScriptStep &step, std::string *pending, size_t index,
                              std::string *message) {
  switch (step.kind) {
  case ScriptStep::kReply:
    if (!ReadMessage(fd, pending, index, message)) return false;
    return send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) ==
           (ssize_t)step.bytes.size();
  case ScriptStep::kRead:
    return ReadMessage(fd, pending, index, message);
  case ScriptStep::kSend:
    return send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) ==
           (ssize_t)step.bytes.size();
  case ScriptStep::kPause:
    std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
    return !stop_;
  case ScriptStep::kHangup:
    return false;
  }
  return false;
}

// Takes the next NUL-terminated message, reading as much as it needs.
bool ScriptedServer::ReadMessage(int fd, std::string *pending, size_t index, std::string *message) {
  size_t end;
  while ((end = pending->find('\0')) == std::string::npos)
    if (!ReadSome(fd, pending, index)) return false;
  *message = pending->substr(0, end);
  pending->erase(0, end + 1);
  return true;
}

// Reads what has arrived into pending and the record; false once the
// client has closed or the server stops.
bool ScriptedServer::ReadSome(int fd, std::string *pending, size_t index) {
  while (!stop_) {
    if (!Readable(fd)) continue;
    char buffer[4096];
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) return false;
    pending->append(buffer, got);
    std::lock_guard<std::mutex> hold(mutex_);
    received_[index].append(buffer, got);
    return true;
  }
  return false;
}

void ScriptedServer::Drain(int fd, std::string *pending, size_t index) {
  while (ReadSome(fd, pending, index))
    pending->clear();
}
