// SPDX-License-Identifier: MIT
// Fair shares of the server per client address: how many conversations one
// address holds open, the connections refused, summed up in one log line
// per period rather than one line each (a flood would fill the disk), and
// the failed identifications per address and per name, in bounded tables
// whose entries are forgotten after a while.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include "server.h"

// Addresses named in one summary; beyond them refusals are only counted.
#define GUARD_REFUSED_ADDRESSES_MAX 4096

std::string PeerKey(const struct sockaddr_storage *peer) {
  if (peer->ss_family == AF_INET) {
    const struct sockaddr_in *v4 = (const struct sockaddr_in *)peer;
    return std::string("4") + std::string((const char *)&v4->sin_addr, 4);
  }
  if (peer->ss_family == AF_INET6) {
    const struct sockaddr_in6 *v6 = (const struct sockaddr_in6 *)peer;
    const unsigned char *bytes = v6->sin6_addr.s6_addr;
    // An IPv4 client seen through an IPv6 socket is that IPv4 address.
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
      return std::string("4") + std::string((const char *)bytes + 12, 4);
    // One subscriber usually holds a whole /64.
    return std::string("6") + std::string((const char *)bytes, 8);
  }
  return "-";
}

std::string PeerKeyText(const std::string &key) {
  char text[INET6_ADDRSTRLEN + 4] = "local";
  if (key.size() == 5 && key[0] == '4') {
    inet_ntop(AF_INET, key.data() + 1, text, sizeof(text));
  } else if (key.size() == 9 && key[0] == '6') {
    unsigned char bytes[16] = {0};
    memcpy(bytes, key.data() + 1, 8);
    inet_ntop(AF_INET6, bytes, text, INET6_ADDRSTRLEN);
    snprintf(text + strlen(text), sizeof(text) - strlen(text), "/64");
  }
  return text;
}

int GuardAdmit(Guard *guard, const std::string &key, int most) {
  std::lock_guard<std::mutex> hold(guard->lock);
  int &open = guard->open[key];
  if (open >= most) {
    if (open == 0) guard->open.erase(key);
    return 1;
  }
  open++;
  return 0;
}

void GuardLeave(Guard *guard, const std::string &key) {
  std::lock_guard<std::mutex> hold(guard->lock);
  auto found = guard->open.find(key);
  if (found == guard->open.end()) return;
  if (--found->second <= 0) guard->open.erase(found);
}

int GuardOpen(Guard *guard, const std::string &key) {
  std::lock_guard<std::mutex> hold(guard->lock);
  auto found = guard->open.find(key);
  return found == guard->open.end() ? 0 : found->second;
}

void GuardRefused(Guard *guard, const std::string &key, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  if (guard->refused_total == 0) guard->refused_since_ms = now_ms;
  guard->refused_total++;
  auto found = guard->refused.find(key);
  if (found != guard->refused.end()) {
    found->second++;
  } else if (guard->refused.size() < GUARD_REFUSED_ADDRESSES_MAX) {
    guard->refused[key] = 1;
  } else {
    guard->refused_unlisted++;
  }
}

int GuardSummarize(Guard *guard, double now_ms, int period_ms, FILE *log, int force) {
  std::lock_guard<std::mutex> hold(guard->lock);
  if (guard->refused_total == 0) return -1;
  double due = guard->refused_since_ms + period_ms;
  if (now_ms < due && !force) return (int)(due - now_ms) + 1;
  std::string busiest;
  long most = 0;
  for (const auto &entry : guard->refused) {
    if (entry.second > most) {
      most = entry.second;
      busiest = entry.first;
    }
  }
  fprintf(log,
          "varkel_server: %ld connection%s refused in %.0f s from %s%zu address%s, the most "
          "from %s (%ld)\n",
          guard->refused_total, guard->refused_total == 1 ? "" : "s",
          (now_ms - guard->refused_since_ms) / 1000.0,
          guard->refused_unlisted > 0 ? "more than " : "", guard->refused.size(),
          guard->refused.size() == 1 && guard->refused_unlisted == 0 ? "" : "es",
          PeerKeyText(busiest).c_str(), most);
  guard->refused.clear();
  guard->refused_total = 0;
  guard->refused_unlisted = 0;
  return -1;
}

// ---- Failed identifications ----------------------------------------------------

// Drops the counts past their time, and the least lately failed beyond the
// table's bound.
static void Forget(FailureTable *table, const Throttle &throttle, double now_ms) {
  while (!table->order.empty() && (table->order.front().last_ms + throttle.forget_ms <= now_ms ||
                                   table->order.size() > THROTTLE_ENTRIES_MAX)) {
    table->index.erase(table->order.front().key);
    table->order.pop_front();
  }
}

static void Count(FailureTable *table, const Throttle &throttle, const std::string &key,
                  double now_ms) {
  Forget(table, throttle, now_ms);
  auto found = table->index.find(key);
  int count = 1;
  if (found != table->index.end()) {
    count = found->second->count + 1;
    table->order.erase(found->second);
  }
  table->order.push_back(Failures{key, count, now_ms});
  table->index[key] = std::prev(table->order.end());
  Forget(table, throttle, now_ms);
}

static int Delay(FailureTable *table, const Throttle &throttle, const std::string &key, int allowed,
                 double now_ms) {
  Forget(table, throttle, now_ms);
  auto found = table->index.find(key);
  if (found == table->index.end() || found->second->count < allowed) return 0;
  int past = found->second->count - allowed;
  double delay = throttle.delay_first_ms * (double)(1LL << (past < 30 ? past : 30));
  return delay < throttle.delay_max_ms ? (int)delay : throttle.delay_max_ms;
}

void GuardFailed(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                 const char *name, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  Count(&guard->addresses, throttle, peer_key, now_ms);
  Count(&guard->names, throttle, name, now_ms);
}

int GuardAddressDelay(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                      double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  return Delay(&guard->addresses, throttle, peer_key, throttle.address_failures, now_ms);
}

int GuardNameDelay(Guard *guard, const Throttle &throttle, const char *name, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  return Delay(&guard->names, throttle, name, throttle.name_failures, now_ms);
}
