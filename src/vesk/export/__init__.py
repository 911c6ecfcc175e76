"""Writers that turn a block read by `vesk` into an open file format.

Each writer is a function `write(data, path)` over a data object's arrays
(`values`, `dims`, `coords`, `parameters`, `block`); none of them reads a VESK
file. `write_atomically` puts the result in place only once it is complete.
`write` is the one call for a program: a block to a file as `vesk export`
writes it.
"""
from __future__ import annotations

import os
from typing import Union

import vesk

from .atomic import (OutputExistsError, is_output, make_folder, refuse_existing,
                     write_atomically)
from .formats import FORMATS, LAYOUTS, Format, UnsupportedBlockError, unknown_format


def write(data: vesk.DataObject, path: Union[str, "os.PathLike[str]"], format: str,
          layout: str = "long", force: bool = False) -> None:
    """Writes a block read by `vesk` to `path` as `vesk export --format FORMAT`
    writes it ("csv", "npy", "jcamp", "netcdf", "parquet", "envi", "mat" or "zarr"; `layout`
    "wide" for CSV and Parquet as `--layout wide`): the same bytes, with the attributes that
    say what it holds and where it came from. The file (Zarr: the store, a folder) appears
    only once complete; an existing one is an OutputExistsError (a FileExistsError) unless
    `force`; anything but a Zarr store where one goes is a FileExistsError whatever `force`.
    ENVI's values go to `path` (x.img), their header beside it (x.hdr; for
    another name, the name with .hdr added), put in place after them; a
    `path` named as a header (x.hdr) is a ValueError.
    UnsupportedBlockError (a ValueError) where the format cannot hold the
    block's kind (or, ENVI, a block of 0 values); ImportError naming the
    extra to install where it needs one.

        with vesk.open(io.BytesIO(upload)) as f:
            vesk.export.write(f["AB/3D/NONE"], "map.nc", "netcdf")
    """
    # (the data objects come at first use: the command's listing imports this package)
    if not isinstance(data, vesk.DataObject):  # a Block says what is in the file, not its values
        raise TypeError("vesk.export.write writes a block as read (f[key], vesk.read), not %s"
                        % type(data).__name__)
    if format not in FORMATS:
        raise ValueError(unknown_format(format))
    if layout not in LAYOUTS:
        raise ValueError("no layout %r; one of %s" % (layout, ", ".join(LAYOUTS)))
    fmt = FORMATS[format]
    if layout != "long" and fmt.wide is None:  # as the command refuses --layout
        raise ValueError("layout %r is for CSV and Parquet; %s has one layout" % (layout, format))
    needs = fmt.missing()
    if needs is not None:
        raise ImportError(needs)
    if not fmt.holds(data.block.kind) and not (layout == "wide" and fmt.wide is not None):
        raise UnsupportedBlockError("%s: %s" % (data.block.name, fmt.refusal(data.block.kind)))
    fmt.refuse_unfit(data)
    path = os.fspath(path)
    if fmt.header_suffix is not None and os.path.splitext(path)[1].lower() == fmt.header_suffix:
        # readers take x.hdr for the header, whatever it holds, and find no values
        raise ValueError("%s: the name of a header; %s's values go to PATH (x%s), their "
                         "header beside it" % (path, fmt.description, fmt.other_suffix))
    outputs = fmt.outputs(path)
    for out in outputs:  # before writing
        fmt.refuse_existing(out, force, overwrite="force=True overwrites it")
    fmt.put(data, path, layout, force=force)


__all__ = ["FORMATS", "LAYOUTS", "Format", "OutputExistsError", "UnsupportedBlockError",
           "is_output", "make_folder", "refuse_existing", "write", "write_atomically"]
