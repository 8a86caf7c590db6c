// The Newton matrix of an implicit step, P = I - gamma J, solved in O(n) through the tree with
// the stiff part of J taken exactly: the joint spring-dampers, the chain ends' spring-dampers to
// their carriages, the carriages' own springs, the stiffness of the rope's tension and that of the
// contact and drag on each body. A Krylov solver then needs only a few products with the true
// Jacobian to finish the job.
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
  // The tree solve's factors at the set-up coordinates and springs, taken by the first solve after
  // a set-up and read by the later ones (by inward position, one per body).
  std::vector<RunPassState> kept_states;
  bool factors_kept = false;
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
  // The elements spread over the bodies (contact, drag), each body's share as a stiffness K_b and
  // damping C_b over the world x, y of its origin and its angle. Over a step they weigh like the
  // inertia gamma C_b + gamma^2 K_b added to the body. All empty when no element has that view.
  struct Held {
    int32_t first, count;  // the body's coordinates
    int32_t parent;        // outward position, -1 for none
  };
  std::vector<Held> held;              // outward order
  std::vector<Sym3> held_stiffness;    // K_b, by outward position
  std::vector<Sym3> held_weight;       // gamma C_b + gamma^2 K_b, by outward position
  std::vector<Sym3> added_inertia;     // the same in the body's axes, by inward position
  std::vector<Point> origins;          // world, at the set-up coordinates
  std::vector<Triple> origin_motion;   // per body: its origin's world motion, then its load
  std::vector<Triple> held_load;
  bool holds_bodies = false;           // some body has a share at the last set-up
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
