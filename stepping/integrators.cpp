// The one place where methods are chosen, stepped and released: everything else goes through
// these functions and a method's row.
#include "stepping/integrators.hpp"


#include "stepping/simulation.hpp"

void MethodInUse::release() {
  if (objects) row->release(objects);
  objects = nullptr;
}

MethodStatus use_method(Simulation& sim, const IntegrationMethod& row,
                        const RunSettings& settings) {
  const bool same_tolerances = settings.absolute_tolerance == sim.settings.absolute_tolerance &&
                               settings.relative_tolerance == sim.settings.relative_tolerance;
  if (sim.integrator.row == &row && same_tolerances) return MethodStatus::ok;
  const double previous_step = sim.step_size;
  sim.step_size = row.initial_step;
  MethodObjects* objects = row.create(sim, settings);
  if (!objects) {
    sim.step_size = previous_step;
    return MethodStatus::out_of_memory;
  }
  sim.integrator.release();
  sim.integrator.row = &row;
  sim.integrator.objects = objects;
  sim.settings = settings;
  sim.settings.method = row.method;
  return MethodStatus::ok;
}

MethodStatus use_integrator(Simulation& sim, const RunSettings& settings) {
  const IntegrationMethod* row = find_method(settings.method);
  if (!row) return MethodStatus::unavailable;
  return use_method(sim, *row, settings);
}

std::string method_status_message(MethodStatus status, const RunSettings& settings) {
  const std::string name = method_name(settings.method);
  switch (status) {
    case MethodStatus::ok:
      return "";
    case MethodStatus::unavailable:
      return "the integrator '" + name + "' is not part of this build";
    case MethodStatus::out_of_memory:
      return "out of memory: cannot allocate the integrator '" + name + "'";
  }
  return "";
}

// The explicit methods carry nothing but the step size from step to step, so a state changed
// between frames (set from outside, an undone frame, a resumed run) needs nothing of them. The
// implicit ones start afresh each frame from the state as it is.
void start_method_frame(Simulation& sim) {
  MethodInUse& in_use = sim.integrator;
  if (in_use.row->restarts_each_frame) in_use.row->restart(*in_use.objects, sim);
}

int method_step(Simulation& sim, double t1) {
  sim.step_interrupted = false;
  return sim.integrator.row->step(*sim.integrator.objects, sim, t1);
}

namespace {
std::string frames(int64_t count) {
  return std::to_string(count) + (count == 1 ? " frame" : " frames");
}
}  // namespace

std::string method_summary(const Simulation& sim) {
  const std::string name = method_name(sim.settings.method);
  if (sim.settings.method != Method::auto_) return name;
  const AutoRecord& r = sim.auto_record;
  return name + " (" + method_name(auto_explicit_method) + " " + frames(r.explicit_frames) + ", " +
         method_name(auto_implicit_method) + " " + frames(r.implicit_frames) + ")";
}
