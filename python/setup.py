"""Builds the lzring extension from the library's own sources.

The codec is compiled into the extension (the C++ API in api/, the codec in
codec/, the streams in streams/ and the platform layer in platform/), so the
installed module needs no lzring library on the system. The sources are those
of the groups below in the tree's sources.txt, the list CMake builds from, as
scripts/sources.sh reads it for both, so a file added there is built here too. GCC or Clang on a POSIX system.

Environment: LZRING_WERROR=1 makes compiler warnings errors, as CI does.
"""

import glob
import os
import re
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def project_version():
    """The version in the public C header, the library's one version."""
    with open(os.path.join(ROOT, "include", "lzring.h"), encoding="utf-8") as f:
        match = re.search(r'#define LZRING_VERSION_STRING "([0-9.]+)"', f.read())
    if not match:
        raise RuntimeError("no LZRING_VERSION_STRING in include/lzring.h")
    return match.group(1)


def relative(paths):
    # setuptools wants sources relative to the folder of setup.py.
    return sorted(os.path.relpath(p, HERE) for p in paths)


# The groups of sources.txt built into the extension: the C++ API in memory
# and over files, and everything under it, with the POSIX platform layer.
GROUPS = ("cpp-api", "cpp-files", "codec", "streams", "platform-posix", "threads-posix")


def library_sources():
    """The sources of GROUPS, as scripts/sources.sh reads them from sources.txt."""
    listed = subprocess.run(["sh", os.path.join(ROOT, "scripts", "sources.sh"), *GROUPS],
                            check=True, capture_output=True, text=True).stdout
    return relative(os.path.join(ROOT, path) for path in listed.split())


def headers():
    found = []
    for folder in ("api", "codec", "codec/parallel", "streams", "platform", "include/lzring",
                   "python/ext"):
        found += glob.glob(os.path.join(ROOT, folder, "*.h"))
        found += glob.glob(os.path.join(ROOT, folder, "*.hpp"))
    return relative(found)


class BuildExt(build_ext):
    """Compiles the sources two at a time unless told otherwise."""

    def finalize_options(self):
        super().finalize_options()
        if not self.parallel:
            self.parallel = min(os.cpu_count() or 1, 2)


class RefuseSdist(sdist):
    """A source archive of this folder would lack the library's sources
    beside it (api/, codec/, streams/, platform/, include/), and could not be built."""

    def run(self):
        raise SystemExit(
            "lzring: no source distribution of the Python package is made: its\n"
            "extension is built from the C++ sources of the whole lzring tree.\n"
            "Install from a checkout of that tree: pip install ./python")


version = project_version()
warnings = ["-Wall", "-Wextra", "-Wpedantic"]
if os.environ.get("LZRING_WERROR", "") not in ("", "0"):
    warnings.append("-Werror")

extension = Extension(
    "lzring._lzring",
    sources=relative(glob.glob(os.path.join(HERE, "ext", "*.cpp"))) + library_sources(),
    depends=headers() + [os.path.join(ROOT, "sources.txt")],
    include_dirs=[ROOT, os.path.join(ROOT, "include")],
    define_macros=[
        ("LZRING_CPU_DISPATCH", None),
        ("LZRING_CXX_STATIC", None),
        ("NDEBUG", None),
    ],
    extra_compile_args=["-std=c++20", "-O3", "-g0", "-fvisibility=hidden",
                        "-fvisibility-inlines-hidden", "-pthread"] + warnings,
    # Only the module's entry point is exported: the codec stays private to
    # the extension, whatever other copy of it the process loads.
    extra_link_args=["-pthread", "-Wl,--version-script=" + os.path.join(HERE, "ext", "exports.map")],
    language="c++",
)

setup(version=version, ext_modules=[extension], cmdclass={"build_ext": BuildExt, "sdist": RefuseSdist})
