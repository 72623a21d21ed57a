#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs every test: all of them under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded ones under ThreadSanitizer,
# then the TLS test in a build without sanitizers, then each fuzzer for 30 s
# when clang is here.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

jobs="$(nproc 2>/dev/null || echo 2)"
# Each build keeps its programs, pictures and font in its own folder, laid
# out as the client expects (bin/ beside share/varkel/).
configure() {  # build folder, sanitizer, build type
  local build="$root/$1"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$3" -DVARKEL_SANITIZE="$2" \
    -DVARKEL_BIN_DIR="$build/bin" -DVARKEL_SHARE_DIR="$build/share/varkel" \
    > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
}
run_suite() {  # build folder, sanitizer, ctest label
  configure "$1" "$2" Debug
  cmake --build "$root/$1" -j "$jobs"
  (cd "$root/$1" && ctest --output-on-failure -j "$jobs" -L "$3")
}

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
run_suite build-asan address all
run_suite build-tsan thread threaded

# The memory a flood of handshakes leaves behind is only telling without
# the sanitizers' allocators, which keep freed memory on purpose.
configure build-plain "" RelWithDebInfo
cmake --build "$root/build-plain" -j "$jobs" --target test_tls
(cd "$root/build-plain" && ctest --output-on-failure -R '^test_tls$')

# The Debian packages: built and checked by lintian; installed and purged
# with dpkg only where the caller allows it (CI does: root, a machine of its
# own), never beside other work on a shared machine.
"$root/scripts/package.sh"
if [ "${VARKEL_TEST_DPKG:-0}" = 1 ]; then
  bash "$root/usr/src/tests/test_packages.sh" "$root/dist"
else
  echo "Installing the packages with dpkg: not run here (VARKEL_TEST_DPKG=1, as root, runs it)."
fi

if command -v clang++ > /dev/null; then
  "$root/scripts/fuzz.sh" 30
else
  echo "test.sh: clang++ is absent, the fuzzers did not run (scripts/install-deps.sh installs it)"
fi
