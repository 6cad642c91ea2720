#!/bin/bash
# Installs the build into a staging directory and checks what lands there:
# the daemon, the presence agent and the command tool under sbin/, their
# systemd units and their init scripts.
# Usage: install_test.sh CMAKE BUILD_DIR
set -u
cmake_command=$1
build=$2

stage=$(mktemp -d /tmp/apc-install.XXXXXX) || { echo "FAIL: mktemp"; exit 1; }
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$cmake_command" --install "$build" --prefix "$stage" > "$stage.log" 2>&1
status=$?
if [ $status != 0 ]; then
    cat "$stage.log"; rm -f "$stage.log"
    echo "FAIL: cmake --install exited with $status"
    exit 1
fi
rm -f "$stage.log"

for program in autoprovisionclient presence-agent autoprovision-cmd; do
    [ -f "$stage/sbin/$program" ] && [ -x "$stage/sbin/$program" ] || fail "sbin/$program missing or not executable"
done

for name in autoprovisionclient presence-agent; do
    unit=$stage/lib/systemd/system/$name.service
    if [ ! -f "$unit" ]; then
        fail "lib/systemd/system/$name.service missing"
    else
        # The unit starts the program where it was installed.
        grep -qx "ExecStart=/usr/sbin/$name\( .*\)\?" "$unit" || fail "$name.service does not start /usr/sbin/$name"
        grep -q "^\[Install\]" "$unit" || fail "$name.service has no [Install] section"
    fi
    script=$stage/etc/init.d/$name
    if [ ! -f "$script" ] || [ ! -x "$script" ]; then
        fail "etc/init.d/$name missing or not executable"
    else
        sh -n "$script" || fail "etc/init.d/$name is not valid sh"
        grep -q "/usr/sbin/$name" "$script" || fail "etc/init.d/$name does not name /usr/sbin/$name"
        grep -q "start)" "$script" && grep -q "stop)" "$script" || fail "etc/init.d/$name lacks start or stop"
    fi
done

if [ $failures != 0 ]; then
    echo "installed files:"
    (cd "$stage" && find . -type f | sort)
    exit 1
fi
echo "ok: sbin/ programs, systemd units and init scripts installed"
exit 0
