"""lzring.open and LZRingFile: a compressed file read and written as a plain one."""

import builtins
import io
import operator
import os
import threading

from ._lzring import Compressor, Decompressor, decompress, expanded_size

__all__ = ["LZRingFile", "open"]

_BINARY_MODES = {"r": "rb", "rb": "rb", "w": "wb", "wb": "wb", "x": "xb", "xb": "xb"}
_TEXT_MODES = {"rt": "rb", "wt": "wb", "xt": "xb"}

# Compressed bytes read from the file at a time; they expand to at most nine
# times as many.
_READ_SIZE = 64 * 1024

# Why no mode appends, in the error that refuses one.
_NO_APPEND = ("append modes are refused: a stream has no end marker, so one "
              "written after another would expand as the continuation of the "
              "first (its last group and its window go on into the second), not "
              "as a second stream; write the whole file anew")


class _Reader(io.RawIOBase):
    """The expanded bytes of a compressed file object, under LZRingFile's buffer.

    The stream ends where the file ends, as in lzring.decompress(): every
    decompress() call gives all the output its input completes, and a unit
    cut short by the file's end expands to nothing. Seeking is emulated: forwards by reading, backwards
    by starting again from where the stream began.
    """

    def __init__(self, fp):
        self._fp = fp
        self._start = fp.tell() if fp.seekable() else None
        self._restart()

    def _restart(self):
        self._decompressor = Decompressor()
        self._out = memoryview(b"")
        self._fed = False  # the decompressor has had input
        self._ended = False
        self._pos = 0

    def readable(self):
        return True

    def seekable(self):
        return self._start is not None

    def _more(self):
        """Refills _out; False at the end of the stream."""
        while not self._out:
            if self._ended:
                return False
            data = self._fp.read(_READ_SIZE)
            if data:
                self._fed = True
                self._out = memoryview(self._decompressor.decompress(data))
            else:
                self._ended = True
        return True

    def readinto(self, b):
        with memoryview(b) as view, view.cast("B") as dest:
            if not dest or not self._more():
                return 0
            n = min(len(dest), len(self._out))
            dest[:n] = self._out[:n]
            self._out = self._out[n:]
            self._pos += n
            return n

    def readall(self):
        """The rest of the expansion. From the start of the stream it holds
        the compressed bytes and the result, nothing more; later, at most
        the pieces and their join, as bz2 does."""
        if not self._fed and not self._ended:
            # From the start of the stream: its size first (a quarter of
            # the time of expanding), then the expansion straight into a
            # bytes object of that size.
            packed = self._fp.read()
            data = decompress(packed, size=expanded_size(packed))
            self._fed = self._ended = True
        else:
            parts = []
            while self._more():
                whole = len(self._out) == len(self._out.obj)
                parts.append(self._out.obj if whole else self._out.tobytes())
                self._out = memoryview(b"")
            data = parts[0] if len(parts) == 1 else b"".join(parts)
        self._pos += len(data)
        return data

    def tell(self):
        return self._pos

    def seek(self, offset, whence=io.SEEK_SET):
        if whence == io.SEEK_CUR:
            offset += self._pos
        elif whence == io.SEEK_END:
            while self._more():  # the expanded size is known only at the end
                self._pos += len(self._out)
                self._out = memoryview(b"")
            offset += self._pos
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if offset < self._pos:
            if self._start is None:
                raise io.UnsupportedOperation("underlying file is not seekable")
            self._fp.seek(self._start)
            self._restart()
        while self._pos < offset and self._more():
            n = min(offset - self._pos, len(self._out))
            self._out = self._out[n:]
            self._pos += n
        return self._pos


def _check_threads(threads):
    threads = operator.index(threads)
    if threads < 0:
        raise ValueError("threads must not be negative")


class LZRingFile(io.BufferedIOBase):
    """A compressed file, read or written through the file object interface.

    LZRingFile(filename, mode="rb", *, threads=1, best=False): filename is a path (str,
    bytes or os.PathLike) or a file object opened in binary mode; mode is
    "r"/"rb" to read, "w"/"wb" to write (create or truncate), "x"/"xb" to
    create a file that must not exist. Append modes are refused: a stream
    has no end marker, so a stream added after another would expand as the
    continuation of it, not as a second stream.

    Writing compresses on `threads` threads (see lzring.compress) and gives
    exactly the bytes of lzring.compress of everything written (with best,
    the smallest stream of lzring.compress(..., best=True)); the output
    lags by up to one piece, as the thread policy sizes it (FirstPieceSize,
    NextPieceSize in codec/parallel/thread_policy.h), until close(), and
    flush() cannot end a group early. Reading gives the expansion of the
    whole file; seeking is emulated (slow backwards).
    """

    def __init__(self, filename, mode="rb", *, threads=1, best=False):
        # One write (or close) at a time, as in bz2 and lzma: the compressed
        # bytes of a write must reach the file before those of the next.
        self._lock = threading.Lock()
        self._fp = None
        self._close_fp = False
        self._mode = None
        if mode not in _BINARY_MODES:
            if isinstance(mode, str) and "a" in mode:
                raise ValueError(f"invalid mode: {mode!r}: {_NO_APPEND}")
            raise ValueError(f"invalid mode: {mode!r}")
        binary_mode = _BINARY_MODES[mode]
        reading = binary_mode == "rb"
        if reading:
            _check_threads(threads)
            if best:
                raise ValueError("best applies to writing")
        else:
            compressor = Compressor(threads, best)
        if isinstance(filename, (str, bytes, os.PathLike)):
            self._fp = builtins.open(filename, binary_mode)
            self._close_fp = True
        elif hasattr(filename, "read" if reading else "write"):
            self._fp = filename
        else:
            raise TypeError("filename must be a str, bytes or os.PathLike object, or a file object")
        self._mode = binary_mode
        if reading:
            self._buffer = io.BufferedReader(_Reader(self._fp))
        else:
            self._compressor = compressor
            self._pos = 0

    # ---- state ------------------------------------------------------------

    @property
    def closed(self):
        return self._mode is None

    @property
    def mode(self):
        return self._mode

    @property
    def name(self):
        self._check_open()
        return self._fp.name

    def fileno(self):
        self._check_open()
        return self._fp.fileno()

    def readable(self):
        self._check_open()
        return self._mode == "rb"

    def writable(self):
        self._check_open()
        return self._mode != "rb"

    def seekable(self):
        return self.readable() and self._buffer.seekable()

    def close(self):
        """Writes the end of the stream when writing, and closes the file."""
        with self._lock:
            if self._mode is None:
                return
            try:
                if self._mode == "rb":
                    self._buffer.close()
                else:
                    self._fp.write(self._compressor.flush())
                    self._compressor = None
            finally:
                try:
                    if self._close_fp:
                        self._fp.close()
                finally:
                    self._fp = None
                    self._close_fp = False
                    self._buffer = None
                    self._mode = None

    def __repr__(self):
        if self.closed:
            return "<lzring.LZRingFile [closed]>"
        return f"<lzring.LZRingFile {getattr(self._fp, 'name', self._fp)!r} mode={self._mode!r}>"

    def _check_open(self):
        if self._mode is None:
            raise ValueError("I/O operation on closed file")

    def _check_reading(self):
        if not self.readable():
            raise io.UnsupportedOperation("file not open for reading")

    def _check_writing(self):
        if not self.writable():
            raise io.UnsupportedOperation("file not open for writing")

    # ---- reading ----------------------------------------------------------

    def read(self, size=-1):
        """Reads up to size expanded bytes; all that remain when size < 0."""
        self._check_reading()
        return self._buffer.read(size)

    def read1(self, size=-1):
        """Reads up to size expanded bytes with at most one read of the file."""
        self._check_reading()
        if size < 0:
            size = io.DEFAULT_BUFFER_SIZE
        return self._buffer.read1(size)

    def readinto(self, b):
        """Fills the writable buffer b with expanded bytes; returns how many
        (fewer only at the end of the stream, 0 there)."""
        self._check_reading()
        return self._buffer.readinto(b)

    def readinto1(self, b):
        """Puts expanded bytes into the writable buffer b with at most one
        read of the file; returns how many."""
        self._check_reading()
        return self._buffer.readinto1(b)

    def peek(self, size=0):
        """Returns expanded bytes ahead without moving the position: at
        least one unless at the end of the stream, possibly more than size."""
        self._check_reading()
        return self._buffer.peek(size)

    def readline(self, size=-1):
        self._check_reading()
        return self._buffer.readline(size)

    def seek(self, offset, whence=io.SEEK_SET):
        self._check_reading()
        return self._buffer.seek(offset, whence)

    def tell(self):
        self._check_open()
        return self._buffer.tell() if self._mode == "rb" else self._pos

    # ---- writing ----------------------------------------------------------

    def write(self, data):
        """Compresses data (any bytes-like object); returns its length."""
        self._check_writing()
        with memoryview(data) as view:
            length = view.nbytes
        with self._lock:
            self._check_writing()  # another thread may have closed it
            self._fp.write(self._compressor.compress(data))
            self._pos += length
        return length

    def flush(self):
        """Flushes the file underneath; compressed bytes still held stay held."""
        with self._lock:
            self._check_open()
            if self._mode != "rb":
                self._fp.flush()


def open(
    filename, mode="rb", *, threads=1, best=False, encoding=None, errors=None, newline=None
):
    """Open a compressed file in binary or text mode, as gzip.open does.

    filename is a path or a file object; mode is "rb", "wb" or "xb" (or "r",
    "w", "x") for an LZRingFile, or "rt", "wt" or "xt" for an io.TextIOWrapper
    around one, with encoding, errors and newline. threads: the threads
    compression runs on when writing, best: the smallest stream (see
    lzring.compress).
    """
    if mode in _TEXT_MODES:
        binary = LZRingFile(filename, _TEXT_MODES[mode], threads=threads, best=best)
        return io.TextIOWrapper(binary, io.text_encoding(encoding), errors, newline)
    if isinstance(mode, str) and "a" in mode:
        raise ValueError(f"invalid mode: {mode!r}: {_NO_APPEND}")
    if encoding is not None or errors is not None or newline is not None:
        raise ValueError("encoding, errors and newline are for text modes only")
    return LZRingFile(filename, mode, threads=threads, best=best)
