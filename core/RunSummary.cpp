#include "core/RunSummary.h"

#include "core/JsonFields.h"

namespace kv {

using nlohmann::json;

nlohmann::json encodeRunSummary(const RunSummary& s) {
  return json{
      {"trigger", s.trigger},
      {"startedAt", jsonfield::encodeDate(s.startedAt)},
      {"endedAt", jsonfield::encodeDate(s.endedAt)},
      {"assetsSeen", s.assetsSeen},
      {"resourcesVerified", s.resourcesVerified},
      {"resourcesFailed", s.resourcesFailed},
      {"bytesCopied", s.bytesCopied},
      {"outcome", s.outcome},
  };
}

std::string encodeRunSummaryText(const RunSummary& summary) { return encodeRunSummary(summary).dump(); }

RunSummary decodeRunSummary(const nlohmann::json& doc) {
  jsonfield::requireObject(doc);
  RunSummary s;
  s.trigger = jsonfield::requireValue<RunTrigger>(doc, "trigger");
  s.startedAt = jsonfield::requireDate(doc, "startedAt");
  s.endedAt = jsonfield::requireDate(doc, "endedAt");
  s.assetsSeen = jsonfield::requireInt64(doc, "assetsSeen");
  s.resourcesVerified = jsonfield::requireInt64(doc, "resourcesVerified");
  s.resourcesFailed = jsonfield::requireInt64(doc, "resourcesFailed");
  s.bytesCopied = jsonfield::requireInt64(doc, "bytesCopied");
  s.outcome = jsonfield::requireValue<RunOutcome>(doc, "outcome");
  return s;
}

RunSummary decodeRunSummaryText(std::string_view text) {
  json doc = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) throw DecodingError("", "the run summary is not valid JSON");
  return decodeRunSummary(doc);
}

void to_json(nlohmann::json& j, const RunSummary& summary) { j = encodeRunSummary(summary); }
void from_json(const nlohmann::json& j, RunSummary& summary) { summary = decodeRunSummary(j); }

}  // namespace kv
