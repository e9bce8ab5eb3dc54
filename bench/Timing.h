// Timing helpers shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
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
// A kernel without a cpuidle driver (virtual machines often have none) ignores that request and
// halts an idle processor all the same; waking it then took 100 to 200 us here. There a spinning
// thread of the lowest class (SCHED_IDLE, which any other thread displaces at once) holds each
// processor awake instead.
inline void HoldWakeLatencyZero() {
  const int fd = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
  const int32_t zero = 0;
  const bool held = fd >= 0 && write(fd, &zero, sizeof zero) == static_cast<ssize_t>(sizeof zero);
  // The descriptor stays open when held: closing it would end the request.
  if (!held && fd >= 0) close(fd);
  std::string driver;
  std::ifstream("/sys/devices/system/cpu/cpuidle/current_driver") >> driver;
  if (held && !driver.empty() && driver != "none") {
    std::printf("processors held out of idle states (/dev/cpu_dma_latency = 0)\n");
    return;
  }
  const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < cpus; ++i) {
    std::thread([] {
      // At the ordinary class a spinner would take time from the threads measured.
      sched_param none{};
      if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &none) != 0) return;
      volatile unsigned spins = 0;
      for (;;) spins = spins + 1;
    }).detach();
  }
  std::printf("processors held out of idle states by %u idle-class spinning threads (cpuidle "
              "driver: %s%s)\n",
              cpus, driver.empty() ? "unknown" : driver.c_str(),
              held ? "; /dev/cpu_dma_latency = 0 has no effect without one"
                   : "; /dev/cpu_dma_latency not writable");
}

}  // namespace quillet::bench
