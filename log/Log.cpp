#include "log/Log.h"

#include "log/HostInterfaces.h"

namespace quillet {
namespace {

constexpr const char* kPrefixes[] = {
    "",                                        // 0 free text
    "The COM-port is open: ",                  // 1
    "Error. The COM-port is not available",    // 2
    "The COM-port is closed",                  // 3
    "Error getting the COM-port parameters",   // 4
    "Error setting the COM-port parameters",   // 5
    "Error executing commands: ",              // 6
    "Error reading the answer",                // 7
    "Log saved to file: ",                     // 8
    "",                                        // 9 reserved
    "Loading program from file: ",             // 10
    "Loading data from file: ",                // 11
    "Operation complete",                      // 12
    "Wrong file",                              // 13
    "No chip selected",                        // 14
    "Selected chip is ",                       // 15
    "Saving program to file: ",                // 16
    "Saving data to file: ",                   // 17
    "Trying to",                               // 18
    "       Finished",                         // 19
    "Command is not available for this chip",  // 20
};

LogSink* g_sink = nullptr;

void Append(const std::string& line) {
  if (g_sink) g_sink->AppendLine(line);
}

}  // namespace

const char* LogPrefix(LogKind kind) {
  const auto k = static_cast<size_t>(kind);
  return k < std::size(kPrefixes) ? kPrefixes[k] : nullptr;
}

void SetLogSink(LogSink* sink) { g_sink = sink; }
LogSink* GetLogSink() { return g_sink; }

void AddLog(LogKind kind, const std::string& text) {
  const char* prefix = LogPrefix(kind);
  if (!prefix) return;
  Append(std::string(prefix) + text);
}

std::string TimeLine(const char* prefix, int hour, int minute, int second) {
  return std::string(prefix) + std::to_string(hour) + ":" + std::to_string(minute) + ":" + std::to_string(second);
}

void LogStartTime() {
  LocalTime t = GetClock().Now();
  Append(TimeLine("Start time: ", t.hour, t.minute, t.second));
}

void LogEndTime() {
  LocalTime t = GetClock().Now();
  Append(TimeLine("End time: ", t.hour, t.minute, t.second));
}

}  // namespace quillet
