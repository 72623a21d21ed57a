// SPDX-License-Identifier: MIT
// The PROXY header's reader, which reads a stranger's bytes on every
// balanced connection, against what a reader of a stream must keep: a
// header read is read the same without what follows it and asks for more
// when cut short; a refusal stays one whatever comes next; it never waits
// for more than a header may hold; an address read is an address.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string>

#include "server_internal.h"

namespace {

int Read(const std::string &bytes, struct sockaddr_storage *peer, size_t *used) {
  memset(peer, 0, sizeof(*peer));
  peer->ss_family = AF_UNIX;
  *used = 0;
  return ProxyHeaderRead(bytes.data(), bytes.size(), peer, used);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string bytes((const char *)data, size);
  struct sockaddr_storage peer, again_peer;
  size_t used, again_used;
  int rc = Read(bytes, &peer, &used);
  if (rc == PROXY_MORE && size >= PROXY_HEADER_MAX) abort();
  if (rc == PROXY_BAD &&
      Read(bytes + std::string("\r\n\0", 3), &again_peer, &again_used) != PROXY_BAD)
    abort();
  if (rc != PROXY_DONE) return 0;
  if (used == 0 || used > size || used > PROXY_HEADER_MAX) abort();
  int family = peer.ss_family;
  if (family != AF_UNIX && family != AF_INET && family != AF_INET6) abort();
  if (Read(bytes.substr(0, used), &again_peer, &again_used) != PROXY_DONE || again_used != used ||
      memcmp(&peer, &again_peer, sizeof(peer)) != 0)
    abort();
  for (size_t cut = 0; cut < used; cut++) {
    if (Read(bytes.substr(0, cut), &again_peer, &again_used) != PROXY_MORE) abort();
  }
  return 0;
}
