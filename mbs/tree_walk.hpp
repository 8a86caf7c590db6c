// Visiting orders over a subtree without recursion, so trees of any depth are safe.
// Children are visited in list order (the attach order).
#pragma once

#include "mbs/mbs.hpp"

// Pre-order successor of `body` within the subtree of `top`, or null when the walk is done.
inline Body* preorder_next(Body* body, const Body* top) {
  if (body->first_child) return body->first_child;
  while (body != top) {
    if (body->next_sibling) return body->next_sibling;
    body = body->parent;
  }
  return nullptr;
}

inline Body* leftmost_leaf(Body* body) {
  while (body->first_child) body = body->first_child;
  return body;
}

// Post-order successor: the next sibling's subtree first, else the parent.
inline Body* postorder_next(Body* body, const Body* top) {
  if (body == top) return nullptr;
  if (body->next_sibling) return leftmost_leaf(body->next_sibling);
  return body->parent;
}

// Calls visit(body) on every body of the subtree of `top`, parents before children.
template <typename Visit>
inline void visit_preorder(Body& top, Visit visit) {
  for (Body* body = &top; body; body = preorder_next(body, &top)) visit(*body);
}

// Calls visit(body) on every body of the subtree of `top`, children (in list order) first.
template <typename Visit>
inline void visit_postorder(Body& top, Visit visit) {
  for (Body* body = leftmost_leaf(&top); body; body = postorder_next(body, &top)) visit(*body);
}
