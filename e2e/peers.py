#!/usr/bin/env python3
"""Peers that no program of ours plays, for the end-to-end scenarios.

peers.py http ADDRESS PORT MODE_FILE DOCUMENT LOG: an HTTP server answering
    as MODE_FILE says at each request (logged as "request: MODE", and at its
    end "MODE: N body bytes, END"): whole (the document), not-found (the
    document under "404 Not Found"), half-stall (half, then silence until the
    client closes, at most 40 s), reset (half, then a reset), trickle (a byte
    every 1.5 s, at most 60 s), flood (a 1 GiB answer that starts like a
    document).
peers.py notify DIR ID URL: a NOTIFY(ID, URL) into the daemon's queue 125.
peers.py ping DIR: an UPDATE of type 0 into queue 126, then up to 5 s for the
    answer (the daemon's main loop is then done with what came before).
peers.py syslog SOCKET FILE: the device's system log; appends each message to
    FILE as "PRIORITY IDENT: TEXT".
"""
import os
import re
import socket
import struct
import sys
import threading
import time

FLOOD_BYTES = 1 << 30


def log(path, text):
    with open(path, "a") as out:
        out.write(text + "\n")


def wait_for_close(connection, seconds):
    """True when the client closed within seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        connection.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            if not connection.recv(4096):
                return True
        except socket.timeout:
            return False
        except OSError:
            return True
    return False


def serve(connection, mode_file, document_file, log_file):
    try:
        connection.settimeout(5)
        request = b""
        while b"\r\n\r\n" not in request and len(request) < 65536:
            chunk = connection.recv(4096)
            if not chunk:
                break
            request += chunk
        with open(mode_file) as f:
            mode = f.read().strip()
        log(log_file, "request: " + mode)
        # The header goes out at once and the file straight from the disk, so
        # that a large document keeps no idle gap however loaded the machine.
        size = os.path.getsize(document_file)
        document = open(document_file, "rb")
        status = b"404 Not Found" if mode == "not-found" else b"200 OK"
        head = b"HTTP/1.1 " + status + b"\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n"
        sent, start, end = 0, time.monotonic(), "done"
        connection.settimeout(60)
        connection.sendall(head % (FLOOD_BYTES if mode == "flood" else size))
        if mode in ("whole", "not-found"):
            sent = connection.sendfile(document)
        elif mode in ("half-stall", "reset"):
            sent = connection.sendfile(document, 0, size // 2)
            if mode == "reset":
                time.sleep(0.5)
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                end = "reset"
            else:
                end = "client closed" if wait_for_close(connection, 40) else "client stayed"
        elif mode == "trickle":
            end = "client stayed"
            for byte in document.read(40):
                connection.sendall(bytes([byte]))
                sent += 1
                if wait_for_close(connection, 1.5):
                    end = "client closed"
                    break
        elif mode == "flood":
            block = (b'<?xml version="1.0"?>\n<flood>' + b"<a/>" * (1 << 18))[: 1 << 20]
            try:
                while sent < FLOOD_BYTES:
                    connection.sendall(block)
                    sent += len(block)
                    block = b"<a/>" * (1 << 18)
            except OSError:
                end = "client went away"
        log(log_file, "%s: %d body bytes, %s after %.1f s" % (mode, sent, end, time.monotonic() - start))
    except OSError as error:
        log(log_file, "error: %s" % error)
    finally:
        connection.close()


def http(address, port, mode_file, document_file, log_file):
    listener = socket.create_server((address, int(port)), backlog=8)
    log(log_file, "listening")
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, mode_file, document_file, log_file), daemon=True).start()


def queue(kind, directory, *rest):
    """Writes one datagram of the device's queue wire format."""
    if kind == "notify":
        url = rest[1].encode()
        number, payload = 4, struct.pack(">QH", int(rest[0]), len(url)) + url
    else:
        number, payload = 7, struct.pack(">iIH", 0, 0, 0)
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.bind("")  # an autobound address, so the daemon can answer
        sock.sendto(b"AP" + bytes([1, number]) + struct.pack(">I", len(payload)) + payload,
                    directory + ("/queue-125" if kind == "notify" else "/queue-126"))
        if kind == "notify":
            return 0
        sock.settimeout(5.0)
        answer = sock.recv(65536)
        return 0 if answer[:2] == b"AP" and answer[3] == number else 1


def syslog(path, output):
    message = re.compile(rb"<(\d+)>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?([^:\[ ]*)(?:\[\d+\])?: (.*)", re.S)
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        if os.path.exists(path):
            os.unlink(path)
        sock.bind(path)
        os.chmod(path, 0o666)
        with open(output, "ab", buffering=0) as out:
            while True:
                data = sock.recv(65536)
                match = message.match(data)
                line = match.group(1) + b" " + match.group(2) + b": " + match.group(3) if match else data
                out.write(line.rstrip(b"\n") + b"\n")


if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    if command == "http":
        http(*arguments)
    elif command in ("notify", "ping"):
        sys.exit(queue(command, *arguments))
    else:
        syslog(*arguments)
