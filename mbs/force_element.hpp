// Force elements: everything that pushes on the bodies besides their joints (gravity, springs to
// anchors, later the ground, obstacles and the surrounding fluid). An element is a record of
// function slots, as a joint kind is; the core calls them through one hook and knows none by name.
// The measures, the implicit step's preconditioner and the programs read every element through
// the same slots, so each element's physics is written once, in its own source.
#pragma once

#include <array>
#include <cstdint>

struct Body;
struct Mbs;
struct ForceElement;

using Triple = std::array<double, 3>;
using Point = std::array<double, 2>;
using Sym3 = std::array<double, 6>;

// A spring-damper holding one point of one body, as the implicit step's tree solve takes it:
// along world x and y at `at`, and on the body's absolute angle.
struct PointSpring {
  const Body* body = nullptr;
  Point at{};          // world
  Triple stiffness{};  // N/m, N/m, N m/rad
  Triple damping{};    // N s/m, N s/m, N m s/rad
};

struct ForceElementType {
  // Adds the element's force on `body` to `applied` (world axes, moment about the body's
  // origin), from the placement and velocity in the body's record. Null for a pure weight.
  void (*add_force)(const ForceElement& element, const Body& body, Triple& applied) = nullptr;
  // A weight: the y component (N) of a constant world force at the body's centre of mass. The
  // fused kernels take it once at set-up instead of calling add_force. Null for other elements.
  double (*weight_of)(const ForceElement& element, const Body& body) = nullptr;
  // Where the force on `body` acts (world): the chain's turning stiffness needs its lever.
  Point (*point_of_action)(const ForceElement& element, const Body& body) = nullptr;
  // Potential energy (J) at the bodies' present placements; null for an element without one.
  double (*potential_energy)(const ForceElement& element, const Mbs& mbs) = nullptr;
  // The implicit step's view of a spring-damper on one point: false when the element has none.
  bool (*point_spring)(const ForceElement& element, PointSpring& spring) = nullptr;
  // The implicit step's view of an element spread over the bodies: its stiffness and damping on
  // `body`, symmetric 3x3 (upper triangle, row by row) over the world x and y of the body's
  // origin and its angle: minus the derivatives of its force and moment (about the origin) by
  // the body's displacement and by its velocity. Added to what is there; null: none.
  void (*body_stiffness)(const ForceElement& element, const Body& body, Sym3& stiffness,
                         Sym3& damping) = nullptr;
};

// One element of a system: its kind, its own record (read live through the pointer, owned by
// whoever registered it) and the body it acts on (null: every body).
struct ForceElement {
  const ForceElementType* type = nullptr;
  const void* data = nullptr;
  const Body* body = nullptr;

  template <typename Data>
  const Data& data_as() const {
    return *static_cast<const Data*>(data);
  }
  bool acts_on(const Body& b) const { return body == nullptr || body == &b; }
};
