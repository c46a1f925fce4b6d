# End-to-end tests of the velkor-index command-line tool, run as a user runs it.
#
# VELKOR_TOOL names the tool; VELKOR_TOOL_EMULATOR, if set, the program that
# runs it (Wine for the Windows build).
import json
import os
import random
import re
import shlex
import struct
import subprocess
import tempfile
import unittest

TOOL = os.environ.get("VELKOR_TOOL", "velkor-index")
EMULATOR = shlex.split(os.environ.get("VELKOR_TOOL_EMULATOR", ""))
NATIVE_POSIX = os.name == "posix" and not EMULATOR


def run(*args, check=True):
    result = subprocess.run([*EMULATOR, TOOL, *args], capture_output=True,
                            encoding="utf-8", errors="surrogateescape")
    if check and result.returncode != 0:
        raise AssertionError(f"{args} exited {result.returncode}: {result.stderr}")
    return result


def lines(*args):
    return run(*args).stdout.splitlines()


def json_of(*args):
    out = run(*args).stdout
    out.encode("utf-8")  # raw bytes that are not UTF-8 decode to lone surrogates, refused here
    return json.loads(out)


def sound(index):
    return "sound" in run("check", index).stdout


class Folder(unittest.TestCase):
    """A temporary folder with an index file t.idx not made yet."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = self.dir.name
        self.index = self.path("t.idx")

    def tearDown(self):
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.root, name)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        return self.path(name)

    def read(self, name):
        with open(name, "rb") as f:
            return f.read()


class CliTest(Folder):
    def setUp(self):
        super().setUp()
        self.docs = self.path("docs")
        self.write("docs/a.txt", "Apple banana, apple! Cherry")
        self.write("docs/sub/b.txt", "banana BANANA banana")
        self.assertIn("created", run("create", self.index).stdout)

    def test_add_a_folder_with_binary_files_then_read_it_back(self):
        self.assertEqual(run("create", self.index, check=False).returncode, 1)
        self.write("docs/z.gz", b"\x1f\x8b\x08\x00 banana plum")
        # A NUL among the first 4,096 bytes makes a file binary; one right after them does not.
        self.write("docs/edge.bin", "x" * 4095 + "\0")
        self.write("docs/late.txt", "kiwi " * 819 + " \0 kiwi")
        result = run("add", "--normalize", self.index, self.docs)
        self.assertIn("indexed 3 file(s), skipped 2 binary file(s), 4 distinct tokens", result.stdout)
        self.assertEqual(sorted(result.stderr.splitlines()),
                         [f"velkor-index: skipped binary file {self.docs}/{n}"
                          for n in ("edge.bin", "z.gz")])
        a, b = self.docs + "/a.txt", self.docs + "/sub/b.txt"
        out = lines("query", self.index, "banana", "apple", "absent", "plum", "kiwi")
        self.assertEqual(sorted(out[:2]), sorted([f"banana\t{a}\t1", f"banana\t{b}\t3"]))
        self.assertEqual(out[2:], [f"apple\t{a}\t2", "absent\t(not found)", "plum\t(not found)",
                                   f"kiwi\t{self.docs}/late.txt\t820"])
        self.assertEqual(lines("query", "--normalize", self.index, "APPLE"), [f"apple\t{a}\t2"])
        self.assertRegex(run("query", "--separator", ";", self.index, "apple").stdout, r"^-?\d+;2\n$")
        self.assertTrue(sound(self.index))

    def test_json_of_every_command_parses(self):
        names = ["docs/a.txt"]
        if NATIVE_POSIX:
            # Bytes that are not UTF-8 and characters JSON must escape.
            odd = b"docs/odd \"q\" \\ \t\x01\xff\xe9.txt".decode("utf-8", "surrogateescape")
            self.write(odd, "apple pear")
            names.append(odd)
        run("add", "--normalize", self.index, self.docs)
        queried = json_of("query", "--json", self.index, "apple", "none")
        self.assertEqual([(q["token"], len(q["hits"])) for q in queried],
                         [("apple", len(names)), ("none", 0)])
        found = {os.path.relpath(h["path"], self.root): h["count"] for h in queried[0]["hits"]}
        self.assertEqual(found, dict(zip(names, [2, 1])))
        searched = json_of("search", "--json", "--any", "--limit", "1", self.index, "apple",
                           "banana")
        self.assertEqual({k: searched[k] for k in ("words", "mode", "documents", "matches")},
                         {"words": ["apple", "banana"], "mode": "any",
                          "documents": len(names) + 1, "matches": len(names) + 1})
        self.assertEqual([h["counts"] for h in searched["hits"]], [{"apple": 2, "banana": 1}])
        listed = json_of("ls", "--json", self.index)
        self.assertEqual(sorted(os.path.relpath(p["path"], self.root) for p in listed),
                         sorted(names + ["docs/sub/b.txt"]))
        self.assertTrue(all(p["created"].endswith("Z") and p["time"] > 0 for p in listed))
        counters = json_of("stats", "--json", self.index)
        self.assertEqual((len(counters), counters["file_size"]), (10, os.path.getsize(self.index)))
        failed = run("ls", "--json", self.path("missing.idx"), check=False)
        self.assertEqual((failed.returncode, failed.stdout), (1, ""))
        self.assertEqual(run("query", "--json", "--separator", ";", self.index, "x",
                             check=False).returncode, 2)

    def test_re_adding_replaces_rm_discards_and_failures_leave_the_file_alone(self):
        a = self.docs + "/a.txt"
        run("add", self.index, a)
        self.write("docs/a.txt", "plum")
        run("add", self.index, a)
        self.assertEqual([line.split("\t")[-1] for line in lines("query", self.index, "Apple", "plum")],
                         ["(not found)", "1"])
        run("rm", self.index, a)
        self.assertEqual(lines("query", self.index, "plum") + lines("ls", self.index),
                         ["plum\t(not found)"])
        self.assertEqual(run("rm", self.index, "nowhere", check=False).returncode, 1)
        run("add", self.index, a)
        path_id = run("ls", self.index).stdout.split("\t")[0]
        self.assertEqual(run("rm", "--id", self.index, path_id).stdout, f"discarded {path_id}\n")
        self.assertEqual(run("rm", "--id", self.index, "12x", check=False).returncode, 2)
        self.assertTrue(sound(self.index))

        run("add", self.index, self.docs)
        before = self.read(self.index)
        self.assertEqual(run("add", self.index, self.path("missing"), check=False).returncode, 1)
        self.assertEqual(self.read(self.index), before)
        self.assertFalse([n for n in os.listdir(self.root) if ".tmp-" in n])
        missing = run("query", self.path("none.idx"), "x", check=False)
        self.assertEqual((missing.returncode, len(missing.stderr.strip().splitlines())), (1, 1))
        self.assertIn("_fstream.ErrOpenFile", missing.stderr)
        self.write("t.idx", before[:-1] + bytes([before[-1] ^ 0xFF]))  # the ending magic
        result = run("check", self.index, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("fault", result.stdout)


def dump_entries(index):
    """Each token's chain (slot offsets) and its postings, as 'dump --entries' shows them."""
    tokens, chain = {}, None
    for line in lines("dump", "--entries", index):
        if re.match(r"^ +\d+ -> \d+: \d+\(", line):
            chain = [int(s) for s in re.findall(r"(\d+)\(", line)]
        elif chain is not None and line.startswith('      "'):
            token, postings = re.match(r'^ +"(.*)": (.*)$', line).groups()
            tokens[token] = (chain, postings)
            chain = None
    return tokens


def postings_of(index):
    return {token: postings for token, (_, postings) in dump_entries(index).items()}


class MaintenanceTest(Folder):
    """compact and recover, on an index of 60 texts of which a third were removed."""

    WORDS = [f"w{i}" for i in range(400)]

    def setUp(self):
        super().setUp()
        rng = random.Random(7)
        for i in range(60):
            # Words of one text only keep their entries in one slot.
            self.write(f"docs/{i:02}.txt", " ".join([rng.choice(self.WORDS) for _ in range(120)] +
                                                     [f"only{i}x{j}" for j in range(5)]))
        run("create", self.index)
        run("add", self.index, self.path("docs"))
        run("rm", self.index, *[self.path(f"docs/{i:02}.txt") for i in range(0, 60, 3)])

    def state(self, index):
        return (run("query", "--ids", index, *self.WORDS).stdout, postings_of(index),
                run("ls", index).stdout)

    def test_compact_keeps_every_answer_in_a_smaller_file(self):
        before, size, out = self.state(self.index), os.path.getsize(self.index), self.path("out.idx")
        run("compact", self.index, out)
        run("compact", self.index)
        self.assertEqual(self.read(out)[:512], self.read(self.index)[:512])
        for compacted in (self.index, out):
            self.assertLess(os.path.getsize(compacted), size * 0.8)
            self.assertTrue(sound(compacted))
            self.assertEqual(self.state(compacted), before)
            self.assertEqual(dict(l.split() for l in lines("stats", compacted))["idle_slots"], "0")
        # The engine goes on from the compacted file.
        run("add", self.index, self.path("docs/00.txt"))
        self.assertTrue(sound(self.index))
        self.assertEqual(len(lines("ls", self.index)), 41)

        self.assertEqual(run("compact", self.index, out, check=False).returncode, 1)
        data = self.read(self.index)
        damaged = self.write("t.idx", data[:-1] + bytes([data[-1] ^ 0xFF]))
        result = run("compact", self.index, check=False)
        self.assertEqual((result.returncode, self.read(self.index)), (1, self.read(damaged)))
        self.assertEqual(sorted(os.listdir(self.root)), ["docs", "out.idx", "t.idx"])

    def test_recover_from_a_file_cut_inside_its_slot_table(self):
        # More entries than the idle slots hold: the first slots are in use again.
        self.write("new.txt", " ".join(f"{i:030}" for i in range(600)))
        run("add", self.index, self.path("new.txt"))
        entries = dump_entries(self.index)
        data = self.read(self.index)
        slots = sorted(int(line.split()[0]) for line in run("dump", self.index).stdout.split(
            "slots (offset size in_use next)\n")[1].split("\n\n")[0].splitlines())
        kept_records = len(slots) * 2 // 3
        slot_table = struct.unpack("<I", data[16:20])[0]
        damaged = self.write("cut.idx", data[:slot_table + 4 + 13 * kept_records + 5])
        out = self.path("cut.out")
        run("recover", damaged, out)
        self.assertTrue(sound(out))
        # The entries whose chains lie in the records before the cut.
        whole = {t for t, (chain, _) in entries.items() if max(chain) < slots[kept_records]}
        self.assertTrue(50 < len(whole) <= len(entries) - 50)
        self.assertEqual(postings_of(out), {t: entries[t][1] for t in whole})

if __name__ == "__main__":
    unittest.main()
