"""What the Python benchmarks share: the program's port, /proc readings and the fake engine they run against."""

import json
import os
import socket
import subprocess
import sys
import time

PORT = 8888
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def proc_status(pid, key):
    """A kB or count field of /proc/PID/status (VmRSS, VmHWM, Threads), -1 when it cannot be read."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def listening(port=PORT):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.05).close()
        return True
    except OSError:
        return False


def start_fake_engine(folder):
    """Starts tools/fake_engine.py; returns the process and its http port once it listens (at most 10 s)."""
    ports_file = os.path.join(folder, "ports.json")
    engine = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "fake_engine.py"), "--port-file",
                               ports_file], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not (os.path.exists(ports_file) and os.path.getsize(ports_file)):
        if time.monotonic() > deadline:
            engine.kill()
            sys.exit("the fake engine did not start")
        time.sleep(0.01)
    with open(ports_file) as f:
        return engine, json.load(f)["http"]


def write_google_settings(path, http_port):
    """A setting.ini with the server on and Google at the fake engine, in English."""
    with open(path, "w") as f:
        f.write(f"[General]\nProxyActive=1\nGoogle=1\n[Engines]\nGoogle=127.0.0.1:{http_port}\n"
                "[Setting]\nLanguage=English\n")
