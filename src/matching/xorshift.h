#pragma once
// The one random generator of matching, RANSAC and the dense tie choice. Every caller seeds it
// from the pair's photo indices, so results never depend on threads or scheduling.
#include <cstdint>

namespace tsl {

// One xorshift64 step (13, 7, 17) on `state`; returns the new state. A zero state stays zero,
// which no seed used here produces.
inline uint64_t xorshift64(uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

// A state as a value in [0, 1): its top 53 bits.
inline double unit_random(uint64_t state) { return static_cast<double>(state >> 11) * 0x1p-53; }

}  // namespace tsl
