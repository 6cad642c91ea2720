#!/bin/bash
# A provisioning server that answers every SUBSCRIBE with 403: the daemon
# logs the failure and subscribes anew, and the presence agent's rate limit
# keeps new SUBSCRIBEs at most one a second on the wire.
# Usage: rejecting_server_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
. "$(dirname "$0")/lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")

e2e_publish_document '<?xml version="1.0"?><zentro/>'
e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" -- --reject-code 403
e2e_start_agent "${emulator[@]}" --
e2e_start_daemon "${emulator[@]}"

# Five subscriptions span four rate-limit intervals, a little over 4 s.
e2e_wait_for 20 e2e_subscribes_at_least 5 || e2e_fail "fewer than 5 SUBSCRIBEs after 403 answers"
grep -q "^    | SIP/2.0 403 " "$E2E_SRV_DIR/pnp.log" || e2e_fail "the server did not answer 403"
grep -q "error 5 for subscription " "$E2E_DIR/agent.out" || e2e_fail "the agent did not report the failure"
e2e_trace_at_least 4 stamped "OnErrorConvey: Presence_Subscription_Failed " \
    || e2e_fail "the daemon logged fewer than 4 subscription failures"

# Measured where the server received them: new Call-IDs no closer than the
# rate limit's second (less a little for delivery jitter), and at most four
# within the first 3 s.
e2e_subscribes | head -n 5 > "$E2E_DIR/subscribes"
report=$(awk '
    NR == 1 { first = $1 }
    NR > 1 { gap = $1 - previous; if (gap < 0) gap += 86400000; if (min == "" || gap < min) min = gap }
    { previous = $1; t = $1 - first; if (t < 0) t += 86400000; if (t < 3000) ++window }
    END { print min, window }' "$E2E_DIR/subscribes")
min_gap=${report% *}
window=${report#* }
[ "$min_gap" -ge 900 ] || e2e_fail "two new SUBSCRIBEs only $min_gap ms apart"
[ "$window" -le 4 ] || e2e_fail "$window new SUBSCRIBEs within 3 s"
[ "$(e2e_http_request_count)" = 0 ] || e2e_fail "a download happened after 403 answers"
e2e_ok "rejecting server: failure logged, resubscription paced (smallest gap $min_gap ms, $window in the first 3 s)"
exit 0
