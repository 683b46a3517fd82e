#pragma once
// The store tests that every keychain implementation must pass. Each test
// executable instantiates KeychainStoreSuite with the backends it can run.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "identity/KeychainService.h"

namespace kv::test {

struct KeychainBackend {
  std::string name;
  // A fresh, empty keychain for one test; null when the backend cannot run
  // here (the tests are then skipped).
  std::function<std::shared_ptr<KeychainService>()> make;
};

inline void PrintTo(const KeychainBackend& backend, std::ostream* out) { *out << backend.name; }

class KeychainStoreSuite : public ::testing::TestWithParam<KeychainBackend> {
 protected:
  void SetUp() override {
    keychain = GetParam().make();
    if (!keychain) GTEST_SKIP() << GetParam().name << " is not available on this machine";
  }
  std::shared_ptr<KeychainService> keychain;
};

inline std::string backendName(const ::testing::TestParamInfo<KeychainBackend>& info) { return info.param.name; }

}  // namespace kv::test
