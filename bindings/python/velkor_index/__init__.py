"""Python binding of velkor index, on ctypes and the standard library only.

    from velkor_index import Index

    with Index.create("docs.idx") as ix:
        pid = ix.id_of("notes/a.txt", create=True)
        ix.index(pid, "to be or not to be")
        ix.query("be")            # [(pid, 2)]
        ix.save()

The shared library is found through the VELKOR_INDEX_LIBRARY environment
variable, then next to this package, then by the system's library search.
"""

from ._binding import COUNTERS, Index, VelkorError, load_library

__all__ = ["COUNTERS", "Index", "VelkorError", "load_library"]
