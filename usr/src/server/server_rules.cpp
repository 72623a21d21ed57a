// SPDX-License-Identifier: MIT
// The game rules: needs that grow with time, what each action does to them,
// who may be named and what may be said.
#include <math.h>

#include "server.h"

Body BodyNew(double now) {
  Body body = {0.0, 0.0, 0.0, 1, 0, now};
  return body;
}

static double Grown(double need, double seconds, double full_seconds) {
  double value = need + seconds * RULE_NEED_MAX / full_seconds;
  return value < RULE_NEED_MAX ? value : RULE_NEED_MAX;
}

int BodyAdvance(Body *body, double now) {
  if (body->dead || now <= body->since) return 0;
  double seconds = now - body->since;
  double slowdown = body->asleep ? RULE_ASLEEP_SLOWDOWN : 1.0;
  body->since = now;
  body->thirst = Grown(body->thirst, seconds, RULE_THIRST_FULL_SECONDS * slowdown);
  body->hunger = Grown(body->hunger, seconds, RULE_HUNGER_FULL_SECONDS * slowdown);
  if (!body->asleep) body->sleep = Grown(body->sleep, seconds, RULE_SLEEP_FULL_SECONDS);
  if (body->hunger < RULE_NEED_MAX && body->thirst < RULE_NEED_MAX) return 0;
  body->dead = 1;
  return 1;
}

int BodyApply(Body *body, enum BodyChange change) {
  if (body->dead) return 0;
  switch (change) {
  case BODY_KEEP:
    return 0;
  case BODY_WAKE:
    if (!body->asleep) return 0;
    body->asleep = 0;
    return 1;
  case BODY_SLEEP:
    body->sleep = 0.0;
    body->asleep = 1;
    return 1;
  case BODY_DRINK:
    body->thirst = 0.0;
    return 1;
  case BODY_EAT:
    body->hunger = 0.0;
    return 1;
  case BODY_KILL:
    body->dead = 1;
    return 1;
  }
  return 0;
}

int BodyChangeAt(const Body &stored, enum BodyChange change, double now, Body *body,
                 int *was_dead) {
  *body = stored;
  int changed = BodyAdvance(body, now);
  *was_dead = body->dead;
  return changed | BodyApply(body, change);
}

int WholePercent(double need) {
  if (!(need > 0.0)) return 0;
  if (need >= RULE_NEED_MAX) return (int)RULE_NEED_MAX;
  return (int)floor(need);
}

int NameIsValid(const char *name) {
  size_t length = 0;
  for (; name[length] != '\0'; length++) {
    unsigned char c = (unsigned char)name[length];
    if (c < 0x20 || c > 0x7E || length >= RULE_NAME_MAX) return 0;
  }
  return length > 0;
}

std::string CleanLine(const char *speech) {
  std::string line(speech);
  for (char &c : line) {
    if ((unsigned char)c < 0x20 || c == 0x7F) c = ' ';
  }
  if (line.size() <= RULE_LINE_MAX) return line;
  size_t cut = RULE_LINE_MAX;
  while (cut > 0 && ((unsigned char)line[cut] & 0xC0) == 0x80)
    cut--;
  line.resize(cut);
  return line;
}
