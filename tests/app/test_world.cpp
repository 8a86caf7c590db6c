// The world around the rope against what its laws give by hand: a rope resting on the ground,
// falling through a fluid, held in a current, and its energy with every dissipative force on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "stepping/driver.hpp"
#include "stepping/measures.hpp"
#include "stepping/rest_state.hpp"
#include "stepping/simulation.hpp"
#include "stepping/step_preconditioner.hpp"
#include "tests/app/newton_check.hpp"

namespace {

std::unique_ptr<Simulation> started(const RopeParameters& parameters) {
  auto sim = std::make_unique<Simulation>();
  std::string error;
  EXPECT_TRUE(check_parameters(parameters, error)) << error;
  EXPECT_EQ(start_simulation(*sim, parameters), MbsStatus::ok);
  EXPECT_EQ(use_integrator(*sim, {find_method("bdf"), 1e-6, 1e-6}), MethodStatus::ok);
  return sim;
}

void run_frames(Simulation& sim, int frames) {
  for (int frame = 0; frame < frames; ++frame) ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
  ASSERT_EQ(refresh_readings(sim), MbsStatus::ok);
}

// A straight rope of 1 m from x = 0 to 1 between carriages that hold it there.
RopeParameters held_straight() {
  RopeParameters parameters;
  parameters.carriage_start = {0.0, 1.0};
  parameters.carriage_target = {0.0, 1.0};
  return parameters;
}

double weight_per_metre(const RopeParameters& p) {
  return p.link_mass[0] / p.link_length[0] * p.gravity;
}

// What the carriages' couplings and the world's elements (not gravity) put on the whole rope.
Triple sum_of_forces(const Simulation& sim, const ForceElementType& type) {
  Triple sum{};
  for (const ForceElement& element : sim.rope.mbs.force_elements)
    if (element.type == &type)
      for (const Body& body : sim.rope.bodies)
        if (element.acts_on(body)) element.type->add_force(element, body, sum);
  return sum;
}

struct RestingRope {
  const char* name;
  int links;
  double mass_per_metre, stiffness;
};

// Carriages at ground height, the ends free to sink: every body sinks w / k, and the ground
// carries the whole weight. Tolerances: 1 % on the sinking of the bodies 3 or more from either
// end, 0.1 % on the total normal force.
TEST(World, RopeAtRestOnFlatGroundSinksWeightOverStiffness) {
  for (const RestingRope& row : {RestingRope{"default rope", 24, 1.0, 1.0e5},
                                 RestingRope{"heavier, softer", 12, 3.0, 2.0e4}}) {
    RopeParameters p = held_straight();
    p.links = row.links;
    p.link_length = 1.0 / (row.links + 1);
    p.link_mass = row.mass_per_metre / (row.links + 1);
    p.end_stiffness_y = {0.0, 0.0};
    p.ground_height = 0.0;
    p.contact_stiffness = row.stiffness;
    auto sim = started(p);
    run_frames(*sim, 300);
    const double sink = weight_per_metre(p) / row.stiffness;
    for (int k = 3; k + 3 <= row.links; ++k)
      EXPECT_NEAR(-sim->rope.bodies[k].position[1], sink, 0.01 * sink) << row.name << " " << k;
    const double normal = sum_of_forces(*sim, ground_contact_element)[1];
    EXPECT_NEAR(normal, weight_per_metre(p), 1e-3 * weight_per_metre(p)) << row.name;
    WorldReadings readings;
    read_world(*sim, readings);
    EXPECT_NEAR(readings.contact_total[1], weight_per_metre(p), 1e-3 * weight_per_metre(p));
    EXPECT_NEAR(readings.contact_total[0], 0.0, 1e-3 * weight_per_metre(p)) << row.name;
  }
}

// Draped over two pegs whose tops are level with it, the carriages holding only x: the pegs
// carry the weight (0.1 %), and the readings' total is the sum of the per-body forces.
TEST(World, PegsUnderARopeAtRestCarryItsWeight) {
  RopeParameters p = held_straight();
  p.end_stiffness_y = {0.0, 0.0};
  p.pegs = {0.25, -0.05, 0.05, 0.75, -0.05, 0.05};
  auto sim = started(p);
  run_frames(*sim, 400);
  WorldReadings readings;
  read_world(*sim, readings);
  Point sum{};
  for (const Point& f : readings.contact) sum = {sum[0] + f[0], sum[1] + f[1]};
  const double weight = weight_per_metre(p);
  EXPECT_NEAR(readings.contact_total[1], weight, 1e-3 * weight);
  for (int i = 0; i < 2; ++i) EXPECT_NEAR(sum[i], readings.contact_total[i], 1e-12);
}

struct Fall {
  const char* name;
  double density, diameter, drag;
};

// A free horizontal rope let go in still fluid: its weight less buoyancy, w_eff, meets the normal
// drag 1/2 rho C_n d v^2 per metre at the terminal speed. Tolerance 0.2 %, after some ten time
// constants v_t / g_eff.
TEST(World, HorizontalRopeFallsAtTheTerminalSpeedOfItsNormalDrag) {
  for (const Fall& row :
       {Fall{"water, thin", 1000.0, 0.01, 1.2}, Fall{"water, thick", 1000.0, 0.02, 0.6}}) {
    RopeParameters p;
    p.end_stiffness_x = p.end_stiffness_y = p.end_stiffness_angle = {0.0, 0.0};
    p.end_damping_x = p.end_damping_y = p.end_damping_angle = {0.0, 0.0};
    p.fluid_density = row.density;
    p.rope_diameter = row.diameter;
    p.drag_normal = row.drag;
    const double area = std::numbers::pi * row.diameter * row.diameter / 4.0;
    const double effective = weight_per_metre(p) - row.density * p.gravity * area;
    const double terminal = std::sqrt(effective / (0.5 * row.density * row.drag * row.diameter));
    auto sim = started(p);
    run_frames(*sim, 150);
    for (const Body& body : sim->rope.bodies)
      EXPECT_NEAR(rotate_to_world(body, body.velocity)[1], -terminal, 2e-3 * terminal) << row.name;
    // The drag, w_eff per metre of the 1 m rope, against the falling speed: 1 % (the speed's
    // 0.2 % three times over).
    const double power = -effective * terminal;
    EXPECT_NEAR(drag_power(*sim), power, -0.01 * power) << row.name;
  }
}

struct Current {
  const char* name;
  Point flow;
};

// A rope held at both ends in a uniform current, at rest: the couplings hold the total drag,
// which is 1/2 rho C d U^2 per metre of rope across the flow (d the diameter) or along it (d pi).
// Tolerances: 1e-3 of the drag for the balance, 2 % against the straight rope's drag (the rope
// bows a little and meets the flow slightly askew).
TEST(World, RopeHeldInACurrentIsPulledAtItsEndsByTheTotalDrag) {
  for (const Current& row : {Current{"across, up", {0.0, 0.2}},
                             Current{"across, down", {0.0, -0.5}}, Current{"along", {0.3, 0.0}}}) {
    RopeParameters p = held_straight();
    p.gravity = 0.0;
    p.fluid_density = 1000.0;
    p.flow = row.flow;
    auto sim = started(p);
    run_frames(*sim, 800);
    const Triple drag = sum_of_forces(*sim, fluid_element);
    const Triple held = sum_of_forces(*sim, anchor_spring_element);
    const bool across = row.flow[0] == 0.0;
    const double width = across ? p.rope_diameter : std::numbers::pi * p.rope_diameter;
    const double coefficient = across ? p.drag_normal : p.drag_tangential;
    const double speed = std::hypot(row.flow[0], row.flow[1]);
    const double expected = 0.5 * p.fluid_density * coefficient * width * speed * speed;
    const double along_flow = (drag[0] * row.flow[0] + drag[1] * row.flow[1]) / speed;
    EXPECT_NEAR(along_flow, expected, 0.02 * expected) << row.name;
    for (int i = 0; i < 2; ++i) EXPECT_NEAR(held[i], -drag[i], 1e-3 * expected) << row.name;
  }
}

struct Dissipative {
  const char* name;
  void (*set)(RopeParameters& p);
  double least_taken;  // J: the world takes out at least this over the run
};

// With the joints undamped and every world force on, the energy may only fall: frame to frame it
// rises by no more than the integrator's error. Tolerance 1e-6 J, the rope's potential energy
// being of order 0.1 J and the integrator's tolerance 1e-6. And what it lost over the run is what
// the world's readings say they took out.
TEST(World, EnergyNeverRisesWithFrictionContactDampingAndDrag) {
  const Dissipative rows[] = {
      {"nothing", [](RopeParameters&) {}, 0.0},
      {"ground with friction",
       [](RopeParameters& p) {
         p.ground_height = -0.01;
         p.ground_slope = -0.02;
         p.friction = 0.5;
       },
       0.1},
      {"pegs with friction",
       [](RopeParameters& p) {
         p.pegs = {0.3, -0.03, 0.02, 0.6, -0.05, 0.04};
         p.friction = 0.3;
       },
       0.05},
      {"fluid below a surface",
       [](RopeParameters& p) {
         p.fluid_density = 1000.0;
         p.fluid_surface = -0.005;
       },
       0.1},
  };
  for (const Dissipative& row : rows) {
    RopeParameters p = held_straight();
    p.joint_damping = 0.0;
    p.end_damping_x = p.end_damping_y = p.end_damping_angle = {0.0, 0.0};
    p.drive_damping = {0.0, 0.0};                // nothing but the world takes energy out
    p.far_end_coupling = FarEndCoupling::point;  // the coupling that stores what it takes
    row.set(p);
    auto sim = started(p);
    const double initial = total_energy(*sim);
    double before = initial;
    double largest_rise = -INFINITY;
    for (int frame = 0; frame < 150; ++frame) {
      run_frames(*sim, 1);
      const double now = total_energy(*sim);
      largest_rise = std::max(largest_rise, now - before);
      before = now;
    }
    EXPECT_LT(largest_rise, 1e-6) << row.name;
    // What the world took out is what the rope lost, to 5e-5 J: the undisturbed rope ("nothing")
    // drifts 8.6e-7 J over the run at this tolerance, and the others balance to 1.1e-7 to 1.7e-7
    // J of 0.08 to 0.18 J taken out.
    EXPECT_NEAR(before + sim->dissipation.energy, initial, 5e-5) << row.name;
    EXPECT_GE(sim->dissipation.energy, row.least_taken) << row.name;
  }
}

// --- Ropes that start at rest -------------------------------------------------------------------

// The inextensible catenary that lies on the ground beyond its touchdown points: with a = H / w,
// a side that drops h to the ground spans X = a acosh(1 + h / a) with s = sqrt(h^2 + 2 h a) of
// rope, and the rest lies flat, so span = X1 + X2 + L - s1 - s2. Solved for a by bisection.
struct Catenary {
  double a, left_span;
};

Catenary catenary_on_ground(double span, double length, double drop1, double drop2) {
  auto side = [](double a, double h) { return a * std::acosh(1.0 + h / a) - std::sqrt(h * h + 2.0 * h * a); };
  double low = 1e-6, high = 1e3;  // side() grows with a: the excess span grows with the tension
  for (int i = 0; i < 200; ++i) {
    const double a = std::sqrt(low * high);
    (side(a, drop1) + side(a, drop2) + length - span > 0.0 ? high : low) = a;
  }
  return {low, low * std::acosh(1.0 + drop1 / low)};
}

struct Touchdown {
  double link_length, touchdown_error, tension_error;
};

// Both ends hang from the carriages at y = 0 onto frictionless ground at -0.5 m and the middle
// lies on it. The search for rest must land on the catenary: the touchdown point within about a
// link of the analytic one, closer as the links shrink, and the horizontal tension within 4 %
// (0.5 % at the finest). The ground is
// stiff (1e6 N/m per m): the rope sinks 10 micrometres, and the analytic drop is taken to the
// sunk rope.
TEST(World, RestOnTheGroundIsTheCatenaryTangentToIt) {
  std::vector<Touchdown> rows;
  for (const int links : {39, 79, 159}) {
    RopeParameters p;
    p.links = links;
    p.link_length = 2.0 / (links + 1);
    p.link_mass = 2.0 / (links + 1);
    p.joint_stiffness = 0.0;
    p.end_stiffness_angle = {0.0, 0.0};
    p.end_stiffness_x = p.end_stiffness_y = {1e6, 1e6};
    p.far_end_coupling = FarEndCoupling::point;
    p.carriage_start = p.carriage_target = {-0.6, 0.6};
    // The search starts from the analytic shape, each body along the curve's tangent at its
    // middle, and must find the links' own rest near it.
    const Catenary guess = catenary_on_ground(1.2, 2.0, 0.499, 0.499);  // a millimetre up
    const double hanging = std::sqrt(0.499 * 0.499 + 2.0 * 0.499 * guess.a);
    const double l = 2.0 / (links + 1);
    std::vector<double> angles(static_cast<size_t>(links));
    double previous = 0.0;
    for (int k = 0; k <= links; ++k) {
      const double s = (k + 0.5) * l;
      const double angle = s < hanging         ? -std::atan((hanging - s) / guess.a)
                           : s > 2.0 - hanging ? std::atan((s - 2.0 + hanging) / guess.a)
                                               : 0.0;
      if (k == 0) p.initial_base = {-0.6, 0.0, angle};
      else angles[static_cast<size_t>(k - 1)] = angle - previous;
      previous = angle;
    }
    p.initial_angles.values = angles;
    p.ground_height = -0.5;
    p.contact_stiffness = 1e6;
    p.initial_state = InitialState::rest;
    auto sim = std::make_unique<Simulation>();
    ASSERT_EQ(start_simulation(*sim, p), MbsStatus::ok);
    std::string error;
    ASSERT_TRUE(settle_at_rest(*sim, error)) << links << " links: " << error;
    const double w = weight_per_metre(p);
    const double ground = -0.5 - w / 1e6;
    const auto ends = chain_ends(*sim);
    const Catenary c = catenary_on_ground(ends[1][0] - ends[0][0], 2.0, ends[0][1] - ground,
                                          ends[1][1] - ground);
    const GroundContact* contact = nullptr;
    for (const ForceElement& element : sim->rope.mbs.force_elements)
      if (element.type == &ground_contact_element) contact = &element.data_as<GroundContact>();
    ASSERT_NE(contact, nullptr);
    double touchdown = NAN;
    for (const Body& body : sim->rope.bodies)
      if (ground_force_on(*contact, body)[1] > 0.0) {
        touchdown = body.position[0];
        break;
      }
    const double tension = std::fabs(end_spring_forces(*sim)[0]);
    rows.push_back({p.link_length[0], std::fabs(touchdown - (ends[0][0] + c.left_span)),
                    std::fabs(tension / (w * c.a) - 1.0)});
    EXPECT_LT(rows.back().touchdown_error, 1.5 * p.link_length[0]) << links << " links";
    EXPECT_LT(rows.back().tension_error, 0.04) << links << " links";
  }
  for (size_t k = 1; k < rows.size(); ++k)
    EXPECT_LT(rows[k].touchdown_error, rows[k - 1].touchdown_error) << "at " << rows[k].link_length;
  EXPECT_LT(rows.back().tension_error, 0.005);
}

struct RestCase {
  const char* name;
  void (*set)(RopeParameters& p);
};

// From rest the rope stays put: over 0.5 s no coordinate moves more than 1e-7 (m or rad), on a
// rope that hangs, that starts too long for its carriages, that drapes over a peg, lies on the
// ground, or floats in a current. The carriages are held at rest by their mass: the rope's pull,
// which their drives only answer once they have moved, would otherwise move them.
TEST(World, RestIsAnEquilibriumTheRopeStaysIn) {
  const RestCase rows[] = {
      {"hanging", [](RopeParameters&) {}},
      {"four times too long", [](RopeParameters& p) { p.links = 99; }},
      {"over a peg", [](RopeParameters& p) { p.pegs = {0.2, -0.1, 0.05}; }},
      {"on the ground, with friction", [](RopeParameters& p) {
         p.ground_height = -0.2;
         p.friction = 0.5;
       }},
      {"in a current", [](RopeParameters& p) {
         p.fluid_density = 1000.0;
         p.flow = {0.3, 0.0};
       }},
  };
  for (const RestCase& row : rows) {
    RopeParameters p;
    row.set(p);
    p.carriage_mass = {1e9, 1e9};
    p.initial_state = InitialState::rest;
    std::string error;
    ASSERT_TRUE(check_parameters(p, error)) << row.name << ": " << error;
    auto sim = started(p);
    ASSERT_TRUE(place_initial_state(*sim, error)) << row.name << ": " << error;
    const std::vector<double> rest = sim->state;
    const int velocities[] = {sim->layout.carriages_start + 1, sim->layout.carriages_start + 3};
    for (int i = sim->layout.momenta_start; i < sim->layout.carriages_start; ++i)
      ASSERT_EQ(rest[static_cast<size_t>(i)], 0.0) << row.name << " momentum " << i;
    for (const int i : velocities) ASSERT_EQ(rest[static_cast<size_t>(i)], 0.0) << row.name;
    run_frames(*sim, 50);
    double moved = 0.0;
    for (int i = 0; i < sim->layout.coordinates; ++i)
      moved = std::max(moved, std::fabs(sim->state[static_cast<size_t>(i)] - rest[static_cast<size_t>(i)]));
    EXPECT_LT(moved, 1e-7) << row.name;
  }
}

// --- Stiffness and damping against finite differences ---------------------------------------

// One lone body whose record holds a placement (x, y, angle) and a world velocity (vx, vy, w).
void place(Body& body, const Triple& at, const Triple& moving) {
  body.position = {at[0], at[1]};
  body.angle = at[2];
  body.sin_abs = std::sin(at[2]);
  body.cos_abs = std::cos(at[2]);
  body.velocity = rotate_to_body(body, moving);
}

// -d(force, moment)/d(placement or velocity) by central differences, upper triangle.
Sym3 differenced(const ForceElement& element, Body& body, Triple at, Triple moving, bool by_speed) {
  constexpr double h = 1e-7;
  double columns[3][3];
  for (int j = 0; j < 3; ++j) {
    Triple plus{}, minus{};
    Triple& changed = by_speed ? moving : at;
    changed[j] += h;
    place(body, at, moving);
    element.type->add_force(element, body, plus);
    changed[j] -= 2.0 * h;
    place(body, at, moving);
    element.type->add_force(element, body, minus);
    changed[j] += h;
    for (int i = 0; i < 3; ++i) columns[j][i] = -(plus[i] - minus[i]) / (2.0 * h);
  }
  place(body, at, moving);
  return {columns[0][0], columns[1][0], columns[2][0], columns[1][1], columns[2][1], columns[2][2]};
}

double largest_entry(const Sym3& matrix) {
  double largest = 0.0;
  for (const double entry : matrix) largest = std::max(largest, std::fabs(entry));
  return largest;
}

// The stiffness and damping an element spreads over a body are minus the derivatives of its
// force by the body's displacement and velocity: exactly, where no part is left out (ground at
// zero slip, fluid at rest or, for the damping, moving); within 3 % for a peg, whose outward
// direction's turn (depth / distance of its spring) is left out.
TEST(World, StiffnessAndDampingAreTheForcesDerivatives) {
  Body body = world_at_rest();
  const double length = 0.2;
  const Segments segments = {&body, &length, 1};
  const ContactLaw law = {1.0e5, 300.0, 0.4, 0.01};
  const GroundContact ground = ground_contact(segments, 0.1, 0.2, law);
  const double peg[3] = {0.1, -0.05, 0.0405};  // 0.7 mm into the segment
  const PegContact pegs = {segments, peg, 1, law};
  const double gravity = 9.81;
  const Fluid fluid = {segments, &gravity, 1000.0, true, 0.0, 0.01, 1.2, 0.02, {0.3, -0.1}};
  const ForceElement in_fluid = fluid_on_every_body(fluid);
  const Triple pressing = {0.2 * std::sin(0.2), -0.2 * std::cos(0.2), 0.0};  // along -normal
  struct Case {
    const char* name;
    ForceElement element;
    Triple at, moving;
    double tolerance;  // of the largest entry
    bool by_place;     // false: a part of the stiffness is left out here (drag's turn at a fixed
                       // velocity), so only the damping is compared
  };
  const Case cases[] = {
      {"ground", ground_contact_on_every_body(ground), {0.0, 0.101, -0.3}, pressing, 1e-6, true},
      {"peg", peg_contact_on_every_body(pegs), {0.0, 0.0, -0.1}, {}, 0.03, true},
      {"fluid at rest", in_fluid, {0.0, 0.05, -0.6}, {0.3, -0.1, 0.0}, 1e-6, true},
      {"fluid, moving", in_fluid, {0.0, 0.05, -0.6}, {-0.2, 0.4, 3.0}, 1e-6, false},
  };
  for (const Case& row : cases) {
    const ForceElement& element = row.element;
    Sym3 stiffness{}, damping{};
    place(body, row.at, row.moving);
    element.type->body_stiffness(element, body, stiffness, damping);
    const Sym3 by_place = differenced(element, body, row.at, row.moving, false);
    const Sym3 by_speed = differenced(element, body, row.at, row.moving, true);
    double largest = largest_entry(by_place);
    ASSERT_GT(largest, 0.0) << row.name;
    for (int i = 0; i < 6 && row.by_place; ++i)
      EXPECT_NEAR(stiffness[i], by_place[i], row.tolerance * largest)
          << row.name << " stiffness " << i;
    largest = largest_entry(by_speed);
    for (int i = 0; i < 6; ++i)
      EXPECT_NEAR(damping[i], by_speed[i], row.tolerance * largest + 1e-6)
          << row.name << " damping " << i;
  }
}

// The implicit step's tree solve takes the ground's stiffness and damping on each body: on a
// zigzag rope pressed into stiff ground, P^-1 (I - gamma J) r stays much nearer r than without them.
// Returns the largest of |(I - gamma J) z - r| over |r|, J by central differences.
double preconditioned_miss(Simulation& sim, const std::vector<double>& y, double gamma) {
  const std::vector<double> jacobian = jacobian_by_differences(sim, y, 1e-7), r = newton_probe(sim);
  std::vector<double> z(r.size());
  StepPreconditioner preconditioner;
  EXPECT_TRUE(make_step_preconditioner(preconditioner, sim));
  EXPECT_EQ(set_up_step_preconditioner(sim, preconditioner, y.data(), gamma), MbsStatus::ok);
  EXPECT_EQ(solve_step_preconditioner(sim, preconditioner, r.data(), z.data()), MbsStatus::ok);
  return newton_residual(sim, jacobian, gamma, r, z);
}

TEST(World, StepPreconditionerTakesTheGroundsStiffness) {
  RopeParameters p = held_straight();
  p.links = 6;
  p.link_length = 1.0 / 7;
  // A zigzag of links at +-0.2 rad, its lower corners in the ground.
  p.initial_base = {0.0, 0.0, -0.2};
  p.initial_angles.values = {0.4, -0.4, 0.4, -0.4, 0.4, -0.4};
  p.ground_height = -0.01;
  p.contact_stiffness = 1.0e7;
  p.contact_damping = 3.0e3;
  p.friction = 0.3;
  Simulation sim;
  ASSERT_EQ(start_simulation(sim, p), MbsStatus::ok);
  const std::vector<double> y = sim.state;
  const double gamma = 1e-3;
  const double with = preconditioned_miss(sim, y, gamma);
  for (ForceElement& element : sim.rope.mbs.force_elements) {
    if (element.type != &ground_contact_element) continue;
    static ForceElementType unseen = ground_contact_element;
    unseen.body_stiffness = nullptr;
    element.type = &unseen;
  }
  const double without = preconditioned_miss(sim, y, gamma);
  EXPECT_LT(with, 1e-3 * without) << with << " against " << without;
}

}  // namespace
