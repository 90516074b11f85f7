#pragma once
// Text from the bus or the network as it may be shown where UTF-8 is due
// (JSON, MQTT, the page, /metrics) and on a terminal or in a log line.

#include <string>

// The text with each byte that is no part of a well-formed UTF-8 character
// replaced by U+FFFD; well-formed text comes back unchanged.
std::string ValidUtf8(const std::string& text);

// ValidUtf8's text with each control character (C0, DEL, C1) written as
// \xNN, so that text a meter or a client sent can neither move the
// terminal's cursor, retitle or recolour it, nor start a new log line.
std::string TerminalText(const std::string& text);
