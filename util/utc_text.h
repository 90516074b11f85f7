#pragma once
// Time as UTC text with seconds, ISO 8601, so that collectors, stores and
// readers in any time zone agree.

#include <ctime>
#include <string>

// "2026-12-07T12:49:28Z".
std::string UtcText(time_t time);
