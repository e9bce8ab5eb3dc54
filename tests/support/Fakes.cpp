#include "support/Fakes.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>
#include <unistd.h>

#include "chips/Catalogue.h"

namespace quillet::test {

const std::string& TempDir() {
  // Never destroyed: the exit handler still needs it after static destructors ran.
  static const std::string* const dir = [] {
    auto* d = new std::string(::testing::TempDir() + "p" + std::to_string(getpid()) + "/");
    std::filesystem::create_directories(*d);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(TempDir(), ignored);
    });
    return d;
  }();
  return *dir;
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    s += buf;
  }
  return s;
}

int Recorder::Open(const std::string& device) {
  trace.push_back("open " + device);
  if (openFails) return -1;
  return 7;
}

bool Recorder::GetSettings(int) { return !getSettingsFails; }
bool Recorder::SetSettings(int) { return !setSettingsFails; }
void Recorder::Purge(int) {}

bool Recorder::Write(int, const uint8_t* data, int count) {
  std::vector<uint8_t> packet(data, data + count);
  int index = writes++;
  if (index == failWriteIndex || (failWrite && failWrite(packet))) {
    trace.push_back("fail " + Hex(packet));
    return false;
  }
  trace.push_back(Hex(packet));
  if (count == 5 && data[0] == 0x44) lastInstruction = {data[4], data[3], data[2], data[1]};
  return true;
}

int Recorder::Read(int, uint8_t* data, int max, int, int) {
  trace.push_back("read");
  std::vector<uint8_t> a;
  if (!answers.empty()) {
    a = answers.front();
    answers.pop_front();
  } else if (silent) {
  } else if (responder) {
    a = responder(lastInstruction);
  } else {
    a.assign(8, 0);
  }
  int n = 0;
  for (; n < static_cast<int>(a.size()) && n < max; ++n) data[n] = a[n];
  return n;
}

void Recorder::Close(int) { trace.push_back("close"); }

void Recorder::SleepMs(int ms) {
  trace.push_back("sleep " + std::to_string(ms));
  sleptMs += ms;
}

std::vector<std::string> Recorder::Packets() const {
  std::vector<std::string> out;
  for (const std::string& t : trace)
    if (t.rfind("sleep", 0) != 0) out.push_back(t);
  return out;
}

std::vector<std::string> Recorder::Instructions() const {
  std::vector<std::string> out;
  for (const std::string& p : trace)
    if (p.size() == 14 && p.rfind("44 ", 0) == 0)
      out.push_back(p.substr(12, 2) + " " + p.substr(9, 2) + " " + p.substr(6, 2) + " " +
                    p.substr(3, 2));
  return out;
}

namespace {
class RecordedDialog : public ProgressDialog {
 public:
  RecordedDialog(ProgressRecorder* owner, size_t index) : owner_(owner), index_(index) {}
  ~RecordedDialog() override { owner_->dialogs[index_].freed = true; }
  void SetPosition(int percent) override { owner_->dialogs[index_].positions.push_back(percent); }

 private:
  ProgressRecorder* owner_;
  size_t index_;
};
}  // namespace

std::unique_ptr<ProgressDialog> ProgressRecorder::Create() {
  dialogs.emplace_back();
  return std::make_unique<RecordedDialog>(this, dialogs.size() - 1);
}

int ProgressRecorder::Alive() const {
  int n = 0;
  for (const Dialog& d : dialogs) n += d.freed ? 0 : 1;
  return n;
}

bool ScriptedPrompt::AskYesNo(const std::string& caption, const std::string& text) {
  asked.push_back(caption + "|" + text);
  if (yesNo.empty()) return false;
  bool a = yesNo.front();
  yesNo.pop_front();
  return a;
}

UserPrompt::Changes ScriptedPrompt::AskSaveChanges(const std::string& caption, const std::string& text) {
  asked.push_back(caption + "|" + text);
  if (changes.empty()) return Changes::Cancel;
  const Changes c = changes.front();
  changes.pop_front();
  return c;
}

void ScriptedPrompt::ShowMessage(const std::string& caption, const std::string& text) {
  messages.push_back(caption + "|" + text);
}

std::optional<FileChoice> ScriptedPrompt::OpenFile() {
  if (files.empty()) return std::nullopt;
  auto f = files.front();
  files.pop_front();
  return f;
}

std::optional<FileChoice> ScriptedPrompt::SaveFile() { return OpenFile(); }

void RecordingViews::ImageToView(int view, int image) {
  calls.push_back("i2v " + std::to_string(view) + " " + std::to_string(image));
}
void RecordingViews::ViewToImage(int view, int image) {
  calls.push_back("v2i " + std::to_string(view) + " " + std::to_string(image));
}

CoreFixture::CoreFixture() {
  SetSerialDriver(&port);
  SetClock(&port);
  SetLogSink(&log);
  SetProgressFactory(&progress);
  SetUserPrompt(&prompt);
  SetViewSink(&views);
  SetChipDisplay(nullptr);
  ResetSelectionState();
  PortHandle = -1;
}

CoreFixture::~CoreFixture() {
  PortHandle = -1;
  SetSerialDriver(nullptr);
  SetClock(nullptr);
  SetLogSink(nullptr);
  SetProgressFactory(nullptr);
  SetUserPrompt(nullptr);
  SetViewSink(nullptr);
  SetChipDisplay(nullptr);
  ResetSelectionState();
}

void CoreFixture::Connect() {
  OpenPort("/dev/fake");
  ClearRecords();
}

void CoreFixture::ClearRecords() {
  port.trace.clear();
  port.sleptMs = 0;
  log.lines.clear();
}

}  // namespace quillet::test
