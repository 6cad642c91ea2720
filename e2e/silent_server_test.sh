#!/bin/bash
# A provisioning server that never answers: the presence agent gives the
# SUBSCRIBE up after its Timer F (shortened to 3 s), the daemon logs the
# time-out and subscribes anew.
# Usage: silent_server_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
. "$(dirname "$0")/lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")

e2e_publish_document '<?xml version="1.0"?><zentro/>'
e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" -- --silent
e2e_start_agent "${emulator[@]}" -- --timer-f-ms 3000
e2e_start_daemon "${emulator[@]}"

e2e_wait_for 20 e2e_trace_at_least 1 stamped "OnErrorConvey: Presence_Subscription_Time_Out " \
    || e2e_fail "the daemon logged no subscription time-out"
grep -q "no answer to SUBSCRIBE " "$E2E_DIR/agent.out" || e2e_fail "the agent did not report the time-out"
grep -q "error 9 for subscription " "$E2E_DIR/agent.out" || e2e_fail "the agent did not send error 9 to the daemon"
e2e_wait_for 15 e2e_subscribes_at_least 2 || e2e_fail "no new SUBSCRIBE after the time-out"
e2e_wait_for 15 e2e_daemon_subscribed 2 || e2e_fail "the daemon did not subscribe anew"
grep -q "left unanswered (silent)" "$E2E_SRV_DIR/pnp.log" || e2e_fail "the server answered"

# The new SUBSCRIBE follows the time-out, not the retransmissions: Timer F
# lies between the two.
mapfile -t times < <(e2e_subscribes | head -n 2 | cut -d ' ' -f 1)
gap=$((times[1] - times[0]))
[ "$gap" -ge 2900 ] || e2e_fail "second SUBSCRIBE ${gap} ms after the first, expected Timer F (3000 ms) between"
[ "$(e2e_http_request_count)" = 0 ] || e2e_fail "a download happened without a NOTIFY"
[ ! -e "$(e2e_stored_file)" ] || e2e_fail "a configuration file was stored"
e2e_ok "silent server: agent time-out after 3 s, daemon logs it and subscribes anew (${gap} ms later)"
exit 0
