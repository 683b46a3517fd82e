// libFuzzer entry for the configuration decoder; built by hand with
// tests/core/fuzz/run-fuzzer.sh (clang, -fsanitize=fuzzer,address,undefined).
// Any input must decode or end in ConfigDecodingError; anything else aborts.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/NASConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    kv::NASConfig config = kv::decodeNASConfigText(text);
    if (kv::decodeNASConfig(kv::encodeNASConfig(config)) != config) std::abort();
    (void)config.describe();
  } catch (const kv::ConfigDecodingError&) {
  } catch (...) {
    std::abort();
  }
  return 0;
}
