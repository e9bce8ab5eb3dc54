#include "cli/Console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/SafeFile.h"
#include "log/Rtf.h"

namespace quillet::cli {
namespace {

using SteadyClock = std::chrono::steady_clock;

class Bar : public ProgressDialog {
 public:
  explicit Bar(Console& console) : console_(console) { console_.Draw(0, true); }
  ~Bar() override { console_.ClearBar(); }
  void SetPosition(int percent) override { console_.Draw(percent, false); }

 private:
  Console& console_;
};

bool EndsWith(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
  return true;
}

// Control bytes shown as \xHH: a NUL would cut the line short, an escape sequence would
// act on the terminal instead of being read.
std::string Escaped(const std::string& line) {
  std::string out;
  for (const char ch : line) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out += ch;
      continue;
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
  }
  return out;
}

}  // namespace

Console::Console(int verbosity, Progress progress, int statusFd)
    : verbosity_(verbosity), progress_(progress), statusFd_(statusFd), bar_(verbosity >= 0),
      begun_(SteadyClock::now()) {}

Console::~Console() { ClearBar(); }

void Console::Print(const std::string& line) {
  const bool redraw = barShown_;
  ClearBar();
  std::fprintf(stderr, "%s\n", Escaped(line).c_str());
  if (redraw) Draw(-1, true);
}

void Console::AppendLine(const std::string& line) {
  lines_.push_back(line);
  // The lines that say why something failed; "Finished with fail." itself says nothing new.
  static const char* const kProblems[] = {"Error", "Wrong file", "No chip selected",
                                          "Command is not available", "Selected chip is  unknown",
                                          "The signature ", "The chip answers ", "The calibration ",
                                          "The fuse ", "The lock "};
  for (const char* p : kProblems)
    if (line.rfind(p, 0) == 0) lastProblem_ = line;
  if (verbosity_ >= 1 && !fileOnly_) Print(line);
}

void Console::Trace(const std::string& line) {
  lines_.push_back(line);
  if (verbosity_ >= 2 && !fileOnly_) Print(line);
}

void Console::ShowLastResult() {
  if (fileOnly_ && !lastResult_.empty() && verbosity_ >= -1) Print(lastResult_);
}

std::unique_ptr<ProgressDialog> Console::Create() {
  // A bar only inside an operation that moves enough bytes to watch: not for a fuse byte,
  // nor for the steps between operations.
  if (!bar_ || total_ < 64) return nullptr;
  lastLinePercent_ = 0;
  return std::make_unique<Bar>(*this);
}

void Console::ShowMessage(const std::string& caption, const std::string& text) {
  Error(caption + ": " + text);
}

void Console::Begin(const std::string& label, unsigned long long total) {
  label_ = label;
  total_ = total;
  begun_ = SteadyClock::now();
}

double Console::Elapsed() const {
  return std::chrono::duration<double>(SteadyClock::now() - begun_).count();
}

void Console::Result(const std::string& line) {
  total_ = 0;
  lines_.push_back(line);
  if (fileOnly_) lastResult_ = line;
  else if (verbosity_ >= -1) Print(line);
}

void Console::Error(const std::string& line) {
  total_ = 0;
  lines_.push_back(line);
  Print(line);
}

void Console::Output(const std::string& text) {
  ClearBar();
  lines_.push_back(text);
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
}

void Console::ProgressLine(int percent) {
  const auto now = SteadyClock::now();
  if (percent >= 100 || percent <= 0) return;  // the result line says the end
  if (progress_ == kStatus) {
    // The parent redraws its lines at its own pace: a percent only when it changes.
    if (percent == lastLinePercent_) return;
    lastLinePercent_ = percent;
    const std::string l = "progress " + label_ + " " + std::to_string(percent) + "\n";
    ssize_t ignored = ::write(statusFd_, l.data(), l.size());
    (void)ignored;
    return;
  }
  if (percent < lastLinePercent_ + 10 && now - lastDraw_ < std::chrono::seconds(5)) return;
  lastLinePercent_ = percent;
  lastDraw_ = now;
  const unsigned long long done = total_ * static_cast<unsigned>(percent) / 100;
  std::fprintf(stderr, "%s: %d%% (%llu of %llu bytes, %.1f s)\n", label_.c_str(), percent, done,
               total_, Elapsed());
  std::fflush(stderr);
}

void Console::Draw(int percent, bool force) {
  if (!bar_) return;
  if (percent < 0) percent = lastPercent_;
  percent = percent > 100 ? 100 : percent;
  lastPercent_ = percent;
  if (progress_ != kBar) {
    if (force && percent == 0) lastDraw_ = SteadyClock::now();
    if (percent >= 0) ProgressLine(percent);
    return;
  }
  const auto now = SteadyClock::now();
  // A redraw every 50 ms is smooth enough and keeps a slow terminal out of the timing.
  if (!force && now - lastDraw_ < std::chrono::milliseconds(50) && percent < 100) return;
  lastDraw_ = now;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), '.');
  const unsigned long long done = total_ * static_cast<unsigned>(percent) / 100;
  std::fprintf(stderr, "\r%-14s [%s] %3d%% %llu/%llu bytes %.1f s\033[K", label_.c_str(),
               bar.c_str(), percent, done, total_, Elapsed());
  std::fflush(stderr);
  barShown_ = true;
}

void Console::ClearBar() {
  if (!barShown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  barShown_ = false;
}

bool Console::SaveLog(const std::string& path, std::string& error) const {
  std::string text;
  if (EndsWith(path, ".rtf")) {
    text = LogToRtf(lines_);
  } else {
    for (const std::string& l : lines_) text += Escaped(l) + "\n";
  }
  // Saved as any file is: a full disk leaves the old log whole.
  SafeFile file;
  if (!file.Create(path) || !file.Write(text.data(), text.size()) || !file.Commit()) {
    error = "cannot save the log to " + path + ": " + file.Why();
    return false;
  }
  if (!file.Note().empty()) std::fprintf(stderr, "note: %s\n", file.Note().c_str());
  return true;
}

void TraceDriver::Tell(const char* direction, const uint8_t* data, int count) {
  if (!bytes_) {
    std::string line = std::string(direction) + (count ? "" : " nothing");
    char hex[4];
    for (int i = 0; i < count; ++i) {
      std::snprintf(hex, sizeof hex, " %02X", data[i]);
      line += hex;
    }
    console_.Trace(line);
    return;
  }
  const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start_).count();
  char line[64];
  if (count == 0) {
    std::snprintf(line, sizeof line, "%10.3f ms %s nothing", ms, direction);
    console_.Trace(line);
  }
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "%10.3f ms %s %02X", ms, direction, data[i]);
    console_.Trace(line);
  }
}

bool TraceDriver::Write(int handle, const uint8_t* data, int count) {
  Tell("sent", data, count);
  return inner_.Write(handle, data, count);
}

int TraceDriver::Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) {
  const int n = inner_.Read(handle, data, max, expected, timeoutMs);
  Tell("got ", data, n < 0 ? 0 : n);
  return n;
}

bool TraceDriver::SetBaud(int handle, uint32_t baud) {
  console_.Trace("line to " + std::to_string(baud) + " baud");
  return inner_.SetBaud(handle, baud);
}

}  // namespace quillet::cli
