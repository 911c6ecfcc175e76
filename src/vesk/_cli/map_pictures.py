"""Pictures of map blocks for `vesk plot`: an image map or trace map on its
grid, a multiregion block as one panel per region.

Every map is reduced to one value per point the same way (`chosen`): the
intensity at the x value `--at` names, the area of the band `--at LO:HI`
names above a straight baseline between its ends, the intensity integrated
over x, or the trace `--at` names. The panels of one figure share one colour scale.
"""
from __future__ import annotations

from typing import Any, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

import vesk
from vesk import _vocabulary
from vesk._text import range_ends, range_text, value_apart
from vesk._bands import area_above_baseline, band_span, held_band, integrate, planes_held

from ..export.axes import coordinate, units_of

COLOURS = "viridis"


class PlotError(ValueError):
    pass


#: The most characters of a label drawn: a picture shows no more, and laying
#: out a damaged file's 32 KB units of 16,000 lines took five seconds.
LABEL = 200


def literal(text: str) -> str:
    """Text drawn as it is, on one line: matplotlib reads $...$ as
    mathematics, and a file name or a trace name may hold a '$'."""
    text = " ".join(text.splitlines())
    if len(text) > LABEL:
        text = text[:LABEL - 3] + "..."
    return text.replace("$", r"\$")


def finite_axis(data: vesk.DataObject, x: NDArray[Any]) -> NDArray[Any]:
    """`x`, unless a damaged file made its ends NaN or infinite: nothing can
    be drawn over such an axis or integrated along it."""
    if len(x) and not np.isfinite(x[[0, -1]]).all():
        raise PlotError("cannot draw %s: its x axis runs from %s to %s" % (
            data.block.name, *range_ends(x[0], x[-1])))
    return x


def chosen(data: vesk.DataObject, at: Optional[str]) -> Tuple[NDArray[Any], str]:
    """One value per map point, as `--at` asks, and a caption for the values;
    NaN for the points of a map too large for NaN (`Block.fill` 0) that no
    stored spectrum fills, which read as zero spectra."""
    per_point, caption = _chosen(data, at)
    block = data.block
    if block.kind == "image map" and block.fill == 0 and block.unfilled > 0:
        per_point = np.asarray(per_point, dtype=np.float64)
        per_point[~np.asarray(data.values).any(axis=-1)] = np.nan
    return per_point, caption


def _chosen(data: vesk.DataObject, at: Optional[str]) -> Tuple[NDArray[Any], str]:
    along = len(data.dims) - 1  # the spectral axis, or the traces, of every map
    values = np.asarray(data.values)
    axis = coordinate(data, data.dims[along])
    if not isinstance(data, (vesk.ImageTraces, vesk.MultiregionTraces)):
        finite_axis(data, axis)
        held = planes_held(data.block, values)  # planes not read are left out, not NaN
        units = _vocabulary.axis_attrs(data.parameters).get("units", "")
        if at is None:
            if held is not None and np.count_nonzero(held) < 2:  # its integral would be 0
                raise PlotError("%s holds fewer than two planes: nothing to integrate over x; "
                                "--at X draws one" % data.block.name)
            # over which x, as a band's caption says: a recording cut short
            # is integrated between the first and last planes it holds
            on = np.arange(len(axis)) if held is None else np.flatnonzero(held)
            caption = ("Integrated %s %s %s" % (data.block.y_label,
                                                range_text(axis[on[0]], axis[on[-1]]),
                                                units)).rstrip()
            if held is not None:  # the file's warning says a cut; this, what the picture took
                caption += " over the %d planes read" % len(on)
            return integrate(values, axis, along, held), caption
        texts = at.split(":", 1)
        ends = [_x_value(data, axis, at, text, on_axis=len(texts) == 1) for text in texts]
        if len(ends) == 2:
            name = "%s: %s" % (data.block.path, data.block.name)
            try:
                first, last = band_span(axis, ends[0], ends[1], name)
            except ValueError:
                raise PlotError("--at %s holds fewer than two points of the x axis" % at)
            try:
                first, last = held_band(held, axis, first, last, ends[0], ends[1], name)
            except ValueError:
                raise PlotError("--at %s holds fewer than two of the planes %s holds" % (
                    at, data.block.name))
            caption = "%s band area %s %s" % (
                data.block.y_label, range_text(axis[first], axis[last]), units)
            return area_above_baseline(values, axis, along, first, last, held), caption.rstrip()
        k = int(np.argmin(np.abs(axis - ends[0])))
        if held is not None and not held[k]:
            raise PlotError("--at %s lies on a plane that %s does not hold (it reads as NaN)" % (
                at, data.block.name))
        # as many digits as tell it from the planes beside it
        at_x = value_apart(axis[k], axis[max(k - 1, 0):k + 2].tolist())
        caption = ("%s at %s %s" % (data.block.y_label, at_x, units)).rstrip()
        return np.take(values, k, axis=along), caption
    labels = [str(v) for v in axis]  # a map of traces: one chosen by name or number
    k = trace_number(data, labels, at)
    return np.take(values, k, axis=along), labels[k]


def trace_number(data: vesk.DataObject, labels: List[str], at: Optional[str]) -> int:
    """The trace `--at` names (or numbers from 0) among `labels`; the first without it."""
    if at is None and labels:
        return 0
    if at in labels:
        return labels.index(at)
    if at is not None and at.isdecimal() and int(at) < len(labels):  # int() takes no "²"
        return int(at)
    if not labels:
        raise PlotError("%s has no traces" % data.block.name)
    raise PlotError("%s has no trace %s; it has %s (or their numbers, 0 to %d)" % (
        data.block.name, at, ", ".join(labels), len(labels) - 1))


def _x_value(data: vesk.DataObject, axis: NDArray[Any], at: str, text: str,
             on_axis: bool) -> float:
    try:
        wanted = float(text)
    except ValueError:
        raise PlotError("--at %s is not a number%s" % (
            at, " or a band LO:HI" if ":" in at else ""))
    lo, hi = sorted((float(axis[0]), float(axis[-1])))
    if on_axis and not lo <= wanted <= hi:
        raise PlotError("--at %s is outside the x range %s of %s" % (
            at, range_text(axis[0], axis[-1]), data.block.name))
    return wanted


Picture = Tuple[NDArray[Any], NDArray[Any], NDArray[Any], Tuple[str, str], str]


def map_picture(data: vesk.DataObject, at: Optional[str]) -> Picture:
    """The 2-D picture of an image or trace map, its two axes and a caption for its colours."""
    picture, caption = chosen(data, at)
    rows, cols = data.dims[:2]
    return picture, coordinate(data, cols), coordinate(data, rows), (cols, rows), caption


def map_label(data: vesk.DataObject, name: str) -> str:
    """'Map x (um)' for the coordinate x or map_x, with the units the file gives."""
    units = units_of(data, name)
    return "Map %s" % name[-1] + (" (%s)" % units if units else "")


def edges(centres: NDArray[Any], step: Optional[float] = None) -> Tuple[float, float]:
    """The outer edges of pixels centred on `centres`; a single pixel is `step`
    wide, so that a map one point high keeps square pixels."""
    c = np.asarray(centres, dtype=np.float64)
    if len(c) > 1:
        step = float(c[1] - c[0])
    step = step or 1.0
    return float(c[0] - step / 2), float(c[-1] + step / 2)


def _step(centres: NDArray[Any]) -> Optional[float]:
    return abs(float(centres[1] - centres[0])) if len(centres) > 1 else None


def draw_grid(ax: Any, picture: NDArray[Any], xs: NDArray[Any], ys: NDArray[Any],
              norm: Any = None) -> Any:
    extent = edges(xs, _step(ys)) + edges(ys, _step(xs))
    return ax.imshow(picture, origin="lower", extent=extent, interpolation="nearest",
                     cmap=COLOURS, norm=norm)


def draw_map(fig: Any, data: vesk.DataObject, title: str, at: Optional[str]) -> None:
    picture, xs, ys, (xname, yname), caption = map_picture(data, at)
    ax = fig.add_subplot()
    ax.set_title(literal(title), fontsize=10)
    image = draw_grid(ax, picture, xs, ys)
    ax.set_xlabel(literal(map_label(data, xname)))
    ax.set_ylabel(literal(map_label(data, yname)))
    fig.colorbar(image, ax=ax, label=literal(caption))


def region_grid(map_x: NDArray[Any], map_y: NDArray[Any], values: NDArray[Any]
                ) -> Optional[Tuple[NDArray[Any], NDArray[Any], NDArray[Any]]]:
    """The region's values as a picture over its evenly spaced map axes, when
    its points fill such a grid once each; otherwise None. Points without a
    position, or unmeasured (NaN values), leave their cells blank."""
    placed = np.isfinite(map_x) & np.isfinite(map_y)
    if len(values) < 2 or placed.sum() < 2:
        return None
    xs, ys = np.unique(map_x[placed]), np.unique(map_y[placed])
    if len(xs) * len(ys) != len(values) or not all(
            len(a) < 3 or np.allclose(np.diff(a), a[1] - a[0]) for a in (xs, ys)):
        return None
    col, row = np.searchsorted(xs, map_x[placed]), np.searchsorted(ys, map_y[placed])
    if len(np.unique(row * len(xs) + col)) != placed.sum():
        return None
    picture = np.full((len(ys), len(xs)), np.nan)
    picture[row, col] = values[placed]
    return picture, xs, ys


#: Regions drawn a panel each; more share one panel.
MAX_PANELS = 12


def draw_regions(fig: Any, data: vesk.MultiregionMap | vesk.MultiregionTraces, title: str,
                 at: Optional[str]) -> None:
    """One panel per region that has points, on its own map axes: regions may
    lie far apart on the stage, and one shared frame would shrink each to a dot.
    Past MAX_PANELS regions, every point goes in one panel."""
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import Normalize

    per_point, caption = chosen(data, at)
    bounds = np.cumsum([len(r.values) for r in data.regions])[:-1]
    parts = [(r, v) for r, v in zip(data.regions, np.split(per_point, bounds)) if len(v)]
    finite = per_point[np.isfinite(per_point)]
    norm = Normalize(float(finite.min()), float(finite.max())) if finite.size else Normalize()
    if len(parts) > MAX_PANELS:
        # A panel each would grow the figure with the file's region count.
        ax = fig.add_subplot()
        ax.set_title(literal("%s  (%d regions)" % (title, len(parts))), fontsize=10)
        map_x = np.concatenate([r.map_x for r, _ in parts])
        map_y = np.concatenate([r.map_y for r, _ in parts])
        ax.scatter(map_x, map_y, c=np.concatenate([v for _, v in parts]), cmap=COLOURS,
                   norm=norm, marker="s", s=4)
        ax.set_aspect("equal", adjustable="datalim")
        ax.set_xlabel(literal(map_label(data, "map_x")))
        ax.set_ylabel(literal(map_label(data, "map_y")))
        fig.colorbar(ScalarMappable(norm, COLOURS), ax=ax, label=literal(caption))
        return
    columns = min(3, len(parts))
    rows = (len(parts) + columns - 1) // columns
    fig.set_size_inches(7.0, max(4.2, 2.6 * rows))
    axes: List[Any] = list(fig.subplots(rows, columns, squeeze=False).ravel())
    for ax in axes[len(parts):]:
        fig.delaxes(ax)
    del axes[len(parts):]
    fig.suptitle(literal(title), fontsize=10)
    for ax, (region, values) in zip(axes, parts):
        # Unmeasured points keep the table's positions, with NaN values.
        measured = np.isfinite(values).any()
        grid = region_grid(region.map_x, region.map_y, values) if measured else None
        if not measured:
            ax.text(0.5, 0.5, "not measured", ha="center", va="center", transform=ax.transAxes)
            ax.set_xticks([])
            ax.set_yticks([])
        elif grid is None:
            ax.scatter(region.map_x, region.map_y, c=values, cmap=COLOURS, norm=norm,
                       marker="s")
            ax.set_aspect("equal", adjustable="datalim")
        else:
            draw_grid(ax, *grid, norm=norm)
        ax.set_title(literal(region.title), fontsize=9)
        ax.set_xlabel(literal(map_label(data, "map_x")))
        ax.set_ylabel(literal(map_label(data, "map_y")))
    fig.colorbar(ScalarMappable(norm, COLOURS), ax=axes, label=literal(caption))
