// Reference dynamics of the benchmark chain by the textbook route: the dense mass matrix M(q) from
// the bodies' Jacobians, and a Cholesky solve for the accelerations, O(n^3). Written independently
// of the engine, in the engine's coordinates: base origin x, y, base angle, then the joint angles.
#pragma once

#include <Eigen/Dense>

struct DenseChain {
  int bodies = 0;
  // Workspace, sized once.
  Eigen::MatrixXd absolute_mass;  // in (x, y, absolute angles)
  Eigen::MatrixXd mass;           // in the joint coordinates
  Eigen::VectorXd absolute_force, force, phi, phi_rate, bias;
  Eigen::LLT<Eigen::MatrixXd> cholesky;
};

void init_dense_chain(DenseChain& chain, int bodies);

// M(q) in joint coordinates, left in chain.mass.
void dense_mass_matrix(DenseChain& chain, const double* q);

// Accelerations under gravity, no joint springs or dampers.
void dense_forward_dynamics(DenseChain& chain, const double* q, const double* qdot,
                            Eigen::VectorXd& qddot);
