"""The codec runs with the GIL released: other Python threads run during a
call, two threads coding at once take about the time of one, and the input
stays pinned meanwhile.

The machine is shared, so timings are compared with CPU time and retried,
never with fixed durations."""

import random
import threading
import time
import unittest
import zlib

import lzring
import reference


def _interleaved(work):
    """How often this thread ran Python code during the first half of one
    work() call on another thread. Holding the GIL, the call leaves it no
    chance: after the call returns only the second half is left."""
    span = []
    worker = threading.Thread(
        target=lambda: (span.append(time.perf_counter()), work(), span.append(time.perf_counter())))
    stamps = []
    worker.start()
    while worker.is_alive():
        stamps.append(time.perf_counter())
    worker.join()
    began, ended = span
    return sum(1 for s in stamps if began < s < (began + ended) / 2)


def _side_by_side(work):
    """Wall time of two threads each running work() once, started together,
    over the CPU time the two used: at least 1 when they took turns, 0.5 when
    they ran at once on two free cores."""
    cpu = [0.0, 0.0]
    start = threading.Barrier(3)

    def run(i):
        start.wait()
        began = time.thread_time()
        work()
        cpu[i] = time.thread_time() - began

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    start.wait()
    began = time.perf_counter()
    for t in threads:
        t.join()
    return (time.perf_counter() - began) / sum(cpu)


class GilTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = dict(reference.shapes())["text past two pieces"]
        # Any bytes are a stream: 6 MB of noise expand to about 20 MB.
        cls.junk = random.Random(5).randbytes(6_000_000)

    def rows(self):
        """Each a single call of the module, tens of milliseconds long."""
        return [
            ("compress", lambda: lzring.compress(self.text)),
            ("decompress", lambda: lzring.decompress(self.junk)),
            ("Compressor.compress", lambda: lzring.Compressor().compress(self.text)),
            ("Decompressor.decompress", lambda: lzring.Decompressor().decompress(self.junk)),
        ]

    def test_other_threads_run_during_a_call(self):
        for name, work in self.rows():
            with self.subTest(name):
                self.assertTrue(any(_interleaved(work) > 0 for _ in range(5)))

    def test_two_threads_take_the_time_of_one(self):
        # zlib.compress releases the GIL too: whether two of its threads
        # overlap tells whether the machine has two free cores at the moment.
        control = lambda: zlib.compress(self.text, 6)
        for name, work in self.rows():
            with self.subTest(name):
                figures = []
                free = 0
                deadline = time.monotonic() + 10
                while time.monotonic() < deadline:
                    ratio = _side_by_side(work)
                    if ratio < 0.75:
                        break
                    machine = _side_by_side(control)
                    figures.append(f"{ratio:.2f} (zlib {machine:.2f})")
                    free += machine < 0.6
                    if free >= 3:
                        self.fail(f"{name} took turns while zlib did not: " + ", ".join(figures))
                else:
                    self.skipTest("the machine was too busy to run two threads at once: "
                                  + ", ".join(figures))

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


if __name__ == "__main__":
    unittest.main()
