#include "tests/support/CapturingLog.h"

namespace kv::test {

void CapturingLog::write(LogLevel level, std::string_view subsystem, std::string_view category,
                         std::string_view format, const std::vector<LogArg>& args) {
  CapturedLogEntry entry{level,
                         std::string(subsystem),
                         std::string(category),
                         std::string(format),
                         args,
                         renderLogMessage(format, args, /*revealPrivate=*/false),
                         renderLogMessage(format, args, /*revealPrivate=*/true)};
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<CapturedLogEntry> CapturingLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<CapturedLogEntry> CapturingLog::entries(std::string_view category) const {
  std::lock_guard lock(mutex_);
  std::vector<CapturedLogEntry> result;
  for (const auto& e : entries_) {
    if (e.category == category) result.push_back(e);
  }
  return result;
}

std::vector<std::string> CapturingLog::lines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const auto& e : entries_) result.push_back(e.revealedMessage);
  return result;
}

bool CapturingLog::contains(std::string_view text) const {
  std::lock_guard lock(mutex_);
  for (const auto& e : entries_) {
    if (e.revealedMessage.find(text) != std::string::npos || e.format.find(text) != std::string::npos) return true;
    for (const auto& a : e.args) {
      if (a.text.find(text) != std::string::npos) return true;
    }
  }
  return false;
}

void CapturingLog::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace kv::test
