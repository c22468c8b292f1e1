#!/usr/bin/env python3
"""Start-up of the real program to listening on port 8888 (offscreen, with a setting.ini that has the server
on), and its resident memory once listening and a second later; then, with the engines pointed at
tools/fake_engine.py, its resident memory after 10,000 translations through the real client. The figures are
recorded in bench/README.md.

    bench/program_startup.py build-rel/tessarine-proxy [runs]      (default 10 runs)
"""
import http.client
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from benchlib import PORT, listening, proc_status, start_fake_engine, write_google_settings

TRANSLATIONS = 10000


def main():
    program = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    if listening():
        sys.exit(f"port {PORT} is in use by another program")
    folder = tempfile.mkdtemp(prefix="tessarine-startup-")
    try:
        copy = os.path.join(folder, "tessarine-proxy")
        shutil.copy(program, copy)
        with open(os.path.join(folder, "setting.ini"), "w") as settings:
            settings.write("[General]\nProxyActive=1\nGoogle=1\n[Setting]\nLanguage=English\n")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        times, first, settled = [], [], []
        for _ in range(runs):
            start = time.perf_counter()
            process = subprocess.Popen([copy], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while not listening():
                if process.poll() is not None:
                    sys.exit("the program ended before listening")
                if time.perf_counter() - start > 10:
                    sys.exit("not listening after 10 s")
                time.sleep(0.0005)
            times.append((time.perf_counter() - start) * 1000)
            first.append(proc_status(process.pid, "VmRSS"))
            time.sleep(1.0)
            settled.append(proc_status(process.pid, "VmRSS"))
            process.send_signal(signal.SIGTERM)
            if process.wait(timeout=10) != 0:
                sys.exit("exit code was not 0")
        print(f"start-up to listening on {PORT}, {runs} runs: median {statistics.median(times):.0f} ms, "
              f"min {min(times):.0f} ms, max {max(times):.0f} ms")
        print(f"resident memory when listening: median {statistics.median(first) / 1024:.1f} MiB; "
              f"one second later: median {statistics.median(settled) / 1024:.1f} MiB, max {max(settled) / 1024:.1f} MiB")
        translations(copy, folder, env)
    finally:
        shutil.rmtree(folder)


def translations(copy, folder, env):
    engine, http_port = start_fake_engine(folder)
    try:
        write_google_settings(os.path.join(folder, "setting.ini"), http_port)
        process = subprocess.Popen([copy], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not listening():
            time.sleep(0.001)
        time.sleep(1.0)
        before = proc_status(process.pid, "VmRSS")
        connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
        failed = 0
        start = time.perf_counter()
        for i in range(TRANSLATIONS):
            connection.request("GET", f"/linxp_translate_t?text=Hello%20world%20{i}&langpair=en%7Cde")
            reply = connection.getresponse()
            body = reply.read()
            if reply.status != 200 or b"HELLO WORLD" not in body:
                failed += 1
        seconds = time.perf_counter() - start
        connection.close()
        time.sleep(0.5)
        after = proc_status(process.pid, "VmRSS")
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=10)
        print(f"{TRANSLATIONS} translations through the fake engine ({failed} failed) in {seconds:.1f} s: resident "
              f"{before / 1024:.1f} MiB before, {after / 1024:.1f} MiB after (+{(after - before) / 1024:.1f} MiB, "
              "the log text included)")
    finally:
        engine.terminate()
        engine.wait()


if __name__ == "__main__":
    main()
