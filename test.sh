#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test, in stages:
#   deps      the system packages (scripts/install-deps.sh) and the page test's browser driver
#   release   the Release build and its tests (unit, tools, package, web page), less the Python ones
#   python    the Release build and the Python module's tests and examples
#   sanitize  a Debug build under AddressSanitizer + UndefinedBehaviorSanitizer and its tests,
#             less the ones labelled release_only (too slow under the sanitizers)
#   gui       the window tests under Xvfb, in the Release build
# Every stage runs even when an earlier one failed; a summary follows, and the status is non-zero
# when any stage failed.  ./test.sh STAGE runs that stage alone; ./test.sh --help lists them.
set -uo pipefail
cd "$(dirname "$0")"

STAGES=(deps release python sanitize gui)

usage() {
  sed -n '2,10s/^# \{0,1\}//p' "$0"
  local IFS='|'
  echo "Usage: $0 [${STAGES[*]}]"
}

chosen=("${STAGES[@]}")
if [ $# -gt 0 ]; then
  case $1 in
    -h|--help) usage; exit 0 ;;
    deps|release|python|sanitize|gui) chosen=("$1") ;;
    *) echo "$0: unknown stage '$1'" >&2; usage >&2; exit 2 ;;
  esac
fi

jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Per stage: what went wrong (empty when nothing did) and the test counts ctest reported.
declare -A problem passed failed seconds

# Runs ctest with the given arguments in a build folder, keeping its output to count the tests.
run_ctest() {
  local stage=$1 folder=$2
  shift 2
  local log="$logs/$stage.ctest"
  (cd "$folder" && ctest --output-on-failure "$@") 2>&1 | tee -a "$log"
  local status=${PIPESTATUS[0]}
  # "95% tests passed, 2 tests failed out of 40"
  local counts
  counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$log" | tail -n 1)
  if [ -n "$counts" ]; then
    read -r bad total <<< "$counts"
    failed[$stage]=$(( ${failed[$stage]:-0} + bad ))
    passed[$stage]=$(( ${passed[$stage]:-0} + total - bad ))
  fi
  : > "$log"
  [ "$status" -eq 0 ] || problem[$stage]="tests failed"
}

release_build() {
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3 &&
    cmake --build build/release -j "$jobs"
}

stage_deps() {
  scripts/install-deps.sh || { problem[deps]="install-deps.sh failed"; return; }
  # The page test's browser driver, exactly as the committed lock file names it.
  npm ci --prefix tests/web --no-audit --no-fund || problem[deps]="npm ci failed"
}

stage_release() {
  release_build || { problem[release]="build failed"; return; }
  run_ctest release build/release -LE 'gui|python' -j "$jobs"
}

stage_python() {
  release_build || { problem[python]="build failed"; return; }
  run_ctest python build/release -L python -j "$jobs"
}

stage_sanitize() {
  cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DROPE_SANITIZE=ON -DROPE_VIEWER=OFF &&
    cmake --build build/sanitize -j "$jobs" || { problem[sanitize]="build failed"; return; }
  # fontconfig's process-lifetime caches are not ours to free.
  LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    run_ctest sanitize build/sanitize -LE 'gui|release_only' -j "$jobs"
}

stage_gui() {
  release_build || { problem[gui]="build failed"; return; }
  # Window tests start their own X server and keep a core busy: one at a time.
  run_ctest gui build/release -L gui
}

for stage in "${chosen[@]}"; do
  echo "=== $stage"
  started=$SECONDS
  "stage_$stage"
  seconds[$stage]=$(( SECONDS - started ))
done

status=0
echo
printf '%-10s %-24s %7s %7s %8s\n' stage result passed failed time
for stage in "${chosen[@]}"; do
  result=${problem[$stage]:-ok}
  [ "$result" = ok ] || status=1
  printf '%-10s %-24s %7s %7s %7ss\n' "$stage" "$result" "${passed[$stage]:--}" \
    "${failed[$stage]:--}" "${seconds[$stage]}"
done
exit "$status"
