#include "forces/fluid.hpp"

#include <numbers>

namespace {

// One segment in the fluid: its submerged stretch, the relative velocity across it
// (cross0 + cross1 s) and along it (constant).
struct FluidSpan {
  SegmentMotion m;
  Stretch wet;
  double cross0, cross1;
  double slip;
};

FluidSpan fluid_span(const Fluid& fluid, const Body& body) {
  FluidSpan f;
  f.m = segment_motion(fluid.segments, body);
  f.wet = {0.0, f.m.length};
  if (fluid.has_surface) f.wet = where_positive(f.wet, fluid.surface - f.m.start[1], -f.m.axis[1]);
  const Point relative = {f.m.velocity[0] - fluid.flow[0], f.m.velocity[1] - fluid.flow[1]};
  f.cross0 = dot(f.m.normal, relative);
  f.cross1 = f.m.rate;
  f.slip = dot(f.m.axis, relative);
  return f;
}

double section_area(const Fluid& fluid) {
  return 0.25 * std::numbers::pi * fluid.diameter * fluid.diameter;
}

double buoyancy_per_metre(const Fluid& fluid) {
  return fluid.density * *fluid.gravity * section_area(fluid);
}

double normal_drag_factor(const Fluid& fluid) {
  return 0.5 * fluid.density * fluid.drag_normal * fluid.diameter;
}

double tangential_drag_factor(const Fluid& fluid) {
  return 0.5 * fluid.density * fluid.drag_tangential * std::numbers::pi * fluid.diameter;
}

// The wet stretch cut where the cross flow changes sign: |u_n| u_n is a polynomial on each piece.
int wet_pieces(const FluidSpan& f, Stretch pieces[3]) {
  const double turn = f.cross1 != 0.0 ? -f.cross0 / f.cross1 : -1.0;
  return split_stretch(f.wet, turn, turn, pieces);
}

// Drag along the rope per metre, the same all along the wet stretch (N/m, along the axis).
double along_drag(const Fluid& fluid, const FluidSpan& f) {
  return -tangential_drag_factor(fluid) * std::fabs(f.slip) * f.slip;
}

// Every quadrature node of the wet stretch: its place s, its weight and the normal drag per
// metre there (along the segment's normal).
template <typename Visit>
void each_drag_node(const Fluid& fluid, const FluidSpan& f, Visit visit) {
  const double factor = normal_drag_factor(fluid);
  Stretch pieces[3];
  const int count = wet_pieces(f, pieces);
  for (int i = 0; i < count; ++i) {
    const GaussPair q = gauss_pair(pieces[i]);
    for (const double s : q.node) {
      const double cross = f.cross0 + f.cross1 * s;
      visit(s, q.weight, -factor * std::fabs(cross) * cross);
    }
  }
}

void add_force(const ForceElement& element, const Body& body, Triple& applied) {
  const Fluid& fluid = element.data_as<Fluid>();
  const FluidSpan f = fluid_span(fluid, body);
  if (f.wet.empty()) return;
  const double wet_length = f.wet.end - f.wet.begin;
  const double lift = buoyancy_per_metre(fluid);
  add_load(applied, f.m, 0.5 * (f.wet.begin + f.wet.end), {0.0, lift}, wet_length);
  const double along = along_drag(fluid, f);
  add_load(applied, f.m, 0.0, {along * f.m.axis[0], along * f.m.axis[1]}, wet_length);
  each_drag_node(fluid, f, [&](double s, double weight, double drag) {
    add_load(applied, f.m, s, {drag * f.m.normal[0], drag * f.m.normal[1]}, weight);
  });
}

Point point_of_action(const ForceElement& element, const Body& body) {
  const Fluid& fluid = element.data_as<Fluid>();
  return point_to_world(body, {0.5 * segment_length(fluid.segments, body), 0.0});
}

// Buoyancy's potential: rho g A times the depth below the surface (or, with fluid everywhere,
// below y = 0), integrated over the wet stretch, where the depth is linear.
double potential_energy(const ForceElement& element, const Mbs& mbs) {
  const Fluid& fluid = element.data_as<Fluid>();
  const double level = fluid.has_surface ? fluid.surface : 0.0;
  double energy = 0.0;
  for (const Body* body : mbs.outward_order) {
    const FluidSpan f = fluid_span(fluid, *body);
    if (f.wet.empty()) continue;
    const double middle = 0.5 * (f.wet.begin + f.wet.end);
    const double depth = level - point_at(f.m, middle)[1];
    energy += buoyancy_per_metre(fluid) * depth * (f.wet.end - f.wet.begin);
  }
  return energy;
}

// Drag's damping, 2 k |u| per metre on each velocity component; buoyancy's stiffness, from its
// lever turning with the body and from the waterline: raising a segment that crosses the surface
// at s* dries 1 / |sin| of it per metre risen. Drag's change with the segment's turn, at a fixed
// velocity, is not symmetric and is left out.
void body_stiffness(const ForceElement& element, const Body& body, Sym3& stiffness, Sym3& damping) {
  const Fluid& fluid = element.data_as<Fluid>();
  const FluidSpan f = fluid_span(fluid, body);
  if (f.wet.empty()) return;
  const double along = 2.0 * tangential_drag_factor(fluid) * std::fabs(f.slip);
  add_outer(damping, along * (f.wet.end - f.wet.begin), {f.m.axis[0], f.m.axis[1], 0.0});
  const double factor = 2.0 * normal_drag_factor(fluid);
  Stretch pieces[3];
  const int count = wet_pieces(f, pieces);
  for (int i = 0; i < count; ++i) {
    const GaussPair q = gauss_pair(pieces[i]);
    for (const double s : q.node)
      add_outer(damping, q.weight * factor * std::fabs(f.cross0 + f.cross1 * s),
                lever(f.m, s, f.m.normal));
  }
  const double lift = buoyancy_per_metre(fluid);
  stiffness[5] += lift * f.m.axis[1] * 0.5 * (f.wet.end * f.wet.end - f.wet.begin * f.wet.begin);
  const bool crosses = f.wet.end - f.wet.begin < f.m.length && f.m.axis[1] != 0.0;
  if (!fluid.has_surface || !crosses) return;
  const double waterline = f.wet.begin > 0.0 ? f.wet.begin : f.wet.end;
  add_outer(stiffness, lift / std::fabs(f.m.axis[1]), lever(f.m, waterline, {0.0, 1.0}));
}

}  // namespace

const ForceElementType fluid_element = {
    .add_force = add_force,
    .point_of_action = point_of_action,
    .potential_energy = potential_energy,
    .body_stiffness = body_stiffness,
};

// Drag's loads against the rope's own velocity (not the relative one): the along drag is
// constant on the wet stretch and meets the constant axis . v; the normal drag, quadratic on each
// piece, meets normal . v = (normal . v0) + rate s, so two Gauss points are exact.
double fluid_drag_power_on(const Fluid& fluid, const Body& body) {
  const FluidSpan f = fluid_span(fluid, body);
  if (f.wet.empty()) return 0.0;
  double power = along_drag(fluid, f) * dot(f.m.axis, f.m.velocity) * (f.wet.end - f.wet.begin);
  const double across = dot(f.m.normal, f.m.velocity);
  each_drag_node(fluid, f, [&](double s, double weight, double drag) {
    power += weight * drag * (across + f.m.rate * s);
  });
  return power;
}

Triple fluid_force_on(const Fluid& fluid, const Body& body) {
  Triple force{};
  add_force(fluid_on_every_body(fluid), body, force);
  return force;
}
