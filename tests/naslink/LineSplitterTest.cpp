#include "naslink/LineSplitter.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

struct SplitCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> lines;
};

std::vector<std::string> splitAll(const std::vector<std::string>& chunks) {
  LineSplitter s;
  std::vector<std::string> out;
  for (auto& c : chunks) {
    for (auto& l : s.feed(c)) out.push_back(l);
  }
  for (auto& l : s.finish()) out.push_back(l);
  return out;
}

TEST(LineSplitterTest, SplitsAtEveryTerminator) {
  const std::vector<SplitCase> cases = {
      {"lf", {"a\nb\n"}, {"a", "b"}},
      {"cr", {"a\rb\r"}, {"a", "b"}},
      {"crlf counts once", {"a\r\nb\r\n"}, {"a", "b"}},
      {"crlf split across chunks", {"a\r", "\nb"}, {"a", "b"}},
      {"cr cr is an empty line", {"a\r\rb"}, {"a", "", "b"}},
      {"lf lf keeps the empty line", {"a\n\nb"}, {"a", "", "b"}},
      {"nel", {"a\xC2\x85" "b"}, {"a", "b"}},
      {"line separator", {"a\xE2\x80\xA8" "b"}, {"a", "b"}},
      {"paragraph separator", {"a\xE2\x80\xA9" "b"}, {"a", "b"}},
      {"separator split across chunks", {"a\xE2", "\x80", "\xA8" "b"}, {"a", "b"}},
      {"nel split across chunks", {"a\xC2", "\x85" "b"}, {"a", "b"}},
      {"other multi-byte text is kept", {"caf\xC3\xA9 \xE2\x80\xA6 \xC2\xA0x\n"}, {"caf\xC3\xA9 \xE2\x80\xA6 \xC2\xA0x"}},
      {"unterminated rest at the end", {"a\nrest"}, {"a", "rest"}},
      {"nothing after the last terminator", {"a\n"}, {"a"}},
      {"empty input", {}, {}},
      {"lf after a line ended by nel is a new empty line", {"a\xC2\x85\nb"}, {"a", "", "b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(splitAll(c.chunks), c.lines) << c.name;
  }
}

TEST(LineSplitterTest, ByteByByteGivesTheSameLines) {
  const std::string text = "one\r\ntwo\xE2\x80\xA9three\rfour\xC2\x85" "five\n";
  std::vector<std::string> chunks;
  for (char c : text) chunks.emplace_back(1, c);
  EXPECT_EQ(splitAll(chunks), (std::vector<std::string>{"one", "two", "three", "four", "five"}));
}

}  // namespace
}  // namespace kv
