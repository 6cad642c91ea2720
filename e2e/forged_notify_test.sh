#!/bin/bash
# A third host on the device's network sends a NOTIFY with the Call-ID and
# tag it saw in the multicast SUBSCRIBE: the agent answers 403 and the daemon
# gets nothing from it. The third host is a namespace of its own on a second
# veth of the device.
# Usage: forged_notify_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
. "$(dirname "$0")/lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")

third_ns=apc-3rd-$$
trap 'status=$?; ip netns del "$third_ns" 2> /dev/null; (exit $status); e2e_cleanup' EXIT
net=${E2E_DEV_IP#10.231.}
net=${net%%.*}
third_ip=10.232.$net.3
ip netns add "$third_ns" || e2e_fail "ip netns add $third_ns"
ip link add eth2 netns "$E2E_DEV_NS" type veth peer name eth0 netns "$third_ns" || e2e_fail "veth pair eth2/eth0"
ip -n "$E2E_DEV_NS" addr add "10.232.$net.2/24" dev eth2 || e2e_fail "address of eth2"
ip -n "$third_ns" addr add "$third_ip/24" dev eth0 || e2e_fail "address of the third host"
{ ip -n "$E2E_DEV_NS" link set eth2 up && ip -n "$third_ns" link set eth0 up && ip -n "$third_ns" link set lo up; } \
    || e2e_fail "links of the third host up"
ip -n "$third_ns" route add "${E2E_DEV_IP%.*}.0/24" dev eth0 || e2e_fail "route of the third host"

document='<?xml version="1.0"?><zentro><line number="1" user="real"/></zentro>'
e2e_publish_document "$document"
printf '%s' '<?xml version="1.0"?><zentro><line number="1" user="forged"/></zentro>' > "$E2E_SRV_DIR/www/cfg/forged.xml"
e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" --
e2e_start_agent "${emulator[@]}" --
e2e_start_daemon "${emulator[@]}"
e2e_wait_for 20 e2e_file_has "$E2E_DEV/tmp/apply-config.log" /etc/zentro/active.cfg \
    || e2e_fail "no configuration was applied"

# What every host on the link saw: the SUBSCRIBE's Call-ID and From (with the agent's tag).
subscribe_header()
{
    awk -v name="$1" '
        /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] / { first = 1; subscribe = 0; next }
        /^    \| / {
            line = substr($0, 7)
            if (first) { subscribe = (line ~ /^SUBSCRIBE /); first = 0; next }
            if (subscribe && tolower(line) ~ ("^" tolower(name) "[ \t]*:")) {
                sub(/^[^:]*:[ \t]*/, "", line); print line; exit
            }
        }' "$E2E_SRV_DIR/pnp.log"
}
call_id=$(subscribe_header Call-ID)
from=$(subscribe_header From)
{ [ -n "$call_id" ] && [[ "$from" == *";tag="* ]]; } || e2e_fail "no Call-ID or tagged From in the logged SUBSCRIBE"

notifies_before=$(e2e_trace_count stamped "AutoConfigClient::Recieve Notify Message form SIP ")
requests_before=$(e2e_http_request_count)
cp "$E2E_DEV/etc-upper/zentro/active.cfg" "$E2E_DIR/active.before"
forged_url="http://$E2E_SRV_IP:8080/cfg/forged.xml"
e2e_write_notify "$E2E_DIR/forged-notify.sip" "$third_ip:5060" z9hG4bK-e2e-forged-1 \
    "<sip:pnp@$third_ip>;tag=e2e-forged" "$from" "$call_id" 900 "$forged_url"
e2e_send_sip "$third_ns" "$E2E_DIR/forged-notify.sip" || e2e_fail "could not send the forged NOTIFY"
e2e_wait_for 15 e2e_file_has "$E2E_DIR/agent.out" "SIP/2.0 403" || e2e_fail "the agent did not answer 403"
grep -q "sent SIP/2.0 403 Forbidden to $third_ip:" "$E2E_DIR/agent.out" || e2e_fail "403 not sent to the third host"
grep -q "NOTIFY for subscription [0-9]* from $third_ip:[0-9]* refused: its answer came from $E2E_SRV_IP:5060" \
    "$E2E_DIR/agent.out" || e2e_fail "the refused NOTIFY is not logged"
# Had the agent handed the NOTIFY on, the daemon would trace it at once: 2 s
# without that line. (An unknown command word is refused by the command tool
# itself and reaches no queue, so it cannot serve as a barrier.)
if e2e_wait_for 2 e2e_trace_at_least 1 stamped "OnNotify:URL = $forged_url"; then
    e2e_fail "the forged URL reached the daemon"
fi
e2e_expect_trace 0 stamped "OnNotify:URL = $forged_url"
[ "$(e2e_trace_count stamped "AutoConfigClient::Recieve Notify Message form SIP ")" = "$notifies_before" ] \
    || e2e_fail "the forged NOTIFY reached the daemon"
[ "$(e2e_http_request_count)" = "$requests_before" ] || e2e_fail "the forged NOTIFY started a download"
cmp -s "$E2E_DEV/etc-upper/zentro/active.cfg" "$E2E_DIR/active.before" || e2e_fail "active.cfg changed"
e2e_ok "NOTIFY from a third host with the SUBSCRIBE's Call-ID and tag: 403, nothing applied"
exit 0
