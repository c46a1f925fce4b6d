import os
import tempfile
import unittest

from velkor_index import Index, VelkorError


class IndexTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.file = os.path.join(self.dir.name, "t.idx")

    def tearDown(self):
        self.dir.cleanup()

    def test_round_trip_through_save_and_reopen(self):
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

    def test_second_open_of_a_held_file_fails(self):
        with Index.create(self.file):
            with self.assertRaises(VelkorError) as caught:
                Index(self.file)
            self.assertEqual(caught.exception.id, "_fstream.ErrOpenFile")

    def test_discard_delimiter_and_negative_ids(self):
        with Index.create(self.file) as ix:
            ix.adjust_cache(1000, 1000)
            self.assertEqual(ix.index(0xFFFFFFF0, "x,y,,x", delimiter=","), 2)
            self.assertEqual(ix.query("x"), [(-16, 2)])
            self.assertIsNotNone(ix.discard(0xFFFFFFF0))
            self.assertIsNone(ix.discard(0xFFFFFFF0))
            self.assertEqual(ix.query("x"), [])

    def test_closed_index_refuses_calls(self):
        ix = Index.create(self.file)
        ix.close()
        self.assertTrue(ix.closed)
        with self.assertRaises(ValueError):
            ix.query("x")


if __name__ == "__main__":
    unittest.main()
