// Building the body tree and laying out the joint coordinates.
#include <cstddef>
#include <new>
#include <vector>

#include "mbs/mbs.hpp"
#include "mbs/tree_walk.hpp"

MbsStatus init_body(Body& body, const JointType* type) {
  if (!type) return MbsStatus::unknown_joint_kind;
  body.first_child = nullptr;
  body.last_child = nullptr;
  body.next_sibling = nullptr;
  body.prev_sibling = nullptr;
  body.parent = nullptr;
  body.system = nullptr;
  body.type = type;
  body.type->construct(body);
  return MbsStatus::ok;
}

// Appends the child at the tail of the parent's child list.
void attach_body(Body& child, Body& parent) {
  if (!parent.first_child) parent.first_child = &child;
  if (parent.last_child) parent.last_child->next_sibling = &child;
  child.prev_sibling = parent.last_child;
  parent.last_child = &child;
  child.parent = &parent;
}

void set_root(Mbs& mbs, Body& root) {
  mbs.root = &root;
  root.parent = &mbs.ground;
}

int count_coordinates(const Body& body) {
  int count = 0;
  visit_preorder(const_cast<Body&>(body),
                 [&](const Body& b) { count += b.type->coordinate_count; });
  return count;
}

// Pre-order over the subtree: a body's range comes before its children's, children in list order.
int assign_coordinates(Mbs& mbs, Body& body, int start) {
  int next = start;
  visit_preorder(body, [&](Body& b) {
    b.q = mbs.q + next;
    b.p = mbs.p + next;
    b.qdot = mbs.qdot + next;
    b.pdot = mbs.pdot + next;
    b.system = &mbs;
    next += b.type->coordinate_count;
  });
  return next;
}

static MbsStatus allocate_coordinate_arrays(Mbs& mbs, int n) {
  const std::size_t length = static_cast<std::size_t>(n);
  try {
    mbs.storage.assign(4 * length, 0.0);
  } catch (const std::bad_alloc&) {
    return MbsStatus::out_of_memory;
  }
  mbs.coordinate_count = n;
  double* base = mbs.storage.data();
  mbs.q = base;
  mbs.p = base + length;
  mbs.qdot = base + 2 * length;
  mbs.pdot = base + 3 * length;
  return MbsStatus::ok;
}

// The right-hand side follows these lists instead of walking the tree on every evaluation.
static MbsStatus record_visiting_orders(Mbs& mbs) {
  mbs.outward_order.clear();
  mbs.inward_order.clear();
  try {
    visit_preorder(*mbs.root, [&](Body& b) { mbs.outward_order.push_back(&b); });
    visit_postorder(*mbs.root, [&](Body& b) { mbs.inward_order.push_back(&b); });
  } catch (const std::bad_alloc&) {
    return MbsStatus::out_of_memory;
  }
  return record_pass_runs(mbs);
}

// Without the memory, the system is left with no coordinates, arrays or visiting orders.
static void release_coordinates(Mbs& mbs) {
  LargeArray<double>().swap(mbs.storage);
  LargeArray<Body*>().swap(mbs.outward_order);
  LargeArray<Body*>().swap(mbs.inward_order);
  std::vector<PassRun>().swap(mbs.inward_runs);
  std::vector<PassRun>().swap(mbs.outward_runs);
  LargeArray<RunJoint>().swap(mbs.run_joint);
  LargeArray<Sym3>().swap(mbs.run_inertia);
  LargeArray<RunForceParameters>().swap(mbs.run_force_parameters);
  LargeArray<int32_t>().swap(mbs.inward_position);
  LargeArray<RunPassState>().swap(mbs.run_state);
  LargeArray<RunMotion>().swap(mbs.run_motion);
  LargeArray<int32_t>().swap(mbs.kept_records);
  LargeArray<Sym3>().swap(mbs.record_inertia);
  mbs.coordinate_count = 0;
  mbs.q = mbs.p = mbs.qdot = mbs.pdot = nullptr;
}

// The bodies are pointed at the arrays only once everything is allocated.
MbsStatus init_coordinates(Mbs& mbs) {
  mbs.status = record_visiting_orders(mbs);
  if (mbs.status == MbsStatus::ok)
    mbs.status = allocate_coordinate_arrays(mbs, count_coordinates(*mbs.root));
  if (mbs.status != MbsStatus::ok) {
    release_coordinates(mbs);
    return mbs.status;
  }
  assign_coordinates(mbs, *mbs.root, 0);
  return mbs.status;
}
