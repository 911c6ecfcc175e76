"""Lists the data blocks of a VESK file and reads every one of them.

Usage: python examples/read_sample.py [FILE]   (default: samples/sample.vesk)
"""
import os
import sys

import veskread

DEFAULT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples",
                       "sample.vesk")
SHOWN = ["SNM", "SFM", "INS", "BMS", "DTC", "RES", "NSS", "APF", "NPT", "FXV", "LXV", "DXU"]


def describe(data):
    y = getattr(data, "y", None)
    if y is not None:
        return "%d points, x %.2f .. %.2f, y %.4g .. %.4g" % (
            len(y), data.x[0], data.x[-1], y.min(), y.max())
    spectra = getattr(data, "spectra", None)
    if spectra is not None and hasattr(data, "mapX"):
        return "%s: %d x %d map of %d-point spectra, x %.1f .. %.1f, y %.1f .. %.1f" % (
            type(data).__name__, spectra.shape[1], spectra.shape[0], spectra.shape[2],
            data.mapX[0], data.mapX[-1], data.mapY[0], data.mapY[-1])
    return type(data).__name__


def main(path):
    if not veskread.isVeskFile(path):
        print("%s is not a VESK file" % path)
        return 1
    blocks = veskread.listContents(path)
    print("%s: %d data blocks" % (path, len(blocks)))
    for key in blocks:
        print("  %-12s %s %s" % key)
    labels, names = veskread.paramDict, veskread.VeskDict()
    for key in blocks:
        try:
            data = veskread.getVeskData(path, key)
        except ValueError as e:  # a listed block that has no reader
            print("\n%s: skipped (%s)" % ("/".join(key), e))
            continue
        print("\n%s: %s" % ("/".join(key), describe(data)))
        for k in SHOWN:
            if k in data.parameters:
                label = labels.get(k) or names.get(k, k)
                print("  %-28s %s" % (label, data.parameters[k]))
    for image in veskread.getVisImages(path):
        print("\nimage %r: %s, %d bytes, %s" % (
            image.get("Title"), image.get("imgext"), len(image.get("image", b"")),
            ", ".join("%s %s" % (k, v) for k, v in image.items()
                      if k not in ("Title", "image", "imgext"))))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else DEFAULT))
