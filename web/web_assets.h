#pragma once
// The page's files, built into the program from web/assets and Debian's
// libjs-chart.js (see web/CMakeLists.txt): nothing is read from disk.

#include <string_view>

extern const std::string_view kIndexHtml;
extern const std::string_view kMeterHtml;

struct WebAsset {
  const char* path;  // as the page asks for it
  const char* type;
  const std::string_view& body;
};
extern const WebAsset kWebAssets[3];
