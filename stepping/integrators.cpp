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
  sim.settings.method = &row;
  return MethodStatus::ok;
}

MethodStatus use_integrator(Simulation& sim, const RunSettings& settings) {
  return use_method(sim, *settings.method, settings);
}

std::string method_status_message(MethodStatus status, const RunSettings& settings) {
  if (status == MethodStatus::ok) return "";
  return "out of memory: cannot allocate the integrator '" + std::string(settings.method->name) +
         "'";
}

// rk4 carries nothing but the step size from step to step, so a state changed between frames
// (set from outside, an undone frame, a resumed run, a moved target) needs nothing of it. The
// others start afresh each frame from the state as it is.
void start_method_frame(Simulation& sim) {
  MethodInUse& in_use = sim.integrator;
  if (in_use.row->restarts_each_frame) in_use.row->restart(*in_use.objects, sim);
}

int method_step(Simulation& sim, double t1) {
  sim.step_interrupted = false;
  return sim.integrator.row->step(*sim.integrator.objects, sim, t1);
}

std::string method_summary(const Simulation& sim) {
  const MethodInUse& in_use = sim.integrator;
  if (!in_use.row->summary) return in_use.row->name;
  return in_use.row->summary(*in_use.objects);
}

void keep_method_frame_start(Simulation& sim) {
  MethodInUse& in_use = sim.integrator;
  if (in_use.row->keep_frame_start) in_use.row->keep_frame_start(*in_use.objects);
}

void undo_method_frame(Simulation& sim) {
  MethodInUse& in_use = sim.integrator;
  if (in_use.row->undo_frame) in_use.row->undo_frame(*in_use.objects);
}

SavedValues saved_method_values(const Simulation& sim) {
  SavedValues values;
  const MethodInUse& in_use = sim.integrator;
  if (in_use.row->save) in_use.row->save(*in_use.objects, values);
  return values;
}

const SavedValue* find_saved(const SavedValues& values, std::string_view name) {
  for (const SavedValue& value : values)
    if (value.name == name) return &value;
  return nullptr;
}

const IntegrationMethod* find_method(std::string_view name) {
  for (const IntegrationMethod* row : method_table())
    if (name == row->name) return row;
  return nullptr;
}

std::string method_names() {
  std::string names;
  for (const IntegrationMethod* row : method_table())
    names += std::string(names.empty() ? "" : ", ") + row->name;
  return names;
}
