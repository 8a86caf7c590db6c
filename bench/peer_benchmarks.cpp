// The engine against established multibody libraries and the dense O(n^3) solve, on the same
// chain. Before any timing, every one of them must describe the same motion.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "chain_model.hpp"
#include "dense_chain.hpp"
#include "peer_checks.hpp"
#include "peers.hpp"

namespace {

// A moving state: every joint bent and turning, the base turned but at rest (the planar joints
// of the peers differ in the axes of their base velocities; the angles' do not).
struct Motion {
  std::vector<double> q, qdot;
};

Motion moving_state(int bodies) {
  const int d = bodies + 2;
  Motion m{std::vector<double>(d), std::vector<double>(d, 0.0)};
  m.q[0] = 0.3;
  m.q[1] = -0.1;
  m.q[2] = 0.4;
  for (int i = 3; i < d; ++i) {
    m.q[i] = 0.2 * std::sin(0.7 * i);
    m.qdot[i] = 0.5 * std::cos(1.3 * i);
  }
  return m;
}

double largest_magnitude(const std::vector<double>& v) {
  double largest = 0.0;
  for (double x : v) largest = std::fmax(largest, std::fabs(x));
  return largest;
}

// Largest difference relative to the largest reference value.
double relative_gap(const std::vector<double>& value, const std::vector<double>& reference) {
  if (value.size() != reference.size()) return INFINITY;
  double gap = 0.0;
  for (size_t i = 0; i < value.size(); ++i) gap = std::fmax(gap, std::fabs(value[i] - reference[i]));
  return gap / largest_magnitude(reference);
}

// The dense solve loses up to (machine epsilon / reciprocal condition of M) to round-off, which
// for 1000 bodies is far above the other solvers' errors: the tolerance follows that bound, kept
// between 1e-6 and 1e-3. A wrong term shows up at order 1, far above either.
struct Reference {
  std::vector<double> qddot;
  double base_com[2];
  double tolerance;
};

Reference dense_reference(const Motion& m, int bodies) {
  DenseChain dense;
  init_dense_chain(dense, bodies);
  Eigen::VectorXd qddot;
  dense_forward_dynamics(dense, m.q.data(), m.qdot.data(), qddot);
  Reference r;
  r.qddot.assign(qddot.data(), qddot.data() + qddot.size());
  const double rcond = dense.cholesky.rcond();
  r.tolerance = std::fmin(1e-3, std::fmax(1e-6, 2.2e-16 / rcond));
  std::printf("dense solve N=%-5d reciprocal condition %.2e, tolerance %.1e\n", bodies, rcond,
              r.tolerance);
  // Centre of mass of the base: a_o + alpha x c - w^2 c, with c the centre in world axes.
  const double cx = 0.5 * link_length * std::cos(m.q[2]), cy = 0.5 * link_length * std::sin(m.q[2]);
  const double alpha = r.qddot[2], w = m.qdot[2];
  r.base_com[0] = r.qddot[0] - alpha * cy - w * w * cx;
  r.base_com[1] = r.qddot[1] + alpha * cx - w * w * cy;
  return r;
}

bool report(const std::string& what, int bodies, double gap, double tolerance) {
  const bool ok = gap <= tolerance;
  std::printf("agreement %-28s N=%-5d relative gap %.2e %s\n", what.c_str(), bodies, gap,
              ok ? "ok" : "FAILED");
  return ok;
}

// The engine in Hamiltonian form: qdot must be M^-1 p for p = M qdot, and pdot must be
// d(M qdot)/dt = M qddot + (dM/dt) qdot, with dM/dt by central differences along qdot.
bool check_engine(const Motion& m, const Reference& r, int bodies) {
  const int d = bodies + 2;
  DenseChain dense;
  init_dense_chain(dense, bodies);
  dense_mass_matrix(dense, m.q.data());
  const Eigen::Map<const Eigen::VectorXd> qdot(m.qdot.data(), d);
  const Eigen::VectorXd p = dense.mass * qdot;
  const Eigen::VectorXd qddot = Eigen::Map<const Eigen::VectorXd>(r.qddot.data(), d);
  const double step = 1e-6 / largest_magnitude(m.qdot);
  std::vector<double> ahead(m.q), behind(m.q);
  for (int i = 0; i < d; ++i) {
    ahead[i] += step * m.qdot[i];
    behind[i] -= step * m.qdot[i];
  }
  dense_mass_matrix(dense, ahead.data());
  const Eigen::MatrixXd mass_ahead = dense.mass;
  dense_mass_matrix(dense, behind.data());
  const Eigen::MatrixXd mass_rate = (mass_ahead - dense.mass) / (2 * step);
  dense_mass_matrix(dense, m.q.data());
  const Eigen::VectorXd pdot = dense.mass * qddot + mass_rate * qdot;

  Chain chain;
  build_chain(chain, bodies);
  remove_springs_and_dampers(chain);
  for (int i = 0; i < d; ++i) {
    chain.mbs.q[i] = m.q[i];
    chain.mbs.p[i] = p[i];
  }
  run_rhs_passes(chain.mbs);
  const std::vector<double> our_qdot(chain.mbs.qdot, chain.mbs.qdot + d);
  const std::vector<double> our_pdot(chain.mbs.pdot, chain.mbs.pdot + d);
  const bool rates = report("engine qdot = M^-1 p", bodies, relative_gap(our_qdot, m.qdot), r.tolerance);
  const bool forces = report("engine pdot = d(M qdot)/dt", bodies,
                             relative_gap(our_pdot, std::vector<double>(pdot.data(), pdot.data() + d)),
                             r.tolerance);
  return rates && forces;
}

bool check_peer(const std::string& name, Peer& peer, const Motion& m, const Reference& r,
                int bodies) {
  peer.set_state(m.q.data(), m.qdot.data());
  const PeerAccelerations a = peer.accelerations();
  const std::vector<double> angular(r.qddot.begin() + 2, r.qddot.end());
  const bool angles = report(name + " angular", bodies, relative_gap(a.angular, angular), r.tolerance);
  const double reference_norm = std::hypot(r.base_com[0], r.base_com[1]);
  double gap;
  if (a.base_com_is_norm)
    gap = std::fabs(a.base_com[0] - reference_norm) / reference_norm;
  else
    gap = std::hypot(a.base_com[0] - r.base_com[0], a.base_com[1] - r.base_com[1]) / reference_norm;
  const bool base = report(name + " base centre of mass", bodies, gap, r.tolerance);
  return angles && base;
}

using PeerMaker = Peer (*)(int);
const std::map<std::string, PeerMaker> peer_makers = {
    {"bullet", make_bullet_peer}, {"simbody", make_simbody_peer}, {"dart", make_dart_peer}};

// Built once, shared by the agreement check and the benchmark.
std::map<std::pair<std::string, int>, Peer> built_peers;

Peer& peer_for(const std::string& name, int bodies) {
  const auto key = std::make_pair(name, bodies);
  auto found = built_peers.find(key);
  if (found != built_peers.end()) return found->second;
  const auto start = std::chrono::steady_clock::now();
  Peer peer = peer_makers.at(name)(bodies);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("built %-8s N=%-5d in %.2f s\n", name.c_str(), bodies, seconds);
  return built_peers.emplace(key, std::move(peer)).first->second;
}

void peer_benchmark(benchmark::State& state, const std::string& name) {
  const int bodies = static_cast<int>(state.range(0));
  Peer& peer = peer_for(name, bodies);
  const Motion m = moving_state(bodies);
  peer.set_state(m.q.data(), m.qdot.data());
  long long iteration = 0;
  for (auto _ : state) peer.perturb_and_solve(1e-9 * static_cast<double>(iteration++ & 1));
  state.counters["time_per_body"] = benchmark::Counter(
      bodies, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void peer_bullet(benchmark::State& state) { peer_benchmark(state, "bullet"); }
void peer_simbody(benchmark::State& state) { peer_benchmark(state, "simbody"); }
void peer_dart(benchmark::State& state) { peer_benchmark(state, "dart"); }
BENCHMARK(peer_bullet)->Arg(25)->Arg(1000);
BENCHMARK(peer_simbody)->Arg(25)->Arg(1000);
BENCHMARK(peer_dart)->Arg(25)->Arg(1000);

// Mass matrix and Cholesky solve from a changed state every iteration.
void dense(benchmark::State& state) {
  const int bodies = static_cast<int>(state.range(0));
  Motion m = moving_state(bodies);
  DenseChain chain;
  init_dense_chain(chain, bodies);
  Eigen::VectorXd qddot(bodies + 2);
  const double angle = m.q[2];
  long long iteration = 0;
  for (auto _ : state) {
    m.q[2] = angle + 1e-9 * static_cast<double>(iteration++ & 1);
    dense_forward_dynamics(chain, m.q.data(), m.qdot.data(), qddot);
    benchmark::DoNotOptimize(qddot.data());
  }
  state.counters["time_per_body"] = benchmark::Counter(
      bodies, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(dense)->Arg(25)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

bool check_agreement() {
  bool all = true;
  for (int bodies : {25, 1000}) {
    const Motion m = moving_state(bodies);
    const Reference r = dense_reference(m, bodies);
    all = check_engine(m, r, bodies) && all;
    for (const auto& [name, maker] : peer_makers)
      all = check_peer(name, peer_for(name, bodies), m, r, bodies) && all;
  }
  return all;
}
