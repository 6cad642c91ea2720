# shellcheck shell=bash disable=SC2034
# Shared set-up of footprint.sh and soak.sh (sourced, bash only, root), on top
# of the end-to-end tests' library: its device and server namespaces, the
# device's mount namespace and files, its waits, its clean-up and its
# e2e_fail, e2e_alive and e2e_now_ms.
#
# Differences from the end-to-end set-up: the configurator's apply hook
# appends the wall-clock time in milliseconds to /tmp/apply-config.log;
# apc-queue-driver plays the presence agent on queue 124; a python3
# http.server on the server's side ($E2E_SRV_IP:8080) serves the
# configuration and closes every connection.
#
# After bench_setup (besides what e2e_setup sets: E2E_DIR, E2E_DEV, ...):
#   BENCH_WWW   the HTTP server's root
#   BENCH_URL   the configuration's URL as the daemon fetches it

# shellcheck source=e2e/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"

BENCH_WWW=
BENCH_URL=
BENCH_APPLIED=/tmp/apply-config.log
E2E_APPLY_HOOK='#!/bin/sh
# Apply hook of the configurator: one line per apply, the time in milliseconds.
date +%s%3N >> /tmp/apply-config.log'

# Exits 77 unless this is root, namespaces work and python3 is there.
bench_require_namespaces()
{
    e2e_require_namespaces
    command -v python3 > /dev/null || e2e_skip "needs python3"
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

# bench_setup DAEMON DRIVER DOCUMENT_BYTES
bench_setup()
{
    local daemon=$1 driver=$2 bytes=$3
    e2e_setup
    e2e_install_device_program "$daemon" autoprovisionclient
    e2e_install_device_program "$driver" apc-queue-driver
    BENCH_WWW=$E2E_SRV_DIR/www
    BENCH_URL=http://$E2E_SRV_IP:8080/cfg.xml
    python3 - "$bytes" "$BENCH_WWW/cfg.xml" << 'EOF'
import sys
size, path = int(sys.argv[1]), sys.argv[2]
head, tail = '<?xml version="1.0" encoding="UTF-8"?>\n<zentro>\n', '</zentro>'
body, i = head, 0
# Whole elements only, then at least 24 blanks up to the size (the server
# numbers each answer over them): the configurator takes well-formed
# documents only.
while len(body) + len(tail) + 24 + len('  <param name="line.%d" value="%d"/>\n' % (i, i)) <= size:
    body += '  <param name="line.%d" value="%d"/>\n' % (i, i); i += 1
open(path, 'w').write(body + ' ' * (size - len(body) - len(tail)) + tail)
EOF

    # HTTP/1.0: the server closes the connection after each answer. Each
    # answer numbers itself in a comment over the padding, so that every
    # download is a new document (the configurator leaves the active one
    # alone) of the same size.
    e2e_srv_spawn "$E2E_DIR/server.out" python3 -c '
import http.server, os, sys
class Numbered(http.server.BaseHTTPRequestHandler):
    count = 0
    def do_GET(self):
        path = os.path.join(sys.argv[2], os.path.basename(self.path))
        try:
            body = open(path, "rb").read()
        except OSError:
            self.send_error(404)
            return
        Numbered.count += 1
        mark = b"<!-- %d -->" % Numbered.count
        end = body.rfind(b"</")
        if end >= len(mark) and body[end - len(mark):end].strip() == b"":
            body = body[:end - len(mark)] + mark + body[end:]
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.HTTPServer((sys.argv[1], 8080), Numbered).serve_forever()' "$E2E_SRV_IP" "$BENCH_WWW"
    e2e_wait_for 15 e2e_ready_unless_ended "$E2E_LAST_PID" "the HTTP server ended" bench_server_listens ||
        e2e_fail "the HTTP server did not come up"
}

bench_server_listens()
{
    e2e_srv python3 -c '
import socket, sys
socket.create_connection((sys.argv[1], 8080), 1).close()' "$E2E_SRV_IP" 2> /dev/null
}

# Starts the driver on the device as a co-process and waits for "ready".
bench_start_driver()
{
    coproc BENCH_DRIVER { exec nsenter -t "$E2E_HOLDER_PID" -m -n -- env PATH="$E2E_DEV_PATH" \
        "$E2E_DEV_BIN/apc-queue-driver" 2> "$E2E_DIR/driver.err" {E2E_HOLD_FD}>&-; }
    E2E_PIDS+=("$BENCH_DRIVER_PID")
    local line=
    read -r -t 15 line <&"${BENCH_DRIVER[0]}"
    [ "$line" = ready ] || e2e_fail "apc-queue-driver: ${line:-no answer}"
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

# bench_start_daemon [PREFIX...]: the daemon on the device, started at once
# without waiting for anything; pid in BENCH_DAEMON_PID.
bench_start_daemon()
{
    e2e_dev_spawn "$E2E_DIR/daemon.out" "$@" "$E2E_DEV_BIN/autoprovisionclient"
    BENCH_DAEMON_PID=$E2E_LAST_PID
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
