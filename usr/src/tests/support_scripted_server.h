// SPDX-License-Identifier: MIT
// A scripted game server for the tests: real TCP on 127.0.0.1, an ephemeral
// port, one connection at a time, every byte it receives recorded.
//
//   ScriptedServer server;             // listening at once, on its own thread
//   server.PointAt(jeu);               // ip_server "127.0.0.1", port_server
//   server.Queue({Reply("OK"), Reply("OK"), Reply("OK"), Reply("Bad password")});
//   ActionConnect(jeu);
//   ASSERT_TRUE(server.WaitConnections(1));
//   EXPECT_EQ(Messages(server.Received(0)),
//             (std::vector<std::string>{WIRE_VERSION_TEXT, "Connection", "bob", "secret"}));
//
// Each accepted connection plays the next queued script, step by step. When
// the script ends (or the client closes) the server keeps reading, and
// recording, until the client closes, then takes the next connection. A
// connection with no script queued plays AcceptingScript of the query word
// it receives: a whole game can be played without scripting each action.
#ifndef VARKEL_SUPPORT_SCRIPTED_SERVER_H
#define VARKEL_SUPPORT_SCRIPTED_SERVER_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_functions.h"

struct ScriptStep {
  enum Kind { kReply, kRead, kSend, kPause, kHangup } kind;
  std::string bytes; // sent as they are (kReply, kSend)
  int ms;            // kPause
};
typedef std::vector<ScriptStep> Script;

// Waits for one message of the client, then sends text and its NUL.
ScriptStep Reply(const std::string &text);
// Waits for one message, then sends bytes exactly as given, in one write.
ScriptStep ReplyBytes(const std::string &bytes);
// Waits for one message and answers nothing.
ScriptStep Read();
// Sends bytes exactly as given without waiting.
ScriptStep SendBytes(const std::string &bytes);
// Sleeps.
ScriptStep Pause(int ms);
// Closes the connection now; the rest of the script is dropped.
ScriptStep Hangup();

// Texts joined as they travel: each followed by its NUL.
std::string Wire(const std::vector<std::string> &texts);
// Bytes cut at each NUL; bytes after the last NUL are one more message.
std::vector<std::string> Messages(const std::string &bytes);

// The whole accepting conversation of an action by its query word: "OK" to
// each identification step, then the action's own part: verdict "Adieu",
// heard lines "Ligne 1".."Ligne 100", status "10", "20", "30", "OK" to
// everything else.
Script AcceptingScript(const std::string &query);
// The line n (1 to 100) of the accepting listening.
std::string HeardLine(int n);

class ScriptedServer {
public:
  ScriptedServer();
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer &) = delete;
  ScriptedServer &operator=(const ScriptedServer &) = delete;

  int Port() const { return port_; }
  // Points the client's record at this server (caller holds jeu->lock if a
  // frame loop runs).
  void PointAt(Game *jeu) const;
  // The script of the next connection that has none yet.
  void Queue(const Script &script);
  // Waits until `count` connections have ended; false after timeout_ms.
  bool WaitConnections(size_t count, int timeout_ms = 30000);
  // Connections accepted so far (ended or not).
  size_t Connections();
  // The bytes received on connection n (0 the first), so far.
  std::string Received(size_t n);

private:
  void Run();
  void Serve(int fd);
  bool PlayStep(int fd, const ScriptStep &step, std::string *pending, size_t index,
                std::string *message);
  bool ReadMessage(int fd, std::string *pending, size_t index, std::string *message);
  bool ReadSome(int fd, std::string *pending, size_t index);
  void Drain(int fd, std::string *pending, size_t index);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Script> scripts_;
  std::vector<std::string> received_;
  size_t ended_ = 0;
  std::thread thread_;
};

#endif
