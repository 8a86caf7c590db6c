// Established multibody libraries on the benchmark chain (free planar base, N-1 revolute links,
// rods 0.04 m and 0.04 kg, gravity 9.80665 along -y, no joint springs or dampers). Each peer keeps
// its own model; state and accelerations are exchanged in the engine's coordinates: base origin
// x, y, base angle, joint angles.
#pragma once

#include <functional>
#include <memory>
#include <vector>

struct PeerAccelerations {
  std::vector<double> angular;  // base angle, then every joint angle (N values)
  double base_com[2] = {0.0, 0.0};  // world acceleration of the base's centre of mass
  bool base_com_is_norm = false;    // the peer gives only its magnitude (in base_com[0])
};

// A peer's operations on its own model (held by `model`).
struct Peer {
  std::shared_ptr<void> model;
  std::function<void(const double* q, const double* qdot)> set_state;
  // Forward dynamics after turning the base by `delta` from the state set last, so that no cache
  // of the previous iteration can be reused.
  std::function<void(double delta)> perturb_and_solve;
  // Accelerations of the state set last (solves it again).
  std::function<PeerAccelerations()> accelerations;
};

Peer make_bullet_peer(int bodies);
Peer make_simbody_peer(int bodies);
Peer make_dart_peer(int bodies);
