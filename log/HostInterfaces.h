// The small seams through which the core meets the window, the system clock and the user.
// The window installs the real ones at start-up; unit tests install recording fakes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

struct LocalTime {
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Sleeping and the wall clock. Every wait between gateway steps goes through SleepMs, so a
// fake clock can record the exact waits of an exchange.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void SleepMs(int ms) = 0;
  virtual LocalTime Now() = 0;
};

// One progress dialog: created (and shown) by ProgressFactory::Create, freed by destruction.
class ProgressDialog {
 public:
  virtual ~ProgressDialog() = default;
  virtual void SetPosition(int percent) = 0;
  // The command can stop at its safe points: the dialog may offer the user a way to ask.
  virtual void AllowStop() {}
  // What runs, in the words of its button ("Read Program"); a dialog may make it its title.
  virtual void SetOperation(const std::string& name) { (void)name; }
  // done of total bytes: a dialog may show them, the rate and the time left; by default the
  // percentage only.
  virtual void SetBytes(unsigned long long done, unsigned long long total) {
    SetPosition(total == 0 ? 0 : static_cast<int>(done * 100ULL / total));
  }
};

class ProgressFactory {
 public:
  virtual ~ProgressFactory() = default;
  virtual std::unique_ptr<ProgressDialog> Create() = 0;
};

struct FileChoice {
  std::string path;
  int filterIndex = 1;  // 1 "*.hex", 2 "*.eep", 3 "*.bin" (saving; loading does not look at it)
};

// Questions and messages to the user.
class UserPrompt {
 public:
  virtual ~UserPrompt() = default;
  // Yes/No warning box with No as the default button; true only for Yes.
  virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
  virtual std::optional<FileChoice> OpenFile() = 0;
  virtual std::optional<FileChoice> SaveFile() = 0;
  // A name to save the log under (Rich Text Format): by default as SaveFile.
  virtual std::optional<FileChoice> SaveLogFile() { return SaveFile(); }
  // Unsaved changes as a window closes: Save, Discard or Cancel (the default, and the answer of
  // a prompt that cannot ask).
  enum class Changes { Save, Discard, Cancel };
  virtual Changes AskSaveChanges(const std::string& caption, const std::string& text) {
    (void)caption;
    (void)text;
    return Changes::Cancel;
  }
};

// Installing nullptr restores the built-in default (real clock; no progress; a prompt that
// answers No and cancels).
void SetClock(Clock* clock);
Clock& GetClock();
void SetProgressFactory(ProgressFactory* factory);
ProgressFactory& GetProgressFactory();
void SetUserPrompt(UserPrompt* prompt);
UserPrompt& GetUserPrompt();

// Sleep in milliseconds through the installed clock.
void Sleep(int ms);

// The progress dialog of one command, freed on every path when the scope ends.
class ProgressScope {
 public:
  // operation: what runs, for the dialog's title (nullptr: not said).
  explicit ProgressScope(const char* operation = nullptr);
  ~ProgressScope();
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;
  void SetPosition(int percent);
  // done of total bytes; the same position as SetPosition(done * 100 / total).
  void SetBytes(unsigned long long done, unsigned long long total);
  void AllowStop();
  // Frees the dialog early (a read frees its dialog before it refills the views).
  void Free();

 private:
  std::unique_ptr<ProgressDialog> dialog_;
};

// (n + 1) * 100 / size in unsigned arithmetic, multiplying first.
inline int ProgressPercent(unsigned long long n, unsigned long long size) {
  return size == 0 ? 0 : static_cast<int>((n + 1) * 100ULL / size);
}

}  // namespace quillet
