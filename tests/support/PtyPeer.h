// A pseudo-terminal pair whose master side plays the far end of the serial line: a thread
// reads what the program writes to the slave and answers as scripted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet::test {

class PtyPeer {
 public:
  // Given each byte the program writes, returns what the peer sends back (often nothing).
  // Runs on the peer's thread under its lock: it must not call the peer.
  using Script = std::function<std::vector<uint8_t>(uint8_t byte)>;

  PtyPeer();
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool Ok() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slavePath_; }
  // The peer's own descriptor of the slave, held so the pair outlives the program's closes.
  int SlaveFd() const { return slave_; }

  // Replaces the default script, which sends the next queued answer for every ReadBack (0x45).
  void SetScript(Script script);
  void QueueAnswer(std::vector<uint8_t> bytes);
  // Sends bytes from the peer's side now, in one write.
  bool Send(const std::vector<uint8_t>& bytes);
  // Everything the peer has received so far.
  std::vector<uint8_t> Received() const;
  void ClearReceived();
  // Waits until at least n bytes have been received; false on time-out.
  bool WaitReceived(size_t n, int timeoutMs) const;
  // Closes the master side ms milliseconds from now: the line hangs up under the program.
  void HangUpIn(int ms);

 private:
  void Run();
  std::vector<uint8_t> DefaultScript(uint8_t byte);

  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  mutable std::mutex mutex_;
  Script script_;
  std::deque<std::vector<uint8_t>> answers_;
  std::vector<uint8_t> received_;
  std::atomic<bool> stop_{false};
  std::atomic<long long> hangUpAt_{0};  // steady-clock ms; 0: never
  std::thread thread_;
};

}  // namespace quillet::test
