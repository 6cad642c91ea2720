#!/bin/bash
# Download speed and peak memory of the daemon's download code, run through
# autoprovision-fetch, against curl, fetching the same documents from one
# local HTTP server on 127.0.0.1 that closes each connection.
#
# Usage: bench/download_bench.sh [--build DIR] [--runs N] [--server nginx|python]
#   --build DIR   build directory holding fetch/autoprovision-fetch; configured
#                 (Release) and built there when the program is missing
#                 (default: build/bench of the source tree)
#   --runs N      runs per document size, fetch and curl taking turns (default 15)
#   --server      nginx-light (default) or python3's http.server
#
# As root it installs what it lacks (nginx-light, curl, time) with apt-get and
# runs in a private mount namespace with a tmpfs on /var/log, so the trace
# lines of the fetches do not reach the machine's trace log.
# Exit status: 0 when every target is met, 1 otherwise, 2 on a set-up failure.
set -u

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$source_dir/build/bench
runs=15
server_kind=nginx
while [ $# -gt 0 ]; do
    case $1 in
    --build) build_dir=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --server) server_kind=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--runs N] [--server nginx|python]"; exit 2 ;;
    esac
done
case $server_kind in nginx|python) ;; *) echo "unknown server $server_kind"; exit 2 ;; esac
{ [[ $runs =~ ^[1-9][0-9]*$ ]] && [ "$runs" -le 200 ]; } || { echo "runs: 1 to 200"; exit 2; }

die() { echo "download_bench: $*" >&2; exit 2; }

if [ "$(id -u)" = 0 ] && [ "${APC_BENCH_PRIVATE:-}" != 1 ]; then
    wanted=(curl time python3)
    [ "$server_kind" = nginx ] && wanted+=(nginx-light)
    missing=()
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2> /dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
            > /dev/null || die "apt-get install ${missing[*]} failed"
    fi
    export APC_BENCH_PRIVATE=1
    exec unshare --mount --propagation private bash "$0" --build "$build_dir" --runs "$runs" --server "$server_kind"
fi
if [ "${APC_BENCH_PRIVATE:-}" = 1 ]; then
    mount -t tmpfs apc-bench-log /var/log || die "tmpfs on /var/log"
fi

command -v curl > /dev/null || die "needs curl"
[ -x /usr/bin/time ] || die "needs /usr/bin/time (package time)"
command -v python3 > /dev/null || die "needs python3"
nginx=/usr/sbin/nginx
[ "$server_kind" = python ] || [ -x "$nginx" ] || die "needs nginx (package nginx-light)"

fetch=$build_dir/fetch/autoprovision-fetch
if [ ! -x "$fetch" ]; then
    echo "building autoprovision-fetch in $build_dir"
    { cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release > /dev/null &&
        cmake --build "$build_dir" -j2 --target autoprovision-fetch > /dev/null; } || die "build failed"
fi

work=$(mktemp -d /tmp/apc-download-bench.XXXXXX) || die "mktemp"
chmod 0755 "$work"
server_pids=()
cleanup()
{
    local pid
    for pid in "${server_pids[@]}"; do
        kill -TERM "$pid" 2> /dev/null
        wait "$pid" 2> /dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The clock is read without a command substitution: its fork would be timed too.
now_us() { now=${EPOCHREALTIME/[.,]/}; }

# make_document BYTES FILE: an XML document of exactly BYTES bytes.
make_document()
{
    python3 - "$1" "$2" << 'EOF'
import sys
size, path = int(sys.argv[1]), sys.argv[2]
head = '<?xml version="1.0" encoding="UTF-8"?>\n<config>\n'
tail = '</config>\n'
lines, i, total = [head], 0, len(head) + len(tail)
while total < size:
    line = '  <param name="line.%d" value="%d"/>\n' % (i, i * 7)
    lines.append(line); total += len(line); i += 1
body = ''.join(lines)[: size - len(tail)] + tail
open(path, 'w').write(body)
EOF
}

free_port()
{
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_http URL PID: until URL answers, at most 10 s, while PID lives.
wait_http()
{
    local round
    for ((round = 0; round < 200; ++round)); do
        curl -s -o /dev/null --max-time 1 "$1" && return 0
        kill -0 "$2" 2> /dev/null || return 1
        sleep 0.05
    done
    return 1
}

www=$work/www
mkdir -p "$www" "$work/out" "$work/nginx"
sizes=(65536 1048576 16777216)
names=(64KiB 1MiB 16MiB)
for i in "${!sizes[@]}"; do
    make_document "${sizes[i]}" "$www/doc-${names[i]}.xml" || die "document ${names[i]}"
done
chmod -R a+rX "$www"

close_port=$(free_port)
keep_port=$(free_port)
while [ "$keep_port" = "$close_port" ]; do keep_port=$(free_port); done

if [ "$server_kind" = nginx ]; then
    # Its own configuration, pid file, log and temporary directories; one
    # port closes every connection, the other keeps it alive.
    for dir in body proxy fastcgi uwsgi scgi; do mkdir -p "$work/nginx/$dir"; done
    cat > "$work/nginx/nginx.conf" << EOF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    default_type text/xml;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$close_port;
        root $www;
        keepalive_timeout 0;
    }
    server {
        listen 127.0.0.1:$keep_port;
        root $www;
        keepalive_timeout 65;
    }
}
EOF
    "$nginx" -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" \
        < /dev/null > "$work/nginx/out.log" 2>&1 &
    server_pids+=($!)
    server_label="nginx-light (keepalive_timeout 0)"
else
    cat > "$work/server.py" << 'EOF'
import functools, http.server, sys
port, root, keep = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "keep"
class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1" if keep else "HTTP/1.0"
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), functools.partial(Handler, directory=root))
server.serve_forever()
EOF
    python3 "$work/server.py" "$close_port" "$www" close < /dev/null > "$work/server-close.log" 2>&1 &
    server_pids+=($!)
    python3 "$work/server.py" "$keep_port" "$www" keep < /dev/null > "$work/server-keep.log" 2>&1 &
    server_pids+=($!)
    server_label="python3 http.server (HTTP/1.0, closes)"
fi
wait_http "http://127.0.0.1:$close_port/doc-64KiB.xml" "${server_pids[0]}" || die "the server did not come up"
wait_http "http://127.0.0.1:$keep_port/doc-64KiB.xml" "${server_pids[-1]}" || die "the keep-alive server did not come up"

# run_fetch URL: one download with the fetch tool; fails unless stored.
run_fetch()
{
    "$fetch" --mac bench --dir "$work/out" "$1" > /dev/null 2> "$work/fetch.err"
}

run_curl()
{
    curl -s -o "$work/out/curl.xml" "$1"
}

# peak_rss_kib COMMAND...: the maximum resident set size of one run, in KiB.
peak_rss_kib()
{
    /usr/bin/time -v "$@" 2>&1 > /dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }'
}

echo "server: $server_label on 127.0.0.1:$close_port; $runs runs per size, fetch and curl taking turns"
printf '%-6s %12s %12s %14s %12s %12s\n' size fetch_ms curl_ms ratio_median fetch_rss curl_rss
status=0
results=$work/results
for i in "${!sizes[@]}"; do
    name=${names[i]}
    url=http://127.0.0.1:$close_port/doc-$name.xml
    : > "$results"
    for ((run = 0; run < runs; ++run)); do
        # The one that goes first changes every run, so neither gains from a warm cache.
        for turn in 0 1; do
            if [ $(((run + turn) % 2)) = 0 ]; then tool=fetch; else tool=curl; fi
            now_us; start=$now
            if [ $tool = fetch ]; then
                run_fetch "$url" || { cat "$work/fetch.err"; die "fetch of $name failed"; }
                now_us; fetch_us=$((now - start))
            else
                run_curl "$url" || die "curl of $name failed"
                now_us; curl_us=$((now - start))
            fi
        done
        cmp -s "$www/doc-$name.xml" <(head -c "${sizes[i]}" "$work/out/zentrofxs-bench.cfg") ||
            die "the fetched $name document differs from the served one"
        echo "$fetch_us $curl_us" >> "$results"
    done
    fetch_rss=0
    curl_rss=0
    for ((run = 0; run < 3; ++run)); do
        rss=$(peak_rss_kib "$fetch" --mac bench --dir "$work/out" "$url")
        [ "${rss:-0}" -gt "$fetch_rss" ] && fetch_rss=$rss
        rss=$(peak_rss_kib curl -s -o "$work/out/curl.xml" "$url")
        [ "${rss:-0}" -gt "$curl_rss" ] && curl_rss=$rss
    done
    read -r fetch_ms curl_ms ratio < <(python3 -c '
import statistics, sys
rows = [tuple(map(int, line.split())) for line in open(sys.argv[1])]
print("%.2f %.2f %.3f" % (statistics.median(f for f, c in rows) / 1000,
                          statistics.median(c for f, c in rows) / 1000,
                          statistics.median(f / c for f, c in rows)))' "$results")
    printf '%-6s %12s %12s %14s %9s KiB %8s KiB\n' "$name" "$fetch_ms" "$curl_ms" "$ratio" "$fetch_rss" "$curl_rss"
    case $name in
    64KiB) limit=0.5 ;;
    16MiB) limit=1.5 ;;
    *) limit= ;;
    esac
    if [ -n "$limit" ]; then
        if python3 -c "import sys; sys.exit(0 if $ratio <= $limit else 1)"; then verdict=PASS; else verdict=FAIL; status=1; fi
        echo "  $verdict: at $name the fetch tool takes ${ratio}x curl's time (target at most ${limit}x)"
    fi
    if [ "$name" = 16MiB ]; then
        rss_limit=$((2 * sizes[i] / 1024 + 4096))
        if [ "$fetch_rss" -le "$rss_limit" ]; then verdict=PASS; else verdict=FAIL; status=1; fi
        echo "  $verdict: peak RSS of the fetch tool at 16MiB is $fetch_rss KiB (target at most $rss_limit KiB" \
             "= twice the document plus 4 MiB)"
    fi
done

keep_url=http://127.0.0.1:$keep_port/doc-64KiB.xml
now_us; start=$now
run_fetch "$keep_url" || { cat "$work/fetch.err"; die "fetch from the keep-alive server failed"; }
now_us; keep_ms=$(((now - start) / 1000))
now_us; start=$now
run_curl "$keep_url" || die "curl from the keep-alive server failed"
now_us; keep_curl_ms=$(((now - start) / 1000))
echo "keep-alive server, 64KiB: fetch $keep_ms ms, curl $keep_curl_ms ms"
echo "  the daemon reads until the server closes, so a server that keeps the connection open ends" \
     "the download only by the 2 s receive idle time-out"
exit $status
