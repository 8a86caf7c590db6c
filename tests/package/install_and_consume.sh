#!/usr/bin/env bash
# Installs the project from its build folder into a temporary prefix, builds a small program
# against the installed package with find_package(RopeSim) and runs it.
# Usage: install_and_consume.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
for installed in bin/rope-headless include/ropesim/ropesim.hpp share/ropesim/models/rope.toml \
  share/ropesim/models/fine_rope.toml \
  lib/cmake/RopeSim/RopeSimConfig.cmake; do
  [ -e "$work/prefix/$installed" ] || { echo "FAIL: $installed was not installed"; exit 1; }
done
cmake -S "$source" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/consumer" > "$work/build.log" || { cat "$work/build.log"; exit 1; }
output=$("$work/consumer/app")
echo "$output"
[[ $output =~ ^t=1\ coordinates=13\ x2=0\.[0-9]+$ ]] || { echo "FAIL: unexpected output"; exit 1; }
# The package's version is the project's: a request for it is met, one for the next major is not.
version=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\) .*/\1/p' "$source/../../CMakeLists.txt")
mkdir "$work/versions"
cat > "$work/versions/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.16)
project(versions NONE)
find_package(RopeSim ${version%.*} CONFIG REQUIRED)
find_package(RopeSim $(( ${version%%.*} + 1 )) CONFIG QUIET)
if(RopeSim_FOUND)
  message(FATAL_ERROR "a package of version \${RopeSim_VERSION} met a request for the next major")
endif()
END
cmake -S "$work/versions" -B "$work/versions/build" -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/versions.log" ||
  { cat "$work/versions.log"; echo "FAIL: find_package with a version"; exit 1; }
[ "$("$work/prefix/bin/rope-headless" --version)" = "rope-headless $version" ] ||
  { echo "FAIL: rope-headless --version does not print $version"; exit 1; }
"$work/prefix/bin/rope-headless" --duration 0.02 --quiet --model "$work/prefix/share/ropesim/models/rope.toml" |
  head -n 1 | grep -q '^t,q0,' || { echo "FAIL: the installed rope-headless"; exit 1; }
# The Python package, where the build put it, imports from the prefix and runs.
python_package=$(find "$work/prefix" -path '*/dist-packages/ropesim' -type d | head -n 1)
if [ -n "$python_package" ]; then
  PYTHONPATH=$(dirname "$python_package") /usr/bin/python3 -c \
    'import ropesim; rope = ropesim.Rope(links=5); rope.advance(10); assert rope.coordinate_count == 8' ||
    { echo "FAIL: the installed Python package"; exit 1; }
  echo "Python package installed in $(dirname "$python_package")"
fi
