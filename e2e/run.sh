#!/bin/bash
# shellcheck disable=SC2034,SC2119,SC2120  # variables and verbs for the scenarios
# Runs one end-to-end scenario on lib.sh's device and server namespaces.
# Usage: run.sh SCENARIO DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 0 passed, 1 failed (the failing line and the logs shown), 77 skipped.
# A scenario's lines are shell commands that must succeed: the verbs below and
# any program ("! command": must fail; "#" a comment, a final "\" continues).
# Counts are exact ("2") or a floor ("2+"); "await [SECONDS] CHECK..." retries
# for up to 20 s. Files are named as the device sees them or by a log's name.
# "define NAME" ... "end" makes a command of its lines with arguments $1...
set -u
. "$(dirname "$0")/lib.sh"
{ [ $# -ge 5 ] && [ -r "$1" ]; } || { echo "usage: $0 SCENARIO DAEMON AGENT COMMAND_TOOL SERVER [EMULATOR...]"; exit 2; }
e2e_require_namespaces
e2e_enter_private_mounts "$@"
SCENARIO=$1
shift
command -v python3 > /dev/null || e2e_skip "needs python3"
e2e_test_begin "$@"
e2e_install_device_program "$E2E_LIB_DIR/peers.py"

MAC=$E2E_MAC_HEX DEV_IP=$E2E_DEV_IP SRV_IP=$E2E_SRV_IP URL=$(e2e_config_url)
STORED=/tmp/httpipeconfig/zentrofxs-$MAC.cfg
HOSTILE_URL="http://{host}:8081/cfg/{mac}.xml"
# Within QUICK a provisioning follows the agent's start, within LATE a device
# whose network came late is provisioned; an emulator gets more.
QUICK=5 LATE=2
[ ${#E2E_EMULATOR[@]} = 0 ] || QUICK=15 LATE=10
SUBSCRIBED="AutoConfigClient::SendMulticastMessage "
NOTIFIED="AutoConfigClient::Recieve Notify Message form SIP "
CONFIGURATOR="AutoProvisionClient::Start Zentro Configuration Controller"
CLOSED="AutoProvisionClient::Recieved failed(no connection)"
EXPIRED="AutoProvisionClient::Recieved failed(time expire)"
USER_ID='' SYSLOG_SEEN=0

# ---------------------------------------------------------------- files and counts

# path FILE: where the device's FILE (or a log) is seen from here.
path()
{
    case $1 in
        /tmp | /tmp/* | /run/*) echo "$E2E_DEV$1" ;;
        /var/log/*) echo "$E2E_DEV/log/${1#/var/log/}" ;;
        /etc/*) echo "$E2E_DEV/etc-upper/${1#/etc/}" ;;
        /*) echo "$1" ;;
        pnp.log | http.log) echo "$E2E_SRV_DIR/$1" ;;
        *) echo "$E2E_DIR/$1" ;;
    esac
}

# is FOUND COUNT WHAT: FOUND is COUNT ("N" exactly, "N+" at least N).
is() { if [[ $2 == *+ ]]; then [ "$1" -ge "${2%+}" ]; else [ "$1" = "$2" ]; fi || { echo "$3: $1, expected $2"; return 1; }; }

await()
{
    local seconds=20
    [[ $1 =~ ^[0-9]+$ ]] && { seconds=$1; shift; }
    e2e_wait_for "$seconds" "$@" > /dev/null || { "$@"; echo "(after $seconds s)"; return 1; }
}

# trace COUNT [plain] TEXT: the daemon's trace texts that are exactly TEXT,
# after a time stamp unless "plain".
trace()
{
    local kind=stamped
    [ $# = 3 ] && { kind=$2; set -- "$1" "$3"; }
    is "$(e2e_trace_count "$kind" "$2")" "$1" "trace \"$2\" ($kind)"
}

# count COUNT FILE ERE: occurrences of ERE in FILE. has FILE ERE: at least one.
count() { is "$(grep -oE -- "$3" "$(path "$2")" 2> /dev/null | wc -l)" "$1" "\"$3\" in $2"; }
has() { count 1+ "$@"; }

# holds FILE TEXT: FILE is TEXT and a line end (a document as the device stores it).
holds()
{
    cmp -s "$(path "$1")" <(printf '%s\n' "$2") && return 0
    echo "$1 differs:" && diff <(printf '%s\n' "$2") "$(path "$1")" | cut -c 1-200 | head -n 10
    return 1
}

# lines FILE LINE...: FILE's lines are exactly these.
lines()
{
    local found expected=
    found=$(cat "$(path "$1")" 2> /dev/null)
    [ $# = 1 ] || expected=$(printf '%s\n' "${@:2}")
    [ "$found" = "$expected" ] || { printf 'expected in %s:\n%s\nfound:\n%s\n' "$1" "$expected" "$found"; return 1; }
}

# shellcheck disable=SC2002  # no file yet is no run
hooks() { is "$(cat "$(path /tmp/apply-config.log)" 2> /dev/null | wc -l)" "$1" "apply hook runs"; }
stamp() { local file; for file; do stat -c '%i %y' "$(path "$file")"; done; }
rss() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$E2E_DAEMON_PID/status"; }
# keep: the active configuration and the hook runs now; kept: still so.
keep() { cp "$(path /etc/zentro/active.cfg)" "$E2E_DIR/active.kept" && wc -l < "$(path /tmp/apply-config.log)" > "$E2E_DIR/hooks.kept"; }
kept() { cmp "$E2E_DIR/active.kept" "$(path /etc/zentro/active.cfg)" && hooks "$(cat "$E2E_DIR/hooks.kept")"; }

# bigdoc N VALUE: a document of N parameters, about 50 bytes each.
bigdoc()
{
    awk -v n="$1" -v value="$2" 'BEGIN {
        printf "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<zentro>\n"
        for (i = 0; i < n; ++i) printf "  <param name=\"line.%d\" value=\"%s-%d\"/>\n", i, value, i
        printf "</zentro>" }'
}

# ---------------------------------------------------------------- the server's side

# serve TEXT|- [NAME]: what the server hands out as NAME (the device's file).
serve()
{
    local file=$E2E_SRV_DIR/www/cfg/${2:-$MAC.xml}
    if [ "$1" = - ]; then cat > "$file"; else printf '%s' "$1" > "$file"; fi
}

server() { e2e_start_server "${E2E_EMULATOR[@]}" "$E2E_SERVER_PROGRAM" -- "$@"; }
mode() { echo "$1" > "$E2E_SRV_DIR/mode"; }

# hostile: peers.py's HTTP server on port 8081, serving what serve wrote as
# "mode" (whole at first) says.
hostile()
{
    mode whole
    e2e_srv_spawn "$E2E_DIR/http.out" python3 "$E2E_LIB_DIR/peers.py" http "$SRV_IP" 8081 "$E2E_SRV_DIR/mode" \
        "$E2E_SRV_DIR/www/cfg/$MAC.xml" "$E2E_SRV_DIR/http.log"
    await has http.log listening
}

# agent_ticks: the CPU time the agent has used, in clock ticks.
agent_ticks() { sed -E 's/^.*\) //' "/proc/$E2E_AGENT_PID/stat" | awk '{ print $12 + $13 }'; }

# subscribes COUNT: SUBSCRIBEs with a new Call-ID; header Call-ID|From|Via|Contact:
# the last SUBSCRIBE's; requests COUNT: HTTP requests (all in the server's log).
subscribes() { is "$(sip_subscribes | cut -f 2 | sort -u | wc -l)" "$1" "SUBSCRIBEs with a new Call-ID"; }
header()
{
    local column=2 name
    for name in Call-ID From Via Contact; do [ "$name" = "$1" ] && break; ((++column)); done
    sip_subscribes | tail -n 1 | cut -f "$column"
}
requests() { is "$(grep -c "^[0-9:.]* HTTP request from " "$(path pnp.log)")" "$1" "HTTP requests"; }

# sip_subscribes: "MS<tab>CALL-ID<tab>FROM<tab>VIA<tab>CONTACT" per SUBSCRIBE
# in the server's log, MS the time of day in milliseconds it came in.
sip_subscribes()
{
    awk -v OFS='\t' '
        function out() { if (id != "") print ms, id, from, via, contact; id = "" }
        /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] / {
            out(); split(substr($1, 1, 8), t, ":"); ms = ((t[1] * 60 + t[2]) * 60 + t[3]) * 1000 + substr($1, 10, 3)
            first = 1; next
        }
        /^    \| / {
            line = substr($0, 7)
            if (first) { subscribe = (line ~ /^SUBSCRIBE /); first = 0; next }
            name = tolower(line); sub(/[ \t]*:.*/, "", name); sub(/^[^:]*:[ \t]*/, "", line)
            if (!subscribe) next
            if (name == "call-id" || name == "i") id = line
            if (name == "from" || name == "f") from = line
            if (name == "via" || name == "v") via = line
            if (name == "contact" || name == "m") contact = line
        }
        END { out() }' "$(path pnp.log)"
}

# pace N MIN_GAP_MS [MAX_IN_3_S]: the first N new SUBSCRIBEs are at least
# MIN_GAP_MS apart, and at most MAX_IN_3_S of them fall in the first 3 s.
pace()
{
    local report
    report=$(sip_subscribes | awk -F '\t' '!seen[$2]++' | head -n "$1" | awk '
        NR == 1 { first = $1 }
        NR > 1 { gap = $1 - previous; if (gap < 0) gap += 86400000; if (min == "" || gap < min) min = gap }
        { previous = $1; t = $1 - first; if (t < 0) t += 86400000; if (t < 3000) ++window }
        END { print min + 0, window + 0 }')
    echo "smallest gap ${report% *} ms, ${report#* } in the first 3 s"
    [ "${report% *}" -ge "$2" ] && [ "${report#* }" -le "${3:-$1}" ]
}

# request N LINE...: the Nth HTTP request the server logged came from the
# device and is exactly these lines, each ended by CRLF, and an empty line.
request()
{
    local logged
    printf '%s\r\n' "${@:2}" "" > "$E2E_DIR/request.expected"
    logged=$(e2e_http_request "$1")
    head -n 1 <<< "$logged" | grep -q " HTTP request from $DEV_IP:[0-9]* ($(stat -c %s "$E2E_DIR/request.expected") bytes):$" \
        || { echo "request $1: $(head -n 1 <<< "$logged")"; return 1; }
    diff <(awk '{ sub(/\r$/, ""); print "    | " $0 }' "$E2E_DIR/request.expected") <(tail -n +2 <<< "$logged")
}

# third_host: a namespace "3rd" (THIRD_IP) on a second link of the device.
third_host()
{
    local net=${DEV_IP#10.231.}
    E2E_EXTRA_NS+=("apc-3rd-$$")
    THIRD_IP=10.232.${net%%.*}.2
    ip netns add "apc-3rd-$$" && e2e_add_link "apc-3rd-$$" eth0 "$E2E_DEV_NS" eth2 "${THIRD_IP%.*}" &&
        ip -n "apc-3rd-$$" route add "${DEV_IP%.*}.0/24" dev eth0
}

# notify srv|3rd CALL_ID TO URL: a NOTIFY of the ua-profile event from that
# host to the device's SIP port, carrying URL, as one datagram.
notify()
{
    local ns=$E2E_SRV_NS ip=$SRV_IP
    [ "$1" = srv ] || { ns=apc-3rd-$$; ip=$THIRD_IP; }
    local lines=("NOTIFY sip:MAC%3A$MAC@$DEV_IP:5060 SIP/2.0" "Via: SIP/2.0/UDP $ip:5060;branch=z9hG4bK-e2e-$1"
        "Max-Forwards: 70" "From: <sip:pnp@$ip>;tag=e2e-$1" "To: $3" "Call-ID: $2" "CSeq: 900 NOTIFY"
        "Event: ua-profile" "Subscription-State: active;expires=3600" "Content-Type: application/url"
        "Content-Length: ${#4}")
    { printf '%s\r\n' "${lines[@]}"; printf '\r\n%s' "$4"; } > "$E2E_DIR/notify.sip"
    # cat writes it with one write() into bash's /dev/udp socket.
    # shellcheck disable=SC2016  # $1 and $2 belong to the inner bash
    ip netns exec "$ns" bash -c 'exec 3> "/dev/udp/$1/5060" && cat "$2" >&3' notify "$DEV_IP" "$E2E_DIR/notify.sip" \
        {E2E_HOLD_FD}>&-
}

# ---------------------------------------------------------------- the device

agent() { e2e_start_agent "${E2E_EMULATOR[@]}" -- "$@"; }
daemon() { e2e_start_daemon "${E2E_EMULATOR[@]}"; }
start() { server && agent && daemon; }
dev() { e2e_dev "$@"; }
ping() { dev python3 "$E2E_DEV_BIN/peers.py" ping /run/msgq; }

# kill_agent: SIGKILL; its output is kept as agent-PID.out.
kill_agent()
{
    kill -KILL "$E2E_AGENT_PID" && { wait "$E2E_AGENT_PID" 2> /dev/null; e2e_forget_pid "$E2E_AGENT_PID"; } &&
        mv "$E2E_DIR/agent.out" "$E2E_DIR/agent-$E2E_AGENT_PID.out"
}

# sigterm: the daemon ends by SIGTERM with one stop line in its report file.
sigterm()
{
    kill -TERM "$E2E_DAEMON_PID" && e2e_wait_for 15 e2e_not_alive "$E2E_DAEMON_PID" || return 1
    wait "$E2E_DAEMON_PID"
    is $? 143 "the daemon's exit status" && e2e_forget_pid "$E2E_DAEMON_PID" && count 1 /tmp/logs/autoprovisionclient.log \
        "^======= Process .*autoprovisionclient \(Auto Provision Client\) has been stopped by signal SIGTERM\(15\) at [0-9]{2}:[0-9]{2}:[0-9]{2} =======$"
}

# device PROGRAM ARGS...: one of the device's programs (under the emulator)
# run to its end, its output in device.out.
device() { e2e_dev "${E2E_EMULATOR[@]}" "$E2E_DEV_BIN/$1" "${@:2}" > "$E2E_DIR/device.out" 2>&1 || { cat "$E2E_DIR/device.out"; return 1; }; }

# update [OPTIONS...]: the web side's update command (waiting up to 20 s
# unless OPTIONS say), accepted. TOOK: how long it took in ms.
update()
{
    local begin options=("$@")
    [ $# -gt 0 ] || options=(--timeout-ms 20000)
    begin=$(e2e_now_ms)
    device autoprovision-cmd "${options[@]}" update && has device.out "^autoprovision-cmd: update: accepted$" || return 1
    TOOK=$(($(e2e_now_ms) - begin))
    echo "answered after $TOOK ms"
}

# provision: one more download by the update command, waited for until the
# daemon has started the configurator and its main loop is done with it.
provision()
{
    local started
    started=$(e2e_trace_count stamped "$CONFIGURATOR")
    update && await 30 trace $((started + 1))+ "$CONFIGURATOR" && ping
}

# syslog: the device's system log, before the daemon starts: /dev becomes an
# overlay of the machine's with a datagram socket at /dev/log.
syslog()
{
    mkdir -p "$E2E_DEV/run/e2e/dev-upper" "$E2E_DEV/run/e2e/dev-work"
    dev mount -t overlay e2e-dev -o lowerdir=/dev,upperdir=/run/e2e/dev-upper,workdir=/run/e2e/dev-work /dev &&
        dev mount -t tmpfs e2e-shm /dev/shm || return 1
    e2e_dev_spawn "$E2E_DIR/syslog.out" python3 "$E2E_DEV_BIN/peers.py" syslog /dev/log /var/log/syslog
    await 15 test -S "$E2E_DEV/run/e2e/dev-upper/log"
}

# logged LINE...: the system log's lines since the last "logged" are exactly these.
logged()
{
    tail -n +$((SYSLOG_SEEN + 1)) "$(path /var/log/syslog)" 2> /dev/null > "$E2E_DIR/syslog.new"
    SYSLOG_SEEN=$((SYSLOG_SEEN + $(wc -l < "$E2E_DIR/syslog.new")))
    lines syslog.new "$@"
}

# user: a uid and gid no account uses (USER_ID); as_user [-b] COMMAND...:
# COMMAND on the device as that user (-b: in the background, E2E_LAST_PID).
user()
{
    command -v setpriv > /dev/null || e2e_skip "needs setpriv from util-linux"
    for USER_ID in 4242 4343 4444 4545 4646; do
        getent passwd "$USER_ID" > /dev/null || getent group "$USER_ID" > /dev/null || return 0
    done
    e2e_skip "no free uid for the local user"
}

as_user()
{
    local as=(setpriv --reuid="$USER_ID" --regid="$USER_ID" --clear-groups --)
    if [ "$1" = -b ]; then e2e_dev_spawn "$E2E_DIR/as-user.out" "${as[@]}" "${@:2}"; else dev "${as[@]}" "$@"; fi
}

# normal_only: a long case, skipped under an emulator or a sanitizer.
normal_only()
{
    [ ${#E2E_EMULATOR[@]} = 0 ] || e2e_skip "long case: normal variant only (emulator in use)"
    ! e2e_sanitizer_build || e2e_skip "long case: normal variant only (sanitizer build)"
}

# ---------------------------------------------------------------- the scenario

mapfile -t SCN_LINES < "$SCENARIO"
SCN_NAME=${SCENARIO##*/} SCN_START=$(e2e_now_ms)

# scn_run FIRST END [ARGUMENTS...]: the scenario's lines FIRST..END-1, with
# ARGUMENTS as $1...; a define block becomes a command.
scn_run()
{
    local scn_k=$1 scn_end=$2 scn_line scn_at
    shift 2
    for ((; scn_k < scn_end; ++scn_k)); do
        scn_line=${SCN_LINES[scn_k]#"${SCN_LINES[scn_k]%%[![:space:]]*}"}
        scn_at=$SCN_NAME:$((scn_k + 1))
        case $scn_line in
            "" | "#"*) continue ;;
            "define "*)
                while ((scn_k < scn_end)) && [[ ! ${SCN_LINES[scn_k]} =~ ^[[:space:]]*end[[:space:]]*$ ]]; do ((++scn_k)); done
                eval "${scn_line#define } () { scn_run ${scn_at#*:} $scn_k \"\$@\"; }"
                continue ;;
        esac
        while [[ $scn_line == *\\ ]] && ((scn_k + 1 < scn_end)); do
            ((++scn_k))
            scn_line="${scn_line%\\} ${SCN_LINES[scn_k]#"${SCN_LINES[scn_k]%%[![:space:]]*}"}"
        done
        printf '[%6d ms] %s: %s\n' $(($(e2e_now_ms) - SCN_START)) "$scn_at" "$scn_line"
        eval "$scn_line" || e2e_fail "$scn_at: $scn_line"
    done
}

scn_run 0 ${#SCN_LINES[@]}
echo "ok: $SCN_NAME ($(($(e2e_now_ms) - SCN_START)) ms)"
