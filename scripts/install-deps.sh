#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root).
# apt's output goes to a log (APC_DEPS_LOG, default build/install-deps.log
# under the checkout) that is shown only when the installation fails.
# The web servers the interop test runs (nginx, apache2, lighttpd) are
# neither started nor left enabled by their installation.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
packages=(build-essential cmake googletest g++-powerpc-linux-gnu qemu-user
          iproute2 nginx-light procps clang libclang-rt-14-dev
          libbenchmark-dev time curl libexpat1-dev
          apache2 lighttpd busybox-static python3)
# For the test suite's check of the shell scripts.
packages+=(shellcheck)
# busybox-static: its httpd in the interop test, its wget beside curl in the
# download benchmark, and the whole userland of the BusyBox init-script test.
# systemd-analyze and systemd-tmpfiles for the service tests (nothing is started);
# mmdebstrap and systemd-nspawn for the boot test in a Debian container;
# chromium for the browser test of the provisioning server's status page.
packages+=(systemd mmdebstrap systemd-container chromium)
services=(nginx apache2 lighttpd)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} = 0 ]; then
  echo "every package needed is installed"
  exit 0
fi

log=${APC_DEPS_LOG:-$top/build/install-deps.log}
mkdir -p "$(dirname "$log")"
echo "installing ${missing[*]} (log: $log)"

# A policy that forbids starting services while the packages are set up,
# unless the machine has one of its own already.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 0755 "$policy"
  own_policy=1
fi
remove_policy() { [ "$own_policy" = 0 ] || rm -f "$policy"; }
trap remove_policy EXIT

export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } > "$log" 2>&1; then
  tail -n 60 "$log"
  echo "installing the packages failed (whole log: $log)" >&2
  exit 1
fi

# The servers installed just now stay off: stopped and not started at boot.
for service in "${services[@]}"; do
  package=$service
  [ "$service" != nginx ] || package=nginx-light
  case " ${missing[*]} " in *" $package "*) ;; *) continue ;; esac
  {
    if [ -d /run/systemd/system ]; then
      systemctl disable --now "$service.service" || true
    else
      if command -v deb-systemd-helper > /dev/null; then
        deb-systemd-helper disable "$service.service" || true
      fi
      update-rc.d "$service" disable || true
      if [ -x "/etc/init.d/$service" ] && [ "$own_policy" = 0 ]; then
        "/etc/init.d/$service" stop || true
      fi
    fi
  } >> "$log" 2>&1
done
echo "installed"
