// Prefetching a body record ahead of the pass that reads it, for trees too large for the caches.
#pragma once

#include <cstddef>

#include "mbs/mbs.hpp"

// Large trees do not fit in the caches. A few bodies ahead of the one in work, fetch the parts of
// the record that the pass reads (the record groups its fields by pass), with write intent since
// the pass writes most of them. Straight-line prefetches, one per cache line: a compiler may drop
// a loop, or a call, that does nothing but prefetch, so everything here is forced inline.
// Every line that holds a byte of [begin, end): a range that starts inside a line starts with it.
template <std::size_t begin, std::size_t end>
[[gnu::always_inline]] static inline void prefetch_bytes(const char* bytes) {
  constexpr std::size_t line = 64;
  if constexpr (begin % line != 0) {
    prefetch_bytes<begin - begin % line, end>(bytes);
  } else if constexpr (begin < end) {
    __builtin_prefetch(bytes + begin, 1);
    prefetch_bytes<begin + line, end>(bytes);
  }
}

[[gnu::always_inline]] static inline const char* bytes_of(const Body* body) {
  return reinterpret_cast<const char*>(body);
}

// The table operations read the tree, the parameters, placement and velocity, and their own
// pass's group.
[[gnu::always_inline]] static inline void prefetch_for_pass_1(const Body* body) {
  prefetch_bytes<0, offsetof(Body, parent_velocity)>(bytes_of(body));
}

[[gnu::always_inline]] static inline void prefetch_for_pass_2(const Body* body) {
  // Only kinds of more than one coordinate read more of the joint inertia inverse than its first
  // entry.
  prefetch_bytes<0, offsetof(Body, joint_inertia_inverse) + sizeof(double)>(bytes_of(body));
  prefetch_bytes<offsetof(Body, parent_velocity), offsetof(Body, applied_force)>(bytes_of(body));
}

// The force group ends with the system pointer, which the force elements' hook reads.
static_assert(offsetof(Body, system) >= offsetof(Body, applied_force) &&
                  offsetof(Body, system) + sizeof(Mbs*) <= offsetof(Body, body_momentum),
              "the system pointer belongs to the lines that pass 3 prefetches");

[[gnu::always_inline]] static inline void prefetch_for_pass_3(const Body* body) {
  prefetch_bytes<0, offsetof(Body, joint_inertia_inverse)>(bytes_of(body));
  prefetch_bytes<offsetof(Body, applied_force), offsetof(Body, body_momentum)>(bytes_of(body));
}

// The set-up's outward pass reads the tree, parameters and joint record and writes the placement,
// velocity and parent velocity; its inward pass reads the inertia and velocity and writes the
// momenta (the children's, just written, are in the caches already).
[[gnu::always_inline]] static inline void prefetch_for_setup_a(const Body* body) {
  prefetch_bytes<0, offsetof(Body, own_forces)>(bytes_of(body));
  prefetch_bytes<offsetof(Body, parent_velocity), offsetof(Body, applied_force)>(bytes_of(body));
}

[[gnu::always_inline]] static inline void prefetch_for_setup_b(const Body* body) {
  prefetch_bytes<0, offsetof(Body, com)>(bytes_of(body));
  prefetch_bytes<offsetof(Body, composite_momentum), offsetof(Body, last_child)>(bytes_of(body));
}

// The kind's own record is read by its operations alone: no pass prefetches it.
static_assert(offsetof(Body, kind_storage) >= offsetof(Body, body_momentum),
              "the kind's own record lies past the lines the passes prefetch");

// The fused run kernels touch a record only in pass 2, to write placement and velocity back:
// one cache line, laid out as RunMotion. The line starts where the record's fields before it end,
// which is a line boundary with 8-byte pointers; with 4-byte ones (wasm32) it is not, and the
// record is written back field by field there.
static_assert(sizeof(void*) != 8 || offsetof(Body, velocity) % 64 == 0,
              "placement and velocity start a cache line");
static_assert(sizeof(RunMotion) == 64 &&
                  offsetof(Body, sin_abs) - offsetof(Body, velocity) == offsetof(RunMotion, sin_abs) &&
                  offsetof(Body, cos_abs) - offsetof(Body, velocity) == offsetof(RunMotion, cos_abs) &&
                  offsetof(Body, position) - offsetof(Body, velocity) == offsetof(RunMotion, position) &&
                  offsetof(Body, angle) - offsetof(Body, velocity) == offsetof(RunMotion, angle),
              "placement and velocity fill one cache line, laid out as RunMotion");

// Small trees stay in the caches, where prefetching would only cost instructions.
constexpr std::size_t prefetch_from_bodies = 2048;
constexpr std::size_t prefetch_distance = 8;  // bodies ahead: roughly one memory latency of work
