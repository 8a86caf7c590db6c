# Shared by the window tests: a private virtual X display, the program under test, its window,
# its console output, screenshots and the camera's projection. Sourced, not run.
#
# Every wait has a deadline: on a busy two-core machine a run can take several times longer
# than on an idle one, so the deadlines are generous and only stop a stuck test.

set -euo pipefail

wait_limit=120  # seconds, for any single wait

xvfb_pid=""
rope_pid=""
work_dir=""

fail() {
  echo "FAIL: $*" >&2
  [ -n "$work_dir" ] && echo "(program output and screenshots in $work_dir)" >&2
  exit 1
}

stop_processes() {
  if [ -n "$rope_pid" ] && kill -0 "$rope_pid" 2>/dev/null; then kill "$rope_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null; then kill "$xvfb_pid" 2>/dev/null || true; fi
  return 0
}
trap stop_processes EXIT

# prepare_work_dir DIR: a fresh directory for this test's files.
prepare_work_dir() {
  work_dir=$1
  rm -rf "$work_dir"
  mkdir -p "$work_dir"
}

# Starts Xvfb on a display number it picks itself and exports DISPLAY.
start_display() {
  command -v Xvfb > /dev/null || fail "Xvfb is not installed (package xvfb)"
  local display_file="$work_dir/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$display_file" 2> "$work_dir/xvfb.log" &
  xvfb_pid=$!
  local deadline=$((SECONDS + wait_limit))
  until [ -s "$display_file" ]; do
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work_dir/xvfb.log")"
    [ $SECONDS -lt $deadline ] || fail "Xvfb gave no display number"
    sleep 0.05
  done
  export DISPLAY=":$(head -n 1 "$display_file")"
}

# start_rope DIR INVOCATION [ARGUMENTS...]: runs INVOCATION (the program, as typed) with the
# arguments, from DIR, with its output in $log.
start_rope() {
  log="$work_dir/rope.log"
  (cd "$1" && exec "$2" "${@:3}") > "$log" 2>&1 &
  rope_pid=$!
}

# Regular expression that matches the text literally.
literal_regex() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|/]/\\&/g'; }

# find_window TITLE: sets window_id to the visible window with exactly that title.
find_window() {
  window_id=$(timeout "$wait_limit" xdotool search --sync --onlyvisible --name "^$(literal_regex "$1")\$" |
    head -n 1) || true
  [ -n "$window_id" ] || fail "no visible window titled '$1'; output: $(head -n 5 "$log")"
}

# Last simulated time the program reported, 0 before the first report.
last_sim_time() { tail -n 40 "$log" | awk '$1 == "SimTime" { t = $3 } END { print t + 0 }'; }

# wait_for_sim_time SECONDS: until the program has reported at least that much simulated time.
wait_for_sim_time() {
  local deadline=$((SECONDS + wait_limit))
  until awk -v t="$(last_sim_time)" -v goal="$1" 'BEGIN { exit !(t >= goal) }'; do
    kill -0 "$rope_pid" 2>/dev/null || fail "the program ended early: $(tail -n 3 "$log")"
    [ $SECONDS -lt $deadline ] || fail "simulated time did not reach $1 s (last $(last_sim_time))"
    sleep 0.05
  done
}

# Keys reach a window only while the pointer is over it (no window manager).
press_key() {
  xdotool mousemove --window "$window_id" 350 250 sleep 0.1 key "$1"
}

# drag BUTTON FROM_X TO_X: press at column FROM_X, move to TO_X with the button held, release.
drag() {
  xdotool mousemove --window "$window_id" "$2" 250 sleep 0.1 mousedown "$1" sleep 0.1 \
    mousemove --window "$window_id" "$3" 250 sleep 0.1 mouseup "$1"
}

# Waits for the program to end and sets exit_status.
wait_for_exit() {
  local deadline=$((SECONDS + wait_limit))
  while kill -0 "$rope_pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "the program did not end"
    sleep 0.05
  done
  exit_status=0
  wait "$rope_pid" || exit_status=$?
  rope_pid=""
}

# The coordinates that key a wrote: the last 25 lines of the output.
dumped_coordinates() { tail -n 25 "$log"; }

# screenshot FILE: the window's content as PNG.
screenshot() {
  xwd -id "$window_id" -silent | convert xwd:- "png:$1" || fail "no screenshot"
}

# The window's pixels as text lines "column row red green blue" (0..255), row 0 at the top.
pixel_table() {
  convert "$1" -depth 8 txt:- |
    awk -F'[ ,:()]+' 'NR > 1 { print $1, $2, $3, $4, $5 }'
}

# Camera of the drawing: eye at (0, -0.3, 2) looking along -z, vertical field of view 45 deg,
# window 700 x 500, so aspect 1.4. A point (x, y) of the plane z = 0 lands at window column
# (1 + (x - cx) / (d tan(fovy/2) aspect)) W / 2 and, counted from the top, row
# (1 - (y - cy) / (d tan(fovy/2))) H / 2. These awk lines are included by the checks.
camera_awk='
function tan(a) { return sin(a) / cos(a) }
function column(x) { return (1 + (x - 0.0) / (2.0 * tan(3.14159265358979 / 8) * 1.4)) * 700 / 2 }
function row(y) { return (1 - (y + 0.3) / (2.0 * tan(3.14159265358979 / 8))) * 500 / 2 }
'
