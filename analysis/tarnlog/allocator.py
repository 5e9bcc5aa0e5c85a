"""Keeps freed memory in the process instead of handing it back to the kernel at once.

Every file and machine needs arrays of some megabytes. By default glibc maps
each such block fresh and unmaps it when freed, so the next one is faulted in
and zeroed page by page again: that took more time than the decoding itself.
With the thresholds raised, freed blocks are reused; the peak memory is the
same (one machine's arrays), it is only not given back between machines.
"""

import ctypes
import ctypes.util

_M_TRIM_THRESHOLD = -1
_M_MMAP_THRESHOLD = -3
_KEEP_BYTES = 1 << 30
_tuned = False


def keep_freed_memory():
    """Once per process; does nothing where the C library is not glibc."""
    global _tuned
    if _tuned:
        return
    _tuned = True
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return
    mallopt(_M_MMAP_THRESHOLD, _KEEP_BYTES)
    mallopt(_M_TRIM_THRESHOLD, _KEEP_BYTES)
