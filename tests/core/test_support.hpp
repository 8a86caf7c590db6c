// Helpers shared by the core tests: tree building, an independent kinematic model of a body tree
// (world poses, mass matrix and potential energy computed from the link geometry alone, never
// through the passes), a small dense solver, energies, and a fixed-step RK4 on (q, p).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <ostream>
#include <random>
#include <utility>
#include <vector>

#include "forces/gravity.hpp"
#include "joints/joint_types.hpp"
#include "mbs/mbs.hpp"
#include "rope/rope_model.hpp"

// Failed expectations on a status name it.
inline void PrintTo(MbsStatus status, std::ostream* out) {
  *out << static_cast<int>(status) << " (" << mbs_status_message(status) << ")";
}

namespace core_test {

constexpr double pi = 3.14159265358979323846;

// ---------------------------------------------------------------------------------------------
// Tree building

// A body tree owned by the test, under standard gravity: bodies never move once linked (the
// vector is sized once).
struct Tree {
  explicit Tree(std::size_t count) : bodies(count) {}
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  BodyArray bodies;
  Gravity gravity;
  Mbs mbs;
  Body& operator[](std::size_t i) { return bodies[i]; }
  int index_of(const Body& body) const { return static_cast<int>(&body - bodies.data()); }
};

// The rope as the application assembles it, from `parameters`.
inline std::unique_ptr<RopeModel> assembled_rope(const RopeParameters& parameters = {}) {
  auto rope = std::make_unique<RopeModel>();
  EXPECT_EQ(assemble_rope(*rope, parameters), MbsStatus::ok);
  return rope;
}

// The rope of `links` links without damping and without carriages: a conservative system.
inline std::unique_ptr<RopeModel> conservative_rope(int links = 24) {
  RopeParameters parameters;
  parameters.links = links;
  auto rope = assembled_rope(parameters);
  for (Body& body : rope->bodies) body.joint_damping = {0.0, 0.0, 0.0};
  rope->mbs.force_elements = {gravity_on_every_body(rope->gravity)};
  refresh_run_parameters(rope->mbs);
  return rope;
}

// One body of a tree description: its type number and the index of its parent (-1: the root).
// Parents come before their children; children are attached in the order listed.
struct BodyEntry {
  int type_number;
  int parent;
};

inline std::unique_ptr<Tree> build_tree(const std::vector<BodyEntry>& entries) {
  auto tree = std::make_unique<Tree>(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    init_body(tree->bodies[i], entries[i].type_number);
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].parent >= 0) attach_body(tree->bodies[i], tree->bodies[entries[i].parent]);
  set_root(tree->mbs, tree->bodies[0]);
  tree->mbs.force_elements = {gravity_on_every_body(tree->gravity)};
  EXPECT_EQ(init_coordinates(tree->mbs), MbsStatus::ok);
  return tree;
}

// A free planar base (body 0) carrying a chain of `links` revolute links.
inline std::unique_ptr<Tree> build_chain(int links) {
  std::vector<BodyEntry> entries{{free_planar_base_kind, -1}};
  for (int k = 1; k <= links; ++k) entries.push_back({revolute_link_kind, k - 1});
  return build_tree(entries);
}

// A branched tree: a free base with two revolute chains, the first of which branches again.
//   0 base
//   +- 1 A1 - 2 A2 -+- 3 A3
//   |               +- 4 C1 - 5 C2
//   +- 6 B1 - 7 B2
inline std::unique_ptr<Tree> build_branched_tree() {
  return build_tree({{free_planar_base_kind, -1},
                     {revolute_link_kind, 0},
                     {revolute_link_kind, 1},
                     {revolute_link_kind, 2},
                     {revolute_link_kind, 2},
                     {revolute_link_kind, 4},
                     {revolute_link_kind, 0},
                     {revolute_link_kind, 6}});
}

inline bool is_kind(const Body& body, int kind) {
  return body.type == &joint_types[kind];
}

// Sets mass, centre of mass and moment of inertia about the origin consistently:
// inertia = (m, 0, -m cy, m, m cx, J).
inline void set_mass_properties(Body& body, double m, double cx, double cy, double j_origin) {
  body.inertia = {m, 0.0, -m * cy, m, m * cx, j_origin};
  body.com = {cx, cy};
}

// Damping off: a conservative system (gravity and joint springs only).
inline void make_conservative(Tree& tree) {
  for (Body& body : tree.bodies) body.joint_damping = {0.0, 0.0, 0.0};
  refresh_run_parameters(tree.mbs);
}

// Random but physical parameters on every body: offsets off the x axis, centres of mass off the
// x axis, masses, inertias, springs with nonzero rest values. Damping stays 0.
inline void randomise_parameters(Tree& tree, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  auto in = [&](double lo, double hi) { return lo + (hi - lo) * u(rng); };
  for (Body& body : tree.bodies) {
    const double m = in(0.05, 0.5);
    const double cx = in(0.02, 0.2), cy = in(-0.05, 0.05);
    const double j_centre = m * in(1e-3, 1e-2);
    set_mass_properties(body, m, cx, cy, j_centre + m * (cx * cx + cy * cy));
    body.joint_damping = {0.0, 0.0, 0.0};
    if (is_kind(body, free_planar_base_kind)) {
      // Stiffness and rest of the translations must have no effect; set them anyway.
      body.joint_stiffness = {in(0.5, 3.0), in(0.5, 3.0), in(0.5, 3.0)};
      body.joint_rest = {in(-0.3, 0.3), in(-0.3, 0.3), in(-0.3, 0.3)};
    } else {
      body.joint[offset_x] = in(0.05, 0.3);
      body.joint[offset_y] = in(-0.1, 0.1);
      body.joint_stiffness[0] = in(0.5, 3.0);
      body.joint_rest[0] = in(-0.3, 0.3);
    }
  }
  refresh_run_parameters(tree.mbs);
}

// ---------------------------------------------------------------------------------------------
// Independent kinematic model: link geometry only (offsets, centre of mass, mass, moment of
// inertia, springs), copied once from the bodies' parameters. Nothing here calls a pass or a slot.

struct Pose {
  double x, y, angle;  // world position of the body origin and absolute angle
};

inline std::pair<double, double> rotate(double angle, double x, double y) {
  const double c = std::cos(angle), s = std::sin(angle);
  return {c * x - s * y, s * x + c * y};
}

class KinematicModel {
 public:
  struct Link {
    int parent;      // index in the model, -1 for the ground
    bool free_base;  // three coordinates (x, y, angle) instead of one relative angle
    int qi;          // first coordinate index
    double ox, oy;   // joint point in the parent's axes (revolute)
    double m, cx, cy, j_origin;
    double stiffness, rest;  // on the angle coordinate
  };

  // Parents must come before children in `bodies`. Every kind but the free base is taken as one
  // relative angle at a fixed offset (kinds 0, 2, 3); the mass matrix and potential make sense for
  // trees of kinds 0 and 1 only.
  KinematicModel(const BodyArray& bodies, const Mbs& mbs) {
    build(bodies.data(), bodies.size(), mbs);
  }
  KinematicModel(const Body* bodies, std::size_t count, const Mbs& mbs) {
    build(bodies, count, mbs);
  }

  int size() const { return n_; }
  const std::vector<Link>& links() const { return links_; }

  std::vector<Pose> poses(const std::vector<double>& q) const {
    std::vector<Pose> pose(links_.size());
    for (std::size_t b = 0; b < links_.size(); ++b) {
      const Link& l = links_[b];
      if (l.free_base) {
        pose[b] = {q[l.qi], q[l.qi + 1], q[l.qi + 2]};
      } else {
        const Pose parent = l.parent >= 0 ? pose[l.parent] : Pose{0.0, 0.0, 0.0};
        const auto [dx, dy] = rotate(parent.angle, l.ox, l.oy);
        pose[b] = {parent.x + dx, parent.y + dy, parent.angle + q[l.qi]};
      }
    }
    return pose;
  }

  std::pair<double, double> com_world(const Pose& pose, const Link& l) const {
    const auto [dx, dy] = rotate(pose.angle, l.cx, l.cy);
    return {pose.x + dx, pose.y + dy};
  }

  // World position of a point fixed in body b (given in b's axes).
  std::pair<double, double> point_world(const std::vector<double>& q, int b, double px,
                                        double py) const {
    const Pose pose = poses(q)[b];
    const auto [dx, dy] = rotate(pose.angle, px, py);
    return {pose.x + dx, pose.y + dy};
  }

  // World velocity (x, y) of a point fixed in body b and b's angular rate, from the coordinate
  // rates: every joint from b up to the ground adds its own motion.
  std::array<double, 3> point_velocity(const std::vector<double>& q,
                                       const std::vector<double>& qdot, int b, double px,
                                       double py) const {
    const std::vector<Pose> pose = poses(q);
    const auto [wx, wy] = point_world(q, b, px, py);
    std::array<double, 3> v{0.0, 0.0, 0.0};
    for (int a = b; a >= 0; a = links_[a].parent) {
      const Link& joint = links_[a];
      const double rate = joint.free_base ? qdot[joint.qi + 2] : qdot[joint.qi];
      if (joint.free_base) {
        v[0] += qdot[joint.qi];
        v[1] += qdot[joint.qi + 1];
      }
      v[0] += -rate * (wy - pose[a].y);
      v[1] += rate * (wx - pose[a].x);
      v[2] += rate;
    }
    return v;
  }

  // M(q) = sum over bodies of m Jc^T Jc + J_centre Ja^T Ja, with Jc the Jacobian of the body's
  // centre of mass and Ja that of its absolute angle; row-major n x n.
  std::vector<double> mass_matrix(const std::vector<double>& q) const {
    const std::vector<Pose> pose = poses(q);
    std::vector<double> mass(static_cast<std::size_t>(n_) * n_, 0.0);
    std::vector<double> jx(n_), jy(n_), ja(n_);
    for (std::size_t b = 0; b < links_.size(); ++b) {
      const Link& l = links_[b];
      const auto [gx, gy] = com_world(pose[b], l);
      std::fill(jx.begin(), jx.end(), 0.0);
      std::fill(jy.begin(), jy.end(), 0.0);
      std::fill(ja.begin(), ja.end(), 0.0);
      // Every joint from this body up to the ground moves the body.
      for (int a = static_cast<int>(b); a >= 0; a = links_[a].parent) {
        const Link& joint = links_[a];
        const int k = joint.free_base ? joint.qi + 2 : joint.qi;  // the rotation about origin a
        jx[k] += -(gy - pose[a].y);
        jy[k] += gx - pose[a].x;
        ja[k] += 1.0;
        if (joint.free_base) {
          jx[joint.qi] += 1.0;
          jy[joint.qi + 1] += 1.0;
        }
      }
      const double j_centre = l.j_origin - l.m * (l.cx * l.cx + l.cy * l.cy);
      for (int i = 0; i < n_; ++i)
        for (int j = 0; j < n_; ++j)
          mass[i * n_ + j] += l.m * (jx[i] * jx[j] + jy[i] * jy[j]) + j_centre * ja[i] * ja[j];
    }
    return mass;
  }

  // Gravity on the centres of mass plus the springs on the angle coordinates.
  double potential(const std::vector<double>& q, double gravity = standard_gravity) const {
    const std::vector<Pose> pose = poses(q);
    double v = 0.0;
    for (std::size_t b = 0; b < links_.size(); ++b) {
      const Link& l = links_[b];
      v += l.m * gravity * com_world(pose[b], l).second;
      const double angle_q = l.free_base ? q[l.qi + 2] : q[l.qi];
      v += 0.5 * l.stiffness * (angle_q - l.rest) * (angle_q - l.rest);
    }
    return v;
  }

 private:
  void build(const Body* bodies, std::size_t count, const Mbs& mbs) {
    n_ = mbs.coordinate_count;
    for (std::size_t b = 0; b < count; ++b) {
      const Body& body = bodies[b];
      Link l{};
      l.parent = -1;
      for (std::size_t a = 0; a < b; ++a)
        if (body.parent == &bodies[a]) l.parent = static_cast<int>(a);
      l.free_base = is_kind(body, free_planar_base_kind);
      l.qi = static_cast<int>(body.q - mbs.q);
      l.ox = l.free_base ? 0.0 : body.joint[offset_x];
      l.oy = l.free_base ? 0.0 : body.joint[offset_y];
      l.m = body.inertia[0];
      l.cx = body.com[0];
      l.cy = body.com[1];
      l.j_origin = body.inertia[5];
      const int angle_entry = l.free_base ? 2 : 0;
      l.stiffness = body.joint_stiffness[angle_entry];
      l.rest = body.joint_rest[angle_entry];
      links_.push_back(l);
    }
  }

  int n_ = 0;
  std::vector<Link> links_;
};

// Solves M x = b for symmetric positive definite M (row-major n x n) by Cholesky, with one step
// of iterative refinement.
inline std::vector<double> solve_spd(const std::vector<double>& m, const std::vector<double>& b) {
  const int n = static_cast<int>(b.size());
  std::vector<double> l(m);
  for (int j = 0; j < n; ++j) {
    double d = l[j * n + j];
    for (int k = 0; k < j; ++k) d -= l[j * n + k] * l[j * n + k];
    d = std::sqrt(d);
    l[j * n + j] = d;
    for (int i = j + 1; i < n; ++i) {
      double s = l[i * n + j];
      for (int k = 0; k < j; ++k) s -= l[i * n + k] * l[j * n + k];
      l[i * n + j] = s / d;
    }
  }
  auto substitute = [&](std::vector<double> y) {
    for (int i = 0; i < n; ++i) {
      for (int k = 0; k < i; ++k) y[i] -= l[i * n + k] * y[k];
      y[i] /= l[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
      for (int k = i + 1; k < n; ++k) y[i] -= l[k * n + i] * y[k];
      y[i] /= l[i * n + i];
    }
    return y;
  };
  std::vector<double> x = substitute(b);
  std::vector<double> r(b);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k) r[i] -= m[i * n + k] * x[k];
  const std::vector<double> dx = substitute(r);
  for (int i = 0; i < n; ++i) x[i] += dx[i];
  return x;
}

inline std::vector<double> multiply(const std::vector<double>& m, const std::vector<double>& x) {
  const int n = static_cast<int>(x.size());
  std::vector<double> y(n, 0.0);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k) y[i] += m[i * n + k] * x[k];
  return y;
}

inline double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

// Largest |a_i - b_i| relative to the largest |b_i|.
inline double relative_error(const std::vector<double>& a, const std::vector<double>& b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
  return d / max_abs(b);
}

// ---------------------------------------------------------------------------------------------
// Coordinates, energies and integration on an Mbs

inline std::vector<double> copy_of(const double* a, int n) {
  return std::vector<double>(a, a + n);
}
inline void copy_into(double* a, const std::vector<double>& v) {
  std::copy(v.begin(), v.end(), a);
}

// 1/2 u^T I u with the full symmetric inertia (body axes, about the origin).
inline double kinetic_energy(const Body& body) {
  const Sym3& i = body.inertia;
  const Triple& u = body.velocity;
  const double full[3][3] = {{i[0], i[1], i[2]}, {i[1], i[3], i[4]}, {i[2], i[4], i[5]}};
  double e = 0.0;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) e += u[r] * full[r][c] * u[c];
  return 0.5 * e;
}

// Weight on the world height of the centre of mass, from the placement of the last evaluation.
inline double gravity_potential(const Body& body) {
  const double y = body.position[1] + body.sin_abs * body.com[0] + body.cos_abs * body.com[1];
  return body.inertia[0] * standard_gravity * y;
}

inline double spring_potential(const Body& body) {
  const int e = is_kind(body, free_planar_base_kind) ? 2 : 0;
  const double d = body.q[e] - body.joint_rest[e];
  return 0.5 * body.joint_stiffness[e] * d * d;
}

// Fixed-step classical RK4 on the state (q, p) of the Mbs, using run_rhs_passes for the rates.
// `evaluations_per_stage` 2 runs the passes twice on every stage state, so that the slaved
// revolute joint's coupling rates read the current coordinate rates rather than the previous
// evaluation's (the joint reads the rates that the previous evaluation left).
class Rk4 {
 public:
  explicit Rk4(Mbs& mbs, int evaluations_per_stage = 1)
      : mbs_(mbs), n_(mbs.coordinate_count), evaluations_(evaluations_per_stage) {
    for (auto* v : {&q0_, &p0_, &sq_, &sp_}) v->resize(n_);
  }
  void step(double h) {
    q0_ = copy_of(mbs_.q, n_);
    p0_ = copy_of(mbs_.p, n_);
    std::fill(sq_.begin(), sq_.end(), 0.0);
    std::fill(sp_.begin(), sp_.end(), 0.0);
    const double stage_step[4] = {0.5 * h, 0.5 * h, h, 0.0};
    const double weight[4] = {1.0, 2.0, 2.0, 1.0};
    for (int stage = 0; stage < 4; ++stage) {
      for (int e = 0; e < evaluations_; ++e) run_rhs_passes(mbs_);
      for (int i = 0; i < n_; ++i) {
        sq_[i] += weight[stage] * mbs_.qdot[i];
        sp_[i] += weight[stage] * mbs_.pdot[i];
        if (stage < 3) {
          mbs_.q[i] = q0_[i] + stage_step[stage] * mbs_.qdot[i];
          mbs_.p[i] = p0_[i] + stage_step[stage] * mbs_.pdot[i];
        }
      }
    }
    for (int i = 0; i < n_; ++i) {
      mbs_.q[i] = q0_[i] + h / 6.0 * sq_[i];
      mbs_.p[i] = p0_[i] + h / 6.0 * sp_[i];
    }
  }

 private:
  Mbs& mbs_;
  int n_;
  int evaluations_;
  std::vector<double> q0_, p0_, sq_, sp_;
};

}  // namespace core_test
