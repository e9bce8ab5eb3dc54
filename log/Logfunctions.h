// The operation log: fixed line prefixes by kind, the start and end time lines.
#pragma once

#include <string>
#include <vector>

namespace quillet {

using LogKind = unsigned;

// Prefix of a log kind, or nullptr for a kind above 20, which adds no line. Kind 9 is
// reserved: no caller uses it, and it has the empty prefix.
const char* LogPrefix(LogKind kind);

// Where the log lines go: the log pane in the window, a vector in tests.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void AppendLine(const std::string& line) = 0;  // UTF-8
};

void SetLogSink(LogSink* sink);
LogSink* GetLogSink();

// Appends the kind's prefix followed directly by text. Kinds above 20 add nothing.
void AddLog(LogKind kind, const std::string& text);
// "Start time: H:M:S" / "End time: H:M:S", no leading zeros, from the installed clock.
void LogStartTime();
void LogEndTime();
std::string TimeLine(const char* prefix, int hour, int minute, int second);

}  // namespace quillet
