"""A tour of the `vesk` package on one file: listing, reading, xarray, pandas.

Usage: python examples/vesk_tour.py [FILE]   (default: samples/sample.vesk)
Type-checked in CI with `mypy --strict`, as a user's script would be.
"""
from __future__ import annotations

import os
import sys
from typing import List

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


def main(path: str) -> int:
    try:
        f = vesk.open(path)
    except vesk.FormatError as e:
        print(e, file=sys.stderr)
        return 1
    with f:
        for block in f.blocks:
            print(block)
        names: List[str] = f.keys()
        for name in names:
            print("  ", summary(f[name]))
        spectrum = f["AB/2D/NONE"]
        print("measured", spectrum.measured, "by", vesk.parameter_label("NPT"),
              spectrum.parameters.get("NPT"))
        for image in f.images():
            print("image", image.name, image.format, len(image.data), "bytes:", image.title)
    low_level: veskread.BaseDataReturn = veskread.getVeskData(path, ("AB", "2D", "NONE"))
    assert np.array_equal(low_level.x, spectrum.x)
    try:
        cube = vesk.read(path, "AB/3D/NONE").to_xarray()
    except ImportError as e:  # the xarray extra is optional
        print(e)
    else:
        print(cube.dims, cube.sizes)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else DEFAULT))
