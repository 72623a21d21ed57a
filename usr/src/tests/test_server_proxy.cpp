// SPDX-License-Identifier: MIT
// The server behind a real HAProxy that sends the PROXY header: each player
// is known by its own address, so one address guessing locks out only
// itself, and a header is believed from the balancer alone. HAProxy
// connects from 127.0.0.9; players and attackers reach it from 127.0.0.2
// and beyond.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "support_server.h"

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

// HAProxy in front of the server: `v2_port` sends send-proxy-v2, `v1_port`
// the text form.
class Balancer {
public:
  Balancer(int server_port, const std::string &dir) : v2_port(FreePort()), v1_port(FreePort()) {
    std::string config = "global\n  maxconn 500\n"
                         "defaults\n  mode tcp\n  timeout connect 5s\n"
                         "  timeout client 20s\n  timeout server 20s\n";
    for (int v1 = 0; v1 < 2; v1++) {
      std::string name = v1 ? "v1" : "v2";
      config += "frontend " + name +
                "\n  bind 127.0.0.1:" + std::to_string(v1 ? v1_port : v2_port) +
                "\n  default_backend game_" + name + "\nbackend game_" + name +
                "\n  server game 127.0.0.1:" + std::to_string(server_port) +
                (v1 ? " send-proxy" : " send-proxy-v2") + " source " + kBalancer + "\n";
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
