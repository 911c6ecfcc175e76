"""Test-side builders for 3D data blocks and annotation blocks.

A 3D block is a store header, a store table and the stored blocks; each
stored block is its float32 values padded to the block size, then an info
part that may carry a float64 time at +136 and a NUL-ended name from +152.
An annotation block is 12 lead bytes, a directory parameter block and
sub-blocks, each a parameter block describing a table followed by its rows.
"""
import struct

from vesk_writer import VeskFile, param_block

INFO_SIZE = 152 + 32


def stored_block(values, block_size=None, info_size=INFO_SIZE, time=None, name=None):
    """One stored block: values padded (or cut) to block_size, then the info part."""
    data = struct.pack("<%df" % len(values), *values)
    if block_size is None:
        block_size = len(data)
    data = (data + b"\0" * block_size)[:block_size]
    info = bytearray(max(info_size, 0))
    if time is not None:
        info[136:144] = struct.pack("<d", time)
    if name is not None:
        raw = name.encode("latin1") if isinstance(name, str) else name
        info[152:152 + len(raw)] = raw
    return data + bytes(info[:max(info_size, 0)])


def store_block(blocks, entries=None, block_size=0, info_size=INFO_SIZE, stored_blocks=None,
                version=1, lead=b"", raw_offset=None, number_of_entries=None):
    """A 3D data block.

    `blocks` are the stored blocks (bytes) in file order. `entries` is the
    store table; run entries take the next blocks from `blocks`, gap entries
    (-1, k) put k filler bytes before the next block. `lead` goes between the
    table and the first stored block.
    """
    if entries is None:
        entries = [(0, len(blocks) - 1)] if blocks else []
    if stored_blocks is None:
        stored_blocks = len(blocks)
    if number_of_entries is None:
        number_of_entries = len(entries)
    table = b"".join(struct.pack("<ii", a, b) for a, b in entries)
    header_len = 24 + len(table)
    if raw_offset is None:
        raw_offset = header_len + len(lead)
    body = b""
    queue = list(blocks)
    for first, second in entries:
        if first == -1:
            body += b"\xee" * max(second, 0)
        else:
            take = min(max(second - first + 1, 0), len(queue))
            body += b"".join(queue[:take])
            del queue[:take]
    body += b"".join(queue)
    header = struct.pack("<6i", version, stored_blocks, raw_offset, block_size, info_size,
                         number_of_entries)
    return header + table + lead + body


# -- annotation blocks --------------------------------------------------------

TYPE_INT, TYPE_FLOAT, TYPE_TEXT = 4, 5, 1000


def table_subblock(columns, rows, row_len=None, nln=None, extra=(), offsets=None, text_len=16):
    """A table sub-block: (parameter records, row bytes).

    columns: list of (name, type code). Cells are packed one after another
    from each row's start: int32, float32, or text_len bytes of text (the
    reader gives every text cell row_len minus the first text column's
    offset, so a text column goes last). `offsets` overrides the F<nn>
    values, `nln` the declared row count, `row_len` the row length.
    """
    col_f, pos = [], 0
    for _, t in columns:
        col_f.append(pos)
        pos += 4 if t in (TYPE_INT, TYPE_FLOAT) else text_len if 1000 <= t <= 1099 else 0
    if row_len is None:
        row_len = pos
    if offsets is None:
        offsets = col_f
    out_rows = b""
    for row in rows:
        r = b""
        for (_, t), v in zip(columns, row):
            if t == TYPE_INT:
                r += struct.pack("<i", v)
            elif t == TYPE_FLOAT:
                r += struct.pack("<f", v)
            elif 1000 <= t <= 1099:
                raw = v.encode("latin1") if isinstance(v, str) else v
                r += (raw + b"\0" * text_len)[:text_len]
        out_rows += r + b"\0" * max(row_len - len(r), 0)
    records = [("SRC", row_len), ("NCO", len(columns)),
               ("NLN", len(rows) if nln is None else nln)]
    for i, (name, t) in enumerate(columns):
        records += [("S%02d" % i, name), ("F%02d" % i, offsets[i]), ("T%02d" % i, t)]
    records += list(extra)
    return records, out_rows


def annotation_block(subblocks, nrp=None, dir_extra=()):
    """An annotation block from sub-blocks.

    Each sub-block is (records, rows) from table_subblock (SIZ is added), or
    a list of records alone for a sub-block without a table.
    """
    n = len(subblocks)
    dir_records = lambda offs: [("NRP", n if nrp is None else nrp)] + [
        ("F%02d" % i, o) for i, o in enumerate(offs)] + list(dir_extra)
    dir_len = len(param_block(dir_records([0] * n)))
    pos = 12 + dir_len
    parts = []
    offs = []
    for sub in subblocks:
        if isinstance(sub, tuple):
            records, rows = sub
            plen = len(param_block(records + [("SIZ", 0)]))
            body = param_block(records + [("SIZ", plen)]) + rows
        else:
            body = param_block(sub)
        offs.append(pos)
        parts.append(body)
        pos += len(body)
    return b"\0" * 12 + param_block(dir_records(offs)) + b"".join(parts)


# -- files --------------------------------------------------------------------

BASE_3D = {"NPT": 4, "FXV": 100.0, "LXV": 400.0, "MXY": 2.0, "MNY": -1.0}


def file_3d(data, params, data_type=4, deriv_type=0, anno=None, original_params=None,
            sample_type=3):
    """A VeskFile with one 3D data block, its parameters and optional
    annotation block and underived parameter block. The data block goes last,
    so cutting `data` cuts the file."""
    vf = VeskFile()
    vf.add(param_block(params), data_type=data_type, deriv_type=deriv_type, extend_type=10,
           param_type=1, sample_type=sample_type)
    if original_params is not None:
        vf.add(param_block(original_params), data_type=data_type, deriv_type=0, extend_type=10,
               param_type=1, sample_type=sample_type)
    if anno is not None:
        vf.add(anno, extend_type=11)
    vf.add(data, data_type=data_type, deriv_type=deriv_type, extend_type=10,
           sample_type=sample_type)
    return vf
