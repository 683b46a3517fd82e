#include "core/Redaction.h"

#include <gtest/gtest.h>

#include <thread>

namespace kv {
namespace {

// Written out rather than built from the constants, so a changed constant is noticed.
const std::string kRedacted = "\xE2\x80\xA6redacted";
const std::string kTwenty = "abcdefghij0123456789";   // 20 token characters
const std::string kNineteen = "abcdefghij012345678";  // 19

struct Row {
  const char* name;
  std::string input;
  std::string expected;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class RedactionRules : public ::testing::TestWithParam<Row> {};

TEST_P(RedactionRules, Redacts) { EXPECT_EQ(redact(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, RedactionRules,
    ::testing::Values(
        Row{"Empty", "", ""},
        Row{"NothingToDo", "copy of IMG_0001.HEIC verified", "copy of IMG_0001.HEIC verified"},
        Row{"TunnelTokenOfTwenty", "token mr" + kTwenty + " issued", "token mr" + kRedacted + " issued"},
        Row{"TunnelTokenOfNineteen", "token mr" + kNineteen + " issued", "token mr" + kNineteen + " issued"},
        Row{"TunnelTokenTakesAllTokenCharacters", "mr" + kTwenty + "_-XYZ.rest", "mr" + kRedacted + ".rest"},
        Row{"TunnelTokenInsideAWord", "xyzmr" + kTwenty, "xyzmr" + kRedacted},
        Row{"TunnelTokenAfterOtherLetters", "hammr" + kTwenty + "!", "hammr" + kRedacted + "!"},
        Row{"TunnelPrefixInUpperCaseUntouched", "MR" + kTwenty, "MR" + kTwenty},
        Row{"TwoTunnelTokens", "a=mr" + kTwenty + "&b=mr" + kTwenty + "Q",
            "a=mr" + kRedacted + "&b=mr" + kRedacted},
        Row{"AuthorizationHeader", "Authorization: Bearer abc", "Authorization: Bearer " + kRedacted},
        Row{"QuotedBearerKeepsTheQuote", R"({"Authorization": "Bearer eyJhbGciOi.x-y_z"})",
            R"({"Authorization": "Bearer )" + kRedacted + R"("})"},
        Row{"BearerEndsAtApostropheAndComma", "'Bearer tok1', Bearer tok2, done",
            "'Bearer " + kRedacted + "', Bearer " + kRedacted + ", done"},
        Row{"BearerWithTabsAndNewLines", "Bearer\t\n abc\ndef", "Bearer " + kRedacted + "\ndef"},
        Row{"BearerAlone", "Bearer", "Bearer"},
        Row{"BearerFollowedOnlyBySpaces", "Bearer   \t", "Bearer   \t"},
        Row{"BearerFollowedByQuote", "Bearer \"abc\"", "Bearer \"abc\""},
        Row{"BearerWithoutSpace", "Bearerabc", "Bearerabc"},
        Row{"LowerCaseBearer", "authorization: bearer abc", "authorization: bearer abc"},
        Row{"TwoBearerTokens", "Bearer one and Bearer two", "Bearer " + kRedacted + " and Bearer " + kRedacted},
        Row{"BearerTokenWithNonASCII", "Bearer t\xC3\xB6ken rest", "Bearer " + kRedacted + " rest"},
        Row{"BearerTokenWithTunnelPrefix", "Authorization: Bearer mr" + kTwenty + ".sig",
            "Authorization: Bearer " + kRedacted},
        Row{"BothKinds", "mr" + kTwenty + " then Bearer xyz", "mr" + kRedacted + " then Bearer " + kRedacted}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Redaction, PrefixConstantMatchesTheTunnelTokens) {
  EXPECT_EQ(kTunnelTokenPrefix, "mr");
  EXPECT_EQ(kRedactedMark, kRedacted);
}

TEST(Redaction, IsStableWhenAppliedAgain) {
  for (const std::string& text : {"Bearer abc, mr" + kTwenty, std::string("plain")}) {
    EXPECT_EQ(redact(redact(text)), redact(text));
  }
}

TEST(Redaction, LongInputAndManyThreads) {
  std::string text;
  for (int i = 0; i < 20'000; ++i) text += "Bearer tok" + std::to_string(i) + " mr" + kTwenty + " ";
  std::vector<std::thread> threads;
  std::vector<std::string> results(4);
  for (auto& r : results) threads.emplace_back([&text, &r] { r = redact(text); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) {
    EXPECT_EQ(r, results[0]);
    EXPECT_EQ(r.find("tok1"), std::string::npos);
    EXPECT_EQ(r.find(kTwenty), std::string::npos);
  }
}

}  // namespace
}  // namespace kv
