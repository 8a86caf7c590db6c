#include "stepping/step_preconditioner.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "mbs/body_values.hpp"

// With the mass matrix frozen at q, the stiff part of the Jacobian is
//   d qdot / dp = M^-1,   d pdot / dq = -K,   d pdot / dp = -C M^-1
// with K and C the joints' stiffnesses and dampings on the diagonal plus the tension's springs
// (below) and, for each chain end held by a carriage, L^T k L and L^T c L, where the rows L give
// the held point's world motion (x, y, angle) from the joint rates. Then P [zq; zp] = [rq; rp]
// gives, with v = M^-1 zp:
//   (M + gamma C + gamma^2 K) v = rp - gamma K rq = b,   zp = b - (gamma C + gamma^2 K) v,
//   zq = rq + gamma v.
// The joints' part is one pass of the articulated-body recursion with gamma c + gamma^2 k added
// to each joint's inertia (B below); the ends' part, at most six rows, is a low-rank correction:
//   (B + L^T D L)^-1 = B^-1 - W (I + D L W)^-1 D L B^-1,   W = B^-1 L^T,   D = gamma c + gamma^2 k,
// with W found by six tree solves when the matrix is set up. The free base has no spring of its
// own: its rows keep M. The carriages' pull on the anchors, weak next to the ends' own springs
// (a carriage is some thousand times heavier than a link), is left to the Krylov iterations.

// The applied forces also stiffen the chain as it turns: forces F_b at points P_b give
// d pdot_i / dq_j = -h_k, k = max(i, j) along a chain, h_k = sum over b beyond joint k of
// F_b . (P_b - r_k) with r_k the joint's point. That is sum_k c_k u_k u_k^T with u_k the rates'
// share in body k's absolute angle and c_k = F_k . (P_k - r_k) + f_k+1 . (r_k+1 - r_k), f_k+1
// the force carried beyond body k: a spring c_k on each body's absolute angle. On a rope pulled
// taut it is the tension T times the link's length, and over a step it weighs like the rotational
// inertia gamma^2 c_k added to the body: one more term in the same tree pass. It is taken where
// it stabilises (c_k > 0).

// Contact and drag act on each body through its origin's world motion J_b (x, y, angle): their
// stiffness K_b and damping C_b add J_b^T K_b J_b and J_b^T C_b J_b to K and C, which the tree
// pass takes as the body's added inertia gamma C_b + gamma^2 K_b. Their products with the rates
// are one outward pass for J_b x and one inward for J_b^T f. An element's own turning stiffness is
// in its K_b, so the tension's spring leaves that element's lever out.

// Those are the stiff part in joint rates, not in momenta. A moving rope's momenta depend on its
// configuration strongly (p = M(q) w: turning one joint swings the whole rope beyond it), so the
// Newton matrix in (q, p) holds d qdot / dq = A = -M^-1 (dM/dq) w and its partners, large and
// dense for a rope of many short links. The solve therefore goes to the rates and back, with
// G = M A, G v = -(d/de) M(q + e v) w at fixed w, one difference quotient of the set-up passes:
//   b = rp + G rq - gamma K rq,   (M + gamma C + gamma^2 K) v = b,   zq = rq + gamma v,
//   zp = M v - G zq.

namespace {

struct JointSpring {
  int coordinate;
  double stiffness, damping;
};

template <typename Visit>
void for_each_fused_link(const Mbs& mbs, Visit visit) {
  for (const PassRun& run : mbs.inward_runs) {
    if (run.kernel != PassKernel::fused_run) continue;
    for (int32_t i = run.begin; i < run.end; ++i) {
      const auto at = static_cast<std::size_t>(i);
      const RunForceParameters& spring = mbs.run_force_parameters[at];
      visit(at, JointSpring{mbs.run_joint[at].coordinate, spring.stiffness, spring.damping});
    }
  }
}

double dot(const double a[], const double b[], int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

// v = B^-1 b at the set-up coordinates; v may be b.
MbsStatus tree_solve(Mbs& mbs, StepPreconditioner& preconditioner, const double b[], double v[]) {
  const int n = mbs.coordinate_count;
  std::copy(preconditioner.q.begin(), preconditioner.q.end(), mbs.q);
  std::copy(b, b + n, mbs.p);
  KeptFactors kept{preconditioner.kept_states.data(), preconditioner.factors_kept};
  const MbsStatus status = run_velocity_passes_with_springs(
      mbs, preconditioner.armature.data(), preconditioner.turn_inertia.data(),
      preconditioner.holds_bodies ? preconditioner.added_inertia.data() : nullptr, &kept);
  preconditioner.factors_kept = kept.filled;
  std::copy(mbs.qdot, mbs.qdot + n, v);
  return status;
}

// p = M(q) w by the set-up passes, at the set-up rates w.
void momenta_at(Mbs& mbs, const StepPreconditioner& pc, const double q[], double p[]) {
  const int n = mbs.coordinate_count;
  std::copy(q, q + n, mbs.q);
  std::copy(pc.rates.begin(), pc.rates.end(), mbs.qdot);
  run_momentum_passes_by_runs(mbs);
  std::copy(mbs.p, mbs.p + n, p);
}

// out = G v = -(M(q + e v) - M(q)) w / e; `scratch` holds n values.
void momentum_turn(Mbs& mbs, const StepPreconditioner& pc, const double v[], double out[],
                   double scratch[]) {
  const int n = mbs.coordinate_count;
  double largest_v = 0.0;
  for (int i = 0; i < n; ++i) largest_v = std::max(largest_v, std::fabs(v[i]));
  if (!(largest_v > 0.0)) {
    std::fill(out, out + n, 0.0);
    return;
  }
  const double e = 1.4901161193847656e-08 * pc.q_scale / largest_v;  // sqrt of double's epsilon
  for (int i = 0; i < n; ++i) scratch[i] = pc.q[i] + e * v[i];
  momenta_at(mbs, pc, scratch, out);
  for (int i = 0; i < n; ++i) out[i] = (pc.momenta[i] - out[i]) / e;
}

// The world motion (x, y, angle) of point `at`, fixed to `body`, from every joint rate: a
// revolute joint turns it about the joint's point, the free base also carries it along x and y.
void point_motion_rows(const Mbs& mbs, const Body& body, const Point& at, double* rows[3]) {
  for (const Body* b = &body; b && b != &mbs.ground; b = b->parent) {
    const auto first = b->q - mbs.q;
    const auto turn = first + b->type->coordinate_count - 1;
    rows[0][turn] = b->position[1] - at[1];
    rows[1][turn] = at[0] - b->position[0];
    rows[2][turn] = 1.0;
    if (b->type->coordinate_count == 3) {
      rows[0][first] = 1.0;
      rows[1][first + 1] = 1.0;
    }
  }
}

// A body's coordinate that turns it: the last of its coordinates.
int32_t turn_coordinate(const Mbs& mbs, const Body& body) {
  return static_cast<int32_t>(body.q - mbs.q) + body.type->coordinate_count - 1;
}

bool has_coordinates(const Mbs& mbs, const Body* body) {
  return body && body != &mbs.ground;
}

// out -= scale H x with H the tension's springs on the absolute angles: each body's angle from
// its ancestors' outward, the springs' moments summed over the subtree inward (outward order
// backwards: every child before its parent).
void subtract_tension(const Mbs& mbs, StepPreconditioner& pc, const double x[], double scale,
                      double out[]) {
  const int n = mbs.coordinate_count;
  double* angle = pc.work.data() + 4 * n;
  double* moment = angle + n;
  std::fill(moment, moment + n, 0.0);
  const std::size_t bodies = pc.turns.size();
  for (std::size_t i = 0; i < bodies; ++i) {
    const auto [t, parent] = pc.turns[i];
    angle[t] = (parent < 0 ? 0.0 : angle[parent]) + x[t];
  }
  for (std::size_t i = bodies; i-- > 0;) {
    const auto [t, parent] = pc.turns[i];
    moment[t] += pc.tension[static_cast<std::size_t>(t)] * angle[t];
    out[t] -= scale * moment[t];
    if (parent >= 0) moment[parent] += moment[t];
  }
}

// c_k of a body from the forces of the last table evaluation: its own (the weight at the centre
// of mass, each other element's force at its point of action) and those its children carry, in
// its own axes from their joint points. An element's force is what it adds to the body's running
// total, as the passes add it.
double tension_spring(const Mbs& mbs, const Body& body) {
  const double weight = body_weight(mbs, body);
  const double s = body.sin_abs, co = body.cos_abs;
  double spring = weight * (s * body.com[0] + co * body.com[1]);
  if (body.own_forces != 0) {
    Triple running = body_values::weight(weight, body.com, s, co);
    for (const ForceElement& element : mbs.force_elements) {
      if (!element.type->add_force || !element.acts_on(body)) continue;
      const Triple before = running;
      element.type->add_force(element, body, running);
      if (element.type->body_stiffness) continue;
      const Point at = element.type->point_of_action
                           ? element.type->point_of_action(element, body)
                           : body.position;
      spring += (running[0] - before[0]) * (at[0] - body.position[0]) +
                (running[1] - before[1]) * (at[1] - body.position[1]);
    }
  }
  for (const Body* child = body.first_child; child; child = child->next_sibling) {
    if (!child->type->has_joint_offset) continue;
    spring += child->transmitted_force[0] * child->joint[offset_x] +
              child->transmitted_force[1] * child->joint[offset_y];
  }
  return std::max(spring, 0.0);
}

// The tension springs at y, whose forces the table passes leave in the bodies' records.
MbsStatus take_tension(Simulation& sim, StepPreconditioner& pc, const double y[]) {
  Mbs& mbs = sim.rope.mbs;
  if (hamilton_rhs(sim.time, y, pc.work.data(), &sim) != 0) return mbs.status;
  const MbsStatus status = run_rhs_table_passes(mbs);
  std::fill(pc.tension.begin(), pc.tension.end(), 0.0);
  const double gamma = pc.gamma;
  for (std::size_t at = 0; at < mbs.inward_order.size(); ++at) {
    const Body& body = *mbs.inward_order[at];
    const double spring = tension_spring(mbs, body);
    pc.tension[static_cast<std::size_t>(turn_coordinate(mbs, body))] = spring;
    pc.turn_inertia[at] = gamma * gamma * spring;
  }
  return status;
}

// out -= scale sum_b J_b^T S_b J_b x: the origins' world motion outward from the rates, each
// body's load S_b J_b x, and inward the loads summed over the subtree as force and moment about
// each origin, the moment going to the body's turn, the force also to a free base's x and y.
void subtract_held(StepPreconditioner& pc, const Sym3 springs[], const double x[], double scale,
                   double out[]) {
  const std::size_t bodies = pc.held.size();
  Triple* motion = pc.origin_motion.data();
  Triple* load = pc.held_load.data();
  const Point* origin = pc.origins.data();
  for (std::size_t i = 0; i < bodies; ++i) {
    const auto [first, count, parent] = pc.held[i];
    Triple m{0.0, 0.0, 0.0};
    if (parent >= 0) {
      const auto p = static_cast<std::size_t>(parent);
      const Triple& up = motion[p];
      m = {up[0] - up[2] * (origin[i][1] - origin[p][1]),
           up[1] + up[2] * (origin[i][0] - origin[p][0]), up[2]};
    }
    if (count == 3) {
      m[0] += x[first];
      m[1] += x[first + 1];
    }
    m[2] += x[first + count - 1];
    motion[i] = m;
    load[i] = {0.0, 0.0, 0.0};
  }
  for (std::size_t i = bodies; i-- > 0;) {
    const auto [first, count, parent] = pc.held[i];
    const Sym3& k = springs[i];
    const Triple& m = motion[i];
    Triple& f = load[i];
    f[0] += k[0] * m[0] + k[1] * m[1] + k[2] * m[2];
    f[1] += k[1] * m[0] + k[3] * m[1] + k[4] * m[2];
    f[2] += k[2] * m[0] + k[4] * m[1] + k[5] * m[2];
    if (count == 3) {
      out[first] -= scale * f[0];
      out[first + 1] -= scale * f[1];
    }
    out[first + count - 1] -= scale * f[2];
    if (parent < 0) continue;
    const auto p = static_cast<std::size_t>(parent);
    const double rx = origin[i][0] - origin[p][0], ry = origin[i][1] - origin[p][1];
    load[p][0] += f[0];
    load[p][1] += f[1];
    load[p][2] += f[2] + rx * f[1] - ry * f[0];
  }
}

// Raises the angle's entry of a body's weight, if need be, until the weight is positive
// semidefinite (the load's turn with its lever may soften it): the tree solve needs the added
// inertia not to take away what the body has. Returns the rise.
double rise_to_semidefinite(Sym3& w) {
  const double trace = w[0] + w[3];
  if (!(trace > 0.0)) {
    const double rise = std::max(-w[5], 0.0);
    w[5] += rise;
    return rise;
  }
  const double det = w[0] * w[3] - w[1] * w[1];
  double need;
  if (det > 1e-12 * trace * trace) {
    need = (w[3] * w[2] * w[2] - 2.0 * w[1] * w[2] * w[4] + w[0] * w[4] * w[4]) / det;
  } else {
    // One direction u held: k^T B^+ k = (k . u)^2 / trace.
    double ux = w[0] >= w[3] ? w[0] : w[1], uy = w[0] >= w[3] ? w[1] : w[3];
    const double length = std::hypot(ux, uy);
    ux /= length;
    uy /= length;
    const double along = w[2] * ux + w[4] * uy;
    need = along * along / trace;
  }
  const double rise = std::max(need - w[5], 0.0);
  w[5] += rise;
  return rise;
}

// Each body's share of the spread elements at the set-up placements and velocities, which the
// bodies' records hold.
void take_held(StepPreconditioner& pc, const Mbs& mbs) {
  pc.holds_bodies = false;
  if (pc.held.empty()) return;
  const double gamma = pc.gamma;
  for (std::size_t i = 0; i < pc.held.size(); ++i) {
    const Body& body = *mbs.outward_order[i];
    Sym3 stiffness{}, damping{};
    for (const ForceElement& element : mbs.force_elements)
      if (element.type->body_stiffness && element.acts_on(body))
        element.type->body_stiffness(element, body, stiffness, damping);
    Sym3 weight;
    for (int k = 0; k < 6; ++k) weight[k] = gamma * damping[k] + gamma * gamma * stiffness[k];
    if (gamma > 0.0) stiffness[5] += rise_to_semidefinite(weight) / (gamma * gamma);
    for (int k = 0; k < 6; ++k)
      if (weight[k] != 0.0) pc.holds_bodies = true;
    pc.held_stiffness[i] = stiffness;
    pc.held_weight[i] = weight;
    pc.origins[i] = body.position;
    pc.added_inertia[static_cast<std::size_t>(mbs.inward_position[i])] =
        body_values::inertia_to_body_axes(body.sin_abs, body.cos_abs, weight);
  }
}

// The rows of one held point whose spring-damper is not off, after those already kept.
void add_point_rows(StepPreconditioner& pc, const Mbs& mbs, const PointSpring& spring) {
  const auto n = static_cast<std::size_t>(mbs.coordinate_count);
  double* free_rows = pc.rows.data() + static_cast<std::size_t>(pc.end_rows) * n;
  std::fill(free_rows, free_rows + 3 * n, 0.0);
  double* rows[3] = {free_rows, free_rows + n, free_rows + 2 * n};
  point_motion_rows(mbs, *spring.body, spring.at, rows);
  for (int d = 0; d < 3; ++d) {
    const double weight =
        pc.gamma * spring.damping[d] + pc.gamma * pc.gamma * spring.stiffness[d];
    if (!(weight > 0.0)) continue;
    std::copy(rows[d], rows[d] + n, pc.rows.data() + static_cast<std::size_t>(pc.end_rows) * n);
    pc.stiffness[static_cast<std::size_t>(pc.end_rows)] = spring.stiffness[d];
    pc.weight[static_cast<std::size_t>(pc.end_rows)] = weight;
    ++pc.end_rows;
  }
}

// LU factors with partial pivoting of the m x m matrix a (row-major), in place.
void factor_small(double a[], int pivot[], int m) {
  for (int k = 0; k < m; ++k) {
    int best = k;
    for (int i = k + 1; i < m; ++i)
      if (std::fabs(a[i * m + k]) > std::fabs(a[best * m + k])) best = i;
    pivot[k] = best;
    if (best != k)
      for (int j = 0; j < m; ++j) std::swap(a[k * m + j], a[best * m + j]);
    for (int i = k + 1; i < m; ++i) {
      a[i * m + k] /= a[k * m + k];
      for (int j = k + 1; j < m; ++j) a[i * m + j] -= a[i * m + k] * a[k * m + j];
    }
  }
}

void solve_small(const double a[], const int pivot[], int m, double x[]) {
  // The factors hold whole rows swapped, so every interchange comes first.
  for (int k = 0; k < m; ++k) std::swap(x[k], x[pivot[k]]);
  for (int k = 0; k < m; ++k)
    for (int i = k + 1; i < m; ++i) x[i] -= a[i * m + k] * x[k];
  for (int k = m - 1; k >= 0; --k) {
    for (int j = k + 1; j < m; ++j) x[k] -= a[k * m + j] * x[j];
    x[k] /= a[k * m + k];
  }
}

// A carriage: x' = v, v' = -(a x + b v) + the rope's pull, with a, b per unit mass from its drive
// and chain-end springs. Its 2x2 block of P solved exactly.
void solve_carriage(const Carriages& c, int k, double gamma, const double r[2], double z[2]) {
  const double a = (c.drive_stiffness[k] + c.coupling[k].stiffness_x) / c.carriage_mass[k];
  const double b = (c.drive_damping[k] + c.coupling[k].damping_x) / c.carriage_mass[k];
  const double diagonal = 1.0 + gamma * b;
  const double determinant = diagonal + gamma * gamma * a;
  z[0] = (diagonal * r[0] + gamma * r[1]) / determinant;
  z[1] = (r[1] - gamma * a * r[0]) / determinant;
}

// The point springs' rows at the set-up coordinates, whose placements the bodies' records hold.
void take_point_rows(StepPreconditioner& pc, const Mbs& mbs) {
  pc.end_rows = 0;
  for (const ForceElement& element : mbs.force_elements) {
    PointSpring spring;
    if (element.type->point_spring && element.type->point_spring(element, spring))
      add_point_rows(pc, mbs, spring);
  }
}

// Three rows (x, y, angle) for every element that may hold a point.
std::size_t most_point_rows(const Mbs& mbs) {
  std::size_t rows = 0;
  for (const ForceElement& element : mbs.force_elements)
    if (element.type->point_spring) rows += 3;
  return rows;
}

}  // namespace

bool make_step_preconditioner(StepPreconditioner& preconditioner, const Simulation& sim) {
  const auto n = static_cast<std::size_t>(sim.layout.coordinates);
  try {
    const Mbs& mbs = sim.rope.mbs;
    preconditioner.turns.clear();
    preconditioner.turns.reserve(mbs.outward_order.size());
    for (const Body* body : mbs.outward_order)
      preconditioner.turns.push_back(
          {turn_coordinate(mbs, *body),
           has_coordinates(mbs, body->parent) ? turn_coordinate(mbs, *body->parent) : -1});
    preconditioner.armature.assign(sim.rope.mbs.run_joint.size(), 0.0);
    preconditioner.kept_states.assign(sim.rope.mbs.run_state.size(), RunPassState{});
    preconditioner.factors_kept = false;
    preconditioner.turn_inertia.assign(sim.rope.mbs.run_joint.size(), 0.0);
    preconditioner.tension.assign(n, 0.0);
    preconditioner.q.assign(n, 0.0);
    preconditioner.rates.assign(n, 0.0);
    preconditioner.momenta.assign(n, 0.0);
    const std::size_t m = most_point_rows(mbs);
    preconditioner.rows.assign(m * n, 0.0);
    preconditioner.solved_rows.assign(m * n, 0.0);
    preconditioner.stiffness.assign(m, 0.0);
    preconditioner.weight.assign(m, 0.0);
    preconditioner.capacitance.assign(m * m, 0.0);
    preconditioner.pivot.assign(m, 0);
    preconditioner.correction.assign(m, 0.0);
    preconditioner.work.assign(6 * n, 0.0);
    const bool spread = std::any_of(mbs.force_elements.begin(), mbs.force_elements.end(),
                                    [](const ForceElement& e) { return e.type->body_stiffness; });
    const std::size_t bodies = spread ? mbs.outward_order.size() : 0;
    preconditioner.held.clear();
    preconditioner.held.reserve(bodies);
    // A body's outward position by its first coordinate, for its children to find.
    std::vector<int32_t> body_at(spread ? n : 0, -1);
    for (std::size_t i = 0; i < bodies; ++i) {
      const Body& body = *mbs.outward_order[i];
      const auto first = static_cast<int32_t>(body.q - mbs.q);
      body_at[static_cast<std::size_t>(first)] = static_cast<int32_t>(i);
      const int32_t parent = has_coordinates(mbs, body.parent)
                                 ? body_at[static_cast<std::size_t>(body.parent->q - mbs.q)]
                                 : -1;
      preconditioner.held.push_back({first, body.type->coordinate_count, parent});
    }
    preconditioner.held_stiffness.assign(bodies, Sym3{});
    preconditioner.held_weight.assign(bodies, Sym3{});
    preconditioner.added_inertia.assign(bodies, Sym3{});
    preconditioner.origins.assign(bodies, Point{});
    preconditioner.origin_motion.assign(bodies, Triple{});
    preconditioner.held_load.assign(bodies, Triple{});
    preconditioner.holds_bodies = false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

MbsStatus set_up_step_preconditioner(Simulation& sim, StepPreconditioner& pc, const double y[],
                                     double gamma) {
  Mbs& mbs = sim.rope.mbs;
  const int n = sim.layout.coordinates;
  std::copy(y, y + n, pc.q.begin());
  pc.factors_kept = false;  // new coordinates and springs
  pc.q_scale = 1.0;
  for (int i = 0; i < n; ++i) pc.q_scale = std::max(pc.q_scale, std::fabs(y[i]));
  pc.gamma = gamma;
  double* armature = pc.armature.data();
  for_each_fused_link(mbs, [&](std::size_t at, const JointSpring& joint) {
    armature[at] = gamma * joint.damping + gamma * gamma * joint.stiffness;
  });
  MbsStatus status = take_tension(sim, pc, y);
  // w = M^-1 p, with the placements the end rows need.
  const StateLayout& l = sim.layout;
  std::copy(y, y + n, mbs.q);
  std::copy(y + l.momenta_start, y + l.momenta_start + n, mbs.p);
  if (status == MbsStatus::ok) status = run_velocity_passes(mbs);
  update_body_records(mbs);
  std::copy(mbs.qdot, mbs.qdot + n, pc.rates.begin());
  take_point_rows(pc, mbs);
  take_held(pc, mbs);
  momenta_at(mbs, pc, y, pc.momenta.data());
  const int m = pc.end_rows;
  for (int j = 0; j < m && status == MbsStatus::ok; ++j) {
    const std::size_t at = static_cast<std::size_t>(j) * static_cast<std::size_t>(n);
    status = tree_solve(mbs, pc, pc.rows.data() + at, pc.solved_rows.data() + at);
  }
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) {
      const double* row = pc.rows.data() + static_cast<std::size_t>(i) * n;
      const double* solved = pc.solved_rows.data() + static_cast<std::size_t>(j) * n;
      pc.capacitance[static_cast<std::size_t>(i * m + j)] =
          (i == j ? 1.0 : 0.0) + pc.weight[static_cast<std::size_t>(i)] * dot(row, solved, n);
    }
  factor_small(pc.capacitance.data(), pc.pivot.data(), m);
  return status;
}

MbsStatus solve_step_preconditioner(Simulation& sim, StepPreconditioner& pc, const double r[],
                                    double z[]) {
  Mbs& mbs = sim.rope.mbs;
  const int n = sim.layout.coordinates;
  const int m = pc.end_rows;
  const double gamma = pc.gamma;
  const StateLayout& l = sim.layout;
  const double* rq = r;
  const double* rp = r + l.momenta_start;
  double* b = pc.work.data();
  double* v = b + n;
  double* turn = v + n;
  double* scratch = turn + n;
  auto row = [&](int i) { return pc.rows.data() + static_cast<std::size_t>(i) * n; };
  // b = rp + G rq - gamma K rq
  momentum_turn(mbs, pc, rq, turn, scratch);
  for (int i = 0; i < n; ++i) b[i] = rp[i] + turn[i];
  for_each_fused_link(mbs, [&](std::size_t, const JointSpring& joint) {
    b[joint.coordinate] -= gamma * joint.stiffness * rq[joint.coordinate];
  });
  for (int i = 0; i < m; ++i) {
    const double pull = gamma * pc.stiffness[static_cast<std::size_t>(i)] * dot(row(i), rq, n);
    for (int j = 0; j < n; ++j) b[j] -= pull * row(i)[j];
  }
  subtract_tension(mbs, pc, rq, gamma, b);
  if (pc.holds_bodies) subtract_held(pc, pc.held_stiffness.data(), rq, gamma, b);
  // v = (B + L^T D L)^-1 b
  const MbsStatus status = tree_solve(mbs, pc, b, v);
  double* correction = pc.correction.data();
  for (int i = 0; i < m; ++i)
    correction[i] = pc.weight[static_cast<std::size_t>(i)] * dot(row(i), v, n);
  solve_small(pc.capacitance.data(), pc.pivot.data(), m, correction);
  for (int i = 0; i < m; ++i) {
    const double* solved = pc.solved_rows.data() + static_cast<std::size_t>(i) * n;
    for (int j = 0; j < n; ++j) v[j] -= correction[i] * solved[j];
  }
  // zq = rq + gamma v,  zp = M v - G zq = b - (gamma C + gamma^2 K) v - G zq
  double* zq = z;
  double* zp = z + l.momenta_start;
  for (int i = 0; i < n; ++i) zq[i] = rq[i] + gamma * v[i];
  momentum_turn(mbs, pc, zq, turn, scratch);
  for (int i = 0; i < n; ++i) zp[i] = b[i] - turn[i];
  const double* armature = pc.armature.data();
  for_each_fused_link(mbs, [&](std::size_t at, const JointSpring& joint) {
    zp[joint.coordinate] -= armature[at] * v[joint.coordinate];
  });
  for (int i = 0; i < m; ++i) {
    const double push = pc.weight[static_cast<std::size_t>(i)] * dot(row(i), v, n);
    for (int j = 0; j < n; ++j) zp[j] -= push * row(i)[j];
  }
  subtract_tension(mbs, pc, v, gamma * gamma, zp);
  if (pc.holds_bodies) subtract_held(pc, pc.held_weight.data(), v, 1.0, zp);
  const Carriages& c = sim.rope.carriages;
  const int x = l.carriages_start;
  for (int k = 0; k < 2; ++k) solve_carriage(c, k, gamma, r + x + 2 * k, z + x + 2 * k);
  return status;
}
