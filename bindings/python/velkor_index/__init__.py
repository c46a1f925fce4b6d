"""Python binding of velkor index, on ctypes and the standard library only.

    from velkor_index import Index

    with Index.create("docs.idx") as ix:
        pid = ix.id_of("notes/a.txt", create=True)
        ix.index(pid, "to be or not to be")
        ix.query("be")            # [(pid, 2)]
        ix.search("to be")        # [SearchHit(pid, "notes/a.txt", score, {"to": 2, "be": 2})]
        ix.save()

The shared library is found through the VELKOR_INDEX_LIBRARY environment
variable, then next to this package, in this environment's prefix (cmake
--install --prefix "$VIRTUAL_ENV"), by the system's library search, where
pkg-config finds it, and in /usr/local/lib.
"""

from ._binding import COUNTERS, Index, SearchHit, VelkorError, load_library

__all__ = ["COUNTERS", "Index", "SearchHit", "VelkorError", "load_library"]
