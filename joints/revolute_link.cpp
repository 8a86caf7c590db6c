// Revolute link (type 0): one angle q of the body frame relative to the parent's frame; the joint
// point sits at (offset_x, offset_y) in the parent's axes; a torsional spring-damper acts on q.
//
// The composite momentum of the body with its subtree is H = A u + b (A articulated inertia,
// u body velocity, b momentum bias), and the joint momentum is p = H[2]. Inward, each link hands
// its parent A with the joint direction eliminated; outward, p fixes qdot; inward again, forces
// give pdot.
// Streaming stores on x86-64; other targets (the web build) copy the line plainly.
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "joints/joint_operations.hpp"
#include "joints/revolute_values.hpp"
#include "mbs/body_prefetch.hpp"
#include "mbs/body_values.hpp"

using namespace revolute_values;

namespace revolute_link {

void construct(Body& body) {
  body.transmitted_inertia = {};
  body.articulated_inertia = {};
  // Uniform rod, 0.04 kg, 0.04 m, about its end. The 33 entry is the nearest double to 0.04^3/3;
  // computing 0.04*0.04*0.04/3 in doubles would round differently.
  body.inertia = {0.04, 0.0, 0.0, 0.04, 0.0008, 2.1333333333333335e-05};
  body.com = {0.02, 0.0};
  body.joint[offset_x] = 0.04;
  body.joint[offset_y] = 0.0;
  body.joint_damping[0] = 0.01;   // N m s/rad
  body.joint_stiffness[0] = 5.5;  // N m/rad
  body.joint_rest[0] = 0.0;
  body.own_forces = 0;
}

void invert_joint_inertia(Body& body) {
  body.joint_inertia_inverse[0] = 1.0 / body.articulated_inertia[5];
}

// transmitted = V^T N V with N = A - A e3 j e3^T A; N has a zero third row and column, so only
// its 2x2 block is turned into the parent's axes and moved to the parent's origin.
void transmit_inertia(Body& body) {
  const ReducedInertia n = reduced_inertia(body.articulated_inertia, body.joint_inertia_inverse[0]);
  body.reduced_inertia[0] = n.n11;
  body.reduced_inertia[1] = n.n12;
  body.reduced_inertia[3] = n.n22;
  body.transmitted_inertia = revolute_values::transmitted_inertia(joint_frame_of(body), n);
}

void transmit_momentum_bias(Body& body) {
  body.transmitted_momentum_bias = revolute_values::transmitted_momentum_bias(
      joint_frame_of(body), body.articulated_inertia, body.momentum_bias, *body.p,
      body.joint_inertia_inverse[0]);
}

void joint_velocity(Body& body) {
  *body.qdot = joint_rate(body.articulated_inertia, body.momentum_bias[2], body.parent_velocity,
                          *body.p, body.joint_inertia_inverse[0]);
}

void joint_momentum_rate(Body& body) {
  *body.pdot = momentum_rate(body, body.composite_momentum, body.velocity, body.total_force[2],
                             *body.q, *body.qdot);
}

void transmit_force(Body& body) {
  body.transmitted_force = to_parent_force(joint_frame_of(body), body.total_force);
}

void composite_momentum(Body& body) {
  body.composite_momentum = revolute_values::composite_momentum(
      body.articulated_inertia, body.velocity, body.momentum_bias, *body.p);
}

void transmit_momentum(Body& body) {
  body.transmitted_momentum = to_parent_force(joint_frame_of(body), body.composite_momentum);
}

void initial_joint_momentum(Body& body) {
  *body.p = body.composite_momentum[2];
}

}  // namespace revolute_link

void revolute_joint_transform(Body& body) {
  revolute_values::joint_transform(body);
}

// The velocity the body frame would have with qdot = 0.
void revolute_parent_velocity(Body& body) {
  body.parent_velocity = to_body_velocity(joint_frame_of(body), body.parent->velocity);
}

void revolute_body_velocity(Body& body) {
  body.velocity = revolute_values::body_velocity(body.parent_velocity, *body.qdot);
}

void revolute_absolute_placement(Body& body) {
  store_placement(body, placement(joint_frame_of(body), placement_of(*body.parent), *body.q));
}

// Fused right-hand-side kernels over runs of links. Each link computes exactly what its table
// operations compute, but what it hands to the next link of the run (transmitted inertia and
// bias inward, velocity and placement outward, transmitted force inward) stays in locals, what
// the passes hand each other goes through the system's compact RunPassState, and the parameters
// come from the system's compact copies (RunJoint and the others), all by inward position. The
// records are read only where a run meets other bodies, and written only in pass 2 (placement
// and velocity, for the callers) and at the end of a run (what it hands its parent).
// Intermediates such as the joint record's sin and cos, the reduced inertia or the link's forces
// are left as they were; the table path (run_rhs_table_passes) fills them.
namespace {

struct HandedUp {
  Sym3 inertia;
  Triple bias;
};

// The compact data and coordinate arrays the kernels work on, by inward position.
struct LinkPassData {
  const RunJoint* joint;
  const Sym3* inertia;
  const RunForceParameters* force;
  RunPassState* state;
  RunMotion* motion;
  const double* q;
  const double* p;
  double* qdot;
  double* pdot;
};

LinkPassData pass_data_of(Mbs& mbs) {
  return {mbs.run_joint.data(),
          mbs.run_inertia.data(),
          mbs.run_force_parameters.data(),
          mbs.run_kept ? mbs.run_kept->states : mbs.run_state.data(),
          mbs.run_motion.data(),
          mbs.q,
          mbs.p,
          mbs.qdot,
          mbs.pdot};
}

[[gnu::always_inline]] inline JointFrame frame_of(const RunPassState& st, const RunJoint& k) {
  return {st.joint_sin, st.joint_cos, k.offset_x, k.offset_y};
}

// Pass 1 of one link from its accumulated inertia and bias.
// N u for a symmetric N.
inline Triple sym_times(const Sym3& n, const Triple& u) {
  return {n[0] * u[0] + n[1] * u[1] + n[2] * u[2], n[1] * u[0] + n[3] * u[1] + n[4] * u[2],
          n[2] * u[0] + n[4] * u[1] + n[5] * u[2]};
}

// The bias handed up through a joint with an armature (j = 1 / (a33 + d)), in full.
Triple armed_bias_up(const JointFrame& r, const Sym3& a, const Triple& b, double p, double j) {
  const double t = (p - b[2]) * j;
  return to_parent_force(r, {t * a[2] + b[0], t * a[4] + b[1], t * a[5] + b[2]});
}

// Pass 1's hand-up with an armature d on the joint (j = 1 / (a33 + d)). The reduced inertia
// N = a - a s s^T a j then keeps a rotational part (a33 d j), and the subtree's angular momentum
// falls short of p by the armature's share, so the planar shortcuts of the plain step do not hold:
// V^T N V column by column, and the bias in full.
HandedUp armed_hand_up(const JointFrame& r, const Sym3& a, const Triple& b, double p, double j) {
  const Sym3 n = {a[0] - a[2] * a[2] * j, a[1] - a[2] * a[4] * j, a[2] - a[2] * a[5] * j,
                  a[3] - a[4] * a[4] * j, a[4] - a[4] * a[5] * j, a[5] - a[5] * a[5] * j};
  Triple column[3];
  for (int k = 0; k < 3; ++k) {
    Triple unit{};
    unit[k] = 1.0;
    column[k] = to_parent_force(r, sym_times(n, to_body_velocity(r, unit)));
  }
  return {{column[0][0], column[1][0], column[2][0], column[1][1], column[2][1], column[2][2]},
          armed_bias_up(r, a, b, p, j)};
}

// With an armature d the joint's inertia is a33 + d: the rates then solve (M + diag(d)) v = p.
template <bool armed>
[[gnu::always_inline]] inline HandedUp link_inertia_step(RunPassState& st, const JointFrame& r,
                                                         const Sym3& a, const Triple& b, double p,
                                                         double armature) {
  st.articulated_inertia = a;
  st.momentum_bias = b;
  double joint_inertia = a[5];
  if constexpr (armed) joint_inertia = joint_inertia + armature;
  const double j = 1.0 / joint_inertia;
  st.joint_inertia_inverse = j;
  st.joint_sin = r.s;
  st.joint_cos = r.c;
  if constexpr (armed) return armed_hand_up(r, a, b, p, j);
  const ReducedInertia n = reduced_inertia(a, j);
  return {revolute_values::transmitted_inertia(r, n),
          revolute_values::transmitted_momentum_bias(r, a, b, p, j)};
}

// sin q and cos q: the joint transform, kept in the compact state (the record's joint record is
// left as it was).
[[gnu::always_inline]] inline JointFrame link_frame(const RunJoint& k, double q) {
  return {std::sin(q), std::cos(q), k.offset_x, k.offset_y};
}

// Pass 1 of a link whose only child handed up `child_up`: the sums of accumulate_inertia.
template <bool armed>
[[gnu::always_inline]] inline HandedUp chained_inertia_step(const RunJoint& k, const Sym3& inertia,
                                                            RunPassState& st, double q, double p,
                                                            const HandedUp& child_up,
                                                            double armature, double turn,
                                                            const Sym3* added) {
  const JointFrame r = link_frame(k, q);
  // Unrolled even at -O2, so that the sums stay in registers instead of a stack array.
  Sym3 a;
#pragma GCC unroll 6
  for (int i = 0; i < 6; ++i) a[i] = inertia[i] + child_up.inertia[i];
  if constexpr (armed) {
    a[5] = a[5] + turn;
    if (added) {
#pragma GCC unroll 6
      for (int i = 0; i < 6; ++i) a[i] = a[i] + (*added)[i];
    }
  }
  Triple b;
#pragma GCC unroll 3
  for (int i = 0; i < 3; ++i) b[i] = 0.0 + child_up.bias[i];
  return link_inertia_step<armed>(st, r, a, b, p, armature);
}

// The weights and the other force elements in body axes. The other elements work on the record,
// which pass 2 has brought up to date.
[[gnu::always_inline]] inline Triple link_own_force(const LinkPassData& d, std::size_t at,
                                                    Body* const& body) {
  const RunMotion& motion = d.motion[at];
  const double s = motion.sin_abs, c = motion.cos_abs;
  Triple applied = body_values::weight(d.force[at].weight, d.force[at].com, s, c);
  if (d.joint[at].own_forces != 0) [[unlikely]] {
    body->applied_force = applied;
    add_own_forces(*body, body->applied_force);
    applied = body->applied_force;
  }
  return body_values::rotate_to_body(s, c, applied);
}

// Pass 3 of one link from its total force; returns the force handed to the parent.
[[gnu::always_inline]] inline Triple link_force_step(const LinkPassData& d, std::size_t at,
                                                     const Triple& total) {
  const RunJoint& k = d.joint[at];
  const RunForceParameters& f = d.force[at];
  const RunPassState& st = d.state[at];
  const int32_t c = k.coordinate;
  const Triple u = d.motion[at].velocity;
  const Triple h =
      revolute_values::composite_momentum(st.articulated_inertia, u, st.momentum_bias, d.p[c]);
  d.pdot[c] = momentum_rate(h, u, total[2], d.q[c], d.qdot[c], f.damping, f.stiffness, f.rest);
  return to_parent_force(frame_of(st, k), total);
}

// Copies a link's placement and velocity line into its record, where the callers read them.
// On trees too large for the caches a streaming store: the line goes to memory without being read
// first.
[[gnu::always_inline]] inline void write_back(Body& body, const RunMotion& motion, bool stream) {
#if defined(__SSE2__)
  if (stream) {
    double* to = body.velocity.data();
    const double* from = &motion.velocity[0];
    for (int k = 0; k < 8; k += 2) _mm_stream_pd(to + k, _mm_load_pd(from + k));
    return;
  }
#else
  (void)stream;  // no streaming stores on this target: the plain copy below
#endif
  body.velocity = motion.velocity;
  store_placement(body, {motion.sin_abs, motion.cos_abs, motion.position, motion.angle});
}

}  // namespace

namespace revolute_link {

template <bool armed>
void inertia_run_of(Mbs& mbs, const PassRun& run) {
  const LinkPassData d = pass_data_of(mbs);
  const double* armature = mbs.run_armature;
  const double* turn = mbs.run_turn_inertia;
  auto turn_of = [turn](std::size_t i) { return turn ? turn[i] : 0.0; };
  // A whole added inertia per body (the force elements' stiffness over the step), in body axes.
  const Sym3* added = armed ? mbs.run_added_inertia : nullptr;
  auto added_of = [added](std::size_t i) { return added ? added + i : nullptr; };
  const std::size_t begin = static_cast<std::size_t>(run.begin);
  const std::size_t end = static_cast<std::size_t>(run.end);
  Body& first = *mbs.inward_order[begin];
  const RunJoint& k0 = d.joint[begin];
  const JointFrame r = link_frame(k0, d.q[k0.coordinate]);
  accumulate_inertia(first);
  Sym3 a0 = first.articulated_inertia;
  if constexpr (armed) {
    a0[5] = a0[5] + turn_of(begin);
    if (added)
      for (int i = 0; i < 6; ++i) a0[i] = a0[i] + added[begin][i];
  }
  HandedUp up = link_inertia_step<armed>(d.state[begin], r, a0, first.momentum_bias,
                                         d.p[k0.coordinate], armed ? armature[begin] : 0.0);
  for (std::size_t i = begin + 1; i < end; ++i) {
    const RunJoint& k = d.joint[i];
    up = chained_inertia_step<armed>(k, d.inertia[i], d.state[i], d.q[k.coordinate],
                                     d.p[k.coordinate], up, armed ? armature[i] : 0.0,
                                     armed ? turn_of(i) : 0.0, added_of(i));
  }
  Body& last = *mbs.inward_order[end - 1];
  last.transmitted_inertia = up.inertia;
  last.transmitted_momentum_bias = up.bias;
}

// Pass 1 of a run whose inertia a solve at the same coordinates and springs has kept: only the
// momenta's bias goes up through the kept states, summed as the full pass sums it. The run's last
// link hands up its inertia too, for the bodies beyond the run.
void bias_run(Mbs& mbs, const PassRun& run) {
  const LinkPassData d = pass_data_of(mbs);
  const std::size_t begin = static_cast<std::size_t>(run.begin);
  const std::size_t last = static_cast<std::size_t>(run.end) - 1;
  Body& first = *mbs.inward_order[begin];
  accumulate_inertia(first);
  Triple b = first.momentum_bias;
  for (std::size_t i = begin; i < last; ++i) {
    RunPassState& st = d.state[i];
    st.momentum_bias = b;
    const double p = d.p[d.joint[i].coordinate];
    const Triple up =
        armed_bias_up(frame_of(st, d.joint[i]), st.articulated_inertia, b, p, st.joint_inertia_inverse);
#pragma GCC unroll 3
    for (int k = 0; k < 3; ++k) b[k] = 0.0 + up[k];
  }
  RunPassState& st = d.state[last];
  st.momentum_bias = b;
  const HandedUp up = armed_hand_up(frame_of(st, d.joint[last]), st.articulated_inertia, b,
                                    d.p[d.joint[last].coordinate], st.joint_inertia_inverse);
  Body& last_body = *mbs.inward_order[last];
  last_body.transmitted_inertia = up.inertia;
  last_body.transmitted_momentum_bias = up.bias;
}

void inertia_run(Mbs& mbs, const PassRun& run) {
  if (mbs.run_kept && mbs.run_kept->filled)
    bias_run(mbs, run);
  else if (mbs.run_armature)
    inertia_run_of<true>(mbs, run);
  else
    inertia_run_of<false>(mbs, run);
}

// Each outward position in the run whose record other bodies read during an evaluation.
template <typename Visit>
void for_each_kept_record(const Mbs& mbs, const PassRun& run, Visit visit) {
  const int32_t* kept_end = mbs.kept_records.data() + mbs.kept_records.size();
  for (const int32_t* kept = std::lower_bound(mbs.kept_records.data(), kept_end, run.begin);
       kept != kept_end && *kept < run.end; ++kept)
    visit(*kept);
}

void velocity_run(Mbs& mbs, const PassRun& run) {
  const LinkPassData d = pass_data_of(mbs);
  Body* const* order = mbs.outward_order.data();
  const int32_t* inward = mbs.inward_position.data();
  const std::size_t begin = static_cast<std::size_t>(run.begin);
  const std::size_t end = static_cast<std::size_t>(run.end);
  const Body& top_parent = *order[begin]->parent;
  Triple parent_velocity = top_parent.velocity;
  Placement parent_placement = placement_of(top_parent);
  for (std::size_t i = begin; i < end; ++i) {
    const int32_t at = inward[i];
    const RunPassState& st = d.state[at];
    const RunJoint& k = d.joint[at];
    const int32_t c = k.coordinate;
    const JointFrame r = frame_of(st, k);
    const Triple w = to_body_velocity(r, parent_velocity);
    const double qdot = joint_rate(st.articulated_inertia, st.momentum_bias[2], w, d.p[c],
                                   st.joint_inertia_inverse);
    d.qdot[c] = qdot;
    parent_velocity = revolute_values::body_velocity(w, qdot);
    parent_placement = placement(r, parent_placement, d.q[c]);
    d.motion[at] = {parent_velocity, parent_placement.sin_abs, parent_placement.cos_abs,
                    parent_placement.position, parent_placement.angle};
  }
  // Only the records that other bodies read before the evaluation ends; update_body_records
  // brings the others up to date when the callers want them.
  for_each_kept_record(mbs, run, [&](int32_t at) {
    write_back(*order[at], d.motion[inward[at]], false);
  });
}

// The momentum passes' outward half over a run: each link's velocity from its parent's and its
// rate, as joint_transform, parent_velocity and body_velocity give it; kept in the compact
// arrays, and in the records other bodies read.
void momentum_velocity_run(Mbs& mbs, const PassRun& run) {
  const LinkPassData d = pass_data_of(mbs);
  Body* const* order = mbs.outward_order.data();
  const int32_t* inward = mbs.inward_position.data();
  const std::size_t begin = static_cast<std::size_t>(run.begin);
  const std::size_t end = static_cast<std::size_t>(run.end);
  Triple parent_velocity = order[begin]->parent->velocity;
  for (std::size_t i = begin; i < end; ++i) {
    const int32_t at = inward[i];
    const RunJoint& k = d.joint[at];
    const JointFrame r = link_frame(k, d.q[k.coordinate]);
    d.state[at].joint_sin = r.s;
    d.state[at].joint_cos = r.c;
    parent_velocity = revolute_values::body_velocity(to_body_velocity(r, parent_velocity),
                                                     d.qdot[k.coordinate]);
    d.motion[at].velocity = parent_velocity;
  }
  for_each_kept_record(mbs, run, [&](int32_t at) {
    order[at]->velocity = d.motion[inward[at]].velocity;
  });
}

// Its inward half: each link's momentum and what its subtree hands up, as compute_body_momentum,
// accumulate_momentum, transmit_momentum and initial_joint_momentum give them.
void momentum_sum_run(Mbs& mbs, const PassRun& run) {
  const LinkPassData d = pass_data_of(mbs);
  const std::size_t begin = static_cast<std::size_t>(run.begin);
  const std::size_t end = static_cast<std::size_t>(run.end);
  const Body& first = *mbs.inward_order[begin];
  Triple h = body_values::body_momentum(d.inertia[begin], d.motion[begin].velocity);
  for (const Body* child = first.first_child; child; child = child->next_sibling)
    for (int i = 0; i < 3; ++i) h[i] += child->transmitted_momentum[i];
  for (std::size_t i = begin;;) {
    const RunJoint& k = d.joint[i];
    mbs.p[k.coordinate] = h[2];
    const Triple up = to_parent_force(frame_of(d.state[i], k), h);
    if (++i == end) {
      mbs.inward_order[end - 1]->transmitted_momentum = up;
      return;
    }
    h = body_values::body_momentum(d.inertia[i], d.motion[i].velocity);
    for (int j = 0; j < 3; ++j) h[j] += up[j];
  }
}

void store_records(Mbs& mbs, const PassRun& run, bool stream) {
  Body* const* order = mbs.outward_order.data();
  const int32_t* inward = mbs.inward_position.data();
  const RunMotion* motion = mbs.run_motion.data();
  for (int32_t i = run.begin; i < run.end; ++i) write_back(*order[i], motion[inward[i]], stream);
#if defined(__SSE2__)
  if (stream) _mm_sfence();
#endif
}

// In inward order a link follows the one before it when that one is its only child.
bool continues_inward_run(const Body& body, const Body& previous) {
  return body.first_child == &previous && !previous.next_sibling;
}

// In outward order a link follows its parent.
bool continues_outward_run(const Body& body, const Body& previous) {
  return body.parent == &previous;
}

void pack_parameters(Mbs& mbs, const PassRun& run) {
  for (int32_t k = run.begin; k < run.end; ++k) {
    const Body& body = *mbs.inward_order[k];
    RunJoint& joint = mbs.run_joint[k];
    joint.offset_x = body.joint[offset_x];
    joint.offset_y = body.joint[offset_y];
    joint.own_forces = body.own_forces;
    mbs.run_inertia[k] = body.inertia;
    mbs.run_force_parameters[k] = {body_weight(mbs, body),
                                    body.com,
                                    body.joint_damping[0],
                                    body.joint_stiffness[0],
                                    body.joint_rest[0]};
  }
}

void force_run(Mbs& mbs, const PassRun& run) {
  const LinkPassData d = pass_data_of(mbs);
  Body* const* order = mbs.inward_order.data();
  const std::size_t begin = static_cast<std::size_t>(run.begin);
  const std::size_t end = static_cast<std::size_t>(run.end);
  Triple total = body_values::total_force(*order[begin], link_own_force(d, begin, order[begin]));
  Triple up = link_force_step(d, begin, total);
  for (std::size_t i = begin + 1; i < end; ++i) {
    const Triple own = link_own_force(d, i, order[i]);
#pragma GCC unroll 3
    for (int k = 0; k < 3; ++k) total[k] = own[k] + up[k];
    up = link_force_step(d, i, total);
  }
  order[end - 1]->transmitted_force = up;
}

}  // namespace revolute_link
