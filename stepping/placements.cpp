#include "stepping/placements.hpp"

#include "stepping/measures.hpp"

void read_placements(const Simulation& sim, Placements& placements) {
  const BodyArray& bodies = sim.rope.bodies;
  placements.bodies.resize(bodies.size());
  for (size_t k = 0; k < bodies.size(); ++k) {
    const Body& body = bodies[k];
    placements.bodies[k] = {body.position, body.angle, body.cos_abs, body.sin_abs,
                            sim.parameters.link_length[k]};
  }
  placements.far_end = chain_ends(sim)[1];
}

Point placement_point(const BodyPlacement& body, const Point& local) {
  const double c = body.cos_angle, s = body.sin_angle;
  const double x = local[0], y = local[1];
  return {x * c - y * s + body.origin[0], y * c + s * x + body.origin[1]};
}
