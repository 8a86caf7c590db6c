#!/usr/bin/env bash
# Builds the page: the rope library compiled to WebAssembly with emscripten, GSL's old ODE
# interface compiled from Debian's source package, all in one self-contained
# build/web/index.html that opens from disk. Usage: web/build.sh [output folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/web}" && cd "${1:-$root/build/web}" && pwd)
# Debian's emcc runs on Debian's Node modules; the node on the path may be another packager's.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

gsl=$out/gsl
"$root/web/fetch_gsl.sh" "$gsl"

# GSL's headers as an installed tree would have them, and the configuration macros the ODE
# sources use, as configure sets them for x86-64 (no extended-precision registers there either).
mkdir -p "$gsl/include/gsl"
find "$gsl/source" -name 'gsl_*.h' -exec cp -u {} "$gsl/include/gsl/" \;
cat >"$gsl/include/config.h" <<'CONFIG'
#define RETURN_IF_NULL(x) if (!x) { return ; }
#define GSL_COERCE_DBL(x) (x)
CONFIG

# Results must not depend on contraction into fused multiply-adds, as in the native build.
common=(-O2 -ffp-contract=off)
objects=()
gsl_sources=(ode-initval/rk4.c ode-initval/cstd.c ode-initval/control.c ode-initval/evolve.c
  ode-initval/step.c err/error.c err/stream.c err/strerror.c)
mkdir -p "$out/obj"
for source in "${gsl_sources[@]}"; do
  object=$out/obj/gsl_$(echo "$source" | tr / _).o
  if [ ! -f "$object" ] || [ "$gsl/source/$source" -nt "$object" ]; then
    emcc "${common[@]}" -I"$gsl/include" -I"$gsl/include/gsl" -I"$gsl/source" \
      -c "$gsl/source/$source" -o "$object"
  fi
  objects+=("$object")
done

sources=(mbs/assembly.cpp mbs/body_common.cpp mbs/status.cpp joints/joint_types.cpp mbs/passes.cpp
  joints/revolute_link.cpp joints/free_planar_base.cpp joints/slaved_revolute.cpp
  joints/tip_joint.cpp forces/gravity.cpp forces/anchor_spring.cpp forces/ground_contact.cpp
  forces/peg_contact.cpp forces/fluid.cpp rope/carriages.cpp
  rope/rope_parameters.cpp rope/rope_model.cpp stepping/simulation.cpp stepping/driver.cpp stepping/script.cpp
  stepping/measures.cpp stepping/placements.cpp
  scene/camera.cpp scene/world_picture.cpp stepping/run_settings.cpp stepping/integrators.cpp stepping/method_rk4.cpp
  web/method_table_web.cpp web/entry.cpp)
# Two compilers at a time.
compile() {
  em++ "${common[@]}" -std=c++20 -Wall -Wextra -I"$root" -I"$gsl/include" -c "$root/$1" \
    -o "$out/obj/$(echo "$1" | tr / _).o"
}
export -f compile
export root out gsl
export common_flags="${common[*]}"
printf '%s\n' "${sources[@]}" |
  xargs -P 2 -I{} bash -c 'common=($common_flags); compile "$1"' _ {}
for source in "${sources[@]}"; do objects+=("$out/obj/$(echo "$source" | tr / _).o"); done

# Every function entry.cpp marks for JavaScript, as _name,_name,...
exported=$(grep -o 'EMSCRIPTEN_KEEPALIVE [^(]*(' "$root/web/entry.cpp" |
  sed -E 's/.* (web_[a-z_0-9]+)\(/_\1/' | paste -sd, -)
em++ "${common[@]}" "${objects[@]}" -o "$out/rope.js" -sSINGLE_FILE=1 -sMODULARIZE=1 \
  -sEXPORT_NAME=createRopeModule -sALLOW_MEMORY_GROWTH=1 -sENVIRONMENT=web \
  -sEXPORTED_FUNCTIONS="$exported,_malloc,_free" -sEXPORTED_RUNTIME_METHODS=ccall,cwrap,UTF8ToString

# The page: the HTML with the style, the module and the page's script inlined.
python3 "$root/web/inline.py" "$root/web/index.html" "$out/rope.js" "$root/web/page.js" \
  "$out/index.html"
echo "Wrote $out/index.html"
