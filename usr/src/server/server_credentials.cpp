// SPDX-License-Identifier: MIT
// Passwords: a salted slow hash in the store, and a bounded cache of
// credentials already verified so that only the first identification of a
// player pays for the slow hash. The cache holds keyed digests of the name,
// the password and the stored hash; the key lives only in memory, so a
// digest tells nothing about a password outside this process.
#include <string.h>

#include "server.h"

static int Argon2Hash(const char *password, char *out) {
  return crypto_pwhash_str(out, password, strlen(password), CREDENTIALS_OPSLIMIT,
                           CREDENTIALS_MEMLIMIT) == 0
             ? 0
             : 1;
}

static int Argon2Verify(const char *password_hash, const char *password) {
  return crypto_pwhash_str_verify(password_hash, password, strlen(password)) == 0 ? 0 : 1;
}

int CredentialsInit(Credentials *credentials, size_t capacity) {
  if (sodium_init() < 0) return 1;
  crypto_generichash_keygen(credentials->key);
  credentials->capacity = capacity > 0 ? capacity : 1;
  credentials->known.clear();
  credentials->order.clear();
  credentials->slow_checks = 0;
  credentials->hash = Argon2Hash;
  credentials->verify = Argon2Verify;
  return 0;
}

static std::string Digest(Credentials *credentials, const char *name, const char *password,
                          const std::string &password_hash) {
  unsigned char digest[crypto_generichash_BYTES];
  crypto_generichash_state state;
  crypto_generichash_init(&state, credentials->key, sizeof(credentials->key), sizeof(digest));
  // Each part with its NUL, so that no two triples give the same bytes.
  crypto_generichash_update(&state, (const unsigned char *)name, strlen(name) + 1);
  crypto_generichash_update(&state, (const unsigned char *)password, strlen(password) + 1);
  crypto_generichash_update(&state, (const unsigned char *)password_hash.c_str(),
                            password_hash.size() + 1);
  crypto_generichash_final(&state, digest, sizeof(digest));
  return std::string((const char *)digest, sizeof(digest));
}

void CredentialsRemember(Credentials *credentials, const char *name, const char *password,
                         const std::string &password_hash) {
  std::string digest = Digest(credentials, name, password, password_hash);
  std::lock_guard<std::mutex> hold(credentials->lock);
  if (!credentials->known.insert(digest).second) return;
  credentials->order.push_back(digest);
  if (credentials->order.size() <= credentials->capacity) return;
  credentials->known.erase(credentials->order.front());
  credentials->order.pop_front();
}

int CredentialsKnown(Credentials *credentials, const char *name, const char *password,
                     const std::string &password_hash) {
  std::string digest = Digest(credentials, name, password, password_hash);
  std::lock_guard<std::mutex> hold(credentials->lock);
  return credentials->known.count(digest) > 0;
}

int CredentialsHash(Credentials *credentials, const char *password, char *out) {
  return credentials->hash(password, out);
}

int CredentialsVerify(Credentials *credentials, const char *name, const char *password,
                      const std::string &password_hash) {
  credentials->slow_checks++;
  if (credentials->verify(password_hash.c_str(), password) != 0) return 1;
  CredentialsRemember(credentials, name, password, password_hash);
  return 0;
}
