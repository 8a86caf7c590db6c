#include "stepping/rest_state.hpp"

#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_spgmr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "stepping/step_preconditioner.hpp"

// The search is pseudo-transient continuation: backward Euler steps of the rope's own motion from
// rest, every momentum dropped after each step, with the step h growing as the forces fall. One
// step solves (I - h J) d = h f at the momenta zero; in the coordinates that is
//   (M / h^2 + C / h + K) dq = F,
// F the generalised forces and K their stiffness: a short step moves the rope as it would start
// to fall, a long one is Newton's step on the equilibrium. The solve is the implicit methods' own:
// restarted GMRES, preconditioned on the right by the O(n) tree solve, with J's products taken by
// differences of the right-hand side, so stiffness the tree solve leaves out (friction's pull on
// the normal force, the turn of a peg's normal) is still taken exactly. Each step costs O(n); near
// the equilibrium the steps are Newton's and the forces fall quadratically.

namespace {

constexpr int most_steps = 500;
// Converged when no generalised force exceeds this share of the rope's weight times its length
// (without gravity, of the largest force at the start).
constexpr double force_share = 1e-9;
constexpr double first_step = 1e-3;    // s of pseudo-time
constexpr double shortest_step = 1e-9;  // s: a search this cautious has lost its way
// A step may raise the imbalance this much (a rope falling into its hanging shape does for a
// while); more and it is taken again, four times shorter.
constexpr double imbalance_growth_allowed = 2.0;
// The step grows as the imbalance falls (by the square of the fall: the mass term goes as
// 1 / h^2), never faster: a step let grow while the rope is still falling lands on the nearest
// balance of forces, which for a rope starting straight and too long for its carriages is the
// unstable one, straight and squeezed, not the hanging one.
constexpr double step_growth_most = 4.0;
constexpr int krylov_dimension = 30;
// An inexact Newton step is still a good step: on long ropes, where the tree solve's tension is
// only close, more restarts cost more than the steps they save (10,000 links: 12 s with five).
constexpr int krylov_restarts = 1;
constexpr double krylov_share = 1e-3;  // of the right-hand side's norm
constexpr double root_epsilon = 1.4901161193847656e-08;

// The longest step, in units of the rope's pendulum time sqrt(L / g): its mass term stays a
// hundredth of the slowest swing's stiffness, enough to be Newton's step there, and keeps the
// Krylov solve well conditioned where the tree solve's stiffness is only close (the tension's).
constexpr double longest_step_swings = 10.0;
constexpr double least_gravity = 1.0;  // m/s^2: a rope without gravity still has a time scale

double longest_step(const Simulation& sim) {
  const double g = std::max(std::fabs(sim.parameters.gravity), least_gravity);
  return longest_step_swings * std::sqrt(sim.bound.rope_length / g);
}

struct Search {
  Simulation& sim;
  StepPreconditioner preconditioner;
  std::vector<double> y, rates, trial, trial_rates, shifted, shifted_rates;
  double step = first_step;
  int krylov_iterations = 0;
  SUNContext context = nullptr;
  N_Vector correction = nullptr, right_side = nullptr;
  SUNLinearSolver solver = nullptr;

  explicit Search(Simulation& s) : sim(s) {}
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;
  ~Search() {
    if (solver) SUNLinSolFree(solver);
    if (correction) N_VDestroy(correction);
    if (right_side) N_VDestroy(right_side);
    if (context) SUNContext_Free(&context);
  }
};

Search& of(void* data) {
  return *static_cast<Search*>(data);
}

// (I - h J) v with the carriages held where they are: their rows are the identity. J v is a
// forward difference of the right-hand side at the current state.
int apply_step_matrix(void* data, N_Vector v, N_Vector z) {
  Search& s = of(data);
  const int rope = s.sim.layout.carriages_start, dimension = s.sim.layout.dimension;
  const double* vv = N_VGetArrayPointer(v);
  double* zz = N_VGetArrayPointer(z);
  std::copy(vv + rope, vv + dimension, zz + rope);
  double size = 0.0, reach = 1.0;
  for (int i = 0; i < rope; ++i) {
    size = std::max(size, std::fabs(vv[i]));
    reach = std::max(reach, std::fabs(s.y[static_cast<size_t>(i)]));
  }
  if (!(size > 0.0)) {
    std::fill(zz, zz + rope, 0.0);
    return 0;
  }
  const double e = root_epsilon * reach / size;
  std::copy(s.y.begin(), s.y.end(), s.shifted.begin());
  for (int i = 0; i < rope; ++i) s.shifted[static_cast<size_t>(i)] += e * vv[i];
  if (hamilton_rhs(0.0, s.shifted.data(), s.shifted_rates.data(), &s.sim) != 0) return -1;
  for (int i = 0; i < rope; ++i) {
    const auto at = static_cast<size_t>(i);
    zz[i] = vv[i] - s.step * (s.shifted_rates[at] - s.rates[at]) / e;
  }
  return 0;
}

int set_up_preconditioner(void* data) {
  Search& s = of(data);
  return set_up_step_preconditioner(s.sim, s.preconditioner, s.y.data(), s.step) ==
                 MbsStatus::ok
             ? 0
             : -1;
}

int solve_preconditioner(void* data, N_Vector r, N_Vector z, sunrealtype, int) {
  Search& s = of(data);
  const double* rr = N_VGetArrayPointer(r);
  double* zz = N_VGetArrayPointer(z);
  if (solve_step_preconditioner(s.sim, s.preconditioner, rr, zz) != MbsStatus::ok) return -1;
  const int rope = s.sim.layout.carriages_start;
  std::copy(rr + rope, rr + s.sim.layout.dimension, zz + rope);
  return 0;
}

bool make_search(Search& s) {
  const auto dimension = static_cast<size_t>(s.sim.layout.dimension);
  try {
    for (std::vector<double>* v :
         {&s.y, &s.rates, &s.trial, &s.trial_rates, &s.shifted, &s.shifted_rates})
      v->assign(dimension, 0.0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!make_step_preconditioner(s.preconditioner, s.sim)) return false;
  if (SUNContext_Create(nullptr, &s.context) != 0) return false;
  const auto length = static_cast<sunindextype>(dimension);
  s.correction = N_VNew_Serial(length, s.context);
  s.right_side = N_VNew_Serial(length, s.context);
  if (!s.correction || !s.right_side) return false;
  s.solver = SUNLinSol_SPGMR(s.correction, SUN_PREC_RIGHT, krylov_dimension, s.context);
  return s.solver && SUNLinSolSetATimes(s.solver, &s, apply_step_matrix) == SUNLS_SUCCESS &&
         SUNLinSolSetPreconditioner(s.solver, &s, set_up_preconditioner, solve_preconditioner) ==
             SUNLS_SUCCESS &&
         SUNLinSol_SPGMRSetMaxRestarts(s.solver, krylov_restarts) == SUNLS_SUCCESS &&
         SUNLinSolInitialize(s.solver) == SUNLS_SUCCESS;
}

// The largest generalised force at a state of rest: the momenta's rates.
double largest_force(const Simulation& sim, const std::vector<double>& rates) {
  double largest = 0.0;
  for (int i = 0; i < sim.layout.coordinates; ++i) {
    const double force = rates[static_cast<size_t>(sim.layout.momenta_start + i)];
    if (!std::isfinite(force)) return INFINITY;
    largest = std::max(largest, std::fabs(force));
  }
  return largest;
}

// Rates at `y`; an infinite force where the core cannot evaluate it.
double force_at(Search& s, const std::vector<double>& y, std::vector<double>& rates) {
  if (hamilton_rhs(0.0, y.data(), rates.data(), &s.sim) != 0) return INFINITY;
  return largest_force(s.sim, rates);
}

// How far from rest a state is, whatever the coordinates' units: sqrt(F . M^-1 F), the
// acceleration the forces F would give a rope at rest, weighted by its inertia. The rates at
// (q, p = F) hold M^-1 F.
double imbalance(Search& s, const std::vector<double>& y, const std::vector<double>& rates) {
  const StateLayout& l = s.sim.layout;
  std::copy(y.begin(), y.end(), s.shifted.begin());
  for (int i = 0; i < l.coordinates; ++i)
    s.shifted[static_cast<size_t>(l.momenta_start + i)] =
        rates[static_cast<size_t>(l.momenta_start + i)];
  if (hamilton_rhs(0.0, s.shifted.data(), s.shifted_rates.data(), &s.sim) != 0) return INFINITY;
  double sum = 0.0;
  for (int i = 0; i < l.coordinates; ++i)
    sum += rates[static_cast<size_t>(l.momenta_start + i)] * s.shifted_rates[static_cast<size_t>(i)];
  return std::isfinite(sum) ? std::sqrt(std::fabs(sum)) : INFINITY;
}

// One pseudo-time step from s.y into s.trial; false when the linear solve broke down.
bool take_step(Search& s) {
  const StateLayout& l = s.sim.layout;
  double* b = N_VGetArrayPointer(s.right_side);
  double* d = N_VGetArrayPointer(s.correction);
  double norm = 0.0;
  for (int i = 0; i < l.dimension; ++i) {
    const auto at = static_cast<size_t>(i);
    b[i] = i < l.carriages_start ? s.step * s.rates[at] : 0.0;
    norm += b[i] * b[i];
    d[i] = 0.0;
  }
  if (SUNLinSolSetup(s.solver, nullptr) != SUNLS_SUCCESS) return false;
  const int solved =
      SUNLinSolSolve(s.solver, nullptr, s.correction, s.right_side, krylov_share * std::sqrt(norm));
  s.krylov_iterations += SUNLinSolNumIters(s.solver);
  if (solved < 0) return false;
  std::copy(s.y.begin(), s.y.end(), s.trial.begin());
  for (int i = 0; i < l.coordinates; ++i) s.trial[static_cast<size_t>(i)] += d[i];
  return true;
}

std::string no_rest(int steps, double force) {
  char text[160];
  std::snprintf(text, sizeof text,
                "initial_state \"rest\": no equilibrium found in %d steps (a force of %.3g N or "
                "N m is left)",
                steps, force);
  return text;
}

bool search_for_rest(Simulation& sim, std::string& error, RestSearch* report) {
  Search s(sim);
  if (!make_search(s)) {
    error = "initial_state \"rest\": out of memory";
    return false;
  }
  const StateLayout& l = sim.layout;
  std::copy(sim.state.begin(), sim.state.end(), s.y.begin());
  std::fill(s.y.begin() + l.momenta_start, s.y.begin() + l.carriages_start, 0.0);
  for (int k = 1; k < l.carriage_slots; k += 2) s.y[static_cast<size_t>(l.carriages_start + k)] = 0.0;
  double force = force_at(s, s.y, s.rates);
  if (!std::isfinite(force)) {
    error = "initial_state \"rest\": the rope's start cannot be evaluated";
    return false;
  }
  const double weight_moment = sim.bound.weight * sim.bound.rope_length;
  const double scale = weight_moment > 0.0 ? weight_moment : force;
  double merit = imbalance(s, s.y, s.rates);
  int steps = 0;
  while (force > force_share * scale) {
    if (steps == most_steps || s.step < shortest_step) {
      error = no_rest(steps, force);
      return false;
    }
    ++steps;
    const double trial_force = take_step(s) ? force_at(s, s.trial, s.trial_rates) : INFINITY;
    const double trial_merit =
        std::isfinite(trial_force) ? imbalance(s, s.trial, s.trial_rates) : INFINITY;
    if (!(trial_merit <= imbalance_growth_allowed * merit)) {
      s.step /= step_growth_most;
      continue;
    }
    s.y.swap(s.trial);
    s.rates.swap(s.trial_rates);
    const double fall = trial_merit > 0.0 ? merit / trial_merit : step_growth_most;
    s.step = std::min(longest_step(sim), s.step * std::clamp(fall * fall, 1.0, step_growth_most));
    force = trial_force;
    merit = trial_merit;
  }
  if (report) *report = {steps, s.krylov_iterations, force};
  if (set_state(sim, s.y.data()) != MbsStatus::ok) {
    error = "initial_state \"rest\": the equilibrium found cannot be evaluated";
    return false;
  }
  return true;
}

}  // namespace

// A search that fails leaves the state alone; the readings go back to it.
bool settle_at_rest(Simulation& sim, std::string& error, RestSearch* report) {
  if (search_for_rest(sim, error, report)) return true;
  refresh_readings(sim);
  return false;
}

bool place_initial_state(Simulation& sim, std::string& error) {
  if (sim.parameters.initial_state != InitialState::rest) return true;
  return settle_at_rest(sim, error);
}
