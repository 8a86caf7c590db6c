#include "forces/ground_contact.hpp"

namespace {

// One segment against the ground: the gap above it, the gap's rate and the slip velocity, each
// linear in the arc length s (value at the start, change per metre).
struct GroundSpan {
  SegmentMotion m;
  Point up, along;
  double gap0, gap1;
  double rate0, rate1;
  double slip0, slip1;
  double normal0, normal1;  // N(s), per metre
  Stretch pressed;          // where the segment is below the ground
  Stretch loaded;           // and where the normal force pushes
};

GroundSpan ground_span(const GroundContact& ground, const Body& body) {
  GroundSpan g;
  g.m = segment_motion(ground.segments, body);
  g.up = ground.up;
  g.along = ground.along;
  const Point from_origin = {g.m.start[0], g.m.start[1] - ground.height};
  g.gap0 = dot(g.up, from_origin);
  g.gap1 = dot(g.up, g.m.axis);
  g.rate0 = dot(g.up, g.m.velocity);
  g.rate1 = g.m.rate * dot(g.up, g.m.normal);
  g.slip0 = dot(g.along, g.m.velocity);
  g.slip1 = g.m.rate * dot(g.along, g.m.normal);
  const ContactLaw& law = ground.law;
  g.normal0 = -(law.stiffness * g.gap0 + law.damping * g.rate0);
  g.normal1 = -(law.stiffness * g.gap1 + law.damping * g.rate1);
  g.pressed = where_positive({0.0, g.m.length}, -g.gap0, -g.gap1);
  g.loaded = g.pressed.empty() ? g.pressed : where_positive(g.pressed, g.normal0, g.normal1);
  return g;
}

// The loaded stretch cut where friction saturates, so that each piece's integrand is a
// polynomial of degree 3 at most.
int loaded_pieces(const GroundContact& ground, const GroundSpan& g, Stretch pieces[3]) {
  if (ground.law.friction == 0.0) {
    pieces[0] = g.loaded;
    return 1;
  }
  const SlipCuts cuts = slip_cuts(ground.law, g.slip0, g.slip1);
  return split_stretch(g.loaded, cuts.low, cuts.high, pieces);
}

// Normal force and friction per metre at s.
Point load_at(const GroundContact& ground, const GroundSpan& g, double s, double& normal) {
  normal = g.normal0 + g.normal1 * s;
  const double friction =
      -ground.law.friction * normal * slip_fraction(ground.law, g.slip0 + g.slip1 * s);
  return {normal * g.up[0] + friction * g.along[0], normal * g.up[1] + friction * g.along[1]};
}

// Every quadrature node of the loaded stretch: its place s along the body, its weight, the load
// per metre there and its normal part.
template <typename Visit>
void each_loaded_node(const GroundContact& ground, const GroundSpan& g, Visit visit) {
  if (g.loaded.empty()) return;
  Stretch pieces[3];
  const int count = loaded_pieces(ground, g, pieces);
  for (int i = 0; i < count; ++i) {
    const GaussPair q = gauss_pair(pieces[i]);
    for (const double s : q.node) {
      double normal;
      const Point f = load_at(ground, g, s, normal);
      visit(s, q.weight, f, normal);
    }
  }
}

void add_force(const ForceElement& element, const Body& body, Triple& applied) {
  const GroundContact& ground = element.data_as<GroundContact>();
  const GroundSpan g = ground_span(ground, body);
  each_loaded_node(ground, g, [&](double s, double weight, const Point& f, double) {
    add_load(applied, g.m, s, f, weight);
  });
}

Point point_of_action(const ForceElement& element, const Body& body) {
  const GroundContact& ground = element.data_as<GroundContact>();
  return point_to_world(body, {0.5 * segment_length(ground.segments, body), 0.0});
}

// The normal springs' k d^2 / 2 per metre; d is linear, so two Gauss points are exact.
double potential_energy(const ForceElement& element, const Mbs& mbs) {
  const GroundContact& ground = element.data_as<GroundContact>();
  double energy = 0.0;
  for (const Body* body : mbs.outward_order) {
    const GroundSpan g = ground_span(ground, *body);
    if (g.pressed.empty()) continue;
    const GaussPair q = gauss_pair(g.pressed);
    for (const double s : q.node) {
      const double gap = g.gap0 + g.gap1 * s;
      energy += q.weight * 0.5 * ground.law.stiffness * gap * gap;
    }
  }
  return energy;
}

// Where the segment meets the ground line while pressing into it, the damper's share of the
// normal force starts at once: moving the body moves that edge, by -(gap change) / gap1, and with
// it a load N per metre: the stiffness that spreads over the body from one edge.
void add_edge_stiffness(const GroundSpan& g, double edge, Sym3& stiffness) {
  const bool at_gap_root = edge > 0.0 && edge < g.m.length && g.gap1 != 0.0 &&
                           (edge == g.pressed.begin || edge == g.pressed.end);
  if (!at_gap_root) return;
  add_outer(stiffness, (g.normal0 + g.normal1 * edge) / std::fabs(g.gap1), lever(g.m, edge, g.up));
}

// The normal spring and damper along the ground's normal, friction's viscous part along it, the
// turn of each load's lever and the moving edges of the contact; friction's dependence on the
// normal force, which is not symmetric, is left out.
void body_stiffness(const ForceElement& element, const Body& body, Sym3& stiffness, Sym3& damping) {
  const GroundContact& ground = element.data_as<GroundContact>();
  const ContactLaw& law = ground.law;
  const GroundSpan g = ground_span(ground, body);
  if (g.loaded.empty()) return;
  each_loaded_node(ground, g, [&](double s, double weight, const Point& f, double normal) {
    const Triple a = lever(g.m, s, g.up);
    add_outer(stiffness, weight * law.stiffness, a);
    add_outer(damping, weight * law.damping, a);
    stiffness[5] += weight * s * dot(g.m.axis, f);
    if (law.friction > 0.0 && slip_is_viscous(law, g.slip0 + g.slip1 * s))
      add_outer(damping, weight * law.friction * normal / law.friction_speed,
                lever(g.m, s, g.along));
  });
  add_edge_stiffness(g, g.loaded.begin, stiffness);
  add_edge_stiffness(g, g.loaded.end, stiffness);
}

}  // namespace

const ForceElementType ground_contact_element = {
    .add_force = add_force,
    .point_of_action = point_of_action,
    .potential_energy = potential_energy,
    .body_stiffness = body_stiffness,
};

GroundContact ground_contact(const Segments& segments, double height, double slope,
                             const ContactLaw& law) {
  GroundContact ground = {segments, height, slope, law};
  ground.up = {-std::sin(slope), std::cos(slope)};
  ground.along = {ground.up[1], -ground.up[0]};
  return ground;
}

double height_above_ground(const GroundContact& ground, const Point& point) {
  return -std::sin(ground.slope) * point[0] + std::cos(ground.slope) * (point[1] - ground.height);
}

// With d = -gap the penetration: where N > 0 the element's power is -N dd/dt and its spring
// stores k d dd/dt, so the damper takes c (dd/dt)^2 and friction -T v_t; where the segment is
// pressed but the cut leaves N = 0, the spring's k d dd/dt is lost. Each integrand is at most
// cubic on the pieces the force uses, so two Gauss points are exact.
double ground_dissipation_on(const GroundContact& ground, const Body& body) {
  const ContactLaw& law = ground.law;
  const GroundSpan g = ground_span(ground, body);
  if (g.pressed.empty()) return 0.0;
  double rate = 0.0;
  each_loaded_node(ground, g, [&](double s, double weight, const Point& f, double) {
    const double closing = g.rate0 + g.rate1 * s;
    const double slip = g.slip0 + g.slip1 * s;
    rate += weight * (law.damping * closing * closing - dot(f, g.along) * slip);
  });
  const Stretch released[2] = {{g.pressed.begin, g.loaded.empty() ? g.pressed.end : g.loaded.begin},
                               {g.loaded.empty() ? g.pressed.end : g.loaded.end, g.pressed.end}};
  for (const Stretch& piece : released) {
    if (piece.empty()) continue;
    const GaussPair q = gauss_pair(piece);
    for (const double s : q.node)
      rate -= q.weight * law.stiffness * (g.gap0 + g.gap1 * s) * (g.rate0 + g.rate1 * s);
  }
  return rate;
}

Triple ground_force_on(const GroundContact& ground, const Body& body) {
  Triple force{};
  add_force(ground_contact_on_every_body(ground), body, force);
  return force;
}
