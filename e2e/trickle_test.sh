#!/bin/bash
# A server that trickles its answer (one byte every 1.5 s) holds the daemon's
# event loop for no longer than the 30 s download deadline: the download ends
# as a time-out, and a command queued meanwhile is answered right after.
# About 35 s long: runs in the normal variant only.
# Usage: trickle_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root, without namespaces or python3, or under an
# emulator or a sanitizer.
set -u
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/hostile_lib.sh"
e2e_test_begin "$@"
hostile_normal_variant_only
active=$E2E_DEV/etc-upper/zentro/active.cfg

document=$E2E_SRV_DIR/document.xml
printf '<?xml version="1.0"?>\n<zentro><line number="1" user="e2e-trickle"/></zentro>' > "$document"
hostile_start_http "$document"
e2e_start_server "$E2E_SERVER_PROGRAM" -- --url-template "$(hostile_url_template)"
e2e_start_agent --
# Normal variant only: no emulator, so the daemon runs under its unit's limit.
e2e_start_daemon "${E2E_EMULATOR[@]}"
e2e_wait_for 20 e2e_file_has "$E2E_DEV/tmp/apply-config.log" /etc/zentro/active.cfg \
    || e2e_fail "the whole document was not applied"
cp "$active" "$E2E_DIR/active.good"

# The next download trickles; the one after it (asked for by the queued
# command) gets the whole document again.
hostile_mode trickle
hostile_update
e2e_wait_for 15 e2e_file_has "$E2E_SRV_DIR/http.log" "request: trickle" || e2e_fail "no trickled download began"
begin=$(e2e_now_ms)
hostile_mode whole
e2e_dev "$E2E_DEV_BIN/autoprovision-cmd" --timeout-ms 60000 update > "$E2E_DIR/queued.out" 2>&1 \
    || { cat "$E2E_DIR/queued.out"; e2e_fail "the queued command got no answer within 60 s"; }
answered=$(($(e2e_now_ms) - begin))
grep -qx "autoprovision-cmd: update: accepted" "$E2E_DIR/queued.out" || e2e_fail "queued command: $(cat "$E2E_DIR/queued.out")"
e2e_wait_for 10 hostile_http_ended trickle 1 || e2e_fail "the trickled download did not end"
grep -qE "^trickle: [0-9]+ body bytes, client closed after (29|30|31)\.[0-9] s$" "$E2E_SRV_DIR/http.log" \
    || e2e_fail "the trickled download did not end at 30 s: $(grep '^trickle' "$E2E_SRV_DIR/http.log")"
e2e_expect_trace 1 stamped "AutoProvisionClient::Recieved failed(time expire)"
if [ "$answered" -lt 25000 ] || [ "$answered" -gt 34000 ]; then
    e2e_fail "the queued command was answered after $answered ms, expected right after the 30 s deadline"
fi
cmp -s "$E2E_DIR/active.good" "$active" || e2e_fail "the trickled stump was installed"
e2e_ok "trickle: download ended at 30 s as a time-out, queued command answered after $answered ms"
exit 0
