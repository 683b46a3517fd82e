#include "platform/linux/core/JournalLog.h"

#include <sys/uio.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>

#include <systemd/sd-journal.h>

namespace kv {

JournalLog::JournalLog() {
  const char* value = std::getenv(kRevealPrivateLogEnv);
  revealPrivate_ = value != nullptr && std::strcmp(value, "1") == 0;
}

int JournalLog::priority(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return LOG_DEBUG;
    case LogLevel::info: return LOG_INFO;
    case LogLevel::notice: return LOG_NOTICE;
    case LogLevel::error: return LOG_ERR;
    case LogLevel::fault: return LOG_CRIT;
  }
  return LOG_NOTICE;
}

std::vector<std::string> JournalLog::fields(LogLevel level, std::string_view subsystem, std::string_view category,
                                            std::string_view format, const std::vector<LogArg>& args,
                                            bool revealPrivate) {
  std::vector<std::string> result;
  result.reserve(5);
  result.push_back("MESSAGE=" + renderLogMessage(format, args, revealPrivate));
  result.push_back("PRIORITY=" + std::to_string(priority(level)));
  result.push_back("SYSLOG_IDENTIFIER=" + std::string(kJournalIdentifier));
  result.push_back("KELVANE_SUBSYSTEM=" + std::string(subsystem));
  result.push_back("KELVANE_CATEGORY=" + std::string(category));
  return result;
}

void JournalLog::write(LogLevel level, std::string_view subsystem, std::string_view category,
                       std::string_view format, const std::vector<LogArg>& args) {
  try {
    auto entry = fields(level, subsystem, category, format, args, revealPrivate_);
    // sd_journal_sendv takes each field as bytes, so a message may hold any
    // character (new lines included) without printf-style interpretation.
    std::vector<iovec> vectors;
    vectors.reserve(entry.size());
    for (auto& field : entry) vectors.push_back(iovec{field.data(), field.size()});
    // The result is ignored on purpose: with no journal listening the entry is
    // lost, which must not disturb the caller.
    (void)sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
  } catch (...) {
  }
}

}  // namespace kv
