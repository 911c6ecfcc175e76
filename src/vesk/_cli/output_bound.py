"""How much a command may write for one file.

A damaged file can declare far more than it holds (a map of billions of
unmeasured points, one picture or one block named by a hundred keys); read
through the API that costs nothing until used, but a command would write all
of it. What a command writes for a file, all its outputs together, is held to
the bound every read keeps.
"""
from __future__ import annotations

import math
import re
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple

import vesk
from vesk import _native
from vesk._text import UNSHOWN

if TYPE_CHECKING:
    from ..export.formats import Format


# What a command builds for a point that its values do not back: a point of
# a multiregion block carries its region, title, position and time into an
# export or a picture, and a point of a map that reads as zero pages its
# cell of a picture. A small damaged file can declare a million of either.
REGION_POINT_BYTES = 192
PIXEL_BYTES = 96
# A series drawn as lines holds each value again as a float64 (x, y) pair.
LINE_POINT_BYTES = 16
# Reading a block builds its parameters anew: a dict entry and its objects.
READ_PARAMETER_BYTES = 64
# Characters that outputs write as escapes: JSON (\u0001, \") and lines of
# text (\x01, and whitespace at a text's ends: \x20) make one of them four to six.
# (Compiled where parameters are counted, not at every command's start.)
_ESCAPED = '[%s"\\\\]' % UNSHOWN
# JSON in ASCII escapes every other character too, one past the
# Basic Multilingual Plane as two (a surrogate pair).
_ESCAPED_IN_ASCII = '[^ -~]|["\\\\]'
_ASTRAL = "[\U00010000-\U0010ffff]"


class OutputBudget:
    """What is left of an open file's bound as its outputs are written."""

    def __init__(self, f: vesk.VeskFile) -> None:
        self.file_size = f._size
        self.limit = _native.output_limit(self.file_size)
        self.left = self.limit
        # Values the file's own bytes can back, a float each; past them (a
        # damaged file's blocks reading the same bytes again and again), the
        # text or lines a value becomes count too.
        self.backed = self.file_size // 4
        self._texts: Dict[Tuple[int, bool], Tuple[Mapping[str, Any], int, int]] = {}

    def _text_length(self, parameters: Mapping[str, Any],
                     ascii_only: bool = False) -> Tuple[int, int]:
        """The characters of the text parameters, and of those the ones
        written as escapes (by JSON in ASCII, with `ascii_only`), counted
        once for blocks that share their parameters: a damaged file's keys
        may all merge one block of 100,000 records, which counting again for
        each cost seconds."""
        shared = getattr(parameters, "_data", parameters)  # a ReadOnly's dict
        known = self._texts.get((id(shared), ascii_only))
        if known is None:
            texts = [v for v in shared.values() if isinstance(v, str)]
            if ascii_only:
                escaped, astral = re.compile(_ESCAPED_IN_ASCII), re.compile(_ASTRAL)
                count = sum(2 * len(v) - len(escaped.sub("", v)) - len(astral.sub("", v))
                            for v in texts)
            else:
                escaped = re.compile(_ESCAPED)
                count = sum(len(v) - len(escaped.sub("", v).strip()) for v in texts)
            known = (shared, sum(map(len, texts)), count)
            # holding it, so that its id stays its own
            self._texts[(id(shared), ascii_only)] = known
        return known[1], known[2]

    def take(self, nbytes: int) -> bool:
        """Spends `nbytes` if that much is left; False (spending nothing) if not."""
        if nbytes > self.left:
            return False
        self.left -= nbytes
        return True

    def take_export(self, block: vesk.Block, fmt: Format, layout: str) -> Optional[str]:
        """take_block at the rates `fmt` declares, its wide layout's columns
        where `layout` is "wide": what `vesk export` spends on a block."""
        return self.take_block(block, value_bytes=fmt.value_bytes,
                               parameter_bytes=fmt.parameter_bytes, text_bytes=fmt.text_bytes,
                               escape_bytes=fmt.escape_bytes, spectrum_bytes=fmt.spectrum_bytes,
                               unbacked_spectrum_bytes=fmt.unbacked_spectrum_bytes,
                               axis_bytes=fmt.axis_bytes,
                               unbacked_axis_bytes=fmt.unbacked_axis_bytes,
                               heading_bytes=fmt.heading_bytes if layout == "wide" else 0,
                               ascii_only=fmt.ascii_only)

    def take_block(self, block: vesk.Block, drawn: bool = False, value_bytes: int = 0,
                   parameter_bytes: int = 0, text_bytes: int = 0,
                   escape_bytes: int = 0, spectrum_bytes: int = 0,
                   unbacked_spectrum_bytes: int = 0, axis_bytes: int = 0,
                   unbacked_axis_bytes: int = 0, heading_bytes: int = 0,
                   ascii_only: bool = False) -> Optional[str]:
        """Spends a block's values (unmeasured points too), and what its points
        add that no value backs; None, or why the file cannot give them. A
        picture (`drawn`) writes no values: the points of a map that reads them
        as zero pages (`Block.fill` 0) cost only their scan, a byte a value,
        and their cells of the picture. `value_bytes` is what an output adds
        for each value (its text, its line), charged for the values the
        file's bytes do not back; `parameter_bytes` what it writes for each
        parameter, and `text_bytes` for each character of a text parameter:
        many keys of a damaged file may merge one large block, whose texts
        run to 64 KB each; `escape_bytes`, what a character written as an
        escape adds to that (with `ascii_only`, every character past ASCII
        is one); `spectrum_bytes`, what is written for each spectrum (row) of
        a block of many besides its values (a header), and
        `unbacked_spectrum_bytes` for each past the block's backed values (a
        row's coordinates, which an honest row's values pay for; a series of
        no traces may declare a million times, a row each);
        `axis_bytes`, for each coordinate of the spectral axis (or trace) and
        of a map's x and y (a header's lists, an array of them), and
        `unbacked_axis_bytes` more for each past the block's backed values;
        `heading_bytes`, for each column of a wide table (a point of the
        spectral axis, or a trace) past the block's values that the file's
        bytes back: a block of no spectra may declare a million points, each
        a column, where an honest one has a row of values that pays for them."""
        values = math.prod(block.shape)
        unbacked = max(0, values - self.backed)
        nbytes = 4 * values + value_bytes * unbacked
        regions = block.kind in ("multiregion map", "multiregion traces")
        paid = values - unbacked  # the values backed, which pay for their rows and coordinates
        if (spectrum_bytes or unbacked_spectrum_bytes) and block.kind != "spectrum":
            # counted by the shape, not by the values: spectra of NPT 0 have
            # none; a series of traces is a row per time; a region's point
            # has its coordinates charged below
            rows = math.prod(block.shape[:-1])
            if block.kind == "time-resolved traces" and block.shape:
                rows = max(rows, block.shape[-1])
            region = REGION_POINT_BYTES if regions else 0
            nbytes += max(0, spectrum_bytes - region) * rows + max(
                0, unbacked_spectrum_bytes - region) * max(0, rows - paid)
        # a header's lists: the spectral axis (or the traces), and a map's x and y
        listed = block.shape[-1:] + (block.shape[:-1] if block.kind in (
            "image map", "image traces") else ())
        axes = axis_bytes * sum(listed) + unbacked_axis_bytes * max(0, sum(listed) - paid)
        columns = headed = 0  # a wide table's, and those charged
        if heading_bytes and block.kind != "spectrum" and block.shape:
            # a series of traces has a column per trace, the rest one per point
            columns = block.shape[0 if block.kind == "time-resolved traces" else -1]
            headed = max(0, columns - paid)
            axes += heading_bytes * headed
        nbytes += axes
        parameters = (READ_PARAMETER_BYTES + parameter_bytes) * len(block.parameters)
        if text_bytes or escape_bytes:
            characters, escaped = self._text_length(block.parameters, ascii_only)
            parameters += text_bytes * characters + escape_bytes * escaped
        placed = "drawn" if drawn else "with their coordinates"
        points, how = "", placed
        if axes > nbytes - axes:  # the columns, or the axes, are most of it
            points, how = ("%d columns" % columns if headed else
                           "%d points of its axes" % sum(listed)), "written"
        if regions:
            nbytes += REGION_POINT_BYTES * block.shape[0]
            points, how = "%d points" % block.shape[0], placed
        if drawn and block.kind == "image map" and block.fill == 0:
            nbytes += (PIXEL_BYTES - 3 * block.shape[-1]) * block.unfilled
            points, how = "%d unmeasured points" % block.unfilled, "drawn"
        if self.take(nbytes + parameters):
            self.backed -= values - unbacked
            return None
        more = ("more" if nbytes + parameters > self.limit else "with the blocks exported "
                "before it (a damaged file's blocks may share data), more")
        declared = "%d values (%s)" % (values, size_text(4 * values))
        if points and 4 * values <= self.limit:  # what the points add tips it
            declared = "%d values over %s (%s %s)" % (values, points, size_text(nbytes), how)
        elif nbytes > 4 * values and 4 * values <= self.limit:  # what the values become tips it
            declared = "%d values (%s %s)" % (values, size_text(nbytes),
                                              "drawn" if drawn else "written")
        if parameters > 0 and nbytes <= self.left:
            declared += " and %d parameters (%s as read and written)" % (
                len(block.parameters), size_text(parameters))
        return "declares %s, %s than a file of %d bytes can give" % (
            declared, more, self.file_size)


def size_text(nbytes: int) -> str:
    """"36.0 MB", "1.2 GB": one decimal, in the largest unit it reaches."""
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if nbytes >= scale:
            return "%.1f %s" % (nbytes / scale, unit)
    return "%d bytes" % nbytes
