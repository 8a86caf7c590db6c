// Building the body tree and laying out the joint coordinates.
#include <iostream>
#include <new>
#include <string>

#include "mbs/fatal.hpp"
#include "mbs/mbs.hpp"
#include "mbs/tree_walk.hpp"

static const JointType* joint_type_for(int type_number) {
  switch (type_number) {
    case revolute_link_kind:
      return &joint_types[revolute_link_kind];
    case free_planar_base_kind:
      return &joint_types[free_planar_base_kind];
    case slaved_revolute_kind:
      return &joint_types[slaved_revolute_kind];
    default:
      return &joint_types[tip_joint_kind];
  }
}

void init_body(Body& body, int type_number) {
  body.first_child = nullptr;
  body.last_child = nullptr;
  body.next_sibling = nullptr;
  body.prev_sibling = nullptr;
  body.parent = nullptr;
  body.system = nullptr;
  body.type = joint_type_for(type_number);
  body.type->construct(body);
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
    b.qddot = mbs.qddot + next;
    b.pdot = mbs.pdot + next;
    b.system = &mbs;
    next += b.type->coordinate_count;
  });
  return next;
}

static void allocate_coordinate_arrays(Mbs& mbs, int n) {
  const size_t length = static_cast<size_t>(n);
  try {
    mbs.storage.assign(5 * length, 0.0);
  } catch (const std::bad_alloc&) {
    const std::string message = "Out of memory: cannot allocate the coordinate arrays for " +
                                std::to_string(n) + " coordinates.";
    fatal(message.c_str());
  }
  double* base = mbs.storage.data();
  mbs.q = base;
  mbs.p = base + length;
  mbs.qdot = base + 2 * length;
  mbs.qddot = base + 3 * length;
  mbs.pdot = base + 4 * length;
}

// The right-hand side follows these lists instead of walking the links on every evaluation.
static void record_visiting_orders(Mbs& mbs) {
  mbs.outward_order.clear();
  mbs.inward_order.clear();
  try {
    visit_preorder(*mbs.root, [&](Body& b) { mbs.outward_order.push_back(&b); });
    visit_postorder(*mbs.root, [&](Body& b) { mbs.inward_order.push_back(&b); });
  } catch (const std::bad_alloc&) {
    fatal("Out of memory: cannot record the visiting orders of the body tree.");
  }
}

void init_coordinates(Mbs& mbs) {
  const int n = count_coordinates(*mbs.root);
  mbs.coordinate_count = n;
  allocate_coordinate_arrays(mbs, n);
  assign_coordinates(mbs, *mbs.root, 0);
  record_visiting_orders(mbs);
  std::cout << "MBS initialized. Number of Coordinates=" << n << std::endl;
}
