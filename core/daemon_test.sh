#!/bin/bash
# Runs the built daemon as an operator would, inside a private mount namespace
# whose /tmp, /run and /var/log are fresh tmpfs mounts, so nothing reaches the
# host's files. Usage: daemon_test.sh DAEMON [EMULATOR...]
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
daemon=$1; shift
emulator=("$@")

if [ "$(id -u)" != 0 ]; then echo "skipped: needs root for a private mount namespace"; exit 77; fi
if ! unshare --mount --propagation private true 2>/dev/null; then
  echo "skipped: mount namespaces are not available"; exit 77
fi

fail() { echo "FAIL: $*"; exit 1; }

# Case 1: a machine without the FXS device: initialisation fails, exit 0.
# shellcheck disable=SC2016  # the script's words expand in the inner bash
unshare --mount --propagation private bash -c '
  set -u
  # The build tree may lie under /tmp: keep a copy of the daemon on the new /run.
  mount -t tmpfs none /run && cp "${@: -1}" /run/autoprovisionclient || exit 2
  mount -t tmpfs none /tmp && mount -t tmpfs none /var/log || exit 2
  "${@:1:$#-1}" /run/autoprovisionclient; status=$?
  [ "$status" = 0 ] || { echo "exit status $status, expected 0"; exit 1; }
  grep -E "^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}	\.[0-9]{3} Invalid fxs line number$" \
    /var/log/autoprovisionclient.log || { echo "trace log:"; cat /var/log/autoprovisionclient.log; exit 1; }
'  daemon-without-device "${emulator[@]}" "$daemon" || fail "daemon without /proc/vexa"
echo "ok: without /proc/vexa the daemon exits 0 after \"Invalid fxs line number\""

# Case 2: a running daemon ends by SIGTERM with one stop line in the report file.
# shellcheck disable=SC2016  # the script's words expand in the inner bash
unshare --mount --propagation private bash -c '
  set -u
  mount -t tmpfs none /run && cp "${@: -1}" /run/autoprovisionclient || exit 2
  mount -t tmpfs none /tmp && mount -t tmpfs none /var/log || exit 2
  mkdir -p /tmp/etc-upper /tmp/etc-work /tmp/logs /tmp/httpipeconfig /tmp/bin
  mount -t overlay overlay -o lowerdir=/etc,upperdir=/tmp/etc-upper,workdir=/tmp/etc-work /etc || exit 2
  echo "Version: 5.1.3" > /etc/version.txt
  printf "#!/bin/sh\necho 2\n" > /tmp/bin/cat && chmod +x /tmp/bin/cat
  PATH=/tmp/bin:$PATH "${@:1:$#-1}" /run/autoprovisionclient &
  pid=$!
  # Running: it keeps reporting the missing eth1 of this machine.
  for i in $(seq 100); do
    grep -q "not valid mac address" /var/log/autoprovisionclient.log 2>/dev/null && break
    sleep 0.1
  done
  grep -q "not valid mac address" /var/log/autoprovisionclient.log || { echo "daemon did not start"; kill -KILL $pid; exit 1; }
  kill -TERM $pid
  wait $pid; status=$?
  [ "$status" = 143 ] || { echo "exit status $status, expected death by SIGTERM (143)"; exit 1; }
  lines=$(grep -cE "^======= Process .* \(Auto Provision Client\) has been stopped by signal SIGTERM\(15\) at [0-9]{2}:[0-9]{2}:[0-9]{2} =======$" /tmp/logs/autoprovisionclient.log)
  [ "$lines" = 1 ] || { echo "report file:"; cat /tmp/logs/autoprovisionclient.log; exit 1; }
' daemon-sigterm "${emulator[@]}" "$daemon"
status=$?
[ $status = 2 ] && { echo "skipped: overlay or tmpfs mounts are not available"; exit 77; }
[ $status = 0 ] || fail "SIGTERM to the running daemon"
echo "ok: SIGTERM gives one stop line and ends the daemon by SIGTERM"
