#!/bin/bash
# Start order and agent restarts: the daemon started before the presence
# agent is provisioned once the agent comes up; an agent killed with a
# subscription in flight, or killed before an update command, is restarted
# and the subscription still provisions. Then the network comes late: agent
# and daemon start while eth1 has no address yet, or is down, and the device
# is provisioned as soon as it is there, without a command. Each provisioning
# hands out another document, so /etc/zentro/active.cfg shows which one arrived.
# Usage: start_order_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
. "$(dirname "$0")/lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")
# The bounds for a provisioning after the agent's start and after the
# network came; an emulator gets more.
bound=5
late_bound=2
[ ${#emulator[@]} = 0 ] || { bound=15; late_bound=10; }
active=$E2E_DEV/etc-upper/zentro/active.cfg
agents=1

document()
{
    printf '<?xml version="1.0"?>\n<zentro><line number="1" user="e2e-%s"/></zentro>' "$1"
}

connected_count()
{
    grep -o "Auto Provision client is connected\.\.\." "$E2E_DEV/log/autoprovisionclient.log" 2> /dev/null | wc -l
}

applied()
{
    cmp -s "$active" <(printf '%s\n' "$1")
}

agent_sent_subscribes()
{
    [ "$(grep -c "sent SUBSCRIBE " "$E2E_DIR/agent.out" 2> /dev/null)" -ge "$1" ]
}

# Starts another agent after the last one was killed; the killed one's output
# is kept beside.
restart_agent()
{
    mv "$E2E_DIR/agent.out" "$E2E_DIR/agent-$agents.out"
    agents=$((agents + 1))
    e2e_dev_spawn "$E2E_DIR/agent.out" "${emulator[@]}" "$E2E_DEV_BIN/presence-agent" --verbose
    E2E_AGENT_PID=$E2E_LAST_PID
}

kill_agent()
{
    kill -KILL "$E2E_AGENT_PID"
    e2e_wait_for 5 e2e_not_alive "$E2E_AGENT_PID" || e2e_fail "the agent did not end on SIGKILL"
    wait "$E2E_AGENT_PID" 2> /dev/null
    e2e_forget_pid "$E2E_AGENT_PID"
}

# CPU time the agent has used, in clock ticks.
agent_ticks()
{
    sed -E 's/^.*\) //' "/proc/$E2E_AGENT_PID/stat" | awk '{ print $12 + $13 }'
}

# Anything but waiting while the network is away: a SUBSCRIBE on the wire,
# an error reported to the daemon, or a provisioning.
not_waiting()
{
    [ "$(e2e_subscribe_count)" != "$1" ] || grep -q "OnErrorConvey" "$E2E_DEV/log/autoprovisionclient.log" \
        || applied "$(document "$2")"
}

# late_network NAME WHAT CUT RESTORE: agent and daemon start anew after
# `ip CUT` in the device's namespace; 5 s later `ip RESTORE` brings the
# network, and the one subscription provisions within late_bound seconds.
late_network()
{
    local name=$1 what=$2 cut=$3 restore=$4 subscribes ticks came logged ip_re=${E2E_DEV_IP//./\\.}
    e2e_stop_pid "$E2E_DAEMON_PID"
    e2e_stop_pid "$E2E_AGENT_PID"
    mv "$E2E_DEV/log/autoprovisionclient.log" "$E2E_DIR/daemon-before-$name.log"
    mv "$E2E_DIR/agent.out" "$E2E_DIR/agent-before-$name.out"
    e2e_publish_document "$(document "$name")"
    # shellcheck disable=SC2086  # the words of the ip command
    ip -n "$E2E_DEV_NS" $cut || e2e_fail "ip $cut"
    subscribes=$(e2e_subscribe_count)
    e2e_start_agent "${emulator[@]}" --
    e2e_start_daemon "${emulator[@]}"
    e2e_wait_for 15 grep -Eqx "presence-agent: subscription [0-9]+ waits for an address and link on eth1" \
        "$E2E_DIR/agent.out" || e2e_fail "$name: the agent does not wait for the network"
    ticks=$(agent_ticks)
    ! e2e_wait_for 5 not_waiting "$subscribes" "$name" || e2e_fail "$name: the agent did not wait for the network"
    [ $(($(agent_ticks) - ticks)) -le 20 ] || e2e_fail "$name: the agent was busy while it waited"
    # shellcheck disable=SC2086
    ip -n "$E2E_DEV_NS" $restore || e2e_fail "ip $restore"
    came=$(e2e_now_ms)
    e2e_wait_for "$late_bound" applied "$(document "$name")" \
        || e2e_fail "$name: not provisioned within $late_bound s after $what"
    e2e_ok "late network: provisioned $(($(e2e_now_ms) - came)) ms after $what"
    e2e_expect_trace 1 plain "AutoConfigClient::SendMulticastMessage "
    e2e_expect_trace 1 stamped "AutoProvisionClient::Start Zentro Configuration Controller"
    ! grep -q "OnErrorConvey" "$E2E_DEV/log/autoprovisionclient.log" || e2e_fail "$name: an error reached the daemon"
    [ "$(e2e_subscribe_count)" = $((subscribes + 1)) ] || e2e_fail "$name: not one SUBSCRIBE"
    logged=$E2E_DIR/subscribe-$name.logged
    e2e_last_subscribe > "$logged"
    if ! grep -Eqx "    \| Via: SIP/2\.0/UDP $ip_re:5060;branch=z9hG4bK[0-9a-f]+;rport" "$logged" \
        || ! grep -qxF "    | Contact: <sip:MAC%3a$E2E_MAC_HEX@$E2E_DEV_IP:5060>" "$logged" \
        || ! grep -Eqx "    \| Call-ID: [0-9a-f]+@$ip_re" "$logged"; then
        cat "$logged"
        e2e_fail "$name: the SUBSCRIBE does not name $E2E_DEV_IP"
    fi
}

send_update()
{
    e2e_dev "${emulator[@]}" "$E2E_DEV_BIN/autoprovision-cmd" update > "$E2E_DIR/cmd.out" 2>&1 \
        || { cat "$E2E_DIR/cmd.out"; e2e_fail "autoprovision-cmd update"; }
}

e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" --

# ---- 1. The daemon starts 1 s before the agent.
e2e_publish_document "$(document first)"
e2e_start_daemon "${emulator[@]}"
sleep 1
[ "$(connected_count)" = 0 ] || e2e_fail "the daemon says connected before the agent runs"
started=$(e2e_now_ms)
e2e_start_agent "${emulator[@]}" --
e2e_wait_for "$bound" applied "$(document first)" \
    || e2e_fail "not provisioned within $bound s of the agent's start"
e2e_ok "daemon before agent: provisioned $(($(e2e_now_ms) - started)) ms after the agent's start"
e2e_expect_trace 1 plain "AutoConfigClient::SendMulticastMessage "
e2e_expect_trace 1 stamped "AutoProvisionClient::Start Zentro Configuration Controller"
[ "$(connected_count)" = 1 ] || e2e_fail "expected one connected line, found $(connected_count)"
! grep -q "OnErrorConvey" "$E2E_DEV/log/autoprovisionclient.log" || e2e_fail "an error reached the daemon"

# ---- 2. The agent is killed while its subscription waits for the server.
e2e_publish_document "$(document second)"
kill -STOP "$E2E_SERVER_PID"
send_update
e2e_wait_for 15 agent_sent_subscribes 2 \
    || { kill -CONT "$E2E_SERVER_PID"; e2e_fail "the update's SUBSCRIBE did not go out"; }
kill_agent
kill -CONT "$E2E_SERVER_PID"
restart_agent
e2e_wait_for "$bound" applied "$(document second)" \
    || e2e_fail "the subscription in flight with the killed agent did not provision"
e2e_expect_trace 2 plain "AutoConfigClient::SendMulticastMessage "
e2e_expect_trace 2 stamped "AutoProvisionClient::Start Zentro Configuration Controller"
e2e_ok "agent killed with a subscription in flight: the restarted agent provisions it"

# ---- 3. The agent is killed, then the update command comes, then the agent.
e2e_publish_document "$(document third)"
kill_agent
send_update
grep -qx "autoprovision-cmd: update: accepted" "$E2E_DIR/cmd.out" \
    || e2e_fail "update not accepted: $(cat "$E2E_DIR/cmd.out")"
e2e_wait_for 15 e2e_trace_at_least 3 plain "AutoConfigClient::SendMulticastMessage " \
    || e2e_fail "the update made no subscription attempt"
sleep 0.5
applied "$(document third)" && e2e_fail "provisioned without an agent"
restart_agent
e2e_wait_for "$bound" applied "$(document third)" \
    || e2e_fail "the update sent while the agent was away did not provision"
e2e_expect_trace 3 plain "AutoConfigClient::SendMulticastMessage "
e2e_expect_trace 3 stamped "AutoProvisionClient::Start Zentro Configuration Controller"
! grep -q "OnErrorConvey" "$E2E_DEV/log/autoprovisionclient.log" || e2e_fail "an error reached the daemon"
e2e_ok "update while the agent was away: provisioned when it came back"

# ---- 4. eth1 up without its address (DHCP still running), the address 5 s later.
late_network address "the address was added" "addr del $E2E_DEV_IP/24 dev eth1" "addr add $E2E_DEV_IP/24 dev eth1"
# ---- 5. eth1 down, set up 5 s later (its multicast route is gone with it).
late_network link "the link came up" "link set eth1 down" "link set eth1 up"
exit 0
