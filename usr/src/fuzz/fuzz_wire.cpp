// SPDX-License-Identifier: MIT
// The wire reader against a plain model of it. The first byte picks the
// size of the caller's buffer and the next two seed the cuts of the rest,
// which is the byte stream: it is fed in pieces of every size, messages are
// taken at once or only when the reader is full, and every message taken
// must be what the model says.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/varkel_wire.h"

namespace {

struct Expected {
  std::string text;
  int cut;
};

// A message of L bytes is handed whole while it fits the reader
// (L < WIRE_MESSAGE_MAX) and the caller's buffer; beyond the reader its
// first WIRE_MESSAGE_MAX - 1 bytes go out and the rest is dropped. A last
// message without its NUL goes out only once it fills the reader.
std::vector<Expected> Model(const uint8_t *data, size_t size, size_t out_size) {
  std::vector<Expected> expected;
  size_t start = 0;
  while (start < size) {
    const uint8_t *end = (const uint8_t *)memchr(data + start, '\0', size - start);
    size_t length = end != NULL ? (size_t)(end - data) - start : size - start;
    if (end == NULL && length < WIRE_MESSAGE_MAX) break;
    size_t held = length < WIRE_MESSAGE_MAX ? length : WIRE_MESSAGE_MAX - 1;
    size_t kept = held < out_size - 1 ? held : out_size - 1;
    expected.push_back(
        {std::string((const char *)data + start, kept), length >= WIRE_MESSAGE_MAX || kept < held});
    start += length + 1;
  }
  return expected;
}

// A small generator so that one input always cuts the same way.
uint32_t Next(uint32_t *state) {
  *state = *state * 1103515245u + 12345u;
  return *state >> 16;
}

void Check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "fuzz_wire: %s\n", what);
  abort();
}

void TakeOne(WireReader *reader, std::vector<char> &out, const std::vector<Expected> &expected,
             size_t *taken) {
  Check(*taken < expected.size(), "a message the model does not have");
  const Expected &want = expected[*taken];
  Check(strlen(out.data()) == want.text.size() &&
            memcmp(out.data(), want.text.data(), want.text.size()) == 0,
        "message differs from the model");
  Check(reader->cut == want.cut, "cut flag differs from the model");
  (*taken)++;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  // Mostly the size callers use; sometimes smaller or larger.
  size_t out_size = data[0] >= 128 ? WIRE_MESSAGE_MAX : 1 + (size_t)data[0] * 9;
  uint32_t state = (uint32_t)data[1] << 8 | data[2];
  data += 3;
  size -= 3;

  std::vector<Expected> expected = Model(data, size, out_size);
  std::vector<char> out(out_size); // exactly its size, so that ASan sees overruns
  WireReader reader;
  WireReset(&reader);
  size_t fed = 0;
  size_t taken = 0;
  while (fed < size) {
    size_t room;
    char *space = WireSpace(&reader, &room);
    if (room == 0) {
      // A full reader hands out a message or drops the tail it skips.
      if (WireTakeMessage(&reader, out.data(), out.size()) == 0)
        TakeOne(&reader, out, expected, &taken);
      WireSpace(&reader, &room);
      Check(room > 0, "a full reader stays full");
      continue;
    }
    uint32_t pick = Next(&state);
    size_t piece = pick % 4 == 0 ? room : 1 + pick % 64;
    if (piece > room) piece = room;
    if (piece > size - fed) piece = size - fed;
    memcpy(space, data + fed, piece);
    WireCommit(&reader, piece);
    fed += piece;
    if (Next(&state) % 3 == 0) continue; // let messages pile up
    while (WireTakeMessage(&reader, out.data(), out.size()) == 0)
      TakeOne(&reader, out, expected, &taken);
  }
  while (WireTakeMessage(&reader, out.data(), out.size()) == 0)
    TakeOne(&reader, out, expected, &taken);
  Check(taken == expected.size(), "messages the model has were not taken");
  return 0;
}
