#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each one
# for SECONDS (default 60), or only TARGET (wire, proxy or conversation). Inputs
# that reach new code are kept in fuzz-corpus/TARGET/ (out of git) and feed
# the next runs; a crash is saved in fuzz-corpus/crashes/ and fails the run.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
targets=(wire proxy conversation)
if [ $# -ge 2 ]; then targets=("$2"); fi
case "$seconds" in '' | *[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number" >&2; exit 2 ;; esac
for target in "${targets[@]}"; do
  case "$target" in wire | proxy | conversation) ;; *) echo "fuzz.sh: no target $target (wire, proxy or conversation)" >&2; exit 2 ;; esac
done
if ! command -v clang++ > /dev/null; then
  echo "fuzz.sh: clang++ is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

build="$root/build-fuzz"
corpus="$root/fuzz-corpus"
jobs="$(nproc 2>/dev/null || echo 2)"
mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARKEL_FUZZ=ON -DVARKEL_TESTS=OFF -DVARKEL_BIN_DIR="$build/bin" \
  > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$jobs" --target fuzzers
"$build/fuzz/fuzz_seeds" "$build/seeds"
mkdir -p "$corpus/crashes"

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  mkdir -p "$corpus/$target"
  options=(-max_total_time="$seconds" -timeout=10 -max_len=8192 -print_final_stats=1
    -artifact_prefix="$corpus/crashes/$target-")
  if [ "$target" = conversation ]; then options+=(-dict="$build/seeds/conversation.dict"); fi
  log="$build/fuzz_$target.log"
  echo "fuzz.sh: fuzz_$target for $seconds s (log: $log)"
  if ! "$build/fuzz/fuzz_$target" "${options[@]}" "$corpus/$target" "$build/seeds/$target" > "$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzz.sh: fuzz_$target failed; the input is in $corpus/crashes/" >&2
    exit 1
  fi
  grep -E "^Done|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)" "$log"
  grep -E "^#[0-9]+" "$log" | tail -n 1
done
