// The Newton matrix of an implicit step, P = I - gamma J, solved in O(n) through the tree with
// the stiff part of J taken exactly: the joint spring-dampers, the chain ends' spring-dampers to
// their carriages, the carriages' own springs and the stiffness of the rope's tension. A Krylov
// solver then needs only a few products with the true Jacobian to finish the job.
#pragma once

#include <cstdint>
#include <vector>

#include "stepping/simulation.hpp"

struct StepPreconditioner {
  std::vector<double> armature;  // per fused link, by inward position
  // The rope's tension as a spring on each body's absolute angle (N m/rad, by the body's turning
  // coordinate; 0 elsewhere), and gamma^2 times it as the body's added rotational inertia (by
  // inward position).
  std::vector<double> tension;
  std::vector<double> turn_inertia;
  // Each body's turning coordinate and its parent's (-1 for none), in outward order.
  struct Turn {
    int32_t coordinate, parent;
  };
  std::vector<Turn> turns;
  // Frozen at the last set-up: the coordinates and gamma the matrix is taken at, the joint rates
  // w = M^-1 p there and the momenta M w as the set-up passes give them back.
  std::vector<double> q;
  std::vector<double> rates;
  std::vector<double> momenta;
  double q_scale = 1.0;  // the largest coordinate's size, at least 1: sets the difference quotients
  double gamma = 0.0;
  // The force elements' point springs (the chain ends' couplings) as rows of the held points'
  // world motion over the joint rates (end_rows x n, row-major), each with its spring (N/m or
  // N m/rad) and its weight gamma c + gamma^2 k in the step. Three rows of room per element
  // that may hold a point.
  int end_rows = 0;
  std::vector<double> rows;
  std::vector<double> stiffness;
  std::vector<double> weight;
  // W = B^-1 L^T (n x end_rows, column by column) with B the tree's matrix, and the LU factors of
  // the small capacitance matrix I + diag(weight) L W with its row order.
  std::vector<double> solved_rows;
  std::vector<double> capacitance;
  std::vector<int> pivot;
  std::vector<double> correction;
  std::vector<double> work;  // 6 n
};

// Sizes the preconditioner for `sim`'s rope. False when memory ran out.
bool make_step_preconditioner(StepPreconditioner& preconditioner, const Simulation& sim);

// Takes the Newton matrix at state y (laid out as sim.layout) and `gamma`: a tree solve per
// point-spring row and the chain's geometry, O(n). Returns the core's status.
MbsStatus set_up_step_preconditioner(Simulation& sim, StepPreconditioner& preconditioner,
                                     const double y[], double gamma);

// z = P^-1 r with P as last set up (states laid out as sim.layout). Returns the core's status.
MbsStatus solve_step_preconditioner(Simulation& sim, StepPreconditioner& preconditioner,
                                    const double r[], double z[]);
