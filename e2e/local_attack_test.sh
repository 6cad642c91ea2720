#!/bin/bash
# A local unprivileged user attacks the daemon through /tmp/httpipeconfig:
# a directory of their own with the configuration file's name as a symlink to
# a root-only file, then a FIFO at that name (fed with the user's own
# configuration) in a sticky directory. The daemon writes through neither,
# never hangs, installs neither, and says once in the system log that it
# does not trust the user's directory.
# Usage: local_attack_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 77 (skipped) when not root, without namespaces, python3 or setpriv.
set -u
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/hostile_lib.sh"
e2e_test_begin "$@"
emulator=("${E2E_EMULATOR[@]}")
hostile_pick_user
active=$E2E_DEV/etc-upper/zentro/active.cfg
directory=$E2E_DEV/tmp/httpipeconfig
name=zentrofxs-$E2E_MAC_HEX.cfg
untrusted="12 autoprovisionclient: configuration directory /tmp/httpipeconfig/ is not trusted (a symlink, not root's, or open to other users): configuration not stored"

document='<?xml version="1.0"?>
<zentro><line number="1" user="e2e-local"/></zentro>'
e2e_publish_document "$document"
# A root-only file the user wants overwritten.
secret=$E2E_DEV/etc-upper/zentro/secret.cfg
printf 'root only\n' > "$secret"
chmod 0600 "$secret"

e2e_start_syslog
e2e_start_server "${emulator[@]}" "$E2E_SERVER_PROGRAM" --
e2e_start_agent "${emulator[@]}" --
e2e_start_daemon "${emulator[@]}"
e2e_wait_for 20 e2e_file_has "$E2E_DEV/tmp/apply-config.log" /etc/zentro/active.cfg \
    || e2e_fail "no configuration was applied"
e2e_expect_bytes "$active" "$document"$'\n' "active.cfg after the first provisioning"
cp "$active" "$E2E_DIR/active.good"
applied=$(wc -l < "$E2E_DEV/tmp/apply-config.log")

# expect_untouched WHAT: the secret, active.cfg and the apply hook's log as before.
expect_untouched()
{
    e2e_expect_bytes "$secret" $'root only\n' "$1: the root-only file"
    [ "$(stat -c %a:%u "$secret")" = 600:0 ] || e2e_fail "$1: the root-only file's mode or owner changed"
    cmp -s "$E2E_DIR/active.good" "$active" || e2e_fail "$1: active.cfg changed"
    [ "$(wc -l < "$E2E_DEV/tmp/apply-config.log")" = "$applied" ] || e2e_fail "$1: the apply hook ran"
}

# ---- The user's own directory, the file's name a symlink to the secret.
rm -rf "$directory"
hostile_as_user mkdir -m 0755 /tmp/httpipeconfig || e2e_fail "the user could not make the directory"
hostile_as_user ln -s /etc/zentro/secret.cfg "/tmp/httpipeconfig/$name" || e2e_fail "the user could not plant a symlink"
hostile_provision "symlink in the user's directory"
hostile_provision "symlink in the user's directory, again"
expect_untouched "symlink in the user's directory"
[ -L "$directory/$name" ] || e2e_fail "the symlink was replaced"
[ "$(hostile_syslog_count "$untrusted")" = 1 ] \
    || e2e_fail "expected one system log line \"$untrusted\", found $(hostile_syslog_count "$untrusted")"
e2e_ok "symlink in the user's directory: target unchanged, one system log line for two downloads"

# ---- A sticky directory of root's, which the daemon trusts, with a FIFO
# that the user feeds with a configuration of their own.
rm -rf "$directory"
mkdir -m 1777 "$directory"
hostile_as_user mkfifo -m 0666 "/tmp/httpipeconfig/$name" || e2e_fail "the user could not plant a FIFO"
printf '<?xml version="1.0"?>\n<zentro><line number="1" user="intruder"/></zentro>\n' > "$E2E_DEV/run/e2e/intruder.xml"
chmod 0644 "$E2E_DEV/run/e2e/intruder.xml"
e2e_dev_spawn "$E2E_DIR/feeder.out" setpriv --reuid="$HOSTILE_UID" --regid="$HOSTILE_UID" --clear-groups -- \
    timeout 30 sh -c "while :; do cat /run/e2e/intruder.xml > /tmp/httpipeconfig/$name; done"
feeder=$E2E_LAST_PID
hostile_provision "FIFO in a sticky directory"
# The event loop still answers commands at once.
hostile_update 5000
grep -qx "autoprovision-cmd: update: accepted" "$E2E_DIR/cmd.out" || e2e_fail "the daemon did not answer: $(cat "$E2E_DIR/cmd.out")"
e2e_stop_pid "$feeder"
expect_untouched "FIFO in a sticky directory"
[ -p "$directory/$name" ] || e2e_fail "the FIFO was replaced"
! grep -q intruder "$active" || e2e_fail "the user's configuration was installed"
[ "$(hostile_syslog_count "$untrusted")" = 1 ] || e2e_fail "another system log line about the directory"
e2e_ok "FIFO fed by the user: no hang, nothing installed"
exit 0
