#!/usr/bin/env python3
"""HTTPS load for the benchmark: C connections, each either sending every request over one TLS
session (keep-alive) or making a new connection and TLS handshake per request. Through a proxy,
each connection first asks for a CONNECT tunnel. Prints "requests/s p50ms p99ms failures".
Talks to 127.0.0.1 only, and stops after the given number of requests."""
import argparse
import asyncio
import ssl
import time


async def one_connection(args, ctx, count, latencies):
    failures = 0
    reader, writer = await asyncio.open_connection("127.0.0.1", args.proxy or args.port)
    try:
        if args.proxy:
            writer.write(b"CONNECT localhost:%d HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % (args.port, args.port))
            head = await reader.readuntil(b"\r\n\r\n")
            if b" 200 " not in head.split(b"\r\n", 1)[0]:
                return count
        await writer.start_tls(ctx, server_hostname="localhost")
        request = b"GET %s HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % (args.path.encode(), args.port)
        for _ in range(count):
            started = time.perf_counter()
            writer.write(request)
            head = await reader.readuntil(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n"):
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":", 1)[1])
            await reader.readexactly(length)
            if b" 200 " not in head.split(b"\r\n", 1)[0]:
                failures += 1
            latencies.append(time.perf_counter() - started)
    except (OSError, asyncio.IncompleteReadError, ssl.SSLError):
        failures += 1
    finally:
        writer.close()
    return failures


async def worker(args, ctx, total, latencies):
    failures = 0
    per = total if args.keepalive else 1
    done = 0
    while done < total:
        n = min(per, total - done)
        failures += await one_connection(args, ctx, n, latencies)
        done += n
    return failures


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True, help="the origin's port on 127.0.0.1")
    parser.add_argument("--proxy", type=int, default=0, help="the proxy's port on 127.0.0.1")
    parser.add_argument("--cafile", required=True)
    parser.add_argument("--path", default="/small.html")
    parser.add_argument("-n", type=int, default=2000)
    parser.add_argument("-c", type=int, default=10)
    parser.add_argument("--keepalive", action="store_true")
    args = parser.parse_args()
    ctx = ssl.create_default_context(cafile=args.cafile)
    ctx.set_alpn_protocols(["http/1.1"])
    latencies = []
    started = time.perf_counter()
    share = [args.n // args.c + (1 if i < args.n % args.c else 0) for i in range(args.c)]
    failures = sum(await asyncio.gather(*(worker(args, ctx, s, latencies) for s in share if s)))
    elapsed = time.perf_counter() - started
    latencies.sort()
    pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000 if latencies else 0
    print("%.1f %.1f %.1f %d" % (len(latencies) / elapsed, pick(0.5), pick(0.99), failures))


asyncio.run(main())
