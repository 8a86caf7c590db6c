// Multibody core: the body record, the joint-kind descriptor and the system record.
//
// A planar body tree in Hamiltonian form. Every body carries its joint to the parent; the
// behaviour that depends on the joint kind lives in a JointType table of operations, and the
// recursive passes (passes.cpp) call those operations body by body.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mbs/force_element.hpp"
#include "mbs/large_array.hpp"

// Planar triple: (x component, y component, rotational component) of a velocity, force or momentum.
using Triple = std::array<double, 3>;
// Symmetric 3x3 matrix, upper triangle row by row: (11, 12, 13, 22, 23, 33).
using Sym3 = std::array<double, 6>;
// Full 3x3 matrix, row by row.
using Mat3 = std::array<double, 9>;
// A point or vector in the plane: (x, y).
using Point = std::array<double, 2>;

struct Body;
struct Mbs;
struct PassRun;
using JointOperation = void (*)(Body&);
// A fused routine over a run of bodies of one kind (PassRun), on the system's compact data.
using RunOperation = void (*)(Mbs&, const PassRun&);
// Copies what a run left in the compact data into its bodies' records; `stream` on trees too
// large for the caches.
using RunRecordsOperation = void (*)(Mbs&, const PassRun&, bool stream);
// Whether `body` may follow `previous`, the body before it in a visiting order, in one run.
using RunContinuation = bool (*)(const Body& body, const Body& previous);

// A joint kind: 14 operation slots in a fixed order, the optional fused right-hand side, then the
// number of joint coordinates. A slot left out of a descriptor is null.
// The passes call `construct`, `joint_transform`, `parent_velocity`, `joint_velocity` and
// `absolute_placement` without a test; every other slot may be null and is then skipped.
//
// The fused right-hand side computes, bit for bit, what the table operations compute, with fewer
// trips through the body records. A kind that fills the run slots (all eight, or none) has its
// bodies cut into runs, consecutive in the visiting orders as the continuation slots allow, and
// each pass hands a whole run to one call. A kind that fills the two root slots has a body of it
// at the root take those instead, as a run of one. Null: the table operations, body by body.
struct JointType {
  JointOperation construct = nullptr;
  JointOperation joint_transform = nullptr;
  JointOperation parent_velocity = nullptr;
  JointOperation body_velocity = nullptr;
  JointOperation invert_joint_inertia = nullptr;
  JointOperation transmit_inertia = nullptr;
  JointOperation transmit_momentum_bias = nullptr;
  JointOperation joint_velocity = nullptr;
  JointOperation joint_momentum_rate = nullptr;
  JointOperation transmit_force = nullptr;
  JointOperation absolute_placement = nullptr;
  JointOperation composite_momentum = nullptr;
  JointOperation transmit_momentum = nullptr;
  JointOperation initial_joint_momentum = nullptr;
  // Runs: what may continue a run inward (passes 1 and 3) and outward (pass 2); the three passes;
  // the records brought up to date after the passes (update_body_records); the bodies' parameters
  // and weights taken into the compact data (set-up).
  RunContinuation continues_inward_run = nullptr;
  RunContinuation continues_outward_run = nullptr;
  RunOperation inertia_run = nullptr;
  RunOperation velocity_run = nullptr;
  RunOperation force_run = nullptr;
  RunRecordsOperation store_records = nullptr;
  RunOperation pack_parameters = nullptr;
  // The momentum passes p = M(q) qdot over a run (run_momentum_passes_by_runs): velocities outward,
  // momenta inward. They write p and what the run hands on at its ends, and no other record.
  RunOperation momentum_velocity_run = nullptr;
  RunOperation momentum_sum_run = nullptr;
  // At the root: pass 1 followed at once by pass 2 (the root ends the inward order and starts the
  // outward one), and pass 3.
  JointOperation root_inertia_and_velocity = nullptr;
  JointOperation root_force = nullptr;
  int32_t coordinate_count = 0;
  int32_t reserved = 0;
  // The joint record holds the joint point's offset in the parent (offset_x, offset_y).
  bool has_joint_offset = false;
};

// Joint record layout: sine and cosine of the joint angle, then (kinds with an offset) the
// position of this body's joint point in the parent's axes.
enum JointRecord { joint_sin = 0, joint_cos = 1, offset_x = 2, offset_y = 3 };

// One rigid body with its joint to the parent. Every body starts zero-filled; the passes leave
// their per-body results here. Body axes have their origin at the joint point.
//
// Fields are grouped by who reads them, so that on trees too large for the caches a pass streams
// only the lines it needs: the tree first, then placement and velocity (what callers read after an
// evaluation, one cache line), then the joint record and the body's parameters, then what the
// table operations accumulate inward and forces; set-up fields and the kind's own work record,
// which the fused right-hand side never touches, come last. The fused run kernels read copies of
// the parameters and keep what the passes hand each other in the system's compact arrays; of a
// fused body's record they write only the placement and velocity line, and that only where others
// read it (update_body_records does the rest). The right-hand side prefetches by these groups
// (body_prefetch.hpp): keep a field in the group of the passes that read it.
struct alignas(64) Body {
  // Tree, joint kind and coordinates: every pass.
  const JointType* type = nullptr;
  Body* parent = nullptr;
  Body* first_child = nullptr;
  Body* next_sibling = nullptr;
  double* q = nullptr;
  double* p = nullptr;
  double* qdot = nullptr;
  double* pdot = nullptr;

  // Velocity and placement: written outward (pass 2), read by pass 3 and the callers. One cache
  // line, the only one the fused run kernels write.
  Triple velocity{};  // body-frame velocity of the origin and angular rate
  double sin_abs = 0.0;
  double cos_abs = 0.0;
  Point position{};
  double angle = 0.0;

  // Joint record and parameters: set up once (the joint record's sin and cos by the table
  // operations), read by every pass.
  std::array<double, 4> joint{};  // joint record, see JointRecord
  Sym3 inertia{};                 // about the body origin, body axes: (m, 0, -m*cy, m, m*cx, J)
  Point com{};                    // centre of mass in body axes
  // How many force elements act on this body beyond the weights (set-up counts them): the
  // passes call the elements' hook only for a body that has some.
  int32_t own_forces = 0;
  std::array<double, 3> joint_damping{};  // one entry per joint coordinate
  std::array<double, 3> joint_stiffness{};
  std::array<double, 3> joint_rest{};

  // Articulated inertia and momentum bias: written inward (pass 1), read by passes 2 and 3.
  Sym3 articulated_inertia{};
  Triple momentum_bias{};
  Sym3 joint_inertia_inverse{};  // as many entries as the kind's coordinates need, up to 3x3
  Sym3 transmitted_inertia{};
  Triple transmitted_momentum_bias{};
  Sym3 reduced_inertia{};
  Triple parent_velocity{};  // pass 2

  // Forces and momentum rates: inward (pass 3).
  Triple applied_force{};  // world-axes force, moment about the body origin
  Triple body_force{};
  Triple total_force{};
  Triple transmitted_force{};
  Triple composite_momentum{};
  // The system whose coordinates the body holds: its force elements, and where a failure met on
  // this body is recorded. Read only for bodies with own forces and on failure, hence last.
  Mbs* system = nullptr;

  // Set-up only.
  Triple body_momentum{};
  Triple transmitted_momentum{};
  Body* last_child = nullptr;
  Body* prev_sibling = nullptr;

  // The kind's own work record: fields that only its operations read, laid out by the kind,
  // which checks that its record fits. No pass of the core touches it. The size keeps
  // the record at 19 cache lines.
  alignas(8) std::array<std::byte, 456> kind_storage{};
};

// The bodies of a tree, in storage that suits trees of any size (large_array.hpp). A tree's
// bodies must not move once attached: size the array once.
using BodyArray = LargeArray<Body>;

// What the fused run kernels write every evaluation, in the system's arrays by inward visiting
// order: pass 1 the articulated inertia, bias, joint inverse and joint sin and cos for passes 2
// and 3; pass 2 the placement and velocity, laid out as the body record's line that holds them.
struct RunPassState {
  Sym3 articulated_inertia;
  Triple momentum_bias;
  double joint_inertia_inverse;
  double joint_sin, joint_cos;
};

// The factors a solve with springs leaves for the next ones at the same coordinates and springs:
// the fused runs' pass states (by inward position, as many as run_state holds), and whether a
// solve has filled them.
struct KeptFactors {
  RunPassState* states = nullptr;
  bool filled = false;
};

struct alignas(64) RunMotion {
  Triple velocity;
  double sin_abs, cos_abs;
  Point position;
  double angle;
};

// A fused body's parameters as the run kernels read them: copies of its record's, taken when the
// passes are laid out and at every set-up, read-only in between. Split by the passes that read
// them, so that a pass streams only its own: the joint by every pass, the inertia by pass 1, the
// weight and spring-damper by pass 3.
struct RunJoint {
  double offset_x, offset_y;
  int32_t coordinate;  // the body's first coordinate in the system's arrays
  int32_t own_forces;  // force elements acting on it beyond the weights
};

struct RunForceParameters {
  double weight;  // the weights' y component in world axes, N (body_weight)
  Point com;
  double damping, stiffness, rest;
};

// What a pass sequence met: ok, or the first failure since the sequence began. After a failure
// the numbers the sequence left are meaningless and the caller stops.
enum class MbsStatus : int32_t {
  ok = 0,
  singular,            // a joint met a configuration it cannot move from (a singular one)
  out_of_memory,       // the coordinate arrays or the visiting orders could not be allocated
  unknown_joint_kind,  // init_body was given no joint kind
};

// The one-line description of a status, for the programs to print.
const char* mbs_status_message(MbsStatus status);

// The fixed world frame at rest at the origin: every field zero but the cosine of its angle.
inline Body world_at_rest() {
  Body world;
  world.cos_abs = 1.0;
  return world;
}

// Which routine the right-hand side hands a run to: the table operations body by body, the run
// slots of the run's kind, or the root slots of the root's kind (a run of one).
enum class PassKernel : int32_t { table = 0, fused_run = 1, fused_root = 2 };

// A run of consecutive bodies in a visiting order, [begin, end), that the right-hand side hands
// to one routine. `type`: the kind whose slots take a fused run; null for a table run, whose
// bodies may be of any kinds.
struct PassRun {
  int32_t begin;
  int32_t end;
  PassKernel kernel;
  const JointType* type;
};

// The system: the tree's root and the four coordinate arrays, each coordinate_count long and
// laid out in pre-order over the tree. The arrays live in `storage`, zero-filled at allocation.
// Bodies point into the system (their coordinates, the ground, `system`), so it never moves.
struct Mbs {
  Mbs() = default;
  Mbs(const Mbs&) = delete;
  Mbs& operator=(const Mbs&) = delete;
  Mbs(Mbs&&) = delete;
  Mbs& operator=(Mbs&&) = delete;

  Body* root = nullptr;
  int32_t coordinate_count = 0;
  MbsStatus status = MbsStatus::ok;
  double* q = nullptr;
  double* p = nullptr;
  double* qdot = nullptr;
  double* pdot = nullptr;
  LargeArray<double> storage;
  // Set only while run_velocity_passes_with_springs runs: added to each fused body's joint inertia,
  // to its own rotational inertia and (null: none) to its whole inertia, by inward position.
  const double* run_armature = nullptr;
  const double* run_turn_inertia = nullptr;
  const Sym3* run_added_inertia = nullptr;
  // Set only while such a solve runs with kept factors: the fused runs' pass states live there
  // instead of in run_state, and once filled their inertia is read, not taken again.
  KeptFactors* run_kept = nullptr;
  LargeArray<Sym3> record_inertia;  // the other bodies' own inertia meanwhile
  // Visiting orders of the whole tree, fixed once the coordinates are laid out.
  LargeArray<Body*> outward_order;  // parents before children
  LargeArray<Body*> inward_order;   // children (in list order) before parents
  // The visiting orders cut into runs (record_pass_runs): passes 1 and 3 follow inward_runs,
  // pass 2 outward_runs.
  std::vector<PassRun> inward_runs;
  std::vector<PassRun> outward_runs;
  // Compact data of the fused run kernels: by inward position the parameters (cold) and what the
  // passes hand each other (hot); by outward position the body's inward position.
  LargeArray<RunJoint> run_joint;
  LargeArray<Sym3> run_inertia;
  LargeArray<RunForceParameters> run_force_parameters;
  LargeArray<RunPassState> run_state;
  LargeArray<RunMotion> run_motion;
  LargeArray<int32_t> inward_position;
  // Outward positions of the fused bodies whose records pass 2 keeps current because other bodies
  // read them during the evaluation: bodies with own forces and those with a child outside their
  // run.
  // Capacity for every body, so that the set-up refills it without allocating.
  LargeArray<int32_t> kept_records;
  // What acts on the bodies besides their joints, in the order their forces are added (weights
  // first, then the others in this order). Registered before the set-up passes, which count them.
  std::vector<ForceElement> force_elements;
  // The fixed world: the root's parent once set_root has run.
  Body ground = world_at_rest();
};

// --- Assembly and coordinate layout (assembly.cpp) ---
// Gives the body its kind and the kind's defaults; it belongs to no tree and no system yet
// (parent and system null). The kinds come from whoever builds the tree; a null kind leaves the
// body untouched and returns unknown_joint_kind.
MbsStatus init_body(Body& body, const JointType* type);
void attach_body(Body& child, Body& parent);
// Makes `root` the system's root, hung from the system's ground.
void set_root(Mbs& mbs, Body& root);
int count_coordinates(const Body& body);
// Points every body of the subtree at its coordinates in the system's arrays and at the system.
int assign_coordinates(Mbs& mbs, Body& body, int start);
// Counts, allocates (zero-filled) and lays out the coordinates, and records the visiting orders.
// Returns ok or out_of_memory, also left in mbs.status.
MbsStatus init_coordinates(Mbs& mbs);

// --- Pass sequences (passes.cpp) ---
void setup_pass_a(Body& root);
void setup_pass_b(Body& root);
void rhs_pass_1(Body& root);
void rhs_pass_2(Body& root);
void rhs_pass_3(Body& root);
// The two run functions reset mbs.status to ok first and return it when they are done.
// Initial joint momenta p from the initial q and qdot. Also takes the bodies' parameters (inertia,
// centre of mass, offsets, joint spring-damper) and the force elements (the weights, which bodies
// have own forces) into the right-hand side's compact data: change them in the records or the
// elements, then run the set-up (or refresh_run_parameters) before the next right-hand side.
MbsStatus run_setup_passes(Mbs& mbs);
// The set-up's two passes alone (joint momenta p from q and qdot, the records' placement and
// velocity on the way), over the recorded visiting orders and prefetched on large trees; the
// compact data is left as it was. For callers that need M(q) qdot at many q; run_setup_passes
// runs them, then takes the parameters.
MbsStatus run_momentum_passes(Mbs& mbs);
// qdot and pdot from q and p; also every body's placement and velocity. Bodies taken by a fused
// kernel keep theirs in the system's RunMotion: their records get placement and velocity only
// from update_body_records (and, at the end of a run, what the run hands its parent). Their joint
// record's sin and cos, articulated inertia and the other intermediates stay in the system's
// RunPassState or nowhere. The table path below fills every field.
MbsStatus run_rhs_passes(Mbs& mbs);
// Joint rates v = M(q)^-1 p from passes 1 and 2 alone (the mass matrix M is never formed); v
// lands in qdot. O(n), the passes' own cost without the forces.
MbsStatus run_velocity_passes(Mbs& mbs);
// p = M(q) qdot as run_momentum_passes gives it, to the last bit, through the fused runs: only p
// is wanted, so the fused bodies' records are left as they were.
MbsStatus run_momentum_passes_by_runs(Mbs& mbs);
// Springs taken implicitly over a step of an implicit method weigh like extra inertia: the same
// solve with `armature` (by inward position: each joint's added inertia, bodies in fused runs
// only) and `turn_inertia` (by inward position: each body's added rotational inertia, every body)
// added for this solve alone; `added_inertia` (by inward position, every body; null: none) adds
// a whole symmetric inertia about the body's origin in the body's own axes (as Body::inertia; see
// inertia_to_body_axes for one given in world axes). The records are as they were afterwards.
// Solves that follow at the same coordinates and springs may pass the same `factors`: the
// first fills them, the later ones sum only the momenta's bias through the fused runs, with the
// same results to the last bit.
MbsStatus run_velocity_passes_with_springs(Mbs& mbs, const double* armature,
                                           const double* turn_inertia,
                                           const Sym3* added_inertia = nullptr,
                                           KeptFactors* factors = nullptr);
// Copies every fused body's placement and velocity from the last run_rhs_passes into its record,
// where drawing and measuring code reads them: once before reading, not once per evaluation (a pass over
// a large tree would otherwise touch every record twice).
void update_body_records(Mbs& mbs);
// The same through the joint-kind tables alone, body by body: the reference the fused kernels
// match bit for bit.
MbsStatus run_rhs_table_passes(Mbs& mbs);
// Cuts the visiting orders into the runs the right-hand side follows, by the run and root slots of
// the bodies' kinds, and lays out the compact pass data. Part of init_coordinates; call it again
// after changing the kind (type) of a laid-out body. Returns ok or out_of_memory.
MbsStatus record_pass_runs(Mbs& mbs);
// Counts the force elements on each body and copies the parameters of the bodies in fused runs
// into the compact pass data (part of run_setup_passes).
void refresh_run_parameters(Mbs& mbs);

// --- Failures (status.cpp) ---
// Records a failure met on `body` in its system, unless the system already holds an earlier one
// (or the body belongs to none). The operation that calls it carries on.
[[gnu::cold]] void record_failure(const Body& body, MbsStatus status);

// --- Common body computations (body_common.cpp) ---
void compute_body_momentum(Body& body);
void accumulate_momentum(Body& body);
void accumulate_inertia(Body& body);
void accumulate_force(Body& body);
// The y component of the weights on `body` (N): the sum of its system's weight elements.
double body_weight(const Mbs& mbs, const Body& body);
// The force elements' hook: the body's applied force (world axes, moment about its origin) from
// every element of its system, the weights first. A body outside any system gets none.
void apply_force_elements(Body& body);
// The elements beyond the weights, added to `applied`, in registration order.
void add_own_forces(const Body& body, Triple& applied);
Point point_to_world(const Body& body, const Point& point);
Triple rotate_to_world(const Body& body, const Triple& triple);
Triple rotate_to_body(const Body& body, const Triple& triple);
