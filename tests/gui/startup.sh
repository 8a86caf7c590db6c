#!/usr/bin/env bash
# The program starts in a virtual X display: its start-up line, a window titled with the
# invocation name, SimTime and RealTime reports every frame; key a ends it with status 0 after
# 25 coordinate lines.
# Usage: startup.sh DIRECTORY INVOCATION WORK_DIR   (INVOCATION is run from DIRECTORY, as typed)
source "$(dirname "$0")/harness.sh"

directory=$1
invocation=$2
prepare_work_dir "$3"

start_display
start_rope "$directory" "$invocation"
find_window "$invocation"

[ "$(xdotool getwindowname "$window_id")" = "$invocation" ] || fail "window title is not '$invocation'"
xdotool getwindowgeometry "$window_id" | grep -q 'Geometry: 700x500' ||
  fail "window is not 700 x 500: $(xdotool getwindowgeometry "$window_id")"

wait_for_sim_time 1
[ "$(head -n 1 "$log")" = "MBS initialized. Number of Coordinates=27" ] ||
  fail "first line: $(head -n 1 "$log")"

# Frames 1 to 100: a SimTime line with k * 0.01 s (six significant digits), then a RealTime
# line whose value never decreases.
sed -n '2,201p' "$log" | awk '
  NR % 2 == 1 {
    k = (NR + 1) / 2
    if ($0 !~ /^SimTime :  [0-9.e+-]+ s\.$/) { print "line " NR ": " $0; exit 1 }
    if ($3 - k * 0.01 > 1e-9 || k * 0.01 - $3 > 1e-9) { print "frame " k " at " $3 " s"; exit 1 }
  }
  NR % 2 == 0 {
    if ($0 !~ /^RealTime : [0-9.e+-]+ s\.$/) { print "line " NR ": " $0; exit 1 }
    if ($3 < last) { print "RealTime went back at line " NR; exit 1 }
    last = $3
  }
  END { if (NR != 200) { print "only " NR " report lines"; exit 1 } }' > "$work_dir/report-check" ||
  fail "report lines: $(cat "$work_dir/report-check")"

press_key A  # does nothing
wait_for_sim_time "$(awk -v t="$(last_sim_time)" 'BEGIN { print t + 0.5 }')"
press_key a
wait_for_exit
[ "$exit_status" -eq 0 ] || fail "key a: exit status $exit_status"

# After the last report exactly 25 numbers, one a line.
awk '/^RealTime/ { n = 0; bad = ""; next } { n++; if ($0 !~ /^-?[0-9.]+(e[-+][0-9]+)?$/) bad = $0 }
  END { if (n != 25 || bad != "") { print n " lines after the last report; " bad; exit 1 } }' \
  "$log" > "$work_dir/dump-check" || fail "coordinate dump: $(cat "$work_dir/dump-check")"
echo "started, reported $(last_sim_time) s, title '$invocation', dump of 25 lines, status 0"
