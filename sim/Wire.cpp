#include "sim/Wire.h"

#include <time.h>

#include <cerrno>

namespace quillet::sim {

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void WaitUntilNs(int64_t target, int64_t spinNs, const volatile std::sig_atomic_t* stop) {
  auto stopped = [stop] { return stop && *stop; };
  const int64_t wake = target - spinNs;
  if (wake > NowNs()) {
    timespec ts{static_cast<time_t>(wake / 1000000000), static_cast<long>(wake % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !stopped()) {
    }
  }
  while (NowNs() < target && !stopped()) {
  }
}

}  // namespace quillet::sim
