#include "archive/DownloadStalled.h"

#include <charconv>
#include <cmath>

namespace kv {

std::string formatStallSeconds(Seconds duration) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, duration.count());
  std::string text = ec == std::errc() ? std::string(buffer, end) : std::to_string(duration.count());
  // Shortest round-trip form, but always with a fractional part: "300.0".
  if (std::isfinite(duration.count()) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text + " seconds";
}

DownloadStalled::DownloadStalled(Reason reason, Seconds duration, std::int64_t bytesPerSecond)
    : reason_(reason), duration_(duration), bytesPerSecond_(bytesPerSecond) {
  if (reason == Reason::silent) {
    text_ = "download stalled: no data for " + formatStallSeconds(duration);
  } else {
    text_ = "download stalled: " + std::to_string(bytesPerSecond) + " B/s over " + formatStallSeconds(duration);
  }
}

DownloadStalled DownloadStalled::silent(Seconds timeout) { return DownloadStalled(Reason::silent, timeout, 0); }

DownloadStalled DownloadStalled::crawling(std::int64_t bytesPerSecond, Seconds window) {
  return DownloadStalled(Reason::crawling, window, bytesPerSecond);
}

}  // namespace kv
