#!/usr/bin/env python3
"""Peak memory of Tarnwick while it serves a burst of pipelined requests.

Starts the built program in a folder of its own (as bench/run.sh does) and an origin of its own,
both on 127.0.0.1, then for each N sends N tiny GET requests in one write on one connection,
reads all N replies and prints the growth of the program's peak resident size over the idle
process measured in the same run. Started by hand, never by the test suite:

    bench/pipeline_memory.py [--binary build-bench/app/tarnwick] [N ...]   (default 1000 5000 10000)
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

REPLY = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"


def serve_origin(listener):
    """Answers every request on every connection with REPLY, however they are pipelined."""

    def serve(conn):
        pending = b""
        with conn:
            while True:
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                pending += data
                count = pending.count(b"\r\n\r\n")
                if count:
                    pending = pending[pending.rindex(b"\r\n\r\n") + 4 :]
                    conn.sendall(REPLY * count)

    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not found")


def burst(proxy_port, origin_port, n, timeout):
    request = b"GET http://127.0.0.1:%d/x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % origin_port
    expected = len(REPLY) * n
    received = 0
    deadline = time.monotonic() + timeout
    with socket.create_connection(("127.0.0.1", proxy_port), timeout=timeout) as s:
        s.sendall(request * n)
        while received < expected:
            s.settimeout(max(0.1, deadline - time.monotonic()))
            data = s.recv(1 << 20)
            if not data:
                break
            received += len(data)
    return received == expected, received // len(REPLY)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.path.join(root, "build-bench", "app", "tarnwick"))
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("counts", nargs="*", type=int, default=[1000, 5000, 10000])
    args = parser.parse_args()
    if not os.path.exists(args.binary):
        sys.exit(f"{args.binary} not found: build the tarnwick target first")

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    origin_port = listener.getsockname()[1]
    threading.Thread(target=serve_origin, args=(listener,), daemon=True).start()

    work = tempfile.mkdtemp(prefix="tarnwick-pipeline.")
    proxy = None
    try:
        shutil.copy(args.binary, work)
        proxy_port = free_port()
        with open(os.path.join(work, "tarnwick.ini"), "wb") as f:
            f.write(b"127.0.0.1\r\n %d \r\n\r\n" % proxy_port)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        proxy = subprocess.Popen([os.path.join(work, "tarnwick")], cwd=work, env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", proxy_port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        else:
            sys.exit("the program never listened")

        # One exchange first, so that idle means warmed up.
        burst(proxy_port, origin_port, 1, args.timeout)
        time.sleep(1)
        idle = status_kib(proxy.pid, "VmRSS")
        print(f"idle resident size: {idle / 1024:.1f} MiB")
        print(f"{'requests':>9} {'peak growth MiB':>16} {'after MiB':>10} {'seconds':>8}  replies")
        for n in args.counts:
            with open(f"/proc/{proxy.pid}/clear_refs", "w") as f:
                f.write("5")  # resets the peak resident size
            start = time.monotonic()
            ok, replies = burst(proxy_port, origin_port, n, args.timeout)
            seconds = time.monotonic() - start
            peak = status_kib(proxy.pid, "VmHWM")
            after = status_kib(proxy.pid, "VmRSS")
            print(f"{n:>9} {(peak - idle) / 1024:>16.1f} {(after - idle) / 1024:>10.1f} {seconds:>8.1f}"
                  f"  {replies}{'' if ok else ' (incomplete)'}", flush=True)
    finally:
        if proxy:
            proxy.send_signal(signal.SIGTERM)
            try:
                proxy.wait(30)
            except subprocess.TimeoutExpired:
                proxy.kill()
                proxy.wait()
        listener.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
