// Timing helpers shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace quillet::bench {

// The median wall time of runs calls of work, in milliseconds.
inline double MedianMs(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times.empty() ? 0.0 : times[times.size() / 2];
}

// Keeps the processors out of their idle states while the process lives (the kernel's PM QoS
// request, as latency benchmarks do): waking a halted virtual processor costs tens of
// microseconds, paid at every pseudo-terminal hand-off, and that is the machine's power saving,
// not the program's time. Needs root; without it the figures include the wake-ups.
inline void HoldWakeLatencyZero() {
  const int fd = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
  const int32_t zero = 0;
  if (fd >= 0 && write(fd, &zero, sizeof zero) == static_cast<ssize_t>(sizeof zero)) {
    std::printf("processors held out of idle states (/dev/cpu_dma_latency = 0)\n");
    return;  // the descriptor stays open: closing it would end the request
  }
  std::printf("note: /dev/cpu_dma_latency not writable (%s); idle wake-ups are in the figures\n",
              std::strerror(errno));
  if (fd >= 0) close(fd);
}

}  // namespace quillet::bench
