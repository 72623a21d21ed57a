# SPDX-License-Identifier: MIT
# Sourced by the benchmarks that need a display: needs `work` (a folder of
# the script's own) and `pids` (what the script stops at its end).

# Xvfb on a display it picks itself; DISPLAY names it once it takes
# connections. -noreset: a server that resets whenever its last client
# leaves drops a client connecting during the reset.
start_xvfb() {
  Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 \
    3>"$work/display" 2>"$work/xvfb.log" &
  pids+=($!)
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.05
  done
  [ -s "$work/display" ] || { echo "Xvfb did not start: $(cat "$work/xvfb.log")"; exit 1; }
  DISPLAY=":$(cat "$work/display")"
  export DISPLAY
}
