# shellcheck shell=bash disable=SC2034
# Shared set-up of footprint.sh and soak.sh (sourced, bash only, root).
#
# A network namespace holding a veth pair whose device end is "eth1" (the
# other end, "peer0", stays in the same namespace, so nothing reaches the
# machine's network) and a mount namespace, held open by a holder process,
# where /run, /var/log and /tmp are private directories and /etc and
# /usr/libexec are overlays with /etc/version.txt, /etc/zentro/ and an apply
# hook that appends the wall-clock time in milliseconds to /tmp/apply-config.log.
# "/proc/vexa/fxs-number" comes from a stand-in "cat" first on the PATH.
# apc-queue-driver plays the presence agent on queue 124, a python3
# http.server on 127.0.0.1:8080 inside the namespace serves the configuration
# and closes every connection.
#
# After bench_setup:
#   BENCH_DIR   temporary directory (tmpfs), removed at the end
#   BENCH_DEV   the device's files from outside: $BENCH_DEV/tmp is its /tmp,
#               $BENCH_DEV/log its /var/log, $BENCH_DEV/run its /run
#   BENCH_URL   the configuration's URL as the daemon fetches it

BENCH_PIDS=()
BENCH_DIR=
BENCH_DEV=
BENCH_NS=
BENCH_HOLDER_PID=
BENCH_DRIVER_PID=
BENCH_PATH=/run/bench/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
BENCH_URL=http://127.0.0.1:8080/cfg.xml
BENCH_APPLIED=/tmp/apply-config.log

bench_die()
{
    echo "FAIL: $*"
    bench_dump_logs
    exit 1
}

bench_dump_logs()
{
    [ -n "$BENCH_DIR" ] || return 0
    local file
    for file in "$BENCH_DIR/daemon.out" "$BENCH_DIR/driver.err" "$BENCH_DIR/server.out" \
                "$BENCH_DEV/log/autoprovisionclient.log" "$BENCH_DEV/tmp/logs/autoprovisionclient.log"; do
        [ -s "$file" ] || continue
        echo "----- $file (last 30 lines)"
        tail -n 30 "$file"
    done
}

bench_now_ms()
{
    local now=${EPOCHREALTIME/[.,]/}
    echo $((now / 1000))
}

bench_alive()
{
    local state
    [ -r "/proc/$1/stat" ] || return 1
    state=$(sed -E 's/^.*\) (.).*$/\1/' "/proc/$1/stat" 2> /dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# bench_wait_for SECONDS COMMAND...: COMMAND every 50 ms until it succeeds or
# SECONDS have passed.
bench_wait_for()
{
    local seconds=$1; shift
    local round
    for ((round = 0; round < seconds * 20 + 1; ++round)); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

# Ends one process this script started: SIGTERM, up to 5 s, then SIGKILL.
bench_stop_pid()
{
    local pid=$1 round
    if bench_alive "$pid"; then
        kill -TERM "$pid" 2> /dev/null
        for ((round = 0; round < 100; ++round)); do
            bench_alive "$pid" || break
            sleep 0.05
        done
        bench_alive "$pid" && kill -KILL "$pid" 2> /dev/null
    fi
    wait "$pid" 2> /dev/null
}

bench_cleanup()
{
    local status=$?
    trap - EXIT INT TERM
    local i
    for ((i = ${#BENCH_PIDS[@]} - 1; i >= 0; --i)); do
        bench_stop_pid "${BENCH_PIDS[i]}"
    done
    [ -z "$BENCH_HOLDER_PID" ] || bench_stop_pid "$BENCH_HOLDER_PID"
    [ -z "$BENCH_NS" ] || ip netns del "$BENCH_NS" 2> /dev/null
    if [ -n "$BENCH_DIR" ] && [ -d "$BENCH_DIR" ]; then
        umount "$BENCH_DIR" 2> /dev/null
        rm -rf "$BENCH_DIR"
    fi
    exit "$status"
}

# Exits 77 unless this is root and network and mount namespaces work.
bench_require_namespaces()
{
    [ "$(id -u)" = 0 ] || { echo "skipped: needs root for network and mount namespaces"; exit 77; }
    { command -v ip > /dev/null && command -v nsenter > /dev/null && command -v python3 > /dev/null; } ||
        { echo "skipped: needs ip (iproute2), nsenter (util-linux) and python3"; exit 77; }
    unshare --mount --propagation private true 2> /dev/null ||
        { echo "skipped: mount namespaces are not available"; exit 77; }
    local probe=apc-bench-probe-$$
    ip netns add "$probe" 2> /dev/null || { echo "skipped: ip netns add fails here"; exit 77; }
    ip netns del "$probe"
}

# bench_build DIR WHAT CMAKE_ARGS...: configures and builds the daemon and
# apc-queue-driver in DIR when either is missing; exits on a build failure.
bench_build()
{
    local dir=$1 what=$2; shift 2
    [ -x "$dir/core/autoprovisionclient" ] && [ -x "$dir/bench/apc-queue-driver" ] && return 0
    echo "building $what in $dir"
    { cmake -S "$(dirname "${BASH_SOURCE[0]}")/.." -B "$dir" "$@" > /dev/null &&
        cmake --build "$dir" -j2 --target autoprovisionclient apc-queue-driver > /dev/null; } ||
        { echo "FAIL: build"; exit 1; }
}

# Re-runs the calling script once in a private mount namespace, so that its
# tmpfs and the holder's mounts vanish with it.
bench_enter_private_mounts()
{
    if [ "${APC_BENCH_PRIVATE:-}" != 1 ]; then
        export APC_BENCH_PRIVATE=1
        exec unshare --mount --propagation private bash "$0" "$@"
    fi
}

# The holder: mounts the device's directories in its own mount namespace and
# stays until it is stopped (at most an hour).
bench_holder_main()
{
    set -eu
    local root=$1
    mount --bind "$root/run" /run
    [ -L /var/run ] || mount --bind "$root/run" /var/run
    mount --bind "$root/log" /var/log
    mount -t overlay apc-bench-etc -o "lowerdir=/etc,upperdir=$root/etc-upper,workdir=$root/etc-work" /etc
    mount -t overlay apc-bench-libexec \
        -o "lowerdir=/usr/libexec,upperdir=$root/libexec-upper,workdir=$root/libexec-work" /usr/libexec
    mount --bind "$root/tmp" /tmp
    : > /run/bench/ready
    exec sleep 3600
}

# bench_setup DAEMON DRIVER DOCUMENT_BYTES
bench_setup()
{
    local daemon=$1 driver=$2 bytes=$3
    trap bench_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    BENCH_DIR=$(mktemp -d /tmp/apc-bench.XXXXXX) || bench_die "mktemp"
    mount -t tmpfs -o mode=0755 apc-bench "$BENCH_DIR" || bench_die "tmpfs on $BENCH_DIR"
    BENCH_DEV=$BENCH_DIR/device
    local root=$BENCH_DEV
    mkdir -p "$root/run/msgq" "$root/run/bench/bin" "$root/log" "$root/tmp/logs" "$root/tmp/httpipeconfig" \
        "$root/etc-upper/zentro" "$root/etc-work" "$root/libexec-upper/zentro" "$root/libexec-work" \
        "$BENCH_DIR/www"
    chmod 1777 "$root/tmp"
    echo "Version: 5.1.3" > "$root/etc-upper/version.txt"
    echo "# benchmark: tracing on" > "$root/etc-upper/autoprovisionclient.conf"
    echo '<?xml version="1.0"?><factory/>' > "$root/etc-upper/zentro/factory.cfg"
    cat > "$root/run/bench/bin/cat" << 'EOF'
#!/bin/sh
# Stand-in for /proc/vexa/fxs-number, which cannot exist in procfs.
if [ "$#" = 1 ] && [ "$1" = /proc/vexa/fxs-number ]; then
    printf '2'
    exit 0
fi
exec /bin/cat "$@"
EOF
    cat > "$root/libexec-upper/zentro/apply-config" << 'EOF'
#!/bin/sh
# Apply hook of the configurator: one line per apply, the time in milliseconds.
date +%s%3N >> /tmp/apply-config.log
EOF
    chmod 0755 "$root/run/bench/bin/cat" "$root/libexec-upper/zentro/apply-config"
    cp "$daemon" "$root/run/bench/bin/autoprovisionclient" || bench_die "copy $daemon"
    cp "$driver" "$root/run/bench/bin/apc-queue-driver" || bench_die "copy $driver"
    python3 - "$bytes" "$BENCH_DIR/www/cfg.xml" << 'EOF'
import sys
size, path = int(sys.argv[1]), sys.argv[2]
head, tail = '<?xml version="1.0" encoding="UTF-8"?>\n<config>\n', '</config>'
body, i = head, 0
# Whole elements only, then blanks up to the size: the configurator takes
# well-formed documents only.
while len(body) + len(tail) + len('  <param name="line.%d" value="%d"/>\n' % (i, i)) <= size:
    body += '  <param name="line.%d" value="%d"/>\n' % (i, i); i += 1
open(path, 'w').write(body + ' ' * (size - len(body) - len(tail)) + tail)
EOF

    local net=$(($$ % 200 + 20))
    BENCH_NS=apc-bench-$$
    ip netns add "$BENCH_NS" || bench_die "ip netns add"
    ip -n "$BENCH_NS" link add eth1 type veth peer name peer0 || bench_die "veth pair eth1/peer0"
    ip -n "$BENCH_NS" link set eth1 address "$(printf '02:be:0c:00:%02x:02' "$net")" || bench_die "MAC of eth1"
    ip -n "$BENCH_NS" addr add "10.232.$net.2/24" dev eth1 || bench_die "address of eth1"
    ip -n "$BENCH_NS" addr add "10.232.$net.1/24" dev peer0 || bench_die "address of peer0"
    local dev
    for dev in lo eth1 peer0; do
        ip -n "$BENCH_NS" link set "$dev" up || bench_die "$dev up"
    done

    ip netns exec "$BENCH_NS" unshare --mount --propagation private \
        bash -c "$(declare -f bench_holder_main); bench_holder_main \"\$@\"" holder "$root" \
        < /dev/null > "$BENCH_DIR/holder.out" 2>&1 &
    BENCH_HOLDER_PID=$!
    bench_wait_for 15 test -e "$root/run/bench/ready" || bench_die "the device's mount namespace did not come up"

    # HTTP/1.0: the server closes the connection after each answer.
    ip netns exec "$BENCH_NS" python3 -m http.server --bind 127.0.0.1 --directory "$BENCH_DIR/www" 8080 \
        < /dev/null > "$BENCH_DIR/server.out" 2>&1 &
    BENCH_PIDS+=($!)
    bench_wait_for 15 ip netns exec "$BENCH_NS" python3 -c '
import socket, sys
socket.create_connection(("127.0.0.1", 8080), 1).close()' 2> /dev/null || bench_die "the HTTP server did not come up"
}

# bench_dev_spawn OUTPUT COMMAND...: starts a command on the device; its pid
# is in BENCH_LAST_PID.
bench_dev_spawn()
{
    local output=$1; shift
    nsenter -t "$BENCH_HOLDER_PID" -m -n -- env PATH="$BENCH_PATH" "$@" < /dev/null > "$output" 2>&1 &
    BENCH_LAST_PID=$!
    BENCH_PIDS+=("$BENCH_LAST_PID")
}

# Starts the driver on the device as a co-process and waits for "ready".
bench_start_driver()
{
    coproc BENCH_DRIVER { exec nsenter -t "$BENCH_HOLDER_PID" -m -n -- env PATH="$BENCH_PATH" \
        /run/bench/bin/apc-queue-driver 2> "$BENCH_DIR/driver.err"; }
    BENCH_PIDS+=("$BENCH_DRIVER_PID")
    local line=
    read -r -t 15 line <&"${BENCH_DRIVER[0]}"
    [ "$line" = ready ] || bench_die "apc-queue-driver: ${line:-no answer}"
}

# bench_driver SECONDS COMMAND...: one driver command; its answer is in
# BENCH_REPLY; fails unless the answer starts with "ok".
bench_driver()
{
    local seconds=$1; shift
    BENCH_REPLY=
    echo "$*" >&"${BENCH_DRIVER[1]}"
    read -r -t "$seconds" BENCH_REPLY <&"${BENCH_DRIVER[0]}"
    [ "${BENCH_REPLY:0:2}" = ok ]
}

# bench_reply_field NAME: the value of NAME=... in the last answer.
bench_reply_field()
{
    local word
    for word in $BENCH_REPLY; do
        [ "${word%%=*}" = "$1" ] && { echo "${word#*=}"; return 0; }
    done
    return 1
}

# The daemon on the device; pid in BENCH_DAEMON_PID.
bench_start_daemon()
{
    bench_dev_spawn "$BENCH_DIR/daemon.out" "$@" /run/bench/bin/autoprovisionclient
    BENCH_DAEMON_PID=$BENCH_LAST_PID
}

bench_rss_kib()
{
    awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

# CPU time of a process, all threads, in clock ticks (utime + stime).
bench_cpu_ticks()
{
    sed -E 's/^.*\) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}

# CPU time of all threads of a process in nanoseconds, from the scheduler.
bench_cpu_ns()
{
    cat /proc/"$1"/task/*/schedstat 2> /dev/null | awk '{ sum += $1 } END { printf "%d\n", sum }'
}
