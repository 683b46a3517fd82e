#pragma once
// One snapshot of the transfer meter: the current speed of each stage of a
// copy over the last 20 seconds, its average since the run began, and where
// the pipeline spends its time. Made by TransferMeter::snapshot; attached to
// the copy phase's progress reports and shown by the interface.
#include <cstdint>

namespace kv {

// The share of recent busy time spent in each stage: three values between 0
// and 1 that add up to 1, or all 0 when nothing was busy recently.
struct Waiting {
  double download = 0;
  double upload = 0;
  double readback = 0;

  bool operator==(const Waiting&) const = default;
};

struct TransferRates {
  double downloadBytesPerSecond = 0;         // download bytes of the last 20 s ÷ the window
  double downloadAverageBytesPerSecond = 0;  // all download bytes ÷ time since the start
  double uploadBytesPerSecond = 0;
  double uploadAverageBytesPerSecond = 0;
  double readbackBytesPerSecond = 0;
  double readbackAverageBytesPerSecond = 0;
  Waiting waiting;
  std::int64_t downloadedBytes = 0;  // every byte recorded on the download lane
  std::int64_t uploadedBytes = 0;    // every byte recorded on the upload lane

  bool operator==(const TransferRates&) const = default;
};

}  // namespace kv
