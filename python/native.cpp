// ropesim._native: the rope simulation library for Python. The thin layer over one Simulation;
// ropesim/__init__.py turns statuses into exceptions and adds sweeps. The GIL is released while
// integrating, so ropes in different threads run in parallel.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "app/driver.hpp"
#include "app/measures.hpp"
#include "app/model_file.hpp"
#include "app/script.hpp"
#include "app/simulation.hpp"

namespace py = pybind11;

namespace {

using Array = py::array_t<double>;

Array to_array(const double* values, size_t count) {
  Array array(static_cast<py::ssize_t>(count));
  std::copy(values, values + count, array.mutable_data());
  return array;
}

// How a run ended, for the Python layer: 0 ran to the end, 1 diverged, 2 a failure of the core.
int end_code(FrameEnd end) {
  if (end == FrameEnd::diverged) return 1;
  if (end == FrameEnd::core_failure) return 2;
  return 0;
}

RopeParameters parameters_from(const std::string& model, const py::dict& values) {
  RopeParameters parameters;
  std::string error;
  if (!model.empty() && !read_model_file(model, parameters, error)) throw py::value_error(error);
  for (const auto& [key, value] : values) {
    const std::string name = py::str(key);
    std::vector<double> numbers;
    try {
      if (py::isinstance<py::bool_>(value)) throw py::type_error();
      if (py::isinstance<py::sequence>(value) && !py::isinstance<py::str>(value))
        numbers = value.cast<std::vector<double>>();
      else
        numbers.push_back(value.cast<double>());
    } catch (const py::cast_error&) {
      throw py::value_error("key '" + name + "' needs a number or two numbers");
    } catch (const py::type_error&) {
      throw py::value_error("key '" + name + "' needs a number or two numbers");
    }
    if (!set_parameter(parameters, name, numbers, error)) throw py::value_error(error);
  }
  return parameters;
}

class NativeRope {
 public:
  NativeRope(const std::string& model, const py::dict& values)
      : sim_(std::make_unique<Simulation>()) {
    const MbsStatus started = start_simulation(*sim_, parameters_from(model, values));
    if (started != MbsStatus::ok) throw std::runtime_error(mbs_status_message(started));
  }

  double time() const { return sim_->time; }
  int coordinate_count() const { return sim_->coordinate_count; }
  Array state() const { return to_array(sim_->state.data(), sim_->state.size()); }
  Array q() const { return to_array(sim_->state.data(), sim_->coordinate_count); }
  Array p() const {
    return to_array(sim_->state.data() + momenta_start(*sim_), sim_->coordinate_count);
  }
  Array carriages() const {
    return to_array(sim_->state.data() + carriages_start(*sim_), carriage_state_count);
  }

  // World x, y and angle of every body as the last evaluation left them: what the window draws.
  Array placements() const {
    const auto& bodies = sim_->rope.bodies;
    Array array({static_cast<py::ssize_t>(bodies.size()), py::ssize_t{3}});
    auto out = array.mutable_unchecked<2>();
    for (size_t k = 0; k < bodies.size(); ++k) {
      const auto i = static_cast<py::ssize_t>(k);
      out(i, 0) = bodies[k].position[0];
      out(i, 1) = bodies[k].position[1];
      out(i, 2) = bodies[k].angle;
    }
    return array;
  }

  void set_target(int carriage, double x) {
    if (carriage != 1 && carriage != 2) throw py::value_error("carriage must be 1 or 2");
    ::set_target(*sim_, carriage, x);
  }

  // Frames of 0.01 s, as the window program advances; returns the end code.
  int advance(long long frames) {
    py::gil_scoped_release unlocked;
    for (long long frame = 0; frame < frames; ++frame) {
      const FrameEnd end = integrate_frame(*sim_);
      if (end_code(end) != 0) return end_code(end);
    }
    return 0;
  }

  // A scripted run as rope-headless makes it: the state at t and after every `every`th frame.
  // Returns (end code, times, states); on a failure the rows so far.
  py::tuple simulate(double duration, long long every, std::vector<TargetMove> moves) {
    if (!(duration >= 0.0) || every < 1) throw py::value_error("duration >= 0 and every >= 1");
    std::vector<double> times{sim_->time};
    std::vector<double> states(sim_->state);
    const int code = run_script(duration, std::move(moves), [&](long long frame) {
      if (frame % every != 0) return;
      times.push_back(sim_->time);
      states.insert(states.end(), sim_->state.begin(), sim_->state.end());
    });
    Array state_rows(
        {static_cast<py::ssize_t>(times.size()), static_cast<py::ssize_t>(sim_->dimension)});
    std::copy(states.begin(), states.end(), state_rows.mutable_data());
    return py::make_tuple(code, to_array(times.data(), times.size()), state_rows);
  }

  // The same run keeping only the largest chain-end spring force met after any frame (N, from
  // the placements of the frame's last evaluation). Returns (end code, peak force).
  py::tuple run_measuring(double duration, std::vector<TargetMove> moves) {
    if (!(duration >= 0.0)) throw py::value_error("duration >= 0");
    double peak = 0.0;
    const int code = run_script(duration, std::move(moves), [&](long long) {
      for (const double force : end_spring_forces(*sim_)) peak = std::max(peak, std::abs(force));
    });
    return py::make_tuple(code, peak);
  }

  Array rhs(const Array& state) {
    const auto y = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(state);
    if (!y || y.ndim() != 1 || y.shape(0) != sim_->dimension)
      throw py::value_error("state needs " + std::to_string(sim_->dimension) + " numbers");
    std::vector<double> rates(static_cast<size_t>(sim_->dimension));
    if (hamilton_rhs(sim_->time, y.data(), rates.data(), sim_.get()) != 0)
      throw std::runtime_error(mbs_status_message(sim_->rope.mbs.status));
    update_body_records(sim_->rope.mbs);
    return to_array(rates.data(), rates.size());
  }

  double energy() { return total_energy(*sim_); }
  std::array<double, 2> end_forces() const { return end_spring_forces(*sim_); }
  std::string failure() const { return mbs_status_message(sim_->rope.mbs.status); }

 private:
  // Whole frames until `duration` with the target moves applied at each frame's start, without
  // the GIL; `after_frame(frame)` sees each completed frame. Returns the end code.
  template <typename AfterFrame>
  int run_script(double duration, std::vector<TargetMove> moves, AfterFrame after_frame) {
    py::gil_scoped_release unlocked;
    sort_moves(moves);
    size_t next = 0;
    const long long frames = frames_for(*sim_, duration);
    for (long long frame = 1; frame <= frames; ++frame) {
      apply_due_moves(*sim_, moves, next);
      const int code = end_code(integrate_frame(*sim_));
      if (code != 0) return code;
      after_frame(frame);
    }
    return 0;
  }

  std::unique_ptr<Simulation> sim_;
};

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "The rope simulation engine; use the ropesim package, not this module.";
  py::class_<TargetMove>(m, "TargetMove")
      .def(py::init([](int carriage, double target, double time) {
        return TargetMove{carriage, target, time};
      }));
  py::class_<NativeRope>(m, "NativeRope")
      .def(py::init<const std::string&, const py::dict&>())
      .def_property_readonly("time", &NativeRope::time)
      .def_property_readonly("coordinate_count", &NativeRope::coordinate_count)
      .def_property_readonly("state", &NativeRope::state)
      .def_property_readonly("q", &NativeRope::q)
      .def_property_readonly("p", &NativeRope::p)
      .def_property_readonly("carriages", &NativeRope::carriages)
      .def("placements", &NativeRope::placements)
      .def("set_target", &NativeRope::set_target)
      .def("advance", &NativeRope::advance)
      .def("simulate", &NativeRope::simulate)
      .def("run_measuring", &NativeRope::run_measuring)
      .def("rhs", &NativeRope::rhs)
      .def("energy", &NativeRope::energy)
      .def("end_forces", &NativeRope::end_forces)
      .def("failure", &NativeRope::failure);
  m.def("parameter_keys", [] {
    std::vector<std::string> names;
    for (const ParameterKey& key : parameter_keys()) names.push_back(key.name);
    return names;
  });
}
