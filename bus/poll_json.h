#pragma once
// One poll's readings as JSON members, in the order and with the keys that
// pylaxctl read --json writes; the monitor's state objects carry the same.

#include <optional>
#include <string>
#include <vector>

#include "bus/poll.h"

// The label of each float pair of the reading block (register numbers
// 259 + 2k); the last pair has none and is not shown.
std::string PairLabel(int pair);

// The status texts a QM4C poll fills, by their key.
struct NamedText {
  const char* key;
  const std::optional<std::string>* text;
};
std::vector<NamedText> StatusTexts(const PollFields& fields);

// A key and its value already written as JSON.
struct JsonMember {
  std::string key;
  std::string value;
};
// Each labelled pair read, then each status text the poll filled.
std::vector<JsonMember> ReadingMembers(const PollFields& fields);
// {"key":value,...} of the members in their order.
std::string JsonObject(const std::vector<JsonMember>& members);

// The shortest text that reads back as the same float; null for NaN and the
// infinities, which JSON cannot carry.
std::string JsonNumber(float value);
std::string JsonString(const std::string& text);
