#include "web/web_assets.h"

extern const std::string_view kPylaxJs;
extern const std::string_view kPylaxCss;
extern const std::string_view kChartJs;

const WebAsset kWebAssets[3] = {
    {"/static/pylax.js", "text/javascript; charset=utf-8", kPylaxJs},
    {"/static/pylax.css", "text/css; charset=utf-8", kPylaxCss},
    {"/static/chart.min.js", "text/javascript; charset=utf-8", kChartJs},
};
