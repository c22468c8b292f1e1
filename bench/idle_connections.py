#!/usr/bin/env python3
"""Idle connections against the real program: it runs offscreen on port 8888 with the engines pointed at
tools/fake_engine.py and the open-file limit given; N connections are opened that never send a byte, then
translations are asked on fresh connections while they stay open. Prints one Markdown table row: how many idle
connections got through the handshake, how many the program still holds open, the translations' times, and the
program's threads, descriptors and resident memory meanwhile (once its descriptor count has settled), with the
peak resident memory since it started. The figures are recorded in bench/README.md.

    bench/idle_connections.py build/tessarine-proxy N [SOFT:HARD]     (limit default: this process's own)

The connections are held by child processes of at most 5,000 each, so N may pass this process's own limit.
"""
import os
import resource
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from benchlib import PORT, listening, proc_status, start_fake_engine, write_google_settings

PER_HOLDER = 5000
# The program's listen queue holds 16: larger batches overflow it and lose connections to SYN cookies.
BATCH = 16
TRANSLATIONS = 5


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def hold(count, report, release):
    """In a child: opens count idle connections (non-blocking connects in batches the size of the listen queue,
    at most 1 s for each batch to complete), writes how many completed within that time, then waits for release
    and reports how many of those the program has closed meanwhile."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    sockets, established = [], []
    for start in range(0, count, BATCH):
        selector = selectors.DefaultSelector()
        for _ in range(min(BATCH, count - start)):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", PORT))
            sockets.append(s)
            selector.register(s, selectors.EVENT_WRITE)
        deadline = time.monotonic() + 1.0
        pending = len(selector.get_map())
        while pending and time.monotonic() < deadline:
            for key, _ in selector.select(deadline - time.monotonic()):
                selector.unregister(key.fileobj)
                pending -= 1
                if key.fileobj.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                    established.append(key.fileobj)
        selector.close()
    os.write(report, f"{len(established)}\n".encode())
    os.read(release, 1)
    closed = 0
    for s in established:
        try:
            if s.recv(1) == b"":
                closed += 1
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
    os.write(report, f"{closed}\n".encode())
    os._exit(0)


def translate(i):
    start = time.perf_counter()
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(f"GET /linxp_translate_t?text=Hello%20{i}&langpair=en%7Cde HTTP/1.0\r\n\r\n".encode())
            answer = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
    except OSError:
        return None
    ok = answer.startswith(b"HTTP/1.1 200") and b"de: HELLO" in answer
    return (time.perf_counter() - start) * 1000 if ok else None


def main():
    program = os.path.abspath(sys.argv[1])
    idle = int(sys.argv[2])
    limit = tuple(int(v) for v in sys.argv[3].split(":")) if len(sys.argv) > 3 else None
    if listening():
        sys.exit(f"port {PORT} is in use by another program")
    folder = tempfile.mkdtemp(prefix="tessarine-idle-")
    engine = program_process = None
    holders = []
    try:
        engine, http_port = start_fake_engine(folder)
        settings = os.path.join(folder, "setting.ini")
        write_google_settings(settings, http_port)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        preexec = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, limit)) if limit else None
        program_process = subprocess.Popen([program, "--settings", settings], env=env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, preexec_fn=preexec)
        pid = program_process.pid
        deadline = time.monotonic() + 10
        while not listening():
            if program_process.poll() is not None or time.monotonic() > deadline:
                sys.exit("the program did not start listening")
            time.sleep(0.01)
        with open(f"/proc/{pid}/limits") as f:
            soft_limit = next(line.split()[3] for line in f if line.startswith("Max open files"))
        if translate(0) is None:
            sys.exit("no translation before the idle connections")
        time.sleep(0.5)
        rest = (proc_status(pid, "Threads"), proc_status(pid, "VmRSS"))

        started = time.perf_counter()
        for start in range(0, idle, PER_HOLDER):
            report_r, report_w = os.pipe()
            release_r, release_w = os.pipe()
            child = os.fork()
            if child == 0:
                hold(min(PER_HOLDER, idle - start), report_w, release_r)
            holders.append((child, os.fdopen(report_r), release_w))
        connected = sum(int(report.readline()) for _, report, _ in holders)
        opened_s = time.perf_counter() - started
        # Connections the listen queue held back arrive with the clients' retransmissions: wait until the
        # program's descriptors stay the same for 3 s (at most 60 s).
        settle_deadline, last, steady = time.monotonic() + 60, -1, 0
        while steady < 6 and time.monotonic() < settle_deadline:
            time.sleep(0.5)
            now = descriptors(pid)
            steady = steady + 1 if now == last else 0
            last = now
        times = [translate(i + 1) for i in range(TRANSLATIONS)]
        threads, rss, peak, fds = proc_status(pid, "Threads"), proc_status(pid, "VmRSS"), proc_status(pid, "VmHWM"), descriptors(pid)
        for _, _, release in holders:
            os.write(release, b"x")
        closed = sum(int(report.readline()) for _, report, _ in holders)
        answered = sorted(t for t in times if t is not None)
        timing = (f"{answered[len(answered) // 2]:.1f} / {answered[-1]:.1f}" if answered else "-")
        print("| idle | open-file limit | connected within 1 s (seconds for all) | closed by the program | translations answered | "
              "median / worst ms | threads at rest / with idle | descriptors | resident KiB at rest / with idle / peak |")
        print("|---|---|---|---|---|---|---|---|---|")
        print(f"| {idle} | {soft_limit} | {connected} ({opened_s:.1f}) | {closed} | {len(answered)}/{TRANSLATIONS} | "
              f"{timing} | {rest[0]} / {threads} | {fds} | {rest[1]} / {rss} / {peak} |")
    finally:
        for child, report, release in holders:
            try:
                os.write(release, b"x")
            except OSError:
                pass
            os.waitpid(child, 0)
        if program_process is not None:
            program_process.send_signal(signal.SIGTERM)
            try:
                program_process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                program_process.kill()
                program_process.wait()
        if engine is not None:
            engine.terminate()
            engine.wait()
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
