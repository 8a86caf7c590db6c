#!/usr/bin/env bash
# Wall time of the implicit methods on long and stiff ropes, with rope-headless (Release build):
# the fine rope of models/fine_rope.toml cut into 100, 1,000 and 10,000 links, the 25-link stiff
# ropes and the 192-link rope at joint_stiffness 55000. Carriages driven to -0.5 and 0.9 m from t = 0.
#   bench/implicit_long_ropes.sh [build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
headless=${1:-build/release}/tools/rope-headless
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
driven=(--target 1=-0.5@0 --target 2=0.9@0 --output "$work/run.csv")

# One run: its label, then rope-headless's arguments; prints wall seconds, steps and peak memory.
measure() {
  local label=$1
  shift
  local wall steps memory
  /usr/bin/time -f '%M' -o "$work/memory" "$headless" "$@" "${driven[@]}" 2> "$work/err"
  wall=$(sed -n 's/^wall time: \(.*\) s$/\1/p' "$work/err")
  steps=$(sed -n 's/^accepted steps: //p' "$work/err")
  memory=$(( $(cat "$work/memory") / 1024 ))
  printf '| %s | %s s | %s | %s MB |\n' "$label" "$wall" "$steps" "$memory"
}

echo '| run | wall | steps | peak memory |'
echo '|---|---|---|---|'
fine=(--model models/fine_rope.toml)
for method in bdf dirk; do
  measure "fine rope, 100 links, 1 s, $method" "${fine[@]}" --set links=100 --duration 1 --integrator $method
done
measure "fine rope, 100 links, 1 s, rk4" "${fine[@]}" --set links=100 --duration 1
measure "fine rope, 1000 links, 0.1 s, bdf" "${fine[@]}" --duration 0.1 --integrator bdf
# Some minutes of wall time.
measure "fine rope, 10000 links, 1 s, bdf" "${fine[@]}" --set links=10000 --duration 1 --integrator bdf
for method in bdf dirk rk4; do
  measure "192 links, 55000, 0.05 s, $method" --set links=192 --set joint_stiffness=55000 --duration 0.05 --integrator $method
done
for method in bdf dirk; do
  measure "25 links, 55000, 2 s, $method" --set joint_stiffness=55000 --duration 2 --integrator $method
done
measure "25 links, 5.5e6, 10 s, dirk 1e-5" --set joint_stiffness=5.5e6 --duration 10 --integrator dirk --tolerance 1e-5
