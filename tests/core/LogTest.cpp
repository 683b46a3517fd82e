#include "core/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <syslog.h>
#include <thread>

#include "platform/linux/core/JournalLog.h"
#include "tests/support/CapturingLog.h"

namespace kv {
namespace {

using test::CapturingLog;

TEST(LogRendering, FillsPlaceholdersInOrder) {
  struct Row {
    const char* name;
    std::string format;
    std::vector<LogArg> args;
    std::string hidden;
    std::string revealed;
  };
  const std::vector<Row> rows = {
      {"publicAndPrivate", "copied {} of {}: {}", {pub(3), pub(std::int64_t{10}), priv("/Volumes/x")},
       "copied 3 of 10: <private>", "copied 3 of 10: /Volumes/x"},
      {"noArgs", "run started", {}, "run started", "run started"},
      {"missingArgStaysPlaceholder", "a {} b {}", {pub("x")}, "a x b {}", "a x b {}"},
      {"extraArgDropped", "only {}", {pub("1"), priv("2")}, "only 1", "only 1"},
      {"doubleAndBool", "{} {}", {pub(2.5), pub(true)}, "2.5 true", "2.5 true"},
      {"argLooksLikePlaceholder", "{}-{}", {pub("{}"), pub("z")}, "{}-z", "{}-z"},
      {"adjacent", "{}{}", {priv("a"), pub("b")}, "<private>b", "ab"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(renderLogMessage(row.format, row.args, false), row.hidden) << row.name;
    EXPECT_EQ(renderLogMessage(row.format, row.args, true), row.revealed) << row.name;
  }
}

TEST(Logger, WritesToItsChannelAndRedactsEveryArgument) {
  auto sink = std::make_shared<CapturingLog>();
  Logger log = KVLog::make(sink, KVLog::identity);
  const std::string token = "mrABCDEFGHIJKLMNOPQRSTUVWXYZ";
  log.error("config fetch failed: {} ({})", priv("Authorization: Bearer s3cr3t"), pub(token));
  log.notice("run finished: {}", pub("complete"));

  auto entries = sink->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].level, LogLevel::error);
  EXPECT_EQ(entries[0].subsystem, "net.kelvane.Kelvane");
  EXPECT_EQ(entries[0].category, "identity");
  EXPECT_EQ(entries[0].format, "config fetch failed: {} ({})");
  EXPECT_EQ(entries[0].message, "config fetch failed: <private> (mr\xE2\x80\xA6redacted)");
  EXPECT_EQ(entries[0].revealedMessage,
            "config fetch failed: Authorization: Bearer \xE2\x80\xA6redacted (mr\xE2\x80\xA6redacted)");
  EXPECT_TRUE(entries[0].args[0].isPrivate);
  EXPECT_EQ(entries[1].level, LogLevel::notice);
  EXPECT_EQ(entries[1].message, "run finished: complete");
  EXPECT_FALSE(sink->contains("s3cr3t"));
  EXPECT_FALSE(sink->contains(token));
  EXPECT_TRUE(sink->contains("run finished"));
  EXPECT_EQ(sink->entries("identity").size(), 2u);
  EXPECT_TRUE(sink->entries("model").empty());
}

TEST(Logger, WithoutSinkDropsEverything) {
  Logger log;
  log.error("nobody hears {}", pub(1));  // must simply do nothing
  Logger alsoNull = KVLog::make(nullptr, KVLog::app);
  alsoNull.info("x");
  EXPECT_EQ(alsoNull.category(), "app");
}

TEST(Logger, SinkThatThrowsDoesNotReachTheCaller) {
  struct ThrowingLog : SystemLog {
    void write(LogLevel, std::string_view, std::string_view, std::string_view, const std::vector<LogArg>&) override {
      throw std::runtime_error("disk full");
    }
  };
  Logger log = KVLog::make(std::make_shared<ThrowingLog>(), KVLog::model);
  EXPECT_NO_THROW(log.fault("x {}", pub(1)));
}

TEST(KVLog, Categories) {
  EXPECT_EQ(KVLog::notifications, "notifications");
  EXPECT_EQ(KVLog::model, "model");
  EXPECT_EQ(KVLog::power, "power");
  EXPECT_EQ(KVLog::photokit, "photokit");
  EXPECT_EQ(KVLog::photosMetadata, "photos-metadata");
  EXPECT_EQ(KVLog::app, "app");
  EXPECT_EQ(KVLog::archive, "ZovarIviduva");
  EXPECT_EQ(KVLog::identity, "identity");
}

TEST(CapturingLog, KeepsEveryEntryFromManyThreads) {
  auto sink = std::make_shared<CapturingLog>();
  Logger log = KVLog::make(sink, KVLog::archive);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 250; ++i) log.info("worker {} item {}", pub(t), pub(i));
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(sink->lines().size(), 1000u);
  sink->clear();
  EXPECT_TRUE(sink->entries().empty());
}

TEST(JournalLog, Fields) {
  auto fields = JournalLog::fields(LogLevel::error, "net.kelvane.Kelvane", "identity", "failed: {} {}",
                                   {priv("/home/a/x"), pub(7)}, false);
  EXPECT_EQ(fields, (std::vector<std::string>{"MESSAGE=failed: <private> 7", "PRIORITY=3",
                                              "SYSLOG_IDENTIFIER=Kelvane", "KELVANE_SUBSYSTEM=net.kelvane.Kelvane",
                                              "KELVANE_CATEGORY=identity"}));
  auto revealed = JournalLog::fields(LogLevel::notice, "s", "c", "{}", {priv("/home/a/x")}, true);
  EXPECT_EQ(revealed[0], "MESSAGE=/home/a/x");
  EXPECT_EQ(JournalLog::priority(LogLevel::debug), LOG_DEBUG);
  EXPECT_EQ(JournalLog::priority(LogLevel::info), LOG_INFO);
  EXPECT_EQ(JournalLog::priority(LogLevel::notice), LOG_NOTICE);
  EXPECT_EQ(JournalLog::priority(LogLevel::fault), LOG_CRIT);
}

TEST(JournalLog, RevealsPrivateOnlyWhenTheEnvironmentSaysOne) {
  const char* saved = std::getenv("KELVANE_LOG_PRIVATE");
  std::string savedValue = saved ? saved : "";
  for (const auto& [value, reveals] : std::vector<std::pair<const char*, bool>>{
           {nullptr, false}, {"1", true}, {"0", false}, {"yes", false}, {"", false}}) {
    if (value) {
      setenv("KELVANE_LOG_PRIVATE", value, 1);
    } else {
      unsetenv("KELVANE_LOG_PRIVATE");
    }
    EXPECT_EQ(JournalLog().revealsPrivate(), reveals) << (value ? value : "(unset)");
  }
  if (saved) {
    setenv("KELVANE_LOG_PRIVATE", savedValue.c_str(), 1);
  } else {
    unsetenv("KELVANE_LOG_PRIVATE");
  }
}

TEST(JournalLog, WritingNeverFailsWithOrWithoutAJournal) {
  auto journal = std::make_shared<JournalLog>(false);
  Logger log = KVLog::make(journal, KVLog::app);
  EXPECT_NO_THROW(log.notice("journal test line {} with\nnew line", pub(1)));
  EXPECT_NO_THROW(journal->write(LogLevel::debug, "", "", "", {}));
}

}  // namespace
}  // namespace kv
