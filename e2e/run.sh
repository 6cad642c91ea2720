#!/bin/bash
# shellcheck disable=SC2034,SC2119,SC2120  # variables and verbs for the scenarios
# Runs one end-to-end scenario on lib.sh's device and server namespaces.
# Usage: run.sh SCENARIO DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER [EMULATOR...]
# Exit 0 passed, 1 failed (with the failing line and the logs), 77 skipped.
#
# A scenario (scenarios/NAME.scn, one ctest test e2e_NAME_test each) is a list
# of lines, each one shell command that must succeed ("! command": must fail);
# "#" starts a comment line, "\" at the end continues one. The commands are the verbs below and any program.
# Counts are exact ("2") or a floor ("2+"); "await [SECONDS] CHECK..." retries
# CHECK for up to SECONDS (20). Files are named as the device sees them
# (/tmp/..., /etc/..., /run/..., /var/log/...) or by a log's name (pnp.log,
# http.log, agent.out, ...). "define NAME" ... "end" makes the lines between a
# command NAME whose arguments are $1...: a case that differs from another
# only in data is one line calling it. The runner makes the namespaces, starts
# nothing the scenario does not ask for, and ends and removes everything.
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

MAC=$E2E_MAC_HEX
DEV_IP=$E2E_DEV_IP
SRV_IP=$E2E_SRV_IP
URL=$(e2e_config_url)
STORED=/tmp/httpipeconfig/zentrofxs-$MAC.cfg
HOSTILE_URL="http://{host}:8081/cfg/{mac}.xml"
# Within this a provisioning follows the agent's start; an emulator gets more.
QUICK=5
[ ${#E2E_EMULATOR[@]} = 0 ] || QUICK=15
# Within this a device whose network came late is provisioned.
LATE=2
[ ${#E2E_EMULATOR[@]} = 0 ] || LATE=10
SUBSCRIBED="AutoConfigClient::SendMulticastMessage "
NOTIFIED="AutoConfigClient::Recieve Notify Message form SIP "
CONFIGURATOR="AutoProvisionClient::Start Zentro Configuration Controller"
CLOSED="AutoProvisionClient::Recieved failed(no connection)"
EXPIRED="AutoProvisionClient::Recieved failed(time expire)"
USER_ID=
SYSLOG_SEEN=0

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
is()
{
    if [[ $2 == *+ ]]; then [ "$1" -ge "${2%+}" ]; else [ "$1" = "$2" ]; fi && return 0
    echo "$3: $1, expected $2"
    return 1
}

await()
{
    local seconds=20
    [[ $1 =~ ^[0-9]+$ ]] && { seconds=$1; shift; }
    e2e_wait_for "$seconds" "$@" > /dev/null && return 0
    "$@"
    echo "(waited $seconds s)"
    return 1
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
    echo "$1 differs:"
    diff <(printf '%s\n' "$2") "$(path "$1")" | cut -c 1-200 | head -n 10
    return 1
}

# lines FILE LINE...: FILE's lines are exactly these.
lines()
{
    local file found expected=
    file=$(path "$1"); shift
    [ $# = 0 ] || expected=$(printf '%s\n' "$@")
    found=$(cat "$file" 2> /dev/null)
    [ "$found" = "$expected" ] && return 0
    printf 'expected in %s:\n%s\nfound:\n%s\n' "$file" "$expected" "$found"
    return 1
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

# hostile: peers.py's HTTP server on port 8081, serving what serve wrote.
hostile()
{
    mode whole
    e2e_srv_spawn "$E2E_DIR/http.out" python3 "$E2E_LIB_DIR/peers.py" http "$SRV_IP" 8081 "$E2E_SRV_DIR/mode" \
        "$E2E_SRV_DIR/www/cfg/$MAC.xml" "$E2E_SRV_DIR/http.log"
    await 10 has http.log listening
}

mode() { echo "$1" > "$E2E_SRV_DIR/mode"; }

# last_subscribe: the lines of the last SUBSCRIBE in the server's log, as logged.
last_subscribe()
{
    awk '
        /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] / { first = 1; next }
        /^    \| / {
            if (first) { first = 0; subscribe = ($0 ~ /^    \| SUBSCRIBE /); if (subscribe) last = "" }
            if (subscribe) last = last $0 "\n"
        }
        END { printf "%s", last }' "$(path pnp.log)"
}

# agent_ticks: the CPU time the agent has used, in clock ticks.
agent_ticks() { sed -E 's/^.*\) //' "/proc/$E2E_AGENT_PID/stat" | awk '{ print $12 + $13 }'; }

# subscribes COUNT: SUBSCRIBEs with a new Call-ID in the server's log.
subscribes() { is "$(subscribe_times | wc -l)" "$1" "SUBSCRIBEs with a new Call-ID"; }
requests() { is "$(grep -c "^[0-9:.]* HTTP request from " "$(path pnp.log)")" "$1" "HTTP requests"; }

# subscribe_times: "MS CALL-ID" per SUBSCRIBE with a new Call-ID, MS the time
# of day in milliseconds it came in.
subscribe_times()
{
    awk '
        /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] / {
            split(substr($1, 1, 8), hms, ":")
            ms = ((hms[1] * 60 + hms[2]) * 60 + hms[3]) * 1000 + substr($1, 10, 3)
            first = 1; subscribe = 0
            next
        }
        /^    \| / {
            line = substr($0, 7)
            if (first) { subscribe = (line ~ /^SUBSCRIBE /); first = 0; next }
            if (subscribe && tolower(line) ~ /^(call-id|i)[ \t]*:/) {
                id = line; sub(/^[^:]*:[ \t]*/, "", id)
                if (!(id in seen)) { seen[id] = 1; print ms, id }
            }
        }' "$(path pnp.log)"
}

# pace N MIN_GAP_MS [MAX_IN_3_S]: the first N new SUBSCRIBEs are at least
# MIN_GAP_MS apart, and at most MAX_IN_3_S of them fall in the first 3 s.
pace()
{
    local report
    report=$(subscribe_times | head -n "$1" | awk '
        NR == 1 { first = $1 }
        NR > 1 { gap = $1 - previous; if (gap < 0) gap += 86400000; if (min == "" || gap < min) min = gap }
        { previous = $1; t = $1 - first; if (t < 0) t += 86400000; if (t < 3000) ++window }
        END { print min + 0, window + 0 }')
    echo "smallest gap ${report% *} ms, ${report#* } in the first 3 s"
    [ "${report% *}" -ge "$2" ] && [ "${report#* }" -le "${3:-$1}" ]
}

# header NAME: the header NAME of the last SUBSCRIBE in the server's log.
header()
{
    awk -v name="$1" '
        /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] / { first = 1; subscribe = 0; next }
        /^    \| / {
            line = substr($0, 7)
            if (first) { subscribe = (line ~ /^SUBSCRIBE /); first = 0; next }
            if (subscribe && tolower(line) ~ ("^" tolower(name) "[ \t]*:")) { sub(/^[^:]*:[ \t]*/, "", line); value = line }
        }
        END { print value }' "$(path pnp.log)"
}

# request N LINE...: the Nth HTTP request the server logged came from the
# device and is exactly these lines, each ended by CRLF, and an empty line.
request()
{
    local wanted=$1 logged; shift
    printf '%s\r\n' "$@" "" > "$E2E_DIR/request.expected"
    logged=$(e2e_http_request "$wanted")
    head -n 1 <<< "$logged" | grep -q " HTTP request from $DEV_IP:[0-9]* ($(stat -c %s "$E2E_DIR/request.expected") bytes):$" \
        || { echo "request $wanted: $(head -n 1 <<< "$logged")"; return 1; }
    diff <(awk '{ sub(/\r$/, ""); print "    | " $0 }' "$E2E_DIR/request.expected") <(tail -n +2 <<< "$logged")
}

# third_host: a namespace "3rd" on a second link of the device (eth2).
third_host()
{
    local net=${DEV_IP#10.231.}
    E2E_EXTRA_NS+=("apc-3rd-$$")
    ip netns add "apc-3rd-$$" && e2e_add_link "apc-3rd-$$" eth0 "$E2E_DEV_NS" eth2 "10.232.${net%%.*}" &&
        ip -n "apc-3rd-$$" route add "${DEV_IP%.*}.0/24" dev eth0
    THIRD_IP=10.232.${net%%.*}.2
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

# kill_agent: SIGKILL; its output is kept as agent-PID.out.
kill_agent()
{
    kill -KILL "$E2E_AGENT_PID" && wait "$E2E_AGENT_PID" 2> /dev/null
    e2e_forget_pid "$E2E_AGENT_PID"
    mv "$E2E_DIR/agent.out" "$E2E_DIR/agent-$E2E_AGENT_PID.out"
}

# sigterm: the daemon ends by SIGTERM with one stop line in its report file.
sigterm()
{
    kill -TERM "$E2E_DAEMON_PID"
    e2e_wait_for 15 e2e_not_alive "$E2E_DAEMON_PID" || return 1
    wait "$E2E_DAEMON_PID"
    is $? 143 "the daemon's exit status" || return 1
    e2e_forget_pid "$E2E_DAEMON_PID"
    count 1 /tmp/logs/autoprovisionclient.log "^======= Process .*autoprovisionclient \(Auto Provision Client\) has been stopped by signal SIGTERM\(15\) at [0-9]{2}:[0-9]{2}:[0-9]{2} =======$"
}

# device PROGRAM ARGS...: runs one of the device's programs (under the
# emulator) to its end, its output in device.out.
device()
{
    e2e_dev "${E2E_EMULATOR[@]}" "$E2E_DEV_BIN/$1" "${@:2}" > "$E2E_DIR/device.out" 2>&1 && return 0
    cat "$E2E_DIR/device.out"
    return 1
}

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

ping() { e2e_dev python3 "$E2E_DEV_BIN/peers.py" ping /run/msgq; }

# provision: one more download by the update command, waited for until the
# daemon has started the configurator and its main loop is done with it.
provision()
{
    local started
    started=$(e2e_trace_count stamped "$CONFIGURATOR")
    update && await 30 trace $((started + 1))+ "$CONFIGURATOR" && ping
}

# syslog: the device's system log (before the daemon): /dev becomes an overlay
# of the machine's that holds a datagram socket at /dev/log.
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

# user: a uid and gid that no account uses; as_user [-b] COMMAND...: runs
# COMMAND on the device as that user (-b: in the background, pid in E2E_LAST_PID).
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

# services: the start step of the unit and the init scripts as installed on
# the device, with stand-ins for the programs and a start-stop-daemon that
# records the address-space limit it was started under in /run/e2e/started.
services()
{
    local dist=$E2E_LIB_DIR/../dist run=$E2E_DEV/run/e2e
    UNIT_STEP=$(sed -n 's/^ExecStartPre=[-+@:!]*\(\/usr\/libexec\/[^ ]*prepare-dirs\)$/\1/p' "$dist/autoprovisionclient.service")
    [ -n "$UNIT_STEP" ] || { echo "the unit runs no prepare-dirs before the daemon"; return 1; }
    mkdir -p "$E2E_DEV/libexec-upper/$(dirname "${UNIT_STEP#/usr/libexec/}")" "$run/sbin-upper" "$run/sbin-work"
    cp "$dist/prepare-dirs" "$E2E_DEV/libexec-upper/${UNIT_STEP#/usr/libexec/}" && cp -r "$dist" "$run/dist" || return 1
    printf '#!/bin/sh\nexit 0\n' | tee "$run/sbin-upper/autoprovisionclient" > "$run/sbin-upper/presence-agent"
    # shellcheck disable=SC2016  # expanded by the stand-in when it runs
    printf '#!/bin/sh\necho "$(ulimit -v) $*" >> /run/e2e/started\n' > "$run/bin/start-stop-daemon"
    chmod 0755 "$run/sbin-upper"/* "$run/bin/start-stop-daemon"
    dev mount -t overlay e2e-sbin -o lowerdir=/usr/sbin,upperdir=/run/e2e/sbin-upper,workdir=/run/e2e/sbin-work /usr/sbin &&
        dev rm -rf /tmp/httpipeconfig /tmp/logs /run/msgq
}

# init SCRIPT: runs the init script's start on the device.
init() { : > "$E2E_DEV/run/e2e/started" && dev timeout 20 sh "/run/e2e/dist/$1.init" start > /dev/null; }

# prepared PLANT [KEPT]: for the unit's step and then the init script's start:
# PLANT (a command on $d) at /tmp/httpipeconfig and /tmp/logs, the step, then
# the two directories rooted and /run/msgq made.
prepared()
{
    local by d
    for by in unit init; do
        for d in /tmp/httpipeconfig /tmp/logs; do eval "$1" || return 1; done
        if [ $by = unit ]; then
            dev timeout 20 "$UNIT_STEP"
        else
            init autoprovisionclient && has /run/e2e/started "^262144 --start .*--exec /usr/sbin/autoprovisionclient$"
        fi || { echo "($by)"; return 1; }
        { rooted "${2:-}" && [ -d "$(path /run/msgq)" ]; } || { echo "($by)"; return 1; }
        dev rm -r /run/msgq
    done
}

# rooted [KEPT]: /tmp/httpipeconfig and /tmp/logs are directories 0755
# root:root holding KEPT (or nothing), /tmp holds nothing else and what the
# user had at /tmp/theirs is still theirs; then all of it is removed.
rooted()
{
    local d
    for d in /tmp/httpipeconfig /tmp/logs; do
        [ ! -L "$(path $d)" ] && is "$(stat -c '%u:%g %a' "$(path $d)")" "0:0 755" "$d" &&
            is "$(ls -A "$(path $d)")" "${1:-}" "what $d holds" || return 1
    done
    [ ! -e "$(path /tmp/theirs)" ] || is "$(stat -c %u "$(path /tmp/theirs)")" "$USER_ID" "owner of /tmp/theirs" || return 1
    is "$(find "$(path /tmp)" -mindepth 1 -maxdepth 1 ! -name httpipeconfig ! -name logs ! -name theirs)" "" \
        "other entries in /tmp" || return 1
    dev rm -rf /tmp/httpipeconfig /tmp/logs /tmp/theirs
}

# ---------------------------------------------------------------- the scenario

mapfile -t SCN_LINES < "$SCENARIO"
SCN_NAME=${SCENARIO##*/}
SCN_START=$(e2e_now_ms)
SCN_BODY=()

# scn_run FIRST END [ARGUMENTS...]: the scenario's lines FIRST..END-1, with
# ARGUMENTS as $1...; a define block becomes a command and is skipped.
scn_run()
{
    local scn_k=$1 scn_end=$2 scn_line scn_at
    shift 2
    for ((; scn_k < scn_end; ++scn_k)); do
        scn_line=${SCN_LINES[scn_k]#"${SCN_LINES[scn_k]%%[![:space:]]*}"}
        case $scn_line in
            "" | "#"*) continue ;;
            "define "*)
                SCN_BODY+=("$((scn_k + 1))")
                # shellcheck disable=SC2016  # expanded when the command runs
                eval "${scn_line#define } () { scn_run ${SCN_BODY[-1]} \${SCN_END[${#SCN_BODY[@]} - 1]} \"\$@\"; }"
                for ((; scn_k < scn_end; ++scn_k)); do
                    [[ ${SCN_LINES[scn_k]} =~ ^[[:space:]]*end[[:space:]]*$ ]] && break
                done
                SCN_END[${#SCN_BODY[@]} - 1]=$scn_k
                continue ;;
        esac
        scn_at=$SCN_NAME:$((scn_k + 1))
        while [[ $scn_line == *\\ ]] && ((scn_k + 1 < scn_end)); do
            ((++scn_k))
            scn_line="${scn_line%\\} ${SCN_LINES[scn_k]#"${SCN_LINES[scn_k]%%[![:space:]]*}"}"
        done
        printf '[%6d ms] %s: %s\n' $(($(e2e_now_ms) - SCN_START)) "$scn_at" "$scn_line"
        eval "$scn_line" || e2e_fail "$scn_at: $scn_line"
    done
}

SCN_END=()
scn_run 0 ${#SCN_LINES[@]}
echo "ok: $SCN_NAME ($(($(e2e_now_ms) - SCN_START)) ms)"
