"""`vesk plot`: a spectrum as a line, an image map as a picture.

matplotlib is an optional extra and is imported only here, when a plot is
asked for. Figures are drawn on a bare Figure (no pyplot), so no window or
interactive backend is ever involved.
"""
from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

import vesk

from ..export import make_folder, refuse_existing, write_atomically
from ..export.axes import coordinate, spectral_coordinate
from .output_bound import OutputBudget
from .report import describe, emit, error

if TYPE_CHECKING:
    from matplotlib.figure import Figure

NEEDS = "vesk plot needs matplotlib: pip install 'veskread[plot]'"


def add_plot(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> argparse.ArgumentParser:
    p = sub.add_parser(
        "plot", help="draw a block to a PNG or SVG file",
        description="A spectrum is drawn with labelled axes, its x axis in the stored "
                    "direction (a descending wavenumber axis stays descending). An image "
                    "map is drawn as a picture of the intensity at the x value given with "
                    "--at, or of the intensity integrated over x; a trace map shows the "
                    "trace named (or numbered from 0) by --at, the first by default. A "
                    "series of spectra or traces is drawn as one line each.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("key", metavar="KEY", help="block name (AB/2D/NONE) or short form (AB)")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="picture to write; its suffix (.png, .svg, .pdf) sets the format")
    p.add_argument("--at", metavar="X", help="x value (image map) or trace (trace map)")
    p.add_argument("--force", action="store_true", help="overwrite an existing picture")
    p.set_defaults(run=run_plot)
    return p


class PlotError(ValueError):
    pass


def integrate(values: NDArray[Any], x: NDArray[Any], axis: int) -> NDArray[np.float64]:
    """Integral over x along `axis` of a map's values, positive for positive
    values whichever way x runs.

    Trapezoids as weights, applied a slab of rows at a time: a large map is
    never held in float64 whole.
    """
    v = np.moveaxis(np.asarray(values), axis, -1)
    n = v.shape[-1]
    if n < 2:
        weights = np.ones(n)
    else:
        steps = np.abs(np.diff(np.asarray(x, dtype=np.float64)))
        weights = np.zeros(n)
        weights[:-1] += steps / 2
        weights[1:] += steps / 2
    out: NDArray[np.float64] = np.empty(v.shape[:-1])
    per_row = max(1, int(np.prod(v.shape[1:])))
    slab = max(1, (1 << 22) // per_row)
    for i in range(0, v.shape[0], slab):
        out[i:i + slab] = v[i:i + slab].astype(np.float64) @ weights
    return out


def series_lines(ax: Any, x: NDArray[Any], values: NDArray[Any], names: List[str]) -> None:
    """One line per row; past a legend's worth, one collection, which draws
    thousands of rows in the time ax.plot takes for dozens."""
    if len(values) <= 12:
        for row, name in zip(values, names):
            ax.plot(x, row, linewidth=0.9, label=_literal(name))
        ax.legend(fontsize=7)
        return
    from matplotlib import rcParams
    from matplotlib.collections import LineCollection
    colours = rcParams["axes.prop_cycle"].by_key().get("color", ["C0"])
    segments = np.empty(values.shape + (2,))
    segments[..., 0] = x
    segments[..., 1] = values
    ax.add_collection(LineCollection(list(segments), linewidths=0.9,
                                     colors=[colours[k % len(colours)] for k in range(len(values))]))
    ax.autoscale_view()


Picture = Tuple[NDArray[Any], NDArray[Any], NDArray[Any], Tuple[str, str], str]


def map_picture(data: vesk.DataObject, at: Optional[str]) -> Picture:
    """The 2-D picture of a map block, its two axes and a caption for its colours."""
    spectral = spectral_coordinate(data)
    dims = list(data.dims)
    third = dims.index(spectral) if spectral in dims else len(dims) - 1
    values = np.asarray(data.values)
    axis = coordinate(data, dims[third])
    if spectral in dims:
        if at is None:
            picture = integrate(values, axis, third)
            caption = "Integrated %s" % data.block.y_label
        else:
            try:
                wanted = float(at)
            except ValueError:
                raise PlotError("--at %s is not a number" % at)
            lo, hi = sorted((float(axis[0]), float(axis[-1])))
            if not lo <= wanted <= hi:
                raise PlotError("--at %s is outside the x range %g .. %g of %s" % (
                    at, axis[0], axis[-1], data.block.name))
            k = int(np.argmin(np.abs(axis - wanted)))
            picture = np.take(values, k, axis=third)
            caption = "%s at %g %s" % (data.block.y_label, axis[k], _units(data.block.x_label))
    else:  # a map of traces: choose one by name or number
        labels = [str(v) for v in axis]
        if at is None:
            k = 0
        elif at in labels:
            k = labels.index(at)
        elif at.isdigit() and int(at) < len(labels):
            k = int(at)
        else:
            raise PlotError("%s has no trace %s; it has %s" % (
                data.block.name, at, ", ".join(labels)))
        picture = np.take(values, k, axis=third)
        caption = labels[k]
    rows, cols = [d for k, d in enumerate(dims) if k != third]
    return picture, coordinate(data, cols), coordinate(data, rows), (cols, rows), caption


def _units(label: str) -> str:
    """'cm-1' of 'Wavenumber (cm-1)'; the whole label when it has no units part."""
    return label[label.rfind("(") + 1:label.rfind(")")] if label.endswith(")") else label


def _literal(text: str) -> str:
    """Text drawn as it is: matplotlib reads $...$ as mathematics, and a file
    name or a trace name may hold a '$'."""
    return text.replace("$", r"\$")


def _edges(values: NDArray[Any]) -> Tuple[float, float]:
    centres = np.asarray(values, dtype=np.float64)
    step = centres[1] - centres[0] if len(centres) > 1 else 1.0
    return float(centres[0] - step / 2), float(centres[-1] + step / 2)


def draw(data: vesk.DataObject, title: str, at: Optional[str] = None) -> Figure:
    """A matplotlib Figure of the block."""
    try:
        from matplotlib.figure import Figure  # noqa: F811
    except ImportError as e:
        raise ImportError(NEEDS) from e
    spectral = spectral_coordinate(data)
    values = np.asarray(data.values)
    fig = Figure(figsize=(7.0, 4.2), dpi=100, layout="constrained")
    ax = fig.add_subplot()
    ax.set_title(_literal(title), fontsize=10)
    if data.block.kind == "spectrum":
        x = coordinate(data, data.dims[0])
        ax.plot(x, values, linewidth=0.9)
        if len(x):
            ax.set_xlim(x[0], x[-1])  # the stored direction, descending or not
        ax.set_xlabel(_literal(data.block.x_label))
        ax.set_ylabel(_literal(data.block.y_label))
    elif values.ndim == 3:
        picture, xs, ys, (xname, yname), caption = map_picture(data, at)
        image = ax.imshow(picture, origin="lower", extent=_edges(xs) + _edges(ys),
                          interpolation="nearest", cmap="viridis")
        ax.set_xlabel(_literal("Map %s" % xname))
        ax.set_ylabel(_literal("Map %s" % yname))
        fig.colorbar(image, ax=ax, label=_literal(caption))
    elif values.ndim == 2 and spectral is not None and list(data.dims)[-1] == spectral:
        x = coordinate(data, spectral)
        name = data.dims[0]
        series_lines(ax, x, values, ["%s %s" % (name, c) for c in coordinate(data, name)])
        ax.set_xlim(x[0], x[-1])
        ax.set_xlabel(_literal(data.block.x_label))
        ax.set_ylabel(_literal(data.block.y_label))
    else:
        raise PlotError("cannot draw %s: a %s is not a spectrum, a map or a series" % (
            data.block.name, data.block.kind))
    return fig


def run_plot(args: argparse.Namespace) -> int:
    try:
        refuse_existing(args.output, args.force)
        with vesk.open(args.file) as f:
            block = f.block(args.key)
            refused = OutputBudget(f).take_block(block)
            if refused is not None:
                raise PlotError(refused + "; not drawn")
            data = f[block.key]
        title = "%s  %s" % (os.path.basename(args.file), data.block.name)
        fig = draw(data, title, args.at)
        suffix = os.path.splitext(args.output)[1][1:].lower() or "png"
        make_folder(os.path.dirname(args.output) or os.curdir)
        write_atomically(args.output, lambda tmp: fig.savefig(tmp, format=suffix),
                         force=args.force)
    except ImportError as e:
        error(str(e))
        return 1
    except Exception as e:
        error(describe(args.file, e))
        return 1
    emit(args.output)
    return 0
