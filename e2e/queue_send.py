#!/usr/bin/env python3
# Writes messages of the device's queue wire format straight into the
# daemon's queues, for cases no program of the device produces.
#   queue_send.py notify DIR ID URL   a NOTIFY(id, url) into queue 125
#   queue_send.py ping DIR            an UPDATE of type 0 into queue 126 and
#                                     waits up to 5 s for the daemon's answer
import socket
import struct
import sys

MAGIC = b"AP"
VERSION = 1
KIND_NOTIFY = 4
KIND_UPDATE = 7


def encode(kind, payload):
    return MAGIC + bytes([VERSION, kind]) + struct.pack(">I", len(payload)) + payload


def text(value):
    data = value.encode()
    return struct.pack(">H", len(data)) + data


def main(argv):
    if len(argv) >= 5 and argv[1] == "notify":
        datagram = encode(KIND_NOTIFY, struct.pack(">Q", int(argv[3])) + text(argv[4]))
        queue = argv[2] + "/queue-125"
        wait = False
    elif len(argv) >= 3 and argv[1] == "ping":
        datagram = encode(KIND_UPDATE, struct.pack(">iIH", 0, 0, 0))
        queue = argv[2] + "/queue-126"
        wait = True
    else:
        sys.stderr.write("usage: queue_send.py notify DIR ID URL | ping DIR\n")
        return 2
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.bind("")  # an autobound address, so the daemon can answer
        sock.sendto(datagram, queue)
        if not wait:
            return 0
        sock.settimeout(5.0)
        try:
            answer = sock.recv(65536)
        except socket.timeout:
            sys.stderr.write("no answer from the daemon\n")
            return 1
        return 0 if answer[:2] == MAGIC and answer[3] == KIND_UPDATE else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
