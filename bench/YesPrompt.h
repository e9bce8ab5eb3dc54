// The user's side for benchmarks that run commands unattended: every question answered Yes,
// no file chosen.
#pragma once

#include <optional>
#include <string>

#include "log/HostInterfaces.h"

namespace quillet::bench {

class YesPrompt : public UserPrompt {
 public:
  bool AskYesNo(const std::string&, const std::string&) override { return true; }
  void ShowMessage(const std::string&, const std::string&) override {}
  std::optional<FileChoice> OpenFile() override { return std::nullopt; }
  std::optional<FileChoice> SaveFile() override { return std::nullopt; }
};

}  // namespace quillet::bench
