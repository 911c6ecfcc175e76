"""`vesk plot`: a spectrum or series as lines, a map as a picture (map_pictures);
its options are in `plot_options`, which imports this module only to draw.

matplotlib is an optional extra and is imported only when a plot is asked
for. Figures are drawn on a bare Figure (no pyplot), so no window or
interactive backend is ever involved.
"""
from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

import vesk
from vesk._vocabulary import is_raman

from ..export import make_folder, refuse_existing, write_atomically
from ..export.axes import column_label, coordinate, units_of
from .map_pictures import (COLOURS, PlotError, chosen, draw_map, draw_regions, finite_axis,
                           literal, trace_number)
from .block_keys import named_block
from .output_bound import LINE_POINT_BYTES, OutputBudget
from .plot_options import NEEDS
from .report import describe, emit_path, error

if TYPE_CHECKING:
    from matplotlib.figure import Figure


MAPS = (vesk.ImageMap, vesk.ImageTraces, vesk.MultiregionMap, vesk.MultiregionTraces)
SERIES = (vesk.TimeSeries, vesk.TimeTraces)


def row_colours(data: vesk.DataObject) -> Tuple[NDArray[Any], str]:
    """What colours the rows of a series: their numeric coordinate (times), or
    their numbers from 0 where it cannot tell them apart: text (trace names),
    a value that is not finite (drawn in no colour at all), one time for
    all (a file that stores none) or times too far apart for any axis to
    span (their difference past the largest float)."""
    name = data.dims[0]
    values = coordinate(data, name)
    if values.dtype.kind in "fiu" and np.isfinite(values).all():
        with np.errstate(over="ignore"):
            span = np.ptp(values.astype(np.float64)) if len(values) else 0.0
        if 0 < span < np.inf:
            return values, column_label(data, name)
    return np.arange(len(values)), "%s number" % name


def row_names(data: vesk.DataObject) -> List[str]:
    """Legend entries of a series' rows: a trace's own name, or the row's
    coordinate with its units ("time 1.5 s")."""
    name = data.dims[0]
    values = coordinate(data, name)
    if values.dtype.kind not in "fiu":
        return [str(v) for v in values]
    units = units_of(data, name)
    return ["%s %s%s" % (name, v, " " + units if units else "") for v in values]


def series_lines(ax: Any, x: NDArray[Any], values: NDArray[Any], names: List[str],
                 colour_by: Tuple[NDArray[Any], str]) -> None:
    """One line per row with a legend while the colour cycle tells them apart;
    past that, one collection coloured by the rows' coordinate, which also
    draws thousands of rows in the time ax.plot takes for dozens."""
    from matplotlib import rcParams
    if len(values) <= len(rcParams["axes.prop_cycle"].by_key().get("color", ())):
        drawn = [ax.plot(x, row, linewidth=0.9)[0] for row in values]
        # Named on the legend's own texts: matplotlib leaves out a line whose
        # label starts with "_" (a file's trace name may), and before 3.10
        # even where the labels are given.
        legend = ax.legend(drawn, ["-"] * len(drawn), fontsize=7)
        for text, name in zip(legend.get_texts(), names):
            text.set_text(literal(name))
        return
    from matplotlib.collections import LineCollection
    segments = np.empty(values.shape + (2,))
    segments[..., 0] = x
    segments[..., 1] = values
    lines = LineCollection(list(segments), linewidths=0.9, cmap=COLOURS,
                           array=np.asarray(colour_by[0], dtype=np.float64))
    ax.add_collection(lines)
    ax.autoscale_view()
    label = colour_by[1]
    ax.figure.colorbar(lines, ax=ax, label=literal(label[:1].upper() + label[1:]))


def draw_over_time(fig: Any, data: vesk.TimeSeries | vesk.TimeTraces, title: str,
                   at: str) -> None:
    """One line against time: a series' intensity at an x value, or its band
    area (a kinetic trace), or one trace of a series of traces."""
    ax = fig.add_subplot()
    ax.set_title(literal(title), fontsize=10)
    if isinstance(data, vesk.TimeSeries):
        values, caption = chosen(data, at)  # one value per spectrum, as for a map's points
        time, label = row_colours(data)  # spectrum numbers where the file gives no times
    else:
        labels = [str(v) for v in coordinate(data, data.dims[0])]
        k = trace_number(data, labels, at)
        values, caption = np.asarray(data.values)[k], labels[k]
        time = finite_axis(data, coordinate(data, data.dims[-1]))
        label = data.block.x_label
    ax.plot(time, values, linewidth=0.9, marker="." if len(values) <= 200 else None)
    ax.set_xlabel(literal(label[:1].upper() + label[1:]))  # as a file's own "Time (s)"
    ax.set_ylabel(literal(caption))


def axis_ends(data: vesk.DataObject, x: NDArray[Any]) -> Tuple[float, float]:
    """The x limits, left to right: the stored direction, but infrared spectra
    are read from high wavenumbers to low whichever way the file holds them
    (Raman shifts from low to high, as stored)."""
    left, right = float(x[0]), float(x[-1])
    infrared = data.dims[-1] == "wavenumber" and not is_raman(data.block.key[0])
    return (max(left, right), min(left, right)) if infrared else (left, right)


def draw(data: vesk.DataObject, title: str, at: Optional[str] = None) -> Figure:
    """A matplotlib Figure of the block."""
    try:
        from matplotlib.figure import Figure  # noqa: F811
    except ImportError as e:
        raise ImportError(NEEDS) from e
    if at is not None and not isinstance(data, MAPS + SERIES):
        raise PlotError("--at chooses the x value or trace a map or series is drawn at; %s is "
                        "a %s, drawn whole" % (data.block.name, data.block.kind))
    if not data.values.size:
        raise PlotError("%s has no values to draw" % data.block.name)
    fig = Figure(figsize=(7.0, 4.2), dpi=100, layout="constrained")
    if isinstance(data, (vesk.MultiregionMap, vesk.MultiregionTraces)):
        draw_regions(fig, data, title, at)
        return fig
    if isinstance(data, MAPS):
        draw_map(fig, data, title, at)
        return fig
    if at is not None and isinstance(data, SERIES):
        draw_over_time(fig, data, title, at)
        return fig
    if not isinstance(data, (vesk.Spectrum, vesk.TimeSeries, vesk.TimeTraces)):
        raise PlotError("cannot draw %s: a %s is not a spectrum, a map or a series" % (
            data.block.name, data.block.kind))
    ax = fig.add_subplot()
    ax.set_title(literal(title), fontsize=10)
    # The last dimension's own axis, even when damaged x values hide which
    # coordinate is spectral.
    x = finite_axis(data, coordinate(data, data.dims[-1]))
    values = np.asarray(data.values)
    if values.ndim == 1:
        ax.plot(x, values, linewidth=0.9)
    else:
        series_lines(ax, x, values, row_names(data), row_colours(data))
    if x[0] != x[-1]:  # a single point has no direction; matplotlib warns of it
        ax.set_xlim(*axis_ends(data, x))
    ax.set_xlabel(literal(data.block.x_label))
    ax.set_ylabel(literal(data.block.y_label))
    return fig


# Points of a line that the raster backend draws at a time: drawn whole, a
# noisy line of 100,000 points took 170 MB of cells, one per pixel crossed.
AGG_CHUNK = 10_000


def save(fig: Figure, path: str, suffix: str) -> None:
    from matplotlib import rc_context
    with rc_context({"agg.path.chunksize": AGG_CHUNK}):
        fig.savefig(path, format=suffix)


def write_picture(fig: Figure, path: str, force: bool) -> None:
    """The figure written to `path`, whole or not at all, in the format its
    suffix names."""
    suffix = os.path.splitext(path)[1][1:].lower()
    make_folder(os.path.dirname(path) or os.curdir)
    write_atomically(path, lambda tmp: save(fig, tmp, suffix), force=force)


def run_plot(args: argparse.Namespace) -> int:
    if args.overlay:
        from .overlay import run_overlay
        return run_overlay(args)
    try:  # of the output alone, as where several files are drawn
        refuse_existing(args.output, args.force)
    except Exception as e:
        error(describe(args.output, e))
        return 1
    try:
        with vesk.open(args.file) as f:
            block = named_block(f, args.key, "plot")
            lines = args.at is None and block.kind in ("time-resolved series",
                                                       "time-resolved traces")
            refused = OutputBudget(f).take_block(
                block, drawn=True, value_bytes=LINE_POINT_BYTES if lines else 0)
            if refused is not None:
                raise PlotError(refused + "; not drawn")
            data = f[block.key]
        title = "%s  %s" % (os.path.basename(args.file), data.block.name)
        write_picture(draw(data, title, args.at), args.output, args.force)
    except ImportError as e:
        error(str(e))
        return 1
    except Exception as e:
        error(describe(args.file, e))
        return 1
    emit_path(args.output)
    return 0
