// Force elements as the implicit step and the measures read them: every element's stiffness and
// damping are the derivatives of its force, its energy falls at the rate its forces work; and an
// element of the test's own, a constant force, moves a free body as Newton says.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "forces/anchor_spring.hpp"
#include "mbs/body_values.hpp"
#include "test_support.hpp"

using namespace core_test;

namespace {

double anchor[2] = {0.31, -0.07};
Gravity gravity;
AnchorSpring design{anchor, {0.04, 0.0}, false, 5000.0, 100.0, 900.0, 9.0, 2.5, 0.02};
AnchorSpring at_point{anchor, {0.04, 0.0}, true, 4000.0, 80.0, 1000.0, 10.0, 3.0, 0.01};
AnchorSpring at_origin{anchor, {0.0, 0.0}, false, 3000.0, 50.0, 700.0, 7.0, 1.5, 0.03};

// `conservative`: its force is minus the gradient of its energy. The spring that measures its
// stretch at the held point but pushes at the origin, without the moment, is not: its energy is a
// measure of the stretch only.
struct ElementCase {
  std::string name;
  std::function<ForceElement(const Body&)> on;
  bool conservative;
};

const std::vector<ElementCase> element_cases = {
    {"gravity", [](const Body&) { return gravity_on_every_body(gravity); }, true},
    {"anchor spring, force at the origin",
     [](const Body& b) { return anchor_spring_on(design, b); }, false},
    {"anchor spring, force at the held point",
     [](const Body& b) { return anchor_spring_on(at_point, b); }, true},
    {"anchor spring at the origin", [](const Body& b) { return anchor_spring_on(at_origin, b); },
     true},
};

// A body placed by hand: world pose of its origin, the origin's world velocity and the angular rate.
struct Pose {
  double x, y, angle, vx, vy, w;
};

void place(Body& body, const Pose& pose) {
  body.position = {pose.x, pose.y};
  body.angle = pose.angle;
  body.sin_abs = std::sin(pose.angle);
  body.cos_abs = std::cos(pose.angle);
  const double c = body.cos_abs, s = body.sin_abs;
  body.velocity = {c * pose.vx + s * pose.vy, c * pose.vy - s * pose.vx, pose.w};
}

// The element's force and moment about the body's origin, world axes.
Triple force_of(const ForceElement& element, const Body& body) {
  Triple f = {0.0, 0.0, 0.0};
  if (element.type->weight_of)
    f = body_values::weight(element.type->weight_of(element, body), body.com, body.sin_abs,
                            body.cos_abs);
  if (element.type->add_force) element.type->add_force(element, body, f);
  return f;
}

// The moment about `at` of a force and moment given about the origin r.
double moment_about(const Triple& f, const Point& at, const Point& r) {
  return f[2] - ((at[0] - r[0]) * f[1] - (at[1] - r[1]) * f[0]);
}

// The pose turned by `turn` about the world point `at`, the velocity of `at` kept.
Pose turned_about(const Pose& p, const Point& at, double turn, double added_rate) {
  const double c = std::cos(turn), s = std::sin(turn);
  const double rx = p.x - at[0], ry = p.y - at[1];
  Pose q = p;
  q.x = at[0] + c * rx - s * ry;
  q.y = at[1] + s * rx + c * ry;
  q.angle = p.angle + turn;
  // v_origin = v_at + w x (origin - at): a change of w alone moves the origin's velocity.
  q.vx = p.vx - added_rate * (q.y - at[1]);
  q.vy = p.vy + added_rate * (q.x - at[0]);
  q.w = p.w + added_rate;
  return q;
}

constexpr Pose moving = {0.27, 0.05, 0.4, 0.3, -0.2, 1.7};
constexpr double h = 1e-6;

// A point spring's stiffness and damping on the held point's x, y and the angle about it are
// minus the central differences of the element's force there.
TEST(ForceElements, PointSpringsAreTheDerivativesOfTheirForce) {
  for (const ElementCase& c : element_cases) {
    Body body;
    init_body(body, free_planar_base_kind);
    const ForceElement element = c.on(body);
    if (!element.type->point_spring) continue;
    place(body, moving);
    PointSpring spring;
    ASSERT_TRUE(element.type->point_spring(element, spring)) << c.name;
    EXPECT_EQ(spring.body, &body) << c.name;
    const Point at = spring.at;
    auto generalised = [&](const Pose& pose) {
      place(body, pose);
      const Triple f = force_of(element, body);
      return Triple{f[0], f[1], moment_about(f, at, body.position)};
    };
    auto difference = [&](const Pose& plus, const Pose& minus, int i) {
      return -(generalised(plus)[i] - generalised(minus)[i]) / (2 * h);
    };
    auto shifted = [](Pose p, double dx, double dy, double dvx, double dvy) {
      p.x += dx, p.y += dy, p.vx += dvx, p.vy += dvy;
      return p;
    };
    const double tolerance = 1e-5;
    EXPECT_NEAR(difference(shifted(moving, h, 0, 0, 0), shifted(moving, -h, 0, 0, 0), 0),
                spring.stiffness[0], tolerance * spring.stiffness[0]) << c.name;
    EXPECT_NEAR(difference(shifted(moving, 0, h, 0, 0), shifted(moving, 0, -h, 0, 0), 1),
                spring.stiffness[1], tolerance * spring.stiffness[1]) << c.name;
    EXPECT_NEAR(difference(turned_about(moving, at, h, 0), turned_about(moving, at, -h, 0), 2),
                spring.stiffness[2], tolerance * spring.stiffness[2]) << c.name;
    EXPECT_NEAR(difference(shifted(moving, 0, 0, h, 0), shifted(moving, 0, 0, -h, 0), 0),
                spring.damping[0], tolerance * spring.damping[0]) << c.name;
    EXPECT_NEAR(difference(shifted(moving, 0, 0, 0, h), shifted(moving, 0, 0, 0, -h), 1),
                spring.damping[1], tolerance * spring.damping[1]) << c.name;
    EXPECT_NEAR(difference(turned_about(moving, at, 0, h), turned_about(moving, at, 0, -h), 2),
                spring.damping[2], tolerance * spring.damping[2]) << c.name;
  }
}

// An element spread over the bodies hands the implicit step its whole 3x3 stiffness and damping
// on the origin's x, y and the angle about it.
TEST(ForceElements, SpreadStiffnessIsTheDerivativeOfTheForce) {
  for (const ElementCase& c : element_cases) {
    Body body;
    init_body(body, revolute_link_kind);
    const ForceElement element = c.on(body);
    if (!element.type->body_stiffness) continue;
    place(body, moving);
    Sym3 stiffness{}, damping{};
    element.type->body_stiffness(element, body, stiffness, damping);
    auto at = [](const Sym3& m, int i, int j) {
      static constexpr int index[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
      return m[static_cast<std::size_t>(index[i][j])];
    };
    for (int j = 0; j < 3; ++j) {
      Pose plus = moving, minus = moving, faster = moving, slower = moving;
      (j == 0 ? plus.x : j == 1 ? plus.y : plus.angle) += h;
      (j == 0 ? minus.x : j == 1 ? minus.y : minus.angle) -= h;
      (j == 0 ? faster.vx : j == 1 ? faster.vy : faster.w) += h;
      (j == 0 ? slower.vx : j == 1 ? slower.vy : slower.w) -= h;
      auto force = [&](const Pose& pose) { place(body, pose); return force_of(element, body); };
      for (int i = 0; i < 3; ++i) {
        const double k = -(force(plus)[i] - force(minus)[i]) / (2 * h);
        const double d = -(force(faster)[i] - force(slower)[i]) / (2 * h);
        EXPECT_NEAR(at(stiffness, i, j), k, 1e-5 * (std::fabs(k) + 1.0)) << c.name << i << j;
        EXPECT_NEAR(at(damping, i, j), d, 1e-5 * (std::fabs(d) + 1.0)) << c.name << i << j;
      }
    }
  }
}

// On a moving chain, an undamped element's potential energy falls at the rate its forces work on
// the bodies: dV/dt = -sum (F . v + M w), the time derivative taken along qdot.
// The springs' dampers off while it lives: then only the springs work.
struct DampersOff {
  AnchorSpring kept[3] = {design, at_point, at_origin};
  DampersOff() {
    for (AnchorSpring* spring : {&design, &at_point, &at_origin})
      spring->damping_x = spring->damping_y = spring->damping_angle = 0.0;
  }
  ~DampersOff() { design = kept[0], at_point = kept[1], at_origin = kept[2]; }
};

TEST(ForceElements, EnergyFallsAtTheRateTheForcesWork) {
  const DampersOff undamped;
  for (const ElementCase& c : element_cases) {
    if (!c.conservative) continue;
    auto tree = build_chain(3);
    Mbs& mbs = tree->mbs;
    mbs.force_elements = {c.on((*tree)[2])};
    refresh_run_parameters(mbs);
    const int n = mbs.coordinate_count;
    const std::vector<double> q = {0.1, -0.2, 0.3, 0.5, -0.4, 0.8};
    const std::vector<double> qdot = {0.7, -0.3, 1.1, -0.9, 1.3, 0.6};
    auto energy_at = [&](double dt) {
      for (int i = 0; i < n; ++i) mbs.q[i] = q[i] + dt * qdot[i];
      run_rhs_passes(mbs);
      update_body_records(mbs);
      return mbs.force_elements[0].type->potential_energy(mbs.force_elements[0], mbs);
    };
    const double dt = 1e-6;
    const double rate = (energy_at(dt) - energy_at(-dt)) / (2 * dt);
    copy_into(mbs.q, q);
    copy_into(mbs.qdot, qdot);
    run_setup_passes(mbs);
    run_rhs_passes(mbs);
    update_body_records(mbs);
    double power = 0.0;
    for (Body& body : tree->bodies) {
      if (!mbs.force_elements[0].acts_on(body)) continue;
      const Triple f = force_of(mbs.force_elements[0], body);
      const Triple v = rotate_to_world(body, body.velocity);
      power += f[0] * v[0] + f[1] * v[1] + f[2] * v[2];
    }
    EXPECT_NEAR(rate, -power, 1e-6 * (std::fabs(power) + 1e-3)) << c.name;
  }
}

// An element the core has never seen: a constant world force at the body's centre of mass. On a
// free body without gravity it gives the acceleration F / m and no turn; RK4 is exact for the
// quadratic motion.
struct ConstantForce {
  double fx, fy;
};

void add_constant_force(const ForceElement& element, const Body& body, Triple& applied) {
  const ConstantForce& force = element.data_as<ConstantForce>();
  const Point com = point_to_world(body, body.com);
  const double rx = com[0] - body.position[0], ry = com[1] - body.position[1];
  applied[0] += force.fx;
  applied[1] += force.fy;
  applied[2] += rx * force.fy - ry * force.fx;
}

const ForceElementType constant_force_element = {.add_force = add_constant_force};

TEST(ForceElements, AConstantForceAcceleratesAFreeBodyAsNewtonSays) {
  const ConstantForce force{0.3, -0.12};
  auto tree = build_tree({{free_planar_base_kind, -1}});
  Mbs& mbs = tree->mbs;
  mbs.force_elements = {{&constant_force_element, &force, nullptr}};
  ASSERT_EQ(run_setup_passes(mbs), MbsStatus::ok);
  Rk4 rk4(mbs);
  const double step = 0.01, m = 0.04;
  for (int k = 0; k < 50; ++k) rk4.step(step);
  const double t = 50 * step;
  EXPECT_NEAR(mbs.q[0], 0.5 * force.fx / m * t * t, 1e-12);
  EXPECT_NEAR(mbs.q[1], 0.5 * force.fy / m * t * t, 1e-12);
  EXPECT_NEAR(mbs.q[2], 0.0, 1e-11);
  EXPECT_NEAR(mbs.p[0], force.fx * t, 1e-13);
  EXPECT_NEAR(mbs.p[1], force.fy * t, 1e-13);
}

}  // namespace
