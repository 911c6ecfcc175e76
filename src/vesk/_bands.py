"""A band's area above a straight baseline, for every spectrum of a block.

The two-point baseline between the band's end values is what a chemical
image of a band is made with: an offset or a sloping background adds
nothing to it.
"""
from __future__ import annotations

import math
import warnings
from typing import Any, ClassVar, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vesk._errors import VeskWarning
from vesk._text import range_ends, range_text


Held = Optional[NDArray[np.bool_]]


def integrate(values: NDArray[Any], x: NDArray[Any], axis: int,
              held: Held = None) -> NDArray[np.float64]:
    """Integral over x along `axis`, positive for positive values whichever
    way x runs; over the `held` points alone where given (trapezoids span
    the others).

    Trapezoids as weights, applied a slab of rows at a time: a large map is
    never held in float64 whole.
    """
    v = np.moveaxis(np.asarray(values), axis, -1)
    n = v.shape[-1]
    on = np.arange(n) if held is None else np.flatnonzero(held)
    weights = np.zeros(n)
    if len(on) < 2:
        weights[on] = 1
    else:
        steps = np.abs(np.diff(np.asarray(x, dtype=np.float64)[on]))
        weights[on[:-1]] += steps / 2
        weights[on[1:]] += steps / 2
    missing = None if held is None else ~np.asarray(held)
    if v.ndim == 1:
        return np.asarray(_finite_where_held(v.astype(np.float64), missing) @ weights)
    out: NDArray[np.float64] = np.empty(v.shape[:-1])
    per_row = max(1, int(np.prod(v.shape[1:])))
    slab = max(1, (1 << 22) // per_row)
    for i in range(0, v.shape[0], slab):
        out[i:i + slab] = _finite_where_held(v[i:i + slab].astype(np.float64), missing) @ weights
    return out


def _finite_where_held(v: NDArray[np.float64], missing: Held) -> NDArray[np.float64]:
    if missing is not None:
        v[..., missing] = 0  # NaN times a weight of 0 would still be NaN
    return v


def planes_held(block: Any, values: NDArray[Any]) -> Held:
    """Which spectral points of a map stored as planes hold values, where
    planes the file lacks or cuts short read as NaN; None where all do.

    A plane not read is NaN at every point: the first point finds the
    candidates, and only those are looked at whole."""
    if not (block.kind == "image map" and block.planes and (block.cut or block.unfilled)
            and math.isnan(block.fill)) or values.size == 0:
        return None
    spectra = np.asarray(values).reshape(-1, values.shape[-1])
    held: NDArray[np.bool_] = ~np.isnan(spectra[0])
    for k in np.flatnonzero(~held):
        held[k] = not np.isnan(spectra[:, k]).all()
    return None if held.all() else held


def held_band(held: Held, x: NDArray[Any], first: int, last: int, one: float, other: float,
              name: str, stacklevel: int = 2) -> Tuple[int, int]:
    """The band first..last narrowed to its `held` ends, warning (VeskWarning)
    where it takes in planes not read; ValueError where fewer than two are read."""
    if held is None or held[first:last + 1].all():
        return first, last
    inside = first + np.flatnonzero(held[first:last + 1])
    if len(inside) < 2:
        raise ValueError("the band %s holds fewer than two of the planes read" % range_text(
            one, other))
    warnings.warn(VeskWarning(
        "%s: the band %s takes in planes the file does not hold: its area is taken over "
        "the %d planes read in %s" % (name, range_text(one, other), len(inside),
                                      range_text(x[inside[0]], x[inside[-1]]))),
        stacklevel=stacklevel + 1)
    return int(inside[0]), int(inside[-1])


def band_points(x: NDArray[Any], one: float, other: float) -> Tuple[int, int]:
    """The first and last points of `x` within [one, other] (either order);
    ValueError unless there are two."""
    lo, hi = sorted((one, other))
    inside = np.flatnonzero((x >= lo) & (x <= hi))
    if len(inside) < 2:
        ends = (float(np.min(x)), float(np.max(x))) if len(x) else None
        if ends is not None and (hi < ends[0] or lo > ends[1]):
            raise ValueError("the band %s is outside the x range %s" % (
                range_text(one, other), range_text(x[0], x[-1])))
        raise ValueError("the band %s holds fewer than two points of the x axis" % range_text(
            one, other))
    return int(inside[0]), int(inside[-1])


def band_span(x: NDArray[Any], one: float, other: float, name: str,
              stacklevel: int = 2) -> Tuple[int, int]:
    """band_points, warning (VeskWarning, naming `name`) where the band runs
    past the axis by more than half a step: its area is then that of the
    part on the axis, which the warning names."""
    first, last = band_points(x, one, other)
    lo, hi = sorted((one, other))
    step = abs(float(x[1]) - float(x[0])) / 2
    ends = sorted((float(x[0]), float(x[-1])))
    if lo < ends[0] - step or hi > ends[1] + step:
        warnings.warn(VeskWarning(
            "%s: the band %s runs past the x axis (%s): its area is taken over %s" % (
                name, range_text(one, other), range_text(x[0], x[-1]),
                range_text(x[first], x[last]))),
            stacklevel=stacklevel + 1)
    return first, last


def area_above_baseline(values: NDArray[Any], x: NDArray[Any], axis: int, first: int,
                        last: int, held: Held = None) -> NDArray[np.float64]:
    """The area of the band of points first..last along `axis` above the
    straight line between its end values, over its `held` points where given
    (held_band gives the ends)."""
    band = values[(slice(None),) * axis + (slice(first, last + 1),)]  # a view: no copy of a map
    ends = np.take(values, [first, last], axis=axis).astype(np.float64)
    # The trapezoids' integral of that line is exactly the mean of its ends times the width.
    width = abs(float(x[last]) - float(x[first]))
    baseline: NDArray[np.float64] = ends.sum(axis=axis) / 2 * width
    inside = None if held is None else held[first:last + 1]
    return integrate(band, x[first:last + 1], axis, inside) - baseline


class Bands:
    """What blocks of spectra (not traces) can say of a band."""

    spectral: ClassVar[bool] = True  # values run along a spectral axis, not traces
    block: Any
    values: NDArray[Any]
    dims: Tuple[str, ...]
    x: NDArray[np.float64]

    def _name(self, lacks: str, along_x: bool = False) -> str:
        """The block named with its file; TypeError for a block of traces,
        or, `along_x`, for maps of traces, whose values run over trace names."""
        name = "%s: %s" % (self.block.path, self.block.name)
        if not self.spectral and not (along_x and self.dims[-1] != "trace"):
            raise TypeError("%s is a block of traces: it has no %s" % (name, lacks))
        return name

    def _spectral_axis(self, name: str,
                       nothing: str) -> Tuple[NDArray[Any], NDArray[np.float64]]:
        """`values` and the part of the x axis they run over (a recording
        that ends early holds its leading part); ValueError, saying there is
        `nothing`, for no values or a damaged axis."""
        values = np.asarray(self.values)
        if values.shape[-1] == 0:
            raise ValueError("%s holds no values: %s" % (name, nothing))
        x = np.asarray(self.x, dtype=np.float64)[:values.shape[-1]]
        if not np.isfinite(x[[0, -1]]).all():
            raise ValueError("%s: the x axis runs from %s to %s: %s" % (
                name, *range_ends(x[0], x[-1]), nothing))
        return values, x

    def interp(self, x: ArrayLike) -> NDArray[np.float64]:
        """The values at `x` (a number or an array of x values, in any order),
        for every spectrum (or time-resolved trace, over its times): linear
        between the two nearest points of the axis, whichever way it runs,
        and NaN outside it. An array of the shape of `values` with its last
        axis replaced by the shape of `x`.

        Puts spectra measured on different axes on one:
        `sample.values / reference.interp(sample.x)`. (`np.interp` needs an
        ascending axis: given a descending wavenumber axis it returns wrong
        numbers without a word, and past the ends it repeats the end values.)
        """
        name = self._name("axis along its values", along_x=True)
        given = np.asarray(x)
        # float() would take "1650" and None (as NaN): a mistake, not a place on the axis
        if given.dtype.kind not in "iuf":
            raise TypeError("%s: x values are numbers, not %s" % (
                name, repr(x) if given.ndim == 0 else "an array of %s" % given.dtype))
        values, axis = self._spectral_axis(name, "nothing to interpolate")
        at = given.astype(np.float64)
        if len(axis) > 1 and axis[0] > axis[-1]:
            axis, values = axis[::-1], values[..., ::-1]
        last = len(axis) - 1
        lo = np.clip(np.searchsorted(axis, at.ravel(), side="right") - 1, 0, max(last - 1, 0))
        hi = np.minimum(lo + 1, last)
        with np.errstate(all="ignore"):
            span = axis[hi] - axis[lo]
            t = np.where(span > 0, (at.ravel() - axis[lo]) / np.where(span > 0, span, 1), 0.0)
        outside = ~((at.ravel() >= axis[0]) & (at.ravel() <= axis[-1]))
        rows = values.reshape(-1, values.shape[-1])
        out: NDArray[np.float64] = np.empty((len(rows), at.size))
        slab = max(1, (1 << 20) // max(at.size, 1))  # a large map's rows a few at a time
        for i in range(0, len(rows), slab):
            a = rows[i:i + slab, lo].astype(np.float64)
            b = rows[i:i + slab, hi].astype(np.float64)
            with np.errstate(all="ignore"):
                # A point of the axis gives its value exactly, whatever its neighbour holds.
                part = np.where(t <= 0, a, np.where(t >= 1, b, a + (b - a) * t))
            part[:, outside] = np.nan
            out[i:i + slab] = part
        return out.reshape(values.shape[:-1] + at.shape)

    def band_area(self, lo: float, hi: float) -> NDArray[np.float64]:
        """The area of the band between x = `lo` and `hi` (either order),
        above the straight line between the band's end values, for every
        spectrum: an array of the shape of `values` without its last axis
        (0-d for a single spectrum). Points without a measured spectrum give
        NaN (0 where `block.fill` is 0). The band is taken over the x points
        that lie in it, at least two (a band of two points has no area above
        their line); one that runs past the axis, or past the values of a
        recording that ends early, is taken over the part on it, with a
        `VeskWarning`; so is one over planes that a map stored as planes
        lacks (NaN), over the planes read."""
        name = self._name("spectral bands")
        for bound in (lo, hi):
            if isinstance(bound, (str, bytes)):  # float() would take "1650"
                raise TypeError("%s: a band's bounds are numbers, not %r" % (name, bound))
            if not math.isfinite(float(bound)):
                raise ValueError("%s: a band's bounds are finite numbers, not %r" % (name, bound))
        values, x = self._spectral_axis(name, "no band lies on it")
        held = planes_held(self.block, values)
        try:
            first, last = band_span(x, float(lo), float(hi), name, stacklevel=2)
            first, last = held_band(held, x, first, last, float(lo), float(hi), name,
                                    stacklevel=2)
        except ValueError as e:
            raise ValueError("%s: %s" % (name, e)) from None
        return np.asarray(area_above_baseline(values, x, values.ndim - 1, first, last, held))
