#include "util/utc_text.h"

std::string UtcText(time_t time) {
  struct tm utc {};
  char text[32] = "";
  if (gmtime_r(&time, &utc) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
