#!/bin/sh
# The core knows no joint kind, no force element and no rope: no source in mbs/ includes a header
# from joints/, forces/ or rope/, indexes the kind table, names a kind or a carriage; and its
# library ($2) needs no symbol from them to link.
mbs="$1/mbs"
found=0
grep -nE '#include "(joints|forces|rope)/|joint_types *\[' "$mbs"/*.hpp "$mbs"/*.cpp && found=1
grep -nE '(revolute_link|free_planar_base|slaved_revolute|tip_joint)(_kind|::)' "$mbs"/*.cpp \
  "$mbs"/*.hpp && found=1
grep -niE 'carriage' "$mbs"/*.cpp "$mbs"/*.hpp && found=1
if [ -n "$2" ]; then
  nm -C --undefined-only "$2" |
    grep -E 'revolute|free_planar|slaved_revolute|tip_joint|joint_types|find_joint_type|gravity|anchor_spring|Carriage' &&
    found=1
fi
exit $found
