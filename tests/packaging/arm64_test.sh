#!/usr/bin/env bash
# The arm64 tools package as a board runs it: its programs, unpacked, under
# qemu-user against its own qm4sim on a pseudo terminal, beside this build's
# amd64 pylaxctl, whose output each must equal.
#   arm64_test.sh ARM64_DEB AMD64_PYLAXCTL
set -euo pipefail
deb=$(realpath "$1") host=$(realpath "$2")
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work"

[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "$deb is not arm64"
# Every library it depends on is one an arm64 Debian installs.
for p in $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/[,|]/ /g'); do
  [ "$(dpkg-query -W -f '${Architecture}' "$p:arm64" 2>/dev/null)" = arm64 ] || fail "Depends names $p, not installed for arm64"
done
lint=$(lintian "$deb" 2>/dev/null) || fail "lintian: $lint"
! grep -E '^[EW]:' <<<"$lint" || fail "lintian"
dpkg-deb -x "$deb" root
arm() { qemu-aarch64 "$work/root/usr/bin/$1" "${@:2}"; }
for p in pylaxctl qm4sim; do [[ "$(arm $p --version)" == "$p "[0-9]* ]] || fail "$p does not start"; done

qemu-aarch64 root/usr/bin/qm4sim --link "$work/qm4" --meter 3:QM4C --meter 7:QM4A --static --log-sequence --prefill 130 >sim.out &
pids+=($!)
for _ in $(seq 100); do grep -q '^ready' sim.out && break; sleep 0.1; done
grep -q '^ready' sim.out || fail "qm4sim does not start"

# scan, read (but its running clock), download and sync, by both tools.
for tool in arm host; do
  mkdir $tool && cd $tool
  run() { if [ $tool = arm ]; then arm pylaxctl "$@"; else "$host" "$@"; fi; }
  run --port "$work/qm4" scan >scan
  run --port "$work/qm4" --slave 3 read | grep -v '^CLOCK' >read
  run --port "$work/qm4" --slave 3 log download 2>download.err
  run --port "$work/qm4" --slave 3 log sync --archive "sqlite:$work/$tool/a.sqlite" >/dev/null
  "$host" archive export --archive "sqlite:$work/$tool/a.sqlite" --output export.csv 2>/dev/null
  cd ..
done
grep -q '^07 - Orvant QM4A' arm/scan || fail "scan: $(cat arm/scan)"
for f in 03-data.csv export.csv; do [ "$(wc -l <arm/$f)" = 131 ] || fail "$f: not 130 entries"; done
for f in scan read 03-data.csv export.csv; do cmp arm/$f host/$f || fail "$f differs from amd64's"; done

# The monitor, a few rounds: /metrics and the page on a free loopback port.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
qemu-aarch64 root/usr/bin/pylaxctl --port "$work/qm4" monitor --interval 1 --http 127.0.0.1:$port --prometheus 127.0.0.1:$port 2>monitor.err &
pids+=($!)
rounds='"address":3,[^}]*"polls":([3-9]|[1-9][0-9]+),'
for _ in $(seq 60); do
  curl -sf "http://127.0.0.1:$port/api/meters" >meters 2>/dev/null && grep -qE "$rounds" meters && break
  sleep 1
done
grep -qE "$rounds" meters || fail "monitor: not 3 rounds; $(cat monitor.err)"
curl -sf "http://127.0.0.1:$port/metrics" >metrics
for m in '3",model="QM4C' '7",model="QM4A'; do grep -q "^pylax_up{meter=\"[^\"]*_qm4_$m\"} 1$" metrics || fail "metrics: $m"; done
curl -sf "http://127.0.0.1:$port/" | grep -q '^<!DOCTYPE html>' || fail "page"
echo "arm64 tools: all cases pass"
