#!/bin/sh
# The core reaches the joint kinds only through their descriptors' slots: no source in mbs/
# includes a header from joints/ or indexes the kind table, and none but mbs.hpp (which lists the
# type numbers for callers) names a kind.
mbs="$1/mbs"
found=0
grep -nE '#include "joints/|joint_types *\[' "$mbs"/*.hpp "$mbs"/*.cpp && found=1
grep -nE '(revolute_link|free_planar_base|slaved_revolute|tip_joint)(_kind|::)' "$mbs"/*.cpp \
  $(ls "$mbs"/*.hpp | grep -v '/mbs\.hpp$') && found=1
exit $found
