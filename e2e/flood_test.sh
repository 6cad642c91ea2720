#!/bin/bash
# Memory and size bounds of a download, with the daemon under the address-space
# limit the service gives it (256 MiB): a 20 MiB document fits in memory but
# not in the configurator's limit, so its file is left empty; a 1 GiB answer
# runs out of memory, which ends as a failed request. Afterwards the daemon
# runs on, its resident size is back near where it was, the active
# configuration is unchanged and nothing in /tmp/httpipeconfig is larger than
# the configurator's limit. Normal variant only (large transfers).
# Usage: flood_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root, without namespaces, python3 or prlimit, or
# under an emulator or a sanitizer.
set -u
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/hostile_lib.sh"
e2e_test_begin "$@"
hostile_normal_variant_only
command -v prlimit > /dev/null || e2e_skip "needs prlimit from util-linux"
ADDRESS_SPACE=268435456
MAX_DOCUMENT_BYTES=$((16 << 20))
active=$E2E_DEV/etc-upper/zentro/active.cfg
stored=$(e2e_stored_file)

document=$E2E_SRV_DIR/document.xml
small='<?xml version="1.0"?>
<zentro><line number="1" user="e2e-flood"/></zentro>'
printf '%s' "$small" > "$document"
hostile_start_http "$document"
e2e_start_server "$E2E_SERVER_PROGRAM" -- --url-template "$(hostile_url_template)"
e2e_start_agent --
e2e_start_daemon prlimit --as=$ADDRESS_SPACE
[ "$(awk '$1 == "Max" && $2 == "address" { print $4 }' "/proc/$E2E_DAEMON_PID/limits")" = $ADDRESS_SPACE ] \
    || e2e_fail "the daemon does not run under the address-space limit"
e2e_wait_for 20 e2e_file_has "$E2E_DEV/tmp/apply-config.log" /etc/zentro/active.cfg \
    || e2e_fail "the small document was not applied"
e2e_expect_bytes "$active" "$small"$'\n' "active.cfg after the small document"
applied=$(wc -l < "$E2E_DEV/tmp/apply-config.log")
rss_kib() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$E2E_DAEMON_PID/status"; }
baseline=$(rss_kib)

# expect_kept WHAT: daemon alive, active.cfg and the hook as before, no file
# in /tmp/httpipeconfig larger than the limit.
expect_kept()
{
    e2e_alive "$E2E_DAEMON_PID" || e2e_fail "$1: the daemon ended"
    e2e_expect_bytes "$active" "$small"$'\n' "$1: active.cfg"
    [ "$(wc -l < "$E2E_DEV/tmp/apply-config.log")" = "$applied" ] || e2e_fail "$1: the apply hook ran"
    local large
    large=$(find "$E2E_DEV/tmp/httpipeconfig" -type f -size +$((MAX_DOCUMENT_BYTES))c)
    [ -z "$large" ] || e2e_fail "$1: files larger than $MAX_DOCUMENT_BYTES bytes: $large"
}

# ---- 20 MiB document: received whole, but the file is left empty.
{
    echo '<?xml version="1.0"?>'
    echo '<zentro>'
    head -c $((20 << 20)) /dev/zero | tr '\0' 'x' | fold -w 100 | sed 's/^.*$/  <p v="&"\/>/'
    printf '</zentro>'
} > "$document"
hostile_provision "20 MiB document"
e2e_expect_trace 2 stamped "AutoProvisionClient::Recieved failed(no connection)"
[ "$(stat -c %s "$stored")" = 0 ] || e2e_fail "the 20 MiB document was stored ($(stat -c %s "$stored") bytes)"
expect_kept "20 MiB document"
e2e_ok "20 MiB document: file left empty, nothing installed"

# ---- 1 GiB answer: the reception runs out of memory, the request fails.
hostile_mode flood
failed_before=$(e2e_trace_count stamped "AutoProvisionClient::Failed to send configuration request to peer host")
hostile_update
e2e_wait_for 60 e2e_trace_at_least $((failed_before + 1)) stamped \
    "AutoProvisionClient::Failed to send configuration request to peer host" || e2e_fail "the flood did not end as a failed request"
e2e_expect_trace 1 stamped "Failed to establish connection with host[$E2E_SRV_IP:$HOSTILE_HTTP_PORT:80]"
e2e_wait_for 20 hostile_http_ended flood 1 || e2e_fail "the server did not see the flood end"
grep -qE "^flood: [0-9]+ body bytes, client went away" "$E2E_SRV_DIR/http.log" \
    || e2e_fail "the flood was taken whole: $(grep '^flood' "$E2E_SRV_DIR/http.log")"
rss=$(rss_kib)
[ "$rss" -le $((baseline + 2048)) ] || e2e_fail "resident size $rss KiB after the flood, $baseline KiB before"
expect_kept "1 GiB answer"
taken=$(sed -nE 's/^flood: ([0-9]+) body bytes.*/\1/p' "$E2E_SRV_DIR/http.log")
e2e_ok "1 GiB answer under a 256 MiB address space: failed request after $((taken >> 20)) MiB sent, daemon alive, VmRSS $baseline -> $rss KiB"

# ---- And the next download (another document) is applied as usual.
hostile_mode whole
next='<?xml version="1.0"?>
<zentro><line number="1" user="e2e-after-flood"/></zentro>'
printf '%s' "$next" > "$document"
hostile_provision "document after the flood"
e2e_wait_for 15 cmp -s <(printf '%s\n' "$next") "$active" || e2e_fail "the document after the flood was not applied"
e2e_ok "the next download after the flood is applied"
exit 0
