#!/bin/bash
# Interop matrix: the daemon provisions from real web servers set up as the
# README's server section says (nginx closing and keeping alive, apache2,
# lighttpd, busybox httpd, python's http.server); pnp-server answers the SIP
# side with a URL on the web server. For each: the stored file equals the
# served one, and the time from the daemon's start to the apply is recorded.
# Then "autoprovision-fetch --check" flags a compressing and a chunking nginx.
# Prints the table "server | mode | stored ok | start-to-applied ms"; a server
# that is not installed is a row "not installed", none at all skips.
# Usage: interop_test.sh DAEMON PRESENCE_AGENT AUTOPROVISION_CMD PNP_SERVER FETCH
set -u
. "$(dirname "$0")/lib.sh"
[ -x "${5:-}" ] || { echo "FAIL: ${5:-} is not an executable"; exit 1; }
# The fifth argument stands where the scenarios take an emulator: this test
# runs natively only.
e2e_test_begin "$@"
e2e_install_device_program "$5" autoprovision-fetch
www=$E2E_SRV_DIR/www run=$E2E_DIR/run port=8080 rows=() failures=0 installed=0
mkdir -p "$run"

# A configuration of about 12 KiB, different for each case: the configurator
# does not apply a document identical to the active one again.
make_document()
{
    { printf '<?xml version="1.0" encoding="UTF-8"?>\n<zentro case="%s">\n  <sip registrar="10.0.0.5" port="5060"/>\n' "$1"
        seq 150 | awk '{ printf "  <line number=\"%d\" user=\"2%03d\" password=\"interop\"", $1, $1
                         printf " display=\"Line %d\"/>\n", $1 }'
        printf '</zentro>'; } > "$www/cfg/$E2E_MAC_HEX.xml"
    { cat "$www/cfg/$E2E_MAC_HEX.xml"; echo; } > "$E2E_DIR/expected.cfg"
}

web_port_open() { e2e_srv bash -c "exec 3<> /dev/tcp/$E2E_SRV_IP/$port" 2> /dev/null; }
web_port_closed() { ! web_port_open; }

# web SERVER MODE: starts the server in the foreground, its configuration
# written beside, until it listens (false when it is not installed); web_stop:
# ends it and waits until its workers have let the port go.
web()
{
    local extra="keepalive_timeout 0;" command
    case $1:$2 in
        nginx:keep-alive) extra="keepalive_timeout 65;" ;;
        nginx:compressed) extra+=" gzip on; gzip_types text/xml application/xml; gzip_min_length 0;" ;;
        nginx:chunked) extra+=" ssi on; ssi_types text/xml application/xml;" ;;
    esac
    command -v "$1" > /dev/null || return 1
    case $1 in
        nginx) cat > "$run/nginx.conf" << EOF
daemon off; user www-data; worker_processes 1; pid $run/nginx.pid; error_log $run/nginx-error.log;
events { worker_connections 64; }
http {
    include /etc/nginx/mime.types; types { text/xml xml; } access_log off;
    client_body_temp_path $run/b; proxy_temp_path $run/p; fastcgi_temp_path $run/f; uwsgi_temp_path $run/u;
    scgi_temp_path $run/s;
    server { listen $E2E_SRV_IP:$port; root $www; $extra }
}
EOF
            command="nginx -c $run/nginx.conf" ;;
        apache2)
            { printf 'LoadModule %s_module /usr/lib/apache2/modules/mod_%s.so\n' mpm_event mpm_event authz_core \
                  authz_core mime mime
              printf '%s\n' "ServerRoot /etc/apache2" "ServerName interop.test" "User www-data" "Group www-data" \
                  "PidFile $run/apache2.pid" "Mutex file:$run" "DefaultRuntimeDir $run" "ErrorLog $run/apache2-error.log" \
                  "Listen $E2E_SRV_IP:$port" "TypesConfig /etc/mime.types" "KeepAlive Off" "DocumentRoot $www" \
                  "<Directory $www>" "Require all granted" "</Directory>"; } > "$run/apache2.conf"
            command="apache2 -f $run/apache2.conf -DFOREGROUND" ;;
        lighttpd)
            printf '%s\n' "server.document-root = \"$www\"" "server.bind = \"$E2E_SRV_IP\"" "server.port = $port" \
                'server.username = "www-data"' 'server.groupname = "www-data"' 'server.max-keep-alive-requests = 0' \
                'mimetype.assign = ( ".xml" => "text/xml" )' > "$run/lighttpd.conf"
            command="lighttpd -D -f $run/lighttpd.conf" ;;
        busybox) busybox --list | grep -qx httpd || return 1
            command="busybox httpd -f -p $E2E_SRV_IP:$port -h $www" ;;
        python3) command="python3 -m http.server $port --bind $E2E_SRV_IP --directory $www" ;;
    esac
    # shellcheck disable=SC2086  # the command line holds no blanks inside words
    e2e_srv_spawn "$E2E_DIR/web-$1-$2.out" $command
    web_pid=$E2E_LAST_PID
    e2e_wait_for 10 e2e_ready_unless_ended "$web_pid" "$1 ($2) ended" web_port_open \
        || e2e_fail "$1 ($2) did not start listening: $(tail -n 5 "$E2E_DIR/web-$1-$2.out")"
}

web_stop()
{
    e2e_stop_pid "$web_pid"
    e2e_wait_for 10 web_port_closed || e2e_fail "the web server still listens after it was stopped"
}

applied_now() { cmp -s "$E2E_DEV/tmp/applied.cfg" "$E2E_DIR/expected.cfg"; }

e2e_start_server "$E2E_SERVER_PROGRAM" -- --http-port 8081 --url-template "http://{host}:$port/cfg/{mac}.xml"
for entry in nginx:closing nginx:keep-alive apache2:closing lighttpd:closing busybox:closing python3:closing; do
    server=${entry%%:*} mode=${entry#*:} ms="not applied" stored_ok=no
    make_document "$server-$mode"
    web "$server" "$mode" || { rows+=("$server|$mode|not installed|-"); continue; }
    installed=$((installed + 1))
    : > "$E2E_DEV/log/autoprovisionclient.log"
    e2e_start_agent --
    started=$(e2e_now_ms)
    # shellcheck disable=SC2119  # no emulator: the matrix runs natively
    e2e_start_daemon
    # The apply hook wrote applied.cfg: its change time is the moment of the apply.
    e2e_wait_for 20 applied_now && applied=$(stat -c %.3Y "$E2E_DEV/tmp/applied.cfg") && ms=$((${applied/./} - started))
    cmp -s "$(e2e_stored_file)" "$E2E_DIR/expected.cfg" && stored_ok=yes
    [ "$stored_ok" = yes ] && [ "$ms" != "not applied" ] || failures=$((failures + 1))
    rows+=("$server|$mode|$stored_ok|$ms")
    e2e_stop_pid "$E2E_DAEMON_PID"
    e2e_stop_pid "$E2E_AGENT_PID"
    web_stop
done
[ "$installed" -gt 0 ] || e2e_skip "none of nginx, apache2, lighttpd, busybox, python3 is installed"

# The check flags a server that compresses and one that sends chunks.
for entry in "compressed:7:verdict:  compressed answer: the device cannot use it" \
             "chunked:8:verdict:  chunked answer: the stored document would hold the chunk-size lines"; do
    mode=${entry%%:*} expected=${entry#*:} verdict="NOT flagged"
    make_document "check-$mode"
    web nginx "$mode" || { rows+=("nginx|$mode, --check|not installed|-"); continue; }
    e2e_dev autoprovision-fetch --check "$(e2e_config_url)" > "$E2E_DIR/check-$mode.out" 2>&1
    status=$?
    echo "autoprovision-fetch --check against nginx ($mode):"
    sed 's/^/    /' "$E2E_DIR/check-$mode.out"
    [ "$status" = "${expected%%:*}" ] && grep -qxF -- "${expected#*:}" "$E2E_DIR/check-$mode.out" && verdict=flagged
    [ "$verdict" = flagged ] || failures=$((failures + 1))
    rows+=("nginx|$mode, --check|exit $status: $verdict|-")
    web_stop
done

printf '\n| server | mode | stored ok | start-to-applied ms |\n|---|---|---|---|\n'
for row in "${rows[@]}"; do echo "| ${row//|/ | } |"; done
echo
[ "$failures" = 0 ] || e2e_fail "$failures interop failures"
echo "ok: interop matrix: every installed server provisions the device; --check flags compression and chunks"
