#pragma once
// The system log on journald.
//
// Each entry carries MESSAGE (the rendered message), PRIORITY (syslog level),
// SYSLOG_IDENTIFIER=Kelvane, KELVANE_SUBSYSTEM and KELVANE_CATEGORY, so that
// `journalctl SYSLOG_IDENTIFIER=Kelvane KELVANE_CATEGORY=identity` shows one
// channel. Private arguments show as "<private>" unless the environment
// variable KELVANE_LOG_PRIVATE is "1" when the log is made. Without a running
// journal, entries are dropped silently. Safe for concurrent use.
#include <string>
#include <vector>

#include "core/Log.h"

namespace kv {

inline constexpr std::string_view kJournalIdentifier = "Kelvane";
inline constexpr const char* kRevealPrivateLogEnv = "KELVANE_LOG_PRIVATE";

class JournalLog final : public SystemLog {
 public:
  // Reads KELVANE_LOG_PRIVATE once.
  JournalLog();
  explicit JournalLog(bool revealPrivate) : revealPrivate_(revealPrivate) {}

  bool revealsPrivate() const { return revealPrivate_; }

  void write(LogLevel level, std::string_view subsystem, std::string_view category, std::string_view format,
             const std::vector<LogArg>& args) override;

  // The journal fields of one entry ("KEY=value"), in the order they are sent.
  static std::vector<std::string> fields(LogLevel level, std::string_view subsystem, std::string_view category,
                                         std::string_view format, const std::vector<LogArg>& args,
                                         bool revealPrivate);
  // The syslog priority of a level (LOG_DEBUG … LOG_CRIT).
  static int priority(LogLevel level);

 private:
  bool revealPrivate_ = false;
};

}  // namespace kv
