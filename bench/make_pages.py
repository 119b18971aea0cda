#!/usr/bin/env python3
"""Writes the two pages the page-load benchmark opens, with their resources, into one folder
that every page host serves:

  light.html  60 small resources: style sheets, scripts and pictures;
  heavy.html  200 resources, 20 of them pictures of 1 MiB, the rest small.

Style sheets and scripts come from one host, pictures from another and a few of each from the
page's own host, as real sites spread them. Each page reports, once its load event has ended,
how long it took, which protocol carried it and how many resources it lacks, by asking its own
host for /done with the run's name; the benchmark reads that from the origin's log."""
import argparse
import os
import random
import struct
import zlib

# Run when the load event has ended: loadEventEnd is still 0 inside the load handlers. A resource
# that failed does not hold the load event back, so the page counts what it really got.
REPORT = """<script>
addEventListener('load', () => setTimeout(() => {
  const n = performance.getEntriesByType('navigation')[0];
  const got = [...document.images].filter(i => i.naturalWidth).length
    + [...document.styleSheets].filter(s => s.href).length
    + Object.keys(window).filter(k => /^j[0-9]+$/.test(k)).length;
  new Image().src = '/done?' + location.search.slice(1) + '&ms=' + Math.round(n.loadEventEnd)
    + '&proto=' + (n.nextHopProtocol || 'unknown') + '&missing=' + (TOTAL - got);
}));
</script>"""


def png(width, height, rng):
    """A valid PNG of random RGBA pixels: random bytes do not compress, so its size is set by
    its pixel count."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\0" + rng.randbytes(width * 4) for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 1))
            + chunk(b"IEND", b""))


def filler(rng, size):
    return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(size))


def write_page(folder, name, hosts, counts, rng):
    """counts: (style sheets, scripts, small pictures, big pictures)."""
    sheets, scripts, small, big = counts
    page_host, static_host, picture_host = hosts
    head, body = [], []
    for i in range(sheets):
        path = f"{name}/s{i}.css"
        size = rng.randint(1, 8) * 1024
        with open(os.path.join(folder, path), "w") as f:
            f.write(f".r{i} {{ margin: {i % 7}px; }}\n/* {filler(rng, size)} */\n")
        host = page_host if i % 5 == 0 else static_host
        head.append(f'<link rel="stylesheet" href="https://{host}/{path}">')
    pictures = [(f"{name}/p{i}.png", png(16, rng.randint(8, 64), rng)) for i in range(small)]
    # 512 x 512 pixels of 4 bytes: 1 MiB of pixels and a few hundred bytes of framing.
    pictures += [(f"{name}/b{i}.png", png(512, 512, rng)) for i in range(big)]
    for i, (path, data) in enumerate(pictures):
        with open(os.path.join(folder, path), "wb") as f:
            f.write(data)
        host = page_host if i % 5 == 0 else picture_host
        body.append(f'<img src="https://{host}/{path}" alt="">')
    for i in range(scripts):
        path = f"{name}/j{i}.js"
        size = rng.randint(1, 16) * 1024
        with open(os.path.join(folder, path), "w") as f:
            f.write(f"window.j{i} = '{filler(rng, size)}'.length;\n")
        host = page_host if i % 5 == 0 else static_host
        body.append(f'<script src="https://{host}/{path}"></script>')
    with open(os.path.join(folder, f"{name}.html"), "w") as f:
        f.write("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + name + "</title>\n")
        f.write(REPORT.replace("TOTAL", str(sheets + scripts + small + big)) + "\n" + "\n".join(head) + "\n</head><body>\n")
        f.write("\n".join(body) + "\n</body></html>\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder")
    parser.add_argument("hosts", nargs=3, help="the page's host, the style and script host, the picture host")
    args = parser.parse_args()
    rng = random.Random(7)
    for name, counts in (("light", (15, 15, 30, 0)), ("heavy", (40, 40, 100, 20))):
        os.makedirs(os.path.join(args.folder, name), exist_ok=True)
        write_page(args.folder, name, args.hosts, counts, rng)


if __name__ == "__main__":
    main()
