"""A tour of the `vesk` package on one file: listing, reading, xarray, pandas.

Usage: python examples/vesk_tour.py [FILE]   (default: samples/sample.vesk)
Type-checked in CI with `mypy --strict`, as a user's script would be.
"""
from __future__ import annotations

import os
import sys
from typing import IO, List

import numpy as np

import veskread
import vesk

DEFAULT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples",
                       "sample.vesk")


def summary(obj: vesk.DataObject) -> str:
    values = obj.values
    text = "%s (%s) %s" % (type(obj).__name__, ", ".join(obj.dims), values.shape)
    if isinstance(obj, vesk.Spectrum):
        text += ", x %.1f .. %.1f, peak %.3g" % (obj.x[0], obj.x[-1], float(np.max(obj.y)))
    elif isinstance(obj, vesk.ImageMap):
        text += ", map %d x %d" % (len(obj.map_x), len(obj.map_y))
    return text


def upload_keys(upload: IO[bytes]) -> List[str]:
    """A service's upload: any binary stream (a zip archive's member, a
    SpooledTemporaryFile), read to its end."""
    with vesk.open(upload) as f:
        return f.keys()


def main(path: str) -> int:
    try:
        f = vesk.open(path)
    except vesk.FormatError as e:
        print(e, file=sys.stderr)
        return 1
    with f:
        keys = f.keys()
        for block in f.blocks:
            print(block)
        names: List[str] = [b.name for b in f.blocks if b.kind != vesk.UNREADABLE]
        for name in names:
            print("  ", summary(f[name]))
        spectra = [b for b in f.blocks if b.kind == "spectrum"]
        others = [b for b in f.blocks if b.kind not in ("spectrum", vesk.UNREADABLE)]
        spectrum = f[spectra[0]] if spectra else None
        if spectrum is not None:
            print("%s: measured %s, %s %s" % (
                spectrum.block.name, spectrum.measured, vesk.parameter_label("NPT"),
                spectrum.parameters.get("NPT")))
        for image in f.images():
            print("image", image.name, image.format, len(image.data), "bytes:", image.title)
    with open(path, "rb") as upload:
        assert upload_keys(upload) == keys
    if spectrum is not None:  # the same arrays as the low-level reader gives
        low_level: veskread.BaseDataReturn = veskread.getVeskData(path, spectrum.block.key)
        assert np.array_equal(low_level.x, spectrum.x)
    if others:
        try:
            cube = vesk.read(path, others[0]).to_xarray()
        except ImportError as e:  # the xarray extra is optional
            print(e)
        else:
            print(cube.dims, cube.sizes)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else DEFAULT))
