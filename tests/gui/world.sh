#!/usr/bin/env bash
# The window takes the rope's keys as rope-headless does and draws the world under the rope: the
# ground band below its line, a peg's disc and the fluid's tint below its surface, in the
# pictures' colours. A bad key is refused with exit status 2 before any window opens.
# Usage: world.sh ROPE WORK_DIR
source "$(dirname "$0")/harness.sh"

rope=$1
prepare_work_dir "$2"

status=0
"$rope" --set bogus=1 > "$work_dir/refused.log" 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "--set bogus=1: exit status $status, expected 2"
grep -q "unknown key 'bogus'" "$work_dir/refused.log" || fail "--set bogus=1: $(cat "$work_dir/refused.log")"

start_display
start_rope "$(dirname "$rope")" "$rope" --set ground_height=-0.5 --set 'pegs=0.2,-0.15,0.05' \
  --set fluid_density=1000 --set fluid_surface=-0.4 --set initial_state=rest
find_window "$rope"
wait_for_sim_time 1
screenshot "$work_dir/window.png"
press_key a
wait_for_exit
[ "$exit_status" -eq 0 ] || fail "key a: exit status $exit_status"
pixel_table "$work_dir/window.png" > "$work_dir/pixels"

# Sample points well inside each region (world x, y), the colour expected there.
awk "$camera_awk"'
  BEGIN {
    want["ground"] = "150 130 105"; at_x["ground"] = -0.8; at_y["ground"] = -0.7
    want["peg"] = "128 128 128";    at_x["peg"] = 0.2;     at_y["peg"] = -0.15
    want["water"] = "212 226 250";  at_x["water"] = -0.8;  at_y["water"] = -0.45
    want["air"] = "255 255 255";    at_x["air"] = -0.8;    at_y["air"] = -0.3
    for (k in want) { c[k] = int(column(at_x[k])); r[k] = int(row(at_y[k])) }
  }
  { for (k in want) if ($1 == c[k] && $2 == r[k]) seen[k] = $3 " " $4 " " $5 }
  END {
    for (k in want)
      if (seen[k] != want[k]) { print k " at " c[k] "," r[k] ": " seen[k] ", expected " want[k]; failed = 1 }
    exit failed
  }' "$work_dir/pixels" || fail "the world is not drawn where it is"
echo "world drawn: ground, peg, water and air in their colours"
