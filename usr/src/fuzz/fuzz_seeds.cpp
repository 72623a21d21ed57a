// SPDX-License-Identifier: MIT
// Writes the fuzzers' first inputs into a folder: conversations as the
// client holds them, one of each query (conversation/), streams of messages
// for the wire reader (wire/), PROXY headers (proxy/), and the words of the
// conversations in a dictionary (conversation.dict). Usage: fuzz_seeds FOLDER
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/varkel_wire.h"

namespace {

std::string M(const std::string &text) {
  return text + '\0';
}

// A control of the conversation fuzzer; see fuzz_conversation.cpp.
std::string C(char code) {
  return std::string("\xFF") + code;
}

std::string Identify(const char *query, const char *name, const char *password) {
  return M(WIRE_VERSION_TEXT) + M(query) + M(name) + M(password);
}

std::string Born(const char *name, const char *password) {
  return Identify(WIRE_QUERY_SUBSCRIBE, name, password) + C('h');
}

// Each exchange on a connection of its own, as the client does.
std::vector<std::string> Conversations() {
  std::string ann = Born("ann", "pw");
  std::string awake = ann + C('1') + Identify(WIRE_QUERY_CONNECT, "ann", "pw");
  std::string oks;
  for (int i = 0; i < WIRE_LISTEN_LINES; i++)
    oks += M(WIRE_OK);
  return {
      ann,
      awake,
      awake + C('2') + Identify(WIRE_QUERY_SPEAK, "ann", "pw") + M("ann : bonjour"),
      awake + C('2') + Identify(WIRE_QUERY_SPEAK, "ann", "pw") + M("ann : salut") + C('3') +
          Identify(WIRE_QUERY_LISTEN, "ann", "pw") + oks,
      awake + C('2') + Identify(WIRE_QUERY_STATUS, "ann", "pw") + M("ann") + M(WIRE_OK) +
          M(WIRE_OK) + M(WIRE_OK),
      awake + C('2') + Identify(WIRE_QUERY_DRINK, "ann", "pw") + M("ann") + C('3') +
          Identify(WIRE_QUERY_EAT, "ann", "pw") + M("ann"),
      awake + C('2') + Identify(WIRE_QUERY_SLEEP, "ann", "pw") + M("ann") + C('3') +
          Identify(WIRE_QUERY_MOVE, "ann", "pw") + M("ann"),
      awake + C('2') + Identify(WIRE_QUERY_UNSUBSCRIBE, "ann", "pw"),
      // Dead of thirst after five hours awake.
      awake + C('t') + std::string(1, 30) + C('2') + Identify(WIRE_QUERY_STATUS, "ann", "pw"),
      // A wrong password, then the right one once it is forgotten.
      ann + C('1') + Identify(WIRE_QUERY_CONNECT, "ann", "bad") + C('h') + C('f') + C('2') +
          Identify(WIRE_QUERY_CONNECT, "ann", "pw") + C('h'),
      // Two births of one name at once; one leaves while its check waits.
      Identify(WIRE_QUERY_SUBSCRIBE, "bob", "a") + C('c') + C('1') +
          Identify(WIRE_QUERY_SUBSCRIBE, "bob", "b") + C('h') + C('h'),
      // A client that stops reading on a small buffer while it listens.
      awake + C('3') + C('d') + Identify(WIRE_QUERY_LISTEN, "ann", "pw") + oks,
      // Silent too long, once while its check waits and once after.
      Identify(WIRE_QUERY_SUBSCRIBE, "cat", "pw") + C('e') + C('1') + M(WIRE_VERSION_TEXT) +
          C('e') + C('h') + C('e'),
      // Too long a message, and too much said while a check waits.
      M(WIRE_VERSION_TEXT) + M(std::string(WIRE_MESSAGE_MAX + 10, 'x')) + C('1') +
          Identify(WIRE_QUERY_SUBSCRIBE, "dan", "pw") + std::string(WIRE_MESSAGE_MAX + 10, 'y') +
          C('h'),
      M("19990101"),
      M(WIRE_VERSION_TEXT) + M("Dance"),
  };
}

std::vector<std::string> Streams() {
  std::string plain("\x80\x00\x01", 3);
  std::string small("\x02\x10\x20", 3);
  std::string listen;
  for (int i = 0; i < WIRE_LISTEN_LINES; i++)
    listen += M("ann : ligne " + std::to_string(i));
  return {
      plain + Identify(WIRE_QUERY_SPEAK, "ann", "pw") + M("ann : bonjour"),
      plain + listen,
      plain + M(std::string(WIRE_MESSAGE_MAX - 1, 'x')) + M(std::string(WIRE_MESSAGE_MAX, 'y')) +
          M(WIRE_OK),
      plain + std::string(3 * WIRE_MESSAGE_MAX, 'z'),
      small + M(WIRE_BAD_PASSWORD) + M("") + M(WIRE_OK),
  };
}

// Every word the server knows, each as one message, and the controls.
std::string Dictionary() {
  std::vector<std::string> entries = {
      M(WIRE_VERSION_TEXT),  M(WIRE_QUERY_SUBSCRIBE),
      M(WIRE_QUERY_CONNECT), M(WIRE_QUERY_UNSUBSCRIBE),
      M(WIRE_QUERY_SLEEP),   M(WIRE_QUERY_SPEAK),
      M(WIRE_QUERY_LISTEN),  M(WIRE_QUERY_STATUS),
      M(WIRE_QUERY_DRINK),   M(WIRE_QUERY_EAT),
      M(WIRE_QUERY_MOVE),    M(WIRE_OK),
      WIRE_SPEECH_SEPARATOR, M("ann"),
      M("ann : "),
  };
  for (char code : std::string("0123hcwdfe"))
    entries.push_back(C(code));
  entries.push_back(C('t') + std::string(1, 30));
  std::string text;
  for (const std::string &entry : entries) {
    text += '"';
    for (unsigned char byte : entry) {
      if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
        text += (char)byte;
        continue;
      }
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      text += escaped;
    }
    text += "\"\n";
  }
  return text;
}

// Headers as balancers send them, each followed by a game's first bytes.
std::vector<std::string> Proxies() {
  std::string v2("\r\n\r\n\0\r\nQUIT\n\x21\x11\0\x0C\x0A\x04\x05\x06\x7F\0\0\x01\x0F\xA0\x27\x0F",
                 28);
  std::string v2_local("\r\n\r\n\0\r\nQUIT\n\x20\0\0\0", 16);
  std::string v2_six("\r\n\r\n\0\r\nQUIT\n\x21\x21\0\x24", 16);
  v2_six += std::string(36, '\x01');
  return {"PROXY TCP4 10.1.2.3 127.0.0.1 4000 9999\r\n" WIRE_VERSION_TEXT,
          "PROXY TCP6 2001:db8::7 ::1 4000 9999\r\n",
          "PROXY UNKNOWN\r\n",
          v2 + WIRE_VERSION_TEXT,
          v2_local,
          v2_six};
}

int WriteFile(const std::string &path, const std::string &bytes) {
  FILE *file = fopen(path.c_str(), "wb");
  if (file == NULL) {
    perror(path.c_str());
    return 1;
  }
  size_t written = fwrite(bytes.data(), 1, bytes.size(), file);
  if (fclose(file) != 0 || written != bytes.size()) {
    perror(path.c_str());
    return 1;
  }
  return 0;
}

int MakeFolder(const std::string &folder) {
  if (mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST) return 0;
  perror(folder.c_str());
  return 1;
}

int WriteAll(const std::string &folder, const std::vector<std::string> &inputs) {
  if (MakeFolder(folder) != 0) return 1;
  for (size_t i = 0; i < inputs.size(); i++) {
    char name[32];
    snprintf(name, sizeof(name), "/seed-%02zu", i);
    if (WriteFile(folder + name, inputs[i]) != 0) return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds FOLDER\n");
    return 1;
  }
  std::string folder = argv[1];
  return MakeFolder(folder) || WriteAll(folder + "/wire", Streams()) ||
         WriteAll(folder + "/proxy", Proxies()) ||
         WriteAll(folder + "/conversation", Conversations()) ||
         WriteFile(folder + "/conversation.dict", Dictionary());
}
