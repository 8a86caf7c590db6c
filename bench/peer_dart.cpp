// DART: a PlanarJoint in the XY plane (x, y, rotation) and a RevoluteJoint about z per link, each
// child frame at the parent's far end; the rod's centre of mass at half its length.
// dart/dart.hpp pulls in a header that Debian does not ship; the dynamics headers suffice.
#include <dart/dynamics/BodyNode.hpp>
#include <dart/dynamics/PlanarJoint.hpp>
#include <dart/dynamics/RevoluteJoint.hpp>
#include <dart/dynamics/Skeleton.hpp>

#include "chain_model.hpp"
#include "peers.hpp"

namespace {

using namespace dart::dynamics;

constexpr double gravity = 9.80665;

struct DartChain {
  SkeletonPtr skeleton;
  Eigen::VectorXd positions;
  double base_angle = 0.0;
};

void shape_rod(BodyNode* body) {
  const double centre_inertia = link_mass * link_length * link_length / 12.0;
  body->setMass(link_mass);
  body->setMomentOfInertia(1e-12, centre_inertia, centre_inertia);
  body->setLocalCOM(Eigen::Vector3d(0.5 * link_length, 0, 0));
}

void build(DartChain& c, int n) {
  c.skeleton = Skeleton::create("chain");
  auto [base_joint, base] = c.skeleton->createJointAndBodyNodePair<PlanarJoint>(nullptr);
  base_joint->setXYPlane();
  shape_rod(base);
  BodyNode* parent = base;
  for (int k = 1; k < n; ++k) {
    // Unique names: DART otherwise renames every duplicate, loudly.
    RevoluteJoint::Properties joint_properties;
    joint_properties.mName = "joint" + std::to_string(k);
    BodyNode::Properties body_properties;
    body_properties.mName = "rod" + std::to_string(k);
    auto [joint, body] = c.skeleton->createJointAndBodyNodePair<RevoluteJoint>(
        parent, joint_properties, body_properties);
    joint->setAxis(Eigen::Vector3d::UnitZ());
    Eigen::Isometry3d offset = Eigen::Isometry3d::Identity();
    offset.translation() = Eigen::Vector3d(link_length, 0, 0);
    joint->setTransformFromParentBodyNode(offset);
    shape_rod(body);
    parent = body;
  }
  c.skeleton->setGravity(Eigen::Vector3d(0, -gravity, 0));
}

void set_state(DartChain& c, const double* q, const double* qdot) {
  const int d = static_cast<int>(c.skeleton->getNumDofs());
  c.skeleton->setPositions(Eigen::Map<const Eigen::VectorXd>(q, d));
  c.skeleton->setVelocities(Eigen::Map<const Eigen::VectorXd>(qdot, d));
  c.base_angle = q[2];
}

PeerAccelerations accelerations(DartChain& c) {
  c.skeleton->computeForwardDynamics();
  const Eigen::VectorXd acc = c.skeleton->getAccelerations();
  PeerAccelerations a;
  for (int i = 2; i < acc.size(); ++i) a.angular.push_back(acc[i]);
  const Eigen::Vector3d com = c.skeleton->getBodyNode(0)->getCOMLinearAcceleration();
  a.base_com[0] = com[0];
  a.base_com[1] = com[1];
  return a;
}

}  // namespace

Peer make_dart_peer(int bodies) {
  auto chain = std::make_shared<DartChain>();
  build(*chain, bodies);
  DartChain* c = chain.get();
  Peer peer;
  peer.model = chain;
  peer.set_state = [c](const double* q, const double* qdot) { set_state(*c, q, qdot); };
  peer.perturb_and_solve = [c](double delta) {
    c->skeleton->setPosition(2, c->base_angle + delta);
    c->skeleton->computeForwardDynamics();
  };
  peer.accelerations = [c]() { return accelerations(*c); };
  return peer;
}
