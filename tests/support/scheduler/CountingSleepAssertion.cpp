#include "tests/support/scheduler/CountingSleepAssertion.h"

namespace kv::test {

class CountingSleepAssertion::Token final : public SleepAssertionToken {
 public:
  Token(std::shared_ptr<Record> record, std::shared_ptr<std::mutex> mu)
      : record_(std::move(record)), mu_(std::move(mu)) {}
  void release() override {
    std::lock_guard lk(*mu_);
    ++record_->releaseCalls;
  }

 private:
  std::shared_ptr<Record> record_;
  std::shared_ptr<std::mutex> mu_;
};

std::shared_ptr<SleepAssertionToken> CountingSleepAssertion::begin(std::string_view reason) {
  auto record = std::make_shared<Record>();
  record->reason = std::string(reason);
  {
    std::lock_guard lk(mu_);
    records_.push_back(record);
  }
  return std::make_shared<Token>(record, recordMu_);
}

int CountingSleepAssertion::held() const {
  int n = 0;
  for (const auto& r : records()) n += r.held() ? 1 : 0;
  return n;
}

std::vector<std::string> CountingSleepAssertion::heldReasons() const {
  std::vector<std::string> reasons;
  for (const auto& r : records()) {
    if (r.held()) reasons.push_back(r.reason);
  }
  return reasons;
}

int CountingSleepAssertion::begun() const {
  std::lock_guard lk(mu_);
  return static_cast<int>(records_.size());
}

std::vector<CountingSleepAssertion::Record> CountingSleepAssertion::records() const {
  std::vector<std::shared_ptr<Record>> records;
  {
    std::lock_guard lk(mu_);
    records = records_;
  }
  std::lock_guard lk(*recordMu_);
  std::vector<Record> copies;
  for (const auto& r : records) copies.push_back(*r);
  return copies;
}

}  // namespace kv::test
