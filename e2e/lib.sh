# shellcheck shell=bash disable=SC2034
# Set-up of the end-to-end scenarios (run.sh), the interop test, the demo and
# the benches (sourced, bash only, root).
#
# A device and a server network namespace joined by a veth pair ("eth1",
# "srv0"), each with a route for 224.0.0.0/4, so the SIP multicast never leaves
# them. The device's programs run in a mount namespace held open by a holder
# process, with /run (so /var/run/msgq), /var/log and /tmp private and /etc and
# /usr/libexec overlays, all on a tmpfs in the caller's private mount namespace
# (e2e_enter_private_mounts). "/proc/vexa/fxs-number" cannot exist in procfs: a
# stand-in "cat" first on the device's PATH prints the line number.
# After e2e_setup: E2E_DIR (the run's tmpfs); E2E_DEV, the device's tmp/, run/,
# log/ (its /var/log), etc-upper/ (what it wrote in /etc); E2E_SRV_DIR, the
# server's www/ and pnp.log; E2E_DEV_NS, E2E_SRV_NS, E2E_DEV_IP, E2E_SRV_IP,
# E2E_MAC (aa:bb:..), E2E_MAC_HEX (aabb.., as the daemon writes it);
# E2E_DEV_BIN, /run/e2e/bin: the device's copies of the programs.

E2E_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_PIDS=() E2E_EXTRA_NS=() E2E_EMULATOR=()
E2E_HOLDER_PID='' E2E_HOLD_FD='' E2E_DIR='' E2E_DEV='' E2E_SRV_DIR='' E2E_DEV_NS='' E2E_SRV_NS=''
E2E_DEV_BIN=/run/e2e/bin
E2E_DEV_PATH=$E2E_DEV_BIN:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
E2E_LINE_NUMBER=2 E2E_FIRMWARE=5.1.3
E2E_SANITIZER_REPORT="ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:"
# The configurator's apply hook on the device (set before e2e_setup to change
# it, empty for none): records its argument and what it applied; fails on a
# document marked apply="fail".
# shellcheck disable=SC2016  # the hook expands $1 itself
E2E_APPLY_HOOK='#!/bin/sh
echo "$1" >> /tmp/apply-config.log
grep -q "apply=\"fail\"" "$1" && exit 1
/bin/cat "$1" > /tmp/applied.cfg'

e2e_skip() { echo "skipped: $*"; exit 77; }
e2e_ok() { echo "ok: $*"; }
# Prints the logs that explain a failure, then ends the script with status 1.
e2e_fail() { echo "FAIL: $*"; e2e_dump_logs; exit 1; }

e2e_dump_logs()
{
    [ -n "$E2E_DIR" ] || return 0
    local file
    for file in "$E2E_SRV_DIR"/*.log "$E2E_DIR"/*.out "$E2E_DIR"/*.err "$E2E_DEV/log/autoprovisionclient.log" \
                "$E2E_DEV/log/syslog" "$E2E_DEV/tmp/logs/autoprovisionclient.log" "$E2E_DEV/tmp/apply-config.log"; do
        [ ! -s "$file" ] || { echo "----- $file (last 80 lines)"; tail -n 80 "$file"; }
    done
}

# Exits 77 unless this is root and network and mount namespaces work.
e2e_require_namespaces()
{
    [ "$(id -u)" = 0 ] || e2e_skip "needs root for network and mount namespaces"
    command -v ip > /dev/null || e2e_skip "needs ip from iproute2"
    command -v nsenter > /dev/null || e2e_skip "needs nsenter from util-linux"
    unshare --mount --propagation private true 2> /dev/null || e2e_skip "mount namespaces are not available"
    ip netns add "apc-probe-$$" 2> /dev/null || e2e_skip "ip netns add fails here"
    ip netns del "apc-probe-$$"
}

# Re-runs the calling script in a private mount namespace (once), so that the
# tmpfs of e2e_setup and the namespace mounts vanish with it.
e2e_enter_private_mounts()
{
    [ "${E2E_PRIVATE_MOUNTS:-}" = 1 ] || E2E_PRIVATE_MOUNTS=1 exec unshare --mount --propagation private bash "$0" "$@"
}

e2e_now_ms() { local now=${EPOCHREALTIME/[.,]/}; echo $((now / 1000)); }

# e2e_wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds
# (status 0) or SECONDS have passed (status 1).
e2e_wait_for()
{
    local deadline=$(($(e2e_now_ms) + $1 * 1000)) round
    for ((round = 0; round < $1 * 20 + 1; ++round)); do
        "${@:2}" && return 0
        [ "$(e2e_now_ms)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
    return 1
}

# e2e_alive PID: the process has not ended (bash built-ins only: the rack
# asks about thousands of processes). e2e_not_alive PID...: none runs.
e2e_alive() { local stat; { read -r stat < "/proc/$1/stat"; } 2> /dev/null && stat=${stat##*) } && [ "${stat%% *}" != Z ]; }
e2e_not_alive() { local pid; for pid; do ! e2e_alive "$pid" || return 1; done; }

# e2e_ready_unless_ended PID WHAT COMMAND...: COMMAND's success; when it fails
# and PID has ended, the run fails with WHAT.
e2e_ready_unless_ended() { "${@:3}" && return 0; e2e_alive "$1" || e2e_fail "$2"; return 1; }

# e2e_stop_pid PID...: ends processes this script started, all at once:
# SIGTERM, up to 10 s, then SIGKILL; reaps them.
e2e_stop_pid()
{
    local pid
    [ $# -gt 0 ] || return 0
    kill -TERM "$@" 2> /dev/null
    e2e_wait_for 10 e2e_not_alive "$@" || kill -KILL "$@" 2> /dev/null
    wait "$@" 2> /dev/null
    for pid; do e2e_forget_pid "$pid"; done
}

e2e_forget_pid() { local kept=() pid; for pid in "${E2E_PIDS[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done; E2E_PIDS=("${kept[@]}"); }

e2e_cleanup()
{
    local status=$? i ns
    trap - EXIT INT TERM
    # E2E_SHOW_LOGS=1 shows the logs after a passing run as well.
    [ "${E2E_SHOW_LOGS:-}" != 1 ] || [ "$status" != 0 ] || e2e_dump_logs
    if [ "$E2E_FLEET_SIZE" -gt 0 ]; then
        # The gateways' programs, then their holders.
        [ -z "$E2E_FLEET_GATE_FD" ] || exec {E2E_FLEET_GATE_FD}>&-
        e2e_fleet_stop
        [ -z "$E2E_HOLD_FD" ] || exec {E2E_HOLD_FD}>&-
        E2E_HOLD_FD=
        e2e_stop_pid "${E2E_FLEET_HOLDERS[@]}"
    fi
    for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; --i)); do e2e_stop_pid "${E2E_PIDS[i]}"; done
    [ -z "$E2E_HOLD_FD" ] || exec {E2E_HOLD_FD}>&-
    [ -z "$E2E_HOLDER_PID" ] || e2e_stop_pid "$E2E_HOLDER_PID"
    # In the sanitizer builds a report from any program fails a passing run.
    if [ "$status" = 0 ] && [ -n "$E2E_DIR" ] && grep -qE "$E2E_SANITIZER_REPORT" "$E2E_DIR"/*.out 2> /dev/null; then
        echo "FAIL: sanitizer report:"
        grep -E -A 20 "$E2E_SANITIZER_REPORT" "$E2E_DIR"/*.out | head -n 60
        status=1
    fi
    for ns in "$E2E_DEV_NS" "$E2E_SRV_NS" "${E2E_EXTRA_NS[@]}"; do [ -z "$ns" ] || ip netns del "$ns" 2> /dev/null; done
    [ -z "$E2E_DIR" ] || [ ! -d "$E2E_DIR" ] || { umount "$E2E_DIR" 2> /dev/null; rm -rf "$E2E_DIR"; }
    exit "$status"
}

# The body of the process that holds the device's mount namespace open. It
# runs inside "unshare --mount" in the device's network namespace, mounts the
# device's directories and then waits until the caller closes the FIFO.
# A third argument, a directory, is shown inside as /run/e2e/common.
e2e_holder_main()
{
    set -eu
    local root=$1 fifo=$2 common=${3:-}
    exec 3< "$fifo"
    mount --bind "$root/run" /run
    [ -L /var/run ] || mount --bind "$root/run" /var/run
    [ -z "$common" ] || mount --bind "$common" /run/e2e/common
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
    { ip -n "$1" link set lo up && ip -n "$1" link set "$2" up && ip -n "$3" link set lo up &&
        ip -n "$3" link set "$4" up; } || e2e_fail "links up: $2/$4"
}

# e2e_make_dir: the run's tmpfs E2E_DIR, removed with all else on exit.
e2e_make_dir()
{
    trap e2e_cleanup EXIT && trap 'exit 130' INT && trap 'exit 143' TERM
    E2E_DIR=$(mktemp -d /tmp/apc-e2e.XXXXXX) || e2e_fail "mktemp"
    mount -t tmpfs -o mode=0755 apc-e2e "$E2E_DIR" || e2e_fail "tmpfs on $E2E_DIR"
}

# e2e_setup: namespaces, veth pair, device and server directories, holder.
e2e_setup()
{
    e2e_make_dir
    E2E_DEV=$E2E_DIR/device E2E_SRV_DIR=$E2E_DIR/server
    # The namespaces are private to this run, so the subnet may repeat
    # between runs; it follows the pid only to tell their logs apart.
    local net=$(($$ % 200 + 20)) fifo=$E2E_DIR/holder.fifo
    E2E_DEV_IP=10.231.$net.2 E2E_SRV_IP=10.231.$net.1 E2E_DEV_NS=apc-dev-$$ E2E_SRV_NS=apc-srv-$$
    E2E_MAC=$(printf '0a:e2:e0:00:%02x:02' "$net")
    E2E_MAC_HEX=${E2E_MAC//:/}
    { ip netns add "$E2E_DEV_NS" && ip netns add "$E2E_SRV_NS"; } || e2e_fail "ip netns add"
    e2e_add_link "$E2E_DEV_NS" eth1 "$E2E_SRV_NS" srv0 "10.231.$net"
    { ip -n "$E2E_DEV_NS" link set eth1 address "$E2E_MAC" && ip -n "$E2E_DEV_NS" route add 224.0.0.0/4 dev eth1 &&
        ip -n "$E2E_SRV_NS" route add 224.0.0.0/4 dev srv0; } || e2e_fail "MAC address and multicast routes"
    e2e_make_device_files
    { mkdir -p "$E2E_SRV_DIR/www/cfg" && mkfifo "$fifo"; } || e2e_fail "mkdir, mkfifo"
    ip netns exec "$E2E_DEV_NS" unshare --mount --propagation private \
        bash -c "$(declare -f e2e_holder_main); e2e_holder_main \"\$@\"" holder "$E2E_DEV" "$fifo" \
        < /dev/null > "$E2E_DIR/holder.out" 2>&1 &
    E2E_HOLDER_PID=$!
    # Read-write so that opening never blocks; the holder ends when it is closed.
    exec {E2E_HOLD_FD}<> "$fifo"
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_HOLDER_PID" "the device's mount namespace failed" \
        test -e "$E2E_DEV/run/e2e/ready" || e2e_fail "the device's mount namespace did not come up"
}

# e2e_make_device_files [ROOT...]: the device's files under each ROOT
# (default $E2E_DEV), with one mkdir and one chmod for all of them.
e2e_make_device_files()
{
    local roots=("${@:-$E2E_DEV}") root dirs=() stand_in
    for root in "${roots[@]}"; do
        dirs+=("$root/run/msgq" "$root/run/e2e/bin" "$root/log" "$root/tmp/logs" "$root/tmp/httpipeconfig"
               "$root/etc-upper/zentro" "$root/etc-work" "$root/libexec-upper/zentro" "$root/libexec-work")
    done
    mkdir -p "${dirs[@]}" || e2e_fail "mkdir"
    # shellcheck disable=SC2016  # the stand-in expands its arguments itself
    stand_in=$(printf '%s\n' '#!/bin/sh' '# Stand-in for /proc/vexa/fxs-number, which cannot exist in procfs.' \
        "[ \"\$*\" = /proc/vexa/fxs-number ] && { printf %s '$E2E_LINE_NUMBER'; exit 0; }" 'exec /bin/cat "$@"')
    for root in "${roots[@]}"; do
        echo "Version: $E2E_FIRMWARE" > "$root/etc-upper/version.txt"
        # Tracing is on without the switch line; this hides a machine's own switch.
        echo "# end-to-end test: tracing on" > "$root/etc-upper/autoprovisionclient.conf"
        echo '<?xml version="1.0"?><zentro/>' > "$root/etc-upper/zentro/factory.cfg"
        printf '%s\n' "$stand_in" > "$root/run/e2e/bin/cat"
        [ -z "$E2E_APPLY_HOOK" ] || printf '%s\n' "$E2E_APPLY_HOOK" > "$root/libexec-upper/zentro/apply-config"
    done
    chmod 1777 "${roots[@]/%//tmp}"
    chmod 0755 "${roots[@]/%//run/e2e/bin/cat}"
    [ -z "$E2E_APPLY_HOOK" ] || chmod 0755 "${roots[@]/%//libexec-upper/zentro/apply-config}"
}

# e2e_install_device_program PATH [NAME]: copies a program into the device's
# /run/e2e/bin (a build directory under /tmp is hidden there).
e2e_install_device_program() { cp "$1" "$E2E_DEV/run/e2e/bin/${2:-$(basename "$1")}" || e2e_fail "copy $1"; }

# e2e_dev COMMAND...: runs a command on the device (its namespaces, its PATH);
# e2e_srv COMMAND...: in the server's network namespace.
e2e_dev() { nsenter -t "$E2E_HOLDER_PID" -m -n -- env PATH="$E2E_DEV_PATH" "$@" {E2E_HOLD_FD}>&-; }
e2e_srv() { ip netns exec "$E2E_SRV_NS" "$@" {E2E_HOLD_FD}>&-; }

# e2e_dev_spawn OUTPUT COMMAND..., e2e_srv_spawn OUTPUT COMMAND...: the same in
# the background with the output in OUTPUT; the pid is in E2E_LAST_PID.
e2e_dev_spawn()
{
    nsenter -t "$E2E_HOLDER_PID" -m -n -- env PATH="$E2E_DEV_PATH" "${@:2}" < /dev/null > "$1" 2>&1 {E2E_HOLD_FD}>&- &
    E2E_LAST_PID=$! && E2E_PIDS+=("$!")
}
e2e_srv_spawn()
{
    ip netns exec "$E2E_SRV_NS" "${@:2}" < /dev/null > "$1" 2>&1 {E2E_HOLD_FD}>&- &
    E2E_LAST_PID=$! && E2E_PIDS+=("$!")
}

# e2e_start_server [EMULATOR...] PNP_SERVER -- [OPTIONS...]: pnp-server on srv0
# with the server's www/ directory; waits until it listens. Pid: E2E_SERVER_PID.
e2e_start_server()
{
    local launcher=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do launcher+=("$1"); shift; done
    e2e_srv_spawn "$E2E_DIR/server.out" "${launcher[@]}" --interface srv0 --sip-port 5060 --http-root \
        "$E2E_SRV_DIR/www" --http-address "$E2E_SRV_IP" --http-port 8080 --log "$E2E_SRV_DIR/pnp.log" "${@:2}"
    E2E_SERVER_PID=$E2E_LAST_PID
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_SERVER_PID" "pnp-server ended" e2e_server_listens \
        || e2e_fail "pnp-server did not start"
}

e2e_server_listens() { grep -q "SIP joined" "$E2E_SRV_DIR/pnp.log" 2> /dev/null && grep -q "HTTP serving" "$E2E_SRV_DIR/pnp.log"; }

# e2e_start_agent [EMULATOR...] -- [OPTIONS...]: the device's presence-agent
# (verbose, output in agent.out); waits until it serves its queue.
e2e_start_agent()
{
    local launcher=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do launcher+=("$1"); shift; done
    e2e_dev_spawn "$E2E_DIR/agent.out" "${launcher[@]}" "$E2E_DEV_BIN/presence-agent" --verbose "${@:2}"
    E2E_AGENT_PID=$E2E_LAST_PID
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_AGENT_PID" "presence-agent ended" \
        test -S "$E2E_DEV/run/msgq/queue-124" || e2e_fail "presence-agent did not start"
}

# e2e_start_daemon [EMULATOR...]: the daemon on the device, under the
# address-space limit of its unit and init script where that fits (an emulator
# or a sanitizer reserves far more); waits until its first subscription went
# out. Pid: E2E_DAEMON_PID.
e2e_start_daemon()
{
    local limit=()
    [ $# != 0 ] || ! command -v prlimit > /dev/null || e2e_sanitizer_build || limit=(prlimit --as=268435456 --)
    e2e_dev_spawn "$E2E_DIR/daemon.out" "${limit[@]}" "$@" "$E2E_DEV_BIN/autoprovisionclient"
    E2E_DAEMON_PID=$E2E_LAST_PID
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_DAEMON_PID" "the daemon ended" e2e_trace_count plain \
        "AutoConfigClient::SendMulticastMessage " > /dev/null || e2e_fail "the daemon sent no subscription"
}

# e2e_sanitizer_build: true when the daemon under test was built with a sanitizer.
e2e_sanitizer_build() { grep -qaE "__(a|t)san_init" "$E2E_DEV/run/e2e/bin/autoprovisionclient"; }

# e2e_trace_count stamped|plain TEXT: how many trace texts of the daemon are
# exactly TEXT followed by its line end, with the time stamp or without.
# Texts without a line end ("... connected...") may stand before them.
e2e_trace_count()
{
    local stamp='[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\t\.[0-9]{3} ' lead=
    [ "$1" = plain ] || lead=$stamp
    sed -E "s/^(($stamp)?Auto Provision client is (dis)?connected\.\.\.)*//" "$E2E_DEV/log/autoprovisionclient.log" \
        2> /dev/null | sed -nE "s/^$lead//p" | grep -cxF -- "$2"
}

# e2e_http_request N: the Nth HTTP request's title and lines as the server logged them.
e2e_http_request()
{
    awk -v wanted="$1" '
        /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] / {
            inside = 0
            if ($0 ~ / HTTP request from / && ++n == wanted) { inside = 1; print }
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
    for program in "${@:1:4}"; do [ -x "$program" ] || { echo "FAIL: $program is not an executable"; exit 1; }; done
    e2e_require_namespaces
    e2e_enter_private_mounts "$@"
    E2E_SERVER_PROGRAM=$4 E2E_EMULATOR=("${@:5}")
    e2e_setup
    e2e_install_device_program "$1" autoprovisionclient
    e2e_install_device_program "$2" presence-agent
    e2e_install_device_program "$3" autoprovision-cmd
}

# ---------------------------------------------------------------- a rack of gateways

# A rack of gateways on one link, for the status page test and bench/fleet.sh:
# the server's namespace holds the bridge "br0" ($E2E_SRV_IP/16) with a veth
# port per gateway; each gateway is a network and mount namespace held by a
# holder: eth1 (e2e_fleet_ip, e2e_fleet_mac), the device's files as e2e_setup
# makes them under $E2E_FLEET_DIR/<n>/, and the programs of one directory
# shared by all ($E2E_FLEET_DIR/common, /run/e2e/common inside).
# For a thousand gateways: static neighbour entries on both sides (the
# kernel's table limit, gc_thresh3, is 1024 for all namespaces together); no
# multicast flooding to gateway ports, so a SUBSCRIBE reaches the server
# alone; no IPv6 on the link (thousands of address and group reports); holders
# start in batches of E2E_FLEET_BATCH. E2E_FLEET_HOLDERS, E2E_FLEET_AGENTS,
# E2E_FLEET_DAEMONS: pids by gateway number; the daemons wait at the gate
# until e2e_fleet_release.
E2E_FLEET_SIZE=0 E2E_FLEET_DIR='' E2E_FLEET_GATE_FD='' E2E_FLEET_RELEASE_MS='' E2E_FLEET_BATCH=100
E2E_FLEET_HOLDERS=() E2E_FLEET_AGENTS=() E2E_FLEET_DAEMONS=()
E2E_FLEET_COMMON=/run/e2e/common E2E_FLEET_SRV_MAC=02:e2:f1:ff:00:01

# e2e_fleet_ip N: gateway N's address, 10.232.0.1 being the server's;
# e2e_fleet_mac N and e2e_fleet_mac_hex N: its eth1's MAC, as set on the link
# and as the daemon writes it.
e2e_fleet_ip() { echo "10.232.$((($1 - 1) / 250 + 1)).$((($1 - 1) % 250 + 2))"; }
e2e_fleet_mac() { printf '02:e2:f1:00:%02x:%02x\n' $(($1 / 256)) $(($1 % 256)); }
e2e_fleet_mac_hex() { printf '02e2f100%04x\n' "$1"; }

# A gateway's holder, run by "unshare --net --mount": eth1 is a veth pair
# whose other end, g<n>, goes on the server's bridge; then e2e_holder_main.
e2e_fleet_holder_main()
{
    set -eu
    local root=$1 common=$2 fifo=$3 srv_ns=$4 number=$5 mac=$6 ip=$7 srv_ip=$8 srv_mac=$9
    echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6
    echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6
    printf '%s\n' "link add eth1 address $mac type veth peer name g$number netns $srv_ns" "link set lo up" \
        "link set eth1 up" "address add $ip/16 dev eth1" "route add 224.0.0.0/4 dev eth1" \
        "neighbour add $srv_ip lladdr $srv_mac dev eth1 nud permanent" | ip -batch -
    e2e_holder_main "$root" "$fifo" "$common"
}

# e2e_fleet_setup N: the server's namespace with the bridge, and N gateways
# with their holders (after e2e_require_namespaces, e2e_enter_private_mounts).
e2e_fleet_setup()
{
    e2e_make_dir
    E2E_FLEET_SIZE=$1 E2E_SRV_DIR=$E2E_DIR/server E2E_FLEET_DIR=$E2E_DIR/fleet E2E_SRV_IP=10.232.0.1
    E2E_SRV_NS=apc-srv-$$
    # The holders end when this is closed; no other process may hold it.
    local fifo=$E2E_DIR/fleet/holder.fifo number roots=() body first ports mac ip
    { mkdir -p "$E2E_SRV_DIR/www/cfg" "$E2E_FLEET_DIR/common" && mkfifo "$fifo"; } || e2e_fail "mkdir, mkfifo"
    exec {E2E_HOLD_FD}<> "$fifo"
    ip netns add "$E2E_SRV_NS" || e2e_fail "ip netns add $E2E_SRV_NS"
    e2e_srv sh -c 'echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6 &&
                   echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6' || e2e_fail "IPv6 off in $E2E_SRV_NS"
    printf '%s\n' "link set lo up" "link add br0 address $E2E_FLEET_SRV_MAC type bridge mcast_snooping 0" \
        "address add $E2E_SRV_IP/16 dev br0" "link set br0 up" "route add 224.0.0.0/4 dev br0" \
        | ip -n "$E2E_SRV_NS" -batch - || e2e_fail "the bridge in $E2E_SRV_NS"
    for ((number = 1; number <= E2E_FLEET_SIZE; ++number)); do roots+=("$E2E_FLEET_DIR/$number"); done
    e2e_make_device_files "${roots[@]}"
    mkdir "${roots[@]/%//run/e2e/common}" || e2e_fail "mkdir"
    body="$(declare -f e2e_holder_main e2e_fleet_holder_main); e2e_fleet_holder_main \"\$@\""
    for ((first = 1; first <= E2E_FLEET_SIZE; first += E2E_FLEET_BATCH)); do
        ports=()
        for ((number = first; number < first + E2E_FLEET_BATCH && number <= E2E_FLEET_SIZE; ++number)); do
            mac=$(e2e_fleet_mac "$number") ip=$(e2e_fleet_ip "$number")
            unshare --net --mount --propagation private bash -c "$body" holder "$E2E_FLEET_DIR/$number" \
                "$E2E_FLEET_DIR/common" "$fifo" "$E2E_SRV_NS" "$number" "$mac" "$ip" "$E2E_SRV_IP" \
                "$E2E_FLEET_SRV_MAC" < /dev/null > "$E2E_FLEET_DIR/$number/holder.out" 2>&1 {E2E_HOLD_FD}>&- &
            E2E_FLEET_HOLDERS[number]=$!
            ports+=("link set g$number master br0" "link set dev g$number type bridge_slave mcast_flood off"
                    "link set g$number up" "neighbour add $ip lladdr $mac dev br0 nud permanent")
        done
        e2e_wait_for 60 e2e_fleet_holders_ready "$((number - 1))" || e2e_fail "gateways $first to $((number - 1))" \
            "did not come up: $(cat "$E2E_FLEET_DIR"/*/holder.out 2> /dev/null | sort | uniq -c | sort -rn | head -n 5)"
        printf '%s\n' "${ports[@]}" | ip -n "$E2E_SRV_NS" -batch - \
            || e2e_fail "bridge ports of gateways $first to $((number - 1))"
    done
}

# e2e_fleet_holders_ready N: gateways 1 to N are set up; fails the test when a holder ended.
e2e_fleet_holders_ready()
{
    local number
    for ((number = $1; number >= 1; --number)); do
        e2e_fleet_up "$number" -e run/e2e/ready "${E2E_FLEET_HOLDERS[number]}" holder || return 1
    done
}

# e2e_fleet_gw N COMMAND...: runs a command in gateway N (its namespaces, its PATH).
e2e_fleet_gw() { nsenter -t "${E2E_FLEET_HOLDERS[$1]}" -m -n -- env PATH="$E2E_DEV_PATH" "${@:2}" {E2E_HOLD_FD}>&-; }

# e2e_fleet_spawn N OUTPUT COMMAND...: starts a command in gateway N in the
# background with its output in OUTPUT; its pid (the command's own) is in E2E_LAST_PID.
e2e_fleet_spawn()
{
    PATH=$E2E_DEV_PATH nsenter -t "${E2E_FLEET_HOLDERS[$1]}" -m -n -- "${@:3}" < /dev/null > "$2" 2>&1 {E2E_HOLD_FD}>&- &
    E2E_LAST_PID=$!
}

# e2e_fleet_install PROGRAM...: copies programs into the gateways' shared directory.
e2e_fleet_install() { cp "$@" "$E2E_FLEET_DIR/common/" || e2e_fail "copy $*"; }

# e2e_fleet_launch: in every gateway the presence agent (waited for until it
# serves its queue) and the daemon, without an installed configuration, held
# at the gate until e2e_fleet_release. Output: <n>/agent.out, <n>/daemon.out.
e2e_fleet_launch()
{
    local number gate=$E2E_FLEET_DIR/common/gate
    rm -f "$gate" "$E2E_FLEET_DIR"/*/run/e2e/at-gate
    mkfifo "$gate" || e2e_fail "mkfifo $gate"
    for ((number = 1; number <= E2E_FLEET_SIZE; ++number)); do
        e2e_fleet_spawn "$number" "$E2E_FLEET_DIR/$number/agent.out" "$E2E_FLEET_COMMON/presence-agent"
        E2E_FLEET_AGENTS[number]=$E2E_LAST_PID
    done
    e2e_wait_for 120 e2e_fleet_all e2e_fleet_agent_ready || e2e_fail "the presence agents did not all start"
    for ((number = 1; number <= E2E_FLEET_SIZE; ++number)); do
        # shellcheck disable=SC2016  # the inner bash expands $0
        e2e_fleet_spawn "$number" "$E2E_FLEET_DIR/$number/daemon.out" \
            bash -c 'rm -f /etc/zentro/active.cfg /etc/zentro/previous.cfg && : > /run/e2e/at-gate &&
                     : < "$0/gate" && exec "$0/autoprovisionclient"' "$E2E_FLEET_COMMON"
        E2E_FLEET_DAEMONS[number]=$E2E_LAST_PID
    done
    e2e_wait_for 120 e2e_fleet_all e2e_fleet_at_gate || e2e_fail "the daemons did not all reach the gate"
}

# e2e_fleet_all CHECK: CHECK N holds for every gateway N.
e2e_fleet_all() { local number; for ((number = 1; number <= E2E_FLEET_SIZE; ++number)); do "$1" "$number" || return 1; done; }

# e2e_fleet_up N TEST FILE PID WHAT: "test TEST" holds for gateway N's FILE;
# fails the run when PID, gateway N's WHAT, has ended (no fork until then).
e2e_fleet_up()
{
    test "$2" "$E2E_FLEET_DIR/$1/$3" && return 0
    e2e_alive "$4" || e2e_fail "gateway $1's $5 ended: $(cat "$E2E_FLEET_DIR/$1/$5.out")"
    return 1
}

e2e_fleet_agent_ready() { e2e_fleet_up "$1" -S run/msgq/queue-124 "${E2E_FLEET_AGENTS[$1]}" agent; }
e2e_fleet_at_gate() { e2e_fleet_up "$1" -e run/e2e/at-gate "${E2E_FLEET_DAEMONS[$1]}" daemon; }
# e2e_fleet_applied N: gateway N's configurator has installed a document.
e2e_fleet_applied() { [ -s "$E2E_FLEET_DIR/$1/etc-upper/zentro/active.cfg" ]; }
# e2e_fleet_past_gate N: gateway N's daemon runs its own program, or has ended.
e2e_fleet_past_gate()
{
    local comm
    { read -r comm < "/proc/${E2E_FLEET_DAEMONS[$1]}/comm"; } 2> /dev/null || return 0
    [ "$comm" != bash ]
}

# e2e_fleet_release: opens the gate, so every daemon starts at once, until
# all have passed (E2E_FLEET_RELEASE_MS: when it opened).
e2e_fleet_release()
{
    E2E_FLEET_RELEASE_MS=$(e2e_now_ms)
    exec {E2E_FLEET_GATE_FD}<> "$E2E_FLEET_DIR/common/gate"
    e2e_wait_for 60 e2e_fleet_all e2e_fleet_past_gate || e2e_fail "the daemons did not all start"
    exec {E2E_FLEET_GATE_FD}>&-
    E2E_FLEET_GATE_FD=
}

# e2e_fleet_stop: ends every gateway's daemon and agent (the holders stay).
e2e_fleet_stop() { e2e_stop_pid "${E2E_FLEET_DAEMONS[@]}" "${E2E_FLEET_AGENTS[@]}"; E2E_FLEET_DAEMONS=() E2E_FLEET_AGENTS=(); }

E2E_CHROMIUM=/usr/bin/chromium
# e2e_chromium URL ARGS...: headless Chromium in the server's namespace on
# URL, with a new empty profile, nothing fetched on its own account and at
# most 60 s; its messages go to $E2E_DIR/chromium.err.
e2e_chromium()
{
    local profile
    profile=$(mktemp -d "$E2E_DIR/chromium.XXXXXX") || e2e_fail "mktemp"
    e2e_srv env HOME="$profile" XDG_CONFIG_HOME="$profile" XDG_CACHE_HOME="$profile" \
        timeout 60 "$E2E_CHROMIUM" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$profile" \
        "${@:2}" "$1" 2>> "$E2E_DIR/chromium.err"
}
