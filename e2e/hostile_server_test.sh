#!/bin/bash
# Downloads that a broken or hostile server cuts short never leave the device
# on a broken configuration: half a document followed by a stall, half a
# document followed by a reset, and a document larger than the room left in
# /tmp/httpipeconfig. Each ends with the active configuration unchanged. So
# do an error page of another kind (an object store's <Error> document) under
# "404 Not Found" and under "200 OK".
# Usage: hostile_server_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root, without namespaces or without python3.
set -u
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/hostile_lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")
active=$E2E_DEV/etc-upper/zentro/active.cfg
stored=$(e2e_stored_file)
stored_on_device=/tmp/httpipeconfig/zentrofxs-$E2E_MAC_HEX.cfg

# A 149 KB document, so that half of it is many receive calls long.
document=$E2E_SRV_DIR/document.xml
{
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<zentro>'
    for ((i = 0; i < 2850; ++i)); do
        printf '  <param name="line.%d" value="%s"/>\n' "$i" "e2e-hostile-$i"
    done
    printf '</zentro>'
} > "$document"
size=$(stat -c %s "$document")
if [ "$size" -le 140000 ] || [ "$size" -ge 160000 ]; then e2e_fail "document of $size bytes"; fi

hostile_start_http "$document"
e2e_start_syslog
e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" -- --url-template "$(hostile_url_template)"
e2e_start_agent "${emulator[@]}" --
e2e_start_daemon "${emulator[@]}"

# ---- The whole document first: stored and applied.
e2e_wait_for 30 e2e_file_has "$E2E_DEV/tmp/apply-config.log" /etc/zentro/active.cfg \
    || e2e_fail "the whole document was not applied"
cmp -s <(cat "$document"; echo) "$active" || e2e_fail "active.cfg is not the whole document"
cp "$active" "$E2E_DIR/active.good"
applied=$(wc -l < "$E2E_DEV/tmp/apply-config.log")

# expect_active_kept WHAT: active.cfg is still the whole document, the hook did not run again.
expect_active_kept()
{
    cmp -s "$E2E_DIR/active.good" "$active" || e2e_fail "$1: active.cfg changed"
    [ "$(wc -l < "$E2E_DEV/tmp/apply-config.log")" = "$applied" ] || e2e_fail "$1: the apply hook ran"
}
# expect_syslog LINE: the system log's lines since the last call are exactly LINE.
syslog_seen=0
expect_syslog()
{
    local found
    found=$(e2e_syslog_lines | tail -n +$((syslog_seen + 1)))
    [ "$found" = "$1" ] || e2e_fail "system log: expected \"$1\", found \"$found\""
    syslog_seen=$(e2e_syslog_lines | wc -l)
}
e2e_ok "whole document ($size bytes) stored and applied"
# The half document is cut inside a start tag; the check stops at its end.
refused_half="11 autoprovisionclient: Configurator: $stored_on_device refused at byte $((size / 2 + 1)): malformed start tag"
syslog_seen=$(e2e_syslog_lines | wc -l)

# ---- Half the document, then silence: the idle time-out ends the download.
hostile_mode half-stall
hostile_provision "half, then a stall"
e2e_wait_for 10 hostile_http_ended half-stall 1 || e2e_fail "the server did not see the stalled download end"
grep -q "^half-stall: [0-9]* body bytes, client closed after [2-4]\.[0-9] s$" "$E2E_SRV_DIR/http.log" \
    || e2e_fail "the stalled download did not end 2 s after the stall: $(grep half-stall "$E2E_SRV_DIR/http.log")"
e2e_expect_trace 1 stamped "AutoProvisionClient::Recieved failed(time expire)"
cmp -s <(head -c $((size / 2)) "$document"; echo) "$stored" || e2e_fail "the stored file is not the half received"
expect_active_kept "half, then a stall"
expect_syslog "$refused_half"
e2e_ok "half a document, then a stall: ends by the 2 s time-out, stored as received, not installed"

# ---- Half the document, then a reset.
hostile_mode reset
closed_before=$(e2e_trace_count stamped "AutoProvisionClient::Recieved failed(no connection)")
hostile_provision "half, then a reset"
e2e_expect_trace $((closed_before + 1)) stamped "AutoProvisionClient::Recieved failed(no connection)"
e2e_wait_for 10 hostile_http_ended reset 1 || e2e_fail "the server did not reset"
expect_active_kept "half, then a reset"
expect_syslog "$refused_half"
e2e_ok "half a document, then a reset: not installed"

# ---- /tmp/httpipeconfig with 64 KiB of room and a 1 MiB document: the
# write fails, the file is left empty and nothing is installed.
e2e_dev mount -t tmpfs -o size=64k,mode=0755 e2e-full /tmp/httpipeconfig || e2e_fail "tmpfs on /tmp/httpipeconfig"
{
    echo '<?xml version="1.0"?>'
    echo '<zentro>'
    for ((i = 0; i < 20000; ++i)); do
        printf '  <param name="line.%d" value="%s"/>\n' "$i" "e2e-full-disk-value-$i"
    done
    printf '</zentro>'
} > "$document.big"
mv "$document.big" "$document"
[ "$(stat -c %s "$document")" -gt 1000000 ] || e2e_fail "the large document is too small"
hostile_mode whole
traces_before=$(wc -l < "$E2E_DEV/log/autoprovisionclient.log")
hostile_provision "full directory"
[ "$(e2e_dev stat -c %s "$stored_on_device")" = 0 ] || e2e_fail "the file in the full directory is not empty"
expect_active_kept "full directory"
# The failed write itself writes no trace line.
tail -n +$((traces_before + 1)) "$E2E_DEV/log/autoprovisionclient.log" | grep -i "fail" \
    | grep -v "Recieved failed(no connection)" > "$E2E_DIR/other-traces"
[ ! -s "$E2E_DIR/other-traces" ] || { cat "$E2E_DIR/other-traces"; e2e_fail "unexpected trace lines"; }
expect_syslog "11 autoprovisionclient: Configurator: $stored_on_device refused at byte 0: no XML declaration"
e2e_dev umount /tmp/httpipeconfig
e2e_ok "1 MiB document into 64 KiB of room: file left empty, nothing installed, no trace line"

# ---- A well-formed document of another kind, under 404 and under 200, is refused; the device's own is applied.
# The configurator runs after the trace line that hostile_provision waits for: its results are waited for.
refused_error="11 autoprovisionclient: Configurator: $stored_on_device refused: root element <Error>, expected <zentro>"
refusals_at_least() { [ "$(hostile_syslog_count "$refused_error")" -ge "$1" ]; }
own_applied() { cmp -s <(cat "$document"; echo) "$active"; }
printf '<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>NoSuchKey</Code></Error>' > "$document"
refusals=0
for mode in not-found whole; do
    hostile_mode "$mode"
    hostile_provision "foreign document ($mode)"
    refusals=$((refusals + 1))
    e2e_wait_for 10 refusals_at_least "$refusals" || e2e_fail "foreign document ($mode): not refused"
    expect_active_kept "foreign document ($mode)"
    expect_syslog "$refused_error"
done
printf '<?xml version="1.0"?>\n<zentro><line number="1" user="e2e-own"/></zentro>' > "$document"
hostile_provision "the device's own document"
e2e_wait_for 10 own_applied || e2e_fail "the device's own document was not applied"
e2e_ok "<Error> document under 404 and under 200: refused, said in the system log; the device's own applied"
exit 0
