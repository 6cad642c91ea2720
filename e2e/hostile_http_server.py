#!/usr/bin/env python3
"""An HTTP server that answers the way a broken or hostile provisioning
server would, for the end-to-end tests. Every request reads the behaviour
from the mode file and logs one line when it starts and one when its
answer ends:

  whole       the document, then close
  not-found   the document under "404 Not Found", then close
  half-stall  the header and half the document, then silence until the
              client closes (at most 40 s)
  reset       the header and half the document, then a reset
  trickle     the header, then one byte every 1.5 s (at most 60 s)
  flood       a 1 GiB answer that starts like a document, as fast as the
              client takes it

Usage: hostile_http_server.py ADDRESS PORT MODE_FILE DOCUMENT LOG
"""
import socket
import struct
import sys
import threading
import time

FLOOD_BYTES = 1 << 30


def log(path, text):
    with open(path, "a") as out:
        out.write(text + "\n")


def read_request(connection):
    connection.settimeout(5)
    request = b""
    while b"\r\n\r\n" not in request and len(request) < 65536:
        chunk = connection.recv(4096)
        if not chunk:
            break
        request += chunk
    return request


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


def header(length, status="200 OK"):
    return ("HTTP/1.1 %s\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n" % (status, length)).encode()


def serve(connection, mode_file, document_file, log_file):
    try:
        read_request(connection)
        with open(mode_file) as f:
            mode = f.read().strip()
        with open(document_file, "rb") as f:
            document = f.read()
        half = document[: len(document) // 2]
        log(log_file, "request: " + mode)
        sent = 0
        start = time.monotonic()
        end = "done"
        connection.settimeout(60)
        if mode in ("whole", "not-found"):
            status = "404 Not Found" if mode == "not-found" else "200 OK"
            connection.sendall(header(len(document), status) + document)
            sent = len(document)
        elif mode == "half-stall":
            connection.sendall(header(len(document)) + half)
            sent = len(half)
            end = "client closed" if wait_for_close(connection, 40) else "client stayed"
        elif mode == "reset":
            connection.sendall(header(len(document)) + half)
            sent = len(half)
            time.sleep(0.5)
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            end = "reset"
        elif mode == "trickle":
            connection.sendall(header(len(document)))
            end = "client stayed"
            for byte in document[:40]:
                connection.sendall(bytes([byte]))
                sent += 1
                if wait_for_close(connection, 1.5):
                    end = "client closed"
                    break
        elif mode == "flood":
            connection.sendall(header(FLOOD_BYTES))
            block = b'<?xml version="1.0"?>\n<flood>' + b"<a/>" * ((1 << 20) // 4)
            block = block[: 1 << 20]
            try:
                while sent < FLOOD_BYTES:
                    connection.sendall(block)
                    sent += len(block)
                    block = b"<a/>" * ((1 << 20) // 4)
            except OSError:
                end = "client went away"
        else:
            end = "unknown mode"
        log(log_file, "%s: %d body bytes, %s after %.1f s" % (mode, sent, end, time.monotonic() - start))
    except OSError as error:
        log(log_file, "error: %s" % error)
    finally:
        connection.close()


def main():
    address, port, mode_file, document_file, log_file = sys.argv[1:6]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, int(port)))
    listener.listen(8)
    log(log_file, "listening")
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, mode_file, document_file, log_file),
                         daemon=True).start()


if __name__ == "__main__":
    main()
