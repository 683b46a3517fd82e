#include "core/Situation.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kv {
namespace {

class ShareFullError : public std::runtime_error, public SituationConvertible {
 public:
  ShareFullError() : std::runtime_error("no space left on the share") {}
  Situation situation() const override { return Situation::shareFull; }
  std::string detail() const override { return "ENOSPC while writing"; }
};

std::exception_ptr capture(const std::function<void()>& thrower) {
  try {
    thrower();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

TEST(SituationOf, DirectNestedAndAbsent) {
  auto direct = capture([] { throw ShareFullError(); });
  auto nestedTwice = capture([] {
    try {
      try {
        throw ShareFullError();
      } catch (...) {
        std::throw_with_nested(std::runtime_error("copy failed"));
      }
    } catch (...) {
      std::throw_with_nested(std::logic_error("run failed"));
    }
  });
  auto plain = capture([] { throw std::runtime_error("boom"); });
  auto notAnException = capture([] { throw 42; });
  auto nestedNonException = capture([] {
    try {
      throw 42;
    } catch (...) {
      std::throw_with_nested(std::runtime_error("wrapper"));
    }
  });

  for (const auto& [name, error] : std::vector<std::pair<const char*, std::exception_ptr>>{
           {"direct", direct}, {"nestedTwice", nestedTwice}}) {
    const SituationConvertible* s = situationOf(error);
    ASSERT_NE(s, nullptr) << name;
    EXPECT_EQ(s->situation(), Situation::shareFull) << name;
    EXPECT_EQ(s->detail(), "ENOSPC while writing") << name;
  }
  for (const auto& [name, error] : std::vector<std::pair<const char*, std::exception_ptr>>{
           {"plain", plain}, {"notAnException", notAnException}, {"nestedNonException", nestedNonException},
           {"null", nullptr}}) {
    EXPECT_EQ(situationOf(error), nullptr) << name;
  }
}

TEST(SituationOf, FromACaughtReference) {
  try {
    try {
      throw ShareFullError();
    } catch (...) {
      std::throw_with_nested(std::runtime_error("outer"));
    }
  } catch (const std::exception& e) {
    const SituationConvertible* s = situationOf(e);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->situation(), Situation::shareFull);
  }
}

}  // namespace
}  // namespace kv
