#include "forces/gravity.hpp"

namespace {

double weight_of(const ForceElement& element, const Body& body) {
  return weight_of_mass(body.inertia[0], element.data_as<Gravity>().acceleration);
}

// The weight acts at the centre of mass.
Point point_of_action(const ForceElement&, const Body& body) {
  return point_to_world(body, body.com);
}

// m g times the height of each centre of mass.
double potential_energy(const ForceElement& element, const Mbs& mbs) {
  double energy = 0.0;
  for (const Body* body : mbs.outward_order)
    if (element.acts_on(*body))
      energy += -weight_of(element, *body) * point_to_world(*body, body->com)[1];
  return energy;
}

}  // namespace

const ForceElementType gravity_element = {
    .weight_of = weight_of,
    .point_of_action = point_of_action,
    .potential_energy = potential_energy,
};
