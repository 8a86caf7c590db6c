// Bullet's btMultiBody, double-precision build: a fixed massless-in-effect base at the origin, a
// planar link (rotation about z, two translations of its centre of mass) as the free planar base,
// and a revolute link per rod. Bullet links are described at their centres of mass.
#include <BulletDynamics/Featherstone/btMultiBody.h>
#include <BulletDynamics/Featherstone/btMultiBodyLink.h>

#include <cmath>

#include "chain_model.hpp"
#include "peers.hpp"

namespace {

constexpr double gravity = 9.80665;
constexpr double half = 0.5 * link_length;

struct BulletChain {
  std::unique_ptr<btMultiBody> body;
  btAlignedObjectArray<btScalar> scratch_r;
  btAlignedObjectArray<btVector3> scratch_v;
  btAlignedObjectArray<btMatrix3x3> scratch_m;
  std::vector<double> velocities;
  double base_angle = 0.0;
  double base_translation[2] = {0.0, 0.0};
};

void build(BulletChain& c, int n) {
  const double centre_inertia = link_mass * link_length * link_length / 12.0;
  const btVector3 inertia(1e-12, centre_inertia, centre_inertia);
  const btQuaternion identity(0, 0, 0, 1);
  const btVector3 z(0, 0, 1);
  c.body = std::make_unique<btMultiBody>(n, 1.0, btVector3(1, 1, 1), true, false);
  c.body->setupPlanar(0, link_mass, inertia, -1, identity, z, btVector3(0, 0, 0), true);
  for (int k = 1; k < n; ++k)
    c.body->setupRevolute(k, link_mass, inertia, k - 1, identity, z, btVector3(half, 0, 0),
                          btVector3(half, 0, 0), true);
  c.body->finalizeMultiDof();
  c.body->setLinearDamping(0);
  c.body->setAngularDamping(0);
  c.body->setMaxCoordinateVelocity(1e30);
  c.body->setCanSleep(false);
  c.body->clearForcesAndTorques();
  for (int k = 0; k < n; ++k) c.body->addLinkForce(k, btVector3(0, -link_mass * gravity, 0));
}

// The planar link's translations move its centre of mass along the joint's two in-plane axes.
void set_base(BulletChain& c, double x, double y, double angle) {
  const btVector3 com(x + half * std::cos(angle), y + half * std::sin(angle), 0);
  const btMultibodyLink& link = c.body->getLink(0);
  double q[3] = {angle, com.dot(link.getAxisBottom(1)), com.dot(link.getAxisBottom(2))};
  c.body->setJointPosMultiDof(0, q);
  c.base_angle = angle;
  c.base_translation[0] = q[1];
  c.base_translation[1] = q[2];
}

// Planar base velocities are given in the link's own axes; the agreement check uses a base at rest.
void set_state(BulletChain& c, const double* q, const double* qdot) {
  set_base(c, q[0], q[1], q[2]);
  double base_rate[3] = {qdot[2], 0.0, 0.0};
  c.body->setJointVelMultiDof(0, base_rate);
  for (int k = 1; k < c.body->getNumLinks(); ++k) {
    c.body->setJointPos(k, q[2 + k]);
    c.body->setJointVel(k, qdot[2 + k]);
  }
  const int count = 6 + c.body->getNumDofs();
  c.velocities.assign(c.body->getVelocityVector(), c.body->getVelocityVector() + count);
}

// Bullet adds dt times the accelerations to the velocities: with dt = 1 the change is the
// acceleration. The velocities are put back afterwards.
PeerAccelerations accelerations(BulletChain& c) {
  c.body->computeAccelerationsArticulatedBodyAlgorithmMultiDof(1.0, c.scratch_r, c.scratch_v,
                                                                c.scratch_m, false, false, false);
  const btScalar* after = c.body->getVelocityVector();
  PeerAccelerations a;
  const int count = 6 + c.body->getNumDofs();
  std::vector<double> change(count);
  for (int i = 0; i < count; ++i) change[i] = after[i] - c.velocities[i];
  a.angular.push_back(change[6]);
  for (int k = 1; k < c.body->getNumLinks(); ++k) a.angular.push_back(change[6 + 2 + k]);
  a.base_com[0] = std::hypot(change[7], change[8]);
  a.base_com_is_norm = true;
  double base_rate[3] = {c.velocities[6], c.velocities[7], c.velocities[8]};
  c.body->setJointVelMultiDof(0, base_rate);
  for (int k = 1; k < c.body->getNumLinks(); ++k) c.body->setJointVel(k, c.velocities[6 + 2 + k]);
  return a;
}

}  // namespace

Peer make_bullet_peer(int bodies) {
  auto chain = std::make_shared<BulletChain>();
  build(*chain, bodies);
  BulletChain* c = chain.get();
  Peer peer;
  peer.model = chain;
  peer.set_state = [c](const double* q, const double* qdot) { set_state(*c, q, qdot); };
  // dt = 0: the same computation, without drifting the velocities from iteration to iteration.
  peer.perturb_and_solve = [c](double delta) {
    double q[3] = {c->base_angle + delta, c->base_translation[0], c->base_translation[1]};
    c->body->setJointPosMultiDof(0, q);
    c->body->computeAccelerationsArticulatedBodyAlgorithmMultiDof(0.0, c->scratch_r, c->scratch_v,
                                                                   c->scratch_m, false, false, false);
  };
  peer.accelerations = [c]() { return accelerations(*c); };
  return peer;
}
