#include "scheduler/CoordinatorState.h"

#include <cstdio>
#include <ostream>

namespace kv {
namespace {

std::string seconds(Date d) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", toUnixSeconds(d));
  return buffer;
}

}  // namespace

std::string describe(const CoordinatorState& state) {
  struct Describer {
    std::string operator()(const CoordinatorState::Idle& s) const {
      return s.nextRun ? "idle(nextRun: " + seconds(*s.nextRun) + ")" : "idle(no nextRun)";
    }
    std::string operator()(const CoordinatorState::Running& s) const {
      return "running(" + std::string(storedString(s.trigger)) + ")";
    }
    std::string operator()(const CoordinatorState::Paused& s) const {
      return "paused(" + std::string(storedString(s.reason)) + ")";
    }
    std::string operator()(const CoordinatorState::Waiting& s) const {
      const std::string when = s.retryAt == awaitingUserDate ? "awaiting user" : "retryAt: " + seconds(s.retryAt);
      return "waiting(" + std::string(storedString(s.situation)) + ", " + when + ")";
    }
  };
  return std::visit(Describer{}, state.value());
}

std::ostream& operator<<(std::ostream& os, const CoordinatorState& state) { return os << describe(state); }

}  // namespace kv
