"""Writers that turn a block read by `vesk` into an open file format.

Each writer is a function `write(data, path)` over a data object's arrays
(`values`, `dims`, `coords`, `parameters`, `block`); none of them reads a VESK
file. `write_atomically` puts the result in place only once it is complete.
"""
from .atomic import (OutputExistsError, is_output, make_folder, refuse_existing,
                     write_atomically)
from .formats import FORMATS, LAYOUTS, Format, UnsupportedBlockError

__all__ = ["FORMATS", "LAYOUTS", "Format", "OutputExistsError", "UnsupportedBlockError",
           "is_output", "make_folder", "refuse_existing", "write_atomically"]
