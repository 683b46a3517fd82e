#pragma once
// Holding off idle sleep while a run copies or verifies (on Linux, a logind
// "idle:sleep" inhibitor).
//
// `begin` never fails: when the platform refuses, the implementation logs the
// failure and returns a token that holds nothing, and the run goes ahead.
// A token is held from `begin` until its first `release` (or its
// destruction, which releases it); releasing again is harmless. `release` may
// be called from any thread, also concurrently: exactly one caller ends the
// assertion. Implementations of SleepAssertion are safe for concurrent use.
#include <memory>
#include <string_view>

namespace kv {

class SleepAssertionToken {
 public:
  virtual ~SleepAssertionToken() = default;
  virtual void release() = 0;
};

class SleepAssertion {
 public:
  virtual ~SleepAssertion() = default;
  // `reason` is shown by the system as why idle sleep is held off.
  virtual std::shared_ptr<SleepAssertionToken> begin(std::string_view reason) = 0;
};

}  // namespace kv
