# shellcheck shell=bash disable=SC2034
# Set-up of the end-to-end scenarios (run.sh), the interop test, the demo and
# the benches (sourced, bash only, root).
#
# A device and a server network namespace joined by a veth pair: "eth1" on the
# device, "srv0" on the server, each with a route for 224.0.0.0/4, so the SIP
# multicast never leaves the two namespaces. The device's programs run in a
# mount namespace of their own, held open by a holder process, where /run (so
# /var/run/msgq), /var/log and /tmp are private and /etc and /usr/libexec are
# overlays. All of it lives on a tmpfs in the caller's private mount namespace
# (e2e_enter_private_mounts): the caller reads the device's files directly and
# nothing stays mounted on the machine. "/proc/vexa/fxs-number" cannot exist in
# procfs: a stand-in "cat" first on the device's PATH prints the line number.
#
# After e2e_setup:
#   E2E_DIR      the run's temporary directory (tmpfs)
#   E2E_DEV      the device's files from outside: tmp/ (its /tmp), run/ (its
#                /run), log/ (its /var/log), etc-upper/ (what it wrote in /etc)
#   E2E_SRV_DIR  the server's files: www/ (HTTP root), pnp.log
#   E2E_DEV_NS, E2E_SRV_NS, E2E_DEV_IP, E2E_SRV_IP, E2E_MAC (aa:bb:..),
#   E2E_MAC_HEX (aabb..., as the daemon writes it)
#   E2E_DEV_BIN  /run/e2e/bin: the device's copies of the programs

E2E_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_PIDS=()
E2E_HOLDER_PID=
E2E_HOLD_FD=
E2E_DIR=
E2E_DEV=
E2E_SRV_DIR=
E2E_DEV_NS=
E2E_SRV_NS=
E2E_EXTRA_NS=()
E2E_EMULATOR=()
E2E_DEV_BIN=/run/e2e/bin
E2E_DEV_PATH=$E2E_DEV_BIN:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
E2E_LINE_NUMBER=2
E2E_FIRMWARE=5.1.3
E2E_SANITIZER_REPORT="ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:"
# The configurator's apply hook on the device (set before e2e_setup to change
# it): records its argument and what it applied; fails on a document marked
# apply="fail".
# shellcheck disable=SC2016  # the hook expands $1 itself
E2E_APPLY_HOOK='#!/bin/sh
echo "$1" >> /tmp/apply-config.log
grep -q "apply=\"fail\"" "$1" && exit 1
/bin/cat "$1" > /tmp/applied.cfg'

e2e_skip() { echo "skipped: $*"; exit 77; }
e2e_ok() { echo "ok: $*"; }

# Prints the logs that explain a failure, then ends the script with status 1.
e2e_fail()
{
    echo "FAIL: $*"
    e2e_dump_logs
    exit 1
}

e2e_dump_logs()
{
    [ -n "$E2E_DIR" ] || return 0
    local file
    for file in "$E2E_SRV_DIR"/*.log "$E2E_DIR"/*.out "$E2E_DIR"/*.err "$E2E_DEV/log/autoprovisionclient.log" \
                "$E2E_DEV/log/syslog" "$E2E_DEV/tmp/logs/autoprovisionclient.log" "$E2E_DEV/tmp/apply-config.log"; do
        [ -s "$file" ] || continue
        echo "----- $file (last 80 lines)"
        tail -n 80 "$file"
    done
}

# Exits 77 unless this is root and network and mount namespaces work.
e2e_require_namespaces()
{
    [ "$(id -u)" = 0 ] || e2e_skip "needs root for network and mount namespaces"
    command -v ip > /dev/null || e2e_skip "needs ip from iproute2"
    command -v nsenter > /dev/null || e2e_skip "needs nsenter from util-linux"
    unshare --mount --propagation private true 2> /dev/null || e2e_skip "mount namespaces are not available"
    local probe=apc-probe-$$
    ip netns add "$probe" 2> /dev/null || e2e_skip "ip netns add fails here"
    ip netns del "$probe"
}

# Re-runs the calling script in a private mount namespace (once), so that the
# tmpfs of e2e_setup and the namespace mounts vanish with it.
e2e_enter_private_mounts()
{
    if [ "${E2E_PRIVATE_MOUNTS:-}" != 1 ]; then
        export E2E_PRIVATE_MOUNTS=1
        exec unshare --mount --propagation private bash "$0" "$@"
    fi
}

e2e_now_ms()
{
    local now=${EPOCHREALTIME/[.,]/}
    echo $((now / 1000))
}

# e2e_wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds
# (status 0) or SECONDS have passed (status 1).
e2e_wait_for()
{
    local seconds=$1; shift
    local deadline=$(($(e2e_now_ms) + seconds * 1000)) round
    for ((round = 0; round < seconds * 20 + 1; ++round)); do
        "$@" && return 0
        [ "$(e2e_now_ms)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
    return 1
}

e2e_alive()
{
    local state
    state=$(sed -E 's/^.*\) (.).*$/\1/' "/proc/$1/stat" 2> /dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

e2e_not_alive() { ! e2e_alive "$1"; }

# e2e_ready_unless_ended PID WHAT COMMAND...: COMMAND's success; when it fails
# and PID has ended, the run fails with WHAT.
e2e_ready_unless_ended()
{
    local pid=$1 what=$2; shift 2
    "$@" && return 0
    e2e_alive "$pid" || e2e_fail "$what"
    return 1
}

# Ends one process this script started: SIGTERM, up to 5 s, then SIGKILL.
e2e_stop_pid()
{
    if e2e_alive "$1"; then
        kill -TERM "$1" 2> /dev/null
        e2e_wait_for 5 e2e_not_alive "$1" || kill -KILL "$1" 2> /dev/null
    fi
    wait "$1" 2> /dev/null
    e2e_forget_pid "$1"
}

e2e_forget_pid()
{
    local kept=() pid
    for pid in "${E2E_PIDS[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    E2E_PIDS=("${kept[@]}")
}

e2e_cleanup()
{
    local status=$? i ns
    trap - EXIT INT TERM
    # E2E_SHOW_LOGS=1 shows the logs after a passing run as well.
    [ "${E2E_SHOW_LOGS:-}" != 1 ] || [ "$status" != 0 ] || e2e_dump_logs
    for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; --i)); do
        e2e_stop_pid "${E2E_PIDS[i]}"
    done
    [ -z "$E2E_HOLD_FD" ] || exec {E2E_HOLD_FD}>&-
    [ -z "$E2E_HOLDER_PID" ] || e2e_stop_pid "$E2E_HOLDER_PID"
    # In the sanitizer builds a report from any program fails a passing run.
    if [ "$status" = 0 ] && [ -n "$E2E_DIR" ] && grep -qE "$E2E_SANITIZER_REPORT" "$E2E_DIR"/*.out 2> /dev/null; then
        echo "FAIL: sanitizer report:"
        grep -E -A 20 "$E2E_SANITIZER_REPORT" "$E2E_DIR"/*.out | head -n 60
        status=1
    fi
    for ns in "$E2E_DEV_NS" "$E2E_SRV_NS" "${E2E_EXTRA_NS[@]}"; do
        [ -z "$ns" ] || ip netns del "$ns" 2> /dev/null
    done
    if [ -n "$E2E_DIR" ] && [ -d "$E2E_DIR" ]; then
        umount "$E2E_DIR" 2> /dev/null
        rm -rf "$E2E_DIR"
    fi
    exit "$status"
}

# The body of the process that holds the device's mount namespace open. It
# runs inside "unshare --mount" in the device's network namespace, mounts the
# device's directories and then waits until the caller closes the FIFO.
e2e_holder_main()
{
    set -eu
    local root=$1 fifo=$2
    exec 3< "$fifo"
    mount --bind "$root/run" /run
    [ -L /var/run ] || mount --bind "$root/run" /var/run
    mount --bind "$root/log" /var/log
    mount -t overlay e2e-etc -o "lowerdir=/etc,upperdir=$root/etc-upper,workdir=$root/etc-work" /etc
    mount -t overlay e2e-libexec \
        -o "lowerdir=/usr/libexec,upperdir=$root/libexec-upper,workdir=$root/libexec-work" /usr/libexec
    # Last: it hides $root when the run's directory is under /tmp.
    mount --bind "$root/tmp" /tmp
    : > /run/e2e/ready
    read -r _ <&3 || true
}

# e2e_add_link NAMESPACE DEVICE PEER_NAMESPACE PEER NET: a veth pair, NET.2 on
# DEVICE and NET.1 on PEER, both up with lo.
e2e_add_link()
{
    ip link add "$2" netns "$1" type veth peer name "$4" netns "$3" || e2e_fail "veth pair $2/$4"
    { ip -n "$1" addr add "$5.2/24" dev "$2" && ip -n "$3" addr add "$5.1/24" dev "$4"; } || e2e_fail "addresses $5.x"
    local ns
    for ns in "$1:$2" "$3:$4"; do
        { ip -n "${ns%%:*}" link set lo up && ip -n "${ns%%:*}" link set "${ns#*:}" up; } || e2e_fail "links up in $ns"
    done
}

# e2e_setup: namespaces, veth pair, device and server directories, holder.
e2e_setup()
{
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    E2E_DIR=$(mktemp -d /tmp/apc-e2e.XXXXXX) || e2e_fail "mktemp"
    mount -t tmpfs -o mode=0755 apc-e2e "$E2E_DIR" || e2e_fail "tmpfs on $E2E_DIR"
    E2E_DEV=$E2E_DIR/device
    E2E_SRV_DIR=$E2E_DIR/server
    # The namespaces are private to this run, so the subnet may repeat
    # between runs; it follows the pid only to tell their logs apart.
    local net=$(($$ % 200 + 20))
    E2E_DEV_IP=10.231.$net.2
    E2E_SRV_IP=10.231.$net.1
    E2E_MAC=$(printf '02:e2:e0:00:%02x:02' "$net")
    E2E_MAC_HEX=${E2E_MAC//:/}
    E2E_DEV_NS=apc-dev-$$
    E2E_SRV_NS=apc-srv-$$
    { ip netns add "$E2E_DEV_NS" && ip netns add "$E2E_SRV_NS"; } || e2e_fail "ip netns add"
    e2e_add_link "$E2E_DEV_NS" eth1 "$E2E_SRV_NS" srv0 "10.231.$net"
    ip -n "$E2E_DEV_NS" link set eth1 address "$E2E_MAC" || e2e_fail "MAC address of eth1"
    { ip -n "$E2E_DEV_NS" route add 224.0.0.0/4 dev eth1 && ip -n "$E2E_SRV_NS" route add 224.0.0.0/4 dev srv0; } \
        || e2e_fail "multicast routes"
    e2e_make_device_files
    mkdir -p "$E2E_SRV_DIR/www/cfg"
    e2e_start_holder
}

e2e_make_device_files()
{
    local root=$E2E_DEV
    mkdir -p "$root/run/msgq" "$root/run/e2e/bin" "$root/log" "$root/tmp/logs" "$root/tmp/httpipeconfig" \
        "$root/etc-upper/zentro" "$root/etc-work" "$root/libexec-upper/zentro" "$root/libexec-work"
    chmod 1777 "$root/tmp"
    echo "Version: $E2E_FIRMWARE" > "$root/etc-upper/version.txt"
    # Tracing is on without the switch line; this hides a machine's own switch.
    echo "# end-to-end test: tracing on" > "$root/etc-upper/autoprovisionclient.conf"
    echo '<?xml version="1.0"?><zentro/>' > "$root/etc-upper/zentro/factory.cfg"
    cat > "$root/run/e2e/bin/cat" << EOF
#!/bin/sh
# Stand-in for /proc/vexa/fxs-number, which cannot exist in procfs.
if [ "\$#" = 1 ] && [ "\$1" = /proc/vexa/fxs-number ]; then
    printf '%s' '$E2E_LINE_NUMBER'
    exit 0
fi
exec /bin/cat "\$@"
EOF
    printf '%s\n' "$E2E_APPLY_HOOK" > "$root/libexec-upper/zentro/apply-config"
    chmod 0755 "$root/run/e2e/bin/cat" "$root/libexec-upper/zentro/apply-config"
}

e2e_start_holder()
{
    local fifo=$E2E_DIR/holder.fifo
    mkfifo "$fifo" || e2e_fail "mkfifo"
    ip netns exec "$E2E_DEV_NS" unshare --mount --propagation private \
        bash -c "$(declare -f e2e_holder_main); e2e_holder_main \"\$@\"" holder "$E2E_DEV" "$fifo" \
        < /dev/null > "$E2E_DIR/holder.out" 2>&1 &
    E2E_HOLDER_PID=$!
    # Read-write so that opening never blocks; the holder ends when it is closed.
    exec {E2E_HOLD_FD}<> "$fifo"
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_HOLDER_PID" "the device's mount namespace failed" \
        test -e "$E2E_DEV/run/e2e/ready" || e2e_fail "the device's mount namespace did not come up"
}

# e2e_install_device_program PATH [NAME]: copies a program into the device's
# /run/e2e/bin (a build directory under /tmp is hidden there).
e2e_install_device_program()
{
    cp "$1" "$E2E_DEV/run/e2e/bin/${2:-$(basename "$1")}" || e2e_fail "copy $1"
}

# e2e_dev COMMAND...: runs a command on the device (its namespaces, its PATH).
e2e_dev()
{
    nsenter -t "$E2E_HOLDER_PID" -m -n -- env PATH="$E2E_DEV_PATH" "$@" {E2E_HOLD_FD}>&-
}

# e2e_dev_spawn OUTPUT COMMAND...: starts a command on the device in the
# background with its output in OUTPUT; its pid is in E2E_LAST_PID.
e2e_dev_spawn()
{
    local output=$1; shift
    nsenter -t "$E2E_HOLDER_PID" -m -n -- env PATH="$E2E_DEV_PATH" "$@" < /dev/null > "$output" 2>&1 {E2E_HOLD_FD}>&- &
    E2E_LAST_PID=$!
    E2E_PIDS+=("$E2E_LAST_PID")
}

# e2e_srv_spawn OUTPUT COMMAND...: the same in the server's network namespace.
e2e_srv_spawn()
{
    local output=$1; shift
    ip netns exec "$E2E_SRV_NS" "$@" < /dev/null > "$output" 2>&1 {E2E_HOLD_FD}>&- &
    E2E_LAST_PID=$!
    E2E_PIDS+=("$E2E_LAST_PID")
}

# e2e_srv COMMAND...: runs a command in the server's network namespace.
e2e_srv() { ip netns exec "$E2E_SRV_NS" "$@" {E2E_HOLD_FD}>&-; }

# e2e_start_server [EMULATOR...] PNP_SERVER -- [OPTIONS...]: pnp-server on srv0
# with the server's www/ directory; waits until it listens. Pid: E2E_SERVER_PID.
e2e_start_server()
{
    local launcher=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do launcher+=("$1"); shift; done
    [ $# = 0 ] || shift
    e2e_srv_spawn "$E2E_DIR/server.out" "${launcher[@]}" --interface srv0 --sip-port 5060 \
        --http-root "$E2E_SRV_DIR/www" --http-address "$E2E_SRV_IP" --http-port 8080 --log "$E2E_SRV_DIR/pnp.log" "$@"
    E2E_SERVER_PID=$E2E_LAST_PID
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_SERVER_PID" "pnp-server ended" e2e_server_listens \
        || e2e_fail "pnp-server did not start"
}

e2e_server_listens()
{
    grep -q "SIP joined" "$E2E_SRV_DIR/pnp.log" 2> /dev/null && grep -q "HTTP serving" "$E2E_SRV_DIR/pnp.log"
}

# e2e_start_agent [EMULATOR...] -- [OPTIONS...]: the device's presence-agent
# (verbose, output in agent.out); waits until it serves its queue.
e2e_start_agent()
{
    local launcher=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do launcher+=("$1"); shift; done
    [ $# = 0 ] || shift
    e2e_dev_spawn "$E2E_DIR/agent.out" "${launcher[@]}" "$E2E_DEV_BIN/presence-agent" --verbose "$@"
    E2E_AGENT_PID=$E2E_LAST_PID
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_AGENT_PID" "presence-agent ended" \
        test -S "$E2E_DEV/run/msgq/queue-124" || e2e_fail "presence-agent did not start"
}

# e2e_start_daemon [EMULATOR...]: the daemon on the device, under the
# address-space limit of its unit and init script where that fits; waits until
# its first subscription went out. Pid: E2E_DAEMON_PID.
e2e_start_daemon()
{
    local limit=()
    # An emulator or a sanitizer reserves far more address space than the daemon uses.
    if [ $# = 0 ] && command -v prlimit > /dev/null && ! e2e_sanitizer_build; then
        limit=(prlimit --as=268435456 --)
    fi
    e2e_dev_spawn "$E2E_DIR/daemon.out" "${limit[@]}" "$@" "$E2E_DEV_BIN/autoprovisionclient"
    E2E_DAEMON_PID=$E2E_LAST_PID
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_DAEMON_PID" "the daemon ended" \
        e2e_trace_at_least 1 plain "AutoConfigClient::SendMulticastMessage " || e2e_fail "the daemon sent no subscription"
}

# e2e_sanitizer_build: true when the daemon under test was built with a sanitizer.
e2e_sanitizer_build() { grep -qaE "__(a|t)san_init" "$E2E_DEV/run/e2e/bin/autoprovisionclient"; }

# e2e_trace_count stamped|plain TEXT: how many trace texts of the daemon are
# exactly TEXT followed by its line end, with the time stamp or without.
# Texts without a line end ("... connected...") may stand before them.
e2e_trace_count()
{
    [ -f "$E2E_DEV/log/autoprovisionclient.log" ] || { echo 0; return; }
    awk -v kind="$1" -v text="$2" '
        BEGIN {
            stamp = "[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9][0-9][0-9][0-9]\t\\.[0-9][0-9][0-9] "
            party = "^(" stamp ")?Auto Provision client is (dis)?connected\\.\\.\\."
        }
        {
            line = $0
            while (match(line, party))
                line = substr(line, RLENGTH + 1)
            if (kind == "stamped") {
                if (!match(line, "^" stamp))
                    next
                line = substr(line, RLENGTH + 1)
            }
            if (line == text)
                ++count
        }
        END { print count + 0 }' "$E2E_DEV/log/autoprovisionclient.log"
}

# e2e_trace_at_least N stamped|plain TEXT
e2e_trace_at_least() { [ "$(e2e_trace_count "$2" "$3")" -ge "$1" ]; }

# e2e_http_request N: the Nth HTTP request's title and lines as the server logged them.
e2e_http_request()
{
    awk -v wanted="$1" '
        /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] / {
            inside = 0
            if ($0 ~ / HTTP request from /) { ++n; if (n == wanted) { inside = 1; print; } }
            next
        }
        inside { print }' "$E2E_SRV_DIR/pnp.log"
}

e2e_file_has() { grep -qF -- "$2" "$1" 2> /dev/null; }

# e2e_publish_document TEXT: the configuration the server hands out for the
# device's MAC, written without a final line end.
e2e_publish_document() { printf '%s' "$1" > "$E2E_SRV_DIR/www/cfg/$E2E_MAC_HEX.xml"; }

e2e_config_url() { echo "http://$E2E_SRV_IP:8080/cfg/$E2E_MAC_HEX.xml"; }

e2e_stored_file() { echo "$E2E_DEV/tmp/httpipeconfig/zentrofxs-$E2E_MAC_HEX.cfg"; }

# e2e_test_begin DAEMON AGENT COMMAND_TOOL SERVER [EMULATOR...]: a script's
# arguments. Skips unless root with namespaces, moves into a private mount
# namespace, sets up both sides and copies the device's programs.
e2e_test_begin()
{
    local program
    for program in "${@:1:4}"; do
        [ -x "$program" ] || { echo "FAIL: $program is not an executable"; exit 1; }
    done
    e2e_require_namespaces
    e2e_enter_private_mounts "$@"
    E2E_SERVER_PROGRAM=$4
    E2E_EMULATOR=("${@:5}")
    e2e_setup
    e2e_install_device_program "$1" autoprovisionclient
    e2e_install_device_program "$2" presence-agent
    e2e_install_device_program "$3" autoprovision-cmd
}
