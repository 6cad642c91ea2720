#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root).
set -euo pipefail
packages=(build-essential cmake googletest g++-powerpc-linux-gnu qemu-user
          iproute2 nginx-light procps clang libclang-rt-14-dev
          libbenchmark-dev time curl libexpat1-dev python3)
# systemd-analyze and systemd-tmpfiles for the service tests (nothing is started).
packages+=(systemd)
# busybox for its wget, beside curl, in the download benchmark.
packages+=(busybox)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
