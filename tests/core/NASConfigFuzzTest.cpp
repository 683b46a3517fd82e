// Random documents against the configuration decoder: whatever arrives from
// the configuration endpoint, decoding either succeeds or throws
// ConfigDecodingError. KELVANE_FUZZ_SECONDS sets the time budget (default 1 s),
// KELVANE_FUZZ_SEED fixes the seed (otherwise random and printed on failure).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <limits>
#include <random>

#include "core/NASConfig.h"

namespace kv {
namespace {

using nlohmann::json;

const std::vector<std::string> kKeys = {"molerun_addr", "smb_share",  "dest_subdir",     "local_port",
                                        "remote_smb",   "nas_label", "nas_user_default"};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

  std::string bytes(std::size_t maxLength) {
    std::string s(below(maxLength + 1), '\0');
    for (char& c : s) c = static_cast<char>(below(256));
    return s;
  }

  std::string text() {
    static const std::vector<std::string> samples = {
        "", "445", "nas.lan:445", "Synology", "mrABCDEFGHIJKLMNOPQRSTUVWXYZ", "\xc3\xa9t\xc3\xa9", "\xff\xfe", "-1"};
    return chance(0.5) ? samples[below(samples.size())] : bytes(12);
  }

  json number() {
    static const std::vector<json> samples = {
        0, 1, -1, 445, 65535, 65536, 70000, -65536,
        std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
        std::numeric_limits<std::uint64_t>::max(), 3.5, 445.0, -0.0, 65535.0, 65535.5, 1e300, -1e300,
        9223372036854775808.0, -9223372036854775808.0, std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::denorm_min()};
    switch (below(4)) {
      case 0: return samples[below(samples.size())];
      case 1: return static_cast<std::int64_t>(rng_());
      case 2: return static_cast<std::uint64_t>(rng_());
      default: return std::uniform_real_distribution<double>(-1e6, 1e6)(rng_);
    }
  }

  json value(int depth) {
    switch (below(depth > 0 ? 7 : 5)) {
      case 0: return nullptr;
      case 1: return chance(0.5);
      case 2:
      case 3: return number();
      case 4: return text();
      case 5: {
        json a = json::array();
        for (std::size_t i = below(4); i > 0; --i) a.push_back(value(depth - 1));
        return a;
      }
      default: return object(depth - 1);
    }
  }

  json object(int depth) {
    json o = json::object();
    for (std::size_t i = below(4); i > 0; --i) o[chance(0.5) ? kKeys[below(kKeys.size())] : text()] = value(depth);
    return o;
  }

  // A document with each real key present or not, each with a value that is
  // usually of the right type.
  json document() {
    json doc = json::object();
    for (const std::string& key : kKeys) {
      if (chance(0.08)) continue;
      if (chance(0.85)) {
        doc[key] = wellTyped(key);
      } else {
        doc[key] = value(3);
      }
    }
    if (chance(0.2)) doc[text()] = value(2);
    return doc;
  }

  // A value of the type the key usually holds, still often out of range.
  json wellTyped(const std::string& key) {
    if (key == "local_port") {
      return chance(0.7) ? json(below(65536)) : number();
    }
    if (key == "remote_smb" && chance(0.5)) return chance(0.6) ? json(below(100000)) : number();
    return text();
  }

  // The text of a plausible document with a few bytes changed.
  std::string mutatedText() {
    std::string s = document().dump(-1, ' ', false, json::error_handler_t::replace);
    for (std::size_t n = 1 + below(4); n > 0 && !s.empty(); --n) {
      std::size_t at = below(s.size());
      switch (below(3)) {
        case 0: s[at] = static_cast<char>(below(256)); break;
        case 1: s.erase(at, 1 + below(3)); break;
        default: s.insert(at, 1, "{}[]\",:-.0e9tn\\"[below(15)]); break;
      }
    }
    return s;
  }

 private:
  std::mt19937_64 rng_;
};

std::string shown(const json& doc) { return doc.dump(-1, ' ', true, json::error_handler_t::replace); }

// Decoding must end in a value or a ConfigDecodingError; a value must survive
// encoding and decoding unchanged.
::testing::AssertionResult decodesOrRejects(const json& doc) {
  try {
    NASConfig config = decodeNASConfig(doc);
    if (decodeNASConfig(encodeNASConfig(config)) != config) {
      return ::testing::AssertionFailure() << "round trip changed " << shown(doc);
    }
  } catch (const ConfigDecodingError&) {
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "unexpected " << typeid(e).name() << " (" << e.what() << ") for "
                                         << shown(doc);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult decodesOrRejects(const std::string& text) {
  try {
    decodeNASConfigText(text);
  } catch (const ConfigDecodingError&) {
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "unexpected " << typeid(e).name() << " (" << e.what()
                                         << ") for text of " << text.size() << " bytes";
  }
  json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return ::testing::AssertionSuccess();
  return decodesOrRejects(parsed);
}

double envSeconds(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtod(v, nullptr) : fallback;
}

TEST(NASConfigFuzz, NASConfigDecodingNeverCrashes) {
  const std::uint64_t seed = std::getenv("KELVANE_FUZZ_SEED") ? std::strtoull(std::getenv("KELVANE_FUZZ_SEED"), nullptr, 10)
                                                              : std::random_device{}();
  const double budget = envSeconds("KELVANE_FUZZ_SECONDS", 1.0);
  SCOPED_TRACE("KELVANE_FUZZ_SEED=" + std::to_string(seed));
  Generator gen(seed);

  const auto start = std::chrono::steady_clock::now();
  std::size_t iterations = 0, decoded = 0;
  constexpr std::size_t kMinimumIterations = 5000;
  while (iterations < kMinimumIterations ||
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < budget) {
    ++iterations;
    switch (iterations % 4) {
      case 0: {
        json doc = gen.document();
        ASSERT_TRUE(decodesOrRejects(doc));
        try {
          decodeNASConfig(doc);
          ++decoded;
        } catch (const ConfigDecodingError&) {
        }
        break;
      }
      case 1: ASSERT_TRUE(decodesOrRejects(gen.value(4))); break;
      case 2: ASSERT_TRUE(decodesOrRejects(gen.mutatedText())); break;
      default: ASSERT_TRUE(decodesOrRejects(gen.bytes(64))); break;
    }
  }
  // The generator must reach the decoding path as well as the error paths.
  EXPECT_GT(decoded, 0u);
  RecordProperty("iterations", static_cast<int>(iterations));
  std::cout << "[ fuzz     ] " << iterations << " inputs (" << decoded << " decoded) in "
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s, seed " << seed
            << "\n";
}

// Nesting deep enough to overflow the stack of a recursive parser or destructor.
TEST(NASConfigFuzz, DeeplyNestedDocumentsAreRejected) {
  for (std::size_t depth : {1000u, 100000u}) {
    std::string text = "{\"local_port\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_TRUE(decodesOrRejects(text)) << depth;
    EXPECT_TRUE(decodesOrRejects(std::string(depth, '['))) << depth;
  }
}

TEST(NASConfigFuzz, KeptInputsStillDecodeOrReject) {
  std::size_t replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KELVANE_CORE_TESTDATA "/nasconfig")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_TRUE(decodesOrRejects(content.str())) << entry.path();
    ++replayed;
  }
  EXPECT_GT(replayed, 0u);
}

}  // namespace
}  // namespace kv
