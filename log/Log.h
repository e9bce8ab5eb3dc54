// The operation log: fixed line prefixes by kind, the start and end time lines.
#pragma once

#include <string>
#include <vector>

namespace quillet {

// The kinds of log line, each with its fixed prefix (LogPrefix). Their numbers are those of the
// prefix table; Reserved is unused and has the empty prefix.
enum class LogKind : unsigned {
  Text,                // free text, no prefix
  PortOpen,            // "The COM-port is open: "
  PortUnavailable,     // "Error. The COM-port is not available"
  PortClosed,          // "The COM-port is closed"
  PortSettingsUnread,  // "Error getting the COM-port parameters"
  PortSettingsUnset,   // "Error setting the COM-port parameters"
  CommandError,        // "Error executing commands: "
  AnswerError,         // "Error reading the answer"
  LogSaved,            // "Log saved to file: "
  Reserved,
  LoadingProgram,     // "Loading program from file: "
  LoadingData,        // "Loading data from file: "
  OperationComplete,  // "Operation complete"
  WrongFile,          // "Wrong file"
  NoChipSelected,     // "No chip selected"
  SelectedChip,       // "Selected chip is "
  SavingProgram,      // "Saving program to file: "
  SavingData,         // "Saving data to file: "
  Trying,             // "Trying to"
  Finished,           // "       Finished"
  NotAvailable,       // "Command is not available for this chip"
};

// Prefix of a log kind, or nullptr for a value beyond the last kind, which adds no line.
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
