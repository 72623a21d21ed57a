#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints the share of one core that an idle client uses (dummy video driver,
# or a real window under Xvfb with --xvfb), once the welcome message has
# faded. Run after a build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${SECONDS_TO_MEASURE:-10}"
mkdir -p "$root/var/log/varkel" "$root/tmp"
cd "$root/usr/bin"
if [ "${1:-}" = "--xvfb" ]; then
  xvfb-run -a ./varkel_client & runner=$!
  sleep "${WARM_UP:-12}"
  pid="$(pgrep -n -f '^./varkel_client')"
else
  SDL_VIDEODRIVER=dummy ./varkel_client & pid=$!; runner=$pid
  sleep "${WARM_UP:-12}"
fi
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz="$(getconf CLK_TCK)"
before="$(ticks)"
sleep "$seconds"
after="$(ticks)"
kill "$pid" 2>/dev/null || true
wait "$runner" 2>/dev/null || true
awk -v t="$((after - before))" -v hz="$hz" -v s="$seconds" \
  'BEGIN { printf "idle client: %.2f%% of one core over %d s\n", 100 * t / hz / s, s }'
