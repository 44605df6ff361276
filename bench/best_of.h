// Timing helper shared by the C++ micro-benchmarks: the machine is shared,
// so each figure is the best of 7 rounds (the round least disturbed).
#pragma once

#include <chrono>

// Nanoseconds per call of op(i), i = 0 .. iterations - 1, best of 7 rounds.
template <typename F>
double best_ns_per_op(int iterations, F&& op) {
  double best = 1e30;
  for (int round = 0; round < 7; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) op(i);
    auto t1 = std::chrono::steady_clock::now();
    double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / iterations;
    if (ns < best) best = ns;
  }
  return best;
}
