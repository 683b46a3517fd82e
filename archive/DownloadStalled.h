#pragma once
// A download that stopped delivering data or crawled, as found by the
// copier's stall watchdog. The copy then ends with downloadFailed carrying
// this error's text.
//
//   silent(timeout)               "download stalled: no data for 300.0 seconds"
//   crawling(bytesPerSecond, window)
//                                 "download stalled: 8 B/s over 120.0 seconds"
//
// Durations are written as seconds with a fractional part (formatStallSeconds).
#include <cstdint>
#include <exception>
#include <string>

#include "core/Date.h"

namespace kv {

// Seconds with at least one fractional digit and no more than needed:
// 300 s → "300.0 seconds", 0.5 s → "0.5 seconds".
std::string formatStallSeconds(Seconds duration);

class DownloadStalled : public std::exception {
 public:
  enum class Reason { silent, crawling };

  static DownloadStalled silent(Seconds timeout);
  static DownloadStalled crawling(std::int64_t bytesPerSecond, Seconds window);

  Reason reason() const noexcept { return reason_; }
  // silent: the stall timeout; crawling: the window.
  Seconds duration() const noexcept { return duration_; }
  // crawling: the observed rate in whole bytes per second (0 for silent).
  std::int64_t bytesPerSecond() const noexcept { return bytesPerSecond_; }

  const char* what() const noexcept override { return text_.c_str(); }

  bool operator==(const DownloadStalled& o) const {
    return reason_ == o.reason_ && duration_ == o.duration_ && bytesPerSecond_ == o.bytesPerSecond_;
  }

 private:
  DownloadStalled(Reason reason, Seconds duration, std::int64_t bytesPerSecond);

  Reason reason_;
  Seconds duration_;
  std::int64_t bytesPerSecond_ = 0;
  std::string text_;
};

}  // namespace kv
