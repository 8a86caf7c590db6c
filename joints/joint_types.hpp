// The kind table (joint_types.cpp): the descriptor of every joint kind, indexed by its type number.
// Whoever builds a tree hands the core its bodies' kinds from here; code that compares a body's kind
// with a particular one, such as the tests, reads it here too.
#pragma once

#include "mbs/mbs.hpp"

// Joint kinds by type number. A kind is one source in joints/ with its operations, one entry here
// and one row of the kind table.
enum JointKind {
  revolute_link_kind = 0,
  free_planar_base_kind = 1,
  slaved_revolute_kind = 2,
  tip_joint_kind = 3,
  joint_kind_count
};

// &joint_types[k] identifies kind k.
extern const JointType joint_types[joint_kind_count];

// The descriptor of a type number, or null for a number that names no kind.
const JointType* find_joint_type(int type_number);

// init_body with the kind of a type number: unknown_joint_kind, and the body untouched, for a
// number that names none.
inline MbsStatus init_body(Body& body, int type_number) {
  return init_body(body, find_joint_type(type_number));
}
