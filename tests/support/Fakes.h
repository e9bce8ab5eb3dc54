// Test doubles for the core's seams. One Recorder plays the serial driver and the clock, so
// packets and waits land in one trace, in order.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "image/Views.h"
#include "link/Port.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

namespace quillet::test {

// This test process's own folder for its files (states, links, traces), ending in '/'. The
// tests of one file run at once as separate processes; with one shared folder they would
// overwrite each other's simulator states. Removed when the process ends.
const std::string& TempDir();

// n bytes from a seeded generator: the same data for the same seed, run after run.
std::vector<uint8_t> RandomBytes(size_t n, unsigned seed);

// Trace entries: "44 00 00 53 AC" (a packet written, hex), "sleep 20", "read" (an answer
// taken), "open /dev/x", "close".
class Recorder : public SerialDriver, public Clock {
 public:
  // ---- SerialDriver ----
  int Open(const std::string& device) override;
  bool GetSettings(int handle) override;
  bool SetSettings(int handle) override;
  void Purge(int handle) override;
  bool Write(int handle, const uint8_t* data, int count) override;
  int Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) override;
  void Close(int handle) override;
  int LastError() const override { return openErrno; }
  // ---- Clock ----
  void SleepMs(int ms) override;
  LocalTime Now() override { return now; }

  // What the gateway answers to a ReadBack: first the queued answers, then the responder
  // (given the last instruction loaded, I1 I2 I3 I4 in bus order), else 8 zero bytes.
  std::deque<std::vector<uint8_t>> answers;
  std::function<std::vector<uint8_t>(const std::vector<uint8_t>& instruction)> responder;
  // Once the queued answers are used up nothing more comes: a gateway gone silent, which the
  // wait for a board's start-up asks again and again.
  bool silent = false;

  // Failures: Open returns -1 with this errno; settings calls fail; the write whose
  // 0-based index among all writes is failWriteIndex fails, or any write for which
  // failWrite returns true.
  std::optional<int> openFails;
  int openErrno = 0;
  bool getSettingsFails = false;
  bool setSettingsFails = false;
  int failWriteIndex = -1;
  std::function<bool(const std::vector<uint8_t>& packet)> failWrite;

  LocalTime now{12, 0, 0};
  std::vector<std::string> trace;
  int writes = 0;
  long long sleptMs = 0;
  std::vector<uint8_t> lastInstruction;  // bus order

  std::vector<std::string> Packets() const;  // the trace without sleeps
  // The instructions loaded, in bus order I1 I2 I3 I4 ("28 00 91 00"), in order.
  std::vector<std::string> Instructions() const;
};

// Installs a Recorder as driver and clock, a LogLines sink, a progress recorder, scripted
// prompts and recording views; resets the selection state and closes the port. Removes all
// of it on destruction.
class LogLines : public LogSink {
 public:
  void AppendLine(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

class ProgressRecorder : public ProgressFactory {
 public:
  std::unique_ptr<ProgressDialog> Create() override;
  // One entry per dialog: the positions it was set to, and whether it was freed.
  struct Dialog {
    std::vector<int> positions;
    bool freed = false;
  };
  std::vector<Dialog> dialogs;
  int Alive() const;
};

class ScriptedPrompt : public UserPrompt {
 public:
  bool AskYesNo(const std::string& caption, const std::string& text) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  std::optional<FileChoice> OpenFile() override;
  std::optional<FileChoice> SaveFile() override;
  Changes AskSaveChanges(const std::string& caption, const std::string& text) override;
  std::deque<bool> yesNo;  // empty: No
  std::deque<Changes> changes;  // empty: Cancel
  std::deque<std::optional<FileChoice>> files;
  std::vector<std::string> asked;     // "caption|text"
  std::vector<std::string> messages;  // "caption|text"
};

class RecordingViews : public ViewSink {
 public:
  int ActivePageIndex() override { return page; }
  void BlankView(int view) override { calls.push_back("blank " + std::to_string(view)); }
  void ImageToView(int view, int image) override;
  void ViewToImage(int view, int image) override;
  int page = 0;
  std::vector<std::string> calls;  // "blank 1", "i2v 1 1", "v2i 3 2"
};

class CoreFixture {
 public:
  CoreFixture();
  ~CoreFixture();
  // Opens the fake port the way Connect does, and forgets the set-up packets.
  void Connect();
  // Clears the trace and the log.
  void ClearRecords();

  Recorder port;
  LogLines log;
  ProgressRecorder progress;
  ScriptedPrompt prompt;
  RecordingViews views;
};

std::string Hex(const std::vector<uint8_t>& bytes);

}  // namespace quillet::test
