#!/usr/bin/env bash
# The full-log download (10 slots x 5760 entries, 38400 baud, length framing)
# by the amd64 pylaxctl and by the arm64 one under qemu-user, in turn, from
# one amd64 qm4sim (so both see the same paced line): each run's wall and CPU
# time, the medians and their ratio arm64 / amd64. The CSVs must be equal.
#   bash bench/bus/download_arm64.sh [AMD64_BUILD] [ARM64_BUILD] [RUNS]
# (builds: build and build-arm64; RUNS of each: 3)
set -euo pipefail
cd "$(dirname "$0")/../.."
amd=$(realpath "${1:-build}") arm=$(realpath "${2:-build-arm64}") runs=${3:-3}
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim"; rm -rf "$work"' EXIT

"$amd/sim/qm4sim" --link "$work/qm4" --meter 3:QM4C --baud 38400 --static --log-sequence --prefill 5760 >"$work/sim.out" &
sim=$!
for _ in $(seq 100); do grep -q '^ready' "$work/sim.out" && break; sleep 0.1; done

# One download into a folder of its own; prints "wall cpu" in seconds.
download() {
  local dir=$work/$1; shift
  mkdir -p "$dir" && cd "$dir"
  local TIMEFORMAT='%R %U %S'
  { time "$@" --port "$work/qm4" --slave 3 --framing length log download >/dev/null 2>&1; } 2>"$dir/time"
  cd - >/dev/null
  awk '{ printf "%.2f %.2f\n", $1, $2 + $3 }' "$dir/time"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "run  amd64 wall/cpu s  arm64 (qemu-user) wall/cpu s"
for i in $(seq "$runs"); do
  a=$(download amd64 "$amd/cli/pylaxctl") b=$(download arm64 qemu-aarch64 "$arm/cli/pylaxctl")
  echo "$i    $a        $b" | tee -a "$work/runs"
  cmp -s "$work/amd64/03-data.csv" "$work/arm64/03-data.csv" || { echo "the CSVs differ" >&2; exit 1; }
done
wa=$(awk '{ print $2 }' "$work/runs" | median) wb=$(awk '{ print $4 }' "$work/runs" | median)
ca=$(awk '{ print $3 }' "$work/runs" | median) cb=$(awk '{ print $5 }' "$work/runs" | median)
echo "median wall: amd64 $wa s, arm64 $wb s, ratio $(awk -v a="$wa" -v b="$wb" 'BEGIN { printf "%.3f", b / a }')"
echo "median CPU:  amd64 $ca s, arm64 $cb s, ratio $(awk -v a="$ca" -v b="$cb" 'BEGIN { printf "%.2f", b / a }')"
