// auto: the explicit pair while the rope is soft, the implicit method while the stiffest joint
// holds the explicit step at its stability limit and an implicit frame costs less, chosen anew at
// each frame's start from what the run measured.
//
// Stiffness shows as |lambda| h: the rate of the stiffest mode (power iterations on difference
// quotients of the right-hand side at a frame's start, every few frames) times the mean accepted
// step of the frame before. Explicit steps whose |lambda| h sits at the edge of their stability
// region are held there by stability, not by accuracy; the implicit method is then tried, and
// each phase's right-hand sides per frame are counted. An implicit phase ends when its frames
// cost more than explicit frames would at the current stiffest rate (the explicit pair's
// stability-bound step count scales with it); an explicit phase ends when its frames cost more
// than the implicit ones did, or, still stability-bound, when the implicit method has not been
// tried for a while (the motion changes both costs; the wait doubles after every return).
// Several frames in a row must agree, and the costs must differ by a margin, so the choice does
// not flap.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "stepping/simulation.hpp"

namespace {

constexpr int estimate_period = 5;    // frames from one estimate of the stiffest rate to the next
constexpr int power_iterations = 16;  // right-hand sides per estimate
// |lambda| h of the explicit pair's accepted steps at and above which they are stability-bound
// (rkf45's measured 1.25 to 1.55 on stiff and soft ropes alike; accuracy-bound steps lie below).
constexpr double stiff_reach = 1.0;
constexpr double cost_margin = 1.2;  // one phase must cost this much more than the other
constexpr int frames_to_switch = 3;
// An implicit method's evaluation costs more than its right-hand side: the Krylov solve and its
// preconditioner come with it. Wall time per evaluation, 2 s of the 25-link rope at 1e-6: bdf
// 12.5, 5.6 and 8.4 us at joint_stiffness 5.5, 550 and 55000, rkf45 1.8, 1.5 and 1.7 us.
constexpr double implicit_evaluation_weight = 4.0;
constexpr int64_t longest_trial_wait = 640;  // frames

struct Auto {
  MethodInUse explicit_part, implicit_part;
  RightHandSide counted_rhs = nullptr;                      // the simulation's, while a part steps
  std::vector<double> base_rates, direction, probe, rates;  // the estimate's, sized at create
};

Auto& of(MethodObjects& objects) {
  return *reinterpret_cast<Auto*>(&objects);
}

MethodInUse& part_in_phase(Auto& a, const AutoRecord& record) {
  return record.implicit ? a.implicit_part : a.explicit_part;
}

void release(MethodObjects* objects) {
  delete reinterpret_cast<Auto*>(objects);
}

bool create_part(MethodInUse& part, Method method, Simulation& sim, const RunSettings& settings) {
  part.row = find_method(method);
  part.objects = part.row ? part.row->create(sim, settings) : nullptr;
  return part.objects != nullptr;
}

MethodObjects* create(Simulation& sim, const RunSettings& settings) {
  Auto* a = new (std::nothrow) Auto;
  if (!a) return nullptr;
  auto* objects = reinterpret_cast<MethodObjects*>(a);
  try {
    for (std::vector<double>* v : {&a->base_rates, &a->direction, &a->probe, &a->rates})
      v->assign(static_cast<size_t>(sim.dimension), 0.0);
  } catch (const std::bad_alloc&) {
    release(objects);
    return nullptr;
  }
  if (create_part(a->explicit_part, auto_explicit_method, sim, settings) &&
      create_part(a->implicit_part, auto_implicit_method, sim, settings)) {
    // The first frame tries the implicit method: on a stiff rope one explicit frame costs more than
    // all the implicit ones, and on a soft one the trial ends after a frame.
    sim.auto_record = AutoRecord{};
    sim.auto_record.implicit = true;
    return objects;
  }
  release(objects);
  return nullptr;
}

double norm(const std::vector<double>& v) {
  double sum = 0.0;
  for (const double x : v) sum += x * x;
  return std::sqrt(sum);
}

// J v for a unit v, by a forward difference from the rates at y.
bool jacobian_times(Auto& a, Simulation& sim, double step) {
  const size_t d = a.probe.size();
  for (size_t i = 0; i < d; ++i) a.probe[i] = sim.state[i] + step * a.direction[i];
  if (sim.rhs(sim.time, a.probe.data(), a.rates.data(), &sim) != 0) return false;
  for (size_t i = 0; i < d; ++i) a.rates[i] = (a.rates[i] - a.base_rates[i]) / step;
  return true;
}

// |lambda| of the stiffest mode at the current state, or `previous` when an evaluation failed.
// A lightly damped joint's eigenvalues come in pairs near +-i omega, where the growth of one
// iteration oscillates; over two it is |J^2 v| = omega^2 |v|, which converges.
double stiffest_rate(Auto& a, Simulation& sim, double previous) {
  if (sim.rhs(sim.time, sim.state.data(), a.base_rates.data(), &sim) != 0) return previous;
  const size_t d = a.direction.size();
  for (size_t i = 0; i < d; ++i) a.direction[i] = std::sin(1.7 * static_cast<double>(i) + 0.3);
  const double step = 1e-7 * (1.0 + norm(sim.state));
  double growth = 0.0, rate = previous;
  for (int k = 0; k < power_iterations; ++k) {
    const double length = norm(a.direction);
    if (!(length > 0.0)) return previous;
    for (double& x : a.direction) x /= length;
    if (!jacobian_times(a, sim, step)) return previous;
    const double next_growth = norm(a.rates);
    if (k > 0) rate = std::sqrt(growth * next_growth);
    growth = next_growth;
    a.direction.swap(a.rates);
  }
  return std::isfinite(rate) ? rate : previous;
}

bool asks_implicit(const AutoRecord& r, double reach) {
  const bool stability_bound = reach >= stiff_reach;
  if (r.implicit_cost == 0.0) return stability_bound;
  return r.explicit_cost > cost_margin * r.implicit_cost ||
         (stability_bound && r.frames_since_trial >= r.trial_wait);
}

// Explicit frames at the current rate: their step count scales with it while stability-bound.
bool asks_explicit(const AutoRecord& r) {
  if (r.explicit_cost == 0.0 || r.explicit_rate == 0.0) return false;
  const double explicit_now = r.explicit_cost * r.stiffest_rate / r.explicit_rate;
  return r.implicit_cost > cost_margin * explicit_now;
}

// The last frame's measures, then its vote.
void decide(AutoRecord& r, double frame_span) {
  if (r.frame_steps == 0) return;
  const double reach = r.stiffest_rate * frame_span / static_cast<double>(r.frame_steps);
  const auto cost = static_cast<double>(r.frame_evaluations);
  if (r.implicit) {
    r.implicit_cost = implicit_evaluation_weight * cost;
  } else {
    r.explicit_cost = cost;
    r.explicit_rate = r.stiffest_rate;
  }
  // Implicit steps no longer than stable explicit ones would be: explicit frames cost less at
  // once. A first trial of the implicit method is cheap to take back, so it needs one frame.
  const bool short_implicit = r.implicit && reach < stiff_reach;
  const bool asks_other = r.implicit ? short_implicit || asks_explicit(r) : asks_implicit(r, reach);
  const bool at_once = short_implicit || (!r.implicit && r.implicit_cost == 0.0);
  r.votes = asks_other ? r.votes + 1 : 0;
  if (r.votes < (at_once ? 1 : frames_to_switch)) return;
  r.implicit = !r.implicit;
  r.votes = 0;
  r.frames_since_trial = 0;
  if (!r.implicit) r.trial_wait = std::min(2 * r.trial_wait, longest_trial_wait);
}

// Every frame's start: estimate, decide, count the frame, and start the phase's method (the
// implicit one restarts every frame; the explicit one only when it takes over).
void restart(MethodObjects& objects, Simulation& sim) {
  Auto& a = of(objects);
  AutoRecord& record = sim.auto_record;
  if ((record.explicit_frames + record.implicit_frames) % estimate_period == 0)
    record.stiffest_rate = stiffest_rate(a, sim, record.stiffest_rate);
  const bool was_implicit = record.implicit;
  decide(record, sim.frame_span);
  ++(record.implicit ? record.implicit_frames : record.explicit_frames);
  if (!record.implicit) ++record.frames_since_trial;
  record.frame_steps = 0;
  record.frame_evaluations = 0;
  MethodInUse& part = part_in_phase(a, record);
  if (record.implicit != was_implicit || part.row->restarts_each_frame)
    part.row->restart(*part.objects, sim);
}

// The phase's costs count the evaluations its method makes: each goes through this wrapper.
int counting_rhs(double t, const double y[], double dydt[], void* params) {
  Simulation& sim = *static_cast<Simulation*>(params);
  ++sim.auto_record.frame_evaluations;
  return of(*sim.integrator.objects).counted_rhs(t, y, dydt, params);
}

int step(MethodObjects& objects, Simulation& sim, double t1) {
  Auto& a = of(objects);
  MethodInUse& part = part_in_phase(a, sim.auto_record);
  a.counted_rhs = sim.rhs;
  sim.rhs = counting_rhs;
  const int status = part.row->step(*part.objects, sim, t1);
  sim.rhs = a.counted_rhs;
  if (status == 0) ++sim.auto_record.frame_steps;
  return status;
}

}  // namespace

extern const IntegrationMethod auto_method{
    .method = Method::auto_,
    .create = create,
    .step = step,
    .restart = restart,
    .release = release,
    .initial_step = 0.00025,      // s, the explicit pair's
    .restarts_each_frame = true,  // decisions are made at frame starts only
    .ends_on_accepted_state = false,
};
