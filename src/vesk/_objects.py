"""Typed data objects, one per kind of block, over the arrays read natively.

Each object holds the very arrays and parameter dictionary that
`veskread.getVeskData` returns (no copies; the parameters behind a read-only
view), names the dimensions of its main array `values` and gives its
coordinates, so that `to_xarray()` needs no further reading. The one
exception to "no copies" is the `values` of a multiregion map with more than
one region: the regions' arrays stay as read in `regions`, and `values`
joins them into one array of points.
"""
from __future__ import annotations

import base64
import datetime as _dt
import math
from dataclasses import dataclass, field, fields
from typing import (TYPE_CHECKING, Any, ClassVar, Dict, List, Mapping, Optional, Sequence, Tuple,
                    Type, TypeVar, Union, cast)

import numpy as np
from numpy.typing import NDArray

from vesk import _display, _native, _vocabulary
from vesk._bands import Bands
from vesk._block import Block
from vesk._errors import FormatError
from vesk._public import shown_as_package
from vesk._vocabulary import ParameterValue, ReadOnly

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray

Coords = Mapping[str, Tuple[Tuple[str, ...], NDArray[Any]]]


def _need(module: str, call: str, extra: str) -> Any:
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(
            "%s needs %s: pip install 'veskread[%s]'" % (call, module, extra)
        ) from e


def fitted_coords(shape: Sequence[int], dims: Sequence[str], coords: Coords) -> Coords:
    """`coords` with each dimension's own coordinate cut to that dimension's length."""
    sizes = dict(zip(dims, shape))
    out = {}
    for name, (cdims, array) in coords.items():
        if len(cdims) == 1 and cdims[0] in sizes and len(array) > sizes[cdims[0]]:
            array = array[:sizes[cdims[0]]]
        out[name] = (cdims, array)
    return out


# Kinds whose last dimension is the spectral axis (the others run over traces).
_ALONG_X = ("spectrum", "image map", "time-resolved series", "time-resolved traces",
            "multiregion map")


def coordinate_attrs(block: Block, dims: Sequence[str]) -> Dict[str, Dict[str, str]]:
    """CF `long_name` and `units` per coordinate name, where the file tells them:
    the spectral axis from its unit code, map positions from the map units
    (MUN), the time of a series from its axis label (ZTX, "Time (s)"); the
    coordinates of traces and regions a long name alone."""
    p = block.parameters
    out: Dict[str, Dict[str, str]] = {
        "trace": {"long_name": "Trace"}, "region": {"long_name": "Region"},
        "region_title": {"long_name": "Region title"},
        "start_time": {"long_name": "Start time"}}
    map_units = p.get("MUN")
    for name, long_name in (("x", "Map x"), ("y", "Map y"), ("map_x", "Map x"),
                            ("map_y", "Map y")):
        out[name] = _vocabulary.with_units(
            long_name, map_units if isinstance(map_units, str) else "")
    if block.kind == "time-resolved series":
        out["time"] = _vocabulary.label_attrs(p.get("ZTX", "")) or {"long_name": "Time"}
    if block.kind in _ALONG_X and dims:
        out[dims[-1]] = _vocabulary.axis_attrs(p)
    return {name: attrs for name, attrs in out.items() if attrs}


_Class = TypeVar("_Class", bound=type)
_Object = TypeVar("_Object", bound="DataObject")
_ABSENT = object()


def in_place(cls: _Class) -> _Class:
    """A frozen data class whose arrays still take numpy's in-place operators:
    `obj.values -= baseline` changes the array itself, then assigns it back,
    which the frozen class would refuse after the change was made. Giving a
    field, or a property naming one (`time`), the very object it holds is
    therefore no assignment; any other value is refused as before."""
    frozen = vars(cls)["__setattr__"]  # what the frozen data class made

    def __setattr__(self: Any, name: str, value: Any) -> None:
        if getattr(self, name, _ABSENT) is value:
            return
        frozen(self, name, value)

    cls.__setattr__ = __setattr__  # type: ignore[assignment]
    return cls


@in_place
@dataclass(frozen=True, eq=False)
class DataObject(Bands):
    """What every data object holds. Objects compare by identity: their arrays
    have no single truth value to compare by.

    `values` is the main array, `dims` names its dimensions and `coords` (read-only) maps
    each coordinate name to (its dimensions, its array). A recording that ends
    early reads as fewer values than its parameters declare (the leading
    ones); its coordinates are cut to match, while `x` stays the declared axis.
    Fields are not reassigned, but arrays take numpy's in-place operators
    (`obj.values -= baseline`), which every view of them then shows.

    `block` is the `Block` read, `parameters` its merged parameters
    (read-only), `x` the spectral axis as declared (NPT points from FXV to
    LXV, as stored: a wavenumber axis usually descends) and `raw` the
    `veskread` object the arrays come from (None where `vesk` reads the
    block itself). Blocks of spectra give `band_area(lo, hi)` and
    `interp(x)`.
    """

    block: Block
    parameters: Mapping[str, ParameterValue]
    values: NDArray[np.float32] = field(repr=False)
    dims: Tuple[str, ...]
    coords: Coords = field(repr=False)
    raw: Any = field(repr=False, compare=False)
    """The low-level `veskread` data object the arrays come from; None where
    `vesk` reads the block itself: a map, series or block of traces that the
    end of its file cuts short, or a map with points that no stored spectrum
    fills. The
    object of a multiregion map with such points holds arrays of its own,
    NaN there (`Block.fill`), where `raw`'s hold 0 at (0, 0)."""
    x: NDArray[np.float64] = field(repr=False)
    """The spectral axis (or the axis along each trace): NPT points from FXV to LXV."""

    def __post_init__(self) -> None:
        # Read-only as the object's other fields: an object may be shared
        # (a Dask worker's, a cache's), and its axes are part of what was read.
        coords = fitted_coords(self.values.shape, self.dims, self.coords)
        object.__setattr__(self, "coords", ReadOnly(dict(coords)))

    # Subclasses are declared with repr=False so that they keep this one: a
    # dataclass repr would print every parameter and trace name.
    @_display.never_raises(_display.plain_fallback)
    def __repr__(self) -> str:
        return _display.data_text(self)

    @_display.never_raises(_display.no_html)
    def _repr_html_(self) -> Optional[str]:
        return _display.data_html(self)

    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> NDArray[Any]:
        """`np.asarray(obj)` is `obj.values`, so numpy functions take the object.
        `copy=True` copies; `copy=False` refuses, as numpy 2 does, a `dtype`
        that needs one (numpy 1 never passes `copy`)."""
        if copy:
            return np.array(self.values, dtype=dtype, copy=True)
        if copy is False and dtype is not None and np.dtype(dtype) != self.values.dtype:
            raise ValueError("%s as %s needs a copy of its values, which copy=False refuses"
                             % (type(self).__name__, np.dtype(dtype)))
        return np.asarray(self.values, dtype=dtype)

    @property
    def shape(self) -> Tuple[int, ...]:
        """The shape of `values`, as its block's `shape` gives it before reading."""
        return tuple(self.values.shape)

    @property
    def warning(self) -> Optional[str]:
        """What the file lacks or garbles for this block (points never
        measured, a file cut short, parameters cut or damaged), as
        `block.warning` says; None where nothing is amiss."""
        return self.block.warning

    @property
    def measured(self) -> Optional[_dt.datetime]:
        """Measurement date and time from the parameters, or None: aware
        where they name its zone, naive otherwise, and midnight where they
        give a date alone (`to_dict()` and xarray's `measured` give the date
        alone then)."""
        return _vocabulary.measurement_time(self.parameters)

    def attrs(self) -> Dict[str, Any]:
        """Attributes for xarray: the parameters (one keyed as an attribute
        below, "kind", under "kind_"), the block and its labels,
        `measured` (ISO 8601; the date alone where no time of day is given)
        where the parameters date the measurement, and
        `comment`, the block's `warning`, where values are not all the
        measurement."""
        out = block_attrs(self.block, self.parameters)
        out["long_name"] = self.block.y_label
        return out

    @property
    def variable_name(self) -> str:
        """The block's `variable_name` ("AB_3D_NONE"); `attrs()["block"]` keeps
        "AB/3D/NONE"."""
        return self.block.variable_name

    def to_xarray(self) -> "xarray.DataArray":
        """The values as an `xarray.DataArray` with named dims, coords and attrs,
        named `variable_name`, so that `.to_netcdf()` takes it as it is."""
        xr = _need("xarray", "to_xarray()", "xarray")
        attrs = coordinate_attrs(self.block, self.dims)
        from vesk._xarray_texts import as_given
        coords = {name: xr.Variable(dims, as_given(array), attrs.get(name, {}))
                  for name, (dims, array) in self.coords.items()}
        return xr.DataArray(  # type: ignore[no-any-return]
            self.values, dims=self.dims, coords=coords, attrs=self.attrs(),
            name=self.variable_name,
        )

    def to_pandas(self) -> Union["pandas.Series", "pandas.DataFrame"]:
        """The values in pandas: a spectrum as a `Series`, every other block as
        a `DataFrame` (see each kind's own `to_pandas`)."""
        raise NotImplementedError


# The attributes vesk sets besides the parameters.
OWN_ATTRS = frozenset(("block", "kind", "x_label", "measured", "comment", "long_name"))


def parameter_attr(key: str) -> str:
    """The attribute name of parameter `key`: the key, or, for a key named as
    one of vesk's own attributes (a four-letter key "kind"), the key with '_'
    added, so that its value is not lost under vesk's."""
    while key in OWN_ATTRS:
        key += "_"
    return key


def block_attrs(block: Block, parameters: Mapping[str, Any]) -> Dict[str, Any]:
    """A block's attributes in xarray, read or opened lazily alike (see
    DataObject.attrs)."""
    out: Dict[str, Any] = {parameter_attr(name): value for name, value in parameters.items()}
    out.update(block=block.name, kind=block.kind, x_label=block.x_label)
    measured = _vocabulary.measured_text(parameters)
    if measured is not None:
        out["measured"] = measured
    if block.warning is not None:  # what NaN alone does not say: why
        out["comment"] = block.warning
    return out


@in_place
@dataclass(frozen=True, eq=False, repr=False)
class Table(DataObject):
    """A block of many spectra or traces, which pandas holds as a table."""

    def table_view(self) -> Tuple[NDArray[np.float32], Tuple[str, ...]]:
        """`values` (a view) and its dims as a table takes them: one row per
        spectrum, map point or time, the columns last (the spectral axis, or
        the traces)."""
        return self.values, self.dims

    def row_coordinates(self) -> List[str]:
        """Names of the coordinates that label the table's rows (table_view):
        a dimension's own coordinate first, then those lying over the rows
        only. `to_pandas()` indexes its rows by them."""
        dims = self.table_view()[1]
        rows, last = dims[:-1], dims[-1]
        return [d for d in rows if d in self.coords] + [
            n for n, (cdims, _) in self.coords.items()
            if n not in rows and n != last and cdims and set(cdims) <= set(rows)]

    def to_pandas(self) -> "pandas.DataFrame":
        """The values as a `pandas.DataFrame`: one row per spectrum, map point
        or time, one column per point of the spectral axis or per trace.

        The rows are indexed by their coordinates (y and x of a map, time,
        region, its title and map position of a point); the table shares the
        memory of `values` where its layout allows.
        """
        pd = _need("pandas", "to_pandas()", "pandas")
        values, dims = self.table_view()
        rows, last = dims[:-1], dims[-1]
        row_shape = values.shape[:-1]
        width = values.shape[-1]
        names = self.row_coordinates()
        count = int(np.prod(row_shape))
        if not names:
            index = pd.RangeIndex(count, name=rows[0] if len(rows) == 1 else None)
        elif len(names) == 1 and len(rows) == 1:
            index = pd.Index(self.coords[names[0]][1], name=names[0])
        elif names == list(rows):
            # A grid: its levels are the axes, never spelt out point by point.
            levels = [self.coords[d][1] for d in rows]
            self._check_grid_index(levels, count, width)
            index = pd.MultiIndex.from_product(levels, names=names)
        else:
            levels = []
            for name in names:
                cdims, array = self.coords[name]
                shape = [row_shape[i] if d in cdims else 1 for i, d in enumerate(rows)]
                levels.append(np.broadcast_to(np.asarray(array).reshape(shape), row_shape).ravel())
            index = pd.MultiIndex.from_arrays(levels, names=names)
        columns = pd.Index(self.coords[last][1] if last in self.coords else np.arange(width),
                           name=last)
        return pd.DataFrame(  # type: ignore[no-any-return, unused-ignore]
            values.reshape(count, width), index=index, columns=columns, copy=False)

    def _check_grid_index(self, levels: Sequence[NDArray[Any]], count: int, width: int) -> None:
        """Refuses a grid index that needs more memory than its filled rows
        could back: pandas spells out a code per level and row, while a map
        too large to fill with NaN keeps its unfilled points as zero pages
        that cost nothing in `values`, so a small damaged file declaring
        billions of them would fill gigabytes."""
        # At least the width pandas gives each level's codes.
        codes = sum(np.min_scalar_type(-2 * max(len(level), 1)).itemsize for level in levels)
        filled = count - max(self.block.unfilled, 0)
        need = count * codes
        if need > _native.output_limit(4 * width * filled):
            raise FormatError(
                "%s: block %s: a table of the map's %d points, %d of which hold a stored "
                "spectrum, needs %d bytes of index; more than those spectra can give"
                % (self.block.path, self.block.name, count, filled, need),
                path=self.block.path, block=self.block.name)


@in_place
@dataclass(frozen=True, eq=False, repr=False)
class Spectrum(DataObject):
    """One spectrum (a 2D block): `y` over the spectral axis `x`.

    `values` is `y`; `coords` names the axis by its unit ("wavenumber", ...).
    """

    y: NDArray[np.float32] = field(repr=False)

    def to_pandas(self) -> "pandas.Series":
        """The spectrum as a `pandas.Series` indexed by x."""
        pd = _need("pandas", "to_pandas()", "pandas")
        index = pd.Index(self.coords[self.dims[0]][1], name=self.dims[0])
        return pd.Series(self.y, index=index, name=self.block.name)  # type: ignore[no-any-return, unused-ignore]


@in_place
@dataclass(frozen=True, eq=False, repr=False)
class ImageMap(Table):
    """Spectra over a map grid: values[row, column, point].

    `x` is the spectral axis (values' last dimension); the map's positions
    are `map_x` (columns) and `map_y` (rows), which `coords`, `to_xarray()`
    and exports name "x" and "y". `band_area(lo, hi)` gives a chemical image.
    """

    map_x: NDArray[np.float64] = field(repr=False)
    map_y: NDArray[np.float64] = field(repr=False)


@in_place
@dataclass(frozen=True, eq=False, repr=False)
class ImageTraces(Table):
    """Maps of traces: values[row, column, trace], trace k named labels[k].

    The map's positions are `map_x` (columns) and `map_y` (rows), which
    `coords`, `to_xarray()` and exports name "x" and "y".
    """

    spectral: ClassVar[bool] = False

    map_x: NDArray[np.float64] = field(repr=False)
    map_y: NDArray[np.float64] = field(repr=False)
    labels: List[str]


@in_place
@dataclass(frozen=True, eq=False, repr=False)
class TimeSeries(Table):
    """Spectra taken one after another: values[step, point] at times
    time[step] (also `z`, as the low-level reader names it), over the
    spectral axis x[point]. `band_area(lo, hi)` gives a kinetic trace."""

    z: NDArray[np.float64] = field(repr=False)

    @property
    def time(self) -> NDArray[np.float64]:
        """The rows' times (`z`), as the coordinate "time" holds them."""
        return self.z


@in_place
@dataclass(frozen=True, eq=False, repr=False)
class TimeTraces(Table):
    """Traces: values[trace, point] at times time[point] (also `x`), trace k
    named labels[k]. `to_pandas()` gives one row per time and one column per
    trace, as a series of spectra gives one row per time."""

    spectral: ClassVar[bool] = False

    labels: List[str]

    def table_view(self) -> Tuple[NDArray[np.float32], Tuple[str, ...]]:
        return self.values.T, self.dims[::-1]

    @property
    def time(self) -> NDArray[np.float64]:
        """The points' times: the x axis, along which each trace runs."""
        return self.x


@in_place
@dataclass(frozen=True, eq=False)
class Region:
    """One region of a multiregion map, with the arrays as read: `title`
    ("Region 1 (3 x 2)"), each point's map position `map_x` and `map_y`, its
    `start_time` (None where the file gives none) and `values[point, ...]`
    (spectra, or trace values)."""

    title: str
    map_x: NDArray[np.float64] = field(repr=False)
    map_y: NDArray[np.float64] = field(repr=False)
    start_time: Optional[NDArray[np.float64]] = field(repr=False)
    values: NDArray[np.float32] = field(repr=False)


@in_place
@dataclass(frozen=True, eq=False, repr=False)
class MultiregionMap(Table):
    """Spectra of several map regions: values[point, spectral point], points of
    all regions in region order, over the spectral axis `x`; `regions` holds
    each region's own arrays (title, map_x, map_y, start_time, values), and
    `coords` each point's region, region_title, map_x, map_y, start_time."""

    regions: Tuple[Region, ...]


@in_place
@dataclass(frozen=True, eq=False, repr=False)
class MultiregionTraces(Table):
    """Trace values of several map regions: values[point, trace], trace k
    named labels[k]; `regions` holds each region's own arrays, and `coords`
    each point's region, region_title, map_x and map_y."""

    spectral: ClassVar[bool] = False

    labels: List[str]
    regions: Tuple[Region, ...]


@dataclass(frozen=True)
class Image:
    """A visible picture of the sample stored in the file: its encoded bytes
    `data` (a file's bytes with the extension `format`, where known), `title` and
    the other `attributes` stored with it (read-only)."""

    position: int
    """Order in the file, from 0."""
    name: str
    """The image key: "00", "01", ..., "99", "AA", ..."""
    format: Optional[str]
    """"png", "jpeg", "bmp", "gif", ... or None when unknown or absent."""
    data: bytes = field(repr=False)
    title: Optional[str]
    attributes: Mapping[str, object] = field(repr=False, hash=False)  # a mapping has no hash

    def _repr_mimebundle_(self, include: object = None, exclude: object = None
                          ) -> Dict[str, str]:
        """A notebook shows the picture itself, its repr beside it; the format
        is the one the bytes show, so the browser is not handed text as one."""
        bundle = {"text/plain": repr(self)}
        if self.format in _PICTURE_TYPES and self.data:
            bundle[_PICTURE_TYPES[self.format]] = base64.b64encode(self.data).decode("ascii")
        return bundle


_PICTURE_TYPES = {"png": "image/png", "jpeg": "image/jpeg", "gif": "image/gif",
                  "bmp": "image/bmp"}


def image_name(position: int) -> str:
    """The image key of a position: two digits up to 99, then letters."""
    if position < 100:
        return "%02d" % position
    n = position - 74  # 100 -> "AA": letters counted as spreadsheet columns
    letters = ""
    n += 1
    while n > 0:
        n, r = divmod(n - 1, 26)
        letters = chr(ord("A") + r) + letters
    return letters


def image_from_dict(position: int, d: Mapping[str, Any]) -> Image:
    attributes = {k: v for k, v in d.items() if k not in ("image", "imgext", "Title")}
    title = d.get("Title")
    return Image(
        position=position,
        name=image_name(position),
        format=d.get("imgext"),
        data=bytes(d.get("image", b"")),
        title=title if isinstance(title, str) else None,
        attributes=ReadOnly(attributes),
    )


# -- from the low-level objects ----------------------------------------------


def _axis_dim(parameters: Mapping[str, ParameterValue], taken: Sequence[str]) -> str:
    dim = _vocabulary.axis_dimension(parameters)
    return dim if dim not in taken else "spectral"


def declared_axes(
    p: Mapping[str, Any], of_map: bool
) -> Tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """The spectral axis and, `of_map`, an image map's x and y axes, as reading
    computes them from the parameters alone (the map's: origin + step *
    (count - 1), then linspace)."""
    spectral = np.linspace(p["FXV"], p["LXV"], p["NPT"])
    # Other kinds may carry some of a map's keys, which reading never consults.
    if not of_map:
        return spectral, np.zeros(0), np.zeros(0)
    map_x = np.linspace(p["AOX"], p["AOX"] + p["DDX"] * (p["NPX"] - 1), p["NPX"])
    map_y = np.linspace(p["AOY"], p["AOY"] + p["DDY"] * (p["NPY"] - 1), p["NPY"])
    return spectral, map_x, map_y


def from_cut_read(block: Block, values: NDArray[np.float32],
                  times: Optional[NDArray[np.float64]],
                  labels: Optional[List[str]] = None) -> DataObject:
    """Wraps the measured part of a map, a time-resolved series (`times`)
    or a block of traces (`labels`) that the end of its file cuts short, or
    a block whose parameters it cuts short."""
    params = block.parameters
    spectral, map_x, map_y = declared_axes(params, block.kind in ("image map", "image traces"))
    if block.kind == "spectrum":
        dim = _axis_dim(params, ())
        return Spectrum(block, params, values, (dim,), {dim: ((dim,), spectral)}, None,
                        spectral, values)
    if labels is not None:
        names = (("trace",), np.array(labels, dtype=object))
        if block.kind == "image traces":
            coords = {"y": (("y",), map_y), "x": (("x",), map_x), "trace": names}
            return ImageTraces(block, params, values, ("y", "x", "trace"), coords, None, spectral,
                               map_x, map_y, labels)
        dim = _axis_dim(params, ("trace",))
        coords = {"trace": names, dim: ((dim,), spectral)}
        return TimeTraces(block, params, values, ("trace", dim), coords, None, spectral, labels)
    if times is None:
        dim = _axis_dim(params, ("y", "x"))
        coords = {"y": (("y",), map_y), "x": (("x",), map_x), dim: ((dim,), spectral)}
        return ImageMap(block, params, values, ("y", "x", dim), coords, None, spectral, map_x,
                        map_y)
    dim = _axis_dim(params, ("time",))
    coords = {"time": (("time",), times), dim: ((dim,), spectral)}
    return TimeSeries(block, params, values, ("time", dim), coords, None, spectral, times)


def from_cut_regions(block: Block, titles: Sequence[Tuple[str, int]], values: NDArray[np.float32],
                     map_x: NDArray[np.float64], map_y: NDArray[np.float64],
                     start_time: Optional[NDArray[np.float64]],
                     labels: Optional[List[str]] = None) -> DataObject:
    """Wraps the measured part of a multiregion map (or map of traces,
    `labels`) that the end of its file cuts short: arrays of all points, and
    each region's title and size."""
    params = block.parameters
    spectral = declared_axes(params, False)[0]
    regions, at = [], 0
    for title, size in titles:
        part = slice(at, at + size)
        regions.append(_region(title, map_x[part], map_y[part],
                               None if start_time is None else start_time[part], values[part]))
        at += size
    values, point = _joined(tuple(regions), values.shape[1], values=values)
    return _region_object(block, params, tuple(regions), values, point, None, spectral, labels)


def _region_object(block: Block, params: Mapping[str, ParameterValue],
                   regions: Tuple[Region, ...], values: NDArray[Any], point: Dict[str, Any],
                   raw: Any, x: NDArray[np.float64],
                   labels: Optional[List[str]]) -> DataObject:
    """A multiregion map, or map of traces (`labels`), over its points."""
    coords = {k: (("point",), v) for k, v in point.items()}
    if labels is not None:
        coords["trace"] = (("trace",), np.array(labels, dtype=object))
        return MultiregionTraces(block, params, values, ("point", "trace"), coords, raw, x,
                                 labels, regions)
    dim = _axis_dim(params, ("point",))
    coords[dim] = ((dim,), x)
    return MultiregionMap(block, params, values, ("point", dim), coords, raw, x, regions)


def _region(title: str, map_x: NDArray[np.float64], map_y: NDArray[np.float64],
            start_time: Optional[NDArray[np.float64]], values: NDArray[np.float32]) -> Region:
    # Each field set at once, as Block's: the frozen class's __init__ sets
    # each through object.__setattr__, most of a region's cost in a map of many.
    region = object.__new__(Region)
    vars(region).update(title=title, map_x=map_x, map_y=map_y, start_time=start_time,
                        values=values)
    return region


def _regions(raw_regions: Sequence[Any]) -> Tuple[Region, ...]:
    return tuple(_region(str(r.title), r.mapX, r.mapY, r.start_time, r.spectra)
                 for r in raw_regions)


def _unmeasured_as_nan(regions: Tuple[Region, ...], measured: NDArray[np.bool_],
                       places: NDArray[np.float64], width: int
                       ) -> Tuple[Tuple[Region, ...], NDArray[np.float32], Dict[str, Any]]:
    """The regions over one new array of all points, NaN (at the table's
    position, at time NaN) where no stored spectrum fills a point; and the
    per-point coordinates. NaN is written to every missing row, so the whole
    array is written: one copy of all regions, then the missing rows."""
    sizes = [len(r.values) for r in regions]
    missing = ~measured
    parts = [r.values for r in regions]
    if parts and all(p.ndim == 2 and p.shape[1] == width for p in parts):
        values = np.concatenate(parts)
    else:
        values = _stacked(parts, width, _split(measured, sizes))
    values[missing] = np.nan
    point = _point_coords(regions, sizes)
    point["map_x"][missing] = places[:, 0]
    point["map_y"][missing] = places[:, 1]
    times = point.get("start_time")
    if times is not None:
        times[missing] = np.nan
    # The regions' own arrays, apart from the coordinates' (as when read whole).
    own = {k: v.copy() for k, v in point.items() if k in ("map_x", "map_y", "start_time")}
    out, at = [], 0
    for region, size in zip(regions, sizes):
        part = slice(at, at + size)
        start = own["start_time"][part] if times is not None else region.start_time
        if start is not None and times is None:  # other regions have none: this one's alone
            start = start.copy()
            start[missing[part]] = np.nan
        out.append(_region(region.title, own["map_x"][part], own["map_y"][part], start,
                           values[part]))
        at += size
    return tuple(out), values, point


def _split(array: NDArray[Any], sizes: Sequence[int]) -> List[NDArray[Any]]:
    return np.split(array, np.cumsum(sizes)[:-1]) if sizes else []


def _point_coords(regions: Tuple[Region, ...], sizes: Sequence[int]) -> Dict[str, Any]:
    """Each point's region, region title, map position and, where every
    region has them, start time: new arrays, apart from the regions'."""
    titles = np.empty(len(regions), dtype=object)
    titles[:] = [r.title for r in regions]
    point: Dict[str, Any] = {
        "region": np.repeat(np.arange(len(regions)), sizes),
        "region_title": np.repeat(titles, sizes),
        "map_x": np.concatenate([r.map_x for r in regions]) if regions else np.zeros(0),
        "map_y": np.concatenate([r.map_y for r in regions]) if regions else np.zeros(0),
    }
    times = [r.start_time for r in regions]
    if regions and all(t is not None for t in times):
        point["start_time"] = np.concatenate(cast("List[NDArray[np.float64]]", times))
    return point


def _joined(regions: Tuple[Region, ...], width: int,
            measured: Optional[Sequence[NDArray[np.bool_]]] = None,
            values: Optional[NDArray[Any]] = None) -> Tuple[NDArray[Any], Dict[str, Any]]:
    """Points of all regions as one array (`values`, when the regions are
    views of it already), and per-point coordinates."""
    if values is None and len(regions) == 1:
        values = regions[0].values
    elif values is None and regions:
        # The joined copy doubles what a read leaves to free; unless the
        # allocator keeps that much, a loop of reads faults all of it in again.
        _native.keep_freed_results(2 * sum(r.values.nbytes for r in regions))
        values = _stacked([r.values for r in regions], width, measured)
    elif values is None:
        values = np.zeros((0, width), dtype=np.float32)
    return values, _point_coords(regions, [len(r.values) for r in regions])


def _stacked(parts: Sequence[NDArray[Any]], width: int,
             measured: Optional[Sequence[NDArray[np.bool_]]] = None) -> NDArray[Any]:
    """np.concatenate(parts). Where `measured` names the rows a stored
    spectrum fills, only those are written: reading left the others as zero
    pages never touched, and a small damaged file may declare gigabytes of
    them. Without it, reading wrote every row, so a whole copy costs no more."""
    shape, dtype = (sum(len(p) for p in parts), width), np.result_type(*parts)
    if measured is None and all(p.ndim == 2 and p.shape[1] == width for p in parts):
        return np.concatenate(parts, out=np.empty(shape, dtype=dtype))
    out = np.zeros(shape, dtype=dtype)
    at = 0
    for k, part in enumerate(parts):
        filled = measured[k] if measured is not None else np.ones(len(part), dtype=bool)
        if part.size and filled.all():  # one copy of the region
            out[at:at + len(part)] = part
        elif part.size:
            held = np.concatenate(([0], filled, [0]))
            edges = np.flatnonzero(np.diff(held.astype(np.int8)))
            for start, stop in zip(edges[::2], edges[1::2]):
                out[at + start:at + stop] = part[start:stop]
        at += len(part)
    return out


_FIELDS: Dict[type, Tuple[str, ...]] = {}


def _built(cls: Type[_Object], *values: Any) -> _Object:
    """cls(*values), each field set at once, as Block's: the frozen class's
    __init__ sets each through object.__setattr__, which a loop reading
    small files pays for at every read."""
    names = _FIELDS.get(cls)
    if names is None:
        names = _FIELDS[cls] = tuple(f.name for f in fields(cls))
    assert len(values) == len(names), (cls, len(values))
    obj = object.__new__(cls)
    vars(obj).update(zip(names, values))
    obj.__post_init__()
    return obj


def from_raw(block: Block, raw: Any,
             measured: Optional[NDArray[np.bool_]] = None,
             places: Optional[NDArray[np.float64]] = None) -> DataObject:
    """Wraps what `veskread.getVeskData` returned for `block`. `measured`
    marks, over all points of a multiregion map's regions, those a stored
    spectrum fills: the others, which reading gives as zeros at (0, 0), are
    `block.fill` (NaN, or 0 as read) in the object's arrays, at the
    positions `places` gives them; `raw` keeps what reading gave."""
    params: Mapping[str, ParameterValue] = ReadOnly(raw.parameters)
    x = raw.x
    name = type(raw).__name__
    if name == "SingleDataReturn":
        dim = _axis_dim(params, ())
        y = raw.y
        return _built(Spectrum, block, params, y, (dim,), {dim: ((dim,), x)}, raw, x, y)
    if name in ("ImageDataReturn", "ImageTRCDataReturn"):
        map_coords = {"y": (("y",), raw.mapY), "x": (("x",), raw.mapX)}
        if name == "ImageDataReturn":
            dim = _axis_dim(params, ("y", "x"))
            coords = dict(map_coords, **{dim: ((dim,), x)})
            return _built(ImageMap, block, params, raw.spectra, ("y", "x", dim), coords, raw, x,
                          raw.mapX, raw.mapY)
        labels = list(raw.labels)
        coords = dict(map_coords, trace=(("trace",), np.array(labels, dtype=object)))
        return _built(ImageTraces, block, params, raw.traces, ("y", "x", "trace"), coords, raw, x,
                      raw.mapX, raw.mapY, labels)
    if name == "TimeResolvedDataReturn":
        dim = _axis_dim(params, ("time",))
        coords = {"time": (("time",), raw.z), dim: ((dim,), x)}
        return _built(TimeSeries, block, params, raw.spectra, ("time", dim), coords, raw, x, raw.z)
    if name == "TimeResolvedTRCDataReturn":
        dim = _axis_dim(params, ("trace",))
        labels = list(raw.labels)
        coords = {"trace": (("trace",), np.array(labels, dtype=object)), dim: ((dim,), x)}
        return _built(TimeTraces, block, params, raw.traces, ("trace", dim), coords, raw, x,
                      labels)
    if name == "MultiRegionDataReturn":
        regions = _regions(raw.regions)
        if measured is not None and places is not None and math.isnan(block.fill):
            regions, values, point = _unmeasured_as_nan(regions, measured, places, len(x))
        else:
            sizes = [len(r.values) for r in regions]
            values, point = _joined(regions, len(x),
                                    None if measured is None else _split(measured, sizes))
        return _region_object(block, params, regions, values, point, raw, x, None)
    if name == "MultiRegionTRCDataReturn":
        regions = _regions(raw.regions)
        labels = list(raw.labels)
        values, point = _joined(regions, len(labels))
        return _region_object(block, params, regions, values, point, raw, x, labels)
    raise TypeError("unexpected data object %r" % name)


shown_as_package(DataObject, Spectrum, ImageMap, ImageTraces, TimeSeries, TimeTraces,
                 MultiregionMap, MultiregionTraces, Region, Image)
