#!/bin/bash
# Download speed, peak memory and page faults of the daemon's download code,
# run through autoprovision-fetch, against curl and busybox wget, and beside
# the floor of the daemon's order (store only after the connection ended,
# bench/receive_then_store.cpp), over a sweep of document sizes fetched from one local HTTP server on 127.0.0.1 (nginx by
# default) that closes each connection. The timed runs are in
# bench/download_runs.py.
#
# Usage: bench/download_bench.sh [--build DIR] [--rounds N] [--server nginx|python]
#   --build DIR   build directory holding fetch/autoprovision-fetch; configured
#                 (Release) and built there when the program is missing
#                 (default: build/bench of the source tree)
#   --rounds N    rounds per document size; in each round every tool fetches
#                 the document once, in turns (default 15)
#   --server      nginx-light (default) or python3's http.server
#   --sizes LIST  a part of the sweep, e.g. 4KiB,16MiB (default: all of
#                 4KiB 64KiB 1MiB 4MiB 16MiB 32MiB 64MiB)
#
# As root it installs what it lacks (nginx-light, curl, busybox-static) with
# apt-get and runs in a private mount namespace with tmpfs on /var/log (the
# fetch tool's trace lines stay off the machine's trace log) and on the
# directory the documents are stored in.
# Exit status: 0 when every target is met, 1 otherwise, 2 on a set-up failure.
set -u

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$source_dir/build/bench
rounds=15
server_kind=nginx
only_sizes=
while [ $# -gt 0 ]; do
    case $1 in
    --build) build_dir=$2; shift 2 ;;
    --rounds|--runs) rounds=$2; shift 2 ;;
    --server) server_kind=$2; shift 2 ;;
    --sizes) only_sizes=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--rounds N] [--server nginx|python] [--sizes LIST]"; exit 2 ;;
    esac
done
case $server_kind in nginx|python) ;; *) echo "unknown server $server_kind"; exit 2 ;; esac
{ [[ $rounds =~ ^[1-9][0-9]*$ ]] && [ "$rounds" -le 200 ]; } || { echo "rounds: 1 to 200"; exit 2; }

die() { echo "download_bench: $*" >&2; exit 2; }

if [ "$(id -u)" = 0 ] && [ "${APC_BENCH_PRIVATE:-}" != 1 ]; then
    wanted=(curl python3)
    # busybox-static, as scripts/install-deps.sh, and only when no busybox is
    # there: the two packages replace each other.
    command -v busybox > /dev/null || wanted+=(busybox-static)
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
    exec unshare --mount --propagation private bash "$0" --build "$build_dir" --rounds "$rounds" --server "$server_kind" \
        --sizes "$only_sizes"
fi
if [ "${APC_BENCH_PRIVATE:-}" = 1 ]; then
    mount -t tmpfs apc-bench-log /var/log || die "tmpfs on /var/log"
fi

command -v curl > /dev/null || die "needs curl"
command -v busybox > /dev/null || die "needs busybox"
command -v python3 > /dev/null || die "needs python3"
nginx=/usr/sbin/nginx
[ "$server_kind" = python ] || [ -x "$nginx" ] || die "needs nginx (package nginx-light)"

fetch=$build_dir/fetch/autoprovision-fetch
runner=$build_dir/bench/apc-run-measured
floor=$build_dir/bench/apc-receive-then-store
if [ ! -x "$fetch" ] || [ ! -x "$runner" ] || [ ! -x "$floor" ]; then
    echo "building autoprovision-fetch, apc-run-measured and apc-receive-then-store in $build_dir"
    { cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release > /dev/null &&
        cmake --build "$build_dir" -j2 --target autoprovision-fetch apc-run-measured \
            apc-receive-then-store > /dev/null; } ||
        die "build failed"
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
    umount "$work/out" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The clock is read without a command substitution: its fork would be timed too.
now_us() { now=${EPOCHREALTIME/[.,]/}; }

# make_document BYTES FILE: a well-formed XML document of exactly BYTES bytes.
make_document()
{
    python3 - "$1" "$2" << 'EOF'
import sys
size, path = int(sys.argv[1]), sys.argv[2]
head = '<?xml version="1.0" encoding="UTF-8"?>\n<config>\n'
tail = '</config>\n'
lines, i, total = [head], 0, len(head) + len(tail)
while True:
    line = '  <param name="line.%d" value="%d"/>\n' % (i, i * 7)
    if total + len(line) > size:
        break
    lines.append(line); total += len(line); i += 1
open(path, 'w').write(''.join(lines) + ' ' * (size - total) + tail)
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
# The stored documents go to memory, as on the device, not to a disk's write-back.
if [ "${APC_BENCH_PRIVATE:-}" = 1 ]; then
    mount -t tmpfs -o mode=0755 apc-bench-out "$work/out" || die "tmpfs on $work/out"
fi
all_sizes=(4096 65536 1048576 4194304 16777216 33554432 67108864)
all_names=(4KiB 64KiB 1MiB 4MiB 16MiB 32MiB 64MiB)
sizes=()
names=()
for i in "${!all_sizes[@]}"; do
    [ -z "$only_sizes" ] || [[ ,$only_sizes, == *,${all_names[i]},* ]] || continue
    sizes+=("${all_sizes[i]}")
    names+=("${all_names[i]}")
done
[ ${#sizes[@]} -gt 0 ] || die "no known size in $only_sizes"
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
wait_http "http://127.0.0.1:$close_port/doc-${names[0]}.xml" "${server_pids[0]}" || die "the server did not come up"
wait_http "http://127.0.0.1:$keep_port/doc-${names[0]}.xml" "${server_pids[-1]}" || die "the keep-alive server did not come up"

# run_fetch URL: one download with the fetch tool; fails unless stored.
run_fetch()
{
    "$fetch" --mac bench --dir "$work/out" "$1" > /dev/null 2> "$work/fetch.err"
}

run_curl()
{
    curl -s -o "$work/out/curl.xml" "$1"
}

echo "server: $server_label on 127.0.0.1:$close_port; $rounds rounds per size," \
     "fetch tool, curl, busybox wget and the receive-then-store floor taking turns; $(nproc) cores"
size_args=()
for i in "${!sizes[@]}"; do size_args+=("${names[i]}=${sizes[i]}"); done
python3 "$source_dir/bench/download_runs.py" --rounds "$rounds" --base "http://127.0.0.1:$close_port" \
    --www "$www" --out "$work/out" --fetch "$fetch" --runner "$runner" --floor "$floor" "${size_args[@]}"
status=$?
[ $status -le 1 ] || exit 2

keep_url=http://127.0.0.1:$keep_port/doc-${names[0]}.xml
now_us; start=$now
run_fetch "$keep_url" || { cat "$work/fetch.err"; die "fetch from the keep-alive server failed"; }
now_us; keep_ms=$(((now - start) / 1000))
now_us; start=$now
run_curl "$keep_url" || die "curl from the keep-alive server failed"
now_us; keep_curl_ms=$(((now - start) / 1000))
echo "keep-alive server, ${names[0]}: fetch $keep_ms ms, curl $keep_curl_ms ms"
echo "  the daemon reads until the server closes, so a server that keeps the connection open ends" \
     "the download only by the 2 s receive idle time-out"
exit $status
