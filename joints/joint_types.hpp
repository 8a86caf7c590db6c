// The kind table (joint_types.cpp): the descriptor of every joint kind, indexed by its type number
// (JointKind). Callers reach it through find_joint_type; code that compares a body's kind with a
// particular one, such as the tests, reads it here.
#pragma once

#include "mbs/mbs.hpp"

// &joint_types[k] identifies kind k.
extern const JointType joint_types[joint_kind_count];
