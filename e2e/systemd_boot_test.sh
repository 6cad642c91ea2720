#!/bin/bash
# The installed product under a real systemd: a Debian 12 root (mmdebstrap,
# cached as a tar file, unpacked fresh into a tmpfs) booted with systemd-nspawn,
# its eth1 lib.sh's device link to a server namespace running pnp-server. First
# the README's package lines, then a purge: both units active and provisioned,
# then nothing left. Then the README's cmake --install lines (cmake here with
# DESTDIR, systemctl inside): both units active and provisioned; /run/msgq 0770
# and a command from a web side in root's group; the address-space (and, where
# the hierarchy carries them, cgroup) limits; update, reset, a document that is
# not well-formed refused in the journal; SIGKILL restarts the daemon after the
# directories step; what another user planted at both /tmp paths replaced at
# restart; the reboot command (nspawn exits 133, the units come back); the stop
# line on SIGTERM. Last, dpkg -i and --purge in a chroot.
# Usage: systemd_boot_test.sh SOURCE_DIR BUILD_DIR ROOT_CACHE PNP_SERVER
set -u
. "$(dirname "$0")/lib.sh"
[ $# = 4 ] || { echo "usage: $0 SOURCE_DIR BUILD_DIR ROOT_CACHE PNP_SERVER"; exit 2; }
source_dir=$(cd "$1" && pwd) && build_dir=$(cd "$2" && pwd) || exit 1
root_cache=$3
e2e_require_namespaces
command -v systemd-nspawn > /dev/null || e2e_skip "needs systemd-nspawn"
cgroup_parents=(/sys/fs/cgroup)
[ ! -d /sys/fs/cgroup/unified ] || cgroup_parents=(/sys/fs/cgroup/systemd /sys/fs/cgroup/unified)
[ -d /sys/fs/cgroup/unified ] || [ -f /sys/fs/cgroup/cgroup.controllers ] \
    || e2e_skip "no cgroup hierarchy systemd-nspawn can use"
e2e_enter_private_mounts "$@"

cgroups=() nspawn_pid='' init_pid='' made_dirs=()
cleanup()
{
    local status=$? group dir
    trap - EXIT INT TERM
    if [ -n "$nspawn_pid" ]; then
        [ -n "$init_pid" ] && dev_detached systemctl poweroff
        e2e_wait_for 30 e2e_not_alive "$nspawn_pid" || kill -TERM "$nspawn_pid" 2> /dev/null
        e2e_wait_for 15 e2e_not_alive "$nspawn_pid" || kill -KILL "$nspawn_pid" "$init_pid" 2> /dev/null
        wait "$nspawn_pid" 2> /dev/null
    fi
    for group in "${cgroups[@]}"; do
        find "$group" -depth -type d -exec rmdir {} \; 2> /dev/null
        [ ! -d "$group" ] || { echo "FAIL: cgroup $group left behind"; status=1; }
    done
    umount /run/systemd/nspawn 2> /dev/null
    for dir in "${made_dirs[@]}"; do rmdir "$dir"; done
    (exit "$status")
    e2e_cleanup
}

# Shows the container's view of what failed, then ends the test.
fail()
{
    if [ -n "$init_pid" ] && e2e_alive "$init_pid"; then
        echo "----- systemctl status (container)"
        dev systemctl --no-pager status autoprovisionclient-dirs.service presence-agent.service \
            autoprovisionclient.service 2>&1 | tail -n 40
        echo "----- journal (container, last 60 lines)"
        dev journalctl -b --no-pager -n 60 2>&1
    fi
    e2e_fail "$*"
}

e2e_setup
trap cleanup EXIT
work=$E2E_DIR
# nspawn keeps state under /run/systemd/nspawn: a tmpfs of this namespace.
for dir in /run/systemd /run/systemd/nspawn; do
    [ -d "$dir" ] || { mkdir "$dir" && made_dirs=("$dir" "${made_dirs[@]}"); } || fail "mkdir $dir"
done
mount -t tmpfs -o mode=0755 apc-boot-nspawn /run/systemd/nspawn || fail "tmpfs on /run/systemd/nspawn"
for parent in "${cgroup_parents[@]}"; do
    mkdir "$parent/apc-boot-$$" || fail "cgroup under $parent"
    cgroups+=("$parent/apc-boot-$$")
done

if [ ! -s "$root_cache" ]; then
    command -v mmdebstrap > /dev/null || fail "needs mmdebstrap to build $root_cache"
    echo "building the Debian 12 root file system into $root_cache"
    mkdir -p "$(dirname "$root_cache")" || fail "mkdir for $root_cache"
    timeout 900 mmdebstrap --variant=minbase --include=systemd,systemd-sysv --aptopt='Acquire::Languages "none"' \
        bookworm "$work/debian" > "$work/mmdebstrap.log" 2>&1 || { tail -n 30 "$work/mmdebstrap.log"; fail "mmdebstrap"; }
    { tar -C "$work/debian" --numeric-owner -cf "$root_cache.$$" . && mv "$root_cache.$$" "$root_cache"; } \
        || fail "tar of the root file system"
    rm -rf --one-file-system "$work/debian"
fi
e2e_start_server "$4" --

# ---------------------------------------------------------------- the container

# A fresh copy of the root with the device's stand-ins: the FXS line number
# through a cat first on PATH, the firmware version, the factory configuration
# and an apply hook that records its argument.
root=$work/root
{ mkdir "$root" && tar -C "$root" --numeric-owner -xf "$root_cache"; } || fail "unpacking $root_cache"
mkdir -p "$root/etc/zentro" "$root/usr/libexec/zentro" || fail "mkdir in $root"
echo "Version: 5.1.3" > "$root/etc/version.txt"
echo '<?xml version="1.0"?><zentro><factory/></zentro>' > "$root/etc/zentro/factory.cfg"
cp "$E2E_DEV/run/e2e/bin/cat" "$root/usr/local/bin/cat" || fail "the stand-in cat"
# shellcheck disable=SC2016  # the hook expands its argument itself
printf '%s\n' '#!/bin/sh' 'echo "$1" >> /var/log/apply-config.log' > "$root/usr/libexec/zentro/apply-config"
chmod 0755 "$root/usr/libexec/zentro/apply-config"

# dev COMMAND...: runs a command in the container as root; dev_detached
# COMMAND...: the same in the background of the container, for a command that
# shuts it down: nsenter, stopped with its child by the shutdown's SIGSTOP,
# would never reap it, and the container would never end.
dev() { timeout 120 nsenter -t "$init_pid" -a env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
# shellcheck disable=SC2016  # the container's shell expands it
dev_detached() { dev sh -c '"$@" > /dev/null 2>&1 &' detached "$@"; }

find_init()
{
    local pid
    for pid in $(pgrep -P "$nspawn_pid") $(pgrep -P "$(pgrep -P "$nspawn_pid" | head -n 1)" 2> /dev/null); do
        [ "$(awk '/^NSpid:/ { print $NF }' "/proc/$pid/status" 2> /dev/null)" = 1 ] && { init_pid=$pid; return 0; }
    done
    e2e_alive "$nspawn_pid" || fail "systemd-nspawn ended: $(tail -n 20 "$work/nspawn.out")"
    return 1
}

system_up() { [[ $(dev systemctl is-system-running 2> /dev/null) =~ ^(running|degraded)$ ]]; }

# boot: starts the container in the test's cgroups and waits until it is up.
boot()
{
    (
        for group in "${cgroups[@]}"; do echo "$BASHPID" > "$group/cgroup.procs" || exit 1; done
        exec systemd-nspawn --boot --directory="$root" --machine="apc-boot-$$" --register=no --keep-unit \
            --network-namespace-path="/run/netns/$E2E_DEV_NS" --console=pipe --resolv-conf=off --timezone=off \
            --link-journal=no
    ) < /dev/null >> "$work/nspawn.out" 2>&1 &
    nspawn_pid=$! init_pid=
    e2e_wait_for 30 find_init || fail "no systemd in the container"
    e2e_wait_for 60 system_up || fail "the container did not finish its boot"
}

# ended_with STATUS: nspawn ends (within 60 s) with STATUS.
ended_with()
{
    e2e_wait_for 60 e2e_not_alive "$nspawn_pid" || fail "systemd-nspawn did not end"
    wait "$nspawn_pid"
    local status=$?
    nspawn_pid='' init_pid=''
    [ "$status" = "$1" ] || fail "systemd-nspawn ended with $status, expected $1"
}

# run_recipe LINE: runs the indented lines that follow LINE in the README as
# written: cmake with the build directory as "build" and DESTDIR set to the
# container's root, cpack in the build directory (its package copied to the
# container's /root), the rest in the container's /root.
run_recipe()
{
    local lines line
    lines=$(awk -v fixed="$1" 'found && /^    / { print substr($0, 5); next } found && NF { exit } $0 == fixed { found = 1 }' \
        "$source_dir/README.md")
    [ -n "$lines" ] || fail "no indented lines after \"$1\" in README.md"
    mkdir -p "$work/checkout" && ln -sfn "$build_dir" "$work/checkout/build"
    while IFS= read -r line; do
        echo "recipe: $line"
        case $line in
            cmake\ *) (cd "$work/checkout" && DESTDIR=$root bash -c "$line") > "$work/recipe.out" 2>&1 ;;
            cpack\ *) (cd "$build_dir" && bash -c "$line" && cp autoprovisionclient_*.deb "$root/root/") \
                          > "$work/recipe.out" 2>&1 ;;
            *) dev sh -c "cd /root && $line" > "$work/recipe.out" 2>&1 ;;
        esac || { cat "$work/recipe.out"; fail "recipe line failed: $line"; }
    done <<< "$lines"
}

# ---------------------------------------------------------------- checks

units_up() { [ "$(dev systemctl is-active presence-agent.service autoprovisionclient.service)" = $'active\nactive' ]; }
show() { dev systemctl show -p "$1" --value "$2.service"; }

# expect_units_up [RESTARTS]: both units active; systemd restarted the daemon
# RESTARTS times (when given) and never the agent.
expect_units_up()
{
    e2e_wait_for 10 units_up || fail "the units are not both active"
    [ $# = 0 ] || [ "$(show NRestarts autoprovisionclient)" = "$1" ] \
        || fail "daemon restarts: $(show NRestarts autoprovisionclient)"
    [ "$(show NRestarts presence-agent)" = 0 ] || fail "the agent was restarted"
}

journal() { dev journalctl -b -u "$1" -o cat --no-pager; }
journal_has() { journal "$1" | grep -qxF -- "$2"; }
applies() { dev sh -c 'wc -l < /var/log/apply-config.log' 2> /dev/null || echo 0; }
applies_at_least() { [ "$(applies)" -ge "$1" ]; }
active_is() { [ "$(dev cat /etc/zentro/active.cfg 2> /dev/null)" = "$1" ]; }
main_pid_is_not() { local pid; pid=$(show MainPID autoprovisionclient); [ "$pid" != 0 ] && [ "$pid" != "$1" ]; }
dirs_runs_at_least() { [ "$(journal autoprovisionclient-dirs.service | grep -c "^Finished ")" -ge "$1" ]; }

# expect_applied COUNT DOCUMENT: the hook has run COUNT times, DOCUMENT is active.
expect_applied()
{
    e2e_wait_for 20 applies_at_least "$1" || fail "the hook ran $(applies) times, expected $1"
    active_is "$2" || fail "active.cfg is \"$(dev cat /etc/zentro/active.cfg)\", expected \"$2\""
    [ "$(dev tail -n 1 /var/log/apply-config.log)" = /etc/zentro/active.cfg ] || fail "the hook's argument"
}

# send_command WORD [SETPRIV OPTIONS...]: autoprovision-cmd WORD (as root, or
# as setpriv makes it), accepted.
send_command()
{
    local as=() answer
    [ $# = 1 ] || as=(setpriv "${@:2}")
    answer=$(dev "${as[@]}" autoprovision-cmd "$1" 2>&1)
    [ "$answer" = "autoprovision-cmd: $1: accepted" ] || fail "autoprovision-cmd $1: $answer"
}

stored=/tmp/httpipeconfig/zentrofxs-$E2E_MAC_HEX.cfg
factory='<?xml version="1.0"?><zentro><factory/></zentro>'
document() { echo "<?xml version=\"1.0\"?><zentro><line number=\"1\" user=\"boot-$1\"/></zentro>"; }

# ---------------------------------------------------------------- first the package

# files: the container's files but the ones the system itself changes.
files()
{
    dev find / -xdev \( -path /var/lib/dpkg -o -path /var/lib/systemd -o -path /var/log/journal -o -path /var/cache \
                        -o -path /var/log/dpkg.log -o -path /var/log/apt \) -prune -o -print | sort
}

e2e_publish_document "$(document 1001)"
boot
files > "$work/files.before"
run_recipe "root, in the build directory:"
expect_units_up 0
expect_applied 1 "$(document 1001)"
e2e_ok "the package: dpkg -i enables and starts both units, the device provisioned"

dev dpkg --purge autoprovisionclient > "$work/purge.out" 2>&1 || { cat "$work/purge.out"; fail "dpkg --purge"; }
for unit in presence-agent autoprovisionclient autoprovisionclient-dirs; do
    [ "$(dev systemctl is-active "$unit.service")" = inactive ] || fail "$unit.service still runs after the purge"
done
dev sh -c 'rm -f /root/autoprovisionclient_*.deb /var/log/apply-config.log /etc/zentro/active.cfg /etc/zentro/previous.cfg'
files > "$work/files.after"
diff "$work/files.before" "$work/files.after" || fail "the purge left the above"
dev test ! -e /run/msgq || fail "/run/msgq left after the purge"
e2e_ok "dpkg --purge: both units stopped, nothing of the package left"

# ---------------------------------------------------------------- then the README's cmake --install lines

run_recipe "package, as root, from the top of the checkout:"
expect_units_up 0
expect_applied 1 "$(document 1001)"
e2e_ok "cmake --install and systemctl enable --now: both units active, the device provisioned"

[ "$(dev stat -c '%U:%G %a' /run/msgq /run/msgq/queue-126)" = $'root:root 770\nroot:root 660' ] \
    || fail "queue directory and socket: $(dev stat -c '%n %U:%G %a' /run/msgq /run/msgq/queue-126)"
# A web side that is not root, in root's group, sends the update.
e2e_publish_document "$(document 2002)"
send_command update --reuid=65534 --regid=0 --clear-groups
expect_applied 2 "$(document 2002)"
send_command reset
expect_applied 3 "$factory"
e2e_ok "/run/msgq 0770 root:root; update from a web side in root's group, reset: applied"

e2e_publish_document '<?xml version="1.0"?><zentro><line></zentro>'
send_command update
refusal="Configurator: $stored refused at byte 35: mismatched end tag"
e2e_wait_for 20 journal_has autoprovisionclient "$refusal" || fail "no \"$refusal\" in the journal"
active_is "$factory" || fail "a refused document changed active.cfg"
e2e_ok "a document that is not well-formed: refused in the journal, active.cfg kept"

# The address-space limits, and the cgroup limits where the container's
# hierarchy gives its units a memory and a pids controller.
for limit in autoprovisionclient:268435456 presence-agent:67108864; do
    pid=$(show MainPID "${limit%%:*}")
    dev grep -qE "^Max address space +${limit#*:} +${limit#*:} +bytes" "/proc/$pid/limits" \
        || fail "${limit%%:*}: $(dev grep 'address space' "/proc/$pid/limits")"
done
group=$(show ControlGroup autoprovisionclient)
memory=$(dev sh -c "cat /sys/fs/cgroup$group/memory.max /sys/fs/cgroup/memory$group/memory.limit_in_bytes" 2> /dev/null)
tasks=$(dev sh -c "cat /sys/fs/cgroup$group/pids.max /sys/fs/cgroup/pids$group/pids.max" 2> /dev/null)
if [ -n "$memory$tasks" ]; then
    [ "$memory:$tasks" = 335544320:32 ] || fail "cgroup limits of the daemon: memory $memory, tasks $tasks"
    e2e_ok "LimitAS= in /proc/PID/limits; MemoryMax=320M and TasksMax=32 in the daemon's cgroup"
else
    echo "note: MemoryMax= and TasksMax= are not enforced here: the container's units get no memory or pids" \
        "controller (its /sys/fs/cgroup is $(dev stat -f -c %T /sys/fs/cgroup): the hybrid v1/v2 hierarchy)"
    e2e_ok "LimitAS= in /proc/PID/limits of both programs"
fi

pid=$(show MainPID autoprovisionclient)
runs=$(journal autoprovisionclient-dirs.service | grep -c "^Finished ")
# shellcheck disable=SC2016  # the container's shell expands it
dev sh -c 'kill -KILL "$1"' kill "$pid"
e2e_wait_for 15 main_pid_is_not "$pid" || fail "the daemon was not restarted after SIGKILL"
journal_has autoprovisionclient "autoprovisionclient.service: Main process exited, code=killed, status=9/KILL" \
    || fail "no SIGKILL line in the journal"
e2e_wait_for 10 dirs_runs_at_least $((runs + 1)) || fail "the directories step did not run before the restart"
expect_units_up 1
e2e_ok "SIGKILL: systemd restarts the daemon after the directories step"

# What another user leaves at the /tmp paths: a directory anyone may write, a symlink.
dev rm -rf /tmp/httpipeconfig /tmp/logs
{ dev setpriv --reuid=65534 --regid=65534 --clear-groups mkdir -m 0777 /tmp/httpipeconfig &&
    dev setpriv --reuid=65534 --regid=65534 --clear-groups ln -s /etc /tmp/logs; } || fail "planting"
dev systemctl restart autoprovisionclient.service || fail "restart failed"
for dir in /tmp/httpipeconfig /tmp/logs; do
    [ "$(dev stat -c '%F %U:%G %a' "$dir")" = "directory root:root 755" ] || fail "$dir: $(dev stat -c '%F %U:%G %a' "$dir")"
    [ "$(journal autoprovisionclient-dirs.service | grep -c "^prepare-dirs: replacing $dir: ")" = 1 ] \
        || fail "no line on replacing $dir"
done
e2e_wait_for 20 dev test -f "$stored" || fail "the daemon stored nothing in the new directory"
expect_units_up
e2e_ok "a foreign directory 0777 and a symlink at the /tmp paths: replaced at restart, daemon running"

e2e_publish_document "$(document 3003)"
applied=$(applies)
dev_detached autoprovision-cmd reboot
ended_with 133
boot
expect_units_up 0
expect_applied $((applied + 1)) "$(document 3003)"
e2e_ok "reboot command: the container rebooted, both units active again and the device provisioned"
dev systemctl stop autoprovisionclient.service || fail "systemctl stop"
[ "$(dev systemctl is-active autoprovisionclient.service)" = inactive ] || fail "the daemon did not stop cleanly"
stop_line="^======= Process /usr/sbin/autoprovisionclient \(Auto Provision Client\) has been stopped by signal"
stop_line+=" SIGTERM\(15\) at [0-9]{2}:[0-9]{2}:[0-9]{2} =======$"
journal autoprovisionclient | grep -qE "$stop_line" || fail "no stop line in the journal"
dev grep -qE "$stop_line" /tmp/logs/autoprovisionclient.log || fail "no stop line in /tmp/logs/autoprovisionclient.log"
e2e_ok "systemctl stop: the crash guard's stop line in the journal and in /tmp/logs"
dev_detached systemctl poweroff
ended_with 0

# The same root as a chroot, where systemd does not run: the scripts do nothing that fails.
cp "$build_dir"/autoprovisionclient_*.deb "$root/root/" || fail "copy of the package"
chroot "$root" sh -c 'dpkg -i /root/autoprovisionclient_*.deb && dpkg --purge autoprovisionclient' \
    > "$work/chroot.out" 2>&1 || { cat "$work/chroot.out"; fail "dpkg -i and --purge without systemd running"; }
e2e_ok "without systemd running: dpkg -i and dpkg --purge succeed"
exit 0
