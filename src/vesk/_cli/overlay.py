"""`vesk plot` of several files: one spectrum of each, drawn on one axis and
named by its file, to compare samples.

Only spectra are drawn together, and only spectra of one quantity over one
axis: absorbance over wavelength beside transmittance over wavenumber would
put unlike values at one place. Any file that fails fails the picture, which
would otherwise compare fewer samples than were asked for.
"""
from __future__ import annotations

import argparse
import math
import os
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

import vesk
from vesk._vocabulary import is_raman

from ..export import refuse_existing
from ..export.axes import coordinate
from .inputs import take_inputs
from .map_pictures import PlotError, finite_axis, literal
from .output_bound import LINE_POINT_BYTES, OutputBudget
from .plot_options import NEEDS
from .report import describe, emit_path, error, warning

if TYPE_CHECKING:
    from matplotlib.figure import Figure

#: Lines told apart by the default colours alone; up to twice that by a
#: paired palette, and past that by a colour map's spread with dashes.
CYCLE = 10
PAIRED = 20
STYLES = ("-", "--", ":")
#: Legend entries a column holds beside the axis, for many files, and the
#: most named: past that the legend would be wider than what it names.
LEGEND_ROWS = 25
LEGEND_MOST = 100
#: Stretches of the x axis a long spectrum is drawn in, each by its lowest
#: and highest value, where the spectra drawn whole would not fit the files'
#: bound (ten of a million points took 600 MB): some 14 to a pixel of the
#: PNG, so nothing is seen to change.
STRETCHES = 10_000
#: What matplotlib holds for a point of a line while it draws (measured).
DRAWN_POINT_BYTES = 64


def drawing_room(spectra: Sequence["Drawn"]) -> int:
    """The bytes the lines may take: the files' bound, less what matplotlib
    and the arrays read hold besides."""
    return 8 * sum(s.file_size for s in spectra) + 32 * 2**20


class Drawn(NamedTuple):
    name: str  # the file as the legend names it
    block: str
    x_label: str
    y_label: str
    x: NDArray[Any]
    y: NDArray[Any]
    infrared: bool  # a wavenumber axis read from high to low
    file_size: int  # as read: what bounds the drawing


def chosen_spectrum(f: vesk.VeskFile, key: Optional[str]) -> vesk.Block:
    """The block `key` names, or the file's only spectrum; PlotError where
    that is no spectrum, or where the file holds none or several."""
    if key is not None:
        block = f.block(key)
        if block.kind != "spectrum":
            raise PlotError("%s is %s %s; only spectra are drawn together (vesk plot FILE %s "
                            "draws it alone)" % (block.name, "an" if block.kind[0] in "aeiou"
                                                 else "a", block.kind, block.name))
        return block
    spectra = [b for b in f.blocks if b.kind == "spectrum"]
    if len(spectra) == 1:
        return spectra[0]
    if not spectra:
        held = ", ".join("%s (%s)" % (b.name, b.kind) for b in f.blocks) or "no data blocks"
        raise PlotError("holds no spectrum to draw with the others: %s; only spectra are "
                        "drawn together" % held)
    raise PlotError("holds %d spectra (%s); give the one to draw with --block KEY" % (
        len(spectra), ", ".join(b.name for b in spectra)))


def distinct_names(paths: Sequence[str]) -> List[str]:
    """Each file's name, with as many of its folders as tell it apart from
    the others of that name (day1/run.0 and day2/run.0)."""
    parts = [os.path.normpath(os.path.abspath(p)).split(os.sep) for p in paths]
    depth = [1] * len(paths)
    while True:
        names = [os.path.join(*p[-d:]) for p, d in zip(parts, depth)]
        clashing = [k for k, n in enumerate(names) if names.count(n) > 1 and
                    depth[k] < len(parts[k])]
        if not clashing:
            return names
        for k in clashing:
            depth[k] += 1


def read_spectrum(path: str, name: str, key: Optional[str]) -> Drawn:
    with vesk.open(path) as f:
        block = chosen_spectrum(f, key)
        refused = OutputBudget(f).take_block(block, drawn=True, value_bytes=LINE_POINT_BYTES)
        if refused is not None:
            raise PlotError("%s %s; not drawn" % (block.name, refused))
        data = f[block.key]
        file_size = f._size
    values = np.asarray(data.values)
    if not values.size:
        raise PlotError("%s has no values to draw" % block.name)
    x, y = finite_axis(data, coordinate(data, data.dims[-1])), values
    infrared = data.dims[-1] == "wavenumber" and not is_raman(block.key[0])
    return Drawn(name, block.name, block.x_label, block.y_label, x, y, infrared, file_size)


def thinned(s: Drawn) -> Drawn:
    x, y = envelope(s.x, s.y, STRETCHES)
    return s._replace(x=x, y=y)


def envelope(x: NDArray[Any], y: NDArray[Any], stretches: int) -> Tuple[NDArray[Any],
                                                                          NDArray[Any]]:
    """`x` and `y`, or where longer than two points a stretch, each of
    `stretches` consecutive stretches of the axis by its lowest value at its
    first x and its highest at its last: the band a line drawn whole covers.
    NaN only where a stretch holds nothing else."""
    if len(y) <= 2 * stretches:
        return x, y
    starts = np.linspace(0, len(y), stretches, endpoint=False).astype(np.intp)
    ends = np.append(starts[1:], len(y)) - 1
    low, high = np.fmin.reduceat(y, starts), np.fmax.reduceat(y, starts)
    return np.column_stack((x[starts], x[ends])).ravel(), np.column_stack((low, high)).ravel()


def disagreement(spectra: Sequence[Drawn], paths: Sequence[str]) -> Optional[str]:
    """Why the spectra cannot share one axis: the first one whose quantity
    or axis differs from the first spectrum's."""
    first = spectra[0]
    for path, s in zip(paths[1:], spectra[1:]):
        if (s.x_label, s.y_label) != (first.x_label, first.y_label):
            return ("cannot draw these together: %s's %s is %s over %s, %s's %s is %s over %s"
                    % (paths[0], first.block, first.y_label, first.x_label, path, s.block,
                       s.y_label, s.x_label))
    return None


def line_styles(n: int) -> List[Tuple[Any, str]]:
    """(colour, dashes) of `n` lines: neighbours in the legend stay apart."""
    from matplotlib import colormaps, rcParams
    if n <= CYCLE:
        cycle = rcParams["axes.prop_cycle"].by_key().get("color", ())
        if len(cycle) >= n:
            return [(c, "-") for c in cycle[:n]]
    if n <= PAIRED:
        palette = colormaps["tab20"]
        return [(palette(k), "-") for k in range(n)]
    spread = colormaps["turbo"]
    return [(spread(k / (n - 1)), STYLES[k % len(STYLES)]) for k in range(n)]


def draw_overlay(spectra: Sequence[Drawn]) -> Figure:
    try:
        from matplotlib.figure import Figure  # noqa: F811
    except ImportError as e:
        raise ImportError(NEEDS) from e
    named = len(spectra) <= LEGEND_MOST
    columns = 0 if len(spectra) <= CYCLE or not named else math.ceil(len(spectra) / LEGEND_ROWS)
    fig = Figure(figsize=(7.0 + 1.8 * columns, 4.2), dpi=100, layout="constrained")
    ax = fig.add_subplot()
    one_block = len({s.block for s in spectra}) == 1
    files = "%d file%s" % (len(spectra), "" if len(spectra) == 1 else "s")
    ax.set_title(literal("%s  %s" % (files, spectra[0].block) if one_block else files),
                 fontsize=10)
    styles = line_styles(len(spectra))
    if not named:
        # One collection: a Line2D each cost 14 KB and a millisecond, more
        # than a small file's spectrum, for thousands of files.
        from matplotlib.collections import LineCollection
        ax.add_collection(LineCollection(
            [np.column_stack((s.x, s.y)) for s in spectra], linewidths=0.9,
            colors=[c for c, _ in styles], linestyles=[d for _, d in styles]))
        ax.autoscale_view()
        warning("%d spectra drawn without a legend: past %d, their names would not be read"
                % (len(spectra), LEGEND_MOST))
    else:
        drawn = [ax.plot(s.x, s.y, color=colour, linestyle=style, linewidth=0.9)[0]
                 for s, (colour, style) in zip(spectra, styles)]
        # Named on the legend's own texts: matplotlib leaves out a line whose
        # label starts with "_", as a file's name may.
        legend = ax.legend(drawn, ["-"] * len(drawn), fontsize=6, ncol=columns,
                           loc="upper left", bbox_to_anchor=(1.01, 1.0)) if columns \
            else ax.legend(drawn, ["-"] * len(drawn), fontsize=7)
        for text, s in zip(legend.get_texts(), spectra):
            text.set_text(literal(s.name if one_block else "%s  %s" % (s.name, s.block)))
    low = min(float(np.min(s.x[[0, -1]])) for s in spectra)
    high = max(float(np.max(s.x[[0, -1]])) for s in spectra)
    if low != high:  # a single point has no direction; matplotlib warns of it
        # infrared read from high wavenumbers to low; else the first one's direction
        first = spectra[0].x
        ascending = not all(s.infrared for s in spectra) and bool(first[0] <= first[-1])
        ax.set_xlim((low, high) if ascending else (high, low))
    ax.set_xlabel(literal(spectra[0].x_label))
    ax.set_ylabel(literal(spectra[0].y_label))
    return fig


def run_overlay(args: argparse.Namespace) -> int:
    from .plotting import write_picture

    try:
        import matplotlib  # noqa: F401  (before any file is read)
    except ImportError:
        error(NEEDS)
        return 1
    try:
        refuse_existing(args.output, args.force)
    except Exception as e:
        error(describe(args.output, e))
        return 1
    inputs, status = take_inputs(args.files)
    if status:
        return status
    paths = [item.path for item in inputs.files]
    spectra: List[Drawn] = []
    for path, name in zip(paths, distinct_names(paths)):
        try:
            spectra.append(read_spectrum(path, name, args.block))
        except Exception as e:  # each file that fails is told; none is drawn
            error(describe(path, e))
            status = 1
    if status:
        return status
    refused = disagreement(spectra, paths)
    if refused is not None:
        error(refused)
        return 1
    if sum(len(s.y) for s in spectra) * DRAWN_POINT_BYTES > drawing_room(spectra):
        spectra = [thinned(s) for s in spectra]
    try:
        write_picture(draw_overlay(spectra), args.output, args.force)
    except ImportError as e:
        error(str(e))
        return 1
    except Exception as e:
        error(describe(args.output, e))
        return 1
    emit_path(args.output)
    return 0
