"""The type stubs describe the module as it is, checked by mypy's stubtest
(Debian's python3-mypy) when it is installed."""

import os
import subprocess
import sys
import tempfile
import unittest


class StubTest(unittest.TestCase):
    def test_stubs_match_the_module(self):
        try:
            import mypy.stubtest  # noqa: F401
        except ImportError:
            self.skipTest("mypy is not installed")
        with tempfile.TemporaryDirectory() as tmp:
            config = os.path.join(tmp, "mypy.ini")
            with open(config, "w") as f:
                # The extension lzring._lzring has no stub of its own: the
                # package's stub describes what it exports.
                f.write("[mypy]\nignore_missing_imports = True\ncache_dir = /dev/null\n")
            result = subprocess.run(
                [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", config, "lzring"],
                cwd=tmp, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
