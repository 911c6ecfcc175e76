"""`Block`: one data block as the listing describes it, without its values."""
from __future__ import annotations

import datetime as _dt
import math
import os
import re
from dataclasses import dataclass, field
from typing import Any, Dict, Mapping, Optional, Tuple

from vesk import _display, _native, _vocabulary
from vesk._errors import reworded, with_offset
from vesk._text import json_strict
from vesk._vocabulary import ParameterValue, ReadOnly

KINDS = (
    "spectrum",
    "image map",
    "image traces",
    "time-resolved series",
    "time-resolved traces",
    "multiregion map",
    "multiregion traces",
)
#: The kind of a listed block that reading refuses; its `problem` says why.
UNREADABLE = "unreadable"

BlockKey = Tuple[str, str, str]
FileStamp = Tuple[int, int, int, int, int]


def file_stamp(st: os.stat_result) -> FileStamp:
    """A file's identity and state. Its status change time moves at every
    write, even one that keeps the size and sets the modification time back."""
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


@dataclass(frozen=True)
class Block:
    """A data block of a file, described from its directory entry and tables.

    `shape` is the shape of the `values` that reading the block gives; for a
    block that reading refuses, `kind` is "unreadable", `shape` is () and
    `problem` tells why.

    `key` (("AB", "3D", "NONE"), as `veskread` takes it) and `name`
    ("AB/3D/NONE") name it; `kind` is one of `vesk.KINDS`; `points` counts
    the spectral points (NPT) of each spectrum or trace, `x_range` gives the
    first and last x as stored (FXV, LXV) and `x_label` and `y_label` what
    they measure, with units; `parameters` are its merged parameters
    (read-only), `measured` the date and time they give and `path` the file.
    `warning` says why the values read would not all be the measurement
    (None where they are); `unfilled`, `cut`, `cut_names`, `planes`,
    `fill`, `parameters_cut` and `parameters_damage` count and place what
    it lacks, and `offset`, `length` and `stored` where the block lies and
    how many stored blocks its store table lists (-1 where unknown).

    Blocks compare and hash by that description, not by their file: the same
    block of two copies of a file is equal.
    """

    key: BlockKey
    """The low-level key, e.g. ("AB", "3D", "NONE")."""
    name: str
    """The key as one string, e.g. "AB/3D/NONE"."""
    kind: str
    """One of `vesk.KINDS`, or "unreadable"."""
    shape: Tuple[int, ...]
    points: int
    """Spectral points per spectrum or trace (NPT)."""
    x_range: Tuple[float, float]
    """First and last x value, as stored (FXV, LXV)."""
    x_label: str
    y_label: str
    offset: int
    """Byte offset of the data block in the file (-1 when unknown)."""
    problem: Optional[str] = None
    parameters: Mapping[str, ParameterValue] = field(
        default_factory=lambda: ReadOnly({}), compare=False, repr=False
    )
    """The merged parameters, read-only; for an unreadable block, those that
    could be read (none when its parameter blocks are the problem)."""
    path: str = field(default="", compare=False, repr=False)
    """The file the block was listed from, as it was opened ("" when unknown)."""
    length: int = -1
    """Byte length of the data block as the directory gives it (-1 when it
    gives none); reading does not consult it."""
    unfilled: int = 0
    """Points of an image map that no whole stored spectrum fills (the
    measurement stopped, or the file was cut, before them); they read as
    `fill`, where `veskread` gives 0 or refuses the map. Points of a
    multiregion map that no stored spectrum fills read as `fill` at the map
    position the annotation table gives (NaN where it gives no number) with
    start time `fill`, where `veskread` gives 0 at (0, 0)."""
    stored: int = -1
    """Blocks the store table of a 3D block lists (-1 for a spectrum)."""
    cut: int = 0
    """Stored spectra of an image map, time-resolved series or multiregion
    map, or stored traces of a series or map of traces, that the end of the
    file cuts short. Reading gives the rest, with a `VeskWarning`: a map's
    missing points as `fill`, a series or block of traces without the rows or
    traces it lacks (`shape` counts only those read)."""
    planes: bool = False
    """Whether an image map is stored as planes, each stored block one spectral
    point of every map point; with fewer than NPT stored whole, the values of
    the planes not read read as `fill`."""
    fill: float = field(default=math.nan, compare=False)
    """What a map's points without a whole stored spectrum read as:
    NaN, or 0 (zero pages that cost no memory) where NaN throughout the map
    would take more than the file's size can back."""
    cut_names: int = 0
    """Names of the traces read that the end of the file cuts short: they read
    shorter than stored, or empty, with a `VeskWarning`."""
    parameters_cut: int = -1
    """Byte offset of a parameter block of this block that the end of the
    file cuts short, or that is damaged (-1 for none). `parameters` hold its
    records before the cut, and none of a damaged one (a record read before
    the damage may have been read from the wrong place); reading gives the
    values with a `VeskWarning`, where `veskread` refuses the block, unless
    the cut took what places them (an unreadable block, whose `problem` is
    reading's error)."""
    parameters_damage: str = ""
    """Where that parameter block is damaged, not cut short: what is wrong
    with it ("unknown parameter type 93 for key 'ZFF' at offset 1204")."""
    _file_size: int = field(default=-1, compare=False, repr=False)  # of `path`, as listed
    # file_stamp() of the file listed, which `path` must still give for its
    # bytes to be those read; None where nothing can (a stream, named or not,
    # or a file that changed as it was listed)
    _file_id: Optional[FileStamp] = field(default=None, compare=False, repr=False)

    @property
    def measured(self) -> Optional[_dt.datetime]:
        """Measurement date and time from the parameters, or None: aware
        where they name its zone, naive otherwise, and midnight where they
        give a date alone (`to_dict()` and xarray's `measured` give the date
        alone then)."""
        return _vocabulary.measurement_time(self.parameters)

    @property
    def variable_name(self) -> str:
        """The name as a file or netCDF variable may bear it ("AB_3D_NONE"):
        both take '/' for a separator."""
        return self.name.replace("/", "_")

    @property
    def warning(self) -> Optional[str]:
        """Why values read are not all the measurement, or None: a spectrum or
        traces that the end of the file cuts short (fewer values than NPT), a
        spectrum whose NPT runs past its data block (its last values come from
        whatever follows it), an image map some of whose points no stored
        spectrum fills (they read as NaN), a map or series that the end of
        the file cuts short, or parameters that it cuts short."""
        notes = [self._values_warning()]
        if self.cut_names > 0:
            notes.append("the file ends early: %s cut short" % (
                "the name of 1 trace is" if self.cut_names == 1
                else "the names of %d traces are" % self.cut_names))
        if self.parameters_damage:
            notes.insert(0, "the parameter block at byte %d is damaged (%s): the parameters it "
                            "holds are missing" % (self.parameters_cut,
                                                               self.parameters_damage))
        elif 0 <= self._file_size <= self.parameters_cut:
            notes.insert(0, "the parameter block at byte %d lies past the end of the file (%d "
                            "bytes): the parameters it holds are missing" % (self.parameters_cut,
                                                                   self._file_size))
        elif self.parameters_cut >= 0:
            notes.insert(0, "the parameter block at byte %d runs past the end of the file: "
                            "the parameters it holds after the cut are missing" % self.parameters_cut)
        return "; ".join(n for n in notes if n) or None

    def _values_warning(self) -> Optional[str]:
        fill = "NaN" if math.isnan(self.fill) else "0"
        if self.cut > 0:
            traces = self.kind in ("time-resolved traces", "image traces", "multiregion traces")
            ends = "the file ends early: %d of its %d stored %s %s cut off" % (
                self.cut, self.stored, "traces" if traces else "planes" if self.planes
                else "spectra", "is" if self.cut == 1 else "are")
            if self.planes:
                missing = self.points - self.stored + self.cut
                return "%s; the values of the %d plane%s not read (of NPT %d) read as %s" % (
                    ends, missing, "" if missing == 1 else "s", self.points, fill)
            if self.kind == "multiregion map":
                return "%s; %d of the map's %d points read as %s" % (
                    ends, self.unfilled, self.shape[0], _REGION_FILL[fill])
            if self.kind != "image map":
                read = self.shape[-1] if self.kind in ("image traces", "multiregion traces") \
                    else self.shape[0]
                return "%s; %s" % (ends, "the other %d %s read" % (
                    read, "is" if read == 1 else "are") if read else "none is whole")
            return "%s; %d of the map's %d points read as %s" % (
                ends, self.unfilled, self.shape[0] * self.shape[1], fill)
        if self.unfilled > 0 and self.kind == "multiregion map":
            return ("%d of the map's %d points %s no stored spectrum: %s as %s" % (
                self.unfilled, self.shape[0], *_holds_reads(self.unfilled), _REGION_FILL[fill]))
        if self.unfilled > 0:
            points = self.shape[0] * self.shape[1]
            if self.planes:
                return "only %d of its NPT %d planes are stored: the values of the other %d " \
                       "read as %s" % (self.stored, self.points, self.points - self.stored, fill)
            if self.unfilled == points and self.stored > 0:
                return ("its %d stored blocks are neither spectra of NPT values nor NPT planes: "
                        "all its %d points read as %s" % (self.stored, points, fill))
            return "%d of the map's %d points %s no stored spectrum: %s as %s" % (
                self.unfilled, points, *_holds_reads(self.unfilled), fill)
        notes = []
        if self.kind in ("spectrum", "time-resolved traces") and self.shape[-1] < self.points:
            notes.append("the file ends early: %s %d of NPT %d values" % (
                "it holds" if self.kind == "spectrum" else "its traces hold",
                self.shape[-1], self.points))
        if self.kind == "spectrum" and 0 <= self.length < 4 * self.shape[0]:
            notes.append("NPT %d runs past the data block's %d bytes: the last %d of the %d "
                          "values are read from whatever follows it" % (
                              self.points, self.length, self.shape[0] - self.length // 4,
                              self.shape[0]))
        return "; ".join(notes) or None

    def to_dict(self) -> Dict[str, Any]:
        """The block as `vesk ls --json` lists it, ready for `json.dumps` as
        strict JSON (a NaN or infinite number as None): `name`, `key`, `kind`,
        `shape`, `points`, `traces` (of a block of traces; None for others),
        `x_range`, `x_label`, `y_label`, `problem`, `warning`, `measured`
        (ISO 8601, or None) and `parameters`."""
        return json_strict(record(self, dict(self.parameters.items())))  # type: ignore[no-any-return]

    @_display.never_raises(_display.plain_fallback)
    def __repr__(self) -> str:
        return _display.block_text(self)

    def __str__(self) -> str:
        if self.problem is not None:
            return "%s  %s  %s" % (self.name, self.kind, self.problem)
        shape = " x ".join(str(n) for n in self.shape)
        if self.kind in ("image traces", "multiregion traces"):
            # a value per map point and trace: nothing runs along the x axis
            return "%s  %s  %s  %s" % (self.name, self.kind, shape, self.y_label)
        return "%s  %s  %s  %s vs %s" % (self.name, self.kind, shape, self.y_label, self.x_label)


def trace_count(block: Block) -> Optional[int]:
    """How many traces a block of traces holds: the last of a map's
    dimensions, the first of a series' (a row per trace, over time)."""
    if block.kind in ("image traces", "multiregion traces"):
        return block.shape[-1]
    if block.kind == "time-resolved traces":
        return block.shape[0]
    return None


def record(block: Block, parameters: Optional[Dict[str, Any]]) -> Dict[str, Any]:
    """Block.to_dict, with the parameters given (None: not listed)."""
    return {"name": block.name, "key": list(block.key), "kind": block.kind,
            "shape": list(block.shape), "points": block.points, "traces": trace_count(block),
            "x_range": list(block.x_range), "x_label": block.x_label,
            "y_label": block.y_label, "problem": block.problem, "warning": block.warning,
            # to order a folder's runs by when they were measured
            "measured": _vocabulary.measured_text(block.parameters),
            # to find runs by what they hold: sample, resolution, scans
            "parameters": parameters}


# Where a multiregion map's missing points stand, by Block.fill.
_REGION_FILL = {"NaN": "NaN, at the annotation table's map position",
                "0": "0, at map position (0, 0)"}


def _holds_reads(count: int) -> Tuple[str, str]:
    return ("holds", "it reads") if count == 1 else ("hold", "they read")


def key_name(key: BlockKey) -> str:
    return "/".join(key)


def _number(value: Optional[ParameterValue]) -> float:
    return float(value) if isinstance(value, (int, float)) else math.nan


def _fill(kind: str, shape: Tuple[int, ...], file_size: int) -> float:
    """NaN for the missing points of a map that NaN throughout would keep
    within what reading may build from the file; 0 otherwise."""
    if kind not in ("image map", "multiregion map"):
        return math.nan
    # A multiregion map's points have their position and start time too, and
    # reading's own arrays of its regions live on beside it (`raw`).
    per_point = 4 * shape[-1] + (4 * shape[-1] + 24 if kind == "multiregion map" else 0)
    return math.nan if per_point * math.prod(shape[:-1]) <= _native.output_limit(file_size) \
        else 0.0


# What `vesk` builds for each point of a multiregion block, whether a stored
# spectrum fills it or not: its region, title, position and time (and their
# NaN copies), and the index pandas makes of them.
_POINT_BYTES = 128


def read_bytes(block: Block) -> int:
    """About what a read of `block` holds: its values, and each point of a
    multiregion block with what is built for it beside them."""
    points = block.shape[0] if block.kind in ("multiregion map", "multiregion traces") else 0
    return 4 * math.prod(block.shape) + _POINT_BYTES * points


def _points_unbacked(kind: Optional[str], shape: Optional[Tuple[int, ...]],
                     file_size: int) -> Optional[str]:
    """Why a multiregion block's points cost more than its file can back, or None.
    Regions may share the rows of their table: a small file can declare
    millions of points, which `veskread` leaves as untouched zero pages."""
    if kind not in ("multiregion map", "multiregion traces") or not shape:
        return None
    need = shape[0] * _POINT_BYTES
    if need <= _native.output_limit(file_size):
        return None
    return ("the annotation table gives %d points, whose coordinates need %d bytes; a file of "
            "%d bytes cannot back them" % (shape[0], need, file_size))


_ROW_PAST_MAP = r"index (\d+) is out of bounds for axis 0 with size (\d+)"  # compiled when met


def _placed(message: str, params: Optional[Mapping[str, Any]]) -> str:
    """numpy's refusal of a row past a map's last, said of the map: the file
    stores more blocks than the points its parameters give."""
    npx, npy = (params or {}).get("NPX"), (params or {}).get("NPY")
    row = re.fullmatch(_ROW_PAST_MAP, message)
    if row is None or not isinstance(npx, int) or str(npy) != row.group(2):
        return message
    return "the file stores more blocks than its %s x %d map has points (%s)" % (
        npy, npx, message)


def block_from_outline(item: _native._Outline, path: str = "", file_size: int = 0,
                       file_id: Optional[FileStamp] = None) -> Block:
    """A Block of the file `path` (of `file_size` bytes; `file_id` its
    file_stamp() where its bytes can be read again) from one entry of the
    native outline."""
    (data_type, dims, deriv, kind, shape, params, offset, problem, length, unfilled,
     stored, cut, planes, parameters_cut, cut_names, parameters_damage) = item
    key: BlockKey = (data_type, dims, deriv)
    unbacked = _points_unbacked(kind, shape, file_size)
    if problem is not None or unbacked is not None:
        text = unbacked or ""
        if problem is not None:
            text = with_offset(_placed(reworded(problem[0]), params), problem[1])
        return Block(key, key_name(key), UNREADABLE, (), 0, (math.nan, math.nan), "x",
                     _vocabulary.y_label(data_type, deriv), -1, text,
                     parameters_cut=parameters_cut, parameters_damage=parameters_damage,
                     parameters=ReadOnly(params or {}), path=path,
                     _file_size=file_size or -1, _file_id=file_id)
    assert kind is not None and shape is not None and params is not None
    npt = params.get("NPT")
    # Every field, in the order the class declares them: the frozen class's
    # __init__ sets each through object.__setattr__, a third of the cost of
    # opening a small file.
    block = object.__new__(Block)
    vars(block).update(
        key=key,
        name=key_name(key),
        kind=kind,
        shape=tuple(shape),
        points=npt if isinstance(npt, int) else 0,
        x_range=(_number(params.get("FXV")), _number(params.get("LXV"))),
        x_label=_vocabulary.x_label(params),
        y_label=_vocabulary.y_label(data_type, deriv),
        offset=offset,
        problem=None,
        parameters=ReadOnly(params),
        path=path,
        length=length,
        unfilled=unfilled,
        stored=stored,
        cut=cut,
        planes=planes,
        fill=_fill(kind, tuple(shape), file_size),
        cut_names=cut_names,
        parameters_cut=parameters_cut,
        parameters_damage=parameters_damage,
        _file_size=file_size or -1,
        _file_id=file_id,
    )
    return block
