"""End-to-end tests of the velkor-index command-line tool."""
import os
import subprocess
import sys
import tempfile
import unittest

TOOL = os.environ.get("VELKOR_TOOL", "velkor-index")


def run(*args, check=True):
    result = subprocess.run([TOOL, *args], capture_output=True, text=True)
    if check and result.returncode != 0:
        raise AssertionError(f"{args} exited {result.returncode}: {result.stderr}")
    return result


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = self.dir.name
        self.index = os.path.join(self.root, "t.idx")
        self.docs = os.path.join(self.root, "docs")
        os.makedirs(os.path.join(self.docs, "sub"))
        self.write("docs/a.txt", "Apple banana, apple! Cherry")
        self.write("docs/sub/b.txt", "banana BANANA banana")

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def test_create_add_query_ls_stats_check(self):
        self.assertIn("created", run("create", self.index).stdout)
        self.assertNotEqual(run("create", self.index, check=False).returncode, 0)
        out = run("add", "--normalize", self.index, self.docs).stdout
        self.assertIn("indexed 2 file(s)", out)
        a = os.path.join(self.docs, "a.txt")
        b = os.path.join(self.docs, "sub", "b.txt")
        lines = run("query", self.index, "banana", "apple", "absent").stdout.splitlines()
        self.assertEqual(sorted(lines[:2]), sorted([f"banana\t{a}\t1", f"banana\t{b}\t3"]))
        self.assertEqual(lines[2], f"apple\t{a}\t2")
        self.assertEqual(lines[3], "absent\t(not found)")
        raw = run("query", "--separator", ";", self.index, "apple").stdout.strip()
        self.assertRegex(raw, r"^-?\d+;2$")
        ls = run("ls", self.index).stdout.splitlines()
        self.assertEqual(sorted(line.split("\t")[2] for line in ls), sorted([a, b]))
        stats = dict(line.split() for line in run("stats", self.index).stdout.splitlines())
        self.assertEqual(stats["paths_registered"], "2")
        self.assertEqual(stats["tokens"], "3")
        self.assertEqual(stats["file_size"], str(os.path.getsize(self.index)))
        self.assertIn("sound", run("check", self.index).stdout)
        dump = run("dump", "--entries", self.index).stdout
        self.assertIn("header", dump)
        self.assertIn('"banana"', dump)

    def test_re_adding_replaces_and_rm_discards(self):
        run("create", self.index)
        run("add", self.index, os.path.join(self.docs, "a.txt"))
        self.write("docs/a.txt", "plum")
        run("add", self.index, os.path.join(self.docs, "a.txt"))
        self.assertIn("(not found)", run("query", self.index, "Apple").stdout)
        self.assertIn("\t1", run("query", self.index, "plum").stdout)
        run("rm", self.index, os.path.join(self.docs, "a.txt"))
        self.assertIn("(not found)", run("query", self.index, "plum").stdout)
        self.assertEqual(run("ls", self.index).stdout, "")
        self.assertNotEqual(run("rm", self.index, "nowhere", check=False).returncode, 0)
        self.assertIn("sound", run("check", self.index).stdout)

    def test_failures_leave_the_file_alone(self):
        run("create", self.index)
        run("add", self.index, self.docs)
        before = open(self.index, "rb").read()
        result = run("add", self.index, os.path.join(self.root, "missing"), check=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(open(self.index, "rb").read(), before)
        self.assertFalse([n for n in os.listdir(self.root) if ".tmp-" in n])

        missing = run("query", os.path.join(self.root, "none.idx"), "x", check=False)
        self.assertEqual(missing.returncode, 1)
        self.assertEqual(len(missing.stderr.strip().splitlines()), 1)
        self.assertIn("_fstream.ErrOpenFile", missing.stderr)

    def test_check_reports_a_damaged_file(self):
        run("create", self.index)
        run("add", self.index, self.docs)
        data = bytearray(open(self.index, "rb").read())
        data[-1] ^= 0xFF  # the ending magic
        open(self.index, "wb").write(bytes(data))
        result = run("check", self.index, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("fault", result.stdout)

    def test_help(self):
        self.assertIn("commands:", run("--help").stdout)
        for command in ("create", "add", "query", "rm", "ls", "stats", "check", "dump"):
            self.assertIn("usage: velkor-index " + command, run(command, "--help").stdout)
        self.assertEqual(run("frobnicate", check=False).returncode, 2)


if __name__ == "__main__":
    unittest.main()
