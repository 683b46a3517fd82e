#include "core/NASConfig.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kv {
namespace {

using nlohmann::json;

json fullDocument() {
  return json{
      {"molerun_addr", "tunnel.example.net:7443"},
      {"smb_share", "photos"},
      {"dest_subdir", "Kelvane"},
      {"local_port", 44445},
      {"remote_smb", "10.0.0.5:445"},
      {"nas_label", "Attic NAS"},
      {"nas_user_default", "anna"},
  };
}

std::string decodeErrorMessage(const json& doc) {
  try {
    decodeNASConfig(doc);
  } catch (const ConfigDecodingError& e) {
    return e.what();
  }
  return "(decoded)";
}

TEST(NASConfigDecoding, FullDocument) {
  NASConfig c = decodeNASConfig(fullDocument());
  EXPECT_EQ(c.molerunAddr, "tunnel.example.net:7443");
  EXPECT_EQ(c.smbShare, "photos");
  EXPECT_EQ(c.destSubdir, "Kelvane");
  EXPECT_EQ(c.localPort, 44445);
  EXPECT_EQ(c.remoteSMB, "10.0.0.5:445");
  EXPECT_EQ(c.nasLabel, "Attic NAS");
  EXPECT_EQ(c.nasUserDefault, std::optional<std::string>("anna"));
}

TEST(NASConfigDecoding, NumericRemoteSMBAndDefaultsThenEncoding) {
  json doc = fullDocument();
  doc["remote_smb"] = 445;
  doc.erase("nas_label");
  doc.erase("nas_user_default");
  NASConfig c = decodeNASConfig(doc);
  EXPECT_EQ(c.remoteSMB, "445");
  EXPECT_EQ(c.nasLabel, "Synology");
  EXPECT_FALSE(c.nasUserDefault.has_value());

  json encoded = encodeNASConfig(c);
  ASSERT_TRUE(encoded["remote_smb"].is_string());
  EXPECT_EQ(encoded["remote_smb"], "445");
  EXPECT_EQ(encoded["nas_label"], "Synology");
  EXPECT_FALSE(encoded.contains("nas_user_default"));
  EXPECT_EQ(encoded.size(), 6u);
}

TEST(NASConfigDecoding, EncodingWritesEveryKeyAndRoundTrips) {
  NASConfig c = decodeNASConfig(fullDocument());
  json encoded = encodeNASConfig(c);
  EXPECT_EQ(encoded, fullDocument());
  EXPECT_EQ(decodeNASConfig(encoded), c);
  // Through text and the nlohmann hooks as well.
  EXPECT_EQ(decodeNASConfigText(json(c).dump()), c);
  EXPECT_EQ(json(c).get<NASConfig>(), c);
}

struct FieldCase {
  const char* name;
  const char* key;
  json value;  // json() with `erase` means the key is removed
  bool erase;
  // Expected: either an error whose message starts with `error`, or a check.
  std::string error;
  std::function<void(const NASConfig&)> check;
};

void PrintTo(const FieldCase& c, std::ostream* out) { *out << c.name; }

class NASConfigFieldRules : public ::testing::TestWithParam<FieldCase> {};

TEST_P(NASConfigFieldRules, DecodesOrNamesTheKey) {
  const FieldCase& c = GetParam();
  json doc = fullDocument();
  if (c.erase) {
    doc.erase(c.key);
  } else {
    doc[c.key] = c.value;
  }
  if (!c.error.empty()) {
    std::string message = decodeErrorMessage(doc);
    EXPECT_EQ(message.rfind(c.error, 0), 0u) << "message: " << message;
  } else {
    NASConfig decoded;
    ASSERT_NO_THROW(decoded = decodeNASConfig(doc)) << decodeErrorMessage(doc);
    c.check(decoded);
  }
}

auto port(std::uint16_t expected) {
  return [expected](const NASConfig& c) { EXPECT_EQ(c.localPort, expected); };
}
auto remote(std::string expected) {
  return [expected](const NASConfig& c) { EXPECT_EQ(c.remoteSMB, expected); };
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NASConfigFieldRules,
    ::testing::Values(
        FieldCase{"PortTooLarge", "local_port", 70000, false, "local_port: value 70000 does not fit 0-65535", {}},
        FieldCase{"PortNegative", "local_port", -1, false, "local_port: value -1 does not fit 0-65535", {}},
        FieldCase{"PortHuge", "local_port", json(18446744073709551615ULL), false,
                  "local_port: value 18446744073709551615 does not fit", {}},
        FieldCase{"PortHugeFloat", "local_port", 1e300, false, "local_port: value", {}},
        FieldCase{"PortMaximum", "local_port", 65535, false, "", port(65535)},
        FieldCase{"PortZero", "local_port", 0, false, "", port(0)},
        FieldCase{"PortIntegralFloat", "local_port", 445.0, false, "", port(445)},
        FieldCase{"PortFraction", "local_port", 3.5, false, "local_port: value 3.5 is not an integer", {}},
        FieldCase{"PortAsString", "local_port", "445", false, "local_port: expected a number, found string", {}},
        FieldCase{"PortNull", "local_port", nullptr, false, "local_port: expected a number, found null", {}},
        FieldCase{"PortMissing", "local_port", {}, true, "local_port: required key is missing", {}},
        FieldCase{"RemoteNumber", "remote_smb", 445, false, "", remote("445")},
        FieldCase{"RemoteNegativeNumber", "remote_smb", -7, false, "", remote("-7")},
        FieldCase{"RemoteString", "remote_smb", "nas.lan:445", false, "", remote("nas.lan:445")},
        FieldCase{"RemoteNumericString", "remote_smb", "445", false, "", remote("445")},
        FieldCase{"RemoteBoolean", "remote_smb", true, false,
                  "remote_smb: expected an integer or a string, found boolean", {}},
        FieldCase{"RemoteNull", "remote_smb", nullptr, false,
                  "remote_smb: expected an integer or a string, found null", {}},
        FieldCase{"RemoteFraction", "remote_smb", 445.5, false, "remote_smb: value is a number but not", {}},
        FieldCase{"RemoteObject", "remote_smb", json::object(), false, "remote_smb: expected an integer", {}},
        FieldCase{"RemoteMissing", "remote_smb", {}, true, "remote_smb: required key is missing", {}},
        FieldCase{"LabelNull", "nas_label", nullptr, false, "",
                  [](const NASConfig& c) { EXPECT_EQ(c.nasLabel, "Synology"); }},
        FieldCase{"LabelAbsent", "nas_label", {}, true, "",
                  [](const NASConfig& c) { EXPECT_EQ(c.nasLabel, "Synology"); }},
        FieldCase{"LabelEmptyKept", "nas_label", "", false, "",
                  [](const NASConfig& c) { EXPECT_EQ(c.nasLabel, ""); }},
        FieldCase{"LabelNumber", "nas_label", 3, false, "nas_label: expected a string, found number", {}},
        FieldCase{"UserNull", "nas_user_default", nullptr, false, "",
                  [](const NASConfig& c) { EXPECT_FALSE(c.nasUserDefault.has_value()); }},
        FieldCase{"UserAbsent", "nas_user_default", {}, true, "",
                  [](const NASConfig& c) { EXPECT_FALSE(c.nasUserDefault.has_value()); }},
        FieldCase{"UserArray", "nas_user_default", json::array({"a"}), false,
                  "nas_user_default: expected a string, found array", {}},
        FieldCase{"AddrMissing", "molerun_addr", {}, true, "molerun_addr: required key is missing", {}},
        FieldCase{"AddrNumber", "molerun_addr", 12, false, "molerun_addr: expected a string, found number", {}},
        FieldCase{"ShareMissing", "smb_share", {}, true, "smb_share: required key is missing", {}},
        FieldCase{"ShareNull", "smb_share", nullptr, false, "smb_share: expected a string, found null", {}},
        FieldCase{"SubdirMissing", "dest_subdir", {}, true, "dest_subdir: required key is missing", {}},
        FieldCase{"SubdirBoolean", "dest_subdir", false, false, "dest_subdir: expected a string, found boolean",
                  {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NASConfigDecoding, ErrorNamesTheKeyAndNeverQuotesStringValues) {
  json doc = fullDocument();
  doc["molerun_addr"] = "secret.tunnel.example:1";
  doc["smb_share"] = json::array({"secret.tunnel.example:1"});
  std::string message = decodeErrorMessage(doc);
  EXPECT_NE(message.find("smb_share"), std::string::npos);
  EXPECT_EQ(message.find("secret.tunnel"), std::string::npos);
}

TEST(NASConfigDecoding, DocumentThatIsNotAnObjectOrNotJSON) {
  for (const json& doc : {json::array(), json(5), json("text"), json(nullptr), json(true)}) {
    EXPECT_THROW(decodeNASConfig(doc), ConfigDecodingError) << doc.dump();
  }
  for (std::string_view text : {"", "{", "not json", "{\"local_port\": }", "\xff\xfe"}) {
    EXPECT_THROW(decodeNASConfigText(text), ConfigDecodingError) << text;
  }
  // A ConfigDecodingError is a DecodingError and a runtime_error.
  EXPECT_THROW(decodeNASConfigText("[]"), std::runtime_error);
  EXPECT_THROW(json::array().get<NASConfig>(), DecodingError);
}

TEST(NASConfigDecoding, ExtraKeysAreIgnored) {
  json doc = fullDocument();
  doc["future_key"] = json::object({{"x", 1}});
  EXPECT_EQ(decodeNASConfig(doc), decodeNASConfig(fullDocument()));
}

TEST(NASConfigEquality, EveryFieldCounts) {
  const NASConfig base = decodeNASConfig(fullDocument());
  std::vector<std::function<void(NASConfig&)>> changes = {
      [](NASConfig& c) { c.molerunAddr += "x"; }, [](NASConfig& c) { c.smbShare += "x"; },
      [](NASConfig& c) { c.destSubdir += "x"; },  [](NASConfig& c) { c.localPort++; },
      [](NASConfig& c) { c.remoteSMB += "x"; },   [](NASConfig& c) { c.nasLabel += "x"; },
      [](NASConfig& c) { c.nasUserDefault.reset(); },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    NASConfig changed = base;
    changes[i](changed);
    EXPECT_NE(changed, base) << "field " << i;
  }
}

TEST(NASConfigText, ExactForm) {
  NASConfig c = decodeNASConfig(fullDocument());
  EXPECT_EQ(c.describe(),
            "NASConfig(molerunAddr: <redacted>, smbShare: photos, destSubdir: Kelvane, localPort: 44445, "
            "remoteSMB: 10.0.0.5:445, nasLabel: Attic NAS)");
  std::ostringstream out;
  out << c;
  EXPECT_EQ(out.str(), c.describe());
}

TEST(NASConfigText, NeverContainsTheTunnelAddress) {
  struct Row {
    const char* name;
    NASConfig config;
  };
  const std::vector<Row> rows = {
      {"hostAndPort", {"molerun.kelvane.net:7443", "photos", "Kelvane", 44445, "445", "Synology", std::nullopt}},
      {"ipv6", {"[2001:db8::7]:9000", "share", "a/b", 1, "10.0.0.2:445", "NAS", "bob"}},
      {"withUserDefault", {"tunnel-xyz.internal", "p", "d", 65535, "nas:445", "Home", "tunnel-xyz.internal"}},
      {"emptyOthers", {"only-secret-here", "", "", 0, "", "", std::nullopt}},
  };
  for (const Row& row : rows) {
    std::string text = row.config.describe();
    EXPECT_EQ(text.find(row.config.molerunAddr), std::string::npos) << row.name << ": " << text;
    EXPECT_NE(text.find("molerunAddr: <redacted>"), std::string::npos) << row.name;
    EXPECT_EQ(text.find("nasUserDefault"), std::string::npos) << row.name;
  }
}

}  // namespace
}  // namespace kv
