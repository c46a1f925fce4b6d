import collections
import ctypes
import ctypes.util
import math
import os
import shutil
import subprocess
import sys

NO_ID = 0xFFFFFFFF

# Selectors of idx_count_of by name.
COUNTERS = {
    "file_size": 0,
    "slots": 1,
    "idle_slots": 2,
    "tokens": 3,
    "paths_indexed": 4,
    "cached_tokens": 5,
    "modified_tokens": 6,
    "cached_paths": 7,
    "modified_paths": 8,
    "paths_registered": 9,
}

# One document found by Index.search: its path id, its registered path (None
# if it has none), its score and the count of each word it holds.
SearchHit = collections.namedtuple("SearchHit", "path_id path score counts")

# BM25's term-frequency saturation; without document lengths b is 0.
_K1 = 1.2

ENUM_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_bool, ctypes.c_uint32, ctypes.c_char_p,
                                 ctypes.c_int32, ctypes.c_void_p)


class VelkorError(Exception):
    """A failure reported by the library, with its five error texts."""

    def __init__(self, call, id, msg, where, params, comment):
        self.call = call
        self.id = id
        self.msg = msg
        self.where = where
        self.params = params
        self.comment = comment
        text = f"{call}: {id or '(no id)'}: {msg}"
        if where:
            text += f" [{where}]"
        if params:
            text += f" {params}"
        super().__init__(text)


_library = None


def _pkg_config_libdir():
    """The library folder that pkg-config knows for velkor_index, or None."""
    if not shutil.which("pkg-config"):
        return None
    result = subprocess.run(["pkg-config", "--variable=libdir", "velkor_index"],
                            capture_output=True, text=True)
    if result.returncode != 0:
        return None
    return result.stdout.strip() or None


def _candidates():
    explicit = os.environ.get("VELKOR_INDEX_LIBRARY")
    if explicit:
        yield explicit
    windows = sys.platform == "win32"
    names = ["velkor_index.dll"] if windows else ["libvelkor_index.so.1", "libvelkor_index.so"]
    here = os.path.dirname(os.path.abspath(__file__))
    # cmake --install puts the library into PREFIX/lib (PREFIX/bin on
    # Windows): an install into this environment's own prefix is found
    # without further ado.
    folders = [here, os.path.join(sys.prefix, "bin" if windows else "lib")]
    for folder in folders:
        for name in names:
            yield os.path.join(folder, name)
    # The system's own search: LD_LIBRARY_PATH, the loader's cache, PATH.
    found = ctypes.util.find_library("velkor_index")
    if found:
        yield found
    yield from names
    # Where pkg-config finds it for C programs (PKG_CONFIG_PATH), and the
    # default prefix, which the loader searches only after ldconfig ran.
    for folder in (_pkg_config_libdir(), "/usr/local/lib"):
        if folder and not windows:
            for name in names:
                yield os.path.join(folder, name)


def load_library(path=None):
    """Loads the shared library (once) and declares the eighteen exports."""
    global _library
    if _library is not None and path is None:
        return _library
    errors = []
    for candidate in ([path] if path else _candidates()):
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as e:
            errors.append(f"{candidate}: {e}")
    else:
        raise OSError("cannot load velkor index library: " + "; ".join(errors))

    h = ctypes.c_void_p
    s = ctypes.c_char_p
    u32, i32, i64, b = ctypes.c_uint32, ctypes.c_int32, ctypes.c_int64, ctypes.c_bool
    signatures = {
        "idx_open": (h, [s, b]),
        "idx_close": (b, [h]),
        "idx_save": (b, [h]),
        "idx_discard": (u32, [h, u32]),
        "idx_index": (u32, [h, u32, s, s]),
        "idx_query": (s, [h, s, s]),
        "idx_id_of": (u32, [h, s, b]),
        "idx_path_of": (s, [h, u32]),
        "idx_time_of": (i64, [h, i32]),
        "idx_count_of": (i32, [h, u32]),
        "idx_enum_path": (i32, [h, ENUM_CALLBACK, ctypes.c_void_p]),
        "idx_get_modify": (b, [h]),
        "idx_adjust_cache": (b, [h, i32, i32]),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    for name in ("id", "msg", "where", "params", "comment"):
        fn = getattr(lib, "_get_err_" + name)
        fn.restype = s
        fn.argtypes = []
    if path is None:
        _library = lib
    return lib


def _bytes(value):
    if isinstance(value, bytes):
        return value
    return str(value).encode("utf-8")


def _text(value):
    return value.decode("utf-8", errors="surrogateescape")


class Index:
    """One open index file. Use as a context manager; close() never saves."""

    def __init__(self, path, read_only=False, library=None):
        self._lib = library or load_library()
        self.path = os.fspath(path)
        self.read_only = read_only
        handle = self._lib.idx_open(_bytes(self.path), read_only)
        if not handle:
            raise self._error("idx_open")
        self._handle = handle

    @classmethod
    def create(cls, path, **kwargs):
        """Creates (or empties) the file and opens it as a new index."""
        with open(path, "wb"):
            pass
        return cls(path, **kwargs)

    def _error(self, call):
        lib = self._lib
        texts = [_text(getattr(lib, "_get_err_" + n)() or b"")
                 for n in ("id", "msg", "where", "params", "comment")]
        return VelkorError(call, *texts)

    def _live(self):
        if self._handle is None:
            raise ValueError("the index is closed")
        return self._handle

    def _failed(self):
        return bool(self._lib._get_err_id() or self._lib._get_err_msg())

    def close(self):
        if self._handle is not None:
            self._lib.idx_close(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self):
        return self._handle is None

    def save(self):
        """Writes the index to its file. A read-only index raises ValueError."""
        if self._lib.idx_save(self._live()):
            return
        if self._failed():
            raise self._error("idx_save")
        raise ValueError("a read-only index cannot be saved")

    def index(self, path_id, text, delimiter=" "):
        """Adds the tokens of `text` under `path_id`; returns the distinct token count."""
        result = self._lib.idx_index(self._live(), path_id & NO_ID, _bytes(text),
                                     _bytes(delimiter))
        if result == NO_ID and self._failed():
            raise self._error("idx_index")
        return result

    def query(self, token):
        """Returns [(path_id, count), ...] for one token, path ids ascending (signed)."""
        text = self._lib.idx_query(self._live(), _bytes(token), b",")
        if self._failed():
            raise self._error("idx_query")
        numbers = [int(n) for n in text.split(b",")] if text else []
        return list(zip(numbers[0::2], numbers[1::2]))

    def search(self, words, any=False, limit=None):
        """Documents holding every word (with any=True: at least one), best first.

        `words` is a list of tokens or one string of blank-separated tokens,
        matched as they are (each once). Returns a list of SearchHit. The
        score is BM25 without document lengths, as velkor-index search
        computes it: each word adds ln(1 + (N - n + 0.5) / (n + 0.5)) *
        tf * (k1 + 1) / (tf + k1) with k1 = 1.2, where tf is its count in the
        document, n the number of documents holding it and N the number of
        indexed documents. Equal scores are ordered by path.
        """
        if isinstance(words, (str, bytes)):
            words = words.split()
        unique, seen = [], set()
        for word in words:
            key = _bytes(word)
            if key and key not in seen:
                seen.add(key)
                unique.append(word)
        documents = self.count("paths_indexed")
        found = {}
        for i, word in enumerate(unique):
            postings = self.query(word)
            held = float(len(postings))
            total = max(float(documents), held)
            weight = math.log(1.0 + (total - held + 0.5) / (held + 0.5))
            for path_id, count in postings:
                doc = found.setdefault(path_id, [0.0, [0] * len(unique)])
                doc[1][i] = count
                doc[0] += weight * count * (_K1 + 1.0) / (count + _K1)
        hits = []
        for path_id in sorted(found):
            score, counts = found[path_id]
            if any or all(counts):
                held = {w: c for w, c in zip(unique, counts) if c}
                hits.append(SearchHit(path_id, self.path_of(path_id), score, held))

        def order(hit):
            path = hit.path.encode("utf-8", "surrogateescape") if hit.path else b""
            return (-hit.score, path, hit.path_id)

        hits.sort(key=order)
        return hits[:limit] if limit is not None else hits

    def discard(self, path_id):
        """Removes a path id; returns its path entry id, or None when it had none."""
        result = self._lib.idx_discard(self._live(), path_id & NO_ID)
        if result == NO_ID:
            if self._failed():
                raise self._error("idx_discard")
            return None
        return result

    def id_of(self, path, create=False):
        """The path id of `path`, registering it with `create`; None if unknown."""
        result = self._lib.idx_id_of(self._live(), _bytes(path), create)
        if result == NO_ID:
            if self._failed():
                raise self._error("idx_id_of")
            return None
        return result

    def path_of(self, path_id):
        """The registered path of `path_id`, or None."""
        text = self._lib.idx_path_of(self._live(), path_id & NO_ID)
        if self._failed():
            raise self._error("idx_path_of")
        return _text(text) if text else None

    def time_of(self, path_id):
        """Creation time (seconds since 1970) of a registered path id, or None."""
        pid = ctypes.c_int32(path_id & NO_ID).value
        result = self._lib.idx_time_of(self._live(), pid)
        if self._failed():
            raise self._error("idx_time_of")
        return result if result != 0 or self.path_of(path_id) is not None else None

    def count(self, name):
        """One counter by name (see COUNTERS)."""
        result = self._lib.idx_count_of(self._live(), COUNTERS[name])
        if result == -1 and self._failed():
            raise self._error("idx_count_of")
        return result

    def counters(self):
        """All ten counters as a dict."""
        return {name: self.count(name) for name in COUNTERS}

    def paths(self):
        """Iterates (path_id, path, time) over the registered paths."""
        found = []

        def visit(path_id, path, time, _user):
            found.append((path_id, _text(path), time))
            return True

        callback = ENUM_CALLBACK(visit)
        if self._lib.idx_enum_path(self._live(), callback, None) < 0:
            raise self._error("idx_enum_path")
        return iter(found)

    __iter__ = paths

    @property
    def modified(self):
        """True when the index holds changes not saved yet."""
        result = self._lib.idx_get_modify(self._live())
        if not result and self._failed():
            raise self._error("idx_get_modify")
        return result

    def adjust_cache(self, token_limit, path_limit):
        """Sets the cache limits (at least 64 each) for the next indexing calls."""
        if not self._lib.idx_adjust_cache(self._live(), token_limit, path_limit):
            raise self._error("idx_adjust_cache")
