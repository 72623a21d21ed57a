// SPDX-License-Identifier: MIT
// Fair shares of the server per client address and per neighbourhood (its
// /24 or /48): the conversations they hold open and the characters they
// create; the connections refused or dropped and the failures past the
// log's rate, summed up in one log line per period rather than one line
// each (a flood would fill the disk); the failed identifications per
// address, per IPv6 /48 and per name, the rationed checks of a name under
// attack and its owner's lanes, in bounded tables whose entries are
// forgotten after a while; the TLS handshakes per address and per
// neighbourhood, and when the memory that many conversations took goes
// back to the system.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include "server_internal.h"

// Addresses named in one summary; beyond them refusals are only counted.
#define GUARD_REFUSED_ADDRESSES_MAX 4096

std::string PeerKey(const struct sockaddr_storage *peer) {
  const unsigned char *bytes = NULL;
  switch (AddressBytes(peer, &bytes)) {
  case AF_INET:
    return std::string("4") + std::string((const char *)bytes, 4);
  case AF_INET6:
    // One subscriber usually holds a whole /64.
    return std::string("6") + std::string((const char *)bytes, 8);
  }
  return "-";
}

std::string PrefixKey(const struct sockaddr_storage *peer) {
  std::string key = PeerKey(peer);
  if (key.size() == 5) return key.substr(0, 4);
  if (key.size() == 9) return key.substr(0, 7);
  return key;
}

std::string PeerKeyText(const std::string &key) {
  char text[INET6_ADDRSTRLEN + 8] = "local";
  unsigned char bytes[16] = {0};
  if (key.empty() || key.size() > 9) return text;
  memcpy(bytes, key.data() + 1, key.size() - 1);
  if (key[0] == '4' && (key.size() == 5 || key.size() == 4)) {
    inet_ntop(AF_INET, bytes, text, sizeof(text));
    if (key.size() == 4) snprintf(text + strlen(text), sizeof(text) - strlen(text), "/24");
  } else if (key[0] == '6' && (key.size() == 9 || key.size() == 7)) {
    inet_ntop(AF_INET6, bytes, text, INET6_ADDRSTRLEN);
    snprintf(text + strlen(text), sizeof(text) - strlen(text), key.size() == 9 ? "/64" : "/48");
  }
  return text;
}

int GuardAdmit(Guard *guard, const Admission &admission) {
  std::lock_guard<std::mutex> hold(guard->lock);
  auto address = guard->open.find(admission.key);
  auto prefix = guard->open.find(admission.prefix);
  if ((address != guard->open.end() && address->second >= admission.most) ||
      (prefix != guard->open.end() && prefix->second >= admission.prefix_most))
    return 1;
  guard->open[admission.key]++;
  if (admission.prefix != admission.key) guard->open[admission.prefix]++;
  return 0;
}

static void Leave(Guard *guard, const std::string &key) {
  auto found = guard->open.find(key);
  if (found == guard->open.end()) return;
  if (--found->second <= 0) guard->open.erase(found);
}

void GuardLeave(Guard *guard, const Admission &admission) {
  std::lock_guard<std::mutex> hold(guard->lock);
  guard->left++;
  Leave(guard, admission.key);
  if (admission.prefix != admission.key) Leave(guard, admission.prefix);
}

int GuardOpen(Guard *guard, const std::string &key) {
  std::lock_guard<std::mutex> hold(guard->lock);
  auto found = guard->open.find(key);
  return found == guard->open.end() ? 0 : found->second;
}

static void Add(Tally *tally, const std::string &key, double now_ms) {
  if (tally->total == 0) tally->since_ms = now_ms;
  tally->total++;
  auto found = tally->by_key.find(key);
  if (found != tally->by_key.end()) {
    found->second++;
  } else if (tally->by_key.size() < GUARD_REFUSED_ADDRESSES_MAX) {
    tally->by_key[key] = 1;
  } else {
    tally->unlisted++;
  }
}

void GuardRefused(Guard *guard, const std::string &key, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  Add(&guard->refused, key, now_ms);
}

void GuardDropped(Guard *guard, const std::string &key, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  Add(&guard->dropped, key, now_ms);
}

// A bucket's tokens now, earned since it was last spent, up to the burst.
static double Refilled(const Bucket &bucket, double per_second, double burst, double now_ms) {
  double tokens = bucket.tokens + (now_ms - bucket.at_ms) * per_second / 1000.0;
  return tokens < burst ? tokens : burst;
}

// 1 and a token spent, or 0 when none is left.
static int Spend(Bucket *bucket, double per_second, double burst, double now_ms) {
  double tokens = Refilled(*bucket, per_second, burst, now_ms);
  *bucket = Bucket{tokens >= 1 ? tokens - 1 : tokens, now_ms};
  return tokens >= 1;
}

int GuardMayLog(Guard *guard, const std::string &key, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  if (Spend(&guard->log_tokens, GUARD_LOG_PER_SECOND, GUARD_LOG_BURST, now_ms)) return 1;
  Add(&guard->unlogged, key, now_ms);
  return 0;
}

int GuardMayLogServed(Guard *guard, const std::string &key, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  // As bounded as the other tables: a full one starts afresh.
  if (guard->served_log_tokens.size() > THROTTLE_ENTRIES_MAX) guard->served_log_tokens.clear();
  auto found = guard->served_log_tokens.emplace(key, Bucket{GUARD_SERVED_LOG_BURST, now_ms});
  if (Spend(&found.first->second, GUARD_SERVED_LOG_PER_SECOND, GUARD_SERVED_LOG_BURST, now_ms))
    return 1;
  Add(&guard->served_unlogged, key, now_ms);
  return 0;
}

// One tally's line once its period is over; the milliseconds until it is
// due, or -1 when it has nothing.
static int Summarize(Tally *tally, const char *noun, const char *what, double now_ms, int period_ms,
                     FILE *log, int force) {
  if (tally->total == 0) return -1;
  double due = tally->since_ms + period_ms;
  if (now_ms < due && !force) return (int)(due - now_ms) + 1;
  std::string busiest;
  long most = 0;
  for (const auto &entry : tally->by_key) {
    if (entry.second > most) {
      most = entry.second;
      busiest = entry.first;
    }
  }
  fprintf(log,
          "varkel_server: %ld %s%s %s in %.0f s from %s%zu address%s, the most from %s (%ld)\n",
          tally->total, noun, tally->total == 1 ? "" : "s", what,
          (now_ms - tally->since_ms) / 1000.0, tally->unlisted > 0 ? "more than " : "",
          tally->by_key.size(), tally->by_key.size() == 1 && tally->unlisted == 0 ? "" : "es",
          PeerKeyText(busiest).c_str(), most);
  tally->by_key.clear();
  tally->total = 0;
  tally->unlisted = 0;
  return -1;
}

int GuardSummarize(Guard *guard, double now_ms, int period_ms, FILE *log, int force) {
  std::lock_guard<std::mutex> hold(guard->lock);
  int next = -1;
  struct {
    Tally *tally;
    const char *noun;
    const char *what;
  } const kTallies[] = {
      {&guard->refused, "connection", "refused"},
      {&guard->dropped, "connection", "closed before a first message"},
      {&guard->unlogged, "failed conversation", "not logged one by one"},
      {&guard->served_unlogged, "served conversation", "not logged one by one"},
      {&guard->handshakes_refused, "TLS handshake", "refused past its rate"},
  };
  for (const auto &entry : kTallies) {
    int due = Summarize(entry.tally, entry.noun, entry.what, now_ms, period_ms, log, force);
    if (due >= 0 && (next < 0 || due < next)) next = due;
  }
  return next;
}

// ---- Failed identifications ----------------------------------------------------

// Drops the counts past their time, and the least lately failed beyond the
// table's bound.
static void Forget(FailureTable *table, double forget_ms, double now_ms) {
  while (!table->order.empty() && (table->order.front().last_ms + forget_ms <= now_ms ||
                                   table->order.size() > THROTTLE_ENTRIES_MAX)) {
    table->index.erase(table->order.front().key);
    table->order.pop_front();
  }
}

// An entry's count now, drained by `drain` per millisecond since its last
// failure.
static double Drained(const Failures &entry, double drain, double now_ms) {
  double count = entry.count - (now_ms - entry.last_ms) * drain;
  return count > 0 ? count : 0;
}

static void Count(FailureTable *table, double forget_ms, const std::string &key, double now_ms,
                  double drain = 0) {
  Forget(table, forget_ms, now_ms);
  auto found = table->index.find(key);
  double count = 1;
  if (found != table->index.end()) {
    count = Drained(*found->second, drain, now_ms) + 1;
    table->order.erase(found->second);
  }
  table->order.push_back(Failures{key, count, now_ms});
  table->index[key] = std::prev(table->order.end());
  Forget(table, forget_ms, now_ms);
}

// The count of a key, 0 when it has none.
static double CountOf(FailureTable *table, double forget_ms, const std::string &key, double now_ms,
                      double drain = 0) {
  Forget(table, forget_ms, now_ms);
  auto found = table->index.find(key);
  return found == table->index.end() ? 0 : Drained(*found->second, drain, now_ms);
}

// A name's count drains at its allowance per forget_ms: held only while
// failures come faster than that, never by a trickle.
static double NameDrain(const Throttle &throttle) {
  return throttle.forget_ms > 0 ? (double)throttle.name_failures / throttle.forget_ms : 0;
}

// The /48 of an IPv6 /64's key: one network, however many /64s it spreads
// its guesses over. None for IPv4, whose addresses are scarce enough.
static std::string NetworkOf(const std::string &peer_key) {
  return peer_key.size() == 9 && peer_key[0] == '6' ? peer_key.substr(0, 7) : std::string();
}

static int Delay(FailureTable *table, const Throttle &throttle, const std::string &key, int allowed,
                 double now_ms) {
  int count = (int)CountOf(table, throttle.forget_ms, key, now_ms);
  if (count < allowed) return 0;
  int past = count - allowed;
  double delay = throttle.delay_first_ms * (double)(1LL << (past < 30 ? past : 30));
  return delay < throttle.delay_max_ms ? (int)delay : throttle.delay_max_ms;
}

void GuardFailed(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                 const char *name, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  Count(&guard->addresses, throttle.forget_ms, peer_key, now_ms);
  std::string network = NetworkOf(peer_key);
  if (!network.empty()) Count(&guard->networks, throttle.forget_ms, network, now_ms);
  Count(&guard->names, throttle.forget_ms, name, now_ms, NameDrain(throttle));
}

int GuardAddressDelay(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                      double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  return Delay(&guard->addresses, throttle, peer_key, throttle.address_failures, now_ms);
}

int GuardNetworkDelay(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                      double now_ms) {
  std::string network = NetworkOf(peer_key);
  if (network.empty()) return 0;
  std::lock_guard<std::mutex> hold(guard->lock);
  return Delay(&guard->networks, throttle, network, throttle.network_failures, now_ms);
}

int GuardGuessing(Guard *guard, const Throttle &throttle, const std::string &peer_key,
                  const char *name, double now_ms) {
  std::string network = NetworkOf(peer_key);
  std::lock_guard<std::mutex> hold(guard->lock);
  return CountOf(&guard->addresses, throttle.forget_ms, peer_key, now_ms) > 0 ||
         (!network.empty() && (CountOf(&guard->networks, throttle.forget_ms, network, now_ms) > 0 ||
                               guard->network_checking.count(network) > 0)) ||
         CountOf(&guard->names, throttle.forget_ms, name, now_ms, NameDrain(throttle)) > 0;
}

static void Checking(std::unordered_map<std::string, int> *table, const std::string &key,
                     int change) {
  int &checking = (*table)[key];
  checking += change;
  if (checking <= 0) table->erase(key);
}

void GuardChecking(Guard *guard, const char *name, const std::string &peer_key, int change) {
  std::string network = NetworkOf(peer_key);
  std::lock_guard<std::mutex> hold(guard->lock);
  Checking(&guard->name_checking, name, change);
  if (!network.empty()) Checking(&guard->network_checking, network, change);
}

int GuardNameAttacked(Guard *guard, const Throttle &throttle, const char *name, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  auto checking = guard->name_checking.find(name);
  int coming = checking == guard->name_checking.end() ? 0 : checking->second;
  return CountOf(&guard->names, throttle.forget_ms, name, now_ms, NameDrain(throttle)) + coming >=
         throttle.name_failures;
}

static std::string LaneKey(const char *name, const std::string &peer_key) {
  return std::string(name) + '\0' + peer_key;
}

int GuardNameMayCheck(Guard *guard, const Throttle &throttle, const char *name, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  // The ration's table is as bounded as the names under attack.
  if (guard->name_checked_ms.size() > THROTTLE_ENTRIES_MAX) guard->name_checked_ms.clear();
  auto last = guard->name_checked_ms.find(name);
  if (last != guard->name_checked_ms.end() && last->second + throttle.name_check_ms > now_ms)
    return 0;
  guard->name_checked_ms[name] = now_ms;
  return 1;
}

int GuardOwner(Guard *guard, const char *name, const std::string &peer_key, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  return CountOf(&guard->lanes, THROTTLE_LANE_FORGET_MS, LaneKey(name, peer_key), now_ms) > 0;
}

void GuardIdentified(Guard *guard, const char *name, const std::string &peer_key, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  Count(&guard->lanes, THROTTLE_LANE_FORGET_MS, LaneKey(name, peer_key), now_ms);
}

// ---- TLS handshakes and memory -------------------------------------------------

typedef std::unordered_map<std::string, Bucket> Buckets;

// The tokens a key holds now: a key not in the table holds the burst.
static double Tokens(const Buckets &table, const std::string &key, double per_second, double burst,
                     double now_ms) {
  auto found = table.find(key);
  return found == table.end() ? burst : Refilled(found->second, per_second, burst, now_ms);
}

// A bucket refills in the same time whatever its scale: past it an entry
// is as good as absent, and goes first when the table is full.
static void Spend(Buckets *table, const std::string &key, double tokens, double refill_ms,
                  double now_ms) {
  if (table->size() >= THROTTLE_ENTRIES_MAX) {
    for (auto entry = table->begin(); entry != table->end();)
      entry = entry->second.at_ms + refill_ms <= now_ms ? table->erase(entry) : std::next(entry);
    if (table->size() >= THROTTLE_ENTRIES_MAX) table->clear();
  }
  (*table)[key] = Bucket{tokens - 1, now_ms};
}

// An allowance raised above the default raises the rate as much.
static double Scale(int most, int default_most) {
  return most > default_most ? (double)most / default_most : 1.0;
}

int GuardHandshake(Guard *guard, const Admission &admission, int full, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  Buckets *table = full ? &guard->full_handshakes : &guard->hellos;
  double per_second = full ? TLS_FULL_PER_SECOND : TLS_HELLOS_PER_SECOND;
  double burst = full ? TLS_FULL_BURST : TLS_HELLOS_BURST;
  double refill_ms = burst * 1000.0 / per_second;
  double mine = Scale(admission.most, SERVER_PER_ADDRESS_MAX);
  double theirs = TLS_PREFIX_SHARE * Scale(admission.prefix_most, SERVER_PER_PREFIX_MAX);
  double own = Tokens(*table, admission.key, per_second * mine, burst * mine, now_ms);
  int shared = admission.prefix != admission.key;
  double prefix =
      shared ? Tokens(*table, admission.prefix, per_second * theirs, burst * theirs, now_ms) : 1.0;
  if (own < 1 || prefix < 1) {
    Add(&guard->handshakes_refused, admission.key, now_ms);
    return 1;
  }
  Spend(table, admission.key, own, refill_ms, now_ms);
  if (shared) Spend(table, admission.prefix, prefix, refill_ms, now_ms);
  return 0;
}

int GuardTrimDue(Guard *guard, double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  long lately = guard->left - guard->left_looked;
  guard->left_looked = guard->left;
  if (guard->left - guard->left_at_trim < GUARD_TRIM_ENDED) return 0;
  if (lately >= GUARD_TRIM_ENDED / 16 && now_ms - guard->trimmed_ms < GUARD_TRIM_PERIOD_MS)
    return 0;
  guard->left_at_trim = guard->left;
  guard->trimmed_ms = now_ms;
  return 1;
}

int GuardCreation(Guard *guard, const Admission &admission, int per_key, int per_prefix,
                  double now_ms) {
  std::lock_guard<std::mutex> hold(guard->lock);
  FailureTable *table = &guard->creations;
  double key_drain = per_key / (double)CREATIONS_FORGET_MS;
  double prefix_drain = per_prefix / (double)CREATIONS_FORGET_MS;
  if (CountOf(table, CREATIONS_FORGET_MS, admission.key, now_ms, key_drain) > per_key - 1 ||
      CountOf(table, CREATIONS_FORGET_MS, admission.prefix, now_ms, prefix_drain) > per_prefix - 1)
    return 1;
  Count(table, CREATIONS_FORGET_MS, admission.key, now_ms, key_drain);
  if (admission.prefix != admission.key)
    Count(table, CREATIONS_FORGET_MS, admission.prefix, now_ms, prefix_drain);
  return 0;
}
