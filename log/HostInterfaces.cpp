#include "log/HostInterfaces.h"

#include <ctime>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <chrono>
#include <thread>

namespace quillet {
namespace {

class SystemClock : public Clock {
 public:
  SystemClock() {
#ifdef __linux__
    // The kernel's default 50 us timer slack would stretch every 1 ms wait between gateway
    // steps by 5 %; the waits are the program's only pacing, so ask for precise wake-ups.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  }
  void SleepMs(int ms) override {
    if (ms <= 0) return;
    // Absolute deadline: a 1 ms wait costs 1 ms, not 1 ms plus the scheduler's rounding.
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
    }
  }
  LocalTime Now() override {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {tm.tm_hour, tm.tm_min, tm.tm_sec};
  }
};

class NoProgress : public ProgressFactory {
 public:
  std::unique_ptr<ProgressDialog> Create() override { return nullptr; }
};

class NoPrompt : public UserPrompt {
 public:
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  void ShowMessage(const std::string&, const std::string&) override {}
  std::optional<FileChoice> OpenFile() override { return std::nullopt; }
  std::optional<FileChoice> SaveFile() override { return std::nullopt; }
};

SystemClock g_systemClock;
NoProgress g_noProgress;
NoPrompt g_noPrompt;
Clock* g_clock = &g_systemClock;
ProgressFactory* g_progress = &g_noProgress;
UserPrompt* g_prompt = &g_noPrompt;

}  // namespace

void SetClock(Clock* clock) { g_clock = clock ? clock : &g_systemClock; }
Clock& GetClock() { return *g_clock; }
void SetProgressFactory(ProgressFactory* f) { g_progress = f ? f : &g_noProgress; }
ProgressFactory& GetProgressFactory() { return *g_progress; }
void SetUserPrompt(UserPrompt* p) { g_prompt = p ? p : &g_noPrompt; }
UserPrompt& GetUserPrompt() { return *g_prompt; }

void Sleep(int ms) { g_clock->SleepMs(ms); }

ProgressScope::ProgressScope(const char* operation) : dialog_(GetProgressFactory().Create()) {
  if (dialog_ && operation) dialog_->SetOperation(operation);
}
ProgressScope::~ProgressScope() = default;
void ProgressScope::SetPosition(int percent) {
  if (dialog_) dialog_->SetPosition(percent);
}
void ProgressScope::SetBytes(unsigned long long done, unsigned long long total) {
  if (dialog_) dialog_->SetBytes(done, total);
}
void ProgressScope::AllowStop() {
  if (dialog_) dialog_->AllowStop();
}
void ProgressScope::Free() { dialog_.reset(); }

}  // namespace quillet
