#include "app/step_preconditioner.hpp"

#include <algorithm>
#include <new>

// With the mass matrix frozen at q, the joints' part of the Jacobian is
//   d qdot / dp = M^-1,   d pdot / dq = -K,   d pdot / dp = -C M^-1
// (K, C: the joints' stiffnesses and dampings on the diagonal). Then P [zq; zp] = [rq; rp] gives,
// with v = M^-1 zp:
//   (M + gamma C + gamma^2 K) v = rp - gamma K rq,   zp = that right side - (gamma C + gamma^2 K) v,
//   zq = rq + gamma v,
// and the first is one pass of the articulated-body recursion with gamma c + gamma^2 k added to
// each joint's inertia. The free base has no spring of its own: its rows keep M.

namespace {

struct JointSpring {
  int coordinate;
  double stiffness, damping;
};

template <typename Visit>
void for_each_fused_link(const Mbs& mbs, Visit visit) {
  for (const PassRun& run : mbs.inward_runs) {
    if (run.kernel != PassKernel::fused_run) continue;
    for (int32_t i = run.begin; i < run.end; ++i) {
      const auto at = static_cast<std::size_t>(i);
      const LinkForceParameters& spring = mbs.link_force_parameters[at];
      visit(at, JointSpring{mbs.link_joint[at].coordinate, spring.stiffness, spring.damping});
    }
  }
}

// A carriage: x' = v, v' = -(a x + b v) + the rope's pull, with a, b per unit mass from its drive
// and chain-end springs. Its 2x2 block of P solved exactly.
void solve_carriage(const Carriages& c, int k, double gamma, const double r[2], double z[2]) {
  const double a = (c.drive_stiffness[k] + c.stiffness_x[k]) / c.carriage_mass[k];
  const double b = (c.drive_damping[k] + c.damping_x[k]) / c.carriage_mass[k];
  const double diagonal = 1.0 + gamma * b;
  const double determinant = diagonal + gamma * gamma * a;
  z[0] = (diagonal * r[0] + gamma * r[1]) / determinant;
  z[1] = (r[1] - gamma * a * r[0]) / determinant;
}

}  // namespace

bool make_step_preconditioner(StepPreconditioner& preconditioner, const Simulation& sim) {
  try {
    preconditioner.armature.assign(sim.rope.mbs.link_joint.size(), 0.0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

MbsStatus solve_step_preconditioner(Simulation& sim, StepPreconditioner& preconditioner,
                                    const double y[], const double r[], double z[],
                                    double gamma) {
  Mbs& mbs = sim.rope.mbs;
  const int n = sim.coordinate_count;
  const double* rq = r;
  const double* rp = r + n;
  std::copy(y, y + n, mbs.q);
  std::copy(rp, rp + n, mbs.p);
  double* armature = preconditioner.armature.data();
  for_each_fused_link(mbs, [&](std::size_t at, const JointSpring& joint) {
    mbs.p[joint.coordinate] -= gamma * joint.stiffness * rq[joint.coordinate];
    armature[at] = gamma * joint.damping + gamma * gamma * joint.stiffness;
  });
  mbs.link_armature = armature;
  const MbsStatus status = run_velocity_passes(mbs);
  mbs.link_armature = nullptr;
  double* zq = z;
  double* zp = z + n;
  for (int i = 0; i < n; ++i) {
    zq[i] = rq[i] + gamma * mbs.qdot[i];
    zp[i] = mbs.p[i];
  }
  for_each_fused_link(mbs, [&](std::size_t at, const JointSpring& joint) {
    zp[joint.coordinate] -= armature[at] * mbs.qdot[joint.coordinate];
  });
  const Carriages& c = sim.rope.carriages;
  for (int k = 0; k < 2; ++k) solve_carriage(c, k, gamma, r + 2 * n + 2 * k, z + 2 * n + 2 * k);
  return status;
}
