"""python -m lzring: compress or expand files and standard streams.

    python -m lzring [-d] [-c | -o OUTPUT] [FILE ...]

FILE is compressed to FILE.lzr, or with -d FILE.lzr is expanded to FILE;
the input is kept. Without FILE, or with "-", standard input goes to
standard output. -c writes to standard output, -o to OUTPUT (one FILE;
"-o -" is standard output, as for the lzring tool). A reader that goes
away ends the program quietly by SIGPIPE, as it ends the lzring tool and
gzip. A thin layer over the module, as python -m gzip is over gzip; the
lzring tool offers more.
"""

import argparse
import os
import shutil
import signal
import sys

from . import compress_file, decompress_file, open as lzr_open

SUFFIX = ".lzr"
_BLOCK = 64 * 1024


def _output_name(name, expanding):
    if not expanding:
        return name + SUFFIX
    if not name.endswith(SUFFIX) or name == SUFFIX:
        raise ValueError(f"{name}: no {SUFFIX} suffix; name the output with -o")
    return name[: -len(SUFFIX)]


def _to_stream(name, expanding, out):
    """Copies FILE (or standard input for "-") through the codec to `out`."""
    source = sys.stdin.buffer if name == "-" else None
    if expanding:
        with lzr_open(source or name, "rb") as f:
            shutil.copyfileobj(f, out, _BLOCK)
    else:
        with lzr_open(out, "wb") as packer:
            if source is not None:
                shutil.copyfileobj(source, packer, _BLOCK)
            else:
                with open(name, "rb") as f:
                    shutil.copyfileobj(f, packer, _BLOCK)


def _one(name, args):
    expanding = args.decompress
    if args.stdout or args.output == "-" or (name == "-" and args.output is None):
        if not expanding and sys.stdout.isatty():
            raise ValueError("compressed data not written to a terminal; use -o or a redirection")
        _to_stream(name, expanding, sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return
    target = args.output or _output_name(name, expanding)
    if name == "-":
        with open(target, "wb") as out:
            _to_stream(name, expanding, out)
    elif expanding:
        decompress_file(name, target)
    else:
        compress_file(name, target)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m lzring",
        description=f"Compress FILEs to FILE{SUFFIX}, or expand them with -d; "
        "without FILE, standard input to standard output.")
    parser.add_argument("-d", "--decompress", action="store_true", help=f"expand FILE{SUFFIX} to FILE")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-c", "--stdout", action="store_true", help="write to standard output")
    where.add_argument("-o", "--output", metavar="OUTPUT",
                       help="write to OUTPUT (one FILE only; - is standard output)")
    parser.add_argument("files", nargs="*", metavar="FILE")
    args = parser.parse_args(argv)
    files = args.files or ["-"]
    if args.output is not None and len(files) > 1:
        parser.error("-o takes one FILE")
    status = 0
    for name in files:
        try:
            _one(name, args)
        except BrokenPipeError:
            raise  # the reader went away: nothing more can be written
        except (OSError, ValueError, EOFError) as e:
            print(f"{parser.prog}: {e}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # The reader went away: end as the lzring tool and gzip do, by the
        # signal that Python ignores (so the write failed with EPIPE
        # instead), with no message. Output still buffered goes nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
        sys.exit(128 + signal.SIGPIPE)  # not reached: the signal ends the process
