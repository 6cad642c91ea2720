#!/bin/bash
# A whole provisioning between the device and pnp-server in two network
# namespaces, then the update command, a NOTIFY of no subscription of ours
# and the stop by SIGTERM, all in one set-up.
# Usage: provisioning_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
. "$(dirname "$0")/lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")

document='<?xml version="1.0" encoding="UTF-8"?>
<zentro>
  <line number="1" user="e2e-1001" password="secret"/>
  <line number="2" user="e2e-1002" password="secret"/>
</zentro>'
e2e_publish_document "$document"
url=$(e2e_config_url)
stored=$(e2e_stored_file)

e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" --
e2e_start_agent "${emulator[@]}" --
e2e_start_daemon "${emulator[@]}"

# ---- 1. A full provisioning.
e2e_wait_for 20 e2e_file_has "$E2E_DEV/tmp/apply-config.log" /etc/zentro/active.cfg \
    || e2e_fail "no configuration was applied"

e2e_expect_bytes "$stored" "$document"$'\n' "stored configuration file"
e2e_expect_bytes "$E2E_DEV/etc-upper/zentro/active.cfg" "$document"$'\n' "applied /etc/zentro/active.cfg"
e2e_expect_bytes "$E2E_DEV/tmp/apply-config.log" $'/etc/zentro/active.cfg\n' "apply hook argument"
e2e_expect_bytes "$E2E_DEV/tmp/applied.cfg" "$document"$'\n' "file the apply hook saw"

[ "$(e2e_subscribe_count)" = 1 ] || e2e_fail "expected one SUBSCRIBE, server saw $(e2e_subscribe_count)"
grep -qiE "^    \| SUBSCRIBE sip:MAC(%3A|:)$E2E_MAC_HEX@224\.0\.1\.75 SIP/2\.0$" "$E2E_SRV_DIR/pnp.log" \
    || e2e_fail "no SUBSCRIBE for MAC:$E2E_MAC_HEX to 224.0.1.75 in the server's log"
grep -q "^[0-9:.]* SIP from $E2E_DEV_IP:5060 " "$E2E_SRV_DIR/pnp.log" \
    || e2e_fail "the SUBSCRIBE did not come from $E2E_DEV_IP:5060"

# The request exactly as the server received it.
request=$E2E_DIR/request.expected
printf 'GET /cfg/%s.xml HTTP/1.1\r\n%s\r\n%s\r\n%s\r\n%s\r\nHost: %s:8080\r\nConnection: Keep-Alive\r\n\r\n' \
    "$E2E_MAC_HEX" \
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-icq, */*" \
    "Accept-Language: en-ru" "Accept-Encoding: gzip, deflate" \
    "User-Agent: Tovix zentro-fxs $E2E_LINE_NUMBER firmware=$E2E_FIRMWARE" "$E2E_SRV_IP" > "$request"
[ "$(e2e_http_request_count)" = 1 ] || e2e_fail "expected one HTTP request, server saw $(e2e_http_request_count)"
e2e_http_request 1 > "$E2E_DIR/request.logged"
head -n 1 "$E2E_DIR/request.logged" \
    | grep -q " HTTP request from $E2E_DEV_IP:[0-9]* ($(stat -c %s "$request") bytes):$" \
    || e2e_fail "HTTP request size or peer: $(head -n 1 "$E2E_DIR/request.logged")"
diff <(e2e_as_logged "$request") <(tail -n +2 "$E2E_DIR/request.logged") \
    || e2e_fail "the HTTP request differs from the expected bytes"
grep -qx "    | User-Agent: Tovix zentro-fxs 2 firmware=5.1.3" "$E2E_DIR/request.logged" \
    || e2e_fail "User-Agent line"

e2e_expect_trace 1 plain "AutoConfigClient::SendMulticastMessage "
e2e_expect_trace 1 stamped "OnNotify:URL = $url"
e2e_expect_trace 1 stamped "AutoConfigClient::Recieve Notify Message form SIP "
e2e_expect_trace 1 stamped "AutoProvisionClient::Recieved failed(no connection)"
e2e_expect_trace 1 stamped "AutoProvisionClient::Start Zentro Configuration Controller"
e2e_ok "provisioning: SUBSCRIBE, NOTIFY, GET with the device's User-Agent, file stored and applied"

# ---- 2. The update command subscribes anew with a new identifier.
e2e_dev "${emulator[@]}" "$E2E_DEV_BIN/autoprovision-cmd" update > "$E2E_DIR/cmd.out" 2>&1 \
    || { cat "$E2E_DIR/cmd.out"; e2e_fail "autoprovision-cmd update"; }
grep -qx "autoprovision-cmd: update: accepted" "$E2E_DIR/cmd.out" || e2e_fail "update not accepted: $(cat "$E2E_DIR/cmd.out")"
e2e_wait_for 15 e2e_subscribes_at_least 2 || e2e_fail "no second SUBSCRIBE after the update command"
e2e_wait_for 15 e2e_http_requests_at_least 2 || e2e_fail "no second download after the update command"
e2e_wait_for 15 e2e_trace_at_least 2 stamped "AutoProvisionClient::Start Zentro Configuration Controller" \
    || e2e_fail "the second download did not finish"
e2e_expect_trace 2 plain "AutoConfigClient::SendMulticastMessage "
first_id=$(e2e_subscribes | sed -n '1s/^[0-9]* //p')
second_id=$(e2e_subscribes | sed -n '2s/^[0-9]* //p')
{ [ -n "$second_id" ] && [ "$first_id" != "$second_id" ]; } || e2e_fail "the second SUBSCRIBE reuses Call-ID $first_id"
e2e_expect_bytes "$stored" "$document"$'\n' "stored configuration file after the update"
e2e_ok "update command: second SUBSCRIBE with a new Call-ID ($second_id), second download"

# ---- 5. A NOTIFY of no subscription of ours: answered 481, nothing delivered.
notifies_before=$(e2e_trace_count stamped "AutoConfigClient::Recieve Notify Message form SIP ")
requests_before=$(e2e_http_request_count)
cp "$stored" "$E2E_DIR/stored.before"
body="http://$E2E_SRV_IP:8080/cfg/$E2E_MAC_HEX.xml"
e2e_write_notify "$E2E_DIR/stale-notify.sip" "$E2E_SRV_IP:5070" z9hG4bK-e2e-stale-1 \
    "<sip:pnp@$E2E_SRV_IP>;tag=e2e-stale-from" "<sip:MAC%3A$E2E_MAC_HEX@224.0.1.75>;tag=e2e-stale-to" \
    "e2e-stale-call@$E2E_SRV_IP" 1 "$body"
e2e_send_sip "$E2E_SRV_NS" "$E2E_DIR/stale-notify.sip" || e2e_fail "could not send the stale NOTIFY"
e2e_wait_for 15 e2e_file_has "$E2E_DIR/agent.out" "SIP/2.0 481" || e2e_fail "the agent did not answer 481"
grep -q "sent SIP/2.0 481 .* to $E2E_SRV_IP:" "$E2E_DIR/agent.out" || e2e_fail "481 not sent to the NOTIFY's source"
[ "$(e2e_trace_count stamped "AutoConfigClient::Recieve Notify Message form SIP ")" = "$notifies_before" ] \
    || e2e_fail "the stale NOTIFY reached the daemon"
[ "$(e2e_http_request_count)" = "$requests_before" ] || e2e_fail "the stale NOTIFY started a download"
cmp -s "$stored" "$E2E_DIR/stored.before" || e2e_fail "the stored file changed"
e2e_ok "NOTIFY with an unknown Call-ID: agent answers 481, the daemon gets nothing"

# The same at the queue: a notification for an earlier subscription
# identifier reaches the daemon, which logs it and downloads nothing. Needs
# python3 to write the queue datagrams.
if command -v python3 > /dev/null && e2e_dev python3 -c 'import socket' 2> /dev/null; then
    stale_url="http://$E2E_SRV_IP:8080/cfg/stale.xml"
    e2e_publish_document "$document"
    cp "$E2E_SRV_DIR/www/cfg/$E2E_MAC_HEX.xml" "$E2E_SRV_DIR/www/cfg/stale.xml"
    e2e_install_device_program "$E2E_LIB_DIR/queue_send.py"
    e2e_dev python3 "$E2E_DEV_BIN/queue_send.py" notify /run/msgq 1 "$stale_url" \
        || e2e_fail "could not send the stale notification"
    e2e_wait_for 15 e2e_trace_at_least $((notifies_before + 1)) stamped \
        "AutoConfigClient::Recieve Notify Message form SIP " || e2e_fail "the stale notification was not logged"
    # The daemon's main loop answers this only after it has handled the notification.
    e2e_dev python3 "$E2E_DEV_BIN/queue_send.py" ping /run/msgq || e2e_fail "the daemon did not answer"
    e2e_expect_trace 1 stamped "OnNotify:URL = $stale_url"
    [ "$(e2e_http_request_count)" = "$requests_before" ] || e2e_fail "the stale notification started a download"
    cmp -s "$stored" "$E2E_DIR/stored.before" || e2e_fail "the stored file changed"
    e2e_ok "notification with a stale identifier: logged, nothing downloaded"
else
    echo "note: python3 is missing; the queue-level stale notification is not checked"
fi

# ---- 7. SIGTERM ends the daemon with the stop report.
kill -TERM "$E2E_DAEMON_PID"
e2e_wait_for 15 e2e_not_alive "$E2E_DAEMON_PID" || e2e_fail "the daemon did not end on SIGTERM"
wait "$E2E_DAEMON_PID"
status=$?
e2e_forget_pid "$E2E_DAEMON_PID"
[ "$status" = 143 ] || e2e_fail "daemon exit status $status, expected death by SIGTERM (143)"
stops=$(grep -cE "^======= Process .*autoprovisionclient \(Auto Provision Client\) has been stopped by signal SIGTERM\(15\) at [0-9]{2}:[0-9]{2}:[0-9]{2} =======$" \
    "$E2E_DEV/tmp/logs/autoprovisionclient.log")
[ "$stops" = 1 ] || e2e_fail "expected one stop line in /tmp/logs/autoprovisionclient.log"
e2e_ok "SIGTERM: one stop line in /tmp/logs/autoprovisionclient.log, exit by SIGTERM"
exit 0
