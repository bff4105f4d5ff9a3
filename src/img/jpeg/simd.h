#pragma once
// Which road the JPEG codec's hot loops take: the vector road (the same loops compiled for AVX2
// and vectorised, chosen at run time on processors that have it) or the plain road (the same
// loops compiled for the baseline processor). Both give the same bytes, bit for bit: the loops
// use integer arithmetic, or float arithmetic whose per-lane order vectorisation keeps (no
// fused multiply-add on either road). platform/cpu.h chooses the road.
#include "platform/cpu.h"

namespace tsl {

// Whether the vector road is taken now.
inline bool jpeg_vector_path() { return platform::cpu_features().avx2; }

}  // namespace tsl

// Marks the vector-road copy of a hot function (x86 only; elsewhere both roads are plain).
#if defined(__x86_64__) || defined(__i386__)
#define TSL_JPEG_VECTOR_TARGET [[gnu::target("avx2")]]
#else
#define TSL_JPEG_VECTOR_TARGET
#endif
