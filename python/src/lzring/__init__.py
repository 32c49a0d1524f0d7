"""Compression with LZSS over a 4096-byte ring, in the manner of zlib, bz2 and lzma.

The compressed bytes are fixed: every function here gives exactly the bytes
that the library's C functions write for the same file, on any number of
threads, and every byte sequence is a valid compressed stream. A stream has
no header and no end marker: it ends where its bytes end, or, for a stream
stored inside another file, after its known expanded size.

    import lzring
    packed = lzring.compress(data)
    assert lzring.decompress(packed) == data
    with lzring.open("log.lzr", "wb") as f:
        f.write(b"any bytes")

The codec runs with the GIL released, so threads compress side by side.
"""

from ._file import LZRingFile, open
from ._lzring import (
    LIBRARY_VERSION,
    Compressor,
    Decompressor,
    compress,
    compress_file,
    decompress,
    decompress_file,
    expanded_size,
)

__version__ = LIBRARY_VERSION

__all__ = [
    "Compressor",
    "Decompressor",
    "LZRingFile",
    "compress",
    "compress_file",
    "decompress",
    "decompress_file",
    "expanded_size",
    "open",
]
