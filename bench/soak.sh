#!/bin/bash
# Soak test of the daemon built with AddressSanitizer: in the set-up of
# footprint.sh it receives, through apc-queue-driver, 10,000 invalid datagrams
# on queues 125 and 126, 10,000 notifications for identifiers that are not
# current, 1,000 commands ("status", "update", unknown words, an unknown
# update type; never "reboot" or "reset") and 100 real downloads, in ten
# rounds. It must keep serving (every download applied, nothing else
# applied), end with a resident size within 10 % of the one after the first
# download, keep its trace log and the one backup under 2 x 256 KiB plus a
# line, and report nothing through AddressSanitizer. Takes about a minute.
#
# Usage (root): bench/soak.sh [--build DIR]
#   --build DIR  AddressSanitizer build directory (-DAPC_SANITIZE=address);
#                configured and built there when the programs are missing
#                (default: build/bench-asan of the source tree)
# Exit status: 0 when every check holds, 1 otherwise, 77 when skipped.
set -u
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/lib.sh
source "$source_dir/bench/lib.sh"

build_dir=$source_dir/build/bench-asan
args=("$@")
while [ $# -gt 0 ]; do
    case $1 in
    --build) build_dir=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR]"; exit 2 ;;
    esac
done

bench_require_namespaces
e2e_enter_private_mounts "${args[@]}"

bench_build "$build_dir" "the daemon with AddressSanitizer" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAPC_SANITIZE=address
daemon=$build_dir/core/autoprovisionclient
driver=$build_dir/bench/apc-queue-driver

rounds=10
garbage_per_round=1000
stale_per_round=1000
commands_per_round=100
downloads=100
log_bound=$((2 * 256 * 1024 + 2048))

bench_setup "$daemon" "$driver" 16384
bench_start_driver
# Reports go to files on the device's /tmp; a report makes the run fail.
# Without a quarantine freed blocks are reused at once, and the allocator
# hands unused pages back to the system at every chance: the resident size
# then follows what the daemon holds rather than the sanitizer's caches
# (which otherwise keep about 2 MiB more after the first round).
bench_start_daemon env ASAN_OPTIONS=log_path=/tmp/asan:quarantine_size_mb=0:allocator_release_to_os_interval_ms=0:abort_on_error=0 \
    UBSAN_OPTIONS=log_path=/tmp/ubsan:print_stacktrace=1
pid=$BENCH_DAEMON_PID
bench_driver 20 wait-subscribe 15000 || e2e_fail "no SUBSCRIBE from the daemon: $BENCH_REPLY"

status=0
check() { if [ "$1" = 1 ]; then echo "  PASS: $2"; else echo "  FAIL: $2"; status=1; fi; }
started=$(e2e_now_ms)

done_downloads=0
rss_first=

# The first download ends the first round of the other traffic, so that the
# baseline is taken once every kind of message has been through the daemon.
for ((round = 1; round <= rounds; ++round)); do
    bench_driver 120 garbage "$garbage_per_round" "$round" || e2e_fail "round $round: $BENCH_REPLY"
    bench_driver 120 stale "$stale_per_round" "$BENCH_URL" || e2e_fail "round $round: $BENCH_REPLY"
    bench_driver 120 commands "$commands_per_round" || e2e_fail "round $round: $BENCH_REPLY"
    count=$((downloads / rounds + (round <= downloads % rounds ? 1 : 0)))
    if [ -z "$rss_first" ]; then
        bench_driver 30 download 1 "$BENCH_URL" "$BENCH_APPLIED" 10000 || e2e_fail "first download: $BENCH_REPLY"
        rss_first=$(bench_rss_kib "$pid")
        done_downloads=1
        count=$((count - 1))
    fi
    bench_driver 300 download "$count" "$BENCH_URL" "$BENCH_APPLIED" 10000 ||
        e2e_fail "round $round downloads: $BENCH_REPLY"
    done_downloads=$((done_downloads + count))
    e2e_alive "$pid" || e2e_fail "the daemon ended in round $round"
    echo "round $round: $done_downloads downloads applied, VmRSS $(bench_rss_kib "$pid") KiB" \
         "(median download $(bench_reply_field median_ms) ms, notifications sent again" \
         "$(bench_reply_field resent))" | tee -a "$E2E_DIR/rounds.log"
done
rss_end=$(bench_rss_kib "$pid")
rss_round1=$(awk '/^round 1:/ { print $7 }' "$E2E_DIR/rounds.log")
bench_driver 5 state || e2e_fail "driver: $BENCH_REPLY"
subscribes=$(bench_reply_field subscribes)
elapsed=$((($(e2e_now_ms) - started) / 1000))

applied=$(wc -l < "$E2E_DEV/tmp/apply-config.log")
log=$E2E_DEV/log/autoprovisionclient.log
log_bytes=$(($(stat -c %s "$log" 2> /dev/null || echo 0) + $(stat -c %s "$log.1" 2> /dev/null || echo 0)))
reports=$(find "$E2E_DEV/tmp" -maxdepth 1 \( -name 'asan*' -o -name 'ubsan*' \) | wc -l)

echo "soak: $((rounds * garbage_per_round)) invalid datagrams, $((rounds * stale_per_round)) stale" \
     "notifications, $((rounds * commands_per_round)) commands, $done_downloads downloads in $elapsed s;" \
     "$subscribes subscriptions"
check "$(e2e_alive "$pid" && echo 1 || echo 0)" "the daemon still runs"
check $((applied == downloads)) "$applied applies for $downloads downloads (nothing stale applied)"
check "$(awk -v a="$rss_first" -v b="$rss_end" 'BEGIN { d = b - a; if (d < 0) d = -d; print (d * 10 <= a) ? 1 : 0 }')" \
      "VmRSS after the first download $rss_first KiB, at the end $rss_end KiB (within 10 %)"
echo "  (VmRSS after round 1: $rss_round1 KiB)"
check $((log_bytes < log_bound)) "trace log and backup $log_bytes bytes (bound $log_bound)"
check $((reports == 0)) "no sanitizer report"
if [ "$reports" != 0 ]; then
    head -n 40 "$E2E_DEV"/tmp/asan* "$E2E_DEV"/tmp/ubsan* 2> /dev/null
fi

# SIGTERM ends it as on the device: status 143 and one stop line.
kill -TERM "$pid"
for ((i = 0; i < 100; ++i)); do e2e_alive "$pid" || break; sleep 0.05; done
wait "$pid"
code=$?
check $((code == 143)) "SIGTERM ends the daemon (status $code)"
exit $status
