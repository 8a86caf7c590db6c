#include "forces/peg_contact.hpp"

namespace {

// Three-point Gauss-Legendre on [-1, 1].
constexpr double gauss_node = 0.7745966692414834;  // sqrt(3/5)
constexpr double gauss_weights[3] = {5.0 / 9.0, 8.0 / 9.0, 5.0 / 9.0};
constexpr double gauss_nodes[3] = {-gauss_node, 0.0, gauss_node};

// One segment against one peg: the arc length `nearest` of the point nearest the centre, and the
// chord inside the disc.
struct PegSpan {
  Point centre;
  double radius;
  Point offset;  // segment start less the centre
  double nearest;
  Stretch chord;
};

bool peg_span(const PegContact& contact, std::size_t k, const SegmentMotion& m, PegSpan& p) {
  const double* peg = contact.pegs + 3 * k;
  p.centre = {peg[0], peg[1]};
  p.radius = peg[2];
  p.offset = {m.start[0] - p.centre[0], m.start[1] - p.centre[1]};
  p.nearest = -dot(p.offset, m.axis);
  const double side = dot(p.offset, m.normal);
  const double room = p.radius * p.radius - side * side;
  if (!(room > 0.0)) return false;
  const double half = std::sqrt(room);
  p.chord = {std::fmax(0.0, p.nearest - half), std::fmin(m.length, p.nearest + half)};
  return !p.chord.empty();
}

// At arc length s: the outward direction from the centre, the penetration and its rate, the
// surface's direction and the slip along it.
struct PegPoint {
  Point out, along;
  double depth, depth_rate, slip;
};

PegPoint peg_point(const SegmentMotion& m, const PegSpan& p, double s) {
  const Point r = {p.offset[0] + s * m.axis[0], p.offset[1] + s * m.axis[1]};
  const double distance = std::hypot(r[0], r[1]);
  PegPoint q;
  q.out = distance > 0.0 ? Point{r[0] / distance, r[1] / distance} : m.normal;
  q.along = {-q.out[1], q.out[0]};
  const Point v = velocity_at(m, s);
  q.depth = p.radius - distance;
  q.depth_rate = -dot(q.out, v);
  q.slip = dot(q.along, v);
  return q;
}

double normal_force(const ContactLaw& law, const PegPoint& q) {
  return law.stiffness * q.depth + law.damping * q.depth_rate;
}

// Calls visit(s, weight) at the Gauss points of the chord's two halves.
template <typename Visit>
void each_chord_point(const PegSpan& p, Visit&& visit) {
  Stretch halves[3];
  const int count = split_stretch(p.chord, p.nearest, p.nearest, halves);
  for (int h = 0; h < count; ++h) {
    const double middle = 0.5 * (halves[h].begin + halves[h].end);
    const double half = 0.5 * (halves[h].end - halves[h].begin);
    for (int i = 0; i < 3; ++i) visit(middle + half * gauss_nodes[i], half * gauss_weights[i]);
  }
}

template <typename Visit>
void each_peg(const PegContact& contact, const SegmentMotion& m, Visit&& visit) {
  for (std::size_t k = 0; k < contact.count; ++k) {
    PegSpan p;
    if (peg_span(contact, k, m, p)) visit(p);
  }
}

// Every quadrature point of every peg's chord where the normal force pushes: its place s, its
// weight, the point and the normal force per metre there.
template <typename Visit>
void each_pushing_point(const PegContact& contact, const SegmentMotion& m, Visit&& visit) {
  each_peg(contact, m, [&](const PegSpan& p) {
    each_chord_point(p, [&](double s, double weight) {
      const PegPoint q = peg_point(m, p, s);
      const double normal = normal_force(contact.law, q);
      if (normal > 0.0) visit(s, weight, q, normal);
    });
  });
}

void add_force(const ForceElement& element, const Body& body, Triple& applied) {
  const PegContact& contact = element.data_as<PegContact>();
  const ContactLaw& law = contact.law;
  const SegmentMotion m = segment_motion(contact.segments, body);
  each_pushing_point(contact, m, [&](double s, double weight, const PegPoint& q, double normal) {
    const double friction = -law.friction * normal * slip_fraction(law, q.slip);
    const Point f = {normal * q.out[0] + friction * q.along[0],
                     normal * q.out[1] + friction * q.along[1]};
    add_load(applied, m, s, f, weight);
  });
}

Point point_of_action(const ForceElement& element, const Body& body) {
  const PegContact& contact = element.data_as<PegContact>();
  return point_to_world(body, {0.5 * segment_length(contact.segments, body), 0.0});
}

double potential_energy(const ForceElement& element, const Mbs& mbs) {
  const PegContact& contact = element.data_as<PegContact>();
  double energy = 0.0;
  for (const Body* body : mbs.outward_order) {
    const SegmentMotion m = segment_motion(contact.segments, *body);
    each_peg(contact, m, [&](const PegSpan& p) {
      each_chord_point(p, [&](double s, double weight) {
        const double depth = peg_point(m, p, s).depth;
        energy += weight * 0.5 * contact.law.stiffness * depth * depth;
      });
    });
  }
  return energy;
}

// The normal spring and damper along each point's outward direction and friction's viscous part
// along the surface; the turning of the outward direction and friction's dependence on the
// normal force are left out.
void body_stiffness(const ForceElement& element, const Body& body, Sym3& stiffness, Sym3& damping) {
  const PegContact& contact = element.data_as<PegContact>();
  const ContactLaw& law = contact.law;
  const SegmentMotion m = segment_motion(contact.segments, body);
  each_pushing_point(contact, m, [&](double s, double weight, const PegPoint& q, double normal) {
    const Triple a = lever(m, s, q.out);
    add_outer(stiffness, weight * law.stiffness, a);
    add_outer(damping, weight * law.damping, a);
    if (law.friction > 0.0 && slip_is_viscous(law, q.slip))
      add_outer(damping, weight * law.friction * normal / law.friction_speed,
                lever(m, s, q.along));
  });
}

}  // namespace

const ForceElementType peg_contact_element = {
    .add_force = add_force,
    .point_of_action = point_of_action,
    .potential_energy = potential_energy,
    .body_stiffness = body_stiffness,
};

double segment_depth_in_disc(const Point& a, const Point& b, const Point& centre, double radius) {
  const Point ab = {b[0] - a[0], b[1] - a[1]};
  const Point ac = {centre[0] - a[0], centre[1] - a[1]};
  const double squared = dot(ab, ab);
  const double t = squared > 0.0 ? std::fmax(0.0, std::fmin(1.0, dot(ac, ab) / squared)) : 0.0;
  const Point nearest = {a[0] + t * ab[0] - centre[0], a[1] + t * ab[1] - centre[1]};
  return radius - std::hypot(nearest[0], nearest[1]);
}

// As against the ground: c (dd/dt)^2 and friction's -T v_t where the normal force pushes, the
// spring's lost k d dd/dt where the cut leaves none; by the same quadrature as the force.
double peg_dissipation_on(const PegContact& contact, const Body& body) {
  const ContactLaw& law = contact.law;
  const SegmentMotion m = segment_motion(contact.segments, body);
  double rate = 0.0;
  each_peg(contact, m, [&](const PegSpan& p) {
    each_chord_point(p, [&](double s, double weight) {
      const PegPoint q = peg_point(m, p, s);
      const double normal = normal_force(law, q);
      if (!(normal > 0.0)) {
        rate -= weight * law.stiffness * q.depth * q.depth_rate;
        return;
      }
      const double friction = law.friction * normal * slip_fraction(law, q.slip);
      rate += weight * (law.damping * q.depth_rate * q.depth_rate + friction * q.slip);
    });
  });
  return rate;
}

Triple peg_force_on(const PegContact& pegs, const Body& body) {
  Triple force{};
  add_force(peg_contact_on_every_body(pegs), body, force);
  return force;
}
