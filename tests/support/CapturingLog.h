#pragma once
// A system log that keeps every entry, for tests that assert over log lines
// ("an error line names the outcome", "no line contains the token").
// Safe for concurrent use.
#include <mutex>
#include <string>
#include <vector>

#include "core/Log.h"

namespace kv::test {

struct CapturedLogEntry {
  LogLevel level;
  std::string subsystem;
  std::string category;
  std::string format;
  std::vector<LogArg> args;
  std::string message;          // as shown by default: private arguments as "<private>"
  std::string revealedMessage;  // with private arguments shown
};

class CapturingLog final : public SystemLog {
 public:
  void write(LogLevel level, std::string_view subsystem, std::string_view category, std::string_view format,
             const std::vector<LogArg>& args) override;

  std::vector<CapturedLogEntry> entries() const;
  // Entries of one category.
  std::vector<CapturedLogEntry> entries(std::string_view category) const;
  // The revealed messages, one per entry.
  std::vector<std::string> lines() const;
  // True when some entry's revealed message, format or argument contains `text`.
  bool contains(std::string_view text) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedLogEntry> entries_;  // guarded by mutex_
};

}  // namespace kv::test
