// quillet-cli's side of the core's seams: log lines to standard error at -v (and kept for -l),
// progress per operation (a bar on a terminal, plain lines otherwise, percents to a gang's
// parent), and answers instead of questions.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "link/Port.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

namespace quillet::cli {

class Console : public LogSink, public ProgressFactory, public UserPrompt {
 public:
  enum Progress {
    kBar,     // standard error is a terminal: one bar, redrawn
    kLines,   // a pipe or a file: a plain line every 10 % or 5 seconds
    kStatus,  // a gang's child: "progress LABEL PERCENT" lines on statusFd for its parent
  };
  // verbosity: -1 no progress, -2 errors only, 1 the log lines too.
  Console(int verbosity, Progress progress, int statusFd = -1);
  ~Console() override;
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // ---- LogSink ----
  void AppendLine(const std::string& line) override;
  // ---- ProgressFactory: a bar for the operation begun last ----
  std::unique_ptr<ProgressDialog> Create() override;
  // ---- UserPrompt: the options have answered every question already ----
  bool AskYesNo(const std::string&, const std::string&) override { return true; }
  void ShowMessage(const std::string& caption, const std::string& text) override;
  std::optional<FileChoice> OpenFile() override { return std::nullopt; }
  std::optional<FileChoice> SaveFile() override { return std::nullopt; }

  // The operation the next bars stand for: its label and the bytes it moves.
  void Begin(const std::string& label, unsigned long long total);
  double Elapsed() const;  // seconds since Begin

  // One line per operation (not at -qq); errors always.
  void Result(const std::string& line);
  void Error(const std::string& line);
  // What the user asked to see (the terminal's dumps): standard output, kept for -l.
  void Output(const std::string& text);

  // -l FILE: the log lines, notes, warnings, results and progress go to the file only; the
  // terminal keeps the errors, and the last result once the run is over (ShowLastResult).
  void SetLogToFileOnly(bool on) {
    fileOnly_ = on;
    bar_ = bar_ && (!on || progress_ == kStatus);
  }
  void ShowLastResult();
  // -vv and -vvv: a line of the exchanges with the gateway, shown at verbosity 2 and kept for -l.
  void Trace(const std::string& line);
  int Verbosity() const { return verbosity_; }

  const std::vector<std::string>& Lines() const { return lines_; }
  // The last log line that tells why an exchange or a step failed, "" if none.
  const std::string& LastProblem() const { return lastProblem_; }
  // Saves the log lines and every result, note and error line among them: plain text, or RTF
  // for a name ending in .rtf. false with error set.
  bool SaveLog(const std::string& path, std::string& error) const;

  // Called by the bars.
  void Draw(int percent, bool force);
  void ClearBar();

 private:
  void Print(const std::string& line);

  void ProgressLine(int percent);

  int verbosity_;
  Progress progress_;
  int statusFd_;
  bool bar_;
  int lastLinePercent_ = 0;
  bool barShown_ = false;
  int lastPercent_ = 0;
  std::string label_;
  unsigned long long total_ = 0;
  std::chrono::steady_clock::time_point begun_;
  std::chrono::steady_clock::time_point lastDraw_;
  std::vector<std::string> lines_;
  std::string lastProblem_;
  bool fileOnly_ = false;
  std::string lastResult_;
};

// -vv and -vvv: the port's driver with every exchange (-vv: one line a packet sent and an
// answer read; -vvv: one line a byte, with its time) told to the console.
class TraceDriver : public SerialDriver {
 public:
  TraceDriver(SerialDriver& inner, Console& console, bool bytes)
      : inner_(inner), console_(console), bytes_(bytes), start_(std::chrono::steady_clock::now()) {}
  int Open(const std::string& device) override { return inner_.Open(device); }
  bool GetSettings(int handle) override { return inner_.GetSettings(handle); }
  bool SetSettings(int handle) override { return inner_.SetSettings(handle); }
  void Purge(int handle) override { inner_.Purge(handle); }
  bool Write(int handle, const uint8_t* data, int count) override;
  int Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) override;
  void Close(int handle) override { inner_.Close(handle); }
  bool SetBaud(int handle, uint32_t baud) override;
  int LastError() const override { return inner_.LastError(); }

 private:
  void Tell(const char* direction, const uint8_t* data, int count);
  SerialDriver& inner_;
  Console& console_;
  bool bytes_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace quillet::cli
