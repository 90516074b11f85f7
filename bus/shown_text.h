#pragma once
// Text from the bus or the network as it may be shown where UTF-8 is due
// (JSON, MQTT, the page, /metrics).

#include <string>

// The text with each byte that is no part of a well-formed UTF-8 character
// replaced by U+FFFD; well-formed text comes back unchanged.
std::string ValidUtf8(const std::string& text);
