#!/usr/bin/env python3
"""Stands in for the device's system logger: receives datagrams on a Unix
socket (the device's /dev/log) and appends each as one line to a file.

Usage: syslog_capture.py SOCKET_PATH OUTPUT
"""
import os
import socket
import sys


def main():
    path, output = sys.argv[1:3]
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    server.bind(path)
    os.chmod(path, 0o666)
    open(output, "a").close()
    while True:
        message = server.recv(65536).decode("utf-8", "replace").rstrip("\n\0")
        with open(output, "a") as out:
            out.write(message + "\n")


if __name__ == "__main__":
    main()
