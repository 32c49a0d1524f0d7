"""Every way the module compresses gives the bytes of the C library's _Encode,
on every number of threads, and every way it expands gives those of _Decode:
over the corpus, generated shapes, and random bytes taken as streams. With
best=True every way gives one smaller stream, which _Decode expands."""

import io
import os
import random
import tempfile
import unittest

import lzring
import reference


def _compressor(data, rng, threads, best=False):
    c = lzring.Compressor(threads, best=best)
    out = [c.compress(piece) for piece in reference.chunks(rng, data, 70000)]
    return b"".join(out) + c.flush()


def _decompressor(packed, rng):
    d = lzring.Decompressor()
    out = []
    for piece in reference.chunks(rng, packed, 5000):
        out.append(d.decompress(piece, max_length=rng.choice([-1, 1, 100, 20000])))
        while not d.needs_input:
            out.append(d.decompress(b"", max_length=rng.choice([-1, 1, 100, 20000])))
    # b'': decompress() gave every byte, and a unit cut short by the end of
    # the input expands to nothing, as in decompress().
    out.append(d.flush())
    assert d.eof
    return b"".join(out)


class _Files:
    """Paths in a temporary folder for the functions that take files."""

    def __init__(self, folder):
        self.folder = folder

    def through(self, data, fn, **kwargs):
        src = os.path.join(self.folder, "src")
        dst = os.path.join(self.folder, "dst")
        with open(src, "wb") as f:
            f.write(data)
        written = fn(src, dst, **kwargs)
        with open(dst, "rb") as f:
            out = f.read()
        assert written == len(out), (written, len(out))
        return out

    def write_with_open(self, data, rng, threads, best=False):
        path = os.path.join(self.folder, "written.lzr")
        with lzring.open(path, "wb", threads=threads, best=best) as f:
            for piece in reference.chunks(rng, data, 30000):
                f.write(piece)
        with open(path, "rb") as f:
            return f.read()

    def read_rest_with_open(self, packed, rng):
        with lzring.open(io.BytesIO(packed)) as f:
            return f.read(1) + f.read()

    def read_with_open(self, packed, rng):
        path = os.path.join(self.folder, "read.lzr")
        with open(path, "wb") as f:
            f.write(packed)
        out = bytearray()
        with lzring.open(path) as f:
            buf = bytearray(rng.randint(1, 10000))
            while n := f.readinto(buf):
                out += buf[:n]
        return bytes(out)


class IdentityTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.c = reference.c_library(cls)

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.files = _Files(tmp.name)
        self.rng = random.Random(18)

    def compressors(self, full):
        f = self.files
        rows = [
            ("compress, 1 thread", lambda d, r: lzring.compress(d)),
            ("compress, 2 threads", lambda d, r: lzring.compress(d, threads=2)),
            ("compress(data=...), as lzma", lambda d, r: lzring.compress(data=d)),
            ("Compressor, one per processor, random pieces", lambda d, r: _compressor(d, r, 0)),
        ]
        if full:
            rows += [
                ("compress, one per processor", lambda d, r: lzring.compress(d, threads=0)),
                ("compress of a bytearray", lambda d, r: lzring.compress(bytearray(d))),
                ("Compressor, 1 thread, random pieces", lambda d, r: _compressor(d, r, 1)),
                ("compress_file, 2 threads",
                 lambda d, r: f.through(d, lzring.compress_file, threads=2)),
                ("open(wb), 2 threads, random writes",
                 lambda d, r: f.write_with_open(d, r, threads=2)),
            ]
        return rows

    def expanders(self, full):
        f = self.files
        rows = [
            ("decompress", lambda p, r: lzring.decompress(p)),
            ("decompress(data=...), as lzma", lambda p, r: lzring.decompress(data=p)),
            ("Decompressor, random pieces and max_length", _decompressor),
        ]
        if full:
            rows += [
                ("decompress of a memoryview", lambda p, r: lzring.decompress(memoryview(p))),
                ("decompress_file", lambda p, r: f.through(p, lzring.decompress_file)),
                ("open(rb).readinto", f.read_with_open),
                ("open of a file object, read()", lambda p, r: lzring.open(io.BytesIO(p)).read()),
                ("open, read(1) then read()", f.read_rest_with_open),
            ]
        return rows

    def best_compressors(self, full):
        f = self.files
        rows = [
            ("Compressor(best=True), random pieces",
             lambda d, r: _compressor(d, r, 1, best=True)),
        ]
        if full:
            rows += [
                ("compress, best, 2 threads", lambda d, r: lzring.compress(d, threads=2, best=True)),
                ("compress_file, best",
                 lambda d, r: f.through(d, lzring.compress_file, best=True)),
                ("open(wb), best, random writes",
                 lambda d, r: f.write_with_open(d, r, threads=1, best=True)),
            ]
        return rows

    def check(self, data, full):
        expected = self.c.encode(data)
        for name, fn in self.compressors(full):
            self.assertEqual(fn(data, self.rng), expected, name)
        for name, fn in self.expanders(full):
            self.assertEqual(fn(expected, self.rng), data, name)
        self.assertEqual(lzring.expanded_size(expected), len(data))
        # The smallest stream: one for every way of writing it, no larger,
        # and _Decode expands it.
        best = lzring.compress(data, best=True)
        self.assertLessEqual(len(best), len(expected))
        self.assertEqual(self.c.decode(best), data)
        for name, fn in self.best_compressors(full):
            self.assertEqual(fn(data, self.rng), best, name)

    def test_generated_shapes(self):
        for name, data in reference.shapes():
            with self.subTest(name):
                self.check(data, full=True)

    def test_corpus(self):
        files = reference.corpus_files()
        if not files:
            self.skipTest("no corpus")
        for path in files:
            with self.subTest(os.path.basename(path)), open(path, "rb") as f:
                self.check(f.read(), full=False)

    def test_any_bytes_expand_as_decode_does(self):
        for _ in range(150):
            junk = self.rng.randbytes(self.rng.randint(0, 400))
            expected = self.c.decode(junk)
            for name, fn in self.expanders(full=True):
                self.assertEqual(fn(junk, self.rng), expected, name)
            self.assertEqual(lzring.expanded_size(junk), len(expected))
            size = self.rng.randint(0, len(expected))
            self.assertEqual(lzring.decompress(junk, size=size), expected[:size])
            with self.assertRaises(EOFError):
                lzring.decompress(junk, size=len(expected) + 1)


if __name__ == "__main__":
    unittest.main()
