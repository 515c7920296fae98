"""Import must fail cleanly when module set-up fails part-way.

The extension is rebuilt with a test-only hook that makes one init step fail
as an out-of-memory host would. The import must raise, leave no half-made
module behind, and fail the same way when retried.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SETUP = os.path.join(ROOT, "setup.py")

PROBE = r"""
import sys
sys.path.insert(0, sys.argv[1])
for attempt in (1, 2):
    try:
        import _tavoext
    except MemoryError:
        assert "_tavoext" not in sys.modules, "half-made module left in sys.modules"
    else:
        raise SystemExit("attempt %d: import succeeded: %r" % (attempt, dir(_tavoext)))
print("ok")
"""


def _msvc_found():
    """setuptools builds extensions on Windows with MSVC alone."""
    try:
        import distutils.ccompiler
        distutils.ccompiler.new_compiler().initialize()
    except Exception:
        return False
    return True


def _cannot_build():
    """Why this host cannot rebuild the extension, or None if it can."""
    try:
        import setuptools  # noqa: F401
    except ImportError:
        return "needs setuptools"
    if not os.path.exists(SETUP):
        return "needs the source tree"
    if sys.platform == "win32" and not _msvc_found():
        return "needs MSVC, the compiler setuptools builds with on Windows"
    return None


@unittest.skipIf(_cannot_build() is not None, _cannot_build())
class InitFailureTest(unittest.TestCase):
    def _check(self, step):
        tmp = tempfile.mkdtemp()
        try:
            env = dict(os.environ, TAVO_INIT_FAULT=str(step))
            build = subprocess.Popen(
                [sys.executable, SETUP, "-q", "build_ext",
                 "--build-lib", os.path.join(tmp, "lib"),
                 "--build-temp", os.path.join(tmp, "tmp")],
                cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            out = build.communicate()[0]
            self.assertEqual(build.returncode, 0, out)
            probe = subprocess.Popen([sys.executable, "-c", PROBE, os.path.join(tmp, "lib")],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            out = probe.communicate()[0].decode("utf-8", "replace")
            self.assertEqual(probe.returncode, 0, out)
            self.assertEqual(out.strip(), "ok")
        finally:
            shutil.rmtree(tmp)

    def test_class_creation_fails(self):
        self._check(1)

    def test_adding_the_attribute_fails(self):
        self._check(2)


if __name__ == "__main__":
    unittest.main()
