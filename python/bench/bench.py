"""The Python module against zlib, and against the C++ API it wraps, in one run.

For each input (by default the first MiB of three corpus files), one call
of each operation in turn, over and over: lzring.compress and decompress,
the C++ API's codec::compress, codec::expand and codec::expand_into timed
inside the extension on the same data (lzring._lzring._native_time, with the
same per-thread codec the module uses), and zlib.compress(level=6) and
zlib.decompress. Every output is checked. Each figure is the median of the
calls (--rounds of compression, 20 times as many of expansion) in CPU time
of the calling thread, since the machines are shared; in MB/s of original
data, and how much longer the module's call took than the C++ API's
(negative: shorter). Expansion is timed both without the size known
(decompress(data) against codec::expand) and with it (decompress(data,
size=n) against codec::expand_into a new buffer of n bytes).

A megabyte expands in half a millisecond, and then whether glibc's malloc
hands out fresh pages (mmap, a page fault each 4 KiB) or reuses freed ones
moves a call's time by up to half, by thresholds that earlier frees of other
sizes set: a byte more or less in a request can tip it. So the script runs
itself with malloc set to reuse memory (GLIBC_TUNABLES: mmap and trim
thresholds raised), which measures the code rather than the allocator's
state; --default-malloc measures with the allocator as it comes.

With --threads it measures instead whether calls on two threads run side by
side (the GIL released): the wall time of two threads making one call each
at once, over that of one call alone, median of the rounds, for each
operation; 1.0 on two free cores, 2.0 when the calls take turns. It needs a
machine with two idle cores, which the tests cannot count on.

    build/python-venv/bin/python python/bench/bench.py [--rounds N] [--threads] [FILE...]
"""

import argparse
import os
import statistics
import sys
import threading
import time
import zlib

import lzring
from lzring._lzring import _native_time

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(HERE))), "shared", "corpus")
DEFAULT_FILES = [os.path.join(CORPUS, name) for name in
                 ("large/bible.txt", "large/world192.txt", "canterbury/kennedy.xls")]
MIB = 1 << 20
REUSE_MEMORY = "glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=268435456"


def timed(fn, *args):
    began = time.thread_time()
    out = fn(*args)
    return time.thread_time() - began, out


def measure(data, rounds):
    """Median seconds per call of each operation on `data`."""
    packed = lzring.compress(data)
    zpacked = zlib.compress(data, 6)
    n = len(data)
    # (operation, call, expected output size); a call returns (seconds, output).
    compressing = [
        ("lzring compress", lambda: timed(lzring.compress, data), len(packed)),
        ("C++ compress", lambda: _native_time("compress", data)[::2], len(packed)),
        ("zlib compress", lambda: timed(zlib.compress, data, 6), len(zpacked)),
    ]
    expanding = [
        ("lzring decompress", lambda: timed(lzring.decompress, packed), n),
        ("C++ decompress", lambda: _native_time("decompress", packed)[::2], n),
        ("lzring decompress size", lambda: timed(lambda: lzring.decompress(packed, size=n)), n),
        ("C++ decompress_into", lambda: _native_time("decompress_into", packed)[::2], n),
        ("zlib decompress", lambda: timed(zlib.decompress, zpacked), n),
    ]
    times = {}
    # One call of each in turn, so that a busy spell of the machine, and the
    # allocator's state, fall on all alike. Expansion takes a millisecond:
    # more calls of it.
    for ops, calls in ((compressing, rounds), (expanding, 20 * rounds)):
        for _ in range(calls):
            for name, op, expected in ops:
                seconds, out = op()
                size = out if isinstance(out, int) else len(out)
                if size != expected or (name.startswith("lzring decompress") and out != data):
                    sys.exit(f"{name}: wrong output")
                times.setdefault(name, []).append(seconds)
    return {name: statistics.median(t) for name, t in times.items()}, len(packed) / n


def side_by_side(call):
    """Wall time of two threads making call() once each at once, over the
    wall time of one call()."""
    began = time.perf_counter()
    call()
    alone = time.perf_counter() - began
    start = threading.Barrier(3)

    def run():
        start.wait()
        call()

    threads = [threading.Thread(target=run) for _ in range(2)]
    for t in threads:
        t.start()
    start.wait()
    began = time.perf_counter()
    for t in threads:
        t.join()
    return (time.perf_counter() - began) / alone


def threads_table(rows, rounds):
    print("| input | operation | two threads at once, over one call |")
    print("|---|---|---|")
    for file, data in rows:
        packed = lzring.compress(data)
        ops = [
            ("compress", lambda: lzring.compress(data)),
            ("decompress", lambda: lzring.decompress(packed)),
            ("Compressor", lambda: lzring.Compressor().compress(data)),
            ("Decompressor", lambda: lzring.Decompressor().decompress(packed)),
        ]
        for name, call in ops:
            ratio = statistics.median(side_by_side(call) for _ in range(rounds))
            print(f"| {file} | {name} | {ratio:.2f} |")
    print(f"Python {sys.version.split()[0]}, lzring {lzring.__version__}, {rounds} rounds, "
          f"wall time, {os.cpu_count()} processors")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", default=DEFAULT_FILES)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--size", type=int, default=MIB, help="bytes taken from each file")
    parser.add_argument("--default-malloc", action="store_true",
                        help="leave glibc's malloc thresholds as they are")
    parser.add_argument("--threads", action="store_true",
                        help="whether two threads' calls run side by side, in wall time")
    args = parser.parse_args()
    if not args.default_malloc and "GLIBC_TUNABLES" not in os.environ:
        env = dict(os.environ, GLIBC_TUNABLES=REUSE_MEMORY)
        os.execve(sys.executable, [sys.executable] + sys.argv, env)

    if args.threads:
        inputs = []
        for path in args.files:
            with open(path, "rb") as f:
                inputs.append((os.path.basename(path), f.read(args.size)))
        threads_table(inputs, args.rounds)
        return

    rows = []
    for path in args.files:
        with open(path, "rb") as f:
            data = f.read(args.size)
        medians, ratio = measure(data, args.rounds)
        rows.append((os.path.basename(path), len(data), ratio, medians))

    # Each call of the module beside the C++ API's call that does the same:
    # expand() when the size is not known, expand_into() a buffer of the
    # known size when it is.
    pairs = [("compress", "lzring compress", "C++ compress"),
             ("decompress", "lzring decompress", "C++ decompress"),
             ("decompress, size known", "lzring decompress size", "C++ decompress_into")]
    print("| input | compressed | operation | lzring | C++ API | module vs C++ API | zlib -6 |")
    print("|---|---|---|---|---|---|---|")
    for file, size, ratio, m in rows:
        for op, module, cxx in pairs:
            peer = "zlib " + op.split(",")[0]
            print(f"| {file} | {ratio:.1%} | {op} | {size / m[module] / 1e6:.1f} MB/s "
                  f"| {size / m[cxx] / 1e6:.1f} MB/s | {m[module] / m[cxx] - 1:+.1%} "
                  f"| {size / m[peer] / 1e6:.1f} MB/s |")
    malloc = os.environ.get("GLIBC_TUNABLES", "default malloc")
    print(f"Python {sys.version.split()[0]}, lzring {lzring.__version__}, zlib {zlib.ZLIB_VERSION}, "
          f"{args.rounds} rounds, CPU time, {malloc}")


if __name__ == "__main__":
    main()
