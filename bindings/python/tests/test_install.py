"""pip install of the binding into a fresh virtual environment, offline, and
the installed package finding the library that cmake --install put in place.

VELKOR_BUILD_DIR names the build tree to install from.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("VELKOR_BUILD_DIR")

SCRIPT = """
import sys, velkor_index
from velkor_index import Index
assert velkor_index.__file__.startswith(sys.prefix), velkor_index.__file__
with Index.create(sys.argv[1]) as ix:
    ix.index(ix.id_of("a", create=True), "to be or not to be")
    ix.index(ix.id_of("b", create=True), "be quick")
    print(" ".join(hit.path for hit in ix.search("be to", any=True)))
"""


@unittest.skipUnless(BUILD, "VELKOR_BUILD_DIR names no build tree")
class InstallTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = self.dir.name
        self.venv = os.path.join(self.root, "venv")
        subprocess.run([sys.executable, "-m", "venv", self.venv], check=True)
        self.python = os.path.join(self.venv, "bin", "python")
        # No package index is reachable: wheel, which setuptools needs to
        # build one, comes from Debian's python3-wheel-whl, and the build
        # uses the setuptools of the new environment.
        self.pip("install", "--no-index", "--find-links", "/usr/share/python-wheels", "wheel")
        # A copy, so that the build leaves nothing in the source tree.
        source = shutil.copytree(SOURCE, os.path.join(self.root, "src"),
                                 ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
        self.pip("install", "--no-index", "--no-build-isolation", source)

    def tearDown(self):
        self.dir.cleanup()

    def pip(self, *args):
        subprocess.run([self.python, "-m", "pip", "-q", *args], check=True)

    def use(self, **env):
        clean = {k: v for k, v in os.environ.items()
                 if k not in ("PYTHONPATH", "VELKOR_INDEX_LIBRARY", "LD_LIBRARY_PATH")}
        result = subprocess.run([self.python, "-c", SCRIPT, os.path.join(self.root, "t.idx")],
                                capture_output=True, text=True, cwd=self.root,
                                env={**clean, **env})
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.split()

    def test_the_installed_package_finds_the_installed_library(self):
        # Installed into the environment's own prefix: found with no hint.
        subprocess.run(["cmake", "--install", BUILD, "--prefix", self.venv], check=True,
                       stdout=subprocess.DEVNULL)
        self.assertEqual(self.use(), ["a", "b"])
        for name in os.listdir(os.path.join(self.venv, "lib")):
            if name.startswith("libvelkor_index"):
                os.remove(os.path.join(self.venv, "lib", name))
        # Installed elsewhere: found where pkg-config finds it for C programs.
        prefix = os.path.join(self.root, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        pkgconfig = os.path.join(prefix, "lib", "pkgconfig")
        self.assertEqual(self.use(PKG_CONFIG_PATH=pkgconfig), ["a", "b"])


if __name__ == "__main__":
    unittest.main()
