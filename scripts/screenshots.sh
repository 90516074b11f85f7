#!/usr/bin/env bash
# Saves pictures of the windows into docs/: the terms dialog (terms.png), the
# console polling a simulated QM4C (console.png), its about box (about.png),
# its trace window (commtrace.png), the console with its meter not answering
# (console-not-answering.png), its trend window (trend.png) and the plot
# of a full 60-day log (plot.png), and the monitor's page of a simulated
# QM4C (web.png). Builds nothing: it runs the window tests that take them,
# from an existing build, on a virtual X display, and the page's test in a
# headless chromium (which keeps the meter moving for 150 s first).
#   scripts/screenshots.sh [BUILD_DIR [OUT_DIR]]   (defaults: build, docs)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
out=$(realpath -m "${2:-$top/docs}")

# The chart windows on a laptop's screen, the size they are made to read at.
drivers=("$build/tests/gui/test_gui_screenshots" "$build/tests/charts/test_charts_screenshots"
         "$build/tests/web/test_web")
screens=("1280x1024" "1366x768")
for driver in "${drivers[@]}"; do
  if [ ! -x "$driver" ]; then
    echo "screenshots: $driver is not built; build first: cmake --build $build" >&2
    exit 1
  fi
done
mkdir -p "$out"
for i in 0 1; do
  xvfb-run -a -s "-screen 0 ${screens[$i]}x24" \
    env QT_QPA_PLATFORM=xcb PYLAX_SCREENSHOT_DIR="$out" "${drivers[$i]}"
done
# The page's test hands over the browser's PNG as base64.
PYLAX_WEB_SCREENSHOT="$out/web.png.base64" "${drivers[2]}" --gtest_filter='Page.*'
base64 -d "$out/web.png.base64" > "$out/web.png"
rm "$out/web.png.base64"
