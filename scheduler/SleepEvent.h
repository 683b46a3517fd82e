#pragma once
// The machine's sleep and wake, as the coordinator receives them: a stream
// with unbounded buffering fed by the platform's sleep notifications (on
// Linux, logind's PrepareForSleep). The coordinator is the one consumer; when
// it ends the stream, the producer's termination handler removes its
// observers.
#include "core/StoredString.h"
#include "core/async/Stream.h"

namespace kv {

enum class SleepEvent {
  willSleep,
  didWake,
};

template <>
struct StoredStrings<SleepEvent> {
  static constexpr std::array<std::pair<SleepEvent, std::string_view>, 2> table{{
      {SleepEvent::willSleep, "willSleep"},
      {SleepEvent::didWake, "didWake"},
  }};
};

using SleepEventStream = AsyncStream<SleepEvent>;

}  // namespace kv
