#!/bin/bash
# The daemon's footprint on the device: the time from its start to the
# configurator's apply of the first configuration, and its CPU time and
# resident memory while idle.
#
# Usage (root): bench/footprint.sh [--build DIR] [--idle SECONDS]
#   --build DIR     build directory with the daemon and apc-queue-driver;
#                   configured (Release) and built there when they are missing
#                   (default: build/bench of the source tree)
#   --idle SECONDS  length of the idle measurement (default 30)
#
# Set-up (bench/lib.sh on e2e/lib.sh): the device's and the server's network
# namespaces joined by a veth pair (eth1 on the device), a private mount
# namespace for the device's files, apc-queue-driver as the presence agent
# answering the first SUBSCRIBE at once with a NOTIFY, and a python3
# http.server on the server's side that closes its connections. The apply is
# seen by the configurator's apply hook, which stamps the time.
# Exit status: 0 when both targets are met, 1 otherwise, 77 when skipped.
set -u
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/lib.sh
source "$source_dir/bench/lib.sh"

build_dir=$source_dir/build/bench
idle=30
args=("$@")
while [ $# -gt 0 ]; do
    case $1 in
    --build) build_dir=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--idle SECONDS]"; exit 2 ;;
    esac
done
{ [[ $idle =~ ^[1-9][0-9]*$ ]] && [ "$idle" -le 600 ]; } || { echo "idle: 1 to 600 seconds"; exit 2; }

bench_require_namespaces
e2e_enter_private_mounts "${args[@]}"

bench_build "$build_dir" "the daemon and apc-queue-driver" -DCMAKE_BUILD_TYPE=Release
daemon=$build_dir/core/autoprovisionclient
driver=$build_dir/bench/apc-queue-driver

bench_setup "$daemon" "$driver" 16384
bench_start_driver
bench_driver 5 auto-notify "$BENCH_URL" || e2e_fail "driver: $BENCH_REPLY"

# Start to apply: from just before the daemon is started to the hook's stamp.
start_ms=$(e2e_now_ms)
# shellcheck disable=SC2119  # no emulator: the daemon runs natively
bench_start_daemon
bench_driver 20 wait-applied "$BENCH_APPLIED" 1 15000 || e2e_fail "no apply within 15 s: $BENCH_REPLY"
applied_ms=$(head -n 1 "$E2E_DEV/tmp/apply-config.log")
bench_driver 5 state || e2e_fail "driver: $BENCH_REPLY"
subscribe_ms=$(bench_reply_field at_ms)
[ -s "$E2E_DEV/etc-upper/zentro/active.cfg" ] || e2e_fail "no /etc/zentro/active.cfg after the apply"
bench_driver 5 auto-notify off || e2e_fail "driver: $BENCH_REPLY"
startup=$((applied_ms - start_ms))

# Idle: the daemon has applied its configuration and waits for commands.
# The sleep is the measuring window itself, not a wait for an event.
pid=$BENCH_DAEMON_PID
e2e_alive "$pid" || e2e_fail "the daemon ended"
ticks0=$(bench_cpu_ticks "$pid")
ns0=$(bench_cpu_ns "$pid")
wall0=$(e2e_now_ms)
sleep "$idle"
ticks1=$(bench_cpu_ticks "$pid")
ns1=$(bench_cpu_ns "$pid")
wall1=$(e2e_now_ms)
rss=$(bench_rss_kib "$pid")
e2e_alive "$pid" || e2e_fail "the daemon ended while idle"
hz=$(getconf CLK_TCK)

status=0
verdict() { if [ "$1" = 1 ]; then echo PASS; else echo FAIL; status=1; fi; }
echo "start to apply: $startup ms (start to SUBSCRIBE $((subscribe_ms - start_ms)) ms," \
     "SUBSCRIBE to apply $((applied_ms - subscribe_ms)) ms; 16 KiB document, server closes)"
echo "  $(verdict $((startup < 300))): target under 300 ms"
read -r percent ticks_ms < <(awk -v ns=$((ns1 - ns0)) -v wall=$((wall1 - wall0)) -v ticks=$((ticks1 - ticks0)) \
    -v hz="$hz" 'BEGIN { printf "%.4f %d\n", ns / (wall * 1e6) * 100, ticks * 1000 / hz }')
echo "idle for $(((wall1 - wall0) / 1000)) s: CPU $(((ns1 - ns0) / 1000000)) ms (utime+stime ${ticks_ms} ms)" \
     "= ${percent} % of one core; VmRSS $rss KiB"
echo "  $(verdict "$(awk -v p="$percent" 'BEGIN { print (p < 0.2) ? 1 : 0 }')"): target under 0.2 % of one core"

# The apply path at 16 MiB. The document is one byte short of 16 MiB: the
# stored file adds a line end and the configurator takes files up to 16 MiB.
big_bytes=$((16 * 1024 * 1024 - 1))
disk=$(mktemp -d /var/tmp/apc-footprint.XXXXXX) || e2e_fail "mktemp under /var/tmp"
footprint_cleanup()
{
    local code=$?
    rm -rf "$disk"
    (exit "$code")
    e2e_cleanup
}
trap footprint_cleanup EXIT
cp -a "$E2E_DEV/etc-upper/zentro/." "$disk/" || e2e_fail "copy of /etc/zentro"
e2e_dev mount --bind "$disk" /etc/zentro || e2e_fail "/etc/zentro on the disk"
python3 - "$big_bytes" "$BENCH_WWW/cfg-16MiB.xml" << 'DOCUMENT'
import sys
size, path = int(sys.argv[1]), sys.argv[2]
head, tail = '<?xml version="1.0" encoding="UTF-8"?>\n<zentro>\n', '</zentro>'
parts, total, i = [head], len(head) + len(tail), 0
# Whole elements only, then blanks up to the size: the configurator takes
# well-formed documents only.
while True:
    line = '  <param name="line.%d" value="%d"/>\n' % (i, i)
    if total + len(line) > size:
        break
    parts.append(line); total += len(line); i += 1
open(path, 'w').write(''.join(parts) + ' ' * (size - total) + tail)
DOCUMENT
[ "$(stat -c %s "$BENCH_WWW/cfg-16MiB.xml")" = "$big_bytes" ] || e2e_fail "the 16 MiB document"
bench_driver 60 download 1 "${BENCH_URL%/*}/cfg-16MiB.xml" "$BENCH_APPLIED" 30000 ||
    e2e_fail "16 MiB download: $BENCH_REPLY"
notify_to_apply=$(bench_reply_field median_ms)
sent_ms=$(bench_reply_field sent_ms)
hook_ms=$(tail -n 1 "$E2E_DEV/tmp/apply-config.log")
# The server numbered its answer over the padding: the applied file is the
# served one with that comment in place of as many blanks, and a line end.
python3 - "$BENCH_WWW/cfg-16MiB.xml" "$disk/active.cfg" << 'SAME' ||
import re, sys
served, applied = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
unmarked = re.sub(rb"<!-- [0-9]+ -->(?=</zentro>)", lambda m: b" " * len(m.group(0)), applied)
sys.exit(0 if unmarked == served + b"\n" else 1)
SAME
    e2e_fail "/etc/zentro/active.cfg is not the 16 MiB document"
big_rss=$(bench_rss_kib "$pid")

echo "apply path, 16 MiB document: NOTIFY to apply hook $((hook_ms - sent_ms)) ms (the driver saw the" \
     "hook's line after ${notify_to_apply} ms); /etc/zentro on the disk ($(df --output=fstype "$disk" | tail -n 1)); VmRSS after it $big_rss KiB"
# Phases from the trace log's stamps (milliseconds), the modification times
# of the stored file and of the new active file, and the hook's stamp.
python3 - "$sent_ms" "$hook_ms" "$E2E_DEV/log/autoprovisionclient.log" "$E2E_DEV/tmp/httpipeconfig" \
    "$disk/active.cfg" << 'PHASES' || e2e_fail "the trace log lacks a line of the apply path"
import glob, os, sys, time
sent, hook, log, stored_dir, active = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
marks = {"notified": "OnNotify:URL = ", "request": "Recieve Notify Message form SIP",
         "received": "Recieved failed(", "stored": "Start Zentro Configuration Controller"}
stamps = {}
for line in open(log, errors="replace"):
    date, _, rest = line.partition("\t.")
    try:
        ms = int(time.mktime(time.strptime(date, "%a %b %d %H:%M:%S %Y"))) * 1000 + int(rest[:3])
    except ValueError:
        continue
    for name, text in marks.items():
        if text in rest and ms >= sent - 1000:
            stamps[name] = ms
missing = [name for name in marks if name not in stamps]
if missing:
    sys.exit("missing: " + ", ".join(missing))
stored_file = max(glob.glob(os.path.join(stored_dir, "*.cfg")), key=os.path.getmtime)
stored = max(os.stat(stored_file).st_mtime_ns // 1000000, stamps["received"])
written = os.stat(active).st_mtime_ns // 1000000
rows = [("NOTIFY to the daemon's trace of it", stamps["notified"] - sent),
        ("to the start of the download", stamps["request"] - stamps["notified"]),
        ("connect, request and reception of the answer", stamps["received"] - stamps["request"]),
        ("store: the document cut out and written to /tmp/httpipeconfig", stored - stamps["received"]),
        ("to the configurator's start", stamps["stored"] - stored),
        ("configurator: read, check, write active.cfg.new", written - stamps["stored"]),
        ("configurator: fsync, keep previous.cfg, rename, fsync the directory, apply hook", hook - written)]
for text, ms in rows:
    print("  %-80s %5d ms" % (text, ms))
PHASES
exit $status
