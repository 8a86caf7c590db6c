#!/usr/bin/env bash
# Left alone, the rope settles and keeps running: after 100 simulated seconds the program is still
# there, and it ends only through key a (status 0, no instability message).
# Usage: left_alone.sh PROGRAM WORK_DIR
source "$(dirname "$0")/harness.sh"

program=$1
prepare_work_dir "$2"
wait_limit=600  # 100 simulated seconds take about 10 s of wall time on an idle machine

start_display
start_rope "$(dirname "$program")" "$program"
find_window "$program"
wait_for_sim_time 100
press_key a
wait_for_exit
[ "$exit_status" -eq 0 ] || fail "key a: exit status $exit_status"
! grep -q 'instability' "$log" || fail "the program reported an instability"
echo "ran $(last_sim_time) s left alone, ended by key a with status 0"
