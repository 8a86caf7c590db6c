#!/usr/bin/env bash
# Builds the engine in Release with the hand-written planar articulated-body timer from FOLDER and
# prints, for N = 25 and N = 1000 bodies, both times and the median ratio of ours to the
# hand-written one, the two alternating in one process on one core.
# Usage: bench/compare-yardstick.sh [FOLDER] [PAIRS]
#        (default ../shared/bench/planar_aba beside the checkout, 200 pairs of batches)
set -euo pipefail
cd "$(dirname "$0")/.."
given=${1:-../shared/bench/planar_aba}
pairs=${2:-200}
# realpath -e fails on a missing folder with a bare message of its own: say what is needed.
if ! folder=$(realpath -e "$given" 2> /dev/null) || [ ! -f "$folder/hand_aba2.cpp" ]; then
  echo "compare-yardstick.sh: needs the folder of the hand-written planar articulated-body timer" >&2
  echo "(hand_aba2.cpp), by default ../shared/bench/planar_aba beside the checkout; got '$given'." >&2
  echo "Usage: bench/compare-yardstick.sh [FOLDER] [PAIRS]" >&2
  exit 2
fi

build=build/yardstick
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DROPE_BENCH=ON -DROPE_VIEWER=OFF \
  -DROPE_TESTS=OFF -DROPE_PYTHON=OFF -DROPE_YARDSTICK_DIR="$folder" > /dev/null
cmake --build "$build" -j2 --target yardstick_pairs

pin=()
command -v taskset > /dev/null && pin=(taskset -c "$(($(nproc) - 1))")
for bodies in 25 1000; do
  "${pin[@]}" "$build/bench/yardstick_pairs" "$bodies" "$pairs"
done
