// The Newton matrix of an implicit step, P = I - gamma J, solved in O(n) through the tree with
// the stiff part of J taken exactly: the joint spring-dampers and the carriages' own springs. A
// Krylov solver then needs only a few products with the true Jacobian to finish the job.
#pragma once

#include <vector>

#include "app/simulation.hpp"

struct StepPreconditioner {
  std::vector<double> armature;  // per fused link, by inward position
};

// Sizes the preconditioner for `sim`'s rope. False when memory ran out.
bool make_step_preconditioner(StepPreconditioner& preconditioner, const Simulation& sim);

// z = P^-1 r at state y (2n + 4 values each). Returns the core's status.
MbsStatus solve_step_preconditioner(Simulation& sim, StepPreconditioner& preconditioner,
                                    const double y[], const double r[], double z[],
                                    double gamma);
