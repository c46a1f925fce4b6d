"""End-to-end tests of the velkor-index command-line tool, run as a user runs it.

VELKOR_TOOL names the tool; VELKOR_TOOL_EMULATOR, if set, the program that
runs it (Wine for the Windows build).
"""
import json
import math
import os
import random
import re
import shlex
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = os.environ.get("VELKOR_TOOL", "velkor-index")
EMULATOR = shlex.split(os.environ.get("VELKOR_TOOL_EMULATOR", ""))
NATIVE_POSIX = os.name == "posix" and not EMULATOR


def run(*args, check=True, limit_memory=None):
    def set_limit():
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))

    result = subprocess.run([*EMULATOR, TOOL, *args], capture_output=True,
                            encoding="utf-8", errors="surrogateescape",
                            preexec_fn=set_limit if limit_memory else None)
    if check and result.returncode != 0:
        raise AssertionError(f"{args} exited {result.returncode}: {result.stderr}")
    return result


def json_of(*args):
    """The JSON a command prints, which must be valid UTF-8 whatever the paths."""
    out = run(*args).stdout
    out.encode("utf-8")  # raw bytes that are not UTF-8 decode to lone surrogates, refused here
    return json.loads(out)


def bm25(counts_and_holders, documents):
    """The score that 'search --help' documents, for checking one value."""
    return sum(math.log(1 + (documents - n + 0.5) / (n + 0.5)) * tf * 2.2 / (tf + 1.2)
               for tf, n in counts_and_holders)


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = self.dir.name
        self.index = os.path.join(self.root, "t.idx")
        self.docs = os.path.join(self.root, "docs")
        self.write("docs/a.txt", "Apple banana, apple! Cherry")
        self.write("docs/sub/b.txt", "banana BANANA banana")

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, data):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        return path

    def read_index(self):
        with open(self.index, "rb") as f:
            return f.read()

    def test_create_add_query_ls_stats_check(self):
        self.assertIn("created", run("create", self.index).stdout)
        self.assertEqual(run("create", self.index, check=False).returncode, 1)
        out = run("add", "--normalize", self.index, self.docs).stdout
        self.assertIn("indexed 2 file(s), skipped 0 binary file(s), 3 distinct tokens", out)
        a = self.docs + "/a.txt"
        b = self.docs + "/sub/b.txt"
        lines = run("query", self.index, "banana", "apple", "absent").stdout.splitlines()
        self.assertEqual(sorted(lines[:2]), sorted([f"banana\t{a}\t1", f"banana\t{b}\t3"]))
        self.assertEqual(lines[2:], [f"apple\t{a}\t2", "absent\t(not found)"])
        self.assertEqual(run("query", "--normalize", self.index, "APPLE").stdout,
                         f"apple\t{a}\t2\n")
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

    def test_add_leaves_out_binary_files(self):
        run("create", self.index)
        self.write("docs/z.gz", b"\x1f\x8b\x08\x00 banana plum")
        # A NUL beyond the first 4 KiB does not make a file binary.
        self.write("docs/late.txt", "kiwi " * 1000 + "\0 kiwi")
        result = run("add", "--normalize", self.index, self.docs)
        self.assertIn("indexed 3 file(s), skipped 1 binary file(s), 4 distinct tokens",
                      result.stdout)
        self.assertEqual(result.stderr.splitlines(),
                         [f"velkor-index: skipped binary file {self.docs}/z.gz"])
        self.assertIn("(not found)", run("query", self.index, "plum").stdout)
        self.assertIn("\t1001\n", run("query", self.index, "kiwi").stdout)
        self.assertNotIn("z.gz", run("ls", self.index).stdout)

    def test_search_ranks_documents_holding_all_or_any_words(self):
        run("create", self.index)
        self.write("s/a.txt", "apple banana apple cherry")
        self.write("s/b.txt", "banana banana banana")
        self.write("s/c.txt", "apple")
        self.write("s/d.txt", "banana apple")
        self.write("s/e.txt", "apple")
        folder = os.path.join(self.root, "s")
        run("add", self.index, folder)

        def paths(*args):
            lines = run("search", *args).stdout.splitlines()
            return [os.path.basename(line.split("\t")[1]) for line in lines]

        self.assertEqual(paths(self.index, "apple", "banana"), ["a.txt", "d.txt"])
        # More banana outranks a second word; equal scores go by path.
        self.assertEqual(paths("--any", self.index, "banana", "apple"),
                         ["a.txt", "b.txt", "d.txt", "c.txt", "e.txt"])
        self.assertEqual(paths("--any", "--limit", "2", self.index, "apple", "banana"),
                         ["a.txt", "b.txt"])
        self.assertEqual(paths(self.index, "apple", "durian"), [])
        self.assertEqual(paths("--any", self.index, "durian", "cherry"), ["a.txt"])
        self.assertEqual(paths("--normalize", self.index, "Apple,", "BANANA!"),
                         ["a.txt", "d.txt"])
        top = run("search", self.index, "apple", "banana").stdout.splitlines()[0]
        score = bm25([(2, 4), (1, 3)], 5)
        self.assertEqual(top.split("\t"), [f"{score:.4f}", folder + "/a.txt"])
        self.assertRegex(run("search", "--ids", self.index, "cherry").stdout, r"^[\d.]+\t-?\d+\n$")

    def test_json_of_every_command_parses(self):
        run("create", self.index)
        names = ["docs/a.txt"]
        if NATIVE_POSIX:
            # Bytes that are not UTF-8 and characters JSON must escape.
            odd = b"docs/odd \"q\" \\ \t\x01\xff\xe9.txt"
            self.write(odd.decode("utf-8", "surrogateescape"), "apple pear")
            names.append(odd.decode("utf-8", "surrogateescape"))
        run("add", "--normalize", self.index, self.docs)
        queried = json_of("query", "--json", self.index, "apple", "none")
        self.assertEqual([q["token"] for q in queried], ["apple", "none"])
        self.assertEqual(queried[1]["hits"], [])
        found = {os.path.relpath(h["path"], self.root): h["count"] for h in queried[0]["hits"]}
        self.assertEqual(found, dict(zip(names, [2, 1])))

        searched = json_of("search", "--json", "--any", "--limit", "1", self.index, "apple",
                           "banana")
        self.assertEqual((searched["words"], searched["mode"]), (["apple", "banana"], "any"))
        self.assertEqual((searched["documents"], searched["matches"]), (len(names) + 1,) * 2)
        self.assertEqual(len(searched["hits"]), 1)
        self.assertEqual(searched["hits"][0]["counts"], {"apple": 2, "banana": 1})

        listed = json_of("ls", "--json", self.index)
        self.assertEqual(sorted(os.path.relpath(p["path"], self.root) for p in listed),
                         sorted(names + ["docs/sub/b.txt"]))
        self.assertTrue(all(p["created"].endswith("Z") and p["time"] > 0 for p in listed))
        counters = json_of("stats", "--json", self.index)
        self.assertEqual(counters["file_size"], os.path.getsize(self.index))
        self.assertEqual(len(counters), 10)
        failed = run("ls", "--json", self.root + "/missing.idx", check=False)
        self.assertEqual((failed.returncode, failed.stdout), (1, ""))
        self.assertEqual(run("query", "--json", "--separator", ";", self.index, "x",
                             check=False).returncode, 2)

    @unittest.skipUnless(NATIVE_POSIX and not os.environ.get("VELKOR_SANITIZED"),
                         "address-space limits need a native build without sanitizers")
    def test_running_out_of_memory_fails_with_a_message(self):
        run("create", self.index)
        small = os.path.join(self.root, "small.idx")
        run("create", small)
        rng = random.Random(1)
        for i in range(100):
            self.write(f"big/{i}.txt", " ".join("w%x" % rng.getrandbits(40) for _ in range(2000)))
        big = os.path.join(self.root, "big")
        run("add", self.index, big)
        before = self.read_index()
        # Checking this 11 MiB file takes some 75 MiB, adding the folder 50.
        limit = 40 << 20
        self.assertEqual(run("check", small, limit_memory=limit).returncode, 0)
        result = run("check", self.index, check=False, limit_memory=limit)
        self.assertEqual((result.returncode, result.stderr), (1, "velkor-index: out of memory\n"))
        result = run("add", self.index, big, check=False, limit_memory=limit)
        self.assertEqual((result.returncode, len(result.stderr.splitlines())), (1, 1))
        self.assertEqual(self.read_index(), before)
        self.assertEqual([n for n in os.listdir(self.root) if ".tmp-" in n], [])

    def test_re_adding_replaces_and_rm_discards(self):
        run("create", self.index)
        a = self.write("docs/a.txt", "Apple banana, apple! Cherry")
        run("add", self.index, a)
        self.write("docs/a.txt", "plum")
        run("add", self.index, a)
        self.assertIn("(not found)", run("query", self.index, "Apple").stdout)
        self.assertIn("\t1", run("query", self.index, "plum").stdout)
        run("rm", self.index, a)
        self.assertIn("(not found)", run("query", self.index, "plum").stdout)
        self.assertEqual(run("ls", self.index).stdout, "")
        self.assertEqual(run("rm", self.index, "nowhere", check=False).returncode, 1)
        run("add", self.index, a)
        path_id = run("ls", self.index).stdout.split("\t")[0]
        self.assertEqual(run("rm", "--id", self.index, path_id).stdout, f"discarded {path_id}\n")
        self.assertEqual(run("rm", "--id", self.index, "12x", check=False).returncode, 2)
        self.assertIn("sound", run("check", self.index).stdout)

    def test_failures_leave_the_file_alone(self):
        run("create", self.index)
        run("add", self.index, self.docs)
        before = self.read_index()
        result = run("add", self.index, os.path.join(self.root, "missing"), check=False)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.read_index(), before)
        self.assertFalse([n for n in os.listdir(self.root) if ".tmp-" in n])

        missing = run("query", os.path.join(self.root, "none.idx"), "x", check=False)
        self.assertEqual(missing.returncode, 1)
        self.assertEqual(len(missing.stderr.strip().splitlines()), 1)
        self.assertIn("_fstream.ErrOpenFile", missing.stderr)

        data = bytearray(self.read_index())
        data[-1] ^= 0xFF  # the ending magic
        with open(self.index, "wb") as f:
            f.write(bytes(data))
        result = run("check", self.index, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("fault", result.stdout)

    def test_help_usage_errors_and_completion(self):
        commands = ["create", "add", "query", "search", "rm", "ls", "stats", "check", "dump",
                    "compact", "recover"]
        overview = run("--help").stdout
        for command in commands:
            self.assertIn(command, overview)
            self.assertIn("Usage: velkor-index " + command, run(command, "--help").stdout)
        self.assertIn("BM25", run("search", "--help").stdout)
        for args in (["frobnicate"], [], ["add", self.index], ["search", "--limit", "0", "f", "w"],
                     ["add", "--normalize", "--delimiter", ",", self.index, self.docs],
                     ["search", "--normalize", self.index, "!!"]):
            result = run(*args, check=False)
            self.assertEqual(result.returncode, 2, args)
            self.assertTrue(result.stderr, args)
        script = run("completion").stdout
        self.assertIn("complete -o filenames -F _velkor_index velkor-index", script)
        self.assertIn("search) options=\"--help -h --any --limit", script)


def dump_entries(index):
    """Each token's chain (slot offsets) and its postings, as 'dump --entries' shows them."""
    tokens, chain = {}, None
    for line in run("dump", "--entries", index).stdout.splitlines():
        if re.match(r"^ +\d+ -> \d+: \d+\(", line):
            chain = [int(s) for s in re.findall(r"(\d+)\(", line)]
        elif chain is not None and line.startswith('      "'):
            token, postings = re.match(r'^ +"(.*)": (.*)$', line).groups()
            tokens[token] = (chain, postings)
            chain = None
    return tokens


def postings_of(index):
    return {token: postings for token, (_, postings) in dump_entries(index).items()}


def answers(index, words):
    return run("query", "--ids", index, *words).stdout.splitlines()


class MaintenanceTest(unittest.TestCase):
    """compact and recover, on an index of 60 texts of which a third were removed."""

    WORDS = [f"w{i}" for i in range(400)]

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = self.dir.name
        self.index = self.path("t.idx")
        rng = random.Random(7)
        os.makedirs(self.path("docs"))
        for i in range(60):
            with open(self.path(f"docs/{i:02}.txt"), "w") as f:
                # Words of one text only keep their entries in one slot.
                f.write(" ".join([rng.choice(self.WORDS) for _ in range(120)] +
                                 [f"only{i}x{j}" for j in range(5)]))
        run("create", self.index)
        run("add", self.index, self.path("docs"))
        run("rm", self.index, *[self.path(f"docs/{i:02}.txt") for i in range(0, 60, 3)])

    def tearDown(self):
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.root, name)

    def bytes_of(self, name):
        with open(name, "rb") as f:
            return f.read()

    def put(self, name, data):
        with open(name, "wb") as f:
            f.write(data)

    def test_compact_keeps_every_answer_in_a_smaller_file(self):
        before = (answers(self.index, self.WORDS), postings_of(self.index),
                  run("ls", self.index).stdout)
        size = os.path.getsize(self.index)
        out = self.path("out.idx")
        run("compact", self.index, out)
        run("compact", self.index)
        self.assertEqual(self.bytes_of(out)[:512], self.bytes_of(self.index)[:512])
        for compacted in (self.index, out):
            self.assertLess(os.path.getsize(compacted), size * 0.8)
            self.assertIn("sound", run("check", compacted).stdout)
            self.assertEqual((answers(compacted, self.WORDS), postings_of(compacted),
                              run("ls", compacted).stdout), before)
            stats = dict(line.split() for line in run("stats", compacted).stdout.splitlines())
            self.assertEqual(stats["idle_slots"], "0")
        # The engine goes on from the compacted file.
        run("add", self.index, self.path("docs/00.txt"))
        self.assertIn("sound", run("check", self.index).stdout)
        self.assertEqual(len(run("ls", self.index).stdout.splitlines()), 41)

        self.assertEqual(run("compact", self.index, out, check=False).returncode, 1)
        damaged = bytearray(self.bytes_of(self.index))
        damaged[-1] ^= 0xFF
        self.put(self.index, damaged)
        result = run("compact", self.index, check=False)
        self.assertEqual((result.returncode, self.bytes_of(self.index)), (1, damaged))
        self.assertEqual(sorted(os.listdir(self.root)), ["docs", "out.idx", "t.idx"])

    def test_recover_from_a_file_cut_inside_its_sections(self):
        old_header = self.bytes_of(self.index)[:512]
        with open(self.path("new.txt"), "w") as f:
            f.write(" ".join(f"{i:030}" for i in range(600)))
        run("add", self.index, self.path("new.txt"))  # more than the idle slots hold
        data = self.bytes_of(self.index)
        self.assertNotEqual(data[16:20], old_header[16:20])
        entries = dump_entries(self.index)
        listed = run("ls", self.index).stdout.splitlines()
        words = struct.unpack("<12I", data[:48])
        slots = sorted(int(line.split()[0]) for line in run("dump", self.index).stdout.split(
            "slots (offset size in_use next)\n")[1].split("\n\n")[0].splitlines())
        kept_records = len(slots) * 2 // 3
        cuts = {
            # A save of an earlier version that died in the registry: the
            # header is still the one of the save before.
            "registry": old_header + data[512:(words[10] + words[11]) // 2],
            "slot table": data[:words[4] + 4 + 13 * kept_records + 5],
        }
        for where, cut in cuts.items():
            with self.subTest(where):
                damaged, out = self.path(f"{where}.idx"), self.path(f"{where}.out")
                self.put(damaged, cut)
                report = run("recover", damaged, out).stdout
                self.assertIn("sound", run("check", out).stdout)
                whole = {t for t, (chain, _) in entries.items()
                         if max(chain) < slots[kept_records]} if where == "slot table" else entries
                self.assertTrue(50 < len(whole) <= len(entries) - 50 * (where == "slot table"))
                self.assertEqual(postings_of(out), {t: entries[t][1] for t in whole})
                if where == "registry":
                    names = run("ls", out).stdout.splitlines()
                    kept = [line for line in names if "#" not in line]
                    self.assertTrue(0 < len(kept) < len(listed) and set(kept) <= set(listed))
                    for line in names:
                        if line not in kept:
                            path_id, created, name = line.split("\t")
                            self.assertEqual((name, created), (f"#{path_id}", "1970-01-01T00:00:00Z"))
                    self.assertIn("lost are registered as '#ID'", report)

    def test_recover_from_a_damaged_slot(self):
        out = self.path("out.idx")
        run("recover", self.index, out)  # a sound file: nothing to salvage
        self.assertEqual(postings_of(out), postings_of(self.index))
        entries = dump_entries(self.index)
        token, (chain, _) = next((t, e) for t, e in sorted(entries.items()) if len(e[0]) > 1)
        data = bytearray(self.bytes_of(self.index))
        data[chain[1]:chain[1] + 32] = bytes(32)
        self.put(self.index, data)
        report = run("recover", self.index, self.path("r.idx")).stdout
        self.assertRegex(report, rf'not saved: token entry {chain[0]} "{token}"')
        self.assertIn("sound", run("check", self.path("r.idx")).stdout)
        del entries[token]
        self.assertEqual(postings_of(self.path("r.idx")), {t: p for t, (_, p) in entries.items()})
        self.assertEqual(run("ls", self.path("r.idx")).stdout, run("ls", out).stdout)
        self.assertEqual(run("recover", self.index, out, check=False).returncode, 1)


if __name__ == "__main__":
    unittest.main()
