#!/bin/bash
# A rack of N gateways powered up at once against pnp-server on one link:
# how fast all are provisioned, and what it costs the server.
#
# Usage (root): bench/fleet.sh [--build DIR] [--late SECONDS] [--fair-server] [--screenshot PNG] N
#   N               gateways, 1 to 2000
#   --build DIR     build directory; the daemon, presence-agent and pnp-server
#                   are built there, Release, configured when it has no build
#                   yet (default: build/bench of the source tree)
#   --late SECONDS  how late the server starts in the second run (default 10)
#   --fair-server   run the server as an ordinary process; by default it runs
#                   with real-time priority (chrt --rr 1), standing for the
#                   machine of its own it has on a site: here 2,000 gateway
#                   programs share two cores with it, and a fair share of that
#                   is a two-thousandth
#   --screenshot PNG  the status page at the end of the first run, as
#                   headless Chromium shows it in 1000 x 700
# FLEET_PROFILE=DIR records the server's profile of each run with perf
# (DIR/perf-up.data, DIR/perf-late.data; perf report -i FILE shows it).
#
# Set-up (e2e_fleet_setup in e2e/lib.sh): the server's network namespace
# holds a bridge with one port per gateway; each gateway is a network and
# mount namespace of its own with eth1, the device's files, its presence
# agent and its daemon. The daemons wait at a shared gate and are released
# together, so setting up the namespaces does not count. Two runs: the server
# up before the release, and the server started SECONDS after it. A gateway
# counts as provisioned when the configurator installed the run's document as
# its /etc/zentro/active.cfg (its modification time); each run hands out
# documents of its own.
#
# Printed per run: the time to the first, median, 90th percentile and last
# provisioned gateway (from the release, or from the server's start when it
# came late), gateways not provisioned within 60 s, SUBSCRIBEs received per
# second, the server's CPU time per gateway (from its start-up's end to the
# last gateway provisioned or the 60 s), the UDP receive errors and
# accept-queue overflows counted in the server's namespace, and the server's
# /status.json checked against these counts. Exit status 1 when a target is
# missed: all provisioned within 15 s of the release (server up) or 5 s of
# the server's start (late), no UDP drop, no overflow, at most 0.5 ms of
# server CPU per gateway, each gateway's document served once.
set -u
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/lib.sh
source "$source_dir/bench/lib.sh"

usage() { echo "usage: $0 [--build DIR] [--late SECONDS] [--fair-server] [--screenshot PNG] N"; exit 2; }
build_dir=$source_dir/build/bench
late=10
server_prefix=(chrt --rr 1)
screenshot=
startup_ns=
size=
args=("$@")
while [ $# -gt 0 ]; do
    case $1 in
    --build) [ $# -ge 2 ] || usage; build_dir=$2; shift 2 ;;
    --late) [ $# -ge 2 ] || usage; late=$2; shift 2 ;;
    --fair-server) server_prefix=(); shift ;;
    --screenshot) [ $# -ge 2 ] || usage; screenshot=$(realpath -m "$2"); shift 2 ;;
    -*) usage ;;
    *) [ -z "$size" ] || usage; size=$1; shift ;;
    esac
done
{ [[ $size =~ ^[1-9][0-9]*$ ]] && [ "$size" -le 2000 ]; } || usage
{ [[ $late =~ ^[0-9]+$ ]] && [ "$late" -le 60 ]; } || usage
# The time each run allows after its reference.
LIMIT_S=60

# No apply hook: the configurator's new active.cfg says when a gateway is
# provisioned, and a thousand hook runs would only load the machine.
E2E_APPLY_HOOK=
bench_require_namespaces
command -v curl > /dev/null || e2e_skip "needs curl to read the status page"
e2e_enter_private_mounts "${args[@]}"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    echo "configuring a Release build in $build_dir"
    cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release > /dev/null || { echo "FAIL: configure"; exit 1; }
fi
cmake --build "$build_dir" -j2 --target autoprovisionclient presence-agent pnp-server > /dev/null \
    || { echo "FAIL: build"; exit 1; }

# ---------------------------------------------------------------- limits

# Each gateway runs a holder, an agent and a daemon of two threads, and
# briefly a shell and a cat; the pid space is the machine's.
tasks=$((size * 6 + 2000))
pid_max=$(cat /proc/sys/kernel/pid_max)
threads_max=$(cat /proc/sys/kernel/threads-max)
{ [ "$pid_max" -ge "$tasks" ] && [ "$threads_max" -ge "$tasks" ]; } \
    || e2e_fail "kernel.pid_max $pid_max or kernel.threads-max $threads_max is below the $tasks tasks needed"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
setup_start=$(e2e_now_ms)
e2e_fleet_setup "$size"
setup_ms=$(($(e2e_now_ms) - setup_start))
e2e_fleet_install "$build_dir/core/autoprovisionclient" "$build_dir/presence_agent/presence-agent"
server_program=$build_dir/pnp_server/pnp-server

# The server's namespace: room for every gateway's connection in the SYN
# queue and the accept queue at once.
e2e_srv sysctl -q -w net.ipv4.tcp_max_syn_backlog=4096 net.core.somaxconn=4096 \
    || e2e_fail "raising the server namespace's queue limits"

echo "fleet of $size gateways: $(nproc) cores, $(uname -r), load average $load_before before;" \
     "set-up $((setup_ms / 1000)) s (not counted); server ${server_prefix[*]:-at a fair share}"
echo "limits: pid_max $pid_max and threads-max $threads_max (about $tasks tasks needed);" \
     "neighbour entries static, outside gc_thresh3 $(cat /proc/sys/net/ipv4/neigh/default/gc_thresh3);" \
     "in the server's namespace tcp_max_syn_backlog and somaxconn 4096;" \
     "the server raises its own open-file limit; no program of the rack uses inotify"

# ---------------------------------------------------------------- one run

# publish_documents RUN: every gateway's document, marked with the run, so
# that each run installs a new active.cfg.
publish_documents()
{
    local number
    for ((number = 1; number <= size; ++number)); do
        printf '<?xml version="1.0" encoding="UTF-8"?>\n<zentro run="%s" gateway="%d">\n%s\n</zentro>' "$1" \
            "$number" '  <line number="1" user="rack-1001" password="secret"/>' \
            > "$E2E_SRV_DIR/www/cfg/$(e2e_fleet_mac_hex "$number").xml"
    done
}

# all_provisioned: every gateway has an active.cfg (each launch starts
# without); looks only at those that had none at the last look.
all_provisioned()
{
    local number left=()
    for number in "${unprovisioned[@]}"; do
        [ -e "$E2E_FLEET_DIR/$number/etc-upper/zentro/active.cfg" ] || left+=("$number")
    done
    unprovisioned=("${left[@]}")
    [ ${#unprovisioned[@]} = 0 ]
}

# Counters of the server's namespace: "InErrors RcvbufErrors ListenOverflows ListenDrops".
server_counters()
{
    e2e_srv cat /proc/net/snmp /proc/net/netstat | awk '
        $1 == "Udp:" && !udp_names { for (i = 2; i <= NF; ++i) udp[$i] = i; udp_names = 1; next }
        $1 == "Udp:" { in_errors = $udp["InErrors"]; rcvbuf = $udp["RcvbufErrors"] }
        $1 == "TcpExt:" && !tcp_names { for (i = 2; i <= NF; ++i) tcp[$i] = i; tcp_names = 1; next }
        $1 == "TcpExt:" { overflows = $tcp["ListenOverflows"]; drops = $tcp["ListenDrops"] }
        END { print in_errors + 0, rcvbuf + 0, overflows + 0, drops + 0 }'
}

# The kernel's per-CPU backlog drops (all namespaces), summed over the CPUs.
backlog_drops()
{
    local dropped rest sum=0
    while read -r _ dropped rest; do
        sum=$((sum + 16#$dropped))
    done < /proc/net/softnet_stat
    echo "$sum"
}

# cpu_ns PID...: the CPU time of the processes, all threads, in nanoseconds
# (printed with %.0f: mawk's %d stops at 2^31).
cpu_ns()
{
    local pid files=()
    for pid in "$@"; do
        files+=(/proc/"$pid"/task/*/schedstat)
    done
    cat "${files[@]}" 2> /dev/null | awk '{ sum += $1 } END { printf "%.0f\n", sum }'
}

# The CPU time of every gateway's daemon and agent.
rack_cpu_ns()
{
    cpu_ns "${E2E_FLEET_DAEMONS[@]}" "${E2E_FLEET_AGENTS[@]}"
}

# The machine's busy CPU time in clock ticks, all cores (user, nice, system, interrupts, steal).
machine_busy_ticks()
{
    awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9; exit }' /proc/stat
}

start_server()
{
    e2e_srv_spawn "$E2E_DIR/server-$1.out" "${server_prefix[@]}" "$server_program" --interface br0 --sip-port 5060 \
        --http-root "$E2E_SRV_DIR/www" --http-address "$E2E_SRV_IP" --http-port 8080 --log "$E2E_SRV_DIR/pnp-$1.log"
    server_pid=$E2E_LAST_PID
    e2e_wait_for 15 e2e_ready_unless_ended "$server_pid" "pnp-server ended: $(cat "$E2E_DIR/server-$1.out")" \
        grep -q "HTTP serving" "$E2E_SRV_DIR/pnp-$1.log" || e2e_fail "pnp-server did not start"
    # Its start-up (about 6 ms here, mostly the loader's) is not counted.
    # A server started late, at real-time priority, may have served much of
    # the rack before this shell gets to look: its start-up is taken to cost
    # what that of the first run, idle when looked at, did.
    server_cpu0=$(cpu_ns "$server_pid")
    [ -n "$startup_ns" ] || startup_ns=$server_cpu0
    if [ -n "${FLEET_PROFILE:-}" ]; then
        perf record -q -e cpu-clock -g -p "$server_pid" -o "$FLEET_PROFILE/perf-$1.data" > /dev/null 2>&1 &
        E2E_PIDS+=("$!")
    fi
}

# run NAME LATE_S: one release of the whole rack; the results go to
# $E2E_DIR/result-NAME as "key value" lines.
run()
{
    local name=$1 late_s=$2 reference_ms counters0 counters1 backlog0 server_ns status_file number rack0 busy0
    publish_documents "$name"
    [ "$late_s" -gt 0 ] || start_server "$name"
    e2e_fleet_launch
    counters0=$(server_counters)
    backlog0=$(backlog_drops)
    run_mark=$E2E_DIR/mark-$name
    : > "$run_mark"
    unprovisioned=()
    for ((number = 1; number <= size; ++number)); do
        unprovisioned+=("$number")
    done
    [ "$late_s" -gt 0 ] || server_cpu0=$(cpu_ns "$server_pid")
    rack0=$(rack_cpu_ns)
    busy0=$(machine_busy_ticks)
    e2e_fleet_release
    reference_ms=$E2E_FLEET_RELEASE_MS
    if [ "$late_s" -gt 0 ]; then
        # The sleep is the server's lateness itself, not a wait for an event.
        local left_ms=$((E2E_FLEET_RELEASE_MS + late_s * 1000 - $(e2e_now_ms)))
        [ "$left_ms" -le 0 ] || sleep "$((left_ms / 1000)).$(printf '%03d' $((left_ms % 1000)))"
        reference_ms=$(e2e_now_ms)
        start_server "$name"
        server_cpu0=$startup_ns
    fi
    e2e_wait_for "$LIMIT_S" all_provisioned
    local waited_ms=$(($(e2e_now_ms) - reference_ms))
    server_ns=$(($(cpu_ns "$server_pid") - server_cpu0))
    local rack_ns=$(($(rack_cpu_ns) - rack0)) busy_ticks=$(($(machine_busy_ticks) - busy0))
    counters1=$(server_counters)
    status_file=$E2E_DIR/status-$name.json
    e2e_srv curl -s --max-time 20 -o "$status_file" "http://$E2E_SRV_IP:8080/status.json" \
        || e2e_fail "no /status.json from the server"
    if [ -n "$screenshot" ] && [ "$name" = up ]; then
        e2e_chromium "http://$E2E_SRV_IP:8080/status" --screenshot="$screenshot" --window-size=1000,700 \
            > /dev/null || e2e_fail "chromium: $(tail -n 5 "$E2E_DIR/chromium.err")"
    fi
    {
        echo "reference_ms $reference_ms"
        echo "waited_ms $waited_ms"
        echo "cpu_ns $server_ns"
        echo "rack_ns $rack_ns"
        echo "busy_ms $((busy_ticks * 1000 / $(getconf CLK_TCK)))"
        echo "span_ms $(($(e2e_now_ms) - E2E_FLEET_RELEASE_MS))"
        echo "backlog_drops $(($(backlog_drops) - backlog0))"
        paste -d' ' <(printf '%s\n' udp_in_errors udp_rcvbuf_errors listen_overflows listen_drops) \
            <(tr ' ' '\n' <<< "$counters0") <(tr ' ' '\n' <<< "$counters1") | awk '{ print $1, $3 - $2 }'
        find "$E2E_FLEET_DIR" -mindepth 4 -maxdepth 4 -path '*/etc-upper/zentro/active.cfg' -newer "$run_mark" \
            -printf 'provisioned %T@ %h\n'
    } > "$E2E_DIR/result-$name"
    e2e_fleet_stop
    e2e_stop_pid "$server_pid"
}

run up 0
run late "$late"

# ---------------------------------------------------------------- report

echo "load average $(cut -d' ' -f1-3 /proc/loadavg) after"
python3 - "$size" "$late" "$LIMIT_S" "$E2E_DIR" "$(nproc)" << 'EOF'
import json, math, sys

size, late, limit_s, directory = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
cores = int(sys.argv[5])
runs = [("up", "server up", 15), ("late", "server %d s late" % late, 5)]
failed = False

def nearest_rank(values, fraction):
    return values[max(0, math.ceil(fraction * len(values)) - 1)]

rows = []
for name, title, target_s in runs:
    result = {"provisioned": []}
    provisioned_macs = set()
    for line in open("%s/result-%s" % (directory, name)):
        key, value = line.split()[:2]
        if key == "provisioned":
            result[key].append(float(value))
            # .../fleet/<n>/etc-upper/zentro
            provisioned_macs.add("02e2f100%04x" % int(line.split()[2].split("/")[-3]))
        else:
            result[key] = int(value)
    status = json.load(open("%s/status-%s.json" % (directory, name)))
    reference = result["reference_ms"] / 1000.0
    times = sorted(t - reference for t in result["provisioned"] if t - reference <= limit_s)
    gateways = status["gateways"]
    subscribe_times = [g["first_subscribe_ms"] for g in gateways if g["first_subscribe_ms"]] + \
                      [g["last_subscribe_ms"] for g in gateways if g["last_subscribe_ms"]]
    span = (max(subscribe_times) - min(subscribe_times)) / 1000.0 if subscribe_times else 0
    totals = status["totals"]
    downloads = [g["downloads"] for g in gateways]
    once = sum(1 for d in downloads if d == 1)
    more = sum(1 for d in downloads if d > 1)
    drops = result["udp_rcvbuf_errors"] + result["udp_in_errors"]
    cpu_ms = result["cpu_ns"] / 1e6 / size
    fmt = lambda t: "%.2f s" % t
    r = {
        "title": title,
        "counted from": "the release" if name == "up" else "the server's start",
        "first provisioned": fmt(times[0]) if times else "-",
        "median": fmt(nearest_rank(times, 0.5)) if times else "-",
        "90th percentile": fmt(nearest_rank(times, 0.9)) if times else "-",
        "last": fmt(times[-1]) if times else "-",
        "not provisioned in %d s" % limit_s: str(size - len(times)),
        "SUBSCRIBEs received": "%d (%s/s; %d retransmissions)" % (
            totals["subscribes"], "%.0f" % (totals["subscribes"] / span) if span > 0 else "-",
            totals["subscribe_retransmissions"]),
        "server CPU per gateway": "%.3f ms" % cpu_ms,
        "UDP drops (RcvbufErrors, InErrors)": "%d, %d" % (result["udp_rcvbuf_errors"], result["udp_in_errors"]),
        "accept-queue overflows (drops)": "%d (%d)" % (result["listen_overflows"], result["listen_drops"]),
        "CPU backlog drops (machine)": str(result["backlog_drops"]),
        "rack CPU per gateway (daemon, agent)": "%.1f ms" % (result["rack_ns"] / 1e6 / size),
        "machine busy (all programs)": "%.0f of %.0f core-s" % (result["busy_ms"] / 1000.0,
                                                                 result["span_ms"] / 1000.0 * cores),
        "status.json": "%d rows, %d provisioned, NOTIFYs %d sent, %d answered, %d given up; "
                       "%d served once, %d more than once" % (
            totals["gateways"], totals["provisioned"], totals["notifies"], totals["notifies_answered"],
            totals["notifies_given_up"], once, more),
    }
    checks = [
        ("all provisioned within %d s of %s" % (target_s, r["counted from"]),
         len(times) == size and times[-1] <= target_s),
        ("no UDP drop", drops == 0),
        ("no accept-queue overflow", result["listen_overflows"] == 0 and result["listen_drops"] == 0),
        ("server CPU at most 0.5 ms per gateway", cpu_ms <= 0.5),
        ("each gateway's document served once (status.json)", once == size and totals["gateways"] == size),
        ("status.json shows a download for each of the %d gateways provisioned" % len(provisioned_macs),
         provisioned_macs <= {g["mac"] for g in gateways if g["downloads"] > 0}),
    ]
    r["checks"] = checks
    failed = failed or not all(ok for _, ok in checks)
    rows.append(r)

keys = [k for k in rows[0] if k not in ("title", "checks")]
width = max(len(k) for k in keys) + 2
print()
print("%-*s%-36s%s" % (width, "", rows[0]["title"], rows[1]["title"]))
for key in keys:
    if key == "status.json":
        continue
    print("%-*s%-36s%s" % (width, key, rows[0][key], rows[1][key]))
for r in rows:
    print("%s: status.json: %s" % (r["title"], r["status.json"]))
    for text, ok in r["checks"]:
        print("  %s: %s" % ("PASS" if ok else "FAIL", text))
sys.exit(1 if failed else 0)
EOF
