#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under the address and
# undefined-behaviour sanitizers (in build-fuzz, apart from the ordinary
# builds) and runs each for SECONDS (default 180), as many at once as there
# are cores, starting from its checked-in seed corpus. Prints each target's executions
# and the coverage it reached (libFuzzer's cov: edges and ft: features).
# An input that crashed, hung or tripped a sanitizer is copied into
# fuzz/regressions/<target>/, where ctest replays it in the ordinary builds;
# the script then ends with 1.
#
#   scripts/fuzz.sh [SECONDS [TARGET ...]]    (all targets when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-180}
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for seeds in fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi
jobs=$(nproc 2>/dev/null || echo 2)
build=build-fuzz

# Line tables are all a crash report needs, and cost far less to build than
# full debug information.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DPYLAX_FUZZ=ON -DPYLAX_BUILD_GUI=OFF -DPYLAX_BUILD_TESTS=OFF -DPYLAX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target pylax_fuzz

# Runs one target and writes its line of the table to $work/result.
fuzz_one() {
  local name=$1 seeds=fuzz/corpus/$1 work=$build/fuzz/run/$1 status=0
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  # New inputs go to the working corpus; the checked-in seeds are only read.
  # stdout is closed: pylaxctl's parser prints its help there.
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -close_fd_mask=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds" >"$work/log.txt" 2>&1 || status=$?
  local executions coverage cov ft result=ok
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt" | tail -1)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$work/log.txt" | tail -1 || true)
  cov=$(echo "$coverage" | awk '{print $2}')
  ft=$(echo "$coverage" | awk '{print $4}')
  if compgen -G "$work/artifacts/*" >/dev/null; then
    mkdir -p "fuzz/regressions/$name"
    cp "$work"/artifacts/* "fuzz/regressions/$name/"
    result="FOUND: $(cd "$work/artifacts" && ls | tr '\n' ' ')-> fuzz/regressions/$name/ (log: $work/log.txt)"
  elif [ "$status" -ne 0 ]; then
    result="ended with $status (log: $work/log.txt)"
  fi
  printf '%-18s %12s %8s %8s  %s\n' "$name" "${executions:-?}" "${cov:-?}" "${ft:-?}" "$result" >"$work/result"
}

# As many targets at once as there are cores, each on one.
for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  fuzz_one "$name" &
done
wait

found=0
printf '%-18s %12s %8s %8s  %s\n' target executions cov ft result
for name in "${targets[@]}"; do
  line=$(cat "$build/fuzz/run/$name/result")
  echo "$line"
  case "$line" in *"  ok") ;; *) found=1 ;; esac
done
exit $found
