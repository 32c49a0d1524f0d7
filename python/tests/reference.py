"""What the module's tests compare against: the C library's _Encode and
_Decode, loaded with ctypes, the benchmark corpus, and generated inputs.

LZRING_LIBRARY names the shared library (scripts/python-test.sh sets it to
the release build's); without it the build folder of the checkout is tried.
LZRING_CORPUS names the corpus folder; without it ../shared/corpus beside the
checkout is used when present.
"""

import ctypes
import os
import random
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class CLibrary:
    """_Encode and _Decode of the shared library, over temporary files."""

    def __init__(self, path):
        self.path = path
        lib = ctypes.CDLL(path)
        self._encode = lib._Encode
        self._decode = lib._Decode
        for fn in (self._encode, self._decode):
            fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
            fn.restype = ctypes.c_int32

    def _run(self, fn, data):
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "in")
            dst = os.path.join(tmp, "out")
            with open(src, "wb") as f:
                f.write(data)
            if fn(os.fsencode(src), os.fsencode(dst)) != 0:
                raise OSError(f"{fn.__name__} failed")
            with open(dst, "rb") as f:
                return f.read()

    def encode(self, data):
        return self._run(self._encode, data)

    def decode(self, data):
        return self._run(self._decode, data)


def c_library(test):
    """The C library, or a skip of `test` when there is none to load."""
    path = os.environ.get("LZRING_LIBRARY")
    if not path:
        path = os.path.join(ROOT, "build", "release", "liblzring.so")
        if not os.path.exists(path):
            raise unittest.SkipTest("no C library: set LZRING_LIBRARY")
    return CLibrary(path)  # a library named but not loadable is an error


def corpus_files():
    """Paths of the corpus files, or [] when the corpus is absent."""
    folder = os.environ.get("LZRING_CORPUS") or os.path.join(os.path.dirname(ROOT), "shared",
                                                               "corpus")
    found = []
    for sub in ("artificial", "canterbury", "large"):
        path = os.path.join(folder, sub)
        if os.path.isdir(path):
            found += sorted(os.path.join(path, name) for name in os.listdir(path))
    return found


def _text(rng, n):
    words = [b"ring", b"lzss", b"the", b"of", b"compress", b"window", b"match", b"tree", b"\n"]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words) + b" "
    return bytes(out[:n])


def _counter(n):
    return b"".join(i.to_bytes(4, "big") for i in range(n // 4 + 1))[:n]


def shapes():
    """Generated inputs as (name, bytes): sizes around the format's and the
    encoder's edges, runs, noise, text, and the deep trees of a counter."""
    rng = random.Random(18)
    return [
        ("empty", b""),
        ("one byte", b"a"),
        ("aaaa", b"aaaa"),
        ("17 bytes", _text(rng, 17)),
        ("18 bytes", _text(rng, 18)),
        ("19 bytes", _text(rng, 19)),
        ("spaces as the ring starts", b" " * 5000),
        ("zeros past 64 KiB", bytes(70000)),
        ("noise", rng.randbytes(5000)),
        ("text of 4097 bytes", _text(rng, 4097)),
        ("text past two pieces", _text(rng, 600000)),
        ("counter", _counter(100000)),
    ]


def chunks(rng, data, most):
    """`data` cut into pieces of random sizes from 0 to `most`, as memoryviews."""
    view = memoryview(data)
    pos = 0
    while pos < len(view):
        n = rng.randint(0, most)
        yield view[pos : pos + n]
        pos += n
