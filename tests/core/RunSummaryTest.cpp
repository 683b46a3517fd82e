#include "core/RunSummary.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using nlohmann::json;

// 2001-01-01 00:00:10 UTC, built from the calendar, not from the offset the
// code under test uses.
Date tenSecondsInto2001() {
  using namespace std::chrono;
  return sys_days{year{2001} / January / 1} + seconds{10};
}

RunSummary sample() {
  RunSummary s;
  s.trigger = RunTrigger::schedule;
  s.startedAt = tenSecondsInto2001();
  s.endedAt = fromUnixSeconds(1'700'000'123.25);
  s.assetsSeen = 12'345;
  s.resourcesVerified = 20'000;
  s.resourcesFailed = 3;
  s.bytesCopied = 9'000'000'000'123LL;
  s.outcome = RunOutcome::partial;
  return s;
}

TEST(RunSummaryCoding, DatesAreSecondsSince2001) {
  json j = encodeRunSummary(sample());
  EXPECT_EQ(j["startedAt"], 10);
  EXPECT_NEAR(j["endedAt"].get<double>(), 1'700'000'123.25 - 978'307'200.0, 1e-6);
}

TEST(RunSummaryCoding, KeysAreTheFieldNames) {
  json j = encodeRunSummary(sample());
  // endedAt is checked above; dates carry nanoseconds, so compare it apart.
  ASSERT_TRUE(j.contains("endedAt"));
  j.erase("endedAt");
  EXPECT_EQ(j, (json{{"trigger", "schedule"},
                     {"startedAt", 10.0},
                     {"assetsSeen", 12'345},
                     {"resourcesVerified", 20'000},
                     {"resourcesFailed", 3},
                     {"bytesCopied", 9'000'000'000'123LL},
                     {"outcome", "partial"}}));
  EXPECT_TRUE(j["bytesCopied"].is_number_integer());
}

TEST(RunSummaryCoding, RoundTripThroughText) {
  for (RunTrigger trigger : allCases<RunTrigger>()) {
    for (RunOutcome outcome : allCases<RunOutcome>()) {
      RunSummary s = sample();
      s.trigger = trigger;
      s.outcome = outcome;
      EXPECT_EQ(decodeRunSummaryText(encodeRunSummaryText(s)), s);
    }
  }
}

TEST(RunSummaryCoding, ReadsKeysInAnyOrderWithWhitespace) {
  std::string text = R"( { "outcome" : "complete", "bytesCopied": 0, "resourcesFailed": 0,
      "resourcesVerified": 7, "assetsSeen": 0, "endedAt": 20.5, "startedAt": 10, "trigger": "verify" } )";
  RunSummary s = decodeRunSummaryText(text);
  EXPECT_EQ(s.trigger, RunTrigger::verify);
  EXPECT_EQ(s.startedAt, tenSecondsInto2001());
  EXPECT_EQ(s.endedAt, tenSecondsInto2001() + std::chrono::milliseconds(10'500));
  EXPECT_EQ(s.resourcesVerified, 7);
  EXPECT_EQ(s.outcome, RunOutcome::complete);
}

TEST(RunSummaryCoding, TextThatDoesNotDecodeIsAnError) {
  const json valid = encodeRunSummary(sample());
  struct Row {
    const char* name;
    std::string text;
    std::string keyInMessage;
  };
  std::vector<Row> rows = {
      {"empty", "", ""},
      {"notJSON", "summary of the run", ""},
      {"truncated", valid.dump().substr(0, 20), ""},
      {"array", "[]", ""},
      {"null", "null", ""},
      {"emptyObject", "{}", "trigger"},
  };
  for (const char* key : {"trigger", "startedAt", "endedAt", "assetsSeen", "resourcesVerified", "resourcesFailed",
                          "bytesCopied", "outcome"}) {
    json missing = valid;
    missing.erase(key);
    rows.push_back({"missing", missing.dump(), key});
  }
  auto with = [&](const char* key, json value) {
    json j = valid;
    j[key] = std::move(value);
    return j.dump();
  };
  rows.push_back({"unknownTrigger", with("trigger", "nightly"), "trigger"});
  rows.push_back({"unknownOutcome", with("outcome", "Complete"), "outcome"});
  rows.push_back({"dateAsString", with("startedAt", "2001-01-01"), "startedAt"});
  rows.push_back({"dateFarAway", with("endedAt", 1e300), "endedAt"});
  rows.push_back({"fractionalCount", with("assetsSeen", 1.5), "assetsSeen"});
  rows.push_back({"countTooLarge", with("bytesCopied", 18446744073709551615ULL), "bytesCopied"});
  rows.push_back({"countAsString", with("resourcesFailed", "3"), "resourcesFailed"});

  for (const Row& row : rows) {
    try {
      decodeRunSummaryText(row.text);
      ADD_FAILURE() << row.name << " decoded: " << row.text;
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.key(), row.keyInMessage) << row.name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace kv
