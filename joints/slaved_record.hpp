// The work record of the slaved revolute joint and the tip joint, kept in the body's kind storage:
// only their own operations read it, so the core's passes never stream it.
#pragma once

#include <cstddef>
#include <new>

#include "mbs/mbs.hpp"

struct SlavedRecord {
  Mat3 rate_transfer;          // E: rows (1, 0, 0), (0, 1, 0), (g0, g1, 0)
  Sym3 reduced_coupling;       // the child's block with this joint's coordinate eliminated
  Triple rate_gain;            // g: qdot = g . parent velocity
  Mat3 rate_transfer_rate;     // dE/dt
  Sym3 reduced_coupling_rate;  // d/dt of reduced_coupling
  // The block handed to the parent (coupling_a: parent velocity -> squared tip speed) and its
  // rate, and the last child's copies of them that this body reduces.
  Sym3 coupling_a;
  Sym3 coupling_b;
  Sym3 child_coupling_a;
  Sym3 child_coupling_b;
};

static_assert(sizeof(SlavedRecord) <= sizeof(Body::kind_storage) &&
                  offsetof(Body, kind_storage) % alignof(SlavedRecord) == 0,
              "the record fits the body's kind storage");

// Every body holds one (zero-filled until a construct writes it), whatever its kind: a slaved
// parent reads its last child's blocks there, and a child of another kind hands up zeros.
inline SlavedRecord& slaved_record(Body& body) {
  return *std::launder(reinterpret_cast<SlavedRecord*>(body.kind_storage.data()));
}
inline const SlavedRecord& slaved_record(const Body& body) {
  return *std::launder(reinterpret_cast<const SlavedRecord*>(body.kind_storage.data()));
}
