#pragma once
// The system log and its named channels.
//
// A log message is a fixed format text whose "{}" placeholders are filled, in
// order, with arguments that are each public or private. Private arguments
// (anything naming a file or describing an error) are shown as "<private>"
// unless the user's system reveals private data. Error descriptions are passed
// as private; counts, row identifiers, outcome names and reasons as public.
//
// Every channel (`Logger`) runs each argument through `redact` before it
// reaches the system log, so no credential is written even when private data
// is revealed. Logging never throws into the caller.
#include <concepts>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/Bundle.h"

namespace kv {

// `notice` is the default level (run summaries); `error` is for failures.
enum class LogLevel { debug, info, notice, error, fault };

std::string_view logLevelName(LogLevel level);

struct LogArg {
  std::string text;
  bool isPrivate = false;

  bool operator==(const LogArg&) const = default;
};

LogArg pub(std::string_view text);
LogArg pub(const std::string& text);
LogArg pub(const char* text);  // without it, a string literal would pick the bool overload
LogArg pub(double value);  // shortest round-trip form, e.g. "2.5"
template <class T>
  requires std::integral<T> && (!std::same_as<T, bool>) && (!std::same_as<T, char>)
LogArg pub(T value) {
  return LogArg{std::to_string(value), false};
}
// "true" / "false"; a template so that no pointer converts to it.
template <std::same_as<bool> T>
LogArg pub(T value) {
  return LogArg{value ? "true" : "false", false};
}
LogArg priv(std::string_view text);

// The message with every "{}" replaced by the next argument; private ones as
// "<private>" unless `revealPrivate`. Placeholders without an argument stay
// "{}"; arguments without a placeholder are dropped.
std::string renderLogMessage(std::string_view format, const std::vector<LogArg>& args, bool revealPrivate);

// The platform's system log. Implementations are safe for concurrent use and
// never throw from `write`.
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  virtual void write(LogLevel level, std::string_view subsystem, std::string_view category,
                     std::string_view format, const std::vector<LogArg>& args) = 0;
};

// Arguments are made with pub() or priv(): a bare string is not accepted, so
// that every argument states whether it may be shown.
template <class T>
concept LogArgument = std::same_as<std::remove_cvref_t<T>, LogArg>;

// A handle on one channel of the system log. Copyable and safe for concurrent
// use (as safe as its sink); a Logger without a sink drops everything.
class Logger {
 public:
  Logger() = default;
  Logger(std::shared_ptr<SystemLog> sink, std::string subsystem, std::string category);

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  template <LogArgument... A>
  void debug(std::string_view format, A&&... args) const {
    log(LogLevel::debug, format, {LogArg(std::forward<A>(args))...});
  }
  template <LogArgument... A>
  void info(std::string_view format, A&&... args) const {
    log(LogLevel::info, format, {LogArg(std::forward<A>(args))...});
  }
  template <LogArgument... A>
  void notice(std::string_view format, A&&... args) const {
    log(LogLevel::notice, format, {LogArg(std::forward<A>(args))...});
  }
  template <LogArgument... A>
  void error(std::string_view format, A&&... args) const {
    log(LogLevel::error, format, {LogArg(std::forward<A>(args))...});
  }
  template <LogArgument... A>
  void fault(std::string_view format, A&&... args) const {
    log(LogLevel::fault, format, {LogArg(std::forward<A>(args))...});
  }

  void log(LogLevel level, std::string_view format, std::vector<LogArg> args) const;

 private:
  std::shared_ptr<SystemLog> sink_;
  std::string subsystem_;
  std::string category_;
};

// The named channels; the subsystem is always kBundleIdentifier.
struct KVLog {
  static constexpr std::string_view notifications = "notifications";
  static constexpr std::string_view model = "model";
  static constexpr std::string_view power = "power";
  static constexpr std::string_view photokit = "photokit";
  static constexpr std::string_view photosMetadata = "photos-metadata";
  static constexpr std::string_view app = "app";
  static constexpr std::string_view archive = "ZovarIviduva";
  static constexpr std::string_view identity = "identity";

  static Logger make(std::shared_ptr<SystemLog> sink, std::string_view category);
};

}  // namespace kv
