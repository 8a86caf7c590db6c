// Simbody: a Planar mobilizer from ground (rotation, then x, y) and a Pin per link. Body frames sit
// at the rod's joint end, as in the engine, so coordinates map one to one. Simbody 3.7's headers
// predate C++20's comparison rules: this file is compiled as C++17.
#include <Simbody.h>

#include "chain_model.hpp"
#include "peers.hpp"

namespace {

constexpr double gravity = 9.80665;

struct SimbodyChain {
  SimTK::MultibodySystem system;
  SimTK::SimbodyMatterSubsystem matter{system};
  SimTK::GeneralForceSubsystem forces{system};
  SimTK::Force::UniformGravity weight{forces, matter, SimTK::Vec3(0, -gravity, 0)};
  std::vector<SimTK::MobilizedBody> bodies;
  SimTK::State state;
  double base_angle = 0.0;
};

// Uniform rod along x from the body origin: inertia about the origin.
SimTK::Body::Rigid rod() {
  const double end_inertia = link_mass * link_length * link_length / 3.0;
  return SimTK::Body::Rigid(SimTK::MassProperties(link_mass, SimTK::Vec3(0.5 * link_length, 0, 0),
                                    SimTK::Inertia(1e-12, end_inertia, end_inertia)));
}

void build(SimbodyChain& c, int n) {
  const SimTK::Body::Rigid body = rod();
  c.bodies.push_back(SimTK::MobilizedBody::Planar(c.matter.Ground(), SimTK::Transform(), body, SimTK::Transform()));
  for (int k = 1; k < n; ++k)
    c.bodies.push_back(SimTK::MobilizedBody::Pin(c.bodies.back(), SimTK::Transform(SimTK::Vec3(link_length, 0, 0)),
                                          body, SimTK::Transform()));
  c.system.realizeTopology();
  c.state = c.system.getDefaultState();
}

void set_state(SimbodyChain& c, const double* q, const double* qdot) {
  const SimTK::MobilizedBody& base = c.bodies[0];
  base.setOneQ(c.state, 0, q[2]);
  base.setOneQ(c.state, 1, q[0]);
  base.setOneQ(c.state, 2, q[1]);
  base.setOneU(c.state, 0, qdot[2]);
  base.setOneU(c.state, 1, qdot[0]);
  base.setOneU(c.state, 2, qdot[1]);
  for (size_t k = 1; k < c.bodies.size(); ++k) {
    c.bodies[k].setOneQ(c.state, 0, q[2 + k]);
    c.bodies[k].setOneU(c.state, 0, qdot[2 + k]);
  }
  c.base_angle = q[2];
}

PeerAccelerations accelerations(SimbodyChain& c) {
  c.system.realize(c.state, SimTK::Stage::Acceleration);
  PeerAccelerations a;
  for (const SimTK::MobilizedBody& body : c.bodies) a.angular.push_back(body.getOneUDot(c.state, 0));
  const SimTK::Vec3 com = c.bodies[0].findStationAccelerationInGround(c.state, SimTK::Vec3(0.5 * link_length, 0, 0));
  a.base_com[0] = com[0];
  a.base_com[1] = com[1];
  return a;
}

}  // namespace

Peer make_simbody_peer(int bodies) {
  auto chain = std::make_shared<SimbodyChain>();
  build(*chain, bodies);
  SimbodyChain* c = chain.get();
  Peer peer;
  peer.model = chain;
  peer.set_state = [c](const double* q, const double* qdot) { set_state(*c, q, qdot); };
  peer.perturb_and_solve = [c](double delta) {
    c->bodies[0].setOneQ(c->state, 0, c->base_angle + delta);
    c->system.realize(c->state, SimTK::Stage::Acceleration);
  };
  peer.accelerations = [c]() { return accelerations(*c); };
  return peer;
}
