#!/usr/bin/env bash
# A firmware build links the device's own messaging library instead of ours:
# a stand-in built outside the tree (a shared library and its headers in a
# temporary directory) is given through APC_MESSAGING_LIBRARY and
# APC_MESSAGING_INCLUDE_DIR. The daemon must compile against the stand-in's
# header, link the stand-in, and ours must not be built at all.
# Usage: library_swap_test.sh SOURCE_DIR CMAKE
set -euo pipefail
src=$1 cmake=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$tmp/include/messaging" "$tmp/lib"
cp "$src"/platform/messaging/*.h "$tmp/include/messaging/"
g++ -std=c++17 -O0 -shared -fPIC -I"$tmp/include" -I"$src/platform" \
    -o "$tmp/lib/libdevice-messaging.so" "$src"/platform/messaging/{message_codec,message_queue,messengers}.cpp

"$cmake" -S "$src" -B "$tmp/build" -DAPC_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE= \
    -DAPC_MESSAGING_LIBRARY="$tmp/lib/libdevice-messaging.so" -DAPC_MESSAGING_INCLUDE_DIR="$tmp/include" \
    > "$tmp/configure.log" || { cat "$tmp/configure.log"; exit 1; }
grep -F "platform: messaging library $tmp/lib/libdevice-messaging.so, headers in $tmp/include" "$tmp/configure.log"
"$cmake" --build "$tmp/build" --target autoprovisionclient -j "$(nproc)" > "$tmp/build.log" 2>&1 \
    || { tail -40 "$tmp/build.log"; exit 1; }

status=0
fail() { echo "FAIL: $*"; status=1; }
daemon=$tmp/build/core/autoprovisionclient
readelf -d "$daemon" | grep -q 'NEEDED.*\[libdevice-messaging.so\]' || fail "the daemon does not link the stand-in"
[ -z "$(find "$tmp/build" -name 'libapc_messaging*')" ] || fail "our messaging library was built as well"
# The compiler's dependency file of a source that includes the messaging header.
deps=$(find "$tmp/build/core" -name 'auto_provision_client.cpp.o.d')
grep -q "$tmp/include/messaging/messaging.h" "$deps" || fail "the stand-in's header was not compiled against"
! grep -q "$src/platform/messaging/messaging.h" "$deps" || fail "our messaging header was compiled against"
[ $status = 0 ] && echo "ok: the daemon built against the stand-in messaging library"
exit $status
