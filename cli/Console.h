// quillet-cli's side of the core's seams: log lines to standard error at -v (and kept for -l),
// a progress bar per operation on a terminal, and answers instead of questions.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "log/Logfunctions.h"
#include "log/Seams.h"

namespace quillet::cli {

class Console : public LogSink, public ProgressFactory, public UserPrompt {
 public:
  // verbosity: -1 no bar, -2 errors only, 1 the log lines too. bar: draw progress bars
  // (standard error is a terminal).
  Console(int verbosity, bool bar);
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

  const std::vector<std::string>& Lines() const { return lines_; }
  // The last log line that tells why an exchange or a step failed, "" if none.
  const std::string& LastProblem() const { return lastProblem_; }
  // Saves the log lines: RTF, or plain text for a name ending in .txt. false with error set.
  bool SaveLog(const std::string& path, std::string& error) const;

  // Called by the bars.
  void Draw(int percent, bool force);
  void ClearBar();

 private:
  void Print(const std::string& line);

  int verbosity_;
  bool bar_;
  bool barShown_ = false;
  int lastPercent_ = 0;
  std::string label_;
  unsigned long long total_ = 0;
  std::chrono::steady_clock::time_point begun_;
  std::chrono::steady_clock::time_point lastDraw_;
  std::vector<std::string> lines_;
  std::string lastProblem_;
};

}  // namespace quillet::cli
