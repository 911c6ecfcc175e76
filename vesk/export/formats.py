"""The export formats by name: file suffix and writer for each kind of block."""
from typing import Callable, NamedTuple

from . import arrays, jcamp, netcdf, table
from .axes import is_spectrum


class UnsupportedBlockError(ValueError):
    """The format cannot hold this kind of block."""


class Format(NamedTuple):
    name: str
    description: str
    spectrum: Callable      # (data, path) for a single spectrum
    other: Callable         # (data, path) for every other kind, or None
    spectrum_suffix: str
    other_suffix: str

    def suffix(self, data):
        return self.spectrum_suffix if is_spectrum(data) else self.other_suffix

    def write(self, data, path):
        writer = self.spectrum if is_spectrum(data) else self.other
        if writer is None:
            raise UnsupportedBlockError("%s holds single spectra only; %s is %s %s" % (
                self.description, data.block.name, _article(data.block.kind),
                data.block.kind))
        writer(data, path)


def _article(word):
    return "an" if word[:1] in "aeiou" else "a"


FORMATS = {
    "csv": Format("csv", "CSV", table.write_spectrum, table.write_long, ".csv", ".csv"),
    "npy": Format("npy", "NumPy", arrays.write_spectrum, arrays.write_array, ".npz", ".npz"),
    "jcamp": Format("jcamp", "JCAMP-DX", jcamp.write_spectrum, None, ".jdx", ".jdx"),
    "netcdf": Format("netcdf", "NetCDF", netcdf.write, netcdf.write, ".nc", ".nc"),
}
