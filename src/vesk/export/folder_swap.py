"""Swaps two folders in one step, where the system can.

Replacing a folder by renames leaves a moment with neither the old nor the
new one in place, and a writer killed outright then loses the old one.
Linux's renameat2(RENAME_EXCHANGE) swaps the two names at once; Python has
no call for it, so it is reached through the C library. Elsewhere, or on a
file system that refuses it, `exchange` says so and the caller renames.
"""
from __future__ import annotations

import errno
import os
import sys
from typing import Any, Optional

_AT_FDCWD = -100
_RENAME_EXCHANGE = 2
# What the kernel or a file system without the flag answers.
_UNSUPPORTED = {errno.ENOSYS, errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP}
_call: Optional[Any] = None
_looked = False


def _renameat2() -> Optional[Any]:
    global _call, _looked
    if not _looked:
        _looked = True
        if sys.platform.startswith("linux"):
            try:
                import ctypes
                fn = ctypes.CDLL(None, use_errno=True).renameat2  # glibc 2.28, musl 1.2.4
            except (ImportError, OSError, AttributeError):
                return None
            fn.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                           ctypes.c_uint]
            fn.restype = ctypes.c_int
            _call = fn
    return _call


def exchange(a: str, b: str) -> bool:
    """Swaps what the names `a` and `b` (both present) stand for, in one step:
    True. False where the system cannot, nothing done; OSError as rename's."""
    fn = _renameat2()
    if fn is None:
        return False
    import ctypes
    if fn(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    err = ctypes.get_errno()
    if err in _UNSUPPORTED:
        return False
    raise OSError(err, os.strerror(err), a, None, b)
