#!/usr/bin/env bash
# Installs the peer libraries (Debian packages), builds the benchmarks with them in Release (-O2),
# checks that every solver describes the same motion, and prints one table: each benchmark's time
# and its ratio to the engine's chain_rhs of the same size, all from this one run.
# Usage: bench/compare-peers.sh [repetitions]   (default 5; the minimum over them is reported)
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=${1:-5}

packages=(g++ cmake pkg-config libgsl-dev libbenchmark-dev libeigen3-dev
  libbullet-dev libsimbody-dev libdart-dev python3)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update
  $sudo apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
fi

build=build/peers
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DROPE_BENCH=ON -DROPE_PEERS=ON -DROPE_VIEWER=OFF -DROPE_TESTS=OFF > /dev/null
cmake --build "$build" -j2 --target rope_bench

results=$(mktemp)
trap 'rm -f "$results"' EXIT
filter='^(rope_rhs|chain_rhs/.*|rope_simulate_10s.*|peer_.*/(25|1000)|dense/(25|1000))$'
"$build/bench/rope_bench" --benchmark_filter="$filter" --benchmark_repetitions="$repetitions" \
  --benchmark_out="$results" --benchmark_out_format=json > /dev/null

python3 - "$results" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
best = {}
extra = {}
for b in data["benchmarks"]:
    if b.get("run_type") != "iteration":
        continue
    name = b["run_name"]
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    seconds = b["real_time"] * scale
    if name not in best or seconds < best[name]:
        best[name] = seconds
        extra[name] = b
def size(name):
    return int(name.split("/")[1]) if "/" in name and name.split("/")[1].isdigit() else None
def show(seconds):
    for unit, factor in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= factor:
            return f"{seconds / factor:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"
c = data["context"]
print(f"{c.get('num_cpus')} CPUs at {c.get('mhz_per_cpu')} MHz, {c.get('date')}")
print(f"{'benchmark':<34}{'time (min of runs)':>20}{'ns/body':>10}{'x chain_rhs':>13}")
order = sorted(best, key=lambda n: (n.split("/")[0] != "chain_rhs", size(n) or 0, n))
for name in order:
    n = size(name)
    per_body = f"{best[name] / n * 1e9:.1f}" if n else ""
    ratio = ""
    if n and not name.startswith("chain_rhs") and f"chain_rhs/{n}" in best:
        ratio = f"{best[name] / best[f'chain_rhs/{n}']:.1f}"
    print(f"{name:<34}{show(best[name]):>20}{per_body:>10}{ratio:>13}")
sim = [n for n in best if n.startswith("rope_simulate_10s")]
for name in sim:
    b = extra[name]
    print(f"{name}: real-time factor {10.0 / best[name]:.1f}, "
          f"{b['rhs_per_sim_second']:.0f} right-hand-side evaluations per simulated second")
n1000, n1e6 = best.get("chain_rhs/1000"), best.get("chain_rhs/1000000")
if n1000 and n1e6:
    print(f"ns/body at N=1e6 over N=1000: {(n1e6 / 1e6) / (n1000 / 1e3):.2f}")
for n in (25, 1000):
    peers = {k: v for k, v in best.items() if k.startswith("peer_") and size(k) == n}
    if peers and f"chain_rhs/{n}" in best:
        fastest = min(peers, key=peers.get)
        print(f"N={n}: fastest peer {fastest}, engine is {peers[fastest] / best[f'chain_rhs/{n}']:.1f}x faster")
PY
