#!/usr/bin/env bash
# Installs what is missing, builds and starts the rope simulator. Without a usable display it
# runs the simulator for a few seconds in a virtual X display instead and saves a screenshot.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3 > /dev/null
cmake --build build/release -j "$(nproc)" --target rope

rope=build/release/rope

if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry > /dev/null 2>&1; then
  exec "$rope"
fi

seconds=5
screenshot=$PWD/build/release/screenshot.png
echo "No usable display (DISPLAY is '${DISPLAY:-}'): running the simulator for $seconds s in a"
echo "virtual X display (Xvfb) and saving a screenshot."

work=$(mktemp -d)
xvfb_pid=""
rope_pid=""
finish() {
  if [ -n "$rope_pid" ]; then kill "$rope_pid" 2> /dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2> /dev/null || true; fi
  rm -rf "$work"
}
trap finish EXIT

# Xvfb picks a free display number and writes it to descriptor 3 once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 200); do
  [ -s "$work/display" ] && break
  sleep 0.05
done
[ -s "$work/display" ] || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$(head -n 1 "$work/display")"

"$rope" > "$work/rope.log" 2>&1 &
rope_pid=$!
window=$(timeout 60 xdotool search --sync --onlyvisible --name "^build/release/rope\$" | head -n 1) ||
  { echo "The window did not appear. Program output:"; head -n 5 "$work/rope.log"; exit 1; }
sleep "$seconds"
xwd -id "$window" -silent | convert xwd:- "png:$screenshot"

# Key a (with the pointer over the window) prints the coordinates and ends the program.
xdotool mousemove --window "$window" 350 250 sleep 0.1 key a
for _ in $(seq 100); do
  kill -0 "$rope_pid" 2> /dev/null || break
  sleep 0.05
done
status=0
wait "$rope_pid" || status=$?
rope_pid=""

echo "The program printed (start-up line, the last time report, then the coordinates of key a):"
head -n 1 "$work/rope.log"
grep -E '^(SimTime|RealTime)' "$work/rope.log" | tail -n 2
tail -n 25 "$work/rope.log" | paste -sd ' '
echo "Exit status: $status"
echo "Screenshot: $screenshot"
