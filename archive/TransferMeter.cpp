#include "archive/TransferMeter.h"

#include <algorithm>

namespace kv {

TransferMeter::TransferMeter(Date startedAt) : startedAt_(toReferenceSeconds(startedAt)) {}

void TransferMeter::reset(Date at) {
  std::lock_guard lock(mutex_);
  startedAt_ = toReferenceSeconds(at);
  download_ = Lane{};
  upload_ = Lane{};
  readback_ = Lane{};
}

TransferMeter::Lane& TransferMeter::lane(Direction direction) {
  switch (direction) {
    case Direction::download: return download_;
    case Direction::upload: return upload_;
    case Direction::readback: return readback_;
  }
  return download_;
}

void TransferMeter::dropOlderThan(Lane& lane, double limit) {
  while (!lane.samples.empty() && lane.samples.front().at < limit) lane.samples.pop_front();
}

void TransferMeter::record(Direction direction, std::int64_t bytes, Date at, Seconds busy) {
  double d = busy.count();
  if (bytes <= 0 && !(d > 0)) return;
  d = std::max(d, 0.0);  // also turns NaN into 0
  const double t = toReferenceSeconds(at);
  std::lock_guard lock(mutex_);
  Lane& l = lane(direction);
  l.totalBytes += bytes;
  l.totalBusy += d;
  l.samples.push_back(Sample{t, bytes, d});
  dropOlderThan(l, t - kWindowSeconds);
}

TransferRates TransferMeter::snapshot(Date nowDate) {
  const double now = toReferenceSeconds(nowDate);
  std::lock_guard lock(mutex_);
  for (Lane* l : {&download_, &upload_, &readback_}) dropOlderThan(*l, now - kWindowSeconds);

  double elapsed = now - startedAt_;
  double window;
  if (elapsed <= 0.001) {
    elapsed = 0.001;
    window = 0.001;
  } else {
    window = std::min(elapsed, kWindowSeconds);
  }

  struct Recent {
    double bytes = 0;
    double busy = 0;
  };
  auto recent = [](const Lane& l) {
    Recent r;
    for (const auto& s : l.samples) {
      r.bytes += static_cast<double>(s.bytes);
      r.busy += s.busy;
    }
    return r;
  };
  const Recent down = recent(download_), up = recent(upload_), back = recent(readback_);

  TransferRates rates;
  rates.downloadBytesPerSecond = down.bytes / window;
  rates.downloadAverageBytesPerSecond = static_cast<double>(download_.totalBytes) / elapsed;
  rates.uploadBytesPerSecond = up.bytes / window;
  rates.uploadAverageBytesPerSecond = static_cast<double>(upload_.totalBytes) / elapsed;
  rates.readbackBytesPerSecond = back.bytes / window;
  rates.readbackAverageBytesPerSecond = static_cast<double>(readback_.totalBytes) / elapsed;
  const double total = down.busy + up.busy + back.busy;
  if (total > 0) rates.waiting = Waiting{down.busy / total, up.busy / total, back.busy / total};
  rates.downloadedBytes = download_.totalBytes;
  rates.uploadedBytes = upload_.totalBytes;
  return rates;
}

}  // namespace kv
