#pragma once
// Timed samples of the three stages of a copy — download from the photo
// source into the spool, upload from the spool to the share, read-back from
// the share — turned into TransferRates.
//
// Each lane keeps the samples of the last 20 seconds (older ones are dropped
// on every record and every snapshot, so the lists stay short) and running
// totals since the start.
//
// Thread safety: one meter is shared by every copy worker's download task,
// writer and read-back and by the engine taking snapshots; every operation
// takes one internal lock, held only for the list edits.
#include <cstdint>
#include <deque>
#include <mutex>

#include "archive/TransferRates.h"
#include "core/Date.h"

namespace kv {

class TransferMeter {
 public:
  enum class Direction { download, upload, readback };

  // How far back the current rates look.
  static constexpr double kWindowSeconds = 20.0;

  // All lanes empty, the start at `startedAt`.
  explicit TransferMeter(Date startedAt);

  // The same as a fresh meter started at `at` (the engine calls it at the
  // start of every run).
  void reset(Date at);

  // One sample: `bytes` moved at `at`, the stage busy for `busy` (a negative
  // busy time counts as 0). A sample with no bytes and no positive busy time
  // is ignored; one with 0 bytes and a positive busy time (closing a file)
  // counts towards the waiting shares but not towards the rates.
  void record(Direction direction, std::int64_t bytes, Date at, Seconds busy);

  // The rates at `now`. The current rates divide by min(time since the
  // start, 20 s); right after the start (≤ 1 ms) by 1 ms, never by zero.
  TransferRates snapshot(Date now);

 private:
  struct Sample {
    double at;  // seconds since the reference date
    std::int64_t bytes;
    double busy;
  };
  struct Lane {
    std::deque<Sample> samples;  // oldest first
    std::int64_t totalBytes = 0;
    double totalBusy = 0;
  };

  Lane& lane(Direction direction);
  static void dropOlderThan(Lane& lane, double limit);

  std::mutex mutex_;
  double startedAt_;  // guarded by mutex_
  Lane download_;     // guarded by mutex_
  Lane upload_;       // guarded by mutex_
  Lane readback_;     // guarded by mutex_
};

using TransferDirection = TransferMeter::Direction;

}  // namespace kv
