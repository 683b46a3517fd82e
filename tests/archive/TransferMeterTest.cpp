#include <gtest/gtest.h>

#include "archive/TransferMeter.h"

namespace kv {
namespace {

const Date kStart = fromUnixSeconds(1'700'000'000.0);
Date at(double secondsAfterStart) { return addSeconds(kStart, Seconds(secondsAfterStart)); }
using D = TransferMeter::Direction;

TEST(TransferMeterTest, SnapshotRightAfterCreationDividesByOneMillisecond) {
  TransferMeter meter(kStart);
  EXPECT_EQ(meter.snapshot(kStart), TransferRates{});
  meter.record(D::download, 10, kStart, Seconds(0));
  const auto rates = meter.snapshot(at(0.0005));
  EXPECT_DOUBLE_EQ(rates.downloadBytesPerSecond, 10'000.0);
  EXPECT_DOUBLE_EQ(rates.downloadAverageBytesPerSecond, 10'000.0);
}

TEST(TransferMeterTest, ZeroByteSampleWithBusyTimeCountsOnlyTowardsWaiting) {
  TransferMeter meter(kStart);
  meter.record(D::upload, 0, at(5), Seconds(2));
  const auto rates = meter.snapshot(at(10));
  EXPECT_EQ(rates.uploadBytesPerSecond, 0);
  EXPECT_EQ(rates.uploadedBytes, 0);
  EXPECT_EQ(rates.waiting, (Waiting{0, 1, 0}));
}

TEST(TransferMeterTest, SampleWithoutBytesOrBusyTimeIsIgnored) {
  TransferMeter meter(kStart);
  meter.record(D::download, 0, at(1), Seconds(0));
  meter.record(D::download, -5, at(1), Seconds(-1));
  meter.record(D::readback, 0, at(1), Seconds(-3));
  EXPECT_EQ(meter.snapshot(at(2)), TransferRates{});
}

TEST(TransferMeterTest, NegativeBusyTimeCountsAsZero) {
  TransferMeter meter(kStart);
  meter.record(D::download, 100, at(1), Seconds(-4));
  meter.record(D::upload, 100, at(1), Seconds(1));
  EXPECT_EQ(meter.snapshot(at(2)).waiting, (Waiting{0, 1, 0}));
}

TEST(TransferMeterTest, OldSamplesLeaveTheCurrentRateButNotTheTotals) {
  TransferMeter meter(kStart);
  meter.record(D::download, 40'000'000, at(10), Seconds(4));
  const auto rates = meter.snapshot(at(40));
  EXPECT_EQ(rates.downloadBytesPerSecond, 0);
  EXPECT_EQ(rates.downloadedBytes, 40'000'000);
  EXPECT_DOUBLE_EQ(rates.downloadAverageBytesPerSecond, 1'000'000.0);
  EXPECT_EQ(rates.waiting, Waiting{});  // the busy time left with the sample
}

TEST(TransferMeterTest, CurrentRateUsesTheTwentySecondWindowOrTheTimeSinceTheStart) {
  struct Row {
    const char* name;
    double now;
    double expected;
  } rows[] = {
      {"young run: window is the elapsed time", 5, 1000.0 / 5},
      {"old run: window is 20 s", 100, 1000.0 / 20},
  };
  for (const auto& row : rows) {
    TransferMeter meter(kStart);
    meter.record(D::readback, 1000, at(row.now - 1), Seconds(0.5));
    EXPECT_DOUBLE_EQ(meter.snapshot(at(row.now)).readbackBytesPerSecond, row.expected) << row.name;
  }
}

TEST(TransferMeterTest, WaitingSharesFollowRecentBusyTimes) {
  TransferMeter meter(kStart);
  meter.record(D::download, 1, at(30), Seconds(3));
  meter.record(D::upload, 1, at(31), Seconds(1));
  meter.record(D::readback, 0, at(5), Seconds(9));  // older than 20 s by then
  const auto rates = meter.snapshot(at(32));
  EXPECT_EQ(rates.waiting, (Waiting{0.75, 0.25, 0}));
}

TEST(TransferMeterTest, RecordDropsSamplesOlderThanTheWindowOfItsOwnTime) {
  TransferMeter meter(kStart);
  meter.record(D::upload, 500, at(1), Seconds(0));
  meter.record(D::upload, 700, at(30), Seconds(0));
  // A snapshot taken at an earlier time than the last record still sees only
  // what the record kept.
  EXPECT_DOUBLE_EQ(meter.snapshot(at(20)).uploadBytesPerSecond, 700.0 / 20);
  EXPECT_EQ(meter.snapshot(at(20)).uploadedBytes, 1200);
}

TEST(TransferMeterTest, ResetStartsOver) {
  TransferMeter meter(kStart);
  meter.record(D::download, 1000, at(1), Seconds(1));
  meter.reset(at(100));
  const auto rates = meter.snapshot(at(110));
  EXPECT_EQ(rates, TransferRates{});
  meter.record(D::download, 100, at(105), Seconds(0));
  EXPECT_DOUBLE_EQ(meter.snapshot(at(110)).downloadAverageBytesPerSecond, 10.0);
}

}  // namespace
}  // namespace kv
