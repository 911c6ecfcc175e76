"""An independent plain-Python reading of the VESK file rules, for differential checks.

The reference functions below (isVeskFile, listContents, decode_string,
getVeskData, getVisImages, imghdr_what) are written from the file rules alone,
not from the C++ core. They return plain values (dicts, lists, ndarrays) and raise the same
exception types with the same messages as veskread should.

Run as a driver: `python tools/crosscheck.py --cases N --seed S` makes files
with the test writers, mutates them, calls both readers on each and prints
every kind of disagreement once, with a file that reproduces it. Warnings are
compared too (category, text, order). The data-return classes and the two key
vocabularies are written out here as well, and compared with the module's:
documentation, signatures, what hand-built objects store and how they fail.
So are the public functions' own texts and signatures, and calls with the
arguments they refuse. Paths are also given as descriptors, pipes, named pipes,
devices and file objects: what became of the caller's descriptor or file
(still open, where it was left, what a pipe still holds) is compared too.

Where the core bounds what a hostile file may cost (see `known`), the reference
raises Refused with the core's exception word for word when it can tell it.
"""
import argparse
import collections
import contextlib
import errno
import io
import os
import pathlib
import operator
import random
import re
import stat
import struct
import sys
import tempfile
import threading
import warnings

import numpy as np

# The writers that make the files, and the class docstrings word for word,
# are the test suite's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from expected_texts import DOCS, FUNCTION_DOCS, HELP_LINES  # noqa: E402

MAGIC = 168492798
FIELDS = ((0, 3), (2, 3), (4, 63), (10, 127), (17, 3), (19, 127))

# Reads past this make the core refuse an axis rather than build it (a bound
# on memory that a hostile NPT would otherwise blow).
AXIS_BYTES_BASE = 32 << 20


class Refused(Exception):
    """The reference would build something the core deliberately bounds.

    When the core's refusal is known word for word, `expected` holds its
    exception type and message.
    """

    def __init__(self, reason, *expected):
        super().__init__(reason)
        self.expected = expected


class _Seeks:
    """A file whose seeks past the file system's reach land at its end.

    A descriptor the caller gave is theirs: it is opened without being
    owned, and its position is put back where the caller left it.
    """

    def __init__(self, f, restore=None):
        self._f = f
        self._restore = restore

    def seek(self, offset, whence=0):
        try:
            return self._f.seek(offset, whence)
        except OSError as e:
            if e.errno != errno.EINVAL or offset < 0:
                raise
            # an offset past what the file system can seek to reads as past the end
            return self._f.seek(0, 2)

    def read(self, n):
        return self._f.read(n)

    def seekable(self):
        return self._f.seekable()

    @property
    def raw(self):
        return self._f

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._restore is not None:
            os.lseek(self._f.fileno(), self._restore, os.SEEK_SET)
        self._f.close()


def _is_descriptor(path):
    """What `open` takes as a descriptor number rather than a name."""
    return not isinstance(path, (str, bytes)) and hasattr(type(path), "__index__")


def _open(path, mode, buffering=-1):
    if not _is_descriptor(path):
        return _Seeks(open(path, mode, buffering))
    f = open(path, mode, buffering, closefd=False)
    try:
        where = os.lseek(f.fileno(), 0, os.SEEK_CUR)
    except OSError:
        where = None  # a pipe or terminal: read in order, nothing to put back
    return _Seeks(f, where)


def _type_name(obj):
    """The name a type gives itself in the interpreter's messages (numpy.int64, _io.BytesIO)."""
    t = type(obj)
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":  # a class statement's own name
        return t.__name__
    return t.__module__ + "." + t.__name__


# -- readers and strings ------------------------------------------------------

def _read(f, fmt, n):
    return struct.unpack(fmt, bytes(f.read(n)))[0]


def readShort(f):
    return _read(f, "<h", 2)


def readInt(f):
    return _read(f, "<i", 4)


def readInt64(f):
    return _read(f, "<q", 8)


def readDouble(f):
    return _read(f, "<d", 8)


def decode_string(s, encodings=("ascii", "utf8", "latin1")):
    for encoding in encodings:
        try:
            return s.decode(encoding)
        except UnicodeDecodeError:
            pass
    return s.decode("ascii", "ignore")


# -- header, directory, block types -------------------------------------------

def _decode_blockType(word):
    return tuple((word >> shift) & mask for shift, mask in FIELDS)


def isVeskFile(path):
    # Unbuffered, so that a pipe gives up the four bytes of the magic number
    # and no more; a descriptor is read from its file's start.
    with _open(path, "rb", 0) as f:
        if f.seekable():
            f.seek(0)
        head = b""
        while len(head) < 4:
            part = f.read(4 - len(head))
            if not part:
                break
            head += part
        try:
            magicNum = struct.unpack(">i", head)[0]
        except struct.error:
            return False
    return magicNum == MAGIC


def _read_directory(path):
    with _open(path, "rb") as f:
        f.seek(4)
        readDouble(f)
        dirOffset = readInt(f)
        readInt(f)
        count = readInt(f)
        f.seek(dirOffset)
        directory = []
        extOffset = None
        for _ in range(count):
            word, size, offset = readInt(f), readInt(f), readInt(f)
            types = _decode_blockType(word)
            directory.append((types, size, offset))
            if types[5] == 64:
                extOffset = offset
        if extOffset:
            f.seek(extOffset)
            m = readInt64(f)
            readInt64(f)
            for _ in range(m):
                word, size, offset = readInt64(f), readInt64(f), readInt64(f)
                readInt64(f)
                directory.append((_decode_blockType(word), size, offset))
    return directory


# -- listing ------------------------------------------------------------------

DATA_TYPES = [None, "SC", "IFG", "PH", "AB", "TR", "KM", "TRC", None, None, "RAM", "EMIS",
              "REFL", None, "POW", "LREFL", "ATR", "PAS", "TRARI", "ABARI"]
DERIVATIVES = ["NONE", "1DER", "2DER", "NDER"]


def listContents(path):
    if not isVeskFile(path):
        raise ValueError("Can't process a non-Vesk file")
    types = [entry[0] for entry in _read_directory(path)]

    def translate_block(db, prefix=""):
        if db[2] != 0:
            return None
        suffix, dtype = "", db[3]
        if db[3] > 32:
            dtype, suffix = dtype - 32, "-CH2"
        name = DATA_TYPES[dtype]
        if name is not None:
            name = prefix + name + suffix
        dimensions = "3D" if db[5] == 10 else "2D"
        derivative = DERIVATIVES[db[4]]
        return (name, dimensions, derivative) if name else None

    keys = [translate_block(t) for t in types if t[1] == 3]
    keys += [translate_block(t, "S") for t in types if t[1] == 1]
    keys += [translate_block(t, "R") for t in types if t[1] == 2]
    keys += [translate_block(t) for t in types if t[3] == 7]
    return [k for k in keys if k is not None]


# -- parameter blocks ---------------------------------------------------------

def getParams(f, offset):
    params = {}
    f.seek(offset)
    while True:
        s = f.read(4).decode().strip("\x00")
        if s == "END":
            return params
        v1, v2 = readShort(f), readShort(f)
        if v1 == 0:
            value = readInt(f)
        elif v1 == 1:
            value = readDouble(f)
        elif v1 in (2, 3, 4):
            value = decode_string(f.read(2 * v2).split(b"\x00", 1)[0])
        else:
            raise ValueError("Unexpected value for reading parameter type: %d" % v1)
        params[s] = value


# -- data block selection and 2D spectra --------------------------------------

FIRST_CHANNEL = [("REFL", 12, -1), ("RAM", 10, -1), ("SPOW", 14, 1), ("RPOW", 14, 2),
                 ("RPH", 3, 2), ("SPH", 3, 1), ("PAS", 17, -1), ("LREFL", 15, -1),
                 ("KM", 6, -1), ("SIFG", 2, 1), ("RIFG", 2, 2), ("TR", 5, -1),
                 ("EMIS", 11, -1), ("ATR", 16, -1), ("TRARI", 18, -1), ("ABARI", 19, -1),
                 ("AB", 4, -1), ("TRC", 7, -1), ("SSC", 1, 1), ("RSC", 1, 2)]
DATA_BLOCKS = {name: (data, sample) for name, data, sample in FIRST_CHANNEL}
DATA_BLOCKS.update({name + "-CH2": (data + 32, sample) for name, data, sample in FIRST_CHANNEL})
DERIVS = {"NONE": 0, "1DER": 1, "2DER": 2, "NDER": 3}
SINGLE_DESCRIPTION = (
    "This object contains:\n\tdimension of file (.dimension)\n\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n\tdictionary of parameters with parameter name then "
    "value (.parameters)\n\tspectrum x coordinates (.x)\n\tminimum and maximum y values "
    "(.minY and .maxY)\n\ty data points (.y)\n")


class ThreeD(Exception):
    """The key names a 3D block; the reference stops after the front half."""


def find_offsets(directory, Data, Sample, Extend, Derivative):
    found = dict.fromkeys(("data", "params", "original", "acq", "inst", "optics", "sample",
                           "ft", "anno"), -1)
    for (_c, st, pt, dt, dv, et), _size, byteOffset in directory:
        sample_ok = st == Sample or Sample == -1
        if dt == Data and dv == Derivative and et == Extend and sample_ok:
            if pt == 0:
                found["data"] = byteOffset
            elif pt == 1:
                found["params"] = byteOffset
        elif dt == Data and dv == 0 and et == Extend and sample_ok:
            if pt == 1:
                found["original"] = byteOffset
        elif pt == 3:
            found["acq"] = byteOffset
        elif pt == 2:
            if st == Sample or (st == 0 and Sample in (1, -1)):
                found["inst"] = byteOffset
        elif pt == 6:
            if st == Sample or (st == 0 and Sample in (1, -1)):
                found["optics"] = byteOffset
        elif pt == 10:
            found["sample"] = byteOffset
        elif pt == 4:
            found["ft"] = byteOffset
        elif et == 11:
            found["anno"] = byteOffset
    return found


def getVeskData(path, datablock):
    if path is not None and type(path) is not str:
        raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                        % ("path", "str", _type_name(path)))
    dataBlockType = datablock[0].upper()
    dimensions = datablock[1].upper()
    deriv = datablock[2].upper()
    if dimensions not in ("2D", "3D"):
        raise ValueError("Incorrect dimensions: " + dimensions
                         + ". Dimensions need to be either 2D or 3D")
    if dataBlockType not in DATA_BLOCKS:
        raise ValueError("Invalid data block type: " + dataBlockType
                         + ". Please enter a valid entry from the following: "
                         + "REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, "
                         "EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC")
    if deriv not in DERIVS:
        raise ValueError("Invalid deriv type: " + deriv
                         + ".  Please select from the following: 1DER, 2DER, NDER or NONE")
    if not isVeskFile(path):
        raise ValueError("Can't process a non-Vesk file")
    directory = _read_directory(path)
    with _open(path, "rb") as f:
        Data, Sample = DATA_BLOCKS[dataBlockType]
        found = find_offsets(directory, Data, Sample, 10 if dimensions == "3D" else 0,
                             DERIVS[deriv])
        if found["data"] == -1 or found["params"] == -1:
            raise ValueError("No data block exists in the file for: %s %s %s"
                             % (dataBlockType, dimensions, deriv))
        parameters = getParams(f, found["params"])
        for name in ("acq", "inst", "optics", "sample", "ft"):
            if found[name] != -1:
                parameters.update(getParams(f, found[name]))
        NPT, FXV, LXV = parameters["NPT"], parameters["FXV"], parameters["LXV"]
        MXY, MNY = parameters["MXY"], parameters["MNY"]
        size = os.path.getsize(path)
        _bound_axis("NPT", NPT, size, FXV, LXV)
        abscissa = np.linspace(FXV, LXV, NPT)
        common = [("dimension", dimensions), ("dataType", dataBlockType), ("derivative", deriv),
                  ("parameters", parameters), ("x", abscissa), ("minY", MNY), ("maxY", MXY)]
        if dimensions == "3D":
            store_table = get3DStoreTable(f, found["data"])
            offsets = get3DOffsetsDict(store_table, size)
            if not MAP_KEYS <= set(parameters):
                if found["anno"] != -1:
                    return multiregion(f, dataBlockType, store_table, offsets, NPT,
                                       found["anno"], common)
                return time_series(f, dataBlockType, store_table, offsets, NPT, common)
            return image_map(f, parameters, found, deriv, dataBlockType, store_table, offsets,
                             NPT, size, common)
        f.seek(found["data"])
        ordinate = np.fromfile(f.raw, dtype=np.float32, count=NPT)
    return {"__class__": "SingleDataReturn",
            "__attrs__": [("y", ordinate)] + common + [("description", SINGLE_DESCRIPTION)]}


def _bound_axis(key, count, size, *ends):
    numbers = all(type(v) in (int, float) for v in ends)
    if numbers and isinstance(count, int) and count * 8 > AXIS_BYTES_BASE + 4 * size:
        raise Refused("axis", ValueError, "%s declares %d values of 8 bytes; a file of %d bytes "
                      "cannot hold them" % (key, count, size))


# -- 3D store table and image maps --------------------------------------------

MAP_KEYS = {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"}
MAP_HEAD = ("\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n")
MAP_GRID = ("\t\t\tMap x\n\t\t  x1  x2  x3  x4...xn\nMap y\t\ty1\n\t\ty2\n\t\ty3\n\t\t.\n\t\t.\n"
            "\t\tyn\n\t\n")
IMAGE_DESCRIPTION = (
    SINGLE_DESCRIPTION[:-len("\ty data points (.y)\n")] + MAP_HEAD
    + "\t3D numpy array containing the spectrum associated with the x and y mapping "
    "coordinates (.spectra)\n" + MAP_GRID
    + "\taccess the spectrum with returnedObject.spectra[row][column]\n")
IMAGE_TRC_DESCRIPTION = (
    SINGLE_DESCRIPTION[:-len("\ty data points (.y)\n")] + MAP_HEAD
    + "\ta list containing the names of the trace blocks (.labels)\n"
    "\t3D numpy array containing the trace values associated with the x and y mapping "
    "coordinates (.traces)\n" + MAP_GRID
    + "\taccess the trace maps with returnedObject.traces[:,:,label index]\n")


def get3DStoreTable(f, offsetToData):
    f.seek(offsetToData)
    version, storedBlocks, rawOffset = readInt(f), readInt(f), readInt(f)
    blockSize, infoSize, numberEntries = readInt(f), readInt(f), readInt(f)
    table = []
    i = 0
    while i < numberEntries:
        first = readInt(f)
        table.append((first, readInt(f)))
        i += 1
    return dict(version=version, stored_blocks=storedBlocks,
                block_offset=rawOffset + offsetToData, block_size=blockSize,
                info_size=infoSize, number_of_entries=numberEntries, store_table=table)


# Blocks past this many, beyond what the file's bytes could hold, make the
# core refuse a table rather than walk it (see `known`).
BLOCK_SLACK = 65536


def get3DOffsetsDict(st, size):
    """The offsets in the dictionary's order.

    A table that names more blocks than a file of `size` bytes could hold
    (each at least 4 bytes apart) is refused as the core refuses it: walking
    it would build a dictionary of up to 2**32 entries.
    """
    count = sum(b - a + 1 for a, b in st["store_table"] if a != -1 and b >= a)
    stride = st["block_size"] + st["info_size"]
    if count > max(size, 0) // max(stride, 4) + BLOCK_SLACK:
        raise Refused("store table", struct.error,
                      "3D store table names %d stored blocks of %d bytes; a file of %d bytes "
                      "cannot hold them" % (count, stride, size))
    d = {}
    offset = st["block_offset"]
    for first, second in st["store_table"]:
        if first == -1:
            offset += second
            continue
        for n in range(first, second + 1):
            d[n] = offset
            offset += stride
    return d


def readFloat(f):
    return _read(f, "<f", 4)


STR_ANNO_DATA_TYPE = range(1000, 1100)

# Warnings a reference call issues before it gives up comparing: a table of
# unknown cells declaring millions of rows warns that often in the core, up to
# a budget (see `known`).
WARNINGS_COMPARED = 20000


ROW_SLACK = 4096


def _believe_rows(sub_offset, rows, start, step, col_list, strlen, size):
    """A long table is read only as far as the file can hold its rows.

    Rows that do not advance, or whose cells would be read over and over
    without a number cell ever running past the end of the file, would run
    the loop (and fill lists) long after the data has ended: the core
    refuses them before the first row.
    """
    if step <= 0:
        raise Refused("rows", ValueError, "annotation table at offset %d declares %d rows of %d "
                      "bytes" % (sub_offset, rows, step))
    consumed, numbers, texts = 0, False, False
    for _name, _col_f, col_type in col_list:
        if col_type == 4 or col_type == 5:
            consumed, numbers = consumed + 4, True
        elif col_type in STR_ANNO_DATA_TYPE:
            texts = True
            consumed += max(strlen, 0) if type(strlen) is int else 0
    meet_the_end = numbers and consumed <= step and start >= 0
    fails_at_once = texts and type(strlen) is not int
    per_row, room = max(step, consumed), max(size - start, 0)
    if not meet_the_end and not fails_at_once and (start < 0 or rows > room // per_row):
        raise Refused("rows", struct.error, "annotation table at offset %d declares %d rows of %d "
                      "bytes; the file holds %d bytes after them" % (sub_offset, rows, per_row,
                                                                      room))


def getANNOTable(f, offset):
    annotations = {}
    warned = 0
    param_dir = getParams(f, offset + 12)
    for img in range(param_dir["NRP"]):
        p_img_offset = param_dir["F{0:02d}".format(img)]
        param_img = getParams(f, offset + p_img_offset)
        if "SRC" not in param_img:
            continue
        anno_offset = offset + p_img_offset + param_img["SIZ"]
        col_list, rowlen, strlen = [], param_img["SRC"], -1
        for i in range(param_img["NCO"]):
            n = "{0:02d}".format(i)
            col = (param_img["S" + n], param_img["F" + n], param_img["T" + n])
            col_list.append(col)
            annotations[col[0]] = []
            if col[2] in STR_ANNO_DATA_TYPE and rowlen - col[1] > strlen:
                strlen = rowlen - col[1]
        rows = param_img["NLN"]
        if type(rows) is int and rows > ROW_SLACK and type(anno_offset) is int \
                and type(rowlen) is int:
            _believe_rows(offset + p_img_offset, rows, anno_offset, rowlen, col_list, strlen,
                          os.fstat(f.raw.fileno()).st_size)
        for i in range(rows):
            f.seek(anno_offset + i * rowlen)
            for name, _col_f, col_type in col_list:
                if col_type == 4:
                    value = readInt(f)
                elif col_type == 5:
                    value = readFloat(f)
                elif col_type in STR_ANNO_DATA_TYPE:
                    value = decode_string(f.read(strlen).split(b"\x00", 1)[0])
                else:
                    warned += 1
                    if warned > WARNINGS_COMPARED:
                        raise Refused("warnings")
                    warnings.warn("Unknown annotation data type {0}".format(col_type),
                                  RuntimeWarning)
                    # what such a cell adds is the core's choice: None, nothing read
                    value = None
                annotations[name].append(value)
    return annotations


MULTI_DESCRIPTION = (
    SINGLE_DESCRIPTION[:-len("\ty data points (.y)\n")]
    + "\tlist of regions (.regions)\n\n\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n\t\tx mapping coordinates array (mapX)\n"
    "\t\ty mapping coordinates array (mapY)\n\t\ttimestamps of spectrum acquisition array "
    "(start_time)\n\t\t2D array containing spectra in the region (spectra)\n\t\taccess a "
    "spectrum with\n\t\t\treturnedObject.regions[region index].spectra[row]")
MULTI_TRC_DESCRIPTION = (
    SINGLE_DESCRIPTION[:-len("\ty data points (.y)\n")]
    + "\ta list containing the names of the trace blocks (.labels)\n\tlist of regions "
    "(.regions)\n\n\teach region is a Region object containing:\n\t\tdescription of region "
    "(title)\n\t\tx mapping coordinates array (mapX)\n\t\ty mapping coordinates array "
    "(mapY)\n\t\t2D array containing traces in the region (spectra)\n\t\taccess the traces "
    "for a position with\n\t\t\treturnedObject.regions[region index].spectra[row]")


def output_limit(size):
    """Bytes of arrays the core builds at most from a file of `size` bytes."""
    return (32 << 20) + 4 * max(size, 0)


# The regions of the last call whose points were all read: (group, points,
# bytes their arrays declare together with the regions before them).
REGIONS_DECLARED = []
# Of each region of spectra read: its group, a byte per point (1 where a stored
# spectrum fills it) and the table's x and y of each other point (NaN where the
# table gives no number), for judging vesk's region helpers.
REGION_FILLS = []


def _group_number(g):
    """A group as the 32-bit int it is taken as; what is no integer is refused so."""
    g = operator.index(g)
    if not -2 ** 31 <= g < 2 ** 31:
        raise OverflowError("value too large to convert to int")
    return g


def _table_number(cell):
    """An annotation cell as a place, as a point's place is taken; NaN where it is none."""
    place = np.zeros(1)
    try:
        place[0] = cell
    except (TypeError, ValueError, OverflowError):
        return np.nan
    return place[0]


def _text_size_bounded(group, NPX, NPY, size):
    """A text cell times a count is a text as long as the file may fill, or refused:
    numpy would refuse it as a size by its length, once the text was made."""
    pair = (NPX, NPY) if type(NPX) is str else (NPY, NPX)
    if type(pair[0]) is not str or type(pair[1]) is not int:
        return
    chars = len(pair[0]) * max(pair[1], 0)
    widest = max(map(ord, pair[0]), default=0)
    if chars * (1 if widest < 256 else 2 if widest < 65536 else 4) > output_limit(size):
        raise Refused("region size", ValueError, "annotation table gives region %d a size of "
                      "text, %d characters; a file of %d bytes cannot hold that"
                      % (group, chars, size))


def multiregion(f, dataBlockType, st, offsets, NPT, offsetToANNO, common):
    a = getANNOTable(f, offsetToANNO)
    groups = a["Group"]
    map_groups = []
    for g in set(groups):
        g = _group_number(g)
        map_groups.append((g, groups.index(g)))
    trace = dataBlockType == "TRC"
    if trace:
        traces, labels = [], []
        for offset in offsets.values():
            f.seek(offset)
            traces.append(np.fromfile(f.raw, dtype=np.float32, count=NPT))
            f.seek(152, 1)
            labels.append(decode_string(f.read(st["info_size"] - 152).split(b"\x00", 1)[0]))
        traces = np.vstack(traces)
    width = traces.shape[0] if trace else NPT
    declared = 0
    regions = []
    for map_region, j in map_groups:
        if a["Type"][j] != 0:
            continue
        NPX, NPY = a["AryNX"][j], a["AryNY"][j]
        _text_size_bounded(map_region, NPX, NPY, os.fstat(f.raw.fileno()).st_size)
        NSPEC = NPX * NPY
        if NSPEC == 0 and a["AryType"][j] == 0:
            NSPEC = groups.count(map_region)
            title = "Region {0} ({1} points)".format(map_region, NSPEC)
        else:
            title = "Region {0} ({1} x {2})".format(map_region, NPX, NPY)
        if type(NSPEC) is not int:
            # no count: numpy and range() refuse it where the statements meet it
            np.zeros(NSPEC)
            np.zeros((NSPEC, width))
            range(NSPEC)
        if NSPEC < 0:
            np.zeros(NSPEC)  # numpy's own refusal
        fits = NSPEC <= len(a.get("Fileindex", ())) - j
        if fits:
            declared += NSPEC * (width * 4 + (16 if trace else 24))
        # The points are gathered before the arrays are made, so that a region
        # whose points run past the table fails as the loop would, without
        # arrays for points that cannot exist.
        points, cell, row = [], np.zeros(1), np.zeros((1, NPT), dtype=np.float32)
        filled, places = bytearray(), []
        for n in range(NSPEC):
            i = j + n
            findex = a["Fileindex"][i]
            filled.append(trace or findex in offsets)
            if not trace and findex not in offsets:
                places += [_table_number(a["X"][i]), _table_number(a["Y"][i])]
                continue
            cell[0] = a["X"][i]
            x = cell[0]
            cell[0] = a["Y"][i]
            y = cell[0]
            if trace:
                points.append((n, x, y, traces[:, findex - 1], None))
                continue
            f.seek(offsets[findex])
            row[0] = _one_value_refused(np.fromfile(f.raw, dtype=np.float32, count=NPT), NPT)
            values = row[0].copy()
            f.seek(136, 1)
            points.append((n, x, y, values, readDouble(f)))
        REGION_FILLS.append((map_region, bytes(filled), np.array(places, dtype=np.float64)))
        if fits:  # its points read, the region may be refused for what its arrays declare
            REGIONS_DECLARED.append((map_region, NSPEC, declared))
        try:
            mapX, mapY = np.zeros(NSPEC), np.zeros(NSPEC)
            arr = np.zeros((NSPEC, width), dtype=np.float32)
            start_time = None if trace else np.zeros(NSPEC)
        except MemoryError:
            raise Refused("region size")
        for n, x, y, values, t in points:
            mapX[n], mapY[n], arr[n] = x, y, values
            if not trace:
                start_time[n] = t
        regions.append([("title", title), ("mapX", mapX), ("mapY", mapY),
                        ("start_time", start_time), ("spectra", arr)])
    regions = [{"__class__": "Region", "__attrs__": r} for r in regions]
    if trace:
        return {"__class__": "MultiRegionTRCDataReturn",
                "__attrs__": [("labels", labels), ("regions", regions)] + common
                + [("description", MULTI_TRC_DESCRIPTION)]}
    return {"__class__": "MultiRegionDataReturn",
            "__attrs__": [("regions", regions)] + common + [("description", MULTI_DESCRIPTION)]}


SERIES_DESCRIPTION = (
    SINGLE_DESCRIPTION[:-len("\ty data points (.y)\n")]
    + "\tz (time) axis coordinates (.z)\n\t2D numpy array containing the spectrum associated "
    "with the z time coordinates (.spectra)\n\taccess the spectrum with "
    "returnedObject.spectra[z]\n")
SERIES_TRC_DESCRIPTION = (
    SINGLE_DESCRIPTION[:-len("\ty data points (.y)\n")]
    + "\ta list containing the names of the trace blocks (.labels)\n\t2D numpy array "
    "containing trace values (.traces)\n\taccess the trace with "
    "returnedObject.traces[label index]\n")


def time_series(f, dataBlockType, st, offsets, NPT, common):
    rows, extra = [], []
    for offset in offsets.values():
        f.seek(offset)
        rows.append(np.fromfile(f.raw, dtype=np.float32, count=NPT))
        if dataBlockType == "TRC":
            f.seek(152, 1)
            extra.append(decode_string(f.read(st["info_size"] - 152).split(b"\x00", 1)[0]))
        else:
            f.seek(136, 1)
            extra.append(readDouble(f))
    if dataBlockType == "TRC":
        return {"__class__": "TimeResolvedTRCDataReturn",
                "__attrs__": [("labels", extra), ("traces", np.vstack(rows))] + common
                + [("description", SERIES_TRC_DESCRIPTION)]}
    spectra = np.vstack(rows)
    return {"__class__": "TimeResolvedDataReturn",
            "__attrs__": [("z", np.array(extra)), ("spectra", spectra)] + common
            + [("description", SERIES_DESCRIPTION)]}


def _one_value_refused(values, NPT):
    if len(values) == 1 and NPT != 1:
        # one value left is refused as a shorter read is, not spread over the spectrum
        raise ValueError("could not broadcast input array from shape (1,) into shape (%d,)"
                         % NPT)
    return values


def _map_axis(origin, step, points):
    # Text repeated points - 1 times fails the axis just as text repeated
    # once does; repeating it once spares the judge gigabytes of text.
    repeats = points - 1
    if isinstance(step, str) and isinstance(repeats, int) and repeats > 1:
        repeats = 1
    return np.linspace(origin, origin + step * repeats, points)


def image_map(f, parameters, found, deriv, dataBlockType, st, offsets, NPT, size, common):
    AOX, AOY, DDX, DDY = (parameters[k] for k in ("AOX", "AOY", "DDX", "DDY"))
    NPX, NPY = parameters["NPX"], parameters["NPY"]
    if deriv != "NONE" and (NPX == 0 or NPY == 0):
        print("Orignal mapping coordinates used")
        original = getParams(f, found["original"])
        AOX, AOY, DDX, DDY, NPX, NPY = (original[k] for k in
                                        ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY"))
        for k in ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY"):
            parameters[k] = original[k]
    # x is built in full before y is looked at: a y no file could hold is
    # refused only once x has been built (or has failed on its own)
    _bound_axis("NPX", NPX, size, AOX, DDX)
    mapX = _map_axis(AOX, DDX, NPX)
    _bound_axis("NPY", NPY, size, AOY, DDY)
    mapY = _map_axis(AOY, DDY, NPY)
    if dataBlockType == "TRC":
        traces, labels = [], []
        for offset in offsets.values():
            f.seek(offset)
            traces.append(np.fromfile(f.raw, dtype=np.float32, count=NPT).reshape(NPY, NPX))
            f.seek(152, 1)
            labels.append(decode_string(f.read(st["info_size"] - 152).split(b"\x00", 1)[0]))
        return {"__class__": "ImageTRCDataReturn",
                "__attrs__": [("mapX", mapX), ("mapY", mapY), ("labels", labels),
                              ("traces", np.dstack(traces))] + common
                + [("description", IMAGE_TRC_DESCRIPTION)]}
    spectrumArray = np.zeros((NPY, NPX, NPT), dtype=np.float32)
    image_blocks = st["block_size"] == 4 * NPT
    transposed = st["stored_blocks"] == NPT
    offsets = list(offsets.values())
    if image_blocks == transposed:
        # no block is read, but each is sought
        for offset in offsets:
            f.seek(offset)
        offsets = ()
    for i, offset in enumerate(offsets):
        f.seek(offset)
        if image_blocks and not transposed:
            col, row = i % NPX, i // NPX
            values = np.fromfile(f.raw, dtype=np.float32, count=NPT)
            spectrumArray[row][col] = _one_value_refused(values, NPT)
        elif transposed and not image_blocks:
            plane = np.fromfile(f.raw, dtype=np.float32, count=NPY * NPX).reshape(NPY, NPX)
            spectrumArray[:, :, i] = plane
    return {"__class__": "ImageDataReturn",
            "__attrs__": [("mapX", mapX), ("mapY", mapY), ("spectra", spectrumArray)] + common
            + [("description", IMAGE_DESCRIPTION)]}


# -- data-return classes, as the module makes them at import ----------------

BASE_DESCRIPTION = SINGLE_DESCRIPTION[:-len("\ty data points (.y)\n")]


class BaseDataReturn(object):
    __doc__ = DOCS["BaseDataReturn"]

    def __init__(self, dimension, dataType, deriv, parameters, x, minY, maxY):
        self.dimension = dimension
        self.dataType = dataType
        self.derivative = deriv
        self.parameters = parameters
        self.x = x
        self.minY = minY
        self.maxY = maxY
        self.description = BASE_DESCRIPTION

    def __str__(self):
        return self.description

    def __repr__(self):
        return self.description


class SingleDataReturn(BaseDataReturn):
    __doc__ = DOCS["SingleDataReturn"]

    def __init__(self, y, **kwds):
        self.y = y
        super().__init__(**kwds.copy())
        self.description = self.description + SINGLE_DESCRIPTION[len(BASE_DESCRIPTION):]


class ImageDataReturn(BaseDataReturn):
    __doc__ = DOCS["ImageDataReturn"]

    def __init__(self, mapX, mapY, spectra, **kwds):
        self.mapX = mapX
        self.mapY = mapY
        self.spectra = spectra
        super().__init__(**kwds.copy())
        self.description = self.description + IMAGE_DESCRIPTION[len(BASE_DESCRIPTION):]


class ImageTRCDataReturn(BaseDataReturn):
    __doc__ = DOCS["ImageTRCDataReturn"]

    def __init__(self, mapX, mapY, labels, traces, **kwds):
        self.mapX = mapX
        self.mapY = mapY
        self.labels = labels
        self.traces = traces
        super().__init__(**kwds.copy())
        self.description = self.description + IMAGE_TRC_DESCRIPTION[len(BASE_DESCRIPTION):]


class TimeResolvedDataReturn(BaseDataReturn):
    __doc__ = DOCS["TimeResolvedDataReturn"]

    def __init__(self, z, spectra, **kwds):
        self.z = z
        self.spectra = spectra
        super().__init__(**kwds.copy())
        self.description = self.description + SERIES_DESCRIPTION[len(BASE_DESCRIPTION):]


class TimeResolvedTRCDataReturn(BaseDataReturn):
    __doc__ = DOCS["TimeResolvedTRCDataReturn"]

    def __init__(self, labels, traces, **kwds):
        self.labels = labels
        self.traces = traces
        super().__init__(**kwds.copy())
        self.description = self.description + SERIES_TRC_DESCRIPTION[len(BASE_DESCRIPTION):]


class MultiRegionDataReturn(BaseDataReturn):
    __doc__ = DOCS["MultiRegionDataReturn"]

    def __init__(self, regions, **kwds):
        self.regions = regions
        super().__init__(**kwds.copy())
        self.description = self.description + MULTI_DESCRIPTION[len(BASE_DESCRIPTION):]


class Region(object):
    __doc__ = DOCS["Region"]

    def __init__(self, title, mapX, mapY, start_time, spectra):
        self.title = title
        self.mapX = mapX
        self.mapY = mapY
        self.start_time = start_time
        self.spectra = spectra

    def __repr__(self):
        return self.title


class MultiRegionTRCDataReturn(BaseDataReturn):
    __doc__ = DOCS["MultiRegionTRCDataReturn"]

    def __init__(self, labels, regions, **kwds):
        self.labels = labels
        self.regions = regions
        super().__init__(**kwds.copy())
        self.description = self.description + MULTI_TRC_DESCRIPTION[len(BASE_DESCRIPTION):]


DATA_CLASSES = ("BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
                "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn",
                "Region", "MultiRegionTRCDataReturn")


# -- visible images -----------------------------------------------------------

def imghdr_what(h):
    if h[6:10] in (b"JFIF", b"Exif"):
        return "jpeg"
    if h[:4] == b"\xff\xd8\xff\xdb":
        return "jpeg"
    if h.startswith(b"\x89PNG\r\n\x1a\n"):
        return "png"
    if h[:6] in (b"GIF87a", b"GIF89a"):
        return "gif"
    if h.startswith(b"BM"):
        return "bmp"
    return None


def letter_index(number):
    d, m = divmod(number, 26)
    letter = chr(65 + m)
    return letter_index(d - 1) + letter if d != 0 else letter


def image_key(i):
    if i < 100:
        return "{0:02d}".format(i)
    if i < 126:
        return "A" + letter_index(i - 100)
    return letter_index(i - 100 + 26)


class _CycleGuard:
    """Brent's cycle detection on the scan's state (position, directory so far).

    The next step depends on that state alone, so a state seen before means
    the scan would go round for ever; a position seen again with another
    directory goes on. The state kept is the one of step 1, 2, 4, 8, ...
    after the last save, as the core keeps it, so that both stop at the same step.
    """

    def __init__(self):
        self.saved, self.power, self.steps = None, 1, 0

    def repeats(self, position, directory):
        state = (position, [(k, type(v), struct.pack("<d", v) if type(v) is float else v)
                            for k, v in directory.items()])
        if self.saved == state:
            return True
        if self.steps == self.power:
            self.saved, self.power, self.steps = state, self.power * 2, 0
        self.steps += 1
        return False


class _ChainWork:
    """What a directory chain may cost: each step the 16 bytes searched and the
    bytes it parses, within 4 MiB and 16 times the file's size."""

    def __init__(self, size):
        self.size, self.left, self.steps = size, (4 << 20) + 16 * max(size, 0), 0

    def step(self, parsed):
        cost = 16 + max(parsed, 0)
        self.steps += 1
        if cost > self.left:
            raise Refused("image directory chain", ValueError,
                          "image directory chain runs on for more than %d steps; a file of %d "
                          "bytes cannot hold that many directory blocks" % (self.steps, self.size))
        self.left -= cost


class _ImageBudget:
    """What pictures may build: sub-blocks and image bytes that several keys
    name are made once; what is made from distinct ones stays within the
    file's bound, as the core counts it (each image's entries 16 bytes)."""

    def __init__(self, size):
        self.size, self.left = size, output_limit(size)
        self.starts, self.reads = set(), set()

    def _spend(self, cost, declared):
        if cost > self.left:
            raise Refused("pictures", ValueError, "%s; a file of %d bytes cannot hold that"
                          % (declared, self.size))
        self.left -= max(cost, 0)

    def sub_block(self, start, parsed, i, entries):
        if type(start) is int and start not in self.starts:
            self.starts.add(start)
            self._spend(parsed, "image sub-blocks overlap: %d of them, the last %d bytes long"
                        % (len(self.starts), parsed))
        self._spend(16 * entries, "%d images of up to %d attributes each" % (i + 1, entries))

    def image_bytes(self, at, asked, count):
        if type(asked) is not int or asked < -1 or (at, asked) in self.reads:
            return
        self.reads.add((at, asked))
        n = max(self.size - at, 0) if asked == -1 else count
        self._spend(n, "images overlap: %d distinct images, the last %d bytes long"
                    % (len(self.reads), n))


def getVisImages(path):
    if path is not None and type(path) is not str:
        raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                        % ("path", "str", _type_name(path)))
    directory = _read_directory(path)
    blocks = [entry for entry in directory if entry[0][5] == 20]
    if not blocks:
        return []
    offset, block_size = blocks[0][2], blocks[0][1] * 4
    size = os.path.getsize(path)
    with _open(path, "rb") as f:
        param_dir = {}
        f.seek(offset)
        guard, work = _CycleGuard(), _ChainWork(size)
        img00_at = None
        while f.raw.tell() != offset + block_size:
            cur_offset = f.raw.tell()
            if guard.repeats(cur_offset, param_dir):
                break  # back in a state it was in: the scan would go round for ever
            at = f.read(16).find(b"BID")
            if at == -1:
                break
            found = getParams(f, cur_offset + at)
            parsed = f.raw.tell() - (cur_offset + at)
            if "BID" in found and _decode_blockType(found["BID"])[5] == 20:
                param_dir.update(found)
            candidate = offset + param_dir["F00"]
            found = getParams(f, candidate)
            if candidate != img00_at:  # the same block again costs nothing more
                parsed += f.raw.tell() - candidate
                img00_at = candidate
            if "BID" in found and _decode_blockType(found["BID"])[5] == 20:
                param_dir.update(found)
            work.step(parsed)
            last = image_key(param_dir["NRP"] - 1)
            end = offset + param_dir["F" + last] + param_dir["Z" + last]
            if cur_offset == end:
                break
            f.seek(end)
        images = []
        budget = _ImageBudget(size)
        for i in range(param_dir["NRP"]):
            key = image_key(i)
            image = {}
            start = offset + param_dir["F" + key]
            param_img = getParams(f, start)
            budget.sub_block(start, f.raw.tell() - start, i, len(param_img))
            for k in [k for k in param_img if k[0] == "H"]:
                if k == "H00":
                    image["Title"] = param_img[k]
                else:
                    new_key = param_img[k].rstrip(":")
                    image[new_key] = param_img[k.replace("H", "V")]
            anno_offset = start + param_img["SIZ"]
            f.seek(anno_offset)
            if param_img["T00"] == 9:
                f.seek(anno_offset + param_img["F00"])
                count = image["Bytes"]
                if type(count) is int and count > 0:  # what is there, without asking for more
                    count = min(count, max(size - f.raw.tell(), 0))
                budget.image_bytes(f.raw.tell(), image["Bytes"], count)
                data = f.read(count)
                if image["Type"] == 258:
                    data = data[14:]
                image["image"] = data
                image["imgext"] = imghdr_what(data)
            images.append(image)
    return images


# -- the module's functions as they present themselves ------------------------

def help():
    for line in HELP_LINES:
        print(line)


FUNCTIONS = ("help", "listContents", "isVeskFile", "decode_string", "getVeskData",
             "imghdr_what", "getVisImages", "VeskDict")


def function_facts(module, name):
    """What a public function says of itself: names, documentation, signature, defaults."""
    import inspect
    fn = getattr(module, name)
    return [fn.__name__, fn.__qualname__, fn.__doc__, str(inspect.signature(fn)),
            getattr(fn, "__defaults__", None)]


# -- driver -------------------------------------------------------------------

def seed_files(vw, w3, wi):
    """Writer-made files that reach every rule of the listing, selection and 2D read."""
    yield vw.spectrum_file(
        [1.0, 2.0, 3.0, -4.5], params={"DXU": "WN", "TXT": b"a\xb5b".decode("latin1")},
        extra_params=[(2, {"INS": "x", "NPT": 4}), (3, {"AQM": "SD", "MXY": 7.0}),
                      (6, {"APT": "1"}), (10, {"SNM": "s"}), (4, {"APF": "B3", "MNY": 2})]
    ).build()
    vf = vw.VeskFile()
    for st, dt, dv, ext in ((1, 1, 0, 0), (2, 1, 0, 0), (3, 36, 1, 0), (3, 36, 0, 0),
                            (1, 34, 0, 10), (0, 7, 0, 0), (3, 5, 2, 0)):
        values = [float(st + dt + k) for k in range(5)]
        vf.add(vw.float32_block(values), sample_type=st, data_type=dt, deriv_type=dv,
               extend_type=ext, extended=dt == 36)
        vf.add(vw.param_block({"NPT": 5, "FXV": 10.0, "LXV": 1.0, "MXY": 9.0, "MNY": 0.5}),
               sample_type=st, data_type=dt, deriv_type=dv, extend_type=ext, param_type=1)
    vf.add(vw.param_block({"INS": "ref"}), param_type=2, sample_type=2)
    vf.add(vw.param_block({"INS": "smp"}), param_type=2, sample_type=1)
    vf.add(vw.param_block({"OPT": "any"}), param_type=6, sample_type=0)
    vf.add(b"\0" * 16, extend_type=11)
    yield vf.build()
    raw = vw.param_block([vw.param_record("NPT", 3), vw.param_record("FXV", 1.0),
                          vw.param_record("LXV", 2.0), vw.param_record("MXY", 1),
                          vw.param_record("MNY", "lo"), vw.param_record("T3", "abc", 3, 4),
                          vw.param_record("T4", b"\xc2\xb5m", 4)])
    vf = vw.VeskFile()
    vf.add(vw.float32_block([float("nan"), 1.0, -0.0]), sample_type=3, data_type=5)
    vf.add(raw, sample_type=3, data_type=5, param_type=1)
    yield vf.build()
    geometry = {"NPT": 3, "FXV": 1.0, "LXV": 3.0, "MXY": 1.0, "MNY": 0.0, "AOX": 100,
                "AOY": -2.5, "DDX": 2.5, "DDY": 1.0, "NPX": 3, "NPY": 2}
    spectra = [w3.stored_block([k, k + 0.5, -k], block_size=12) for k in range(6)]
    yield w3.file_3d(w3.store_block(spectra, block_size=12), geometry).build()
    planes = [w3.stored_block([k * 10.0 + j for j in range(6)], block_size=24)
              for k in range(3)]
    yield w3.file_3d(w3.store_block(planes, entries=[(-1, 8), (0, 1), (5, 5)], block_size=24),
                     dict(geometry, NPX=0), deriv_type=1, original_params=geometry).build()
    traces = [w3.stored_block([float(j) for j in range(6)], block_size=24, name=name)
              for name in ("peak", b"a\xb5"[:2])]
    yield w3.file_3d(w3.store_block(traces, block_size=24), dict(geometry, NPT=6),
                     data_type=7).build()
    # directories: a later pointer to the extended directory wins, also when it is 0;
    # pointers inside the extended directory are not followed; words beyond 32 bits
    word = vw.block_word
    spec = vw.param_block({"NPT": 2, "FXV": 1.0, "LXV": 2.0, "MXY": 1.0, "MNY": 0.0})
    for last_pointer in (0, 1):
        head = vw.raw_header(24, 5)
        ext_at = 24 + 12 * 5
        ext = vw.ext_directory([(word(sample_type=1, data_type=7), 1, 0),
                                (word(extend_type=64), 0, 24),
                                ((1 << 40) | word(sample_type=3, data_type=4), 1, 24),
                                (-1, 2, 3, 4)])
        params_at = ext_at + len(ext)
        entries = [(word(sample_type=2, data_type=7), 1, 0),
                   (word(extend_type=64), 0, ext_at),
                   (word(sample_type=3, data_type=4), 2, params_at + len(spec)),
                   (word(sample_type=3, data_type=4, param_type=1), 2, params_at),
                   (word(extend_type=64), 0, ext_at if last_pointer else 0)]
        yield (head + vw.main_entries(entries) + ext + spec
               + vw.float32_block([7.0, float("-inf")]))
    pictures = [wi.picture("one", wi.JPEG, extra_attributes=[("Pos. X::", 1.5)]),
                wi.picture("two", b"\0" * 14 + wi.PNG, type_=258),
                wi.image_sub_block(title="three", attributes=[("Note", "x")], t00=3),
                wi.picture(None, wi.BMP, f00=4, gap=b"pad.")]
    payload, _entries = wi.image_block([{"images": pictures[:2]}, {"images": pictures[2:],
                                                                   "pad": 3}])
    vf = vw.spectrum_file([1.0, 2.0])
    wi.add_image_block(vf, payload)
    yield vf.build()
    many = [wi.picture("p%d" % k, [wi.BMP, wi.JPEG, b"x"][k % 3]) for k in range(104)]
    payload, _entries = wi.image_block([{"images": many[:60]}, {"images": many[60:], "pad": 2}])
    vf = vw.VeskFile()
    wi.add_image_block(vf, payload)
    yield vf.build()
    # a directory chain that goes back to its start: the scan stops where its
    # state (position, directory) comes back, with the later block's F00
    pic0, pic1 = wi.picture("zero", wi.BMP), wi.picture("one", wi.JPEG)

    def directory(f00, z00, mark):
        return wi.directory_block([("00", f00, z00)], 1, extra=[("XXX", mark)])
    d1_at = len(directory(0, 0, 0))
    p0 = d1_at + len(directory(0, 0, 1))
    p1 = p0 + len(pic0)
    vf = vw.VeskFile()
    wi.add_image_block(vf, directory(p0, d1_at - p0, 0) + directory(p1, -p1, 1) + pic0 + pic1)
    yield vf.build()
    series = {"NPT": 3, "FXV": 5.0, "LXV": 1.0, "MXY": 2.0, "MNY": -1.0, "ZTX": "s"}
    timed = [w3.stored_block([k, -k, 0.25], block_size=12, time=k * 1.5, name="t%d" % k)
             for k in range(4)]
    yield w3.file_3d(w3.store_block(timed, entries=[(3, 4), (-1, 20), (0, 1)], block_size=12),
                     series).build()
    named = [w3.stored_block([k, 1, 2, 3], block_size=16, name=name)
             for k, name in enumerate(["first", "", b"\xe9t\xe9"])]
    yield w3.file_3d(w3.store_block(named, block_size=16), dict(series, NPT=4),
                     data_type=7).build()
    yield w3.file_3d(w3.store_block(timed[:2], block_size=12), series, data_type=39).build()
    ints = w3.TYPE_INT
    columns = [("Group", ints), ("Type", ints), ("AryNX", ints), ("AryNY", ints),
               ("AryType", ints), ("Fileindex", ints), ("X", w3.TYPE_FLOAT),
               ("Y", w3.TYPE_FLOAT), ("Note", w3.TYPE_TEXT)]
    rows = [(2, 0, 2, 1, 0, 1, 1.5, 2.5, "a"), (2, 0, 2, 1, 0, 9, 3.5, 4.5, "b"),
            (5, 0, 0, 0, 0, 0, -1.0, 0.0, "c"), (5, 0, 0, 0, 0, 2, -2.0, 0.5, "d"),
            (7, 1, 0, 0, 0, 1, 0.0, 0.0, "e"), (3, 0, 0, 0, 1, 1, 0.0, 0.0, "f")]
    anno = w3.annotation_block([w3.table_subblock(columns, rows)])
    timed3 = [w3.stored_block([k, k + 1.0, k + 2.0], block_size=12, time=10.0 + k,
                              name="tr%d" % k) for k in range(3)]
    yield w3.file_3d(w3.store_block(timed3, block_size=12), series, anno=anno).build()
    yield w3.file_3d(w3.store_block(timed3, block_size=12), series, anno=anno,
                     data_type=7).build()
    # cells of unknown type, a warning each: a code past the texts', and a float code
    odd = columns[:6] + [("Odd", 1100)] + columns[6:] + [("Half", 7.5)]
    odd_rows = [row[:6] + (0,) + row[6:] + (0,) for row in rows]
    anno = w3.annotation_block([w3.table_subblock(odd, odd_rows),
                                w3.table_subblock([("Late", 9)], [(0,), (0,)])])
    yield w3.file_3d(w3.store_block(timed3, block_size=12), series, anno=anno).build()
    yield w3.file_3d(w3.store_block(timed3, block_size=12), series, anno=anno,
                     data_type=7).build()
    # names read past a short info part, block numbers named twice, odd keys and texts
    yield w3.file_3d(w3.store_block(traces, entries=[(0, 0), (-1, 4), (-2, -2)], block_size=24,
                                    info_size=151), dict(geometry, NPT=6), data_type=7).build()
    yield w3.file_3d(w3.store_block(spectra, entries=[(0, 2), (1, 1), (-1, 12), (3, 4)],
                                    block_size=12), dict(geometry, DDX=-1, NPY=3)).build()
    # cells that are no 32-bit int where numbers are taken: group numbers that are
    # floats, texts or cells of unknown type; float and text sizes, indexes, coordinates
    text = w3.TYPE_TEXT
    for group_type in (w3.TYPE_FLOAT, text, 7):
        cols = [("Group", group_type)] + columns[1:]
        cells = [(str(r[0]) if group_type == text else float(r[0]),) + r[1:] for r in rows]
        anno = w3.annotation_block([w3.table_subblock(cols, cells)])
        yield w3.file_3d(w3.store_block(timed3, block_size=12), series, anno=anno).build()
    shapes = [("Group", ints), ("Type", w3.TYPE_FLOAT), ("AryNX", w3.TYPE_FLOAT), ("AryNY", ints),
              ("AryType", ints), ("Fileindex", w3.TYPE_FLOAT), ("Y", w3.TYPE_FLOAT),
              ("X", text)]
    for nx in (2.0, 0.0):
        cells = [(4, 0.0, nx, 1, 0, 1.0, 2.5, "1.5"), (4, 0.0, nx, 1, 0, 3.0, SNAN_MARK, "-inf"),
                 (6, 0.0, 0.0, 0, 0, 2.0, 1.0, "1e400"), (6, 0, 0, 0, 0, -0.0, -0.0, "nan")]
        anno = w3.annotation_block([w3.table_subblock(shapes, cells)])
        for data_type in (4, 7):
            yield _signalling(w3.file_3d(w3.store_block(timed3, block_size=12), series,
                                         anno=anno, data_type=data_type).build())
    texts = columns[:6] + [("Y", w3.TYPE_FLOAT), ("X", text)]
    cells = [(1, 0, 1, 2, 0, 2, 0.5, "0x1p3"), (1, 0, 1, 2, 0, 0, 1.5, "one")]
    anno = w3.annotation_block([w3.table_subblock(texts, cells)])
    for data_type in (4, 7):
        yield w3.file_3d(w3.store_block(timed3, block_size=12), series, anno=anno,
                         data_type=data_type).build()
    # a text cell times a count as a size: numpy refuses it by its length
    sized = [c for c in columns[:6] if c[0] != "AryNX"] + [("X", w3.TYPE_FLOAT),
                                                           ("Y", w3.TYPE_FLOAT), ("AryNX", text)]
    cells = [(1, 0, 40, 0, 1, 0.0, 0.0, "ab"), (2, 0, 3, 0, 1, 0.0, 0.0, "")]
    for data_type in (4, 7):
        yield w3.file_3d(w3.store_block(timed3, block_size=12), series, data_type=data_type,
                         anno=w3.annotation_block([w3.table_subblock(sized, cells)])).build()
    # a group named by text in a second column of the same name, and grids far larger
    # than their table (their arrays are never made)
    twice = columns + [("Group", text)]
    cells = [r + ("g%d" % k,) for k, r in enumerate(rows)]
    yield w3.file_3d(w3.store_block(timed3, block_size=12), series,
                     anno=w3.annotation_block([w3.table_subblock(twice, cells)])).build()
    huge = [(1, 0, 50000, 60000, 0, 1, 0.0, 0.0, "h"), (2, 0, -3, 5, 0, 1, 0.0, 0.0, "n")]
    for data_type in (4, 7):
        yield w3.file_3d(w3.store_block(timed3, block_size=12), series, data_type=data_type,
                         anno=w3.annotation_block([w3.table_subblock(columns, huge)])).build()
    # signalling NaNs and signed zeros in spectra, times and parameters, bit for bit
    odd_bits = [w3.stored_block([SNAN_MARK, -0.0, 1.0], block_size=12, time=SNAN_MARK,
                                name="s") for _ in range(2)]
    yield _signalling(w3.file_3d(w3.store_block(odd_bits, block_size=12),
                                 dict(series, MXY=SNAN_MARK, MNY=-0.0)).build())
    odd = vw.param_block([vw.param_record(b"\xc2\xb5A\0", 1), vw.param_record(b"A\0B\0", 2.5),
                          vw.param_record("NPT", 4), vw.param_record("TXT", b"\xff\xfeok", 3),
                          vw.param_record("FXV", 9), vw.param_record("NPT", 2),
                          vw.param_record("LXV", -1.0), vw.param_record("MXY", "hi"),
                          vw.param_record("MNY", float("nan")),
                          vw.param_record("T0", "abcd", 2, 0), vw.param_record("T8", "abcd", 4, 8),
                          b"\0END", vw.param_record("NPT", 1)])
    vf = vw.VeskFile()
    vf.add(vw.float32_block([1.5, float("inf"), 2.5]), sample_type=2, data_type=33, deriv_type=3)
    vf.add(odd, sample_type=2, data_type=33, deriv_type=3, param_type=1)
    vf.add(vw.param_block({"NPT": 3, "ZZZ": "ft"}), param_type=4)
    yield vf.build()
    yield from overlapping_files(vw, w3, wi)


def overlapping_files(vw, w3, wi):
    """Blocks that share bytes, as a file may let them: stored blocks closer
    than their values (a negative info size), a gap that goes back into the
    parameters and the directory, pictures named twice and picture bytes that
    lie in another picture's sub-block."""
    geometry = {"NPT": 3, "FXV": 1.0, "LXV": 3.0, "MXY": 1.0, "MNY": 0.0, "AOX": 0,
                "AOY": 0, "DDX": 1, "DDY": 1, "NPX": 3, "NPY": 2}
    run = b"".join(struct.pack("<f", k + 0.25) for k in range(60))

    def back_to_header(block_size, info_size, last, **kw):
        # blocks 0 and 1 where they lie, the rest from offset 12 of the file on
        def made(gap):
            data = w3.store_block([run], entries=[(0, 1), (-1, gap), (2, last)],
                                  block_size=block_size, info_size=info_size, **kw)
            return data, w3.file_3d(data, geometry).build()
        data, built = made(0)
        first = len(built) - len(data) + 24 + 3 * 8
        return made(12 - first - 2 * (block_size + info_size))[1]
    yield w3.file_3d(w3.store_block([run], entries=[(0, 5)], block_size=12, info_size=-8),
                     geometry).build()
    yield back_to_header(12, -8, 5)
    planes = w3.store_block([run], entries=[(0, 2)], block_size=24, info_size=-16,
                            stored_blocks=3)
    yield w3.file_3d(planes, geometry).build()
    yield back_to_header(24, -20, 2, stored_blocks=3)
    series = {"NPT": 3, "FXV": 5.0, "LXV": 1.0, "MXY": 2.0, "MNY": -1.0}
    timed = [w3.stored_block([k, -k, 0.5], block_size=12, time=k + 0.5, name="n%d" % k)
             for k in range(3)]
    back = -(12 + w3.INFO_SIZE) - 8
    for data_type in (4, 7):
        yield w3.file_3d(w3.store_block(timed, entries=[(0, 1), (-1, back), (2, 3)],
                                        block_size=12), series, data_type=data_type).build()
    pic = wi.picture("same", wi.PNG)
    head = len(wi.directory_block([("00", 0, 0), ("01", 0, 0), ("02", 0, 0)], 3))
    inner = wi.picture("inner", wi.BMP, f00=-(len(pic) + 60))
    vf = vw.VeskFile()
    wi.add_image_block(vf, wi.directory_block([("00", head, len(pic)), ("01", head, len(pic)),
                                               ("02", head + len(pic), len(inner))], 3)
                       + pic + inner)
    yield vf.build()


# A value the writers store as floats and doubles, turned into signalling NaNs
# afterwards (the writers pack Python floats, which cannot hold one).
SNAN_MARK = 12345.6875


def _signalling(data):
    data = data.replace(struct.pack("<f", SNAN_MARK), b"\x01\x00\x80\x7f")
    return data.replace(struct.pack("<d", SNAN_MARK), b"\x01\x00\x00\x00\x00\x00\xf0\x7f")


def large_files(vw, w3, wi):
    """Files whose results declare more than a file of their size may fill: each is
    read once as it is (no mutation of them, so that the runs stay short)."""
    ints = w3.TYPE_INT
    series = {"NPT": 20000, "FXV": 5.0, "LXV": 1.0, "MXY": 2.0, "MNY": -1.0}
    long = w3.stored_block([1.5] * 20000, time=1.0)
    # 500 stored blocks at one offset (their stride is 0): 40 MB from 80 kB
    one_place = w3.store_block([long], entries=[(0, 499)], block_size=80000, info_size=-80000)
    yield w3.file_3d(one_place, series).build()
    yield w3.file_3d(one_place, dict(series, AOX=0, AOY=0, DDX=1, DDY=1, NPX=500, NPY=1)).build()
    # a region as large, whose point loop fails on its first point (a spectrum cut
    # short): the loop's error, not the region's refusal
    columns = [("Group", ints), ("Type", ints), ("AryNX", ints), ("AryNY", ints),
               ("AryType", ints), ("Fileindex", ints), ("X", w3.TYPE_FLOAT),
               ("Y", w3.TYPE_FLOAT)]
    far = [(1, 0, 500, 1, 0, 0, 0.0, 0.0)] + [(1, 0, 0, 0, 0, 0, 0.0, 0.0)] * 499
    anno = w3.annotation_block([w3.table_subblock(columns, far)])
    cut = w3.store_block([long], block_size=80000)
    yield w3.file_3d(cut[:-80000], series, anno=anno).build()
    yield w3.file_3d(cut, series, anno=anno).build()
    yield from large_picture_files(vw, wi)


def _text_record(key, chars):
    """A text record of 2 * chars bytes of zeros: one read parses it whole."""
    return key.encode() + b"\0" + struct.pack("<hh", 2, chars) + bytes(2 * chars)


def large_picture_files(vw, wi):
    """Picture blocks whose bytes count many times over: a directory chain
    that goes round 64 blocks, each parsing one shared 64 kB tail, so that its
    work bound stops it before its cycle comes back; 600 pictures reading
    overlapping runs of 128 kB; 40 sub-blocks, each starting one text record
    further into the same long parameter block."""
    k, own = 64, 56
    tail_at = own * k
    tail = (vw.param_record("F00", tail_at + 12 + 8 + 65534 + 8)
            + _text_record("BIG", 32767) + b"END\0" + struct.pack("<hh", 0, 0))
    end_only = b"END\0" + struct.pack("<hh", 0, 0)
    chain = b""
    for i in range(k):
        skip = (tail_at - own * (i + 1)) // 2
        chain += (vw.param_record("BID", wi.IMAGE_DIR_WORD) + vw.param_record("NRP", 2)
                  + vw.param_record("F01", own * ((i + 1) % k)) + vw.param_record("Z01", 0)
                  + b"SKP\0" + struct.pack("<hh", 2, skip))
    assert len(chain) == tail_at
    vf = vw.VeskFile()
    wi.add_image_block(vf, chain + tail + end_only)
    yield vf.build()
    count, run = 600, 1 << 17

    def sub(f00):
        return wi.image_sub_block(title="p", attributes=[("Bytes", run), ("Type", 1)], f00=f00)
    sub_len = len(sub(0))
    head = len(wi.directory_block([(wi.key_of(n), 0, 0) for n in range(count)], count))
    payload_at = head + count * sub_len
    entries = [(wi.key_of(n), head + n * sub_len, sub_len) for n in range(count)]
    subs = b"".join(sub(payload_at + 64 * n - (head + (n + 1) * sub_len))
                    for n in range(count))
    vf = vw.VeskFile()
    wi.add_image_block(vf, wi.directory_block(entries, count) + subs + bytes(range(256)) * 512)
    yield vf.build()
    count = 40
    head = len(wi.directory_block([(wi.key_of(n), 0, 0) for n in range(count)], count))
    step = len(_text_record("BIG", 32767))
    entries = [(wi.key_of(n), head + n * step, 0) for n in range(count)]
    entries[-1] = (entries[-1][0], entries[-1][1], -entries[-1][1])
    vf = vw.VeskFile()
    wi.add_image_block(vf, wi.directory_block(entries, count)
                       + _text_record("BIG", 32767) * count
                       + vw.param_block([("SIZ", 0), ("T00", 0)]))
    yield vf.build()


INTERESTING = [0, 1, -1, 2, 3, 4, 7, 10, 24, 64, 127, 2 ** 15 - 1, -2 ** 15, 2 ** 31 - 1,
               -2 ** 31, 2 ** 16, 1000]


RECORD_KEYS = [k.encode() + b"\0" for k in ("NPT", "FXV", "LXV", "MXY", "MNY", "NPX", "NPY", "AOX",
                                              "AOY", "DDX", "DDY", "END", "BID", "NRP",
                                              "F00", "Z00", "F01", "Z01", "SIZ", "T00", "H00",
                                              "H01", "V01", "V02", "NLN", "NCO", "SRC", "T06")]


COLUMN_KEYS = [k.encode() + b"\0" for k in ["T%02d" % c for c in range(10)]
               + ["NLN", "SRC", "SIZ", "NCO", "NRP", "F01", "F02"]]


def _find_all(data, needle):
    i = data.find(needle)
    while i != -1:
        yield i
        i = data.find(needle, i + 1)


def mutate(rng, data, vw):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(13)
        if op == 0 and data:
            i = rng.randrange(len(data))
            data[i] ^= 1 << rng.randrange(8)
        elif op == 1 and len(data) >= 4:
            i = rng.randrange(len(data) // 4) * 4
            data[i:i + 4] = struct.pack("<i", rng.choice(INTERESTING))
        elif op == 2 and len(data) >= 8:
            i = rng.randrange(len(data) // 8) * 8
            data[i:i + 8] = struct.pack("<q", rng.choice(INTERESTING + [2 ** 63 - 1]))
        elif op == 3:
            del data[rng.randrange(len(data) + 1):]
        elif op == 4:
            data += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
        elif op == 5 and len(data) >= 28:
            i = 24 + rng.randrange((len(data) - 24) // 4) * 4
            data[i:i + 4] = struct.pack("<I", rng.getrandbits(32))
        elif op == 6 and len(data) >= 28:
            i = 24 + rng.randrange((len(data) - 24) // 4) * 4
            word = vw.block_word(sample_type=rng.randrange(4), data_type=rng.randrange(128),
                                 param_type=rng.choice([0, 1, 2, 3, 4, 6, 10]),
                                 deriv_type=rng.randrange(4),
                                 extend_type=rng.choice([0, 10, 11, 64]))
            data[i:i + 4] = struct.pack("<i", word)
        elif op == 9:
            # a record of a key the readers act on: its type code or its value
            places = [i for key in RECORD_KEYS for i in _find_all(data, key)]
            if places:
                i = rng.choice(places)
                what = rng.randrange(3)
                if what == 0:
                    data[i + 4:i + 6] = struct.pack("<h", rng.choice([0, 1, 2, 3, 4, 5, -1]))
                elif what == 1:
                    data[i + 6:i + 8] = struct.pack("<h", rng.choice([-1, -2, 0, 1, 3, 32767,
                                                                      -32768]))
                else:
                    data[i + 8:i + 12] = struct.pack("<i", rng.choice(INTERESTING))
        elif op == 11 and len(data) >= 8:
            # any 64-bit value in an aligned field: extended directory words and offsets
            i = rng.randrange(len(data) // 4) * 4
            data[i:i + 8] = struct.pack("<Q", rng.getrandbits(64) >> rng.randrange(64))
        elif op == 12:
            # a value the annotation table and the regions take as a number or a
            # type code: a column's type, a row count or length, a cell's offset
            places = [i for key in COLUMN_KEYS for i in _find_all(data, key)]
            if places:
                i = rng.choice(places)
                value = rng.choice([4, 5, 1000, 1099, 1100, 7, 0, -1, 4097, 2 ** 31 - 1])
                if rng.randrange(4):
                    data[i + 8:i + 12] = struct.pack("<i", value)
                else:  # the record's type: a float or a text where an int was
                    data[i + 4:i + 8] = struct.pack("<hh", rng.choice([1, 2]), 2)
        elif op in (7, 8) and len(data) >= 2:
            # a parameter record's type or size field: a 16-bit value anywhere
            i = rng.randrange(len(data) // 2) * 2
            data[i:i + 2] = struct.pack("<h", rng.choice([-1, 0, 1, 2, 3, 4, 5, 7, 255, 32767]))
    return bytes(data)


KEYS = [("AB", "2D", "NONE"), ("ab", "2d", "none"), ("TR", "2D", "2DER"), ("TR", "2D", "NONE"),
        ("SSC", "2D", "NONE"), ("RSC", "2D", "NONE"), ("AB-CH2", "2D", "1DER"),
        ("AB-CH2", "2D", "NONE"), ("TRC", "2D", "NONE"), ("SIFG-CH2", "3D", "NONE"),
        ("SC", "2D", "NONE"), ("AB", "3D", "NONE"), ("AB", "3D", "1DER"),
        ("RSC-CH2", "2D", "NDER"), ("TRC", "3D", "NONE"), ("TRC-CH2", "3D", "NONE"),
        ("AB", "4D", "XX"), ("XX", "2D", "XX"), ("AB", "2D", "XX"), ("KM", "2D", "NDER")]


def outcome(fn, *args, **kwargs):
    """(kind, value or type, message, printed text, warnings as (category, text)).

    A refusal of the reference ("skip", "Refused") carries the Refused itself
    as its message.
    """
    printed = io.StringIO()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with contextlib.redirect_stdout(printed):
                result = ("ok", fn(*args, **kwargs), None)
        except Refused as e:
            result = ("skip", "Refused", e)
        except ThreeD:
            result = ("skip", "ThreeD", None)
        except Exception as e:  # every outcome is compared, none is judged here
            result = ("err", type(e), str(e))
    return result + (printed.getvalue(), [(w.category, str(w.message)) for w in caught])


def plain(obj):
    """A veskread result in the reference's plain form."""
    if type(obj).__module__ == "veskread" and hasattr(obj, "__dict__"):
        return {"__class__": type(obj).__name__,
                "__attrs__": [(k, plain(v)) for k, v in vars(obj).items()]}
    if type(obj) is list:
        return [plain(v) for v in obj]
    return obj


def same(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        if type(a) is not type(b) or a.dtype != b.dtype or a.shape != b.shape:
            return False
        # bit for bit (signed zeros, NaN payloads), by pieces: a large map of
        # zeros is never written, so never committed
        flat_a, flat_b = a.reshape(-1), b.reshape(-1)
        step = 1 << 20
        return all(flat_a[i:i + step].tobytes() == flat_b[i:i + step].tobytes()
                   for i in range(0, flat_a.size, step))
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


# what the reference leaves open: regions too large for it to build
NOT_COMPARED = {"region size"}


def warned_first(ref, got):
    """The warnings the reference issued before it stopped, issued first by the core."""
    return got[4][:len(ref[4])] == ref[4]


def agree(ref, got):
    if ref[0] == "skip":
        return (ref[1] == "ThreeD" or str(ref[2]) in NOT_COMPARED) and warned_first(ref, got)
    if ref[0] != got[0]:
        return False
    if ref[3] != got[3] or ref[4] != got[4]:
        return False
    if ref[0] == "err":
        return ref[1] is got[1] and ref[2] == got[2]
    return same(ref[1], plain(got[1]))


STORED_REFUSAL = re.compile(r"3D store table names (\d+) stored blocks that (make|fill|touch) "
                            r"(\d+) bytes (of values|of the map); a file of (\d+) bytes cannot "
                            r"hold that")
REGION_REFUSAL = ("annotation table gives region %d %d points; the regions so far fill more; "
                  "a file of %d bytes cannot hold that")


def _not_regular(path):
    """A path or descriptor of something seekable that is not a regular file (a device)."""
    try:
        mode = os.fstat(path).st_mode if _is_descriptor(path) else os.stat(path).st_mode
    except (OSError, TypeError, ValueError, OverflowError):
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISFIFO(mode) and not stat.S_ISDIR(mode)


def known(ref, got, args, path):
    """Deliberate differences that are not faults: why they stay is named here."""
    if got[0] == "err" and got[1] is OSError and args and _not_regular(args[0]) \
            and got[2] == str(OSError(errno.EINVAL, "Not a regular file", args[0])):
        # a device could feed a directory without end: only regular files are read
        return True
    if got[0] == "err" and got[1] is ValueError and ref[3] == got[3] and ref[4] == got[4] \
            and REGIONS_DECLARED:
        # regions whose points all read, but whose arrays together declare
        # more than the file's bound, are refused before they are built (the
        # points a file holds fill far less): at any region past that bound
        size = os.path.getsize(path)
        if any(got[2] == REGION_REFUSAL % (g, points, size) and declared > output_limit(size)
               for g, points, declared in REGIONS_DECLARED):
            return True
    if ref[0] == "ok" and got[0] == "err" and got[1] is ValueError and ref[3:] == got[3:]:
        # stored blocks whose values, read, make more than the file's bound
        # (blocks that overlap, read many times over) are refused before
        # they are read
        said = STORED_REFUSAL.fullmatch(got[2])
        if said and int(said[3]) > output_limit(int(said[5])) \
                and int(said[3]) <= sum(v.nbytes for _k, v in ref[1]["__attrs__"]
                                        if isinstance(v, np.ndarray)):
            return True
    if ref[0] == "skip" and ref[1] == "Refused":
        refusal = ref[2]
        if refusal.expected:
            # refused word for word as the core refuses, after the same output
            return (got[0] == "err" and (got[1], got[2]) == refusal.expected
                    and ref[3] == got[3] and ref[4] == got[4])
        if str(refusal) == "warnings":
            # the core warns up to a budget of the file's size, then refuses the table
            refused = got[0] == "err" and got[1] is ValueError and "a warning each" in got[2]
            return warned_first(ref, got) and (refused or len(got[4]) > WARNINGS_COMPARED)
    return False


def short(outcome_):
    said = collections.Counter("%s: %s" % (c.__name__, m) for c, m in outcome_[4])
    if said:
        return short(outcome_[:4] + ([],)) + "  warned " + repr(dict(said))[:200]
    if outcome_[0] == "err":
        return "%s: %s" % (outcome_[1].__name__, outcome_[2][:160])
    if outcome_[0] == "skip":
        return "skip %s %s" % (outcome_[1], outcome_[2] or "")
    value = plain(outcome_[1])
    return "ok " + (repr(value)[:300] if not isinstance(value, dict) else
                    repr({k: v for k, v in value["__attrs__"]})[:300])


def kind_of(call, ref, got):
    def k(o):
        return o[0] if o[0] != "err" else o[1].__name__ + ":" + o[2][:30]
    return (call, k(ref), k(got)) + (("warnings",) if ref[4] != got[4] else ())


# -- the parameter key vocabularies ------------------------------------------

VESK_KEYS = (('AOZ', 'Map_Origin_Z'), ('DDZ', 'map_delta_z'), ('DPF', 'data_point_format'),
             ('NPT', 'number_of_data_points'), ('NPZ', 'map_points_in_z'),
             ('FXV', 'frequency_of_first_point'), ('LXV', 'frequency_of_last_point'),
             ('CSF', 'y_scaling_factor'), ('MXY', 'y_maximum'), ('MNY', 'y_minimum'),
             ('DXU', 'x_units'), ('DYU', 'y_units'), ('DER', 'derivative'), ('QS1', 'derivative'),
             ('SMO', 'smoothing_points_for_der.'), ('QS0', 'smoothing_points'),
             ('DAT', 'date_of_measurement'), ('TIM', 'time_of_measurement'),
             ('XTX', 'x_axis_label'), ('YTX', 'y_axis_label'), ('ZTX', 'z_axis_label'),
             ('XAF', 'x_axis_factor'), ('YAF', 'y_axis_factor'), ('ZAF', 'z_axis_factor'),
             ('GSQ', 'gs_base_quality'), ('AOX', 'map_origin_x'), ('AOY', 'map_origin_y'),
             ('DDX', 'map_delta_x'), ('DDY', 'map_delta_y'), ('NPX', 'map_points_in_x'),
             ('NPY', 'map_points_in_y'), ('NF1', 'first_s/n_frequency_limit'),
             ('NF2', 'second_s/n_frequency_limit'), ('SN1', 's/n_(rms)'),
             ('SN2', 's/n_(peak-to-peak)'), ('SN3', 'max._ordinate_in_s/n_region'),
             ('SN4', 'min._ordinate_in_s/n_region'), ('SNF', 's/n_flags'),
             ('MWC', 'mult._for_freq.calib'), ('AWC', 'add_for_freq.calib'),
             ('HQU', 'hit_quality'), ('COM', 'compound_name'), ('DST', 'display_text'),
             ('DPH', 'demod._phase_(degrees)'), ('MOF', 'modulation_frequency'),
             ('NLA', 'nl_alpha'), ('NLB', 'nl_beta'), ('HFL', 'high_folding_limit'),
             ('LFL', 'low_folding_limit'), ('DFR', 'digital_filter_reduction'),
             ('DFC', 'number_of_filter_coef.'), ('HFF', 'digital_filter_hfl'),
             ('LFF', 'digital_filter_lfl'), ('ASG', 'actual_signal_gain'),
             ('ARG', 'actual_ref._signal_gain'), ('ALF', 'actual_low_pass_filter'),
             ('AHF', 'actual_high_pass_filter'), ('ASS', 'number_of_sample_scans'),
             ('ARS', 'number_of_background_scans'), ('GFW', 'number_of_good_fw_scans'),
             ('GBW', 'number_of_good_bw_scans'), ('BFW', 'number_of_bad_fw_scans'),
             ('BBW', 'number_of_bad_bw_scans'), ('DUR', 'scan_time_(sec)'),
             ('RSN', 'running_sample_number'), ('PKA', 'peak_amplitude'), ('PKL', 'peak_location'),
             ('PRA', 'backward_peak_amplitude'), ('PRL', 'backward_peak_location'),
             ('SSM', 'sample_spacing_multiplicator'), ('SSP', 'sample_spacing_divisor'),
             ('SGP', 'switch_gain_position'), ('SGW', 'gain_switch_window'),
             ('INS', 'instrument_type'), ('P2A', 'peak_amplitude_2nd_channel'),
             ('P2L', 'peak_location_2nd_channel'), ('P2R', 'backward_peak_amplitude_2nd_channel'),
             ('P2K', 'backward_peak_location_2nd_channel'), ('P3A', 'peak_amplitude_3rd_channel'),
             ('P3L', 'peak_location_3rd_channel'), ('P3R', 'backward_peak_amplitude_3rd_channel'),
             ('P3K', 'backward_peak_location_3rd_channel'), ('P4A', 'peak_amplitude_4th_channel'),
             ('P4L', 'peak_location_4th_channel'), ('P4R', 'backward_peak_amplitude_4th_channel'),
             ('P4K', 'backward_peak_location_4th_channel'), ('DAQ', 'data_aquisition_status'),
             ('TPX', 'total_points_x'), ('NSN', 'scan_number'), ('MVD', 'max._velocity_deviation'),
             ('HUM', 'humidity_interferometer'), ('TSC', 'scanner_temperature'),
             ('TSM', 'sample_temperature'), ('PIM', 'pressure_interferometer'),
             ('ITF', 'interface_type_for_optic'), ('SIM', 'simulation_mode'),
             ('DEB', 'debug_printer_mode'), ('LOG', 'logfile_for_measurement'),
             ('ADR', 'aqp_adress'), ('AD2', 'aqp2_adress'), ('RMX', 'resolution_limit'),
             ('PLL', 'maximum_pll_setting'), ('FFT', "maximum_ft_size_in_k's"),
             ('MXD', 'maximum_adc_sate_in_hz'), ('FOC', 'focal_length'),
             ('ABP', 'absolute_peak_pos_in_laser*2'), ('LWN', 'laser_wavenumber'),
             ('RLW', 'raman_laser_wavenumber'), ('RLP', 'raman_laser_power_in_mw'),
             ('RDY', 'ready_check'), ('RC0', 'raman_background_corrected'),
             ('RC1', 'raman_scattering_corrected'), ('SRT', 'start_time_(sec)'),
             ('ERT', 'end_time_(sec)'), ('MAX', 'x_measurement_position'),
             ('MAY', 'y_measurement_position'), ('AN1', 'analog_signal_1'),
             ('AN2', 'analog_signal_2'), ('CH2', 'channel_2'), ('SGN', 'signal_gain_sample'),
             ('SG2', 'signal_gain_sample'), ('RGN', 'signal_gain_background'),
             ('RG2', 'signal_gain_background'), ('GSW', 'gain_switch_window'),
             ('GSG', 'gain_switch_gain'), ('NSS', 'sample_scans'), ('NSR', 'background_scans'),
             ('REP', 'repeat_count'), ('DLR', 'delay_between_repeats_in_sec.'),
             ('MIN', 'sample_meas._duration_in_min.'),
             ('MIR', 'background_meas._duration_in_min.'), ('SOS', 'scantime_or_scans'),
             ('SOT', 'sample_scans_or_time'), ('STR', 'bg_scans_or_time'),
             ('COR', 'correlation_test_mode'), ('DLY', 'stabilization_delay'),
             ('DEL', 'delay_before_measurement'), ('HFW', 'wanted_high_frequency_limit'),
             ('LFW', 'wanted_low_frequency_limit'), ('RES', 'resolution'),
             ('RE2', 'resolution_ch.2'), ('TDL', 'to_do_list'), ('PLF', 'result_spectrum'),
             ('SPO', 'sample_number'), ('RPO', 'background_number'), ('WTR', 'tr.rec._resolution'),
             ('WAS', 'tr.rec._slices'), ('WRC', 'tr.rec._repeat_count'),
             ('WTD', 'tr.rec._trigger_delay_in_points'),
             ('WPD', 'tr.rec._stab._delay_after_stepping'), ('WXP', 'tr.rec._trigger_mode'),
             ('WSS', 'tr.rec._sampling_source'), ('W2W', 'tr.rec._channel_2_weighting'),
             ('WXD', 'tr.rec._experiment_delay'), ('WDV', 'transient_recorder'),
             ('WIR', 'tr.rec._input_range'), ('WTH', 'tr.rec._weighting_threshold'),
             ('TRR', 'trs_resolution_in_micro_sec'), ('TRS', 'trs_slices'),
             ('TRC', 'trs_repeat_count'), ('TRD', 'trs_exp_delay_in_msec'),
             ('TRP', 'trs_positioning_delay'), ('TRM', 'trs_experiment_trigger_mode'),
             ('TRX', 'trs_sampling_source'), ('ITS', 'interleaved_time_slices'),
             ('ISP', 'interleave_time_res._æsec'), ('IDL', 'interleave_trigger_delay_æsec'),
             ('ITR', 'max._exp._trigger_rate_hz'), ('STD', 'step_scan_pos._delay_in_msec'),
             ('STC', 'step_scan_coadd_count'), ('SMX', 'multiplexer_positions'),
             ('SMD', 'modulation_(0=off_1=mod_2=mod-demod_4=old_phase_8=ampl_)'),
             ('SMA', 'scanner_modulation_amplitude'), ('SMF', 'scanner_modulation_frequency'),
             ('AMF', 'ampl._modulation_frequency'), ('ADA', 'ampl._demodulation_angle'),
             ('PDA', 'phase_demodulation_angle'), ('CIN', 'chrom_integrate_trace'),
             ('CIM', 'chrom_integration_method'), ('CDT', 'chrom_display_trace'),
             ('CDS', 'chrom_display_spectrum'), ('CTM', 'chrom_start_trigger_mode'),
             ('CSV', 'chrom_save_mode'), ('CTL', 'chrom_trigger_level'),
             ('GSS', 'gram_schmidt_size'), ('GSO', 'gram_schmidt_offset'),
             ('GSP', 'gram_schmidt_points'), ('CLD', 'limit_run_duration'),
             ('CMD', 'max_run_duration'), ('MLS', 'map_xy_list'), ('MPO', 'map_port_(com_1...n)'),
             ('MSH', 'map_shape_(1..6)'), ('MDV', 'map_device'), ('MOX', 'map_origin_x'),
             ('MOY', 'map_origin_y'), ('MDX', 'map_sample_dim._x'), ('MDY', 'map_sample_dim._y'),
             ('MSX', 'map_spacing_x'), ('MSY', 'map_spacing_y'),
             ('MGX', 'map_gram_schmidt_x_base'), ('MGY', 'map_gram_schmidt_y_base'),
             ('NDV', 'map_device'), ('NOX', 'map_origin_x'), ('NOY', 'map_origin_y'),
             ('NSX', 'map_spacing_x'), ('NSY', 'map_spacing_y'),
             ('NGX', 'map_gram_schmidt_x_base'), ('NGY', 'map_gram_schmidt_y_base'),
             ('MEX', 'map_measurement_experiment'), ('MUN', 'map_units'), ('MPX', 'map_#_pos_x'),
             ('MPY', 'map_#_pos_y'), ('MSS', 'map_save_spectra'), ('MCI', 'map_compute_integrals'),
             ('MIM', 'map_integration_method'), ('MCM', 'map_macro'),
             ('MEM', 'map_evaluation_macro'), ('MSV', 'map_save_video'),
             ('MVM', 'map_video_method'), ('MRL', 'map_relative_origin'),
             ('MGT', 'map_gram_schmidt'), ('MGS', 'map_gram_schmidt_size'),
             ('MGO', 'map_gram_schmidt_offset'), ('MGP', 'map_gram_schmidt_points'),
             ('MXS', 'meas_x-startpoint_display'), ('MXE', 'meas_x-endpoint_display'),
             ('MYS', 'meas_y-minimum_display'), ('MYE', 'meas_y-maximum_display'),
             ('MDM', 'meas_display_mode'), ('MDP', 'meas_display_product'),
             ('XS2', 'meas2_x-startpoint_display'), ('XE2', 'meas2_x-endpoint_display'),
             ('YS2', 'meas2_y-minimum_display'), ('YE2', 'meas2_y-maximum_display'),
             ('AF2', 'apodization_function'), ('HQ2', 'end_frequency_limit_for_file'),
             ('LQ2', 'start_frequency_limit_for_file'), ('PH2', 'phase_correction_mode'),
             ('SP2', 'stored_phase_mode'), ('ZF2', 'zero_filling_factor'),
             ('APF', 'apodization_function'), ('HFQ', 'end_frequency_limit_for_file'),
             ('LFQ', 'start_frequency_limit_for_file'), ('PHZ', 'phase_correction_mode'),
             ('PHR', 'phase_resolution'), ('NLI', 'non_linearity_correction'),
             ('NL2', 'non_linearity_correction'), ('DIG', 'digital_filter'),
             ('DI2', 'digital_filter'), ('SPZ', 'stored_phase_mode'),
             ('ZFF', 'zero_filling_factor'), ('IRS', 'iris_aperture_(micron)'),
             ('UNI', 'command_string_for_uni'), ('APT', 'aperture_setting'),
             ('AP2', 'aperture_setting'), ('BMS', 'beamsplitter_setting'),
             ('DTC', 'detector_setting'), ('DT2', 'detector_setting'),
             ('OPF', 'optical_filter_setting'), ('PGN', 'preamplifier_gain'),
             ('CHN', 'measurement_channel'), ('DMX', 'multiplexed_data'),
             ('ADC', 'ext._analog_signals'), ('SON', 'external_synchronisation'),
             ('SRC', 'source_setting'), ('VEL', 'scanner_velocity'), ('HPF', 'high_pass_filter'),
             ('LPF', 'low_pass_filter'), ('SRL', 'raman_laser_power(mw)'), ('RFL', 'raman_flags'),
             ('POL', 'polarizer'), ('SNM', 'sample_name'), ('SFM', 'sample_form'),
             ('CNM', 'operator_name'), ('HIS', 'history_of_last_operation'),
             ('PTH', 'measurement_path'), ('EXP', 'experiment'), ('PAT', 'path_of_file'),
             ('NAM', 'filename'), ('NA2', 'ch._2_filename'), ('ATX', 'annotation_text'),
             ('XPP', 'experiment_path'), ('RAT', 'trs_method_name'), ('CPR', 'copyright_message'),
             ('AQM', 'acquisition_mode'), ('DAB', 'dab'), ('SRN', 'instrument_serial_number'),
             ('CRR', 'crr'), ('OIS', 'ois'), ('VSN', 'firmware_version'),
             ('AG2', 'actual_signal_gain_2nd_channel'), ('OBJ', 'objective'),
             ('VSC', 'variable_velocity_(hz)'))
PARAM_LABELS = (('SNM', 'Sample Name'), ('SFM', 'Sample Form'), ('CNM', 'Operator Name'),
                ('EXP', 'Experiment File'), ('XPP', 'Experiment Path'),
                ('APT', 'Aperture Setting'), ('BMS', 'Beamsplitter Setting'),
                ('LWN', 'Laser Wavenumber'), ('SRT', 'Start Time'), ('DAT', 'Date'),
                ('TIM', 'Local Time'), ('NPT', 'Number of Data Points'), ('FXV', 'First X Value'),
                ('LXV', 'Last X Value'), ('MNY', 'Minimum Y Value'), ('MXY', 'Maximum Y Value'),
                ('DXU', 'X Units'), ('HFW', 'High Frequency Limit'),
                ('LFW', 'Low Frequency Limit'), ('HPF', 'High Pass Filter'),
                ('LPF', 'Low Pass Filter'), ('NSS', 'Number of Sample Scans'),
                ('NSR', 'Number of Reference Scans'), ('RES', 'Resolution'),
                ('INS', 'Instrument Type'), ('AN1', 'Analog Signal 1'), ('AN2', 'Analog Signal 2'),
                ('APF', 'Apodization Function'), ('HFQ', 'High Frequency Cutofff (FT)'),
                ('LFQ', 'Low Frequency Cutoff (FT)'), ('PHZ', 'Phase Correction Mode'),
                ('PHR', 'Phase Resolution'), ('ZFF', 'Zero Filling Factor'),
                ('ZTX', 'Z Axis Label'))
VESK_DICT_DOC = "Returns a dictionary for translating parameter keys to lower_case_strings."


def VeskDict():
    return dict(VESK_KEYS)


VeskDict.__doc__ = VESK_DICT_DOC
paramDict = dict(PARAM_LABELS)


def vocabulary_facts(module):
    """The two vocabularies and what a call of VeskDict does, in a form both modules share."""
    first, second = module.VeskDict(), module.VeskDict()
    del first["AOZ"]
    try:
        module.VeskDict(0)
        refused = None
    except Exception as e:  # compared, not judged
        refused = (type(e), str(e))
    # the keys and values are the module's own strings, the same objects in every dict
    shared = all(k1 is k2 and v1 is v2 for (k1, v1), (k2, v2)
                 in zip(module.VeskDict().items(), second.items()))
    return [list(second.items()), len(module.VeskDict()), first is not second, refused,
            list(module.paramDict.items()), module.VeskDict.__doc__, shared,
            module.paramDict is vars(module)["paramDict"]]


# -- the data-return classes built by hand ------------------------------------

OWN_PARAMS = {"BaseDataReturn": ("dimension", "dataType", "deriv", "parameters", "x", "minY",
                                 "maxY"),
              "Region": ("title", "mapX", "mapY", "start_time", "spectra")}
BASE_KEYS = OWN_PARAMS["BaseDataReturn"]


def _own_params(name):
    if name in OWN_PARAMS:
        return OWN_PARAMS[name]
    code = globals()[name].__init__.__code__
    return code.co_varnames[1:code.co_argcount]


def odd_objects():
    """Objects a constructor must store as they are: none of them is what a reader stores."""
    return [None, 0, -1.5, float("nan"), np.float32(2), "text", b"bytes", [], {}, object(),
            np.zeros(3), (1, 2), Region("r", 1, 2, 3, 4), iter([])]


def construction_cases(rng):
    """(class name, label, positional arguments, keyword arguments) for one random case."""
    name = rng.choice(DATA_CLASSES)
    pool = odd_objects()
    own = _own_params(name)
    base = {} if name in OWN_PARAMS else {k: rng.choice(pool) for k in BASE_KEYS}
    values = [rng.choice(pool) for _ in own]
    case = rng.randrange(9)
    if case == 0:
        return name, "positional", values, base
    if case == 1:
        keywords = dict(zip(own, values), **base)
        order = list(keywords)
        rng.shuffle(order)
        return name, "keywords", [], {k: keywords[k] for k in order}
    if case == 2 and base:
        del base[rng.choice(BASE_KEYS)]
        return name, "base keyword missing", values, base
    if case == 3:
        unknown = rng.choice(["zz", "derivative", "self", "kwds", "description"])
        return name, "unknown keyword", values, dict(base, **{unknown: 1})
    if case == 4:
        return name, "surplus positional", values + [rng.choice(pool)], base
    if case == 5:
        return name, "own missing", values[:-1], base
    if case == 6:
        return name, "given twice", values, dict(base, **{own[0]: None})
    if case == 7:
        return name, "base positional", values + [base[k] for k in base], {}
    return name, "own only", values, {}


def _token(value, given):
    """A stored value: which argument it is (stored unchanged), else the value itself."""
    for k, g in enumerate(given):
        if value is g:
            return "argument %d" % k
    return value if type(value) is str else ("%s object" % type(value).__name__)


def _text(fn, obj):
    try:
        return ("ok", fn(obj))
    except Exception as e:  # compared, not judged
        return (type(e), str(e))


def construct(module, name, args, kwargs):
    """What building an object of the class does, in a form both modules share."""
    cls = getattr(module, name)
    given = list(args) + list(kwargs.values())
    try:
        cls(*args, **kwargs)
        called = "ok"
    except Exception as e:  # compared, not judged
        called = (type(e), str(e))
    obj = cls.__new__(cls)
    try:
        cls.__init__(obj, *args, **kwargs)
        failed = None
    except Exception as e:  # what was stored before it failed is compared too
        failed = (type(e), str(e))
    stored = [(k, _token(v, given)) for k, v in vars(obj).items()]
    texts = [_text(str, obj), _text(repr, obj)]
    shown = "title" if name == "Region" else "description"
    for replacement in (5, "other", None):
        setattr(obj, shown, replacement)
        texts += [_text(str, obj), _text(repr, obj)]
    subclass = type("Mine", (cls,), {})
    try:
        mine = [(k, _token(v, given)) for k, v in vars(subclass(*args, **kwargs)).items()]
    except Exception as e:  # compared, not judged
        mine = (type(e), str(e))
    return [called, failed, stored, texts, mine]


def class_facts(module, name):
    """What a class says of itself: its documentation, bases, methods and signatures."""
    import inspect
    cls = getattr(module, name)
    methods = sorted(k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__"))
    facts = [cls.__doc__, cls.__qualname__, [c.__name__ for c in cls.__mro__], methods,
             "__slots__" in vars(cls), cls.__hash__ is object.__hash__, cls.__eq__ is object.__eq__]
    for method in ("__init__", "__str__", "__repr__"):
        if method in vars(cls):
            fn = vars(cls)[method]
            facts.append((method, fn.__name__, fn.__qualname__, fn.__doc__,
                          str(inspect.signature(fn))))
    return facts


def import_warnings():
    """The warnings that importing the module issues, in a fresh interpreter."""
    import subprocess
    code = ("import warnings\nwith warnings.catch_warnings(record=True) as w:\n"
            "    warnings.simplefilter('always')\n    import veskread\n"
            "print(repr([(x.category.__name__, str(x.message)) for x in w]))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True)
    return done.stdout.strip()


def expected_import_warnings(veskread):
    """The version warning is due when the running interpreter is not the one built for.

    The module is built for the interpreter that loads it, so its compile-time
    version is that of its build (its file's suffix names it), not one fixed
    version: a matching interpreter is warned nothing.
    """
    import sysconfig
    if veskread.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
        return "[]"
    return None  # built for another interpreter: not compared


class Made:
    """An argument made afresh for each reader's call (a descriptor, a pipe, an iterator).

    `make()` returns (value, after, release): `after()` tells what became of
    the argument the caller gave (still open? where left?), `release()` closes
    what the caller owns.
    """

    def __init__(self, make, label=None):
        self.make = make
        self.label = label

    def __repr__(self):
        return self.label or "made argument"


def _plain_made(make):
    def made():
        return make(), lambda: None, lambda: None
    return made


def made_outcome(fn, args, kwargs):
    values, afters, releases = [], [], []
    for a in args:
        if isinstance(a, Made):
            made = a.make() if a.label else _plain_made(a.make)()
            values.append(made[0])
            afters.append(made[1])
            releases.append(made[2])
        else:
            values.append(a)

    def release():
        for r in releases:
            r()
    try:
        result = outcome(fn, *values, **kwargs)
        return result, [a() for a in afters], values, release
    except BaseException:
        release()
        raise


def _descriptor(path, number=int, at=0, flags=os.O_RDONLY):
    """A descriptor of `path` at offset `at`, passed as `number`; after: where it was left."""
    def make():
        fd = os.open(path, flags)
        ino = os.fstat(fd).st_ino
        try:
            os.lseek(fd, at, os.SEEK_SET)
        except OSError:
            pass

        def after():
            try:
                still = os.fstat(fd).st_ino == ino
            except OSError:
                return "closed"
            return ("open", os.lseek(fd, 0, os.SEEK_CUR)) if still else "closed"
        return number(fd), after, lambda: os.close(fd)
    return Made(make, "%s descriptor of %s at %d" % (number.__name__, path, at))


def _pipe(data):
    """A pipe's reading end holding `data` (written and closed); after: what is left in it."""
    def make():
        r, w = os.pipe()
        os.set_blocking(w, False)  # a pipe may take less than asked: it holds what it took
        try:
            os.write(w, data[:PIPE_BYTES])
        except BlockingIOError:
            pass
        os.close(w)

        def after():
            left = b""
            while True:
                part = os.read(r, 1 << 16)
                if not part:
                    return ("left", left)
                left += part
        return r, after, lambda: os.close(r)
    return Made(make, "pipe of %d bytes" % min(len(data), PIPE_BYTES))


def _fifo(fifo, data):
    """A named pipe holding `data` (at least 4 bytes), kept open for writing so that
    opening it to read never waits; after: what is left in it."""
    def make():
        held = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
        os.write(held, data[:PIPE_BYTES])  # at least the 4 bytes read: a pipe takes a page

        def after():
            left = b""
            while True:
                try:
                    part = os.read(held, 1 << 16)
                except BlockingIOError:
                    return ("left", left)
                left += part
        return fifo, after, lambda: os.close(held)
    return Made(make, "named pipe of %d bytes" % min(len(data), PIPE_BYTES))


def _fed_fifo(fifo, data):
    """A named pipe that a writer of its own feeds `data` (fewer than 4 bytes) and
    closes, so that a reader meets its end rather than waiting for more; each
    later opening is met by a writer that closes at once. After: nothing."""
    def make():
        stop = threading.Event()

        def feed():
            fed = False
            while True:
                w = os.open(fifo, os.O_WRONLY)  # waits for a reader, without the lock
                try:
                    if stop.is_set():
                        return
                    if not fed:
                        fed = True
                        os.write(w, data)
                except BrokenPipeError:
                    pass  # a reader that did not wait for the bytes has gone
                finally:
                    os.close(w)
                stop.wait(0.002)  # the same reader may still hold it open
        writer = threading.Thread(target=feed, daemon=True)
        writer.start()

        def release():
            stop.set()
            held = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # lets a waiting writer go
            writer.join()
            os.close(held)
        return fifo, lambda: None, release
    return Made(make, "named pipe fed %d bytes" % len(data))


def _file_object(path, at):
    def make():
        f = open(path, "rb")
        f.seek(at)
        return f, lambda: (f.closed, f.closed or f.tell()), f.close
    return Made(make, "file object at %d" % at)


def _in_memory(data):
    def make():
        f = io.BytesIO(data)
        return f, lambda: (f.closed, f.closed or f.tell()), f.close
    return Made(make, "bytes in memory")


PIPE_BYTES = 1 << 16  # what an empty pipe takes without a reader


class Fd(int):
    """A descriptor number of a class of the caller's own."""


PATH_CALLS = ("isVeskFile", "listContents", "getVisImages", "getVeskData")


def odd_calls(rng, path, data, out_dir, every):
    """Paths that are no file name (descriptors, pipes, file objects, devices) and calls
    with arguments the functions do not take. `every`: all of them, else a few at random."""
    size = len(data)
    fifo = os.path.join(out_dir, "named-pipe")
    if not os.path.exists(fifo):
        os.mkfifo(fifo)
    at = rng.randrange(size + 2)
    paths = [_descriptor(path, int, at), _descriptor(path, np.int64, at),
             _descriptor(path, np.int32), _descriptor(path, Fd, at),
             _descriptor(path, flags=os.O_WRONLY), _descriptor(out_dir),
             _descriptor("/dev/zero", at=at), _descriptor("/dev/null"), _pipe(data),
             _file_object(path, at), _in_memory(data),
             "/dev/zero", "/dev/null", path.encode(), bytearray(path.encode()), -1, 2 ** 40,
             1.5, None]
    if size >= 4:  # a named pipe held open gives no end of file: read no more than it holds
        paths.append(_fifo(fifo, data))
    else:
        paths.append(_fed_fifo(fifo, data))
    key = rng.choice(KEYS)
    by_path = [(name, (p,) if name != "getVeskData" else (p, key))
               for p in paths for name in PATH_CALLS]
    if every:  # the few bytes of a magic number, or fewer, whatever the file: one call
        name = rng.choice(PATH_CALLS)
        fed = _fed_fifo(fifo, data[:rng.randrange(4)])
        by_path.append((name, (fed,) if name != "getVeskData" else (fed, key)))
    shapes = [("isVeskFile", (), {}), ("isVeskFile", (path, 1)), ("isVeskFile", (), {"path": path}),
              ("listContents", (), {"path": path}), ("listContents", (path,), {"path": path}),
              ("getVisImages", (), {"path": path}), ("getVisImages", (), {"file": path}),
              ("getVeskData", (), {"path": path, "datablock": key}),
              ("getVeskData", (), {"datablock": key}), ("getVeskData", (path,)),
              ("getVeskData", (path, key, 1)), ("getVeskData", (path,), {"key": key}),
              ("getVeskData", (path, key), {"path": path}),
              ("getVeskData", (path, (key[0].lower(), key[1], key[2]), "more")),
              ("getVeskData", (path, None)), ("getVeskData", (path, "AB")),
              ("getVeskData", (path, (b"AB", "2D", "NONE"))),
              ("getVeskData", (path, {0: "ab", 1: "2d", 2: "none"})),
              ("getVeskData", (path, (_Upper("AB"), _Upper(key[1]), _Upper("NONE")))),
              ("getVeskData", (path, ("AB", _Upper(5), "NONE"))),
              ("getVeskData", (path, (_Upper(ArithmeticError("no upper")), "2D", "NONE"))),
              ("getVeskData", (path, ("AB", "2D", _Upper(b"NONE")))),
              ("getVeskData", (path, "AB2DNONE")), ("getVeskData", (path, ())),
              ("getVeskData", (path, Made(lambda: (c for c in "ab")))),
              ("decode_string", ()), ("decode_string", (b"a", ("ascii",), 3)),
              ("decode_string", (), {"s": b"x\xb5", "encodings": ["utf8"]}),
              ("decode_string", (b"x",), {"s": b"y"}), ("decode_string", (b"x",), {"enc": 1}),
              ("decode_string", (b"\xff",), {"encodings": "ascii"}),
              ("decode_string", (b"\xff\xfe",), {"encodings": ["idna"]}),
              ("decode_string", (b"abc",), {"encodings": ["hex", "ascii"]}),
              ("decode_string", (b"\xc3",), {"encodings": {"utf-8-sig": 1, "utf-16": 2}}),
              ("decode_string", (b"ab",), {"encodings": None}),
              ("decode_string", (b"ab",), {"encodings": b"ab"}),
              ("decode_string", (b"\x80",), {"encodings": ["ascii", "undefined"]}),
              ("decode_string", (b"\x80", Made(lambda: _failing_encodings()))),
              ("decode_string", (Made(lambda: _Decodes()),)),
              ("decode_string", (Made(lambda: _Decodes()), [])), ("decode_string", (5,)),
              ("imghdr_what", ()), ("imghdr_what", (b"x", 1)), ("imghdr_what", (), {"h": b"BM"}),
              ("imghdr_what", ("BMxxxxxxxx",)), ("imghdr_what", ("xxxxxxJFIF",)),
              ("imghdr_what", ([1, 2],)), ("imghdr_what", (None,)), ("imghdr_what", (5,)),
              ("imghdr_what", (memoryview(b"BM"),)), ("imghdr_what", (memoryview(data),)),
              ("imghdr_what", (bytearray(data[:12]),)), ("imghdr_what", ({6: 1},)),
              ("VeskDict", (1,)), ("VeskDict", (), {"x": 1}), ("VeskDict", ()),
              ("help", ()), ("help", (1,)), ("help", (), {"x": 1})]
    calls = by_path + shapes
    return calls if every else rng.sample(calls, 2)


class _Upper:
    """An item of a data block key whose upper() gives `value` (or raises it)."""

    def __init__(self, value):
        self.value = value

    def upper(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class _Decodes:
    """Not bytes, but with a decode method: what it gives back is the result."""

    def decode(self, *args):
        return "decoded " + " ".join(args)


def _failing_encodings():
    yield "ascii"
    raise ArithmeticError("no more encodings")


def _native_reader():
    try:
        from vesk import _native
    except ImportError:  # only the module is built: its windows go unchecked
        return None
    return _native


def kept_case(kinds, kind, out_dir, data):
    """The file written for the first case of a kind of disagreement; None
    for a kind already kept, so that a run keeps one case of each."""
    if kind in kinds:
        return None
    keep = os.path.join(out_dir, "kind%d.vesk" % len(kinds))
    with open(keep, "wb") as f:
        f.write(data)
    kinds[kind] = keep
    return keep


def map_windows(rng, native, path, key, ref_value):
    """Tiles of an image map that was read whole, read again on their own (whole
    rows, then part of each row) by the core's window reader: each must be that
    part of the whole map. Returns a description of each tile that is not."""
    spectra = dict(ref_value["__attrs__"])["spectra"]
    npy, npx, npt = spectra.shape
    wrong = []
    for whole_rows in (True, False):
        r0 = rng.randrange(npy + 1)
        rows = rng.randrange(npy - r0 + 1)
        c0 = 0 if whole_rows else rng.randrange(npx + 1)
        cols = npx if whole_rows else rng.randrange(npx - c0 + 1)
        out = np.zeros((rows, cols, npt), dtype=np.float32)
        fd = os.open(path, os.O_RDONLY)
        try:
            native.read_map_rows(fd, key[0].upper(), "3D", key[2].upper(), r0, rows, c0, cols,
                                 out)
            if same(out, spectra[r0:r0 + rows, c0:c0 + cols]):
                continue
            said = "values differ"
        except Exception as e:  # noqa: BLE001 -- any failure of a tile the map held is one
            said = "%s: %s" % (type(e).__name__, e)
        finally:
            os.close(fd)
        wrong.append("rows %d+%d columns %d+%d of %r: %s" % (r0, rows, c0, cols, spectra.shape,
                                                              said))
    return wrong


import crosscheck_exports  # noqa: E402 -- beside this file
import crosscheck_vesk  # noqa: E402 -- beside this file


def _vesk_judge(seed):
    """vesk judged against the reference (crosscheck_vesk), where vesk is built."""
    try:
        import vesk  # noqa: F401
    except ImportError:
        return None
    return crosscheck_vesk.Judge(sys.modules[__name__], random.Random("vesk %d" % seed))


def run(cases, seed, out_dir, vesk_every=2, exports_every=0):
    import vesk_writer as vw
    import writer_3d as w3
    import writer_images as wi
    import veskread

    rng = random.Random(seed)
    seeds = list(seed_files(vw, w3, wi))
    fixed = seeds + list(large_files(vw, w3, wi))
    counts = collections.Counter()
    tally = collections.Counter()
    kinds = {}
    path = os.path.join(out_dir, "case.vesk")
    this_module = sys.modules[__name__]
    for name in DATA_CLASSES:
        counts["class facts"] += 1
        if not same(class_facts(this_module, name), class_facts(veskread, name)):
            counts["disagree class facts"] += 1
            kinds[("class facts", name)] = None
            print("DISAGREE class facts of %s\n  reference: %r\n  veskread:  %r"
                  % (name, class_facts(this_module, name), class_facts(veskread, name)))
    for name in FUNCTIONS:
        counts["function facts"] += 1
        ref, got = function_facts(this_module, name), function_facts(veskread, name)
        if not same(ref, got):
            counts["disagree function facts"] += 1
            kinds[("function facts", name)] = None
            print("DISAGREE function facts of %s\n  reference: %r\n  veskread:  %r"
                  % (name, ref, got))
    expected = expected_import_warnings(veskread)
    if expected is not None:
        counts["import"] += 1
        if import_warnings() != expected:
            counts["disagree import"] += 1
            kinds[("import",)] = None
            print("DISAGREE import warnings: %s" % import_warnings())
    counts["vocabulary"] += 1
    if not same(vocabulary_facts(this_module), vocabulary_facts(veskread)):
        counts["disagree vocabulary"] += 1
        kinds[("vocabulary",)] = None
        ref, got = vocabulary_facts(this_module), vocabulary_facts(veskread)
        print("DISAGREE vocabulary\n  reference: %r\n  veskread:  %r"
              % ([x for x in ref if x not in got], [x for x in got if x not in ref]))
    # its own sequence, so that the files made for a seed stay those of earlier runs
    class_rng = random.Random(seed)
    call_rng = random.Random("calls %d" % seed)
    window_rng = random.Random("windows %d" % seed)
    native = _native_reader()
    judge = _vesk_judge(seed) if vesk_every else None
    exports = crosscheck_exports.Judge(random.Random("exports %d" % seed)) \
        if exports_every and judge is not None else None
    for n in range(cases):
        for _ in range(2):
            name, label, args, kwargs = construction_cases(class_rng)
            ref, got = (construct(m, name, args, kwargs) for m in (this_module, veskread))
            counts["constructions"] += 1
            if not same(ref, got):
                counts["disagree constructions"] += 1
                if (name, label) not in kinds:
                    kinds[(name, label)] = None
                    print("DISAGREE %s built with %s: %r %r\n  reference: %r\n  veskread:  %r"
                          % (name, label, args, kwargs, ref, got))
        data = fixed[n] if n < len(fixed) else mutate(rng, seeds[n % len(seeds)], vw)
        with open(path, "wb") as f:
            f.write(data)
        calls = [("isVeskFile", (path,)), ("listContents", (path,)), ("getVisImages", (path,)),
                 ("imghdr_what", (data[rng.randrange(len(data) + 1):][:rng.randrange(12)],))]
        calls += [("getVeskData", (path, key)) for key in KEYS]
        if n < len(seeds):
            calls += [("getVeskData", (pathlib.Path(path), KEYS[0])),
                      ("getVeskData", (None, KEYS[0])), ("getVeskData", (path, ("AB", "2D"))),
                      ("getVeskData", (path, ("AB", 2, "NONE"))),
                      ("getVeskData", (path, ["ab", "2d", "none", "extra"])),
                      ("getVeskData", ("/nonexistent/x", ("XX", "2D", "NONE"))),
                      ("listContents", ("/nonexistent/x",)), ("isVeskFile", (path + "/x",)),
                      ("isVeskFile", (out_dir,)), ("listContents", (out_dir,)),
                      ("getVeskData", (out_dir, KEYS[0]))]
        blob = bytes(rng.randrange(256) for _ in range(rng.randrange(6)))
        encs = rng.choice([None, [], ["ascii"], ["utf8", "ascii"], ["latin1"], ["nope"],
                           ["utf-16-le"]])
        calls.append(("decode_string", (blob,) if encs is None else (blob, encs)))
        odd = rng.choice([bytearray(blob), memoryview(blob), blob.decode("latin1"), blob])
        encs = rng.choice([("utf8",), ["ascii"], [1], ["ascii", None], ("latin1", "x")])
        calls.append(("decode_string", (odd, Made(lambda e=encs: iter(e)))))
        # what the rules accept in place of a path, and odd arguments: their own
        # sequence, so that the files made for a seed stay those of earlier runs
        # every odd path of a file that costs its bound at each reading would cost seconds
        calls += odd_calls(call_rng, path, data, out_dir,
                           every=n < len(fixed) and len(data) < (1 << 20))
        for call in calls:
            name, args = call[:2]
            kwargs = call[2] if len(call) > 2 else {}
            REGIONS_DECLARED.clear()
            ref, ref_after, _values, release = made_outcome(globals()[name], args, kwargs)
            release()
            got, got_after, values, release = made_outcome(getattr(veskread, name), args, kwargs)
            try:
                is_known = not agree(ref, got) and known(ref, got, values + list(kwargs.values()),
                                                        path)
            finally:
                release()
            counts[name] += 1
            counts["warned"] += bool(ref[4])
            tally[name, {"ok": "ok", "skip": "skip %s %s" % ref[1:3]}.get(ref[0])
                  or ref[1].__name__] += 1
            if ref_after != got_after:
                kind = (name, "argument left", repr(args))
                counts["disagree " + name] += 1
                if kind not in kinds:
                    kinds[kind] = None
                    print("DISAGREE %s%r %r  case %d: what became of the argument\n"
                          "  reference: %r\n  veskread:  %r"
                          % (name, args, kwargs, n, ref_after, got_after))
                continue
            if agree(ref, got):
                if native and name == "getVeskData" and args[:1] == (path,) \
                        and len(args) == 2 and args[1] in KEYS and ref[0] == "ok" \
                        and ref[1]["__class__"] == "ImageDataReturn":
                    counts["map windows"] += 2
                    for wrong in map_windows(window_rng, native, path, args[1], ref[1]):
                        counts["disagree map windows"] += 1
                        keep = kept_case(kinds, ("map window", wrong.split(": ")[-1][:40]),
                                         out_dir, data)
                        if keep:
                            print("DISAGREE map window of %r case %d file %s: %s"
                                  % (args[1], n, keep, wrong))
                continue
            if is_known:
                counts["known"] += 1
                continue
            counts["disagree " + name] += 1
            keep = kept_case(kinds, kind_of(name, ref, got), out_dir, data)
            if keep:
                print("DISAGREE %s%r %r  case %d  file %s\n  reference: %s\n  veskread:  %s"
                      % (name, args[1:], kwargs, n, keep, short(ref), short(got)))
        if judge is not None and n % vesk_every == 0:
            # and a seed whose deciding records read cleanly as other types, or
            # a map whose keys hold other types
            retyped = crosscheck_vesk.retype(judge.rng, seeds[n % len(seeds)]) \
                if n // vesk_every % 2 else crosscheck_vesk.typed_map(judge.rng, w3)
            retyped_path = os.path.join(out_dir, "retyped.vesk")
            with open(retyped_path, "wb") as f:
                f.write(retyped)
            for made, made_path in ((data, path), (retyped, retyped_path)):
                for kind, said in judge.judge(made_path):
                    counts["disagree vesk"] += 1
                    if kind not in kinds:
                        keep = os.path.join(out_dir, "kind%d.vesk" % len(kinds))
                        with open(keep, "wb") as f:
                            f.write(made)
                        kinds[kind] = keep
                        print("DISAGREE vesk case %d file %s: %s" % (n, keep, said))
        if exports is not None and n % exports_every == 0:
            for kind, said in exports.judge(path):
                counts["disagree exports"] += 1
                keep = kept_case(kinds, kind, out_dir, data)
                if keep:
                    print("DISAGREE export case %d file %s: %s" % (n, keep, said))
    if judge is not None:
        counts.update(judge.counts)
    if exports is not None:
        exports.close()
        counts.update({"exports " + k: v for k, v in exports.counts.items()})
    print("compared:", dict(counts))
    print("reference outcomes:", ", ".join("%s %s %d" % (c, o, k) for (c, o), k in
                                           sorted(tally.items())))
    print("kinds of disagreement:", len(kinds))
    return len(kinds)


for _name in FUNCTIONS:
    globals()[_name].__doc__ = FUNCTION_DOCS[_name]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--vesk", type=int, default=2, metavar="EVERY",
                        help="judge the vesk package on every EVERY-th case (1: all, 0: none)")
    parser.add_argument("--exports", type=int, default=0, metavar="EVERY",
                        help="export every EVERY-th case's blocks in each format and read them "
                        "back (crosscheck_exports; 0: none)")
    parser.add_argument("--keep", help="directory for reproducer files (default: a new temp dir)")
    args = parser.parse_args()
    out_dir = args.keep or tempfile.mkdtemp(prefix="crosscheck-")
    os.makedirs(out_dir, exist_ok=True)
    sys.exit(1 if run(args.cases, args.seed, out_dir, args.vesk, args.exports) else 0)


if __name__ == "__main__":
    main()
