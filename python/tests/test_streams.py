"""Streams of known size inside a container, the decompressor object's
attributes, lzring.open in both directions, and errors."""

import errno
import io
import os
import random
import signal
import subprocess
import sys
import tempfile
import unittest

import lzring
import reference


class ContainerTest(unittest.TestCase):
    """Several streams one after another, then junk: each item expands to its
    recorded size, and what follows it is left in unused_data."""

    def setUp(self):
        self.rng = random.Random(7)
        self.items = [dict(reference.shapes())[name] for name in
                      ("text of 4097 bytes", "empty", "zeros past 64 KiB", "noise", "aaaa")]
        self.streams = [lzring.compress(item) for item in self.items]
        self.junk = self.rng.randbytes(300)
        self.container = b"".join(self.streams) + self.junk

    def test_one_shot_with_size(self):
        offset = 0
        for item, stream in zip(self.items, self.streams):
            self.assertEqual(lzring.decompress(self.container[offset:], size=len(item)), item)
            offset += len(stream)
        self.assertEqual(self.container[offset:], self.junk)

    def test_decompressor_objects(self):
        rest = self.container
        for item, stream in zip(self.items, self.streams):
            d = lzring.Decompressor(size=len(item))
            pieces = reference.chunks(self.rng, rest, 3000)
            out = []
            given = 0
            while not d.eof:
                if d.needs_input:
                    piece = next(pieces)  # running out would be a failure
                    given += len(piece)
                else:
                    piece = b""
                out.append(d.decompress(piece, max_length=self.rng.choice([-1, 1, 333, 9000])))
            self.assertEqual(b"".join(out), item)
            self.assertEqual(d.unused_data, rest[len(stream) : given])
            self.assertFalse(d.needs_input)
            with self.assertRaises(EOFError):
                d.decompress(b"more")
            self.assertEqual(d.flush(), b"")
            rest = rest[len(stream) :]
        self.assertEqual(rest, self.junk)

    def test_every_cut_of_two_pieces(self):
        # The stream may end inside a group that the cut split, where the
        # decoder holds its first bytes from the first piece.
        item = dict(reference.shapes())["text of 4097 bytes"][:300]
        stream = lzring.compress(item)
        container = stream + b"junk after it"
        for cut in range(len(container) + 1):
            d = lzring.Decompressor(size=len(item))
            out = d.decompress(container[:cut])
            given = cut
            if not d.eof:
                out += d.decompress(container[cut:])
                given = len(container)
            after = container[len(stream) : given]
            self.assertEqual((out, d.eof, d.unused_data), (item, True, after), cut)

    def test_bounds_are_the_cpp_apis(self):
        # (n, compress_bound, expand_bound) as the C++ API's table has them;
        # a stream of n bytes of references of 18 bytes (and a literal for
        # an odd byte at the end) expands to exactly the bound.
        rows = [(0, 0, 0), (1, 2, 0), (2, 3, 1), (3, 4, 18), (17, 20, 144),
                (19, 22, 145), (37, 42, 306), (2**64 - 1, 2**64 - 1, 2**64 - 1)]
        for n, packed, expanded in rows:
            self.assertEqual(lzring._lzring._bounds(n), (packed, expanded), n)
        for n in (3, 16, 17, 18, 19, 52, 1000):
            stream = b""
            while len(stream) < n:
                units = min(n - len(stream) - 1, 16)
                refs = b"\x00\x0f" * (units // 2)
                stream += bytes([(1 << (units // 2)) if units % 2 else 0]) + refs
                stream += b"x" if units % 2 else b""
            most = lzring._lzring._bounds(n)[1]
            self.assertEqual(len(lzring.decompress(stream, size=most)), most, n)
            self.assertEqual(len(lzring.decompress(stream)), most, n)

    def test_stream_shorter_than_its_size(self):
        item, stream = self.items[0], self.streams[0]
        with self.assertRaisesRegex(EOFError, f"ends after {len(item)} of {len(item) + 1} bytes"):
            lzring.decompress(stream, size=len(item) + 1)
        d = lzring.Decompressor(size=len(item) + 1)
        self.assertEqual(d.decompress(stream, max_length=len(item) - 1), item[:-1])
        self.assertFalse(d.eof)
        with self.assertRaises(EOFError):
            d.flush()
        self.assertEqual(d.decompress(b""), item[-1:])  # kept after the error
        self.assertTrue(d.eof)


class DecompressorTest(unittest.TestCase):
    def test_max_length_keeps_the_input(self):
        data = bytes(range(256)) * 40
        d = lzring.Decompressor()
        self.assertTrue(d.needs_input)
        self.assertEqual(d.decompress(lzring.compress(data), max_length=0), b"")
        self.assertFalse(d.needs_input)
        first = d.decompress(b"", max_length=10)
        self.assertEqual(first, data[:10])
        rest = d.decompress(b"") + d.flush()
        self.assertEqual(first + rest, data)
        self.assertTrue(d.eof)
        self.assertEqual(d.unused_data, b"")

    def test_every_byte_is_out_as_soon_as_its_input(self):
        """Each input with bytes after its stream, fed whole, a byte at a time
        and drained with max_length=1: with size the stream ends at its last
        unit; without, all the input so far is expanded at every call."""
        rng = random.Random(22)
        items = [b"", b"a", b"abc", b"hello world",
                 dict(reference.shapes())["text of 4097 bytes"], rng.randbytes(65536)]
        for item in items:
            stream = lzring.compress(item)
            for after in (0, 1, 9, 13, 14, 300):
                data = stream + rng.randbytes(after)
                for feeding in ("whole", "bytes", "max_length=1"):
                    with self.subTest(size=len(item), after=after, feeding=feeding):
                        self.check_feeding(item, stream, data, feeding)

    def check_feeding(self, item, stream, data, feeding):
        pieces = [data[i : i + 1] for i in range(len(data))] or [b""] if feeding == "bytes" else [data]
        most = 1 if feeding == "max_length=1" else -1
        d = lzring.Decompressor(size=len(item))
        out, given = b"", 0
        for piece in pieces:
            out += d.decompress(piece, max_length=most)
            given += len(piece)
            if d.eof:
                break
            while feeding == "max_length=1" and not d.needs_input and not d.eof:
                out += d.decompress(b"", max_length=1)
        self.assertEqual((out, d.eof, d.unused_data), (item, True, data[len(stream) : given]))
        self.assertEqual(given, max(len(stream), len(pieces[0])))
        self.assertEqual(d.flush(), b"")

        d = lzring.Decompressor()
        out = b""
        for piece in pieces:
            out += d.decompress(piece, max_length=most)
            while not d.needs_input:
                out += d.decompress(b"", max_length=1)
        self.assertEqual(out, lzring.decompress(data))  # nothing held back
        self.assertFalse(d.eof)  # no end marker: only flush() ends the input
        if data == stream:
            self.assertEqual(d.flush(), b"")
            self.assertTrue(d.eof)

    def test_a_unit_cut_short_expands_to_nothing(self):
        """A stream cut inside a unit (the end of the input has no end
        marker to miss) gives the output of the whole units, with no error,
        on every surface, as the C library's _Decode does."""
        cut = b"\x01a\xee"  # a literal, then a reference's first byte
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        path = os.path.join(tmp.name, "cut.lzr")
        with open(path, "wb") as f:
            f.write(cut)

        def decompressor(max_length):
            d = lzring.Decompressor()
            out = d.decompress(cut, max_length=max_length)
            out += d.flush()
            self.assertTrue(d.eof)
            return out

        def decompress_file():
            lzring.decompress_file(path, path + ".out")
            with open(path + ".out", "rb") as f:
                return f.read()

        rows = [
            ("decompress", lambda: lzring.decompress(cut)),
            ("Decompressor, then flush()", lambda: decompressor(-1)),
            ("Decompressor with max_length=0, then flush()", lambda: decompressor(0)),
            ("open().read()", lambda: lzring.open(path).read()),
            ("open().read(1) then read()",
             lambda: (lambda f: f.read(1) + f.read())(lzring.open(path))),
            ("decompress_file", decompress_file),
            ("expanded_size", lambda: b"a" * lzring.expanded_size(cut)),
        ]
        for name, call in rows:
            with self.subTest(name):
                self.assertEqual(call(), b"a")


class MainTest(unittest.TestCase):
    """python -m lzring over files and standard streams, in order."""

    def test_files_and_streams(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        data = dict(reference.shapes())["text of 4097 bytes"]
        packed = lzring.compress(data)
        with open(os.path.join(tmp.name, "a"), "wb") as f:
            f.write(data)
        # Standard output None: a pipe whose reader has gone, which ends the
        # program by SIGPIPE with no message, as it ends the lzring tool.
        pipe = -signal.SIGPIPE
        rows = [  # arguments, standard input, exit status, standard output, file made
            (["a"], b"", 0, b"", ("a.lzr", packed)),
            (["-d", "-o", "-", "a.lzr"], b"", 0, data, None),  # "-": standard output
            (["-o", "-"], data, 0, packed, None),
            (["-d", "-c", "a.lzr"], b"", pipe, None, None),
            (["-d"], packed, pipe, None, None),
            (["a"], b"", 0, None, ("a.lzr", packed)),  # nothing written to it: no signal
            (["-d", "-o", "b", "a.lzr"], b"", 0, b"", ("b", data)),
            (["-c", "a"], b"", 0, packed, None),
            (["-d", "-c", "a.lzr"], b"", 0, data, None),
            ([], data, 0, packed, None),
            (["-d", "-"], packed, 0, data, None),
            (["-o", "c.lzr", "-"], data, 0, b"", ("c.lzr", packed)),
            (["-d", "a"], b"", 1, b"", None),  # no suffix to drop
            (["missing", "a"], b"", 1, b"", ("a.lzr", packed)),  # goes on after a failure
            (["-o", "x", "a", "b"], b"", 2, b"", None),
        ]
        for args, stdin, status, stdout, made in rows:
            with self.subTest(args=args, stdout=stdout is not None):
                result = self.run_main(args, stdin, stdout is None, tmp.name)
                self.assertEqual((result.returncode, result.stdout), (status, stdout),
                                 result.stderr)
                self.assertEqual(bool(result.stderr), status > 0)
                if made:
                    with open(os.path.join(tmp.name, made[0]), "rb") as f:
                        self.assertEqual(f.read(), made[1])
                dash = os.path.join(tmp.name, "-")
                made_dash = os.path.exists(dash)
                if made_dash:
                    os.remove(dash)
                self.assertFalse(made_dash, "a file named -")

    @staticmethod
    def run_main(args, stdin, reader_gone, cwd):
        """python -m lzring ARGS; standard output None when it goes to a
        pipe with no reader."""
        command = [sys.executable, "-m", "lzring", *args]
        if not reader_gone:
            return subprocess.run(command, input=stdin, capture_output=True, cwd=cwd)
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            result = subprocess.run(command, input=stdin, stdout=write_end,
                                    stderr=subprocess.PIPE, cwd=cwd)
        finally:
            os.close(write_end)
        return result

    def test_no_source_archive(self):
        setup = os.path.join(reference.ROOT, "python", "setup.py")
        with tempfile.TemporaryDirectory() as tmp:
            result = subprocess.run([sys.executable, setup, "sdist", "--dist-dir", tmp],
                                    capture_output=True, text=True,
                                    cwd=os.path.dirname(setup))
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("no source distribution", result.stderr)
            self.assertEqual(os.listdir(tmp), [])


class OpenTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.path = os.path.join(tmp.name, "file.lzr")
        self.data = dict(reference.shapes())["text past two pieces"][:200000]

    def write(self, target, mode="wb", threads=1):
        with lzring.open(target, mode, threads=threads) as f:
            self.assertIsInstance(f, lzring.LZRingFile)
            self.assertTrue(f.writable() and not f.readable())
            for start in range(0, len(self.data), 7000):
                piece = self.data[start : start + 7000]
                self.assertEqual(f.write(piece), len(piece))
            self.assertEqual(f.tell(), len(self.data))
        self.assertTrue(f.closed)

    def test_round_trips(self):
        for mode, threads in (("wb", 1), ("w", 2), ("xb", 0)):
            with self.subTest(mode=mode, threads=threads):
                if os.path.exists(self.path):
                    os.remove(self.path)
                self.write(self.path, mode, threads)
                with open(self.path, "rb") as f:
                    self.assertEqual(f.read(), lzring.compress(self.data))
                with lzring.open(self.path) as f:
                    self.assertTrue(f.readable() and not f.writable())
                    self.assertEqual(f.read(), self.data)
                    self.assertEqual(f.read(), b"")

    def test_reading(self):
        self.write(self.path)
        lines = self.data.splitlines(keepends=True)
        with lzring.open(self.path, "r") as f:
            self.assertEqual(list(f), lines)
        with lzring.open(self.path) as f:
            self.assertEqual(f.readline(), lines[0])
            self.assertEqual(f.peek(1)[:1], lines[1][:1])
            self.assertEqual(f.seek(100000), 100000)
            self.assertEqual(f.read(10), self.data[100000:100010])
            self.assertEqual(f.seek(-10, io.SEEK_CUR), 100000)  # backwards: from the start
            self.assertEqual(f.read1(5), self.data[100000:100005])
            self.assertEqual(f.seek(-3, io.SEEK_END), len(self.data) - 3)
            self.assertEqual(f.read(), self.data[-3:])
            self.assertEqual(f.tell(), len(self.data))

    def test_file_objects_and_text(self):
        buffer = io.BytesIO()
        self.write(buffer)  # the caller's file object stays open
        self.assertEqual(buffer.getvalue(), lzring.compress(self.data))
        buffer.seek(0)
        self.assertEqual(lzring.open(buffer).read(), self.data)
        text = "ring ✓\nzwei\n"
        with lzring.open(self.path, "wt", encoding="utf-8") as f:
            f.write(text)
        with lzring.open(self.path, "rt", encoding="utf-8") as f:
            self.assertEqual(f.read(), text)


# Run in a process of its own: how much memory LZRingFile.read() takes at
# its peak, over the size of what it returns. argv: the file, and how many
# bytes to read first with read(n) (0: none).
_READ_PEAK = r"""
import os, resource, sys
import lzring

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

with lzring.open(sys.argv[1]) as f:
    f.read(int(sys.argv[2]))
    before = resident()
    data = f.read()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print((peak - before) / len(data))
"""


class MemoryTest(unittest.TestCase):
    @unittest.skipUnless(os.path.exists("/proc/self/statm"), "no /proc/self/statm")
    def test_read_holds_the_result_once(self):
        """bz2's read() peaks at twice what it returns (its pieces and their
        join). From the start of the file, read() holds the compressed bytes
        and the result, nothing more; after a read(n), at most the pieces
        and their join. Never the result a third time."""
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        path = os.path.join(tmp.name, "big.lzr")
        # Groups of eight references of 18 bytes: 64 MiB from 8 MB, made at
        # once (any bytes are a stream).
        with open(path, "wb") as f:
            f.write((b"\x00" + b"\xff" * 16) * (64 * 2**20 // 144))
        rows = [  # bytes read before read(), most memory over the size returned
            (0, 1.5),
            (1, 2.25),
        ]
        for first, most in rows:
            with self.subTest(first=first):
                result = subprocess.run([sys.executable, "-c", _READ_PEAK, path, str(first)],
                                        capture_output=True, text=True, check=True)
                self.assertLess(float(result.stdout), most)


class ErrorTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.src = os.path.join(self.dir, "src")
        with open(self.src, "wb") as f:
            f.write(b"source")

    def test_bad_arguments(self):
        flushed = lzring.Compressor()
        flushed.flush()
        ended = lzring.Decompressor(size=0)
        ended.decompress(b"")
        rows = [
            (TypeError, lambda: lzring.compress("text")),
            (BufferError, lambda: lzring.compress(memoryview(b"abcdef")[::2])),  # as zlib
            (TypeError, lambda: lzring.compress(b"x", 2)),
            (TypeError, lambda: lzring.compress(b"x", threads=1.5)),
            (ValueError, lambda: lzring.compress(b"x", threads=-1)),
            (TypeError, lambda: lzring.decompress(b"", size="3")),
            (ValueError, lambda: lzring.decompress(b"", size=-1)),
            (ValueError, lambda: lzring.decompress(b"", size=2**64)),
            (TypeError, lambda: lzring.expanded_size(None)),
            (ValueError, lambda: lzring.Compressor(threads=-2)),
            (ValueError, lambda: lzring.Decompressor(size=-5)),
            (TypeError, lambda: lzring.Decompressor().decompress("str")),
            (ValueError, lambda: flushed.compress(b"x")),
            (ValueError, lambda: flushed.flush()),
            (EOFError, lambda: ended.decompress(b"x")),
            (TypeError, lambda: lzring.compress_file(1.5, self.src)),
            (ValueError, lambda: lzring.compress_file("a\0b", self.src)),
            (ValueError, lambda: lzring.open(self.src, "rb", encoding="utf-8")),
            (TypeError, lambda: lzring.compress(b"x", data=b"x")),
            (TypeError, lambda: lzring.decompress(datum=b"x")),
            (ValueError, lambda: lzring.open(self.src, "wb", threads=-1)),
            (TypeError, lambda: lzring.open(1.5)),
        ]
        # Append modes, refused with the reason: a stream has no end marker.
        appending = "append modes are refused: a stream has no end marker"
        rows += [(ValueError, call, appending) for call in (
            lambda: lzring.open(self.src, "ab"),
            lambda: lzring.open(self.src, "a"),
            lambda: lzring.open(self.src, "at"),
            lambda: lzring.open(self.src, "at", encoding="utf-8"),
            lambda: lzring.LZRingFile(self.src, "ab"),
        )]
        for i, (error, call, *message) in enumerate(rows):
            with self.subTest(row=i):
                with self.assertRaises(error) as caught:
                    call()
                for text in message:
                    self.assertIn(text, str(caught.exception))

    def test_files(self):
        missing = os.path.join(self.dir, "missing")
        dst = os.path.join(self.dir, "dst")
        rows = [
            # call, errno, the file it names
            (lambda: lzring.compress_file(missing, dst), errno.ENOENT, missing),
            (lambda: lzring.decompress_file(missing, dst), errno.ENOENT, missing),
            (lambda: lzring.compress_file(self.dir, dst), errno.EISDIR, self.dir),
            (lambda: lzring.compress_file(self.src, self.dir), errno.EISDIR, self.dir),
            (lambda: lzring.decompress_file(self.src, self.src), errno.EINVAL, self.src),
            (lambda: lzring.open(missing), errno.ENOENT, missing),
            (lambda: lzring.open(self.src, "xb"), errno.EEXIST, self.src),
        ]
        for i, (call, code, name) in enumerate(rows):
            with self.subTest(row=i), self.assertRaises(OSError) as caught:
                call()
            self.assertEqual((caught.exception.errno, caught.exception.filename), (code, name))
        with open(self.src, "rb") as f:
            self.assertEqual(f.read(), b"source")  # src as dst was refused untouched

    def test_closed_and_wrong_direction(self):
        with lzring.open(self.src) as reader:
            self.assertRaises(io.UnsupportedOperation, reader.write, b"x")
        self.assertRaises(ValueError, reader.read)
        with lzring.open(os.path.join(self.dir, "out"), "wb") as writer:
            self.assertRaises(io.UnsupportedOperation, writer.read)
        self.assertRaises(ValueError, writer.write, b"x")


if __name__ == "__main__":
    unittest.main()
