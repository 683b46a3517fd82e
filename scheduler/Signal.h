#pragma once
// Value-less events: "something changed, look again". The Photos library
// change stream and the power-state change stream carry them.
#include <variant>

#include "core/async/Stream.h"

namespace kv {

using Signal = std::monostate;
using SignalStream = AsyncStream<Signal>;

}  // namespace kv
