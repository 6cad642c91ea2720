# shellcheck shell=bash
# Helpers of the tests with a hostile server or a hostile local user (sourced
# after lib.sh): an HTTP server that misbehaves on request, and a way to run
# commands as an unprivileged user.

HOSTILE_HTTP_PORT=8081
HOSTILE_UID=

# hostile_syslog_count LINE: how many lines of the device's system log
# (e2e_start_syslog) are exactly LINE.
hostile_syslog_count()
{
    e2e_syslog_lines | grep -cxF -- "$1"
}

# hostile_start_http DOCUMENT: the misbehaving server on the server's side,
# port HOSTILE_HTTP_PORT, serving DOCUMENT (a file) as hostile_mode says.
hostile_start_http()
{
    command -v python3 > /dev/null || e2e_skip "needs python3"
    HOSTILE_DOCUMENT=$1
    hostile_mode whole
    e2e_srv_spawn "$E2E_DIR/http.out" python3 "$E2E_LIB_DIR/hostile_http_server.py" "$E2E_SRV_IP" \
        "$HOSTILE_HTTP_PORT" "$E2E_SRV_DIR/mode" "$HOSTILE_DOCUMENT" "$E2E_SRV_DIR/http.log"
    e2e_wait_for 10 e2e_file_has "$E2E_SRV_DIR/http.log" listening || e2e_fail "the hostile HTTP server did not start"
}

hostile_mode()
{
    echo "$1" > "$E2E_SRV_DIR/mode"
}

hostile_url_template()
{
    echo "http://{host}:$HOSTILE_HTTP_PORT/cfg/{mac}.xml"
}

# hostile_http_ended MODE N: the server logged the end of N answers in MODE.
hostile_http_ended()
{
    [ "$(grep -c "^$1: " "$E2E_SRV_DIR/http.log" 2> /dev/null)" -ge "$2" ]
}

# hostile_update: the web side's update command; the daemon answers it from
# its event loop within 20 s.
hostile_update()
{
    e2e_dev "${E2E_EMULATOR[@]}" "$E2E_DEV_BIN/autoprovision-cmd" --timeout-ms 20000 update \
        > "$E2E_DIR/cmd.out" 2>&1 || { cat "$E2E_DIR/cmd.out"; e2e_fail "autoprovision-cmd update"; }
}

# hostile_applies: how many times the daemon started the configurator.
hostile_applies()
{
    e2e_trace_count stamped "AutoProvisionClient::Start Zentro Configuration Controller"
}

# hostile_provision WHAT: one more download through the update command,
# waited for until the configurator was started again.
hostile_provision()
{
    local before
    before=$(hostile_applies)
    hostile_update
    e2e_wait_for 30 e2e_trace_at_least $((before + 1)) stamped \
        "AutoProvisionClient::Start Zentro Configuration Controller" || e2e_fail "$1: no download ended"
}

# hostile_pick_user: a uid and gid that no account uses, for the local user.
hostile_pick_user()
{
    command -v setpriv > /dev/null || e2e_skip "needs setpriv from util-linux"
    local uid
    for uid in 4242 4343 4444 4545 4646; do
        if ! getent passwd "$uid" > /dev/null && ! getent group "$uid" > /dev/null; then
            HOSTILE_UID=$uid
            return 0
        fi
    done
    e2e_skip "no free uid for the local user"
}

# hostile_as_user COMMAND...: runs COMMAND on the device as the local user.
hostile_as_user()
{
    e2e_dev setpriv --reuid="$HOSTILE_UID" --regid="$HOSTILE_UID" --clear-groups -- "$@"
}

# hostile_normal_variant_only: skips a long test under an emulator or a sanitizer.
hostile_normal_variant_only()
{
    [ ${#E2E_EMULATOR[@]} = 0 ] || e2e_skip "long test: normal variant only (emulator in use)"
    ! e2e_sanitizer_build || e2e_skip "long test: normal variant only (sanitizer build)"
}
