// SPDX-License-Identifier: MIT
// The conversation over TLS, with an authority and certificates made here
// by the openssl tool: the real client through a relay that records every
// byte, the refusals of a server that cannot be trusted, a renewal without
// a restart, and the TLS port's floods held as the plain port's are.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "common/varkel_tls.h"
#include "support.h"
#include "support_input.h"
#include "support_server.h"
// A test waits on the guard's count of a balancer's player.
#include "server_internal.h"

namespace {

// Runs a shell command line of the openssl tool; true when it succeeded.
bool Shell(const std::string &command) {
  ProcessResult result = RunProcess({"/bin/sh", "-c", command + " 2>&1"}, "", 60000);
  EXPECT_EQ(result.status, 0) << command << "\n" << result.out;
  return result.status == 0;
}

// A folder of keys and certificates: authorities sign certificates made
// for a name, a subjectAltName and a number of days (-1: expired).
class Certificates {
public:
  Certificates() : dir(MakeTempDir()) {}
  ~Certificates() { RemoveTree(dir); }
  void Authority(const std::string &name) {
    Shell("cd " + dir + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 " +
          "-nodes -keyout " + name + ".key -out " + name + ".pem -days 30 -subj /CN=" + name);
  }
  void Certificate(const std::string &name, const std::string &authority,
                   const std::string &alt_names, int days) {
    Shell("cd " + dir + " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes " +
          "-keyout " + name + ".key -out " + name + ".csr -subj /CN=" + name + " && printf '" +
          "subjectAltName=" + alt_names + "\\n' > " + name + ".ext && openssl x509 -req -in " +
          name + ".csr -CA " + authority + ".pem -CAkey " + authority + ".key -set_serial " +
          std::to_string(++serial) + " -days " + std::to_string(days) + " -extfile " + name +
          ".ext -out " + name + ".pem");
  }
  std::string Pem(const std::string &name) const { return dir + name + ".pem"; }
  std::string Key(const std::string &name) const { return dir + name + ".key"; }
  std::string dir;

private:
  int serial = 0;
};

// An authority, a certificate for localhost signed by it, and a server
// in this process serving that on a TLS port; `more` sets the rest of its
// options.
struct LocalhostOverTls {
  explicit LocalhostOverTls(int read_limit_ms = SERVER_READ_TIMEOUT_MS,
                            const std::function<void(ServerConfig *)> &more = nullptr) {
    certificates.Authority("authority");
    certificates.Certificate("localhost", "authority", "DNS:localhost", 30);
    server.reset(new TestServer(read_limit_ms, "", [&](ServerConfig *config) {
      config->tls_port = 0;
      config->tls_cert = certificates.Pem("localhost");
      config->tls_key = certificates.Key("localhost");
      if (more) more(config);
    }));
  }
  std::string Authority() const { return certificates.Pem("authority"); }
  Certificates certificates;
  std::unique_ptr<TestServer> server;
};

// Accepts on a loopback port and carries each connection to the target
// port, keeping a copy of every byte that crosses, both ways.
class Relay {
public:
  explicit Relay(int target_port) : target(target_port) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(bind(listener, (struct sockaddr *)&address, sizeof(address)), 0);
    EXPECT_EQ(listen(listener, 16), 0);
    getsockname(listener, (struct sockaddr *)&address, &length);
    port = ntohs(address.sin_port);
    EXPECT_EQ(pipe2(stop, O_CLOEXEC), 0);
    thread = std::thread([this] { Serve(); });
  }
  ~Relay() {
    EXPECT_EQ(write(stop[1], "x", 1), 1);
    thread.join();
    close(listener);
    close(stop[0]);
    close(stop[1]);
  }
  std::string Recorded() {
    std::lock_guard<std::mutex> hold(lock);
    return recorded;
  }
  // The times the data changed direction since the last call: each is a
  // wait for the other side.
  int TakeTurns() {
    usleep(200000); // the last bytes sent are carried
    std::lock_guard<std::mutex> hold(lock);
    int taken = turns;
    turns = 0;
    last_side = -1;
    return taken;
  }
  int Connections() {
    std::lock_guard<std::mutex> hold(lock);
    return connections;
  }
  // Connections from now on go to another port: a server restarted.
  void Retarget(int target_port) { target = target_port; }
  // The client's next bytes are carried, then the connection is cut.
  void CutAfterClient() {
    std::lock_guard<std::mutex> hold(lock);
    cut = true;
  }
  int port;

private:
  void Serve() {
    for (;;) {
      struct pollfd watched[2] = {{listener, POLLIN, 0}, {stop[0], POLLIN, 0}};
      if (poll(watched, 2, -1) < 0 || watched[1].revents != 0) return;
      int client = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
      if (client < 0) continue;
      {
        std::lock_guard<std::mutex> hold(lock);
        connections++;
      }
      int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      struct sockaddr_in address;
      memset(&address, 0, sizeof(address));
      address.sin_family = AF_INET;
      address.sin_port = htons(target);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(server, (struct sockaddr *)&address, sizeof(address)) == 0) Carry(client, server);
      close(server);
      close(client);
    }
  }
  // Until either side closes (or the relay stops).
  void Carry(int client, int server) {
    char buffer[16384];
    for (;;) {
      struct pollfd watched[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stop[0], POLLIN, 0}};
      if (poll(watched, 3, 10000) <= 0 || watched[2].revents != 0) return;
      for (int side = 0; side < 2; side++) {
        if (watched[side].revents == 0) continue;
        ssize_t got = read(watched[side].fd, buffer, sizeof(buffer));
        if (got <= 0) return;
        bool cutting;
        {
          std::lock_guard<std::mutex> hold(lock);
          recorded.append(buffer, (size_t)got);
          if (last_side >= 0 && side != last_side) turns++;
          last_side = side;
          cutting = cut && side == 0;
          if (cutting) cut = false;
        }
        if (write(watched[1 - side].fd, buffer, (size_t)got) != got || cutting) return;
      }
    }
  }
  std::atomic<int> target;
  int listener;
  int stop[2];
  std::mutex lock;
  std::string recorded;
  int turns = 0;
  int last_side = -1; // 0 the client, 1 the server
  int connections = 0;
  bool cut = false;
  std::thread thread;
};

// A handshake as any TLS client makes it, trusting `authority`: the
// common name of the certificate served ("" when the handshake failed).
// *session, when given, is resumed and replaced by the new one. A PROXY
// header, when given, goes first, in the same segment as the handshake's
// first message (held back by TCP_CORK).
std::string ServedName(int port, const std::string &authority, SSL_SESSION **session = nullptr,
                       bool *resumed = nullptr, const std::string &header = "") {
  SSL_CTX *context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(context, authority.c_str(), NULL);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
  Dialog dialog(port);
  if (!header.empty()) {
    int on = 1;
    setsockopt(dialog.fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
    dialog.SendBytes(header);
  }
  SSL *ssl = SSL_new(context);
  SSL_set_fd(ssl, dialog.fd);
  SSL_set1_host(ssl, "localhost");
  if (session != nullptr && *session != nullptr) SSL_set_session(ssl, *session);
  std::string name;
  // A reply read makes the TLS 1.3 ticket arrive.
  char reply[64];
  if (SSL_connect(ssl) == 1 && SSL_write(ssl, WIRE_VERSION_TEXT, sizeof(WIRE_VERSION_TEXT)) > 0 &&
      SSL_read(ssl, reply, sizeof(reply)) > 0) {
    X509 *served = SSL_get1_peer_certificate(ssl);
    char common[256] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(served), NID_commonName, common,
                              sizeof(common));
    name = common;
    X509_free(served);
    if (resumed != nullptr) *resumed = SSL_session_reused(ssl);
    if (session != nullptr) {
      SSL_SESSION_free(*session);
      *session = SSL_get1_session(ssl);
    }
  }
  // Freed without close_notify, its session could not be resumed.
  SSL_shutdown(ssl);
  SSL_free(ssl);
  SSL_CTX_free(context);
  return name;
}

std::string ServerTlsLogPort(const std::string &log) {
  const char marker[] = "listening on 127.0.0.1 TLS port ";
  size_t at = log.find(marker);
  return at == std::string::npos ? "" : std::to_string(atoi(log.c_str() + at + strlen(marker)));
}

bool Contains(const std::string &haystack, const std::string &needle) {
  return haystack.find(needle) != std::string::npos;
}

// What a player's conversation shows in the clear: none of it may cross.
const char *const kPlayerWords[] = {"ann",
                                    "s3cr3t!",
                                    WIRE_VERSION_TEXT,
                                    WIRE_QUERY_SUBSCRIBE,
                                    WIRE_QUERY_CONNECT,
                                    WIRE_QUERY_SPEAK,
                                    "Bonjour"};

class OverTls : public ::testing::Test {
protected:
  OverTls() {
    certificates.Authority("authority");
    certificates.Authority("stranger");
    certificates.Certificate("localhost", "authority", "DNS:localhost,IP:127.0.0.1", 30);
  }

  // The server serving the pair `name`; the client on a relay to it.
  void Serve(const std::string &name, const std::function<void(ServerConfig *)> &more = nullptr) {
    server.reset(new TestServer(SERVER_READ_TIMEOUT_MS, "", [&](ServerConfig *config) {
      config->tls_port = 0;
      config->tls_cert = certificates.Pem(name);
      config->tls_key = certificates.Key(name);
      if (more) more(config);
    }));
    relay.reset(new Relay(server->tls_port));
  }

  void Choose(const std::string &host, const char *scheme = "tls://") {
    setenv("VARKEL_CA_FILE", certificates.Pem("authority").c_str(), 1);
    std::string value = scheme + host + ":" + std::to_string(relay->port);
    ASSERT_EQ(ChooseServer(jeu, value.c_str()), 0);
    unsetenv("VARKEL_CA_FILE");
    snprintf(jeu->login, sizeof(jeu->login), "%s", "ann");
    snprintf(jeu->password, sizeof(jeu->password), "%s", "s3cr3t!");
  }

  int Run(int (*action)(void *), const char *from) {
    snprintf(jeu->etat, sizeof(jeu->etat), "%s", from);
    return action(jeu);
  }

  void ExpectNothingOfThePlayer() {
    std::string recorded = relay->Recorded();
    EXPECT_FALSE(recorded.empty());
    for (const char *word : kPlayerWords)
      EXPECT_FALSE(Contains(recorded, word)) << word;
    EXPECT_FALSE(Contains(game.Log(), "s3cr3t!")) << game.Log();
  }

  Certificates certificates;
  std::unique_ptr<TestServer> server;
  std::unique_ptr<Relay> relay;
  LoadedGame game;
  Game *jeu = game.jeu;
};

} // namespace

TEST_F(OverTls, BirthAndWakingCarryNothingOfThePlayerInTheClear) {
  Serve("localhost");
  Choose("localhost");
  EXPECT_EQ(jeu->server_chosen.port, relay->port);
  EXPECT_EQ(Run(ActionSubscribe, "disconnected"), 0) << game.Log();
  EXPECT_FALSE(ClientTlsResumed(jeu->tls));
  // Each on a connection of its own: the connection kept is let go.
  CloseConnection(jeu);
  EXPECT_EQ(Run(ActionConnect, "disconnected"), 0) << game.Log();
  EXPECT_STREQ(jeu->etat, "connected");
  // The session of the birth was taken up again.
  EXPECT_TRUE(ClientTlsResumed(jeu->tls));
  CloseConnection(jeu);
  snprintf(jeu->speak, sizeof(jeu->speak), "%s", "Bonjour");
  EXPECT_EQ(Run(ActionSpeak, "connected"), 0) << game.Log();
  EXPECT_TRUE(ClientTlsResumed(jeu->tls));
  EXPECT_TRUE(Contains(server->Log(), "\"Connection\" \"ann\": OK")) << server->Log();
  ExpectNothingOfThePlayer();
  // The TLS port when the address names none.
  Game *other = (Game *)calloc(1, sizeof(Game));
  InitGame(other);
  EXPECT_EQ(ChooseServer(other, "tls://[::1]"), 0);
  EXPECT_EQ(other->server_chosen.port, VARKEL_TLS_PORT_DEFAULT);
  EXPECT_STREQ(other->server_chosen.host, "::1");
  EXPECT_NE(other->tls, nullptr);
  ClientTlsFree(other->tls);
  free(other);
}

TEST_F(OverTls, AServerThatCannotBeTrustedGetsNothingOfThePlayer) {
  certificates.Certificate("unknown", "stranger", "DNS:localhost,IP:127.0.0.1", 30);
  certificates.Certificate("elsewhere", "authority", "DNS:other.example.org", 30);
  certificates.Certificate("expired", "authority", "DNS:localhost,IP:127.0.0.1", -1);
  struct Case {
    const char *pair;
    const char *host;
    const char *cause;
  };
  const Case cases[] = {
      {"unknown", "localhost", "TLS: certificate verify failed: unable to get local issuer"},
      {"elsewhere", "localhost", "TLS: certificate verify failed: hostname mismatch"},
      {"elsewhere", "127.0.0.1", "TLS: certificate verify failed: IP address mismatch"},
      {"expired", "localhost", "TLS: certificate verify failed: certificate has expired"},
  };
  for (const Case &one : cases) {
    SCOPED_TRACE(one.pair);
    Serve(one.pair);
    ClientTlsFree(jeu->tls);
    jeu->tls = NULL;
    Choose(one.host);
    EXPECT_EQ(Run(ActionConnect, "disconnected"), 1);
    EXPECT_STREQ(jeu->etat, "disconnected");
    // From the game, as a network failure does: back to the hall.
    EXPECT_EQ(Run(ActionSpeak, "connected"), 1);
    EXPECT_STREQ(jeu->etat, "disconnected");
    EXPECT_TRUE(Contains(game.Log(), one.cause)) << game.Log();
    EXPECT_FALSE(Contains(server->Log(), "ann")) << server->Log();
    ExpectNothingOfThePlayer();
  }
}

TEST_F(OverTls, APlainServerIsNeverSpokenToInTheClear) {
  Serve("localhost");
  relay.reset(new Relay(server->port));
  Choose("localhost");
  EXPECT_EQ(Run(ActionConnect, "disconnected"), 1);
  EXPECT_STREQ(jeu->etat, "disconnected");
  EXPECT_TRUE(Contains(game.Log(), "TLS: ")) << game.Log();
  EXPECT_FALSE(Contains(relay->Recorded(), "ann"));
  EXPECT_FALSE(Contains(relay->Recorded(), "s3cr3t!"));
}

// Once the connection is open, a status and a listening each wait for the
// server once and the server for them once; the plain port keeps its
// lock-step, each message waiting for its reply.
TEST_F(OverTls, AKeptConnectionCarriesEachActionInTwoTurns) {
  Serve("localhost");
  Choose("localhost");
  ASSERT_EQ(Run(ActionSubscribe, "disconnected"), 0) << game.Log();
  ASSERT_EQ(Run(ActionConnect, "disconnected"), 0) << game.Log();
  snprintf(jeu->speak, sizeof(jeu->speak), "%s", "Bonjour");
  ASSERT_EQ(Run(ActionSpeak, "connected"), 0) << game.Log();
  relay->TakeTurns();
  EXPECT_EQ(Run(ActionAnalyze, "connected"), 0) << game.Log();
  EXPECT_LE(relay->TakeTurns(), 2);
  EXPECT_EQ(Run(ActionRefresh, "connected"), 0) << game.Log();
  EXPECT_LE(relay->TakeTurns(), 2);
  EXPECT_EQ(relay->Connections(), 1);
  EXPECT_STREQ(jeu->message, "ann : Bonjour");
  // Sent and received in the order it happened: all five, then the replies.
  std::string log = game.Log();
  size_t listening = log.rfind("Sent: \"" WIRE_VERSION_TEXT "\"");
  EXPECT_LT(log.find("Sent: \"ann\"", listening), log.find("Received: ", listening)) << log;

  // Another game, on the plain port.
  CloseConnection(jeu);
  relay.reset(new Relay(server->port));
  Choose("localhost", "");
  relay->TakeTurns();
  EXPECT_EQ(Run(ActionAnalyze, "connected"), 0) << game.Log();
  // Five messages and three acknowledgements, each answered.
  EXPECT_EQ(relay->TakeTurns(), 2 * (WIRE_IDENTIFICATION_MESSAGES + 1 + 3) - 2);
}

// Nothing of the action has gone out on a connection the server closed
// (unused past its limit, or the first to go when room is needed): another
// one carries it. Once it has, a break fails the action, which is not sent
// again.
TEST_F(OverTls, AKeptConnectionClosedIsOpenedAgainBeforeTheActionNeverAfter) {
  Serve("localhost", [](ServerConfig *config) {
    config->kept_idle_ms = 300;
    config->conversations_max = 1;
    config->per_address_max = 1;
    config->threads = 1; // the room is made on the newcomer's loop
  });
  Choose("localhost");
  ASSERT_EQ(Run(ActionSubscribe, "disconnected"), 0) << game.Log();
  ASSERT_EQ(Run(ActionConnect, "disconnected"), 0) << game.Log();
  usleep(1000000);
  snprintf(jeu->speak, sizeof(jeu->speak), "%s", "Bonjour");
  EXPECT_EQ(Run(ActionSpeak, "connected"), 0) << game.Log();
  EXPECT_EQ(relay->Connections(), 2);
  EXPECT_STREQ(jeu->etat, "connected");

  // The server is full, then the player's own address (the relay's) holds
  // its share: the kept connection, unused, makes room.
  EXPECT_EQ(Wake(server->port, "ann", "s3cr3t!", "127.0.0.2"), WIRE_OK) << server->Log();
  EXPECT_EQ(Run(ActionSpeak, "connected"), 0) << game.Log();
  EXPECT_EQ(Wake(server->port, "ann", "s3cr3t!", "127.0.0.1"), WIRE_OK) << server->Log();
  EXPECT_EQ(Run(ActionSpeak, "connected"), 0) << game.Log();
  EXPECT_EQ(relay->Connections(), 4);

  relay->CutAfterClient();
  EXPECT_EQ(Run(ActionSpeak, "connected"), 1);
  EXPECT_STREQ(jeu->etat, "disconnected");
  usleep(200000);
  EXPECT_EQ(relay->Connections(), 4);
}

// A server that hangs up after each conversation, as before connections
// were kept: the client follows, each action on a connection of its own.
TEST_F(OverTls, ANewClientPlaysOnAServerThatHangsUpAfterEachConversation) {
  Serve("localhost", [](ServerConfig *config) { config->kept_idle_ms = 0; });
  Choose("localhost");
  ASSERT_EQ(Run(ActionSubscribe, "disconnected"), 0) << game.Log();
  ASSERT_EQ(Run(ActionConnect, "disconnected"), 0) << game.Log();
  EXPECT_EQ(Run(ActionAnalyze, "connected"), 0) << game.Log();
  EXPECT_EQ(Run(ActionRefresh, "connected"), 0) << game.Log();
  EXPECT_STREQ(jeu->etat, "connected");
  EXPECT_EQ(relay->Connections(), 4);
}

TEST(TlsRenewal, ANewPairIsServedAfterSighupAndABrokenOneKeepsTheOld) {
  Certificates certificates;
  certificates.Authority("authority");
  certificates.Certificate("first", "authority", "DNS:localhost", 30);
  certificates.Certificate("second", "authority", "DNS:localhost", 30);
  std::string cert = certificates.dir + "served.pem", key = certificates.dir + "served.key";
  ASSERT_TRUE(Shell("cp " + certificates.Pem("first") + " " + cert + " && cp " +
                    certificates.Key("first") + " " + key));
  ServerProcess process(certificates.dir + "varkel.db",
                        {"--tls-port", "0", "--tls-cert", cert, "--tls-key", key});
  ASSERT_GT(process.pid, 0) << process.Log();
  int tls_port = atoi(ServerTlsLogPort(process.Log()).c_str());
  ASSERT_GT(tls_port, 0) << process.Log();
  std::string authority = certificates.Pem("authority");
  SSL_SESSION *session = nullptr;
  bool resumed = true;
  EXPECT_EQ(ServedName(tls_port, authority, &session, &resumed), "first");
  EXPECT_FALSE(resumed);

  ASSERT_TRUE(Shell("cp " + certificates.Pem("second") + " " + cert + " && cp " +
                    certificates.Key("second") + " " + key));
  kill(process.pid, SIGHUP);
  auto said = [&](const std::string &line, size_t count) {
    return [&, line, count] { return Count(process.Log(), line) >= count; };
  };
  EXPECT_EQ(AwaitReady(process.pid, said("TLS: certificate and key loaded again", 1), 10000),
            Awaited::kReady)
      << process.Log();
  // A ticket given before the reload still resumes.
  EXPECT_EQ(ServedName(tls_port, authority, &session, &resumed), "first");
  EXPECT_TRUE(resumed);
  EXPECT_EQ(ServedName(tls_port, authority), "second");

  // The key of another certificate: the pair does not match.
  ASSERT_TRUE(Shell("cp " + certificates.Key("first") + " " + key));
  kill(process.pid, SIGHUP);
  EXPECT_EQ(
      AwaitReady(process.pid, said("TLS: reload failed, the certificate in use stays", 1), 10000),
      Awaited::kReady)
      << process.Log();
  EXPECT_EQ(ServedName(tls_port, authority), "second");
  ASSERT_TRUE(Shell("echo broken > " + cert));
  kill(process.pid, SIGHUP);
  EXPECT_EQ(AwaitReady(process.pid, said("TLS: reload failed", 2), 10000), Awaited::kReady);
  EXPECT_EQ(ServedName(tls_port, authority), "second");
  SSL_SESSION_free(session);
  EXPECT_EQ(process.Stop(SIGTERM), 0) << process.Log();
}

// The key sealing tickets changes: a ticket of the key before still
// resumes, and comes back sealed by the new one; a ticket of the key two
// changes before does not.
TEST(TlsTickets, ATicketOutlivesOneKeyChangeNotTwo) {
  LocalhostOverTls served;
  TestServer &server = *served.server;
  const std::string authority = served.Authority();
  auto key_name = [](const SSL_SESSION *session) {
    const unsigned char *ticket = nullptr;
    size_t length = 0;
    SSL_SESSION_get0_ticket(session, &ticket, &length);
    return length >= 16 ? std::string((const char *)ticket, 16) : std::string();
  };
  SSL_SESSION *session = nullptr;
  bool resumed = true;
  ASSERT_EQ(ServedName(server.tls_port, authority, &session, &resumed), "localhost");
  EXPECT_FALSE(resumed);
  SSL_SESSION *first = session;
  SSL_SESSION_up_ref(first);

  ASSERT_EQ(TlsChangeTicketKey(&server.server->tls), 0);
  ASSERT_EQ(ServedName(server.tls_port, authority, &session, &resumed), "localhost");
  EXPECT_TRUE(resumed);
  EXPECT_NE(key_name(session), key_name(first));
  EXPECT_EQ(key_name(session).size(), 16u);

  ASSERT_EQ(TlsChangeTicketKey(&server.server->tls), 0);
  EXPECT_EQ(ServedName(server.tls_port, authority, &session, &resumed), "localhost");
  EXPECT_TRUE(resumed);
  EXPECT_EQ(ServedName(server.tls_port, authority, &first, &resumed), "localhost");
  EXPECT_FALSE(resumed);
  SSL_SESSION_free(first);
  SSL_SESSION_free(session);
}

TEST(TlsFloods, TheTlsPortHoldsItsFloodsAsThePlainPortDoes) {
  const int kCap = 4;
  const int kReadLimitMs = 600;
  LocalhostOverTls served(kReadLimitMs,
                          [&](ServerConfig *config) { config->per_address_max = kCap; });
  TestServer &server = *served.server;
  int tls_port = server.tls_port;
  // Silent handshakes fill the address's share, then it is hung up on at once.
  std::vector<std::unique_ptr<Dialog>> held;
  for (int i = 0; i < kCap; i++)
    held.emplace_back(new Dialog(tls_port, "127.0.0.2"));
  usleep(100000);
  for (int i = 0; i < 20; i++) {
    Dialog refused(tls_port, "127.0.0.2");
    EXPECT_EQ(refused.Hear(kReadLimitMs / 2), HEARD_HUNG_UP) << i;
  }
  // A plain connection from there counts in the same share.
  Dialog plain(server.port, "127.0.0.2");
  EXPECT_EQ(plain.Hear(kReadLimitMs / 2), HEARD_HUNG_UP);
  // Others are served meanwhile.
  EXPECT_EQ(ServedName(tls_port, served.Authority()), "localhost");

  // A handshake dribbled a byte at a time gains no time: the read limit
  // runs from the connection, not from each byte.
  held.clear();
  usleep(100000);
  Dialog slow(tls_port, "127.0.0.2");
  const char hello[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03";
  std::string heard = HEARD_SILENCE;
  for (size_t i = 0; i + 1 < sizeof(hello) && heard == HEARD_SILENCE; i++) {
    slow.SendBytes(std::string(1, hello[i]));
    heard = slow.Hear(kReadLimitMs / 4);
  }
  EXPECT_EQ(heard, HEARD_HUNG_UP);
}

TEST(TlsFloods, BehindABalancerTheHandshakeFollowsTheHeaderAndItsAddressCounts) {
  LocalhostOverTls served(SERVER_READ_TIMEOUT_MS, [&](ServerConfig *config) {
    Prefix balancer;
    PrefixParse("127.0.0.1/32", &balancer);
    config->proxy_from = {balancer};
    config->per_address_max = 1;
  });
  TestServer &server = *served.server;
  int tls_port = server.tls_port;
  std::string authority = served.Authority();
  const std::string kFirst = "PROXY TCP4 192.0.2.7 127.0.0.1 4000 9992\r\n";
  const std::string kSecond = "PROXY TCP4 192.0.2.8 127.0.0.1 4000 9992\r\n";
  // 192.0.2.7 holds its one conversation, in its handshake: it gets no
  // second, and 192.0.2.8 is served meanwhile, its handshake's first bytes
  // in the header's segment.
  Dialog held(tls_port);
  held.SendBytes(kFirst);
  struct sockaddr_storage named;
  memset(&named, 0, sizeof(named));
  named.ss_family = AF_INET;
  inet_pton(AF_INET, "192.0.2.7", &((struct sockaddr_in *)&named)->sin_addr);
  for (int waited = 0; waited < 10000; waited += 20) {
    if (GuardOpen(&server.server->guard, PeerKey(&named)) == 1) break;
    usleep(20000);
  }
  ASSERT_EQ(GuardOpen(&server.server->guard, PeerKey(&named)), 1) << "the header was not read";
  EXPECT_EQ(ServedName(tls_port, authority, nullptr, nullptr, kFirst), "");
  EXPECT_EQ(ServedName(tls_port, authority, nullptr, nullptr, kSecond), "localhost");
  // Without its header a balancer's connection gets nothing.
  EXPECT_EQ(ServedName(tls_port, authority), "");
}

// The first byte the server sends back, -1 when it hung up or said nothing.
int FirstByte(int fd, int timeout_ms = 5000) {
  struct pollfd answer = {fd, POLLIN, 0};
  unsigned char byte = 0;
  if (poll(&answer, 1, timeout_ms) != 1 || recv(fd, &byte, 1, 0) != 1) return -1;
  return byte;
}

// Whole ClientHellos, the same bytes again and again as a replay costs
// the sender nothing, from several /24s of 127/8: those within the rates
// are answered and held, half-done, the rest refused past the burst of
// their address; a player is served meanwhile, and the memory the held
// handshakes took goes back once they have gone.
TEST(TlsFloods, HandshakesFromSeveralNetworksAreRationedAndTheirMemoryGoesBack) {
  LocalhostOverTls served(SERVER_READ_TIMEOUT_MS,
                          [](ServerConfig *config) { config->summary_ms = 200; });
  TestServer &server = *served.server;
  SSL_CTX *context = SSL_CTX_new(TLS_client_method());
  SSL *maker = SSL_new(context);
  BIO *out = BIO_new(BIO_s_mem());
  SSL_set_bio(maker, BIO_new(BIO_s_mem()), out);
  SSL_connect(maker);
  char *bytes = nullptr;
  long length = BIO_get_mem_data(out, &bytes);
  std::string hello(bytes, length > 0 ? (size_t)length : 0);
  SSL_free(maker);
  SSL_CTX_free(context);
  ASSERT_GT(hello.size(), 100u);

  long before = ProcessKilobytes("VmRSS");
  // 40 networks, 4 addresses each, 7 handshakes an address: within the rates.
  std::vector<std::unique_ptr<Dialog>> held;
  for (int network = 0; network < 40; network++) {
    for (int address = 1; address <= 4; address++) {
      std::string from = "127.0." + std::to_string(100 + network) + "." + std::to_string(address);
      for (int i = 0; i < 7; i++) {
        held.emplace_back(new Dialog(server.tls_port, from.c_str()));
        held.back()->SendBytes(hello);
      }
    }
  }
  int answered = 0;
  for (auto &dialog : held)
    answered += FirstByte(dialog->fd) == 22; // the ServerHello's record
  EXPECT_EQ(answered, (int)held.size());
  // One address again and again: its burst, then refusals.
  answered = 0;
  for (int i = 0; i < 3 * TLS_FULL_BURST; i++) {
    Dialog again(server.tls_port, "127.0.99.1");
    again.SendBytes(hello);
    answered += FirstByte(again.fd) == 22;
  }
  EXPECT_GE(answered, TLS_FULL_BURST);
  EXPECT_LE(answered, TLS_FULL_BURST + 2);
  EXPECT_EQ(ServedName(server.tls_port, served.Authority()), "localhost");
  long during = ProcessKilobytes("VmRSS");

  held.clear();
  std::string log;
  for (int waited = 0; waited < 10000 && !Contains(log, "refused past its rate"); waited += 100) {
    usleep(100000);
    log = server.Log();
  }
  EXPECT_TRUE(Contains(log, "TLS handshakes refused past its rate in")) << log;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The sanitizers' allocators keep freed memory by design: the resident
  // size is only telling without them.
  long after = during;
  for (int waited = 0; waited < 10000 && after - before > (during - before) / 4; waited += 100) {
    usleep(100000);
    after = ProcessKilobytes("VmRSS");
  }
  EXPECT_LE(after - before, (during - before) / 4)
      << before << " kB before, " << during << " kB held, " << after << " kB after";
#endif
  (void)before;
  (void)during;
}

// A TLS client of the test's own on the dialog's connection: the served
// authority trusted, the certificate made out to localhost, each read
// waiting 5 s at most; `keep` offers to keep the connection. NULL when the
// handshake failed; the context is the caller's to free.
static SSL *RawTlsClient(const LocalhostOverTls &served, const Dialog &dialog, bool keep,
                         SSL_CTX **context) {
  const char *failed;
  *context = TlsClientContext(served.Authority().c_str(), &failed);
  struct timeval limit = {5, 0};
  setsockopt(dialog.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  SSL *ssl = SSL_new(*context);
  SSL_set_fd(ssl, dialog.fd);
  TlsNameServer(ssl, "localhost");
  if ((!keep || TlsOfferKept(ssl) == 0) && SSL_connect(ssl) == 1) return ssl;
  SSL_free(ssl);
  return NULL;
}

// A client whose messages arrive together, each in a record of its own
// and all in one segment: every one is answered, none waits in the
// server's TLS buffers for a socket event that never comes.
TEST(TlsConversation, RecordsArrivingTogetherAreAllAnswered) {
  LocalhostOverTls served;
  TestServer &server = *served.server;
  Dialog dialog(server.tls_port);
  SSL_CTX *context = NULL;
  SSL *ssl = RawTlsClient(served, dialog, false, &context);
  ASSERT_NE(ssl, nullptr);
  int on = 1, off = 0;
  setsockopt(dialog.fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
  for (const char *text : {WIRE_VERSION_TEXT, WIRE_QUERY_SUBSCRIBE, "ann", "s3cr3t!"})
    ASSERT_GT(SSL_write(ssl, text, (int)strlen(text) + 1), 0);
  setsockopt(dialog.fd, IPPROTO_TCP, TCP_CORK, &off, sizeof(off));
  std::string heard;
  char reply[64];
  for (int got;
       heard.size() < 4 * sizeof(WIRE_OK) && (got = SSL_read(ssl, reply, sizeof(reply))) > 0;)
    heard.append(reply, (size_t)got);
  EXPECT_EQ(heard, std::string(WIRE_OK "\0" WIRE_OK "\0" WIRE_OK "\0" WIRE_OK "\0", 12));
  // A client that did not offer to keep the connection is hung up on after
  // its conversation, as before connections were kept.
  EXPECT_FALSE(TlsKept(ssl));
  EXPECT_LE(SSL_read(ssl, reply, sizeof(reply)), 0);
  SSL_free(ssl);
  SSL_CTX_free(context);
}

// The server's end of a client's connection (the server runs in this
// process) holds only a few replies: a write soon waits for the socket.
bool ShrinkServerEnd(int client_fd) {
  struct sockaddr_storage mine, peer;
  socklen_t length = sizeof(mine);
  getsockname(client_fd, (struct sockaddr *)&mine, &length);
  for (int fd = 3; fd < 4096; fd++) {
    socklen_t peer_length = sizeof(peer);
    if (fd == client_fd || getpeername(fd, (struct sockaddr *)&peer, &peer_length) != 0 ||
        peer_length != length || memcmp(&peer, &mine, length) != 0)
      continue;
    int small = 4096;
    return setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)) == 0;
  }
  return false;
}

// A listening's hundred long lines go out together, more than the sockets
// hold while the client reads nothing: what the socket cannot take waits
// until it can, and the connection then carries the next conversation.
TEST(TlsConversation, RepliesTheSocketCannotTakeWaitForItAndTheConnectionCarriesOn) {
  LocalhostOverTls served;
  TestServer &server = *served.server;
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "s3cr3t!"));
  const std::string said(RULE_LINE_MAX - strlen("ann" WIRE_SPEECH_SEPARATOR), 'x');
  for (int i = 0; i < WIRE_LISTEN_LINES; i++)
    ASSERT_EQ(Speak(server.port, "ann", "s3cr3t!", said), WIRE_OK);
  Dialog dialog(server.tls_port);
  int small = 2048;
  setsockopt(dialog.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  SSL_CTX *context = NULL;
  SSL *ssl = RawTlsClient(served, dialog, true, &context);
  ASSERT_NE(ssl, nullptr);
  ASSERT_TRUE(TlsKept(ssl));
  ASSERT_TRUE(ShrinkServerEnd(dialog.fd));
  auto say = [&](const std::string &text) {
    EXPECT_EQ(SSL_write(ssl, text.c_str(), (int)text.size() + 1), (int)text.size() + 1);
  };
  WireReader reader;
  WireReset(&reader);
  auto hear = [&]() -> std::string {
    char out[WIRE_MESSAGE_MAX];
    while (WireTakeMessage(&reader, out, sizeof(out)) != 0) {
      size_t room;
      char *space = WireSpace(&reader, &room);
      int got = SSL_read(ssl, space, (int)room);
      if (got <= 0) return HEARD_HUNG_UP;
      WireCommit(&reader, (size_t)got);
    }
    return out;
  };
  for (const char *text : {WIRE_VERSION_TEXT, WIRE_QUERY_LISTEN, "ann", "s3cr3t!"})
    say(text);
  usleep(300000); // the server fills the sockets meanwhile
  for (int i = 0; i < WIRE_IDENTIFICATION_MESSAGES; i++)
    EXPECT_EQ(hear(), WIRE_OK);
  for (int i = 0; i < WIRE_LISTEN_LINES; i++)
    ASSERT_EQ(hear(), "ann" WIRE_SPEECH_SEPARATOR + said) << i;
  for (int i = 0; i < WIRE_LISTEN_LINES; i++)
    say(WIRE_OK);
  for (const char *text : {WIRE_VERSION_TEXT, WIRE_QUERY_STATUS, "ann", "s3cr3t!", "ann"})
    say(text);
  for (int i = 0; i < WIRE_IDENTIFICATION_MESSAGES; i++)
    EXPECT_EQ(hear(), WIRE_OK);
  for (int i = 0; i < kWireConversations[WIRE_STATUS].replies; i++)
    EXPECT_NE(hear(), HEARD_HUNG_UP);
  SSL_free(ssl);
  SSL_CTX_free(context);
}

// A server's own certificate, which no authority vouches for, is kept at
// the first game; a server showing another one at that address afterwards
// gets nothing of the player's, and the player is told why. TLS spoken to
// a port that does not speak it is told apart too.
TEST_F(OverTls, TheCertificateSeenFirstIsTheOnlyOneTakenAfter) {
  std::string known = certificates.dir + "settings/varkel/known_servers";
  setenv("VARKEL_KNOWN_SERVERS", known.c_str(), 1);
  auto own = [this](int which) {
    return [this, which](ServerConfig *config) {
      config->tls_cert.clear();
      config->tls_key.clear();
      config->tls_own_folder = certificates.dir + "own" + std::to_string(which);
    };
  };
  Serve("localhost", own(1));
  std::string value = "tls://localhost:" + std::to_string(relay->port);
  ASSERT_EQ(ChooseServer(jeu, value.c_str()), 0);
  snprintf(jeu->login, sizeof(jeu->login), "%s", "ann");
  snprintf(jeu->password, sizeof(jeu->password), "%s", "s3cr3t!");
  EXPECT_EQ(Run(ActionSubscribe, "disconnected"), 0) << game.Log();
  EXPECT_TRUE(Contains(ReadFileText(known), value + " SHA256:")) << ReadFileText(known);
  EXPECT_TRUE(Contains(game.Log(), "TLS: first contact")) << game.Log();
  EXPECT_EQ(Run(ActionConnect, "disconnected"), 0) << game.Log();

  // Restarted with a certificate of its own made anew.
  std::unique_ptr<TestServer> first = std::move(server);
  server.reset(new TestServer(SERVER_READ_TIMEOUT_MS, "", [&](ServerConfig *config) {
    config->tls_port = 0;
    own(2)(config);
  }));
  relay->Retarget(server->tls_port);
  first.reset();
  EXPECT_EQ(Run(ActionConnect, "disconnected"), 1);
  EXPECT_EQ(jeu->failure_cause, kCauseChanged);
  EXPECT_TRUE(ShowsText(jeu->sfc_text_state, jeu->font1, "Le certificat du serveur a changé!",
                        jeu->color_font1));
  EXPECT_TRUE(Contains(game.Log(), "TLS: the server's certificate changed")) << game.Log();
  EXPECT_FALSE(Contains(server->Log(), "ann")) << server->Log();

  // The plain port, spoken to in TLS.
  relay->Retarget(server->port);
  EXPECT_EQ(Run(ActionConnect, "disconnected"), 1);
  EXPECT_EQ(jeu->failure_cause, kCauseNotVarkel) << game.Log();
  EXPECT_TRUE(ShowsText(jeu->sfc_text_state, jeu->font1, "Ce n'est pas un serveur Varkel!",
                        jeu->color_font1));
  unsetenv("VARKEL_KNOWN_SERVERS");
}
