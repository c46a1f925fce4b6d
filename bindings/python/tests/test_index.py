import json
import os
import subprocess
import tempfile
import unittest

from velkor_index import Index, VelkorError


class IndexTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.file = os.path.join(self.dir.name, "t.idx")

    def tearDown(self):
        self.dir.cleanup()

    def test_round_trip_through_save_and_reopen_then_discard(self):
        with Index.create(self.file) as ix:
            a = ix.id_of("docs/a.txt", create=True)
            b = ix.id_of("docs/b.txt", create=True)
            self.assertEqual(ix.index(a, "to be or not to be"), 4)
            self.assertEqual(ix.index(b, "be quick"), 2)
            self.assertTrue(ix.modified)
            ix.save()
            self.assertFalse(ix.modified)
        with Index(self.file, read_only=True) as ix:
            self.assertEqual(sorted(ix.query("be")), sorted([(a, 2), (b, 1)]))
            self.assertEqual(ix.query("absent"), [])
            self.assertEqual(ix.path_of(a), "docs/a.txt")
            self.assertIsNone(ix.path_of(12345))
            self.assertEqual(ix.id_of("docs/b.txt"), b)
            self.assertIsNone(ix.id_of("docs/c.txt"))
            self.assertGreater(ix.time_of(a), 0)
            self.assertEqual(sorted(p for _, p, _ in ix.paths()), ["docs/a.txt", "docs/b.txt"])
            counters = ix.counters()
            self.assertEqual(counters["paths_registered"], 2)
            self.assertEqual(counters["tokens"], 5)
            self.assertEqual(counters["file_size"], os.path.getsize(self.file))
        # A host-chosen negative id, a delimiter of the host's, a discard.
        with Index(self.file) as ix:
            ix.adjust_cache(1000, 1000)
            self.assertEqual(ix.index(0xFFFFFFF0, "x,y,,x", delimiter=","), 2)
            self.assertEqual(ix.query("x"), [(-16, 2)])
            self.assertIsNotNone(ix.discard(0xFFFFFFF0))
            self.assertIsNone(ix.discard(0xFFFFFFF0))
            self.assertEqual(ix.query("x"), [])

    def test_failures_carry_the_five_texts(self):
        with self.assertRaises(VelkorError) as caught:
            Index(os.path.join(self.dir.name, "missing.idx"))
        e = caught.exception
        self.assertEqual(e.id, "_fstream.ErrOpenFile")
        self.assertEqual(e.msg, "Failed to open file!")
        self.assertEqual(e.where, "_fstream::open()")
        self.assertIn("OpenMode[read|write]", e.params)

        Index.create(self.file).close()
        with Index(self.file, read_only=True) as ix:
            with self.assertRaises(VelkorError) as caught:
                ix.index(1, "x")
            self.assertEqual(caught.exception.id, "_CTokenIndexes.Readonly")
            with self.assertRaises(ValueError):
                ix.save()
        ix.close()
        self.assertTrue(ix.closed)
        with self.assertRaises(ValueError):
            ix.query("x")

    def test_search_ranks_like_the_tool(self):
        texts = {"a": "apple banana apple cherry", "b": "banana banana banana", "c": "apple",
                 "d": "banana apple", "e": "apple"}
        with Index.create(self.file) as ix:
            ids = {}
            for name, text in texts.items():
                ids[name] = ix.id_of(name, create=True)
                ix.index(ids[name], text)
            names = lambda hits: [h.path for h in hits]
            self.assertEqual(names(ix.search("apple banana")), ["a", "d"])
            self.assertEqual(names(ix.search(["banana", "apple", "apple"], any=True)),
                             ["a", "b", "d", "c", "e"])
            self.assertEqual(names(ix.search("apple banana", any=True, limit=2)), ["a", "b"])
            self.assertEqual(ix.search("apple durian"), [])
            self.assertEqual(ix.search(""), [])
            ix.index(0xFFFFFFF0, "cherry")  # a path id without a name
            ix.save()
            top = ix.search("cherry")
            self.assertEqual([(h.path_id, h.path) for h in top], [(-16, None), (ids["a"], "a")])
            self.assertEqual(top[1].counts, {"cherry": 1})
            mine = ix.search("apple banana cherry", any=True)
        tool = os.environ.get("VELKOR_TOOL")
        if not tool:
            self.skipTest("VELKOR_TOOL names no tool to compare with")
        out = subprocess.run([tool, "search", "--json", "--any", self.file, "apple", "banana",
                              "cherry"], capture_output=True, text=True, check=True).stdout
        theirs = json.loads(out)["hits"]
        self.assertEqual([(h.path_id, h.counts) for h in mine],
                         [(h["id"], h["counts"]) for h in theirs])
        for a, b in zip(mine, theirs):
            self.assertAlmostEqual(a.score, b["score"], places=5)


if __name__ == "__main__":
    unittest.main()
