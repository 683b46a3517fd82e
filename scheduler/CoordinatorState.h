#pragma once
// What the sync coordinator is doing, as its observers see it.
//
// Two states are equal when their case and payloads are equal (dates compared
// exactly; an absent `nextRun` equals only an absent one).
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>

#include "core/Date.h"
#include "core/RunTrigger.h"
#include "core/Situation.h"
#include "scheduler/PauseReason.h"

namespace kv {

// The `retryAt` of a waiting state that only the user can resolve: the
// farthest date there is. Compare with it to tell a timed retry from waiting
// for the user.
inline constexpr Date awaitingUserDate = Date::max();

// Whether the coordinator retries a run that failed with `situation` on its
// own (configuration, NAS reachability and iCloud problems), rather than
// waiting for the user.
constexpr bool retriesAutomatically(Situation situation) {
  switch (situation) {
    case Situation::configUnavailable:
    case Situation::nasUnreachable:
    case Situation::icloudDownloadFailing:
      return true;
    case Situation::photosAccessMissing:
    case Situation::notSignedIn:
    case Situation::nasLoginRejected:
    case Situation::shareFull:
    case Situation::verifyMismatch:
      return false;
  }
  return false;
}

class CoordinatorState {
 public:
  // Nothing runs; `nextRun` is the next cadence slot, absent for `manual`.
  struct Idle {
    std::optional<Date> nextRun;
    bool operator==(const Idle&) const = default;
  };
  // A run is in flight (`verify` also for a verification the application
  // runs itself under an external-run claim).
  struct Running {
    RunTrigger trigger;
    bool operator==(const Running&) const = default;
  };
  struct Paused {
    PauseReason reason;
    bool operator==(const Paused&) const = default;
  };
  // The last run failed with `situation`; `retryAt` is the automatic retry's
  // moment or `awaitingUserDate`.
  struct Waiting {
    Situation situation;
    Date retryAt;
    bool operator==(const Waiting&) const = default;
  };
  using Value = std::variant<Idle, Running, Paused, Waiting>;

  CoordinatorState() : value_(Idle{}) {}
  CoordinatorState(Value value) : value_(std::move(value)) {}

  static CoordinatorState idle(std::optional<Date> nextRun = std::nullopt) { return Value(Idle{nextRun}); }
  static CoordinatorState running(RunTrigger trigger) { return Value(Running{trigger}); }
  static CoordinatorState paused(PauseReason reason) { return Value(Paused{reason}); }
  static CoordinatorState waiting(Situation situation, Date retryAt) { return Value(Waiting{situation, retryAt}); }

  const Value& value() const { return value_; }
  template <class Case>
  const Case* as() const {
    return std::get_if<Case>(&value_);
  }
  template <class Case>
  bool is() const {
    return std::holds_alternative<Case>(value_);
  }
  // True for a waiting state that only the user can resolve.
  bool isAwaitingUser() const {
    auto* w = as<Waiting>();
    return w && w->retryAt == awaitingUserDate;
  }

  bool operator==(const CoordinatorState&) const = default;

 private:
  Value value_;
};

// "idle(nextRun: 1700003600.000)", "running(manual)", "paused(user)",
// "waiting(nasUnreachable, retryAt: ...)" / "waiting(shareFull, awaiting user)";
// dates as seconds since 1970. For logs and test output.
std::string describe(const CoordinatorState& state);
std::ostream& operator<<(std::ostream& os, const CoordinatorState& state);

}  // namespace kv
