#!/usr/bin/env bash
# Installs what is missing, builds and starts the rope simulator.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build/release -j "$(nproc)" --target rope
exec build/release/rope
