#include "stepping/simulation.hpp"

#include <gsl/gsl_errno.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

bool set_divergence_bound(DivergenceBound& bound, const RopeParameters& parameters);

// A state given from outside (initial rates, a set state or configuration) may hold kinetic energy
// no spring put there: the guard admits the most it was given, T = p . qdot / 2, with qdot of the
// evaluation that refreshed the readings.
MbsStatus admit_given_energy(Simulation& sim, MbsStatus refreshed) {
  const Mbs& mbs = sim.rope.mbs;
  double kinetic = 0.0;
  for (int i = 0; i < sim.layout.coordinates; ++i) kinetic += 0.5 * mbs.p[i] * mbs.qdot[i];
  if (refreshed == MbsStatus::ok)
    sim.bound.given_energy = std::fmax(sim.bound.given_energy, kinetic);
  return refreshed;
}

void fill_state(Simulation& sim) {
  const Mbs& mbs = sim.rope.mbs;
  const StateLayout& l = sim.layout;
  for (int i = 0; i < l.coordinates; ++i) sim.state[i] = mbs.q[i];
  for (int i = 0; i < l.coordinates; ++i) sim.state[l.momenta_start + i] = mbs.p[i];
  for (int i = 0; i < l.carriage_slots; ++i)
    sim.state[l.carriages_start + i] = sim.rope.carriages.carriage_state[i];
}

}  // namespace

MbsStatus start_simulation(Simulation& sim, const RopeParameters& parameters) {
  sim.parameters = parameters;
  sim.dissipation = {};
  sim.keeps_energy = conserves_energy(parameters);
  const MbsStatus assembled = assemble_rope(sim.rope, parameters);
  if (assembled != MbsStatus::ok) return assembled;
  sim.layout = state_layout(parameters.links);
  if (!set_divergence_bound(sim.bound, parameters)) return MbsStatus::out_of_memory;
  try {
    sim.state.assign(static_cast<size_t>(sim.layout.dimension), 0.0);
    sim.frame_start.assign(static_cast<size_t>(sim.layout.dimension) + 2, 0.0);
    sim.scratch_rates.assign(static_cast<size_t>(sim.layout.dimension), 0.0);
  } catch (const std::bad_alloc&) {
    return MbsStatus::out_of_memory;
  }
  const MbsStatus set_up = run_setup_passes(sim.rope.mbs);
  if (set_up != MbsStatus::ok) return set_up;
  fill_state(sim);
  sim.settings = RunSettings{};
  if (use_integrator(sim, sim.settings) != MethodStatus::ok) return MbsStatus::out_of_memory;
  return admit_given_energy(sim, refresh_readings(sim));
}

bool conserves_energy(const RopeParameters& p) {
  const auto off = [](const CarriagePair& pair) { return pair[0] == 0.0 && pair[1] == 0.0; };
  const bool joints_undamped =
      std::all_of(p.joint_damping.values.begin(), p.joint_damping.values.end(),
                  [](double d) { return d == 0.0; });
  const bool no_world = !p.ground_height && p.pegs.empty() && p.fluid_density == 0.0;
  return joints_undamped && off(p.drive_damping) && off(p.end_damping_x) && off(p.end_damping_y) &&
         off(p.end_damping_angle) && no_world && p.far_end_coupling == FarEndCoupling::point;
}

// The integrator rewrites everything an evaluation touches from its own state, so this extra
// evaluation leaves the trajectory as it was.
MbsStatus refresh_readings(Simulation& sim) {
  if (hamilton_rhs(sim.time, sim.state.data(), sim.scratch_rates.data(), &sim) != GSL_SUCCESS)
    return sim.rope.mbs.status;
  update_body_records(sim.rope.mbs);
  return MbsStatus::ok;
}

MbsStatus state_rates(Simulation& sim, const double y[], double dydt[]) {
  const MbsStatus met =
      hamilton_rhs(sim.time, y, dydt, &sim) == GSL_SUCCESS ? MbsStatus::ok : sim.rope.mbs.status;
  refresh_readings(sim);
  return met;
}

int hamilton_rhs(double, const double y[], double dydt[], void* params) {
  Simulation& sim = *static_cast<Simulation*>(params);
  RopeModel& rope = sim.rope;
  Mbs& mbs = rope.mbs;
  const StateLayout& l = sim.layout;
  const size_t coordinate_bytes = static_cast<size_t>(l.coordinates) * sizeof(double);
  std::memcpy(mbs.q, y, coordinate_bytes);
  std::memcpy(mbs.p, y + l.momenta_start, coordinate_bytes);
  place_carriages(rope.carriages, y + l.carriages_start);

  if (run_rhs_passes(mbs) != MbsStatus::ok) return GSL_EBADFUNC;

  carriage_rates(rope.carriages, rope.bodies.front(), rope.bodies.back(), dydt + l.carriages_start);
  std::memcpy(dydt, mbs.qdot, coordinate_bytes);
  std::memcpy(dydt + l.momenta_start, mbs.pdot, coordinate_bytes);
  return GSL_SUCCESS;
}

int method_rhs(double t, const double y[], double dydt[], void* params) {
  ++static_cast<Simulation*>(params)->evaluations;
  return hamilton_rhs(t, y, dydt, params);
}

MbsStatus set_state(Simulation& sim, const double y[]) {
  std::copy(y, y + sim.layout.dimension, sim.state.begin());
  return admit_given_energy(sim, refresh_readings(sim));
}

// The set-up passes turn the rates into momenta, as at start-up; the carriages keep their state.
MbsStatus set_configuration(Simulation& sim, const double q[], const double qdot[]) {
  Mbs& mbs = sim.rope.mbs;
  const int n = sim.layout.coordinates;
  std::copy(q, q + n, mbs.q);
  for (int i = 0; i < n; ++i) mbs.qdot[i] = qdot ? qdot[i] : 0.0;
  const MbsStatus set_up = run_setup_passes(mbs);
  if (set_up != MbsStatus::ok) return set_up;
  std::copy(mbs.q, mbs.q + n, sim.state.begin());
  std::copy(mbs.p, mbs.p + n, sim.state.begin() + sim.layout.momenta_start);
  return admit_given_energy(sim, refresh_readings(sim));
}

void set_target(Simulation& sim, int carriage, double x) {
  if (carriage == 1 || carriage == 2) sim.rope.carriages.drive_target[carriage - 1] = x;
}

namespace {

// A whole rope hangs by its couplings near the carriages: under its weight the ends sag by the
// weight over the couplings' stiffness, and carriages apart by more than the rope's length
// stretch the couplings by about that spread. The scene the rope starts in (its length and the
// carriages' spread at the start) sets the scale; a rope this many scenes away from a carriage
// has been torn from it, as by a target dragged a kilometre away.
constexpr double torn_scenes = 25.0;
// Sound motion stays far inside the energy bound below; this factor (ten in speed) keeps rounding
// and the integrator's error from ever reaching it.
constexpr double energy_margin = 100.0;
constexpr double full_turn = 6.283185307179586;

double chain_sum(const ChainValues& values, size_t from, size_t count) {
  double sum = 0.0;
  for (size_t k = from; k < count; ++k) sum += values[k];
  return sum;
}

// Turning coordinate i alone swings every body outboard of its pivot, each point at most the
// outboard length from it, so M_ii <= outboard mass * outboard length^2; x and y move the whole
// rope, M_ii = its mass. Cauchy-Schwarz on p = M qdot gives |p_i| <= sqrt(2 T M_ii).
bool size_momentum_scale(DivergenceBound& bound, const RopeParameters& parameters) {
  const size_t bodies = static_cast<size_t>(parameters.links) + 1;
  try {
    bound.momentum_scale.assign(bodies + 2, 0.0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  bound.momentum_scale[0] = bound.momentum_scale[1] = std::sqrt(2.0 * bound.rope_mass);
  double mass = parameters.payload_mass, length = 0.0;
  for (size_t k = bodies; k-- > 0;) {
    mass += parameters.link_mass[k];
    length += parameters.link_length[k];
    bound.momentum_scale[k + 2] = std::sqrt(2.0 * mass) * length;
  }
  return true;
}

// What the springs that do not depend on the reach can hold: every joint wound a whole turn
// beyond its rest angle, each end body turned a whole turn.
double wound_energy(const RopeParameters& parameters) {
  double energy = 0.0;
  for (size_t c = 0; c < 2; ++c)
    energy += 0.5 * parameters.end_stiffness_angle[c] * full_turn * full_turn;
  for (size_t j = 0; j < static_cast<size_t>(parameters.links); ++j) {
    const double wound = full_turn + std::fabs(parameters.joint_rest_angle[j]);
    energy += 0.5 * parameters.joint_stiffness[j] * wound * wound;
  }
  return energy;
}

bool set_divergence_bound(DivergenceBound& bound, const RopeParameters& parameters) {
  const size_t bodies = static_cast<size_t>(parameters.links) + 1;
  bound.rope_length = chain_sum(parameters.link_length, 0, bodies);
  const double spread = std::fabs(parameters.carriage_start[1] - parameters.carriage_start[0]);
  bound.reach = torn_scenes * (bound.rope_length + spread);
  bound.rope_mass = chain_sum(parameters.link_mass, 0, bodies) + parameters.payload_mass;
  bound.weight = bound.rope_mass * std::fabs(parameters.gravity);
  bound.coupling_stiffness = 0.0;
  for (size_t c = 0; c < 2; ++c)
    bound.coupling_stiffness += parameters.end_stiffness_x[c] + parameters.end_stiffness_y[c];
  bound.wound_energy = wound_energy(parameters);
  bound.given_energy = 0.0;
  return size_momentum_scale(bound, parameters);
}

// The base is held by carriage 1's coupling; the far end, within the rope's length of the base,
// by carriage 2's. Anchors sit on the x axis under the carriages.
bool torn_from_carriages(const DivergenceBound& bound, const double y[], int x1) {
  return std::hypot(y[0] - y[x1], y[1]) > bound.reach ||
         std::hypot(y[0] - y[x1 + 2], y[1]) > bound.reach + bound.rope_length;
}

// Energy the rope can hold while within reach: no coupling is stretched beyond the reach and twice
// the rope's length, gravity acts over twice that, the springs wound as wound_energy says, and the
// kinetic energy it was given.
double rope_energy(const DivergenceBound& bound) {
  const double stretch = bound.reach + 2.0 * bound.rope_length;
  return 0.5 * bound.coupling_stiffness * stretch * stretch + 2.0 * bound.weight * stretch +
         bound.wound_energy + bound.given_energy;
}

// The rope's kinetic energy is at most what it can hold within reach, plus that of being dragged
// along by carriages at their present speeds; each carriage's at most that plus its drive's.
bool faster_than_energy_allows(const Simulation& sim, const double y[]) {
  const DivergenceBound& bound = sim.bound;
  const StateLayout& l = sim.layout;
  const double v1 = y[l.carriages_start + 1], v2 = y[l.carriages_start + 3];
  const double speed = std::fabs(v1) + std::fabs(v2);
  const double held = rope_energy(bound);
  const double dragged = 0.5 * bound.rope_mass * speed * speed;
  const double root = std::sqrt(energy_margin * (held + dragged));
  for (int i = 0; i < l.coordinates; ++i)
    if (std::fabs(y[l.momenta_start + i]) > root * bound.momentum_scale[i]) return true;
  const Carriages& carriages = sim.rope.carriages;
  for (int c = 0; c < 2; ++c) {
    const double offset = y[l.carriages_start + 2 * c] - carriages.drive_target[c];
    const double drive = 0.5 * carriages.drive_stiffness[c] * offset * offset;
    const double v = y[l.carriages_start + 2 * c + 1];
    if (0.5 * carriages.carriage_mass[c] * v * v > energy_margin * (held + drive)) return true;
  }
  return false;
}

}  // namespace

// Divergence is judged on what a sound trajectory cannot do, at any link count: hold a NaN or an
// infinity, leave its carriages by many times the scene's size, or move faster than all the energy
// the rope could hold allows. Every bound is derived from the parameters (set at start-up), so a
// long rope, whose momenta grow as the cube of its link count, is measured as fairly as the default
// one. The driver applies it to accepted states only: a trial stage of a step that the step-size
// control rejects may be far off without anything being wrong.
bool state_diverged(const Simulation& sim, const double y[]) {
  for (int i = 0; i < sim.layout.dimension; ++i)
    if (!std::isfinite(y[i])) return true;
  return torn_from_carriages(sim.bound, y, sim.layout.carriages_start) ||
         faster_than_energy_allows(sim, y);
}
