#include "support/PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace quillet::test {
namespace {

long long SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void MakeRaw(int fd) {
  termios t;
  if (::tcgetattr(fd, &t) != 0) return;
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) return false;
      continue;
    }
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

PtyPeer::PtyPeer() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    master_ = slave_ = -1;
    return;
  }
  slavePath_ = name;
  MakeRaw(slave_);
  MakeRaw(master_);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  script_ = [this](uint8_t b) { return DefaultScript(b); };
  thread_ = std::thread([this] { Run(); });
}

PtyPeer::~PtyPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

void PtyPeer::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

void PtyPeer::QueueAnswer(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.push_back(std::move(bytes));
}

std::vector<uint8_t> PtyPeer::DefaultScript(uint8_t byte) {
  // Called with mutex_ held.
  if (byte != 0x45 || answers_.empty()) return {};
  std::vector<uint8_t> a = std::move(answers_.front());
  answers_.pop_front();
  return a;
}

bool PtyPeer::Send(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  return master_ >= 0 && WriteAll(master_, bytes.data(), bytes.size());
}

std::vector<uint8_t> PtyPeer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void PtyPeer::ClearReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
}

bool PtyPeer::WaitReceived(size_t n, int timeoutMs) const {
  const long long end = SteadyMs() + timeoutMs;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (received_.size() >= n) return true;
    }
    if (SteadyMs() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void PtyPeer::HangUpIn(int ms) { hangUpAt_ = SteadyMs() + ms; }

void PtyPeer::Run() {
  uint8_t buf[512];
  while (!stop_) {
    const long long hangUp = hangUpAt_;
    if (hangUp != 0 && SteadyMs() >= hangUp) {
      std::lock_guard<std::mutex> lock(mutex_);
      ::close(master_);
      master_ = -1;
      return;
    }
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out;
    for (ssize_t i = 0; i < n; ++i) {
      received_.push_back(buf[i]);
      std::vector<uint8_t> a = script_(buf[i]);
      out.insert(out.end(), a.begin(), a.end());
    }
    if (!out.empty()) WriteAll(master_, out.data(), out.size());
  }
}

}  // namespace quillet::test
