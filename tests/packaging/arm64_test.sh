#!/usr/bin/env bash
# arm64_test.sh ARM64_DEB AMD64_PYLAXCTL: the arm64 tools unpacked, under qemu-user, against
# their own qm4sim; each command's output must equal this build's amd64 pylaxctl's.
set -euxo pipefail  # -x: a failure shows its command
deb=$(realpath "$1") host=$(realpath "$2") w=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$w"' EXIT
cd "$w" && dpkg-deb -x "$deb" root && arm="qemu-aarch64 $w/root/usr/bin"
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ]
for p in $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/[,|]/ /g'); do dpkg-query -W "$p:arm64"; done
lintian "$deb" 2>/dev/null | grep -E '^[EW]:' && exit 1
$arm/qm4sim --link "$w/qm4" --meter 3:QM4C --meter 7:QM4A --static --log-sequence --prefill 130 >sim.out &
for _ in $(seq 100); do grep -q ^ready sim.out && break; sleep 0.1; done; grep -q ^ready sim.out
for t in arm host; do
  mkdir $t && cd $t && ctl=$([ $t = arm ] && echo "$arm/pylaxctl" || echo "$host")
  $ctl --port "$w/qm4" scan >scan.txt
  $ctl --port "$w/qm4" --slave 3 read | grep -v ^CLOCK >read.txt  # but its running clock
  $ctl --port "$w/qm4" --slave 3 log download 2>/dev/null
  $ctl --port "$w/qm4" --slave 3 log sync --archive "sqlite:$w/$t/a.sqlite"
  "$host" archive export --archive "sqlite:$w/$t/a.sqlite" --output export.csv; cd ..
done
[ "$(wc -l <arm/scan.txt) $(cat arm/03-data.csv arm/export.csv | wc -l)" = "2 262" ]  # 2 meters; 130 rows each
for f in scan.txt read.txt 03-data.csv export.csv; do cmp arm/$f host/$f; done
# The monitor, three rounds, on a free loopback port: /metrics, the page.
url=http://127.0.0.1:$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
$arm/pylaxctl --port "$w/qm4" monitor --interval 1 --http "${url#http://}" --prometheus "${url#http://}" &
timeout 60 sh -c "until curl -sf $url/api/meters | grep -qE '\"address\":3,[^}]*\"polls\":([3-9]|[1-9][0-9]),'; do sleep 1; done"
[ "$(curl -sf "$url/metrics" | grep -cE '^pylax_up\{meter="[^"]*_qm4_[37]",model="QM4[CA]"\} 1$')" = 2 ]
curl -sf "$url/" | grep -q '^<!DOCTYPE html>'
