#!/usr/bin/env bash
# Dragging the carriages: with the left button to the window's left edge the rope's root (first
# dumped line) moves left of where it rests undisturbed; with the right button to the middle
# column the far end follows while the root stays. Three runs: undisturbed, left drag, right drag.
# Usage: drag.sh ROPE WORK_DIR
source "$(dirname "$0")/harness.sh"

rope=$1
prepare_work_dir "$2"
start_display

# run_once NAME [BUTTON FROM_X TO_X]: a run, dragged or not, ended by key a after the rope has
# had 4 s of simulated time to follow; leaves the dump in $work_dir/NAME.q.
run_once() {
  local name=$1
  start_rope "$(dirname "$rope")" "$rope"
  find_window "$rope"
  wait_for_sim_time 1
  if [ $# -gt 1 ]; then drag "$2" "$3" "$4"; fi
  wait_for_sim_time "$(awk -v t="$(last_sim_time)" 'BEGIN { print t + 4 }')"
  press_key a
  wait_for_exit
  [ "$exit_status" -eq 0 ] || fail "$name: key a gave exit status $exit_status"
  mv "$log" "$work_dir/$name.log"
  log="$work_dir/$name.log"
  dumped_coordinates > "$work_dir/$name.q"
  [ "$(wc -l < "$work_dir/$name.q")" -eq 25 ] || fail "$name: dump is not 25 lines"
}

# root_x and link23_x NAME: the root's x, and the x of link 23's joint, 23 links of 0.04 m along
# the chain from the root (the dump holds the angles up to link 22).
root_x() { head -n 1 "$work_dir/$1.q"; }
link23_x() {
  awk 'NR == 1 { x = $1 } NR == 3 { angle = $1 } NR > 3 { angle += $1 }
       NR >= 3 { x += 0.04 * cos(angle) } END { print x }' "$work_dir/$1.q"
}

run_once undisturbed
run_once left_drag 1 350 0
run_once right_drag 3 600 350

echo "root x: undisturbed $(root_x undisturbed), left drag $(root_x left_drag), right drag $(root_x right_drag)"
echo "link 23 joint x: undisturbed $(link23_x undisturbed), left drag $(link23_x left_drag), right drag $(link23_x right_drag)"

# Undisturbed, carriage 1 holds the root at its target -0.2: the rope's pull of a few newtons
# stretches the 5000 N/m coupling by about a millimetre.
awk -v x="$(root_x undisturbed)" 'BEGIN { exit !(x > -0.21 && x < -0.19) }' ||
  fail "undisturbed root x $(root_x undisturbed) is not at carriage 1 (-0.2)"
# The left edge is x = -1.16. The rope (1.0 m) cannot span from there to carriage 2 at 0.6, so
# the two couplings share the 0.76 m gap and the root settles near -0.78.
awk -v x="$(root_x left_drag)" -v rest="$(root_x undisturbed)" 'BEGIN { exit !(x < rest - 0.3) }' ||
  fail "after the left drag the root x $(root_x left_drag) is not well left of $(root_x undisturbed)"
# Carriage 2 moved to x = 0 pulls the far end, 0.08 m beyond link 23's joint, from 0.6 to about
# 0; carriage 1 and the root stay.
awk -v x="$(link23_x right_drag)" -v rest="$(link23_x undisturbed)" 'BEGIN { exit !(x < rest - 0.3) }' ||
  fail "after the right drag link 23's joint x $(link23_x right_drag) did not follow carriage 2"
awk -v x="$(root_x right_drag)" -v rest="$(root_x undisturbed)" 'BEGIN { d = x - rest; exit !(d < 0.02 && d > -0.02) }' ||
  fail "the right drag moved the root: $(root_x right_drag) against $(root_x undisturbed)"
