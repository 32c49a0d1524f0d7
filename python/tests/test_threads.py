"""The codec runs with the GIL released: another Python thread runs for most
of a long call, the input stays pinned meanwhile, and a file written from
several threads at once holds each write whole.

Nothing here is timed: whether two calls at once take the time of one is the
benchmark's question (python/bench/bench.py --threads). What another thread
gets done while one call runs does not depend on how busy the machine is."""

import io
import random
import sys
import threading
import time
import unittest

import lzring
import reference

# The first run the encoder on one thread codes: its source is gathered into
# runs of the thread policy's first piece size (FirstPieceSize, 64 KiB).
_FIRST_RUN = 65536


def _share_of_the_call(call, data):
    """The processor time another Python thread used during call(data), over
    the call's own.

    `data` is a bytearray: while the codec reads it, it cannot be resized, so
    the other thread, which tries to grow it, knows exactly when the call is
    running, whatever the machine's load. Holding the GIL, the call lets it
    do nothing meanwhile (0); releasing it, the two share the processors as
    the system hands them out, about equally (1)."""
    during = []  # the other thread's CPU clock when it first and last saw the call running
    done = threading.Event()
    ready = threading.Event()

    def other():
        ready.set()
        while not done.is_set():
            try:
                data.append(0)
                del data[-1]
            except BufferError:
                now = time.thread_time()
                during[1:] = [now] if during else [now, now]

    spinner = threading.Thread(target=other)
    spinner.start()
    ready.wait()
    began = time.thread_time()
    call(data)
    used = time.thread_time() - began
    done.set()
    spinner.join()
    return (during[1] - during[0]) / max(used, 1e-9) if during else 0.0


class GilTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = dict(reference.shapes())["text past two pieces"]
        # Any bytes are a stream: 6 MB of noise expand to about 20 MB.
        cls.junk = random.Random(5).randbytes(6_000_000)
        # A short switch interval keeps the other thread's turn after a call
        # that held the GIL short: it then sees nothing of the call anyway.
        cls.interval = sys.getswitchinterval()
        sys.setswitchinterval(0.001)

    @classmethod
    def tearDownClass(cls):
        sys.setswitchinterval(cls.interval)

    def rows(self):
        """(name, made) with made() -> (call, data): one call of the module,
        and the bytearray it is given. The call's work is that of its input
        and of the input its object kept from earlier calls, however small
        the piece it is given."""
        text, junk = self.text, self.junk

        def kept_by_max_length():
            d = lzring.Decompressor()
            d.decompress(junk, max_length=0)  # 20 MB of output wait in 6 MB of input
            return d.decompress, bytearray()

        def run_completed_by_a_small_piece():
            c = lzring.Compressor()
            c.compress(text[: _FIRST_RUN - 1])  # gathered, not yet coded
            return c.compress, bytearray(text[_FIRST_RUN - 1 : _FIRST_RUN + 99])

        return [
            ("compress", lambda: (lzring.compress, bytearray(text))),
            ("decompress", lambda: (lzring.decompress, bytearray(junk))),
            ("Compressor.compress", lambda: (lzring.Compressor().compress, bytearray(text))),
            ("Decompressor.decompress", lambda: (lzring.Decompressor().decompress,
                                                 bytearray(junk))),
            ("Decompressor.decompress(b'') of input kept by max_length", kept_by_max_length),
            ("Compressor.compress of a small piece that completes a run",
             run_completed_by_a_small_piece),
        ]

    def test_other_threads_run_during_a_call(self):
        for name, made in self.rows():
            with self.subTest(name):
                shares = []
                for _ in range(8):  # the best of a few: the system may not hand out turns evenly
                    shares.append(_share_of_the_call(*made()))
                    if shares[-1] > 0.5:
                        break
                else:
                    self.fail(f"{name}: another thread got "
                              + ", ".join(f"{s:.2f}" for s in shares) + " of the call")

    def test_input_pinned_while_coding(self):
        data = bytearray(self.text * 4)
        worker = threading.Thread(target=lzring.compress, args=(data,))
        worker.start()
        refused = False
        while worker.is_alive() and not refused:
            try:
                data.append(0)  # succeeds until the codec holds the buffer
                del data[-1]
            except BufferError:
                refused = True
        worker.join()
        self.assertTrue(refused, "the buffer could be resized while it was compressed")


class SharedFileTest(unittest.TestCase):
    def test_threads_writing_one_file(self):
        """Eight threads write pieces of their own to one LZRingFile at once:
        the file expands to every piece whole, in the order the writes took
        the file (as with bz2 and lzma)."""
        size, per_thread, threads = 16384, 24, 8
        rng = random.Random(3)
        text = dict(reference.shapes())["text past two pieces"]
        pieces = [[text[rng.randrange(len(text) - size) :][:size] for _ in range(per_thread)]
                  for _ in range(threads)]
        for workers in (1, 2):  # the threads compressing
            with self.subTest(workers=workers):
                for trial in range(3):
                    target = io.BytesIO()
                    with lzring.open(target, "wb", threads=workers) as f:
                        start = threading.Barrier(threads)

                        def write(mine):
                            start.wait()
                            for piece in mine:
                                f.write(piece)

                        writers = [threading.Thread(target=write, args=(p,)) for p in pieces]
                        for w in writers:
                            w.start()
                        for w in writers:
                            w.join()
                    out = lzring.decompress(target.getvalue())
                    got = [out[i : i + size] for i in range(0, len(out), size)]
                    written = {p for mine in pieces for p in mine}
                    # The output's pieces that are pieces written, of how many.
                    whole = sum(p in written for p in got)
                    self.assertEqual((whole, len(got)), (threads * per_thread,) * 2, trial)


if __name__ == "__main__":
    unittest.main()
