"""A band's area above a straight baseline, for every spectrum of a block.

The two-point baseline between the band's end values is what a chemical
image of a band is made with: an offset or a sloping background adds
nothing to it.
"""
from __future__ import annotations

import math
import warnings
from typing import Any, ClassVar, Tuple

import numpy as np
from numpy.typing import NDArray

from vesk._errors import VeskWarning


def integrate(values: NDArray[Any], x: NDArray[Any], axis: int) -> NDArray[np.float64]:
    """Integral over x along `axis`, positive for positive values whichever
    way x runs.

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
    if v.ndim == 1:
        return np.asarray(v.astype(np.float64) @ weights)
    out: NDArray[np.float64] = np.empty(v.shape[:-1])
    per_row = max(1, int(np.prod(v.shape[1:])))
    slab = max(1, (1 << 22) // per_row)
    for i in range(0, v.shape[0], slab):
        out[i:i + slab] = v[i:i + slab].astype(np.float64) @ weights
    return out


def band_points(x: NDArray[Any], one: float, other: float) -> Tuple[int, int]:
    """The first and last points of `x` within [one, other] (either order);
    ValueError unless there are two."""
    lo, hi = sorted((one, other))
    inside = np.flatnonzero((x >= lo) & (x <= hi))
    if len(inside) < 2:
        raise ValueError("the band %g .. %g holds fewer than two points of the x axis" % (
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
            "%s: the band %g .. %g runs past the x axis (%g .. %g): its area is taken over "
            "%g .. %g" % (name, one, other, x[0], x[-1], x[first], x[last])),
            stacklevel=stacklevel + 1)
    return first, last


def area_above_baseline(values: NDArray[Any], x: NDArray[Any], axis: int, first: int,
                        last: int) -> NDArray[np.float64]:
    """The area of the band of points first..last along `axis` above the
    straight line between its end values."""
    band = values[(slice(None),) * axis + (slice(first, last + 1),)]  # a view: no copy of a map
    ends = np.take(values, [first, last], axis=axis).astype(np.float64)
    # The trapezoids' integral of that line is exactly the mean of its ends times the width.
    width = abs(float(x[last]) - float(x[first]))
    baseline: NDArray[np.float64] = ends.sum(axis=axis) / 2 * width
    return integrate(band, x[first:last + 1], axis) - baseline


class Bands:
    """What blocks of spectra (not traces) can say of a band."""

    spectral: ClassVar[bool] = True  # values run along a spectral axis, not traces
    block: Any
    values: NDArray[Any]
    x: NDArray[np.float64]

    def band_area(self, lo: float, hi: float) -> NDArray[np.float64]:
        """The area of the band between x = `lo` and `hi` (either order),
        above the straight line between the band's end values, for every
        spectrum: an array of the shape of `values` without its last axis
        (0-d for a single spectrum). Points without a measured spectrum give
        NaN (0 where `block.fill` is 0). The band is taken over the x points
        that lie in it, at least two (a band of two points has no area above
        their line); one that runs past the axis, or past the values of a
        recording that ends early, is taken over the part on it, with a
        `VeskWarning`."""
        name = "%s: %s" % (self.block.path, self.block.name)
        if not self.spectral:
            raise TypeError("%s is a block of traces: it has no spectral bands" % name)
        for bound in (lo, hi):
            if isinstance(bound, (str, bytes)):  # float() would take "1650"
                raise TypeError("%s: a band's bounds are numbers, not %r" % (name, bound))
            if not math.isfinite(float(bound)):
                raise ValueError("%s: a band's bounds are finite numbers, not %r" % (name, bound))
        values = np.asarray(self.values)
        if values.shape[-1] == 0:
            raise ValueError("%s holds no values: no band lies on it" % name)
        # A recording that ends early holds the leading part of its axis.
        x = np.asarray(self.x, dtype=np.float64)[:values.shape[-1]]
        if not np.isfinite(x[[0, -1]]).all():
            raise ValueError("%s: the x axis runs from %g to %g: no band lies on it" % (
                name, x[0], x[-1]))
        try:
            first, last = band_span(x, float(lo), float(hi), name, stacklevel=2)
        except ValueError as e:
            raise ValueError("%s: %s" % (name, e)) from None
        return np.asarray(area_above_baseline(values, x, values.ndim - 1, first, last))
