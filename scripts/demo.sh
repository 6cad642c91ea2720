#!/usr/bin/env bash
# Shows one whole provisioning on this machine (Debian 12, as root): installs
# what it needs, builds into build/demo, sets up a device and a server network
# namespace joined by a veth pair, starts pnp-server, the presence agent and
# the daemon, and shows the SIP exchange, the HTTP request, the daemon's trace,
# the stored file and the applied configuration as they happen. Everything it
# started or set up is stopped and removed at the end or when interrupted;
# the build directories stay.
#
# Usage: scripts/demo.sh [--ppc]
#   --ppc   run the PowerPC build of the daemon (build/demo-ppc) under qemu-ppc
# DEMO_BUILD_DIR=DIR builds into DIR and DIR-ppc instead.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)

ppc=0
for argument in "$@"; do
    case $argument in
        --ppc) ppc=1 ;;
        -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo: unknown argument $argument (try --help)"; exit 2 ;;
    esac
done

die()
{
    echo "demo: $*" >&2
    exit 1
}

heading()
{
    if [ -t 1 ]; then
        printf '\n\033[1m=== %s\033[0m\n' "$*"
    else
        printf '\n=== %s\n' "$*"
    fi
}

build=${DEMO_BUILD_DIR:-$top/build/demo}
build_ppc=$build-ppc
programs=(autoprovisionclient presence-agent pnp-server autoprovision-cmd)

# The first pass installs and builds; the second, in a private mount
# namespace (see e2e_enter_private_mounts), runs the demonstration.
if [ "${E2E_PRIVATE_MOUNTS:-}" != 1 ]; then
    [ "$(id -u)" = 0 ] || die "run me as root: I install packages and make network namespaces"
    heading "Installing what the build and the demo need"
    mkdir -p "$(dirname "$build")" || die "cannot create $(dirname "$build")"
    bash "$top/scripts/install-deps.sh" || die "installing the packages failed"
    heading "Building into ${build#"$top"/}"
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build.configure.log" 2>&1 \
        || { cat "$build.configure.log"; die "configuring failed"; }
    cmake --build "$build" -j "$(nproc)" --target "${programs[@]}" > "$build.build.log" 2>&1 \
        || { tail -n 40 "$build.build.log"; die "building failed"; }
    if [ $ppc = 1 ]; then
        heading "Building the PowerPC daemon into ${build_ppc#"$top"/}"
        cmake -S "$top" -B "$build_ppc" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_TOOLCHAIN_FILE="$top/cmake/powerpc-linux-gnu.cmake" > "$build_ppc.configure.log" 2>&1 \
            || { cat "$build_ppc.configure.log"; die "configuring the PowerPC build failed"; }
        cmake --build "$build_ppc" -j "$(nproc)" --target autoprovisionclient > "$build_ppc.build.log" 2>&1 \
            || { tail -n 40 "$build_ppc.build.log"; die "building the PowerPC daemon failed"; }
    fi
fi

. "$top/e2e/lib.sh"
reason=$( (e2e_require_namespaces) ) || die "${reason#skipped: }"
e2e_enter_private_mounts "$@"

daemon_emulator=()
daemon_program=$build/core/autoprovisionclient
if [ $ppc = 1 ]; then
    daemon_emulator=(qemu-ppc -L /usr/powerpc-linux-gnu)
    daemon_program=$build_ppc/core/autoprovisionclient
fi

heading "Setting up the device (eth1) and the server (srv0) namespaces"
e2e_setup
e2e_install_device_program "$daemon_program" autoprovisionclient
e2e_install_device_program "$build/presence_agent/presence-agent" presence-agent
e2e_install_device_program "$build/tools/autoprovision-cmd" autoprovision-cmd
document='<?xml version="1.0" encoding="UTF-8"?>
<zentro>
  <sip registrar="10.0.0.5" port="5060"/>
  <line number="1" user="2001" password="demo" display="Front desk"/>
  <line number="2" user="2002" password="demo" display="Workshop"/>
</zentro>'
e2e_publish_document "$document"
echo "device: eth1 $E2E_DEV_IP MAC $E2E_MAC in $E2E_DEV_NS, FXS line number $E2E_LINE_NUMBER, firmware $E2E_FIRMWARE"
echo "server: srv0 $E2E_SRV_IP in $E2E_SRV_NS, serving cfg/$E2E_MAC_HEX.xml"
if [ $ppc = 1 ]; then
    echo "daemon: the PowerPC build under ${daemon_emulator[*]}"
fi

# demo_follow PREFIX FILE: shows FILE's lines as they come, prefixed; the
# lines shown so far are also counted into FILE.shown.
followed=()
demo_follow()
{
    local prefix=$1 file=$2 fd
    followed+=("$file")
    exec {fd}< <(exec tail -n +1 -F "$file" 2> /dev/null)
    E2E_PIDS+=("$!")
    sed -u "s/^/$prefix /w $file.shown" <&$fd &
    E2E_PIDS+=("$!")
    exec {fd}<&-
}

demo_followers_caught_up()
{
    local file
    for file in "${followed[@]}"; do
        [ "$(wc -l < "$file")" = "$(wc -l < "$file.shown" 2> /dev/null || echo 0)" ] || return 1
    done
}

# The daemon starts before the agent and the agent stops before the daemon:
# the agent announces itself online and offline to the daemon's queue 125,
# and an announcement to a daemon that is not running is dropped (the agent
# logs "daemon queue not reachable, online state not delivered"). The daemon
# keeps its first subscription request until the agent announces itself.
heading "Starting pnp-server, the daemon and the presence agent; what they log follows"
: > "$E2E_SRV_DIR/pnp.log"
: > "$E2E_DIR/agent.out"
: > "$E2E_DEV/log/autoprovisionclient.log"
demo_follow "[pnp-server]" "$E2E_SRV_DIR/pnp.log"
demo_follow "[agent]     " "$E2E_DIR/agent.out"
demo_follow "[daemon]    " "$E2E_DEV/log/autoprovisionclient.log"
e2e_start_server "$build/pnp_server/pnp-server" --
e2e_start_daemon "${daemon_emulator[@]}"
e2e_start_agent --
e2e_wait_for 60 e2e_file_has "$E2E_DEV/tmp/apply-config.log" /etc/zentro/active.cfg \
    || e2e_fail "no configuration was applied within 60 s"
# The summary comes after the last line logged so far has been shown.
e2e_wait_for 5 demo_followers_caught_up

heading "The HTTP request the server saw"
e2e_http_request 1
heading "The daemon's trace (/var/log/autoprovisionclient.log on the device)"
cat "$E2E_DEV/log/autoprovisionclient.log"
heading "The stored file (/tmp/httpipeconfig/zentrofxs-$E2E_MAC_HEX.cfg on the device)"
cat "$(e2e_stored_file)"
heading "The applied configuration (/etc/zentro/active.cfg on the device)"
cat "$E2E_DEV/etc-upper/zentro/active.cfg"
echo "apply hook ran with: $(cat "$E2E_DEV/tmp/apply-config.log")"

heading "Stopping the presence agent, then the daemon with SIGTERM"
e2e_stop_pid "$E2E_AGENT_PID"
e2e_wait_for 5 demo_followers_caught_up
kill -TERM "$E2E_DAEMON_PID"
e2e_wait_for 15 e2e_not_alive "$E2E_DAEMON_PID" || e2e_fail "the daemon did not stop"
wait "$E2E_DAEMON_PID"
echo "daemon exit status: $?"
e2e_forget_pid "$E2E_DAEMON_PID"
cat "$E2E_DEV/tmp/logs/autoprovisionclient.log"
heading "Done; stopping the rest and removing the namespaces"
exit 0
