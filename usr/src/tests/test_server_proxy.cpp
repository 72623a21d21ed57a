// SPDX-License-Identifier: MIT
// The server behind a real HAProxy that sends the PROXY header: each player
// is known by its own address, so one address guessing locks out only
// itself, and a header is believed from the balancer alone. HAProxy
// connects from 127.0.0.9; players and attackers reach it from 127.0.0.2
// and beyond. The reader of the header is also checked byte by byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_server.h"
// The header's reader is the server's own, not a public function.
#include "server_internal.h"

static const char kBalancer[] = "127.0.0.9";

static bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool accepted = connect(fd, (struct sockaddr *)&address, sizeof(address)) == 0;
  close(fd);
  return accepted;
}

static std::string Hex(const std::string &text) {
  std::string hex;
  for (unsigned char byte : text) {
    char two[3];
    snprintf(two, sizeof(two), "%02x", byte);
    hex += two;
  }
  return hex + "00";
}

// HAProxy in front of the server: `v2_port` sends send-proxy-v2, `v1_port`
// the text form; the v2 backend is checked often, as hosts are told to.
class Balancer {
public:
  Balancer(int server_port, const std::string &dir) : v2_port(FreePort()), v1_port(FreePort()) {
    std::string config = "global\n  maxconn 500\n"
                         "defaults\n  mode tcp\n  timeout connect 5s\n"
                         "  timeout client 20s\n  timeout server 20s\n";
    std::string check = "  option tcp-check\n  tcp-check connect send-proxy\n";
    for (const char *word : {WIRE_VERSION_TEXT, WIRE_QUERY_CONNECT, "health-check"})
      check += std::string("  tcp-check send-binary ") + Hex(word) +
               "\n  tcp-check expect binary " +
               Hex(strcmp(word, "health-check") == 0 ? WIRE_BAD_LOGIN : WIRE_OK) + "\n";
    for (int v1 = 0; v1 < 2; v1++) {
      std::string name = v1 ? "v1" : "v2";
      config +=
          "frontend " + name + "\n  bind 127.0.0.1:" + std::to_string(v1 ? v1_port : v2_port) +
          "\n  default_backend game_" + name + "\nbackend game_" + name + "\n" + (v1 ? "" : check) +
          "  server game 127.0.0.1:" + std::to_string(server_port) +
          (v1 ? " send-proxy" : " send-proxy-v2 check inter 100ms") + " source " + kBalancer + "\n";
    }
    WriteFileText(dir + "haproxy.cfg", config);
    Launch launch;
    launch.argv = {"/usr/sbin/haproxy", "-db", "-f", dir + "haproxy.cfg"};
    pid = StartProcess(launch);
    EXPECT_GT(pid, 0);
    Awaited started = AwaitReady(
        pid, [this] { return Accepts(v1_port) && Accepts(v2_port); }, 10000);
    // An ended haproxy is reaped: its id is no longer ours to signal.
    if (started == Awaited::kEnded) pid = -1;
    EXPECT_EQ(started, Awaited::kReady) << "haproxy did not start";
  }
  ~Balancer() { StopProcess(pid, SIGTERM, 5000); }
  int v2_port;
  int v1_port;
  pid_t pid = -1;
};

class ServerBehindBalancer : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
    balancer.reset(new Balancer(server.port, server.dir));
  }
  TestServer server{SERVER_READ_TIMEOUT_MS, "", [](ServerConfig *config) {
                      Prefix balancer;
                      PrefixParse(kBalancer, &balancer);
                      config->proxy_from = {balancer};
                      config->throttle.address_failures = 3;
                      config->throttle.delay_first_ms = 100;
                      config->throttle.delay_max_ms = 200;
                    }};
  std::unique_ptr<Balancer> balancer;
};

TEST_F(ServerBehindBalancer, OneAddressGuessingLocksOutOnlyItself) {
  for (int i = 0; i < 6; i++)
    EXPECT_EQ(Wake(balancer->v2_port, "ann", "guess", "127.0.0.2"), WIRE_BAD_PASSWORD) << i;
  // Its right password too is refused now, unchecked.
  EXPECT_EQ(Wake(balancer->v2_port, "ann", "pw", "127.0.0.2"), WIRE_BAD_PASSWORD);
  for (const char *player : {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"})
    EXPECT_EQ(Wake(balancer->v2_port, "ann", "pw", player), WIRE_OK) << player;
  EXPECT_EQ(Wake(balancer->v1_port, "ann", "pw", "127.0.0.7"), WIRE_OK);
  server.Stop();
  std::string log = server.Log();
  EXPECT_EQ(Count(log, "127.0.0.2 \"Connection\" \"ann\": Bad password"), 7u) << log;
  for (const char *player : {"127.0.0.3", "127.0.0.6", "127.0.0.7"})
    EXPECT_EQ(Count(log, std::string(player) + " \"Connection\" \"ann\": OK\n"), 1u) << log;
  EXPECT_EQ(Count(log, "127.0.0.9 \""), 0u) << log;
}

// Everything up to the password's reply, the first message sent one byte
// at a time.
static std::string WakeInBytes(Dialog *dialog, const std::string &first) {
  for (char byte : first) {
    dialog->SendBytes(std::string(1, byte));
    usleep(2000);
  }
  std::string reply = dialog->Hear();
  for (const char *text : {WIRE_QUERY_CONNECT, "ann", "pw"}) {
    if (reply != WIRE_OK) break;
    reply = dialog->Say(text);
  }
  return reply;
}

TEST_F(ServerBehindBalancer, AHeaderIsRequiredFromTheBalancerAndBelievedFromNoOneElse) {
  const std::string v1_header = "PROXY TCP4 10.1.2.3 127.0.0.1 4000 9999\r\n";
  // From anyone else, a header is a first message like any other.
  Dialog stranger(server.port, "127.0.0.5");
  EXPECT_EQ(stranger.Say(v1_header + WIRE_VERSION_TEXT), WIRE_BAD_VERSION);
  // From the balancer's address, none is no conversation.
  Dialog headless(server.port, kBalancer);
  headless.Send(WIRE_VERSION_TEXT);
  EXPECT_EQ(headless.Hear(), HEARD_HUNG_UP);
  // A header in pieces, and the conversation's first bytes right after it.
  const unsigned char v2_header[] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49,
                                     0x54, 0x0A, 0x21, 0x11, 0x00, 0x0C, 10,   4,    5,    6,
                                     127,  0,    0,    1,    0x0F, 0xA0, 0x27, 0x0F};
  Dialog v2(server.port, kBalancer);
  EXPECT_EQ(WakeInBytes(&v2, std::string((const char *)v2_header, sizeof(v2_header)) +
                                 WIRE_VERSION_TEXT + '\0'),
            WIRE_OK);
  Dialog v1(server.port, kBalancer);
  EXPECT_EQ(WakeInBytes(&v1, v1_header + WIRE_VERSION_TEXT + '\0'), WIRE_OK);
  // A datagram family names no client of a stream: the balancer's own
  // address stays.
  unsigned char udp_header[sizeof(v2_header)];
  memcpy(udp_header, v2_header, sizeof(v2_header));
  udp_header[13] = 0x12;
  udp_header[16] = 11;
  Dialog udp(server.port, kBalancer);
  EXPECT_EQ(WakeInBytes(&udp, std::string((const char *)udp_header, sizeof(udp_header)) +
                                  WIRE_VERSION_TEXT + '\0'),
            WIRE_OK);
  server.Stop();
  std::string log = server.Log();
  EXPECT_EQ(Count(log, "127.0.0.5 \"\" \"\": Bad version"), 1u) << log;
  EXPECT_EQ(Count(log, "10.4.5.6 \"Connection\" \"ann\": OK\n"), 1u) << log;
  EXPECT_EQ(Count(log, "10.1.2.3 \"Connection\" \"ann\": OK\n"), 1u) << log;
  EXPECT_EQ(Count(log, "11.4.5.6"), 0u) << log;
  // The headless one is summed up with the balancer's probes at start.
  EXPECT_EQ(Count(log, "127.0.0.9 \""), 1u) << log;
  EXPECT_EQ(Count(log, "127.0.0.9 \"Connection\" \"ann\": OK\n"), 1u) << log;
  EXPECT_EQ(Count(log, "connections closed before a first message"), 1u) << log;
}

// ---- The header's reader, byte by byte ------------------------------------------

namespace {
struct ProxyCase {
  const char *what;
  std::string bytes;
  int result;
  size_t used;      // PROXY_DONE only
  const char *peer; // PROXY_DONE only: the address read, or NULL to keep the connection's
};

std::string V2(unsigned char command, unsigned char family, const std::string &rest,
               size_t length) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  header += (char)command;
  header += (char)family;
  header += (char)(length >> 8);
  header += (char)(length & 0xFF);
  return header + rest;
}

const std::string kV4Addresses("\x0A\x04\x05\x06\x7F\0\0\x01\x0F\xA0\x27\x0F", 12);
const std::string kV6Addresses = std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') +
                                 "\x07" + std::string(16, '\x01') + "\x0F\xA0\x27\x0F";
const std::string kV1Line = "PROXY TCP4 10.1.2.3 127.0.0.1 4000 9999\r\n";

const ProxyCase kProxyCases[] = {
    {"v1 TCP4", kV1Line + "ver", PROXY_DONE, kV1Line.size(), "10.1.2.3"},
    {"v1 TCP6", "PROXY TCP6 2001:db8::7 ::1 4000 9999\r\n", PROXY_DONE, 38, "2001:db8::7"},
    {"v1 UNKNOWN", "PROXY UNKNOWN ::1 ::1 1 2\r\n", PROXY_DONE, 27, NULL},
    {"v1 five words", "PROXY TCP4 10.1.2.3 127.0.0.1 4000\r\n", PROXY_BAD, 0, NULL},
    {"v1 port too big", "PROXY TCP4 10.1.2.3 127.0.0.1 65536 9999\r\n", PROXY_BAD, 0, NULL},
    {"v1 signed port", "PROXY TCP4 10.1.2.3 127.0.0.1 +400 9999\r\n", PROXY_BAD, 0, NULL},
    {"v1 family and address differ", "PROXY TCP4 ::1 ::1 4000 9999\r\n", PROXY_BAD, 0, NULL},
    {"v1 unknown family", "PROXY UDP4 10.1.2.3 127.0.0.1 4000 9999\r\n", PROXY_BAD, 0, NULL},
    {"v1 double space", "PROXY TCP4  10.1.2.3 127.0.0.1 4000 9999\r\n", PROXY_BAD, 0, NULL},
    {"v1 NUL in the line", std::string("PROXY TCP4 10.1.2.3") + '\0' + " 127.0.0.1 4000 9999\r\n",
     PROXY_BAD, 0, NULL},
    {"v1 no end within 107 bytes", "PROXY " + std::string(120, 'x'), PROXY_BAD, 0, NULL},
    {"v2 TCP4", V2(0x21, 0x11, kV4Addresses + "ver", 12), PROXY_DONE, 28, "10.4.5.6"},
    {"v2 TCP6", V2(0x21, 0x21, kV6Addresses, 36), PROXY_DONE, 52, "2001:db8::7"},
    {"v2 TCP4 with TLVs", V2(0x21, 0x11, kV4Addresses + std::string(20, '\x04'), 32), PROXY_DONE,
     48, "10.4.5.6"},
    {"v2 LOCAL", V2(0x20, 0x00, "", 0), PROXY_DONE, 16, NULL},
    {"v2 UNSPEC", V2(0x21, 0x00, "", 0), PROXY_DONE, 16, NULL},
    {"v2 UDP4 is no stream of ours", V2(0x21, 0x12, kV4Addresses, 12), PROXY_DONE, 28, NULL},
    {"v2 UDP6 is no stream of ours", V2(0x21, 0x22, kV6Addresses, 36), PROXY_DONE, 52, NULL},
    {"v2 version 1", V2(0x11, 0x11, kV4Addresses, 12), PROXY_BAD, 0, NULL},
    {"v2 command 2", V2(0x22, 0x11, kV4Addresses, 12), PROXY_BAD, 0, NULL},
    {"v2 TCP4 too short", V2(0x21, 0x11, kV4Addresses.substr(0, 8), 8), PROXY_BAD, 0, NULL},
    {"v2 TCP6 too short", V2(0x21, 0x21, kV6Addresses.substr(0, 20), 20), PROXY_BAD, 0, NULL},
    {"v2 longer than a header may be", V2(0x21, 0x11, kV4Addresses, PROXY_HEADER_MAX), PROXY_BAD, 0,
     NULL},
    {"v2 signature wrong", "\r\n\r\nxQUIT\n" + std::string(20, '\0'), PROXY_BAD, 0, NULL},
    {"the game's first message", "5\0", PROXY_BAD, 0, NULL},
};

std::string PeerText(const struct sockaddr_storage &peer) {
  char text[INET6_ADDRSTRLEN] = "";
  const void *bytes = peer.ss_family == AF_INET
                          ? (const void *)&((const struct sockaddr_in *)&peer)->sin_addr
                          : (const void *)&((const struct sockaddr_in6 *)&peer)->sin6_addr;
  inet_ntop(peer.ss_family, bytes, text, sizeof(text));
  return text;
}
} // namespace

// Whole, each case gives its result; cut anywhere before its end, a header
// still to come asks for more and a refusal is never taken for a header.
TEST(ProxyHeader, EachFormWholeAndSplitIsReadOrRefused) {
  for (const ProxyCase &c : kProxyCases) {
    struct sockaddr_storage peer = {};
    peer.ss_family = AF_UNIX;
    size_t used = 0;
    ASSERT_EQ(ProxyHeaderRead(c.bytes.data(), c.bytes.size(), &peer, &used), c.result) << c.what;
    if (c.result == PROXY_DONE) {
      EXPECT_EQ(used, c.used) << c.what;
      EXPECT_EQ(peer.ss_family == AF_UNIX ? "kept" : PeerText(peer), c.peer ? c.peer : "kept")
          << c.what;
    }
    size_t end = c.result == PROXY_DONE ? c.used : c.bytes.size();
    for (size_t cut = 0; cut < end; cut++) {
      struct sockaddr_storage part_peer = {};
      int part = ProxyHeaderRead(c.bytes.data(), cut, &part_peer, &used);
      // A header still to come asks for more; a refusal is never a header.
      EXPECT_TRUE(c.result == PROXY_DONE ? part == PROXY_MORE : part != PROXY_DONE)
          << c.what << " cut at " << cut;
    }
  }
}
