#!/bin/bash
# The configurator keeps the device on a working configuration: the same
# document provisioned again changes nothing, a document whose apply hook
# fails is replaced by the previous one, and a document that is not
# well-formed is refused; each with its system-log lines.
# Usage: last_known_good_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
. "$(dirname "$0")/lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")
e2e_start_syslog

# The apply hook records each document it sees and fails on one marked apply="fail".
e2e_dev sh -c 'cat > /usr/libexec/zentro/apply-config' << 'EOF_HOOK' || e2e_fail "apply hook"
#!/bin/sh
echo "$1" >> /tmp/apply-config.log
{ /bin/cat "$1"; echo; } >> /tmp/apply-config.seen
grep -q 'apply="fail"' "$1" && exit 1
/bin/cat "$1" > /tmp/applied.cfg
EOF_HOOK

doc_a='<?xml version="1.0"?><zentro><line number="1" user="e2e-a"/></zentro>'
doc_b='<?xml version="1.0"?><zentro><line number="1" user="e2e-b"/></zentro>'
doc_c='<?xml version="1.0"?><zentro apply="fail"><line number="1" user="e2e-c"/></zentro>'
doc_d='<?xml version="1.0"?><zentro><line number="1" user="e2e-d"/>'
active=$E2E_DEV/etc-upper/zentro/active.cfg
previous=$E2E_DEV/etc-upper/zentro/previous.cfg
stored=/tmp/httpipeconfig/zentrofxs-$E2E_MAC_HEX.cfg
applies=0

# provision DOCUMENT: publishes it and has the daemon fetch and apply it
# (the first time at its start, then by the update command); returns once
# the daemon's main loop is done with it.
provision()
{
    e2e_publish_document "$1"
    applies=$((applies + 1))
    if [ "$applies" = 1 ]; then
        e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" --
        e2e_start_agent "${emulator[@]}" --
        e2e_start_daemon "${emulator[@]}"
    else
        e2e_dev "${emulator[@]}" "$E2E_DEV_BIN/autoprovision-cmd" update > "$E2E_DIR/cmd.out" 2>&1 \
            || e2e_fail "autoprovision-cmd update: $(cat "$E2E_DIR/cmd.out")"
    fi
    e2e_wait_for 30 e2e_trace_at_least "$applies" stamped "AutoProvisionClient::Start Zentro Configuration Controller" \
        || e2e_fail "provisioning $applies did not reach the configurator"
    # The main loop answers only after the callback that applied the document has returned.
    e2e_dev python3 "$E2E_DEV_BIN/queue_send.py" ping /run/msgq || e2e_fail "the daemon did not answer"
}

# expect_syslog LINE...: the configurator's system-log lines since the last call are exactly these.
syslog_seen=0
expect_syslog()
{
    local found expected=""
    found=$(e2e_syslog_lines | tail -n +$((syslog_seen + 1)) | grep -F "Configurator: ")
    [ $# -gt 0 ] && expected=$(printf '%s\n' "$@")
    [ "$found" = "$expected" ] || { printf 'expected:\n%s\nfound:\n%s\n' "$expected" "$found"; e2e_fail "system log"; }
    syslog_seen=$(e2e_syslog_lines | wc -l)
}

stamp() { stat -c '%i %y' "$@"; }

e2e_install_device_program "$E2E_LIB_DIR/queue_send.py"
provision "$doc_a"
provision "$doc_b"
e2e_expect_bytes "$active" "$doc_b"$'\n' "active.cfg after the second document"
e2e_expect_bytes "$previous" "$doc_a"$'\n' "previous.cfg after the second document"
expect_syslog

# ---- The same document again: nothing is renamed, nothing is applied.
before=$(stamp "$active" "$previous")
provision "$doc_b"
[ "$(stamp "$active" "$previous")" = "$before" ] || e2e_fail "active.cfg or previous.cfg changed"
e2e_expect_bytes "$E2E_DEV/tmp/apply-config.seen" "$doc_a"$'\n\n'"$doc_b"$'\n\n' "documents the hook saw"
expect_syslog "14 autoprovisionclient: Configurator: $stored is the active configuration already"
e2e_ok "the same document again: active.cfg and previous.cfg untouched, the hook not run"

# ---- A document whose apply hook fails: the previous one is back and applied again.
provision "$doc_c"
e2e_expect_bytes "$active" "$doc_b"$'\n' "active.cfg after the failed apply"
e2e_expect_bytes "$previous" "$doc_b"$'\n' "previous.cfg after the failed apply"
e2e_expect_bytes "$E2E_DEV/tmp/applied.cfg" "$doc_b"$'\n' "the document last applied"
e2e_expect_bytes "$E2E_DEV/tmp/apply-config.seen" "$doc_a"$'\n\n'"$doc_b"$'\n\n'"$doc_c"$'\n\n'"$doc_b"$'\n\n' \
    "documents the hook saw"
expect_syslog \
    "11 autoprovisionclient: Configurator: apply hook failed on /etc/zentro/active.cfg (exit status 1); going back to /etc/zentro/previous.cfg" \
    "13 autoprovisionclient: Configurator: /etc/zentro/previous.cfg applied again as /etc/zentro/active.cfg"
e2e_ok "failing apply hook: back on the previous document, applied again, said in the system log"

# ---- A document that is not well-formed is refused.
provision "$doc_d"
e2e_expect_bytes "$active" "$doc_b"$'\n' "active.cfg after the refused document"
e2e_expect_bytes "$previous" "$doc_b"$'\n' "previous.cfg after the refused document"
[ "$(wc -l < "$E2E_DEV/tmp/apply-config.log")" = 4 ] || e2e_fail "the hook ran on the refused document"
expect_syslog "11 autoprovisionclient: Configurator: $stored refused at byte $((${#doc_d} + 1)): unclosed element"
e2e_ok "document not well-formed: refused, active.cfg and previous.cfg untouched, said in the system log"
exit 0
