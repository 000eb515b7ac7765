#!/usr/bin/env python3
"""tcp.py server ADDRESS PORT: answers each line with "component got: LINE".
tcp.py client ADDRESS PORT: sends "hello", prints the answer (5 s at most)."""
import socket
import sys
import threading

mode, address, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
if mode == "client":
    with socket.create_connection((address, port), timeout=5) as conn:
        conn.sendall(b"hello\n")
        print(conn.makefile("rb").readline().decode(errors="replace").strip())
    sys.exit(0)
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind((address, port))
server.listen(8)


def serve(conn):
    with conn:
        line = conn.makefile("rb").readline().decode(errors="replace").strip()
        conn.sendall(("component got: %s\n" % line).encode())


while True:
    conn, _ = server.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
