"""Text coordinates handed to xarray as they are.

xarray passes every object array it is given through a pandas Series; with
pandas 3 and pyarrow that makes each text a new string, so a region map's
title of each point (one shared str) costs a string a point: 48 MB for a
damaged file of 24 KB. An array already wrapped as held in memory is kept
as given, and reads back as the same object array.
"""
from __future__ import annotations

from typing import Any


def as_given(array: Any) -> Any:
    """`array` for xarray's Variable: an object array wrapped, others as they are."""
    if getattr(getattr(array, "dtype", None), "kind", None) != "O":
        return array
    from xarray.core import indexing as typed
    indexing: Any = typed  # typed in some xarray releases, not in others
    return indexing.MemoryCachedArray(indexing.NumpyIndexingAdapter(array))
