// SPDX-License-Identifier: MIT
// The stream reader: messages split, joined, overlong, and random cuts.
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/varkel_wire.h"

static void Feed(WireReader *reader, const std::string &bytes) {
  size_t room;
  char *space = WireSpace(reader, &room);
  ASSERT_LE(bytes.size(), room);
  memcpy(space, bytes.data(), bytes.size());
  WireCommit(reader, bytes.size());
}

static std::vector<std::string> TakeAll(WireReader *reader) {
  std::vector<std::string> out;
  char message[WIRE_MESSAGE_MAX];
  while (WireTakeMessage(reader, message, sizeof(message)) == 0)
    out.push_back(message);
  return out;
}

TEST(WireReader, SplitAndJoinedMessages) {
  WireReader reader;
  WireReset(&reader);
  Feed(&reader, "Bad pa");
  EXPECT_TRUE(TakeAll(&reader).empty());
  Feed(&reader, std::string("ssword\0first line\0sec", 21));
  EXPECT_EQ(TakeAll(&reader), (std::vector<std::string>{"Bad password", "first line"}));
  Feed(&reader, std::string("ond\0\0", 5));
  EXPECT_EQ(TakeAll(&reader), (std::vector<std::string>{"second", ""}));
}

TEST(WireReader, OverlongMessageIsCutAndItsTailSkipped) {
  WireReader reader;
  WireReset(&reader);
  Feed(&reader, std::string(WIRE_MESSAGE_MAX, 'x'));
  char message[WIRE_MESSAGE_MAX];
  ASSERT_EQ(WireTakeMessage(&reader, message, sizeof(message)), 0);
  EXPECT_EQ(strlen(message), (size_t)WIRE_MESSAGE_MAX - 1);
  EXPECT_EQ(reader.cut, 1);
  Feed(&reader, std::string(976, 'y'));
  EXPECT_TRUE(TakeAll(&reader).empty());
  Feed(&reader, std::string("yy\0next\0", 8));
  EXPECT_EQ(TakeAll(&reader), (std::vector<std::string>{"next"}));
  EXPECT_EQ(reader.cut, 0);
}

TEST(WireReader, SmallOutputIsAlwaysTerminated) {
  WireReader reader;
  WireReset(&reader);
  Feed(&reader, std::string("a heard line of some length\0", 28));
  char small[10];
  ASSERT_EQ(WireTakeMessage(&reader, small, sizeof(small)), 0);
  EXPECT_STREQ(small, "a heard l");
  EXPECT_EQ(reader.cut, 1);
}

// Any cutting of a stream into receives yields the same messages.
TEST(WireReader, RandomChunkingKeepsEveryMessage) {
  std::mt19937 random(7);
  std::string stream;
  std::vector<std::string> sent;
  for (int n = 0; n < 300; n++) {
    std::string text(random() % 40, 'a' + n % 26);
    sent.push_back(text);
    stream += text;
    stream.push_back('\0');
  }
  WireReader reader;
  WireReset(&reader);
  std::vector<std::string> got;
  for (size_t at = 0; at < stream.size();) {
    size_t room;
    char *space = WireSpace(&reader, &room);
    size_t chunk = std::min<size_t>({room, stream.size() - at, 1 + random() % 64});
    memcpy(space, stream.data() + at, chunk);
    WireCommit(&reader, chunk);
    at += chunk;
    for (const std::string &message : TakeAll(&reader))
      got.push_back(message);
  }
  EXPECT_EQ(got, sent);
}
