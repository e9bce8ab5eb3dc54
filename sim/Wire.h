// Monotonic time and precise waits for pacing a simulated serial line.
#pragma once

#include <csignal>
#include <cstdint>

namespace quillet::sim {

int64_t NowNs();  // CLOCK_MONOTONIC

// Waits until target: sleeps until spinNs before it, then spins. A timer's wake-up comes tens
// of microseconds late, which a paced line would otherwise add to every byte. Returns early
// once *stop is set.
void WaitUntilNs(int64_t target, int64_t spinNs, const volatile std::sig_atomic_t* stop = nullptr);

}  // namespace quillet::sim
