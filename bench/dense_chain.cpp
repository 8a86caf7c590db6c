#include "dense_chain.hpp"

#include <cmath>

#include "chain_model.hpp"

namespace {

constexpr double gravity = 9.80665;
constexpr double com_offset = 0.5 * link_length;                            // along the rod
constexpr double com_inertia = link_mass * link_length * link_length / 12.0;  // about the centre

// Absolute angles and rates: phi_k = base angle + joint angles 1..k.
void absolute_angles(DenseChain& c, const double* q, const double* qdot) {
  double angle = 0.0, rate = 0.0;
  for (int k = 0; k < c.bodies; ++k) {
    angle += q[2 + k];
    rate += qdot ? qdot[2 + k] : 0.0;
    c.phi[k] = angle;
    c.phi_rate[k] = rate;
  }
}

// Lever of angle i on the centre of mass of body k >= i: the rest of body i and all of the later ones.
double reach(const DenseChain& c, int i) { return com_offset + link_length * (c.bodies - 1 - i); }

// M in (x, y, phi_0..phi_{n-1}): sum over bodies of m J^T J + I_c for the angles.
void absolute_mass_matrix(DenseChain& c) {
  const int n = c.bodies;
  const double m = link_mass, L = link_length;
  auto& M = c.absolute_mass;
  M.setZero();
  M(0, 0) = M(1, 1) = n * m;
  for (int i = 0; i < n; ++i) {
    M(0, 2 + i) = M(2 + i, 0) = -m * std::sin(c.phi[i]) * reach(c, i);
    M(1, 2 + i) = M(2 + i, 1) = m * std::cos(c.phi[i]) * reach(c, i);
    M(2 + i, 2 + i) = m * (com_offset * com_offset + L * L * (n - 1 - i)) + com_inertia;
    for (int j = i + 1; j < n; ++j)
      M(2 + i, 2 + j) = M(2 + j, 2 + i) =
          m * std::cos(c.phi[i] - c.phi[j]) * (L * com_offset + L * L * (n - 1 - j));
  }
}

// Joint coordinates: phi = A theta, A lower triangular of ones on the angles, so M_q = A^T M A:
// suffix sums over rows, then over columns.
void to_joint_coordinates(DenseChain& c) {
  const int d = c.bodies + 2;
  c.mass = c.absolute_mass;
  for (int row = d - 2; row >= 2; --row) c.mass.row(row) += c.mass.row(row + 1);
  for (int col = d - 2; col >= 2; --col) c.mass.col(col) += c.mass.col(col + 1);
}

}  // namespace

void init_dense_chain(DenseChain& c, int bodies) {
  const int d = bodies + 2;
  c.bodies = bodies;
  c.absolute_mass.resize(d, d);
  c.mass.resize(d, d);
  c.absolute_force.resize(d);
  c.force.resize(d);
  c.phi.resize(bodies);
  c.phi_rate.resize(bodies);
  c.bias.resize(2 * bodies);
  c.cholesky = Eigen::LLT<Eigen::MatrixXd>(d);
}

void dense_mass_matrix(DenseChain& c, const double* q) {
  absolute_angles(c, q, nullptr);
  absolute_mass_matrix(c);
  to_joint_coordinates(c);
}

void dense_forward_dynamics(DenseChain& c, const double* q, const double* qdot,
                            Eigen::VectorXd& qddot) {
  const int n = c.bodies, d = n + 2;
  const double m = link_mass, L = link_length;
  absolute_angles(c, q, qdot);
  absolute_mass_matrix(c);
  to_joint_coordinates(c);
  // Centripetal acceleration of each centre of mass: b_k = -sum_{i<k} L w_i^2 e_i - c w_k^2 e_k.
  double sx = 0.0, sy = 0.0;
  for (int k = 0; k < n; ++k) {
    const double w2 = c.phi_rate[k] * c.phi_rate[k];
    const double ex = std::cos(c.phi[k]), ey = std::sin(c.phi[k]);
    c.bias[2 * k] = -sx - com_offset * w2 * ex;
    c.bias[2 * k + 1] = -sy - com_offset * w2 * ey;
    sx += L * w2 * ex;
    sy += L * w2 * ey;
  }
  // Generalised force Q - J^T m b: gravity minus the velocity-product terms.
  auto& f = c.absolute_force;
  double tail_x = 0.0, tail_y = 0.0;  // sum of b_k over k > i
  double total_x = 0.0, total_y = 0.0;
  for (int k = 0; k < n; ++k) {
    total_x += c.bias[2 * k];
    total_y += c.bias[2 * k + 1];
  }
  f[0] = -m * total_x;
  f[1] = -n * m * gravity - m * total_y;
  for (int i = n - 1; i >= 0; --i) {
    const double px = -std::sin(c.phi[i]), py = std::cos(c.phi[i]);  // d e_i / d phi_i
    const double lever_x = com_offset * c.bias[2 * i] + L * tail_x;
    const double lever_y = com_offset * c.bias[2 * i + 1] + L * tail_y;
    f[2 + i] = -m * gravity * py * reach(c, i) - m * (px * lever_x + py * lever_y);
    tail_x += c.bias[2 * i];
    tail_y += c.bias[2 * i + 1];
  }
  c.force = f;
  for (int row = d - 2; row >= 2; --row) c.force[row] += c.force[row + 1];
  c.cholesky.compute(c.mass);
  qddot = c.cholesky.solve(c.force);
}
