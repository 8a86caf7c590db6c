// The recursive pass sequences. Outward passes visit a body before its children, inward passes
// after all of them; children always in list order. The walks are iterative (tree_walk.hpp), so
// deep chains do not grow the call stack; the right-hand side, which runs millions of times,
// follows the same visiting orders recorded once when the coordinates were laid out.
#include <cstddef>

#include "mbs/mbs.hpp"
#include "mbs/tree_walk.hpp"

static inline void call_if_filled(JointOperation operation, Body& body) {
  if (operation) operation(body);
}

// Outward: joint rotation and body velocity from the initial q and qdot.
static void setup_step_a(Body& body) {
  const JointType& type = *body.type;
  type.joint_transform(body);
  type.parent_velocity(body);
  call_if_filled(type.body_velocity, body);
}

// Inward: subtree momentum, and from it the joint momentum that belongs to the initial qdot.
static void setup_step_b(Body& body) {
  const JointType& type = *body.type;
  compute_body_momentum(body);
  accumulate_momentum(body);
  call_if_filled(type.transmit_momentum, body);
  call_if_filled(type.initial_joint_momentum, body);
}

// Inward: articulated inertia and the momentum bias handed to the parent.
static void rhs_step_1(Body& body) {
  const JointType& type = *body.type;
  type.joint_transform(body);
  accumulate_inertia(body);
  call_if_filled(type.invert_joint_inertia, body);
  call_if_filled(type.transmit_inertia, body);
  call_if_filled(type.transmit_momentum_bias, body);
}

// Outward: coordinate rates from the momenta, body velocities, world placement.
static void rhs_step_2(Body& body) {
  const JointType& type = *body.type;
  type.parent_velocity(body);
  type.joint_velocity(body);
  call_if_filled(type.body_velocity, body);
  type.absolute_placement(body);
}

// Inward: external forces, subtree forces and momenta, momentum rates.
static void rhs_step_3(Body& body, double gravity) {
  const JointType& type = *body.type;
  apply_external_forces(body, gravity);
  accumulate_force(body);
  call_if_filled(type.composite_momentum, body);
  call_if_filled(type.transmit_force, body);
  call_if_filled(type.joint_momentum_rate, body);
}

void setup_pass_a(Body& root) {
  visit_preorder(root, setup_step_a);
}
void setup_pass_b(Body& root) {
  visit_postorder(root, setup_step_b);
}
void rhs_pass_1(Body& root) {
  visit_postorder(root, rhs_step_1);
}
void rhs_pass_2(Body& root) {
  visit_preorder(root, rhs_step_2);
}
// The gravity of the system the subtree belongs to.
void rhs_pass_3(Body& root) {
  const double gravity = root.system ? root.system->gravity : standard_gravity;
  visit_postorder(root, [gravity](Body& body) { rhs_step_3(body, gravity); });
}

// Carriage 2 holds its body at (offset_x, 0); a free planar base has no offset to hold it by.
// Checked before the set-up, so that a tree the right-hand side cannot use is reported at once.
static void check_carriage_links(Mbs& mbs) {
  visit_preorder(*mbs.root, [&mbs](const Body& body) {
    if (body.carriage_link == 2 && body.type == &joint_types[free_planar_base_kind] &&
        mbs.status == MbsStatus::ok)
      mbs.status = MbsStatus::carriage_on_free_base;
  });
}

MbsStatus run_setup_passes(Mbs& mbs) {
  mbs.status = MbsStatus::ok;
  check_carriage_links(mbs);
  setup_pass_a(*mbs.root);
  setup_pass_b(*mbs.root);
  return mbs.status;
}

// Large trees do not fit in the caches. A few bodies ahead of the one in work, fetch the parts of
// the record that the pass reads (the record groups its fields by pass), with write intent since
// the pass writes most of them. Straight-line prefetches, one per cache line: a compiler may drop
// a loop, or a call, that does nothing but prefetch, so everything here is forced inline.
template <std::size_t begin, std::size_t end>
[[gnu::always_inline]] static inline void prefetch_bytes(const char* bytes) {
  constexpr std::size_t line = 64;
  if constexpr (begin < end) {
    __builtin_prefetch(bytes + begin, 1);
    prefetch_bytes<begin + line, end>(bytes);
  }
}

[[gnu::always_inline]] static inline const char* bytes_of(const Body* body) {
  return reinterpret_cast<const char*>(body);
}

[[gnu::always_inline]] static inline void prefetch_for_pass_1(const Body* body) {
  prefetch_bytes<0, offsetof(Body, parent_velocity)>(bytes_of(body));
}

[[gnu::always_inline]] static inline void prefetch_for_pass_2(const Body* body) {
  // Only the base reads more of the joint inertia inverse than its first entry.
  prefetch_bytes<0, offsetof(Body, joint_inertia_inverse) + sizeof(double)>(bytes_of(body));
  prefetch_bytes<offsetof(Body, parent_velocity), offsetof(Body, com)>(bytes_of(body));
}

// The force group ends with the system pointer, which the carriage couplings read.
static_assert(offsetof(Body, system) >= offsetof(Body, velocity) &&
                  offsetof(Body, system) + sizeof(Mbs*) <= offsetof(Body, body_momentum),
              "the system pointer belongs to the lines that pass 3 prefetches");

[[gnu::always_inline]] static inline void prefetch_for_pass_3(const Body* body) {
  prefetch_bytes<0, offsetof(Body, joint_inertia_inverse)>(bytes_of(body));
  prefetch_bytes<offsetof(Body, velocity), offsetof(Body, body_momentum)>(bytes_of(body));
}

// Small trees stay in the caches, where prefetching would only cost instructions.
constexpr std::size_t prefetch_from_bodies = 2048;
constexpr std::size_t prefetch_distance = 8;  // bodies ahead: roughly one memory latency of work

template <typename Prefetch, typename Step>
static inline void visit_in_order(const std::vector<Body*>& order, Prefetch prefetch, Step step) {
  const std::size_t n = order.size();
  if (n < prefetch_from_bodies) {
    for (Body* body : order) step(*body);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + prefetch_distance < n) prefetch(order[i + prefetch_distance]);
    step(*order[i]);
  }
}

// A failure met on the way is recorded in mbs.status; the passes run to the end regardless (there
// is no test per body for it), and the caller discards what they computed.
MbsStatus run_rhs_passes(Mbs& mbs) {
  mbs.status = MbsStatus::ok;
  const double gravity = mbs.gravity;
  visit_in_order(mbs.inward_order, prefetch_for_pass_1, rhs_step_1);
  visit_in_order(mbs.outward_order, prefetch_for_pass_2, rhs_step_2);
  visit_in_order(mbs.inward_order, prefetch_for_pass_3,
                 [gravity](Body& body) { rhs_step_3(body, gravity); });
  return mbs.status;
}
