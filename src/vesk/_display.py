"""How files, blocks and data objects show in a REPL (text) and a notebook (HTML).

Built from what is already in memory (the listing, the arrays read), so
showing an object never reads the file; text from the file is escaped for
the terminal or for HTML, and a repr never raises.
"""
from __future__ import annotations

import functools
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple, TypeVar

from vesk._text import aligned, file_name, printable, range_text

if TYPE_CHECKING:
    from vesk._block import Block
    from vesk._file import VeskFile
    from vesk._objects import DataObject

#: Rows shown of a long listing; the rest are counted.
MAX_ROWS = 40
_TEXT_WIDTH = 60

T = TypeVar("T")


def never_raises(
    fallback: Callable[[Any, Exception], T]
) -> Callable[[Callable[[Any], T]], Callable[[Any], T]]:
    """A repr that fails (a half-built object, an odd array) gives `fallback`:
    an exception from a repr hides the error the user is looking at."""
    def wrap(method: Callable[[Any], T]) -> Callable[[Any], T]:
        @functools.wraps(method)
        def safe(self: Any) -> T:
            try:
                return method(self)
            except Exception as e:
                return fallback(self, e)
        return safe
    return wrap


def plain_fallback(obj: Any, error: Exception) -> str:
    return "<vesk.%s (not shown: %s)>" % (type(obj).__name__, type(error).__name__)


def no_html(obj: Any, error: Exception) -> Optional[str]:
    return None  # the notebook then shows the text repr


def _short(text: str, width: int = _TEXT_WIDTH) -> str:
    text = printable(text)
    return text if len(text) <= width else text[:width - 3] + "..."


def _table_html(head: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    import html  # here, as in the other HTML: a notebook's alone, and slow to import

    cells = ["<tr>%s</tr>" % "".join("<th>%s</th>" % html.escape(h) for h in head)]
    cells += ["<tr>%s</tr>" % "".join("<td>%s</td>" % html.escape(c) for c in r) for r in rows]
    return "<table>%s</table>" % "".join(cells)


def _more(total: int) -> Optional[str]:
    return "... and %d more" % (total - MAX_ROWS) if total > MAX_ROWS else None


# -- files and blocks -----------------------------------------------------


def _block_row(block: "Block") -> Tuple[str, str, str]:
    shape = " x ".join(str(n) for n in block.shape)
    return (_short(block.name), block.kind,
            _short(block.problem) if block.problem is not None else shape)


def _file_state(f: "VeskFile", blocks: Sequence["Block"]) -> str:
    count = "%d block%s" % (len(blocks), "" if len(blocks) == 1 else "s")
    return "closed, " + count if f.closed else count


def file_text(f: "VeskFile") -> str:
    blocks = getattr(f, "blocks", [])
    lines = ["<vesk.VeskFile %s (%s)>" % (printable(repr(f.path)), _file_state(f, blocks))]
    if blocks:
        lines += aligned([_block_row(b) for b in blocks[:MAX_ROWS]], "  ")
    more = _more(len(blocks))
    return "\n".join(lines + (["  " + more] if more else []))


def file_html(f: "VeskFile") -> str:
    import html

    blocks = getattr(f, "blocks", [])
    head = "<div><strong>vesk.VeskFile</strong> %s (%s)</div>" % (
        html.escape(repr(f.path)), _file_state(f, blocks))
    table = _table_html(("block", "kind", "shape"), [_block_row(b) for b in blocks[:MAX_ROWS]])
    more = _more(len(blocks))
    return head + (table if blocks else "") + ("<div>%s</div>" % more if more else "")


def block_text(block: "Block") -> str:
    return "<vesk.Block %s>" % printable(str(block))


# -- data objects ---------------------------------------------------------


def _ends(values: Any) -> str:
    """First .. last of a coordinate, from those two elements only."""
    import numpy as np  # here: a listing shows blocks, which hold no arrays

    array = np.asarray(values)
    if array.ndim != 1 or len(array) == 0:
        return ""
    first, last = array[0], array[-1]
    if array.dtype.kind in "fiu":
        return "%g" % first if len(array) == 1 else range_text(first, last)
    shown = _short(str(first), 20)
    return shown if len(array) == 1 else "%s .. %s" % (shown, _short(str(last), 20))


def _axis_rows(data: "DataObject") -> List[Tuple[str, str, str, str]]:
    from vesk._objects import coordinate_attrs  # circular otherwise: _objects shows through here
    attrs = coordinate_attrs(data.block, data.dims)
    rows = []
    for dim, size in zip(data.dims, data.values.shape):
        own = data.coords.get(dim)
        if own is not None and tuple(own[0]) == (dim,):
            about = _ends(own[1])
        else:  # points of a region map: named by the coordinates along them
            along = [n for n, (cdims, _) in data.coords.items() if tuple(cdims) == (dim,)]
            about = "(%s)" % ", ".join(along) if along else ""
        rows.append((dim, str(size), about, printable(attrs.get(dim, {}).get("units", ""))))
    return rows


def _data_head(data: "DataObject") -> Tuple[str, str]:
    source = file_name(data.block.path)
    where = data.block.name + (" of " + source if source else "")
    return printable(where), printable("%s, %s" % (data.block.y_label, data.values.dtype))


def data_text(data: "DataObject") -> str:
    where, what = _data_head(data)
    lines = ["<vesk.%s %s: %s>" % (type(data).__name__, where, what)]
    rows = _axis_rows(data)
    # Said where the values are looked at: NaN alone does not say why.
    warning = [] if data.warning is None else ["  warning: " + printable(data.warning)]
    return "\n".join(lines + aligned(rows, "  ") + warning)


def data_html(data: "DataObject") -> str:
    import html

    where, what = _data_head(data)
    head = "<div><strong>vesk.%s</strong> %s: %s</div>" % (
        type(data).__name__, html.escape(where), html.escape(what))
    warning = "" if data.warning is None else "<div>warning: %s</div>" % html.escape(
        printable(data.warning))
    return head + _table_html(("dim", "size", "range", "units"), _axis_rows(data)) + warning
