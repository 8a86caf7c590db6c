#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests in a Release build and
# under AddressSanitizer + UndefinedBehaviorSanitizer, then the window tests under Xvfb.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
# The page test's browser driver, exactly as the committed lock file names it.
npm ci --prefix tests/web --no-audit --no-fund

jobs=$(nproc)

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3
cmake --build build/release -j "$jobs"
(cd build/release && ctest --output-on-failure -LE gui -j "$jobs")

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DROPE_SANITIZE=ON -DROPE_VIEWER=OFF
cmake --build build/sanitize -j "$jobs"
# fontconfig's process-lifetime caches are not ours to free.
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
(cd build/sanitize && ctest --output-on-failure -LE gui -j "$jobs")

# Window tests start their own X server and keep a core busy: one at a time.
(cd build/release && ctest --output-on-failure -L gui)
