#!/usr/bin/env python3
"""Loopback TLS servers for the Windows TLS tests, which run under Wine and cannot start Linux programs themselves.

Usage: tls_test_server.py start DIR | stop DIR

start makes the test certificates in DIR (tools/make_test_certs.sh), then starts one server per certificate on
127.0.0.1, each on a port the system picks, detached from the caller, and returns once DIR/ports holds a
"NAME PORT" line for each (server, other, expired, untrusted, stranger). Every connection is answered the same way:
after the handshake, the first line read comes back as "reply " + line, then the server says close_notify and
closes. stop ends the servers (by the process id in DIR/pid); left alone they end by themselves after ten minutes.
"""

import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

NAMES = ["server", "other", "expired", "untrusted", "stranger"]
LIFETIME_S = 600
WAIT_S = 10


def serve_one(context, connection):
    connection.settimeout(WAIT_S)
    try:
        with context.wrap_socket(connection, server_side=True) as tls:
            line = b""
            while not line.endswith(b"\n"):
                chunk = tls.recv(1)
                if not chunk:
                    return
                line += chunk
            tls.sendall(b"reply " + line)
            tls.unwrap()
    except (OSError, ssl.SSLError):
        pass  # a refused certificate ends the handshake from the client's side
    finally:
        connection.close()


def serve(context, listener):
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve_one, args=(context, connection), daemon=True).start()


def run(folder):
    lines = []
    for name in NAMES:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key"))
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        lines.append("%s %d\n" % (name, listener.getsockname()[1]))
        threading.Thread(target=serve, args=(context, listener), daemon=True).start()
    with open(os.path.join(folder, "ports.tmp"), "w") as out:
        out.writelines(lines)
    os.rename(os.path.join(folder, "ports.tmp"), os.path.join(folder, "ports"))
    time.sleep(LIFETIME_S)


def start(folder):
    stop(folder)
    os.makedirs(folder, exist_ok=True)
    for stale in ("ports", "pid"):
        if os.path.exists(os.path.join(folder, stale)):
            os.remove(os.path.join(folder, stale))
    tools = os.path.dirname(os.path.abspath(__file__))
    subprocess.run(["bash", os.path.join(tools, "make_test_certs.sh"), folder], check=True)
    with open(os.path.join(folder, "server.log"), "w") as log:
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "run", folder], stdin=subprocess.DEVNULL,
                                 stdout=log, stderr=log, start_new_session=True)
    with open(os.path.join(folder, "pid"), "w") as out:
        out.write("%d\n" % child.pid)
    deadline = time.monotonic() + WAIT_S
    while not os.path.exists(os.path.join(folder, "ports")):
        if child.poll() is not None or time.monotonic() > deadline:
            sys.exit("the TLS test servers did not start; see " + os.path.join(folder, "server.log"))
        time.sleep(0.05)


def stop(folder):
    try:
        with open(os.path.join(folder, "pid")) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    {"start": start, "stop": stop, "run": run}[sys.argv[1]](sys.argv[2])
