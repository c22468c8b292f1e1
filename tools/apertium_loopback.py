#!/usr/bin/env python3
"""Runs Debian's Apertium service (apertium-apy) on loopback only, for tests and benchmarks.

Usage: apertium_loopback.py --port-file PATH [--modes DIR]

apertium-apy itself listens on every address of the machine and has no option to choose one, so it is run here
in-process with its listening sockets bound to 127.0.0.1 on a port the system picks. The port goes to PATH as
{"port": N} once the socket listens; the caller then polls GET /listPairs until the service answers. The language
pairs are those of the modes folder that the installed pair packages share (found with dpkg -L apertium-eng-spa,
else /usr/share/apertium/modes), or DIR.

Ends on SIGTERM or SIGINT, and by itself when the process that started it ends, so a crashed test leaves no
service behind; either way the translation pipelines it started end with it and are waited for. Runs under the Python that apertium-apy's own script names, which is
where its modules are installed, whatever python3 comes first on PATH.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

DEFAULT_MODES = "/usr/share/apertium/modes"
PAIR_PACKAGE = "apertium-eng-spa"
PARENT_POLL_MS = 250


def apy_interpreter():
    """The interpreter of the apertium-apy script, or None when it is not installed."""
    for folder in os.environ.get("PATH", "/usr/bin").split(os.pathsep) + ["/usr/bin"]:
        script = os.path.join(folder, "apertium-apy")
        if os.path.isfile(script):
            with open(script, "rb") as source:
                first = source.readline().decode("utf-8", "replace").strip()
            if first.startswith("#!"):
                return first[2:].split()[0]
    return None


def modes_folder():
    try:
        listing = subprocess.run(["dpkg", "-L", PAIR_PACKAGE], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        listing = ""
    for line in listing.splitlines():
        if line.endswith("/modes") and os.path.isdir(line):
            return line
    return DEFAULT_MODES


def run(port_file, modes):
    import tornado.ioloop
    import tornado.netutil
    import tornado.tcpserver

    parent = os.getppid()

    def bind_loopback(server, port, address=None, *args, **kwargs):
        sockets = tornado.netutil.bind_sockets(0, "127.0.0.1")
        server.add_sockets(sockets)
        temp = "%s.%d.tmp" % (port_file, os.getpid())
        with open(temp, "w", encoding="ascii") as out:
            json.dump({"port": sockets[0].getsockname()[1]}, out)
        os.replace(temp, port_file)

    tornado.tcpserver.TCPServer.bind = bind_loopback
    # add_sockets before start: start then finds nothing pending and only sets up the single process.
    original_start = tornado.tcpserver.TCPServer.start

    def start(server, num_processes=1, *args, **kwargs):
        if num_processes != 1:
            raise SystemExit("apertium_loopback runs one process")
        return original_start(server, 1, *args, **kwargs)

    tornado.tcpserver.TCPServer.start = start

    def watch_parent():
        if os.getppid() != parent:
            tornado.ioloop.IOLoop.current().stop()

    tornado.ioloop.PeriodicCallback(watch_parent, PARENT_POLL_MS).start()
    sys.argv = ["apertium-apy", modes]
    from apertium_apy import apy

    # Its own handler exits at once, leaving the pipelines to end unwaited; stopping the loop lets main return.
    def stop(signum, frame):
        tornado.ioloop.IOLoop.current().add_callback_from_signal(tornado.ioloop.IOLoop.current().stop)

    apy.sig_handler = stop
    try:
        apy.main()
    finally:
        end_pipelines()


def end_pipelines():
    """Ends the pipeline processes this service started and waits for them (3 s, then SIGKILL)."""
    mine = str(os.getpid())
    children = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry, encoding="ascii", errors="replace") as stat:
                    if stat.read().rsplit(")", 1)[1].split()[1] == mine:
                        children.append(int(entry))
            except (OSError, IndexError):
                pass
    for pid in children:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    deadline = time.monotonic() + 3.0
    while children:
        for pid in list(children):
            try:
                if os.waitpid(pid, os.WNOHANG)[0] == pid:
                    children.remove(pid)
            except ChildProcessError:
                children.remove(pid)
        if children and time.monotonic() > deadline:
            for pid in children:
                os.kill(pid, signal.SIGKILL)
            deadline = float("inf")
        time.sleep(0.02)


def main():
    parser = argparse.ArgumentParser(description="apertium-apy on loopback only.")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--modes")
    args = parser.parse_args()
    # apertium-apy refuses to start without a UTF-8 locale, and its pipelines read and write UTF-8.
    if not any(re.search("UTF-?8", os.environ.get(name, ""), re.I) for name in ("LC_ALL", "LANG")):
        os.environ["LC_ALL"] = "C.UTF-8"
    try:
        import apertium_apy  # noqa: F401
    except ImportError:
        interpreter = apy_interpreter()
        if not interpreter or os.path.realpath(interpreter) == os.path.realpath(sys.executable):
            sys.exit("apertium-apy is not installed (apt-get install apertium-apy %s)" % PAIR_PACKAGE)
        os.execv(interpreter, [interpreter, os.path.abspath(__file__)] + sys.argv[1:])
    run(args.port_file, args.modes or modes_folder())


if __name__ == "__main__":
    main()
