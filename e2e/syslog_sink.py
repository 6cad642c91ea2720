#!/usr/bin/env python3
# The device's system log for the end-to-end tests: binds a datagram socket
# at SOCKET and appends each message to FILE as one line
# "PRIORITY IDENT: TEXT" (the time stamp and any "[pid]" dropped).
# Usage: syslog_sink.py SOCKET FILE
import os
import re
import socket
import sys

MESSAGE = re.compile(rb"<(\d+)>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?([^:\[ ]*)(?:\[\d+\])?: (.*)", re.S)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: syslog_sink.py SOCKET FILE\n")
        return 2
    path, output = argv[1], argv[2]
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        if os.path.exists(path):
            os.unlink(path)
        sock.bind(path)
        os.chmod(path, 0o666)
        with open(output, "ab", buffering=0) as log:
            while True:
                data = sock.recv(65536)
                match = MESSAGE.match(data)
                line = match.group(1) + b" " + match.group(2) + b": " + match.group(3) if match else data
                log.write(line.rstrip(b"\n") + b"\n")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
