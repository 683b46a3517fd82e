#pragma once
// A sleep assertion that records every token: its reason and how often it
// was released (only the first release ends the assertion).
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scheduler/SleepAssertion.h"

namespace kv::test {

class CountingSleepAssertion final : public SleepAssertion {
 public:
  struct Record {
    std::string reason;
    int releaseCalls = 0;
    bool held() const { return releaseCalls == 0; }
  };

  std::shared_ptr<SleepAssertionToken> begin(std::string_view reason) override;

  // Tokens not yet released.
  int held() const;
  // The reasons of the held tokens.
  std::vector<std::string> heldReasons() const;
  int begun() const;
  std::vector<Record> records() const;

 private:
  class Token;
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Record>> records_;  // guarded by mu_
  std::shared_ptr<std::mutex> recordMu_ = std::make_shared<std::mutex>();
};

}  // namespace kv::test
