// auto: the explicit pair while the rope is soft, an implicit method while the stiffest joint
// holds the explicit step at its stability limit and an implicit frame costs less, chosen anew at
// each frame's start from what the run measured. The implicit method is dirk for a short rope and
// bdf for a long one; on a short rope it runs at a share of the tolerance, so that both phases
// land about as far inside it and their costs are weighed at about equal error.
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
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "stepping/simulation.hpp"

// The methods auto chooses between, each through its own row.
extern const IntegrationMethod rkf45_method, bdf_method, dirk_method;

namespace {

constexpr int estimate_period = 5;    // frames from one estimate of the stiffest rate to the next
constexpr int power_iterations = 16;  // right-hand sides per estimate
// |lambda| h of the explicit pair's accepted steps at and above which they are stability-bound
// (rkf45's measured 1.25 to 1.55 on stiff and soft ropes alike; accuracy-bound steps lie below).
constexpr double stiff_reach = 1.0;
// Before any frame has run there is no step to measure: the first frame is implicit when the
// explicit pair would need more than this many steps per frame (|lambda| times the frame over its
// stability reach) only to stay stable. Soft ropes are far below it (the default rope, dragged:
// about 10 to 30), stiff ones far above (55000: some 1,200; 5.5e6: 19,000).
constexpr double stiff_steps_at_start = 1000.0;
// Where the implicit method cannot be handed a hundredth of the tolerance (below 1e-9, see
// tightest_implicit_tolerance) it lands further off than explicit steps held at their stability
// limit, so the bar is ten times higher there: on the rope at 55000 N m/rad and 1e-10, a start in
// dirk put the worst frame 0.89 times the tolerance off against rkf45's 0.097, in the same time.
// Above, dirk at a hundredth costs less than rkf45 since the solvers' vector arithmetic and tree
// solve got cheaper (that rope for 2 s at 1e-8: 0.28 s from an implicit start, 0.42 s from an
// explicit one, when the bar was raised from 1e-8 down).
constexpr double raised_bar = 10.0;
constexpr double cost_margin = 1.2;  // one phase must cost this much more than the other
// An implicit method lands about as far off as the tolerance allows, while explicit steps held at
// their stability limit land far inside it (rkf45 on the 25-link rope at 550 N m/rad: 0.0024 to
// 0.038 times the tolerance, dirk 0.025 to 1.9). So the implicit method runs only where it takes
// at most half the explicit frames' cost; where it saves less, the explicit pair's accuracy is
// worth the time.
constexpr double implicit_gain = 2.0;
// For the same reason the implicit method is handed a hundredth of the tolerance from 1e-4 down:
// at it dirk lands 0.0012 to 0.026 times the tolerance off on those ropes and the 99-link fine
// rope, where rkf45 lands 0.0015 to 0.066, so both phases are weighed at about equal error. The
// share grows as the square of the tolerance to none at 1e-3, where dirk alone lands further
// inside it than rkf45 (0.0026 to 0.0028 times it off, against 0.015 to 0.66). Only on ropes
// short enough for explicit frames to stay within reach (on the 99-link fine rope they cost 2 to
// 35 times dirk's; at 1,000 links, thousands of times, and the tighter tolerance 11 times the
// time), and no tighter than 1e-11: at 1e-12 its frames cost twice as much (1 s of the fine rope
// at 1e-10, 25 s against 12 s), and on the rope at 5.5e6 N m/rad that sent auto to rkf45, which
// lands 4.6 times the tolerance off there.
constexpr double implicit_share = 0.01, loosest_shared_tolerance = 1e-3;
constexpr double most_coordinates_in_explicit_reach = 110.0;
constexpr double tightest_implicit_tolerance = 1e-11;
// A rope stiff from its start has no explicit frame to compare with: explicit frames held at
// their stability limit cost some right-hand sides per unit of |lambda| times the frame (rkf45's
// measured 2.0 on the 99-link fine rope, 2.5 at 55000 N m/rad, 3.9 at 550, 6.0 at 5.5e6 and
// 1e-10), so the implicit phase ends where they would clearly cost less. The guess is never read
// in the start's whip, the first 20 frames, when implicit frames at a tight tolerance cost up to
// twenty times what they cost later: read from the 11th, it sent the rope at 5.5e6 N m/rad and
// the 99-link fine rope at 1e-10 to rkf45 for 5 and 22 frames (1 s in 1.71 s and 12.9 s, against
// 1.25 s and 11.9 s). Once explicit frames have run, their measured cost replaces it.
constexpr double explicit_cost_per_reach = 3.0;
constexpr int64_t whip_frames = 20;
constexpr int frames_to_switch = 3;
// An implicit method's evaluation costs more than its right-hand side: the Krylov solve and its
// preconditioner come with it. Wall time per evaluation, 4 s of the 25-link rope at 1e-6: dirk
// 4.3, 4.3 and 4.3 us at joint_stiffness 5.5, 550 and 55000, bdf 5.4, 5.4 and 5.4 us, rkf45 1.1,
// 1.0 and 1.0 us.
constexpr double implicit_evaluation_weight = 4.5;
// No implicit frame costs less than this (weighted): the cheapest measured is one dirk step of 58
// evaluations, on the 25-link rope at 55000 N m/rad. Explicit frames that cost less are not
// worth a trial, however near their stability limit: the default rope's cost 130 to 500 in the
// whip at its start, where a dirk frame cost 3,200 to 4,700 evaluations.
constexpr double cheapest_implicit_frame = 400.0;
// An implicit phase that costs this many times what explicit frames would ends at once.
constexpr double clear_loss = 2.0;
constexpr int64_t longest_trial_wait = 640;  // frames
// A checkpoint's counts are refused above this: far from overflowing, and exact as doubles.
constexpr int64_t largest_saved_count = int64_t{1} << 53;

// What auto has measured and chosen so far. Its decisions read nothing else, and checkpoints
// carry it, so a resumed run chooses as the uninterrupted one does. Costs are right-hand sides
// per frame.
struct AutoRecord {
  bool implicit = false;  // the phase: the implicit method steps
  int64_t votes = 0;      // frames in a row whose measure asked for the other phase
  int64_t explicit_frames = 0, implicit_frames = 0;
  int64_t frames_since_trial = 0;  // explicit frames since the implicit method last ran
  int64_t trial_wait = 10;         // before the next trial; doubles after each return
  int64_t frame_steps = 0;         // accepted steps of the frame that ran last
  int64_t frame_evaluations = 0;   // and its right-hand sides
  double stiffest_rate = 0.0;      // 1/s, |lambda| of the stiffest mode at the last estimate
  double explicit_cost = 0.0;      // of the last explicit frame (0: none ran)
  double explicit_rate = 0.0;      // 1/s, the stiffest rate then
  double implicit_cost = 0.0;      // of the last implicit frame (0: none ran)
};

const IntegrationMethod& explicit_method = rkf45_method;

// Both implicit methods keep their error within about ten times the tolerance; what differs is
// the cost. dirk's six implicit stages a step cost more where the tree solve is poorer, on long
// ropes, and most at loose tolerances, where its long steps need many Newton iterations; bdf, of
// second order and handed tolerance^1.5, needs ever more steps as the tolerance tightens. So bdf
// runs past a length that grows steeply as the tolerance tightens. Measured, 1 s of the fine rope
// (bdf's processor time over dirk's): at 1e-4, 0.53 (50 links), 0.49 (100), 0.51 (200), and
// 1.8 to 2.3 on the stiff 25-link ropes; at 1e-5, 0.92 (50), 0.81 (100), 0.61 (500); at 1e-6,
// 1.18 (100), 1.20 (200), 1.03 (500), 0.73 (1,000); at 1e-7, 2.5 (200), 1.7 (500), 1.9 (1,000),
// and 1.3 over the first 0.05 s at 2,000 links; at 1e-8, 6 at 1,000 links.
// dirk lands further inside the tolerance, so at equal error it reaches further: at 1e-6, 0.93
// and 0.63 times the tolerance off at 100 and 500 links against bdf's 3.3 and 2.8; at 1e-4, on
// the 99-link fine rope of the accuracy tests, 0.022 against 1.5 in the same time. So dirk keeps
// ropes up to 110 coordinates at 1e-4 and 1e-5, some 1,600 at 1e-6 and every rope measured
// below; taken as 110 times 10^(1.16 b^2), b the decades below 1e-5.
constexpr double most_coordinates_for_dirk_to_1e5 = 110.0;

const IntegrationMethod& implicit_method(const Simulation& sim, const RunSettings& settings) {
  const double decades_below_1e5 = std::log10(1e-5 / tightest_tolerance(settings));
  const double beyond = std::max(0.0, decades_below_1e5);
  const double most = most_coordinates_for_dirk_to_1e5 * std::pow(10.0, 1.16 * beyond * beyond);
  return sim.layout.coordinates <= most ? dirk_method : bdf_method;
}

double share_at(double tolerance) {
  const double looser = tolerance / loosest_shared_tolerance;
  return std::clamp(looser * looser, implicit_share, 1.0);
}

double steps_at_start_bar(const RunSettings& settings) {
  const bool share_cut = tightest_tolerance(settings) * implicit_share < tightest_implicit_tolerance;
  return share_cut ? raised_bar * stiff_steps_at_start : stiff_steps_at_start;
}

RunSettings implicit_settings(const Simulation& sim, const RunSettings& settings) {
  if (sim.layout.coordinates > most_coordinates_in_explicit_reach) return settings;
  RunSettings tighter = settings;
  for (double* tolerance : {&tighter.absolute_tolerance, &tighter.relative_tolerance})
    *tolerance = std::max(*tolerance * share_at(*tolerance),
                          std::min(*tolerance, tightest_implicit_tolerance));
  return tighter;
}

struct Auto {
  MethodInUse explicit_part, implicit_part;
  AutoRecord record, at_frame_start;                        // the latter undone with a frame
  std::vector<double> base_rates, direction, probe, rates;  // the estimate's, sized at create
};

Auto& of(MethodObjects& objects) {
  return *reinterpret_cast<Auto*>(&objects);
}

const Auto& of(const MethodObjects& objects) {
  return *reinterpret_cast<const Auto*>(&objects);
}

MethodInUse& part_in_phase(Auto& a, const AutoRecord& record) {
  return record.implicit ? a.implicit_part : a.explicit_part;
}

void release(MethodObjects* objects) {
  delete reinterpret_cast<Auto*>(objects);
}

bool create_part(MethodInUse& part, const IntegrationMethod& row, Simulation& sim,
                 const RunSettings& settings) {
  part.row = &row;
  part.objects = row.create(sim, settings);
  return part.objects != nullptr;
}

MethodObjects* create(Simulation& sim, const RunSettings& settings) {
  Auto* a = new (std::nothrow) Auto;
  if (!a) return nullptr;
  auto* objects = reinterpret_cast<MethodObjects*>(a);
  try {
    for (std::vector<double>* v : {&a->base_rates, &a->direction, &a->probe, &a->rates})
      v->assign(static_cast<size_t>(sim.layout.dimension), 0.0);
  } catch (const std::bad_alloc&) {
    release(objects);
    return nullptr;
  }
  if (create_part(a->explicit_part, explicit_method, sim, settings) &&
      create_part(a->implicit_part, implicit_method(sim, settings), sim,
                  implicit_settings(sim, settings))) {
    // The first frame's phase is chosen from the rope's stiffness at its start (restart).
    a->record.implicit = false;
    a->at_frame_start = a->record;
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
  if (method_rhs(sim.time, a.probe.data(), a.rates.data(), &sim) != 0) return false;
  for (size_t i = 0; i < d; ++i) a.rates[i] = (a.rates[i] - a.base_rates[i]) / step;
  return true;
}

// |lambda| of the stiffest mode at the current state, or `previous` when an evaluation failed.
// A lightly damped joint's eigenvalues come in pairs near +-i omega, where the growth of one
// iteration oscillates; over two it is |J^2 v| = omega^2 |v|, which converges.
double stiffest_rate(Auto& a, Simulation& sim, double previous) {
  if (method_rhs(sim.time, sim.state.data(), a.base_rates.data(), &sim) != 0) return previous;
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

// Only explicit steps held at their stability limit ask for the implicit method: an implicit step
// as short as an accurate explicit one costs more.
bool asks_implicit(const AutoRecord& r, double reach) {
  if (reach < stiff_reach || r.explicit_cost < cheapest_implicit_frame) return false;
  if (r.implicit_cost == 0.0) return true;
  return r.explicit_cost > cost_margin * implicit_gain * r.implicit_cost ||
         r.frames_since_trial >= r.trial_wait;
}

// Explicit frames at the current rate: their step count scales with it while stability-bound.
// How many times the implicit frames cost what those would (0: nothing to compare with yet).
double implicit_over_explicit(const AutoRecord& r, double frame_span) {
  if (r.explicit_cost == 0.0) {
    if (r.implicit_frames <= whip_frames || r.stiffest_rate == 0.0) return 0.0;
    return r.implicit_cost / (explicit_cost_per_reach * r.stiffest_rate * frame_span);
  }
  if (r.explicit_rate == 0.0) return 0.0;
  return r.implicit_cost / (r.explicit_cost * r.stiffest_rate / r.explicit_rate);
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
  // once, as do implicit frames that clearly cost more. A single dear explicit frame (one in the
  // whip at the default rope's start) does not start a trial: its implicit frame cost seven times
  // as much.
  const bool short_implicit = r.implicit && reach < stiff_reach;
  const double loss = r.implicit ? implicit_over_explicit(r, frame_span) : 0.0;
  const bool asks_other =
      r.implicit ? short_implicit || loss > cost_margin / implicit_gain : asks_implicit(r, reach);
  const bool at_once = short_implicit || (loss > clear_loss && r.explicit_cost > 0.0);
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
  AutoRecord& record = a.record;
  const int64_t frames_run = record.explicit_frames + record.implicit_frames;
  if (frames_run % estimate_period == 0)
    record.stiffest_rate = stiffest_rate(a, sim, record.stiffest_rate);
  const bool was_implicit = record.implicit;
  if (frames_run == 0) {
    record.implicit =
        record.stiffest_rate * sim.frame_span / stiff_reach > steps_at_start_bar(sim.settings);
    // The implicit method then estimates its own first step: the explicit pair's, at first
    // order on the fine rope of 1,000 links, failed its error test until the first frame took
    // 3,083 steps, against 180. dirk from a whole frame (as when it takes over, below) let
    // through first steps that the start's whip then paid for: the 99-link fine rope's worst
    // frame at 1e-4 was 0.26 times the tolerance off, 2.8 times rkf45's, against 0.093.
    if (record.implicit) sim.step_size = a.implicit_part.row->initial_step;
  }
  decide(record, sim.frame_span);
  ++(record.implicit ? record.implicit_frames : record.explicit_frames);
  if (!record.implicit) ++record.frames_since_trial;
  record.frame_steps = 0;
  record.frame_evaluations = 0;
  MethodInUse& part = part_in_phase(a, record);
  // dirk taking over from explicit frames starts with a whole frame for its first step (its
  // error test cuts it when too long): from the explicit pair's step it took 10 steps and 321
  // evaluations to grow into the frame on the rope at 550 N m/rad, against 1 step and 50, and so
  // lost every trial. bdf restarts at first order and does better from a short step.
  const bool takes_over = record.implicit && !was_implicit && frames_run > 0;
  if (takes_over && part.row == &dirk_method)
    sim.step_size = std::max(sim.step_size, sim.frame_span);
  if (record.implicit != was_implicit || part.row->restarts_each_frame)
    part.row->restart(*part.objects, sim);
}

// The phase's costs count the evaluations its method makes.
int step(MethodObjects& objects, Simulation& sim, double t1) {
  Auto& a = of(objects);
  MethodInUse& part = part_in_phase(a, a.record);
  const int64_t evaluations_before = sim.evaluations;
  const int status = part.row->step(*part.objects, sim, t1);
  a.record.frame_evaluations += sim.evaluations - evaluations_before;
  if (status == 0) ++a.record.frame_steps;
  return status;
}

std::string frames(int64_t count) {
  return std::to_string(count) + (count == 1 ? " frame" : " frames");
}

// "auto (rkf45 120 frames, dirk 80 frames)"
std::string summary(const MethodObjects& objects) {
  const Auto& a = of(objects);
  const AutoRecord& r = a.record;
  return std::string("auto (") + explicit_method.name + " " + frames(r.explicit_frames) + ", " +
         a.implicit_part.row->name + " " + frames(r.implicit_frames) + ")";
}

void keep_frame_start(MethodObjects& objects) {
  of(objects).at_frame_start = of(objects).record;
}

void undo_frame(MethodObjects& objects) {
  of(objects).record = of(objects).at_frame_start;
}

// The record in a checkpoint: the phase, the counts as whole numbers, the measures as reals.
struct Count {
  const char* name;
  int64_t AutoRecord::*member;
};
constexpr Count counts[] = {{"votes", &AutoRecord::votes},
                            {"explicit_frames", &AutoRecord::explicit_frames},
                            {"implicit_frames", &AutoRecord::implicit_frames},
                            {"frames_since_trial", &AutoRecord::frames_since_trial},
                            {"trial_wait", &AutoRecord::trial_wait},
                            {"frame_steps", &AutoRecord::frame_steps},
                            {"frame_evaluations", &AutoRecord::frame_evaluations}};
struct Measure {
  const char* name;
  double AutoRecord::*member;
};
constexpr Measure measures[] = {{"stiffest_rate", &AutoRecord::stiffest_rate},
                                {"explicit_cost", &AutoRecord::explicit_cost},
                                {"explicit_rate", &AutoRecord::explicit_rate},
                                {"implicit_cost", &AutoRecord::implicit_cost}};
using Kind = SavedValue::Kind;

void values_of(const AutoRecord& r, SavedValues& values) {
  values.push_back(
      {.name = "phase", .kind = Kind::word, .word = r.implicit ? "implicit" : "explicit"});
  for (const Count& count : counts)
    values.push_back({.name = count.name, .kind = Kind::whole, .whole = r.*count.member});
  for (const Measure& measure : measures)
    values.push_back({.name = measure.name, .kind = Kind::real, .real = r.*measure.member});
}

void save(const MethodObjects& objects, SavedValues& values) {
  values_of(of(objects).record, values);
}

// The record that checked values make.
AutoRecord record_of(const SavedValues& values) {
  AutoRecord r;
  r.implicit = find_saved(values, "phase")->word == "implicit";
  for (const Count& count : counts) r.*count.member = find_saved(values, count.name)->whole;
  for (const Measure& measure : measures)
    r.*measure.member = find_saved(values, measure.name)->real;
  return r;
}

bool phase_given(const SavedValues& values) {
  const SavedValue* phase = find_saved(values, "phase");
  return phase && phase->kind == Kind::word &&
         (phase->word == "explicit" || phase->word == "implicit");
}

bool counts_in_range(const SavedValues& values) {
  for (const Count& count : counts) {
    const SavedValue* value = find_saved(values, count.name);
    if (!value || value->kind != Kind::whole || value->whole < 0 ||
        value->whole > largest_saved_count)
      return false;
  }
  return true;
}

bool measures_in_range(const SavedValues& values) {
  for (const Measure& measure : measures) {
    const SavedValue* value = find_saved(values, measure.name);
    if (!value || value->kind == Kind::word || !std::isfinite(value->real) || value->real < 0.0)
      return false;
  }
  return true;
}

bool read_saved(const SavedValues& read, SavedValues& values, std::string& needs) {
  needs = "auto's phase (\"explicit\" or \"implicit\"), counts (whole numbers from 0 to " +
          std::to_string(largest_saved_count) + ") and measures (finite, 0 or more), no more";
  if (read.size() != 1 + std::size(counts) + std::size(measures) || !phase_given(read) ||
      !counts_in_range(read) || !measures_in_range(read))
    return false;
  values_of(record_of(read), values);
  return true;
}

void restore(MethodObjects& objects, const SavedValues& values) {
  of(objects).record = record_of(values);
}

}  // namespace

extern const IntegrationMethod auto_method{
    .name = "auto",
    .description = "rkf45, or for stiff ropes dirk (bdf for long ropes), chosen each frame",
    .create = create,
    .step = step,
    .restart = restart,
    .release = release,
    .initial_step = 0.00025,      // s, the explicit pair's
    .restarts_each_frame = true,  // decisions are made at frame starts only
    .ends_on_accepted_state = false,
    .summary = summary,
    .keep_frame_start = keep_frame_start,
    .undo_frame = undo_frame,
    .save = save,
    .read_saved = read_saved,
    .restore = restore,
};
