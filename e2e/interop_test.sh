#!/bin/bash
# Interop matrix: the daemon provisions from real web servers set up as the
# README's server section says (nginx closing and keeping alive, apache2,
# lighttpd, busybox httpd, python's http.server); pnp-server answers the SIP
# side with a URL on the web server. For each: the stored file equals the
# served one, and the time from the daemon's start to the apply is recorded.
# Then "autoprovision-fetch --check" flags a compressing and a chunking nginx.
# Prints the table "server | mode | stored ok | start-to-applied ms".
# A server that is not installed is a row "not installed"; none at all skips.
# Usage: interop_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER FETCH
set -u
. "$(dirname "$0")/lib.sh"
fetch_program=${5:-}
[ -x "$fetch_program" ] || { echo "FAIL: $fetch_program is not an executable"; exit 1; }
# The fifth argument stands where the other tests take an emulator: this test
# runs natively only.
e2e_test_begin "$@"
e2e_install_device_program "$fetch_program" autoprovision-fetch

www=$E2E_SRV_DIR/www
conf=$E2E_DIR/conf
mkdir -p "$conf" "$E2E_DIR/run"
served=$www/cfg/$E2E_MAC_HEX.xml
port=8080
url=$(e2e_config_url)
rows=()
failures=0

# A configuration of about 12 KiB, different for each case: the configurator
# does not apply a document identical to the active one again.
make_document()
{
    local name=$1 i
    {
        printf '<?xml version="1.0" encoding="UTF-8"?>\n<zentro case="%s">\n' "$name"
        printf '  <sip registrar="10.0.0.5" port="5060"/>\n'
        for ((i = 1; i <= 150; ++i)); do
            printf '  <line number="%d" user="2%03d" password="interop" display="Line %d"/>\n' "$i" "$i" "$i"
        done
        printf '</zentro>'
    } > "$served"
}

# ---------------------------------------------------------------- server configurations

nginx_conf()
{
    local mode=$1 file=$conf/nginx-$1.conf extra=""
    case $mode in
        closing) extra="keepalive_timeout 0;" ;;
        keep-alive) extra="keepalive_timeout 65;" ;;
        compressed) extra="keepalive_timeout 0; gzip on; gzip_types text/xml application/xml; gzip_min_length 0;" ;;
        chunked) extra="keepalive_timeout 0; ssi on; ssi_types text/xml application/xml;" ;;
    esac
    cat > "$file" << EOF
daemon off;
user www-data;
worker_processes 1;
pid $E2E_DIR/run/nginx.pid;
error_log $E2E_DIR/nginx-error.log;
events { worker_connections 64; }
http {
    include /etc/nginx/mime.types;
    types { text/xml xml; }
    access_log off;
    client_body_temp_path $E2E_DIR/run/nginx-body;
    proxy_temp_path $E2E_DIR/run/nginx-proxy;
    fastcgi_temp_path $E2E_DIR/run/nginx-fastcgi;
    uwsgi_temp_path $E2E_DIR/run/nginx-uwsgi;
    scgi_temp_path $E2E_DIR/run/nginx-scgi;
    server {
        listen $E2E_SRV_IP:$port;
        root $www;
        $extra
    }
}
EOF
    echo "$file"
}

apache_conf()
{
    local file=$conf/apache2.conf
    cat > "$file" << EOF
ServerRoot /etc/apache2
ServerName interop.test
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule mime_module /usr/lib/apache2/modules/mod_mime.so
User www-data
Group www-data
PidFile $E2E_DIR/run/apache2.pid
Mutex file:$E2E_DIR/run
DefaultRuntimeDir $E2E_DIR/run
ErrorLog $E2E_DIR/apache2-error.log
Listen $E2E_SRV_IP:$port
TypesConfig /etc/mime.types
KeepAlive Off
DocumentRoot $www
<Directory $www>
    Require all granted
</Directory>
EOF
    echo "$file"
}

lighttpd_conf()
{
    local file=$conf/lighttpd.conf
    cat > "$file" << EOF
server.document-root = "$www"
server.bind = "$E2E_SRV_IP"
server.port = $port
server.username = "www-data"
server.groupname = "www-data"
server.max-keep-alive-requests = 0
mimetype.assign = ( ".xml" => "text/xml" )
EOF
    echo "$file"
}

# server_command SERVER MODE: the command line that runs the server in the
# foreground, or nothing when the server is not installed.
server_command()
{
    case $1 in
        nginx) command -v nginx > /dev/null && echo "nginx -c $(nginx_conf "$2")" ;;
        apache2) command -v apache2 > /dev/null && echo "apache2 -f $(apache_conf) -DFOREGROUND" ;;
        lighttpd) command -v lighttpd > /dev/null && echo "lighttpd -D -f $(lighttpd_conf)" ;;
        busybox) command -v busybox > /dev/null && busybox --list | grep -qx httpd \
                     && echo "busybox httpd -f -p $E2E_SRV_IP:$port -h $www" ;;
        python3) command -v python3 > /dev/null && echo "python3 -m http.server $port --bind $E2E_SRV_IP --directory $www" ;;
    esac
}

web_port_open()
{
    e2e_srv bash -c "exec 3<> /dev/tcp/$E2E_SRV_IP/$port" 2> /dev/null
}

web_port_closed()
{
    ! web_port_open
}

web_server_ready()
{
    web_port_open && return 0
    e2e_alive "$web_pid" || return 2
    return 1
}

# start_web_server SERVER MODE: false when the server is not installed.
start_web_server()
{
    local command
    command=$(server_command "$1" "$2") || return 1
    [ -n "$command" ] || return 1
    # Word splitting is wanted: the command line holds no blanks inside words.
    # shellcheck disable=SC2086
    e2e_srv_spawn "$E2E_DIR/web-$1-$2.out" $command
    web_pid=$E2E_LAST_PID
    e2e_wait_for 10 web_server_ready || e2e_fail "$1 ($2) did not start listening: $(tail -n 5 "$E2E_DIR/web-$1-$2.out")"
}

stop_web_server()
{
    e2e_stop_pid "$web_pid"
    # The server's own worker processes end with their master; wait for the port.
    e2e_wait_for 10 web_port_closed || e2e_fail "$1 still listens after it was stopped"
}

applied_now()
{
    cmp -s "$E2E_DEV/tmp/applied.cfg" "$E2E_DIR/expected.cfg"
}

# ---------------------------------------------------------------- the matrix

e2e_start_server "$E2E_SERVER_PROGRAM" -- --http-port 8081 --url-template "http://{host}:$port/cfg/{mac}.xml"

provision_from()
{
    local server=$1 mode=$2 started applied ms stored_ok
    make_document "$server-$mode"
    { cat "$served"; echo; } > "$E2E_DIR/expected.cfg"
    if ! start_web_server "$server" "$mode"; then
        rows+=("$server|$mode|not installed|-")
        return
    fi
    : > "$E2E_DEV/log/autoprovisionclient.log"
    e2e_start_agent --
    started=$(e2e_now_ms)
    # shellcheck disable=SC2119  # no emulator: the matrix runs natively
    e2e_start_daemon
    if e2e_wait_for 20 applied_now; then
        # The apply hook wrote applied.cfg: its change time is the moment of the apply.
        applied=$(stat -c %.3Y "$E2E_DEV/tmp/applied.cfg")
        ms=$((${applied/./} - started))
    else
        ms="not applied"
        failures=$((failures + 1))
        echo "FAIL: $server ($mode): nothing applied within 20 s"
    fi
    if cmp -s "$(e2e_stored_file)" "$E2E_DIR/expected.cfg"; then
        stored_ok=yes
    else
        stored_ok=no
        failures=$((failures + 1))
        echo "FAIL: $server ($mode): the stored file differs from the served one"
    fi
    rows+=("$server|$mode|$stored_ok|$ms")
    e2e_stop_pid "$E2E_DAEMON_PID"
    e2e_stop_pid "$E2E_AGENT_PID"
    stop_web_server "$server"
}

installed=0
for entry in nginx:closing nginx:keep-alive apache2:closing lighttpd:closing busybox:closing python3:closing; do
    provision_from "${entry%%:*}" "${entry#*:}"
    case ${rows[-1]} in *"|not installed|"*) ;; *) installed=$((installed + 1)) ;; esac
done
[ "$installed" -gt 0 ] || e2e_skip "none of nginx, apache2, lighttpd, busybox, python3 is installed"

# The check flags a server that compresses and one that sends chunks.
check_against()
{
    local mode=$1 expected_status=$2 expected_line=$3 status
    make_document "check-$mode"
    if ! start_web_server nginx "$mode"; then
        rows+=("nginx|$mode, --check|not installed|-")
        return
    fi
    e2e_dev autoprovision-fetch --check "$url" > "$E2E_DIR/check-$mode.out" 2>&1
    status=$?
    echo "autoprovision-fetch --check against nginx ($mode):"
    sed 's/^/    /' "$E2E_DIR/check-$mode.out"
    if [ "$status" = "$expected_status" ] && grep -qxF -- "$expected_line" "$E2E_DIR/check-$mode.out"; then
        rows+=("nginx|$mode, --check|exit $status: flagged|-")
    else
        failures=$((failures + 1))
        echo "FAIL: --check against nginx ($mode) exited $status (expected $expected_status)"
        rows+=("nginx|$mode, --check|exit $status: NOT flagged|-")
    fi
    stop_web_server nginx
}
check_against compressed 7 "verdict:  compressed answer: the device cannot use it"
check_against chunked 8 "verdict:  chunked answer: the stored document would hold the chunk-size lines"

echo
echo "| server | mode | stored ok | start-to-applied ms |"
echo "|---|---|---|---|"
for row in "${rows[@]}"; do
    IFS='|' read -r server mode stored ms <<< "$row"
    echo "| $server | $mode | $stored | $ms |"
done
echo
[ "$failures" = 0 ] || e2e_fail "$failures interop failures"
echo "ok: interop matrix: every installed server provisions the device; --check flags compression and chunks"
exit 0
