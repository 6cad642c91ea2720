#!/bin/bash
# A provisioning server that keeps the HTTP connection open after its answer:
# the daemon's download ends only by its 2 s receive time-out, and the
# document is stored and applied all the same.
# Usage: keep_alive_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
. "$(dirname "$0")/lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")

document='<?xml version="1.0"?>
<zentro><line number="1" user="e2e-keep-alive"/></zentro>'
e2e_publish_document "$document"
e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" -- --keep-alive
e2e_start_agent "${emulator[@]}" --
e2e_start_daemon "${emulator[@]}"

e2e_wait_for 20 e2e_trace_at_least 1 stamped "AutoProvisionClient::Recieved failed(time expire)" \
    || e2e_fail "the download did not end by the receive time-out"
e2e_wait_for 15 e2e_file_has "$E2E_DEV/tmp/apply-config.log" /etc/zentro/active.cfg \
    || e2e_fail "no configuration was applied"
e2e_expect_trace 0 stamped "AutoProvisionClient::Recieved failed(no connection)"
e2e_expect_trace 1 stamped "AutoProvisionClient::Start Zentro Configuration Controller"
e2e_expect_bytes "$(e2e_stored_file)" "$document"$'\n' "stored configuration file"
e2e_expect_bytes "$E2E_DEV/etc-upper/zentro/active.cfg" "$document"$'\n' "applied /etc/zentro/active.cfg"
grep -q "HTTP answer to $E2E_DEV_IP:[0-9]*: 200 OK " "$E2E_SRV_DIR/pnp.log" || e2e_fail "the server did not answer 200"
e2e_ok "keep-alive server: download ends by the 2 s time-out, file stored and applied"
exit 0
