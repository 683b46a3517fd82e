#include "core/Log.h"

#include <charconv>

#include "core/Redaction.h"

namespace kv {

std::string_view logLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::notice: return "notice";
    case LogLevel::error: return "error";
    case LogLevel::fault: return "fault";
  }
  return "notice";
}

LogArg pub(std::string_view text) { return LogArg{std::string(text), false}; }

LogArg pub(const std::string& text) { return LogArg{text, false}; }

LogArg pub(const char* text) { return LogArg{text ? std::string(text) : std::string(), false}; }

LogArg pub(double value) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc()) return LogArg{"?", false};
  return LogArg{std::string(buffer, end), false};
}


LogArg priv(std::string_view text) { return LogArg{std::string(text), true}; }

std::string renderLogMessage(std::string_view format, const std::vector<LogArg>& args, bool revealPrivate) {
  constexpr std::string_view kPlaceholder = "{}";
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    if (next < args.size() && format.substr(i, kPlaceholder.size()) == kPlaceholder) {
      const LogArg& arg = args[next++];
      out += (arg.isPrivate && !revealPrivate) ? std::string_view("<private>") : std::string_view(arg.text);
      i += kPlaceholder.size();
    } else {
      out += format[i++];
    }
  }
  return out;
}

Logger::Logger(std::shared_ptr<SystemLog> sink, std::string subsystem, std::string category)
    : sink_(std::move(sink)), subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string_view format, std::vector<LogArg> args) const {
  if (!sink_) return;
  try {
    for (LogArg& arg : args) arg.text = redact(arg.text);
    sink_->write(level, subsystem_, category_, redact(format), args);
  } catch (...) {
    // A log line is never worth failing the caller for.
  }
}

Logger KVLog::make(std::shared_ptr<SystemLog> sink, std::string_view category) {
  return Logger(std::move(sink), std::string(kBundleIdentifier), std::string(category));
}

}  // namespace kv
