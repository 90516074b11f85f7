#include "bus/poll_json.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "util/shown_text.h"
#include "meter/register_map.h"

std::string PairLabel(int pair) { return RegisterLabel(static_cast<unsigned>(259 + 2 * pair)); }

std::vector<NamedText> StatusTexts(const PollFields& fields) {
  return {{"SUBINTERVAL", &fields.subInterval},   {"CLOCK", &fields.clock},
          {"ROLLOVERS", &fields.rollovers},       {"BUFFER", &fields.bufferStatus},
          {"DAYS-TO-ROLLOVER", &fields.daysToRollover}, {"LOG-ENTRIES", &fields.logEntries},
          {"NEWEST-ENTRY", &fields.newestEntry}};
}

std::vector<JsonMember> ReadingMembers(const PollFields& fields) {
  std::vector<JsonMember> members;
  for (int pair = 0; pair < fields.pairsRead; ++pair)
    if (!PairLabel(pair).empty()) members.push_back({PairLabel(pair), JsonNumber(fields.pairs[pair])});
  for (const NamedText& status : StatusTexts(fields))
    if (status.text->has_value()) members.push_back({status.key, JsonString(status.text->value())});
  return members;
}

std::string JsonObject(const std::vector<JsonMember>& members) {
  std::string json = "{";
  for (const JsonMember& member : members) {
    if (json.size() > 1) json += ",";
    json += JsonString(member.key) + ":" + member.value;
  }
  return json + "}";
}

// std::to_chars: a script sees 13720 and 1e+06, where nlohmann's dump would
// write 13720.0, 1000000.0, or the float widened to a double,
// 85.02485656738281.
std::string JsonNumber(float value) {
  if (value != value || value - value != 0) return "null";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// nlohmann's dump throws on text that is not UTF-8; text from the bus may be anything.
std::string JsonString(const std::string& text) { return nlohmann::json(ValidUtf8(text)).dump(); }
