#!/bin/bash
# The server's status page in a real browser: a rack of three gateways is
# provisioned, one of them also asks for a path with markup in it; headless
# Chromium, run in the server's namespace, renders /status, whose DOM must
# show the totals, one row per gateway and the markup as text; and takes a
# screenshot of it.
# Usage: status_page_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER
# Exit 77 (skipped) when not root, without namespaces or without chromium.
set -u
. "$(dirname "$0")/lib.sh"
[ $# -ge 4 ] || { echo "usage: $0 DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER"; exit 2; }
e2e_require_namespaces
[ -x "$E2E_CHROMIUM" ] || e2e_skip "needs $E2E_CHROMIUM"
e2e_enter_private_mounts "$@"

e2e_fleet_setup 3
e2e_fleet_install "$1" "$2"
for number in 1 2 3; do
    printf '<?xml version="1.0"?>\n<zentro gateway="%d"/>' "$number" > "$E2E_SRV_DIR/www/cfg/$(e2e_fleet_mac_hex "$number").xml"
done
document_bytes=$(stat -c %s "$E2E_SRV_DIR/www/cfg/$(e2e_fleet_mac_hex 1).xml")
e2e_start_server "$4" -- --interface br0
e2e_fleet_launch
e2e_fleet_release
e2e_wait_for 30 e2e_fleet_all e2e_fleet_applied || e2e_fail "the rack was not provisioned"

# A request whose path holds markup, from gateway 3: its row shows it as text.
# shellcheck disable=SC2016  # the inner bash expands them
e2e_fleet_gw 3 bash -c 'exec 3<> "/dev/tcp/$0/8080" && printf "GET /cfg/<b>x</b>.xml HTTP/1.0\r\n\r\n" >&3 &&
                        timeout 10 cat <&3' "$E2E_SRV_IP" > "$E2E_DIR/markup.out" || e2e_fail "request with markup"
grep -q "^HTTP/1.1 404 " "$E2E_DIR/markup.out" || e2e_fail "request with markup: $(head -n 1 "$E2E_DIR/markup.out")"

url=http://$E2E_SRV_IP:8080/status
e2e_chromium "$url" --dump-dom > "$E2E_DIR/status.dom" || e2e_fail "chromium --dump-dom: $(tail -n 5 "$E2E_DIR/chromium.err")"

expect_dom() { grep -qE -- "$1" "$E2E_DIR/status.dom" || { cat "$E2E_DIR/status.dom"; e2e_fail "not in the rendered page: $1"; }; }
for total in "gateways</th><td>3" "provisioned</th><td>3" "SUBSCRIBEs</th><td>3" "NOTIFYs answered 2xx</th><td>3" \
             "NOTIFYs given up</th><td>0" "documents served</th><td>3" "bytes served</th><td>$((3 * document_bytes))"; do
    expect_dom "<th>$total</td>"
done
time='[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}'
for number in 1 2 3; do
    mac=$(e2e_fleet_mac_hex "$number") document="/cfg/&lt;b&gt;x&lt;/b&gt;.xml</td><td>404</td><td>0"
    [ "$number" = 3 ] || document="/cfg/$mac.xml</td><td>200</td><td>$document_bytes"
    expect_dom "<tr><td>$mac</td><td>$(e2e_fleet_ip "$number"):5060</td><td>$time</td><td>$time</td><td>1</td><td>$time</td><td>1</td><td>200 OK</td><td>$document</td><td>$time</td><td>1</td></tr>"
done
! grep -q "<b>x" "$E2E_DIR/status.dom" || e2e_fail "markup from the network became markup of the page"
e2e_ok "status page in Chromium: totals, a row per gateway by MAC, markup from the network shown as text"

e2e_chromium "$url" --screenshot="$E2E_DIR/status.png" --window-size=1000,700 > /dev/null \
    || e2e_fail "chromium --screenshot: $(tail -n 5 "$E2E_DIR/chromium.err")"
# A PNG of 1000 x 700 with more in it than an empty page.
header=$(od -An -tx1 -N24 "$E2E_DIR/status.png" 2> /dev/null | tr -d ' \n')
{ [ "${header:0:16}" = 89504e470d0a1a0a ] && [ "${header:32:16}" = 000003e8000002bc ]; } \
    || e2e_fail "the screenshot is not a 1000 x 700 PNG: $header"
png_bytes=$(stat -c %s "$E2E_DIR/status.png")
[ "$png_bytes" -gt 10000 ] || e2e_fail "the screenshot has $png_bytes bytes: an empty page?"
e2e_ok "screenshot: a 1000 x 700 PNG of $png_bytes bytes"
exit 0
