#!/usr/bin/env python3
"""Start-up of the real program with large settings files: the server's keys first, then comment lines (or empty
lines) up to the size. For each file it prints the time from the start until the program listens on port 8888,
or reports on stderr (--log) that the file is too large, and the peak resident memory. Offscreen; the figures are
recorded in bench/README.md.

    bench/settings_size.py build-rel/tessarine-proxy [SIZE...]    (default 0 1MiB empty:1MiB 4.8 12 48)

A SIZE is megabytes (4.8 is 4,800,000 bytes), or with "MiB" after it mebibytes (1MiB, the largest file read); with
"empty:" before it the file is of empty lines, the costliest per byte. Another
program holding port 8888 makes the bind fail; that still ends the reading, and the time is printed as such.
"""
import os
import subprocess
import sys
import tempfile
import time

from benchlib import proc_status

HEAD = "[General]\nProxyActive=1\n[Setting]\nLanguage=English\n"
COMMENT = "; a comment line of a settings file edited by hand, sixty bytes\n"
LIMIT = 300


def write_settings(path, size, line):
    with open(path, "w") as settings:
        settings.write(HEAD)
        count = (size - len(HEAD)) // len(line)
        settings.write(line * count)
        settings.write("\n" * (size - len(HEAD) - count * len(line)))


def own_listener(pid):
    out = subprocess.run(["ss", "-ltnpH", "sport = :8888"], capture_output=True, text=True).stdout
    return f"pid={pid}," in out


def run(program, path):
    with tempfile.TemporaryFile("w+") as err:
        start = time.perf_counter()
        process = subprocess.Popen([program, "--settings", path, "--log"], stdout=subprocess.DEVNULL, stderr=err,
                                   env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        outcome, peak = "nothing", 0
        while time.perf_counter() - start < LIMIT:
            peak = max(peak, max(0, proc_status(process.pid, "VmHWM")))
            if own_listener(process.pid):
                outcome = "listening"
                break
            err.seek(0)
            log = err.read()
            if "too large" in log:
                outcome = "reported as too large"
                break
            if "Could not bind" in log:
                outcome = "read (port 8888 taken by another program)"
                break
            if process.poll() is not None:
                outcome = "ended"
                break
            time.sleep(0.01)
        seconds = time.perf_counter() - start
        peak = max(peak, max(0, proc_status(process.pid, "VmHWM")))
        process.terminate()
        process.wait(timeout=30)
    return outcome, seconds, peak


def main():
    program = os.path.abspath(sys.argv[1])
    sizes = sys.argv[2:] or ["0", "1MiB", "empty:1MiB", "4.8", "12", "48"]
    with tempfile.TemporaryDirectory(prefix="tessarine-settings-") as folder:
        for size in sizes:
            empty = size.startswith("empty:")
            size = size.removeprefix("empty:")
            bytes_ = round(float(size[:-3]) * 1048576) if size.endswith("MiB") else round(float(size) * 1e6)
            path = os.path.join(folder, "setting.ini")
            write_settings(path, bytes_, "\n" if empty else COMMENT)
            outcome, seconds, peak = run(program, path)
            kind = "the keys alone" if bytes_ <= len(HEAD) else "empty lines" if empty else "comment lines"
            print(f"{os.path.getsize(path):>11,} bytes, {kind}: {outcome} after {seconds:.2f} s, "
                  f"peak resident {peak / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
