// The recursive pass sequences. Outward passes visit a body before its children, inward passes
// after all of them; children always in list order. The walks are iterative (tree_walk.hpp), so
// deep chains do not grow the call stack; the right-hand side, which runs millions of times,
// follows the same visiting orders recorded once when the coordinates were laid out.
#include <algorithm>
#include <cstddef>
#include <utility>
#include <new>

#include "mbs/mbs.hpp"
#include "mbs/tree_walk.hpp"

static inline void call_if_filled(JointOperation operation, Body& body) {
  if (operation) operation(body);
}

// Outward: joint rotation and body velocity from the initial q and qdot.
static void setup_step_a(Body& body) {
  const JointType& type = *body.type;
  type.joint_transform(body);
  type.parent_velocity(body);
  call_if_filled(type.body_velocity, body);
}

// Inward: subtree momentum, and from it the joint momentum that belongs to the initial qdot.
static void setup_step_b(Body& body) {
  const JointType& type = *body.type;
  compute_body_momentum(body);
  accumulate_momentum(body);
  call_if_filled(type.transmit_momentum, body);
  call_if_filled(type.initial_joint_momentum, body);
}

// Inward: articulated inertia and the momentum bias handed to the parent.
static void rhs_step_1(Body& body) {
  const JointType& type = *body.type;
  type.joint_transform(body);
  accumulate_inertia(body);
  call_if_filled(type.invert_joint_inertia, body);
  call_if_filled(type.transmit_inertia, body);
  call_if_filled(type.transmit_momentum_bias, body);
}

// Outward: coordinate rates from the momenta, body velocities, world placement.
static void rhs_step_2(Body& body) {
  const JointType& type = *body.type;
  type.parent_velocity(body);
  type.joint_velocity(body);
  call_if_filled(type.body_velocity, body);
  type.absolute_placement(body);
}

// Inward: the force elements, subtree forces and momenta, momentum rates.
static void rhs_step_3(Body& body) {
  const JointType& type = *body.type;
  apply_force_elements(body);
  accumulate_force(body);
  call_if_filled(type.composite_momentum, body);
  call_if_filled(type.transmit_force, body);
  call_if_filled(type.joint_momentum_rate, body);
}

void setup_pass_a(Body& root) {
  visit_preorder(root, setup_step_a);
}
void setup_pass_b(Body& root) {
  visit_postorder(root, setup_step_b);
}
void rhs_pass_1(Body& root) {
  visit_postorder(root, rhs_step_1);
}
void rhs_pass_2(Body& root) {
  visit_preorder(root, rhs_step_2);
}
void rhs_pass_3(Body& root) {
  visit_postorder(root, rhs_step_3);
}

#include "mbs/body_prefetch.hpp"

// The prefetches are forced inline, so they are handed on wrapped, never by address (which no
// optimisation level may then inline).
constexpr auto fetch_for_pass_1 = [](const Body* body) { prefetch_for_pass_1(body); };
constexpr auto fetch_for_pass_2 = [](const Body* body) { prefetch_for_pass_2(body); };
constexpr auto fetch_for_pass_3 = [](const Body* body) { prefetch_for_pass_3(body); };
constexpr auto fetch_for_setup_a = [](const Body* body) { prefetch_for_setup_a(body); };
constexpr auto fetch_for_setup_b = [](const Body* body) { prefetch_for_setup_b(body); };

template <typename Prefetch, typename Step>
static inline void visit_in_order(const LargeArray<Body*>& order, Prefetch prefetch, Step step) {
  const std::size_t n = order.size();
  if (n < prefetch_from_bodies) {
    for (Body* body : order) step(*body);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + prefetch_distance < n) prefetch(order[i + prefetch_distance]);
    step(*order[i]);
  }
}

// A failure met on the way is recorded in mbs.status; the passes run to the end regardless (there
// is no test per body for it), and the caller discards what they computed.
MbsStatus run_rhs_table_passes(Mbs& mbs) {
  mbs.status = MbsStatus::ok;
  visit_in_order(mbs.inward_order, fetch_for_pass_1, rhs_step_1);
  visit_in_order(mbs.outward_order, fetch_for_pass_2, rhs_step_2);
  visit_in_order(mbs.inward_order, fetch_for_pass_3, rhs_step_3);
  return mbs.status;
}

// The same steps in the same order as setup_pass_a and setup_pass_b, but from the recorded orders:
// a walk by the tree's pointers cannot ask for a record before it has read the one before.
MbsStatus run_momentum_passes(Mbs& mbs) {
  mbs.status = MbsStatus::ok;
  visit_in_order(mbs.outward_order, fetch_for_setup_a, setup_step_a);
  visit_in_order(mbs.inward_order, fetch_for_setup_b, setup_step_b);
  return mbs.status;
}

// Outward then inward over the runs: a fused run in one call, any other body by its table steps.
MbsStatus run_momentum_passes_by_runs(Mbs& mbs) {
  mbs.status = MbsStatus::ok;
  for (const PassRun& run : mbs.outward_runs) {
    if (run.kernel == PassKernel::fused_run) {
      run.type->momentum_velocity_run(mbs, run);
      continue;
    }
    for (int32_t i = run.begin; i < run.end; ++i) setup_step_a(*mbs.outward_order[i]);
  }
  for (const PassRun& run : mbs.inward_runs) {
    if (run.kernel == PassKernel::fused_run) {
      run.type->momentum_sum_run(mbs, run);
      continue;
    }
    for (int32_t i = run.begin; i < run.end; ++i) setup_step_b(*mbs.inward_order[i]);
  }
  return mbs.status;
}

MbsStatus run_setup_passes(Mbs& mbs) {
  run_momentum_passes(mbs);
  refresh_run_parameters(mbs);
  return mbs.status;
}

// --- Runs for the fused kernels ---

static bool takes_fused_runs(const JointType& type) {
  return type.inertia_run != nullptr;
}

static PassKernel kernel_of(const Body& body, const Body* root) {
  if (takes_fused_runs(*body.type)) return PassKernel::fused_run;
  if (body.type->root_inertia_and_velocity && &body == root) return PassKernel::fused_root;
  return PassKernel::table;
}

// In inward order a body continues a fused run when its kind's slot lets it follow the body
// before it.
static bool continues_inward_run(const Body& body, const Body& previous) {
  return body.type->continues_inward_run(body, previous);
}

static bool continues_outward_run(const Body& body, const Body& previous) {
  return body.type->continues_outward_run(body, previous);
}

// A body joins a fused run of its own kind when it continues it; bodies for the tables join any
// table run; the root's fused steps stay alone.
template <typename Continues>
static void cut_into_runs(const LargeArray<Body*>& order, const Body* root,
                          std::vector<PassRun>& runs, Continues continues) {
  runs.clear();
  const int32_t n = static_cast<int32_t>(order.size());
  for (int32_t i = 0; i < n; ++i) {
    const Body& body = *order[i];
    const PassKernel kernel = kernel_of(body, root);
    const JointType* type = kernel == PassKernel::table ? nullptr : body.type;
    PassRun* last = runs.empty() ? nullptr : &runs.back();
    bool joins = last && last->kernel == kernel && last->type == type;
    if (joins && kernel == PassKernel::fused_run) joins = continues(body, *order[i - 1]);
    if (joins && kernel == PassKernel::fused_root) joins = false;
    if (joins)
      last->end = i + 1;
    else
      runs.push_back({i, i + 1, kernel, type});
  }
}

// A record in a fused run has to be current during the evaluation when a force element reads it
// (in pass 3), or when a child outside its run starts pass 2 from it.
static bool record_read_during_evaluation(const Body& body, bool last_of_run) {
  if (body.own_forces != 0) return true;
  const Body* child = body.first_child;
  return child && (last_of_run || child->next_sibling);
}

static void list_kept_records(Mbs& mbs) {
  mbs.kept_records.clear();
  for (const PassRun& run : mbs.outward_runs) {
    if (run.kernel != PassKernel::fused_run) continue;
    for (int32_t i = run.begin; i < run.end; ++i)
      if (record_read_during_evaluation(*mbs.outward_order[i], i + 1 == run.end))
        mbs.kept_records.push_back(i);
  }
}

// Which bodies the elements beyond the weights act on.
static void count_own_forces(Mbs& mbs) {
  for (Body* body : mbs.outward_order) body->own_forces = 0;
  for (const ForceElement& element : mbs.force_elements) {
    if (!element.type->add_force) continue;
    for (Body* body : mbs.outward_order)
      if (element.acts_on(*body)) ++body->own_forces;
  }
}

void refresh_run_parameters(Mbs& mbs) {
  count_own_forces(mbs);
  for (const PassRun& run : mbs.inward_runs)
    if (run.kernel == PassKernel::fused_run) run.type->pack_parameters(mbs, run);
  list_kept_records(mbs);
}

// Coordinates are laid out in pre-order (assign_coordinates), so a body's first coordinate is the
// count of those before it in outward order.
static void record_compact_pass_data(Mbs& mbs) {
  const std::size_t n = mbs.outward_order.size();
  mbs.run_joint.assign(n, RunJoint{});
  mbs.run_inertia.assign(n, Sym3{});
  mbs.run_force_parameters.assign(n, RunForceParameters{});
  mbs.run_state.assign(n, RunPassState{});
  mbs.run_motion.assign(n, RunMotion{});
  mbs.inward_position.assign(n, 0);
  mbs.record_inertia.assign(n, Sym3{});
  mbs.kept_records.clear();
  mbs.kept_records.reserve(n);
  std::vector<int32_t> coordinate_of(n);
  int32_t next = 0;
  for (std::size_t i = 0; i < n; ++i) {
    coordinate_of[i] = next;
    next += mbs.outward_order[i]->type->coordinate_count;
  }
  // Both orders hold the same bodies: find each inward body's outward position by pointer.
  std::vector<std::pair<const Body*, int32_t>> outward_by_body(n);
  for (std::size_t i = 0; i < n; ++i)
    outward_by_body[i] = {mbs.outward_order[i], static_cast<int32_t>(i)};
  std::sort(outward_by_body.begin(), outward_by_body.end());
  for (std::size_t k = 0; k < n; ++k) {
    const auto found = std::lower_bound(outward_by_body.begin(), outward_by_body.end(),
                                        std::pair<const Body*, int32_t>{mbs.inward_order[k], 0});
    const std::size_t i = static_cast<std::size_t>(found->second);
    mbs.run_joint[k].coordinate = coordinate_of[i];
    mbs.inward_position[i] = static_cast<int32_t>(k);
  }
  refresh_run_parameters(mbs);
}

MbsStatus record_pass_runs(Mbs& mbs) {
  try {
    cut_into_runs(mbs.inward_order, mbs.root, mbs.inward_runs, continues_inward_run);
    cut_into_runs(mbs.outward_order, mbs.root, mbs.outward_runs, continues_outward_run);
    record_compact_pass_data(mbs);
  } catch (const std::bad_alloc&) {
    return MbsStatus::out_of_memory;
  }
  return MbsStatus::ok;
}

// The table operations over the bodies of one run; a large tree prefetches along the whole order.
template <typename Prefetch, typename Step>
static inline void visit_run(const LargeArray<Body*>& order, const PassRun& run, bool prefetch,
                             Prefetch fetch, Step step) {
  const std::size_t n = order.size();
  for (std::size_t i = static_cast<std::size_t>(run.begin); i < static_cast<std::size_t>(run.end);
       ++i) {
    if (prefetch && i + prefetch_distance < n) fetch(order[i + prefetch_distance]);
    step(*order[i]);
  }
}

// A root with fused steps ends pass 1 with its pass-2 step as well (it is the last body inward
// and the first outward), so pass 2 skips it.
static void rhs_pass_1_by_runs(Mbs& mbs, bool prefetch) {
  for (const PassRun& run : mbs.inward_runs) {
    switch (run.kernel) {
      case PassKernel::fused_run:
        run.type->inertia_run(mbs, run);
        break;
      case PassKernel::fused_root:
        run.type->root_inertia_and_velocity(*mbs.inward_order[run.begin]);
        break;
      case PassKernel::table:
        visit_run(mbs.inward_order, run, prefetch, fetch_for_pass_1, rhs_step_1);
        break;
    }
  }
}

static void rhs_pass_2_by_runs(Mbs& mbs, bool prefetch) {
  for (const PassRun& run : mbs.outward_runs) {
    switch (run.kernel) {
      case PassKernel::fused_run:
        run.type->velocity_run(mbs, run);
        break;
      case PassKernel::fused_root:
        break;
      case PassKernel::table:
        visit_run(mbs.outward_order, run, prefetch, fetch_for_pass_2, rhs_step_2);
        break;
    }
  }
}

static void rhs_pass_3_by_runs(Mbs& mbs, bool prefetch) {
  for (const PassRun& run : mbs.inward_runs) {
    switch (run.kernel) {
      case PassKernel::fused_run:
        run.type->force_run(mbs, run);
        break;
      case PassKernel::fused_root:
        run.type->root_force(*mbs.inward_order[run.begin]);
        break;
      case PassKernel::table:
        visit_run(mbs.inward_order, run, prefetch, fetch_for_pass_3, rhs_step_3);
        break;
    }
  }
}

void update_body_records(Mbs& mbs) {
  const bool stream = mbs.outward_order.size() >= prefetch_from_bodies;
  for (const PassRun& run : mbs.outward_runs)
    if (run.kernel == PassKernel::fused_run) run.type->store_records(mbs, run, stream);
}

MbsStatus run_velocity_passes(Mbs& mbs) {
  mbs.status = MbsStatus::ok;
  const bool prefetch = mbs.inward_order.size() >= prefetch_from_bodies;
  rhs_pass_1_by_runs(mbs, prefetch);
  rhs_pass_2_by_runs(mbs, prefetch);
  return mbs.status;
}

// The bodies outside the fused runs (the root) take their added inertia in their records for the
// solve; their own is restored afterwards.
template <typename Visit>
static void for_each_record_body(Mbs& mbs, Visit visit) {
  for (const PassRun& run : mbs.inward_runs) {
    if (run.kernel == PassKernel::fused_run) continue;
    for (int32_t i = run.begin; i < run.end; ++i)
      visit(static_cast<std::size_t>(i), *mbs.inward_order[static_cast<std::size_t>(i)]);
  }
}

MbsStatus run_velocity_passes_with_springs(Mbs& mbs, const double* armature,
                                           const double* turn_inertia, const Sym3* added_inertia,
                                           KeptFactors* factors) {
  mbs.run_armature = armature;
  mbs.run_turn_inertia = turn_inertia;
  mbs.run_added_inertia = added_inertia;
  mbs.run_kept = factors;
  Sym3* kept = mbs.record_inertia.data();
  for_each_record_body(mbs, [&](std::size_t at, Body& body) {
    kept[at] = body.inertia;
    body.inertia[5] = kept[at][5] + turn_inertia[at];
    if (added_inertia)
      for (int i = 0; i < 6; ++i) body.inertia[i] = body.inertia[i] + added_inertia[at][i];
  });
  const MbsStatus status = run_velocity_passes(mbs);
  for_each_record_body(mbs, [&](std::size_t at, Body& body) { body.inertia = kept[at]; });
  mbs.run_armature = nullptr;
  mbs.run_turn_inertia = nullptr;
  mbs.run_added_inertia = nullptr;
  mbs.run_kept = nullptr;
  if (factors && status == MbsStatus::ok) factors->filled = true;
  return status;
}

MbsStatus run_rhs_passes(Mbs& mbs) {
  mbs.status = MbsStatus::ok;
  const bool prefetch = mbs.inward_order.size() >= prefetch_from_bodies;
  rhs_pass_1_by_runs(mbs, prefetch);
  rhs_pass_2_by_runs(mbs, prefetch);
  rhs_pass_3_by_runs(mbs, prefetch);
  return mbs.status;
}
